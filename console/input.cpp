// Driving from the console: hold-to-move keys, toggles, and pointer steering of the camera.
#include <cstdint>

#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "link/robot_comm.h"
#include "robot/robot.h"
#include "support/log.h"

namespace {

enum : unsigned char {
    key_space = 0x20,
    key_escape = 0x1B,
    key_left = 0x25,
    key_right = 0x27,
    key_a = 0x41,
    key_c = 0x43,
    key_d = 0x44,
    key_e = 0x45,
    key_l = 0x4C,
    key_m = 0x4D,
    key_p = 0x50,
    key_q = 0x51,
    key_s = 0x53,
    key_t = 0x54,
    key_w = 0x57,
    key_x = 0x58,
    key_z = 0x5A,
};

// Keys whose press moves the robot only when they were not already held.
bool is_drive_key(unsigned char k) {
    switch (k) {
    case key_a:
    case key_d:
    case key_s:
    case key_w:
    case key_z:
    case key_x:
    case key_c:
    case key_q:
    case key_e:
        return true;
    default:
        return false;
    }
}

}  // namespace

void robot_win_class::reset_keys() {
    log("[Client Input] robot_win_class::reset_keys\n");
    for (bool& k : keys) k = false;
    update_movement();
}

void robot_win_class::update_movement() {
    log("[Client Input]  robot_win_class::update_movement\n");
    if (keys[key_right]) robot->move_pan(-3);
    if (keys[key_left]) robot->move_pan(3);

    double speed = 0, turn = 0;
    if (keys[key_w]) {
        speed = 1.0;
        turn = keys[key_a] ? 0.5 : keys[key_d] ? -0.5 : 0;
    } else if (keys[key_s]) {
        speed = -1.0;
        turn = keys[key_a] ? -0.5 : keys[key_d] ? 0.5 : 0;
    } else {
        turn = keys[key_a] ? 1.0 : keys[key_d] ? -1.0 : 0;
    }
    robot->motion(speed, turn);
    comm->send_controller_values();
}

void robot_win_class::process_key_down(unsigned char k) {
    log("[Client Input] robot_win_class::process_key_down\n");
    switch (k) {
    case key_l:
        set_logging(!get_logging());
        alert(get_logging() ? "[Client Input] Logging enabled" : "[Client Input] Logging disabled");
        break;
    case key_p:
        show_text = !show_text;
        if (show_text)
            height = height > static_cast<unsigned>(text_area) ? height - text_area : 0;
        else
            height += text_area;
        break;
    case key_t:
        if (!camera->targeting) {
            camera->targeting = true;
            alert("[Client Input] Targeting enabled");
        } else {
            camera->targeting = false;
            comm->fire_off();
            alert("[Client Input] Targeting disabled");
        }
        break;
    case key_m:
        mouse_control = !mouse_control;
        break;
    case key_space:
        robot->toggle_auto_mode();
        alert(robot->auto_mode ? "[Client Input] Auto mode" : "[Client Input] Manual mode");
        break;
    default:
        break;
    }
    const bool due = k == key_left || k == key_right || (is_drive_key(k) && !keys[k]);
    keys[k] = true;
    if (due) update_movement();
}

void robot_win_class::process_key_up(unsigned char k) {
    log("[Client Input] robot_win_class::process_key_up\n");
    const bool due = k == key_left || k == key_right || is_drive_key(k);
    keys[k] = false;
    if (due) update_movement();
}

void robot_win_class::process_mouse(long position) {
    if (!mouse_control) return;
    // A view with no size gives no scale to steer by.
    if (width == 0 || height == 0) return;
    unsigned x = static_cast<unsigned>(position) & 0xFFFF;
    const std::int16_t signed_y = static_cast<std::int16_t>((static_cast<unsigned long>(position) >> 16) & 0xFFFF);
    unsigned y = static_cast<unsigned>(static_cast<int>(signed_y));
    if (x > width - 1) x = width - 1;
    if (y > height - 1) y = height - 1;
    const int pan = 255 - (static_cast<int>(x * (255.0 / width)) % 256);
    const int tilt = 255 - (static_cast<int>(y * (255.0 / height)) % 256);
    robot->set_pan(pan);
    robot->set_tilt(tilt);
}
