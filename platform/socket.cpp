#include "platform/socket.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/qt_internal.h"

namespace platform {

namespace {

struct watch {
    window w = nullptr;
    std::uint64_t serial = 0;
    unsigned msg = 0;
    unsigned events = 0;
    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;
    bool connecting = false;
    bool connected = false;
    bool write_wanted = false;
};

std::map<socket_t, watch>& watches() {
    static std::map<socket_t, watch> m;
    return m;
}

int last_error = 0;

// The error of the last failed call on each socket that has had one.
std::map<socket_t, int>& socket_errors() {
    static std::map<socket_t, int> m;
    return m;
}

void failed(socket_t s, int error) {
    last_error = error;
    if (s >= 0) socket_errors()[s] = error;
}

void drop_notifier(QSocketNotifier*& n) {
    if (!n) return;
    n->setEnabled(false);
    n->deleteLater();
    n = nullptr;
}

// Sends one event to the watching window, if the socket is still watched by a live window.
// The handler may close the socket, so nothing of the watch is used afterwards.
void notify(socket_t s, unsigned event, int error) {
    auto it = watches().find(s);
    if (it == watches().end()) return;
    const watch& wt = it->second;
    if (!(wt.events & event) || !is_window(wt.w) || wt.w->serial != wt.serial) return;
    const lparam lp = static_cast<lparam>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) | (event & 0xFFFF));
    deliver(wt.w, wt.msg, static_cast<wparam>(s), lp);
}

void on_readable(socket_t s) {
    auto it = watches().find(s);
    if (it == watches().end()) return;
    char probe;
    const ssize_t n = ::recv(s, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        notify(s, fd_read, 0);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    // Closed by the peer, or broken: reported once.
    const int error = n < 0 ? errno : 0;
    if (it->second.reader) it->second.reader->setEnabled(false);
    it->second.connected = false;
    notify(s, fd_close, error);
}

void on_writable(socket_t s) {
    auto it = watches().find(s);
    if (it == watches().end()) return;
    watch& wt = it->second;
    if (wt.connecting) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
        wt.connecting = false;
        wt.writer->setEnabled(wt.write_wanted && error == 0);
        if (error == 0) {
            wt.connected = true;
            if (wt.reader) wt.reader->setEnabled(true);
        }
        notify(s, fd_connect, error);
        return;
    }
    wt.write_wanted = false;
    wt.writer->setEnabled(false);
    notify(s, fd_write, 0);
}

// Reports a connect outcome known at once through the loop, as an asynchronous one would be.
void post_connect_result(socket_t s, int error) {
    QMetaObject::invokeMethod(
        qApp,
        [s, error]() {
            auto it = watches().find(s);
            if (it == watches().end()) return;
            it->second.connecting = false;
            if (error == 0) {
                it->second.connected = true;
                if (it->second.reader) it->second.reader->setEnabled(true);
            }
            notify(s, fd_connect, error);
        },
        Qt::QueuedConnection);
}

}  // namespace

socket_t tcp_socket() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        last_error = errno;
        return invalid_socket;
    }
    socket_errors().erase(s);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

bool async_select(socket_t s, window w, unsigned msg, unsigned events) {
    if (s < 0) return false;
    auto& m = watches();
    if (events == 0) {
        auto it = m.find(s);
        if (it != m.end()) {
            drop_notifier(it->second.reader);
            drop_notifier(it->second.writer);
            m.erase(it);
        }
        return true;
    }
    if (!is_window(w)) return false;
    watch& wt = m[s];
    wt.w = w;
    wt.serial = w->serial;
    wt.msg = msg;
    wt.events = events;
    if (!wt.reader) {
        wt.reader = new QSocketNotifier(s, QSocketNotifier::Read);
        wt.reader->setEnabled(wt.connected);
        QObject::connect(wt.reader, &QSocketNotifier::activated, [s]() { on_readable(s); });
    }
    if (!wt.writer) {
        wt.writer = new QSocketNotifier(s, QSocketNotifier::Write);
        wt.writer->setEnabled(wt.connecting || wt.write_wanted);
        QObject::connect(wt.writer, &QSocketNotifier::activated, [s]() { on_writable(s); });
    }
    return true;
}

bool socket_connect(socket_t s, std::uint32_t address, std::uint16_t port) {
    if (s < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    auto it = watches().find(s);
    const int r = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r == 0) {
        if (it != watches().end()) {
            it->second.connecting = true;
            post_connect_result(s, 0);
        }
        return true;
    }
    if (errno == EINPROGRESS || errno == EINTR) {
        if (it != watches().end()) {
            it->second.connecting = true;
            if (it->second.writer) it->second.writer->setEnabled(true);
        }
        return true;
    }
    const int error = errno;
    failed(s, error);
    if (it != watches().end()) {
        it->second.connecting = true;
        post_connect_result(s, error);
    }
    return true;
}

long socket_recv(socket_t s, void* buffer, std::size_t size) {
    const ssize_t n = ::recv(s, buffer, size, MSG_DONTWAIT);
    if (n < 0) failed(s, errno);
    return static_cast<long>(n);
}

long socket_send(socket_t s, const void* data, std::size_t size) {
    const ssize_t n = ::send(s, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) failed(s, errno);
    return static_cast<long>(n);
}

bool would_block() { return last_error == EAGAIN || last_error == EWOULDBLOCK || last_error == EINTR; }

int last_socket_error() { return last_error; }

int socket_error(socket_t s) {
    auto it = socket_errors().find(s);
    return it == socket_errors().end() ? 0 : it->second;
}

void close_socket(socket_t s) {
    if (s < 0) return;
    async_select(s, nullptr, 0, 0);
    socket_errors().erase(s);
    ::close(s);
}

void want_write(socket_t s) {
    auto it = watches().find(s);
    if (it == watches().end()) return;
    it->second.write_wanted = true;
    if (it->second.writer && !it->second.connecting) it->second.writer->setEnabled(true);
}

long socket_unsent(socket_t s) {
    int n = 0;
    if (s < 0 || ::ioctl(s, SIOCOUTQNSD, &n) != 0) return 0;
    return n;
}

void supervise_socket(socket_t s, unsigned timeout_ms) {
    if (s < 0) return;
    const unsigned timeout = timeout_ms;
    ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
    const int one = 1, idle = 1, interval = 1, count = 3;
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace platform
