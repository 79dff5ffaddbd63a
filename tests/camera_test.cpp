// The camera link, frame completion and decoding, and motion targeting.
#include <cstddef>
#include <cstdio>
#include <chrono>
#include <cstring>
// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>
#include <string>
#include <vector>

#include "camera/jpeg_decode.h"
#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "link/robot_comm.h"
#include "raw_link.h"
#include "robot/robot.h"
#include "support/clock.h"
#include "test_support.h"
#include "world_fixture.h"
#include "tools/robot_peer/mjpeg.h"
#include "world/world.h"

using namespace test_support;

namespace {

using bytes = std::vector<unsigned char>;

bytes size_packet(unsigned w, unsigned h, unsigned len, unsigned sum, unsigned char marker = 0x40) {
    return {marker,
            static_cast<unsigned char>(w >> 8),
            static_cast<unsigned char>(w),
            static_cast<unsigned char>(h >> 8),
            static_cast<unsigned char>(h),
            static_cast<unsigned char>(len >> 24),
            static_cast<unsigned char>(len >> 16),
            static_cast<unsigned char>(len >> 8),
            static_cast<unsigned char>(len),
            static_cast<unsigned char>(sum >> 8),
            static_cast<unsigned char>(sum)};
}

// A camera frame of the synthetic scene, with the RGB picture it was made from and the complete
// JPEG (tables included) it was cut from.
struct frame {
    std::vector<std::uint8_t> rgb;
    bytes jpeg;
    bytes whole;
};

frame make_frame(int w, int h, unsigned n, bool grey = false) {
    frame f;
    f.rgb.resize(static_cast<std::size_t>(w) * h * 3);
    mjpeg::render_scene(f.rgb.data(), w, h, n);
    if (grey) {
        std::vector<std::uint8_t> g(static_cast<std::size_t>(w) * h);
        for (std::size_t i = 0; i < g.size(); ++i) g[i] = f.rgb[i * 3 + 1];
        f.whole = mjpeg::encode(g.data(), w, h, 85, true);
    } else {
        f.whole = mjpeg::encode(f.rgb.data(), w, h, 85);
    }
    f.jpeg = mjpeg::to_motion_jpeg(f.whole);
    return f;
}

// A plain decode of a complete JPEG with libjpeg: the reference for ours.
std::vector<std::uint8_t> reference_decode(const std::vector<std::uint8_t>& jpeg, int& w, int& h) {
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, jpeg.data(), jpeg.size());
    jpeg_read_header(&c, TRUE);
    jpeg_start_decompress(&c);
    w = static_cast<int>(c.output_width);
    h = static_cast<int>(c.output_height);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * h * c.output_components);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = out.data() + static_cast<std::size_t>(c.output_scanline) * w * c.output_components;
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return out;
}

class camera_test : public world_fixture {
protected:
    void make_robot(int port) {
        make_world();
        robot = new robot_class(world, "cam", "127.0.0.1", port, 0);
        camera = robot->console->camera;
    }
    // A camera server one port above the robot's control port, connected and asked once.
    void connect(loopback_server& server) {
        make_robot(server.port() - 1);
        camera->camera_check();
        ASSERT_TRUE(pump_until([&] { return camera->connected && !server.received().empty(); }, 3000, &server));
        ASSERT_EQ(server.received(), std::string(1, '\x40'));
        server.clear();
    }
    void feed(const bytes& b) {
        bytes copy = b;
        std::size_t at = 0;
        while (at < copy.size()) {
            const std::size_t n = std::min<std::size_t>(copy.size() - at, 1024 - camera->rx_len);
            std::memcpy(camera->cam_rx_buffer + camera->rx_len, copy.data() + at, n);
            camera->rx_len += static_cast<std::uint32_t>(n);
            at += n;
            while (camera->rx_len > 0) {
                const unsigned used = camera->camera_process_packet(camera->cam_rx_buffer, camera->rx_len);
                if (used == 0) break;
                camera->rx_len -= used;
                std::memmove(camera->cam_rx_buffer, camera->cam_rx_buffer + used, camera->rx_len);
            }
        }
    }
    static bytes with_size(const bytes& jpeg, unsigned w, unsigned h) {
        bytes b = size_packet(w, h, static_cast<unsigned>(jpeg.size()), mjpeg::checksum16(jpeg));
        b.insert(b.end(), jpeg.begin(), jpeg.end());
        return b;
    }

    robot_camera_class* camera = nullptr;
};

TEST_F(camera_test, SizePacketsAreCheckedAndSizeChangesRebuildOnce) {
    make_robot(5000);
    EXPECT_FALSE(camera->size_packet(size_packet(320, 240, 0, 0).data()));
    EXPECT_NE(log_text().find("[Camera] Invalid image size (0)\n"), std::string::npos);
    EXPECT_EQ(camera->width, 320u);  // the size is taken before the length is tested
    EXPECT_TRUE(camera->size_packet(size_packet(320, 240, 921600, 0).data()));
    EXPECT_FALSE(camera->size_packet(size_packet(320, 240, 921601, 0).data()));
    EXPECT_EQ(count_of(log_text(), "[Camera] robot_win_class::setup_buffer\n"), 1);
    EXPECT_TRUE(camera->size_packet(size_packet(640, 480, 10, 0).data()));
    EXPECT_EQ(count_of(log_text(), "[Camera] robot_win_class::setup_buffer\n"), 2);
    EXPECT_NE(log_text().find("[Camera] Size packet done (640,480)  len: 10\n"), std::string::npos);
    // Larger than the picture buffers: refused, and the size stays.
    EXPECT_FALSE(camera->size_packet(size_packet(641, 480, 10, 0).data()));
    EXPECT_FALSE(camera->size_packet(size_packet(65535, 65535, 10, 0).data()));
    // Products that wrap round 32 bits into a small size.
    EXPECT_FALSE(camera->size_packet(size_packet(43691, 32768, 10, 0).data()));
    EXPECT_FALSE(camera->size_packet(size_packet(32768, 43691, 10, 0).data()));
    EXPECT_FALSE(camera->size_packet(size_packet(21846, 65535, 10, 0).data()));
    EXPECT_EQ(camera->width, 640u);
    EXPECT_EQ(camera->height, 480u);
}

TEST_F(camera_test, WrongMarkerDropsElevenBytes) {
    make_robot(5000);
    bytes b = size_packet(320, 240, 5, 0, 0x41);
    const bytes good = size_packet(320, 240, 3, 0);
    b.insert(b.end(), good.begin(), good.end());
    feed(b);
    EXPECT_NE(log_text().find("[Camera] Invalid image size packet (41)\n"), std::string::npos);
    EXPECT_EQ(camera->rx_state, 1);
    EXPECT_EQ(camera->image_remaining, 3u);
    EXPECT_EQ(get_checksum16(std::vector<unsigned char>(300, 0xFF).data(), 300), 10964);
}

TEST_F(camera_test, FramesArriveOverTheLinkInAnyPieces) {
    loopback_server server;
    connect(server);
    EXPECT_NE(log_text().find("[Camera] Connecting to 127.0.0.1:" + std::to_string(server.port()) + "\n"),
              std::string::npos);
    const frame f1 = make_frame(320, 240, 1), f2 = make_frame(320, 240, 9);
    const bytes one = with_size(f1.jpeg, 320, 240), two = with_size(f2.jpeg, 320, 240);
    // The size packet split 5 + 6, then the image.
    server.send({one.begin(), one.begin() + 5});
    pump_until([] { return false; }, 30, &server);
    server.send({one.begin() + 5, one.end() - 40});
    pump_until([] { return false; }, 30, &server);
    EXPECT_EQ(camera->frame_count, 0u);
    // One piece with the end of the first image, the next size packet and part of its image.
    bytes joined(one.end() - 40, one.end());
    joined.insert(joined.end(), two.begin(), two.begin() + 500);
    server.send(joined);
    ASSERT_TRUE(pump_until([&] { return camera->frame_count == 1; }, 2000, &server));
    EXPECT_EQ(camera->rx_state, 1);
    EXPECT_EQ(camera->image_pos, 500u - 11u);
    server.send({two.begin() + 500, two.end()});
    ASSERT_TRUE(pump_until([&] { return camera->frame_count == 2; }, 2000, &server));
    // Each good image asks for the next.
    EXPECT_EQ(server.received(), std::string(2, '\x40'));
    // The picture holds the decoded frame bottom-up: its top row is row 239.
    int w, h;
    const auto ref = reference_decode(mjpeg::encode(f2.rgb.data(), 320, 240, 85), w, h);
    const color_type top_left = camera->camera_buffer[239 * 320];
    EXPECT_EQ(top_left.red, ref[0]);
    EXPECT_EQ(top_left.green, ref[1]);
    EXPECT_EQ(top_left.blue, ref[2]);
}

TEST_F(camera_test, ChecksumFailureDropsTheImageButAsksForTheNext) {
    loopback_server server;
    connect(server);
    const frame f = make_frame(160, 120, 2);
    bytes b = size_packet(160, 120, static_cast<unsigned>(f.jpeg.size()), mjpeg::checksum16(f.jpeg) + 1);
    b.insert(b.end(), f.jpeg.begin(), f.jpeg.end());
    server.send(b);
    ASSERT_TRUE(pump_until([&] { return !server.received().empty(); }, 2000, &server));
    EXPECT_EQ(camera->frame_count, 0u);
    EXPECT_NE(log_text().find("[Camera] Image checksum fail. expected: "), std::string::npos);
    EXPECT_EQ(camera->camera_buffer[0].red, 0);
    // A frame with a good checksum that the decoder refuses (progressive: no baseline marker)
    // still asks for the next, but is not counted as a frame.
    server.clear();
    bytes progressive = f.jpeg;
    for (std::size_t i = 0; i + 1 < progressive.size(); ++i)
        if (progressive[i] == 0xFF && progressive[i + 1] == 0xC0) progressive[i + 1] = 0xC2;
    server.send(with_size(progressive, 160, 120));
    ASSERT_TRUE(pump_until([&] { return !server.received().empty(); }, 2000, &server));
    EXPECT_EQ(camera->frame_count, 0u);
    EXPECT_GT(camera->last_image_time, 0.0);  // the link is alive all the same
    // Nor is one that the library refuses (larger than its size packet says), and targeting does
    // not look at the unchanged picture again.
    camera->targeting = true;
    server.clear();
    server.send(with_size(f.jpeg, 80, 60));
    ASSERT_TRUE(pump_until([&] { return !server.received().empty(); }, 2000, &server));
    EXPECT_EQ(camera->frame_count, 0u);
    EXPECT_FALSE(camera->have_reference);
    server.send(with_size(f.jpeg, 160, 120));
    ASSERT_TRUE(pump_until([&] { return camera->frame_count == 1; }, 2000, &server));
    EXPECT_TRUE(camera->have_reference);
}

TEST_F(camera_test, SupervisionRetriesStalledLinksAndClearsAStuckAttempt) {
    loopback_server server;
    connect(server);
    camera->last_image_time = get_wall_time() - 1.5;
    camera->camera_check();  // more than a second: one more request
    pump_until([&] { return !server.received().empty(); }, 1000, &server);
    EXPECT_EQ(server.received(), std::string(1, '\x40'));
    EXPECT_TRUE(camera->connected);
    camera->last_image_time = get_wall_time() - 2.5;
    camera->connecting = true;  // an attempt that will never report
    camera->camera_check();     // more than two: closed and opened again at once
    EXPECT_TRUE(camera->connecting);
    EXPECT_TRUE(pump_until([&] { return server.accepted() == 2 && camera->connected; }, 2000, &server));
}

TEST_F(camera_test, NewConnectionStartsWithAFreshStream) {
    loopback_server server;
    connect(server);
    server.send(size_packet(320, 240, 5000, 0));
    server.send(bytes(100, 0x11));
    ASSERT_TRUE(pump_until([&] { return camera->image_pos == 100; }, 1000, &server));
    server.close_client();
    ASSERT_TRUE(pump_until([&] { return !camera->connected; }, 1000, &server));
    camera->camera_check();
    ASSERT_TRUE(pump_until([&] { return camera->connected; }, 2000, &server));
    EXPECT_EQ(camera->rx_state, 0);
    EXPECT_EQ(camera->rx_len, 0u);
}

TEST_F(camera_test, FixUpInsertsHeaderAndTablesInFrontOfTheFrame) {
    const frame f = make_frame(64, 48, 0);
    std::vector<unsigned char> buf(f.jpeg.size() + 440);
    std::memcpy(buf.data(), f.jpeg.data(), f.jpeg.size());
    unsigned len = static_cast<unsigned>(f.jpeg.size());
    ASSERT_TRUE(process_image(buf.data(), &len, static_cast<unsigned>(buf.size())));
    EXPECT_EQ(len, f.jpeg.size() + 420);
    const unsigned char jfif[20] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 0x78, 0, 0x78, 0, 0};
    EXPECT_EQ(std::memcmp(buf.data(), jfif, 20), 0);
    std::size_t sof = 0;
    for (std::size_t i = 20; i + 1 < len; ++i)
        if (buf[i] == 0xFF && buf[i + 1] == 0xC0) {
            sof = i;
            break;
        }
    ASSERT_GT(sof, 420u);
    const unsigned char dht[4] = {0xFF, 0xC4, 0x01, 0xA2};
    EXPECT_EQ(std::memcmp(buf.data() + sof - 420, dht, 4), 0);
    EXPECT_EQ(std::memcmp(buf.data() + sof - 416, JPEGHuffmanTable, 416), 0);

    // A body that starts with the start-of-frame marker gets the tables right after the header.
    unsigned char tiny[32] = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x04, 0xAA, 0xBB, 0xFF, 0xC0, 1, 2, 3};
    unsigned tiny_len = 13;
    std::vector<unsigned char> room(tiny, tiny + 13);
    room.resize(13 + 440);
    ASSERT_TRUE(process_image(room.data(), &tiny_len, static_cast<unsigned>(room.size())));
    EXPECT_EQ(tiny_len, 13u + 436u - 4u);
    EXPECT_EQ(std::memcmp(room.data() + 20, dht, 4), 0);
    EXPECT_EQ(room[440], 0xFF);
    EXPECT_EQ(room[441], 0xC0);
    EXPECT_EQ(room[444], 3);
}

TEST_F(camera_test, FramesThatCannotBeCompletedAreRefusedSafely) {
    unsigned char five[5] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    unsigned len = 5;
    EXPECT_FALSE(process_image(five, &len, 5));
    unsigned char runs_past[12] = {0xFF, 0xD8, 0xFF, 0xE0, 0x01, 0x00, 1, 2, 3, 4, 5, 6};
    len = 12;
    EXPECT_FALSE(process_image(runs_past, &len, 1000));
    unsigned char progressive[16] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0, 0, 0xFF, 0xC2, 0, 0, 0, 0, 0, 0};
    len = 16;
    EXPECT_FALSE(process_image(progressive, &len, 1000));
    EXPECT_EQ(len, 16u);
    unsigned char no_room[14] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0, 0, 0xFF, 0xC0, 0, 0, 0, 0};
    len = 14;
    EXPECT_FALSE(process_image(no_room, &len, 14 + 100));
    EXPECT_EQ(no_room[0], 0xFF);
    EXPECT_EQ(no_room[8], 0xFF);  // untouched
}

TEST_F(camera_test, DecodedPicturesMatchAPlainDecode) {
    for (bool grey : {false, true}) {
        const frame f = make_frame(96, 64, 3, grey);
        std::vector<unsigned char> buf(f.jpeg.begin(), f.jpeg.end());
        buf.resize(buf.size() + 440);
        unsigned len = static_cast<unsigned>(f.jpeg.size());
        std::vector<color_type> picture(96 * 64);
        ASSERT_TRUE(decompress_image(buf.data(), &len, static_cast<unsigned>(buf.size()), picture.data(), 96, 64));
        // The reference decodes the complete JPEG the frame was cut from, not our fix-up's work.
        int w, h;
        const auto ref = reference_decode(f.whole, w, h);
        ASSERT_EQ(w, 96);
        ASSERT_EQ(h, 64);
        const int comps = grey ? 1 : 3;
        int mismatches = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 96; ++x) {
                const color_type p = picture[static_cast<std::size_t>(63 - y) * 96 + x];
                const std::uint8_t* r = &ref[(static_cast<std::size_t>(y) * 96 + x) * comps];
                const std::uint8_t rr = r[0], gg = grey ? r[0] : r[1], bb = grey ? r[0] : r[2];
                mismatches += p.red != rr || p.green != gg || p.blue != bb;
                if (grey) mismatches += p.red != p.green || p.green != p.blue;
            }
        EXPECT_EQ(mismatches, 0) << (grey ? "grey" : "colour");
    }
}

TEST_F(camera_test, TallerFramesAndBrokenDataLeaveThePictureAlone) {
    std::vector<color_type> picture(96 * 32, color_type{1, 2, 3});
    const frame tall = make_frame(96, 64, 0);
    std::vector<unsigned char> buf(tall.jpeg.begin(), tall.jpeg.end());
    buf.resize(buf.size() + 440);
    unsigned len = static_cast<unsigned>(tall.jpeg.size());
    decompress_image(buf.data(), &len, static_cast<unsigned>(buf.size()), picture.data(), 96, 32);
    EXPECT_EQ(picture[0].red, 3);
    EXPECT_EQ(picture[96 * 32 - 1].blue, 1);

    // A frame the library cannot take (a sample precision of 7 bits): it gives up, control comes
    // back to the decoder, and the picture is untouched.
    const frame f = make_frame(96, 32, 0);
    std::vector<unsigned char> bad(f.jpeg.begin(), f.jpeg.end());
    std::size_t sof = 0;
    for (std::size_t i = 2; i + 1 < bad.size(); ++i)
        if (bad[i] == 0xFF && bad[i + 1] == 0xC0) {
            sof = i;
            break;
        }
    ASSERT_GT(sof, 0u);
    bad[sof + 4] = 7;
    bad.resize(bad.size() + 440);
    len = static_cast<unsigned>(f.jpeg.size());
    EXPECT_FALSE(decompress_image(bad.data(), &len, static_cast<unsigned>(bad.size()), picture.data(), 96, 32));
    EXPECT_NE(log_text().find("[Decompress] libjpeg error: "), std::string::npos);
    EXPECT_EQ(picture[0].red, 3);

    // One scan per component: the library must keep the whole image. Such a frame decodes as
    // usual, but one whose header announces 16384 by 16384 is refused right after its header,
    // and one that announces 4096 by 4096 into a picture that size runs into the memory cap.
    std::vector<std::uint8_t> rgb(32 * 16 * 3);
    mjpeg::render_scene(rgb.data(), 32, 16, 0);
    const bytes scans = mjpeg::to_motion_jpeg(mjpeg::encode_in_scans(rgb.data(), 32, 16, 85));
    auto decode = [&](unsigned fw, unsigned fh, unsigned pw, unsigned ph, std::vector<color_type>& pic) {
        std::vector<unsigned char> b(scans.begin(), scans.end());
        mjpeg::set_frame_size(b, fw, fh);
        b.resize(b.size() + 440);
        unsigned n = static_cast<unsigned>(scans.size());
        return decompress_image(b.data(), &n, static_cast<unsigned>(b.size()), pic.data(), pw, ph);
    };
    std::vector<color_type> small(32 * 16);
    EXPECT_TRUE(decode(32, 16, 32, 16, small));
    EXPECT_TRUE(decode(96, 32, 96, 32, picture));  // announced within the picture: the scans run out
    std::fill(picture.begin(), picture.end(), color_type{1, 2, 3});
    EXPECT_FALSE(decode(16384, 16384, 96, 32, picture));
    EXPECT_NE(log_text().find("[Decompress] Frame of 16384x16384 is larger than the picture (96x32); dropped\n"),
              std::string::npos);
    EXPECT_FALSE(decode(97, 32, 96, 32, picture));  // wider only
    EXPECT_EQ(picture[0].red, 3);
    std::vector<color_type> huge(4096 * 4096);
    const int errors = count_of(log_text(), "[Decompress] libjpeg error: ");
    EXPECT_FALSE(decode(4096, 4096, 4096, 4096, huge));
    EXPECT_EQ(count_of(log_text(), "[Decompress] libjpeg error: "), errors + 1);
}

class targeting_test : public camera_test {
protected:
    void prepare(unsigned w, unsigned h) {
        if (!robot) make_robot(1);
        camera->width = w;
        camera->height = h;
        std::memset(camera->camera_buffer, 0, w * h * 3);
        camera->have_reference = false;
        look();  // the first picture becomes the reference
        pan = tilt = 128;
    }
    // Targeting of the picture from the camera's pan and tilt, which follow its decision.
    target_decision look() {
        const target_decision d = camera->process_frame(pan, tilt);
        if (d.steer) {
            pan = d.pan;
            tilt = d.tilt;
        }
        return d;
    }
    int pan = 128, tilt = 128;
    void set(unsigned x, unsigned y, std::uint8_t v) {
        camera->camera_buffer[static_cast<std::size_t>(y) * camera->width + x] = color_type{v, v, v};
    }
    color_type at(unsigned x, unsigned y) { return camera->camera_buffer[static_cast<std::size_t>(y) * camera->width + x]; }
};

TEST_F(targeting_test, NoChangeNoTarget) {
    prepare(320, 240);
    look();
    EXPECT_EQ(pan, 128);
    EXPECT_EQ(at(160, 120).green, 0);
    // Changes below the floor never add up to a target.
    for (unsigned x = 0; x < 320; ++x)
        for (unsigned y = 0; y < 240; ++y) set(x, y, 49);
    look();
    EXPECT_EQ(at(160, 120).green, 49);
    EXPECT_EQ(pan, 128);
}

TEST_F(targeting_test, SixStrongPixelsMakeATargetAtTheirCentre) {
    prepare(320, 240);
    set(100, 50, 255);
    look();  // one pixel: 255, below the threshold
    EXPECT_EQ(at(100, 60).green, 0);
    std::memset(camera->camera_buffer, 0, 320 * 240 * 3);
    look();
    for (unsigned i = 0; i < 6; ++i) set(98 + i, 50, 255);
    look();
    // Centre (100, 50): cross-hair through the whole picture, red box over it.
    EXPECT_EQ(at(100, 0).green, 255);
    EXPECT_EQ(at(100, 239).green, 255);
    EXPECT_EQ(at(0, 50).green, 255);
    EXPECT_EQ(at(319, 50).green, 255);
    const color_type box = at(100, 50);
    EXPECT_EQ(box.red, 255);
    EXPECT_EQ(box.green, 0);
    EXPECT_EQ(box.blue, 0);
    EXPECT_EQ(at(104, 54).red, 255);  // columns and rows cx - 5 .. cx + 4
    EXPECT_NE(at(105, 50).red, 255);
    // Steering: (100 - 160) / 160 * 30 = -11.25 -> pan + 11; (50 - 120) / 120 * 30 = -17.5 -> tilt + 17.
    EXPECT_EQ(pan, 139);
    EXPECT_EQ(tilt, 145);
}

TEST_F(targeting_test, EdgeTargetsSteerFullyAndBoxesClip) {
    prepare(320, 240);
    for (unsigned y = 100; y < 140; ++y) set(0, y, 255);
    look();
    EXPECT_EQ(pan, 158);  // +30
    EXPECT_EQ(at(0, 117).red, 255);  // clipped at the left edge, not empty
    // A target in the middle column leaves the pan alone.
    prepare(320, 240);
    for (unsigned y = 100; y < 140; ++y) set(160, y, 255);
    look();
    EXPECT_EQ(pan, 128);
}

TEST_F(targeting_test, LargePicturesChangingEverywhereKeepTheirCentre) {
    prepare(640, 480);
    for (unsigned y = 0; y < 480; ++y)
        for (unsigned x = 0; x < 640; ++x) set(x, y, 255);
    look();  // sums far beyond 32 bits
    EXPECT_EQ(at(319, 10).green, 255);
    EXPECT_EQ(at(10, 239).green, 255);
    EXPECT_EQ(pan, 128);
}

TEST_F(targeting_test, FirstCallOnlyTakesAReference) {
    make_robot(1);
    camera->width = 64;
    camera->height = 64;
    for (unsigned i = 0; i < 64 * 64; ++i) camera->camera_buffer[i] = color_type{255, 255, 255};
    std::memset(camera->last_frame, 0, 64 * 64 * 3);
    look();
    EXPECT_EQ(camera->camera_buffer[32 * 64 + 32].red, 255);
    EXPECT_EQ(camera->camera_buffer[32 * 64 + 32].green, 255);  // no marks
    EXPECT_EQ(pan, 128);
    EXPECT_EQ(camera->last_frame[0].red, 255);
}

}  // namespace

namespace {

TEST_F(camera_test, ConnectionLostAnywhereInAFrame) {
    loopback_server server;
    connect(server);
    const frame f = make_frame(64, 48, 4);
    const bytes whole = with_size(f.jpeg, 64, 48);
    // Every point of the size packet, then points spread over the image data.
    std::vector<std::size_t> cuts;
    for (std::size_t c = 0; c <= 11; ++c) cuts.push_back(c);
    for (std::size_t c = 12; c < whole.size(); c += 97) cuts.push_back(c);
    int frames = 0;  // good frames so far, as the log counts them
    for (std::size_t cut : cuts) {
        server.send({whole.begin(), whole.begin() + static_cast<long>(cut)});
        pump_until([] { return false; }, 10, &server);
        server.close_client();
        ASSERT_TRUE(pump_until([&] { return !camera->connected; }, 2000, &server)) << "cut at " << cut;
        camera->camera_check();
        ASSERT_TRUE(pump_until([&] { return camera->connected && server.has_client(); }, 2000, &server));
        server.send(whole);
        ASSERT_TRUE(pump_until([&] { return count_of(log_text(), "Returning\n") > frames; }, 2000, &server))
            << "cut at " << cut;
        frames = count_of(log_text(), "Returning\n");
    }
    EXPECT_EQ(log_text().find("[Camera] Image checksum fail"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(camera_test, BrokenFrameThatRunsOutEndsInsteadOfBeingReadForEver) {
    // Found by fuzzing: a frame whose markers run past its end used to be handed to the library
    // again from its start, for ever. Picture size 96 by 16, then the frame.
    const unsigned char input[] = {0x00, 0x60, 0x00, 0x10, 0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0xff, 0xff, 0xff, 0x14, 0x7f, 0xd8, 0xff, 0xe0, 0x00, 0x07, 0x41, 0x41, 0x56, 0x49, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x0d, 0x09, 0x00, 0x30, 0x0a, 0x00, 0x0b, 0x0b, 0x20, 0x6a, 0xd8, 0xff, 0xe0, 0x00, 0x11, 0x00, 0x56, 0x41, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x60, 0xdb, 0x00, 0x43, 0x00, 0x0d, 0x09, 0x0a, 0x0b, 0x0a, 0x08, 0x0d, 0x41, 0x13, 0x12, 0xb9, 0xf2, 0x57, 0x01, 0xff, 0xda, 0x00, 0x0c, 0x03, 0x01, 0x00, 0x56, 0x2c, 0x17, 0xda, 0xff, 0xc0, 0x00, 0x11, 0x08, 0x00, 0x20, 0x00, 0x35, 0x03, 0x01, 0x00, 0x02, 0x11, 0x01, 0x03, 0x85, 0xff, 0xff, 0xff, 0xe0, 0x02, 0x11, 0x03, 0x00};
    std::vector<unsigned char> buf(input + 4, input + sizeof input);
    buf.resize(buf.size() + 440);
    unsigned len = static_cast<unsigned>(sizeof input - 4);
    std::vector<color_type> picture(96 * 16);
    const auto t0 = std::chrono::steady_clock::now();
    decompress_image(buf.data(), &len, static_cast<unsigned>(buf.size()), picture.data(), 96, 16);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
    EXPECT_NE(log_text().find("[Decompress] libjpeg error: "), std::string::npos);
}

}  // namespace
