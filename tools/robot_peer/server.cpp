#include "tools/robot_peer/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace robot_peer {

namespace {

constexpr auto watchdog = std::chrono::seconds(2);
constexpr int longest_wait_ms = 1000;
constexpr int reads_per_wakeup = 16;  // keeps one chatty client from starving the others

double seconds(steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

void close_fd(int& fd) {
    if (fd < 0) return;
    while (close(fd) != 0 && errno == EINTR) {
    }
    fd = -1;
}

std::string address_text(const sockaddr_in& a) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void hold_stop_signals() {
    sigset_t set = stop_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    // A client that vanishes turns a send into an EPIPE error instead of killing the peer.
    std::signal(SIGPIPE, SIG_IGN);
}

peer_server::peer_server(const options& opts, std::vector<robot_endpoint> robots)
    : opts_(opts), robots_(std::move(robots)) {
    telemetry_period_ =
        std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(1.0 / opts_.telemetry_hz));
    if (telemetry_period_.count() <= 0) telemetry_period_ = steady::duration(1);
    auto now = steady::now();
    for (robot_endpoint& r : robots_) {
        r.tag = r.name + ":" + std::to_string(r.port);
        r.last_step = now;
        r.last_heard = now;
    }
}

peer_server::~peer_server() {
    for (robot_endpoint& r : robots_) {
        close_fd(r.control.fd);
        close_fd(r.control_listener);
    }
    close_fd(signal_fd_);
}

void peer_server::say(const robot_endpoint& r, const std::string& text) const {
    std::printf("%s %s\n", r.tag.c_str(), text.c_str());
    std::fflush(stdout);
}

int peer_server::listen_all() {
    int served = 0;
    in_addr address{};
    inet_pton(AF_INET, opts_.bind.c_str(), &address);
    for (robot_endpoint& r : robots_) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            std::fprintf(stderr, "robot_peer: %s: cannot create a socket: %s\n", r.tag.c_str(),
                         std::strerror(errno));
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(r.port));
        a.sin_addr = address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
            std::fprintf(stderr, "robot_peer: %s: cannot listen on %s:%d: %s\n", r.tag.c_str(),
                         opts_.bind.c_str(), r.port, std::strerror(errno));
            close_fd(fd);
            continue;
        }
        r.control_listener = fd;
        ++served;
        say(r, "listening on " + opts_.bind + ":" + std::to_string(r.port));
    }
    return served;
}

bool peer_server::telemetry_wanted(const robot_endpoint& r) const {
    if (r.control.fd < 0 || opts_.silent) return false;
    return opts_.close_after == 0 || r.control.packets < opts_.close_after;
}

void peer_server::drop_control(robot_endpoint& r, const char* why) {
    if (r.control.fd < 0) return;
    close_fd(r.control.fd);
    r.control.out.clear();
    r.control.parser.reset();
    say(r, why && *why ? std::string("disconnected (") + why + ")" : std::string("disconnected"));
}

void peer_server::accept_control(robot_endpoint& r, steady::time_point now) {
    while (true) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        int fd = accept4(r.control_listener, reinterpret_cast<sockaddr*>(&a), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                std::fprintf(stderr, "robot_peer: %s: accept failed: %s\n", r.tag.c_str(), std::strerror(errno));
            return;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        drop_control(r, "replaced by a new connection");
        client_link& c = r.control;
        c.fd = fd;
        c.from = address_text(a);
        c.parser.reset();
        c.out.clear();
        c.packets = 0;
        c.invalid_lengths = 0;
        c.next_telemetry = now;  // the first packet goes out at once
        r.last_heard = now;
        say(r, "connected from " + c.from);
    }
}

void peer_server::handle_command(robot_endpoint& r, const command& c) {
    switch (c.kind) {
    case command_kind::drive:
        r.sim.drive(c.bytes[0], c.bytes[2]);
        break;
    case command_kind::shutdown:
        r.sim.stop();
        break;
    default:
        break;
    }
    if (!opts_.quiet || c.kind == command_kind::unknown) say(r, describe(c));
}

void peer_server::read_control(robot_endpoint& r, steady::time_point now) {
    std::uint8_t buffer[4096];
    std::vector<command> commands;
    for (int i = 0; i < reads_per_wakeup && r.control.fd >= 0; ++i) {
        ssize_t n = recv(r.control.fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            drop_control(r, std::strerror(errno));
            return;
        }
        if (n == 0) {
            drop_control(r, "");
            return;
        }
        r.last_heard = now;
        commands.clear();
        r.control.parser.feed(buffer, static_cast<std::size_t>(n), commands);
        for (const command& c : commands) handle_command(r, c);
    }
}

bool peer_server::flush(robot_endpoint& r) {
    client_link& c = r.control;
    while (c.fd >= 0 && !c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            drop_control(r, std::strerror(errno));
            return false;
        }
        c.out.consume(static_cast<std::size_t>(n));
    }
    if (c.fd >= 0 && c.out.empty() && opts_.close_after != 0 && c.packets >= opts_.close_after) {
        say(r, "closing the connection after " + std::to_string(c.packets) + " packets");
        drop_control(r, "");
        return false;
    }
    return c.fd >= 0;
}

void peer_server::send_telemetry(robot_endpoint& r, steady::time_point now) {
    client_link& c = r.control;
    std::size_t dropped = 0;
    while (telemetry_wanted(r) && c.next_telemetry <= now) {
        std::uint32_t number = ++c.packets;  // 1 for the first packet of a connection
        if (opts_.bad_length_every != 0 && number % opts_.bad_length_every == 0) {
            std::uint8_t bad = invalid_length_byte(c.invalid_lengths++);
            dropped += c.out.push(&bad, 1);
        }
        telemetry_packet p = build_telemetry(r.sim.telemetry(number));
        if (opts_.bad_checksum_every != 0 && number % opts_.bad_checksum_every == 0) spoil_checksum(p);
        dropped += c.out.push(p.data(), p.size());
        c.next_telemetry += telemetry_period_;
        // After a stall, carry on from now rather than sending the missed packets in a burst.
        if (c.next_telemetry <= now) c.next_telemetry = now + telemetry_period_;
    }
    if (dropped > 0) say(r, "client is not reading: dropped " + std::to_string(dropped) + " old frames");
}

void peer_server::tick(steady::time_point now) {
    for (robot_endpoint& r : robots_) {
        r.sim.advance(seconds(now - r.last_step));
        r.last_step = now;
        if (r.sim.moving() && now - r.last_heard > watchdog) {
            r.sim.stop();
            say(r, "no command for 2 s: robot stopped");
        }
        if (r.control.fd >= 0) {
            send_telemetry(r, now);
            flush(r);
        }
    }
}

int peer_server::poll_timeout_ms(steady::time_point now) const {
    steady::time_point next = now + std::chrono::milliseconds(longest_wait_ms);
    for (const robot_endpoint& r : robots_) {
        if (telemetry_wanted(r)) next = std::min(next, r.control.next_telemetry);
        // Just past the watchdog's limit, so that the check then finds it exceeded.
        if (r.sim.moving()) next = std::min(next, r.last_heard + watchdog + std::chrono::milliseconds(1));
    }
    if (next <= now) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<long long>(ms, longest_wait_ms));
}

int peer_server::run() {
    sigset_t set = stop_signals();
    signal_fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd_ < 0) {
        std::fprintf(stderr, "robot_peer: signalfd failed: %s\n", std::strerror(errno));
        return 1;
    }
    std::vector<pollfd> fds;
    std::vector<slot> slots;
    while (true) {
        steady::time_point now = steady::now();
        tick(now);

        fds.clear();
        slots.clear();
        fds.push_back({signal_fd_, POLLIN, 0});
        slots.push_back({nullptr, role::control_listener});
        for (robot_endpoint& r : robots_) {
            if (r.control_listener >= 0) {
                fds.push_back({r.control_listener, POLLIN, 0});
                slots.push_back({&r, role::control_listener});
            }
            if (r.control.fd >= 0) {
                short events = POLLIN;
                if (!r.control.out.empty()) events |= POLLOUT;
                fds.push_back({r.control.fd, events, 0});
                slots.push_back({&r, role::control_client});
            }
        }

        int ready = poll(fds.data(), fds.size(), poll_timeout_ms(now));
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "robot_peer: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        if (ready == 0) continue;
        now = steady::now();
        for (robot_endpoint& r : robots_) {
            r.sim.advance(seconds(now - r.last_step));
            r.last_step = now;
        }

        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            ssize_t n = read(signal_fd_, &info, sizeof info);
            if (n == static_cast<ssize_t>(sizeof info)) {
                std::printf("robot_peer: %s received, closing all links\n",
                            info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
                for (robot_endpoint& r : robots_) {
                    drop_control(r, "");
                    close_fd(r.control_listener);
                }
                std::printf("robot_peer: stopped\n");
                std::fflush(stdout);
                return 0;
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            robot_endpoint& r = *slots[i].robot;
            switch (slots[i].what) {
            case role::control_listener:
                accept_control(r, now);
                break;
            case role::control_client:
                // An earlier event of this round may have replaced or closed the client.
                if (r.control.fd != fds[i].fd) break;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) read_control(r, now);
                if (r.control.fd == fds[i].fd && (fds[i].revents & POLLOUT)) flush(r);
                break;
            }
        }
    }
}

}  // namespace robot_peer
