#include "world/body_index.h"

#include <algorithm>
#include <cmath>

body_index::body_index(double width, double height) : width_(width), height_(height) {}

void body_index::clear() {
    for (std::vector<int>& c : cells_) c.clear();
    bodies_.clear();
    max_radius_ = 0;
}

int body_index::cell_of(double x, double y) const {
    // Bodies beyond the world (never expected) share its edge cells; not a number goes to 0.
    const double fx = x / width_ * cells, fy = y / height_ * cells;
    const int cx = fx >= 0 ? static_cast<int>(std::min<double>(fx, cells - 1)) : 0;
    const int cy = fy >= 0 ? static_cast<int>(std::min<double>(fy, cells - 1)) : 0;
    return cy * cells + cx;
}

void body_index::unlist(int id) {
    std::vector<int>& c = cells_[bodies_[id].cell];
    c.erase(std::find(c.begin(), c.end(), id));
}

void body_index::place(int id, double x, double y, double radius) {
    if (id < 0) return;
    if (id >= size()) bodies_.resize(id + 1);
    body& b = bodies_[id];
    const int cell = cell_of(x, y);
    if (b.cell != cell) {
        if (b.cell >= 0) unlist(id);
        cells_[cell].push_back(id);
        b.cell = cell;
    }
    b.x = x;
    b.y = y;
    b.r = radius;
    b.id = id;
    max_radius_ = std::max(max_radius_, radius);
}

void body_index::gather(int self, double x, double y, double reach, std::vector<body>& out) const {
    // A sight's reach takes in a good part of the world: the bodies are asked one after another,
    // which costs less than going through the many cells it covers.
    out.resize(bodies_.size());
    std::size_t n = 0;
    for (const body& b : bodies_) {
        const double within = reach + b.r, dx = x - b.x, dy = y - b.y;
        out[n] = b;
        n += b.cell >= 0 && b.id != self && dx * dx + dy * dy < within * within;
    }
    out.resize(n);
}

int body_index::cast(const std::vector<body>& near, double ox, double oy, double dx, double dy, double reach, double& d,
                     point& hit) {
    int found = -1;
    d = reach;
    for (const body& b : near) {
        // |o + t u - c| = r: t = -p +- sqrt(p^2 - q), p = (o - c).u, q = |o - c|^2 - r^2.
        const double fx = ox - b.x, fy = oy - b.y;
        const double p = fx * dx + fy * dy;
        // Wholly behind the origin, or beyond the nearest found: no nearer crossing.
        if (p > b.r || -p - b.r > d) continue;
        const double q = fx * fx + fy * fy - b.r * b.r;
        const double disc = p * p - q;
        if (!(disc >= 0)) continue;
        const double root = std::sqrt(disc);
        if (-p + root < 0) continue;  // wholly behind the origin
        const double t = std::max(0.0, -p - root);
        if (t <= d && (found < 0 || t < d || b.id < found)) {
            d = t;
            found = b.id;
        }
    }
    if (found >= 0) hit = point{ox + d * dx, oy + d * dy};
    return found;
}

bool body_index::holds(const std::vector<body>& near, double x, double y) {
    for (const body& b : near)
        if ((x - b.x) * (x - b.x) + (y - b.y) * (y - b.y) < b.r * b.r) return true;
    return false;
}

bool body_index::crowded(int self, double x, double y, double radius) const {
    bool overlap = false;
    near_box(x - radius, y - radius, x + radius, y + radius, [&](int id) {
        const body& b = bodies_[id];
        const double reach = radius + b.r;
        if (id != self && (x - b.x) * (x - b.x) + (y - b.y) * (y - b.y) < reach * reach) overlap = true;
    });
    return overlap;
}

int body_index::step_meets(int self, double from_x, double from_y, double to_x, double to_y, double radius,
                           point* away) const {
    int nearest = -1;
    double nearest_gap = 0;
    near_box(to_x - radius, to_y - radius, to_x + radius, to_y + radius, [&](int id) {
        if (id == self) return;
        const body& b = bodies_[id];
        const double tx = to_x - b.x, ty = to_y - b.y, touch = radius + b.r;
        if (!(tx * tx + ty * ty < touch * touch)) return;
        const double d_to = std::sqrt(tx * tx + ty * ty);
        const double gap = d_to - touch;
        // Level steps (sliding round a body) are not approaches: rounding can make them look so.
        if (!(d_to < std::hypot(from_x - b.x, from_y - b.y) - 1e-12)) return;
        if (nearest < 0 || gap < nearest_gap || (gap == nearest_gap && id < nearest)) {
            nearest = id;
            nearest_gap = gap;
        }
    });
    if (nearest >= 0 && away) {
        const body& b = bodies_[nearest];
        const double ax = from_x - b.x, ay = from_y - b.y, n = std::hypot(ax, ay);
        *away = n > 0 ? point{ax / n, ay / n} : point{1, 0};
    }
    return nearest;
}

double body_index::overlap_max() const {
    // Swept along x: two bodies overlap only when their centres lie closer in x than their radii
    // together. The order of the last sweep is kept, so that bodies that moved a little are put
    // back in order in a few steps. Bodies not at a number anywhere overlap nothing.
    std::vector<int>& order = sweep_order_;
    std::vector<char>& taken = sweep_taken_;
    taken.assign(bodies_.size(), 0);
    auto listed = [&](int id) {
        const body& b = bodies_[id];
        return b.cell >= 0 && std::isfinite(b.x) && std::isfinite(b.y);
    };
    std::size_t kept = 0;
    for (int id : order)
        if (id < size() && listed(id)) {
            order[kept++] = id;
            taken[id] = 1;
        }
    order.resize(kept);
    for (int id = 0; id < size(); ++id)
        if (!taken[id] && listed(id)) order.push_back(id);
    for (std::size_t i = 1; i < order.size(); ++i) {
        const int id = order[i];
        std::size_t j = i;
        for (; j > 0 && bodies_[order[j - 1]].x > bodies_[id].x; --j) order[j] = order[j - 1];
        order[j] = id;
    }
    double deepest = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const body& a = bodies_[order[i]];
        const double window = a.r + max_radius_;
        for (std::size_t j = i + 1; j < order.size(); ++j) {
            const body& b = bodies_[order[j]];
            if (b.x - a.x >= window) break;
            const double dx = a.x - b.x, dy = a.y - b.y, touch = a.r + b.r;
            if (dx * dx + dy * dy < touch * touch) deepest = std::max(deepest, touch - std::sqrt(dx * dx + dy * dy));
        }
    }
    return deepest;
}
