#include "robot/nav_grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "robot/robot.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/random.h"
#include "world/world.h"

using namespace platform;

const int nav_offsets[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
const double nav_cos[8] = {std::cos(0 * M_PI / 4), std::cos(1 * M_PI / 4), std::cos(2 * M_PI / 4),
                           std::cos(3 * M_PI / 4), std::cos(4 * M_PI / 4), std::cos(5 * M_PI / 4),
                           std::cos(6 * M_PI / 4), std::cos(7 * M_PI / 4)};
const double nav_sin[8] = {std::sin(0 * M_PI / 4), std::sin(1 * M_PI / 4), std::sin(2 * M_PI / 4),
                           std::sin(3 * M_PI / 4), std::sin(4 * M_PI / 4), std::sin(5 * M_PI / 4),
                           std::sin(6 * M_PI / 4), std::sin(7 * M_PI / 4)};

bool robot_class::literal_planner = false;
void (*robot_class::plan_override)(robot_class&) = nullptr;

int nav_index(double v, double extent) {
    const double scaled = v / extent * nav_size;
    if (!(scaled > -1.0) || !(scaled < nav_size)) return nav_size - 1;
    const int i = static_cast<int>(scaled);
    return i < 0 || i > nav_size - 1 ? nav_size - 1 : i;
}

namespace {

// The five cells an impact makes obstacles of: its own and the four beside it, held to the grid.
template <class Mark>
void obstacle_cells(const impact_type& i, double width, double height, Mark&& mark) {
    const int mx = nav_index(i.x, width), my = nav_index(i.y, height);
    const int cells[5][2] = {{mx, my}, {mx + 1, my}, {mx - 1, my}, {mx, my + 1}, {mx, my - 1}};
    for (const auto& c : cells) mark(std::clamp(c[0], 0, nav_size - 1), std::clamp(c[1], 0, nav_size - 1));
}

// Raises the step costs of the cells near one impact.
void raise_step_costs(const impact_type& i, double width, double height, std::uint8_t cost[nav_size][nav_size]) {
    const double cw = width / nav_size, ch = height / nav_size;
    // Not-a-number impacts give no window and cost nothing.
    const double lx = (i.x - nav_wide_clearance) / cw, hx = (i.x + nav_wide_clearance) / cw;
    const double ly = (i.y - nav_wide_clearance) / ch, hy = (i.y + nav_wide_clearance) / ch;
    if (!(hx >= 0 && lx <= nav_size - 1 && hy >= 0 && ly <= nav_size - 1)) return;
    const int x0 = std::max(0, static_cast<int>(std::ceil(lx))), x1 = std::min(nav_size - 1, static_cast<int>(hx));
    const int y0 = std::max(0, static_cast<int>(std::ceil(ly))), y1 = std::min(nav_size - 1, static_cast<int>(hy));
    for (int mx = x0; mx <= x1; ++mx) {
        for (int my = y0; my <= y1; ++my) {
            // A cell's waypoint is its corner nearest the origin: that is where a robot goes.
            const double dx = mx * cw - i.x, dy = my * ch - i.y, d2 = dx * dx + dy * dy;
            std::uint8_t c = 1;
            if (d2 < nav_close_clearance * nav_close_clearance)
                c = nav_close_cost;
            else if (d2 < nav_wide_clearance * nav_wide_clearance)
                c = nav_wide_cost;
            cost[mx][my] = std::max(cost[mx][my], c);
        }
    }
}

// Cheapest first from the target over a grid holding the obstacles (a queue per distance, as
// steps cost 1 to a few); a cell at 254 reaches no further, since 255 means unreached.
void spread_from_target(int target_mx, int target_my, const std::uint8_t cost[nav_size][nav_size],
                        std::int32_t grid[nav_size][nav_size]) {
    grid[target_mx][target_my] = 0;
    static std::vector<std::pair<std::uint8_t, std::uint8_t>> queue[nav_unreached];
    for (auto& q : queue) q.clear();
    queue[0].push_back({static_cast<std::uint8_t>(target_mx), static_cast<std::uint8_t>(target_my)});
    for (int d = 0; d < nav_unreached; ++d) {
        for (std::size_t k = 0; k < queue[d].size(); ++k) {
            const int cx = queue[d][k].first, cy = queue[d][k].second;
            if (grid[cx][cy] != d) continue;  // reached more cheaply since
            static const int orth[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
            for (const auto& o : orth) {
                const int nx = cx + o[0], ny = cy + o[1];
                if (nx < 0 || ny < 0 || nx >= nav_size || ny >= nav_size) continue;
                const int nd = d + cost[nx][ny];
                // Obstacles (-1) and the target (0) are never lower than a new distance.
                if (nd >= nav_unreached || nd >= grid[nx][ny]) continue;
                grid[nx][ny] = nd;
                queue[nd].push_back({static_cast<std::uint8_t>(nx), static_cast<std::uint8_t>(ny)});
            }
        }
    }
}

}  // namespace

void compute_step_costs(const impact_type* impacts, double width, double height,
                        std::uint8_t cost[nav_size][nav_size]) {
    std::memset(cost, 1, sizeof(std::uint8_t) * nav_size * nav_size);
    for (const impact_type* i = impacts; i; i = i->next) raise_step_costs(*i, width, height, cost);
}

void compute_distance_grid(const impact_type* impacts, double width, double height, int target_mx, int target_my,
                           std::int32_t grid[nav_size][nav_size]) {
    static nav_costs costs;
    costs.fill(impacts, width, height);
    costs.distances(target_mx, target_my, grid);
}

void nav_costs::fill(const impact_type* impacts, double world_width, double world_height) {
    width = world_width;
    height = world_height;
    std::memset(cost, 1, sizeof cost);
    std::memset(obstacle, 0, sizeof obstacle);
    for (const impact_type* i = impacts; i; i = i->next) add(*i);
}

void nav_costs::add(const impact_type& i) {
    raise_step_costs(i, width, height, cost);
    obstacle_cells(i, width, height, [&](int mx, int my) { obstacle[mx][my] = true; });
}

void nav_costs::update(const impact_type* impacts, int impact_count, std::uint64_t impact_version, double world_width,
                       double world_height) {
    if (count >= 0 && version == impact_version && width == world_width && height == world_height) return;
    if (count >= 0 && width == world_width && height == world_height && impact_count >= count &&
        impact_version - version == static_cast<std::uint64_t>(impact_count - count)) {
        // The list runs newest first: the fresh impacts lead it.
        int fresh = impact_count - count;
        for (const impact_type* i = impacts; i && fresh > 0; i = i->next, --fresh) add(*i);
    } else {
        fill(impacts, world_width, world_height);
    }
    version = impact_version;
    count = impact_count;
}

void nav_costs::distances(int target_mx, int target_my, std::int32_t grid[nav_size][nav_size]) const {
    for (int i = 0; i < nav_size; ++i)
        for (int j = 0; j < nav_size; ++j) grid[i][j] = obstacle[i][j] ? nav_obstacle : nav_unreached;
    spread_from_target(target_mx, target_my, cost, grid);
}

int robot_class::get_map_x(double v) const { return nav_index(v, world->world_width); }
int robot_class::get_map_y(double v) const { return nav_index(v, world->world_height); }

void robot_class::world_set_map(int mx, int my) {
    map[std::clamp(mx, 0, nav_size - 1)][std::clamp(my, 0, nav_size - 1)] = nav_obstacle;
}

int robot_class::world_get_map(int mx, int my) const {
    if (mx < 0 || my < 0 || mx >= nav_size || my >= nav_size) return nav_unreached;
    return map[mx][my] & 0xFFF;
}

void robot_class::world_compute_map_pass(bool& changed) {
    static std::int32_t next[nav_size][nav_size];
    static std::uint8_t cost[nav_size][nav_size];
    compute_step_costs(world->impacts, world->world_width, world->world_height, cost);
    for (int i = 0; i < nav_size; ++i) {
        for (int j = 0; j < nav_size; ++j) {
            int best = nav_unreached;
            const int reads[4] = {world_get_map(i - 1, j), world_get_map(i + 1, j), world_get_map(i, j - 1),
                                  world_get_map(i, j + 1)};
            for (int v : reads)
                if (v < best && v != -1) best = v;
            const std::int32_t old = map[i][j];
            const int reached = std::min(best + cost[i][j], nav_unreached);
            next[i][j] = (best != nav_unreached && old != 0 && old != nav_obstacle) ? reached : old;
        }
    }
    if (std::memcmp(next, map, sizeof map) == 0) changed = false;
    std::memcpy(map, next, sizeof map);
}

int robot_class::world_get_lowest_index(int mx, int my) const {
    int best = nav_unreached, result = 8;
    for (int k = 0; k < 8; ++k) {
        const int v = world_get_map(mx + nav_offsets[k][0], my + nav_offsets[k][1]);
        if (v < best && v != -1) {
            best = v;
            result = k;
        }
    }
    return result;
}

void robot_class::fill_grid_literal() {
    for (int i = 0; i < nav_size; ++i)
        for (int j = 0; j < nav_size; ++j) map[i][j] = nav_unreached;
    for (const impact_type* i = world->impacts; i; i = i->next) {
        const int mx = get_map_x(i->x), my = get_map_y(i->y);
        world_set_map(mx, my);
        world_set_map(mx + 1, my);
        world_set_map(mx - 1, my);
        world_set_map(mx, my + 1);
        world_set_map(mx, my - 1);
    }
    map[get_map_x(world->target_x)][get_map_y(world->target_y)] = 0;
    bool changed;
    do {
        changed = true;
        world_compute_map_pass(changed);
    } while (changed);
}

void robot_class::world_compute_map_grid() {
    if (plan_override) {
        plan_stands_ = false;
        return plan_override(*this);
    }
    ++world->replans;
    if (literal_planner) {
        plan_stands_ = false;
        fill_grid_literal();
        walk_path();
        return;
    }
    const plan_inputs inputs{world->impact_version(), nav_index(world->target_x, world->world_width),
                             nav_index(world->target_y, world->world_height), get_map_x(x), get_map_y(y)};
    if (plan_stands_ && inputs == planned_from_) {
        // The same grid, path bits included, and the same waypoints: only the walk starts over.
        walk_target = world->target_serial();
        walk_failed = false;
        current_waypoint = waypoint_count - 1;
        return;
    }
    planned_from_ = inputs;
    std::memcpy(map, world->shared_nav_grid(), sizeof map);
    walk_path();
}

void robot_class::walk_path() {
    int rx = get_map_x(x), ry = get_map_y(y);
    free_waypoints();
    walk_target = world->target_serial();
    walk_failed = false;

    bool capped = true;
    for (int step = 1; step <= 254; ++step) {
        const int k = world_get_lowest_index(rx, ry);
        if (k == 8) {
            // No neighbour leads anywhere: the walk failed and leaves no path. When nobody
            // reaches the target the world moves it (world_class::update).
            free_waypoints();
            walk_failed = true;
            current_waypoint = -1;
            log_no_path("");
            return;
        }
        rx = std::clamp(rx + nav_offsets[k][0], 0, nav_size - 1);
        ry = std::clamp(ry + nav_offsets[k][1], 0, nav_size - 1);
        const std::int32_t c = map[rx][ry];
        if (c != nav_obstacle) {
            const double wx = rx * world->world_width / nav_size, wy = ry * world->world_height / nav_size;
            point n;
            compute_map_nav(n, wx, wy);
            map[rx][ry] |= nav_path_bit;
            add_waypoint(wx, wy, std::atan2(n.y, n.x));
        }
        if (c <= 0) {
            capped = false;
            break;
        }
    }

    if (capped) {
        if (world->replan_depth < max_replan_depth) {
            const point t = world->random_free_point();
            ++world->replan_depth;
            world->set_target(t.x, t.y);
            --world->replan_depth;
            return;
        }
        log_no_path("; following the partial path");
    }

    // A walk that reached the target logged nothing and drew no new target: it may stand.
    plan_stands_ = !capped;

    by_index_.assign(static_cast<std::size_t>(waypoint_count), nullptr);
    int index = 0;
    for (waypoint_type* w = waypoints; w; w = w->next, ++index) {
        w->index = index;
        if (index < waypoint_count) by_index_[static_cast<std::size_t>(index)] = w;
    }
    current_waypoint = waypoint_count - 1;
}

void robot_class::log_no_path(const char* how) {
    const double now = get_time();
    if (now - no_path_logged_ < 1.0) return;
    no_path_logged_ = now;
    log("[Robot] %s: no path to the target%s\n", name, how);
}

void robot_class::compute_map_nav(point& out, double px, double py) const {
    const int mx = get_map_x(px), my = get_map_y(py);
    double sx = 0, sy = 0;
    for (int k = 0; k < 8; ++k) {
        const int v = world_get_map(mx + nav_offsets[k][0], my + nav_offsets[k][1]);
        sx += v * nav_cos[k];
        sy += v * nav_sin[k];
    }
    // Equal neighbours cancel only up to rounding (about 1e-13): that is no direction at all.
    if (std::sqrt(sx * sx + sy * sy) < 1e-9) sx = sy = 0;
    out.x = sx == 0 ? 0.0 : -sx;
    out.y = sy;
}

void robot_class::compute_waypoint_vector(double px, double py, point& out) const {
    out = point{0, 0};
    if (waypoint_count == 0) return;
    const waypoint_type* found = nullptr;
    if (current_waypoint >= 0 && static_cast<std::size_t>(current_waypoint) < by_index_.size()) {
        found = by_index_[static_cast<std::size_t>(current_waypoint)];
    } else {
        for (const waypoint_type* w = waypoints; w; w = w->next)
            if (w->index == current_waypoint) found = w;
    }
    if (found) out = point{px - found->x, py - found->y};
}

void robot_class::add_waypoint(double wx, double wy, double angle) {
    waypoints = new waypoint_type{wx, wy, angle, -1, waypoints};
    ++waypoint_count;
}

void robot_class::free_waypoints() {
    plan_stands_ = false;
    while (waypoints) {
        waypoint_type* next = waypoints->next;
        delete waypoints;
        waypoints = next;
    }
    waypoint_count = 0;
    by_index_.clear();
}

waypoint_mark waypoint_mark_of(const robot_class& robot, const waypoint_type& w) {
    const world_class& world = *robot.world;
    return {world.get_screen_x(w.x - 0.05), world.get_screen_y(w.y - 0.05), world.get_screen_x(w.x + 0.05),
            world.get_screen_y(w.y + 0.05), w.index == robot.current_waypoint};
}

void draw_waypoint_mark(dc* hdc, const palette_type& p, const waypoint_mark& m) {
    select_brush(hdc, m.current ? p.red_brush : p.azure_brush);
    select_pen(hdc, m.current ? p.black_pen : p.azure_pen);
    ellipse(hdc, m.l, m.t, m.r, m.b);
}

void robot_class::draw_waypoints(dc* hdc) {
    for (const waypoint_type* w = waypoints; w; w = w->next) draw_waypoint_mark(hdc, world->palette, waypoint_mark_of(*this, *w));
}

void world_class::world_draw_map_grid(robot_class* robot, dc* hdc) {
    const double cw = buffer_w() / 75.0, ch = buffer_h() / 75.0;
    const brush old_brush = current_brush(hdc);
    const pen old_pen = current_pen(hdc);
    for (int i = 0; i < nav_size; ++i) {
        for (int j = 0; j < nav_size; ++j) {
            const std::int32_t v = robot->map[i][j];
            if (v == nav_obstacle) continue;
            const color c = (v & nav_path_bit) ? rgb(255, 0, 0) : rgb(0, 0, static_cast<unsigned>(std::min(5 * v, 255)));
            select_brush(hdc, make_brush(c));
            select_pen(hdc, make_pen(c));
            const int left = static_cast<int>(i * cw), top = static_cast<int>(j * ch);
            rectangle(hdc, left, top, static_cast<int>(left + cw) + 1, static_cast<int>(top + ch) + 1);
        }
    }
    select_brush(hdc, old_brush);
    select_pen(hdc, old_pen);
}

const std::int32_t (*world_class::shared_nav_grid())[75] {
    if (!nav_) nav_ = new nav_cache;
    const int tmx = nav_index(target_x, world_width), tmy = nav_index(target_y, world_height);
    if (!nav_->valid || nav_->impact_version != impact_version_ || nav_->target_mx != tmx || nav_->target_my != tmy) {
        nav_->costs.update(impacts, impact_count, impact_version_, world_width, world_height);
        nav_->costs.distances(tmx, tmy, nav_->grid);
        nav_->valid = true;
        nav_->impact_version = impact_version_;
        nav_->target_mx = tmx;
        nav_->target_my = tmy;
    }
    return nav_->grid;
}
