// The figures a scripted run prints about its world: counts, targets, held and still robots.
// Kept beside the world that produces them; the application adds its own timings.
#pragma once

#include <cstdio>
#include <deque>
#include <vector>

#include "support/types.h"

class world_class;

class run_figures {
public:
    // A robot is still when it lies within 0.1 (this, squared) of where it was ...
    static constexpr double still_distance_squared = 0.01;
    // ... this many seconds of simulated time ago (or at the start of a shorter run).
    static constexpr double still_window_s = 10.0;

    // Notes where every robot is at time `now` (seconds, not decreasing from call to call).
    void record_positions(const world_class& world, double now);
    // Robots within 0.1 of where they were still_window_s ago.
    int robots_still(const world_class& world) const;
    // The world's figures, one "name: value" per line, from "robots" to "bodies_overlap_max".
    // Prints zeros when there is no world.
    void print(std::FILE* out, const world_class* world) const;

private:
    struct positions_at {
        double time;
        std::vector<point> robots;
    };
    // The oldest record kept is the newest one at least still_window_s old.
    std::deque<positions_at> recent_;
};
