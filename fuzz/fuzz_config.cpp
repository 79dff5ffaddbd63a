// The configuration reader and the robot record parser: any file as robots.txt.
#include "fuzz_context.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quiet_directory();
    if (!fuzz::write_input("robots.txt", data, size)) return 0;
    world_class* world = new world_class(world_setup{100, 100, ""});
    delete world;
    return 0;
}
