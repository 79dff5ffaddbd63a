// Frame completion and decoding alone, on frames of any content and picture sizes up to the
// largest the link accepts.
#include <cstring>
#include <vector>

#include "camera/jpeg_decode.h"
#include "camera/robot_camera.h"
#include "fuzz_context.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quiet_directory();
    if (size < 4 || size > robot_camera_class::buffer_bytes) return 0;
    // The picture size comes from the first four bytes, kept within the picture buffer.
    unsigned w = 1 + ((data[0] << 8 | data[1]) % 640), h = 1 + ((data[2] << 8 | data[3]) % 480);
    static std::vector<color_type> picture(robot_camera_class::buffer_bytes / 3);
    static std::vector<unsigned char> frame(robot_camera_class::buffer_bytes + robot_camera_class::frame_growth_room);
    unsigned len = static_cast<unsigned>(size - 4);
    std::memcpy(frame.data(), data + 4, len);
    decompress_image(frame.data(), &len, static_cast<unsigned>(frame.size()), picture.data(), w, h);
    return 0;
}
