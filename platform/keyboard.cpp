// The keyboard: the table that maps the toolkit's keys to virtual-key codes, the keys held down
// now (a press of a held key is an auto-repeat, and a held key gets one key-up), and asking the X
// server for detectable auto-repeat so a held key sends presses only and one release at the end.
#include <QApplication>
#include <bitset>
#include <cstdlib>

#include "platform/qt_internal.h"

// The keyboard extension's header names a field "explicit", a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit

namespace platform {

namespace {
// Keys held down now, by virtual-key code: a press of a held key is a repeat.
std::bitset<held_key_count> held_keys;
}  // namespace

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

bool press_key(unsigned vk) {
    const bool repeat = held_keys[vk];
    held_keys[vk] = true;
    return repeat;
}

void release_key(unsigned vk) {
    held_keys[vk] = false;
}

bool key_held(unsigned vk) {
    return held_keys[vk];
}

void forget_held_keys() {
    held_keys.reset();
}

// Asks the X server for detectable auto-repeat: a held key then sends presses only and one
// release when it really goes up. Without it the server sends a release before every repeated
// press, and whether that release is a repeat can only be guessed from what has arrived after
// it, which depends on timing. Returns false where there is no X server or it cannot do this.
bool detectable_auto_repeat(QApplication* app) {
    auto* x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
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

}  // namespace platform
