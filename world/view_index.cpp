#include "world/view_index.h"

#include <algorithm>
#include <cmath>

#include <xmmintrin.h>

#include "support/maths.h"

view_index::scratch& view_index::shared_scratch() {
    static thread_local scratch work;
    return work;
}

void view_index::build(double x, double y, double reach, const wall_index& index,
                       const std::vector<std::uint32_t>& walls) {
    x_ = x;
    y_ = y;
    scratch& work = shared_scratch();
    std::vector<span>& spans = work.spans;
    std::vector<std::uint32_t>& first = work.first;
    std::vector<std::uint32_t>& at = work.at;
    std::vector<const span*>& order = work.order;
    spans.clear();
    // A box grown by twice the callers' margin, so that the rays it may meet lie well inside the
    // sectors it is listed in; the pseudo-angles are good to far better than `slack`.
    const double grow = 2e-6, slack = 1e-9, close = 1e-4;
    for (std::uint32_t place : walls) {
        const wall_index::packed& p = index.packed_at(place);
        const double near = wall_index::box_distance(p, x, y);
        if (!(near <= reach)) continue;
        span s{place, near, p.e->seq, 0, sectors - 1};
        const double x0 = p.x0 - grow, x1 = p.x1 + grow, y0 = p.y0 - grow, y1 = p.y1 + grow;
        // A box at the point (or all but) may be met in any direction.
        if (wall_index::box_distance(x0, x1, y0, y1, x, y) > close) {
            // Seen from outside, a box spans less than half a turn, from one corner to another.
            const double corners[4] = {pseudo_angle(x0 - x, y0 - y), pseudo_angle(x1 - x, y0 - y),
                                       pseudo_angle(x0 - x, y1 - y), pseudo_angle(x1 - x, y1 - y)};
            double lo = 0, hi = 0;
            for (double c : corners) {
                double d = c - corners[0];
                if (d > 2) d -= 4;
                if (d < -2) d += 4;
                lo = std::min(lo, d);
                hi = std::max(hi, d);
            }
            const int s0 = static_cast<int>(std::floor((corners[0] + lo - slack) * per_unit));
            const int s1 = static_cast<int>(std::floor((corners[0] + hi + slack) * per_unit));
            if (s1 - s0 < sectors - 1) {
                s.s0 = s0;
                s.s1 = s1;
            }
        }
        spans.push_back(s);
    }
    // Counted into place, sector by sector, then each sector nearest first.
    auto each_sector = [](const span& s, auto&& f) {
        for (int k = s.s0; k <= s.s1; ++k) f(((k % sectors) + sectors) % sectors);
    };
    first.assign(sectors + 1, 0);
    for (const span& s : spans) each_sector(s, [&](int k) { ++first[k + 1]; });
    for (int k = 0; k < sectors; ++k) first[k + 1] += first[k];
    order.resize(first[sectors]);
    at.assign(first.begin(), first.end() - 1);
    for (const span& s : spans) each_sector(s, [&](int k) { order[at[k]++] = &s; });
    more_.clear();
    for (int k = 0; k < sectors; ++k) {
        const auto b = order.begin() + first[k], e = order.begin() + first[k + 1];
        std::sort(b, e, [](const span* a, const span* c) {
            return a->near < c->near || (a->near == c->near && a->seq > c->seq);
        });
        sector_walls& out = sectors_[k];
        out.count = static_cast<std::uint32_t>(e - b);
        // Rounded down to a float.
        const double nearest = b == e ? reach : (*b)->near;
        out.nearest = static_cast<float>(nearest);
        if (out.nearest > nearest) out.nearest = std::nextafter(out.nearest, 0.0f);
        out.more = static_cast<std::uint32_t>(more_.size());
        for (auto i = b; i < e; ++i) {
            if (i - b < in_line)
                out.first[i - b] = (*i)->place;
            else
                more_.push_back((*i)->place);
        }
    }
}

void view_index::fetch(double heading) const {
    double c, s;
    if (!rough_cos_sin(heading, c, s)) return;
    // Turned by pi / 3 at a time; rounding only moves the directions by far less than a sector.
    const double c60 = 0.5, s60 = 0.86602540378443865;
    for (int k = 0; k < 6; ++k) {
        _mm_prefetch(reinterpret_cast<const char*>(&sectors_[sector(c, -s)]), _MM_HINT_T0);
        const double turned_c = c * c60 - s * s60;
        s = s * c60 + c * s60;
        c = turned_c;
    }
}
