// The main window driven through its window procedure with real message numbers.
#include <string>

#include "app/main_class.h"
#include "console/robot_win.h"
#include "robot/robot.h"
#include "platform/draw.h"
#include "test_support.h"
#include "world/world.h"

using namespace test_support;
using namespace platform;

namespace {

enum : unsigned { key_n = 0x4E, key_t = 0x54, key_m = 0x4D, key_i = 0x49, key_h = 0x48, key_g = 0x47, key_l = 0x4C, key_z = 0x5A };

class main_window_test : public temp_dir_test {
protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        ensure_app();
        app = new main_class();
        ASSERT_EQ(app->setup_window(), 0);
        ASSERT_TRUE(is_window(app->hwnd));
        ASSERT_NE(app->world, nullptr);
    }
    void TearDown() override {
        if (is_window(app->hwnd)) destroy_window(app->hwnd);
        delete app;
        process_events();
        temp_dir_test::TearDown();
    }
    // The program started again with this robots.txt.
    void restart(const std::string& robots) {
        TearDown();
        temp_dir_test::SetUp();
        write_file("robots.txt", robots);
        app = new main_class();
        ASSERT_EQ(app->setup_window(), 0);
    }
    void send(unsigned msg, wparam wp = 0, lparam lp = 0) { send_message(app->hwnd, msg, wp, lp); }
    void click(lparam pos) {
        send(msg_left_down, mk_left, pos);
        send(msg_left_up, 0, pos);
    }
    void down(unsigned key) { send(msg_key_down, key); }
    void up(unsigned key) { send(msg_key_up, key); }
    // Pixel position of a world point at the current back-buffer size.
    lparam at(double wx, double wy) {
        return pack_xy(static_cast<int>(wx / 10.0 * app->buffer_width + 0.5),
                       static_cast<int>(wy / 10.0 * app->buffer_height + 0.5));
    }
    main_class* app = nullptr;
};

TEST_F(main_window_test, StartsWithTitleBackBufferAndWorldInOrder) {
    EXPECT_EQ(std::string(window_title(app->hwnd)).rfind("Quorin Swarm Controller. Version 0.6.17 ", 0), 0u);
    rect r = get_client_rect(app->hwnd);
    EXPECT_EQ(app->buffer_width, r.right);
    EXPECT_EQ(app->buffer_height, r.bottom);
    EXPECT_EQ(app->buffer_width, 640);
    EXPECT_LT(app->buffer_height, 480);  // the menu bar takes its share of the outer size
    EXPECT_EQ(bitmap_width(app->membmp), app->buffer_width);

    std::string log = log_text();
    std::size_t ctor = log.find("[Main] constuctor\n");
    std::size_t memdc = log.find("[Main] memdc_setup x:   640  y: ");
    std::size_t world = log.find("[World] constructor\n");
    ASSERT_NE(ctor, std::string::npos);
    ASSERT_NE(memdc, std::string::npos);
    ASSERT_NE(world, std::string::npos);
    EXPECT_LT(ctor, memdc);
    EXPECT_LT(memdc, world);
    // The first frame is drawn before the first paint: a border wall is already in the buffer.
    EXPECT_EQ(get_pixel(app->membmp, 0, 0), rgb(0, 128, 200));
}

TEST_F(main_window_test, LayerKeysFlipTheirSwitches) {
    world_class* w = app->world;
    for (unsigned k : {key_t, key_m, key_i, key_h, key_g, key_l}) {
        down(k);
        up(k);
    }
    EXPECT_TRUE(w->show_names);
    EXPECT_FALSE(w->show_walls);
    EXPECT_TRUE(w->markers_on);
    EXPECT_TRUE(w->show_impacts);
    EXPECT_TRUE(w->show_map);
    EXPECT_TRUE(w->show_grad);
    // Auto-repeat: each key-down message fires again.
    down(key_t);
    down(key_t);
    down(key_t);
    up(key_t);
    EXPECT_TRUE(w->show_walls);
    // Only the low byte of the code counts.
    down(0x100 | key_g);
    up(key_g);
    EXPECT_FALSE(w->show_grad);
}

TEST_F(main_window_test, HeldKeysFireOnEveryKeyDown) {
    world_class* w = app->world;
    w->markers_on = true;
    w->add_marker(1, 1);
    w->add_impact(2, 2);
    down(key_n);  // held
    EXPECT_EQ(w->markers, nullptr);
    EXPECT_EQ(w->impact_count, 0);
    w->add_marker(3, 3);
    w->add_impact(4, 4);
    down(key_t);  // N is still held: clears again, and T flips
    EXPECT_EQ(w->markers, nullptr);
    EXPECT_EQ(w->impact_count, 0);
    EXPECT_FALSE(w->show_walls);
    // A key whose release went elsewhere keeps firing.
    down(key_m);
    EXPECT_TRUE(w->show_walls);  // T was never released here
    EXPECT_FALSE(w->markers_on);
    up(key_n);
    up(key_t);
    up(key_m);
    down(key_i);
    EXPECT_TRUE(w->show_impacts);
    EXPECT_TRUE(w->show_walls);
}

TEST_F(main_window_test, UpAndDownAdjustTheTick) {
    EXPECT_EQ(app->tick_interval, 10);
    for (int i = 0; i < 12; ++i) down(vk_up);
    up(vk_up);
    EXPECT_EQ(app->tick_interval, 0);  // never below 0
    for (int i = 0; i < 1000; ++i) down(vk_down);
    up(vk_down);
    EXPECT_EQ(app->tick_interval, 1000);  // no upper bound
    down(vk_down);
    down(vk_up);  // both held: +1 and -1 on each key-down
    down(vk_up);
    EXPECT_EQ(app->tick_interval, 1001);
    up(vk_down);
    up(vk_up);

    // The title tells the period at once and the ticks measured at the next second's timer.
    const std::string written = "Quorin Swarm Controller. Version 0.6.17 " + std::string(main_class::credit) + "  ";
    EXPECT_EQ(std::string(window_title(app->hwnd)), written + " - tick 1001 ms, 0 ticks/s");
    for (int i = 0; i < 5; ++i) send(msg_timer, main_class::tick_timer_id);
    send(msg_timer, main_class::figures_timer_id);
    const std::string title = window_title(app->hwnd);
    ASSERT_EQ(title.rfind(written + " - tick 1001 ms, ", 0), 0u) << title;
    EXPECT_GT(std::atol(title.c_str() + written.size() + 17), 0) << title;
    EXPECT_EQ(title.substr(title.size() - 8), " ticks/s");
}

TEST_F(main_window_test, EscapeEndsTheLoopWithoutTearingDown) {
    int code = -1;
    down(vk_escape);
    EXPECT_TRUE(quit_requested(&code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(is_window(app->hwnd));
    EXPECT_NE(app->world, nullptr);
}

TEST_F(main_window_test, LeftDragGrowsTheNewestWallRightAndDownOnly) {
    world_class* w = app->world;
    send(msg_left_down, mk_left, at(2.0, 3.0));
    ASSERT_EQ(w->wall_count, 5);
    wall_type* wall = w->walls;
    EXPECT_NEAR(wall->x, 2.0, 0.02);
    EXPECT_NEAR(wall->y, 3.0, 0.03);
    EXPECT_EQ(wall->w, 0.0);
    EXPECT_EQ(wall->h, 0.0);
    double x0 = wall->x, y0 = wall->y;

    send(msg_mouse_move, mk_left, at(4.0, 5.0));
    EXPECT_NEAR(wall->w, 4.0 - x0, 0.03);
    EXPECT_NEAR(wall->h, 5.0 - y0, 0.03);
    double w1 = wall->w, h1 = wall->h;

    send(msg_mouse_move, mk_left, at(1.0, 6.0));  // left of the start: ignored
    EXPECT_EQ(wall->w, w1);
    EXPECT_EQ(wall->h, h1);
    send(msg_mouse_move, mk_left, at(5.0, 2.0));  // above the start: ignored
    EXPECT_EQ(wall->w, w1);

    send(msg_left_up, 0, at(5.0, 2.0));
    send(msg_mouse_move, 0, at(8.0, 8.0));  // button up: the wall keeps its size
    EXPECT_EQ(wall->w, w1);
    EXPECT_EQ(wall->h, h1);
    EXPECT_EQ(w->wall_count, 5);
}

TEST_F(main_window_test, KeySSavesTheDrawnWallsAndTargetToWorldTxt) {
    send(msg_left_down, mk_left, at(2.0, 3.0));
    send(msg_mouse_move, mk_left, at(4.0, 5.0));
    send(msg_left_up, 0, at(4.0, 5.0));
    send(msg_right_down, mk_right, at(7.0, 7.0));
    send(msg_right_up, 0, at(7.0, 7.0));
    // A drag straight down makes a wall of width 0: a wall all the same, saved with the rest.
    send(msg_left_down, mk_left, at(6.0, 1.0));
    send(msg_mouse_move, mk_left, at(6.0, 3.0));
    send(msg_left_up, 0, at(6.0, 3.0));
    down(0x53);
    const std::string saved = read_file("world.txt");
    EXPECT_EQ(count_of(saved, "wall "), 2);
    EXPECT_EQ(count_of(saved, "target "), 1);
    // S saves once per press: not on its repeats, nor while other keys go down with it held
    // (its release may have gone to another window).
    send(msg_key_down, 0x53, 1);
    down(key_t);
    EXPECT_FALSE(app->world->show_walls);
    EXPECT_EQ(count_of(log_text(), "[World] Saved 2 walls to world.txt"), 1);
    up(key_t);
    down(0x53);
    EXPECT_EQ(count_of(log_text(), "[World] Saved 2 walls to world.txt"), 2);
    up(0x53);
}

TEST_F(main_window_test, RightButtonPlacesAndDragsTheTarget) {
    world_class* w = app->world;
    send(msg_right_down, mk_right, at(2.0, 7.0));
    EXPECT_NEAR(w->target_x, 2.0, 0.02);
    EXPECT_NEAR(w->target_y, 7.0, 0.03);
    send(msg_mouse_move, mk_right, at(6.0, 1.0));
    EXPECT_NEAR(w->target_x, 6.0, 0.02);
    EXPECT_NEAR(w->target_y, 1.0, 0.03);
    send(msg_right_up, 0, at(6.0, 1.0));
    send(msg_mouse_move, 0, at(3.0, 3.0));
    EXPECT_NEAR(w->target_x, 6.0, 0.02);
}

TEST_F(main_window_test, RejectedWallMoveAlsoSkipsTheTargetDrag) {
    world_class* w = app->world;
    send(msg_left_down, mk_left, at(5.0, 5.0));
    send(msg_right_down, mk_left | mk_right, at(6.0, 6.0));
    double tx = w->target_x, ty = w->target_y;
    send(msg_mouse_move, mk_left | mk_right, at(3.0, 3.0));  // above and left of the wall
    EXPECT_EQ(w->target_x, tx);
    EXPECT_EQ(w->target_y, ty);
    send(msg_mouse_move, mk_left | mk_right, at(7.0, 8.0));
    EXPECT_NEAR(w->target_x, 7.0, 0.02);
    EXPECT_NEAR(w->target_y, 8.0, 0.03);
}

TEST_F(main_window_test, ResizeRebuildsTheBufferAndClicksUseTheNewSize) {
    set_client_size(app->hwnd, 320, 200);
    EXPECT_EQ(app->buffer_width, 320);
    EXPECT_EQ(app->buffer_height, 200);
    EXPECT_EQ(bitmap_width(app->membmp), 320);
    EXPECT_EQ(bitmap_height(app->membmp), 200);
    send(msg_right_down, mk_right, pack_xy(160, 50));
    EXPECT_DOUBLE_EQ(app->world->target_x, 5.0);
    EXPECT_DOUBLE_EQ(app->world->target_y, 2.5);
    // The next tick draws the world stretched over the new size.
    send(msg_timer, main_class::tick_timer_id);
    EXPECT_EQ(get_pixel(app->membmp, 319, 100), rgb(0, 128, 200));
    EXPECT_EQ(get_pixel(app->membmp, 160, 100), rgb(255, 255, 255));
}

TEST_F(main_window_test, OnlyTheTickTimerTicksAndOnlyExitActsInTheMenu) {
    send(msg_timer, 7);
    EXPECT_EQ(app->ticks_done, 0);
    send(msg_timer, main_class::tick_timer_id);
    EXPECT_EQ(app->ticks_done, 1);
    for (unsigned id : {10002u, 10003u, 10004u, 10005u, 10006u}) send(msg_command, id);
    EXPECT_FALSE(quit_requested());
    int code = -1;
    send(msg_command, 10001);  // Exit ends the program as Escape does
    EXPECT_TRUE(quit_requested(&code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(is_window(app->hwnd));
}

TEST_F(main_window_test, AClickOnARobotChoosesItAndADoubleClickShowsItsConsole) {
    restart("a 127.0.0.1 1 0 0\nb 127.0.0.1 3 0 0\n");
    world_class* w = app->world;
    ASSERT_EQ(w->num_robots, 2u);
    robot_class* a = w->robots[0];
    robot_class* b = w->robots[1];
    a->x = a->y = 7;
    b->x = b->y = 3;
    EXPECT_EQ(w->chosen_robot(), a);
    EXPECT_FALSE(w->chosen_marked);
    const int walls = w->wall_count;
    click(at(3.1, 2.9));  // inside b's body
    EXPECT_EQ(w->chosen_robot(), b);
    EXPECT_TRUE(w->chosen_marked);
    EXPECT_EQ(w->wall_count, walls);
    // A drag that starts on a robot is a wall from where the press was, and chooses nothing.
    send(msg_left_down, mk_left, at(7, 7));
    send(msg_mouse_move, mk_left, at(8, 8));
    send(msg_left_up, 0, at(8, 8));
    EXPECT_EQ(w->chosen_robot(), b);
    ASSERT_EQ(w->wall_count, walls + 1);
    EXPECT_NEAR(w->walls->x, 7, 0.02);
    EXPECT_NEAR(w->walls->h, 1, 0.03);
    // Beside the bodies a click is a wall of size 0, as ever.
    click(at(3.3, 3.3));
    ASSERT_EQ(w->wall_count, walls + 2);
    EXPECT_EQ(w->walls->w, 0.0);
    // Double clicks: beside a robot one more wall; on a robot its hidden console shows.
    send(msg_left_double, mk_left, at(5, 5));
    send(msg_left_up, 0, at(5, 5));
    EXPECT_EQ(w->wall_count, walls + 3);
    EXPECT_FALSE(is_visible(a->console->hwnd));
    click(at(7, 7));
    send(msg_left_double, mk_left, at(7, 7));
    send(msg_left_up, 0, at(7, 7));
    EXPECT_TRUE(is_visible(a->console->hwnd));
    EXPECT_EQ(w->chosen_robot(), a);
    EXPECT_EQ(w->wall_count, walls + 3);
}

TEST_F(main_window_test, CtrlZTakesBackDrawnWallsAndDeleteTheOneUnderThePointer) {
    world_class* w = app->world;
    auto drag = [&](double x0, double y0, double x1, double y1) {
        send(msg_left_down, mk_left, at(x0, y0));
        send(msg_mouse_move, mk_left, at(x1, y1));
        send(msg_left_up, 0, at(x1, y1));
    };
    drag(1, 1, 2, 2);
    drag(3, 3, 4, 4);
    drag(5, 5, 6, 6);
    ASSERT_EQ(w->wall_count, 7);
    auto ctrl_z = [&] {
        down(vk_control);
        down(key_z);
        send(msg_key_down, key_z, 1);  // a repeat takes back nothing more
        up(key_z);
        up(vk_control);
    };
    down(key_z);  // Z alone does nothing
    up(key_z);
    EXPECT_EQ(w->wall_count, 7);
    ctrl_z();
    EXPECT_EQ(w->wall_count, 6);
    EXPECT_FALSE(w->check_wall_point(5.5, 5.5));
    EXPECT_TRUE(w->check_wall_point(3.5, 3.5));
    // Delete takes the wall under the pointer, wherever it is in the order.
    send(msg_mouse_move, 0, at(1.5, 1.5));
    down(vk_delete);
    up(vk_delete);
    EXPECT_EQ(w->wall_count, 5);
    EXPECT_FALSE(w->check_wall_point(1.5, 1.5));
    // On a border wall, or on nothing, Delete removes nothing.
    for (lparam pos : {pack_xy(0, 0), at(8, 8)}) {
        send(msg_mouse_move, 0, pos);
        down(vk_delete);
        up(vk_delete);
    }
    EXPECT_EQ(w->wall_count, 5);
    // Ctrl+Z goes on with the wall drawn before, then has nothing left of its own.
    ctrl_z();
    EXPECT_EQ(w->wall_count, 4);
    ctrl_z();
    EXPECT_EQ(w->wall_count, 4);
    EXPECT_NE(count_of(log_text(), "no wall"), 0);
    // A wall taken back while it is dragged ends the drag: the next newest does not grow.
    drag(1, 1, 2, 2);
    send(msg_left_down, mk_left, at(6, 6));
    ctrl_z();
    send(msg_mouse_move, mk_left, at(9, 9));
    EXPECT_NEAR(w->walls->w, 1, 0.03);
}

TEST_F(main_window_test, ClosingTheWindowTearsDownAndQuits) {
    send(msg_close);
    EXPECT_FALSE(is_window(app->hwnd));
    EXPECT_EQ(app->world, nullptr);
    EXPECT_EQ(app->membmp, nullptr);
    int code = -1;
    EXPECT_TRUE(quit_requested(&code));
    EXPECT_EQ(code, 0);
}

TEST_F(main_window_test, TickLimitEndsTheRunCleanly) {
    app->options.ticks = 3;
    for (int i = 0; i < 3; ++i) send(msg_timer, main_class::tick_timer_id);
    EXPECT_EQ(app->ticks_done, 3);
    EXPECT_FALSE(is_window(app->hwnd));
    EXPECT_TRUE(quit_requested());
}

TEST_F(main_window_test, TickTimerRunsFromTheMessageLoop) {
    process_events(120);
    EXPECT_GT(app->ticks_done, 2);
}

}  // namespace
