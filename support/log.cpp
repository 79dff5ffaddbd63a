#include "support/log.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include <unistd.h>

namespace {

constexpr int log_buffer_size = 30000;

bool log_init = false;
std::FILE* log_file = nullptr;
bool logging_on = true;
std::uint64_t log_limit = std::uint64_t{100} << 20;
std::uint64_t log_written = 0;  // bytes in the current log.txt

// Moves a full log.txt aside to log.txt.1 (replacing an older one) and starts a new log.txt.
void rotate_log() {
    std::fclose(log_file);
    std::rename("log.txt", "log.txt.1");
    // Should the rename fail, "w" still empties the file: the bound holds either way.
    log_file = std::fopen("log.txt", "w");
    log_written = 0;
}

// Formats messages made of plain text and fixed-point conversions ("%4.1f") without the
// general printf machinery, which costs more than the rest of a robot's tick for its "motion"
// line. The text is exactly what printf gives: the double's exact value scaled by a power of
// ten is exact in a long double of 64 bits, and rounding it to an integer rounds as printf
// does, in the current rounding mode. Returns the length, or -1 when the format or a value
// (not finite, or too large) needs printf.
int format_fixed(char* out, int size, const char* format, va_list args) {
    // The rounding below needs the 64-bit significand of the x87 extended format: with more bits
    // (a 128-bit long double), adding 2^63 would leave fractions and the cast would truncate them.
    if constexpr (std::numeric_limits<long double>::digits != 64 || std::endian::native != std::endian::little)
        return -1;
    static const long double scale[] = {1, 10, 100, 1000, 10000};
    int n = 0;
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            if (n >= size - 1) return -1;
            out[n++] = *f;
            continue;
        }
        int width = 0;
        ++f;
        if (*f == '0') return -1;  // a flag: zeros pad
        while (*f >= '0' && *f <= '9' && width < 100) width = width * 10 + (*f++ - '0');
        if (*f != '.' || f[1] < '0' || f[1] > '4' || f[2] != 'f') return -1;
        const int precision = f[1] - '0';
        f += 2;
        const double v = va_arg(args, double);
        if (!(std::fabs(v) < 1e14)) return -1;
        // Adding 2^63 of the value's sign leaves no bits below the units: the signed sum is
        // rounded to an integer in the current rounding mode, as printf rounds (towards +inf
        // takes -0.05 to "-0.0", not "-0.1"). As its magnitude lies in [2^63, 2^64), its
        // significand (the first eight bytes, integer bit included) is the rounded magnitude
        // plus 2^63: read it there rather than through a conversion, which would switch the
        // FPU's rounding mode twice for every value.
        const long double two63 = 9223372036854775808.0L;
        const long double exact = static_cast<long double>(v) * scale[precision];
        const long double shifted = exact + std::copysign(two63, exact);
        unsigned long long units;
        std::memcpy(&units, &shifted, sizeof units);
        units -= 1ULL << 63;
        char digits[32];
        int d = 0;
        for (int i = 0; i < precision; ++i, units /= 10) digits[d++] = static_cast<char>('0' + units % 10);
        if (precision > 0) digits[d++] = '.';
        do {
            digits[d++] = static_cast<char>('0' + units % 10);
            units /= 10;
        } while (units > 0);
        if (std::signbit(v)) digits[d++] = '-';
        if (n + std::max(width, d) >= size) return -1;
        for (int pad = d; pad < width; ++pad) out[n++] = ' ';
        while (d > 0) out[n++] = digits[--d];
    }
    out[n] = '\0';
    return n;
}

// Writes to log.txt past the stream (which holds nothing between messages); falls back to the
// stream on a short or failed write.
void write_all(const char* data, std::size_t size) {
    const int fd = fileno(log_file);
    const ssize_t done = fd >= 0 ? ::write(fd, data, size) : -1;
    if (done == static_cast<ssize_t>(size)) return;
    const std::size_t from = done > 0 ? static_cast<std::size_t>(done) : 0;
    std::fwrite(data + from, 1, size - from, log_file);
    std::fflush(log_file);
}

}  // namespace

void log(const char* format, ...) {
    if (!log_init) {
        // One attempt per run: if it fails, log_file stays null and nothing is written.
        log_init = true;
        log_file = std::fopen("log.txt", "w");
        // The earlier part of an earlier run's log goes with the rest of it.
        std::remove("log.txt.1");
    }
    if (!log_file) return;

    static char buffer[log_buffer_size];
    va_list args;
    va_start(args, format);
    va_list fixed_args;
    va_copy(fixed_args, args);
    int length = format_fixed(buffer, sizeof buffer, format, fixed_args);
    va_end(fixed_args);
    if (length < 0) length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > log_buffer_size - 1) length = log_buffer_size - 1;

    // At most two files of the limit stay on disk: a message that would take log.txt past it
    // goes to a new one. A message longer than the limit still goes out whole.
    if (log_written > 0 && log_written + static_cast<std::uint64_t>(length) > log_limit) {
        rotate_log();
        if (!log_file) return;
    }
    // Every message is flushed at once, so the stream holds nothing between messages and the
    // message goes straight to the file.
    write_all(buffer, static_cast<std::size_t>(length));
    log_written += static_cast<std::uint64_t>(length);
}

void set_log_limit(std::uint64_t bytes) {
    log_limit = bytes;
}

void set_logging(bool on) {
    logging_on = on;
}

bool get_logging() {
    return logging_on;
}

void log_reset_for_tests() {
    if (log_file) std::fclose(log_file);
    log_file = nullptr;
    log_init = false;
    log_written = 0;
    log_limit = std::uint64_t{100} << 20;
}
