// A simple stand-in for the robot's body: drives and turns in a 10 by 10 world as its drive
// bytes command, and reports what its sensors would see.
#pragma once

#include <cstdint>

#include "tools/robot_peer/protocol.h"

namespace robot_peer {

constexpr double world_size = 10.0;
constexpr double border_wall = 0.05;     // thickness of the walls along the world's edges
constexpr double body_radius = 0.25;
constexpr double full_speed = 0.5;       // world units per second at speed 1
constexpr double full_turn = 2.0;        // radians per second at turn 1
constexpr double ir_range = 2.0;         // the IR reading starts rising this far from a wall

class robot_sim {
public:
    // Starts at rest in the middle of the world, heading along +x. The phase shifts the slow
    // drift of the WiFi signal so that robots served side by side do not move in step.
    explicit robot_sim(double wifi_phase = 0) : wifi_phase_(wifi_phase) {}

    void drive(std::uint8_t drive0, std::uint8_t drive1) { motion_ = decode_drive(drive0, drive1); }
    void stop() { motion_ = {}; }
    bool moving() const { return motion_.speed != 0 || motion_.turn != 0; }
    const motion& current() const { return motion_; }

    // Moves the robot on by dt seconds; it stops at the border walls but may still turn.
    void advance(double dt);

    double x() const { return x_; }
    double y() const { return y_; }
    double heading() const { return heading_; }  // radians, 0 up to 2 pi, counter-clockwise on screen
    void place(double x, double y, double heading);

    // Velocity in world units per second; y grows downwards as in the controller's world.
    double vel_x() const;
    double vel_y() const;
    // IR reading as the controller shows it: 0 in the open, rising to 10 at a wall.
    double ir_reading() const;
    // WiFi signal 0..255, drifting slowly with time.
    std::uint8_t wifi() const;

    telemetry_fields telemetry(std::uint32_t counter) const;

private:
    motion motion_;
    double x_ = world_size / 2;
    double y_ = world_size / 2;
    double heading_ = 0;
    double clock_ = 0;  // seconds simulated so far
    double wifi_phase_ = 0;
};

}  // namespace robot_peer
