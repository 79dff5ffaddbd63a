#include "link/robot_comm.h"

#include <algorithm>
#include <cstring>

#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "robot/robot.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/maths.h"

using namespace platform;

robot_comm_class::robot_comm_class(robot_win_class* o) : owner(o) {}

robot_comm_class::~robot_comm_class() { close_link(); }

void robot_comm_class::reset_receive() {
    rx_state = 0;
    rx_count = 0;
    rx_length = 0;
}

void robot_comm_class::close_link() {
    close_socket(control_socket);
    control_socket = invalid_socket;
    // A closed socket reports nothing more, so an attempt under way has ended too.
    connecting = false;
    pending_len_ = 0;
}

void robot_comm_class::lose_link() {
    const bool was_connected = connected;
    connected = false;
    close_link();
    // A robot that was reached may come back elsewhere: its name is looked up again for the
    // next attempt. A failed attempt keeps the address, so the next check tries again at once.
    if (was_connected) forget_host(owner->robot->host);
}

bool robot_comm_class::drop_if_dead() {
    if (!connected || socket_error(control_socket) != error_timed_out) return false;
    owner->alert("[Nodecomm] No answer from the robot; dropping the link.");
    network_error();
    return true;
}

bool robot_comm_class::can_send() {
    if (connected) return true;
    // Nothing is sent on a link that is not connected; the operator hears of it once until the
    // link connects again, however many commands come.
    if (!told_not_connected_) owner->alert("[Nodecomm] Unable to send data: not connected");
    told_not_connected_ = true;
    return false;
}

void robot_comm_class::network_check() {
    if (connecting && get_wall_time() - connect_started_ > connect_timeout_s) {
        // An attempt that never reports (its packets lost on the way) is given up.
        owner->alert("[Nodecomm] Time out.");
        lose_link();
    }
    if (!connected && !connecting && !stopped) connect_to_server();
    send_controller_values();
}

void robot_comm_class::connect_to_server() {
    robot_class* robot = owner->robot;
    owner->alert("[Nodecomm] Connecting to %s:%d ", robot->host, robot->port);
    std::uint32_t address = 0;
    switch (resolve_host(robot->host, address, this)) {
    case resolve_result::pending:
        return;  // the name is being looked up; the next check connects
    case resolve_result::failed:
        owner->alert("[Nodecomm] Host name error.");
        return;
    case resolve_result::resolved:
        break;
    }
    close_link();
    control_socket = tcp_socket();
    if (control_socket == invalid_socket) {
        owner->alert("[Nodecomm] Socket error.");
        return;
    }
    supervise_socket(control_socket, dead_link_ms);
    async_select(control_socket, owner->hwnd, socket_message, fd_read | fd_write | fd_connect | fd_close);
    connected = false;
    connecting = true;
    connect_started_ = get_wall_time();
    socket_connect(control_socket, address, static_cast<std::uint16_t>(robot->port));
}

void robot_comm_class::control_socket_message(unsigned int, long event) {
    const unsigned what = static_cast<unsigned>(event) & 0xFFFF;
    const unsigned error = (static_cast<unsigned long>(event) >> 16) & 0xFFFF;
    switch (what) {
    case fd_read:
        read_server_data();
        break;
    case fd_connect:
        if (error == 0) {
            owner->alert("[Nodecomm] Connected.");
            connected = true;
            connecting = false;
            told_not_connected_ = false;
            // Bytes of an earlier connection's unfinished packet are not the start of this one.
            reset_receive();
            send_version();
        } else {
            owner->alert("[Nodecomm] Time out.");
            connecting = false;
            lose_link();
        }
        break;
    case fd_close:
        if (error == static_cast<unsigned>(error_timed_out)) {
            owner->alert("[Nodecomm] No answer from the robot; dropping the link.");
            network_error();
        } else {
            owner->alert("[Nodecomm] Server disconnect.");
            lose_link();
        }
        break;
    case fd_write:
        flush_pending();
        break;
    default:
        break;
    }
}

void robot_comm_class::read_server_data() {
    unsigned char buffer[512];
    const long n = socket_recv(control_socket, buffer, sizeof buffer);
    if (n <= 0) return;
    for (long i = 0; i < n; ++i) node_process_byte(buffer[i]);
}

int robot_comm_class::node_process_byte(unsigned char byte) {
    if (rx_state == 0) {
        rx_length = byte;
        rx_buffer[0] = byte;
        rx_count = 1;
        if (byte > 2) {
            rx_state = 1;
            return 0;
        }
        owner->alert("[Nodecomm] Invalid packet size (%d) \n", byte);
        return 1;
    }
    if (rx_count >= sizeof rx_buffer) {
        owner->alert("[Nodecomm] Process byte buffer size exceeded\n");
        rx_state = 0;
        return 1;
    }
    rx_buffer[rx_count++] = byte;
    if (rx_count < rx_length) return 0;
    rx_state = 0;
    if (validate_packet(rx_buffer, rx_count)) {
        owner->alert("[Nodecomm] Unable to validate packet\n");
        return 1;
    }
    process_packet(rx_buffer + 1, rx_length - 2);
    return 0;
}

bool robot_comm_class::validate_packet(unsigned char* packet, unsigned int length) {
    if (length < 1) return true;
    const unsigned char expected = get_checksum(packet, length - 1);
    const unsigned char actual = packet[length - 1];
    if (actual != expected) {
        owner->alert("[Nodecomm] Invalid packet checksum actual: %02x  Expected: %02x\n", actual, expected);
        return true;
    }
    return false;
}

int robot_comm_class::process_packet(unsigned char* packet, unsigned int length) {
    if (length < 1 || packet[0] != 0x20) return 0;
    // A telemetry packet too short for its fields would be read from stale bytes: drop it.
    if (length - 1 < robot_class::telemetry_payload_size) {
        log("[Nodecomm] Telemetry packet of %u payload bytes is too short; dropped\n", length - 1);
        return 0;
    }
    owner->robot->process_telemetry(packet + 1, length - 1);
    return 0;
}

bool robot_comm_class::send_whole(const unsigned char* data, std::size_t length) {
    if (pending_len_ > 0) {
        if (pending_len_ + length > max_pending) {
            log("[Nodecomm] The robot is not taking commands; dropping the link\n");
            return false;
        }
        std::memcpy(pending_ + pending_len_, data, length);
        pending_len_ += length;
        return true;
    }
    const long n = socket_send(control_socket, data, length);
    if (n < 0 && !would_block()) return false;
    const std::size_t sent = n < 0 ? 0 : static_cast<std::size_t>(n);
    // Only a connected socket may hold the rest of a command: one still connecting would deliver
    // it, long after it was chosen, ahead of the version string.
    if (sent < length && !connected) return false;
    if (sent < length) {
        // Never leave half a command on the wire: the rest goes as soon as the socket can take it.
        std::memcpy(pending_, data + sent, length - sent);
        pending_len_ = length - sent;
        want_write(control_socket);
    }
    return true;
}

void robot_comm_class::flush_pending() {
    if (pending_len_ == 0) return;
    const long n = socket_send(control_socket, pending_, pending_len_);
    if (n < 0) {
        if (would_block()) {
            want_write(control_socket);
            return;
        }
        if (drop_if_dead()) return;
        owner->alert("[Nodecomm] Unable to send data");
        network_error();
        return;
    }
    const std::size_t sent = static_cast<std::size_t>(n);
    std::memmove(pending_, pending_ + sent, pending_len_ - sent);
    pending_len_ -= sent;
    if (pending_len_ > 0) want_write(control_socket);
}

void robot_comm_class::send_packet(const unsigned char* data, unsigned int length) {
    if (!can_send()) return;
    if (!send_whole(data, length)) {
        if (drop_if_dead()) return;
        owner->alert("[Nodecomm] Unable to send data");
        owner->alert("Error: %ld ", static_cast<long>(socket_error(control_socket)));
        network_error();
    }
}

void robot_comm_class::send_string(const char* text) {
    const std::size_t full = std::strlen(text);
    const unsigned L = static_cast<unsigned>(std::min<std::size_t>(full, 255));
    if (!can_send()) return;
    owner->alert("[Nodecomm] Send string: %s", text);
    unsigned char bytes[257];
    bytes[0] = 0x20;
    bytes[1] = static_cast<unsigned char>(L);
    std::memcpy(bytes + 2, text, L);
    if (!send_whole(bytes, L + 2)) {
        if (drop_if_dead()) return;
        owner->alert("[Nodecomm] Unable to send data");
        network_error();
    }
}

void robot_comm_class::send_version() { send_string(version_text); }

void robot_comm_class::send_controller_values() {
    if (!connected) return;
    // A drive command is a state, not an event: while earlier bytes still wait to go out (a
    // stalled or slow network), this one is skipped rather than queued, so the robot never gets
    // a burst of stale commands when the network comes back. The next one carries the state.
    if (pending_len_ > 0 || socket_unsent(control_socket) > 0) return;
    unsigned char bytes[5] = {0x30};
    owner->robot->get_control_data(bytes + 1);
    send_packet(bytes, 5);
}

void robot_comm_class::send_keep_alive() { send_controller_values(); }

void robot_comm_class::motion_stop() {
    owner->alert("[Nodecomm] Stopping");
    owner->robot->motion(0, 0);
    send_controller_values();
}

void robot_comm_class::fire_on() {
    const unsigned char cmd = 0x40;
    send_packet(&cmd, 1);
}

void robot_comm_class::fire_off() {
    const unsigned char cmd = 0x41;
    send_packet(&cmd, 1);
}

void robot_comm_class::remote_shutdown() {
    if (!connected) {
        // The operator asked for it: told every time, not once.
        owner->alert("[Nodecomm] Remote shutdown not sent: not connected");
        return;
    }
    const unsigned char cmd[5] = {0x02, 0, 0, 0, 0};
    send_packet(cmd, 5);
    owner->alert("[Nodecomm] Sent remote shutdown command.");
}

void robot_comm_class::do_connect() {
    // An open connection is closed first, not left open beneath the next one.
    if (connected) close_link();
    connected = false;
    stopped = false;
}

void robot_comm_class::disconnect() {
    send_string("Good bye!");
    if (pending_len_ > 0) {
        // The farewell did not go out whole: one more try, and if it still cannot, say so
        // rather than dropping it silently with the socket.
        flush_pending();
        if (pending_len_ > 0) owner->alert("[Nodecomm] Unable to send data");
    }
    close_link();
    connected = false;
    stopped = true;
    owner->alert("[Nodecomm] Disconnect.");
    owner->camera->camera_disconnect();
}

void robot_comm_class::shutdown_network() {
    close_link();
    owner->camera->camera_disconnect();
}

void robot_comm_class::network_error() {
    log("[Nodecomm] robot_comm_class::network_error \n");
    lose_link();
}
