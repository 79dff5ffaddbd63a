// The configuration reader and the robot record parser: any file as robots.txt.
#include "fuzz_context.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quiet_directory();
    if (!fuzz::write_input("robots.txt", data, size)) return 0;
    main_class owner;
    owner.buffer_width = owner.buffer_height = 100;
    world_class* world = new world_class(&owner);
    delete world;
    return 0;
}
