#include "world/impact_index.h"

#include <algorithm>
#include <cmath>

impact_index::impact_index(double width, double height)
    : width_(width), height_(height), cw_(width / cells), ch_(height / cells) {}

void impact_index::clear() {
    for (auto& b : buckets_) b.clear();
    outside_.clear();
    all_.clear();
    ++version_;
}

bool impact_index::inside(double x, double y) const {
    return x >= 0 && x <= width_ && y >= 0 && y <= height_;
}

void impact_index::add(double x, double y, std::uint64_t seq) {
    entry e{x, y, seq};
    ++version_;
    all_.push_back(e);
    if (inside(x, y))
        buckets_[cell_y(y) * cells + cell_x(x)].push_back(e);
    else
        outside_.push_back(e);
}

bool impact_index::nearest(double x, double y, double limit_sq, double& ix, double& iy) const {
    double best = limit_sq;
    const entry* found = nullptr;
    // A short list is quicker to scan than to search ring by ring.
    if (!inside(x, y) || all_.size() <= 128) {
        for (const entry& e : all_) consider(e, x, y, best, found);
    } else {
        for (const entry& e : outside_) consider(e, x, y, best, found);
        int qx = cell_x(x), qy = cell_y(y);
        for (int r = 0; r < cells; ++r) {
            int x0 = qx - r, x1 = qx + r, y0 = qy - r, y1 = qy + r;
            for (int cy = std::max(y0, 0); cy <= std::min(y1, cells - 1); ++cy) {
                bool edge_row = cy == y0 || cy == y1;
                for (int cx = std::max(x0, 0); cx <= std::min(x1, cells - 1); ++cx) {
                    if (!edge_row && cx != x0 && cx != x1) continue;
                    for (const entry& e : buckets_[cy * cells + cx]) consider(e, x, y, best, found);
                }
            }
            // Everything not yet visited lies outside the square of rings 0..r; stop once that
            // square's nearest side is farther than the best distance so far.
            double gap = std::min({x - x0 * cw_, (x1 + 1) * cw_ - x, y - y0 * ch_, (y1 + 1) * ch_ - y});
            gap -= 1e-9;
            if (found && gap > 0 && gap * gap > best) break;
            if (!found && gap > 0 && gap * gap > limit_sq) break;
        }
    }
    if (!found) return false;
    ix = found->x;
    iy = found->y;
    return true;
}

bool impact_index::nearest(nearby& kept, double x, double y, double limit_sq, double& ix, double& iy) const {
    const double mx = x - kept.x, my = y - kept.y;
    if (kept.version == version_ && kept.limit_sq == limit_sq && mx * mx + my * my <= nearby_move * nearby_move) {
        double best = limit_sq;
        const entry* found = nullptr;
        for (const entry& e : kept.list) consider(e, x, y, best, found);
        if (found) {
            ix = found->x;
            iy = found->y;
            return true;
        }
    }
    kept.version = 0;
    if (!nearest(x, y, limit_sq, ix, iy)) return false;
    // From within the move of here, the nearest lies no farther than its distance from here and
    // the move, and so within that and the move again of here; rounding is covered many times.
    const double reach = std::sqrt((x - ix) * (x - ix) + (y - iy) * (y - iy)) + 2 * nearby_move + 1e-9;
    const double reach_sq = reach * reach;
    kept.list.clear();
    auto take = [&](const entry& e) {
        if ((x - e.x) * (x - e.x) + (y - e.y) * (y - e.y) <= reach_sq) kept.list.push_back(e);
    };
    if (!inside(x, y) || all_.size() <= 128) {
        for (const entry& e : all_) take(e);
    } else {
        for (const entry& e : outside_) take(e);
        for (int cy = cell_y(y - reach); cy <= cell_y(y + reach); ++cy)
            for (int cx = cell_x(x - reach); cx <= cell_x(x + reach); ++cx)
                for (const entry& e : buckets_[cy * cells + cx]) take(e);
    }
    kept.x = x;
    kept.y = y;
    kept.limit_sq = limit_sq;
    kept.version = version_;
    return true;
}

bool impact_index::any_within(double x, double y, double r_sq) const {
    // No squared distance lies below zero or not-a-number.
    if (!(r_sq > 0)) return false;
    if (!inside(x, y)) {
        for (const entry& e : all_)
            if ((x - e.x) * (x - e.x) + (y - e.y) * (y - e.y) < r_sq) return true;
        return false;
    }
    for (const entry& e : outside_)
        if ((x - e.x) * (x - e.x) + (y - e.y) * (y - e.y) < r_sq) return true;
    // Only the cells the square round the circle meets, grown by far more than rounding.
    const double r = std::min(std::sqrt(r_sq) * (1 + 1e-9) + 1e-12, width_ + height_);
    for (int cy = cell_y(y - r); cy <= cell_y(y + r); ++cy)
        for (int cx = cell_x(x - r); cx <= cell_x(x + r); ++cx)
            for (const entry& e : buckets_[cy * cells + cx])
                if ((x - e.x) * (x - e.x) + (y - e.y) * (y - e.y) < r_sq) return true;
    return false;
}

void impact_index::in_box(double x0, double y0, double x1, double y1, std::vector<std::pair<double, double>>& out) const {
    out.clear();
    auto take = [&](const entry& e) {
        if (e.x >= x0 && e.x <= x1 && e.y >= y0 && e.y <= y1) out.emplace_back(e.x, e.y);
    };
    for (const entry& e : outside_) take(e);
    if (!(x0 <= width_ && x1 >= 0 && y0 <= height_ && y1 >= 0)) return;
    for (int cy = cell_y(y0); cy <= cell_y(y1); ++cy)
        for (int cx = cell_x(x0); cx <= cell_x(x1); ++cx)
            for (const entry& e : buckets_[cy * cells + cx]) take(e);
}
