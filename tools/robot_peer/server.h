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
};

// Everything the peer keeps for one robot it stands in for. The control link listens on
// port; the robot's camera link belongs on port + 1 and gets a listener and a client of its
// own here, served by the same loop.
struct robot_endpoint {
    std::string name;
    int port = 0;
    std::string tag;  // "name:port", the prefix of every line about this robot
    int control_listener = -1;
    client_link control;
    robot_sim sim;
    steady::time_point last_step;   // the simulation has been advanced up to here
    steady::time_point last_heard;  // last byte from the controller (or its connect)
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
    enum class role { control_listener, control_client };
    struct slot {
        robot_endpoint* robot;
        role what;
    };

    void say(const robot_endpoint& r, const std::string& text) const;
    void accept_control(robot_endpoint& r, steady::time_point now);
    void read_control(robot_endpoint& r, steady::time_point now);
    void handle_command(robot_endpoint& r, const command& c);
    void send_telemetry(robot_endpoint& r, steady::time_point now);
    bool flush(robot_endpoint& r);  // false when the connection was lost
    void drop_control(robot_endpoint& r, const char* why);
    void tick(steady::time_point now);
    int poll_timeout_ms(steady::time_point now) const;
    bool telemetry_wanted(const robot_endpoint& r) const;

    options opts_;
    std::vector<robot_endpoint> robots_;
    steady::duration telemetry_period_;
    int signal_fd_ = -1;
};

}  // namespace robot_peer
