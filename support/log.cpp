#include "support/log.h"

#include <cstdarg>
#include <cstdio>

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
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > log_buffer_size - 1) length = log_buffer_size - 1;

    // At most two files of the limit stay on disk: a message that would take log.txt past it
    // goes to a new one. A message longer than the limit still goes out whole.
    if (log_written > 0 && log_written + static_cast<std::uint64_t>(length) > log_limit) {
        rotate_log();
        if (!log_file) return;
    }
    std::fwrite(buffer, 1, static_cast<std::size_t>(length), log_file);
    std::fflush(log_file);
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
