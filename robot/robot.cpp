#include "robot/robot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/maths.h"
#include "support/random.h"
#include "world/world.h"

using namespace platform;

namespace {
constexpr double pi = 3.14159265358979323846;

// One set for the whole swarm: when any robot last reached a waypoint, and the trail point.
double last_waypoint_time = 0.0;
double last_x = 0.0, last_y = 0.0;
}  // namespace

void copy_field(char (&field)[256], const char* value) {
    std::size_t n = value ? std::strlen(value) : 0;
    if (n > sizeof field - 1) n = sizeof field - 1;
    if (n) std::memcpy(field, value, n);
    field[n] = '\0';
}

robot_class::robot_class(world_class* w, const char* robot_name, const char* robot_host, int robot_port,
                         int show) {
    world = w;
    port = robot_port;
    copy_field(name, robot_name);
    copy_field(host, robot_host);
    show_window = show;
    console = new robot_win_class(this);

    speed = 0;
    turn = 0;
    motion(0, 0);

    tel_ir = tel_angle = tel_vel_x = tel_vel_y = 0;
    wifi_signal = 0;
    error_history[0] = error_history[1] = 0;
    timers_reset = true;
    auto_mode = false;
    waypoints = nullptr;
    waypoint_count = 0;
    current_waypoint = 0;

    diameter = 0.5;
    size_x = size_y = 0.5;
    sensor_dist = 0.25;
    sensor_size = 0.125;

    x = f_rand(size_x, world->world_width - size_x);
    y = f_rand(size_y, world->world_height - size_y);
    heading = f_rand(0, 2 * pi);
    // Walls from a file are there before any robot: nobody starts right against one. Bodies
    // start apart.
    auto bad_start = [this] {
        return (world->walls_from_file && world->close_to_wall(x, y, world_class::start_wall_margin)) ||
               (world->bodies && world->body_grid().crowded(-1, x, y, 0.5 * diameter));
    };
    for (int redraw = 0; redraw < 100 && bad_start(); ++redraw) {
        x = f_rand(size_x, world->world_width - size_x);
        y = f_rand(size_y, world->world_height - size_y);
        heading = f_rand(0, 2 * pi);
    }
    log("[Robot] %s starts at (%.3f, %.3f)\n", name, x, y);

    for (int i = 0; i < sensor_count; ++i) {
        sensor_hit[i] = false;
        vision_seen[i] = false;
    }
    last_update = get_time();
    held_x = x;
    held_y = y;
    held_since = last_update;
    update();
}

robot_class::~robot_class() {
    // The world frees every robot's waypoints first; a robot deleted on its own frees them here.
    free_waypoints();
    delete console;
    console = nullptr;
}

void robot_class::init() {}

void robot_class::reset_shared_state() {
    last_waypoint_time = 0.0;
    last_x = 0.0;
    last_y = 0.0;
}

void robot_class::update() {
    // 1. A robot at the target sends it somewhere new.
    if (world->target_dist(x, y) < 0.09) {
        ++world->targets_reached;
        world->random_target();
    }

    // 2. The gradient here.
    world->compute_grad_point(this, x, y, grad_angle, grad_mag);

    // 3. Waypoint progress.
    point v;
    compute_waypoint_vector(x, y, v);
    if (vect_mag(v.x, v.y) < diameter && current_waypoint > 0) {
        last_waypoint_time = get_time();
        --current_waypoint;
    }

    // 4. Re-plan while no robot has reached a waypoint for a second.
    if (get_time() - last_waypoint_time > 1.0) world_compute_map_grid();

    // 5. Proximity sensors and vision rays.
    world->look_from(body, x, y);
    for (int i = 0; i < sensor_count; ++i) {
        const double a = heading - pi / 3 + i * pi / 3;
        sensor_hit[i] = world->check_sensor(x, y, a, sensor_dist + 0.5 * sensor_size, body);
        vision[i] = 2.0 - world->check_vision(x, y, a, vision_seen[i], vision_point[i], body);
    }
    if (world->bodies) sense_bodies();

    // 6. Heading error, wrapped into (-pi, pi].
    heading_error = grad_angle - heading;
    if (heading_error > 2 * pi) heading_error -= 2 * pi;
    if (heading_error < 0) heading_error += 2 * pi;
    if (heading_error > pi) heading_error -= 2 * pi;

    // 7. Auto mode sets the drive command.
    if (auto_mode) robot_auto_mode();

    // 8.-10. Integrate the drive command.
    const double now = get_time();
    const double dt = now - last_update;
    last_update = now;
    heading += 2.0 * turn * dt;
    if (heading > pi) heading -= 2 * pi;
    if (heading < -pi) heading += 2 * pi;
    dx = 0.5 * speed * std::cos(heading) * dt;
    dy = -0.5 * speed * std::sin(heading) * dt;

    // 11. Collision probe from the proposed position; every ray is cast, as each can see walls.
    // A hit blocks only a step that brings the robot closer to the wall hit, so a robot that
    // stands within the probe distance of a wall can still move away from it.
    const double px = x + dx, py = y + dy;
    bool blocked = false;
    // A step of nothing (a robot told to stand while it turns) goes nowhere, blocked or not: its
    // rays are cast only for the impacts they may record.
    const bool still = dx == 0 && dy == 0;
    for (int k = 0; k < 12; ++k) {
        bool seen = false;
        point hit;
        // Only what lies closer than an impact can be recorded (1.0) or the step be blocked
        // matters here, so walls beyond that are not cast against, nor walls that can record no
        // impact beyond what can block; once the step is blocked, nothing more can block it.
        const double d = world->probe_within(px, py, heading + k * pi / 6, seen, hit, std::max(1.0, 0.5 * diameter),
                                             blocked || still ? 0.0 : 0.5 * diameter, body);
        if (seen && d < 0.5 * diameter && !blocked) blocked = world->approaches_wall_at(hit, x, y, px, py);
    }

    // 12.-13. Move unless blocked, and stay inside the world.
    const point step = take_step(dx, dy, dt, blocked);
    x += step.x;
    y += step.y;
    x = std::clamp(x, 0.5 * size_x, world->world_width - 0.5 * size_x);
    y = std::clamp(y, 0.5 * size_y, world->world_height - 0.5 * size_y);
    note_progress(now);
    if (world->bodies) {
        world->body_moved(*this);
        if (auto_mode && yield_until <= now && now - held_since >= give_way_after_s) {
            yield_to = right_of_way_near();
            if (yield_to >= 0) yield_until = now + give_way_s;
        }
    }

    // 14. The swarm's shared trail point.
    if ((last_x - x) * (last_x - x) + (last_y - y) * (last_y - y) > diameter * diameter * 0.015625) {
        last_x = x;
        last_y = y;
        world->add_marker(x, y);
    }
}

point robot_class::take_step(double step_x, double step_y, double dt, bool rays_blocked) {
    const double radius = 0.5 * diameter;
    const bool bodies = world->bodies;
    const double now = get_time();
    // Whether a step would bring the body closer to a wall, or to another body, within its
    // radius; `away` gets the direction away from what it meets.
    auto meets = [&](point s, point* away) {
        if (world->step_blocked(x, y, x + s.x, y + s.y, radius, away)) return true;
        if (!bodies) return false;
        return world->body_grid().step_meets(body, x, y, x + s.x, y + s.y, radius, away) >= 0;
    };
    // Inside a wall (one drawn or loaded over the robot): it walks out the shortest way at full
    // speed, whatever it is told, and on until its body is clear of that wall.
    if (world->check_wall_point(x, y)) {
        // Where no point nearby leaves the whole body clear, out of the walls at least.
        escaping = world->way_out(x, y, radius, escape_to) || world->way_out(x, y, 1e-6, escape_to);
        if (!escaping) return point{0, 0};
    }
    if (escaping) {
        const double ox = escape_to.x - x, oy = escape_to.y - y, d = std::hypot(ox, oy);
        const double s = std::min(d, 0.5 * dt);
        const point out = d > 0 ? point{ox / d * s, oy / d * s} : point{0, 0};
        // Another body in the way: the robot waits for it to move.
        if (bodies && world->body_grid().step_meets(body, x, y, x + out.x, y + out.y, radius, nullptr) >= 0)
            return point{0, 0};
        if (d <= 0.5 * dt) escaping = false;
        return out;
    }

    // Giving way: the robot backs away from the one it gives way to, at full speed and half
    // turned to its right (as seen facing that robot), so that two robots meeting head-on also
    // come apart sideways.
    if (bodies && now < yield_until && yield_to >= 0 && static_cast<unsigned>(yield_to) < world->num_robots) {
        const robot_class* other = world->robots[yield_to];
        const double ax = x - other->x, ay = y - other->y, n = std::hypot(ax, ay);
        if (n > 0) {
            const double s = 0.5 * dt / (n * std::sqrt(2.0));
            step_x = (ax + ay) * s;
            step_y = (ay - ax) * s;
        }
        rays_blocked = false;
    }

    // A blocked step slides: the part that would bring the body closer to the wall (or body) is
    // dropped and the rest, along it, is kept when that is free. Into a corner nothing is left.
    point taken{step_x, step_y};
    point away;
    if (meets(taken, &away)) {
        const int passes = bodies ? 3 : 2;
        for (int pass = 0;; ++pass) {
            const double into = taken.x * away.x + taken.y * away.y;
            if (pass == passes || !(into < 0)) {
                taken = point{0, 0};
                break;
            }
            taken.x -= into * away.x;
            taken.y -= into * away.y;
            if (!meets(taken, &away)) break;
        }
    } else if (rays_blocked) {
        taken = point{0, 0};
    }

    // Held by the probe: a robot whose steps are cut to almost nothing for a second is treated by
    // auto mode as facing a wall (robot_auto_mode), so it brakes and swerves.
    const double wanted = std::hypot(step_x, step_y), got = std::hypot(taken.x, taken.y);
    if (wanted > 0 && got < 0.25 * wanted) {
        if (probe_cut_since < 0) probe_cut_since = now;
        if (now - probe_cut_since >= 1.0) probe_held = true;
    } else {
        probe_cut_since = -1;
    }
    return taken;
}

void robot_class::sense_bodies() {
    // The bodies within sight (a ray's length and a body's radius) are found once for all the
    // sensors and rays.
    static_assert(sensor_count == 6, "the rays, 60 degrees apart, pair up on three lines");
    static thread_local std::vector<body_index::body> near, touching, on_ray[sensor_count];
    const double range = sensor_dist + 0.5 * sensor_size;
    world->body_grid().gather(body, x, y, 2.0, near);
    if (near.empty()) return;
    double c[sensor_count], s[sensor_count];
    for (int i = 0; i < sensor_count; ++i) {
        const double a = heading - pi / 3 + i * pi / 3;
        if (!rough_cos_sin(a, c[i], s[i])) {
            c[i] = std::cos(a);
            s[i] = std::sin(a);
        }
    }
    // Only bodies within a sensor's reach and their radius can hold a sensor's point. The six
    // rays lie on three lines (ray i + 3 runs opposite ray i), and a ray can meet only a body
    // whose disc comes within its radius of the line and not wholly behind the ray's origin:
    // one farther off, or farther behind, by a margin far beyond rounding (and the rough
    // direction's error) is left out of the ray.
    touching.clear();
    for (auto& ray : on_ray) ray.clear();
    for (const body_index::body& b : near) {
        const double fx = x - b.x, fy = y - b.y, f2 = fx * fx + fy * fy;
        const double reach = range + b.r;
        if (f2 < reach * reach) touching.push_back(b);
        const double margin = 1e-9 * (1 + f2), slack = b.r * b.r + margin;
        for (int k = 0; k < sensor_count / 2; ++k) {
            const double off = fx * s[k] + fy * c[k];
            if (!(off * off <= slack)) continue;
            // How far the origin lies along ray k past the centre: the body is behind ray k
            // when that is over its radius, behind the opposite ray when under less its radius.
            const double past = fx * c[k] - fy * s[k];
            if (past <= b.r + margin) on_ray[k].push_back(b);
            if (past >= -b.r - margin) on_ray[k + sensor_count / 2].push_back(b);
        }
    }
    for (int i = 0; i < sensor_count; ++i) {
        if (!touching.empty() && body_index::holds(touching, x + range * c[i], y - range * s[i])) sensor_hit[i] = true;
        if (on_ray[i].empty()) continue;
        double d;
        point hit;
        // Nearer than the nearest wall seen, the body is what the ray sees; it is no impact.
        const double wall = 2.0 - vision[i];
        if (body_index::cast(on_ray[i], x, y, c[i], -s[i], wall, d, hit) >= 0 && d < wall) {
            vision[i] = 2.0 - d;
            vision_seen[i] = true;
            vision_point[i] = hit;
        }
    }
}

int robot_class::right_of_way_near() const {
    // Of the bodies touching this one or nearly (gaps under a tenth), those nearer the target
    // have the right of way, on equal distances the earlier in the table; the nearest of them.
    int chosen = -1;
    double chosen_d = 0;
    const double mine = world->target_dist(x, y);
    world->body_grid().within(body, x, y, diameter + 0.1, [&](int id, double d) {
        const robot_class* r = world->robots[id];
        const double theirs = world->target_dist(r->x, r->y);
        if (!(theirs < mine || (theirs == mine && id < body))) return;
        if (chosen < 0 || d < chosen_d || (d == chosen_d && id < chosen)) {
            chosen = id;
            chosen_d = d;
        }
    });
    return chosen;
}

void robot_class::note_progress(double now) {
    // Robots in auto mode that have not moved 0.1 for a while are held; one log line each time
    // a robot has been held 5 s.
    if (!auto_mode || (x - held_x) * (x - held_x) + (y - held_y) * (y - held_y) >= 0.01) {
        held_x = x;
        held_y = y;
        held_since = now;
        held_logged = false;
        return;
    }
    const double held = now - held_since;
    world->note_held(held);
    if (held >= held_mark_s && !held_logged) {
        held_logged = true;
        log("[Robot] %s: held at (%.2f, %.2f)\n", name, x, y);
    }
}

bool robot_class::held() const {
    return auto_mode && get_time() - held_since >= held_mark_s;
}

void robot_class::draw(dc* hdc) {
    const palette_type& m = world->palette;
    rect r;

    select_pen(hdc, m.black_pen);
    select_brush(hdc, m.green_brush);
    world->get_bounding_rect(x, y, diameter, diameter, r);
    ellipse(hdc, r.left, r.top, r.right, r.bottom);

    select_brush(hdc, m.white_brush);
    world->draw_arrow(hdc, x, y, heading, sensor_size);

    for (int i = 0; i < sensor_count; ++i)
        world->draw_sensor(hdc, x, y, heading - pi / 3 + i * pi / 3, sensor_dist, sensor_size,
                           get_sensor_color(sensor_hit[i]));

    double s = (size_x + size_y) / 2;
    double length = 1.2 * s + 1.5 * s * (1 - tel_ir / 10);
    double ch = std::cos(heading), sh = std::sin(heading);
    pen old = select_pen(hdc, make_pen(rgb(0, 0, 0), 3));
    world->draw_line(hdc, line{{x + 0.5 * s * ch, y - 0.5 * s * sh}, {x + length * ch, y - length * sh}});
    select_pen(hdc, old);

    select_pen(hdc, m.blue_pen);
    world->draw_arrow(hdc, x, y, grad_angle, 0.1);

    // A held robot wears a magenta ring, a colour no other mark uses.
    if (held()) world->draw_ring(hdc, x, y, 1.6 * diameter, rgb(255, 0, 255), 3);
}

void robot_class::motion(double new_speed, double new_turn) {
    log("[Robot] motion %4.1f  %4.1f\n", new_speed, new_turn);
    // Not-a-number stops rather than reaching the drive bytes.
    if (new_speed != new_speed) new_speed = 0;
    if (new_turn != new_turn) new_turn = 0;
    speed = std::clamp(new_speed, -1.0, 1.0);
    turn = std::clamp(new_turn, -1.0, 1.0);
    double d0 = (speed + 0.5 * turn) * 30 + 128;
    double d1 = 128 - (speed - 0.5 * turn) * 30;
    drive0 = static_cast<std::uint8_t>(std::clamp(d0, 0.0, 255.0));
    drive1 = static_cast<std::uint8_t>(std::clamp(d1, 0.0, 255.0));
}

void robot_class::stop_motion() {
    motion(0, 0);
}

void robot_class::toggle_auto_mode() {
    auto_mode = !auto_mode;
    if (!auto_mode) stop_motion();
}

void robot_class::move_pan(int delta) {
    long long moved = static_cast<long long>(pan) + delta;
    if ((delta > 0 && moved <= 254) || (delta < 0 && moved > 0)) pan = static_cast<std::uint8_t>(moved);
}

void robot_class::set_pan(int value) {
    pan = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}
void robot_class::set_tilt(int value) {
    tilt = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

unsigned robot_class::get_control_data(unsigned char* data) const {
    if (!data) return 0;
    data[0] = drive0;
    data[1] = drive0;
    data[2] = drive1;
    data[3] = drive1;
    return 4;
}

void robot_class::process_telemetry(const unsigned char* p, unsigned int) {
    auto u16 = [p](int offset) { return static_cast<unsigned>(p[offset]) | (static_cast<unsigned>(p[offset + 1]) << 8); };
    const double scale = 1.0 / 65536.0;
    tel_ir = static_cast<float>(u16(4) * 360 * scale);
    tel_angle = static_cast<float>(u16(6) * 360 * scale);
    tel_vel_x = static_cast<float>(u16(8) * scale * 10);
    tel_vel_y = static_cast<float>(u16(10) * scale * 10);
    wifi_signal = (p[14] * 100) / 255.0;
}

void robot_class::telemetry_string(char* buffer) const {
    const unsigned fps = console && console->camera ? console->camera->fps : 0;
    std::snprintf(buffer, 256, "FPS: %d  Wifi Signal:%4.1f  IR: %4.1f Angle:%4.1f  Velx:%4.1f  Vely:%4.1f",
                  static_cast<int>(fps), wifi_signal, static_cast<double>(tel_ir), static_cast<double>(tel_angle),
                  static_cast<double>(tel_vel_x), static_cast<double>(tel_vel_y));
}
