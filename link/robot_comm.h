// One robot's control link: drive commands out, checksummed telemetry packets in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

class robot_win_class;

class robot_comm_class {
public:
    static constexpr unsigned socket_message = platform::msg_user + 1;
    static constexpr const char* version_text = "0.6.17";
    // Commands waiting for a socket that cannot take them yet; beyond this the link is dropped.
    static constexpr std::size_t max_pending = 16384;
    // A connect with no outcome after this many seconds is given up and tried again.
    static constexpr double connect_timeout_s = 2.0;
    // Sent data unacknowledged for this long means the robot is gone.
    static constexpr unsigned dead_link_ms = 3000;

    platform::socket_t control_socket = platform::invalid_socket;
    bool connected = false;
    bool connecting = false;
    bool stopped = false;
    int rx_state = 0;
    unsigned int rx_count = 0;
    unsigned int rx_length = 0;
    unsigned char rx_buffer[1024] = {};
    robot_win_class* owner = nullptr;

    explicit robot_comm_class(robot_win_class* owner);
    ~robot_comm_class();
    robot_comm_class(const robot_comm_class&) = delete;
    robot_comm_class& operator=(const robot_comm_class&) = delete;

    void network_check();
    void connect_to_server();
    void control_socket_message(unsigned int socket, long event);
    void read_server_data();
    int node_process_byte(unsigned char byte);
    bool validate_packet(unsigned char* packet, unsigned int length);
    int process_packet(unsigned char* packet, unsigned int length);
    void send_packet(const unsigned char* data, unsigned int length);
    void send_string(const char* text);
    void send_version();
    void send_controller_values();
    void send_keep_alive();
    void motion_stop();
    void fire_on();
    void fire_off();
    void remote_shutdown();
    void do_connect();
    void disconnect();
    void shutdown_network();
    void network_error();

    // Bytes of commands accepted but not yet on the wire.
    std::size_t pending_bytes() const { return pending_len_; }

private:
    // Sends whole commands only: what the socket does not take now is finished when it can.
    // Returns false when the send failed.
    bool send_whole(const unsigned char* data, std::size_t length);
    void flush_pending();
    void close_link();
    void reset_receive();
    // The connection is gone for good: closed, and the robot's name is looked up again.
    void lose_link();
    // A send failed because the robot stopped acknowledging: reported and dropped. False when
    // the failure had another cause.
    bool drop_if_dead();
    // Whether the link is connected; if not, says so once until it connects again.
    bool can_send();

    unsigned char pending_[max_pending] = {};
    std::size_t pending_len_ = 0;
    double connect_started_ = 0;
    bool told_not_connected_ = false;
};
