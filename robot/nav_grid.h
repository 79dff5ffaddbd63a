// The navigation grid's shared pieces: cell indexing, neighbour offsets and the distance grid.
#pragma once

#include <cstdint>

#include "platform/draw.h"
#include "support/types.h"

class robot_class;
struct palette_type;

constexpr int nav_size = 75;
constexpr std::int32_t nav_obstacle = -1;
constexpr std::int32_t nav_unreached = 255;
constexpr std::int32_t nav_path_bit = 0x4000;
// Deepest nesting of new targets chosen by path walks that gave up.
constexpr int max_replan_depth = 4;

// The eight neighbours, counter-clockwise from +x, and the matching angles k * pi / 4.
extern const int nav_offsets[8][2];
extern const double nav_cos[8];
extern const double nav_sin[8];

// v / extent * 75 truncated; anything outside 0..74 (or not a number) becomes 74.
int nav_index(double v, double extent);

// Paths keep clear of seen walls: a step into a cell whose waypoint point (its corner nearest
// the origin) lies closer than these to an impact costs more than 1. No cell is closed by this,
// so every passage the obstacle cells leave open stays open.
constexpr double nav_close_clearance = 0.3;
constexpr int nav_close_cost = 4;
constexpr double nav_wide_clearance = 0.45;
constexpr int nav_wide_cost = 2;
void compute_step_costs(const impact_type* impacts, double width, double height,
                        std::uint8_t cost[nav_size][nav_size]);

// Step costs from the target cell around the impacts' obstacle cells, capped at 255: the grid
// the pass-by-pass wavefront converges to, computed cheapest first.
void compute_distance_grid(const impact_type* impacts, double width, double height, int target_mx,
                           int target_my, std::int32_t grid[nav_size][nav_size]);

// What the impacts make of the grid, before any target: the step costs and the obstacle cells.
// Both are the largest of what each impact alone makes, so impacts added since can be laid over
// them; `version` and `count` say which impacts they stand for (the world's impact version and
// count when last brought up to date).
struct nav_costs {
    std::uint8_t cost[nav_size][nav_size];
    bool obstacle[nav_size][nav_size];
    std::uint64_t version = 0;
    int count = -1;  // stands for no impacts yet: not filled
    double width = 0, height = 0;

    // Brings both up to the impacts: the newest ones when impacts were only added since (each
    // adding one to the version), all of them again otherwise.
    void update(const impact_type* impacts, int impact_count, std::uint64_t impact_version, double world_width,
                double world_height);
    // Made afresh from all the impacts.
    void fill(const impact_type* impacts, double world_width, double world_height);
    // The distance grid for a target, as the impacts and the target's cell make it.
    void distances(int target_mx, int target_my, std::int32_t grid[nav_size][nav_size]) const;

private:
    void add(const impact_type& i);
};

// A waypoint as drawn: an ellipse 0.1 across in this pixel box, red with a black outline for the
// robot's current waypoint and azure for the others.
struct waypoint_mark {
    int l, t, r, b;
    bool current;
    bool operator==(const waypoint_mark&) const = default;
};
waypoint_mark waypoint_mark_of(const robot_class& robot, const waypoint_type& w);
void draw_waypoint_mark(platform::dc* hdc, const palette_type& p, const waypoint_mark& m);
