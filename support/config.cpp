#include "support/config.h"

#include <unistd.h>

#include <cstdio>
#include <limits>
#include <string>

#include "support/files.h"
#include "support/log.h"

namespace {

bool is_line_break(int c) {
    return c == '\n' || c == '\r';
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

unsigned current_line = 0;

}  // namespace

unsigned config_line_number() {
    return current_line;
}

void load_config(const char* file_name, void (*callback)(void*, char*), void* context) {
    // Only a regular file: a FIFO or a device could hold up start-up for good.
    std::string reason;
    const int fd = open_regular_file(file_name, std::numeric_limits<std::size_t>::max(), reason);
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "rb");
    if (!file) {
        if (fd >= 0) {
            reason = "cannot be read";
            close(fd);
        }
        log("[Config] Unable to load config file\n");
        log("[Config] %s: %s\n", file_name, reason.c_str());
        return;
    }

    // Line numbers as an editor shows them: a carriage return, a line feed and the pair of
    // them each end one line.
    unsigned next_line = 1;
    int last = 0;
    auto read = [&] {
        const int c = std::fgetc(file);
        if (c == '\r' || (c == '\n' && last != '\r')) ++next_line;
        last = c;
        return c;
    };
    char line[config_line_max + 1];
    bool at_end = false;
    while (!at_end) {
        unsigned int length = 0;
        while (length < config_line_max) {
            int c = read();
            if (c == EOF) {
                at_end = true;
                break;
            }
            if (is_line_break(c)) break;
            if (c == '#') {
                do c = read();
                while (c != EOF && !is_line_break(c));
                if (c == EOF) {
                    at_end = true;
                    break;
                }
                // A comment on a line of its own goes with its line break; one after
                // text ends that line.
                if (length > 0) break;
                continue;
            }
            if (length == 0) current_line = next_line;
            line[length++] = static_cast<char>(c);
        }
        line[length] = '\0';
        if (length > 0) callback(context, line);
    }

    log("[Config] Loaded config %s\n", file_name);
    std::fclose(file);
}

void get_next_string(const char* line, unsigned int& index, char* token) {
    while (index < config_line_max && is_blank(line[index])) ++index;

    unsigned int length = 0;
    while (index < config_line_max && line[index] != '\0') {
        char c = line[index++];
        if (is_blank(c)) break;
        token[length++] = c;
    }
    token[length] = '\0';
}
