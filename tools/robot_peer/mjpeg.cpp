#include "tools/robot_peer/mjpeg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

namespace mjpeg {

void render_scene(std::uint8_t* rgb, int width, int height, unsigned frame) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = rgb + (static_cast<std::size_t>(y) * width + x) * 3;
            // A calm background: soft gradients and a faint checker the encoder has to keep.
            const int checker = ((x / 16 + y / 16) & 1) * 12;
            p[0] = static_cast<std::uint8_t>(40 + (x * 60) / (width > 0 ? width : 1) + checker);
            p[1] = static_cast<std::uint8_t>(50 + (y * 70) / (height > 0 ? height : 1) + checker);
            p[2] = static_cast<std::uint8_t>(70 + checker);
        }
    }
    // Three objects on their own paths.
    const double t = frame * 0.05;
    struct object {
        double cx, cy, r;
        std::uint8_t c[3];
    } objects[3] = {
        {0.5 + 0.35 * std::cos(t), 0.5 + 0.3 * std::sin(t), 0.06, {250, 240, 40}},
        {0.5 + 0.4 * std::sin(t * 0.7), 0.3, 0.05, {240, 40, 40}},
        {0.2 + 0.6 * (0.5 + 0.5 * std::sin(t * 1.3)), 0.75 + 0.1 * std::cos(t * 2.1), 0.07, {40, 230, 240}},
    };
    for (const object& o : objects) {
        const double cx = o.cx * width, cy = o.cy * height, r = o.r * (width < height ? width : height);
        const int x0 = std::max(0, static_cast<int>(cx - r)), x1 = std::min(width - 1, static_cast<int>(cx + r));
        const int y0 = std::max(0, static_cast<int>(cy - r)), y1 = std::min(height - 1, static_cast<int>(cy + r));
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) {
                    std::uint8_t* p = rgb + (static_cast<std::size_t>(y) * width + x) * 3;
                    p[0] = o.c[0];
                    p[1] = o.c[1];
                    p[2] = o.c[2];
                }
    }
}

namespace {

std::vector<std::uint8_t> encode_with(const std::uint8_t* pixels, int width, int height, int quality, bool grey,
                                      bool scan_per_component) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&c, &out, &out_size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = grey ? 1 : 3;
    c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);  // baseline, standard Huffman tables, 4:2:0 for colour
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_scan_info scans[3];
    if (scan_per_component && !grey) {
        for (int i = 0; i < 3; ++i) scans[i] = jpeg_scan_info{1, {i, 0, 0, 0}, 0, 63, 0, 0};
        c.scan_info = scans;
        c.num_scans = 3;
    }
    jpeg_start_compress(&c, TRUE);
    const int stride = width * (grey ? 1 : 3);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + static_cast<std::size_t>(c.next_scanline) * stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<std::uint8_t> result(out, out + out_size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return result;
}

}  // namespace

std::vector<std::uint8_t> encode(const std::uint8_t* pixels, int width, int height, int quality, bool grey) {
    return encode_with(pixels, width, height, quality, grey, false);
}

std::vector<std::uint8_t> encode_in_scans(const std::uint8_t* rgb, int width, int height, int quality) {
    return encode_with(rgb, width, height, quality, false, true);
}

void set_frame_size(std::vector<std::uint8_t>& jpeg, unsigned width, unsigned height) {
    for (std::size_t i = 2; i + 9 <= jpeg.size(); ++i) {
        if (jpeg[i] != 0xFF || jpeg[i + 1] != 0xC0) continue;
        jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
        jpeg[i + 6] = static_cast<std::uint8_t>(height);
        jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
        jpeg[i + 8] = static_cast<std::uint8_t>(width);
        return;
    }
}

std::vector<std::uint8_t> to_motion_jpeg(const std::vector<std::uint8_t>& jfif) {
    std::vector<std::uint8_t> out;
    if (jfif.size() < 4 || jfif[0] != 0xFF || jfif[1] != 0xD8) return out;
    out = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'A', 'V', 'I', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t i = 2;
    while (i + 4 <= jfif.size()) {
        if (jfif[i] != 0xFF) return {};
        const std::uint8_t marker = jfif[i + 1];
        const std::size_t len = (static_cast<std::size_t>(jfif[i + 2]) << 8) | jfif[i + 3];
        if (marker == 0xDA) {  // start of scan: the rest is copied as it is
            out.insert(out.end(), jfif.begin() + static_cast<long>(i), jfif.end());
            return out;
        }
        if (i + 2 + len > jfif.size()) return {};
        const bool drop = marker == 0xC4 || (marker >= 0xE0 && marker <= 0xEF);
        if (!drop) out.insert(out.end(), jfif.begin() + static_cast<long>(i), jfif.begin() + static_cast<long>(i + 2 + len));
        i += 2 + len;
    }
    return {};
}

std::uint16_t checksum16(const std::vector<std::uint8_t>& data) {
    std::uint16_t sum = 0;
    for (std::uint8_t b : data) sum = static_cast<std::uint16_t>(sum + b);
    return sum;
}

}  // namespace mjpeg
