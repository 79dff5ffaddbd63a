#include "resources/main_menu.h"

namespace {
const platform::menu_item file_items[] = {
    {"&Server", id_server}, {"&Connect", id_connect},   {"&Disconnect", id_disconnect},
    {"Sto&p", id_stop},     {"Sh&utdown", id_shutdown}, {"&Exit", id_exit},
};
}  // namespace

const platform::menu_def main_menu = {"&File", file_items,
                                      static_cast<int>(sizeof file_items / sizeof file_items[0])};
