#include "console/robot_win.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "camera/robot_camera.h"
#include "link/robot_comm.h"
#include "resources/main_menu.h"
#include "robot/robot.h"
#include "support/config.h"
#include "support/log.h"
#include "support/record.h"
#include "support/version.h"

using namespace platform;

namespace {
constexpr const char* window_class = "RobotWin";
}  // namespace

robot_win_class::robot_win_class(robot_class* r) : robot(r) {
    log("[Client Main] robot_win_class::robot_win_class\n");
    std::memset(text, ' ', sizeof text);
    camera = new robot_camera_class(robot->host, robot->port);
    comm = new robot_comm_class(robot->host, robot->port);
    comm->robot_name = robot->name;
    // What either link has to say goes to the message area.
    comm->half.alert = camera->half.alert = [this](const char* line) { alert("%s", line); };
    setup_window(nullptr, 1);
}

robot_win_class::~robot_win_class() {
    log("[Client Main] robot_win_class::~robot_win_class\n");
    // Nothing may reach this object once it is gone: its window, timers and socket notices go
    // with it.
    if (is_window(hwnd)) {
        set_user_data(hwnd, nullptr);
        destroy_window(hwnd);
    }
    hwnd = nullptr;
    delete comm;
    comm = nullptr;
    delete camera;
    camera = nullptr;
}

int robot_win_class::setup_window(void*, int show_command) {
    log("[Client Main] robot_win_class::setup_window\n");
    if (!find_window(window_class) && !class_registered(window_class)) {
        if (!register_class(window_class, proc_wrapper, nullptr)) {
            log("[Client Main]  Unable to register window class");
            return 1;
        }
    }
    // The client area holds the picture and the message strip below it.
    const int client_w = static_cast<int>(width), client_h = static_cast<int>(height + text_area);
    // The robot's name tells one console from another.
    char title[config_token_size + 16];
    std::snprintf(title, sizeof title, "Robot View - %s", robot->name);
    window w = create_window(window_class, title, 160, 0, static_cast<int>(width + 8),
                             static_cast<int>(height + 134), this);
    if (!w) return 1;
    set_menu(w, &main_menu);
    set_client_size(w, client_w, client_h);
    if (robot->show_window != 0) show_window(w, show_command != 0);
    clear_text_area();
    return 0;
}

lresult robot_win_class::proc_wrapper(window w, unsigned msg, wparam wp, lparam lp) {
    if (msg == msg_nc_create) {
        auto* cp = reinterpret_cast<create_params*>(lp);
        if (cp && cp->param) set_user_data(w, cp->param);
    }
    auto* self = static_cast<robot_win_class*>(get_user_data(w));
    if (!self) return def_window_proc(w, msg, wp, lp);
    return self->proc(w, msg, wp, lp);
}

lresult robot_win_class::proc(window w, unsigned msg, wparam wp, lparam lp) {
    switch (msg) {
    case msg_create:
        system_startup(w);
        return 0;
    case msg_destroy:
        system_shutdown();
        return 0;
    case msg_size:
        resize_window(low_word(lp), high_word(lp));
        return 0;
    case msg_kill_focus:
        check_active(0);
        return 0;
    case msg_paint:
        paint_main();
        return 0;
    case msg_activate_app:
        check_active(static_cast<int>(wp));
        return 0;
    case msg_key_down:
        process_key_down(static_cast<unsigned char>(wp & 0xFF));
        return 0;
    case msg_key_up:
        process_key_up(static_cast<unsigned char>(wp & 0xFF));
        return 0;
    case msg_command:
        handle_menu(static_cast<unsigned>(wp));
        return 0;
    case msg_timer:
        timer_message(static_cast<unsigned>(wp));
        return 0;
    case msg_mouse_move:
        process_mouse(static_cast<long>(lp));
        return 0;
    case robot_comm_class::socket_message:
        if (comm->control_socket_message(static_cast<unsigned>(wp), static_cast<long>(lp))) {
            // Each packet is recorded as it was read; the robot keeps the last.
            for (unsigned k = 0; k < comm->telemetry_batch_count; ++k) {
                robot->process_telemetry(comm->telemetry_batch[k], robot_comm_class::telemetry_payload_size);
                run_record().telemetry(robot->name, robot->wifi_signal, robot->tel_ir, robot->tel_angle,
                                       robot->tel_vel_x, robot->tel_vel_y);
            }
        }
        return 0;
    case robot_camera_class::socket_message:
        take_camera_news(
            camera->camera_socket_message(static_cast<unsigned>(wp), static_cast<long>(lp), robot->pan, robot->tilt));
        return 0;
    default:
        return def_window_proc(w, msg, wp, lp);
    }
}

void robot_win_class::system_startup(window w) {
    log("[Client Main] robot_win_class::system_startup\n");
    hwnd = w;
    comm->half.window = camera->half.window = w;
    reset_keys();
    if (!set_timer(w, keep_alive_timer, 100)) alert("[Client Main] Unable to set timer");
    if (!set_timer(w, second_timer, 1000)) alert("[Client Main] Unable to set timer");
    camera->start();
    alert("[Client Main] Version: %s", swarm_version);
}

void robot_win_class::system_shutdown() {
    log("[Client Main] robot_win_class::system_shutdown\n");
    comm->shutdown_network();
    camera->camera_disconnect();
    post_quit(0);
}

void robot_win_class::timer_message(unsigned int id) {
    if (id == keep_alive_timer) {
        if (comm->connected) comm->send_keep_alive(drive().data());
        invalidate(hwnd);
    } else if (id == second_timer && !links_idle) {
        log("[Client Main] Second\n");
        if (camera->connected) alert("%s %d", fps_prefix, camera->fps);
        camera->camera_check();
        comm->network_check(drive().data());
    }
}

void robot_win_class::check_active(int active) {
    log("[Client Main] robot_win_class::check_active\n");
    if (active == 0) {
        reset_keys();
        comm->motion_stop();
        robot->motion(0, 0);
    }
}

void robot_win_class::handle_menu(unsigned int id) {
    log("[Client Main] robot_win_class::handle_menu\n");
    switch (id) {
    case id_server:
        break;
    case id_connect:
        comm->do_connect();
        break;
    case id_disconnect:
        comm->disconnect();
        camera->camera_disconnect();
        break;
    case id_stop:
        comm->stopped = true;
        break;
    case id_shutdown:
        comm->remote_shutdown();
        break;
    case id_exit:
        system_shutdown();
        break;
    default:
        break;
    }
}

void robot_win_class::paint_main() {
    dc* d = begin_paint(hwnd);
    const rect client = get_client_rect(hwnd);
    fill_rect(d, client, rgb(255, 255, 255));
    camera->draw(d, static_cast<int>(width), static_cast<int>(height));
    set_text_color(d, rgb(0, 0, 0));
    set_bk_color(d, rgb(255, 255, 255));
    if (show_text)
        for (int i = 0; i < text_lines; ++i)
            text_out(d, 0, static_cast<int>(height) + line_spacing * i, text[i], line_length);
    char line[256];
    robot->telemetry_string(line);
    text_out(d, 0, 0, line, static_cast<int>(std::strlen(line)));
    end_paint(hwnd, d);
}

void robot_win_class::resize_window(unsigned int w, unsigned int h) {
    log("[Display] robot_win_class::resize_window\n");
    width = w;
    // A client lower than the message strip leaves no picture rather than a huge one.
    height = show_text ? (h > text_area ? h - text_area : 0) : h;
}

void robot_win_class::clear_text_area() {
    log("[Display] robot_win_class::clear_text_area\n");
    std::memset(text, ' ', sizeof text);
}

void robot_win_class::alert(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    do_add_line(buffer);
    log("%s\n", buffer);
}

void robot_win_class::do_add_line(const char* line) {
    // A frame rate takes the place of the one before it on the last line, so that it does not
    // push the other messages out of the area every second.
    const std::size_t fps_length = std::strlen(fps_prefix);
    const bool replaces = line_count > 0 && std::strncmp(line, fps_prefix, fps_length) == 0 &&
                          std::memcmp(text[line_count - 1], fps_prefix, fps_length) == 0;
    if (!replaces && line_count == text_lines)
        std::memmove(text[0], text[1], sizeof text[0] * (text_lines - 1));
    else if (!replaces)
        ++line_count;
    char* target = text[line_count - 1];
    std::memset(target, ' ', line_length);
    const std::size_t n = std::min<std::size_t>(std::strlen(line), line_length);
    std::memcpy(target, line, n);
    if (hwnd) invalidate(hwnd);
}

std::array<unsigned char, 4> robot_win_class::drive() const {
    std::array<unsigned char, 4> bytes{};
    robot->get_control_data(bytes.data());
    return bytes;
}

void robot_win_class::take_camera_news(const camera_news& news) {
    for (const target_decision& d : news.decisions) {
        if (!d.looked) continue;
        if (d.fire)
            comm->fire_on();
        else
            comm->fire_off();
        if (d.steer) {
            robot->set_pan(d.pan);
            robot->set_tilt(d.tilt);
            comm->send_controller_values(drive().data());
        }
    }
    if (news.new_picture && hwnd) invalidate(hwnd);
}
