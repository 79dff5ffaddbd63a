#include "support/log.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr int log_buffer_size = 30000;

bool log_init = false;
std::FILE* log_file = nullptr;
bool logging_on = true;

}  // namespace

void log(const char* format, ...) {
    if (!log_init) {
        // One attempt per run: if it fails, log_file stays null and nothing is written.
        log_init = true;
        log_file = std::fopen("log.txt", "w");
    }
    if (!log_file) return;

    static char buffer[log_buffer_size];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > log_buffer_size - 1) length = log_buffer_size - 1;

    std::fwrite(buffer, 1, static_cast<std::size_t>(length), log_file);
    std::fflush(log_file);
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
}
