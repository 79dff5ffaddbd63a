#include "link/socket_half.h"

#include <cstdarg>
#include <cstdio>

#include "platform/resolver.h"
#include "support/clock.h"

using namespace platform;

socket_half::socket_half(const char* tag, unsigned message) : tag_(tag), message_(message) {}

socket_half::~socket_half() { close(); }

void socket_half::say(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    tell("%s %s", tag_, text);
}

void socket_half::tell(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (alert) alert(line);
}

bool socket_half::resolve(const char* host, std::uint32_t& address, const void* asker) {
    switch (resolve_host(host, address, asker)) {
    case resolve_result::pending:
        return false;  // the name is being looked up; the next check connects
    case resolve_result::failed:
        say("Host name error.");
        return false;
    case resolve_result::resolved:
        break;
    }
    return true;
}

bool socket_half::start(std::uint32_t address, std::uint16_t port) {
    close();
    socket = tcp_socket();
    if (socket == invalid_socket) {
        say("Socket error.");
        return false;
    }
    supervise_socket(socket, dead_link_ms);
    async_select(socket, window, message_, fd_read | fd_write | fd_connect | fd_close);
    connected = false;
    connecting = true;
    connect_started_ = get_wall_time();
    socket_connect(socket, address, port);
    return true;
}

socket_half::notice socket_half::take(long event) {
    const unsigned what = static_cast<unsigned>(event) & 0xFFFF;
    const unsigned error = (static_cast<unsigned long>(event) >> 16) & 0xFFFF;
    switch (what) {
    case fd_read:
        return notice::readable;
    case fd_write:
        return notice::writable;
    case fd_connect:
        if (error == 0) {
            say("Connected.");
            connected = true;
            connecting = false;
            return notice::connected;
        }
        say("Time out.");
        return notice::failed;
    case fd_close:
        if (error == static_cast<unsigned>(error_timed_out)) {
            say("No answer from the robot; dropping the link.");
            return notice::timed_out;
        }
        say("Server disconnect.");
        return notice::closed;
    default:
        return notice::none;
    }
}

bool socket_half::connect_overdue() const {
    return connecting && get_wall_time() - connect_started_ > connect_timeout_s;
}

void socket_half::close() {
    close_socket(socket);
    socket = invalid_socket;
    connecting = false;
}

void socket_half::lose(const char* host) {
    const bool was_connected = connected;
    connected = false;
    close();
    if (was_connected) forget_host(host);
}
