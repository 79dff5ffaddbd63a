// The real program in a real X server, driven by real pointer and key events.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/draw.h"
#include "process_util.h"
#include "raw_link.h"
#include "test_support.h"

using namespace test_support;
using namespace platform;

namespace {

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class e2e_test : public temp_dir_test {
protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        if (!have_program("Xvfb") || !have_program("xdotool"))
            GTEST_SKIP() << "Xvfb and xdotool are needed (the bootstrap script installs them)";
        display_ = ":" + std::to_string(200 + getpid() % 700);
        xvfb_ = spawn({"Xvfb", display_, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"}, {},
                      dir_, dir_ + "/xvfb.txt");
        for (int i = 0; i < 100 && !x_ready(); ++i) pause_ms(50);
        ASSERT_TRUE(x_ready()) << read_file(dir_ + "/xvfb.txt");
    }
    void TearDown() override {
        if (app_ > 0) stop(app_);
        if (peer_ > 0) stop(peer_);
        if (wm_ > 0) stop(wm_);
        if (xvfb_ > 0) stop(xvfb_);
        temp_dir_test::TearDown();
    }
    bool x_ready() { return xdo("getdisplaygeometry") == 0; }
    int xdo(const std::string& args, std::string* out = nullptr) {
        return run_shell("DISPLAY=" + display_ + " xdotool " + args + " 2>/dev/null", out);
    }
    // Starts the controller and returns its window id.
    std::string start(const std::string& snapshot, const std::string& title = "Quorin Swarm Controller") {
        app_ = spawn({SWARM_BIN, "--stats", "--snapshot", snapshot},
                     {"DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb"}, dir_, dir_ + "/out.txt");
        std::string id;
        for (int i = 0; i < 300 && id.empty(); ++i) {
            xdo("search --onlyvisible --name '" + title + "'", &id);
            while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
            if (id.find('\n') != std::string::npos) id = id.substr(id.rfind('\n') + 1);
            if (id.empty()) pause_ms(50);
        }
        pause_ms(300);  // let the first frames and the mapping settle
        return id;
    }
    // Height of the menu bar: the outer height less the client height the log reports.
    int menu_height() {
        std::string log = read_file(dir_ + "/log.txt");
        std::size_t p = log.find("[Main] memdc_setup x:   640  y: ");
        if (p == std::string::npos) return 0;
        return 480 - std::atoi(log.c_str() + p + 32);
    }
    int finish() {
        int code = wait_for(app_, 15000);
        app_ = -1;
        return code;
    }

    // Starts the controller with one robot whose console is shown and served by the robot peer;
    // returns the console's window id once the console has connected and announced its version.
    std::string start_served_console() {
        const int port = free_port_pair();
        write_file(dir_ + "/robots.txt", "scout 127.0.0.1 " + std::to_string(port) + " 1 0\n");
        peer_ = spawn({ROBOT_PEER_BIN, "--port", std::to_string(port)}, {}, dir_, dir_ + "/peer.txt");
        const std::string id = start("console.png", "Robot View");
        for (int i = 0; i < 100 && read_file(dir_ + "/peer.txt").find("string \"0.6.17\"") == std::string::npos; ++i)
            pause_ms(50);
        return read_file(dir_ + "/peer.txt").find("string \"0.6.17\"") == std::string::npos ? "" : id;
    }
    // A window manager, as on a desktop: focus, activation and menus then go through it.
    bool start_window_manager() {
        if (!have_program("openbox")) return false;
        wm_ = spawn({"openbox"}, {"DISPLAY=" + display_}, dir_, dir_ + "/wm.txt");
        for (int i = 0; i < 100; ++i) {
            if (run_shell("DISPLAY=" + display_ + " xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window") == 0) {
                // It announces itself before it has finished starting: a window mapped in that
                // moment is sometimes never managed, and stays unmapped.
                pause_ms(1000);
                return true;
            }
            pause_ms(50);
        }
        return false;
    }

    std::string display_;
    pid_t xvfb_ = -1;
    pid_t wm_ = -1;
    pid_t peer_ = -1;
    pid_t app_ = -1;
};

TEST_F(e2e_test, DragAWallThenHideTheWallsWithT) {
    std::string id = start("drawn.png");
    ASSERT_FALSE(id.empty()) << read_file(dir_ + "/out.txt");
    int mh = menu_height();
    ASSERT_GT(mh, 0);
    // Client (100, 100) to (220, 180): world (1.56, 2.17) to (3.44, 3.90) in a 640 by 461 view.
    ASSERT_EQ(xdo("mousemove --window " + id + " 100 " + std::to_string(mh + 100)), 0);
    pause_ms(100);
    xdo("mousedown 1");
    pause_ms(100);
    for (int step = 1; step <= 4; ++step) {
        xdo("mousemove --window " + id + " " + std::to_string(100 + 30 * step) + " " +
            std::to_string(mh + 100 + 20 * step));
        pause_ms(60);
    }
    xdo("mouseup 1");
    pause_ms(200);
    xdo("windowfocus --sync " + id);
    xdo("key Escape");
    ASSERT_EQ(finish(), 0) << read_file(dir_ + "/out.txt");

    std::string out = read_file(dir_ + "/out.txt");
    EXPECT_NE(out.find("walls: 5\n"), std::string::npos) << out;
    bitmap* shot = load_png((dir_ + "/drawn.png").c_str());
    ASSERT_NE(shot, nullptr);
    const color azure = rgb(0, 128, 200), white = rgb(255, 255, 255);
    EXPECT_EQ(get_pixel(shot, 160, 140), azure);  // inside the dragged wall
    EXPECT_EQ(get_pixel(shot, 215, 175), azure);
    EXPECT_EQ(get_pixel(shot, 90, 140), white);   // left of where the button went down
    EXPECT_EQ(get_pixel(shot, 160, 190), white);  // below where it came up
    delete_bitmap(shot);

    // Second run: T hides every wall, the border walls included, and the target's outline
    // turns black.
    id = start("hidden.png");
    ASSERT_FALSE(id.empty()) << read_file(dir_ + "/out.txt");
    xdo("windowfocus --sync " + id);
    xdo("key t");
    pause_ms(300);
    xdo("key Escape");
    ASSERT_EQ(finish(), 0);
    shot = load_png((dir_ + "/hidden.png").c_str());
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(get_pixel(shot, 0, 200), white);
    EXPECT_EQ(get_pixel(shot, 320, 0), white);
    EXPECT_EQ(get_pixel(shot, 320, 230), rgb(0, 255, 0));
    int black_outline = 0;
    for (int x = 310; x < 320; ++x) black_outline += get_pixel(shot, x, 230) == rgb(0, 0, 0);
    EXPECT_GT(black_outline, 0);
    delete_bitmap(shot);
}

}  // namespace

namespace {

TEST_F(e2e_test, HoldingWInAConsoleDrivesTheRobot) {
    // The console connects within its first seconds and announces its version.
    const std::string id = start_served_console();
    ASSERT_FALSE(id.empty()) << read_file(dir_ + "/out.txt") << read_file(dir_ + "/peer.txt");
    xdo("windowfocus --sync " + id);
    pause_ms(200);
    xdo("keydown w");
    pause_ms(600);
    xdo("keyup w");
    pause_ms(400);
    stop(app_);
    app_ = -1;
    stop(peer_);
    peer_ = -1;
    const std::string lines = read_file(dir_ + "/peer.txt");
    const std::size_t forward = lines.find("drive 158 158 98 98");
    ASSERT_NE(forward, std::string::npos) << lines;
    // Held, the command repeats; released, the robot is told to rest.
    EXPECT_NE(lines.find("drive 158 158 98 98", forward + 1), std::string::npos);
    EXPECT_NE(lines.find("drive 128 128 128 128", forward), std::string::npos);
}

TEST_F(e2e_test, FrameRateLinesLeaveTheOtherMessagesInPlace) {
    if (!have_program("import")) GTEST_SKIP() << "ImageMagick's import is needed";
    const std::string id = start_served_console();
    ASSERT_FALSE(id.empty()) << read_file(dir_ + "/out.txt") << read_file(dir_ + "/peer.txt");
    auto frame_rates = [&] { return count_of(read_file(dir_ + "/log.txt"), "[Client Main] FPS:"); };
    for (int i = 0; i < 60 && frame_rates() < 1; ++i) pause_ms(100);
    ASSERT_GE(frame_rates(), 1);
    // The console as the X server shows it, once now and once three frame-rate lines later. The
    // message strip is the window's lowest six lines of 15 rows; the frame rate is the last line
    // written in it, and its number may change.
    auto shot = [&](const std::string& name) {
        EXPECT_EQ(run_shell("DISPLAY=" + display_ + " import -window " + id + " " + dir_ + "/" + name), 0);
        return load_png((dir_ + "/" + name).c_str());
    };
    bitmap* before = shot("before.png");
    const int seen = frame_rates();
    for (int i = 0; i < 60 && frame_rates() < seen + 3; ++i) pause_ms(100);
    ASSERT_GE(frame_rates(), seen + 3);
    bitmap* after = shot("after.png");
    ASSERT_TRUE(before && after);
    ASSERT_EQ(bitmap_height(before), bitmap_height(after));
    const int strip = bitmap_height(before) - 90;
    auto ink = [&](bitmap* b, int line) {
        int n = 0;
        for (int y = strip + 15 * line; y < strip + 15 * (line + 1); ++y)
            for (int x = 0; x < 640; ++x) n += get_pixel(b, x, y) == rgb(0, 0, 0);
        return n;
    };
    int last = -1;
    for (int line = 0; line < 6; ++line)
        if (ink(before, line) > 0) last = line;
    ASSERT_GE(last, 2);  // earlier messages above the frame rate, to be pushed out ...
    int changed = 0;
    for (int y = strip; y < strip + 15 * last; ++y)
        for (int x = 0; x < 640; ++x) changed += get_pixel(before, x, y) != get_pixel(after, x, y);
    EXPECT_EQ(changed, 0);  // ... that stay where they were,
    EXPECT_GT(ink(after, last), 0);
    if (last < 5) {
        EXPECT_EQ(ink(after, last + 1), 0);  // and no line was added below
    }
    delete_bitmap(before);
    delete_bitmap(after);
}

}  // namespace

namespace {

// A held key and the File menu, as an operator uses them at a desktop with a window manager.
TEST_F(e2e_test, HeldKeyReleasesOnceAndTheMenuKeepsTheRobotGoing) {
    if (!have_program("xset") || !have_program("xprop")) GTEST_SKIP() << "xset and xprop are needed";
    ASSERT_TRUE(start_window_manager()) << read_file(dir_ + "/wm.txt");
    // Repeats start after 250 ms, thirty a second: a 3 s hold gives about eighty of them.
    ASSERT_EQ(run_shell("DISPLAY=" + display_ + " xset r rate 250 30"), 0);
    const std::string id = start_served_console();
    ASSERT_FALSE(id.empty()) << read_file(dir_ + "/out.txt") << read_file(dir_ + "/peer.txt");
    xdo("windowactivate --sync " + id);
    xdo("windowfocus --sync " + id);
    pause_ms(300);
    const std::string log_before = read_file(dir_ + "/log.txt");
    const std::size_t peer_before = read_file(dir_ + "/peer.txt").size();

    xdo("keydown w");
    pause_ms(3000);
    std::string held = read_file(dir_ + "/peer.txt").substr(peer_before);
    xdo("keyup w");
    pause_ms(400);
    const std::string released = read_file(dir_ + "/peer.txt").substr(peer_before + held.size());
    held = held.substr(std::min(held.size(), held.find("drive 158 158 98 98")));  // from the press on
    const std::string log_keys = read_file(dir_ + "/log.txt").substr(log_before.size());
    EXPECT_GT(count_of(held, "drive 158 158 98 98"), 20) << held;  // ten a second
    EXPECT_EQ(count_of(held, "drive 128 128 128 128"), 0) << "no rest command while W is held";
    EXPECT_NE(released.find("drive 128 128 128 128"), std::string::npos) << released;
    EXPECT_GT(count_of(log_keys, "robot_win_class::process_key_down"), 30) << "the key repeated";
    EXPECT_EQ(count_of(log_keys, "robot_win_class::process_key_up"), 1);

    // Keys beyond letters, digits and arrows reach the console too, each pressed and released.
    const std::size_t log_keys_mark = read_file(dir_ + "/log.txt").size();
    xdo("key Home End Prior Next Insert Delete KP_Add KP_Subtract comma semicolon bracketleft apostrophe "
        "Caps_Lock Caps_Lock");
    pause_ms(400);
    const std::string more_keys = read_file(dir_ + "/log.txt").substr(log_keys_mark);
    EXPECT_EQ(count_of(more_keys, "robot_win_class::process_key_down"), 14) << more_keys;
    EXPECT_EQ(count_of(more_keys, "robot_win_class::process_key_up"), 14);

    // The File menu, opened with the mouse and with Alt+F; an item chosen from each proves it
    // was open. Neither stops the robot.
    const std::size_t log_mark = read_file(dir_ + "/log.txt").size();
    xdo("mousemove --window " + id + " 15 8");  // over "File" in the menu bar
    xdo("click 1");
    pause_ms(400);
    xdo("key p");  // Stop
    pause_ms(300);
    xdo("key alt+f");
    pause_ms(400);
    xdo("key c");  // Connect
    pause_ms(300);
    stop(app_);
    app_ = -1;
    const std::string menu_log = read_file(dir_ + "/log.txt").substr(log_mark);
    EXPECT_EQ(count_of(menu_log, "robot_win_class::handle_menu"), 2) << menu_log;
    EXPECT_EQ(count_of(menu_log, "[Nodecomm] Stopping"), 0) << menu_log;
    EXPECT_EQ(count_of(menu_log, "check_active"), 0) << menu_log;
}

}  // namespace

namespace {

// What an operator sees on a real display: names in the titles, figures in the main title, a
// click choosing a robot and a double click opening its hidden console.
TEST_F(e2e_test, ClicksChooseARobotAndTitlesTellNamesAndTicks) {
    write_file(dir_ + "/robots.txt", "scout 127.0.0.1 1 0 0\n");
    const std::string main_id = start("chosen.png");
    ASSERT_FALSE(main_id.empty()) << read_file(dir_ + "/out.txt");
    const int mh = menu_height();
    ASSERT_GT(mh, 0);
    const std::string log = read_file(dir_ + "/log.txt");
    const std::size_t p = log.find("[Robot] scout starts at (");
    ASSERT_NE(p, std::string::npos) << log;
    double rx = 0, ry = 0;
    ASSERT_EQ(std::sscanf(log.c_str() + p, "[Robot] scout starts at (%lf, %lf)", &rx, &ry), 2);
    const int px = static_cast<int>(rx / 10 * 640), py = static_cast<int>(ry / 10 * (480 - mh)) + mh;

    // The title shows the period and the ticks of the last second.
    std::string title;
    for (int i = 0; i < 40 && title.find("ticks/s") == std::string::npos; ++i) {
        pause_ms(100);
        xdo("getwindowname " + main_id, &title);
    }
    const std::size_t figures = title.find("  - tick 10 ms, ");
    ASSERT_NE(figures, std::string::npos) << title;
    EXPECT_GT(std::atoi(title.c_str() + figures + 16), 0) << title;

    // The hidden console is not there until a double click on its robot.
    std::string found;
    EXPECT_NE(xdo("search --onlyvisible --name 'Robot View - scout'", &found), 0);
    xdo("windowraise " + main_id);
    xdo("mousemove --window " + main_id + " " + std::to_string(px) + " " + std::to_string(py));
    pause_ms(100);
    xdo("click 1");
    pause_ms(300);
    EXPECT_EQ(count_of(read_file(dir_ + "/log.txt"), "[World] Robot scout chosen"), 1);
    xdo("click --repeat 2 --delay 60 1");
    for (int i = 0; i < 40 && xdo("search --onlyvisible --name 'Robot View - scout'", &found) != 0; ++i) pause_ms(50);
    EXPECT_EQ(xdo("search --onlyvisible --name 'Robot View - scout'", &found), 0);
    xdo("windowfocus --sync " + main_id);
    xdo("key l Escape");
    ASSERT_EQ(finish(), 0) << read_file(dir_ + "/out.txt");
    // No wall came of the clicks, and the chosen robot wears its ring.
    EXPECT_NE(read_file(dir_ + "/out.txt").find("walls: 4\n"), std::string::npos) << read_file(dir_ + "/out.txt");
    bitmap* shot = load_png((dir_ + "/chosen.png").c_str());
    ASSERT_NE(shot, nullptr);
    int ring = 0;
    for (int y = std::max(0, py - mh - 30); y < std::min(bitmap_height(shot), py - mh + 30); ++y)
        for (int x = std::max(0, px - 30); x < std::min(640, px + 30); ++x) ring += get_pixel(shot, x, y) == rgb(255, 140, 0);
    EXPECT_GT(ring, 10);
    delete_bitmap(shot);
}

}  // namespace
