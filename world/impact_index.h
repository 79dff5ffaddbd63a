// A bucket grid over the world for the impact queries that run on every tick: the nearest
// impact to a point and whether any impact lies within a radius. Answers are exactly those of
// a scan of the impact list, newest first: the same squared distances, the newest impact on ties.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

class impact_index {
public:
    impact_index(double width, double height);

    void clear();
    // seq grows with every impact added; a larger seq is a newer impact.
    void add(double x, double y, std::uint64_t seq);
    std::size_t size() const { return all_.size(); }

    // The impact with the smallest (x - ix)^2 + (y - iy)^2 below limit_sq, the newest on ties.
    bool nearest(double x, double y, double limit_sq, double& ix, double& iy) const;

    // What one asker that moves a little between questions (a robot, tick after tick) keeps of
    // the impacts round where it last asked.
    struct entry {
        double x, y;
        std::uint64_t seq;
    };
    struct nearby {
        double x = 0, y = 0, limit_sq = 0;
        std::uint64_t version = 0;  // 0: nothing kept
        std::vector<entry> list;
    };
    // As nearest, the same answer, from the impacts kept in `kept` while the point stays within
    // `nearby_move` of where they were gathered and no impact has come or gone: those within
    // the nearest's distance there and twice that move, which hold the nearest from anywhere
    // within the move, ties included.
    static constexpr double nearby_move = 0.05;
    bool nearest(nearby& kept, double x, double y, double limit_sq, double& ix, double& iy) const;
    // The impacts lying in [x0, x1] x [y0, y1], into `out` (cleared first).
    void in_box(double x0, double y0, double x1, double y1, std::vector<std::pair<double, double>>& out) const;
    // Whether any impact has a squared distance below r_sq.
    bool any_within(double x, double y, double r_sq) const;

private:
    static constexpr int cells = 40;

    bool inside(double x, double y) const;
    int cell_x(double x) const { return std::clamp(static_cast<int>(x / cw_), 0, cells - 1); }
    int cell_y(double y) const { return std::clamp(static_cast<int>(y / ch_), 0, cells - 1); }
    static void consider(const entry& e, double x, double y, double& best, const entry*& found) {
        const double d2 = (x - e.x) * (x - e.x) + (y - e.y) * (y - e.y);
        if (d2 < best || (d2 == best && found && e.seq > found->seq)) {
            best = d2;
            found = &e;
        }
    }

    double width_, height_, cw_, ch_;
    std::uint64_t version_ = 1;  // grows with every change
    std::vector<entry> buckets_[cells * cells];
    std::vector<entry> outside_;  // impacts beyond the world's extent
    std::vector<entry> all_;
};
