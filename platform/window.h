// Windows, messages, timers and the message loop.
//
// The only place that knows the toolkit is platform/*.cpp. Everything above it sees window
// procedures that receive numbered messages with packed parameters, exactly as the classic
// desktop API delivers them, so the system's dispatch tables can be driven by tests that send
// messages directly.
#pragma once

#include <cstdint>

namespace platform {

struct window_impl;
using window = window_impl*;
using wparam = std::uintptr_t;
using lparam = std::intptr_t;
using lresult = long;
using window_proc = lresult (*)(window, unsigned, wparam, lparam);

// Message numbers, with their classic values.
enum : unsigned {
    msg_create = 0x0001,
    msg_destroy = 0x0002,
    msg_size = 0x0005,
    msg_kill_focus = 0x0008,
    msg_paint = 0x000F,
    msg_close = 0x0010,
    msg_activate_app = 0x001C,
    msg_nc_create = 0x0081,
    msg_key_down = 0x0100,
    msg_key_up = 0x0101,
    msg_command = 0x0111,
    msg_timer = 0x0113,
    msg_mouse_move = 0x0200,
    msg_left_down = 0x0201,
    msg_left_up = 0x0202,
    msg_left_double = 0x0203,  // the second press of a double click, in place of msg_left_down
    msg_right_down = 0x0204,
    msg_right_up = 0x0205,
    msg_user = 0x0400,
};

// Mouse-message word parameter: which buttons are held.
enum : unsigned { mk_left = 0x0001, mk_right = 0x0002 };

// Virtual-key codes delivered with key messages. Letters are their upper-case ASCII codes. The
// long parameter of msg_key_down is 1 for a repeat (a key-down of a key already held), else 0.
enum : unsigned {
    vk_space = 0x20,
    vk_escape = 0x1B,
    vk_left = 0x25,
    vk_up = 0x26,
    vk_right = 0x27,
    vk_down = 0x28,
    vk_return = 0x0D,
    vk_back = 0x08,
    vk_tab = 0x09,
    vk_shift = 0x10,
    vk_control = 0x11,
    vk_menu = 0x12,
    vk_delete = 0x2E,
};
// The virtual-key code of a letter key, given as its upper-case letter.
constexpr unsigned vk_letter(char upper) {
    return static_cast<unsigned char>(upper);
}

// The long parameter of the non-client-create and create messages points to this.
struct create_params {
    void* param;
};

// x in the low 16 bits, y in the high 16 bits.
constexpr lparam pack_xy(int x, int y) {
    return static_cast<lparam>((static_cast<std::uint32_t>(y & 0xFFFF) << 16) |
                               static_cast<std::uint32_t>(x & 0xFFFF));
}
constexpr unsigned low_word(lparam v) {
    return static_cast<unsigned>(v) & 0xFFFFu;
}
constexpr unsigned high_word(lparam v) {
    return (static_cast<unsigned>(v) >> 16) & 0xFFFFu;
}

struct rect {
    int left, top, right, bottom;
};

// A menu bar with one popup.
struct menu_item {
    const char* text;  // "&" marks the mnemonic
    unsigned id;       // delivered as the word parameter of msg_command
};
struct menu_def {
    const char* popup_title;
    const menu_item* items;
    int count;
};

// Application. init_app must run before any window is made; headless selects the off-screen
// platform (windows exist and receive messages, nothing is shown).
void init_app(int& argc, char** argv, bool headless);
bool app_ready();
bool is_headless();
// Runs until post_quit; returns the code given to it.
int run_message_loop();
// Ends the loop with the code once the current handler returns.
void post_quit(int code);
// Whether post_quit was called, and with which code (tests drive windows without the loop).
bool quit_requested(int* code = nullptr);
void reset_quit();
// SIGINT, SIGTERM and SIGHUP (the terminal was closed) end the loop as post_quit(0) would.
void quit_on_signals();
// Handles pending events without blocking (for tests); processes events for up to ms.
void process_events(int ms = 0);

// Window classes. Registering a name twice fails.
bool register_class(const char* class_name, window_proc proc, const menu_def* menu);
bool class_registered(const char* class_name);
// A live window of the class exists.
bool find_window(const char* class_name);

// Creates a hidden top-level window of outer size w by h (menu bar included) at (x, y).
// Sends msg_nc_create and then msg_create synchronously, each with a create_params* carrying
// param. Returns nullptr when the class is unknown or msg_nc_create returns 0.
window create_window(const char* class_name, const char* title, int x, int y, int w, int h, void* param);
void set_menu(window w, const menu_def* menu);
void show_window(window w, bool show);
bool is_visible(window w);
// Paints at once.
void update_window(window w);
// Sends msg_destroy, kills the window's timers and frees the window. Safe to call twice.
void destroy_window(window w);
bool is_window(window w);
const char* window_title(window w);
void set_window_title(window w, const char* title);

void set_user_data(window w, void* data);
void* get_user_data(window w);

lresult def_window_proc(window w, unsigned msg, wparam wp, lparam lp);
lresult send_message(window w, unsigned msg, wparam wp, lparam lp);
// Queued; dropped if the window is gone by the time it would be delivered.
void post_message(window w, unsigned msg, wparam wp, lparam lp);

// The client area: (0, 0, width, height).
rect get_client_rect(window w);
// Resizes the client area (sends msg_size).
void set_client_size(window w, int width, int height);
// Requests a paint message without erasing.
void invalidate(window w);

// Periodic timer; the same id again replaces the period. Period 0 runs as fast as the loop
// allows. Returns false when the window is not valid.
bool set_timer(window w, unsigned id, unsigned period_ms);
void kill_timer(window w, unsigned id);

}  // namespace platform
