#include "platform/raster.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

// Keeps coordinates where their arithmetic cannot overflow.
constexpr long long coord_limit = 1 << 24;
int limit(long long v) { return static_cast<int>(std::clamp(v, -coord_limit, coord_limit)); }

void fill_pixels(std::uint32_t* at, std::ptrdiff_t count, std::uint32_t argb) {
    // Most spans are a few pixels; a long one of four equal bytes (the white background above
    // all) is a byte fill.
    if (count < 64) {
        for (std::ptrdiff_t i = 0; i < count; ++i) at[i] = argb;
    } else if ((argb & 0xFF) * 0x01010101u == argb) {
        std::memset(at, static_cast<int>(argb & 0xFF), static_cast<std::size_t>(count) * sizeof argb);
    } else {
        std::fill(at, at + count, argb);
    }
}

void span(const raster_target& t, int y, int x0, int x1, std::uint32_t argb) {
    if (y < 0 || y >= t.height) return;
    x0 = std::max(x0, 0);
    x1 = std::min(x1, t.width - 1);
    if (x0 > x1) return;
    std::uint32_t* row = t.pixels + static_cast<std::ptrdiff_t>(y) * t.stride;
    fill_pixels(row + x0, x1 - x0 + 1, argb);
}

void plot(const raster_target& t, int x, int y, std::uint32_t argb) {
    if (x < 0 || y < 0 || x >= t.width || y >= t.height) return;
    t.pixels[static_cast<std::ptrdiff_t>(y) * t.stride + x] = argb;
}

// Normalises a box; false when it covers no pixel.
bool normalise(int& l, int& tp, int& r, int& b) {
    if (r < l) std::swap(l, r);
    if (b < tp) std::swap(tp, b);
    return r > l && b > tp;
}

}  // namespace

void raster_fill(const raster_target& t, int x0, int y0, int x1, int y1, std::uint32_t argb) {
    if (!t.pixels) return;
    y0 = std::max(y0, 0);
    y1 = std::min(y1, t.height - 1);
    if (y0 < y1 && x0 <= 0 && x1 >= t.width - 1 && t.stride == t.width) {
        // Whole rows, one after the other in memory: one fill.
        fill_pixels(t.pixels + static_cast<std::ptrdiff_t>(y0) * t.stride,
                    static_cast<std::ptrdiff_t>(y1 - y0 + 1) * t.width, argb);
        return;
    }
    for (int y = y0; y <= y1; ++y) span(t, y, x0, x1, argb);
}

void raster_rectangle(const raster_target& t, int l, int tp, int r, int b, bool has_pen, std::uint32_t pen,
                      bool has_brush, std::uint32_t brush) {
    if (!t.pixels || !normalise(l, tp, r, b)) return;
    const int x0 = l, y0 = tp, x1 = r - 1, y1 = b - 1;
    // An outline of the fill's own colour is part of the fill.
    if (!has_pen || (has_brush && pen == brush)) {
        if (has_brush) raster_fill(t, x0, y0, x1, y1, brush);
        return;
    }
    if (has_brush && x1 - x0 >= 2 && y1 - y0 >= 2) raster_fill(t, x0 + 1, y0 + 1, x1 - 1, y1 - 1, brush);
    span(t, y0, x0, x1, pen);
    span(t, y1, x0, x1, pen);
    raster_fill(t, x0, y0, x0, y1, pen);
    raster_fill(t, x1, y0, x1, y1, pen);
}

namespace {

// Span of row y of the ellipse inscribed in (l, tp, r, b): pixel centres (x + 0.5, y + 0.5)
// inside it; x0 > x1 when empty.
void ellipse_row_span(int l, int tp, int r, int b, int y, int& x0, int& x1) {
    if (y < tp || y >= b) {
        x0 = 1;
        x1 = 0;
        return;
    }
    const double cx = (static_cast<double>(l) + r) / 2, cy = (static_cast<double>(tp) + b) / 2;
    const double rx = (static_cast<double>(r) - l) / 2, ry = (static_cast<double>(b) - tp) / 2;
    double dy = (y + 0.5 - cy) / ry;
    double q = 1 - dy * dy;
    if (q < 0) q = 0;  // keep the top and bottom rows: the box's edge rows always show
    const double hw = rx * std::sqrt(q);
    x0 = static_cast<int>(std::ceil(cx - hw - 0.5));
    x1 = static_cast<int>(std::floor(cx + hw - 0.5));
    if (x0 > x1) {  // a row narrower than a pixel still shows its middle
        x0 = x1 = static_cast<int>(std::floor(cx - 0.5 + 0.5));
        x0 = std::clamp(x0, l, r - 1);
        x1 = x0;
    }
    x0 = std::max(x0, l);
    x1 = std::min(x1, r - 1);
}

// One row of an ellipse: the span [c0, c1] (empty when c0 > c1) and, inside the outline, the
// run [in0, in1] the brush fills (none when in0 > in1). The outline is the row's ends and
// whatever the rows above and below do not cover.
struct ellipse_row {
    int c0, c1, in0, in1;
};

ellipse_row outline_row(int p0, int p1, int c0, int c1, int n0, int n1) {
    const int in0 = std::max({c0 + 1, p0 <= p1 ? p0 : c1 + 1, n0 <= n1 ? n0 : c1 + 1});
    const int in1 = std::min({c1 - 1, p0 <= p1 ? p1 : c0 - 1, n0 <= n1 ? n1 : c0 - 1});
    return {c0, c1, in0, in1};
}

void draw_ellipse_row(const raster_target& t, int y, int dx, const ellipse_row& row, bool has_pen, std::uint32_t pen,
                      bool has_brush, std::uint32_t brush) {
    if (row.c0 > row.c1) return;
    if (!has_pen) {
        if (has_brush) span(t, y, dx + row.c0, dx + row.c1, brush);
    } else if (row.in0 <= row.in1) {
        span(t, y, dx + row.c0, dx + row.in0 - 1, pen);
        if (has_brush) span(t, y, dx + row.in0, dx + row.in1, brush);
        span(t, y, dx + row.in1 + 1, dx + row.c1, pen);
    } else {
        span(t, y, dx + row.c0, dx + row.c1, pen);
    }
}

// The rows of an ellipse depend only on its box's size while the box lies within cached_reach
// of the origin: the row arithmetic then gives the same spans, shifted, wherever the box is.
// (Shifting changes the result only where a span's end falls exactly on a pixel boundary, and
// for boxes up to cached_size a side no row's end comes within 1e-8 of one.) The scene draws
// thousands of ellipses of a few sizes on every tick, so each size's rows are computed once.
constexpr int cached_size = 256;
constexpr int cached_reach = 1 << 20;

const std::vector<ellipse_row>& cached_rows(int w, int h) {
    static std::unordered_map<std::uint32_t, std::vector<ellipse_row>> cache;
    static std::uint32_t last_key = 0;
    static const std::vector<ellipse_row>* last = nullptr;
    const std::uint32_t key = static_cast<std::uint32_t>(w) << 16 | static_cast<std::uint32_t>(h);
    if (last && key == last_key) return *last;
    // A scene uses a handful of sizes; a picture resized many times makes more, so the cache
    // starts afresh rather than growing without bound.
    if (cache.size() >= 1024 && cache.find(key) == cache.end()) cache.clear();
    auto [it, added] = cache.try_emplace(key);
    if (added) {
        std::vector<ellipse_row>& rows = it->second;
        rows.reserve(static_cast<std::size_t>(h));
        int p0, p1, c0, c1, n0, n1;
        ellipse_row_span(0, 0, w, h, -1, p0, p1);
        ellipse_row_span(0, 0, w, h, 0, c0, c1);
        for (int y = 0; y < h; ++y) {
            ellipse_row_span(0, 0, w, h, y + 1, n0, n1);
            rows.push_back(outline_row(p0, p1, c0, c1, n0, n1));
            p0 = c0;
            p1 = c1;
            c0 = n0;
            c1 = n1;
        }
    }
    last_key = key;
    last = &it->second;
    return *last;
}

}  // namespace

void raster_ellipse(const raster_target& t, int l, int tp, int r, int b, bool has_pen, std::uint32_t pen,
                    bool has_brush, std::uint32_t brush) {
    if (!t.pixels || !normalise(l, tp, r, b)) return;
    const int w = r - l, h = b - tp;
    if (w <= cached_size && h <= cached_size && l >= -cached_reach && r <= cached_reach && tp >= -cached_reach &&
        b <= cached_reach) {
        const std::vector<ellipse_row>& rows = cached_rows(w, h);
        const int y0 = std::max(tp, 0), y1 = std::min(b - 1, t.height - 1);
        for (int y = y0; y <= y1; ++y)
            draw_ellipse_row(t, y, l, rows[static_cast<std::size_t>(y - tp)], has_pen, pen, has_brush, brush);
        return;
    }
    // Rows far outside the surface are skipped; only their spans matter for the outline.
    const int y_first = std::max(tp, -1), y_last = std::min(b - 1, t.height);
    int p0, p1, c0, c1, n0, n1;
    ellipse_row_span(l, tp, r, b, y_first - 1, p0, p1);
    ellipse_row_span(l, tp, r, b, y_first, c0, c1);
    for (int y = y_first; y <= y_last; ++y) {
        ellipse_row_span(l, tp, r, b, y + 1, n0, n1);
        draw_ellipse_row(t, y, 0, outline_row(p0, p1, c0, c1, n0, n1), has_pen, pen, has_brush, brush);
        p0 = c0;
        p1 = c1;
        c0 = n0;
        c1 = n1;
    }
}

// Cuts a segment to the box [lo_x, hi_x] by [lo_y, hi_y]; false when nothing is left.
bool clip_segment(double& x0, double& y0, double& x1, double& y1, double lo_x, double lo_y, double hi_x,
                  double hi_y) {
    double t0 = 0, t1 = 1;
    const double dx = x1 - x0, dy = y1 - y0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x0 - lo_x, hi_x - x0, y0 - lo_y, hi_y - y0};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        const double r = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, r);
        else
            t1 = std::min(t1, r);
        if (t0 > t1) return false;
    }
    const double nx0 = x0 + t0 * dx, ny0 = y0 + t0 * dy, nx1 = x0 + t1 * dx, ny1 = y0 + t1 * dy;
    x0 = nx0;
    y0 = ny0;
    x1 = nx1;
    y1 = ny1;
    return true;
}

void raster_line(const raster_target& t, int x0, int y0, int x1, int y1, int width, std::uint32_t argb) {
    if (!t.pixels) return;
    // A line reaching far off the surface is first cut to a margin around it, so the walk
    // below never runs longer than the surface is wide.
    const int margin = 8 + std::max(width, 1);
    const int lo_x = -margin, lo_y = -margin, hi_x = t.width + margin, hi_y = t.height + margin;
    if (x0 < lo_x || x0 > hi_x || y0 < lo_y || y0 > hi_y || x1 < lo_x || x1 > hi_x || y1 < lo_y || y1 > hi_y) {
        double fx0 = x0, fy0 = y0, fx1 = x1, fy1 = y1;
        if (!clip_segment(fx0, fy0, fx1, fy1, lo_x, lo_y, hi_x, hi_y)) return;
        x0 = static_cast<int>(std::lround(fx0));
        y0 = static_cast<int>(std::lround(fy0));
        x1 = static_cast<int>(std::lround(fx1));
        y1 = static_cast<int>(std::lround(fy1));
    }
    long long X0 = limit(x0), Y0 = limit(y0), X1 = limit(x1), Y1 = limit(y1);
    const long long dx = std::llabs(X1 - X0), dy = -std::llabs(Y1 - Y0);
    const int sx = X0 < X1 ? 1 : -1, sy = Y0 < Y1 ? 1 : -1;
    long long err = dx + dy;
    const int half = width > 1 ? width / 2 : 0;
    long long steps = std::max(dx, -dy);
    long long x = X0, y = Y0;
    for (long long i = 0; i < steps; ++i) {
        {
            if (half == 0)
                plot(t, static_cast<int>(x), static_cast<int>(y), argb);
            else
                raster_fill(t, static_cast<int>(x) - half, static_cast<int>(y) - half,
                            static_cast<int>(x) - half + width - 1, static_cast<int>(y) - half + width - 1, argb);
        }
        const long long e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

}  // namespace platform
