// The robot console: message area, toggles, held keys, pointer steering, painting and teardown.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "link/robot_comm.h"
#include "raw_link.h"
#include "platform/draw.h"
#include "robot/robot.h"
#include "test_support.h"
#include "world_fixture.h"
#include "world/world.h"

using namespace test_support;

namespace {

class console_test : public world_fixture {
protected:
    void SetUp() override {
        world_fixture::SetUp();
        make_world();
        robot = new robot_class(world, "con", "127.0.0.1", 1, 1);
        console = robot->console;
    }
    std::string line(int i) const { return std::string(console->text[i], robot_win_class::line_length); }
    static std::string padded(const std::string& s) { return s + std::string(80 - s.size(), ' '); }

    robot_win_class* console = nullptr;
};

TEST_F(console_test, StartsWithABlankAreaAndWritesFromTheSecondLine) {
    ASSERT_TRUE(platform::is_window(console->hwnd));
    EXPECT_STREQ(platform::window_title(console->hwnd), "Robot View - con");
    EXPECT_TRUE(platform::is_visible(console->hwnd));
    EXPECT_EQ(console->width, 640u);
    EXPECT_EQ(console->height, 560u);
    EXPECT_EQ(console->line_count, 1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(line(i), std::string(80, ' '));
    EXPECT_NE(log_text().find("[Client Main] Version: 0.6.17\n"), std::string::npos);
    console->alert("first %d", 1);
    EXPECT_EQ(line(1), padded("first 1"));
    EXPECT_EQ(line(0), std::string(80, ' '));
}

TEST_F(console_test, SeventhMessageScrollsAndLongOnesAreCut) {
    for (int i = 2; i <= 6; ++i) console->alert("m%d", i);
    EXPECT_EQ(console->line_count, 6);
    EXPECT_EQ(line(5), padded("m6"));
    console->alert("m7");
    EXPECT_EQ(line(0), padded("m2"));
    EXPECT_EQ(line(5), padded("m7"));
    const std::string hundred(100, 'q');
    console->alert("%s", hundred.c_str());
    EXPECT_EQ(line(5), std::string(80, 'q'));
    EXPECT_NE(log_text().find(hundred + "\n"), std::string::npos);

    // A frame rate replaces the one before it while that one is the last line.
    console->alert("[Client Main] FPS: %d", 5);
    console->alert("[Client Main] FPS: %d", 6);
    EXPECT_EQ(line(4), std::string(80, 'q'));
    EXPECT_EQ(line(5), padded("[Client Main] FPS: 6"));
    console->alert("m8");
    console->alert("[Client Main] FPS: %d", 7);
    EXPECT_EQ(line(3), padded("[Client Main] FPS: 6"));
    EXPECT_EQ(line(4), padded("m8"));
    EXPECT_EQ(line(5), padded("[Client Main] FPS: 7"));
    // The log keeps them all.
    for (const char* fps : {"FPS: 5\n", "FPS: 6\n", "FPS: 7\n"}) EXPECT_EQ(count_of(log_text(), fps), 1) << fps;
}

TEST_F(console_test, HiddenConsolesStillExist) {
    robot_class hidden(world, "h", "127.0.0.1", 1, 0);
    ASSERT_TRUE(platform::is_window(hidden.console->hwnd));
    EXPECT_FALSE(platform::is_visible(hidden.console->hwnd));
}

TEST_F(console_test, MessageAreaToggleMovesThePictureHeight) {
    console->process_key_down('P');
    EXPECT_FALSE(console->show_text);
    EXPECT_EQ(console->height, 650u);
    platform::set_client_size(console->hwnd, 640, 650);
    console->resize_window(640, 650);
    EXPECT_EQ(console->height, 650u);
    console->process_key_down('P');
    EXPECT_EQ(console->height, 560u);
    console->resize_window(640, 50);  // lower than the message strip
    EXPECT_EQ(console->height, 0u);
    console->process_key_down('P');
    console->process_key_down('P');
    EXPECT_EQ(console->height, 0u);  // never wraps round
}

TEST_F(console_test, HeldKeysAndRepeats) {
    console->process_key_down('W');
    EXPECT_EQ(robot->drive0, 158);
    const int moves = count_of(log_text(), "update_movement");
    console->process_key_down('W');  // auto-repeat: nothing new
    EXPECT_EQ(count_of(log_text(), "update_movement"), moves);
    console->process_key_down('Z');  // re-sends the same command
    EXPECT_EQ(count_of(log_text(), "update_movement"), moves + 1);
    EXPECT_EQ(robot->drive0, 158);
    console->process_key_up('W');
    console->process_key_up('Z');
    EXPECT_EQ(robot->drive0, 128);
    EXPECT_EQ(robot->drive1, 128);

    robot->pan = 240;
    for (int i = 0; i < 10; ++i) console->process_key_down(0x25);  // left arrow, repeating
    EXPECT_EQ(robot->pan, 252);  // +3 steps stop before 255
    console->process_key_up(0x25);
    robot->pan = 7;
    for (int i = 0; i < 5; ++i) console->process_key_down(0x27);  // right arrow
    EXPECT_EQ(robot->pan, 1);
}

TEST_F(console_test, TogglesReportTheirState) {
    console->process_key_down('T');
    EXPECT_TRUE(console->camera->targeting);
    EXPECT_NE(log_text().find("[Client Input] Targeting enabled\n"), std::string::npos);
    console->process_key_down('T');
    EXPECT_FALSE(console->camera->targeting);
    EXPECT_NE(log_text().find("[Client Input] Targeting disabled\n"), std::string::npos);

    console->process_key_down(' ');
    EXPECT_TRUE(robot->auto_mode);
    EXPECT_NE(log_text().find("[Client Input] Auto mode\n"), std::string::npos);
    console->process_key_down(' ');
    EXPECT_FALSE(robot->auto_mode);
    EXPECT_NE(log_text().find("[Client Input] Manual mode\n"), std::string::npos);

    const bool before = get_logging();
    console->process_key_down('L');
    EXPECT_NE(get_logging(), before);
    EXPECT_NE(log_text().find(before ? "[Client Input] Logging disabled\n" : "[Client Input] Logging enabled\n"),
              std::string::npos);
    console->process_key_down('L');
    EXPECT_EQ(get_logging(), before);
}

TEST_F(console_test, TargetingFiresOnlyAboveTheThresholdAndStopsWhenSwitchedOff) {
    loopback_server server;
    robot_class aim(world, "aim", "127.0.0.1", server.port(), 0);
    robot_win_class* con = aim.console;
    con->timer_message(robot_win_class::second_timer);
    ASSERT_TRUE(pump_until([&] { return con->comm->connected; }, 3000, &server));
    con->process_key_down('T');
    con->camera->width = con->camera->height = 32;
    std::vector<color_type> picture(32 * 32, color_type{0, 0, 0});
    // Each picture changes fresh pixels of the last one, every channel by the same amount.
    struct change {
        const char* what;
        unsigned first, count;
        std::uint8_t by;
        char fire;
    };
    const change pictures[] = {
        {"the first picture is only the reference", 0, 0, 0, 0x41},
        {"six pixels by 250: a total of exactly 1,500 is no target", 0, 6, 250, 0x41},
        {"six pixels by 251: 1,506", 100, 6, 251, 0x40},
        {"31 pixels by exactly the floor of 50: 1,550", 200, 31, 50, 0x40},
        {"31 pixels by 49: below the floor, nothing", 300, 31, 49, 0x41},
    };
    // The fire commands that reach the robot next ("@" is fire on, "A" fire off).
    auto fired = [&] {
        pump_until([&] { return !fire_commands(server.received()).empty(); }, 1000, &server);
        const std::string fires = fire_commands(server.received());
        server.clear();
        return fires;
    };
    for (const change& c : pictures) {
        for (unsigned i = c.first; i < c.first + c.count; ++i) picture[i] = color_type{c.by, c.by, c.by};
        std::memcpy(con->camera->camera_buffer, picture.data(), picture.size() * sizeof(color_type));
        con->take_camera_news(camera_news{false, {con->camera->process_frame(aim.pan, aim.tilt)}});
        EXPECT_EQ(fired(), std::string(1, c.fire)) << c.what;
    }
    con->process_key_down('T');  // targeting off: the robot stops firing
    EXPECT_EQ(fired(), "A");
}

TEST_F(console_test, PointerSteersPanAndTilt) {
    console->process_mouse(platform::pack_xy(0, 0));
    EXPECT_EQ(robot->pan, 255);
    EXPECT_EQ(robot->tilt, 255);
    console->process_mouse(platform::pack_xy(639, 559));
    EXPECT_EQ(robot->pan, 1);
    EXPECT_EQ(robot->tilt, 1);
    console->process_mouse(platform::pack_xy(320, 600));  // in the message strip: the bottom
    EXPECT_EQ(robot->pan, 128);
    EXPECT_EQ(robot->tilt, 1);
    console->process_mouse(platform::pack_xy(100, -5));  // above the view (a negative y)
    EXPECT_EQ(robot->tilt, 1);
    EXPECT_EQ(robot->pan, 255 - 39);  // 100 * 255 / 640 = 39.8, truncated
    console->process_key_down('M');
    console->process_mouse(platform::pack_xy(0, 0));
    EXPECT_EQ(robot->pan, 216);  // pointer steering is off
    console->process_key_down('M');
    console->width = 0;  // no view to scale by
    console->process_mouse(platform::pack_xy(5, 5));
    EXPECT_EQ(robot->pan, 216);
}

TEST_F(console_test, PaintShowsTelemetryAndMessages) {
    using namespace platform;
    robot->wifi_signal = 42.0;
    console->alert("hello from the test");
    // Paint into an off-screen surface the same way a window paint does.
    dc* d = create_memory_dc();
    bitmap* b = create_bitmap(640, 650);
    select_bitmap(d, b);
    fill_rect(d, rect{0, 0, 640, 650}, rgb(255, 255, 255));
    char tele[256];
    robot->telemetry_string(tele);
    EXPECT_NE(std::string(tele).find("Wifi Signal:42.0"), std::string::npos);
    text_out(d, 0, 0, tele, static_cast<int>(std::string(tele).size()));
    int dark = 0;
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 400; ++x) dark += get_pixel(b, x, y) != rgb(255, 255, 255);
    EXPECT_GT(dark, 100);

    // The band behind the text reaches past the last glyph: on black, blue text on a white band
    // leaves no ink beyond the band's right end.
    fill_rect(d, rect{0, 0, 640, 650}, rgb(0, 0, 0));
    set_text_color(d, rgb(0, 0, 255));
    set_bk_color(d, rgb(255, 255, 255));
    text_out(d, 0, 0, tele, static_cast<int>(std::string(tele).size()));
    int band_end = -1, ink_end = -1;
    for (int y = 0; y < text_line_height(); ++y)
        for (int x = 0; x < 640; ++x) {
            if (get_pixel(b, x, y) == rgb(255, 255, 255)) band_end = std::max(band_end, x);
            if (get_pixel(b, x, y) != rgb(0, 0, 0)) ink_end = std::max(ink_end, x);
        }
    EXPECT_GT(band_end, 300);
    EXPECT_EQ(ink_end, band_end);
    delete_bitmap(b);
    delete_dc(d);
}

TEST_F(console_test, ClosingTheConsoleEndsTheProgram) {
    platform::send_message(console->hwnd, platform::msg_close, 0, 0);
    EXPECT_FALSE(platform::is_window(console->hwnd));
    int code = -1;
    EXPECT_TRUE(platform::quit_requested(&code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(log_text().find("[Client Main] robot_win_class::system_shutdown\n"), std::string::npos);
}

TEST_F(console_test, NothingReachesADeletedConsole) {
    robot_class* other = new robot_class(world, "gone", "127.0.0.1", 1, 1);
    platform::window w = other->console->hwnd;
    ASSERT_TRUE(platform::is_window(w));
    platform::post_message(w, robot_comm_class::socket_message, 0, platform::fd_read);
    delete other;
    EXPECT_FALSE(platform::is_window(w));
    platform::process_events(50);  // the queued notice finds no window
    EXPECT_FALSE(platform::quit_requested());
}

}  // namespace
