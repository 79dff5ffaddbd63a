// The camera link's receive path: a byte stream in pieces of any size, through size packets,
// checksums, frame completion, decoding and (when the input asks for it) motion targeting.
#include <algorithm>

#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "fuzz_context.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::context& ctx = fuzz::shared();
    robot_camera_class* cam = ctx.robot->console->camera;
    if (size < 1) return 0;
    fuzz::wire w;
    cam->camera_socket = w.ours;
    cam->connected = true;
    cam->targeting = (data[0] & 1) != 0;
    std::size_t i = 1;
    while (i < size) {
        // Pieces of 1 to 1,024 bytes, their length taken from two bytes of the input.
        if (i + 2 > size) break;
        const std::size_t want = 1 + ((static_cast<std::size_t>(data[i]) << 8 | data[i + 1]) % 1024);
        i += 2;
        const std::size_t n = std::min(want, size - i);
        if (n == 0) break;
        if (::send(w.theirs, data + i, n, MSG_NOSIGNAL) < 0) break;
        for (int k = 0; k < 4; ++k) cam->read_camera_data();
        w.drain();  // the image requests it sends
        i += n;
    }
    cam->camera_socket = platform::invalid_socket;
    cam->connected = false;
    return 0;
}
