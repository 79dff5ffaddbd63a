#include "tools/robot_peer/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/robot_peer/mjpeg.h"

namespace robot_peer {

namespace {

constexpr auto watchdog = std::chrono::seconds(2);
constexpr int longest_wait_ms = 1000;
constexpr int reads_per_wakeup = 16;  // keeps one chatty client from starving the others
constexpr auto accept_retry = std::chrono::milliseconds(100);

// The camera link.
constexpr std::uint8_t camera_request = 0x40;
constexpr std::uint8_t size_marker = 0x40;
constexpr std::uint8_t bad_size_marker = 0x41;
constexpr std::size_t size_packet_bytes = 11;
constexpr std::uint32_t too_long = 921601;  // one byte more than the controller takes
constexpr std::uint32_t strange_bytes_shown = 8;  // per connection; the rest pass without a line
constexpr auto summary_period = std::chrono::seconds(5);

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

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v & 0xFFFF);
}

std::string hex_byte(std::uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", b);
    return text;
}

// A non-blocking listening socket on address:port, or -1 with the reason in error.
int open_listener(const in_addr& address, int port, std::string& error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr = address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
        char host[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &address, host, sizeof host);
        error = std::string("cannot listen on ") + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        close_fd(fd);
        return -1;
    }
    return fd;
}

// Accepts one waiting connection without blocking; -1 with errno set when there is none or it
// failed.
int accept_one(int listener, std::string& from) {
    while (true) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd >= 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            from = address_text(a);
        }
        return fd;
    }
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
        r.camera_tag = r.name + ":" + std::to_string(r.port + 1) + " camera";
        r.last_step = now;
        r.last_heard = now;
    }
}

peer_server::~peer_server() {
    for (robot_endpoint& r : robots_) {
        close_fd(r.control.fd);
        close_fd(r.control_listener);
        close_fd(r.camera.fd);
        close_fd(r.camera_listener);
    }
    close_fd(signal_fd_);
}

void peer_server::say(const robot_endpoint& r, const std::string& text) const {
    std::printf("%s %s\n", r.tag.c_str(), text.c_str());
    std::fflush(stdout);
}

void peer_server::say_camera(const robot_endpoint& r, const std::string& text) const {
    std::printf("%s %s\n", r.camera_tag.c_str(), text.c_str());
    std::fflush(stdout);
}

int peer_server::listen_all() {
    int served = 0;
    in_addr address{};
    inet_pton(AF_INET, opts_.bind.c_str(), &address);
    for (robot_endpoint& r : robots_) {
        std::string error;
        int fd = open_listener(address, r.port, error);
        if (fd < 0) {
            std::fprintf(stderr, "robot_peer: %s: %s\n", r.tag.c_str(), error.c_str());
            continue;
        }
        r.control_listener = fd;
        ++served;
        say(r, "listening on " + opts_.bind + ":" + std::to_string(r.port));
    }
    // Camera ports only after every control port: where one robot's camera port is another
    // robot's control port, the control link keeps it.
    if (opts_.camera) {
        for (robot_endpoint& r : robots_) {
            if (r.control_listener >= 0) listen_camera(r);
        }
    }
    return served;
}

void peer_server::listen_camera(robot_endpoint& r) {
    if (r.port >= 65535) {
        std::fprintf(stderr, "robot_peer: %s: no camera port after port %d; serving the control link only\n",
                     r.tag.c_str(), r.port);
        return;
    }
    in_addr address{};
    inet_pton(AF_INET, opts_.bind.c_str(), &address);
    std::string error;
    r.camera_listener = open_listener(address, r.port + 1, error);
    if (r.camera_listener < 0) {
        std::fprintf(stderr, "robot_peer: %s: %s; serving the control link only\n", r.camera_tag.c_str(),
                     error.c_str());
        std::fflush(stderr);
        return;
    }
    say_camera(r, "listening on " + opts_.bind + ":" + std::to_string(r.port + 1));
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
        std::string from;
        int fd = accept_one(r.control_listener, from);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // The connection stays queued; try again shortly rather than spin on it.
                std::fprintf(stderr, "robot_peer: %s: accept failed: %s\n", r.tag.c_str(), std::strerror(errno));
                r.accept_resume = now + accept_retry;
            }
            return;
        }
        drop_control(r, "replaced by a new connection");
        client_link& c = r.control;
        c.fd = fd;
        c.from = from;
        c.parser.reset();
        c.out.clear();
        c.packets = 0;
        c.invalid_lengths = 0;
        c.told_dropping = false;
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
    if (dropped > 0 && !c.told_dropping) {
        say(r, "client is not reading: dropping the oldest telemetry");
        c.told_dropping = true;
    }
}

// ---------------------------------------------------------------------------------------------
// The camera link

void peer_server::drop_camera(robot_endpoint& r, const std::string& why) {
    camera_client& c = r.camera;
    if (c.fd < 0) return;
    close_fd(c.fd);
    c.out.clear();
    c.requests = 0;
    c.closing = false;
    r.summary_open = false;  // the line below gives the connection's total instead
    std::string line = "disconnected after " + std::to_string(c.replies) + (c.replies == 1 ? " frame" : " frames");
    if (!why.empty()) line += " (" + why + ")";
    say_camera(r, line);
}

void peer_server::accept_camera(robot_endpoint& r, steady::time_point now) {
    while (true) {
        std::string from;
        int fd = accept_one(r.camera_listener, from);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                std::fprintf(stderr, "robot_peer: %s: accept failed: %s\n", r.camera_tag.c_str(),
                             std::strerror(errno));
                r.camera_accept_resume = now + accept_retry;
            }
            return;
        }
        drop_camera(r, "replaced by a new connection");
        camera_client& c = r.camera;
        c.fd = fd;
        c.from = from;
        c.out.clear();
        c.requests = 0;
        c.replies = 0;
        c.oversized = 0;
        c.strange_bytes = 0;
        c.closing = false;
        c.frame_origin = now;
        c.frames_since_origin = 0;
        say_camera(r, "connected from " + c.from);
    }
}

void peer_server::read_camera(robot_endpoint& r, steady::time_point now) {
    camera_client& c = r.camera;
    std::uint8_t buffer[1024];
    for (int i = 0; i < reads_per_wakeup && c.fd >= 0; ++i) {
        ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            drop_camera(r, std::strerror(errno));
            return;
        }
        if (n == 0) {
            drop_camera(r, "");
            return;
        }
        for (ssize_t k = 0; k < n; ++k) {
            if (buffer[k] == camera_request) {
                // A request that finds none waiting and the next frame overdue starts the clock.
                if (c.requests++ == 0 && frame_due(c) < now) {
                    c.frame_origin = now;
                    c.frames_since_origin = 0;
                }
                continue;
            }
            ++c.strange_bytes;
            if (c.strange_bytes <= strange_bytes_shown)
                say_camera(r, "unknown request byte " + hex_byte(buffer[k]) + ", ignored");
            if (c.strange_bytes == strange_bytes_shown)
                say_camera(r, "further unknown request bytes on this connection are not shown");
        }
    }
    serve_camera(r, now);
}

void peer_server::serve_camera(robot_endpoint& r, steady::time_point now) {
    camera_client& c = r.camera;
    if (opts_.camera_silent) return;
    while (c.fd >= 0 && !c.closing && c.requests > 0 && c.out.empty() && frame_due(c) <= now) {
        --c.requests;
        queue_frame(r, frame_due(c));
        ++c.frames_since_origin;
        if (!flush_camera(r)) return;
    }
}

steady::time_point peer_server::frame_due(const camera_client& c) const {
    // From the frame count rather than by adding up periods, so that no rounding accumulates:
    // at 30 frames a second, frame 150 is due exactly five seconds after the origin.
    const double ns = std::round(static_cast<double>(c.frames_since_origin) * 1e9 / opts_.camera_fps);
    return c.frame_origin + std::chrono::duration_cast<steady::duration>(std::chrono::nanoseconds(
                                static_cast<std::chrono::nanoseconds::rep>(ns)));
}

void peer_server::queue_frame(robot_endpoint& r, steady::time_point due) {
    camera_client& c = r.camera;
    const std::uint32_t number = ++c.replies;
    auto every = [number](std::uint32_t n) { return n != 0 && number % n == 0; };

    const int w = opts_.camera_width, h = opts_.camera_height;
    r.canvas.resize(static_cast<std::size_t>(w) * h * 3);
    mjpeg::render_scene(r.canvas.data(), w, h, r.scene_frame++);
    const std::vector<std::uint8_t> jpeg =
        mjpeg::to_motion_jpeg(mjpeg::encode(r.canvas.data(), w, h, opts_.camera_quality));

    std::uint32_t width = static_cast<std::uint32_t>(w), height = static_cast<std::uint32_t>(h);
    std::uint32_t length = static_cast<std::uint32_t>(jpeg.size());
    std::uint16_t sum = mjpeg::checksum16(jpeg);
    std::size_t data_bytes = jpeg.size();
    if (every(opts_.camera_oversize_every)) {
        if (c.oversized++ % 2 == 0) {
            width = camera_max_width + 1;  // the frame itself follows as it is
            height = camera_max_height;
        } else {
            length = too_long;  // and nothing follows
            data_bytes = 0;
        }
    }
    if (every(opts_.camera_bad_checksum_every)) sum = static_cast<std::uint16_t>(~sum);
    if (opts_.camera_close_mid_frame && number == *opts_.camera_close_mid_frame + 1) {
        data_bytes /= 2;
        c.closing = true;
    }

    std::vector<std::uint8_t> reply(size_packet_bytes + data_bytes);
    reply[0] = every(opts_.camera_bad_marker_every) ? bad_size_marker : size_marker;
    put16(&reply[1], width);
    put16(&reply[3], height);
    put32(&reply[5], length);
    put16(&reply[9], sum);
    std::copy(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(data_bytes), reply.begin() + size_packet_bytes);
    c.out.push(reply.data(), reply.size());

    if (!opts_.quiet) {
        summarize_camera(r, due);
        if (!r.summary_open) {
            r.summary_open = true;
            r.summary_start = due;
            r.summary_frames = 0;
        }
        ++r.summary_frames;
    }
}

bool peer_server::flush_camera(robot_endpoint& r) {
    camera_client& c = r.camera;
    while (c.fd >= 0 && !c.out.empty()) {
        // One byte at a time means one send per round of the loop.
        const std::size_t chunk = opts_.camera_byte_at_a_time ? 1 : c.out.size();
        ssize_t n = send(c.fd, c.out.data(), chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            drop_camera(r, std::strerror(errno));
            return false;
        }
        c.out.consume(static_cast<std::size_t>(n));
        if (opts_.camera_byte_at_a_time) break;
    }
    if (c.fd >= 0 && c.closing && c.out.empty()) {
        say_camera(r, "closing the connection in the middle of frame " + std::to_string(c.replies));
        // Unread requests would turn the close into a reset, which may discard the part of the
        // frame not yet delivered; read them first so that the controller sees an orderly end.
        std::uint8_t sink[1024];
        while (recv(c.fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        drop_camera(r, "");
        return false;
    }
    return c.fd >= 0;
}

void peer_server::summarize_camera(robot_endpoint& r, steady::time_point until) {
    while (r.summary_open && until >= r.summary_start + summary_period) {
        if (r.summary_frames == 0) {
            r.summary_open = false;  // opens again with the next frame
            return;
        }
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", r.summary_frames / seconds(summary_period));
        say_camera(r, std::to_string(r.summary_frames) + (r.summary_frames == 1 ? " frame" : " frames") +
                          " sent (" + rate + "/s)");
        r.summary_start += summary_period;
        r.summary_frames = 0;
    }
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
        // Frames now due go out first; a period ends only when every frame due in it has gone
        // out, so its line counts frames by the time they were due, not by when the loop ran.
        serve_camera(r, now);
        const camera_client& c = r.camera;
        const bool frame_waiting = c.fd >= 0 && c.requests > 0 && !opts_.camera_silent && !c.closing;
        summarize_camera(r, frame_waiting ? std::min(now, frame_due(c)) : now);
    }
}

int peer_server::poll_timeout_ms(steady::time_point now) const {
    steady::time_point next = now + std::chrono::milliseconds(longest_wait_ms);
    for (const robot_endpoint& r : robots_) {
        if (telemetry_wanted(r)) next = std::min(next, r.control.next_telemetry);
        // Just past the watchdog's limit, so that the check then finds it exceeded.
        if (r.sim.moving()) next = std::min(next, r.last_heard + watchdog + std::chrono::milliseconds(1));
        if (r.accept_resume > now) next = std::min(next, r.accept_resume);
        if (r.camera_accept_resume > now) next = std::min(next, r.camera_accept_resume);
        if (r.summary_open) next = std::min(next, r.summary_start + summary_period);
        const camera_client& c = r.camera;
        if (c.fd >= 0 && c.requests > 0 && c.out.empty() && !c.closing && !opts_.camera_silent)
            next = std::min(next, frame_due(c));
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
            if (r.control_listener >= 0 && r.accept_resume <= now) {
                fds.push_back({r.control_listener, POLLIN, 0});
                slots.push_back({&r, role::control_listener});
            }
            if (r.control.fd >= 0) {
                short events = POLLIN;
                if (!r.control.out.empty()) events |= POLLOUT;
                fds.push_back({r.control.fd, events, 0});
                slots.push_back({&r, role::control_client});
            }
            // The client first: when the controller closes its link and opens a new one at
            // once, the close is seen as such rather than as a replacement.
            if (r.camera.fd >= 0) {
                short events = POLLIN;
                if (!r.camera.out.empty()) events |= POLLOUT;
                fds.push_back({r.camera.fd, events, 0});
                slots.push_back({&r, role::camera_client});
            }
            if (r.camera_listener >= 0 && r.camera_accept_resume <= now) {
                fds.push_back({r.camera_listener, POLLIN, 0});
                slots.push_back({&r, role::camera_listener});
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
                    drop_camera(r, "");
                    close_fd(r.camera_listener);
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
            case role::camera_listener:
                accept_camera(r, now);
                break;
            case role::camera_client:
                if (r.camera.fd != fds[i].fd) break;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) read_camera(r, now);
                if (r.camera.fd == fds[i].fd && (fds[i].revents & POLLOUT) && flush_camera(r)) serve_camera(r, now);
                break;
            }
        }
    }
}

}  // namespace robot_peer
