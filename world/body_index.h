// Robots' bodies as discs, each listed in the one cell of a grid over the world that holds its
// centre, so that the step tests look only at the bodies nearby instead of at every pair (a
// sight's reach, a good part of the world, asks each body in turn; the overlap figure sweeps). Listed afresh on each tick and moved as each robot steps, so every
// query sees where the bodies are at that moment.
//
// What it promises: each query answers exactly as a test of every body would, the querying
// body itself left out (by its id; -1 leaves none out). Ids are the robots' places in the world's
// table.
#pragma once

#include <cmath>
#include <vector>

#include "support/types.h"

class body_index {
public:
    body_index(double width, double height);

    void clear();
    // Lists body `id` at (x, y) with `radius`, or moves it there.
    void place(int id, double x, double y, double radius);
    int size() const { return static_cast<int>(bodies_.size()); }

    struct body {
        double x = 0, y = 0, r = 0;
        int id = -1;
        int cell = -1;
    };
    // The bodies other than `self` whose discs come within `reach` of (x, y), into `out`
    // (cleared first): the few that many queries from about there then look at.
    void gather(int self, double x, double y, double reach, std::vector<body>& out) const;
    // Of the bodies `near`, the one the ray from (ox, oy) along the unit direction (dx, dy) meets
    // first, no farther than `reach`: its id (-1 when none; on equal distances the lowest id),
    // the distance (0 from inside a body) and the point.
    static int cast(const std::vector<body>& near, double ox, double oy, double dx, double dy, double reach, double& d,
                    point& hit);
    // Whether (x, y) lies inside one of the bodies `near` (its rim excluded).
    static bool holds(const std::vector<body>& near, double x, double y);
    // Whether a body other than `self`, of radius `radius`, would overlap another body at
    // (to_x, to_y) that it lies closer to than at (from_x, from_y); `away` then gets the unit
    // direction from the nearest such body to (from_x, from_y), and the id of that body is
    // returned (-1 when none).
    int step_meets(int self, double from_x, double from_y, double to_x, double to_y, double radius, point* away) const;
    // Calls visit(id, distance) for every body other than `self` whose centre lies closer than
    // `reach` to (x, y).
    template <class Visit>
    void within(int self, double x, double y, double reach, Visit&& visit) const {
        near_box(x - reach, y - reach, x + reach, y + reach, [&](int id) {
            const body& b = bodies_[id];
            const double dx = x - b.x, dy = y - b.y;
            if (id != self && dx * dx + dy * dy < reach * reach) visit(id, std::sqrt(dx * dx + dy * dy));
        });
    }
    // Whether a body of `radius` at (x, y) would overlap a body other than `self`.
    bool crowded(int self, double x, double y, double radius) const;
    // The deepest overlap of two bodies: the sum of their radii less the distance of their
    // centres, at its largest; 0 when none overlap.
    double overlap_max() const;

private:
    static constexpr int cells = 10;
    int cell_of(double x, double y) const;
    void unlist(int id);
    // Calls visit(id) for every body whose disc may meet [x0, x1] x [y0, y1].
    template <class Visit>
    void near_box(double x0, double y0, double x1, double y1, Visit&& visit) const {
        // A body lies in the cell of its centre, so the box is grown by the largest radius.
        const double g = max_radius_;
        // A box that is not a number holds nothing.
        if (!(x0 - g <= x1 + g && y0 - g <= y1 + g)) return;
        const int a = cell_of(x0 - g, y0 - g), b = cell_of(x1 + g, y1 + g);
        for (int cy = a / cells; cy <= b / cells; ++cy)
            for (int cx = a % cells; cx <= b % cells; ++cx)
                for (int id : cells_[cy * cells + cx]) visit(id);
    }

    double width_, height_;
    double max_radius_ = 0;
    std::vector<body> bodies_;
    std::vector<int> cells_[cells * cells];
    // overlap_max's sweep: the bodies by x, as last sorted.
    mutable std::vector<int> sweep_order_;
    mutable std::vector<char> sweep_taken_;
};
