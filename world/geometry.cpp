#include "world/geometry.h"

#include <algorithm>
#include <cmath>

#include <emmintrin.h>

#include "support/maths.h"
#include "world/world.h"

namespace {

// Whether the first `reach` units of the ray from (ox, oy) along (dx, dy) can meet the box
// (x0, x1, y0, y1) grown by `margin` on every side; inv_dx and inv_dy are the direction's
// reciprocals. False only when provably not (not a number: true).
// Inlined where it is called: the walks ask it for every wall they pass.
[[gnu::always_inline]] inline bool ray_may_meet(double x0, double x1, double y0, double y1, double ox, double oy,
                                                double dx, double dy, double inv_dx, double inv_dy, double reach,
                                                double margin) {
    const double bx0 = x0 - margin, bx1 = x1 + margin, by0 = y0 - margin, by1 = y1 + margin;
    double t0 = 0, t1 = reach;
    if (dx != 0) {
        double a = (bx0 - ox) * inv_dx, b = (bx1 - ox) * inv_dx;
        if (a > b) std::swap(a, b);
        t0 = std::max(t0, a);
        t1 = std::min(t1, b);
    } else if (ox < bx0 || ox > bx1) {
        return false;
    }
    if (dy != 0) {
        double a = (by0 - oy) * inv_dy, b = (by1 - oy) * inv_dy;
        if (a > b) std::swap(a, b);
        t0 = std::max(t0, a);
        t1 = std::min(t1, b);
    } else if (oy < by0 || oy > by1) {
        return false;
    }
    return !(t0 > t1);
}

// A rough ray for the slab tests of two walls at a time: its origin and the reciprocals of its
// direction, in both lanes.
struct rough_ray2 {
    __m128d ox, oy, ix, iy;
    rough_ray2(double x, double y, double inv_dx, double inv_dy)
        : ox(_mm_set1_pd(x)), oy(_mm_set1_pd(y)), ix(_mm_set1_pd(inv_dx)), iy(_mm_set1_pd(inv_dy)) {}
};

// For two boxes, one a lane, given by their sides grown by the margin: whether the ray (1e-3 or
// more off both axes) meets each within `far`, bit 0 for the first and bit 1 for the second. The
// slab test of ray_may_meet, the side met first chosen by the smaller distance, not by the sign.
[[gnu::always_inline]] inline int rough_meets2(const rough_ray2& r, __m128d x0, __m128d x1, __m128d y0, __m128d y1,
                                               __m128d far) {
    const __m128d ax = _mm_mul_pd(_mm_sub_pd(x0, r.ox), r.ix), bx = _mm_mul_pd(_mm_sub_pd(x1, r.ox), r.ix);
    const __m128d ay = _mm_mul_pd(_mm_sub_pd(y0, r.oy), r.iy), by = _mm_mul_pd(_mm_sub_pd(y1, r.oy), r.iy);
    const __m128d t0 = _mm_max_pd(_mm_max_pd(_mm_setzero_pd(), _mm_min_pd(ax, bx)), _mm_min_pd(ay, by));
    const __m128d t1 = _mm_min_pd(_mm_min_pd(far, _mm_max_pd(ax, bx)), _mm_max_pd(ay, by));
    return _mm_movemask_pd(_mm_cmple_pd(t0, t1));
}

// The same for two packed walls, their boxes grown by `margin` here.
[[gnu::always_inline]] inline int rough_meets2(const rough_ray2& r, const wall_index::packed& a,
                                               const wall_index::packed& b, double margin, __m128d far) {
    const __m128d xa = _mm_loadu_pd(&a.x0), xb = _mm_loadu_pd(&b.x0), ya = _mm_loadu_pd(&a.y0), yb = _mm_loadu_pd(&b.y0);
    const __m128d m = _mm_set1_pd(margin);
    return rough_meets2(r, _mm_sub_pd(_mm_unpacklo_pd(xa, xb), m), _mm_add_pd(_mm_unpackhi_pd(xa, xb), m),
                        _mm_sub_pd(_mm_unpacklo_pd(ya, yb), m), _mm_add_pd(_mm_unpackhi_pd(ya, yb), m), far);
}

// Brings the index's impact cover up to the world's impacts: the newest impacts when impacts
// were only added since, all of them again after the list was emptied.
void cover_walls(wall_index& index, const impact_index& found, const impact_type* impacts, int impact_count,
                 std::uint64_t impact_version) {
    if (index.cover_version == impact_version) return;
    const std::uint64_t changes = impact_version - index.cover_version;
    int fresh = impact_count;
    if (impact_count >= index.cover_count &&
        changes == static_cast<std::uint64_t>(impact_count - index.cover_count)) {
        fresh = impact_count - index.cover_count;
    } else {
        index.uncover_all();
    }
    // 0.01: the square of add_impact's merge radius, 0.1.
    auto impacts_near = [&](double x0, double y0, double x1, double y1, wall_index::impact_points& out) {
        found.in_box(x0, y0, x1, y1, out);
    };
    for (const impact_type* i = impacts; i && fresh > 0; i = i->next, --fresh) index.cover(i->x, i->y, 0.01, impacts_near);
    index.cover_version = impact_version;
    index.cover_count = impact_count;
}

// Rejects a value strictly below both ends or strictly above both; equal to an end passes.
bool outside_extent(double v, double e1, double e2) { return (v < e1 && v < e2) || (v > e1 && v > e2); }

}  // namespace

bool check_intersect(line l1, line l2, point& hit) {
    const double x1 = l1.p1.x, y1 = l1.p1.y, x2 = l1.p2.x, y2 = l1.p2.y;
    const double x3 = l2.p1.x, y3 = l2.p1.y, x4 = l2.p2.x, y4 = l2.p2.y;
    const double a1 = y2 - y1, b1 = x1 - x2, c1 = x2 * y1 - x1 * y2;
    const double a2 = y4 - y3, b2 = x3 - x4, c2 = x4 * y3 - x3 * y4;
    const double den = a1 * b2 - a2 * b1;
    if (den == 0) return false;
    const double X = (b1 * c2 - b2 * c1) / den;
    const double Y = (a2 * c1 - a1 * c2) / den;
    hit.x = X;
    hit.y = Y;
    if (x1 != x2 && outside_extent(X, x1, x2)) return false;
    if (y1 != y2 && outside_extent(Y, y1, y2)) return false;
    if (x3 != x4 && outside_extent(X, x3, x4)) return false;
    if (y3 != y4 && outside_extent(Y, y3, y4)) return false;
    return true;
}

namespace {

// Not below both ends and not above both, lane by lane; an axis along which the segment does
// not extend is not asked.
[[gnu::always_inline]] inline __m128d within(__m128d v, __m128d e1, __m128d e2) {
    const __m128d below = _mm_and_pd(_mm_cmplt_pd(v, e1), _mm_cmplt_pd(v, e2));
    const __m128d above = _mm_and_pd(_mm_cmpgt_pd(v, e1), _mm_cmpgt_pd(v, e2));
    return _mm_or_pd(_mm_cmpeq_pd(e1, e2), _mm_andnot_pd(_mm_or_pd(below, above), _mm_castsi128_pd(_mm_set1_epi32(-1))));
}

// The ray of a box cast, each number in both lanes: its line a1 x + b1 y + c1 = 0 and its ends.
struct lane_ray {
    __m128d a1, b1, c1, x1, y1, x2, y2;
};

// Two edges (x3, y3)-(x4, y4), one a lane, met as check_intersect meets the ray: the distance
// from the ray's origin to the crossing (the horizon where it is not met) and the crossing (0, 0
// where the lines are parallel) into d, at_x and at_y.
[[gnu::always_inline]] inline void cross_edges(const lane_ray& r, __m128d x3, __m128d y3, __m128d x4, __m128d y4,
                                               double* d, double* at_x, double* at_y) {
    const __m128d a2 = _mm_sub_pd(y4, y3), b2 = _mm_sub_pd(x3, x4);
    const __m128d c2 = _mm_sub_pd(_mm_mul_pd(x4, y3), _mm_mul_pd(x3, y4));
    const __m128d den = _mm_sub_pd(_mm_mul_pd(r.a1, b2), _mm_mul_pd(a2, r.b1));
    const __m128d crosses = _mm_cmpneq_pd(den, _mm_setzero_pd());
    const __m128d q = _mm_or_pd(_mm_and_pd(crosses, den), _mm_andnot_pd(crosses, _mm_set1_pd(1.0)));
    const __m128d X = _mm_div_pd(_mm_sub_pd(_mm_mul_pd(r.b1, c2), _mm_mul_pd(b2, r.c1)), q);
    const __m128d Y = _mm_div_pd(_mm_sub_pd(_mm_mul_pd(a2, r.c1), _mm_mul_pd(r.a1, c2)), q);
    const __m128d met = _mm_and_pd(_mm_and_pd(crosses, _mm_and_pd(within(X, r.x1, r.x2), within(Y, r.y1, r.y2))),
                                   _mm_and_pd(within(X, x3, x4), within(Y, y3, y4)));
    const __m128d dx = _mm_sub_pd(X, r.x1), dy = _mm_sub_pd(Y, r.y1);
    const __m128d dist = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)));
    _mm_storeu_pd(d, _mm_or_pd(_mm_and_pd(met, dist), _mm_andnot_pd(met, _mm_set1_pd(vision_horizon))));
    _mm_storeu_pd(at_x, _mm_and_pd(crosses, X));
    _mm_storeu_pd(at_y, _mm_and_pd(crosses, Y));
}

}  // namespace

double check_box_intersect(world_class* world, line ray, line box, point& hit) {
    // Each edge in turn (top, bottom, left, right) is met as check_intersect meets two segments,
    // with the same arithmetic, and the nearest crossing beyond the origin is kept, the later edge
    // on ties. Every edge is worked out in full, two at a time side by side (top with bottom,
    // left with right: the same operations on each, so the same numbers as one at a time), and
    // the choice made by selection rather than by branches: which edges a ray meets cannot be
    // foretold, and the branches cost more than the arithmetic. An edge on a line parallel to
    // the ray divides by 1 instead, and is not met.
    const double x1 = ray.p1.x, y1 = ray.p1.y, x2 = ray.p2.x, y2 = ray.p2.y;
    const double bx1 = box.p1.x, by1 = box.p1.y, bx2 = box.p2.x, by2 = box.p2.y;
    const lane_ray r{_mm_set1_pd(y2 - y1), _mm_set1_pd(x1 - x2), _mm_set1_pd(x2 * y1 - x1 * y2), _mm_set1_pd(x1),
                     _mm_set1_pd(y1),      _mm_set1_pd(x2),      _mm_set1_pd(y2)};
    double d[4], at_x[4], at_y[4];
    // Top and bottom: (bx1, by1)-(bx2, by1) and (bx1, by2)-(bx2, by2); left and right:
    // (bx1, by1)-(bx1, by2) and (bx2, by1)-(bx2, by2).
    cross_edges(r, _mm_set1_pd(bx1), _mm_set_pd(by2, by1), _mm_set1_pd(bx2), _mm_set_pd(by2, by1), d, at_x, at_y);
    cross_edges(r, _mm_set_pd(bx2, bx1), _mm_set1_pd(by1), _mm_set_pd(bx2, bx1), _mm_set1_pd(by2), d + 2, at_x + 2, at_y + 2);
    double best = 10000, dist = 0;
    point crossing{};
    for (int i = 0; i < 4; ++i) {
        // The first edge stands until a nearer one comes, even when none does (distances that
        // are not a number).
        const bool nearer = (d[i] > 0) & (d[i] <= best);
        const bool take = i == 0 || nearer;
        best = nearer ? d[i] : best;
        dist = take ? d[i] : dist;
        crossing.x = take ? at_x[i] : crossing.x;
        crossing.y = take ? at_y[i] : crossing.y;
    }
    if (dist < 1.0 && world) world->add_impact(crossing.x, crossing.y);
    hit = crossing;
    return dist;
}

bool world_class::check_wall_point(double x, double y) const {
    bool in = false;
    wall_index_.each_near(x, y, x, y, [&](const wall_index::packed& p) {
        // Inside by the wall's corner and sides is inside its box; the box asks first.
        if (!(p.x0 <= x && x <= p.x1 && p.y0 <= y && y <= p.y1)) return true;
        const wall_type* w = p.e->wall;
        in = w->x <= x && x <= w->x + w->w && w->y <= y && y <= w->y + w->h;
        return !in;
    });
    return in;
}

void world_class::cos_sin(double angle, double& c, double& s) {
    if (!(angle == trig_angle_)) {
        trig_angle_ = angle;
        trig_cos_ = std::cos(angle);
        trig_sin_ = std::sin(angle);
    }
    c = trig_cos_;
    s = trig_sin_;
}

bool world_class::check_sensor(double x, double y, double angle, double range, int slot) {
    double c, sn;
    // Most sensor points lie clear of every wall and well inside the world: the rough point
    // tells so when nothing lies within 1e-9 of it, far more than it can be off by.
    if (std::fabs(range) <= 1000 && rough_cos_sin(angle, c, sn)) {
        const double m = 1e-9, sx = x + range * c, sy = y - range * sn;
        if (sx >= m && sx <= world_width - m && sy >= m && sy <= world_height - m) {
            bool near = false;
            auto holds = [&](const wall_index::packed& p) {
                near = p.x0 - m <= sx && sx <= p.x1 + m && p.y0 - m <= sy && sy <= p.y1 + m;
                return !near;
            };
            // From where a robot stands, a wall that holds the point lies in the direction of the
            // sensor and no further than the point.
            const view_index* view = range > 0 && range <= vision_horizon ? view_for(x, y, slot) : nullptr;
            if (view) {
                const view_index::sector_walls& sector = view->in(view_index::sector(c, -sn));
                const std::uint32_t count = sector.nearest > range + 1e-6 ? 0 : sector.count;
                for (std::uint32_t i = 0; i < count; ++i) {
                    const wall_index::packed& p = wall_index_.packed_at(view->at(sector, i));
                    if (wall_index::box_distance(p, x, y) > range + 1e-6 || !holds(p)) break;
                }
            } else {
                wall_index_.each_near(sx - m, sy - m, sx + m, sy + m, holds);
            }
            if (!near) return false;
        }
    }
    cos_sin(angle, c, sn);
    const double sx = x + range * c, sy = y - range * sn;
    if (sx < 0 || sx > world_width || sy < 0 || sy > world_height) return true;
    return check_wall_point(sx, sy);
}

double world_class::check_vision(double x, double y, double angle, bool& seen, point& hit, int slot) {
    if (const view_index* view = view_for(x, y, slot))
        return cast_in_view(*view, angle, seen, hit);
    return check_vision_within(x, y, angle, seen, hit, vision_horizon);
}

void world_class::fetch_for(int slot, double heading) const {
    if (slot < 0) return;
    if (slot < static_cast<int>(slot_views_.size()) && slot_views_[slot].built) slot_views_[slot].index.fetch(heading);
    if (slot >= static_cast<int>(slot_fans_.size())) return;
    auto ask = [](const void* p) { _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0); };
    const probe_fan& fan = slot_fans_[slot];
    for (int line = 0; line < 3; ++line) ask(reinterpret_cast<const char*>(&fan) + 64 * line);
    for (const probe_fan::walls* w : {&fan.near_walls, &fan.uncovered}) {
        if (w->list.empty()) continue;
        ask(w->list.data());
        ask(w->x0.data());
        ask(w->x1.data());
        ask(w->y0.data());
        ask(w->y1.data());
    }
    if (!fan.around.walls.empty()) ask(fan.around.walls.data());
}

void world_class::look_from(int slot, double x, double y) {
    view_ = nullptr;
    if (slot < 0 || slot >= robot_table_size) return;
    if (slot_views_.empty()) slot_views_.resize(robot_table_size);
    robot_view& view = slot_views_[slot];
    if (!(x == view.x && y == view.y) || view.wall_version != wall_version_) {
        view.x = x;
        view.y = y;
        view.wall_version = wall_version_;
        view.looks = 0;
        view.built = false;
    }
    // A robot on the move never looks from one spot again. Where walls crowd, the sectors would
    // hold as many walls as the cells a ray crosses, and a view would cost its making for nothing.
    const double reach = vision_horizon + 1e-5;
    if (!view.built && ++view.looks >= view_after && !wall_index_.spills() && x >= 0 && x <= world_width &&
        y >= 0 && y <= world_height && wall_index_.listed_in(x - reach, y - reach, x + reach, y + reach) <= view_most) {
        // Every wall whose box lies within sight, each once.
        scratch_places_.clear();
        wall_index_.begin_visits();
        wall_index_.each_near(x - reach, y - reach, x + reach, y + reach, [&](const wall_index::packed& p) {
            if (wall_index_.first_visit(*p.e)) scratch_places_.push_back(wall_index_.place_of(p));
            return true;
        });
        view.index.build(x, y, reach, wall_index_, scratch_places_);
        view.built = true;
    }
    if (!view.built) return;
    view_ = &view.index;
    view_slot_ = slot;
    view_version_ = wall_version_;
}

double world_class::cast_in_view(const view_index& view, double angle, bool& seen, point& hit) {
    // The cast of cast_within over the walls of the ray's sector, nearest box first: the walls
    // that can matter are those the exact ray meets closer than the nearest hit, or than an
    // impact can be recorded (1.0), and the boxes of all of those come that close.
    const double x = view.x(), y = view.y(), reach = vision_horizon;
    seen = false;
    double rc, rs;
    if (!rough_cos_sin(angle, rc, rs)) return cast_within(x, y, angle, seen, hit, reach, reach);
    const view_index::sector_walls& sector = view.in(view_index::sector(rc, -rs));
    std::uint32_t i = 0;
    // Along the rough direction (off both axes), the walls before the first one it may meet are
    // ones the exact ray cannot meet either; without one, the horizon.
    if (std::abs(rc) >= 1e-3 && std::abs(rs) >= 1e-3) {
        const double inv_x = 1 / rc, inv_y = -1 / rs;
        for (; i < sector.count; ++i) {
            const wall_index::packed& w = wall_index_.packed_at(view.at(sector, i));
            if (ray_may_meet(w.x0, w.x1, w.y0, w.y1, x, y, rc, -rs, inv_x, inv_y, reach + 2e-6, 2e-6)) break;
        }
        if (i == sector.count) return vision_horizon;
    }
    double c, sn;
    cos_sin(angle, c, sn);
    const double L = world_width * world_height;
    const line ray{{x, y}, {x + L * c, y - L * sn}};
    const double inv_c = 1 / c, inv_s = -1 / sn;
    cover_walls(wall_index_, impact_index_, impacts, impact_count, impact_version_);
    ray_walls_.clear();
    double nearest = vision_horizon;
    for (; i < sector.count; ++i) {
        const wall_index::packed& w = wall_index_.packed_at(view.at(sector, i));
        const double box = wall_index::box_distance(w, x, y);
        if (box > std::max(nearest, 1.0) + 1e-5) break;
        if (!ray_may_meet(w.x0, w.x1, w.y0, w.y1, x, y, c, -sn, inv_c, inv_s, reach + 1e-6, 1e-6)) continue;
        const wall_index::entry& e = *w.e;
        // Beyond the nearest hit, a covered wall can neither be chosen nor record an impact.
        if (box > nearest + 1e-5 && e.covered) continue;
        point crossing;
        const double d = check_box_intersect(nullptr, ray, line{{e.ax, e.ay}, {e.bx, e.by}}, crossing);
        if (d > 0 && d < nearest) nearest = d;
        ray_walls_.push_back(ray_wall{&e, d, crossing});
    }
    return choose_cast(seen, hit);
}

double world_class::check_vision_within(double x, double y, double angle, bool& seen, point& hit, double reach) {
    if (!(reach > 0 && reach <= vision_horizon)) reach = vision_horizon;
    return cast_within(x, y, angle, seen, hit, reach, reach);
}

double world_class::probe_within(double x, double y, double angle, bool& seen, point& hit, double reach, double near,
                                 int slot) {
    if (!(reach > 0 && reach <= vision_horizon)) reach = vision_horizon;
    if (!(near >= 0 && near < reach)) near = reach;
    if (near < reach && gather_fan(x, y, reach, near, slot)) return cast_in_fan(x, y, angle, seen, hit, reach, near);
    return cast_within(x, y, angle, seen, hit, reach, near);
}

bool world_class::gather_fan(double x, double y, double reach, double near, int slot) {
    // The covers stand for the impacts recorded so far, as for any cast.
    cover_walls(wall_index_, impact_index_, impacts, impact_count, impact_version_);
    // A robot's own fan takes the walls for anywhere within `fan_move` of where it is gathered.
    double move = 0;
    fan_ = &shared_fan_;
    if (slot >= 0 && slot < robot_table_size) {
        if (slot_fans_.empty()) slot_fans_.resize(robot_table_size);
        fan_ = &slot_fans_[slot];
        move = fan_move;
    }
    probe_fan& fan = *fan_;
    const double mx = x - fan.x, my = y - fan.y;
    if ((move > 0 ? mx * mx + my * my <= move * move : x == fan.x && y == fan.y) && reach == fan.reach &&
        near <= fan.near && fan.wall_version == wall_version_ && fan.impact_version == impact_version_)
        return fan.usable;
    fan.x = x;
    fan.y = y;
    fan.reach = reach;
    fan.near = near;
    fan.wall_version = wall_version_;
    fan.impact_version = impact_version_;
    fan.near_walls.clear();
    fan.uncovered.clear();
    fan.usable = !wall_index_.spills() && x >= move && x <= world_width - move && y >= move && y <= world_height - move;
    neighbourhood& around = fan.around;
    around.wall_version = 0;
    // The neighbourhood reaches a robot's step (and what is left of it as it slides) beyond the
    // fan's walls. Where walls crowd (more than a fan's rough test takes at once), the rays are
    // cast in full.
    const double n = near + 1e-4 + move, wide = near + 0.02 + move;
    constexpr std::size_t most = 64;
    fan.usable = fan.usable && wall_index_.listed_in(x - wide, y - wide, x + wide, y + wide) <= most &&
                 wall_index_.uncovered_within(x, y, reach + 1e-4 + move, most, scratch_packed_);
    if (!fan.usable) return false;
    // Each wall once, whichever cells list it: a long wall is listed in many.
    wall_index_.begin_visits();
    for (const wall_index::packed& p : scratch_packed_)
        if (wall_index_.first_visit(*p.e)) fan.uncovered.add(p);
    around.walls.clear();
    around.x0 = x - wide;
    around.y0 = y - wide;
    around.x1 = x + wide;
    around.y1 = y + wide;
    around.wall_version = wall_version_;
    // Each wall once, whichever cells list it.
    wall_index_.begin_visits();
    wall_index_.each_near(around.x0, around.y0, around.x1, around.y1, [&](const wall_index::packed& p) {
        if (wall_index_.first_visit(*p.e)) around.walls.push_back(p);
        return true;
    });
    for (const wall_index::packed& p : around.walls)
        if (wall_index::meets(p, x - n, y - n, x + n, y + n)) fan.near_walls.add(p);
    return true;
}

void world_class::probe_fan::walls::clear() {
    list.clear();
    x0.clear();
    x1.clear();
    y0.clear();
    y1.clear();
}

void world_class::probe_fan::walls::add(const wall_index::packed& p) {
    // The rough test's margin, as the cells' walk has it.
    const double m = 2e-6;
    list.push_back(p);
    x0.push_back(p.x0 - m);
    x1.push_back(p.x1 + m);
    y0.push_back(p.y0 - m);
    y1.push_back(p.y1 + m);
}

std::size_t world_class::probe_fan::walls::may_meet(double ox, double oy, double dx, double dy, double far,
                                                    std::uint32_t* taken) const {
    // Two walls at a time, side by side.
    const rough_ray2 ray(ox, oy, 1 / dx, 1 / dy);
    const __m128d far2 = _mm_set1_pd(far);
    std::size_t count = 0;
    const std::size_t size = list.size();
    for (std::size_t i = 0; i < size; i += 2) {
        // An odd list asks its last wall twice.
        const std::size_t j = i + 1 < size ? i + 1 : i;
        const int met = rough_meets2(ray, _mm_set_pd(x0[j], x0[i]), _mm_set_pd(x1[j], x1[i]), _mm_set_pd(y0[j], y0[i]),
                                     _mm_set_pd(y1[j], y1[i]), far2);
        taken[count] = static_cast<std::uint32_t>(i);
        count += met & 1;
        taken[count] = static_cast<std::uint32_t>(j);
        count += (met >> 1) & (j != i ? 1 : 0);
    }
    return count;
}

double world_class::cast_in_fan(double x, double y, double angle, bool& seen, point& hit, double reach, double near) {
    seen = false;
    // With no wall in either list, no ray from here meets one that matters.
    if (fan_->uncovered.list.empty() && (near <= 0 || fan_->near_walls.list.empty())) return vision_horizon;
    double rc, rs;
    // Rays close to an axis are cast in full.
    if (!rough_cos_sin(angle, rc, rs) || !(std::abs(rc) >= 1e-3 && std::abs(rs) >= 1e-3))
        return cast_within(x, y, angle, seen, hit, reach, near);
    // The rough direction with twice the exact margins takes every wall the exact ray can meet:
    // uncovered ones within reach, and any within `near`.
    // Neither list holds more than 64 walls (gather_fan).
    std::uint32_t uncovered[66], near_walls[66];
    const std::size_t u = fan_->uncovered.may_meet(x, y, rc, -rs, reach + 2e-6, uncovered);
    const std::size_t n = near > 0 ? fan_->near_walls.may_meet(x, y, rc, -rs, near + 2e-6, near_walls) : 0;
    if (u == 0 && n == 0) return vision_horizon;
    double c, sn;
    cos_sin(angle, c, sn);
    const double L = world_width * world_height;
    const line ray{{x, y}, {x + L * c, y - L * sn}};
    const double inv_c = 1 / c, inv_s = -1 / sn;
    // The exact cast of a wall the exact ray meets (the horizon for one it passes by).
    auto cast = [&](const wall_index::packed& p, point& crossing) {
        if (!ray_may_meet(p.x0, p.x1, p.y0, p.y1, x, y, c, -sn, inv_c, inv_s, reach + 1e-6, 1e-6)) return vision_horizon;
        const wall_index::entry& e = *p.e;
        return check_box_intersect(nullptr, ray, line{{e.ax, e.ay}, {e.bx, e.by}}, crossing);
    };
    // An uncovered wall met closer than 1.0 records an impact there unless one lies within the
    // merge radius already: a ray that would record one is cast in full.
    for (std::size_t i = 0; i < u; ++i) {
        point crossing;
        if (cast(fan_->uncovered.list[uncovered[i]], crossing) < 1.0 && !impact_index_.any_within(crossing.x, crossing.y, 0.01))
            return cast_within(x, y, angle, seen, hit, reach, near);
    }
    // Otherwise only a wall met closer than `near` needs an exact answer: the nearest of the
    // fan's near walls the exact ray meets, the oldest of equal ones, as the whole cast would
    // find it. Without one, the horizon.
    double best = vision_horizon;
    const wall_index::entry* chosen = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        point crossing;
        const wall_index::packed& p = fan_->near_walls.list[near_walls[i]];
        const double d = cast(p, crossing);
        const wall_index::entry& e = *p.e;
        if (d > 0 && (d < best || (d == best && chosen && e.seq < chosen->seq))) {
            best = d;
            chosen = &e;
            hit = crossing;
        }
    }
    if (!(best < near)) return vision_horizon;
    seen = true;
    return best;
}

double world_class::cast_within(double x, double y, double angle, bool& seen, point& hit, double reach, double near) {
    seen = false;
    ray_walls_.clear();
    const double L = world_width * world_height;
    const double impact_reach = std::min(1.0, reach);
    double c = 1, sn = 0, inv_c = 1, inv_s = 1, nearest = vision_horizon;
    line ray{};
    // The walls the exact ray can meet within reach are cast against the box, the nearest
    // distance kept. Walls further on than the nearest hit and than an impact can be recorded
    // (1.0) could neither be chosen nor leave one, and a covered wall in a cell entered beyond
    // the nearest hit can leave no impact: both are passed over.
    auto meets = [&](double x0, double x1, double y0, double y1) {
        return ray_may_meet(x0, x1, y0, y1, x, y, c, -sn, inv_c, inv_s, reach + 1e-6, 1e-6);
    };
    // Casts against a wall whose box the ray may meet.
    auto cast_box = [&](const wall_index::entry& e) {
        point crossing;
        const double d = check_box_intersect(nullptr, ray, line{{e.ax, e.ay}, {e.bx, e.by}}, crossing);
        if (d > 0 && d < nearest) nearest = d;
        ray_walls_.push_back(ray_wall{&e, d, crossing});
    };
    auto cast_at = [&](const wall_index::entry& e) {
        if (meets(e.x0, e.x1, e.y0, e.y1)) cast_box(e);
    };
    auto exact_direction = [&] {
        cos_sin(angle, c, sn);
        ray = line{{x, y}, {x + L * c, y - L * sn}};
        inv_c = 1 / c;
        inv_s = -1 / sn;
        cover_walls(wall_index_, impact_index_, impacts, impact_count, impact_version_);
    };

    // Most rays meet no wall: they are told so along the rough direction, without the exact
    // cosine and sine, by a test that takes every wall the exact ray could take and more (margins
    // of 2e-6 where the exact has 1e-6). From the first cell where it takes one, the walk goes on
    // with the exact cast: the cells before hold nothing the exact ray could meet. Where only the
    // walls closer than `near` need be exact, a covered wall (it records no impact) counts only
    // closer than that; the covers must then stand for the impacts recorded so far.
    const bool narrow = near < reach;
    if (narrow) cover_walls(wall_index_, impact_index_, impacts, impact_count, impact_version_);
    double rc, rs;
    if (rough_cos_sin(angle, rc, rs) && wall_index_.cells_walkable(x, y, rc, -rs)) {
        const double inv_x = 1 / rc, inv_y = -1 / rs;
        auto may_meet = [&](const wall_index::packed& e, double far) {
            return ray_may_meet(e.x0, e.x1, e.y0, e.y1, x, y, rc, -rs, inv_x, inv_y, far, 2e-6);
        };
        const rough_ray2 ray2(x, y, inv_x, inv_y);
        const __m128d far2 = _mm_set1_pd(reach + 2e-6);
        auto takes = [&](const wall_index::packed& e) {
            return may_meet(e, reach + 2e-6) && (!narrow || !e.e->covered || may_meet(e, near + 2e-6));
        };
        bool exact = false;
        // Before the exact cast, a row's cells are gone through only when one of its walls is
        // taken. Every wall of the row is asked, without stopping: in a dense world most rows
        // list walls the ray passes by, and a loop that stops at the first taken one costs more
        // in branches than the tests it saves. After it, a row entered beyond both the nearest
        // hit and the reach of impacts ends the walk, as its first cell would, and one entered
        // beyond the nearest hit whose walls are all covered is passed over.
        auto row = [&](const wall_index::packed* begin, const wall_index::packed* end, double t_in, auto&& covered) {
            bool any = false;
            if (!exact) {
                // Covered walls count no further than `near`, as in the cells below.
                if (narrow && t_in > near + 1e-5 && covered()) return 0;
                // Long lists (a crowded world) are left to the cells: a wall is taken in the
                // first few, and asking all of them first would only double the work.
                if (end - begin > 8) return 1;
                if (!narrow) {
                    // Two walls at a time (the last twice in an odd row).
                    for (; begin < end; begin += 2)
                        any |= rough_meets2(ray2, begin[0], begin + 1 < end ? begin[1] : begin[0], 2e-6, far2) != 0;
                    return any ? 1 : 0;
                }
                for (; begin != end; ++begin) {
                    bool t = may_meet(*begin, reach + 2e-6);
                    if (t && !may_meet(*begin, near + 2e-6)) t = !begin->e->covered;
                    any |= t;
                }
            } else {
                if (t_in > std::max(nearest, impact_reach) + 1e-5) return -1;
                // Beyond the nearest hit only uncovered walls count, as in the cells below.
                any = !(t_in > nearest + 1e-5 && covered());
            }
            return any ? 1 : 0;
        };
        auto cell = [&](const wall_index::packed* begin, const wall_index::packed* end, double t_enter, int number) {
            if (!exact) {
                // Covered walls count no further than `near`: one that could meet the ray there
                // comes up in a cell entered before.
                if (narrow && t_enter > near + 1e-5 && wall_index_.all_covered(number)) return true;
                while (begin != end && !takes(*begin)) ++begin;
                if (begin == end) return true;
                exact = true;
                exact_direction();
                wall_index_.begin_visits();
            } else if (t_enter > std::max(nearest, impact_reach) + 1e-5) {
                return false;
            }
            const bool pass_covered = t_enter > nearest + 1e-5;
            if (pass_covered && wall_index_.all_covered(number)) return true;
            for (; begin != end; ++begin) {
                // The box beside the entry (the entry's own) asks first: most walls of a cell pass
                // the ray by, and their entries stay unread.
                if (!meets(begin->x0, begin->x1, begin->y0, begin->y1)) continue;
                const wall_index::entry& e = *begin->e;
                if (!(pass_covered && e.covered) && wall_index_.first_visit(e)) cast_box(e);
            }
            return true;
        };
        if (wall_index_.walk_cells(x, y, rc, -rs, reach + 1e-5, row, cell)) {
            if (!exact) return vision_horizon;
            return choose_cast(seen, hit);
        }
        // The ray starts on a border and rounding turns its first step back: the exact walk
        // decides.
        ray_walls_.clear();
        nearest = vision_horizon;
    }

    exact_direction();
    wall_index_.walk_ray(
        x, y, c, -sn, reach + 1e-5, cast_at,
        [&](double t_exit) { return t_exit <= std::max(nearest, impact_reach) + 1e-5; },
        [&](double t_enter) { return t_enter > nearest + 1e-5; });
    return choose_cast(seen, hit);
}

double world_class::choose_cast(bool& seen, point& hit) {
    // The cast over the walls found in list order, as over the whole list: the same candidates,
    // the later of equal distances chosen, impacts recorded in the same order. Casting can record
    // impacts, which re-plans the robots but never changes the walls. The box cast of the walk is
    // kept: its impact is recorded here, in list order, as casting against the box with the
    // world would.
    std::sort(ray_walls_.begin(), ray_walls_.end(),
              [](const ray_wall& a, const ray_wall& b) { return a.entry->seq > b.entry->seq; });
    const double horizon_best = world_width + world_height;
    double best = horizon_best;
    bool chosen = false;
    point choice{};
    for (const ray_wall& r : ray_walls_) {
        const double d = r.d;
        const point crossing = r.at;
        // A covered wall's crossing merges with an impact already recorded: nothing to record.
        if (d < 1.0 && !r.entry->covered) add_impact(crossing.x, crossing.y);
        if (d > 0 && d < vision_horizon) {
            hit = crossing;
            seen = true;
            if (d <= best) {
                best = d;
                choice = crossing;
                chosen = true;
            }
        }
    }
    if (!chosen) return vision_horizon;
    hit = choice;
    return best;
}

namespace {
// Unit direction away from the wall's box at (x, y): from the box's nearest point, or, from a
// point on or inside the box, out through the nearest face.
point away_from_box(const wall_index::packed& box, double x, double y) {
    const double x0 = box.x0, x1 = box.x1, y0 = box.y0, y1 = box.y1;
    const double gx = x - std::clamp(x, x0, x1), gy = y - std::clamp(y, y0, y1);
    const double g = std::sqrt(gx * gx + gy * gy);
    if (g > 0) return point{gx / g, gy / g};
    const double faces[4] = {x - x0, x1 - x, y - y0, y1 - y};
    static const point out[4] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    int k = 0;
    for (int i = 1; i < 4; ++i)
        if (faces[i] < faces[k]) k = i;
    return out[k];
}
}  // namespace

bool world_class::step_blocked(double from_x, double from_y, double to_x, double to_y, double radius, point* away) {
    // No step (a slide with nothing left of it) comes closer to anything.
    if (from_x == to_x && from_y == to_y) return false;
    // The nearest wall the step approaches; of equal ones, the first in list order (the newest).
    // Its box (the wall's corners ordered; one with a corner not a number approaches nothing)
    // is kept: the wall's entry is read only to break a tie.
    bool found = false;
    wall_index::packed nearest{};
    double nearest_d = radius;
    // A wall met twice gives the same answer twice.
    auto consider = [&](const wall_index::packed& p) {
        const double d_to = wall_index::box_distance(p, to_x, to_y);
        if (!(d_to < radius)) return true;
        // Level steps (sliding along a face) are not approaches: rounding can make them look so.
        if (!(d_to < wall_index::box_distance(p, from_x, from_y) - 1e-12)) return true;
        if (!found || d_to < nearest_d || (d_to == nearest_d && p.e->seq > nearest.e->seq)) {
            found = true;
            nearest = p;
            nearest_d = d_to;
        }
        return true;
    };
    each_wall_near(to_x - radius, to_y - radius, to_x + radius, to_y + radius, consider);
    if (found && away) *away = away_from_box(nearest, from_x, from_y);
    return found;
}

bool world_class::way_out(double x, double y, double clearance, point& out) const {
    // The walls grown by the clearance on every side: the body is clear where its centre is
    // inside none of them. Candidates lie on the faces of the grown walls that hold the point,
    // then, where one lands inside another grown wall, on that wall's faces too; the shortest
    // walk to a clear point wins.
    const double tol = 1e-9;
    auto holder = [&](const wall_type* w, double px, double py) {
        const double x0 = std::min(w->x, w->x + w->w) - clearance, x1 = std::max(w->x, w->x + w->w) + clearance;
        const double y0 = std::min(w->y, w->y + w->h) - clearance, y1 = std::max(w->y, w->y + w->h) + clearance;
        return x0 + tol < px && px < x1 - tol && y0 + tol < py && py < y1 - tol;
    };
    std::vector<const wall_index::entry*> near;
    auto walls_round = [&](double px, double py) {
        wall_index_.gather_box(px - clearance, py - clearance, px + clearance, py + clearance, query_);
        near = query_;
    };
    auto clear = [&](double px, double py) {
        walls_round(px, py);
        for (const wall_index::entry* e : near)
            if (holder(e->wall, px, py)) return false;
        return true;
    };
    struct candidate {
        double x, y, walked;
    };
    std::vector<candidate> open{{x, y, 0}};
    bool found = false;
    double best = 0;
    for (int depth = 0; depth < 4 && !open.empty(); ++depth) {
        std::vector<candidate> next;
        for (const candidate& c : open) {
            walls_round(c.x, c.y);
            const std::vector<const wall_index::entry*> holders = near;
            for (const wall_index::entry* e : holders) {
                const wall_type* w = e->wall;
                if (!holder(w, c.x, c.y)) continue;
                const double x0 = std::min(w->x, w->x + w->w) - clearance, x1 = std::max(w->x, w->x + w->w) + clearance;
                const double y0 = std::min(w->y, w->y + w->h) - clearance, y1 = std::max(w->y, w->y + w->h) + clearance;
                const candidate exits[4] = {{x0, c.y, 0}, {x1, c.y, 0}, {c.x, y0, 0}, {c.x, y1, 0}};
                for (candidate e : exits) {
                    if (e.x < clearance || e.x > world_width - clearance || e.y < clearance ||
                        e.y > world_height - clearance)
                        continue;
                    e.walked = c.walked + std::hypot(e.x - c.x, e.y - c.y);
                    if (found && e.walked >= best) continue;
                    if (!clear(e.x, e.y)) {
                        next.push_back(e);
                    } else {
                        found = true;
                        best = e.walked;
                        out = point{e.x, e.y};
                    }
                }
            }
        }
        // Among many walls (a dense field of small ones) the candidates would multiply by the
        // walls round each of them: the shortest few go on.
        std::sort(next.begin(), next.end(), [](const candidate& a, const candidate& b) { return a.walked < b.walked; });
        if (next.size() > 16) next.resize(16);
        open = std::move(next);
    }
    return found;
}

bool world_class::close_to_wall(double x, double y, double margin) const {
    bool close = false;
    wall_index_.each_near(x - margin, y - margin, x + margin, y + margin, [&](const wall_index::packed& p) {
        close = wall_index::box_distance(p, x, y) < margin;
        return !close;
    });
    return close;
}

bool world_class::approaches_wall_at(const point& on, double from_x, double from_y, double to_x, double to_y) const {
    bool found = false, approaches = false;
    auto consider = [&](const wall_index::packed& p) {
        if (wall_index::box_distance(p, on.x, on.y) > 1e-9) return true;
        found = true;
        approaches = wall_index::box_distance(p, to_x, to_y) < wall_index::box_distance(p, from_x, from_y);
        return !approaches;
    };
    each_wall_near(on.x - 1e-9, on.y - 1e-9, on.x + 1e-9, on.y + 1e-9, consider);
    // A point on no wall (never expected) blocks, as every probe hit used to.
    return approaches || !found;
}
