// What the peer serves and how it misbehaves: command-line options and the robot list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace robot_peer {

struct options {
    std::string config = "robots.txt";
    bool config_given = false;      // --config was named; otherwise it is read only without --port
    std::vector<int> ports;         // --port, each serves one robot named "robot"
    std::string bind = "127.0.0.1";
    bool quiet = false;             // no line per received command
    std::uint32_t bad_checksum_every = 0;  // 0: never
    std::uint32_t bad_length_every = 0;    // 0: never
    std::uint32_t close_after = 0;         // 0: never
    bool silent = false;
    double telemetry_hz = 10;

    // The camera link, one per robot on the port after its control port.
    bool camera = true;  // --no-camera: no camera ports at all
    int camera_width = 320;
    int camera_height = 240;
    int camera_quality = 75;
    double camera_fps = 30;  // frames are at least 1/camera_fps apart
    std::uint32_t camera_bad_checksum_every = 0;  // 0: never
    std::uint32_t camera_oversize_every = 0;      // 0: never
    std::uint32_t camera_bad_marker_every = 0;    // 0: never
    std::optional<std::uint32_t> camera_close_mid_frame;  // frames sent whole before the cut one
    bool camera_byte_at_a_time = false;
    bool camera_silent = false;
};

// The largest picture the controller's camera buffers hold.
constexpr int camera_max_width = 640;
constexpr int camera_max_height = 480;

struct parsed_options {
    options opts;
    bool help = false;
    std::string error;  // non-empty: bad usage
};

// Parses the arguments after the program name. "--name value" and "--name=value" both work.
parsed_options parse_options(const std::vector<std::string>& args);
std::string usage_text();

// One complete record of a robot list: name, host and control port (the camera link uses
// the port after it). Fields after the third are not needed here.
struct robot_record {
    std::string name;
    std::string host;
    long port = 0;  // as written; not yet checked for range
};

// Reads a robot list as the controller does: "#" starts a comment that runs to the end of
// its line, fields are separated by blanks or tabs, a line needs five fields, a number
// field that does not start with a number counts as 0, and only the first 99 records
// become robots.
std::vector<robot_record> parse_robot_list(std::string_view text);

// 127.0.0.1 or localhost: the hosts this peer stands in for.
bool is_local_host(std::string_view host);

}  // namespace robot_peer
