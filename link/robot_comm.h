// One robot's control link: drive commands out, checksummed telemetry packets in.
//
// The console that owns it hands it the drive bytes to send and takes the telemetry it receives;
// the link says what the operator should hear through its one callback (`half.alert`).
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/socket_half.h"
#include "platform/socket.h"
#include "support/version.h"

class robot_comm_class {
public:
    static constexpr unsigned socket_message = platform::msg_user + 1;
    static constexpr const char* version_text = swarm_version;
    // Commands waiting for a socket that cannot take them yet; beyond this the link is dropped.
    static constexpr std::size_t max_pending = 16384;
    static constexpr double connect_timeout_s = socket_half::connect_timeout_s;
    static constexpr unsigned dead_link_ms = socket_half::dead_link_ms;
    // The telemetry fields a type 0x20 packet must carry.
    static constexpr unsigned telemetry_payload_size = 15;
    // The four drive bytes the robot's drive command encodes.
    static constexpr unsigned drive_size = 4;

    // The socket half shared with the camera link, and the names this link knows its parts by.
    socket_half half{"[Nodecomm]", socket_message};
    platform::socket_t& control_socket = half.socket;
    bool& connected = half.connected;
    bool& connecting = half.connecting;
    bool stopped = false;
    int rx_state = 0;
    unsigned int rx_count = 0;
    unsigned int rx_length = 0;
    unsigned char rx_buffer[1024] = {};
    // The payload of the last telemetry packet received whole.
    unsigned char telemetry[256] = {};
    unsigned int telemetry_length = 0;
    // The telemetry fields of every packet of the last read, oldest first: one read holds at most
    // 512 bytes, so no more than 29 packets of 18 bytes end in it.
    static constexpr unsigned max_telemetry_batch = 32;
    unsigned char telemetry_batch[max_telemetry_batch][telemetry_payload_size] = {};
    unsigned telemetry_batch_count = 0;
    // The robot's name as the run's record shows its commands; it outlives the link.
    const char* robot_name = "";

    // The robot's host and control port; both outlive the link.
    robot_comm_class(const char* host, int port);
    ~robot_comm_class();
    robot_comm_class(const robot_comm_class&) = delete;
    robot_comm_class& operator=(const robot_comm_class&) = delete;

    // The once-a-second check: gives up an overdue attempt, connects when idle and not stopped,
    // and sends the drive bytes.
    void network_check(const unsigned char* drive);
    void connect_to_server();
    // A socket notice. True when it brought telemetry (the last packet's is in `telemetry`).
    bool control_socket_message(unsigned int socket, long event);
    // Receives what has arrived; true when it held a whole telemetry packet.
    bool read_server_data();
    // 1 for a byte that ended a packet that was refused, 2 for one that ended a telemetry
    // packet, otherwise 0.
    int node_process_byte(unsigned char byte);
    bool validate_packet(unsigned char* packet, unsigned int length);
    // 1 when the packet was telemetry (kept in `telemetry`), otherwise 0.
    int process_packet(unsigned char* packet, unsigned int length);
    void send_packet(const unsigned char* data, unsigned int length);
    void send_string(const char* text);
    void send_version();
    void send_controller_values(const unsigned char* drive);
    void send_keep_alive(const unsigned char* drive);
    // Says the robot is being stopped and sends the stop; the owner stops its robot too.
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

    const char* host_;
    int port_;
    unsigned char pending_[max_pending] = {};
    std::size_t pending_len_ = 0;
    bool told_not_connected_ = false;
};
