// Non-blocking TCP client sockets whose readiness arrives as window messages.
//
// async_select watches a socket for a window: the window's procedure receives the given message
// with the socket as word parameter and, as long parameter, the event in the low 16 bits and an
// error code in the high 16 bits (0 on success). Connect completion, readable data, the peer's
// close and (when asked for) writability are reported. Everything runs on the one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/window.h"

namespace platform {

using socket_t = int;
constexpr socket_t invalid_socket = -1;

enum : unsigned {
    fd_read = 0x01,
    fd_write = 0x02,
    fd_connect = 0x10,
    fd_close = 0x20,
};

// A TCP stream socket, non-blocking from the start; invalid_socket on failure.
socket_t tcp_socket();
// Watches the socket for the window (events 0: stops watching). Returns false on a bad socket.
bool async_select(socket_t s, window w, unsigned msg, unsigned events);
// Starts connecting to an IPv4 address (host byte order) and port; the outcome arrives as an
// fd_connect event. Returns false only when the attempt could not even start.
bool socket_connect(socket_t s, std::uint32_t address, std::uint16_t port);
// Bytes received (0 when the peer has closed), or -1 (would_block() tells a wait from a failure).
long socket_recv(socket_t s, void* buffer, std::size_t size);
// Bytes sent, possibly fewer than asked, or -1.
long socket_send(socket_t s, const void* data, std::size_t size);
bool would_block();
// The error of the last failed call on any socket.
int last_socket_error();
// The error of the last failed call on this socket, 0 when none has failed since it was made.
int socket_error(socket_t s);
// Stops watching and closes. Safe on invalid_socket.
void close_socket(socket_t s);
// Asks for one fd_write event when the socket can take more data.
void want_write(socket_t s);
// Bytes the socket has taken that are not yet on the wire.
long socket_unsent(socket_t s);

// The error a connection ends with when its peer stopped answering.
constexpr int error_timed_out = 110;
// Has the system end the connection when data it sent stays unacknowledged for timeout_ms, and
// probe an idle connection with keep-alives, so a peer that vanished is noticed within seconds:
// the close event then carries error_timed_out.
void supervise_socket(socket_t s, unsigned timeout_ms);

}  // namespace platform
