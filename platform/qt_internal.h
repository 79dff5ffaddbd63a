// Private to platform/: the toolkit objects behind window handles and drawing contexts.
#pragma once

#include <QApplication>
#include <QImage>
#include <QMenuBar>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/draw.h"
#include "platform/raster.h"
#include "platform/window.h"

namespace platform {

class host_widget;
class client_widget;

struct class_info {
    std::string name;
    window_proc proc = nullptr;
    const menu_def* menu = nullptr;
};

}  // namespace platform

struct platform::window_impl {
    std::uint64_t serial = 0;  // distinguishes a live window from a reused address
    const class_info* cls = nullptr;
    host_widget* host = nullptr;
    client_widget* client = nullptr;
    QMenuBar* menu_bar = nullptr;
    void* user_data = nullptr;
    std::string title;
    int client_w = 0, client_h = 0;
    bool alive = true;
    bool in_paint = false;
    QPainter* paint_painter = nullptr;  // set while a paint message is handled
    std::map<unsigned, QTimer*> timers;
};

namespace platform {

class bitmap {
public:
    QImage image;
    dc* selected_in = nullptr;
    // A layer's drawn pixels as runs along its rows, found on its first overlay after it was
    // last selected into a context (anything drawn on it is drawn through one).
    struct run {
        int y, x0, x1;  // [x0, x1) of row y
    };
    std::vector<run> runs;
    bool runs_known = false;
};

class dc {
public:
    bitmap* target = nullptr;      // memory context
    QPainter* external = nullptr;  // window paint context
    QPainter own;                  // painter on target, begun lazily
    pen p = make_pen(rgb(0, 0, 0), 1);
    brush b = make_brush(rgb(255, 255, 255));
    QPoint pos{0, 0};
    color text_color = rgb(0, 0, 0);
    color bk_color = rgb(255, 255, 255);

    // The painter to draw with, or nullptr when there is nothing to draw on.
    QPainter* painter();
    // Direct pixel access to the selected bitmap (ends any painter first); false for windows.
    bool raster(raster_target& t);
    // Ends drawing on the bitmap so its pixels can be read.
    void finish();

    // The pixel access last handed out, good until the painter or anything else that reads or
    // replaces the bitmap comes in between (every such path ends the drawing with finish()).
    raster_target raster_cache;
    bool raster_ready = false;
};

// Sends a message to a window's procedure if the window is alive.
lresult deliver(window w, unsigned msg, wparam wp, lparam lp);
// Sends a message to every live window.
void deliver_to_all(unsigned msg, wparam wp, lparam lp);

// The toolkit application, or nullptr before init_app.
QApplication* application();

// The keyboard. Virtual-key codes run below held_key_count.
constexpr unsigned held_key_count = 256;
// Maps a toolkit key to its virtual-key code; 0 for keys that have none.
unsigned virtual_key(int key, Qt::KeyboardModifiers modifiers);
// Marks a key held; true when it was held already (the press is a repeat).
bool press_key(unsigned vk);
void release_key(unsigned vk);
bool key_held(unsigned vk);
// Forgets every held key without releasing it.
void forget_held_keys();
// Asks the X server for detectable auto-repeat; false where that cannot be had.
bool detectable_auto_repeat(QApplication* app);

}  // namespace platform
