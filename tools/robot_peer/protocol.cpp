#include "tools/robot_peer/protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace robot_peer {

void command_parser::reset() {
    state_ = state::command_byte;
    current_ = command{};
    have_ = 0;
    need_ = 0;
}

void command_parser::feed(const std::uint8_t* data, std::size_t size, std::vector<command>& out) {
    std::size_t i = 0;
    while (i < size) {
        switch (state_) {
        case state::command_byte: {
            std::uint8_t b = data[i++];
            current_ = command{};
            current_.code = b;
            switch (b) {
            case cmd_shutdown:
                current_.kind = command_kind::shutdown;
                have_ = 0;
                state_ = state::fixed_payload;
                break;
            case cmd_drive:
                current_.kind = command_kind::drive;
                have_ = 0;
                state_ = state::fixed_payload;
                break;
            case cmd_string:
                current_.kind = command_kind::text;
                state_ = state::string_length;
                break;
            case cmd_fire_on:
                current_.kind = command_kind::fire_on;
                out.push_back(current_);
                break;
            case cmd_fire_off:
                current_.kind = command_kind::fire_off;
                out.push_back(current_);
                break;
            default:
                current_.kind = command_kind::unknown;
                out.push_back(current_);
                break;
            }
            break;
        }
        case state::fixed_payload: {
            std::size_t take = std::min(current_.bytes.size() - have_, size - i);
            std::copy(data + i, data + i + take, current_.bytes.begin() + static_cast<std::ptrdiff_t>(have_));
            have_ += take;
            i += take;
            if (have_ == current_.bytes.size()) {
                out.push_back(current_);
                state_ = state::command_byte;
            }
            break;
        }
        case state::string_length:
            need_ = data[i++];
            current_.text.reserve(need_);
            if (need_ == 0) {
                out.push_back(current_);
                state_ = state::command_byte;
            } else {
                state_ = state::string_body;
            }
            break;
        case state::string_body: {
            std::size_t take = std::min(need_, size - i);
            current_.text.append(reinterpret_cast<const char*>(data + i), take);
            need_ -= take;
            i += take;
            if (need_ == 0) {
                out.push_back(current_);
                state_ = state::command_byte;
            }
            break;
        }
        }
    }
}

motion decode_drive(std::uint8_t drive0, std::uint8_t drive1) {
    motion m;
    m.speed = std::clamp((static_cast<int>(drive0) - static_cast<int>(drive1)) / 60.0, -1.0, 1.0);
    m.turn = std::clamp((static_cast<int>(drive0) + static_cast<int>(drive1) - 256) / 30.0, -1.0, 1.0);
    return m;
}

std::string escape_text(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        if (b == '\\' || b == '"') {
            s += '\\';
            s += ch;
        } else if (b >= 0x20 && b < 0x7f) {
            s += ch;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            s += hex;
        }
    }
    return s;
}

std::string describe(const command& c) {
    char line[128];
    switch (c.kind) {
    case command_kind::shutdown: {
        bool zero = std::all_of(c.bytes.begin(), c.bytes.end(), [](std::uint8_t b) { return b == 0; });
        if (zero) return "shutdown";
        std::snprintf(line, sizeof line, "shutdown (payload %02x %02x %02x %02x)", c.bytes[0], c.bytes[1],
                      c.bytes[2], c.bytes[3]);
        return line;
    }
    case command_kind::text:
        return "string \"" + escape_text(c.text) + "\"";
    case command_kind::drive: {
        motion m = decode_drive(c.bytes[0], c.bytes[2]);
        std::snprintf(line, sizeof line, "drive %d %d %d %d (speed %.2f turn %.2f)", c.bytes[0], c.bytes[1],
                      c.bytes[2], c.bytes[3], m.speed, m.turn);
        return line;
    }
    case command_kind::fire_on:
        return "fire on";
    case command_kind::fire_off:
        return "fire off";
    case command_kind::unknown:
        break;
    }
    std::snprintf(line, sizeof line, "unknown command byte 0x%02x, skipped", c.code);
    return line;
}

std::uint8_t checksum(const std::uint8_t* data, std::size_t size) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += data[i];
    return static_cast<std::uint8_t>(sum & 0xff);
}

namespace {

void put16(telemetry_packet& p, std::size_t at, std::uint16_t v) {
    p[at] = static_cast<std::uint8_t>(v & 0xff);
    p[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint16_t encode_scaled(double value, double scale) {
    double v = std::round(value * scale);
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 65535) return 65535;
    return static_cast<std::uint16_t>(v);
}

}  // namespace

telemetry_packet build_telemetry(const telemetry_fields& f) {
    telemetry_packet p{};
    p[0] = static_cast<std::uint8_t>(telemetry_size);
    p[1] = packet_telemetry;
    const std::size_t payload = 2;
    for (std::size_t i = 0; i < 4; ++i) p[payload + i] = static_cast<std::uint8_t>(f.counter >> (8 * i));
    put16(p, payload + 4, f.ir);
    put16(p, payload + 6, f.angle);
    put16(p, payload + 8, f.vel_x);
    put16(p, payload + 10, f.vel_y);
    p[payload + 14] = f.wifi;
    p[telemetry_size - 1] = checksum(p.data(), telemetry_size - 1);
    return p;
}

void spoil_checksum(telemetry_packet& packet) {
    packet[telemetry_size - 1] = static_cast<std::uint8_t>(packet[telemetry_size - 1] + 1);
}

std::uint8_t invalid_length_byte(std::uint32_t k) {
    return static_cast<std::uint8_t>(k % 3);
}

std::uint16_t encode_degree_scale(double value) {
    return encode_scaled(value, 65536.0 / 360.0);
}

std::uint16_t encode_tenths_scale(double value) {
    return encode_scaled(value, 65536.0 / 10.0);
}

}  // namespace robot_peer
