// The menu "MAINMENU": one popup, "&File", shared by the main window and the robot consoles.
#pragma once

#include "platform/window.h"

enum menu_id : unsigned {
    id_exit = 10001,
    id_stop = 10002,
    id_connect = 10003,
    id_disconnect = 10004,
    id_server = 10005,
    id_shutdown = 10006,
};

extern const platform::menu_def main_menu;
