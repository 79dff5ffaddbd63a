// World files: the operator's walls and the target as plain text, one item a line.
//
//   wall X Y W H   # a box: top-left corner and size in world units, W and H above 0
//   target X Y
//
// "#" starts a comment and blank lines are skipped. A bad line is logged and skipped; the rest
// loads. Saving writes a temporary file beside the real one and renames it over it, so the file
// is always either the old world or the whole new one.
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_class.h"
#include "support/log.h"
#include "world/world.h"

namespace {

// Shortest text that reads back as the same double.
std::string number_text(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Reads a whole token as a finite number.
bool read_number(const std::string& token, double& out) {
    if (token.empty()) return false;
    const char* begin = token.c_str();
    char* end = nullptr;
    out = std::strtod(begin, &end);
    return end == begin + token.size() && std::isfinite(out);
}

}  // namespace

bool world_class::load_world(const char* file_name) {
    std::ifstream in(file_name, std::ios::binary);
    if (!in) {
        log("[World] Unable to load world file %s\n", file_name);
        return false;
    }
    std::string text;
    int line_number = 0, loaded = 0;
    while (std::getline(in, text)) {
        ++line_number;
        const std::size_t hash = text.find('#');
        if (hash != std::string::npos) text.erase(hash);
        std::istringstream fields(text);
        std::string word;
        if (!(fields >> word)) continue;  // blank or comment only
        std::vector<std::string> tokens;
        for (std::string t; fields >> t;) tokens.push_back(t);

        std::size_t wanted;
        if (word == "wall") {
            wanted = 4;
        } else if (word == "target") {
            wanted = 2;
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
        if (!(v[2] > 0) || !(v[3] > 0)) {
            log("[World] %s line %d ignored: width and height must be above 0\n", file_name, line_number);
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
    // Operator walls oldest first, so that loading rebuilds the list in the same order. Walls of
    // no area (a click without a drag) are not walls a file can hold.
    std::vector<const wall_type*> kept;
    for (const wall_type* w = walls; w; w = w->next) {
        bool border = false;
        for (const wall_type* b : border_walls_) border = border || b == w;
        if (!border && w->w > 0 && w->h > 0) kept.insert(kept.begin(), w);
    }
    std::string text = "# World saved by the Quorin Swarm Controller " + std::string(main_class::version) +
                       " with key S\n";
    for (const wall_type* w : kept)
        text += "wall " + number_text(w->x) + " " + number_text(w->y) + " " + number_text(w->w) + " " +
                number_text(w->h) + "\n";
    text += "target " + number_text(target_x) + " " + number_text(target_y) + "\n";

    const std::string temp = std::string(file_name) + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    bool ok = f != nullptr;
    if (ok) {
        ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        ok = std::fflush(f) == 0 && ok;
        ok = fsync(fileno(f)) == 0 && ok;
        ok = std::fclose(f) == 0 && ok;
    }
    if (ok) ok = std::rename(temp.c_str(), file_name) == 0;
    if (!ok) {
        std::remove(temp.c_str());
        log("[World] Unable to save world file %s\n", file_name);
        return -1;
    }
    log("[World] Saved %zu walls to %s\n", kept.size(), file_name);
    return static_cast<int>(kept.size());
}
