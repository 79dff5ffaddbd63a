// The peer's network side: one listening socket per served robot, one client per robot at
// a time, all driven from a single poll loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/robot_peer/out_queue.h"
#include "tools/robot_peer/protocol.h"
#include "tools/robot_peer/robot_sim.h"
#include "tools/robot_peer/settings.h"

namespace robot_peer {

using steady = std::chrono::steady_clock;

// The controller's end of one link, as accepted by a listener.
struct client_link {
    int fd = -1;
    std::string from;  // "address:port" of the controller
    command_parser parser;
    out_queue out;
    std::uint32_t packets = 0;          // telemetry packets queued on this connection
    std::uint32_t invalid_lengths = 0;  // invalid length bytes sent on this connection
    steady::time_point next_telemetry;
    bool told_dropping = false;  // the "not reading" line has been printed for this connection
};

// The controller's end of a camera link. Each request byte earns one reply (a size packet and
// the JPEG data of a new frame); a frame is only made once the previous reply has gone out.
struct camera_client {
    int fd = -1;
    std::string from;  // "address:port" of the controller
    out_queue out;     // holds at most one reply
    std::uint64_t requests = 0;       // requests not yet answered
    std::uint32_t replies = 0;        // replies queued on this connection, numbered from 1
    std::uint32_t oversized = 0;      // oversize replies so far, to take their two kinds in turn
    std::uint32_t strange_bytes = 0;  // bytes other than requests received on this connection
    bool closing = false;             // the reply going out is cut short: close once it is out
    // The camera's frame clock: frame k after the origin is due at origin + k / fps. A request
    // that comes before the next frame is due waits for it; one that comes later starts the
    // clock again at its arrival and is answered at once.
    steady::time_point frame_origin;
    std::uint64_t frames_since_origin = 0;
};

// Everything the peer keeps for one robot it stands in for. The control link listens on
// port, the camera link on port + 1; both are served by the same loop.
struct robot_endpoint {
    std::string name;
    int port = 0;
    std::string tag;  // "name:port", the prefix of every line about this robot
    int control_listener = -1;
    steady::time_point accept_resume;  // after a failed accept (out of descriptors), wait until then
    client_link control;
    robot_sim sim;
    steady::time_point last_step;   // the simulation has been advanced up to here
    steady::time_point last_heard;  // last byte from the controller (or its connect)

    std::string camera_tag;  // "name:port+1 camera", the prefix of every line about the camera
    int camera_listener = -1;
    steady::time_point camera_accept_resume;
    camera_client camera;
    unsigned scene_frame = 0;             // the next frame of the scene; runs on across connections
    std::vector<std::uint8_t> canvas;     // the scene in RGB, allocated with the first frame
    bool summary_open = false;            // frames are being counted for the next summary line
    steady::time_point summary_start;  // the frame time that opened the summary's five seconds
    std::uint32_t summary_frames = 0;
};

// Holds SIGINT and SIGTERM back from their default action so that the loop receives them as
// events; called first thing, before anything can be interrupted half-way.
void hold_stop_signals();

class peer_server {
public:
    peer_server(const options& opts, std::vector<robot_endpoint> robots);
    ~peer_server();
    peer_server(const peer_server&) = delete;
    peer_server& operator=(const peer_server&) = delete;

    // Opens the listeners; a port that cannot be bound is reported and left out.
    // Returns how many robots are served.
    int listen_all();
    // Serves until SIGINT or SIGTERM arrives; returns the exit code.
    int run();

private:
    enum class role { control_listener, control_client, camera_listener, camera_client };
    struct slot {
        robot_endpoint* robot;
        role what;
    };

    void say(const robot_endpoint& r, const std::string& text) const;
    void say_camera(const robot_endpoint& r, const std::string& text) const;
    void accept_control(robot_endpoint& r, steady::time_point now);
    void read_control(robot_endpoint& r, steady::time_point now);
    void handle_command(robot_endpoint& r, const command& c);
    void send_telemetry(robot_endpoint& r, steady::time_point now);
    bool flush(robot_endpoint& r);  // false when the connection was lost
    void drop_control(robot_endpoint& r, const char* why);
    void listen_camera(robot_endpoint& r);
    void accept_camera(robot_endpoint& r, steady::time_point now);
    void read_camera(robot_endpoint& r, steady::time_point now);
    void serve_camera(robot_endpoint& r, steady::time_point now);  // answers requests now due
    steady::time_point frame_due(const camera_client& c) const;    // when the next frame is due
    void queue_frame(robot_endpoint& r, steady::time_point due);
    bool flush_camera(robot_endpoint& r);  // false when the connection was closed
    void drop_camera(robot_endpoint& r, const std::string& why);
    // Every five seconds of frame times while frames go out: how many, and how fast. Writes
    // the lines of the periods that end by the given time.
    void summarize_camera(robot_endpoint& r, steady::time_point until);
    void tick(steady::time_point now);
    int poll_timeout_ms(steady::time_point now) const;
    bool telemetry_wanted(const robot_endpoint& r) const;

    options opts_;
    std::vector<robot_endpoint> robots_;
    steady::duration telemetry_period_;
    int signal_fd_ = -1;
};

}  // namespace robot_peer
