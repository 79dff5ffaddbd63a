// Drawing of the scene, layer by layer, and the primitives the robots share.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "robot/nav_grid.h"
#include "robot/robot.h"
#include "support/maths.h"
#include "world/geometry.h"
#include "world/world.h"

using namespace platform;

namespace {

// Every robot's waypoints, as robot_class::draw_waypoints draws them robot after robot. Robots
// bound for one target share most of their path cells, so most waypoint ellipses are drawn
// again later in the same box and colours; a later equal ellipse covers every pixel of an
// earlier one with the same colour, whatever lies between, so only the last of equal ones is
// drawn. The pen and brush left selected are those of the last waypoint, as before.
void draw_all_waypoints(world_class& world, dc* hdc) {
    static std::vector<waypoint_mark> marks;
    static std::vector<int> slots;
    static std::vector<char> later;
    marks.clear();
    for (unsigned i = 0; i < world.num_robots; ++i) {
        const robot_class* robot = world.robots[i];
        for (const waypoint_type* w = robot->waypoints; w; w = w->next) marks.push_back(waypoint_mark_of(*robot, *w));
    }
    if (marks.empty()) return;
    std::size_t size = 16;
    while (size < 2 * marks.size()) size *= 2;
    slots.assign(size, -1);
    later.assign(marks.size(), 0);
    for (std::size_t i = marks.size(); i-- > 0;) {
        const waypoint_mark& m = marks[i];
        std::uint64_t h = static_cast<std::uint32_t>(m.l) * 0x9E3779B97F4A7C15ull;
        h = (h ^ static_cast<std::uint32_t>(m.t)) * 0x9E3779B97F4A7C15ull;
        h = (h ^ static_cast<std::uint32_t>(m.r)) * 0x9E3779B97F4A7C15ull;
        h = (h ^ static_cast<std::uint32_t>(m.b) ^ (m.current ? 0x100000000ull : 0)) * 0x9E3779B97F4A7C15ull;
        for (std::size_t k = (h >> 32) & (size - 1);; k = (k + 1) & (size - 1)) {
            if (slots[k] < 0) {
                slots[k] = static_cast<int>(i);
                break;
            }
            if (marks[static_cast<std::size_t>(slots[k])] == m) {
                later[i] = 1;
                break;
            }
        }
    }
    for (std::size_t i = 0; i < marks.size(); ++i)
        if (!later[i]) draw_waypoint_mark(hdc, world.palette, marks[i]);
}

}  // namespace

void world_class::draw(dc* hdc) {
    clear_vector_upper();
    select_pen(hdc, palette.white_pen);
    select_brush(hdc, palette.white_brush);
    rectangle(hdc, 0, 0, buffer_w(), buffer_h());

    if (show_grad) draw_grad(hdc);
    if (num_robots > 0 && show_map) world_draw_map_grid(chosen_robot(), hdc);

    select_pen(hdc, palette.black_pen);
    select_brush(hdc, palette.white_brush);
    draw_markers(hdc);
    if (show_walls) draw_walls(hdc);
    draw_target(hdc, target_x, target_y);
    if (show_impacts) draw_impacts(hdc);
    draw_all_waypoints(*this, hdc);
    for (unsigned i = 0; i < num_robots; ++i) robots[i]->draw(hdc);
    draw_chosen_mark(hdc);
    draw_names(hdc);
}

void world_class::draw_chosen_mark(dc* hdc) {
    robot_class* r = chosen_marked ? chosen_robot() : nullptr;
    if (!r) return;
    // An orange ring, wider than the body and narrower than a held robot's ring.
    draw_ring(hdc, r->x, r->y, 1.3 * r->diameter, rgb(255, 140, 0), 2);
}

void world_class::draw_ring(dc* hdc, double x, double y, double size, color c, int width) {
    // Rings one pixel inside the other: ellipses are outlined one pixel wide whatever the pen.
    const pen old_pen = select_pen(hdc, make_pen(c));
    const brush old_brush = select_brush(hdc, brush{rgb(0, 0, 0), true});
    rect box;
    get_bounding_rect(x, y, size, size, box);
    for (int k = 0; k < width; ++k) ellipse(hdc, box.left + k, box.top + k, box.right - k, box.bottom - k);
    select_brush(hdc, old_brush);
    select_pen(hdc, old_pen);
}

void world_class::draw_names(dc* hdc) {
    if (!show_names) return;
    set_text_color(hdc, rgb(0, 0, 0));
    set_bk_color(hdc, rgb(255, 255, 255));
    for (unsigned i = 0; i < num_robots; ++i) {
        const robot_class* r = robots[i];
        const int length = static_cast<int>(strnlen(r->name, max_name_shown));
        text_out(hdc, get_screen_x(r->x + 0.5 * r->diameter) + 2, get_screen_y(r->y) - text_line_height() / 2,
                 r->name, length);
    }
}

void world_class::draw_markers(dc* hdc) {
    if (!markers_on) return;
    select_brush(hdc, palette.blue_brush);
    rect r;
    int drawn = 0;
    for (marker_type* m = markers; m && drawn < max_markers; m = m->next, ++drawn) {
        get_bounding_rect(m->x, m->y, 0.1, 0.1, r);
        ellipse(hdc, r.left, r.top, r.right, r.bottom);
    }
}

void world_class::draw_walls(dc* hdc) {
    select_brush(hdc, palette.azure_brush);
    select_pen(hdc, palette.azure_pen);
    auto draw_each = [&](dc* d) {
        for (wall_type* w = walls; w; w = w->next)
            rectangle(d, get_screen_x(w->x), get_screen_y(w->y), get_screen_x(w->x + w->w), get_screen_y(w->y + w->h));
    };
    if (wall_count < walls_layer_from) return draw_each(hdc);
    // Many walls are drawn once into a layer of their own, drawn again only when a wall or the
    // picture's size changes, and laid over the scene on every tick.
    const int bw = buffer_w(), bh = buffer_h();
    if (!walls_layer_ || walls_layer_version_ != wall_version_ || platform::bitmap_width(walls_layer_) != bw ||
        platform::bitmap_height(walls_layer_) != bh) {
        delete_bitmap(walls_layer_);
        walls_layer_ = create_layer(bw, bh);
        dc* layer_dc = create_memory_dc();
        select_bitmap(layer_dc, walls_layer_);
        select_brush(layer_dc, palette.azure_brush);
        select_pen(layer_dc, palette.azure_pen);
        draw_each(layer_dc);
        select_bitmap(layer_dc, nullptr);
        delete_dc(layer_dc);
        walls_layer_version_ = wall_version_;
    }
    overlay(hdc, walls_layer_);
}

void world_class::draw_target(dc* hdc, double x, double y) {
    // The outline keeps whatever pen the layers before left selected.
    select_brush(hdc, palette.green_brush);
    ellipse(hdc, get_screen_x(x - 0.075), get_screen_y(y - 0.075), get_screen_x(x + 0.075),
            get_screen_y(y + 0.075));
}

void world_class::draw_impacts(dc* hdc) {
    select_brush(hdc, palette.red_brush);
    select_pen(hdc, palette.black_pen);
    rect r;
    for (impact_type* i = impacts; i; i = i->next) {
        get_bounding_rect(i->x, i->y, 0.2, 0.2, r);
        ellipse(hdc, r.left, r.top, r.right, r.bottom);
    }
}

namespace {

// The pixel that truncating v gives, when v lies surely more than 1e-6 from where truncation
// changes: false otherwise. Points reckoned with a rough cosine and sine (within 1e-15, and
// within 1e-8 of a pixel after scaling) then land in the pixels of the exact ones.
bool sure_pixel(double v, int& px) {
    if (!(std::fabs(v) < 1e8)) return false;
    const double above = v - std::floor(v);
    if (above < 1e-6 || above > 1 - 1e-6) return false;
    px = static_cast<int>(v);
    return true;
}

// Whether points within `reach` of (x, y), in a picture of bw by bh pixels over a world of w by h,
// come out within 1e-8 of a pixel's exact position when reckoned with a rough cosine and sine.
bool rough_pixels_ok(double x, double y, double reach, double bw, double bh, double w, double h) {
    const double sx = bw / w, sy = bh / h;
    return std::fabs(x) <= 1000 && std::fabs(y) <= 1000 && std::fabs(reach) <= 1000 && sx > 0 && sx <= 1e4 &&
           sy > 0 && sy <= 1e4;
}

}  // namespace

void world_class::draw_arrow(dc* hdc, double x, double y, double a, double L) {
    const double quarter_pi = 0.7853981633974483;
    const double h = 0.75 * L;
    const double bw = buffer_w(), bh = buffer_h();
    // The shaft's far end, the tip, and the two ends of the head, as get_screen_x and
    // get_screen_y reckon them before truncation.
    auto screen = [&](double ca, double sa, double cm, double sm, double cp, double sp, double v[8]) {
        const double tx = x + L * ca, ty = y - L * sa;
        v[0] = (x - L * ca) / world_width * bw;
        v[1] = (y + L * sa) / world_height * bh;
        v[2] = tx / world_width * bw;
        v[3] = ty / world_height * bh;
        v[4] = (x + h * cm) / world_width * bw;
        v[5] = (y - h * sm) / world_height * bh;
        v[6] = (x + h * cp) / world_width * bw;
        v[7] = (y - h * sp) / world_height * bh;
    };
    int p[8];
    double v[8], ca, sa, cm, sm, cp, sp;
    bool sure = rough_pixels_ok(x, y, L, bw, bh, world_width, world_height) && rough_cos_sin(a, ca, sa) && rough_cos_sin(a - quarter_pi, cm, sm) &&
                rough_cos_sin(a + quarter_pi, cp, sp);
    if (sure) {
        screen(ca, sa, cm, sm, cp, sp, v);
        for (int i = 0; i < 8 && sure; ++i) sure = sure_pixel(v[i], p[i]);
    }
    if (!sure) {
        ca = std::cos(a);
        sa = std::sin(a);
        const double tx = x + L * ca, ty = y - L * sa;
        p[0] = get_screen_x(x - L * ca);
        p[1] = get_screen_y(y + L * sa);
        p[2] = get_screen_x(tx);
        p[3] = get_screen_y(ty);
        p[4] = get_screen_x(x + h * std::cos(a - quarter_pi));
        p[5] = get_screen_y(y - h * std::sin(a - quarter_pi));
        p[6] = get_screen_x(x + h * std::cos(a + quarter_pi));
        p[7] = get_screen_y(y - h * std::sin(a + quarter_pi));
    }
    move_to(hdc, p[0], p[1]);
    line_to(hdc, p[2], p[3]);
    move_to(hdc, p[4], p[5]);
    line_to(hdc, p[2], p[3]);
    line_to(hdc, p[6], p[7]);
}

void world_class::draw_line(dc* hdc, const line& l) {
    move_to(hdc, get_screen_x(l.p1.x), get_screen_y(l.p1.y));
    line_to(hdc, get_screen_x(l.p2.x), get_screen_y(l.p2.y));
}

void world_class::draw_sensor(dc* hdc, double x, double y, double a, double dist, double size,
                              unsigned long color) {
    const double half = 0.5 * size;
    const double bw = buffer_w(), bh = buffer_h();
    int box[4];
    double c, sn;
    bool sure = rough_pixels_ok(x, y, std::fabs(dist) + std::fabs(half), bw, bh, world_width, world_height) && rough_cos_sin(a, c, sn);
    if (sure) {
        const double px = x + dist * c, py = y - dist * sn;
        sure = sure_pixel((px - half) / world_width * bw, box[0]) && sure_pixel((py - half) / world_height * bh, box[1]) &&
               sure_pixel((px + half) / world_width * bw, box[2]) && sure_pixel((py + half) / world_height * bh, box[3]);
    }
    if (!sure) {
        const double px = x + dist * std::cos(a), py = y - dist * std::sin(a);
        box[0] = get_screen_x(px - half);
        box[1] = get_screen_y(py - half);
        box[2] = get_screen_x(px + half);
        box[3] = get_screen_y(py + half);
    }
    brush old = select_brush(hdc, make_brush(static_cast<platform::color>(color)));
    ellipse(hdc, box[0], box[1], box[2], box[3]);
    select_brush(hdc, old);
}

unsigned long get_sensor_color(bool hit) {
    return hit ? rgb(255, 0, 0) : rgb(255, 255, 255);
}
