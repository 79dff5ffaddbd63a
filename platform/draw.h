// Drawing contexts, pens, brushes and off-screen surfaces.
//
// A drawing context holds one selected pen and one selected brush; selecting returns what was
// selected before, so callers can restore it. Rectangles and ellipses take (left, top, right,
// bottom) with right and bottom exclusive; filled shapes are outlined with the pen and filled
// with the brush.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/window.h"

namespace platform {

// 0x00BBGGRR, red in the low byte.
using color = std::uint32_t;
constexpr color rgb(unsigned r, unsigned g, unsigned b) {
    return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16);
}
constexpr unsigned red_of(color c) {
    return c & 0xFF;
}
constexpr unsigned green_of(color c) {
    return (c >> 8) & 0xFF;
}
constexpr unsigned blue_of(color c) {
    return (c >> 16) & 0xFF;
}

struct pen {
    color c = 0;
    int width = 1;
    bool null_pen = false;  // draws no outline
};
struct brush {
    color c = 0;
    bool null_brush = false;  // leaves the inside unfilled
};
constexpr pen make_pen(color c, int width = 1) {
    return pen{c, width, false};
}
constexpr brush make_brush(color c) {
    return brush{c, false};
}

class dc;
class bitmap;

pen select_pen(dc* d, pen p);
brush select_brush(dc* d, brush b);
pen current_pen(const dc* d);
brush current_brush(const dc* d);

void rectangle(dc* d, int left, int top, int right, int bottom);
void ellipse(dc* d, int left, int top, int right, int bottom);
void move_to(dc* d, int x, int y);
// Draws from the current position to (x, y) with the pen and moves there.
void line_to(dc* d, int x, int y);
// Fills without outline.
void fill_rect(dc* d, const rect& r, color c);

// Fixed-pitch text, top-left at (x, y), black on the background colour.
void text_out(dc* d, int x, int y, const char* text, int length);
void set_text_color(dc* d, color c);
void set_bk_color(dc* d, color c);
// Width and height of one character cell of the fixed-pitch font.
int text_char_width();
int text_line_height();

// Stretches a packed 24-bit blue-green-red picture, row 0 at the bottom, onto the rectangle
// (x, y, w, h). stride is the distance between rows in bytes.
// An unchanged picture is redrawn from a cache of stretched pictures, one a picture buffer,
// which keeps within stretched_picture_cache_limit bytes by dropping those drawn longest ago.
void stretch_picture(dc* d, int x, int y, int w, int h, const std::uint8_t* pixels, int src_w, int src_h,
                     int stride);
constexpr std::size_t stretched_picture_cache_limit = std::size_t{64} << 20;
std::size_t stretched_picture_cache_bytes();

// Off-screen surfaces.
dc* create_memory_dc();
void delete_dc(dc* d);
// Contents start white; a size of 0 or less gives an empty surface.
bitmap* create_bitmap(int width, int height);
void delete_bitmap(bitmap* b);
// Selects the bitmap into the context; returns the bitmap selected before (or nullptr).
bitmap* select_bitmap(dc* d, bitmap* b);
int bitmap_width(const bitmap* b);
int bitmap_height(const bitmap* b);
// Reads a pixel of the surface; 0 outside it.
color get_pixel(bitmap* b, int x, int y);
bool save_png(bitmap* b, const char* path);
// Reads a PNG into a new bitmap; nullptr when the file is missing or not a picture.
bitmap* load_png(const char* path);

// Painting a window, only inside its msg_paint handler.
dc* begin_paint(window w);
void end_paint(window w, dc* d);
// Copies w by h pixels of the source's bitmap at (sx, sy) to (x, y) of the destination.
void bit_blt(dc* dst, int x, int y, int w, int h, dc* src, int sx, int sy);

// A layer: a surface that is transparent wherever nothing has been drawn on it. overlay copies
// what was drawn on it onto the surface selected into `dst` at (0, 0), pixel for pixel.
bitmap* create_layer(int width, int height);
void overlay(dc* dst, bitmap* layer);

}  // namespace platform
