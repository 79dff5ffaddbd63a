// Motion targeting: the weighted centre of what changed since the last picture becomes the target;
// it is marked, and the decision says to fire at it and to turn the camera towards it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "camera/robot_camera.h"

namespace {
constexpr unsigned change_floor = 50;
constexpr std::uint64_t target_threshold = 1500;
constexpr int box_half = 5;
constexpr double steering_gain = 30.0;

int channel_diff(std::uint8_t a, std::uint8_t b) { return a > b ? a - b : b - a; }
}  // namespace

unsigned int robot_camera_class::get_change(unsigned int x, unsigned int y) const {
    const std::size_t i = static_cast<std::size_t>(y) * width + x;
    const color_type& a = camera_buffer[i];
    const color_type& b = last_frame[i];
    const unsigned d = static_cast<unsigned>(channel_diff(a.red, b.red) + channel_diff(a.green, b.green) +
                                             channel_diff(a.blue, b.blue));
    const unsigned m = d / 3;
    return m >= change_floor ? m : 0;
}

void robot_camera_class::draw_box(unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2,
                                  color_type* picture) {
    x1 = std::min(x1, width - 1);
    x2 = std::min(x2, width - 1);
    y1 = std::min(y1, height - 1);
    y2 = std::min(y2, height - 1);
    for (unsigned y = y1; y < y2; ++y)
        for (unsigned x = x1; x < x2; ++x) picture[static_cast<std::size_t>(y) * width + x] = color_type{0, 0, 255};
}

target_decision robot_camera_class::process_frame(int P, int T) {
    target_decision decision;
    // Steering divides by half the picture's size.
    if (width < 2 || height < 2) return decision;
    decision.looked = true;
    const std::size_t bytes = static_cast<std::size_t>(width) * height * 3;
    if (!have_reference) {
        // Nothing to compare with yet: this picture becomes the reference, and the
        // robot holds its fire.
        std::memcpy(last_frame, camera_buffer, bytes);
        have_reference = true;
        return decision;
    }

    // 64-bit sums: a large picture changing everywhere overflows 32 bits.
    std::uint64_t sum_x = 0, sum_y = 0, total = 0;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    auto add_pixel = [&](std::size_t i) {
        const unsigned c = get_change(static_cast<unsigned>(i % width), static_cast<unsigned>(i / width));
        if (c == 0) return;
        sum_x += static_cast<std::uint64_t>(i % width) * c;
        sum_y += static_cast<std::uint64_t>(i / width) * c;
        total += c;
    };
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen pixels at a time: a pixel can only count when one of its channels changed by 50
    // or more, so blocks where none did are passed over. Each block becomes the reference as
    // soon as it has been compared.
    const __m128i floor = _mm_set1_epi8(static_cast<char>(change_floor - 1));
    const __m128i zero = _mm_setzero_si128();
    auto* cur = reinterpret_cast<unsigned char*>(camera_buffer);
    auto* ref = reinterpret_cast<unsigned char*>(last_frame);
    for (; i + 16 <= pixels; i += 16) {
        unsigned char* a = cur + i * 3;
        unsigned char* b = ref + i * 3;
        bool any = false;
        __m128i va[3];
        for (int k = 0; k < 3; ++k) {
            va[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * k));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k));
            const __m128i diff = _mm_or_si128(_mm_subs_epu8(va[k], vb), _mm_subs_epu8(vb, va[k]));
            const __m128i over = _mm_subs_epu8(diff, floor);
            any |= _mm_movemask_epi8(_mm_cmpeq_epi8(over, zero)) != 0xFFFF;
        }
        if (any)
            for (std::size_t j = i; j < i + 16; ++j) add_pixel(j);
        for (int k = 0; k < 3; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 16 * k), va[k]);
    }
#endif
    for (std::size_t j = i; j < pixels; ++j) add_pixel(j);
    std::memcpy(last_frame + i, camera_buffer + i, (pixels - i) * 3);

    unsigned cx = width / 2, cy = height / 2;
    if (total > target_threshold) {
        cx = static_cast<unsigned>(sum_x / total);
        cy = static_cast<unsigned>(sum_y / total);
        for (unsigned y = 0; y < height; ++y) camera_buffer[static_cast<std::size_t>(y) * width + cx].green = 255;
        for (unsigned x = 0; x < width; ++x) camera_buffer[static_cast<std::size_t>(cy) * width + x].green = 255;
        const int bx1 = std::max(0, static_cast<int>(cx) - box_half), by1 = std::max(0, static_cast<int>(cy) - box_half);
        draw_box(static_cast<unsigned>(bx1), static_cast<unsigned>(by1), cx + box_half, cy + box_half, camera_buffer);
        decision.fire = true;
    }

    const int half_w = static_cast<int>(width / 2), half_h = static_cast<int>(height / 2);
    const int q = static_cast<int>(static_cast<double>(static_cast<int>(cx) - half_w) / half_w * steering_gain);
    const int qt = static_cast<int>(static_cast<double>(static_cast<int>(cy) - half_h) / half_h * steering_gain);
    const int new_pan = std::clamp(P - q, 0, 255), new_tilt = std::clamp(T - qt, 0, 255);
    decision.steer = new_pan != P || new_tilt != T;
    decision.pan = new_pan;
    decision.tilt = new_tilt;
    return decision;
}
