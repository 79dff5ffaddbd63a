// The robot's side of the control link: the unframed commands the controller sends, and the
// length-framed, checksummed telemetry packets the robot answers with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace robot_peer {

// Command bytes, controller to robot.
constexpr std::uint8_t cmd_shutdown = 0x02;  // + 4 bytes
constexpr std::uint8_t cmd_string = 0x20;    // + length L + L bytes
constexpr std::uint8_t cmd_drive = 0x30;     // + drive0, drive0, drive1, drive1
constexpr std::uint8_t cmd_fire_on = 0x40;
constexpr std::uint8_t cmd_fire_off = 0x41;

enum class command_kind { shutdown, text, drive, fire_on, fire_off, unknown };

struct command {
    command_kind kind = command_kind::unknown;
    std::uint8_t code = 0;                 // the command byte as received
    std::array<std::uint8_t, 4> bytes{};   // payload of shutdown and drive
    std::string text;                      // payload of the string command, raw bytes
};

// Splits the received byte stream into commands. Bytes may arrive in any pieces: a command
// split across reads is completed by later calls, and one call may complete several.
// A byte that starts no known command becomes a command of kind unknown and is skipped.
class command_parser {
public:
    // Appends every command completed by these bytes to out, in stream order.
    void feed(const std::uint8_t* data, std::size_t size, std::vector<command>& out);
    // Forgets a partly received command (a new connection starts a new stream).
    void reset();
    // True between commands, false while a command is partly received.
    bool between_commands() const { return state_ == state::command_byte; }

private:
    enum class state { command_byte, fixed_payload, string_length, string_body };
    state state_ = state::command_byte;
    command current_;
    std::size_t have_ = 0;  // payload bytes collected for a fixed-size command
    std::size_t need_ = 0;  // string bytes still to come
};

// Speed and turn of a drive command, each in -1..1: the inverse of the controller's
// drive0 = 128 + 30 (speed + turn / 2), drive1 = 128 - 30 (speed - turn / 2).
struct motion {
    double speed = 0;
    double turn = 0;
};
motion decode_drive(std::uint8_t drive0, std::uint8_t drive1);

// Printable ASCII as it is, backslash and double quote escaped with a backslash, every other
// byte as \xNN.
std::string escape_text(std::string_view text);

// One readable line for a command, without the robot's prefix, e.g.
// drive 158 158 98 98 (speed 1.00 turn 0.00).
std::string describe(const command& c);

// Telemetry, robot to controller.
constexpr std::uint8_t packet_telemetry = 0x20;
constexpr std::size_t telemetry_size = 18;  // length, type, 15 payload bytes, checksum
using telemetry_packet = std::array<std::uint8_t, telemetry_size>;

// Raw field values as they travel; the controller converts them (see the encoders below).
struct telemetry_fields {
    std::uint32_t counter = 0;  // payload 0..3, unused by the controller
    std::uint16_t ir = 0;       // payload 4..5, shown as v * 360 / 65536
    std::uint16_t angle = 0;    // payload 6..7, degrees: v * 360 / 65536
    std::uint16_t vel_x = 0;    // payload 8..9, shown as v / 65536 * 10
    std::uint16_t vel_y = 0;    // payload 10..11, likewise
    std::uint8_t wifi = 0;      // payload 14, percent: v * 100 / 255
};

// Low 8 bits of the sum of the bytes.
std::uint8_t checksum(const std::uint8_t* data, std::size_t size);

telemetry_packet build_telemetry(const telemetry_fields& fields);

// Spoils the packet's checksum (for the fault switches): the last byte no longer matches.
void spoil_checksum(telemetry_packet& packet);

// The invalid length byte sent before the k-th spoiled frame (k from 0): 0, 1, 2, 0, ...
std::uint8_t invalid_length_byte(std::uint32_t k);

// Encoders for the controller's two scales, rounding to the nearest value and saturating at
// 0 and 65535.
std::uint16_t encode_degree_scale(double value);    // value * 65536 / 360
std::uint16_t encode_tenths_scale(double value);    // value * 65536 / 10

}  // namespace robot_peer
