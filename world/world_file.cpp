// World files: the operator's walls and the target as plain text, one item a line.
//
//   wall X Y W H   # a box: top-left corner and size in world units, W and H 0 or more, not both 0
//   target X Y
//   bodies on      # robots are bodies to one another (off, the default, lets them overlap)
//
// "#" starts a comment and blank lines are skipped. A bad line is logged and skipped; the rest
// loads. Numbers are written and read with a decimal point whatever the locale. Only regular
// files of at most 16 MiB are read, and at most 100,000 walls are taken from one. Saving writes
// a temporary file beside the real one and renames it over it, so the file is always either the
// old world or the whole new one.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "support/version.h"
#include "support/files.h"
#include "support/log.h"
#include "world/world.h"

namespace {

constexpr std::size_t max_world_file_bytes = std::size_t{16} << 20;

// Shortest text that reads back as the same double.
std::string number_text(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Splits a line into its blank-separated words.
std::vector<std::string> words_of(std::string_view line) {
    std::vector<std::string> words;
    const char* blanks = " \t\r\v\f";
    for (std::size_t at = line.find_first_not_of(blanks); at != std::string_view::npos;) {
        const std::size_t stop = line.find_first_of(blanks, at);
        words.emplace_back(line.substr(at, stop - at));
        at = stop == std::string_view::npos ? stop : line.find_first_not_of(blanks, stop);
    }
    return words;
}

// A wall a file can hold: no side below 0, and not both 0 (a click without a drag).
bool has_size(double w, double h) {
    return w >= 0 && h >= 0 && (w > 0 || h > 0);
}

}  // namespace

bool world_class::load_world(const char* file_name) {
    std::string text, reason;
    if (!read_regular_file(file_name, max_world_file_bytes, text, reason)) {
        log("[World] Unable to load world file %s: %s\n", file_name, reason.c_str());
        return false;
    }
    int line_number = 0, loaded = 0;
    bool over_limit = false;  // told once; later wall lines are passed over
    for (std::size_t at = 0; at < text.size();) {
        std::size_t stop = text.find('\n', at);
        if (stop == std::string::npos) stop = text.size();
        std::string_view line(text.data() + at, stop - at);
        at = stop + 1;
        ++line_number;
        line = line.substr(0, line.find('#'));
        std::vector<std::string> tokens = words_of(line);
        if (tokens.empty()) continue;  // blank or comment only
        const std::string word = tokens.front();
        tokens.erase(tokens.begin());

        std::size_t wanted;
        if (word == "wall") {
            wanted = 4;
            if (loaded >= max_file_walls) {
                if (!over_limit)
                    log("[World] %s line %d ignored: more than %d walls\n", file_name, line_number, max_file_walls);
                over_limit = true;
                continue;
            }
        } else if (word == "target") {
            wanted = 2;
        } else if (word == "bodies") {
            if (tokens.size() == 1 && (tokens[0] == "on" || tokens[0] == "off")) {
                // Off is the default; it does not undo --bodies.
                bodies = bodies || tokens[0] == "on";
            } else {
                log("[World] %s line %d ignored: bodies takes on or off\n", file_name, line_number);
            }
            continue;
        } else {
            log("[World] %s line %d ignored: unknown word '%.40s'\n", file_name, line_number, word.c_str());
            continue;
        }
        if (tokens.size() != wanted) {
            log("[World] %s line %d ignored: %s takes %zu numbers, not %zu\n", file_name, line_number, word.c_str(),
                wanted, tokens.size());
            continue;
        }
        double v[4] = {};
        bool numeric = true;
        for (std::size_t i = 0; i < wanted && numeric; ++i) {
            if (!read_number(tokens[i], v[i])) {
                log("[World] %s line %d ignored: '%.40s' is not a number\n", file_name, line_number, tokens[i].c_str());
                numeric = false;
            }
        }
        if (!numeric) continue;
        if (word == "target") {
            if (v[0] < 0 || v[0] > world_width || v[1] < 0 || v[1] > world_height) {
                log("[World] %s line %d ignored: the target lies outside the world\n", file_name, line_number);
                continue;
            }
            target_x = v[0];
            target_y = v[1];
            continue;
        }
        if (!has_size(v[2], v[3])) {
            log("[World] %s line %d ignored: width and height must be 0 or more and not both 0\n", file_name,
                line_number);
            continue;
        }
        if (v[0] > world_width || v[1] > world_height || v[0] + v[2] < 0 || v[1] + v[3] < 0) {
            log("[World] %s line %d ignored: the wall lies wholly outside the world\n", file_name, line_number);
            continue;
        }
        add_wall(v[0], v[1], v[2], v[3]);
        ++loaded;
    }
    log("[World] Loaded %d walls from %s\n", loaded, file_name);
    return true;
}

int world_class::save_world(const char* file_name) const {
    // Operator walls oldest first, so that loading rebuilds the list in the same order. A wall
    // with one side 0 is a wall (it stops rays and the probe); one with both 0 (a click without
    // a drag) is not, and is left out.
    std::vector<const wall_type*> kept;
    std::size_t left_out = 0;
    for (const wall_type* w = walls; w; w = w->next) {
        bool border = false;
        for (const wall_type* b : border_walls_) border = border || b == w;
        if (border) continue;
        if (has_size(w->w, w->h))
            kept.push_back(w);
        else
            ++left_out;
    }
    std::string text = "# World saved by the Quorin Swarm Controller " + std::string(swarm_version) +
                       " with key S\n";
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        const wall_type* w = *it;
        text += "wall " + number_text(w->x) + " " + number_text(w->y) + " " + number_text(w->w) + " " +
                number_text(w->h) + "\n";
    }
    text += "target " + number_text(target_x) + " " + number_text(target_y) + "\n";
    if (bodies) text += "bodies on\n";

    std::string reason;
    if (!replace_file(file_name, text, reason)) {
        log("[World] Unable to save world file %s: %s\n", file_name, reason.c_str());
        return -1;
    }
    log("[World] Saved %zu walls to %s, %zu of no size left out\n", kept.size(), file_name, left_out);
    return static_cast<int>(kept.size());
}
