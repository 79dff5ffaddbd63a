// The gradient field: the push away from the nearest impact, the pull to the waypoint and the
// step down the navigation grid.
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "robot/robot.h"
#include "test_robot.h"
#include "test_support.h"
#include "world_fixture.h"
#include "world/impact_index.h"
#include "world/world.h"

using namespace test_support;

namespace {

constexpr double pi = 3.14159265358979323846;

class gradient_test : public world_fixture {};

TEST_F(gradient_test, NearbyImpactPushesDirectlyAway) {
    world_class w(setup);
    w.add_impact(5, 5);
    double a = 1, m = 1;
    // 0.25 to the right: 0.11 / sqrt(0.25) = 0.22 along +x.
    w.compute_grad_point(nullptr, 5.25, 5, a, m);
    EXPECT_DOUBLE_EQ(m, 0.22);
    EXPECT_DOUBLE_EQ(a, 0.0);
    // 0.25 below on the screen: heading -pi/2 moves down, away from it.
    w.compute_grad_point(nullptr, 5, 5.25, a, m);
    EXPECT_DOUBLE_EQ(m, 0.22);
    EXPECT_DOUBLE_EQ(a, -pi / 2);
    // 0.25 to the left.
    w.compute_grad_point(nullptr, 4.75, 5, a, m);
    EXPECT_DOUBLE_EQ(m, 0.22);
    EXPECT_DOUBLE_EQ(std::fabs(a), pi);
    // 1.0 away diagonally: 0.11 / 1, heading pi/4 (up and right).
    w.compute_grad_point(nullptr, 5 + std::sqrt(0.5), 5 - std::sqrt(0.5), a, m);
    EXPECT_NEAR(m, 0.11, 1e-15);
    EXPECT_NEAR(a, pi / 4, 1e-15);
    // Four units away the push is weaker: 0.11 / 2.
    w.compute_grad_point(nullptr, 9, 5, a, m);
    EXPECT_DOUBLE_EQ(m, 0.055);
}

TEST_F(gradient_test, ImpactAtThePointContributesNothing) {
    world_class w(setup);
    w.add_impact(5, 5);
    w.add_impact(5.5, 5);
    point v{9, 9};
    w.compute_impact_vector(5, 5, v);
    EXPECT_EQ(v.x, 0.0);
    EXPECT_EQ(v.y, 0.0);
    double a = 1, m = 1;
    w.compute_grad_point(nullptr, 5, 5, a, m);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(m, 0.0);
}

TEST_F(gradient_test, NoImpactsNoWaypointsAndALevelGridGiveZero) {
    world_class w(setup);
    double a = 1, m = 1;
    point v{9, 9};
    w.compute_impact_vector(3, 3, v);
    EXPECT_EQ(v.x, 0.0);
    EXPECT_EQ(v.y, 0.0);
    w.compute_grad_point(nullptr, 3, 3, a, m);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(m, 0.0);

    test_robot r(&w);
    w.free_impacts();
    r.free_waypoints();
    level_grid(r);
    a = m = 1;
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(m, 0.0);
    // Eight equal neighbours of any height cancel: rounding leaves about 1e-13, which must not
    // become a full pull. Unreached all round (a robot without a path), and obstacles all round.
    for (std::int32_t level : {255, -1, 254}) {
        for (auto& col : r.map)
            for (auto& c : col) c = level;
        point n{9, 9};
        r.compute_map_nav(n, 5.01, 5.01);
        EXPECT_EQ(n.x, 0.0) << level;
        EXPECT_EQ(n.y, 0.0) << level;
        EXPECT_FALSE(std::signbit(n.x)) << level;  // atan2(0, -0) would be pi
        a = m = 1;
        w.compute_grad_point(&r, 5.01, 5.01, a, m);
        EXPECT_EQ(a, 0.0) << level;
        EXPECT_EQ(m, 0.0) << level;
    }
}

TEST_F(gradient_test, EqualDistancesGoToTheNewerImpact) {
    world_class w(setup);
    w.add_impact(4, 5);
    w.add_impact(6, 5);
    point v;
    w.compute_impact_vector(5, 5, v);
    EXPECT_EQ(v.x, -1.0);  // from (6, 5)
    EXPECT_EQ(v.y, 0.0);
    double a, m;
    w.compute_grad_point(nullptr, 5, 5, a, m);
    EXPECT_DOUBLE_EQ(std::fabs(a), pi);
    EXPECT_DOUBLE_EQ(m, 0.11);

    world_class w2(setup);
    w2.add_impact(6, 5);
    w2.add_impact(4, 5);
    w2.compute_impact_vector(5, 5, v);
    EXPECT_EQ(v.x, 1.0);  // from (4, 5)
    EXPECT_EQ(v.y, 0.0);
    w2.compute_grad_point(nullptr, 5, 5, a, m);
    EXPECT_EQ(a, 0.0);
}

TEST_F(gradient_test, ImpactsBeyondTheSearchRadiusAreNotANumber) {
    world_class w(setup);
    // 10 x 10 world: the radius is 10. (4, 2) is exactly 10 from (10, 10).
    w.add_impact(4, 2);
    point v;
    w.compute_impact_vector(10, 10, v);
    EXPECT_TRUE(std::isnan(v.x));
    EXPECT_TRUE(std::isnan(v.y));
    // Rejected like a zero vector.
    double a = 1, m = 1;
    w.compute_grad_point(nullptr, 10, 10, a, m);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(m, 0.0);
    w.compute_impact_vector(10, 9.9375, v);
    EXPECT_EQ(v.x, 6.0);
    EXPECT_EQ(v.y, 7.9375);
}

TEST_F(gradient_test, WaypointPullsAndCountsNegatively) {
    world_class w(setup);
    test_robot r(&w);
    w.free_impacts();
    level_grid(r);
    double a, m;

    // 1.0 to the right.
    only_waypoint(r, 6, 5);
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_EQ(a, 0.0);
    EXPECT_DOUBLE_EQ(m, -0.86);

    // Directly below on the screen.
    only_waypoint(r, 5, 6);
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_DOUBLE_EQ(a, -pi / 2);
    EXPECT_DOUBLE_EQ(m, -0.86);

    // Above, two units: the pull grows with the distance.
    only_waypoint(r, 5, 3);
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_DOUBLE_EQ(a, pi / 2);
    EXPECT_DOUBLE_EQ(m, -1.72);

    // Standing on the waypoint.
    only_waypoint(r, 5, 5);
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(m, 0.0);

    // The waypoint steered to is the one numbered current_waypoint.
    r.free_waypoints();
    r.add_waypoint(5, 6, 0);  // will be index 1
    r.add_waypoint(6, 5, 0);  // index 0
    r.waypoints->index = 0;
    r.waypoints->next->index = 1;
    r.current_waypoint = 1;
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_DOUBLE_EQ(a, -pi / 2);
}

TEST_F(gradient_test, TermsAddUp) {
    world_class w(setup);
    test_robot r(&w);
    w.free_impacts();
    level_grid(r);
    // Impact 0.25 to the left pushes right by 0.22; waypoint 1.0 to the right pulls right by 0.86.
    w.add_impact(4.75, 5);
    only_waypoint(r, 6, 5);
    double a, m;
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_EQ(a, 0.0);
    EXPECT_NEAR(m, 0.22 - 0.86, 1e-15);
    // Waypoint to the left instead: 0.86 left against 0.22 right.
    only_waypoint(r, 4, 5);
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_DOUBLE_EQ(std::fabs(a), pi);
    EXPECT_NEAR(m, 0.22 - 0.86, 1e-15);
    // Waypoint straight up (0.86 up) against the impact's 0.22 right.
    only_waypoint(r, 5, 4);
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_NEAR(a, std::atan2(0.86, 0.22), 1e-12);
}

TEST_F(gradient_test, GridTermIsAFixedLengthStepDownhill) {
    world_class w(setup);
    test_robot r(&w);
    w.free_impacts();
    r.free_waypoints();
    level_grid(r);
    const int mx = r.get_map_x(5), my = r.get_map_y(5);
    // Higher to the right: downhill is to the left, whatever the height.
    for (int height : {1, 10, 200}) {
        level_grid(r);
        r.map[mx + 1][my] = height;
        double a, m;
        w.compute_grad_point(&r, 5, 5, a, m);
        EXPECT_DOUBLE_EQ(std::fabs(a), pi) << height;
        EXPECT_DOUBLE_EQ(m, 0.193) << height;
    }
    // Higher to the left: downhill to the right.
    level_grid(r);
    r.map[mx - 1][my] = 5;
    double a, m;
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_NEAR(a, 0.0, 1e-12);
    EXPECT_DOUBLE_EQ(m, 0.193);
    // Combined with a waypoint pull of 0.86 to the right.
    only_waypoint(r, 6, 5);
    w.compute_grad_point(&r, 5, 5, a, m);
    EXPECT_NEAR(a, 0.0, 1e-12);
    EXPECT_DOUBLE_EQ(m, 0.193 - 0.86);
    // Across a pull of 0.86 downwards the step's fixed length shows in the heading.
    only_waypoint(r, 5, 6);
    for (int height : {1, 10, 200}) {
        level_grid(r);
        r.map[mx + 1][my] = height;
        w.compute_grad_point(&r, 5, 5, a, m);
        EXPECT_NEAR(a, -std::atan2(0.86, -0.193), 1e-12) << height;
        EXPECT_DOUBLE_EQ(m, 0.193 - 0.86) << height;
    }
    r.free_waypoints();
    // Higher below on the screen (larger y): downhill is up the screen, heading pi/2, and
    // higher above: down the screen. The step once pointed uphill in y.
    for (auto [dy, heading] : {std::pair{1, pi / 2}, {-1, -pi / 2}}) {
        level_grid(r);
        r.map[mx][my + dy] = 5;
        w.compute_grad_point(&r, 5, 5, a, m);
        EXPECT_NEAR(a, heading, 1e-12) << dy;
    }
}

// The nearest impact the plain way: the whole list, newest first, strictly closer wins.
point reference_impact_vector(const world_class& w, double x, double y) {
    if (w.impact_count == 0) return point{0, 0};
    double best = w.world_width * w.world_height;
    const impact_type* nearest = nullptr;
    for (const impact_type* i = w.impacts; i; i = i->next) {
        const double d2 = (x - i->x) * (x - i->x) + (y - i->y) * (y - i->y);
        if (d2 < best) {
            best = d2;
            nearest = i;
        }
    }
    if (!nearest) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return point{nan, nan};
    }
    return point{x - nearest->x, y - nearest->y};
}

// Whether two or more impacts share the smallest distance to (x, y).
bool is_tie(const world_class& w, double x, double y) {
    double best = w.world_width * w.world_height;
    int count = 0;
    for (const impact_type* i = w.impacts; i; i = i->next) {
        const double d2 = (x - i->x) * (x - i->x) + (y - i->y) * (y - i->y);
        if (d2 < best) {
            best = d2;
            count = 1;
        } else if (d2 == best) {
            ++count;
        }
    }
    return count > 1;
}

void expect_matches_scan(world_class& w, int target, unsigned seed) {
    std::mt19937 gen(seed);
    // Positions on a 1/16 grid keep every squared distance exact, so ties are common.
    auto grid = [&](double lo, double hi, double step) {
        const int n = static_cast<int>((hi - lo) / step);
        return lo + step * static_cast<int>(gen() % static_cast<unsigned>(n + 1));
    };
    int attempts = 0;
    while (w.impact_count < target && attempts < 100 * target) {
        ++attempts;
        if (gen() % 10 == 0)
            w.add_impact(grid(-3, 13, 0.0625), grid(-3, 13, 0.0625));  // some beyond the world
        else
            w.add_impact(grid(0, 10, 0.0625), grid(0, 10, 0.0625));
    }
    ASSERT_EQ(w.impact_count, target);

    int ties = 0, nans = 0;
    auto check = [&](double x, double y) {
        point v{123, 456}, expect = reference_impact_vector(w, x, y);
        w.compute_impact_vector(x, y, v);
        if (std::isnan(expect.x)) {
            ++nans;
            EXPECT_TRUE(std::isnan(v.x) && std::isnan(v.y)) << x << "," << y;
        } else {
            EXPECT_EQ(v.x, expect.x) << x << "," << y;
            EXPECT_EQ(v.y, expect.y) << x << "," << y;
        }
        ties += is_tie(w, x, y);
    };
    for (int q = 0; q < 6000; ++q) {
        switch (q % 4) {
            case 0: check(grid(0, 10, 0.03125), grid(0, 10, 0.03125)); break;         // inside, on cell lines too
            case 1: check(grid(-8, 18, 0.03125), grid(-8, 18, 0.03125)); break;       // around and outside
            case 2: check(grid(10, 30, 0.5), grid(-20, 30, 0.5)); break;              // far out, often nothing near
            default: check(std::ldexp(gen(), -29), std::ldexp(gen(), -29)); break;  // anywhere 0..8
        }
    }
    // Exactly at every impact, and halfway between pairs of impacts (every pair of a short
    // list, neighbours in a long one): equidistant from both, a tie unless a third is closer.
    for (const impact_type* i = w.impacts; i; i = i->next) {
        check(i->x, i->y);
        for (const impact_type* j = i->next; j; j = j->next) {
            check((i->x + j->x) / 2, (i->y + j->y) / 2);
            if (target > 200) break;
        }
    }
    EXPECT_GT(ties, 20);
    EXPECT_GT(nans, 20);
}

TEST_F(gradient_test, NearestImpactMatchesAScanWithFewImpacts) {
    world_class w(setup);
    expect_matches_scan(w, 20, 7);
}

TEST_F(gradient_test, NearestImpactMatchesAScanWithManyImpacts) {
    world_class w(setup);
    expect_matches_scan(w, 3000, 11);
}

TEST_F(gradient_test, NearestImpactKeptByAWalkerMatchesAScan) {
    // A walker asks at every step, as a robot does each tick, through what it keeps of the
    // impacts round it; impacts come as it walks. Steps of 1/64 keep ties common; some steps
    // jump, some lead out of the world and back, and some stand still.
    for (int impacts : {60, 1500}) {
        world_class w(setup);
        impact_index mirror(10, 10);
        std::uint64_t seq = 0;
        std::mt19937 gen(impacts);
        auto grid = [&](double lo, double hi) {
            return lo + 0.0625 * static_cast<int>(gen() % static_cast<unsigned>((hi - lo) / 0.0625 + 1));
        };
        auto add = [&](double x, double y) {
            const int before = w.impact_count;
            w.add_impact(x, y);
            if (w.impact_count > before) mirror.add(x, y, ++seq);
        };
        while (w.impact_count < impacts) add(grid(-1, 11), grid(0, 10));
        impact_index::nearby kept;
        double x = 5, y = 5;
        int ties = 0, rebuilt = 0;
        for (int step = 0; step < 20000; ++step) {
            const int move = static_cast<int>(gen() % 100);
            if (move < 2) {
                x = grid(-2, 12);
                y = grid(-2, 12);
            } else if (move < 90) {
                x += (static_cast<int>(gen() % 5) - 2) / 64.0;
                y += (static_cast<int>(gen() % 5) - 2) / 64.0;
            }
            // New impacts, some right beside the walker.
            if (step % 250 == 0) step % 500 ? add(x + 0.125, y - 0.0625) : add(grid(0, 10), grid(0, 10));
            const impact_index::nearby before = kept;
            double ix = -1, iy = -1;
            const point expect = reference_impact_vector(w, x, y);
            ASSERT_TRUE(mirror.nearest(kept, x, y, w.world_width * w.world_height, ix, iy));
            ASSERT_EQ(x - ix, expect.x) << step;
            ASSERT_EQ(y - iy, expect.y) << step;
            ties += is_tie(w, x, y);
            rebuilt += kept.version != before.version || kept.x != before.x || kept.y != before.y;
        }
        EXPECT_GT(ties, 20) << impacts;
        // Most answers come from what was kept.
        EXPECT_LT(rebuilt, 8000);
    }
}

TEST_F(gradient_test, TiesAndTheRadiusHoldWithManyImpacts) {
    // 169 impacts in the top-left corner, more than a short list.
    auto fill_corner = [](world_class& w) {
        for (int i = 0; i <= 12; ++i)
            for (int j = 0; j <= 12; ++j) w.add_impact(i * 0.125, j * 0.125);
    };
    world_class a(setup), b(setup);
    fill_corner(a);
    fill_corner(b);
    ASSERT_EQ(a.impact_count, 169);
    // A symmetric pair across a cell boundary, added in opposite orders.
    a.add_impact(6.25, 7.5);
    a.add_impact(6.75, 7.5);
    b.add_impact(6.75, 7.5);
    b.add_impact(6.25, 7.5);
    point v;
    a.compute_impact_vector(6.5, 7.5, v);
    EXPECT_EQ(v.x, -0.25);
    EXPECT_EQ(v.y, 0.0);
    b.compute_impact_vector(6.5, 7.5, v);
    EXPECT_EQ(v.x, 0.25);
    EXPECT_EQ(v.y, 0.0);
    // Four at the same distance around (8, 3), in cells of their own; the last added wins.
    for (world_class* w : {&a, &b}) {
        w->add_impact(8, 2.5);
        w->add_impact(7.5, 3);
        w->add_impact(8.5, 3);
        w->add_impact(8, 3.5);
        w->compute_impact_vector(8, 3, v);
        EXPECT_EQ(v.x, 0.0);
        EXPECT_EQ(v.y, -0.5);
    }

    // Impacts beyond the world's edge count for points inside it, ties included.
    for (bool outer_newer : {false, true}) {
        world_class d(setup);
        fill_corner(d);
        d.add_impact(10.5, 5);
        d.compute_impact_vector(9.875, 5, v);
        EXPECT_EQ(v.x, -0.625);
        EXPECT_EQ(v.y, 0.0);
        d.free_impacts();
        fill_corner(d);
        if (outer_newer) {
            d.add_impact(9.5, 5);
            d.add_impact(10.5, 5);
        } else {
            d.add_impact(10.5, 5);
            d.add_impact(9.5, 5);
        }
        d.compute_impact_vector(10, 5, v);
        EXPECT_EQ(v.x, outer_newer ? -0.5 : 0.5);
        EXPECT_EQ(v.y, 0.0);
    }

    // From the far corner only the corner impacts are in range; (1.5, 1.5) is 8.5 * sqrt(2)
    // away, past the radius of 10.
    world_class c(setup);
    fill_corner(c);
    c.compute_impact_vector(10, 10, v);
    EXPECT_TRUE(std::isnan(v.x));
    c.add_impact(4, 2);  // exactly 10 away: still out
    c.compute_impact_vector(10, 10, v);
    EXPECT_TRUE(std::isnan(v.x));
    c.add_impact(4.125, 2);  // just inside
    c.compute_impact_vector(10, 10, v);
    EXPECT_EQ(v.x, 5.875);
    EXPECT_EQ(v.y, 8.0);
    // Outside the world, the same answers.
    c.compute_impact_vector(10, 10.0625, v);
    EXPECT_EQ(v.x, 5.875);
    EXPECT_EQ(v.y, 8.0625);
    c.compute_impact_vector(-20, -20, v);
    EXPECT_TRUE(std::isnan(v.y));
    c.compute_impact_vector(-7, -7, v);
    EXPECT_EQ(v.x, -7.0);
    EXPECT_EQ(v.y, -7.0);
}

}  // namespace
