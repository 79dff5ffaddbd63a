// Writes the small seed corpora of the fuzz targets: real frames from the stand-in robot's
// encoder, valid and broken packets, and robot lists. Run from the fuzz folder.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/robot_peer/mjpeg.h"

namespace {

using bytes = std::vector<unsigned char>;

void write(const std::string& dir, const std::string& name, const bytes& b) {
    ::mkdir("corpus", 0755);
    ::mkdir(("corpus/" + dir).c_str(), 0755);
    std::FILE* f = std::fopen(("corpus/" + dir + "/" + name).c_str(), "wb");
    if (!f) return;
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

bytes frame(int w, int h, unsigned n) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    mjpeg::render_scene(rgb.data(), w, h, n);
    return mjpeg::to_motion_jpeg(mjpeg::encode(rgb.data(), w, h, 60));
}

bytes size_packet(unsigned w, unsigned h, const bytes& jpeg) {
    const unsigned len = static_cast<unsigned>(jpeg.size()), sum = mjpeg::checksum16(jpeg);
    bytes b{0x40, static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w), static_cast<unsigned char>(h >> 8),
            static_cast<unsigned char>(h), static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
            static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len), static_cast<unsigned char>(sum >> 8),
            static_cast<unsigned char>(sum)};
    b.insert(b.end(), jpeg.begin(), jpeg.end());
    return b;
}

// Interleaves two length bytes before every piece of at most `piece` bytes, as the camera
// target reads its input.
bytes camera_input(bool targeting, const bytes& stream, unsigned piece) {
    bytes out{static_cast<unsigned char>(targeting ? 1 : 0)};
    for (std::size_t i = 0; i < stream.size(); i += piece) {
        const std::size_t n = std::min<std::size_t>(piece, stream.size() - i);
        out.push_back(static_cast<unsigned char>((n - 1) >> 8));
        out.push_back(static_cast<unsigned char>(n - 1));
        out.insert(out.end(), stream.begin() + static_cast<long>(i), stream.begin() + static_cast<long>(i + n));
    }
    return out;
}

bytes control_input(const bytes& stream, unsigned piece) {
    bytes out;
    for (std::size_t i = 0; i < stream.size(); i += piece) {
        const std::size_t n = std::min<std::size_t>(piece, stream.size() - i);
        out.push_back(static_cast<unsigned char>(n - 1));
        out.insert(out.end(), stream.begin() + static_cast<long>(i), stream.begin() + static_cast<long>(i + n));
    }
    return out;
}

}  // namespace

int main() {
    const bytes small = frame(48, 32, 1), other = frame(48, 32, 7), wide = frame(96, 16, 3);
    bytes two = size_packet(48, 32, small);
    const bytes second = size_packet(48, 32, other);
    two.insert(two.end(), second.begin(), second.end());
    write("camera", "two_frames", camera_input(true, two, 300));
    write("camera", "one_byte_pieces", camera_input(false, size_packet(96, 16, wide), 1));
    bytes bad = size_packet(48, 32, small);
    bad[10] ^= 1;
    write("camera", "bad_checksum", camera_input(true, bad, 1024));
    write("camera", "bad_marker", camera_input(false, bytes{0x41, 0, 48, 0, 32, 0, 0, 0, 5, 0, 0, 1, 2, 3, 4, 5}, 16));

    // Size packets whose width by height by 3 wraps round 32 bits, each followed by a frame.
    bytes wrapping = size_packet(43691, 32768, small);
    const bytes wrapping2 = size_packet(32768, 43691, small);
    wrapping.insert(wrapping.end(), wrapping2.begin(), wrapping2.end());
    write("camera", "wrapping_size", camera_input(false, wrapping, 1024));
    // A small frame in one scan per component whose header announces 16384 by 16384.
    std::vector<std::uint8_t> rgb(48 * 32 * 3);
    mjpeg::render_scene(rgb.data(), 48, 32, 2);
    bytes huge = mjpeg::to_motion_jpeg(mjpeg::encode_in_scans(rgb.data(), 48, 32, 20));
    mjpeg::set_frame_size(huge, 16384, 16384);
    write("camera", "huge_frame", camera_input(true, size_packet(48, 32, huge), 1024));
    bytes huge_size{0, 48, 0, 32};
    huge_size.insert(huge_size.end(), huge.begin(), huge.end());
    write("jpeg", "huge_frame", huge_size);

    bytes with_size{0, 48, 0, 32};
    with_size.insert(with_size.end(), small.begin(), small.end());
    write("jpeg", "frame_48x32", with_size);
    bytes wide_size{0, 96, 0, 16};
    wide_size.insert(wide_size.end(), wide.begin(), wide.end());
    write("jpeg", "frame_96x16", wide_size);

    const bytes telemetry{0x12, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x71};
    write("control", "telemetry", control_input(telemetry, 18));
    bytes mixed = telemetry;
    mixed.insert(mixed.end(), {0x02, 0x03, 0x21, 0x24, 0x0A, 0x20, 1, 2, 3, 4, 5, 6, 7, 0x3A});
    mixed.insert(mixed.end(), telemetry.begin(), telemetry.end());
    mixed.back() ^= 1;
    write("control", "mixed", control_input(mixed, 5));

    const std::string robots = "scout 127.0.0.1 5100 1 1\nranger\t10.0.0.2\t5102 0 1 # note\n# comment\nshort 1 2 3\n";
    write("config", "robots", bytes(robots.begin(), robots.end()));
    const std::string long_line = std::string(1500, 'x') + " host 1 1 1\r\nname host word 0 0\r\n";
    write("config", "long_line", bytes(long_line.begin(), long_line.end()));
    return 0;
}
