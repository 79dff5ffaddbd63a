// A small TCP server on 127.0.0.1 for link tests: accepts one client at a time and collects
// what it sends, while the test pumps the program's event loop.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/window.h"

namespace test_support {

class loopback_server {
public:
    // Listens on a free port (or the given one).
    explicit loopback_server(int port = 0) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        ok_ = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(listen_fd_, 4) == 0;
        socklen_t len = sizeof sa;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
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
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        if (c == 0x02 || c == 0x30)
            len = 5;
        else if (c == 0x40 || c == 0x41)
            len = 1;
        else if (c == 0x20 && i + 1 < s.size())
            len = 2 + static_cast<unsigned char>(s[i + 1]);
        else
            return false;
        if (i + len > s.size()) return false;
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
