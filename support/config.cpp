#include "support/config.h"

#include <cstdio>

#include "support/log.h"

namespace {

bool is_line_break(int c) {
    return c == '\n' || c == '\r';
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

void load_config(const char* file_name, void (*callback)(void*, char*), void* context) {
    std::FILE* file = std::fopen(file_name, "rb");
    if (!file) {
        log("[Config] Unable to load config file\n");
        return;
    }

    char line[config_line_max + 1];
    bool at_end = false;
    while (!at_end) {
        unsigned int length = 0;
        while (length < config_line_max) {
            int c = std::fgetc(file);
            if (c == EOF) {
                at_end = true;
                break;
            }
            if (is_line_break(c)) break;
            if (c == '#') {
                do c = std::fgetc(file);
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
