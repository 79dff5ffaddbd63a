// A robot's console window: camera picture, telemetry line, six-line message area, menu, and
// keyboard and pointer driving. It owns the robot's control and camera links.
#pragma once

#include <array>

#include "platform/draw.h"
#include "platform/window.h"

class robot_class;
class robot_comm_class;
class robot_camera_class;
struct camera_news;

class robot_win_class {
public:
    static constexpr unsigned keep_alive_timer = 1;
    static constexpr unsigned second_timer = 2;
    static constexpr int text_lines = 6;
    static constexpr int line_length = 80;
    static constexpr int line_spacing = 15;
    static constexpr int text_area = 90;
    static constexpr const char* fps_prefix = "[Client Main] FPS:";

    unsigned int width = 640;
    unsigned int height = 560;
    bool show_text = true;
    char text[text_lines][line_length];
    int line_count = 0;
    bool keys[256] = {};
    bool mouse_control = true;
    platform::window hwnd = nullptr;
    robot_camera_class* camera = nullptr;
    robot_comm_class* comm = nullptr;
    robot_class* robot = nullptr;
    // The links never connect: the robot is one of a replayed record, with no real robot behind.
    bool links_idle = false;

    explicit robot_win_class(robot_class* robot);
    ~robot_win_class();
    robot_win_class(const robot_win_class&) = delete;
    robot_win_class& operator=(const robot_win_class&) = delete;

    int setup_window(void* instance, int show_command);
    static platform::lresult proc_wrapper(platform::window w, unsigned msg, platform::wparam wp, platform::lparam lp);
    platform::lresult proc(platform::window w, unsigned msg, platform::wparam wp, platform::lparam lp);
    void system_startup(platform::window w);
    void system_shutdown();
    void timer_message(unsigned int id);
    void check_active(int active);
    void handle_menu(unsigned int id);
    void paint_main();
    void resize_window(unsigned int w, unsigned int h);
    void clear_text_area();
    void alert(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void do_add_line(const char* line);

    // Keyboard and pointer driving.
    void reset_keys();
    void update_movement();
    void process_key_down(unsigned char key);
    void process_key_up(unsigned char key);
    void process_mouse(long position);

    // Acts on what a camera notice brought: fire and steering go to the robot and its link, and
    // a new picture is shown.
    void take_camera_news(const camera_news& news);

private:
    // The robot's drive command as the control link sends it.
    std::array<unsigned char, 4> drive() const;
};
