// Raw ends of the links on 127.0.0.1 for tests: addresses, listening and connecting sockets,
// free ports, a small server that accepts one client at a time and collects what it sends while
// the test pumps the program's event loop, a client that connects and reads, and the sizes of
// the commands the controller sends.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/window.h"

namespace test_support {

inline sockaddr_in loopback_address(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    return sa;
}

// The port a socket is bound to; -1 when it is not.
inline int bound_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    return ntohs(sa.sin_port);
}

// A socket bound to 127.0.0.1 at the port (0: a free one the kernel chooses); -1 when it
// cannot be bound. With a backlog of 0 or more it also listens; flags go to socket().
inline int bound_socket(int port, int backlog = -1, int type = SOCK_STREAM, int flags = SOCK_CLOEXEC) {
    const int fd = ::socket(AF_INET, type | flags, 0);
    if (fd < 0) return -1;
    const int one = 1;
    if (type == SOCK_STREAM && backlog >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = loopback_address(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || (backlog >= 0 && ::listen(fd, backlog) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A connected socket to 127.0.0.1 at the port, or -1.
inline int connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = loopback_address(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return fd;
    ::close(fd);
    return -1;
}

// Ports nobody listens on right now, all different: bound together by the kernel's choice
// and released.
inline std::vector<int> free_ports(int n) {
    std::vector<int> fds, ports;
    for (int i = 0; i < n; ++i) {
        fds.push_back(bound_socket(0));
        ports.push_back(bound_port(fds.back()));
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    return ports;
}

inline int free_port() {
    return free_ports(1)[0];
}

// A free port whose successor is free too: a robot's control port and its camera port.
inline int free_port_pair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int port = free_port();
        if (port <= 0 || port >= 65535) continue;
        const int next = bound_socket(port + 1);
        if (next < 0) continue;
        ::close(next);
        return port;
    }
    return -1;
}

// The size of the controller's command that starts a byte stream: 5 for drive (0x30) and the
// two-byte command 0x02, 1 for fire on and off (0x40, 0x41), 2 plus the length for a string
// (0x20); 0 for a byte that starts none, and for a string whose length has not arrived, 2.
inline std::size_t command_size(const unsigned char* b, std::size_t n) {
    switch (b[0]) {
        case 0x02:
        case 0x30:
            return 5;
        case 0x40:
        case 0x41:
            return 1;
        case 0x20:
            return n < 2 ? 2 : 2u + b[1];
        default:
            return 0;
    }
}

// A robot's telemetry packet: length 18, kind 0x20, the fields little-endian, a byte sum last.
inline std::vector<unsigned char> telemetry(unsigned ir, unsigned angle, unsigned vx, unsigned vy, unsigned wifi) {
    std::vector<unsigned char> p{0x12, 0x20, 0, 0, 0, 0, static_cast<unsigned char>(ir), static_cast<unsigned char>(ir >> 8),
                                 static_cast<unsigned char>(angle), static_cast<unsigned char>(angle >> 8),
                                 static_cast<unsigned char>(vx), static_cast<unsigned char>(vx >> 8),
                                 static_cast<unsigned char>(vy), static_cast<unsigned char>(vy >> 8), 0, 0,
                                 static_cast<unsigned char>(wifi)};
    unsigned sum = 0;
    for (unsigned char b : p) sum += b;
    p.push_back(static_cast<unsigned char>(sum));
    return p;
}

// A raw client of a server on 127.0.0.1: connects (trying again for a while), sends bytes and
// collects what arrives.
class raw_client {
public:
    explicit raw_client(int port, int timeout_ms = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while ((fd_ = connect_to(port)) < 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    virtual ~raw_client() { close_now(); }
    raw_client(const raw_client&) = delete;
    raw_client& operator=(const raw_client&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool peer_closed() const { return peer_closed_; }
    std::size_t receives() const { return receives_; }
    std::size_t raw_bytes_received() const { return raw_count_; }
    void close_now() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void send_bytes(const std::vector<std::uint8_t>& b) {
        ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }
    // Everything that arrives within ms, or until the peer closes; buffered bytes included.
    std::size_t bytes_within(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!peer_closed_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            receive(static_cast<int>(left.count()));
        }
        const std::size_t n = buffered_.size();
        buffered_.clear();
        return n;
    }
    // Waits up to timeout_ms for the peer to close; what arrives on the way is dropped.
    bool wait_closed(int timeout_ms) {
        bytes_within(timeout_ms);
        return peer_closed_;
    }

protected:
    // One recv after waiting up to ms; false when nothing came.
    bool receive(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        std::uint8_t buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            peer_closed_ = true;
            return false;
        }
        ++receives_;
        raw_count_ += static_cast<std::size_t>(n);
        buffered_.insert(buffered_.end(), buf, buf + n);
        taken(std::chrono::steady_clock::now());
        return true;
    }
    // Called after each receive with what is buffered: a subclass may decode and drop it.
    virtual void taken(std::chrono::steady_clock::time_point) {}

    int fd_ = -1;
    bool peer_closed_ = false;
    std::size_t receives_ = 0, raw_count_ = 0;
    std::vector<std::uint8_t> buffered_;
};

class loopback_server {
public:
    // Listens on a free port (or the given one).
    explicit loopback_server(int port = 0)
        : listen_fd_(bound_socket(port, 4)), port_(bound_port(listen_fd_)), ok_(listen_fd_ >= 0) {}
    ~loopback_server() {
        close_client();
        if (listen_fd_ >= 0) ::close(listen_fd_);
    }
    loopback_server(const loopback_server&) = delete;
    loopback_server& operator=(const loopback_server&) = delete;

    bool ok() const { return ok_; }
    int port() const { return port_; }
    bool has_client() const { return client_fd_ >= 0; }
    int client_fd() const { return client_fd_; }

    // Takes a waiting connection, if any (closing an earlier client first).
    bool poll_accept() {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return false;
        close_client();
        client_fd_ = fd;
        ++accepted_;
        return true;
    }
    // Reads whatever has arrived; false once the client has closed.
    bool poll_read() {
        if (client_fd_ < 0) return false;
        char buf[4096];
        while (true) {
            const ssize_t n = ::recv(client_fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                received_.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) {
                peer_closed_ = true;
                return false;
            }
            return true;
        }
    }
    void send(const std::vector<unsigned char>& bytes) {
        if (client_fd_ >= 0) ::send(client_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void close_client() {
        if (client_fd_ >= 0) ::close(client_fd_);
        client_fd_ = -1;
    }
    void stop_listening() {
        if (listen_fd_ >= 0) ::close(listen_fd_);
        listen_fd_ = -1;
    }

    std::string& received() { return received_; }
    int accepted() const { return accepted_; }
    bool peer_closed() const { return peer_closed_; }
    void clear() {
        received_.clear();
        peer_closed_ = false;
    }

private:
    int listen_fd_ = -1;
    int client_fd_ = -1;
    int port_ = 0;
    bool ok_ = false;
    int accepted_ = 0;
    bool peer_closed_ = false;
    std::string received_;
};

// Pumps the event loop (and the server) until the condition holds or the time is up.
inline bool pump_until(const std::function<bool()>& done, int timeout_ms, loopback_server* server = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        platform::process_events(5);
        if (server) {
            server->poll_accept();
            server->poll_read();
        }
        if (done()) return true;
    }
    return done();
}

// Splits a received byte stream into the console's commands; false if it holds half a command.
inline bool split_commands(const std::string& s, std::vector<std::string>& out) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t len =
            command_size(reinterpret_cast<const unsigned char*>(s.data()) + i, s.size() - i);
        if (len == 0 || i + len > s.size()) return false;
        out.push_back(s.substr(i, len));
        i += len;
    }
    return true;
}

// The fire commands in a received byte stream, in the order they came: one byte each, 0x40 for
// fire on and 0x41 for fire off. The other commands are left out.
inline std::string fire_commands(const std::string& s) {
    std::vector<std::string> cmds;
    split_commands(s, cmds);
    std::string fires;
    for (const std::string& c : cmds)
        if (c[0] == 0x40 || c[0] == 0x41) fires += c;
    return fires;
}

}  // namespace test_support
