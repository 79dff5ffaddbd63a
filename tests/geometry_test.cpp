// Segment intersection, ray-against-box, point-in-wall, proximity sensors and vision rays.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "test_support.h"
#include "world_fixture.h"
#include "world/geometry.h"
#include "world/world.h"

using namespace test_support;

namespace {

constexpr double pi = 3.14159265358979323846;

class geometry_test : public world_fixture {};

std::vector<point> impact_list(const world_class& w) {
    std::vector<point> out;
    for (const impact_type* i = w.impacts; i; i = i->next) out.push_back(point{i->x, i->y});
    return out;
}

void expect_same_impacts(const world_class& a, const std::vector<point>& lb) {
    const std::vector<point> la = impact_list(a);
    ASSERT_EQ(la.size(), lb.size());
    EXPECT_EQ(a.impact_count, static_cast<int>(lb.size()));
    for (std::size_t i = 0; i < la.size(); ++i) {
        EXPECT_EQ(la[i].x, lb[i].x) << "impact " << i;
        EXPECT_EQ(la[i].y, lb[i].y) << "impact " << i;
    }
}

line seg(double x1, double y1, double x2, double y2) { return line{{x1, y1}, {x2, y2}}; }

// ---------------------------------------------------------------- check_intersect

TEST(geometry_intersect, ParallelAndCollinearSegmentsNeverMeetAndLeaveHitAlone) {
    point hit{7, 7};
    // Collinear and overlapping on [1, 2].
    EXPECT_FALSE(check_intersect(seg(0, 0, 2, 0), seg(1, 0, 3, 0), hit));
    EXPECT_EQ(hit.x, 7);
    EXPECT_EQ(hit.y, 7);
    // Collinear diagonal, one inside the other.
    EXPECT_FALSE(check_intersect(seg(0, 0, 4, 4), seg(1, 1, 2, 2), hit));
    // Parallel, apart.
    EXPECT_FALSE(check_intersect(seg(0, 0, 2, 1), seg(0, 1, 2, 2), hit));
    // A zero-length segment has a degenerate line.
    EXPECT_FALSE(check_intersect(seg(0, 0, 2, 2), seg(1, 1, 1, 1), hit));
    EXPECT_EQ(hit.x, 7);
    EXPECT_EQ(hit.y, 7);
}

TEST(geometry_intersect, TouchingEndPointsAndCrossingsIntersect) {
    point hit;
    // End to end.
    EXPECT_TRUE(check_intersect(seg(0, 0, 1, 1), seg(1, 1, 2, 0), hit));
    EXPECT_DOUBLE_EQ(hit.x, 1);
    EXPECT_DOUBLE_EQ(hit.y, 1);
    // An end point resting on the middle of the other segment.
    EXPECT_TRUE(check_intersect(seg(0, 0, 2, 0), seg(1, 0, 1, 1), hit));
    EXPECT_DOUBLE_EQ(hit.x, 1);
    EXPECT_DOUBLE_EQ(hit.y, 0);
    EXPECT_TRUE(check_intersect(seg(1, 1, 1, 0), seg(2, 0, 0, 0), hit));
    EXPECT_DOUBLE_EQ(hit.x, 1);
    EXPECT_DOUBLE_EQ(hit.y, 0);
    // A plain X.
    EXPECT_TRUE(check_intersect(seg(0, 0, 4, 2), seg(0, 2, 4, 0), hit));
    EXPECT_DOUBLE_EQ(hit.x, 2);
    EXPECT_DOUBLE_EQ(hit.y, 1);
}

TEST(geometry_intersect, CrossingOfTheLinesIsStoredEvenWhenTheSegmentsMiss) {
    point hit{-1, -1};
    // The lines meet at (3, 0), beyond the end of the first segment.
    EXPECT_FALSE(check_intersect(seg(0, 0, 1, 0), seg(3, -1, 3, 1), hit));
    EXPECT_DOUBLE_EQ(hit.x, 3);
    EXPECT_DOUBLE_EQ(hit.y, 0);
    // Beyond the end of the second segment (y = 5 lies above 0..1).
    EXPECT_FALSE(check_intersect(seg(-5, 5, 5, 5), seg(0, 0, 0, 1), hit));
    EXPECT_DOUBLE_EQ(hit.x, 0);
    EXPECT_DOUBLE_EQ(hit.y, 5);
    // Beyond both, on a diagonal.
    EXPECT_FALSE(check_intersect(seg(0, 0, 1, 1), seg(4, 0, 3, 1), hit));
    EXPECT_DOUBLE_EQ(hit.x, 2);
    EXPECT_DOUBLE_EQ(hit.y, 2);
    // Past the far end of a diagonal.
    EXPECT_FALSE(check_intersect(seg(0, 0, 2, 2), seg(3, 0, 3, 4), hit));
    EXPECT_DOUBLE_EQ(hit.x, 3);
    EXPECT_DOUBLE_EQ(hit.y, 3);
}

TEST(geometry_intersect, VerticalSegmentsAreNotTestedInXNorHorizontalOnesInY) {
    // For these segments the computed crossing lands a rounding step off the straight
    // segment's own coordinate (0.09999999999999999 rather than 0.1). Testing the straight
    // segment along its zero-length axis would throw such crossings away; it must not be.
    point hit;
    EXPECT_TRUE(check_intersect(seg(0, 0.5, 1, 0.55), seg(0.1, 0.1, 0.1, 0.6), hit));
    EXPECT_NEAR(hit.x, 0.1, 1e-15);
    EXPECT_NEAR(hit.y, 0.505, 1e-15);
    EXPECT_TRUE(check_intersect(seg(0.1, 0.1, 0.1, 0.6), seg(0, 0.5, 1, 0.55), hit));
    EXPECT_NEAR(hit.x, 0.1, 1e-15);
    EXPECT_TRUE(check_intersect(seg(0.5, 0, 0.55, 1), seg(0.1, 0.1, 0.6, 0.1), hit));
    EXPECT_NEAR(hit.y, 0.1, 1e-15);
    EXPECT_NEAR(hit.x, 0.505, 1e-15);
    EXPECT_TRUE(check_intersect(seg(0.1, 0.1, 0.6, 0.1), seg(0.5, 0, 0.55, 1), hit));
    EXPECT_NEAR(hit.y, 0.1, 1e-15);

    // The axis a straight segment does span is still tested: end points included, beyond
    // them not.
    EXPECT_TRUE(check_intersect(seg(0, 0.6, 1, 0.6), seg(0.1, 0.1, 0.1, 0.6), hit));
    EXPECT_FALSE(check_intersect(seg(0, 0.7, 1, 0.7), seg(0.1, 0.1, 0.1, 0.6), hit));
    EXPECT_DOUBLE_EQ(hit.y, 0.7);
    EXPECT_FALSE(check_intersect(seg(0.7, 0, 0.7, 1), seg(0.1, 0.1, 0.6, 0.1), hit));
    EXPECT_DOUBLE_EQ(hit.x, 0.7);
    // End points given in either order.
    EXPECT_TRUE(check_intersect(seg(0.6, 1, 0.6, 0), seg(0.6, 0.5, 0.1, 0.5), hit));
    EXPECT_FALSE(check_intersect(seg(0.65, 1, 0.65, 0), seg(0.6, 0.5, 0.1, 0.5), hit));
}

// ---------------------------------------------------------------- check_box_intersect

TEST_F(geometry_test, BoxCornerTieGoesToTheLaterEdgeWithTheSamePoint) {
    world_class w(setup);
    point hit;
    // The diagonal meets the top and left edges at (0.5, 0.5), bottom and right at (1.5, 1.5).
    const double d = check_box_intersect(&w, seg(0, 0, 10, 10), seg(0.5, 0.5, 1.5, 1.5), hit);
    EXPECT_DOUBLE_EQ(d, std::sqrt(0.5));
    EXPECT_DOUBLE_EQ(hit.x, 0.5);
    EXPECT_DOUBLE_EQ(hit.y, 0.5);
    ASSERT_EQ(w.impact_count, 1);
    EXPECT_DOUBLE_EQ(w.impacts->x, 0.5);
    EXPECT_DOUBLE_EQ(w.impacts->y, 0.5);
}

TEST_F(geometry_test, BoxCornerTieShowsTheLaterEdgeWhenRoundingSeparatesThePoints) {
    // A ray aimed at the top-left corner of the box. The top edge and the left edge work out
    // the crossing along different lines and land a rounding step apart, at the very same
    // distance from the origin; the box reports the left edge's point, the later of the two.
    const line ray{{0.415, 0.532}, {0x1.b751eb851eb84p+5, 0x1.ff74bc6a7ef9cp+5}};
    const double x1 = 0.96, y1 = 0x1.2a7ef9db22d0fp+0;
    const line box{{x1, y1}, {x1 + 1, y1 + 1}};
    point top, left;
    ASSERT_TRUE(check_intersect(ray, line{{x1, y1}, {x1 + 1, y1}}, top));
    ASSERT_TRUE(check_intersect(ray, line{{x1, y1}, {x1, y1 + 1}}, left));
    auto dist = [&](point p) {
        return std::sqrt((p.x - ray.p1.x) * (p.x - ray.p1.x) + (p.y - ray.p1.y) * (p.y - ray.p1.y));
    };
    ASSERT_EQ(dist(top), dist(left)) << "the geometry no longer gives a tie";
    ASSERT_TRUE(top.x != left.x || top.y != left.y) << "the geometry no longer separates the points";

    world_class w(setup);
    point hit;
    EXPECT_EQ(check_box_intersect(&w, ray, box, hit), dist(left));
    EXPECT_EQ(hit.x, left.x);
    EXPECT_EQ(hit.y, left.y);
    ASSERT_EQ(w.impact_count, 1);
    EXPECT_EQ(w.impacts->x, left.x);
    EXPECT_EQ(w.impacts->y, left.y);
}

TEST_F(geometry_test, BoxHitAtTheOriginIsIgnoredAndTheFarEdgeReported) {
    world_class w(setup);
    point hit;
    // Origin on the left edge, looking right through the box: the right edge at 0.5.
    double d = check_box_intersect(&w, seg(1, 1, 101, 1), seg(1, 0.5, 1.5, 1.5), hit);
    EXPECT_DOUBLE_EQ(d, 0.5);
    EXPECT_DOUBLE_EQ(hit.x, 1.5);
    EXPECT_DOUBLE_EQ(hit.y, 1.0);
    ASSERT_EQ(w.impact_count, 1);
    EXPECT_DOUBLE_EQ(w.impacts->x, 1.5);

    // Origin on the top edge, looking down: the bottom edge at exactly 1.0, which is reported
    // but too far to become an impact.
    d = check_box_intersect(&w, seg(1.25, 0.5, 1.25, 10.5), seg(1, 0.5, 1.5, 1.5), hit);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(hit.x, 1.25);
    EXPECT_EQ(hit.y, 1.5);
    EXPECT_EQ(w.impact_count, 1);

    // The far edge beyond the horizon: the untouched edges' 2.0 wins.
    d = check_box_intersect(&w, seg(1, 1, 101, 1), seg(1, 0.5, 4, 1.5), hit);
    EXPECT_EQ(d, 2.0);
    EXPECT_EQ(w.impact_count, 1);
}

TEST_F(geometry_test, RayFromInsideABoxReportsTheEdgeItLeavesThrough) {
    world_class w(setup);
    point hit;
    double d = check_box_intersect(&w, seg(1.25, 1, 101.25, 1), seg(1, 0.5, 1.5, 1.5), hit);
    EXPECT_DOUBLE_EQ(d, 0.25);
    EXPECT_DOUBLE_EQ(hit.x, 1.5);
    EXPECT_DOUBLE_EQ(hit.y, 1.0);
    d = check_box_intersect(&w, seg(1.25, 1, 1.25, -99), seg(1, 0.5, 1.5, 1.5), hit);
    EXPECT_DOUBLE_EQ(d, 0.5);
    EXPECT_DOUBLE_EQ(hit.x, 1.25);
    EXPECT_DOUBLE_EQ(hit.y, 0.5);
    const std::vector<point> imp = impact_list(w);
    ASSERT_EQ(imp.size(), 2u);
    EXPECT_DOUBLE_EQ(imp[0].y, 0.5);  // newest first
    EXPECT_DOUBLE_EQ(imp[1].x, 1.5);
}

TEST_F(geometry_test, OnlyHitsCloserThanOneBecomeImpacts) {
    world_class w(setup);
    point hit;
    // Exactly 1.0: every number here is exact, so is the distance.
    double d = check_box_intersect(&w, seg(0, 1, 100, 1), seg(1, 0.5, 2, 1.5), hit);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(hit.x, 1.0);
    EXPECT_EQ(hit.y, 1.0);
    EXPECT_EQ(w.impact_count, 0);

    // 0.99: recorded at the reported hit point.
    d = check_box_intersect(&w, seg(0.01, 1, 100.01, 1), seg(1, 0.5, 2, 1.5), hit);
    EXPECT_NEAR(d, 0.99, 1e-12);
    EXPECT_NEAR(hit.x, 1.0, 1e-12);
    EXPECT_NEAR(hit.y, 1.0, 1e-12);
    ASSERT_EQ(w.impact_count, 1);
    EXPECT_EQ(w.impacts->x, hit.x);
    EXPECT_EQ(w.impacts->y, hit.y);

    // Without a world nothing is recorded, the answer is the same.
    point hit2;
    EXPECT_EQ(check_box_intersect(nullptr, seg(0.01, 1, 100.01, 1), seg(1, 0.5, 2, 1.5), hit2), d);
    EXPECT_EQ(w.impact_count, 1);
}

TEST_F(geometry_test, BoxQueriesThatFindNothingNearReportTwo) {
    world_class w(setup);
    point hit;
    // Missing the box.
    EXPECT_EQ(check_box_intersect(&w, seg(0, 1, 100, 1), seg(5, 3, 6, 4), hit), 2.0);
    // Box behind the origin.
    EXPECT_EQ(check_box_intersect(&w, seg(8, 1, 108, 1), seg(5, 0, 6, 2), hit), 2.0);
    // Through the middle of a box 5 away: the two untouched edges keep 2.0, which wins.
    EXPECT_EQ(check_box_intersect(&w, seg(0, 1, 100, 1), seg(5, 0, 6, 2), hit), 2.0);
    // Through two opposite corners every edge is touched, so the true distance comes back.
    EXPECT_DOUBLE_EQ(check_box_intersect(&w, seg(0, 0, 10, 10), seg(2, 2, 3, 3), hit), 2 * std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(hit.x, 2);
    EXPECT_DOUBLE_EQ(hit.y, 2);
    // A zero-size box has only degenerate edges.
    EXPECT_EQ(check_box_intersect(&w, seg(0, 1, 100, 1), seg(0.5, 1, 0.5, 1), hit), 2.0);
    EXPECT_EQ(w.impact_count, 0);
}

TEST_F(geometry_test, BoxGivenByItsFarCornerFirstIsHitTheSame) {
    world_class w(setup);
    point hit;
    // Corners (2, 1.5) and (1, 0.5): the edge at x = 1 is met first.
    EXPECT_DOUBLE_EQ(check_box_intersect(&w, seg(0, 1, 100, 1), seg(2, 1.5, 1, 0.5), hit), 1.0);
    EXPECT_DOUBLE_EQ(hit.x, 1.0);
    EXPECT_DOUBLE_EQ(hit.y, 1.0);
}

// ---------------------------------------------------------------- check_wall_point, check_sensor

TEST_F(geometry_test, WallPointIncludesEveryEdge) {
    world_class w(setup);
    w.free_walls();
    w.add_wall(2, 3, 1, 0.5);
    EXPECT_TRUE(w.check_wall_point(2, 3));
    EXPECT_TRUE(w.check_wall_point(3, 3.5));
    EXPECT_TRUE(w.check_wall_point(2, 3.5));
    EXPECT_TRUE(w.check_wall_point(2.5, 3.25));
    EXPECT_FALSE(w.check_wall_point(3.001, 3.25));
    EXPECT_FALSE(w.check_wall_point(2.5, 2.999));
    EXPECT_FALSE(w.check_wall_point(5, 5));
    // A zero-size wall holds its one point; a wall of negative size holds nothing.
    w.add_wall(4, 4, 0, 0);
    EXPECT_TRUE(w.check_wall_point(4, 4));
    EXPECT_FALSE(w.check_wall_point(4.001, 4));
    w.add_wall(7, 7, -1, -1);
    EXPECT_FALSE(w.check_wall_point(6.5, 6.5));
    EXPECT_FALSE(w.check_wall_point(7, 7));
    // Walls anywhere in the list count.
    w.add_wall(8, 8, 1, 1);
    EXPECT_TRUE(w.check_wall_point(2.5, 3.25));
    EXPECT_TRUE(w.check_wall_point(8.5, 8.5));
}

TEST_F(geometry_test, SensorOnTheWorldBorderIsInsideAndBeyondIsOutside) {
    world_class w(setup);
    w.free_walls();  // the border walls would cover the edges
    EXPECT_FALSE(w.check_sensor(9, 5, 0, 1.0));  // x = 10
    EXPECT_TRUE(w.check_sensor(9, 5, 0, 1.001));
    EXPECT_FALSE(w.check_sensor(0.5, 5, pi, 0.5));  // x = 0
    EXPECT_TRUE(w.check_sensor(0.5, 5, pi, 0.501));
    EXPECT_FALSE(w.check_sensor(5, 9.5, -pi / 2, 0.5));  // y = 10 (down the screen)
    EXPECT_TRUE(w.check_sensor(5, 9.5, -pi / 2, 0.501));
    EXPECT_FALSE(w.check_sensor(5, 0.5, pi / 2, 0.5));  // y = 0
    EXPECT_TRUE(w.check_sensor(5, 0.5, pi / 2, 0.501));
    // Far outside, also with ranges beyond the horizon.
    EXPECT_TRUE(w.check_sensor(5, 5, 0, 6));
    EXPECT_FALSE(w.check_sensor(5, 5, 0, 4.5));
    // A robot already outside with a sensor pointing back in.
    EXPECT_FALSE(w.check_sensor(-0.2, 5, 0, 0.3125));
    EXPECT_TRUE(w.check_sensor(-0.4, 5, 0, 0.3125));
}

TEST_F(geometry_test, SensorInsideAWallIsBlockedAtAnyRange) {
    world_class w(setup);
    w.add_wall(2, 2, 1, 1);
    EXPECT_TRUE(w.check_sensor(1.5, 2.5, 0, 0.5));  // on the wall's left edge
    EXPECT_FALSE(w.check_sensor(1.5, 2.5, 0, 0.49));
    EXPECT_TRUE(w.check_sensor(2.5, 2.5, 0, 0.0));  // the centre itself
    EXPECT_TRUE(w.check_sensor(0.5, 2.5, 0, 2.5));  // range past the horizon
    EXPECT_FALSE(w.check_sensor(0.5, 2.5, 0, 3.0 - 0.5 + 0.01));
    EXPECT_TRUE(w.check_sensor(5.5, 2.5, pi, 3.0));  // a wall beyond the horizon of the robot
    EXPECT_FALSE(w.check_sensor(5.5, 2.5, pi, 3.6));
    EXPECT_TRUE(w.check_sensor(3.5, 2.5, 0, -1.0));  // a negative range looks backwards
    EXPECT_TRUE(w.check_sensor(2.5, 3.6, pi / 2, 0.6));  // upwards onto the bottom edge
    EXPECT_FALSE(w.check_sensor(2.5, 3.6, pi / 2, 0.59));
    // The border walls block sensors near the world's edge.
    EXPECT_TRUE(w.check_sensor(0.3, 5, pi, 0.26));
    EXPECT_FALSE(w.check_sensor(0.3, 5, pi, 0.24));
}

// ---------------------------------------------------------------- check_vision

TEST_F(geometry_test, VisionSeesUpToButNotIncludingTheHorizon) {
    world_class w(setup);
    w.add_wall(6.99, 4, 1, 2);
    bool seen = false;
    point hit{-1, -1};
    double d = w.check_vision(5, 5, 0, seen, hit);
    EXPECT_NEAR(d, 1.99, 1e-12);
    EXPECT_TRUE(seen);
    EXPECT_NEAR(hit.x, 6.99, 1e-12);
    EXPECT_NEAR(hit.y, 5.0, 1e-12);
    EXPECT_EQ(w.impact_count, 0);

    w.free_walls();
    w.add_wall(7, 4, 1, 2);  // exactly 2.0
    seen = true;
    hit = point{-1, -1};
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);
    EXPECT_FALSE(seen);
    EXPECT_EQ(hit.x, -1);
    EXPECT_EQ(hit.y, -1);

    w.free_walls();
    w.add_wall(5, 7.5, 2, 1);  // 2.5 straight down
    seen = true;
    EXPECT_EQ(w.check_vision(6, 5, -pi / 2, seen, hit), 2.0);
    EXPECT_FALSE(seen);

    // Close walls are seen and recorded as impacts.
    w.add_wall(5.5, 4, 1, 2);
    d = w.check_vision(5, 5, 0, seen, hit);
    EXPECT_NEAR(d, 0.5, 1e-12);
    EXPECT_TRUE(seen);
    ASSERT_EQ(w.impact_count, 1);
    EXPECT_EQ(w.impacts->x, hit.x);
    EXPECT_EQ(w.impacts->y, hit.y);
}

TEST_F(geometry_test, VisionPicksTheNearestWallWhateverTheListOrder) {
    world_class w(setup);
    w.add_wall(6.5, 4, 0.2, 2);  // 1.5 away
    w.add_wall(6, 4.5, 0.2, 1);  // 1.0 away, newer, so first in the list
    w.add_wall(7, 4, 0.2, 2);    // 2.0 away, newest
    bool seen;
    point hit;
    EXPECT_NEAR(w.check_vision(5, 5, 0, seen, hit), 1.0, 1e-12);
    EXPECT_NEAR(hit.x, 6.0, 1e-12);
    w.free_walls();
    w.add_wall(6, 4.5, 0.2, 1);
    w.add_wall(6.5, 4, 0.2, 2);
    EXPECT_NEAR(w.check_vision(5, 5, 0, seen, hit), 1.0, 1e-12);
    EXPECT_NEAR(hit.x, 6.0, 1e-12);
    EXPECT_TRUE(seen);
}

TEST_F(geometry_test, VisionTieBetweenWallsGoesToTheLaterInTheList) {
    // Wall a's left edge and wall b's top edge meet the ray at the same place. The two
    // crossings are worked out along different edges and come out a rounding step apart,
    // at the very same distance, which makes visible which wall is taken.
    const double ox = 2.351, oy = 2.112, angle = -0.5, ax = 3.357;
    world_class w(setup);
    w.free_walls();
    w.add_wall(ax, oy - 3, 1, 6);
    bool seen;
    point hit_a, hit_b;
    const double da = w.check_vision(ox, oy, angle, seen, hit_a);
    ASSERT_TRUE(seen);
    const double by = hit_a.y;

    w.free_walls();
    w.add_wall(ax - 0.5, by, 1, 1);
    const double db = w.check_vision(ox, oy, angle, seen, hit_b);
    ASSERT_TRUE(seen);
    ASSERT_EQ(da, db) << "the geometry no longer gives a tie";
    ASSERT_TRUE(hit_a.x != hit_b.x || hit_a.y != hit_b.y) << "the geometry no longer separates the points";

    point hit;
    w.free_walls();
    w.add_wall(ax - 0.5, by, 1, 1);  // b, then a: the list reads a, b
    w.add_wall(ax, oy - 3, 1, 6);
    EXPECT_EQ(w.check_vision(ox, oy, angle, seen, hit), da);
    EXPECT_EQ(hit.x, hit_b.x);
    EXPECT_EQ(hit.y, hit_b.y);

    w.free_walls();
    w.add_wall(ax, oy - 3, 1, 6);  // the list reads b, a
    w.add_wall(ax - 0.5, by, 1, 1);
    EXPECT_EQ(w.check_vision(ox, oy, angle, seen, hit), da);
    EXPECT_EQ(hit.x, hit_a.x);
    EXPECT_EQ(hit.y, hit_a.y);
}

TEST_F(geometry_test, ZeroSizeWallIsNeverSeen) {
    world_class w(setup);
    w.add_wall(5.5, 5, 0, 0);  // right on the ray, 0.5 ahead
    w.add_wall(6, 5, 0, 0);
    bool seen = true;
    point hit{-3, -3};
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);
    EXPECT_FALSE(seen);
    EXPECT_EQ(hit.x, -3);
    EXPECT_EQ(w.impact_count, 0);
    // Even from the wall's own point.
    EXPECT_EQ(w.check_vision(5.5, 5, pi, seen, hit), 2.0);
    EXPECT_FALSE(seen);
}

TEST_F(geometry_test, ProbeCastRecordsImpactsAgainAfterTheyAreCleared) {
    world_class w(setup);
    w.add_wall(5.5, 4.99, 0.02, 0.02);  // 0.5 ahead, beyond what the probe must see exactly
    bool seen;
    point hit;
    const double angle = 0.01;  // off the axis, as the probe's rays are
    w.probe_within(5, 5, angle, seen, hit, 1.0, 0.25);
    ASSERT_EQ(w.impact_count, 1);  // and the wall is now covered by it
    w.probe_within(5, 5, angle, seen, hit, 1.0, 0.25);
    ASSERT_EQ(w.impact_count, 1);
    // Key N: the cover goes with the impact, so the next probe records it afresh.
    w.free_impacts();
    w.probe_within(5, 5, angle, seen, hit, 1.0, 0.25);
    EXPECT_EQ(w.impact_count, 1);
}

TEST_F(geometry_test, WallChangesAreSeenByTheNextCastFromTheSameOrigin) {
    world_class w(setup);
    bool seen;
    point hit;
    // Far from (5, 5) at first.
    w.add_wall(1, 1, 0.1, 0.1);
    wall_type* grown = w.walls;
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);
    EXPECT_FALSE(seen);
    EXPECT_FALSE(w.check_sensor(5, 5, 0, 0.3));
    // Grown around the origin: (1, 1) to (5.5, 5.5), seen from inside at its right edge.
    w.resize_wall(grown, 4.5, 4.5);
    EXPECT_NEAR(w.check_vision(5, 5, 0, seen, hit), 0.5, 1e-12);
    EXPECT_TRUE(seen);
    EXPECT_NEAR(hit.x, 5.5, 1e-12);
    EXPECT_NEAR(hit.y, 5.0, 1e-12);
    EXPECT_TRUE(w.check_sensor(5, 5, 0, 0.3));
    // Shrunk to nothing.
    w.resize_wall(grown, 0, 0);
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);
    EXPECT_FALSE(seen);
    EXPECT_FALSE(w.check_sensor(5, 5, 0, 0.3));

    // Dragged back past its anchor: (9, 5.5) with size (-3, -0.9) spans x 6..9, y 4.6..5.5.
    // The ray sees it; a point test never finds a point in a wall of negative size.
    w.add_wall(9, 5.5, 0.1, 0.1);
    wall_type* dragged = w.walls;
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);
    w.resize_wall(dragged, -3, -0.9);
    EXPECT_NEAR(w.check_vision(5, 5, 0, seen, hit), 1.0, 1e-12);
    EXPECT_TRUE(seen);
    EXPECT_NEAR(hit.x, 6.0, 1e-12);
    EXPECT_FALSE(w.check_sensor(5, 5, 0, 1.25));
    w.resize_wall(dragged, 0.1, 0.1);
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);

    // Added and removed walls count as well.
    w.add_wall(5.5, 4, 1, 2);
    EXPECT_NEAR(w.check_vision(5, 5, 0, seen, hit), 0.5, 1e-12);
    EXPECT_TRUE(w.check_sensor(5, 5, 0, 0.5));
    const int count = w.wall_count;
    // The impacts seen on a wall go with it; one where it touched a border wall stays.
    auto impact_at = [&](double x, double y) {
        for (const impact_type* i = w.impacts; i; i = i->next)
            if (std::abs(i->x - x) < 1e-9 && std::abs(i->y - y) < 1e-9) return true;
        return false;
    };
    w.add_wall(8, 6, 1.95, 0.5);
    EXPECT_NEAR(w.check_vision(9.5, 6.2, 0, seen, hit), 0.45, 1e-12);  // from inside, at x 9.95
    ASSERT_TRUE(impact_at(9.95, 6.2));
    ASSERT_TRUE(impact_at(5.5, 5));
    const auto version = w.impact_version();
    const int impacts = w.impact_count;
    EXPECT_TRUE(w.remove_wall(w.walls));
    EXPECT_TRUE(w.remove_wall(w.walls));
    EXPECT_TRUE(impact_at(9.95, 6.2));
    EXPECT_FALSE(impact_at(5.5, 5));
    EXPECT_LT(w.impact_count, impacts);
    EXPECT_GT(w.impact_version(), version);
    EXPECT_EQ(w.wall_count, count - 1);
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);
    EXPECT_FALSE(w.check_sensor(5, 5, 0, 0.5));
    EXPECT_FALSE(w.remove_wall(dragged->next->next));  // past the two walls added, a border wall
    EXPECT_EQ(w.wall_count, count - 1);
    w.add_wall(5.5, 4, 1, 2);
    w.free_walls();
    EXPECT_EQ(w.check_vision(5, 5, 0, seen, hit), 2.0);
    EXPECT_FALSE(seen);
    EXPECT_FALSE(w.check_sensor(5, 5, 0, 0.5));
}

// The vision ray worked out afresh from its description, calling none of the geometry it checks:
// every wall in list order, each wall's edges in the order top, bottom, left, right, the nearest
// edge and then the nearest wall (the later one on ties). Hits closer than 1.0 are kept as impacts,
// newest first, unless closer than 0.1 to one kept before.
struct reference_vision {
    std::vector<point> impacts;

    // A wall taken out of `world` takes the impacts on its box (within 1e-6) that lie on no
    // other wall's box with it.
    void forget(const world_class& world, const wall_type& gone) {
        auto on = [](const wall_type& v, point p) {
            return p.x >= std::min(v.x, v.x + v.w) - 1e-6 && p.x <= std::max(v.x, v.x + v.w) + 1e-6 &&
                   p.y >= std::min(v.y, v.y + v.h) - 1e-6 && p.y <= std::max(v.y, v.y + v.h) + 1e-6;
        };
        std::erase_if(impacts, [&](point p) {
            if (!on(gone, p)) return false;
            for (const wall_type* v = world.walls; v; v = v->next)
                if (on(*v, p)) return false;
            return true;
        });
    }

    // The crossing of the two segments' lines goes to `at`; true when it lies on both segments.
    // A segment is tested only along the axes it spans, end coordinates included.
    static bool segments_meet(line s, line t, point& at) {
        const double a1 = s.p2.y - s.p1.y, b1 = s.p1.x - s.p2.x, c1 = s.p2.x * s.p1.y - s.p1.x * s.p2.y;
        const double a2 = t.p2.y - t.p1.y, b2 = t.p1.x - t.p2.x, c2 = t.p2.x * t.p1.y - t.p1.x * t.p2.y;
        const double den = a1 * b2 - a2 * b1;
        if (den == 0) return false;
        at = point{(b1 * c2 - b2 * c1) / den, (a2 * c1 - a1 * c2) / den};
        auto on = [](double v, double e1, double e2) {
            return e1 == e2 || !(v < std::min(e1, e2) || v > std::max(e1, e2));
        };
        return on(at.x, s.p1.x, s.p2.x) && on(at.y, s.p1.y, s.p2.y) && on(at.x, t.p1.x, t.p2.x) &&
               on(at.y, t.p1.y, t.p2.y);
    }

    // The box with corners p and q: its nearest edge crossing's distance, or 2.0.
    double box(line ray, point p, point q, point& hit) {
        const line edges[4] = {{p, {q.x, p.y}}, {{p.x, q.y}, q}, {p, {p.x, q.y}}, {{q.x, p.y}, q}};
        double dist[4] = {2.0, 2.0, 2.0, 2.0};
        point at[4] = {};
        for (int i = 0; i < 4; ++i)
            if (segments_meet(ray, edges[i], at[i])) {
                const double dx = at[i].x - ray.p1.x, dy = at[i].y - ray.p1.y;
                dist[i] = std::sqrt(dx * dx + dy * dy);
            }
        int choice = 0;
        double best = 10000;
        for (int i = 0; i < 4; ++i)
            if (dist[i] > 0 && dist[i] <= best) {
                best = dist[i];
                choice = i;
            }
        if (dist[choice] < 1.0) record(at[choice]);
        hit = at[choice];
        return dist[choice];
    }

    void record(point p) {
        for (const point& i : impacts)
            if ((p.x - i.x) * (p.x - i.x) + (p.y - i.y) * (p.y - i.y) < 0.01) return;
        impacts.insert(impacts.begin(), p);
    }

    double cast(const world_class& w, double x, double y, double angle, bool& seen, point& hit) {
        const double L = w.world_width * w.world_height;
        const line ray{{x, y}, {x + L * std::cos(angle), y - L * std::sin(angle)}};
        seen = false;
        std::vector<std::pair<double, point>> candidates;
        for (const wall_type* wall = w.walls; wall; wall = wall->next) {
            point crossing;
            const double d = box(ray, {wall->x, wall->y}, {wall->x + wall->w, wall->y + wall->h}, crossing);
            if (d > 0 && d < 2.0) {
                candidates.emplace_back(d, crossing);
                hit = crossing;
                seen = true;
            }
        }
        double best = w.world_width + w.world_height;
        const std::pair<double, point>* choice = nullptr;
        for (const auto& c : candidates)
            if (c.first > 0 && c.first <= best) {
                best = c.first;
                choice = &c;
            }
        if (!choice) return 2.0;
        hit = choice->second;
        return choice->first;
    }
};

// The box cast against the reference, bit for bit, over rays and boxes nobody tuned it on: random
// ones, boxes given by their far corner, with sides of zero, rays from their corners, along their
// edges, of zero length and not a number.
TEST(geometry_box, BoxCastMatchesTheReferenceBitForBit) {
    std::mt19937_64 g(11);
    std::uniform_real_distribution<double> at(0, 10), side(-0.5, 0.5), angle(-4, 4);
    reference_vision ref;
    int mismatches = 0;
    for (int i = 0; i < 20000; ++i) {
        const double ox = at(g), oy = at(g);
        double a = angle(g);
        if (i % 5 == 0) a = (i % 8) * 0.7853981633974483;
        double bx = ox + 3 * side(g), by = oy + 3 * side(g), bw = side(g), bh = side(g);
        if (i % 7 == 0) bw = 0;
        if (i % 11 == 0) bh = 0;
        if (i % 13 == 0) by = oy;  // the ray along an edge's line
        line ray{{ox, oy}, {ox + 100 * std::cos(a), oy - 100 * std::sin(a)}};
        if (i % 17 == 0) ray.p1 = point{bx, by};  // from a corner
        if (i % 19 == 0) ray.p2 = ray.p1;
        if (i % 23 == 0) ray.p1.x = std::nan("");
        const line box{{bx, by}, {bx + bw, by + bh}};
        point got, want;
        const double d = check_box_intersect(nullptr, ray, box, got);
        const double e = ref.box(ray, box.p1, box.p2, want);
        if (std::memcmp(&d, &e, sizeof d) != 0 || std::memcmp(&got, &want, sizeof got) != 0) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
}

// A robot's step and the tests of what its probe hit ask the walls the probe's fan gathered
// round the point it went out from: the same answers as a world that never probed, for steps
// inside and beyond that neighbourhood and after a wall comes beside it.
TEST_F(geometry_test, StepsAfterAProbeAnswerAsTheGridDoes) {
    world_class fanned(setup), plain(setup);
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> at(0.5, 9.5), side(-0.04, 0.04), unit(-1, 1), turn(-pi, pi);
    auto add = [&](double x, double y, double w, double h) {
        fanned.add_wall(x, y, w, h);
        plain.add_wall(x, y, w, h);
    };
    for (int i = 0; i < 600; ++i) add(at(gen), at(gen), side(gen), side(gen));
    int blocked = 0, hits = 0;
    for (int round = 0; round < 2000; ++round) {
        const double fx = at(gen), fy = at(gen), reach = round % 5 == 0 ? 0.05 : 0.005;
        const double px = fx + reach * unit(gen), py = fy + reach * unit(gen);
        std::vector<point> probe_hits;
        for (int k = 0; k < 12; ++k) {
            bool seen;
            point hit;
            const double d = fanned.probe_within(px, py, turn(gen), seen, hit, 1.0, 0.25);
            if (seen && d < 0.25) probe_hits.push_back(hit);
        }
        if (round % 7 == 3) add(px + 0.1 * unit(gen), py + 0.1 * unit(gen), 0.02, 0.02);
        for (const point& h : probe_hits) {
            ASSERT_EQ(fanned.approaches_wall_at(h, fx, fy, px, py), plain.approaches_wall_at(h, fx, fy, px, py));
            ++hits;
        }
        // The step, then what is left of it as it slides.
        for (double scale : {1.0, 0.5, -0.25}) {
            const double tx = fx + scale * (px - fx), ty = fy + scale * (py - fy);
            point away_f{9, 9}, away_p{9, 9};
            const bool b = fanned.step_blocked(fx, fy, tx, ty, 0.25, &away_f);
            ASSERT_EQ(b, plain.step_blocked(fx, fy, tx, ty, 0.25, &away_p)) << "round " << round;
            ASSERT_EQ(std::memcmp(&away_f, &away_p, sizeof away_f), 0) << "round " << round;
            blocked += b;
        }
    }
    // Both answers come up often.
    EXPECT_GT(blocked, 600);
    EXPECT_LT(blocked, 5400);
    EXPECT_GT(hits, 1000);
}

// A robot's probe (slot 2) keeps its fan's walls while it steps about: the same answers and
// impacts as fans gathered afresh, as it walks up to walls, along them and away, while walls come.
TEST_F(geometry_test, ProbesFromAKeptFanAnswerAsFreshOnes) {
    world_class kept(setup), fresh(setup);
    std::mt19937 gen(9);
    std::uniform_real_distribution<double> at(0.3, 9.7), side(0.01, 0.06), unit(-1, 1);
    auto add = [&](double x, double y, double w, double h) {
        kept.add_wall(x, y, w, h);
        fresh.add_wall(x, y, w, h);
    };
    for (int i = 0; i < 3000; ++i) add(at(gen), at(gen), side(gen), side(gen));
    double x = 5, y = 5, heading = 0;
    int close = 0;
    for (int step = 0; step < 6000; ++step) {
        heading += 0.2 * unit(gen);
        x = std::clamp(x + 0.006 * std::cos(heading), 0.3, 9.7);
        y = std::clamp(y - 0.006 * std::sin(heading), 0.3, 9.7);
        if (step % 400 == 399) add(x + 0.3 * unit(gen), y + 0.3 * unit(gen), 0.05, 0.05);
        const double near = step % 9 == 0 ? 0.0 : 0.25;
        for (int k = 0; k < 12; ++k) {
            bool seen_k = false, seen_f = false;
            point hit_k{-7, -7}, hit_f{-7, -7};
            const double a = heading + k * pi / 6;
            const double dk = kept.probe_within(x, y, a, seen_k, hit_k, 1.0, near, 2);
            const double df = fresh.probe_within(x, y, a, seen_f, hit_f, 1.0, near);
            ASSERT_EQ(seen_k && dk < near, seen_f && df < near) << step;
            if (seen_f && df < near) {
                ASSERT_EQ(dk, df);
                ASSERT_EQ(hit_k.x, hit_f.x);
                ASSERT_EQ(hit_k.y, hit_f.y);
                ++close;
            }
            ASSERT_EQ(kept.impact_count, fresh.impact_count) << step;
        }
    }
    EXPECT_GT(close, 1000);
    EXPECT_GT(kept.impact_count, 100);
}

// A crowded world (25,000 tiny walls, more than two listed per cell on average), where rays walk
// along rows whatever their direction: the same answers and impacts as the reference.
TEST_F(geometry_test, VisionInACrowdedWorldMatchesTheReference) {
    world_class fast(setup), plain(setup);
    std::mt19937 gen(7);
    // All inside the world: a wall reaching outside it would send every ray the exact way.
    std::uniform_real_distribution<double> at(0, 9.95), side(0.01, 0.03), turn(-pi, pi);
    for (int i = 0; i < 25000; ++i) {
        const double x = at(gen), y = at(gen), w = side(gen), h = side(gen);
        fast.add_wall(x, y, w, h);
        plain.add_wall(x, y, w, h);
    }
    reference_vision ref;
    for (int i = 0; i < 300; ++i) {
        const double x = at(gen), y = at(gen), a = turn(gen);
        bool seen_f = false, seen_p = false;
        point hit_f, hit_p;
        const double df = fast.check_vision(x, y, a, seen_f, hit_f);
        const double dp = ref.cast(plain, x, y, a, seen_p, hit_p);
        ASSERT_EQ(df, dp) << "ray " << i;
        ASSERT_EQ(seen_f, seen_p);
        if (seen_p) {
            ASSERT_TRUE(hit_f.x == hit_p.x && hit_f.y == hit_p.y);
        }
    }
    const std::vector<point> got = impact_list(fast);
    ASSERT_EQ(got.size(), ref.impacts.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(got[i].x == ref.impacts[i].x && got[i].y == ref.impacts[i].y);
}

// Once with walls reaching outside the world among the others, once without: rays then take the
// packed walk along the rough direction, apart from those passing close to cell corners.
class vision_differential : public geometry_test, public ::testing::WithParamInterface<bool> {};

TEST_P(vision_differential, VisionMatchesCastingAgainstEveryWallInListOrder) {
    const bool far_walls = GetParam();
    world_class fast(setup);
    world_class plain(setup);  // the same walls, for the reference
    reference_vision ref;
    world_class probe(setup);  // casts its collision-probe rays within reach 1.0 only
    std::mt19937 gen(20240611);
    auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
    auto pick = [&](int n) { return static_cast<int>(gen() % static_cast<unsigned>(n)); };
    // One of the first n lines between the cells of the walls' grid, placed as the grid places it.
    const int grid = wall_index::cells;
    auto border = [&](int n) { return pick(n) * (10.0 / grid); };
    auto both_add = [&](double x, double y, double ww, double hh) {
        if (!far_walls) {  // held inside the world, sides keeping their signs
            auto inside = [](double& at, double& side) {
                const double lo = std::clamp(std::min(at, at + side), 0.0, 10.0);
                const double hi = std::clamp(std::max(at, at + side), 0.0, 10.0);
                at = side < 0 ? hi : lo;
                side = side < 0 ? lo - hi : hi - lo;
            };
            inside(x, ww);
            inside(y, hh);
        }
        fast.add_wall(x, y, ww, hh);
        plain.add_wall(x, y, ww, hh);
        probe.add_wall(x, y, ww, hh);
    };
    // A wall with a corner on, or a hair to one side of, a border between a view's sectors seen
    // from (ox, oy); rays along the border and a hair to each side of it.
    std::vector<double> border_rays;
    auto border_wall = [&](double ox, double oy) {
        auto towards = [](double along) {  // the direction at this pseudo-angle
            const double r = along < 2 ? 1 - along : along - 3;
            return point{r, along < 2 ? 1 - std::abs(r) : std::abs(r) - 1};
        };
        const double along = (pick(view_index::sectors - 2) + 1) * 4.0 / view_index::sectors;
        const point at = towards(along + (pick(3) - 1) * (pick(2) ? 1e-4 : 1e-7));
        const double t = uni(0.2, 1.5);
        both_add(ox + t * at.x, oy + t * at.y, pick(2) ? 0.05 : -0.05, pick(2) ? 0.05 : -0.05);
        // Rays along the border, and a hair to each side of it.
        const point on = towards(along);
        for (double hair : {0.0, 1e-9, -1e-9}) border_rays.push_back(std::atan2(-on.y, on.x) + hair);
        if (border_rays.size() > 9) border_rays.erase(border_rays.begin(), border_rays.end() - 9);
    };
    auto random_wall = [&](double ox, double oy) {
        switch (pick(10)) {
            case 0:  // zero size
                both_add(uni(0, 10), uni(0, 10), 0, 0);
                break;
            case 1:  // negative size
                both_add(uni(0, 10), uni(0, 10), -uni(0.05, 2), -uni(0.05, 2));
                break;
            case 2:  // mixed signs, or a line
                both_add(uni(0, 10), uni(0, 10), pick(2) ? uni(-2, 2) : 0, uni(-2, 2));
                break;
            case 3:  // far away
                if (far_walls) both_add(uni(20, 40), uni(-40, 40), uni(0.1, 3), uni(0.1, 3));
                break;
            case 4: {  // an edge at exactly 2.0 from the origin, or just inside or outside
                const double gap = 2.0 + (pick(3) - 1) * 1e-9;
                switch (pick(4)) {
                    case 0: both_add(ox + gap, oy - uni(0, 1), uni(0.1, 1), uni(0.5, 2)); break;
                    case 1: both_add(ox - gap, oy - uni(0, 1), -uni(0.1, 1), uni(0.5, 2)); break;
                    case 2: both_add(ox - uni(0, 1), oy + gap, uni(0.5, 2), uni(0.1, 1)); break;
                    default: both_add(ox - uni(0, 1), oy - gap - 0.5, uni(0.5, 2), 0.5); break;
                }
                break;
            }
            case 5:  // a corner at 2.0 along a diagonal
                both_add(ox + 1.2, oy + 1.6, uni(0.1, 1), uni(0.1, 1));
                break;
            case 6:  // around the origin
                both_add(ox - uni(0, 0.5), oy - uni(0, 0.5), uni(0.5, 1), uni(0.5, 1));
                break;
            case 7:  // on the borders of the walls' grid, or spanning many of its cells
                if (pick(2))
                    both_add(border(grid), border(grid), border(grid / 5), border(3));
                else
                    both_add(uni(0, 3), uni(0, 3), uni(3, 7), pick(2) ? uni(3, 7) : 0.0);
                break;
            default:
                both_add(uni(-1, 10), uni(-1, 10), uni(0.05, 2), uni(0.05, 2));
                break;
        }
    };
    // A crowd of small walls, as world files make them: most rays meet several.
    for (int i = 0; i < 300; ++i) both_add(uni(0, 10), uni(0, 10), uni(0.02, 0.3), uni(0.02, 0.3));
    // And tiny ones, soon covered by the impacts rays record on them.
    for (int i = 0; i < 1500; ++i) both_add(uni(0, 10), uni(0, 10), uni(0.01, 0.03), uni(0.01, 0.03));
    auto random_origin = [&]() -> point {
        if (pick(5) == 0 && fast.walls) {
            // On a wall's corner or edge.
            const wall_type* wall = fast.walls;
            for (int n = pick(fast.wall_count); n > 0 && wall->next; --n) wall = wall->next;
            const double t = pick(2) ? 0.0 : uni(0, 1);
            return pick(2) ? point{wall->x + t * wall->w, wall->y} : point{wall->x, wall->y + t * wall->h};
        }
        if (pick(5) == 0) {  // on cell borders, often the grid's outer ones, where rays run along its edge
            const double x = pick(3) ? border(grid + 1) : 10.0 * pick(2);
            return pick(3) ? point{x, pick(2) ? border(grid + 1) : uni(0, 10)} : point{uni(0, 10), x};
        }
        return point{uni(-0.5, 10.5), uni(-0.5, 10.5)};
    };
    // Whether a point lies in a wall, or within a margin of one, by the whole list.
    auto in_some_wall = [&](double x, double y) {
        for (const wall_type* v = plain.walls; v; v = v->next)
            if (v->x <= x && x <= v->x + v->w && v->y <= y && y <= v->y + v->h) return true;
        return false;
    };
    auto near_some_wall = [&](double x, double y, double margin) {
        for (const wall_type* v = plain.walls; v; v = v->next) {
            const double gx = std::max({std::min(v->x, v->x + v->w) - x, 0.0, x - std::max(v->x, v->x + v->w)});
            const double gy = std::max({std::min(v->y, v->y + v->h) - y, 0.0, y - std::max(v->y, v->y + v->h)});
            if (std::sqrt(gx * gx + gy * gy) < margin) return true;
        }
        return false;
    };

    for (int i = 0; i < 30; ++i) random_wall(uni(0, 10), uni(0, 10));
    int seen_count = 0, cast_count = 0, sensed = 0;
    point probed{5, 5}, standing{5, 5};
    for (int round = 0; round < 400; ++round) {
        // Every other probing round takes a robot's step from the last one's origin, so that the
        // probe's fan kept for the robot (slot 3) serves again. In the last rounds of every ten
        // the robots stand still, walls changing round them: what they see from there is kept
        // (slot 1 in the first world, 3 in the third) once they have looked about.
        point o = round % 4 == 3 ? point{probed.x + uni(-0.012, 0.012), probed.y + uni(-0.012, 0.012)} : random_origin();
        if (round % 10 == 5) standing = o;
        if (round % 10 > 5) o = standing;
        if (round % 2) probed = o;
        if (round % 10 == 6) border_wall(o.x, o.y);
        // Standing, the robots look about often enough for a view, walls changing or not.
        for (int look = round % 10 > 5 ? world_class::view_after : 1; look > 0; --look) {
            fast.look_from(1, o.x, o.y);
            probe.look_from(3, o.x, o.y);
        }
        if (round % 3 == 0) random_wall(o.x, o.y);
        // The same wall, picked at random, in all three worlds.
        wall_type* same[3] = {fast.walls, plain.walls, probe.walls};
        for (int n = (round % 7 == 0 || round % 11 == 5) ? pick(fast.wall_count) : 0; n > 0; --n)
            for (wall_type*& v : same) v = v->next;
        if (round % 7 == 0) {
            double nw = uni(-2, 2), nh = pick(4) ? uni(-2, 2) : 0;
            if (!far_walls) {
                nw = std::clamp(same[0]->x + nw, 0.0, 10.0) - same[0]->x;
                nh = std::clamp(same[0]->y + nh, 0.0, 10.0) - same[0]->y;
            }
            fast.resize_wall(same[0], nw, nh);
            plain.resize_wall(same[1], nw, nh);
            probe.resize_wall(same[2], nw, nh);
        } else if (round % 11 == 5) {
            // Taken out (border walls refuse, in all alike), with the impacts seen on it alone.
            const wall_type taken = *same[1];
            const bool gone = fast.remove_wall(same[0]);
            ASSERT_EQ(plain.remove_wall(same[1]), gone);
            ASSERT_EQ(probe.remove_wall(same[2]), gone);
            if (gone) ref.forget(plain, taken);
        }
        if (round % 98 == 51) {  // key N: the impacts go, and rays record them afresh
            fast.free_impacts();
            probe.free_impacts();
            ref.impacts.clear();
        }
        ASSERT_EQ(fast.check_wall_point(o.x, o.y), in_some_wall(o.x, o.y));
        for (double margin : {0.05, 0.25, 0.3}) ASSERT_EQ(fast.close_to_wall(o.x, o.y, margin), near_some_wall(o.x, o.y, margin));
        // The robot's pattern: six sensor rays, then twelve probe rays, then axis-aligned ones.
        const double heading = uni(-pi, pi);
        std::vector<double> angles;
        // Odd rounds cast the probe's rays first, with the probe's cast on the third world.
        const bool probe_round = round % 2;
        for (int k = 0; k < 12 && probe_round; ++k) angles.push_back(heading + k * pi / 6);
        for (int k = 0; k < 6; ++k) angles.push_back(heading - pi / 3 + k * pi / 3);
        for (int k = 0; k < 12 && !probe_round; ++k) angles.push_back(heading + k * pi / 6);
        for (int k = 0; k < 4; ++k) angles.push_back(k * pi / 2);
        // Along the borders of a kept view's sectors (the diagonals among them).
        for (int k = 0; k < 2; ++k) {
            const double along = pick(view_index::sectors) * 4.0 / view_index::sectors;
            const double r = along < 2 ? 1 - along : along - 3;
            angles.push_back(std::atan2(-(along < 2 ? 1 - std::abs(r) : std::abs(r) - 1), r));
        }
        angles.insert(angles.end(), border_rays.begin(), border_rays.end());
        // Through the corners of the nearest walls' boxes, where the cones they are listed in end.
        for (const wall_type* w = fast.walls; w; w = w->next) {
            if (std::hypot(w->x - o.x, w->y - o.y) > 1.6 || angles.size() > 48) continue;
            for (double cx : {w->x, w->x + w->w})
                for (double cy : {w->y, w->y + w->h}) angles.push_back(std::atan2(-(cy - o.y), cx - o.x));
        }
        for (std::size_t ai = 0; ai < angles.size(); ++ai) {
            const double a = angles[ai];
            bool seen_f = pick(2), seen_p = seen_f;
            point hit_f{-7, -7}, hit_p{-7, -7};
            const double df = fast.check_vision(o.x, o.y, a, seen_f, hit_f, 1);
            const double dp = ref.cast(plain, o.x, o.y, a, seen_p, hit_p);
            // The short cast agrees on everything closer than its reach, impacts included; the
            // probe's cast (every other round) on everything closer than 0.25.
            bool seen_q = false;
            point hit_q{-7, -7};
            const bool short_cast = probe_round ? ai < 12 : ai >= 6 && ai < 18, probe_cast = short_cast && probe_round;
            const double exact_within = probe_cast ? 0.25 : 1.0;
            const double dq = probe_cast   ? probe.probe_within(o.x, o.y, a, seen_q, hit_q, 1.0, 0.25, 3)
                              : short_cast ? probe.check_vision_within(o.x, o.y, a, seen_q, hit_q, 1.0)
                                           : probe.check_vision(o.x, o.y, a, seen_q, hit_q, 3);
            if (dp < exact_within && seen_p) {
                ASSERT_EQ(dq, dp);
                ASSERT_TRUE(seen_q);
                ASSERT_EQ(hit_q.x, hit_p.x);
                ASSERT_EQ(hit_q.y, hit_p.y);
            } else {
                ASSERT_FALSE(seen_q && dq < exact_within);
            }
            ASSERT_EQ(probe.impact_count, static_cast<int>(ref.impacts.size()));
            ASSERT_EQ(df, dp) << "origin " << o.x << "," << o.y << " angle " << a;
            ASSERT_EQ(seen_f, seen_p);
            ASSERT_EQ(hit_f.x, hit_p.x);
            ASSERT_EQ(hit_f.y, hit_p.y);
            ASSERT_EQ(fast.impact_count, static_cast<int>(ref.impacts.size()));
            // The sensor along the ray: its point in a wall or outside the world, by the whole
            // list; often the point the ray hit, on a wall's edge.
            const double range = seen_p && pick(2) ? dp : (pick(3) ? uni(0.01, 0.5) : uni(0.5, 2.0));
            const double sx = o.x + range * std::cos(a), sy = o.y - range * std::sin(a);
            const bool inside = sx < 0 || sx > 10 || sy < 0 || sy > 10 || in_some_wall(sx, sy);
            ASSERT_EQ(fast.check_sensor(o.x, o.y, a, range, 1), inside) << "round " << round << " range " << range;
            sensed += inside;
            seen_count += seen_f;
            ++cast_count;
        }
        if (round % 50 == 0) expect_same_impacts(fast, ref.impacts);
    }
    expect_same_impacts(fast, ref.impacts);
    expect_same_impacts(probe, ref.impacts);
    // The run covers both outcomes and records impacts.
    EXPECT_GT(seen_count, cast_count / 10);
    EXPECT_LT(seen_count, cast_count);
    EXPECT_GT(fast.impact_count, 20);
    EXPECT_GT(sensed, cast_count / 10);
    EXPECT_LT(sensed, cast_count - cast_count / 10);
}

INSTANTIATE_TEST_SUITE_P(walls, vision_differential, ::testing::Bool());

}  // namespace
