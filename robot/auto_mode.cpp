// Auto mode: steer to the gradient heading, brake before walls and swerve at random.
#include <algorithm>

#include "robot/robot.h"
#include "support/clock.h"
#include "support/random.h"

double robot_class::timer_func(double input, unsigned int index, double threshold, double value) {
    if (index > 9) return 0;
    if (timers_reset) {
        for (double& t : timer_start) t = 0;
        timers_reset = false;
    }
    if (timer_start[index] > 0) {
        const double e = get_time() - timer_start[index];
        if (e > 1.0) {
            timer_start[index] = 0;
            return 1.0;
        }
        return e * timer_value[index];
    }
    if (input >= threshold) {
        timer_start[index] = get_time();
        timer_value[index] = value;
    }
    return 0;
}

void robot_class::robot_auto_mode() {
    error_history[0] = error_history[1];
    error_history[1] = heading_error;
    const double avg = (error_history[0] + error_history[1]) / 2;

    const double hit_r = sensor_hit[0] ? 1 : 0, hit_f = sensor_hit[1] ? 1 : 0, hit_l = sensor_hit[2] ? 1 : 0;
    const double near_r = vision[0], near_f = vision[1], near_l = vision[2];
    // A robot the probe has held for a second counts as facing a wall, once.
    const double held_by_probe = probe_held ? 2 : 0;
    probe_held = false;
    const double threat =
        0.4 * hit_r + 2 * hit_f + 0.4 * hit_l + 0.2 * near_r + 0.4 * near_f + 0.2 * near_l + held_by_probe;

    const double t0 = timer_func(threat, 0, 2.0, 2.0);
    const double r = f_rand(-2, 2);
    const double t1 = timer_func(t0, 1, 1.0, r);

    const double new_speed = std::max(0.0, 1 - 0.3 * near_r - 1.1 * t0);
    const double new_turn = 2 * (1.5 * avg + 0.5 * near_r - 0.5 * near_l - t1);
    motion(new_speed, new_turn);
}
