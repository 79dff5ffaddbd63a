// One robot: drive command and drive bytes, camera pan and tilt, heading error, kinematics,
// collisions with walls and the world's edge, construction and the IR indicator.
#include <algorithm>
#include <cmath>
#include <string>

#include "platform/draw.h"
#include "robot/robot.h"
#include "support/clock.h"
#include "support/random.h"
#include "test_robot.h"
#include "test_support.h"
#include "world_fixture.h"
#include "world/world.h"

using namespace test_support;

namespace {

constexpr double pi = 3.14159265358979323846;

class robot_test : public world_fixture {
protected:
    void SetUp() override {
        world_fixture::SetUp();
        set_fixed_step(0.1);
    }
    void TearDown() override {
        set_fixed_step(0);
        world_fixture::TearDown();
    }

    // Puts the robot somewhere and restarts its integration from now.
    static void place(robot_class& r, double x, double y, double heading) {
        r.x = x;
        r.y = y;
        r.heading = heading;
        r.last_update = get_time();
    }
    static void run(robot_class& r, int ticks) {
        for (int i = 0; i < ticks; ++i) {
            advance_sim_clock();
            r.update();
        }
    }
};

TEST_F(robot_test, DriveBytesFollowSpeedAndTurn) {
    world_class w(setup);
    test_robot r(&w);
    struct {
        double speed, turn;
        int d0, d1;
    } const cases[] = {
        {0, 0, 128, 128},    {1, 0, 158, 98},    {1, 1, 173, 113},   {1, -1, 143, 83},
        {-1, 0, 98, 158},    {0, 1, 143, 143},   {0, -1, 113, 113},  {0.5, 0, 143, 113},
        {0.01, 0, 128, 127},  // truncated, not rounded
        {-0.01, 0, 127, 128},
    };
    for (const auto& c : cases) {
        r.motion(c.speed, c.turn);
        EXPECT_EQ(r.drive0, c.d0) << c.speed << " " << c.turn;
        EXPECT_EQ(r.drive1, c.d1) << c.speed << " " << c.turn;
        EXPECT_EQ(r.speed, c.speed);
        EXPECT_EQ(r.turn, c.turn);
    }
}

TEST_F(robot_test, OutOfRangeCommandsAreClampedButLoggedAsGiven) {
    world_class w(setup);
    test_robot r(&w);
    // Construction stops the robot, which is logged too.
    const std::string before = log_text();
    EXPECT_NE(before.find("[Robot] motion  0.0   0.0\n"), std::string::npos);
    r.motion(2, -3);
    EXPECT_EQ(r.speed, 1.0);
    EXPECT_EQ(r.turn, -1.0);
    EXPECT_EQ(r.drive0, 143);
    EXPECT_EQ(r.drive1, 83);
    r.motion(-7, 1.5);
    EXPECT_EQ(r.speed, -1.0);
    EXPECT_EQ(r.turn, 1.0);
    EXPECT_EQ(r.drive0, 113);
    EXPECT_EQ(r.drive1, 173);
    // One line per call, in the order of the calls.
    const std::string log = log_text();
    ASSERT_EQ(log.compare(0, before.size(), before), 0);
    EXPECT_EQ(log.substr(before.size()), "[Robot] motion  2.0  -3.0\n[Robot] motion -7.0   1.5\n");
}

TEST_F(robot_test, PanAndTiltStayInRange) {
    world_class w(setup);
    test_robot r(&w);
    // Pan set to a position, then moved by a step: a step that would reach 255 or 0, or
    // overshoot, is dropped whole, not cut short; absolute positions reach the full range.
    const struct {
        int set, step, pan;
    } pans[] = {{254, 1, 254},  {253, 1, 254},    {1, -1, 1},    {2, -1, 1},    {250, 10, 250},
                {250, -249, 1}, {100, -100, 100}, {100, 0, 100}, {300, 0, 255}, {300, 1, 255},
                {-5, 0, 0},     {-5, -1, 0},      {77, 0, 77}};
    for (const auto& p : pans) {
        r.set_pan(p.set);
        r.move_pan(p.step);
        EXPECT_EQ(r.pan, p.pan) << p.set << " moved by " << p.step;
    }
    const struct { int set, tilt; } tilts[] = {{300, 255}, {-5, 0}, {255, 255}, {0, 0}, {131, 131}};
    for (const auto& t : tilts) {
        r.set_tilt(t.set);
        EXPECT_EQ(r.tilt, t.tilt) << t.set;
    }
    EXPECT_EQ(r.pan, 77);
}

TEST_F(robot_test, LeavingAutoModeStops) {
    world_class w(setup);
    test_robot r(&w);
    EXPECT_FALSE(r.auto_mode);
    r.motion(1, 1);
    r.toggle_auto_mode();
    EXPECT_TRUE(r.auto_mode);
    EXPECT_EQ(r.speed, 1.0);  // switching on keeps the command
    EXPECT_EQ(r.drive0, 173);
    r.toggle_auto_mode();
    EXPECT_FALSE(r.auto_mode);
    EXPECT_EQ(r.speed, 0.0);
    EXPECT_EQ(r.turn, 0.0);
    EXPECT_EQ(r.drive0, 128);
    EXPECT_EQ(r.drive1, 128);
}

TEST_F(robot_test, HeadingErrorIsWrappedIntoMinusPiToPi) {
    world_class w(setup);
    test_robot r(&w);
    w.target_x = w.target_y = 8;
    // The gradient at (3, 5) comes from one waypoint alone: no impacts, a level grid.
    auto error_for = [&](double heading, double wx, double wy) {
        w.free_impacts();
        level_grid(r);
        only_waypoint(r, wx, wy);
        place(r, 3, 5, heading);
        r.update();
        return r.heading_error;
    };
    // Waypoint to the right: gradient heading 0.
    EXPECT_EQ(error_for(-pi, 4, 5), pi);
    EXPECT_EQ(r.grad_angle, 0.0);
    EXPECT_EQ(error_for(pi, 4, 5), pi);
    EXPECT_NEAR(error_for(0.5, 4, 5), -0.5, 1e-12);
    EXPECT_NEAR(error_for(-0.5, 4, 5), 0.5, 1e-12);
    EXPECT_NEAR(error_for(-3, 4, 5), 3, 1e-12);
    EXPECT_NEAR(error_for(3, 4, 5), -3, 1e-12);
    EXPECT_EQ(error_for(0, 4, 5), 0.0);
    // Waypoint below on the screen: gradient heading -pi/2.
    EXPECT_EQ(error_for(pi / 2, 3, 6), pi);
    EXPECT_EQ(r.grad_angle, -pi / 2);
    EXPECT_NEAR(error_for(-pi / 2 - 1, 3, 6), 1, 1e-12);
    EXPECT_NEAR(error_for(2.5, 3, 6), 1.5 * pi - 2.5, 1e-12);
}

TEST_F(robot_test, FullSpeedIsHalfAUnitAndFullTurnTwoRadiansPerSecond) {
    world_class w(setup);
    test_robot r(&w);
    w.target_x = w.target_y = 8;

    place(r, 3, 5, 0);
    r.motion(1, 0);
    run(r, 10);  // one second
    EXPECT_NEAR(r.x, 3.5, 1e-9);
    EXPECT_NEAR(r.y, 5.0, 1e-12);
    EXPECT_NEAR(r.dx, 0.05, 1e-9);
    EXPECT_EQ(r.heading, 0.0);

    // Heading pi/2 is up the screen.
    place(r, 5, 7, pi / 2);
    run(r, 10);
    EXPECT_NEAR(r.x, 5.0, 1e-12);
    EXPECT_NEAR(r.y, 6.5, 1e-9);

    // Half speed, backwards.
    place(r, 3, 5, 0);
    r.motion(-0.5, 0);
    run(r, 20);
    EXPECT_NEAR(r.x, 2.5, 1e-9);

    // Turning on the spot, counter-clockwise on the screen.
    place(r, 3, 5, 0);
    r.motion(0, 1);
    run(r, 10);
    EXPECT_NEAR(r.heading, 2.0, 1e-9);
    EXPECT_EQ(r.x, 3.0);
    EXPECT_EQ(r.y, 5.0);
    run(r, 6);  // 3.2 passes pi and comes back round
    EXPECT_NEAR(r.heading, 3.2 - 2 * pi, 1e-9);
    r.motion(0, -0.5);
    place(r, 3, 5, 0);
    run(r, 10);
    EXPECT_NEAR(r.heading, -1.0, 1e-9);

    // One tick of both: the step is taken along the new heading.
    place(r, 3, 5, 0);
    r.motion(1, 1);
    run(r, 1);
    EXPECT_NEAR(r.heading, 0.2, 1e-12);
    EXPECT_NEAR(r.x, 3 + 0.05 * std::cos(0.2), 1e-12);
    EXPECT_NEAR(r.y, 5 - 0.05 * std::sin(0.2), 1e-12);
    EXPECT_NEAR(r.dx, 0.05 * std::cos(0.2), 1e-12);
    EXPECT_NEAR(r.dy, -0.05 * std::sin(0.2), 1e-12);
}

TEST_F(robot_test, DrivingIntoAWallStopsShortButTurningGoesOn) {
    world_class w(setup);
    test_robot r(&w);
    w.target_x = w.target_y = 8;
    w.add_wall(6.02, 4, 0.5, 2);
    place(r, 5, 5, 0);
    r.motion(1, 0);
    // 0.05 per tick: from 5.70 the next position 5.75 is 0.27 from the wall, allowed; from 5.75
    // the next one, 5.80, is 0.22 away, closer than 0.25.
    run(r, 14);
    EXPECT_NEAR(r.x, 5.70, 1e-9);
    run(r, 1);
    EXPECT_NEAR(r.x, 5.75, 1e-9);
    const double stopped = r.x;
    run(r, 20);
    EXPECT_EQ(r.x, stopped);
    EXPECT_EQ(r.y, 5.0);
    EXPECT_NEAR(r.dx, 0.05, 1e-9);  // the step is still computed, just not taken
    // The front sensors see the wall close by.
    EXPECT_TRUE(r.vision_seen[1]);
    EXPECT_NEAR(r.vision[1], 2.0 - 0.27, 1e-9);

    // Turning a little, it slides along the wall with what is left of its step.
    r.motion(1, 1);
    run(r, 1);
    EXPECT_NEAR(r.heading, 0.2, 1e-9);
    EXPECT_EQ(r.x, stopped);
    EXPECT_NEAR(r.y, 5.0 - 0.05 * std::sin(0.2), 1e-9);
    // Turned away, it drives off.
    place(r, stopped, 5, pi);
    r.motion(1, 0);
    run(r, 1);
    EXPECT_NEAR(r.x, stopped - 0.05, 1e-9);
}

TEST_F(robot_test, RobotStandingStillRecordsWhatItsProbeRaysMeet) {
    // A small wall 0.6 away at 30 degrees: between two sensors and vision rays, on a probe ray.
    world_class w(setup);
    test_robot r(&w);
    w.target_x = w.target_y = 8;
    const double wx = 5 + 0.6 * std::cos(pi / 6), wy = 5 - 0.6 * std::sin(pi / 6);
    w.add_wall(wx - 0.01, wy - 0.01, 0.02, 0.02);
    place(r, 5, 5, 0);
    r.motion(0, 0);
    run(r, 1);
    ASSERT_EQ(w.impact_count, 1);
    EXPECT_NEAR(w.impacts[0].x, wx, 0.011);
    EXPECT_NEAR(w.impacts[0].y, wy, 0.011);
    EXPECT_EQ(r.x, 5.0);
}

TEST_F(robot_test, SensorsReachTheOuterEdgeOfTheDrawnSensorAndRaysMeasureNearness) {
    world_class w(setup);
    test_robot r(&w);
    w.free_walls();
    w.target_x = w.target_y = 8;
    auto sense = [&](double wx, double wy, double ww, double wh) {
        w.free_walls();
        w.add_wall(wx, wy, ww, wh);
        place(r, 5, 5, 0);
        r.update();
    };
    // Facing right, a wall 0.31 ahead: inside the front sensor's reach of 0.25 + 0.0625.
    sense(5.31, 4, 1, 2);
    EXPECT_TRUE(r.sensor_hit[1]);
    EXPECT_FALSE(r.sensor_hit[0]);
    EXPECT_FALSE(r.sensor_hit[2]);
    EXPECT_NEAR(r.vision[1], 2 - 0.31, 1e-9);
    EXPECT_TRUE(r.vision_seen[1]);
    EXPECT_NEAR(r.vision_point[1].x, 5.31, 1e-9);
    // The rays 60 degrees either side meet the same face 0.62 away.
    EXPECT_NEAR(r.vision[0], 2 - 0.62, 1e-9);
    EXPECT_NEAR(r.vision[2], 2 - 0.62, 1e-9);
    EXPECT_GT(r.vision_point[0].y, 5.0);  // ray 0 is to the right of the heading: down the screen
    EXPECT_LT(r.vision_point[2].y, 5.0);
    for (int i = 3; i < 6; ++i) {
        EXPECT_FALSE(r.vision_seen[i]) << i;
        EXPECT_EQ(r.vision[i], 0.0) << i;
        EXPECT_FALSE(r.sensor_hit[i]) << i;
    }
    // 0.32 ahead is out of the sensor's reach.
    sense(5.32, 4, 1, 2);
    EXPECT_FALSE(r.sensor_hit[1]);
    EXPECT_NEAR(r.vision[1], 2 - 0.32, 1e-9);
    // Below and to the right of the heading only the sensor at -60 degrees touches the wall.
    sense(5, 5.2, 1, 1);
    const bool expect_right[6] = {true, false, false, false, false, false};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r.sensor_hit[i], expect_right[i]) << i;
    // Facing up, a wall straight below: only the sensor at +180 degrees.
    w.free_walls();
    w.add_wall(4.9, 5.2, 1, 1);
    place(r, 5, 5, pi / 2);
    r.update();
    const bool expect_behind[6] = {false, false, false, false, true, false};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r.sensor_hit[i], expect_behind[i]) << i;
    EXPECT_NEAR(r.vision[4], 2 - 0.2, 1e-9);
}

TEST_F(robot_test, PositionIsClampedAQuarterFromTheWorldEdge) {
    world_class w(setup);
    test_robot r(&w);
    w.free_walls();
    w.target_x = w.target_y = 5;
    r.motion(1, 0);
    place(r, 9.7, 5, 0);
    run(r, 1);
    EXPECT_NEAR(r.x, 9.75, 1e-9);
    run(r, 3);
    EXPECT_EQ(r.x, 9.75);
    place(r, 5, 0.3, pi / 2);
    run(r, 3);
    EXPECT_EQ(r.y, 0.25);
    place(r, 0.3, 5, pi);
    run(r, 3);
    EXPECT_EQ(r.x, 0.25);
    place(r, 5, 9.7, -pi / 2);
    run(r, 3);
    EXPECT_EQ(r.y, 9.75);
    // Even a robot put far outside comes back to the edge.
    r.motion(0, 0);
    place(r, 20, -3, 0);
    run(r, 1);
    EXPECT_EQ(r.x, 9.75);
    EXPECT_EQ(r.y, 0.25);
}

TEST_F(robot_test, RobotWithinTheProbeDistanceOfAWallMovesAnyWayButCloser) {
    world_class w(setup);
    test_robot r(&w);
    w.target_x = w.target_y = 8;
    w.add_wall(6.02, 4, 0.5, 2);
    const double start = 5.87;  // 0.15 from the wall: every probe towards it finds it
    place(r, start, 5, 0);      // straight at the wall: held
    r.motion(1, 0);
    run(r, 5);
    EXPECT_EQ(r.x, start);
    EXPECT_EQ(r.y, 5.0);
    // Slanting 14 degrees into it (a robot once sat like this for good), or along it: it slides.
    for (double heading : {0.25, pi / 2}) {
        place(r, start, 5, heading);
        run(r, 5);
        EXPECT_EQ(r.x, start) << heading;
        EXPECT_NEAR(r.y, 5 - 0.25 * std::sin(heading), 1e-9) << heading;
    }
    place(r, start, 5, pi);  // away from it: drives free
    run(r, 5);
    EXPECT_NEAR(r.x, start - 0.25, 1e-9);
}

TEST_F(robot_test, BodyKeepsItsRadiusFromACornerBetweenTheProbeRays) {
    world_class w(setup);
    test_robot r(&w);
    w.target_x = w.target_y = 8;
    // Driving past a corner 0.2 to the side: the probe's rays, 30 degrees apart, let the body
    // come 0.24 from it and then hold it there for good.
    w.add_wall(5, 5.2, 1, 1);
    place(r, 4.02, 5, 0);
    r.motion(1, 0);
    double nearest = 1;
    for (int tick = 0; tick < 60; ++tick) {
        run(r, 1);
        const double gx = std::max({5 - r.x, 0.0, r.x - 6}), gy = std::max({5.2 - r.y, 0.0, r.y - 6.2});
        nearest = std::min(nearest, std::hypot(gx, gy));
    }
    EXPECT_GE(nearest, 0.25 - 1e-9);
    EXPECT_GT(r.x, 6.0);  // round the corner and on
}

TEST_F(robot_test, RobotInsideAWallWalksOutTheShortestWay) {
    world_class w(setup);
    test_robot r(&w);
    w.target_x = w.target_y = 8;
    // Drawn over a robot in auto mode, a wall used to hold it for good: it walks out through
    // the nearest face (0.2 to its right) until its body is clear, heading where it likes.
    r.auto_mode = true;
    place(r, 2.8, 2.5, 2.0);
    w.add_wall(2, 2, 1, 1);
    int ticks = 0;
    while (ticks < 30 && (r.escaping || w.check_wall_point(r.x, r.y))) {
        run(r, 1);
        ++ticks;
    }
    EXPECT_NEAR(r.x, 3.25, 1e-9);
    EXPECT_NEAR(r.y, 2.5, 1e-9);
    EXPECT_LE(ticks, 10);  // at full speed, 0.05 a tick
    // With a second wall beside it, it comes out clear of both, by the shortest way that is.
    w.add_wall(3, 1.5, 1, 2);
    place(r, 2.8, 2.5, 2.0);
    for (int tick = 0; tick < 60 && (r.escaping || w.check_wall_point(r.x, r.y)); ++tick) run(r, 1);
    auto clearance = [&](double x0, double y0, double x1, double y1) {
        return std::hypot(std::max({x0 - r.x, 0.0, r.x - x1}), std::max({y0 - r.y, 0.0, r.y - y1}));
    };
    EXPECT_GE(clearance(2, 2, 3, 3), 0.25 - 1e-9);
    EXPECT_GE(clearance(3, 1.5, 4, 3.5), 0.25 - 1e-9);
    EXPECT_NEAR(r.x, 2.75, 1e-9);  // up 0.75 out of the first, then 0.05 left of the second
    EXPECT_NEAR(r.y, 1.75, 1e-9);
}

TEST_F(robot_test, ConstructionDrawsXThenYThenHeading) {
    world_class w(setup);
    bool above_pi = false, below_pi = false;
    for (unsigned seed : {1u, 2u, 3u, 77u, 4242u, 31337u}) {
        srand15(seed);
        const double x = f_rand(0.5, 9.5);
        const double y = f_rand(0.5, 9.5);
        const double h = f_rand(0, 2 * pi);
        srand15(seed);
        test_robot r(&w);
        EXPECT_EQ(r.x, x) << seed;
        EXPECT_EQ(r.y, y) << seed;
        // The update run by the constructor brings the heading into [-pi, pi].
        if (h > pi) {
            above_pi = true;
            EXPECT_NEAR(r.heading, h - 2 * pi, 1e-12) << seed;
        } else {
            below_pi = true;
            EXPECT_EQ(r.heading, h) << seed;
        }
        EXPECT_EQ(r.drive0, 128);
        EXPECT_EQ(r.drive1, 128);
        EXPECT_FALSE(r.auto_mode);
        EXPECT_TRUE(r.timers_reset);
        EXPECT_EQ(r.error_history[0], 0.0);
        EXPECT_EQ(r.error_history[1], 0.0);
        EXPECT_EQ(r.last_update, get_time());
    }
    EXPECT_TRUE(above_pi && below_pi);

    // With walls from a world file, a start within 0.3 of a wall is drawn again, x, y, heading.
    srand15(5);
    const double x1 = f_rand(0.5, 9.5), y1 = f_rand(0.5, 9.5);
    f_rand(0, 2 * pi);
    const double x2 = f_rand(0.5, 9.5), y2 = f_rand(0.5, 9.5);
    w.add_wall(x1 + 0.25, y1 - 1, 0.1, 2);  // 0.25 to the right of the first draw
    srand15(5);
    test_robot mouse_walls(&w);  // walls drawn by hand do not count
    EXPECT_EQ(mouse_walls.x, x1);
    w.walls_from_file = true;
    srand15(5);
    test_robot file_walls(&w);
    EXPECT_EQ(file_walls.x, x2);
    EXPECT_EQ(file_walls.y, y2);
}

TEST_F(robot_test, IrIndicatorShortensAsTheReadingRises) {
    setup.picture_width = 400;
    setup.picture_height = 400;
    memdc = platform::create_memory_dc();
    world_class w(setup);
    test_robot r(&w);
    const platform::color black = platform::rgb(0, 0, 0), white = platform::rgb(255, 255, 255);
    // 40 pixels per unit; the robot at (5, 5) = pixel (200, 200), facing right. Points along
    // the beam, which is black: reading 0 reaches 1.2 * 0.5 + 1.5 * 0.5 = 1.35 from the centre,
    // pixel 254; reading 5 reaches 0.975, pixel 239; reading 10 reaches 0.6, pixel 224.
    const struct {
        float ir;
        int x;
        bool beam;
    } points[] = {{0, 230, true},   {0, 250, true},  {0, 258, false}, {10, 220, true},
                  {10, 230, false}, {10, 250, false}, {5, 235, true},  {5, 243, false}};
    for (const auto& p : points) {
        platform::bitmap* bmp = platform::create_bitmap(400, 400);
        platform::select_bitmap(memdc, bmp);
        r.x = 5;
        r.y = 5;
        r.heading = 0;
        r.tel_ir = p.ir;
        r.draw(memdc);
        EXPECT_EQ(platform::get_pixel(bmp, p.x, 200), p.beam ? black : white) << "reading " << p.ir << " at " << p.x;
        platform::select_bitmap(memdc, nullptr);
        platform::delete_bitmap(bmp);
    }
    platform::delete_dc(memdc);
    memdc = nullptr;
}

}  // namespace
