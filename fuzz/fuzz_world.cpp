// World files: any bytes as a world file. Whatever loads is saved and loads again as the same
// walls, in the same order, and the same target.
#include <cstdlib>

#include "fuzz_context.h"

namespace {

world_class* load(const char* file) {
    return new world_class(world_setup{100, 100, file});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quiet_directory();
    if (!fuzz::write_input("world.txt", data, size)) return 0;
    world_class* first = load("world.txt");
    if (first->save_world("saved.txt") < 0) std::abort();
    world_class* again = load("saved.txt");
    if (again->wall_count != first->wall_count || again->target_x != first->target_x ||
        again->target_y != first->target_y)
        std::abort();
    for (const wall_type *a = first->walls, *b = again->walls; a && b; a = a->next, b = b->next)
        if (a->x != b->x || a->y != b->y || a->w != b->w || a->h != b->h) std::abort();
    delete again;
    delete first;
    return 0;
}
