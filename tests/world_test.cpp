// The world model: the robot list, walls, markers, impacts, target and coordinate transforms.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "robot/robot.h"
#include "support/random.h"
#include "test_support.h"
#include "world/run_figures.h"
#include "world_fixture.h"
#include "world/world.h"

using namespace test_support;

namespace {

class world_test : public world_fixture {};

std::string robot_line(int i) {
    return "r" + std::to_string(i) + " 127.0.0.1 " + std::to_string(6000 + 2 * i) + " 0 0\n";
}

TEST_F(world_test, BuildsBorderWallsWithoutARobotList) {
    world_class w(setup);
    ASSERT_EQ(w.wall_count, 4);
    // Added top, bottom, left, right; the list reads newest first.
    const double expect[4][4] = {
        {9.95, 0, 0.05, 10}, {0, 0, 0.05, 10}, {0, 9.95, 10, 0.05}, {0, 0, 10, 0.05}};
    int i = 0;
    for (wall_type* wall = w.walls; wall; wall = wall->next, ++i) {
        ASSERT_LT(i, 4);
        EXPECT_DOUBLE_EQ(wall->x, expect[i][0]);
        EXPECT_DOUBLE_EQ(wall->y, expect[i][1]);
        EXPECT_DOUBLE_EQ(wall->w, expect[i][2]);
        EXPECT_DOUBLE_EQ(wall->h, expect[i][3]);
    }
    EXPECT_NE(log_text().find("[Config] Unable to load config file\n"), std::string::npos);
}

TEST_F(world_test, ParsesCompleteRecordsAndSkipsShortOnes) {
    write_file("robots.txt",
               "alpha 10.0.0.5 5000 1 1\n"
               "short 10.0.0.6 5002 1\n"  // four tokens: no robot, no log line
               "gamma host.example word 0 0 extra tokens\n"
               "  # a comment line\n"
               "delta 127.0.0.1 7000 3 0 # trailing note\n"
               "epsilon 127.0.0.1 7002 0 9\n");
    world_class w(setup);
    ASSERT_EQ(w.num_robots, 3u);
    EXPECT_STREQ(w.robots[0]->name, "alpha");
    EXPECT_STREQ(w.robots[0]->host, "10.0.0.5");
    EXPECT_EQ(w.robots[0]->port, 5000);
    EXPECT_EQ(w.robots[0]->show_window, 1);
    EXPECT_TRUE(w.robots[0]->auto_mode);
    EXPECT_STREQ(w.robots[1]->name, "delta");  // gamma's port, a word, counts as 0: refused
    EXPECT_EQ(w.robots[1]->show_window, 3);
    EXPECT_FALSE(w.robots[1]->auto_mode);
    // The line after a trailing comment is a robot of its own.
    EXPECT_STREQ(w.robots[2]->name, "epsilon");
    EXPECT_TRUE(w.robots[2]->auto_mode);

    std::string log = log_text();
    EXPECT_NE(log.find("[World] Robot. Name: alpha   Host:  10.0.0.5  Port:  5000\n"), std::string::npos);
    EXPECT_NE(log.find("[World] Robot. Name: gamma   Host:  host.example  Port:  0\n"), std::string::npos);
    EXPECT_EQ(log.find("short"), std::string::npos);
    EXPECT_EQ(count_of(log, "[World] Robot. Name:"), 4);
}

TEST_F(world_test, RefusesPortsOutside1To65534) {
    // The camera uses the port after the control port; no number may wrap round into a port.
    const char* ports[] = {"0", "65535", "70000", "-61072", "99999999999", "1", "65534"};
    std::string text = "# robots\n\n";
    for (const char* port : ports) text += std::string("r ") + "127.0.0.1 " + port + " 0 0\n";
    write_file("robots.txt", text);
    world_class w(setup);
    ASSERT_EQ(w.num_robots, 2u);
    EXPECT_EQ(w.robots[0]->port, 1);
    EXPECT_EQ(w.robots[1]->port, 65534);
    const std::string log = log_text();
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(log.find("[World] robots.txt line " + std::to_string(i + 3) + " ignored: port " + ports[i] +
                           " is outside 1 to 65534\n"),
                  std::string::npos)
            << ports[i];
    EXPECT_NE(log.find("Port:  99999999999\n"), std::string::npos);
    EXPECT_EQ(count_of(log, " ignored: port "), 5);
}

TEST_F(world_test, RefusesTheHundredthRobotAndKeepsTheFirst99) {
    std::string text;
    for (int i = 0; i < 101; ++i) text += robot_line(i);
    write_file("robots.txt", text);
    world_class w(setup);
    EXPECT_EQ(w.num_robots, 99u);
    EXPECT_STREQ(w.robots[98]->name, "r98");
    EXPECT_EQ(w.robots[99], nullptr);
    std::string log = log_text();
    EXPECT_EQ(count_of(log, "[World] Robot. Name:"), 101);
    EXPECT_EQ(count_of(log, "[World] Too many robots\n"), 2);
    // The refusal follows the record's own log line.
    EXPECT_NE(log.find("Name: r99   Host:  127.0.0.1  Port:  6198\n[World] Too many robots\n"),
              std::string::npos);
}

TEST_F(world_test, CutsOverlongNamesAndHostsSafely) {
    std::string long_name(600, 'n'), long_host(300, 'h');
    write_file("robots.txt", long_name + " " + long_host + " 5000 0 0\n");
    world_class w(setup);
    ASSERT_EQ(w.num_robots, 1u);
    EXPECT_EQ(std::string(w.robots[0]->name), std::string(255, 'n'));
    EXPECT_EQ(std::string(w.robots[0]->host), std::string(255, 'h'));
}

TEST_F(world_test, MergesImpactsCloserThanATenth) {
    world_class w(setup);
    w.add_impact(1.0, 1.0);
    w.add_impact(1.1, 1.0);    // exactly 0.1 away: kept
    w.add_impact(1.0, 1.099);  // closer than 0.1 to the first: dropped
    w.add_impact(1.05, 1.05);  // closer than 0.1 to both
    EXPECT_EQ(w.impact_count, 2);
    EXPECT_DOUBLE_EQ(w.impacts->x, 1.1);  // newest first
    w.free_impacts();
    EXPECT_EQ(w.impact_count, 0);
    EXPECT_EQ(w.impacts, nullptr);
    w.add_impact(1.0, 1.0);
    EXPECT_EQ(w.impact_count, 1);
}

TEST_F(world_test, MarkersRecordOnlyWhenOnAndKeepTheNewest500) {
    world_class w(setup);
    w.add_marker(1, 1);
    EXPECT_EQ(w.markers, nullptr);
    w.markers_on = true;
    for (int i = 0; i < 1234; ++i) w.add_marker(i * 0.001, 0.5);
    EXPECT_EQ(w.marker_count(), 500);
    int n = 0;
    double expect_x = 1233 * 0.001;
    for (marker_type* m = w.markers; m; m = m->next, ++n) {
        ASSERT_LT(n, 500);
        EXPECT_DOUBLE_EQ(m->x, expect_x);
        expect_x -= 0.001;
        expect_x = std::round(expect_x * 1000) / 1000;
    }
    EXPECT_EQ(n, 500);
    w.free_markers();
    EXPECT_EQ(w.markers, nullptr);
    EXPECT_EQ(w.marker_count(), 0);
    w.add_marker(3, 3);
    ASSERT_NE(w.markers, nullptr);
    EXPECT_EQ(w.markers->next, nullptr);
}

TEST_F(world_test, ConvertsBetweenWorldAndPixels) {
    world_class w(setup);
    EXPECT_EQ(w.get_screen_x(10.0), 640);  // one past the last column
    EXPECT_EQ(w.get_screen_y(10.0), 480);
    EXPECT_EQ(w.get_screen_x(0.0), 0);
    EXPECT_EQ(w.get_screen_x(9.999), 639);
    EXPECT_EQ(w.get_screen_x(-0.01), 0);  // truncation towards zero
    EXPECT_EQ(w.get_screen_x(-0.02), -1);
    EXPECT_DOUBLE_EQ(w.get_world_x(0), 0.0);
    EXPECT_DOUBLE_EQ(w.get_world_x(320), 5.0);
    EXPECT_DOUBLE_EQ(w.get_world_y(48), 1.0);
    platform::rect r;
    w.get_bounding_rect(5.0, 5.0, 1.0, 0.5, r);
    EXPECT_EQ(r.left, 288);
    EXPECT_EQ(r.top, 228);
    EXPECT_EQ(r.right, 352);
    EXPECT_EQ(r.bottom, 252);
    // Huge or undefined positions stay inside the range of a pixel coordinate.
    EXPECT_EQ(w.get_screen_x(1e300), 1000000000);
    EXPECT_EQ(w.get_screen_x(NAN), 0);
}

TEST_F(world_test, ZeroSizedBufferMapsEverythingToPixelZero) {
    setup.picture_width = 0;
    setup.picture_height = 0;
    world_class w(setup);
    EXPECT_EQ(w.get_screen_x(7.5), 0);
    EXPECT_EQ(w.get_screen_y(7.5), 0);
    EXPECT_DOUBLE_EQ(w.get_world_x(100), 0.0);
    EXPECT_DOUBLE_EQ(w.get_world_y(100), 0.0);
}

TEST_F(world_test, TargetDistanceAndRandomTargetDrawYThenX) {
    world_class w(setup);
    EXPECT_NEAR(w.target_dist(5.3, 5.0), 0.09, 1e-12);
    EXPECT_DOUBLE_EQ(w.target_dist(2.0, 1.0), 9.0 + 16.0);

    srand15(1234);
    double y = f_rand(1.0, 9.0);
    double x = f_rand(1.0, 9.0);
    srand15(1234);
    w.random_target();
    EXPECT_DOUBLE_EQ(w.target_x, x);
    EXPECT_DOUBLE_EQ(w.target_y, y);
    for (int i = 0; i < 2000; ++i) {
        w.random_target();
        ASSERT_GE(w.target_x, 1.0);
        ASSERT_LE(w.target_x, 9.0);
        ASSERT_GE(w.target_y, 1.0);
        ASSERT_LE(w.target_y, 9.0);
    }
}

// Distance from a point to a wall's box, worked out here independently of the world.
double distance_to_box(const wall_type& w, double x, double y) {
    const double cx = std::clamp(x, w.x, w.x + w.w), cy = std::clamp(y, w.y, w.y + w.h);
    return std::hypot(x - cx, y - cy);
}

TEST_F(world_test, RandomTargetsKeepClearOfWallsOverManySeeds) {
    // Walls over much of the world: a target drawn blind lands in or beside one most times.
    write_file("maze.txt",
               "wall 1 1 8 0.5\nwall 1 2.5 3 3\nwall 5 2.5 4 1\nwall 5 4.5 0.3 4.5\n"
               "wall 1 6.5 3.5 0.4\nwall 6 5.5 3 3\n");
    setup.world_file = "maze.txt";
    world_class w(setup);
    ASSERT_EQ(w.wall_count, 10);
    int close_blind = 0;
    for (unsigned seed = 1; seed <= 400; ++seed) {
        srand15(seed);
        const double by = f_rand(1, 9), bx = f_rand(1, 9);
        bool blind_close = false;
        for (const wall_type* v = w.walls; v; v = v->next) blind_close = blind_close || distance_to_box(*v, bx, by) < 0.3;
        close_blind += blind_close;
        srand15(seed);
        w.random_target();
        for (const wall_type* v = w.walls; v; v = v->next)
            ASSERT_GE(distance_to_box(*v, w.target_x, w.target_y), 0.3) << "seed " << seed;
        if (!blind_close) {  // a first draw clear of walls is kept as it was
            EXPECT_EQ(w.target_x, bx);
            EXPECT_EQ(w.target_y, by);
        }
    }
    EXPECT_GT(close_blind, 100);
}

TEST_F(world_test, WorldFileLoadsSkipsBadLinesAndSavesWhatItLoaded) {
    write_file("in.txt",
               "# a world\n"
               "wall 1 2 3 0.5   # a wall\n"
               "\n"
               "target 7.5 2.25\n"
               "door 1 2\n"
               "wall 1 2 3\n"
               "wall 1 two 3 4\n"
               "wall 1 2 0 4\n"  // one side 0: a wall all the same
               "wall 11 2 1 1\n"
               "  wall 4 5 0.25 2.5\n"
               "target 5\n"
               "wall 1e400 1 1 1\n"
               "wall 1 2 0 0\n"
               "wall 1 2 -1 4\n"
               "target nan 5\n"
               "wall inf 1 1 1\n"
               "target 1 2 3\n"
               "wall 1 1 1 1 1\n"
               "bodies yes\n"
               "bodies on\n"
               "bodies off\n");  // off is the default and undoes nothing
    setup.world_file = "in.txt";
    {
        world_class w(setup);
        EXPECT_TRUE(w.walls_from_file);
        EXPECT_TRUE(w.bodies);
        EXPECT_EQ(w.wall_count, 7);  // four border walls and three from the file
        EXPECT_DOUBLE_EQ(w.walls->x, 4.0);
        EXPECT_DOUBLE_EQ(w.walls->h, 2.5);
        EXPECT_DOUBLE_EQ(w.target_x, 7.5);
        EXPECT_DOUBLE_EQ(w.target_y, 2.25);
        const std::string log = log_text();
        for (int line : {5, 6, 7, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19})
            EXPECT_NE(log.find("[World] in.txt line " + std::to_string(line) + " ignored: "), std::string::npos) << line;
        EXPECT_EQ(count_of(log, " ignored: "), 13);

        // Saving writes the operator's walls oldest first and the target, never the border walls.
        w.add_wall(0.5, 8, 1.0 / 3, 0.7);
        w.add_wall(3, 3, 0, 0);  // a click without a drag has no area
        w.target_x = 2.0 / 3;
        EXPECT_EQ(w.save_world("out.txt"), 4);
        EXPECT_NE(log_text().find("[World] Saved 4 walls to out.txt, 1 of no size left out\n"), std::string::npos);
        const std::string saved = read_file("out.txt");
        EXPECT_EQ(saved.rfind("# ", 0), 0u);
        EXPECT_EQ(count_of(saved, "wall "), 4);
        EXPECT_LT(saved.find("wall 1 2 3 0.5\n"), saved.find("wall 1 2 0 4\n"));
        EXPECT_LT(saved.find("wall 1 2 0 4\n"), saved.find("wall 4 5 0.25 2.5\n"));
        // A directory that does not exist: nothing written, the failure logged with its reason.
        EXPECT_EQ(w.save_world("no/such/dir/w.txt"), -1);
        EXPECT_NE(log_text().find("[World] Unable to save world file no/such/dir/w.txt: "), std::string::npos);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 3);  // log, in and out: no temporary
    // Loading the saved file gives the same walls, in the same order, and the same target.
    setup.world_file = "out.txt";
    world_class again(setup);
    ASSERT_EQ(again.wall_count, 8);
    EXPECT_TRUE(again.bodies);
    EXPECT_DOUBLE_EQ(again.walls->w, 1.0 / 3);
    EXPECT_DOUBLE_EQ(again.target_x, 2.0 / 3);
    EXPECT_DOUBLE_EQ(again.target_y, 2.25);
}

TEST_F(world_test, WorldFilesAreRegularFilesWithinTheirLimits) {
    // Only regular files of at most 16 MiB are read; anything else leaves the border walls.
    // (FIFOs and devices are tried on the real program, with a time limit.)
    std::filesystem::create_directory("folder");
    std::filesystem::resize_file((write_file("big.txt", ""), "big.txt"), (16u << 20) + 1);
    for (const char* refused : {"missing.txt", "folder", "big.txt"}) {
        setup.world_file = refused;
        world_class w(setup);
        EXPECT_FALSE(w.walls_from_file) << refused;
        EXPECT_EQ(w.wall_count, 4) << refused;
        EXPECT_NE(log_text().find(std::string("[World] Unable to load world file ") + refused + ": "), std::string::npos);
    }
    const std::string log = log_text();
    EXPECT_NE(log.find("folder: not a regular file\n"), std::string::npos);
    EXPECT_NE(log.find("big.txt: larger than 16 MiB\n"), std::string::npos);
    EXPECT_EQ(log.find("[World] Loaded"), std::string::npos);

    // At most 100,000 walls: the first line past them says so, once.
    std::string many;
    for (int i = 0; i < 100002; ++i) many += "wall 1 1 1 1\n";
    write_file("many.txt", many);
    setup.world_file = "many.txt";
    {
        world_class w(setup);
        EXPECT_EQ(w.wall_count, 4 + 100000);
    }
    EXPECT_NE(log_text().find("[World] many.txt line 100001 ignored: more than 100000 walls\n"), std::string::npos);
    EXPECT_EQ(count_of(log_text(), "more than 100000 walls"), 1);
    EXPECT_NE(log_text().find("[World] Loaded 100000 walls from many.txt\n"), std::string::npos);
}

TEST_F(world_test, SavingWritesThroughLinksAndRefusesWhatIsNotAFile) {
    write_file("real.txt", "old\n");
    write_file("real.txt.tmp", "someone else's\n");
    std::filesystem::permissions("real.txt", std::filesystem::perms(0640));
    std::filesystem::create_symlink("real.txt", "link.txt");
    ASSERT_EQ(::mkfifo("fifo", 0600), 0);
    world_class w(setup);
    w.add_wall(1, 1, 2, 2);
    EXPECT_EQ(w.save_world("link.txt"), 1);
    EXPECT_TRUE(std::filesystem::is_symlink("link.txt"));
    EXPECT_EQ(count_of(read_file("real.txt"), "wall 1 1 2 2\n"), 1);
    EXPECT_EQ(std::filesystem::status("real.txt").permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(read_file("real.txt.tmp"), "someone else's\n");
    // Nothing but a regular file is replaced.
    EXPECT_EQ(w.save_world("fifo"), -1);
    EXPECT_TRUE(std::filesystem::is_fifo("fifo"));
    EXPECT_NE(log_text().find("[World] Unable to save world file fifo: not a regular file\n"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 5);  // no temporary left
}

TEST_F(world_test, FreeWallsRemovesBorderWallsToo) {
    world_class w(setup);
    w.add_wall(1, 1, 2, 2);
    EXPECT_EQ(w.wall_count, 5);
    EXPECT_DOUBLE_EQ(w.walls->x, 1.0);
    w.free_walls();
    EXPECT_EQ(w.wall_count, 0);
    EXPECT_EQ(w.walls, nullptr);
}

}  // namespace

TEST_F(world_test, StillRobotsAreWithinATenthOfWhereTheyWereTenSecondsAgo) {
    write_file("robots.txt", "a 127.0.0.1 5000 0 0\nb 127.0.0.1 5002 0 0\n");
    world_class w(setup);
    run_figures figures;
    auto at = [&](double t, double ax, double bx) {
        w.robots[0]->x = ax;
        w.robots[1]->x = bx;
        figures.record_positions(w, t);
    };
    at(0, 1, 1);
    at(5, 3, 3);
    at(10.5, 1.09, 1.11);  // against the start: a moved 0.09, b 0.11
    EXPECT_EQ(figures.robots_still(w), 1);
    at(15.5, 3, 3);  // against 5 s: both back where they were
    EXPECT_EQ(figures.robots_still(w), 2);
}
