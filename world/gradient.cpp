// The potential field the robots steer along: away from the nearest impact, towards the
// current waypoint and down the navigation grid.
#include <algorithm>
#include <cmath>
#include <limits>

#include "robot/robot.h"
#include "support/maths.h"
#include "world/world.h"

using namespace platform;

void world_class::compute_impact_vector(double x, double y, point& v) const {
    impact_vector(x, y, v, nullptr);
}

void world_class::impact_vector(double x, double y, point& v, impact_index::nearby* kept) const {
    v = point{0, 0};
    if (impact_count == 0) return;
    double ix, iy;
    const double limit = world_width * world_height;
    if (kept ? impact_index_.nearest(*kept, x, y, limit, ix, iy) : impact_index_.nearest(x, y, limit, ix, iy)) {
        v = point{x - ix, y - iy};
    } else {
        // Nothing within the search radius: a vector no caller accepts as having a length.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        v = point{nan, nan};
    }
}

void world_class::compute_grad_point(robot_class* robot, double x, double y, double& angle, double& magnitude) {
    double sx = 0, sy = 0;
    magnitude = 0;

    point v;
    // A robot asking where it stands asks again a step away on the next tick.
    impact_index::nearby* kept = nullptr;
    if (robot && x == robot->x && y == robot->y && robot->body >= 0 && robot->body < robot_table_size) {
        if (nearby_impacts_.size() <= static_cast<std::size_t>(robot->body)) nearby_impacts_.resize(robot->body + 1);
        kept = &nearby_impacts_[robot->body];
    }
    impact_vector(x, y, v, kept);
    double m = vect_mag(v.x, v.y);
    if (m > 0) {
        const double k = impact_gain / std::pow(m, 1.5);
        const double tx = k * v.x, ty = k * v.y;
        sx += tx;
        sy += ty;
        magnitude += vect_mag(tx, ty);
    }

    if (robot) {
        point w;
        robot->compute_waypoint_vector(x, y, w);
        if (vect_mag(w.x, w.y) > 0) {
            const double ux = waypoint_gain * w.x, uy = waypoint_gain * w.y;
            sx -= ux;
            sy -= uy;
            magnitude -= vect_mag(ux, uy);
        }

        point n;
        robot->compute_map_nav(n, x, y);
        const double nm = vect_mag(n.x, n.y);
        if (nm > 0) {
            // The grid vector's y runs the way headings do, up the screen; the sum runs down
            // it, like world y. Added as it was, the term pointed uphill whenever the way down
            // had a y part, and robots stood where it balanced the pull of their waypoint.
            sx += map_gain * n.x / nm;
            sy -= map_gain * n.y / nm;
            magnitude += map_gain;
        }
    }

    angle = -std::atan2(sy, sx);
}

void world_class::draw_grad(dc* hdc) {
    select_pen(hdc, palette.green_pen);
    const int hw = (buffer_w() / 75) / 2, hh = (buffer_h() / 75) / 2;
    // The view shows the field as the chosen robot feels it; with no robots it is zero.
    robot_class* robot = chosen_robot();
    for (int i = 0; i < 75; ++i) {
        for (int j = 0; j < 75; ++j) {
            const double wx = i / 75.0 * world_width, wy = j / 75.0 * world_height;
            const int px = get_screen_x(wx), py = get_screen_y(wy);
            double a = 0, m = 0;
            if (robot) compute_grad_point(robot, wx, wy, a, m);
            const double capped = std::min(m, 1.0);
            // Not-a-number draws as zero; strong pulls (below -1) stay at full red rather than
            // wrapping round the colour channel into bands.
            const int c = capped == capped ? static_cast<int>(std::min(std::fabs(capped), 1.0) * 255) : 0;
            const color col = capped >= 0 ? rgb(0, 0, c) : rgb(c, 0, 0);
            const brush old_brush = select_brush(hdc, make_brush(col));
            select_pen(hdc, make_pen(col));
            rectangle(hdc, px - hw - 1, py - hh - 1, px + hw + 1, py + hh + 1);
            select_brush(hdc, old_brush);
            select_pen(hdc, palette.green_pen);
            draw_arrow(hdc, wx, wy, a, std::min(std::fabs(m / 5), 0.1));
        }
    }
}
