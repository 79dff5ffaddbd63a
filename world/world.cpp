#include "world/world.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "robot/robot.h"
#include "support/clock.h"
#include "support/config.h"
#include "support/log.h"
#include "support/maths.h"
#include "support/random.h"
#include "support/record.h"

world_class::world_class(const world_setup& setup)
    : picture_width(setup.picture_width), picture_height(setup.picture_height), bodies(setup.bodies) {
    log("[World] constructor\n");
    robot_class::reset_shared_state();

    const double W = world_width, H = world_height;
    add_wall(0, 0, W, 0.05);         // top
    add_wall(0, H - 0.05, W, 0.05);  // bottom
    add_wall(0, 0, 0.05, H);         // left
    add_wall(W - 0.05, 0, 0.05, H);  // right
    const wall_type* border = walls;
    for (const wall_type*& b : border_walls_) {
        b = border;
        border = border->next;
    }
    last_target_time_ = get_time();

    if (!setup.world_file.empty()) walls_from_file = load_world(setup.world_file.c_str());

    num_robots = 0;
    if (setup.robots_named) {
        for (const std::string& n : setup.robot_names) {
            if (num_robots >= static_cast<unsigned>(max_robots)) {
                log("[World] Too many robots\n");
                break;
            }
            robots[num_robots++] = new robot_class(this, n.c_str(), "", 0, 0);
        }
    } else {
        load_robots();
    }

    for (unsigned i = 0; i < num_robots; ++i) robots[i]->world_compute_map_grid();
}

world_class::~world_class() {
    wall_count = 0;
    free_walls();
    free_markers();
    free_impacts();
    for (unsigned i = 0; i < num_robots; ++i) robots[i]->free_waypoints();
    for (unsigned i = 0; i < num_robots; ++i) {
        delete robots[i];
        robots[i] = nullptr;
    }
    num_robots = 0;
    delete nav_;
    nav_ = nullptr;
    platform::delete_bitmap(walls_layer_);
    walls_layer_ = nullptr;
}

void world_class::load_robots() {
    load_config("robots.txt", world_class::robot_parse_wrapper, this);
    for (unsigned i = 0; i < num_robots; ++i) robots[i]->init();
}

void world_class::robot_parse_wrapper(void* context, char* line) {
    static_cast<world_class*>(context)->robot_parse(line);
}

namespace {
// A flag field's number, held within the range of int however many digits it has.
int flag_value(const char* token) {
    return static_cast<int>(std::clamp<long long>(std::strtoll(token, nullptr, 10), INT_MIN, INT_MAX));
}
}  // namespace

void world_class::robot_parse(char* line) {
    // A token can fill a whole line.
    static char name[config_token_size], host[config_token_size], token[config_token_size];
    unsigned index = 0;

    get_next_string(line, index, name);
    if (!name[0]) return;
    get_next_string(line, index, host);
    if (!host[0]) return;
    get_next_string(line, index, token);
    if (!token[0]) return;
    // Read wide, so that no number wraps round into a port it does not name.
    const long long port = std::strtoll(token, nullptr, 10);
    const bool port_ok = port >= 1 && port <= max_port;
    const std::string port_text = token;
    get_next_string(line, index, token);
    if (!token[0]) return;
    const int show_window = flag_value(token);
    get_next_string(line, index, token);
    if (!token[0]) return;
    const int auto_mode = flag_value(token);

    log("[World] Robot. Name: %s   Host:  %s  Port:  %lld\n", name, host, port);
    if (!port_ok) {
        log("[World] robots.txt line %u ignored: port %s is outside 1 to %d\n", config_line_number(), port_text.c_str(),
            max_port);
        return;
    }
    if (num_robots >= static_cast<unsigned>(max_robots)) {
        log("[World] Too many robots\n");
        return;
    }
    robot_class* r = new robot_class(this, name, host, static_cast<int>(port), show_window);
    robots[num_robots] = r;
    r->auto_mode = auto_mode != 0;
    r->body = static_cast<int>(num_robots);
    body_moved(*r);
    ++num_robots;
}

void world_class::update() {
    // The picture drawn since the last tick may have left the vector registers to be cleared.
    clear_vector_upper();
    // A target nobody can reach moves on, once a tick at most.
    if (target_unreachable()) random_target();
    // Robots may have been put elsewhere since the last tick (by the operator or a test).
    if (bodies) list_bodies();
    for (unsigned i = 0; i < num_robots; ++i) {
        // What the next robot looks at first is fetched while this one moves.
        if (i + 1 < num_robots) fetch_for(robots[i + 1]->body, robots[i + 1]->heading);
        robots[i]->update();
    }
    if (!bodies) list_bodies();
    bodies_overlap_max = std::max(bodies_overlap_max, bodies_.overlap_max());
}

void world_class::list_bodies() {
    bodies_.clear();
    for (unsigned i = 0; i < num_robots; ++i) {
        robots[i]->body = static_cast<int>(i);
        body_moved(*robots[i]);
    }
}

void world_class::body_moved(const robot_class& robot) {
    bodies_.place(robot.body, robot.x, robot.y, 0.5 * robot.diameter);
}

int world_class::buffer_w() const {
    return picture_width;
}
int world_class::buffer_h() const {
    return picture_height;
}

namespace {
// Truncation towards zero, kept inside the range of int for any input.
int to_pixel(double v) {
    if (!(v > -1e9)) return v != v ? 0 : -1000000000;
    if (v > 1e9) return 1000000000;
    return static_cast<int>(v);
}
}  // namespace

int world_class::get_screen_x(double x) const {
    return to_pixel(x / world_width * buffer_w());
}
int world_class::get_screen_y(double y) const {
    return to_pixel(y / world_height * buffer_h());
}

double world_class::get_world_x(unsigned px) const {
    int bw = buffer_w();
    return bw > 0 ? static_cast<double>(px) / bw * world_width : 0.0;
}

double world_class::get_world_y(unsigned py) const {
    int bh = buffer_h();
    return bh > 0 ? static_cast<double>(py) / bh * world_height : 0.0;
}

void world_class::get_bounding_rect(double cx, double cy, double w, double h, platform::rect& r) const {
    r.left = get_screen_x(cx - 0.5 * w);
    r.top = get_screen_y(cy - 0.5 * h);
    r.right = get_screen_x(cx + 0.5 * w);
    r.bottom = get_screen_y(cy + 0.5 * h);
}

void world_class::add_wall(double x, double y, double w, double h) {
    walls = new wall_type{x, y, w, h, walls};
    wall_index_.add(walls);
    ++wall_count;
    ++wall_version_;
}

void world_class::resize_wall(wall_type* wall, double w, double h) {
    wall->w = w;
    wall->h = h;
    wall_index_.update(wall);
    ++wall_version_;
}

bool world_class::is_border_wall(const wall_type* wall) const {
    return std::find(std::begin(border_walls_), std::end(border_walls_), wall) != std::end(border_walls_);
}

bool world_class::remove_wall(wall_type* wall) {
    if (!wall || is_border_wall(wall)) {
        log("[World] remove_wall: %s\n", wall ? "border walls stay" : "no wall");
        return false;
    }
    wall_type** link = &walls;
    while (*link && *link != wall) link = &(*link)->next;
    if (!*link) {
        log("[World] remove_wall: the wall is not in the world\n");
        return false;
    }
    *link = wall->next;
    wall_index_.remove(wall);
    forget_impacts_on(*wall);
    delete wall;
    --wall_count;
    ++wall_version_;
    return true;
}

void world_class::forget_impacts_on(const wall_type& gone) {
    // Impacts are where robots saw walls; those seen on a wall taken back go with it, unless
    // another wall holds them too, so that robots plan through where it stood.
    const double tol = 1e-6;
    auto on = [tol](double x0, double x1, double y0, double y1, double x, double y) {
        return x >= x0 - tol && x <= x1 + tol && y >= y0 - tol && y <= y1 + tol;
    };
    const double gx0 = std::min(gone.x, gone.x + gone.w), gx1 = std::max(gone.x, gone.x + gone.w);
    const double gy0 = std::min(gone.y, gone.y + gone.h), gy1 = std::max(gone.y, gone.y + gone.h);
    std::vector<impact_type*> kept;  // newest first
    bool forgot = false;
    for (impact_type* i = impacts; i;) {
        impact_type* next = i->next;
        bool drop = on(gx0, gx1, gy0, gy1, i->x, i->y);
        if (drop) {
            wall_index_.gather_box(i->x - tol, i->y - tol, i->x + tol, i->y + tol, query_);
            for (const wall_index::entry* e : query_)
                if (on(e->x0, e->x1, e->y0, e->y1, i->x, i->y)) drop = false;
        }
        if (drop) {
            delete i;
            forgot = true;
        } else {
            kept.push_back(i);
        }
        i = next;
    }
    if (!forgot) return;
    // The list and its index afresh, in the same order.
    impacts = nullptr;
    impact_index_.clear();
    impact_count = static_cast<int>(kept.size());
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        (*it)->next = impacts;
        impacts = *it;
        impact_index_.add(impacts->x, impacts->y, ++impact_seq_);
    }
    ++impact_version_;
    for (unsigned i = 0; i < num_robots; ++i) robots[i]->world_compute_map_grid();
}

wall_type* world_class::wall_at(double x, double y) {
    wall_index_.gather_box(x, y, x, y, query_);
    wall_index::sort_by_list(query_);
    for (const wall_index::entry* e : query_)
        if (x >= e->x0 && x <= e->x1 && y >= e->y0 && y <= e->y1 && !is_border_wall(e->wall))
            return const_cast<wall_type*>(e->wall);
    return nullptr;
}

robot_class* world_class::chosen_robot() const {
    if (num_robots == 0) return nullptr;
    return robots[chosen < num_robots ? chosen : 0];
}

void world_class::choose_robot(unsigned index) {
    if (index >= num_robots) {
        log("[World] choose_robot: no robot %u\n", index);
        return;
    }
    chosen = index;
    chosen_marked = true;
    log("[World] Robot %s chosen\n", robots[index]->name);
}

int world_class::robot_at(double x, double y) const {
    for (unsigned i = num_robots; i-- > 0;) {
        const robot_class* r = robots[i];
        const double dx = x - r->x, dy = y - r->y, radius = 0.5 * r->diameter;
        if (dx * dx + dy * dy <= radius * radius) return static_cast<int>(i);
    }
    return -1;
}

void world_class::free_walls() {
    while (walls) {
        wall_type* next = walls->next;
        delete walls;
        walls = next;
    }
    wall_count = 0;
    wall_index_.clear();
    for (const wall_type*& b : border_walls_) b = nullptr;
    ++wall_version_;
}

void world_class::add_marker(double x, double y) {
    if (!markers_on) return;
    int slot = (marker_newest + 1) % max_markers;
    marker_type* newer = marker_newest >= 0 && marker_total > 0 ? &marker_pool[marker_newest] : nullptr;
    if (marker_total < max_markers) {
        ++marker_total;
    } else {
        // slot held the oldest marker; the one laid after it becomes the oldest.
        marker_pool[(slot + 1) % max_markers].next = nullptr;
    }
    marker_pool[slot] = marker_type{x, y, newer};
    marker_newest = slot;
    markers = &marker_pool[slot];
}

void world_class::free_markers() {
    markers = nullptr;
    marker_newest = -1;
    marker_total = 0;
}

void world_class::add_impact(double x, double y) {
    // Repeated sightings of one spot are merged; the index answers as a scan of the list would.
    if (impact_index_.any_within(x, y, 0.01)) return;
    impacts = new impact_type{x, y, impacts};
    ++impact_count;
    impact_index_.add(x, y, ++impact_seq_);
    ++impact_version_;
    for (unsigned i = 0; i < num_robots; ++i) robots[i]->world_compute_map_grid();
}

void world_class::free_impacts() {
    while (impacts) {
        impact_type* next = impacts->next;
        delete impacts;
        impacts = next;
    }
    impact_count = 0;
    impact_index_.clear();
    ++impact_version_;
}

void world_class::set_target(double x, double y) {
    target_x = x;
    target_y = y;
    ++target_changes;
    const double now = get_time();
    target_wait_max_ = std::max(target_wait_max_, now - last_target_time_);
    last_target_time_ = now;
    run_record().target(x, y);
    for (unsigned i = 0; i < num_robots; ++i) robots[i]->world_compute_map_grid();
}

double world_class::target_wait_max_s() const {
    return std::max(target_wait_max_, get_time() - last_target_time_);
}

point world_class::random_free_point() {
    point p;
    for (int attempt = 0; attempt <= 100; ++attempt) {
        p.y = f_rand(1.0, world_height - 1.0);
        p.x = f_rand(1.0, world_width - 1.0);
        if (!close_to_wall(p.x, p.y, target_wall_margin)) break;
    }
    return p;
}

void world_class::random_target() {
    const point p = random_free_point();
    set_target(p.x, p.y);
}

bool world_class::target_unreachable() const {
    if (num_robots == 0) return false;
    for (unsigned i = 0; i < num_robots; ++i)
        if (!robots[i]->walk_failed || robots[i]->walk_target != target_changes) return false;
    return true;
}

double world_class::target_dist(double x, double y) const {
    return (x - target_x) * (x - target_x) + (y - target_y) * (y - target_y);
}
