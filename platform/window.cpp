// Windows: window classes with their procedures and menus, the top-level window with its menu bar
// over a client area, and the client area turning the toolkit's paint, key, mouse, focus, resize
// and close events into messages; window life (create, show, destroy, serials that tell a live
// window from a reused address), messages sent and posted, and timers.
#include "platform/window.h"

#include <QCloseEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QResizeEvent>
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "platform/qt_internal.h"

namespace platform {

namespace {

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
        const bool repeat = press_key(vk);
        deliver(win_, msg_key_down, vk, repeat ? 1 : 0);
    }
    void keyReleaseEvent(QKeyEvent* e) override {
        // Without detectable auto-repeat the toolkit marks the releases it recognises between
        // repeated presses; a held key gets one key-up only.
        if (e->isAutoRepeat()) return;
        unsigned vk = virtual_key(e->key(), e->modifiers());
        if (!vk) return;
        release_key(vk);
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
            for (unsigned vk = 0; vk < held_key_count && alive(win_); ++vk) {
                if (!key_held(vk)) continue;
                release_key(vk);
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

void deliver_to_all(unsigned msg, wparam wp, lparam lp) {
    std::vector<window> all;
    for (auto& [w, serial] : live()) all.push_back(w);
    for (window w : all) deliver(w, msg, wp, lp);
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
    if (!application() || !class_name) return nullptr;
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
        if (!is_headless()) {
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
    if (!alive(w) || !application()) return;
    std::uint64_t serial = w->serial;
    QMetaObject::invokeMethod(
        application(),
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
