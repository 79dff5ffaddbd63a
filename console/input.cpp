// Driving from the console: hold-to-move keys, toggles, and pointer steering of the camera.
#include <cstdint>

#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "link/robot_comm.h"
#include "robot/robot.h"
#include "support/log.h"

namespace {

using platform::vk_left;
using platform::vk_letter;
using platform::vk_right;
using platform::vk_space;

// Keys whose press moves the robot only when they were not already held.
bool is_drive_key(unsigned char k) {
    switch (k) {
    case vk_letter('A'):
    case vk_letter('D'):
    case vk_letter('S'):
    case vk_letter('W'):
    case vk_letter('Z'):
    case vk_letter('X'):
    case vk_letter('C'):
    case vk_letter('Q'):
    case vk_letter('E'):
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
    if (keys[vk_right]) robot->move_pan(-3);
    if (keys[vk_left]) robot->move_pan(3);

    double speed = 0, turn = 0;
    if (keys[vk_letter('W')]) {
        speed = 1.0;
        turn = keys[vk_letter('A')] ? 0.5 : keys[vk_letter('D')] ? -0.5 : 0;
    } else if (keys[vk_letter('S')]) {
        speed = -1.0;
        turn = keys[vk_letter('A')] ? -0.5 : keys[vk_letter('D')] ? 0.5 : 0;
    } else {
        turn = keys[vk_letter('A')] ? 1.0 : keys[vk_letter('D')] ? -1.0 : 0;
    }
    robot->motion(speed, turn);
    comm->send_controller_values(drive().data());
}

void robot_win_class::process_key_down(unsigned char k) {
    log("[Client Input] robot_win_class::process_key_down\n");
    switch (k) {
    case vk_letter('L'):
        set_logging(!get_logging());
        alert(get_logging() ? "[Client Input] Logging enabled" : "[Client Input] Logging disabled");
        break;
    case vk_letter('P'):
        show_text = !show_text;
        if (show_text)
            height = height > static_cast<unsigned>(text_area) ? height - text_area : 0;
        else
            height += text_area;
        break;
    case vk_letter('T'):
        if (!camera->targeting) {
            camera->targeting = true;
            alert("[Client Input] Targeting enabled");
        } else {
            camera->targeting = false;
            comm->fire_off();
            alert("[Client Input] Targeting disabled");
        }
        break;
    case vk_letter('M'):
        mouse_control = !mouse_control;
        break;
    case vk_space:
        robot->toggle_auto_mode();
        alert(robot->auto_mode ? "[Client Input] Auto mode" : "[Client Input] Manual mode");
        break;
    default:
        break;
    }
    const bool due = k == vk_left || k == vk_right || (is_drive_key(k) && !keys[k]);
    keys[k] = true;
    if (due) update_movement();
}

void robot_win_class::process_key_up(unsigned char k) {
    log("[Client Input] robot_win_class::process_key_up\n");
    const bool due = k == vk_left || k == vk_right || is_drive_key(k);
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
