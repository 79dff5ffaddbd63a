// The navigation grid and waypoints: planner examples, map reads, the shared breadth-first grid
// against the pass-by-pass wavefront, and the drawing of the grid and the path.
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/draw.h"
#include "robot/nav_grid.h"
#include "robot/robot.h"
#include "support/random.h"
#include "test_support.h"
#include "world_fixture.h"
#include "world/world.h"

using namespace test_support;

namespace {

// World coordinates of the middle of a map cell in the default 10 by 10 world.
double cell_mid(int m) { return (m + 0.5) * 10.0 / 75.0; }

class nav_grid_test : public world_fixture {
protected:
    void SetUp() override {
        world_fixture::SetUp();
        robot_class::literal_planner = false;
        setup.picture_width = 750;
        setup.picture_height = 750;
        make_world();
    }
    void TearDown() override {
        for (robot_class* r : extra) {
            r->free_waypoints();
            delete r;
        }
        robot_class::literal_planner = false;
        world_fixture::TearDown();
    }
    // A robot outside the world's table, standing in the middle of cell (mx, my).
    robot_class* robot_at(int mx, int my) {
        auto* r = new robot_class(world, "t", "127.0.0.1", 1, 0);
        extra.push_back(r);
        r->x = cell_mid(mx);
        r->y = cell_mid(my);
        return r;
    }
    void target_at(int mx, int my) {
        world->target_x = cell_mid(mx);
        world->target_y = cell_mid(my);
    }
    struct cell {
        int x, y;
        bool operator==(const cell& o) const { return x == o.x && y == o.y; }
    };
    // Waypoint cells from the head of the list (the target end) on.
    static std::vector<cell> path_of(const robot_class* r) {
        std::vector<cell> cells;
        for (const waypoint_type* w = r->waypoints; w; w = w->next)
            cells.push_back({static_cast<int>(std::lround(w->x * 7.5)), static_cast<int>(std::lround(w->y * 7.5))});
        return cells;
    }

    std::vector<robot_class*> extra;
};

TEST_F(nav_grid_test, OpenWorldPathRunsDiagonallyThenStraight) {
    robot_class* r = robot_at(2, 2);
    target_at(5, 3);
    r->world_compute_map_grid();
    std::vector<cell> expect{{5, 3}, {4, 3}, {3, 3}};
    EXPECT_EQ(path_of(r), expect);
    int i = 0;
    for (const waypoint_type* w = r->waypoints; w; w = w->next, ++i) EXPECT_EQ(w->index, i);
    EXPECT_EQ(r->waypoint_count, 3);
    EXPECT_EQ(r->current_waypoint, 2);
    // Cells hold step distances; path cells carry the path bit, invisible to readers.
    EXPECT_EQ(r->world_get_map(5, 3), 0);
    EXPECT_EQ(r->world_get_map(2, 2), 4);
    EXPECT_EQ(r->map[3][3], 2 | nav_path_bit);
    EXPECT_EQ(r->world_get_map(3, 3), 2);
    // The waypoint lies on the cell's corner nearest the origin.
    EXPECT_DOUBLE_EQ(r->waypoints->x, 5 * 10.0 / 75);
    EXPECT_DOUBLE_EQ(r->waypoints->y, 3 * 10.0 / 75);

    // A target four steps away in each of the eight directions: the path runs straight to it.
    for (auto [dx, dy] : {std::pair{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}}) {
        r->x = r->y = cell_mid(30);
        target_at(30 + 4 * dx, 30 + 4 * dy);
        r->world_compute_map_grid();
        const std::vector<cell> straight{
            {30 + 4 * dx, 30 + 4 * dy}, {30 + 3 * dx, 30 + 3 * dy}, {30 + 2 * dx, 30 + 2 * dy}, {30 + dx, 30 + dy}};
        EXPECT_EQ(path_of(r), straight) << dx << " " << dy;
    }
}

TEST_F(nav_grid_test, RobotOnTheTargetStepsOffAndBack) {
    robot_class* r = robot_at(10, 10);
    target_at(10, 10);
    r->world_compute_map_grid();
    ASSERT_EQ(r->waypoint_count, 2);
    EXPECT_EQ(path_of(r)[0], (cell{10, 10}));
    EXPECT_EQ(path_of(r)[1], (cell{11, 10}));  // the first neighbour at distance 1, offset k = 0
    EXPECT_EQ(r->current_waypoint, 1);
}

TEST_F(nav_grid_test, MapIndicesAndReads) {
    robot_class* r = robot_at(0, 0);
    EXPECT_EQ(r->get_map_x(10.0), 74);
    EXPECT_EQ(r->get_map_x(0.1), 0);
    EXPECT_EQ(r->get_map_x(-0.01), 0);  // truncation towards zero
    EXPECT_EQ(r->get_map_x(-1.0), 74);  // outside becomes 74
    EXPECT_EQ(r->get_map_y(NAN), 74);
    EXPECT_EQ(r->world_get_map(-1, 5), 255);
    EXPECT_EQ(r->world_get_map(75, 0), 255);
    r->world_set_map(-4, 80);  // clamped onto the edge
    EXPECT_EQ(r->map[0][74], nav_obstacle);
    EXPECT_EQ(r->world_get_map(0, 74), 4095);
    r->map[3][4] = 7 | nav_path_bit;
    EXPECT_EQ(r->world_get_map(3, 4), 7);
}

TEST_F(nav_grid_test, ImpactsBlockTheirCellAndOrthogonalNeighbours) {
    world->add_impact(0.01, cell_mid(20));  // on the left edge: the outside neighbour folds back
    world->add_impact(cell_mid(40), cell_mid(40));
    robot_class* r = robot_at(60, 60);
    target_at(40, 40);  // an impact in the target's cell does not remove the target
    r->world_compute_map_grid();
    EXPECT_EQ(r->map[0][20], nav_obstacle);
    EXPECT_EQ(r->map[1][20], nav_obstacle);
    EXPECT_EQ(r->map[0][19], nav_obstacle);
    EXPECT_EQ(r->map[0][21], nav_obstacle);
    EXPECT_NE(r->map[1][21], nav_obstacle);
    EXPECT_EQ(r->map[40][40] & 0xFFF, 0);
    for (auto [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) EXPECT_EQ(r->map[40 + dx][40 + dy], nav_obstacle);
    // The target is walled in: every other free cell is unreached, and the robot has no path.
    EXPECT_EQ(r->world_get_map(60, 60), 255);
    EXPECT_EQ(r->world_get_map(41, 41), 255);
}

// The planner written again from its description, sharing nothing with the code under test: its
// own neighbour table, cell indexing, pass-by-pass wavefront, walk and grid vector.
namespace reference {

// The eight neighbours in the order of the angles k * pi / 4.
const int offsets[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
using grid = std::int32_t[75][75];

// x / extent * 75 truncated towards zero; outside 0..74 (or not a number) is 74.
int index(double v, double extent) {
    const double t = std::trunc(v / extent * 75);
    return t >= 0 && t <= 74 ? static_cast<int>(t) : 74;
}
int read(const grid g, int x, int y) { return x < 0 || y < 0 || x > 74 || y > 74 ? 255 : g[x][y] & 0xFFF; }

// All 255, impacts and their four neighbours (clamped onto the grid) obstacles, the target
// cell 0, then passes until one changes nothing.
void fill(const impact_type* impacts, int tx, int ty, grid g) {
    for (int i = 0; i < 75; ++i)
        for (int j = 0; j < 75; ++j) g[i][j] = 255;
    for (const impact_type* p = impacts; p; p = p->next) {
        const int mx = index(p->x, 10), my = index(p->y, 10);
        for (auto [dx, dy] : {std::pair{0, 0}, {1, 0}, {-1, 0}, {0, 1}, {0, -1}})
            g[std::clamp(mx + dx, 0, 74)][std::clamp(my + dy, 0, 74)] = -1;
    }
    g[tx][ty] = 0;
    // A step costs 4 into a cell whose corner nearest the origin lies closer than 0.3 to an
    // impact, 2 closer than 0.45, otherwise 1.
    static int cost[75][75];
    for (int i = 0; i < 75; ++i)
        for (int j = 0; j < 75; ++j) {
            double nearest = 1e9;
            for (const impact_type* p = impacts; p; p = p->next)
                nearest = std::min(nearest, std::hypot(i * 10.0 / 75 - p->x, j * 10.0 / 75 - p->y));
            cost[i][j] = nearest < 0.3 ? 4 : nearest < 0.45 ? 2 : 1;
        }
    for (bool changed = true; changed;) {
        changed = false;
        static grid next;
        for (int i = 0; i < 75; ++i)
            for (int j = 0; j < 75; ++j) {
                int best = 255;
                for (int v : {read(g, i - 1, j), read(g, i + 1, j), read(g, i, j - 1), read(g, i, j + 1)})
                    if (v < best && v != -1) best = v;
                next[i][j] = best != 255 && g[i][j] != 0 && g[i][j] != -1 ? std::min(best + cost[i][j], 255) : g[i][j];
                changed = changed || next[i][j] != g[i][j];
            }
        std::memcpy(g, next, sizeof next);
    }
}

// The walk from (x, y): each step to the lowest neighbour (the first of equals), ending on the
// target or an obstacle, failing where no neighbour is below 255, giving up after 254 steps.
struct walk {
    std::vector<std::pair<int, int>> cells;  // every cell stepped on, obstacles included
    bool failed = false, capped = false;
};
walk walk_from(const grid g, int x, int y) {
    walk w;
    for (int step = 1; step <= 254; ++step) {
        int k = 8, best = 255;
        for (int i = 0; i < 8; ++i)
            if (read(g, x + offsets[i][0], y + offsets[i][1]) < best) {
                best = read(g, x + offsets[i][0], y + offsets[i][1]);
                k = i;
            }
        if (k == 8) {
            w.failed = true;
            return w;
        }
        x = std::clamp(x + offsets[k][0], 0, 74);
        y = std::clamp(y + offsets[k][1], 0, 74);
        w.cells.push_back({x, y});
        if (g[x][y] <= 0) return w;
    }
    w.capped = true;
    return w;
}

// Away from high neighbours: x = -sum v cos, y = +sum v sin; shorter than 1e-9 is no vector.
point nav(const grid g, double px, double py) {
    const int mx = index(px, 10), my = index(py, 10);
    double sx = 0, sy = 0;
    for (int k = 0; k < 8; ++k) {
        const int v = read(g, mx + offsets[k][0], my + offsets[k][1]);
        sx += v * std::cos(k * M_PI / 4);
        sy += v * std::sin(k * M_PI / 4);
    }
    if (std::hypot(sx, sy) < 1e-9) return point{0, 0};
    return point{-sx, sy};
}

// The whole re-planning of one robot, as the robot does it.
void plan(robot_class& r) {
    world_class& w = *r.world;
    ++w.replans;
    fill(w.impacts, index(w.target_x, 10), index(w.target_y, 10), r.map);
    r.free_waypoints();
    r.walk_target = w.target_serial();
    r.walk_failed = false;
    const walk path = walk_from(r.map, index(r.x, 10), index(r.y, 10));
    if (path.failed) {
        r.walk_failed = true;
        r.current_waypoint = -1;
        return;
    }
    for (auto [x, y] : path.cells) {
        if (r.map[x][y] == -1) continue;
        const double wx = x * 10.0 / 75, wy = y * 10.0 / 75;
        const point n = nav(r.map, wx, wy);
        r.map[x][y] |= 0x4000;
        r.add_waypoint(wx, wy, std::atan2(n.y, n.x));
    }
    if (path.capped && w.replan_depth < 4) {
        const point t = w.random_free_point();
        ++w.replan_depth;
        w.set_target(t.x, t.y);
        --w.replan_depth;
        return;
    }
    int i = 0;
    for (waypoint_type* p = r.waypoints; p; p = p->next) p->index = i++;
    r.current_waypoint = r.waypoint_count - 1;
}

}  // namespace reference

TEST_F(nav_grid_test, WalkWithNowhereToGoEndsWithoutANewTarget) {
    // Target walled in by the impacts around its cell; the robot far away sees only 255s.
    world->add_impact(cell_mid(40), cell_mid(40));
    robot_class* r = robot_at(10, 10);
    target_at(40, 40);
    srand15(99);
    const int expect_next = rand15();
    srand15(99);
    r->world_compute_map_grid();
    EXPECT_EQ(r->waypoint_count, 0);
    EXPECT_EQ(r->current_waypoint, -1);
    EXPECT_DOUBLE_EQ(world->target_x, cell_mid(40));  // no random target was drawn
    EXPECT_EQ(rand15(), expect_next);
}

// A cell just beyond the reach of the distances (255) next to one at 254, or {-1, -1}: a walk
// from there needs 255 steps, one more than a walk may take.
std::pair<int, int> frontier_cell(const impact_type* impacts, int tmx, int tmy) {
    static reference::grid grid;
    reference::fill(impacts, tmx, tmy, grid);
    for (int i = 1; i < 74; ++i)
        for (int j = 1; j < 74; ++j) {
            if (grid[i][j] != 255) continue;
            int lowest = 255;
            for (const auto& o : reference::offsets) {
                const int v = grid[i + o[0]][j + o[1]] & 0xFFF;
                if (v < lowest) lowest = v;
            }
            if (lowest == 254) return {i, j};
        }
    return {-1, -1};
}

void add_corridor(world_class& w) {
    // Walls of impacts across the world, open at alternate ends: a path far longer than 254.
    for (int row = 2; row < 73; row += 4) {
        const bool gap_left = (row / 4) % 2 == 0;
        for (double x = gap_left ? 1.2 : 0.0; x <= (gap_left ? 10.0 : 8.8); x += 0.1) w.add_impact(x, cell_mid(row));
    }
}

TEST_F(nav_grid_test, WalkOfExactly254StepsStillReachesItsTarget) {
    // A grid of distances never holds such a walk (every turn lets it cut a corner), so the map
    // is made by hand: a serpentine of 255 cells falling by one a step, 255 everywhere else.
    // Lanes three rows apart are joined at alternate ends by a diagonal, a straight step and a
    // diagonal, so no cell of the path touches one further along than its successor.
    std::vector<cell> path;
    for (int x = 0, y = 0, dir = 1; path.size() < 255;) {
        path.push_back({x, y});
        if (x == (dir > 0 ? 73 : 1)) {
            path.push_back({x + dir, y + 1});
            path.push_back({x + dir, y + 2});
            y += 3;
            dir = -dir;
        } else {
            x += dir;
        }
    }
    path.resize(255);
    robot_class* r = robot_at(path[0].x, path[0].y);
    for (auto& col : r->map)
        for (auto& c : col) c = 255;
    for (int i = 0; i < 255; ++i) r->map[path[i].x][path[i].y] = 254 - i;
    srand15(4);
    const double tx = world->target_x;
    r->walk_path();
    EXPECT_EQ(r->waypoint_count, 254);
    EXPECT_EQ(path_of(r).front(), path.back());
    EXPECT_EQ(r->current_waypoint, 253);
    EXPECT_EQ(world->target_x, tx);  // reached: no new target was drawn
}

TEST_F(nav_grid_test, SharedGridFollowsImpactsAndTarget) {
    robot_class* r = robot_at(5, 5);
    target_at(30, 5);
    r->world_compute_map_grid();
    EXPECT_EQ(r->world_get_map(5, 5), 25);
    world->add_impact(cell_mid(20), cell_mid(5));  // blocks the straight line
    r->world_compute_map_grid();
    EXPECT_EQ(r->world_get_map(20, 5), 4095);
    EXPECT_EQ(r->world_get_map(5, 5), 31);  // 29 steps round it, and 2 more for keeping clear
    world->free_impacts();  // no re-plan by itself, the next one sees the change
    EXPECT_EQ(r->world_get_map(20, 5), 4095);
    r->world_compute_map_grid();
    EXPECT_EQ(r->world_get_map(5, 5), 25);
    target_at(30, 6);
    r->world_compute_map_grid();
    EXPECT_EQ(r->world_get_map(5, 5), 26);
}

TEST_F(nav_grid_test, WaypointVectorPointsFromTheCurrentWaypoint) {
    robot_class* r = robot_at(2, 2);
    r->free_waypoints();  // construction planned from the robot's first position
    point v;
    r->compute_waypoint_vector(1.0, 1.0, v);
    EXPECT_EQ(v.x, 0.0);
    EXPECT_EQ(v.y, 0.0);
    target_at(5, 3);
    r->world_compute_map_grid();
    r->compute_waypoint_vector(1.0, 1.0, v);  // current waypoint 2 is cell (3, 3)
    EXPECT_DOUBLE_EQ(v.x, 1.0 - 3 * 10.0 / 75);
    EXPECT_DOUBLE_EQ(v.y, 1.0 - 3 * 10.0 / 75);
    r->current_waypoint = 0;
    r->compute_waypoint_vector(1.0, 1.0, v);
    EXPECT_DOUBLE_EQ(v.x, 1.0 - 5 * 10.0 / 75);
    r->current_waypoint = 7;  // no such waypoint
    r->compute_waypoint_vector(1.0, 1.0, v);
    EXPECT_EQ(v.x, 0.0);
}

TEST_F(nav_grid_test, NavVectorPointsAwayFromHighReadings) {
    robot_class* r = robot_at(0, 0);
    for (auto& col : r->map)
        for (auto& c : col) c = 10;
    r->map[21][20] = 200;  // east of cell (20, 20)
    point n;
    r->compute_map_nav(n, cell_mid(20), cell_mid(20));
    EXPECT_NEAR(n.x, -190.0, 1e-9);
    EXPECT_NEAR(n.y, 0.0, 1e-9);
    r->map[21][20] = 10;
    r->map[20][19] = 200;  // above on the screen (smaller y); y has a heading's sign, so
    r->compute_map_nav(n, cell_mid(20), cell_mid(20));  // pointing down the screen is negative
    EXPECT_NEAR(n.x, 0.0, 1e-9);
    EXPECT_NEAR(n.y, -190.0, 1e-9);
    // One high neighbour in each of the eight directions: the vector points straight away from
    // it (y with a heading's sign, so away from a neighbour below on the screen is positive).
    r->map[20][19] = 10;
    for (auto [dx, dy] : {std::pair{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}}) {
        r->map[20 + dx][20 + dy] = 200;
        r->compute_map_nav(n, cell_mid(20), cell_mid(20));
        const double len = std::hypot(dx, dy);
        EXPECT_NEAR(n.x, -190.0 * dx / len, 1e-9) << dx << " " << dy;
        EXPECT_NEAR(n.y, 190.0 * dy / len, 1e-9) << dx << " " << dy;
        r->map[20 + dx][20 + dy] = 10;
    }
    // Outside the grid counts as 255: the three western neighbours push east.
    r->compute_map_nav(n, cell_mid(0), cell_mid(30));
    EXPECT_NEAR(n.x, 245.0 * (1 + std::sqrt(2.0)), 1e-9);
    EXPECT_NEAR(n.y, 0.0, 1e-9);
}

TEST_F(nav_grid_test, GridAndPathAreDrawn) {
    using namespace platform;
    make_picture();
    robot_class* r = robot_at(2, 2);
    target_at(5, 3);
    world->add_impact(cell_mid(40), cell_mid(40));
    r->world_compute_map_grid();
    world->world_draw_map_grid(r, memdc);
    // Cells are 10 pixels: path cells red (the target's too), others by distance, 5 a step.
    EXPECT_EQ(get_pixel(membmp, 55, 35), rgb(255, 0, 0));
    EXPECT_EQ(get_pixel(membmp, 65, 35), rgb(0, 0, 5));
    EXPECT_EQ(get_pixel(membmp, 35, 35), rgb(255, 0, 0));
    EXPECT_EQ(get_pixel(membmp, 25, 25), rgb(0, 0, 20));  // distance 4
    EXPECT_EQ(get_pixel(membmp, 700, 700), rgb(0, 0, 255));
    // Obstacle cells are left as they were.
    const color under = get_pixel(membmp, 405, 405);
    EXPECT_NE(under, rgb(0, 0, 255));

    fill_rect(memdc, rect{0, 0, 750, 750}, rgb(255, 255, 255));
    r->draw_waypoints(memdc);
    EXPECT_EQ(get_pixel(membmp, 30, 30), rgb(255, 0, 0));     // current: red
    EXPECT_EQ(get_pixel(membmp, 40, 30), rgb(0, 128, 200));   // the others: azure
    EXPECT_EQ(get_pixel(membmp, 26, 30), rgb(0, 0, 0));       // current's black outline
    EXPECT_EQ(get_pixel(membmp, 25, 30), rgb(255, 255, 255));
}

// Everything a planning run leaves behind, for comparing two planners.
struct plan_state {
    std::vector<std::int32_t> maps;
    std::vector<double> waypoints;  // x, y, angle, index for every robot's list
    std::vector<int> counts;
    double target_x = 0, target_y = 0;
    int next_random = 0;
    std::uint64_t replans = 0;
    bool operator==(const plan_state& o) const = default;
};

plan_state capture(world_class& w) {
    plan_state s;
    for (unsigned i = 0; i < w.num_robots; ++i) {
        const robot_class* r = w.robots[i];
        s.maps.insert(s.maps.end(), &r->map[0][0], &r->map[0][0] + 75 * 75);
        for (const waypoint_type* p = r->waypoints; p; p = p->next) s.waypoints.insert(s.waypoints.end(), {p->x, p->y, p->angle, double(p->index)});
        s.counts.push_back(r->waypoint_count);
        s.counts.push_back(r->current_waypoint);
    }
    s.target_x = w.target_x;
    s.target_y = w.target_y;
    s.next_random = rand15();
    s.replans = w.replans;
    return s;
}

// One scenario built the same way under either planner: impacts, robots, then a target move.
plan_state run_scenario(unsigned seed, bool use_reference, int kind) {
    robot_class::plan_override = use_reference ? reference::plan : nullptr;
    srand15(seed);
    std::mt19937 g(seed);
    std::uniform_real_distribution<double> u(0.0, 10.0);
    world_class w(world_setup{100, 100, ""});
    if (kind == 0) {  // scattered impacts
        const int n = static_cast<int>(g() % 400);
        for (int i = 0; i < n; ++i) w.add_impact(u(g), u(g));
    } else if (kind == 1) {  // a winding corridor longer than a walk may go
        add_corridor(w);
    } else {  // closed rings around some robots and targets
        for (int ring = 0; ring < 3; ++ring) {
            const double cx = u(g), cy = u(g), rad = 0.3 + 0.1 * (g() % 5);
            for (double a = 0; a < 2 * M_PI; a += 0.08) w.add_impact(cx + rad * std::cos(a), cy + rad * std::sin(a));
        }
    }
    const int robots = 1 + static_cast<int>(g() % 4);
    for (int i = 0; i < robots; ++i) {
        auto* r = new robot_class(&w, "p", "127.0.0.1", 1, 0);
        w.robots[w.num_robots++] = r;
    }
    for (unsigned i = 0; i < w.num_robots; ++i) {
        w.robots[i]->x = u(g);
        w.robots[i]->y = u(g);
    }
    const double tx = u(g), ty = u(g);
    if (kind == 1) {
        // One robot where its walk must give up, so new targets are drawn and planned for.
        auto [fx, fy] = frontier_cell(w.impacts, nav_index(tx, 10), nav_index(ty, 10));
        if (fx >= 0) {
            w.robots[0]->x = cell_mid(fx);
            w.robots[0]->y = cell_mid(fy);
        }
    }
    w.set_target(tx, ty);
    w.add_impact(u(g), u(g));
    robot_class::plan_override = nullptr;
    return capture(w);
}

TEST(nav_grid_property, PlansExactlyAsTheReferencePlanner) {
#if defined(__SANITIZE_ADDRESS__)
    const int cases = 40;  // the pass-by-pass reference is slow in instrumented builds
#else
    const int cases = 240;
#endif
    ensure_app();
    int differing = 0;
    for (int c = 0; c < cases; ++c) {
        const int kind = c % 10 == 9 ? 1 : (c % 5 == 4 ? 2 : 0);
        const unsigned seed = 1000u + static_cast<unsigned>(c);
        const plan_state expected = run_scenario(seed, true, kind);
        const plan_state planned = run_scenario(seed, false, kind);
        if (!(expected == planned)) {
            ++differing;
            ADD_FAILURE() << "scenario " << c << " (kind " << kind << ") plans differently";
        }
    }
    EXPECT_EQ(differing, 0);
    std::printf("planner property cases: %d\n", cases);
}

TEST(nav_grid_property, BreadthFirstGridEqualsConvergedPasses) {
    std::mt19937 g(5);
    std::uniform_real_distribution<double> u(0.0, 10.0);
    for (int c = 0; c < 60; ++c) {
        std::vector<impact_type> nodes(g() % 600);
        for (std::size_t i = 0; i < nodes.size(); ++i)
            nodes[i] = impact_type{u(g), u(g), i + 1 < nodes.size() ? &nodes[i + 1] : nullptr};
        const int tx = static_cast<int>(g() % 75), ty = static_cast<int>(g() % 75);
        static std::int32_t fast[75][75];
        compute_distance_grid(nodes.empty() ? nullptr : &nodes[0], 10, 10, tx, ty, fast);
        static reference::grid slow;
        reference::fill(nodes.empty() ? nullptr : &nodes[0], tx, ty, slow);
        ASSERT_EQ(std::memcmp(fast, slow, sizeof slow), 0) << "case " << c;
    }
}

// The world keeps what the impacts make of the grid and lays new impacts over it; impacts taken
// back with a wall, or all cleared, make it start again. Each time, the grid equals one made
// afresh from the impacts.
TEST(nav_grid_property, GridKeptAcrossImpactsEqualsOneMadeAfresh) {
    ensure_app();
    world_class w(world_setup{100, 100, ""});
    std::mt19937 g(9);
    std::uniform_real_distribution<double> u(0.0, 10.0);
    static std::int32_t fresh[75][75];
    for (int step = 0; step < 400; ++step) {
        const unsigned action = g() % 40;
        if (action == 0) {
            w.free_impacts();
        } else if (action == 1) {
            w.set_target(u(g), u(g));
        } else if (action < 4) {
            // A wall with impacts seen on it, taken away again.
            const double x = u(g), y = u(g);
            w.add_wall(x, y, 0.5, 0.5);
            w.add_impact(x + 0.25, y);
            w.add_impact(x, y + 0.25);
            w.remove_wall(w.walls);
        } else {
            w.add_impact(u(g), u(g));
        }
        compute_distance_grid(w.impacts, 10, 10, nav_index(w.target_x, 10), nav_index(w.target_y, 10), fresh);
        ASSERT_EQ(std::memcmp(w.shared_nav_grid(), fresh, sizeof fresh), 0) << "step " << step;
    }
    EXPECT_GT(w.impact_count, 20);
}

// A robot that plans again from the cell of its last plan, with the same impacts and target
// cell, keeps that plan: it must be the plan a fresh one makes, waypoint progress started over.
TEST(nav_grid_property, APlanThatStandsIsThePlanMadeAfresh) {
    ensure_app();
    srand15(3);
    std::mt19937 g(3);
    std::uniform_real_distribution<double> u(0.5, 9.5), nudge(-0.03, 0.03);
    world_class w(world_setup{100, 100, ""});
    for (int i = 0; i < 60; ++i) w.add_impact(u(g), u(g));
    for (int i = 0; i < 4; ++i) w.robots[w.num_robots++] = new robot_class(&w, "p", "127.0.0.1", 1, 0);
    w.set_target(u(g), u(g));
    int compared = 0;
    for (int step = 0; step < 300; ++step) {
        if (g() % 20 == 0) w.add_impact(u(g), u(g));
        if (g() % 50 == 0) w.set_target(u(g), u(g));
        for (unsigned i = 0; i < w.num_robots; ++i) {
            robot_class* r = w.robots[i];
            r->x = std::clamp(r->x + nudge(g), 0.5, 9.5);
            r->y = std::clamp(r->y + nudge(g), 0.5, 9.5);
            if (r->current_waypoint > 0) --r->current_waypoint;  // progress along the path
            const double tx = w.target_x, ty = w.target_y;
            r->world_compute_map_grid();
            if (w.target_x != tx || w.target_y != ty) continue;  // the walk gave up and drew a target
            auto plan_of = [](const robot_class& r) {
                plan_state s;
                s.maps.assign(&r.map[0][0], &r.map[0][0] + 75 * 75);
                for (const waypoint_type* p = r.waypoints; p; p = p->next) s.waypoints.insert(s.waypoints.end(), {p->x, p->y, p->angle, double(p->index)});
                s.counts = {r.waypoint_count, r.current_waypoint, r.walk_failed};
                return s;
            };
            const plan_state kept = plan_of(*r);
            r->free_waypoints();  // no plan stands: the next is made afresh
            r->world_compute_map_grid();
            ASSERT_TRUE(kept == plan_of(*r)) << "step " << step << " robot " << i;
            ++compared;
        }
    }
    EXPECT_GT(compared, 1000);
}

}  // namespace
