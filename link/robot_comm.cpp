#include "link/robot_comm.h"

#include <algorithm>
#include <cstring>

#include "support/log.h"
#include "support/maths.h"
#include "support/record.h"

using namespace platform;

robot_comm_class::robot_comm_class(const char* host, int port) : host_(host), port_(port) {}

robot_comm_class::~robot_comm_class() { close_link(); }

void robot_comm_class::reset_receive() {
    rx_state = 0;
    rx_count = 0;
    rx_length = 0;
}

void robot_comm_class::close_link() {
    // A closed socket reports nothing more, so an attempt under way has ended too.
    half.close();
    pending_len_ = 0;
}

void robot_comm_class::lose_link() {
    // A robot that was reached may come back elsewhere: its name is looked up again for the
    // next attempt. A failed attempt keeps the address, so the next check tries again at once.
    half.lose(host_);
    pending_len_ = 0;
}

bool robot_comm_class::drop_if_dead() {
    if (!connected || socket_error(control_socket) != error_timed_out) return false;
    half.tell("[Nodecomm] No answer from the robot; dropping the link.");
    network_error();
    return true;
}

bool robot_comm_class::can_send() {
    if (connected) return true;
    // Nothing is sent on a link that is not connected; the operator hears of it once until the
    // link connects again, however many commands come.
    if (!told_not_connected_) half.tell("[Nodecomm] Unable to send data: not connected");
    told_not_connected_ = true;
    return false;
}

void robot_comm_class::network_check(const unsigned char* drive) {
    if (half.connect_overdue()) {
        // An attempt that never reports (its packets lost on the way) is given up.
        half.tell("[Nodecomm] Time out.");
        lose_link();
    }
    if (!connected && !connecting && !stopped) connect_to_server();
    send_controller_values(drive);
}

void robot_comm_class::connect_to_server() {
    half.tell("[Nodecomm] Connecting to %s:%d ", host_, port_);
    std::uint32_t address = 0;
    if (!half.resolve(host_, address, this)) return;
    close_link();
    half.start(address, static_cast<std::uint16_t>(port_));
}

bool robot_comm_class::control_socket_message(unsigned int, long event) {
    switch (half.take(event)) {
    case socket_half::notice::readable:
        return read_server_data();
    case socket_half::notice::connected:
        told_not_connected_ = false;
        // Bytes of an earlier connection's unfinished packet are not the start of this one.
        reset_receive();
        send_version();
        break;
    case socket_half::notice::failed:
    case socket_half::notice::closed:
        lose_link();
        break;
    case socket_half::notice::timed_out:
        network_error();
        break;
    case socket_half::notice::writable:
        flush_pending();
        break;
    case socket_half::notice::none:
        break;
    }
    return false;
}

bool robot_comm_class::read_server_data() {
    unsigned char buffer[512];
    const long n = socket_recv(control_socket, buffer, sizeof buffer);
    bool telemetry_came = false;
    telemetry_batch_count = 0;
    for (long i = 0; i < n; ++i) telemetry_came |= node_process_byte(buffer[i]) == 2;
    return telemetry_came;
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
        half.tell("[Nodecomm] Invalid packet size (%d) \n", byte);
        return 1;
    }
    if (rx_count >= sizeof rx_buffer) {
        half.tell("[Nodecomm] Process byte buffer size exceeded\n");
        rx_state = 0;
        return 1;
    }
    rx_buffer[rx_count++] = byte;
    if (rx_count < rx_length) return 0;
    rx_state = 0;
    if (validate_packet(rx_buffer, rx_count)) {
        half.tell("[Nodecomm] Unable to validate packet\n");
        return 1;
    }
    return process_packet(rx_buffer + 1, rx_length - 2) == 1 ? 2 : 0;
}

bool robot_comm_class::validate_packet(unsigned char* packet, unsigned int length) {
    if (length < 1) return true;
    const unsigned char expected = get_checksum(packet, length - 1);
    const unsigned char actual = packet[length - 1];
    if (actual != expected) {
        half.tell("[Nodecomm] Invalid packet checksum actual: %02x  Expected: %02x\n", actual, expected);
        return true;
    }
    return false;
}

int robot_comm_class::process_packet(unsigned char* packet, unsigned int length) {
    if (length < 1 || packet[0] != 0x20) return 0;
    // A telemetry packet too short for its fields would be read from stale bytes: drop it.
    if (length - 1 < telemetry_payload_size) {
        log("[Nodecomm] Telemetry packet of %u payload bytes is too short; dropped\n", length - 1);
        return 0;
    }
    telemetry_length = length - 1;
    std::memcpy(telemetry, packet + 1, telemetry_length);
    if (telemetry_batch_count < max_telemetry_batch)
        std::memcpy(telemetry_batch[telemetry_batch_count++], packet + 1, telemetry_payload_size);
    return 1;
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
        half.tell("[Nodecomm] Unable to send data");
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
        half.tell("[Nodecomm] Unable to send data");
        half.tell("Error: %ld ", static_cast<long>(socket_error(control_socket)));
        network_error();
    }
}

void robot_comm_class::send_string(const char* text) {
    const std::size_t full = std::strlen(text);
    const unsigned L = static_cast<unsigned>(std::min<std::size_t>(full, 255));
    if (!can_send()) return;
    half.tell("[Nodecomm] Send string: %s", text);
    unsigned char bytes[257];
    bytes[0] = 0x20;
    bytes[1] = static_cast<unsigned char>(L);
    std::memcpy(bytes + 2, text, L);
    if (!send_whole(bytes, L + 2)) {
        if (drop_if_dead()) return;
        half.tell("[Nodecomm] Unable to send data");
        network_error();
    }
}

void robot_comm_class::send_version() { send_string(version_text); }

void robot_comm_class::send_controller_values(const unsigned char* drive) {
    if (!connected) return;
    // A drive command is a state, not an event: while earlier bytes still wait to go out (a
    // stalled or slow network), this one is skipped rather than queued, so the robot never gets
    // a burst of stale commands when the network comes back. The next one carries the state.
    if (pending_len_ > 0 || socket_unsent(control_socket) > 0) return;
    unsigned char bytes[1 + drive_size] = {0x30};
    std::memcpy(bytes + 1, drive, drive_size);
    send_packet(bytes, sizeof bytes);
    // A send that failed has dropped the link.
    if (connected) run_record().command(robot_name, bytes, sizeof bytes);
}

void robot_comm_class::send_keep_alive(const unsigned char* drive) { send_controller_values(drive); }

void robot_comm_class::motion_stop() {
    half.tell("[Nodecomm] Stopping");
    // The drive bytes of a stop: 128 is no speed and no turn.
    const unsigned char stop[drive_size] = {128, 128, 128, 128};
    send_controller_values(stop);
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
        half.tell("[Nodecomm] Remote shutdown not sent: not connected");
        return;
    }
    const unsigned char cmd[5] = {0x02, 0, 0, 0, 0};
    send_packet(cmd, 5);
    half.tell("[Nodecomm] Sent remote shutdown command.");
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
        if (pending_len_ > 0) half.tell("[Nodecomm] Unable to send data");
    }
    close_link();
    connected = false;
    stopped = true;
    half.tell("[Nodecomm] Disconnect.");
}

void robot_comm_class::shutdown_network() { close_link(); }

void robot_comm_class::network_error() {
    log("[Nodecomm] robot_comm_class::network_error \n");
    lose_link();
}
