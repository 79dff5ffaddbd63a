// A uniform grid over the world with every wall listed in the cells its box touches, kept up to
// date as walls are added, resized and cleared, so that the geometric queries look only at the
// walls near a point or along a ray instead of walking the whole list.
//
// What it promises: every wall whose box (corners ordered, grown by a hair for rounding) meets a
// queried region is handed back, each once; walls that reach outside the world are handed back to
// every query. Callers then apply their own exact test to what they get, so a query gives exactly
// the answer of the literal walk over the list. Walls come back in list order (newest first) where
// the caller asks for it, since some answers (ties, the order impacts are recorded in) depend on it.
#pragma once

#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "support/types.h"

class wall_index {
public:
    struct entry {
        const wall_type* wall;
        std::uint64_t seq;  // larger is newer: list order is descending seq
        std::uint32_t slot;
        bool single;   // listed in one cell only: no query meets it twice
        bool covered;  // every point of the box lies within the merge radius of one impact
        double x0, x1, y0, y1;  // the box, corners ordered
    };

    wall_index(double width, double height);

    void add(const wall_type* wall);
    // After the wall's size changed.
    void update(const wall_type* wall);
    // Before the wall goes away: it leaves every cell and its slot is free again.
    void remove(const wall_type* wall);
    void clear();
    std::size_t size() const { return where_.size(); }

    // The walls whose boxes meet [x0, x1] x [y0, y1] (with the hair), each once, into `out`
    // (cleared first), in no particular order; sort_by_list puts them in list order.
    void gather_box(double x0, double y0, double x1, double y1, std::vector<const entry*>& out) const;
    static void sort_by_list(std::vector<const entry*>& found);

    // Walks the cells that the ray from (ox, oy) along the unit direction (dx, dy) passes through,
    // nearest first, up to `length`. For each wall not handed out before, `visit(entry)` is
    // called; after each cell `more(t_exit)` says whether to go on, t_exit being the distance at
    // which the ray leaves the cell. Walls reaching outside the world are visited first. An origin
    // outside the world visits every wall. In a cell the ray enters at t_enter with
    // `pass_covered(t_enter)` true, covered walls are passed over (they may come up in a later
    // cell, where they are asked about again). The first `quiet_cells` cells inside the world are
    // only stepped through: a caller that knows their walls give it nothing need not be handed
    // them.
    template <class Visit, class More, class PassCovered>
    void walk_ray(double ox, double oy, double dx, double dy, double length, Visit&& visit, More&& more,
                  PassCovered&& pass_covered, int quiet_cells = 0) const;

    // Whether walk_ray along (dx, dy) up to `length` would certainly hand out no wall that
    // `may_meet` accepts, given that the exact direction lies within 1e-14 of (dx, dy): the
    // cells it walks are then those of the exact walk, told apart only where the walk passes
    // within 1e-8 of a cell corner or of its end, or runs within 1e-3 of an axis (false then).
    // When false because `may_meet` accepted a wall, `clear_cells` is the number of cells before
    // its cell, which are those of the exact walk and hold nothing `may_meet` accepts; 0 when
    // false for any other reason.
    template <class MayMeet>
    bool ray_surely_clear(double ox, double oy, double dx, double dy, double length, MayMeet&& may_meet,
                          int& clear_cells) const;

    // Impact cover. A ray records an impact where it crosses a wall, unless an earlier impact
    // lies closer than the merge radius: a wall whose whole box lies that close to one impact
    // can add none, and rays that cannot choose it either may pass it over. Walls start
    // uncovered (new, resized, or after uncover_all); cover marks those near a new impact.
    // `cover_version` and `cover_count` say which impacts the marks stand for (the world's
    // impact version and count when last brought up to date).
    void cover(double ix, double iy, double r_sq);
    void uncover_all();
    std::uint64_t cover_version = 0;
    int cover_count = 0;

private:
    static constexpr int cells = 100;
    static constexpr double hair = 1e-6;

    // Amanatides and Woo: the cells a ray from (ox, oy) along (dx, dy) passes through, nearest
    // first, stepping each time across the nearer of the next vertical and horizontal border.
    struct cell_walk {
        int cx, cy, step_x, step_y;
        double next_x, next_y, delta_x, delta_y;
        cell_walk(const wall_index& index, double ox, double oy, double dx, double dy)
            : cx(index.cell_x(ox)), cy(index.cell_y(oy)), step_x(dx > 0 ? 1 : (dx < 0 ? -1 : 0)),
              step_y(dy > 0 ? 1 : (dy < 0 ? -1 : 0)) {
            const double inf = 1e300;
            next_x = step_x ? ((cx + (step_x > 0 ? 1 : 0)) * index.cw_ - ox) / dx : inf;
            next_y = step_y ? ((cy + (step_y > 0 ? 1 : 0)) * index.ch_ - oy) / dy : inf;
            delta_x = step_x ? index.cw_ / std::abs(dx) : inf;
            delta_y = step_y ? index.ch_ / std::abs(dy) : inf;
        }
        int cell() const { return cy * cells + cx; }
        // Where the ray leaves the current cell.
        double t_exit() const { return next_x < next_y ? next_x : next_y; }
        // On into the next cell; false once past the grid.
        bool advance() {
            if (next_x < next_y) {
                cx += step_x;
                next_x += delta_x;
            } else {
                cy += step_y;
                next_y += delta_y;
            }
            return cx >= 0 && cy >= 0 && cx < cells && cy < cells;
        }
    };

    int cell_x(double x) const {
        const double c = std::floor(x / cw_);
        return c < 0 ? 0 : (c > cells - 1 ? cells - 1 : static_cast<int>(c));
    }
    int cell_y(double y) const {
        const double c = std::floor(y / ch_);
        return c < 0 ? 0 : (c > cells - 1 ? cells - 1 : static_cast<int>(c));
    }
    bool inside(const entry& e) const;
    void place(const entry& e);
    void unplace(const entry& e);
    bool first_time(const entry& e) const;
    void new_query() const;

    double width_, height_, cw_, ch_;
    std::vector<entry> buckets_[cells * cells];
    std::vector<entry> spill_;  // walls reaching outside the world
    std::unordered_map<const wall_type*, entry> where_;
    std::uint64_t next_seq_ = 1;
    std::vector<std::uint32_t> free_slots_;
    std::uint32_t slots_ = 0;
    // Uncovered walls listed in each cell.
    std::vector<std::uint32_t> uncovered_ = std::vector<std::uint32_t>(cells * cells, 0);
    // Whether each cell lists any wall: rays cross mostly empty cells, and this is read without
    // touching the cell's list.
    std::vector<std::uint8_t> occupied_ = std::vector<std::uint8_t>(cells * cells, 0);
    // Per-query marks, so a wall listed in several cells is handed out once.
    mutable std::vector<std::uint32_t> mark_;
    mutable std::uint32_t stamp_ = 0;
};

template <class Visit, class More, class PassCovered>
void wall_index::walk_ray(double ox, double oy, double dx, double dy, double length, Visit&& visit, More&& more,
                          PassCovered&& pass_covered, int quiet_cells) const {
    new_query();
    auto hand_out = [&](const std::vector<entry>& list) {
        for (const entry& e : list)
            if (first_time(e)) visit(e);
    };
    hand_out(spill_);
    if (!(ox >= 0 && ox <= width_ && oy >= 0 && oy <= height_)) {
        for (const auto& kv : where_)
            if (first_time(kv.second)) visit(kv.second);
        return;
    }
    cell_walk walk(*this, ox, oy, dx, dy);
    double t_enter = 0;
    for (int step = 0;; ++step) {
        const int cell = walk.cell();
        if (occupied_[cell] && step >= quiet_cells) {
            if (!pass_covered(t_enter)) {
                hand_out(buckets_[cell]);
            } else if (uncovered_[cell] > 0) {
                for (const entry& e : buckets_[cell])
                    if (!e.covered && first_time(e)) visit(e);
            }
        }
        const double t_exit = walk.t_exit();
        t_enter = t_exit;
        if (!(t_exit <= length) || !more(t_exit)) return;
        if (!walk.advance()) return;
    }
}

template <class MayMeet>
bool wall_index::ray_surely_clear(double ox, double oy, double dx, double dy, double length,
                                  MayMeet&& may_meet, int& clear_cells) const {
    clear_cells = 0;
    if (!spill_.empty() || !(ox >= 0 && ox <= width_ && oy >= 0 && oy <= height_)) return false;
    if (!(std::abs(dx) >= 1e-3 && std::abs(dy) >= 1e-3)) return false;
    // The same steps as walk_ray.
    cell_walk walk(*this, ox, oy, dx, dy);
    const double close = 1e-8;
    for (int step = 0;; ++step) {
        if (occupied_[walk.cell()])
            for (const entry& e : buckets_[walk.cell()])
                if (may_meet(e)) {
                    clear_cells = step;
                    return false;
                }
        if (std::abs(walk.next_x - walk.next_y) < close) return false;
        const double t_exit = walk.t_exit();
        if (std::abs(t_exit - length) < close) return false;
        if (!(t_exit <= length)) return true;
        if (!walk.advance()) return true;
    }
}
