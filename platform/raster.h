// Direct pixel drawing on 32-bit surfaces: the scene's many small shapes (robots, waypoints,
// grid cells, gradient samples) cost a few nanoseconds a pixel this way. Plain C++, no toolkit.
#pragma once

#include <cstdint>

namespace platform {

struct raster_target {
    std::uint32_t* pixels = nullptr;  // 0xAARRGGBB
    int width = 0;
    int height = 0;
    int stride = 0;  // in pixels
};

// Fills [x0, x1] by [y0, y1] (inclusive), clipped.
void raster_fill(const raster_target& t, int x0, int y0, int x1, int y1, std::uint32_t argb);
// A box (left, top, right, bottom), right and bottom exclusive: a one-pixel outline in the pen
// colour around a fill in the brush colour. Either may be absent.
void raster_rectangle(const raster_target& t, int l, int tp, int r, int b, bool has_pen, std::uint32_t pen,
                      bool has_brush, std::uint32_t brush);
// The ellipse inscribed in the same box, outlined and filled likewise.
void raster_ellipse(const raster_target& t, int l, int tp, int r, int b, bool has_pen, std::uint32_t pen,
                    bool has_brush, std::uint32_t brush);
// A line from (x0, y0) towards (x1, y1), the last point left out; width above 1 draws a square
// brush of that width at every point.
void raster_line(const raster_target& t, int x0, int y0, int x1, int y1, int width, std::uint32_t argb);

}  // namespace platform
