#include "tools/robot_peer/robot_sim.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace robot_peer {

namespace {

constexpr double two_pi = 2 * std::numbers::pi;
constexpr double lowest = border_wall + body_radius;
constexpr double highest = world_size - border_wall - body_radius;
constexpr double max_step = 0.01;  // long intervals are integrated in steps of this size

double wrap_angle(double a) {
    a = std::fmod(a, two_pi);
    if (a < 0) a += two_pi;
    if (a >= two_pi) a = 0;  // -tiny + 2 pi rounds up to 2 pi
    return a;
}

}  // namespace

void robot_sim::place(double x, double y, double heading) {
    x_ = std::clamp(x, lowest, highest);
    y_ = std::clamp(y, lowest, highest);
    heading_ = wrap_angle(heading);
}

void robot_sim::advance(double dt) {
    if (!(dt > 0)) return;
    clock_ += dt;
    if (!moving()) return;
    while (dt > 0) {
        double step = std::min(dt, max_step);
        dt -= step;
        heading_ = wrap_angle(heading_ + full_turn * motion_.turn * step);
        x_ = std::clamp(x_ + vel_x() * step, lowest, highest);
        y_ = std::clamp(y_ + vel_y() * step, lowest, highest);
    }
}

double robot_sim::vel_x() const {
    return full_speed * motion_.speed * std::cos(heading_);
}

double robot_sim::vel_y() const {
    return -full_speed * motion_.speed * std::sin(heading_);
}

double robot_sim::ir_reading() const {
    double gap = std::min({x_ - lowest, y_ - lowest, highest - x_, highest - y_});
    return 10.0 * std::clamp(1.0 - gap / ir_range, 0.0, 1.0);
}

std::uint8_t robot_sim::wifi() const {
    double v = 180.0 + 50.0 * std::sin(two_pi * clock_ / 40.0 + wifi_phase_);
    return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

telemetry_fields robot_sim::telemetry(std::uint32_t counter) const {
    // The controller shows velocities on a 0..10 scale: full speed is 10.
    const double to_scale = 10.0 / full_speed;
    telemetry_fields f;
    f.counter = counter;
    f.ir = encode_degree_scale(ir_reading());
    f.angle = encode_degree_scale(heading_ * 180.0 / std::numbers::pi);
    f.vel_x = encode_tenths_scale(std::fabs(vel_x()) * to_scale);
    f.vel_y = encode_tenths_scale(std::fabs(vel_y()) * to_scale);
    f.wifi = wifi();
    return f;
}

}  // namespace robot_peer
