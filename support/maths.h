#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

// Length of the vector (x, y).
inline double vect_mag(double x, double y) {
    return std::sqrt(x * x + y * y);
}

// Control link checksum: 8-bit sum of the bytes, wrapping modulo 256, no complement.
unsigned char get_checksum(const unsigned char* data, unsigned int length);

// cos(a) and sin(a) within 1e-15 for |a| <= 64 (false beyond), at a fraction of the cost of the
// exact ones: enough to tell that a ray or a sensor certainly meets nothing, or which pixel a
// point certainly falls in, never to stand for the exact values where those are owed. What
// robots see of other robots' bodies is worked out from them.
// Inline, and without a branch on the quadrant: the robots ask it a score of times a tick each,
// at angles that fall in any quadrant.
inline bool rough_cos_sin(double a, double& c, double& s) {
    // Cody and Waite's reduction by pi/2 and the Taylor series on [-pi/4, pi/4].
    if (!(std::fabs(a) <= 64)) return false;
    const double pio2_hi = 1.57079632673412561417e+00;  // 33 bits: k * pio2_hi is exact
    const double pio2_lo = 6.07710050650619224932e-11;  // pi/2 - pio2_hi
    // The nearest integer to a * 2 / pi (adding 1.5 * 2^52 leaves no bits below the units).
    const double k = (a * 0.63661977236758134308 + 6755399441055744.0) - 6755399441055744.0;
    const double r = (a - k * pio2_hi) - k * pio2_lo, u = r * r, u2 = u * u, u4 = u2 * u2;
    // The series in u = r^2, to r^15 for the sine and r^16 for the cosine (what is left is below
    // 1e-16 on |r| <= pi/4), summed in pairs so that the products run side by side.
    const double sr = r * ((1 + u * (-1.0 / 6)) + u2 * (1.0 / 120 + u * (-1.0 / 5040)) +
                           u4 * ((1.0 / 362880 + u * (-1.0 / 39916800)) +
                                 u2 * (1.0 / 6227020800 + u * (-1.0 / 1307674368000))));
    const double cr = (1 + u * -0.5) + u2 * (1.0 / 24 + u * (-1.0 / 720)) +
                      u4 * ((1.0 / 40320 + u * (-1.0 / 3628800)) + u2 * (1.0 / 479001600 + u * (-1.0 / 87178291200))) +
                      u4 * u4 * (1.0 / 20922789888000);
    // Quadrant q: (cos, sin) is (cr, sr), (-sr, cr), (-cr, -sr) or (sr, -cr). Odd quadrants swap
    // the two; the cosine is negative in quadrants 1 and 2, the sine in 2 and 3.
    const auto q = static_cast<std::uint64_t>(static_cast<long long>(k)) & 3;
    const std::uint64_t swap = 0 - (q & 1), cb = std::bit_cast<std::uint64_t>(cr), sb = std::bit_cast<std::uint64_t>(sr);
    c = std::bit_cast<double>(((cb & ~swap) | (sb & swap)) ^ (((q + 1) >> 1 & 1) << 63));
    s = std::bit_cast<double>(((sb & ~swap) | (cb & swap)) ^ ((q >> 1 & 1) << 63));
    return true;
}

// Marks the upper halves of the AVX registers unused. Qt's drawing can leave them in use, and
// until they are cleared every SSE instruction (all of this program's arithmetic is SSE) waits
// on them: measured, a tick's update took a third longer after one picture was filled. Nothing
// on processors without AVX.
void clear_vector_upper();
