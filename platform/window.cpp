#include "platform/window.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QSocketNotifier>
#include <algorithm>
#include <bitset>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "platform/qt_internal.h"

// The keyboard extension's header names a field "explicit", a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit

namespace platform {

namespace {

QApplication* the_app = nullptr;
bool headless_mode = false;
bool loop_running = false;
bool quit_pending = false;
int quit_code = 0;
std::uint64_t next_serial = 1;

std::map<std::string, class_info>& classes() {
    static std::map<std::string, class_info> c;
    return c;
}

// Live windows by handle, with the serial each was given.
std::unordered_map<window, std::uint64_t>& live() {
    static std::unordered_map<window, std::uint64_t> l;
    return l;
}

bool alive(window w) {
    if (!w) return false;
    auto it = live().find(w);
    return it != live().end() && w->alive;
}

// Maps a toolkit key to its virtual-key code; 0 for keys that have none. Virtual keys name the
// key, not the character: shifted digits and punctuation give the code of their unshifted key
// (US layout), and keypad keys with Num Lock on give the keypad codes.
unsigned virtual_key(int key, Qt::KeyboardModifiers modifiers) {
    if (modifiers & Qt::KeypadModifier) {
        if (key >= Qt::Key_0 && key <= Qt::Key_9) return 0x60u + static_cast<unsigned>(key - Qt::Key_0);
        switch (key) {
            case Qt::Key_Asterisk:
                return 0x6A;  // multiply
            case Qt::Key_Plus:
                return 0x6B;  // add
            case Qt::Key_Minus:
                return 0x6D;  // subtract
            case Qt::Key_Period:
            case Qt::Key_Comma:
                return 0x6E;  // decimal point
            case Qt::Key_Slash:
                return 0x6F;  // divide
            default:
                break;  // Enter, and with Num Lock off the arrows, Home and the rest, as below
        }
    }
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<unsigned>(key);
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<unsigned>(key);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 0x70u + static_cast<unsigned>(key - Qt::Key_F1);
    switch (key) {
        case Qt::Key_Space:
            return vk_space;
        case Qt::Key_Escape:
            return vk_escape;
        case Qt::Key_Left:
            return vk_left;
        case Qt::Key_Up:
            return vk_up;
        case Qt::Key_Right:
            return vk_right;
        case Qt::Key_Down:
            return vk_down;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return vk_return;
        case Qt::Key_Backspace:
            return vk_back;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return vk_tab;
        case Qt::Key_Shift:
            return vk_shift;
        case Qt::Key_Control:
            return vk_control;
        case Qt::Key_Alt:
        case Qt::Key_AltGr:
            return vk_menu;
        case Qt::Key_Clear:
            return 0x0C;  // keypad 5 with Num Lock off
        case Qt::Key_Pause:
            return 0x13;
        case Qt::Key_CapsLock:
            return 0x14;
        case Qt::Key_PageUp:
            return 0x21;  // prior
        case Qt::Key_PageDown:
            return 0x22;  // next
        case Qt::Key_End:
            return 0x23;
        case Qt::Key_Home:
            return 0x24;
        case Qt::Key_Print:
            return 0x2C;  // snapshot
        case Qt::Key_Insert:
            return 0x2D;
        case Qt::Key_Delete:
            return 0x2E;
        case Qt::Key_Meta:
            return 0x5B;  // left Windows key
        case Qt::Key_Menu:
            return 0x5D;  // applications
        case Qt::Key_NumLock:
            return 0x90;
        case Qt::Key_ScrollLock:
            return 0x91;
        // Shifted digits (US layout)
        case Qt::Key_ParenRight:
            return '0';
        case Qt::Key_Exclam:
            return '1';
        case Qt::Key_At:
            return '2';
        case Qt::Key_NumberSign:
            return '3';
        case Qt::Key_Dollar:
            return '4';
        case Qt::Key_Percent:
            return '5';
        case Qt::Key_AsciiCircum:
            return '6';
        case Qt::Key_Ampersand:
            return '7';
        case Qt::Key_Asterisk:
            return '8';
        case Qt::Key_ParenLeft:
            return '9';
        // Punctuation keys and their shifted characters (US layout)
        case Qt::Key_Semicolon:
        case Qt::Key_Colon:
            return 0xBA;
        case Qt::Key_Equal:
        case Qt::Key_Plus:
            return 0xBB;
        case Qt::Key_Comma:
        case Qt::Key_Less:
            return 0xBC;
        case Qt::Key_Minus:
        case Qt::Key_Underscore:
            return 0xBD;
        case Qt::Key_Period:
        case Qt::Key_Greater:
            return 0xBE;
        case Qt::Key_Slash:
        case Qt::Key_Question:
            return 0xBF;
        case Qt::Key_QuoteLeft:
        case Qt::Key_AsciiTilde:
            return 0xC0;
        case Qt::Key_BracketLeft:
        case Qt::Key_BraceLeft:
            return 0xDB;
        case Qt::Key_Backslash:
        case Qt::Key_Bar:
            return 0xDC;
        case Qt::Key_BracketRight:
        case Qt::Key_BraceRight:
            return 0xDD;
        case Qt::Key_Apostrophe:
        case Qt::Key_QuoteDbl:
            return 0xDE;
        default:
            return 0;
    }
}

// Keys held down now, by virtual-key code: a press of a held key is a repeat.
std::bitset<256> held_keys;

// Asks the X server for detectable auto-repeat: a held key then sends presses only and one
// release when it really goes up. Without it the server sends a release before every repeated
// press, and whether that release is a repeat can only be guessed from what has arrived after
// it, which depends on timing. Returns false where there is no X server or it cannot do this.
bool detectable_auto_repeat() {
    auto* x11 = the_app ? the_app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c) return false;
    const std::uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    xcb_xkb_use_extension_reply_t* use =
        xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr);
    const bool usable = use && use->supported;
    std::free(use);
    if (!usable) return false;
    xcb_xkb_per_client_flags_reply_t* r = xcb_xkb_per_client_flags_reply(
        c, xcb_xkb_per_client_flags(c, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0), nullptr);
    const bool on = r && (r->value & flag);
    std::free(r);
    return on;
}

wparam button_flags(Qt::MouseButtons b) {
    wparam f = 0;
    if (b & Qt::LeftButton) f |= mk_left;
    if (b & Qt::RightButton) f |= mk_right;
    return f;
}

}  // namespace

// The client area: receives paint, input and focus events.
class client_widget : public QWidget {
public:
    client_widget(window_impl* w, QWidget* parent) : QWidget(parent), win_(w) {
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!alive(win_)) return;
        QPainter painter(this);
        win_->in_paint = true;
        win_->paint_painter = &painter;
        deliver(win_, msg_paint, 0, 0);
        if (alive(win_)) {
            win_->paint_painter = nullptr;
            win_->in_paint = false;
        }
    }
    void keyPressEvent(QKeyEvent* e) override {
        unsigned vk = virtual_key(e->key(), e->modifiers());
        if (!vk) return;
        const bool repeat = held_keys[vk];
        held_keys[vk] = true;
        deliver(win_, msg_key_down, vk, repeat ? 1 : 0);
    }
    void keyReleaseEvent(QKeyEvent* e) override {
        // Without detectable auto-repeat the toolkit marks the releases it recognises between
        // repeated presses; a held key gets one key-up only.
        if (e->isAutoRepeat()) return;
        unsigned vk = virtual_key(e->key(), e->modifiers());
        if (!vk) return;
        held_keys[vk] = false;
        deliver(win_, msg_key_up, vk, 0);
    }
    void mousePressEvent(QMouseEvent* e) override {
        unsigned msg = e->button() == Qt::LeftButton    ? unsigned{msg_left_down}
                       : e->button() == Qt::RightButton ? unsigned{msg_right_down}
                                                        : 0u;
        if (msg) deliver(win_, msg, button_flags(e->buttons()), pos_of(e, false));
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton) return mousePressEvent(e);
        deliver(win_, msg_left_double, button_flags(e->buttons()), pos_of(e, false));
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        unsigned msg = e->button() == Qt::LeftButton    ? unsigned{msg_left_up}
                       : e->button() == Qt::RightButton ? unsigned{msg_right_up}
                                                        : 0u;
        // A release outside the client area still ends a drag; its position is kept inside.
        if (msg) deliver(win_, msg, button_flags(e->buttons()), pos_of(e, true));
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        // Moves are reported only over the client area, as the pointer is not captured.
        QPoint p = e->position().toPoint();
        if (p.x() < 0 || p.y() < 0 || p.x() >= width() || p.y() >= height()) return;
        deliver(win_, msg_mouse_move, button_flags(e->buttons()), pack_xy(p.x(), p.y()));
    }
    void focusOutEvent(QFocusEvent* e) override {
        // Focus that moves to the window's own menu bar or menu stays in the window. Keys let go
        // while the menu has the keyboard are released there, so the keys held now are released
        // here, once.
        if (e->reason() == Qt::MenuBarFocusReason || e->reason() == Qt::PopupFocusReason) {
            for (unsigned vk = 0; vk < held_keys.size() && alive(win_); ++vk) {
                if (!held_keys[vk]) continue;
                held_keys[vk] = false;
                deliver(win_, msg_key_up, vk, 0);
            }
            return;
        }
        deliver(win_, msg_kill_focus, 0, 0);
    }

private:
    lparam pos_of(QMouseEvent* e, bool clamp) const {
        QPoint p = e->position().toPoint();
        if (clamp) {
            p.setX(std::clamp(p.x(), 0, std::max(0, width() - 1)));
            p.setY(std::clamp(p.y(), 0, std::max(0, height() - 1)));
        }
        return pack_xy(p.x(), p.y());
    }
    window_impl* win_;
};

// The top-level window: a menu bar over the client area.
class host_widget : public QWidget {
public:
    explicit host_widget(window_impl* w) : QWidget(nullptr), win_(w) {}
    ~host_widget() override { delete win_; }

    int menu_height() const { return win_->menu_bar ? win_->menu_bar->sizeHint().height() : 0; }
    // Lays out the children for an outer size and reports a changed client size.
    void apply_size(int w, int h) {
        int mh = menu_height();
        if (win_->menu_bar) win_->menu_bar->setGeometry(0, 0, w, mh);
        int cw = std::max(0, w), ch = std::max(0, h - mh);
        win_->client->setGeometry(0, mh, cw, ch);
        if (cw != win_->client_w || ch != win_->client_h) {
            win_->client_w = cw;
            win_->client_h = ch;
            deliver(win_, msg_size, 0, pack_xy(cw, ch));
        }
    }

protected:
    void resizeEvent(QResizeEvent* e) override {
        if (alive(win_)) apply_size(e->size().width(), e->size().height());
    }
    void closeEvent(QCloseEvent* e) override {
        // The window procedure decides; default processing destroys the window.
        e->ignore();
        deliver(win_, msg_close, 0, 0);
    }

private:
    window_impl* win_;
};

lresult deliver(window w, unsigned msg, wparam wp, lparam lp) {
    if (!alive(w) || !w->cls || !w->cls->proc) return 0;
    return w->cls->proc(w, msg, wp, lp);
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
    detectable_auto_repeat();
    QObject::connect(the_app, &QGuiApplication::applicationStateChanged, [](Qt::ApplicationState s) {
        static bool was_active = false;
        bool active = s == Qt::ApplicationActive;
        if (active == was_active) return;
        was_active = active;
        if (!active) held_keys.reset();  // their releases go elsewhere
        std::vector<window> all;
        for (auto& [w, serial] : live()) all.push_back(w);
        for (window w : all) deliver(w, msg_activate_app, active ? 1 : 0, 0);
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

bool register_class(const char* class_name, window_proc proc, const menu_def* menu) {
    if (!class_name || !*class_name || !proc) return false;
    auto& c = classes();
    if (c.count(class_name)) return false;
    c[class_name] = class_info{class_name, proc, menu};
    return true;
}

bool class_registered(const char* class_name) {
    return class_name && classes().count(class_name) > 0;
}

bool find_window(const char* class_name) {
    if (!class_name) return false;
    for (auto& [w, serial] : live())
        if (w->alive && w->cls && w->cls->name == class_name) return true;
    return false;
}

static void build_menu(window w, const menu_def* menu) {
    if (w->menu_bar) {
        delete w->menu_bar;
        w->menu_bar = nullptr;
    }
    if (!menu) return;
    w->menu_bar = new QMenuBar(w->host);
    QMenu* popup = w->menu_bar->addMenu(QString::fromUtf8(menu->popup_title));
    for (int i = 0; i < menu->count; ++i) {
        const menu_item& item = menu->items[i];
        QAction* act = popup->addAction(QString::fromUtf8(item.text));
        unsigned id = item.id;
        std::uint64_t serial = w->serial;
        QObject::connect(act, &QAction::triggered, [w, id, serial]() {
            auto it = live().find(w);
            if (it != live().end() && it->second == serial) deliver(w, msg_command, id, 0);
        });
    }
    w->menu_bar->show();
}

window create_window(const char* class_name, const char* title, int x, int y, int w, int h, void* param) {
    if (!the_app || !class_name) return nullptr;
    auto it = classes().find(class_name);
    if (it == classes().end()) return nullptr;

    window win = new window_impl;
    win->serial = next_serial++;
    win->cls = &it->second;
    win->title = title ? title : "";
    win->host = new host_widget(win);  // owns win from here on
    win->host->setWindowTitle(QString::fromUtf8(win->title.c_str()));
    win->client = new client_widget(win, win->host);
    win->host->setFocusProxy(win->client);
    live()[win] = win->serial;

    build_menu(win, it->second.menu);
    win->host->move(x, y);
    win->host->resize(std::max(1, w), std::max(1, h));
    // Lay out now without a size message: creation has not been announced yet.
    int mh = win->host->menu_height();
    if (win->menu_bar) win->menu_bar->setGeometry(0, 0, std::max(1, w), mh);
    win->client_w = std::max(1, w);
    win->client_h = std::max(0, h - mh);
    win->client->setGeometry(0, mh, win->client_w, win->client_h);

    create_params cp{param};
    if (deliver(win, msg_nc_create, 0, reinterpret_cast<lparam>(&cp)) == 0) {
        live().erase(win);
        win->alive = false;
        delete win->host;  // deletes win
        return nullptr;
    }
    deliver(win, msg_create, 0, reinterpret_cast<lparam>(&cp));
    if (!alive(win)) return nullptr;
    return win;
}

void set_menu(window w, const menu_def* menu) {
    if (!alive(w)) return;
    build_menu(w, menu);
    w->host->apply_size(w->host->width(), w->host->height());
}

void show_window(window w, bool show) {
    if (!alive(w)) return;
    if (show) {
        w->host->show();
        if (!headless_mode) {
            w->host->raise();
            w->host->activateWindow();
        }
    } else {
        w->host->hide();
    }
}

bool is_visible(window w) {
    return alive(w) && w->host->isVisible();
}

void update_window(window w) {
    if (alive(w) && w->host->isVisible()) w->client->repaint();
}

void destroy_window(window w) {
    if (!alive(w)) return;
    deliver(w, msg_destroy, 0, 0);
    if (!alive(w)) return;
    w->alive = false;
    live().erase(w);
    for (auto& [id, t] : w->timers) {
        t->stop();
        t->deleteLater();
    }
    w->timers.clear();
    w->host->hide();
    // The toolkit may still be inside one of this window's handlers: free it later.
    w->host->deleteLater();
}

bool is_window(window w) {
    return alive(w);
}

const char* window_title(window w) {
    return alive(w) ? w->title.c_str() : "";
}

void set_window_title(window w, const char* title) {
    if (!alive(w)) return;
    w->title = title ? title : "";
    w->host->setWindowTitle(QString::fromUtf8(w->title.c_str()));
}

void set_user_data(window w, void* data) {
    if (alive(w)) w->user_data = data;
}

void* get_user_data(window w) {
    return alive(w) ? w->user_data : nullptr;
}

lresult def_window_proc(window w, unsigned msg, wparam, lparam) {
    if (msg == msg_nc_create) return 1;
    if (msg == msg_close) destroy_window(w);
    return 0;
}

lresult send_message(window w, unsigned msg, wparam wp, lparam lp) {
    return deliver(w, msg, wp, lp);
}

void post_message(window w, unsigned msg, wparam wp, lparam lp) {
    if (!alive(w) || !the_app) return;
    std::uint64_t serial = w->serial;
    QMetaObject::invokeMethod(
        the_app,
        [w, serial, msg, wp, lp]() {
            auto it = live().find(w);
            if (it != live().end() && it->second == serial) deliver(w, msg, wp, lp);
        },
        Qt::QueuedConnection);
}

rect get_client_rect(window w) {
    if (!alive(w)) return rect{0, 0, 0, 0};
    return rect{0, 0, w->client_w, w->client_h};
}

void set_client_size(window w, int width, int height) {
    if (!alive(w)) return;
    int mh = w->host->menu_height();
    w->host->resize(std::max(1, width), std::max(1, height + mh));
    w->host->apply_size(std::max(1, width), height + mh);
}

void invalidate(window w) {
    if (alive(w)) w->client->update();
}

bool set_timer(window w, unsigned id, unsigned period_ms) {
    if (!alive(w)) return false;
    QTimer*& t = w->timers[id];
    if (!t) {
        t = new QTimer(w->host);
        t->setTimerType(Qt::PreciseTimer);
        std::uint64_t serial = w->serial;
        QObject::connect(t, &QTimer::timeout, [w, id, serial]() {
            auto it = live().find(w);
            if (it != live().end() && it->second == serial) deliver(w, msg_timer, id, 0);
        });
    }
    t->start(static_cast<int>(std::min<unsigned>(period_ms, 0x7FFFFFFF)));
    return true;
}

void kill_timer(window w, unsigned id) {
    if (!alive(w)) return;
    auto it = w->timers.find(id);
    if (it == w->timers.end()) return;
    it->second->stop();
    it->second->deleteLater();
    w->timers.erase(it);
}

}  // namespace platform
