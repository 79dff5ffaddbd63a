// Host-name look-ups with c-ares, driven by socket notifiers and a timer on the one loop: no
// threads, so nothing is left running when the program ends. Each name is looked up on a channel
// of its own, which makes a per-name deadline and cancelling a single look-up simple.
#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/resolver.h"

namespace platform {

namespace {

// A failure older than this is not given out again: the name is looked up afresh.
constexpr qint64 failure_kept_ms = 30000;
// How often running look-ups are checked for c-ares's own retries and for their deadline.
constexpr int tick_ms = 100;

struct query {
    std::string name;
    ares_channel channel = nullptr;
    qint64 deadline = 0;
    bool done = false;
    std::map<ares_socket_t, QSocketNotifier*> readers, writers;
};

struct entry {
    resolve_result state = resolve_result::pending;
    std::uint32_t address = 0;
    // The latest failure, kept while a new look-up runs so that every asker still gets it once.
    bool has_failure = false;
    qint64 failed_at = 0;
    std::set<const void*> told;  // askers that have been given the latest failure
};

// Kept for the life of the process and never destroyed, so nothing depends on the order in
// which static objects go away at exit.
struct resolver_state {
    std::map<std::string, entry> names;
    std::set<query*> queries;
    QTimer* ticker = nullptr;
    QElapsedTimer clock;
    bool library_ready = false;
};

resolver_state& state() {
    static resolver_state* s = new resolver_state;
    return *s;
}

qint64 now_ms() {
    resolver_state& st = state();
    if (!st.clock.isValid()) st.clock.start();
    return st.clock.elapsed();
}

void drop(QSocketNotifier*& n) {
    if (!n) return;
    n->setEnabled(false);
    n->deleteLater();
    n = nullptr;
}

void finish(query* q, bool resolved, std::uint32_t address) {
    if (q->done) return;
    q->done = true;
    entry& e = state().names[q->name];
    e.state = resolved ? resolve_result::resolved : resolve_result::failed;
    e.address = address;
    e.has_failure = !resolved;
    e.failed_at = now_ms();
    e.told.clear();
}

void on_host(void* arg, int status, int, hostent* host) {
    if (status == ARES_EDESTRUCTION) return;  // cancelled: whoever cancelled has decided
    auto* q = static_cast<query*>(arg);
    if (status == ARES_SUCCESS && host && host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list &&
        host->h_addr_list[0]) {
        std::uint32_t a;
        std::memcpy(&a, host->h_addr_list[0], 4);
        finish(q, true, ntohl(a));
    } else {
        finish(q, false, 0);
    }
}

void process(query* q, ares_socket_t readable, ares_socket_t writable) {
    if (!state().queries.count(q) || !q->channel) return;
    ares_process_fd(q->channel, readable, writable);
}

// c-ares tells which of its sockets it wants watched, and for what.
void on_socket_state(void* data, ares_socket_t fd, int readable, int writable) {
    auto* q = static_cast<query*>(data);
    auto watch = [&](std::map<ares_socket_t, QSocketNotifier*>& m, bool on, QSocketNotifier::Type type) {
        auto it = m.find(fd);
        if (!on) {
            if (it != m.end()) {
                drop(it->second);
                m.erase(it);
            }
            return;
        }
        if (it != m.end()) {
            it->second->setEnabled(true);
            return;
        }
        auto* n = new QSocketNotifier(static_cast<qintptr>(fd), type);
        const bool read = type == QSocketNotifier::Read;
        QObject::connect(n, &QSocketNotifier::activated, [q, fd, read]() {
            process(q, read ? fd : ARES_SOCKET_BAD, read ? ARES_SOCKET_BAD : fd);
        });
        m[fd] = n;
    };
    watch(q->readers, readable != 0, QSocketNotifier::Read);
    watch(q->writers, writable != 0, QSocketNotifier::Write);
}

void destroy(query* q) {
    state().queries.erase(q);
    if (q->channel) ares_destroy(q->channel);  // gives back its sockets through on_socket_state
    q->channel = nullptr;
    for (auto& [fd, n] : q->readers) drop(n);
    for (auto& [fd, n] : q->writers) drop(n);
    delete q;
}

void tick() {
    resolver_state& st = state();
    const qint64 now = now_ms();
    std::vector<query*> all(st.queries.begin(), st.queries.end());
    for (query* q : all) {
        if (!q->done) {
            ares_process_fd(q->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // c-ares's own time-outs
            if (!q->done && now >= q->deadline) finish(q, false, 0);
        }
        if (q->done) destroy(q);
    }
    if (st.queries.empty() && st.ticker) st.ticker->stop();
}

void start_query(const std::string& name) {
    resolver_state& st = state();
    st.names[name].state = resolve_result::pending;
    if (!st.library_ready) st.library_ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
    auto* q = new query;
    q->name = name;
    q->deadline = now_ms() + lookup_deadline_ms;
    ares_options options{};
    options.sock_state_cb = on_socket_state;
    options.sock_state_cb_data = q;
    options.timeout = 2000;  // milliseconds a try, with ARES_OPT_TIMEOUTMS
    options.tries = 2;
    const int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    if (!st.library_ready || ares_init_options(&q->channel, &options, mask) != ARES_SUCCESS) {
        q->channel = nullptr;
        finish(q, false, 0);
        delete q;
        return;
    }
    st.queries.insert(q);
    if (!st.ticker) {
        st.ticker = new QTimer;
        QObject::connect(st.ticker, &QTimer::timeout, tick);
    }
    if (!st.ticker->isActive()) st.ticker->start(tick_ms);
    // May answer at once (the hosts file, or a name that cannot be valid).
    ares_gethostbyname(q->channel, name.c_str(), AF_INET, on_host, q);
}

}  // namespace

resolve_result resolve_host(const char* host, std::uint32_t& address, const void* asker) {
    if (!host || !*host) return resolve_result::failed;
    in_addr a{};
    if (::inet_pton(AF_INET, host, &a) == 1) {
        address = ntohl(a.s_addr);
        return resolve_result::resolved;
    }
    resolver_state& st = state();
    const std::string name = host;
    auto it = st.names.find(name);
    if (it != st.names.end() && it->second.has_failure && now_ms() - it->second.failed_at > failure_kept_ms) {
        it->second.has_failure = false;  // too old to give out: the name is looked up afresh
        if (it->second.state == resolve_result::failed) {
            start_query(name);
            it = st.names.find(name);
        }
    }
    if (it == st.names.end() || (it->second.state == resolve_result::failed && it->second.told.count(asker))) {
        // An asker that has had the failure asks again: a new look-up, while the failure is
        // still given once to every asker that has not had it.
        start_query(name);
        it = st.names.find(name);
    }
    entry& e = it->second;
    if (e.state == resolve_result::resolved) {
        address = e.address;
        return resolve_result::resolved;
    }
    if (e.has_failure && e.told.insert(asker).second) return resolve_result::failed;
    return resolve_result::pending;
}

void forget_host(const char* host) {
    if (!host) return;
    resolver_state& st = state();
    auto it = st.names.find(host);
    if (it != st.names.end() && it->second.state == resolve_result::resolved) st.names.erase(it);
}

void shutdown_resolver() {
    resolver_state& st = state();
    std::vector<query*> all(st.queries.begin(), st.queries.end());
    for (query* q : all) destroy(q);
    st.names.clear();
    if (st.ticker) st.ticker->stop();
    if (st.library_ready) ares_library_cleanup();
    st.library_ready = false;
}

}  // namespace platform
