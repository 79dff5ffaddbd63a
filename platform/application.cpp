// The application loop: the one toolkit application (off-screen when there is no display), the
// numeric locale, running the loop and asking it to quit, the quit signals turned into a quit
// through a socket pair the loop watches, and handling pending events for a while. When the
// application goes to the background the held keys are forgotten and every window is told.
#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/qt_internal.h"

namespace platform {

namespace {

QApplication* the_app = nullptr;
bool headless_mode = false;
bool loop_running = false;
bool quit_pending = false;
int quit_code = 0;

}  // namespace

QApplication* application() {
    return the_app;
}

namespace {
// The toolkit's own chatter (missing runtime folders, unsupported window operations on the
// off-screen platform) is not the operator's business; SWARM_QT_MESSAGES=1 shows it all.
void toolkit_messages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    static const bool show_all = qEnvironmentVariableIntValue("SWARM_QT_MESSAGES") != 0;
    if (!show_all && type != QtCriticalMsg && type != QtFatalMsg) return;
    std::fprintf(stderr, "swarm: toolkit: %s\n", qPrintable(text));
}
}  // namespace

void init_app(int& argc, char** argv, bool headless) {
    if (the_app) return;
    qInstallMessageHandler(toolkit_messages);
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    bool no_display = (!display || !*display) && (!wayland || !*wayland) && (!qpa || !*qpa);
    if (headless || no_display) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        headless_mode = true;
    } else if (qpa && std::string(qpa) == "offscreen") {
        headless_mode = true;
    }
    // The toolkit keeps a reference to the argument count for the life of the application.
    static int saved_argc;
    saved_argc = argc;
    the_app = new QApplication(saved_argc, argv);
    // The toolkit has taken the whole locale from the environment. Numbers in files, the log,
    // the figures and on screen keep a decimal point in every locale; the rest (messages,
    // character types) stays as the user chose.
    std::setlocale(LC_NUMERIC, "C");
    detectable_auto_repeat(the_app);
    QObject::connect(the_app, &QGuiApplication::applicationStateChanged, [](Qt::ApplicationState s) {
        static bool was_active = false;
        bool active = s == Qt::ApplicationActive;
        if (active == was_active) return;
        was_active = active;
        if (!active) forget_held_keys();  // their releases go elsewhere
        deliver_to_all(msg_activate_app, active ? 1 : 0, 0);
    });
}

bool app_ready() {
    return the_app != nullptr;
}
bool is_headless() {
    return headless_mode;
}

int run_message_loop() {
    if (!the_app) return 0;
    if (quit_pending) return quit_code;
    loop_running = true;
    int code = QApplication::exec();
    loop_running = false;
    return quit_pending ? quit_code : code;
}

void post_quit(int code) {
    if (quit_pending) return;
    quit_pending = true;
    quit_code = code;
    if (loop_running) QCoreApplication::exit(code);
}

namespace {
int signal_fds[2] = {-1, -1};
extern "C" void on_quit_signal(int) {
    char c = 1;
    // Only an async-signal-safe write here; the loop picks it up.
    ssize_t ignored = ::write(signal_fds[0], &c, 1);
    (void)ignored;
}
}  // namespace

void quit_on_signals() {
    if (!the_app || signal_fds[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signal_fds) != 0) return;
    auto* n = new QSocketNotifier(signal_fds[1], QSocketNotifier::Read, the_app);
    QObject::connect(n, &QSocketNotifier::activated, [] {
        char buf[16];
        while (::read(signal_fds[1], buf, sizeof buf) > 0) {
        }
        post_quit(0);
    });
    struct sigaction sa {};
    sa.sa_handler = on_quit_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

bool quit_requested(int* code) {
    if (code) *code = quit_code;
    return quit_pending;
}

void reset_quit() {
    quit_pending = false;
    quit_code = 0;
}

void process_events(int ms) {
    if (!the_app) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (ms <= 0) return;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(std::max<qint64>(1, std::min<qint64>(5, ms - t.elapsed())), &loop,
                           &QEventLoop::quit);
        loop.exec();
    }
}

}  // namespace platform
