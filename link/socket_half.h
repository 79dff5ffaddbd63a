// The socket half both links to a robot share: connecting (name look-up, the socket, supervision
// and its notices to the console's window), the connect and close reports, and losing the link.
// What goes over the socket is each link's own; what it has to say to the operator goes out
// through its one callback, already formatted, with the link's tag in front.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/socket.h"

class socket_half {
public:
    // Sent data unacknowledged for this long means the robot is gone.
    static constexpr unsigned dead_link_ms = 3000;
    // A connect with no outcome after this many seconds may be given up.
    static constexpr double connect_timeout_s = 2.0;

    // What a socket notice turned out to be, once the connect and close reports are dealt with.
    enum class notice { none, connected, failed, readable, writable, closed, timed_out };

    // `tag` begins every line for the operator ("[Nodecomm]", "[Camera]"); `message` is the
    // window message the socket's notices arrive as.
    socket_half(const char* tag, unsigned message);
    ~socket_half();
    socket_half(const socket_half&) = delete;
    socket_half& operator=(const socket_half&) = delete;

    platform::socket_t socket = platform::invalid_socket;
    bool connected = false;
    bool connecting = false;
    // The window the notices go to; its owner sets it when the window exists.
    platform::window window = nullptr;
    // The one way up: a line for the operator.
    std::function<void(const char* line)> alert;

    // Says a line for the operator: the tag, a blank and the formatted text.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Says a line for the operator as it is formatted, with no tag added.
    void tell(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Looks the host up for `asker`: false while the name is being looked up, and when the look-up
    // failed (which is said).
    bool resolve(const char* host, std::uint32_t& address, const void* asker);
    // Starts connecting a new socket to the address, its notices going to `window`; false (and
    // said) when no socket could be had.
    bool start(std::uint32_t address, std::uint16_t port);
    // Reads a socket notice: a connect's outcome and a close are reported and acted on (a failed
    // connect or a close loses the link; a close for lack of answer is left to the caller).
    notice take(long event);
    // Whether an attempt has gone on longer than connect_timeout_s.
    bool connect_overdue() const;
    // Closes the socket; an attempt under way ends with it.
    void close();
    // The connection is gone: closed, and if it had been made the host's name is looked up
    // again next time (a failed attempt keeps the address, so the next one tries at once).
    void lose(const char* host);

private:
    const char* tag_;
    unsigned message_;
    double connect_started_ = 0;
};
