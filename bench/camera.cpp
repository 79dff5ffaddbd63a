// The camera's per-frame path on 640 by 480 frames from the stand-in robot's encoder: ours
// (frame completion, decoding, copy into the bottom-up picture), and ours with motion targeting,
// each against a bare libjpeg-turbo decode of the same image with its tables, in the same run.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>

#include "bench_util.h"
#include "camera/jpeg_decode.h"
#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "link/robot_comm.h"
#include "robot/robot.h"
#include "tools/robot_peer/mjpeg.h"
#include "world/world.h"

namespace {

// A plain decode of a complete JPEG into packed RGB rows.
void bare_decode(const std::vector<std::uint8_t>& jpeg, std::vector<std::uint8_t>& out) {
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, jpeg.data(), jpeg.size());
    jpeg_read_header(&c, TRUE);
    jpeg_start_decompress(&c);
    const std::size_t stride = static_cast<std::size_t>(c.output_width) * c.output_components;
    out.resize(stride * c.output_height);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = out.data() + stride * c.output_scanline;
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 40;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string dir = bench::enter_temp_dir();
    const int W = 640, H = 480;

    std::vector<std::vector<std::uint8_t>> full, motion;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(W) * H * 3);
    for (int i = 0; i < frames; ++i) {
        mjpeg::render_scene(rgb.data(), W, H, static_cast<unsigned>(i * 3));
        full.push_back(mjpeg::encode(rgb.data(), W, H, 80));
        motion.push_back(mjpeg::to_motion_jpeg(full.back()));
    }

    // A camera link with its console and robot, its control link writing into a local sink.
    auto* world = new world_class(world_setup{100, 100, ""});
    auto* robot = new robot_class(world, "bench", "127.0.0.1", 1, 0);
    robot_camera_class* cam = robot->console->camera;
    int sink[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sink) != 0) return 1;
    robot->console->comm->control_socket = sink[0];
    robot->console->comm->connected = true;
    cam->width = W;
    cam->height = H;

    std::vector<double> bare_t, ours_t, target_t;
    std::vector<std::uint8_t> out;
    unsigned long frame_bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < frames; ++i) {
            double t0 = bench::now_s();
            bare_decode(full[i], out);
            bare_t.push_back(bench::now_s() - t0);

            // Ours: the bytes as the link received them, completed and decoded in place.
            t0 = bench::now_s();
            std::memcpy(cam->compressed_image, motion[i].data(), motion[i].size());
            unsigned len = static_cast<unsigned>(motion[i].size());
            decompress_image(cam->compressed_image, &len, robot_camera_class::buffer_bytes + robot_camera_class::frame_growth_room,
                             cam->camera_buffer, W, H);
            ours_t.push_back(bench::now_s() - t0);

            t0 = bench::now_s();
            std::memcpy(cam->compressed_image, motion[i].data(), motion[i].size());
            len = static_cast<unsigned>(motion[i].size());
            decompress_image(cam->compressed_image, &len, robot_camera_class::buffer_bytes + robot_camera_class::frame_growth_room,
                             cam->camera_buffer, W, H);
            robot->console->take_camera_news(camera_news{false, {cam->process_frame(robot->pan, robot->tilt)}});
            target_t.push_back(bench::now_s() - t0);
            frame_bytes += static_cast<unsigned long>(motion[i].size());

            char drain[4096];
            while (::recv(sink[1], drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
        }
    }
    const double bare = bench::median(bare_t), ours = bench::median(ours_t), tgt = bench::median(target_t);
    std::printf("frame_width: %d\n", W);
    std::printf("frame_height: %d\n", H);
    std::printf("frame_bytes_mean: %lu\n", frame_bytes / static_cast<unsigned long>(frames * rounds));
    std::printf("bare_decode_us: %.1f\n", bare * 1e6);
    std::printf("frame_path_us: %.1f\n", ours * 1e6);
    std::printf("frame_targeting_us: %.1f\n", tgt * 1e6);
    std::printf("frame_overhead: %.3f\n", ours / bare);
    std::printf("targeting_overhead: %.3f\n", tgt / bare);
    robot->console->comm->connected = false;
    delete robot;
    delete world;
    ::close(sink[1]);
    bench::leave_temp_dir(dir);
    return 0;
}
