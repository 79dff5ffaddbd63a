// A robot made by a test outside the world's robot table, and ways to pin down its gradient.
#pragma once

#include <cstring>

#include "robot/robot.h"

namespace test_support {

// The world frees the waypoints of the robots in its table; this one frees its own.
struct test_robot : robot_class {
    explicit test_robot(world_class* w, const char* name = "t") : robot_class(w, name, "127.0.0.1", 1, 0) {}
    ~test_robot() { free_waypoints(); }
};

// Every cell of the grid at 0, so the grid term of the gradient is zero everywhere inside.
inline void level_grid(robot_class& r) {
    std::memset(r.map, 0, sizeof r.map);
}

// The path is the one waypoint at (x, y), and it is the one being steered to.
inline void only_waypoint(robot_class& r, double x, double y) {
    r.free_waypoints();
    r.add_waypoint(x, y, 0);
    r.waypoints->index = 0;
    r.current_waypoint = 0;
}

}  // namespace test_support
