#include "tools/robot_peer/settings.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace robot_peer {

namespace {

constexpr std::size_t line_max = 1024;
constexpr std::size_t field_max = 255;
constexpr std::size_t robots_max = 99;

bool parse_uint(const std::string& s, std::uint32_t lo, std::uint32_t hi, std::uint32_t& out) {
    std::uint32_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parse_real(const std::string& s, double& out) {
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// "WxH" (or "WXH"), each side at least 1 and at most the largest picture.
bool parse_size(const std::string& s, int& width, int& height) {
    std::size_t x = s.find_first_of("xX");
    if (x == std::string::npos) return false;
    std::uint32_t w = 0, h = 0;
    if (!parse_uint(s.substr(0, x), 1, camera_max_width, w) || !parse_uint(s.substr(x + 1), 1, camera_max_height, h))
        return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

// Leading decimal number of a field, like atoi: optional sign, digits, the rest ignored.
long leading_number(std::string_view s) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long v = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        if (v < 1000000) v = v * 10 + (s[i] - '0');  // anything this large is no port anyway
    }
    return negative ? -v : v;
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

}  // namespace

std::string usage_text() {
    return "usage: robot_peer [--config FILE | --port N ...] [options]\n"
           "  --config FILE            serve every robot of FILE on 127.0.0.1 or localhost\n"
           "                           (default robots.txt, read when no --port is given)\n"
           "  --port N                 serve one robot on port N (may be repeated)\n"
           "  --bind ADDR              listen on this IPv4 address (default 127.0.0.1)\n"
           "  --quiet                  no line per received command\n"
           "  --telemetry-hz F         telemetry packets per second (default 10)\n"
           "  --silent                 read commands but never send anything\n"
           "  --bad-checksum-every N   spoil the checksum of every Nth telemetry packet\n"
           "  --bad-length-every N     send an invalid length byte (0, 1, 2 in turn) before\n"
           "                           every Nth telemetry packet\n"
           "  --close-after N          close the connection after sending N packets\n"
           "camera link, on each robot's control port + 1 (one frame per request byte 0x40):\n"
           "  --no-camera              open no camera ports\n"
           "  --camera-size WxH        frame size, at most 640x480 (default 320x240)\n"
           "  --camera-quality Q       JPEG quality from 1 to 100 (default 75)\n"
           "  --camera-fps F           frames per second at most, above 0 and up to 1000 (default 30);\n"
           "                           a request that comes early is answered at the next frame time\n"
           "  --camera-silent          read requests but never answer them\n"
           "  --camera-bad-checksum-every N\n"
           "                           announce a wrong checksum for every Nth frame\n"
           "  --camera-oversize-every N\n"
           "                           every Nth size packet announces 641x480 (frame data\n"
           "                           follows) or, in turn, a length of 921,601 (nothing follows)\n"
           "  --camera-bad-marker-every N\n"
           "                           start every Nth size packet with 0x41 instead of 0x40\n"
           "  --camera-close-mid-frame N\n"
           "                           after N whole frames, close the connection half-way\n"
           "                           through the next frame's data (0: in the first frame)\n"
           "  --camera-byte-at-a-time  send replies one byte per send\n"
           "  --help                   show this text\n";
}

parsed_options parse_options(const std::vector<std::string>& args) {
    parsed_options r;
    options& o = r.opts;
    bool camera_option_seen = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_inline_value = false;
        if (name.rfind("--", 0) == 0) {
            std::size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                has_inline_value = true;
            }
        }
        auto flag = [&](bool& target) {
            if (has_inline_value) {
                r.error = name + " takes no value";
                return;
            }
            target = true;
        };
        auto take_value = [&]() -> bool {
            if (has_inline_value) return true;
            if (i + 1 >= args.size()) {
                r.error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto count = [&](std::uint32_t& target) {
            if (!take_value()) return;
            if (!parse_uint(value, 1, 1000000000, target))
                r.error = name + " needs a whole number of at least 1, not \"" + value + "\"";
        };
        // A rate in events a second, above 0 and at most 1000.
        auto rate = [&](double& target) {
            if (!take_value()) return;
            double v = 0;
            if (parse_real(value, v) && v > 0 && v <= 1000)
                target = v;
            else
                r.error = name + " needs a rate above 0 and at most 1000, not \"" + value + "\"";
        };
        auto camera_flag = [&](bool& target) {
            flag(target);
            camera_option_seen = true;
        };
        auto camera_count = [&](std::uint32_t& target) {
            count(target);
            camera_option_seen = true;
        };

        if (name == "--help" || name == "-h") {
            r.help = true;
        } else if (name == "--quiet") {
            flag(o.quiet);
        } else if (name == "--silent") {
            flag(o.silent);
        } else if (name == "--config") {
            if (take_value()) {
                if (value.empty()) r.error = "--config needs a file name";
                o.config = value;
                o.config_given = true;
            }
        } else if (name == "--port") {
            std::uint32_t port = 0;
            if (take_value()) {
                if (parse_uint(value, 1, 65535, port))
                    o.ports.push_back(static_cast<int>(port));
                else
                    r.error = "--port needs a port number from 1 to 65535, not \"" + value + "\"";
            }
        } else if (name == "--bind") {
            if (take_value()) {
                if (value == "localhost") value = "127.0.0.1";
                in_addr a{};
                if (inet_pton(AF_INET, value.c_str(), &a) == 1)
                    o.bind = value;
                else
                    r.error = "--bind needs an IPv4 address such as 127.0.0.1, not \"" + value + "\"";
            }
        } else if (name == "--telemetry-hz") {
            rate(o.telemetry_hz);
        } else if (name == "--bad-checksum-every") {
            count(o.bad_checksum_every);
        } else if (name == "--bad-length-every") {
            count(o.bad_length_every);
        } else if (name == "--close-after") {
            count(o.close_after);
        } else if (name == "--no-camera") {
            bool off = false;
            flag(off);
            o.camera = !off;
        } else if (name == "--camera-size") {
            camera_option_seen = true;
            if (take_value() && !parse_size(value, o.camera_width, o.camera_height))
                r.error = "--camera-size needs WIDTHxHEIGHT of at least 1x1 and at most 640x480, not \"" + value +
                          "\"";
        } else if (name == "--camera-quality") {
            camera_option_seen = true;
            std::uint32_t q = 0;
            if (take_value()) {
                if (parse_uint(value, 1, 100, q))
                    o.camera_quality = static_cast<int>(q);
                else
                    r.error = "--camera-quality needs a whole number from 1 to 100, not \"" + value + "\"";
            }
        } else if (name == "--camera-fps") {
            camera_option_seen = true;
            rate(o.camera_fps);
        } else if (name == "--camera-silent") {
            camera_flag(o.camera_silent);
        } else if (name == "--camera-byte-at-a-time") {
            camera_flag(o.camera_byte_at_a_time);
        } else if (name == "--camera-bad-checksum-every") {
            camera_count(o.camera_bad_checksum_every);
        } else if (name == "--camera-oversize-every") {
            camera_count(o.camera_oversize_every);
        } else if (name == "--camera-bad-marker-every") {
            camera_count(o.camera_bad_marker_every);
        } else if (name == "--camera-close-mid-frame") {
            camera_option_seen = true;
            std::uint32_t n = 0;
            if (take_value()) {
                if (parse_uint(value, 0, 1000000000, n))
                    o.camera_close_mid_frame = n;
                else
                    r.error = "--camera-close-mid-frame needs a whole number of at least 0, not \"" + value + "\"";
            }
        } else {
            r.error = "unknown option \"" + args[i] + "\"";
        }
        if (!r.error.empty()) return r;
    }
    std::sort(o.ports.begin(), o.ports.end());
    if (std::adjacent_find(o.ports.begin(), o.ports.end()) != o.ports.end())
        r.error = "--port names the same port twice";
    else if (!o.camera && camera_option_seen)
        r.error = "--no-camera cannot be combined with other camera options";
    return r;
}

std::vector<robot_record> parse_robot_list(std::string_view text) {
    std::vector<robot_record> robots;
    std::size_t records = 0;
    auto take_line = [&](std::string_view line) {
        std::vector<std::string_view> f = fields_of(line);
        if (f.size() < 5) return;
        if (++records > robots_max) return;
        robot_record r;
        r.name = std::string(f[0].substr(0, field_max));
        r.host = std::string(f[1].substr(0, field_max));
        r.port = leading_number(f[2]);
        robots.push_back(std::move(r));
    };
    std::string line;
    std::size_t i = 0;
    while (i < text.size()) {
        char ch = text[i];
        if (ch == '#') {
            while (i < text.size() && text[i] != '\n' && text[i] != '\r') ++i;
            // The comment ends its line: fall through to the line break (or the end).
            continue;
        }
        if (ch == '\n' || ch == '\r') {
            ++i;
            take_line(line);
            line.clear();
            continue;
        }
        line += ch;
        ++i;
        if (line.size() == line_max) {
            take_line(line);
            line.clear();
        }
    }
    take_line(line);
    return robots;
}

bool is_local_host(std::string_view host) {
    if (host == "127.0.0.1") return true;
    if (host.size() != 9) return false;
    return std::equal(host.begin(), host.end(), "localhost",
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

}  // namespace robot_peer
