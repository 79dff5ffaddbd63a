// The stand-in robot: its command parser, telemetry packets, simulated body, send queue and
// settings, then the real program on loopback ports, driven through raw client sockets on its
// control and camera links.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera/jpeg_decode.h"
#include "camera/robot_camera.h"
#include "process_util.h"
#include "raw_link.h"
#include "test_support.h"
#include "tools/robot_peer/mjpeg.h"
#include "tools/robot_peer/out_queue.h"
#include "tools/robot_peer/protocol.h"
#include "tools/robot_peer/robot_sim.h"
#include "tools/robot_peer/settings.h"

using namespace robot_peer;
using namespace test_support;

namespace {

using bytes = std::vector<std::uint8_t>;
using steady_clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// The controller's side of the link, written out independently of the peer's code: how it
// encodes a drive command and how it decodes a telemetry payload.

bytes controller_drive(double speed, double turn) {
    speed = std::clamp(speed, -1.0, 1.0);
    turn = std::clamp(turn, -1.0, 1.0);
    auto byte = [](double v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0)); };
    std::uint8_t d0 = byte((speed + 0.5 * turn) * 30 + 128);
    std::uint8_t d1 = byte(128 - (speed - 0.5 * turn) * 30);
    return {0x30, d0, d0, d1, d1};
}

struct shown_telemetry {
    float ir, angle, vel_x, vel_y;
    double wifi;
};

// payload: the bytes after the type byte.
shown_telemetry controller_shows(const std::uint8_t* payload) {
    auto u16 = [payload](int at) { return static_cast<unsigned>(payload[at]) + 256u * payload[at + 1]; };
    const double scale = std::ldexp(1.0, -16);
    return {static_cast<float>(u16(4) * 360 * scale), static_cast<float>(u16(6) * 360 * scale),
            static_cast<float>(u16(8) * scale * 10), static_cast<float>(u16(10) * scale * 10),
            (payload[14] * 100) / 255.0};
}

std::uint32_t counter_of(const std::uint8_t* payload) {
    return payload[0] | (payload[1] << 8) | (payload[2] << 16) | (static_cast<std::uint32_t>(payload[3]) << 24);
}

// ---------------------------------------------------------------------------------------------
// Command parser

std::vector<command> parse_whole(const bytes& stream) {
    command_parser p;
    std::vector<command> out;
    p.feed(stream.data(), stream.size(), out);
    return out;
}

std::vector<std::string> lines_of(const std::vector<command>& commands) {
    std::vector<std::string> lines;
    for (const command& c : commands) lines.push_back(describe(c));
    return lines;
}

bytes text_command(const std::string& text) {
    bytes b{0x20, static_cast<std::uint8_t>(text.size())};
    for (char ch : text) b.push_back(static_cast<std::uint8_t>(ch));
    return b;
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes all;
    for (const bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// What a controller session sends: version, drive, targeting, shutdown, farewell.
bytes session_stream() {
    return concat({text_command("0.6.17"), {0x30, 158, 158, 98, 98}, {0x40}, {0x41}, {0x02, 0, 0, 0, 0},
                   text_command("Good bye!")});
}

TEST(peer_parser, reads_every_command_of_the_link_from_one_read) {
    std::vector<command> c = parse_whole(session_stream());
    ASSERT_EQ(c.size(), 6u);
    EXPECT_EQ(c[0].kind, command_kind::text);
    EXPECT_EQ(c[0].text, "0.6.17");
    EXPECT_EQ(c[1].kind, command_kind::drive);
    EXPECT_EQ(c[1].bytes, (std::array<std::uint8_t, 4>{158, 158, 98, 98}));
    EXPECT_EQ(c[2].kind, command_kind::fire_on);
    EXPECT_EQ(c[3].kind, command_kind::fire_off);
    EXPECT_EQ(c[4].kind, command_kind::shutdown);
    EXPECT_EQ(c[4].bytes, (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(c[5].kind, command_kind::text);
    EXPECT_EQ(c[5].text, "Good bye!");
}

TEST(peer_parser, gives_the_same_commands_wherever_the_stream_is_cut) {
    const bytes stream = session_stream();
    const std::vector<std::string> whole = lines_of(parse_whole(stream));
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        command_parser p;
        std::vector<command> out;
        p.feed(stream.data(), cut, out);
        p.feed(stream.data() + cut, stream.size() - cut, out);
        EXPECT_EQ(lines_of(out), whole) << "cut at " << cut;
    }
    command_parser p;
    std::vector<command> out;
    for (std::uint8_t b : stream) p.feed(&b, 1, out);
    EXPECT_EQ(lines_of(out), whole) << "one byte per read";
}

TEST(peer_parser, holds_a_partial_command_until_its_last_byte) {
    command_parser p;
    std::vector<command> out;
    const bytes drive{0x30, 143, 143, 113, 113};
    p.feed(drive.data(), 4, out);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(p.between_commands());
    p.feed(drive.data() + 4, 1, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, (std::array<std::uint8_t, 4>{143, 143, 113, 113}));
    EXPECT_TRUE(p.between_commands());

    // A new connection starts a new stream: the half-received command is forgotten.
    out.clear();
    p.feed(drive.data(), 3, out);
    p.reset();
    const std::uint8_t fire = 0x40;
    p.feed(&fire, 1, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, command_kind::fire_on);
}

TEST(peer_parser, skips_unknown_bytes_one_at_a_time) {
    std::vector<command> c = parse_whole({0x00, 0x99, 0x30, 1, 2, 3, 4, 0x31, 0xFF, 0x41, 0x21});
    ASSERT_EQ(c.size(), 7u);
    EXPECT_EQ(c[0].kind, command_kind::unknown);
    EXPECT_EQ(c[0].code, 0x00);
    EXPECT_EQ(c[1].code, 0x99);
    EXPECT_EQ(c[2].kind, command_kind::drive);
    EXPECT_EQ(c[2].bytes, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(c[3].kind, command_kind::unknown);
    EXPECT_EQ(c[3].code, 0x31);
    EXPECT_EQ(c[4].code, 0xFF);
    EXPECT_EQ(c[5].kind, command_kind::fire_off);
    EXPECT_EQ(c[6].kind, command_kind::unknown);
    EXPECT_EQ(describe(c[0]), "unknown command byte 0x00, skipped");
    EXPECT_EQ(describe(c[4]), "unknown command byte 0xff, skipped");
}

TEST(peer_parser, string_of_length_zero_ends_at_its_length_byte) {
    command_parser p;
    std::vector<command> out;
    const bytes head{0x20};
    const bytes rest{0x00};
    p.feed(head.data(), head.size(), out);
    EXPECT_TRUE(out.empty());
    p.feed(rest.data(), rest.size(), out);
    ASSERT_EQ(out.size(), 1u) << "an empty string needs no further byte";
    EXPECT_EQ(out[0].kind, command_kind::text);
    EXPECT_EQ(out[0].text, "");
    EXPECT_TRUE(p.between_commands());

    std::vector<command> c = parse_whole({0x20, 0x00, 0x40, 0x20, 0x00});
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[1].kind, command_kind::fire_on);
    EXPECT_EQ(describe(c[2]), "string \"\"");
}

TEST(peer_parser, string_of_length_255_takes_command_bytes_as_text) {
    std::string text;
    for (int i = 0; i < 255; ++i) text += static_cast<char>(i);  // holds 0x02, 0x20, 0x30, 0x40 ...
    const bytes stream = concat({text_command(text), {0x41}});
    command_parser p;
    std::vector<command> out;
    for (std::size_t at = 0; at < stream.size(); at += 7)
        p.feed(stream.data() + at, std::min<std::size_t>(7, stream.size() - at), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, command_kind::text);
    EXPECT_EQ(out[0].text, text);
    EXPECT_EQ(out[1].kind, command_kind::fire_off);
}

// ---------------------------------------------------------------------------------------------
// Lines printed for commands

command made(command_kind kind, std::array<std::uint8_t, 4> b = {}, std::string text = {}) {
    command c;
    c.kind = kind;
    c.bytes = b;
    c.text = std::move(text);
    return c;
}

TEST(peer_describe, drive_line_shows_the_bytes_with_speed_and_turn) {
    EXPECT_EQ(describe(made(command_kind::drive, {158, 158, 98, 98})), "drive 158 158 98 98 (speed 1.00 turn 0.00)");
    EXPECT_EQ(describe(made(command_kind::drive, {143, 143, 143, 143})),
              "drive 143 143 143 143 (speed 0.00 turn 1.00)");
    EXPECT_EQ(describe(made(command_kind::drive, {98, 98, 158, 158})), "drive 98 98 158 158 (speed -1.00 turn 0.00)");
    EXPECT_EQ(describe(made(command_kind::drive, {128, 128, 128, 128})),
              "drive 128 128 128 128 (speed 0.00 turn 0.00)");
}

TEST(peer_describe, strings_show_printable_text_and_escape_the_rest) {
    EXPECT_EQ(describe(made(command_kind::text, {}, "0.6.17")), "string \"0.6.17\"");
    EXPECT_EQ(describe(made(command_kind::text, {}, std::string("a\0b\n~\x7f\xff", 7))),
              "string \"a\\x00b\\x0a~\\x7f\\xff\"");
    EXPECT_EQ(escape_text("say \"hi\" \\o/"), "say \\\"hi\\\" \\\\o/");
    EXPECT_EQ(escape_text(" !azAZ09{}"), " !azAZ09{}");
}

TEST(peer_describe, other_commands_have_fixed_lines) {
    EXPECT_EQ(describe(made(command_kind::fire_on)), "fire on");
    EXPECT_EQ(describe(made(command_kind::fire_off)), "fire off");
    EXPECT_EQ(describe(made(command_kind::shutdown)), "shutdown");
    EXPECT_EQ(describe(made(command_kind::shutdown, {1, 0, 0, 0xAB})), "shutdown (payload 01 00 00 ab)");
}

// ---------------------------------------------------------------------------------------------
// Drive decoding

TEST(peer_drive, decoding_undoes_the_controller_encoding) {
    for (int si = -20; si <= 20; ++si) {
        for (int ti = -20; ti <= 20; ++ti) {
            double s = si / 20.0;
            double t = ti / 20.0;
            bytes cmd = controller_drive(s, t);
            motion m = decode_drive(cmd[1], cmd[3]);
            // Truncating each byte loses less than 1: less than 1/60 in speed, 2/30 in turn.
            EXPECT_LT(std::fabs(m.speed - s), 1.0 / 60 + 1e-9) << s << " " << t;
            EXPECT_LT(std::fabs(m.turn - t), 2.0 / 30 + 1e-9) << s << " " << t;
        }
    }
    motion rest = decode_drive(128, 128);
    EXPECT_EQ(rest.speed, 0.0);
    EXPECT_EQ(rest.turn, 0.0);
    motion ahead = decode_drive(158, 98);
    EXPECT_DOUBLE_EQ(ahead.speed, 1.0);
    EXPECT_DOUBLE_EQ(ahead.turn, 0.0);
    motion back_left = decode_drive(83, 143);  // speed -1, turn -1
    EXPECT_DOUBLE_EQ(back_left.speed, -1.0);
    EXPECT_DOUBLE_EQ(back_left.turn, -1.0);
}

TEST(peer_drive, bytes_beyond_the_controller_range_saturate) {
    motion m = decode_drive(255, 0);
    EXPECT_DOUBLE_EQ(m.speed, 1.0);
    EXPECT_NEAR(m.turn, -1.0 / 30, 1e-12);
    m = decode_drive(255, 255);
    EXPECT_DOUBLE_EQ(m.speed, 0.0);
    EXPECT_DOUBLE_EQ(m.turn, 1.0);
    m = decode_drive(0, 255);
    EXPECT_DOUBLE_EQ(m.speed, -1.0);
    m = decode_drive(0, 0);
    EXPECT_DOUBLE_EQ(m.turn, -1.0);
}

// ---------------------------------------------------------------------------------------------
// Telemetry packets

TEST(peer_telemetry, builds_the_reference_packet) {
    telemetry_fields f;
    f.ir = 0x4000;
    f.wifi = 0xFF;
    const telemetry_packet expected{0x12, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x71};
    EXPECT_EQ(build_telemetry(f), expected);
    shown_telemetry s = controller_shows(expected.data() + 2);
    EXPECT_FLOAT_EQ(s.ir, 90.0f);
    EXPECT_DOUBLE_EQ(s.wifi, 100.0);
}

TEST(peer_telemetry, places_fields_little_endian_under_a_correct_checksum) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<std::uint32_t> any;
    for (int i = 0; i < 200; ++i) {
        telemetry_fields f;
        f.counter = any(gen);
        f.ir = static_cast<std::uint16_t>(any(gen));
        f.angle = static_cast<std::uint16_t>(any(gen));
        f.vel_x = static_cast<std::uint16_t>(any(gen));
        f.vel_y = static_cast<std::uint16_t>(any(gen));
        f.wifi = static_cast<std::uint8_t>(any(gen));
        telemetry_packet p = build_telemetry(f);
        ASSERT_EQ(p[0], 18);
        ASSERT_EQ(p[1], 0x20);
        unsigned sum = 0;
        for (int k = 0; k < 17; ++k) sum += p[k];
        ASSERT_EQ(p[17], sum % 256);
        const std::uint8_t* pl = p.data() + 2;
        EXPECT_EQ(counter_of(pl), f.counter);
        EXPECT_EQ(pl[4] | pl[5] << 8, f.ir);
        EXPECT_EQ(pl[6] | pl[7] << 8, f.angle);
        EXPECT_EQ(pl[8] | pl[9] << 8, f.vel_x);
        EXPECT_EQ(pl[10] | pl[11] << 8, f.vel_y);
        EXPECT_EQ(pl[12], 0);
        EXPECT_EQ(pl[13], 0);
        EXPECT_EQ(pl[14], f.wifi);

        telemetry_packet spoiled = p;
        spoil_checksum(spoiled);
        EXPECT_NE(spoiled[17], sum % 256);
        EXPECT_TRUE(std::equal(p.begin(), p.end() - 1, spoiled.begin()));
    }
}

TEST(peer_telemetry, values_come_back_through_the_controller_formulas) {
    const double degree_step = 360.0 / 65536;
    for (double deg : {0.0, 0.5, 1.0, 45.0, 90.0, 180.0, 271.3, 359.99}) {
        telemetry_fields f;
        f.angle = encode_degree_scale(deg);
        f.ir = encode_degree_scale(deg / 36.0);  // IR is shown 0..10 on the same scale
        telemetry_packet p = build_telemetry(f);
        shown_telemetry s = controller_shows(p.data() + 2);
        EXPECT_NEAR(s.angle, deg, degree_step / 2 + 1e-4) << deg;
        EXPECT_NEAR(s.ir, deg / 36.0, degree_step / 2 + 1e-4) << deg;
    }
    const double tenths_step = 10.0 / 65536;
    for (double v : {0.0, 0.001, 2.5, 5.0, 7.77, 9.999}) {
        telemetry_fields f;
        f.vel_x = encode_tenths_scale(v);
        f.vel_y = encode_tenths_scale(10 - v);
        telemetry_packet p = build_telemetry(f);
        shown_telemetry s = controller_shows(p.data() + 2);
        EXPECT_NEAR(s.vel_x, v, tenths_step / 2 + 1e-5) << v;
        EXPECT_NEAR(s.vel_y, 10 - v, tenths_step + 1e-5) << v;  // 10 itself saturates
    }
}

TEST(peer_telemetry, encoders_saturate_instead_of_wrapping) {
    EXPECT_EQ(encode_degree_scale(360.0), 65535);
    EXPECT_EQ(encode_degree_scale(1e9), 65535);
    EXPECT_EQ(encode_degree_scale(-5.0), 0);
    EXPECT_EQ(encode_degree_scale(std::nan("")), 0);
    EXPECT_EQ(encode_tenths_scale(10.0), 65535);
    EXPECT_EQ(encode_tenths_scale(-0.1), 0);
    EXPECT_EQ(encode_tenths_scale(5.0), 32768);
}

TEST(peer_telemetry, invalid_length_bytes_take_turns) {
    std::vector<int> seen;
    for (std::uint32_t k = 0; k < 7; ++k) seen.push_back(invalid_length_byte(k));
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
}

// ---------------------------------------------------------------------------------------------
// Simulated robot

TEST(peer_sim, stands_still_at_rest) {
    robot_sim sim;
    sim.advance(5.0);
    EXPECT_DOUBLE_EQ(sim.x(), 5.0);
    EXPECT_DOUBLE_EQ(sim.y(), 5.0);
    EXPECT_DOUBLE_EQ(sim.heading(), 0.0);
    EXPECT_EQ(sim.vel_x(), 0.0);
    EXPECT_EQ(sim.vel_y(), 0.0);
    EXPECT_FALSE(sim.moving());
}

TEST(peer_sim, drives_half_a_unit_and_turns_two_radians_per_second) {
    robot_sim sim;
    sim.drive(158, 98);  // full speed ahead
    sim.advance(1.0);
    EXPECT_NEAR(sim.x(), 5.5, 1e-9);
    EXPECT_NEAR(sim.y(), 5.0, 1e-9);
    EXPECT_NEAR(sim.heading(), 0.0, 1e-12);

    sim.drive(143, 143);  // full turn, counter-clockwise
    sim.advance(0.5);
    EXPECT_NEAR(sim.heading(), 1.0, 1e-9);
    EXPECT_NEAR(sim.x(), 5.5, 1e-9) << "turning on the spot";

    sim.drive(113, 113);  // full turn the other way, past zero
    sim.advance(1.5);
    EXPECT_NEAR(sim.heading(), 2 * std::numbers::pi - 2.0, 1e-9);

    sim.stop();
    EXPECT_FALSE(sim.moving());
    sim.advance(1.0);
    EXPECT_NEAR(sim.heading(), 2 * std::numbers::pi - 2.0, 1e-9);
}

TEST(peer_sim, moves_along_the_heading_with_y_growing_downwards) {
    robot_sim sim;
    sim.place(5, 5, std::numbers::pi / 2);  // up on the screen
    sim.drive(158, 98);
    EXPECT_NEAR(sim.vel_x(), 0.0, 1e-12);
    EXPECT_NEAR(sim.vel_y(), -0.5, 1e-12);
    sim.advance(2.0);
    EXPECT_NEAR(sim.x(), 5.0, 1e-9);
    EXPECT_NEAR(sim.y(), 4.0, 1e-9);
}

TEST(peer_sim, stops_at_the_border_walls_but_can_still_turn) {
    robot_sim sim;
    sim.drive(158, 98);
    sim.advance(30.0);
    EXPECT_NEAR(sim.x(), world_size - border_wall - body_radius, 1e-9);
    EXPECT_NEAR(sim.ir_reading(), 10.0, 1e-9);
    sim.drive(143, 143);
    sim.advance(0.25);
    EXPECT_NEAR(sim.heading(), 0.5, 1e-9);

    sim.place(-3, 42, 0);
    EXPECT_NEAR(sim.x(), border_wall + body_radius, 1e-12);
    EXPECT_NEAR(sim.y(), world_size - border_wall - body_radius, 1e-12);
}

TEST(peer_sim, ir_reading_rises_towards_any_wall) {
    robot_sim sim;
    EXPECT_EQ(sim.ir_reading(), 0.0) << "nothing near the middle of the world";
    for (int side = 0; side < 4; ++side) {
        double last = -1;
        for (double d = 5.0; d >= 0.3; d -= 0.05) {  // distance of the centre from the edge
            double x = side == 0 ? d : side == 1 ? 10 - d : 5;
            double y = side == 2 ? d : side == 3 ? 10 - d : 5;
            sim.place(x, y, 0);
            double ir = sim.ir_reading();
            EXPECT_GE(ir, last) << "side " << side << " distance " << d;
            EXPECT_GE(ir, 0.0);
            EXPECT_LE(ir, 10.0);
            last = ir;
        }
        EXPECT_GT(last, 9.5) << "side " << side;
    }
}

TEST(peer_sim, telemetry_reads_back_as_the_robot_moves) {
    robot_sim sim(1.0);
    sim.place(5, 5, 30 * std::numbers::pi / 180);
    sim.drive(158, 98);
    telemetry_packet p = build_telemetry(sim.telemetry(42));
    shown_telemetry s = controller_shows(p.data() + 2);
    EXPECT_EQ(counter_of(p.data() + 2), 42u);
    EXPECT_NEAR(s.angle, 30.0, 0.01);
    EXPECT_NEAR(s.vel_x, 10 * std::cos(30 * std::numbers::pi / 180), 0.001);
    EXPECT_NEAR(s.vel_y, 5.0, 0.001);
    EXPECT_NEAR(s.ir, 0.0, 1e-6);
    EXPECT_GT(s.wifi, 0.0);
    EXPECT_LE(s.wifi, 100.0);

    sim.place(9.5, 5, 200 * std::numbers::pi / 180);  // going backwards: components stay positive
    sim.drive(98, 158);
    s = controller_shows(build_telemetry(sim.telemetry(43)).data() + 2);
    EXPECT_NEAR(s.angle, 200.0, 0.01);
    EXPECT_NEAR(s.vel_x, 10 * std::fabs(std::cos(200 * std::numbers::pi / 180)), 0.001);
    EXPECT_NEAR(s.vel_y, 10 * std::fabs(std::sin(200 * std::numbers::pi / 180)), 0.001);
    EXPECT_NEAR(s.ir, sim.ir_reading(), 0.01);
    EXPECT_GT(s.ir, 8.0);
}

TEST(peer_sim, wifi_drifts_slowly) {
    robot_sim sim;
    int low = 255, high = 0, prev = sim.wifi();
    for (int i = 0; i < 600; ++i) {
        sim.advance(0.1);
        int w = sim.wifi();
        EXPECT_LE(std::abs(w - prev), 2) << "step " << i;
        low = std::min(low, w);
        high = std::max(high, w);
        prev = w;
    }
    EXPECT_GE(high - low, 50) << "over a minute the signal moves";
    robot_sim other(std::numbers::pi / 2);
    EXPECT_NE(other.wifi(), robot_sim().wifi()) << "robots side by side do not move in step";
}

// ---------------------------------------------------------------------------------------------
// Send queue

bytes numbered_frame(std::uint8_t n, std::size_t size = 18) {
    return bytes(size, n);
}

bytes queued(const out_queue& q) {
    return bytes(q.data(), q.data() + q.size());
}

TEST(peer_out_queue, hands_out_frames_in_order_across_partial_sends) {
    out_queue q;
    bytes a = numbered_frame(1), b = numbered_frame(2);
    EXPECT_EQ(q.push(a.data(), a.size()), 0u);
    EXPECT_EQ(q.push(b.data(), b.size()), 0u);
    EXPECT_EQ(q.size(), 36u);
    q.consume(5);
    EXPECT_EQ(q.size(), 31u);
    EXPECT_EQ(q.data()[0], 1);
    EXPECT_EQ(q.data()[13], 2);
    q.consume(13);
    EXPECT_EQ(q.frames(), 1u);
    q.consume(100);  // more than is there
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.frames(), 0u);
}

TEST(peer_out_queue, drops_the_oldest_whole_frames_beyond_its_limit) {
    out_queue q(100);
    std::size_t dropped = 0;
    for (std::uint8_t n = 1; n <= 10; ++n) {
        bytes f = numbered_frame(n);
        dropped += q.push(f.data(), f.size());
        EXPECT_LE(q.size(), 100u);
    }
    EXPECT_EQ(dropped, 5u);
    bytes expected = concat({numbered_frame(6), numbered_frame(7), numbered_frame(8), numbered_frame(9),
                             numbered_frame(10)});
    EXPECT_EQ(queued(q), expected);

    out_queue big;
    for (int i = 0; i < 5000; ++i) {
        bytes f = numbered_frame(static_cast<std::uint8_t>(i));
        big.push(f.data(), f.size());
    }
    EXPECT_LE(big.size(), out_queue_limit);
    EXPECT_GT(big.size(), out_queue_limit - 18);
    EXPECT_EQ(big.size() % 18, 0u) << "only whole frames are dropped";
}

TEST(peer_out_queue, keeps_a_frame_that_has_partly_gone_out) {
    out_queue q(60);
    for (std::uint8_t n = 1; n <= 3; ++n) {
        bytes f = numbered_frame(n);
        q.push(f.data(), f.size());
    }
    q.consume(4);  // 14 bytes of frame 1 left
    for (std::uint8_t n = 4; n <= 5; ++n) {
        bytes f = numbered_frame(n);
        EXPECT_EQ(q.push(f.data(), f.size()), 1u);
    }
    EXPECT_EQ(queued(q), concat({numbered_frame(1, 14), numbered_frame(4), numbered_frame(5)}));
    q.consume(14);
    EXPECT_EQ(q.frames(), 2u);
    EXPECT_EQ(q.data()[0], 4);
}

// ---------------------------------------------------------------------------------------------
// Options and the robot list

parsed_options parse(std::vector<std::string> args) {
    return parse_options(args);
}

// Each command line of the list is refused with a reason.
void expect_refused(const std::vector<std::vector<std::string>>& bad) {
    for (const auto& args : bad) {
        std::string joined;
        for (const std::string& a : args) joined += a + " ";
        EXPECT_NE(parse(args).error, "") << joined;
    }
}

TEST(peer_options, every_option_in_both_spellings) {
    parsed_options r = parse({"--port", "5200", "--port=5100", "--config", "list.txt", "--bind=0.0.0.0", "--quiet",
                              "--silent", "--bad-checksum-every", "3", "--bad-length-every=4", "--close-after", "7",
                              "--telemetry-hz=2.5"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.opts.ports, (std::vector<int>{5100, 5200}));
    EXPECT_EQ(r.opts.config, "list.txt");
    EXPECT_TRUE(r.opts.config_given);
    EXPECT_EQ(r.opts.bind, "0.0.0.0");
    EXPECT_TRUE(r.opts.quiet);
    EXPECT_TRUE(r.opts.silent);
    EXPECT_EQ(r.opts.bad_checksum_every, 3u);
    EXPECT_EQ(r.opts.bad_length_every, 4u);
    EXPECT_EQ(r.opts.close_after, 7u);
    EXPECT_DOUBLE_EQ(r.opts.telemetry_hz, 2.5);
    EXPECT_EQ(parse({"--bind", "localhost"}).opts.bind, "127.0.0.1");
    EXPECT_TRUE(parse({"--help"}).help);
}

TEST(peer_options, bad_usage_is_refused_with_a_reason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port"},
        {"--port", "0"},
        {"--port", "65536"},
        {"--port", "51x"},
        {"--port", "-5"},
        {"--port", "5100", "--port", "5100"},
        {"--bind", "example.org"},
        {"--bind", "1.2.3"},
        {"--telemetry-hz", "0"},
        {"--telemetry-hz", "-1"},
        {"--telemetry-hz", "fast"},
        {"--telemetry-hz", "nan"},
        {"--telemetry-hz", "inf"},
        {"--telemetry-hz", "5000"},
        {"--bad-checksum-every", "0"},
        {"--bad-length-every", ""},
        {"--close-after", "1.5"},
        {"--config"},
        {"--config="},
        {"--quiet=yes"},
        {"--frobnicate"},
        {"5100"},
    };
    expect_refused(bad);
    EXPECT_NE(parse({"--port", "0"}).error.find("--port"), std::string::npos);
    EXPECT_NE(parse({"--frobnicate"}).error.find("--frobnicate"), std::string::npos);
}

TEST(peer_options, camera_options_in_both_spellings) {
    parsed_options r = parse({});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.opts.camera);
    EXPECT_EQ(r.opts.camera_width, 320);
    EXPECT_EQ(r.opts.camera_height, 240);
    EXPECT_EQ(r.opts.camera_quality, 75);
    EXPECT_EQ(r.opts.camera_bad_checksum_every, 0u);
    EXPECT_EQ(r.opts.camera_oversize_every, 0u);
    EXPECT_EQ(r.opts.camera_bad_marker_every, 0u);
    EXPECT_FALSE(r.opts.camera_close_mid_frame.has_value());
    EXPECT_FALSE(r.opts.camera_byte_at_a_time);
    EXPECT_FALSE(r.opts.camera_silent);

    r = parse({"--camera-size", "640x480", "--camera-quality=40", "--camera-bad-checksum-every", "5",
               "--camera-oversize-every=6", "--camera-bad-marker-every", "7", "--camera-close-mid-frame=0",
               "--camera-byte-at-a-time", "--camera-silent"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.opts.camera);
    EXPECT_EQ(r.opts.camera_width, 640);
    EXPECT_EQ(r.opts.camera_height, 480);
    EXPECT_EQ(r.opts.camera_quality, 40);
    EXPECT_EQ(r.opts.camera_bad_checksum_every, 5u);
    EXPECT_EQ(r.opts.camera_oversize_every, 6u);
    EXPECT_EQ(r.opts.camera_bad_marker_every, 7u);
    ASSERT_TRUE(r.opts.camera_close_mid_frame.has_value());
    EXPECT_EQ(*r.opts.camera_close_mid_frame, 0u) << "0 cuts the very first frame";
    EXPECT_TRUE(r.opts.camera_byte_at_a_time);
    EXPECT_TRUE(r.opts.camera_silent);
    EXPECT_FALSE(r.opts.silent) << "the camera switches leave the control link alone";
    EXPECT_EQ(r.opts.bad_checksum_every, 0u);

    r = parse({"--camera-size=1X1", "--camera-close-mid-frame", "12"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.opts.camera_width, 1);
    EXPECT_EQ(r.opts.camera_height, 1);
    EXPECT_EQ(*r.opts.camera_close_mid_frame, 12u);
    EXPECT_FALSE(parse({"--no-camera", "--quiet"}).opts.camera);
}

TEST(peer_options, bad_camera_options_are_refused_with_a_reason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--camera-size"},
        {"--camera-size", "641x480"},
        {"--camera-size", "640x481"},
        {"--camera-size", "480x640"},
        {"--camera-size", "0x240"},
        {"--camera-size", "320x0"},
        {"--camera-size", "320"},
        {"--camera-size", "x240"},
        {"--camera-size", "320x"},
        {"--camera-size", "320x240x2"},
        {"--camera-size", "320 x240"},
        {"--camera-size", "-320x240"},
        {"--camera-quality", "0"},
        {"--camera-quality", "101"},
        {"--camera-quality", "high"},
        {"--camera-bad-checksum-every", "0"},
        {"--camera-oversize-every", "-2"},
        {"--camera-bad-marker-every"},
        {"--camera-close-mid-frame", "-1"},
        {"--camera-close-mid-frame", "two"},
        {"--camera-silent=1"},
        {"--camera-byte-at-a-time=yes"},
        {"--no-camera=true"},
        {"--no-camera", "--camera-silent"},
        {"--camera-size", "160x120", "--no-camera"},
    };
    expect_refused(bad);
    EXPECT_NE(parse({"--camera-size", "700x500"}).error.find("700x500"), std::string::npos);
    EXPECT_NE(parse({"--no-camera", "--camera-silent"}).error.find("--no-camera"), std::string::npos);
}

TEST(peer_robot_list, reads_records_as_the_controller_does) {
    const std::string text =
        "# name host port show auto\n"
        "scout 127.0.0.1 5100 1 1\r\n"
        "\tranger\tlocalhost\t5102  0\t1   # trailing comment\n"
        "\n"
        "short 127.0.0.1 5104 1\n"
        "odd 127.0.0.1 5106abc 0 0 extra fields\n"
        "bad 127.0.0.1 port 0 0\n"
        "far 10.0.0.12 5108 1 0";  // no final line break
    std::vector<robot_record> r = parse_robot_list(text);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].name, "scout");
    EXPECT_EQ(r[0].host, "127.0.0.1");
    EXPECT_EQ(r[0].port, 5100);
    EXPECT_EQ(r[1].name, "ranger");
    EXPECT_EQ(r[1].host, "localhost");
    EXPECT_EQ(r[1].port, 5102);
    EXPECT_EQ(r[2].name, "odd");
    EXPECT_EQ(r[2].port, 5106);
    EXPECT_EQ(r[3].name, "bad");
    EXPECT_EQ(r[3].port, 0);
    EXPECT_EQ(r[4].name, "far");
    EXPECT_EQ(r[4].port, 5108);
}

TEST(peer_robot_list, only_the_first_99_records_are_robots) {
    std::string text;
    for (int i = 0; i < 120; ++i) text += "r" + std::to_string(i) + " 127.0.0.1 " + std::to_string(6000 + i) + " 0 0\n";
    std::vector<robot_record> r = parse_robot_list(text);
    ASSERT_EQ(r.size(), 99u);
    EXPECT_EQ(r.back().name, "r98");
}

TEST(peer_robot_list, loopback_names_are_recognised) {
    EXPECT_TRUE(is_local_host("127.0.0.1"));
    EXPECT_TRUE(is_local_host("localhost"));
    EXPECT_TRUE(is_local_host("LocalHost"));
    EXPECT_FALSE(is_local_host("127.0.0.2"));
    EXPECT_FALSE(is_local_host("localhost."));
    EXPECT_FALSE(is_local_host("localhos"));
    EXPECT_FALSE(is_local_host("10.0.0.12"));
    EXPECT_FALSE(is_local_host(""));
}

// ---------------------------------------------------------------------------------------------
// The real program on loopback ports

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int ms_since(steady_clock::time_point t) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - t).count());
}

// One decoded unit of what the robot sends, read the way the controller reads it.
struct frame {
    int invalid_length = -1;  // a rejected length byte (0, 1 or 2), else -1
    bytes packet;             // a whole packet, length byte to checksum
    bool checksum_ok = false;
    steady_clock::time_point at;

    const std::uint8_t* payload() const { return packet.data() + 2; }
    std::uint32_t counter() const { return counter_of(payload()); }
    shown_telemetry shown() const { return controller_shows(payload()); }
};

// The controller's end of a control link: decodes what arrives into frames.
class control_client : public raw_client {
public:
    using raw_client::raw_client;

    // Frames until count have arrived, the robot closes, or timeout_ms pass.
    std::vector<frame> frames(std::size_t count, int timeout_ms) {
        std::vector<frame> got;
        auto start = steady_clock::now();
        while (got.size() < count) {
            if (!ready_.empty()) {
                got.push_back(ready_.front());
                ready_.erase(ready_.begin());
                continue;
            }
            int left = timeout_ms - ms_since(start);
            if (left <= 0 || peer_closed_ || !receive(left)) break;
        }
        return got;
    }
    // Every frame that arrives within ms.
    std::vector<frame> frames_for(int ms) { return frames(static_cast<std::size_t>(-1), ms); }

private:
    // The controller's receive state machine.
    void taken(steady_clock::time_point now) override {
        for (std::uint8_t b : buffered_) take_byte(b, now);
        buffered_.clear();
    }
    void take_byte(std::uint8_t b, steady_clock::time_point now) {
        if (pending_.empty()) {
            if (b <= 2) {
                frame f;
                f.invalid_length = b;
                f.at = now;
                ready_.push_back(f);
                return;
            }
            pending_.push_back(b);
            return;
        }
        pending_.push_back(b);
        if (pending_.size() < pending_[0]) return;
        frame f;
        f.packet = pending_;
        f.at = now;
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < pending_.size(); ++i) sum += pending_[i];
        f.checksum_ok = (sum & 0xff) == pending_.back();
        ready_.push_back(f);
        pending_.clear();
    }

    bytes pending_;
    std::vector<frame> ready_;
};

bool is_good_telemetry(const frame& f) {
    return f.invalid_length < 0 && f.packet.size() == 18 && f.packet[0] == 18 && f.packet[1] == 0x20 &&
           f.checksum_ok;
}

// Angle in degrees, unwrapped across 0/360 relative to the previous one.
double unwrap(double previous, double angle) {
    while (angle - previous > 180) angle -= 360;
    while (angle - previous < -180) angle += 360;
    return angle;
}

// Degrees per second over a run of telemetry packets.
double turn_rate(const std::vector<frame>& f) {
    double a = f.front().shown().angle;
    double first = a;
    for (const frame& x : f) a = unwrap(a, x.shown().angle);
    double secs = std::chrono::duration<double>(f.back().at - f.front().at).count();
    return secs > 0 ? (a - first) / secs : 0;
}

class peer_run : public temp_dir_test {
protected:
    void TearDown() override {
        if (pid_ > 0) stop(pid_);
        temp_dir_test::TearDown();
    }
    void start(std::vector<std::string> args) {
        args.insert(args.begin(), ROBOT_PEER_BIN);
        pid_ = spawn(args, {}, dir_, out_file());
        ASSERT_GT(pid_, 0);
    }
    // Starts one robot on a fresh port, with extra options.
    void start_one(std::vector<std::string> extra = {}) {
        port_ = free_port();
        ASSERT_GT(port_, 0);
        extra.insert(extra.begin(), {"--port", std::to_string(port_)});
        start(extra);
    }
    std::string out_file() const { return dir_ + "/out.txt"; }
    std::string output() const { return read_file(out_file()); }
    bool wait_output(const std::string& text, int timeout_ms = 2000) const {
        auto start = steady_clock::now();
        while (output().find(text) == std::string::npos) {
            if (ms_since(start) > timeout_ms) return false;
            pause_ms(10);
        }
        return true;
    }
    std::string tag() const { return "robot:" + std::to_string(port_) + " "; }
    // Exit code of a short run that must end by itself.
    int run_to_end(std::vector<std::string> args) {
        start(std::move(args));
        int code = wait_for(pid_, 3000);
        pid_ = -1;
        return code;
    }

    pid_t pid_ = -1;
    int port_ = -1;
};

TEST_F(peer_run, sends_valid_telemetry_ten_times_a_second) {
    start_one();
    control_client c(port_);
    ASSERT_TRUE(c.connected());
    auto t0 = steady_clock::now();
    std::vector<frame> f = c.frames_for(1050);
    ASSERT_FALSE(f.empty());
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(f.front().at - t0).count(), 200)
        << "the first packet comes at once";
    EXPECT_GE(f.size(), 9u);
    EXPECT_LE(f.size(), 13u);
    for (std::size_t i = 0; i < f.size(); ++i) {
        ASSERT_TRUE(is_good_telemetry(f[i])) << "frame " << i;
        EXPECT_EQ(f[i].counter(), i + 1) << "packets are numbered from 1 on each connection";
        shown_telemetry s = f[i].shown();
        EXPECT_EQ(s.ir, 0.0f) << "the robot starts in the open";
        EXPECT_EQ(s.vel_x, 0.0f);
        EXPECT_EQ(s.vel_y, 0.0f);
        EXPECT_GT(s.wifi, 20.0);
        EXPECT_LE(s.wifi, 100.0);
    }
    EXPECT_TRUE(wait_output(tag() + "connected from 127.0.0.1:"));
    EXPECT_NE(output().find(tag() + "listening on 127.0.0.1:" + std::to_string(port_)), std::string::npos);
}

TEST_F(peer_run, prints_each_command_and_drives_the_robot) {
    start_one({"--telemetry-hz", "25"});
    control_client c(port_);
    ASSERT_TRUE(c.connected());
    // The version string split over two sends, a drive command in the same send as its end.
    bytes first = concat({text_command("0.6.17"), controller_drive(0, 1)});
    c.send_bytes(bytes(first.begin(), first.begin() + 4));
    pause_ms(30);
    c.send_bytes(bytes(first.begin() + 4, first.end()));
    ASSERT_TRUE(wait_output(tag() + "drive 143 143 143 143 (speed 0.00 turn 1.00)\n"));
    EXPECT_NE(output().find(tag() + "string \"0.6.17\"\n"), std::string::npos);
    EXPECT_LT(output().find("string"), output().find("drive"));

    c.frames_for(60);  // packets from before the command
    std::vector<frame> left = c.frames_for(500);
    ASSERT_GE(left.size(), 8u);
    EXPECT_NEAR(turn_rate(left), 114.6, 25.0) << "full turn is 2 rad/s counter-clockwise";

    c.send_bytes(controller_drive(0, -1));
    c.frames_for(60);
    std::vector<frame> right = c.frames_for(500);
    ASSERT_GE(right.size(), 8u);
    EXPECT_NEAR(turn_rate(right), -114.6, 25.0);

    c.send_bytes(controller_drive(1, 0));
    c.frames_for(60);
    std::vector<frame> ahead = c.frames(5, 500);
    ASSERT_EQ(ahead.size(), 5u);
    for (const frame& f : ahead) {
        shown_telemetry s = f.shown();
        EXPECT_NEAR(std::hypot(s.vel_x, s.vel_y), 10.0, 0.01) << "full speed shows as 10";
    }
    EXPECT_NEAR(turn_rate(ahead), 0.0, 1.0);

    // Targeting, the remote shutdown and a stray byte, in one send.
    c.send_bytes({0x40, 0x41, 0x77, 0x02, 0, 0, 0, 0});
    ASSERT_TRUE(wait_output(tag() + "shutdown\n"));
    std::string out = output();
    std::size_t on = out.find(tag() + "fire on\n");
    std::size_t off = out.find(tag() + "fire off\n");
    std::size_t stray = out.find(tag() + "unknown command byte 0x77, skipped\n");
    ASSERT_NE(on, std::string::npos);
    ASSERT_NE(off, std::string::npos);
    ASSERT_NE(stray, std::string::npos);
    EXPECT_LT(on, off);
    EXPECT_LT(off, stray);
    EXPECT_LT(stray, out.find(tag() + "shutdown\n"));
    c.frames_for(60);
    std::vector<frame> after = c.frames(3, 500);
    ASSERT_EQ(after.size(), 3u);
    for (const frame& f : after) EXPECT_EQ(f.shown().vel_x + f.shown().vel_y, 0.0f) << "shutdown stops";
}

TEST_F(peer_run, quiet_keeps_connection_lines_only) {
    start_one({"--quiet"});
    control_client c(port_);
    ASSERT_TRUE(c.connected());
    c.send_bytes(concat({text_command("0.6.17"), controller_drive(1, 0), {0x40, 0x55}}));
    ASSERT_TRUE(wait_output(tag() + "unknown command byte 0x55"));
    c.close_now();
    ASSERT_TRUE(wait_output(tag() + "disconnected"));
    std::string out = output();
    EXPECT_NE(out.find(tag() + "connected from"), std::string::npos);
    EXPECT_EQ(out.find("string"), std::string::npos);
    EXPECT_EQ(out.find("drive"), std::string::npos);
    EXPECT_EQ(out.find("fire"), std::string::npos);
}

TEST_F(peer_run, stops_the_robot_when_the_controller_falls_silent) {
    start_one({"--telemetry-hz", "20", "--quiet"});
    control_client c(port_);
    ASSERT_TRUE(c.connected());
    steady_clock::time_point last_command;
    for (int i = 0; i < 3; ++i) {
        c.send_bytes(controller_drive(1, 0));
        last_command = steady_clock::now();
        c.frames_for(100);
    }
    std::vector<frame> moving = c.frames(2, 300);
    ASSERT_EQ(moving.size(), 2u);
    EXPECT_GT(moving.back().shown().vel_x, 9.0f);
    EXPECT_EQ(output().find("no command"), std::string::npos);

    ASSERT_TRUE(wait_output(tag() + "no command for 2 s: robot stopped", 3500));
    int silent_ms = ms_since(last_command);
    EXPECT_GE(silent_ms, 1950) << "not before 2 s of silence";
    EXPECT_LE(silent_ms, 2600);
    c.frames_for(60);
    std::vector<frame> stopped = c.frames(2, 300);
    ASSERT_EQ(stopped.size(), 2u);
    EXPECT_EQ(stopped.back().shown().vel_x, 0.0f);
    EXPECT_TRUE(c.connected()) << "the link itself stays up";
}

TEST_F(peer_run, new_client_replaces_the_old_one) {
    start_one({"--telemetry-hz", "50"});
    control_client a(port_);
    ASSERT_TRUE(a.connected());
    ASSERT_EQ(a.frames(2, 500).size(), 2u);
    control_client b(port_);
    ASSERT_TRUE(b.connected());
    EXPECT_TRUE(a.wait_closed(1000));
    std::vector<frame> f = b.frames(3, 500);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].counter(), 1u) << "a new connection counts from 1";
    std::string out = output();
    std::size_t first = out.find(tag() + "connected from");
    std::size_t gone = out.find(tag() + "disconnected");
    std::size_t second = out.find(tag() + "connected from", first + 1);
    ASSERT_NE(gone, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, gone);
    EXPECT_LT(gone, second);

    // A client that connects and vanishes at once leaves the peer serving.
    { control_client gone_at_once(port_); }
    control_client d(port_);
    ASSERT_TRUE(d.connected());
    EXPECT_EQ(d.frames(2, 500).size(), 2u);
}

TEST_F(peer_run, bad_checksum_every_third_packet) {
    start_one({"--telemetry-hz", "50", "--bad-checksum-every", "3"});
    control_client c(port_);
    ASSERT_TRUE(c.connected());
    std::vector<frame> f = c.frames(9, 1500);
    ASSERT_EQ(f.size(), 9u);
    for (std::size_t i = 0; i < f.size(); ++i) {
        ASSERT_EQ(f[i].invalid_length, -1);
        EXPECT_EQ(f[i].counter(), i + 1);
        EXPECT_EQ(f[i].checksum_ok, (i + 1) % 3 != 0) << "packet " << i + 1;
    }
}

TEST_F(peer_run, invalid_length_byte_before_every_second_packet) {
    start_one({"--telemetry-hz", "50", "--bad-length-every", "2"});
    control_client c(port_);
    ASSERT_TRUE(c.connected());
    std::vector<frame> f = c.frames(12, 1500);
    ASSERT_EQ(f.size(), 12u);
    // packet 1, [0], packet 2, packet 3, [1], packet 4, packet 5, [2], packet 6, packet 7, [0], packet 8
    std::vector<std::string> seen;
    for (const frame& x : f) {
        if (x.invalid_length >= 0) {
            seen.push_back("[" + std::to_string(x.invalid_length) + "]");
        } else {
            EXPECT_TRUE(is_good_telemetry(x));
            seen.push_back(std::to_string(x.counter()));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "[0]", "2", "3", "[1]", "4", "5", "[2]", "6", "7", "[0]", "8"}));
}

TEST_F(peer_run, closes_the_link_after_so_many_packets) {
    start_one({"--telemetry-hz", "50", "--close-after", "4"});
    for (int round = 0; round < 2; ++round) {
        control_client c(port_);
        ASSERT_TRUE(c.connected());
        std::vector<frame> f = c.frames(10, 1500);
        EXPECT_TRUE(c.peer_closed());
        ASSERT_EQ(f.size(), 4u) << "round " << round;
        for (std::size_t i = 0; i < f.size(); ++i) {
            EXPECT_TRUE(is_good_telemetry(f[i]));
            EXPECT_EQ(f[i].counter(), i + 1);
        }
    }
    EXPECT_EQ(count_of(output(), tag() + "closing the connection after 4 packets"), 2);
}

TEST_F(peer_run, silent_reads_commands_but_sends_nothing) {
    start_one({"--telemetry-hz", "50", "--silent"});
    control_client c(port_);
    ASSERT_TRUE(c.connected());
    c.send_bytes(controller_drive(0, 1));
    ASSERT_TRUE(wait_output(tag() + "drive 143 143 143 143"));
    c.frames_for(400);
    EXPECT_EQ(c.raw_bytes_received(), 0u);
    EXPECT_FALSE(c.peer_closed());
}

TEST_F(peer_run, serves_the_local_robots_of_the_robot_list) {
    std::vector<int> ports = free_ports(4);
    const int scout = ports[0], ranger = ports[1], far = ports[2], blocked = ports[3];
    ASSERT_TRUE(scout > 0 && ranger > 0 && far > 0 && blocked > 0);
    // Somebody else holds this one.
    const int holder = bound_socket(blocked, 1);
    ASSERT_GE(holder, 0);

    write_file(dir_ + "/robots.txt",
               "# the swarm\n"
               "scout    127.0.0.1  " + std::to_string(scout) + "  1 1\n"
               "ranger   localhost  " + std::to_string(ranger) + "  0 1  # a comment\n"
               "far      10.0.0.12  " + std::to_string(far) + "  1 0\n"
               "blocked  127.0.0.1  " + std::to_string(blocked) + "  1 0\n"
               "half     127.0.0.1\n");
    start({});
    ASSERT_TRUE(wait_output("ranger:" + std::to_string(ranger) + " listening"));
    EXPECT_TRUE(wait_output("blocked:" + std::to_string(blocked) + ": cannot listen on 127.0.0.1:" +
                            std::to_string(blocked)));

    control_client s(scout), r(ranger);
    ASSERT_TRUE(s.connected());
    ASSERT_TRUE(r.connected());
    EXPECT_EQ(s.frames(1, 500).size(), 1u);
    EXPECT_EQ(r.frames(1, 500).size(), 1u);
    s.send_bytes({0x40});
    EXPECT_TRUE(wait_output("scout:" + std::to_string(scout) + " fire on\n"));
    EXPECT_LT(connect_to(far), 0) << "a robot on another host is not served";
    EXPECT_EQ(output().find("far:"), std::string::npos);
    EXPECT_EQ(output().find("half"), std::string::npos);
    close(holder);
}

TEST_F(peer_run, stops_cleanly_on_sigterm_and_sigint) {
    for (int sig : {SIGTERM, SIGINT}) {
        start_one();
        control_client c(port_);
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.frames(1, 500).size(), 1u);
        auto t0 = steady_clock::now();
        kill(pid_, sig);
        int code = wait_for(pid_, 2000);
        int took = ms_since(t0);
        pid_ = -1;
        EXPECT_EQ(code, 0) << "signal " << sig;
        EXPECT_LT(took, 500);
        EXPECT_TRUE(c.wait_closed(500));
        std::string out = output();
        EXPECT_NE(out.find(sig == SIGTERM ? "SIGTERM" : "SIGINT"), std::string::npos);
        EXPECT_EQ(out.substr(out.size() - std::min<std::size_t>(out.size(), 20)), "robot_peer: stopped\n");
    }
}

TEST_F(peer_run, the_controller_records_what_a_real_robot_says_and_is_told) {
    start_one({"--telemetry-hz", "20"});
    write_file(dir_ + "/robots.txt", "scout 127.0.0.1 " + std::to_string(port_) + " 0 0\n");
    const pid_t swarm = spawn({SWARM_BIN, "--headless", "--record", "run.csv"}, {"QT_QPA_PLATFORM=offscreen"}, dir_,
                              dir_ + "/swarm.txt");
    ASSERT_GT(swarm, 0);
    EXPECT_TRUE(wait_output(tag() + "drive 128 128 128 128", 10000));
    pause_ms(2500);
    stop(swarm);
    const std::string peer = output();
    // Every row as a plain reader splits it: the robot's name needs no quotes.
    std::vector<std::vector<std::string>> telemetry, commands;
    std::istringstream rec(read_file(dir_ + "/run.csv"));
    for (std::string line; std::getline(rec, line);) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
        if (line.back() == ',') fields.emplace_back();
        ASSERT_EQ(fields.size(), 18u) << line;
        if (fields[0] == "telemetry") telemetry.push_back(fields);
        if (fields[0] == "command") commands.push_back(fields);
    }
    // Columns: robot 2, wall_s 10, wifi 11, ir 12, angle 13, vel_x 14, vel_y 15, bytes 16.
    const int drives = count_of(peer, tag() + "drive 128 128 128 128");
    std::printf("recorded %zu telemetry and %zu commands; the robot heard %d\n", telemetry.size(), commands.size(),
                drives);
    EXPECT_GE(telemetry.size(), 30u) << "20 a second for 2.5 s and more";
    EXPECT_GE(commands.size(), 20u) << "10 a second for 2.5 s and more";
    EXPECT_NEAR(static_cast<double>(commands.size()), drives, 2.0) << "each command sent is recorded";
    double last_wall = 0;
    for (const auto& t : telemetry) {
        EXPECT_EQ(t[2], "scout");
        EXPECT_GE(std::stod(t[10]), last_wall);
        last_wall = std::stod(t[10]);
        EXPECT_GT(std::stod(t[11]), 20.0);
        EXPECT_LE(std::stod(t[11]), 100.0);
        EXPECT_EQ(t[12] + t[14] + t[15], "0.0000.00000.0000") << "a robot at rest in the open";
    }
    for (const auto& c : commands) EXPECT_EQ(c[16], "30 80 80 80 80");
}

TEST_F(peer_run, refuses_bad_usage_and_nothing_to_serve) {
    EXPECT_EQ(run_to_end({"--port", "0"}), 2);
    EXPECT_NE(output().find("--port"), std::string::npos);
    EXPECT_NE(output().find("usage:"), std::string::npos);
    EXPECT_EQ(run_to_end({"--telemetry-hz", "often"}), 2);
    EXPECT_EQ(run_to_end({"--what"}), 2);
    EXPECT_EQ(run_to_end({"--help"}), 0);
    EXPECT_NE(output().find("--bad-length-every"), std::string::npos);

    EXPECT_EQ(run_to_end({"--config", "missing.txt"}), 1);
    EXPECT_NE(output().find("missing.txt"), std::string::npos);
    write_file(dir_ + "/remote.txt", "far 10.0.0.12 5100 1 0\n");
    EXPECT_EQ(run_to_end({"--config", "remote.txt"}), 1);

    const int holder = bound_socket(0, 1);
    ASSERT_GE(holder, 0);
    const std::string taken = std::to_string(bound_port(holder));
    EXPECT_EQ(run_to_end({"--port", taken}), 1);
    EXPECT_NE(output().find("cannot listen on 127.0.0.1:" + taken), std::string::npos);
    close(holder);
}

// ---------------------------------------------------------------------------------------------
// The camera link of the real program

// The eleven bytes in front of each camera frame, read big-endian as the controller reads them.
struct size_packet {
    int marker = -1;
    unsigned width = 0, height = 0;
    std::uint32_t length = 0;
    std::uint16_t checksum = 0;
};

size_packet read_size_packet(const bytes& b) {
    size_packet p;
    p.marker = b[0];
    p.width = (b[1] << 8) | b[2];
    p.height = (b[3] << 8) | b[4];
    p.length = (static_cast<std::uint32_t>(b[5]) << 24) | (b[6] << 16) | (b[7] << 8) | b[8];
    p.checksum = static_cast<std::uint16_t>((b[9] << 8) | b[10]);
    return p;
}

// Written out here rather than taken from the peer: the sum the controller checks.
std::uint16_t sum16(const bytes& data) {
    unsigned sum = 0;
    for (std::uint8_t b : data) sum += b;
    return static_cast<std::uint16_t>(sum & 0xFFFF);
}

struct camera_reply {
    size_packet head;
    bytes jpeg;  // as many bytes as the head announced
};

// The controller's end of a camera link: sends requests, reads replies.
class camera_client : public raw_client {
public:
    using raw_client::raw_client;

    void request(std::size_t count = 1) { send_bytes(bytes(count, 0x40)); }

    // Up to n bytes: fewer only when the peer closes or timeout_ms pass first.
    bytes take(std::size_t n, int timeout_ms) {
        auto start = steady_clock::now();
        while (buffered_.size() < n && !peer_closed_) {
            int left = timeout_ms - ms_since(start);
            if (left <= 0 || !receive(left)) break;
        }
        std::size_t k = std::min(n, buffered_.size());
        bytes out(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(k));
        buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(k));
        return out;
    }

    // One reply: a size packet and the bytes it announces. False when either falls short.
    bool reply(camera_reply& r, int timeout_ms = 2000) {
        bytes head = take(11, timeout_ms);
        if (head.size() != 11) return false;
        r.head = read_size_packet(head);
        r.jpeg = take(r.head.length, timeout_ms);
        return r.jpeg.size() == r.head.length;
    }
};

// What the controller makes of a received frame: completes it (which needs 440 bytes of room)
// and decodes it into a bottom-up picture. Empty when it refuses the frame.
std::vector<color_type> controller_decodes(const bytes& jpeg, unsigned width, unsigned height) {
    std::vector<unsigned char> buffer(jpeg.begin(), jpeg.end());
    buffer.resize(jpeg.size() + 440);
    unsigned length = static_cast<unsigned>(jpeg.size());
    std::vector<color_type> picture(static_cast<std::size_t>(width) * height);
    if (!decompress_image(buffer.data(), &length, static_cast<unsigned>(buffer.size()), picture.data(), width,
                          height))
        return {};
    return picture;
}

// Mean difference per channel between a decoded picture and frame n of the scene (top row
// first, red-green-blue); upside_down lays the picture over the scene the wrong way up.
double scene_error(const std::vector<color_type>& picture, int width, int height, unsigned n,
                   bool upside_down = false) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    mjpeg::render_scene(rgb.data(), width, height, n);
    double total = 0;
    for (int y = 0; y < height; ++y) {
        const int row = upside_down ? y : height - 1 - y;
        for (int x = 0; x < width; ++x) {
            const color_type& p = picture[static_cast<std::size_t>(row) * width + x];
            const std::uint8_t* s = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            total += std::abs(p.red - s[0]) + std::abs(p.green - s[1]) + std::abs(p.blue - s[2]);
        }
    }
    return total / (3.0 * width * height);
}

// The frame of the scene, among the first dozen, that a decoded picture is closest to.
unsigned nearest_scene_frame(const std::vector<color_type>& picture, int width, int height) {
    unsigned best = 0;
    double best_error = 1e9;
    for (unsigned n = 0; n < 12; ++n) {
        double e = scene_error(picture, width, height, n);
        if (e < best_error) {
            best_error = e;
            best = n;
        }
    }
    return best;
}

// Pixels where two pictures differ clearly in some channel.
int changed_pixels(const std::vector<color_type>& a, const std::vector<color_type>& b) {
    int n = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        n += std::abs(a[i].red - b[i].red) > 40 || std::abs(a[i].green - b[i].green) > 40 ||
             std::abs(a[i].blue - b[i].blue) > 40;
    return n;
}

bool is_motion_jpeg(const bytes& jpeg) {
    const bytes start{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'A', 'V', 'I', '1'};
    return jpeg.size() > start.size() && std::equal(start.begin(), start.end(), jpeg.begin()) &&
           jpeg[jpeg.size() - 2] == 0xFF && jpeg.back() == 0xD9;
}

class peer_camera : public peer_run {
protected:
    // Starts one robot whose control port and camera port are both free.
    void start_camera(std::vector<std::string> extra = {}) {
        port_ = free_port_pair();
        ASSERT_GT(port_, 0);
        extra.insert(extra.begin(), {"--port", std::to_string(port_)});
        start(extra);
    }
    void restart_camera(std::vector<std::string> extra = {}) {
        stop(pid_);
        pid_ = -1;
        start_camera(std::move(extra));
    }
    int camera_port() const { return port_ + 1; }
    std::string camera_tag() const { return "robot:" + std::to_string(camera_port()) + " camera "; }
    // The length of the first frame a fresh peer with these options sends.
    std::uint32_t first_length(std::vector<std::string> extra) {
        restart_camera(std::move(extra));
        camera_client cam(camera_port());
        cam.request();
        camera_reply r;
        return cam.reply(r) ? r.head.length : 0;
    }
};

TEST_F(peer_camera, answers_each_request_with_a_frame_the_controller_decodes) {
    start_camera();
    camera_client cam(camera_port());
    ASSERT_TRUE(cam.connected());
    EXPECT_EQ(cam.bytes_within(300), 0u) << "nothing is sent before a request";

    cam.request();
    camera_reply first;
    ASSERT_TRUE(cam.reply(first));
    EXPECT_EQ(first.head.marker, 0x40);
    EXPECT_EQ(first.head.width, 320u);
    EXPECT_EQ(first.head.height, 240u);
    EXPECT_EQ(first.head.checksum, sum16(first.jpeg));
    EXPECT_TRUE(is_motion_jpeg(first.jpeg));
    std::vector<color_type> picture = controller_decodes(first.jpeg, 320, 240);
    ASSERT_FALSE(picture.empty());
    EXPECT_LT(scene_error(picture, 320, 240, 0), 4.0) << "the scene, the right way up and in its colours";
    EXPECT_GT(scene_error(picture, 320, 240, 0, true), 8.0);
    EXPECT_EQ(nearest_scene_frame(picture, 320, 240), 0u);

    // Two requests in one send: two replies, and nothing after them.
    cam.request(2);
    camera_reply second, third;
    ASSERT_TRUE(cam.reply(second));
    ASSERT_TRUE(cam.reply(third));
    EXPECT_EQ(cam.bytes_within(200), 0u);
    std::vector<std::vector<color_type>> pictures{picture};
    for (const camera_reply* r : {&second, &third}) {
        EXPECT_EQ(r->head.marker, 0x40);
        EXPECT_EQ(r->head.checksum, sum16(r->jpeg));
        pictures.push_back(controller_decodes(r->jpeg, 320, 240));
        ASSERT_FALSE(pictures.back().empty());
    }
    EXPECT_EQ(nearest_scene_frame(pictures[1], 320, 240), 1u);
    EXPECT_EQ(nearest_scene_frame(pictures[2], 320, 240), 2u);
    EXPECT_GT(changed_pixels(pictures[0], pictures[1]), 300) << "the objects move from frame to frame";
    EXPECT_GT(changed_pixels(pictures[1], pictures[2]), 300);
    EXPECT_NE(first.jpeg, second.jpeg);

    std::string out = output();
    EXPECT_NE(out.find(camera_tag() + "listening on 127.0.0.1:" + std::to_string(camera_port()) + "\n"),
              std::string::npos);
    EXPECT_NE(out.find(camera_tag() + "connected from 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(count_of(out, "camera"), 2) << "no line per frame:\n" << out;
    cam.close_now();
    EXPECT_TRUE(wait_output(camera_tag() + "disconnected after 3 frames\n"));

    // The control link is where it was, and a camera request there is a command, not a frame.
    control_client control(port_);
    ASSERT_TRUE(control.connected());
    std::vector<frame> f = control.frames(1, 500);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_TRUE(is_good_telemetry(f[0]));
}

TEST_F(peer_camera, size_and_quality_options_shape_the_frames) {
    start_camera({"--camera-size", "640x480"});
    {
        camera_client cam(camera_port());
        cam.request();
        camera_reply r;
        ASSERT_TRUE(cam.reply(r));
        EXPECT_EQ(r.head.width, 640u);
        EXPECT_EQ(r.head.height, 480u);
        EXPECT_EQ(r.head.checksum, sum16(r.jpeg));
        std::vector<color_type> picture = controller_decodes(r.jpeg, 640, 480);
        ASSERT_FALSE(picture.empty());
        EXPECT_LT(scene_error(picture, 640, 480, 0), 4.0);
    }
    const std::uint32_t rough = first_length({"--camera-quality", "10"});
    const std::uint32_t usual = first_length({});
    const std::uint32_t fine = first_length({"--camera-quality", "98"});
    EXPECT_GT(rough, 0u);
    EXPECT_LT(rough, usual);
    EXPECT_LT(usual, fine);
}

TEST_F(peer_camera, spoils_checksums_and_markers_of_the_frames_asked_for) {
    start_camera({"--camera-bad-checksum-every", "2", "--camera-bad-marker-every", "3"});
    camera_client cam(camera_port());
    cam.request(6);
    std::string markers, checksums;
    for (int n = 1; n <= 6; ++n) {
        camera_reply r;
        ASSERT_TRUE(cam.reply(r)) << "the announced length frames the stream, reply " << n;
        markers += r.head.marker == 0x40 ? "." : r.head.marker == 0x41 ? "M" : "?";
        checksums += r.head.checksum == sum16(r.jpeg) ? "." : "C";
        EXPECT_EQ(r.head.width, 320u);
        EXPECT_EQ(r.head.height, 240u);
        EXPECT_FALSE(controller_decodes(r.jpeg, 320, 240).empty()) << "the frame itself is sound, reply " << n;
    }
    EXPECT_EQ(markers, "..M..M");
    EXPECT_EQ(checksums, ".C.C.C");
}

TEST_F(peer_camera, oversize_announcements_take_turns) {
    start_camera({"--camera-oversize-every", "2"});
    camera_client cam(camera_port());
    cam.request(3);
    camera_reply r1, r2, r3;
    ASSERT_TRUE(cam.reply(r1));
    ASSERT_TRUE(cam.reply(r2));
    ASSERT_TRUE(cam.reply(r3));
    EXPECT_EQ(r1.head.width, 320u);
    EXPECT_EQ(r2.head.width, 641u);
    EXPECT_EQ(r2.head.height, 480u);
    EXPECT_EQ(r2.head.checksum, sum16(r2.jpeg));
    EXPECT_FALSE(controller_decodes(r2.jpeg, 320, 240).empty()) << "the frame after a 641x480 head is whole";
    EXPECT_EQ(r3.head.width, 320u);
    EXPECT_EQ(r3.head.checksum, sum16(r3.jpeg));

    cam.request();
    bytes head = cam.take(11, 2000);
    ASSERT_EQ(head.size(), 11u);
    size_packet h4 = read_size_packet(head);
    EXPECT_EQ(h4.marker, 0x40);
    EXPECT_EQ(h4.width, 320u);
    EXPECT_EQ(h4.height, 240u);
    EXPECT_EQ(h4.length, 921601u);
    EXPECT_EQ(cam.bytes_within(300), 0u) << "nothing follows a length the controller refuses";

    cam.request(2);
    camera_reply r5, r6;
    ASSERT_TRUE(cam.reply(r5));
    ASSERT_TRUE(cam.reply(r6));
    EXPECT_EQ(r5.head.width, 320u);
    EXPECT_LT(r5.head.length, 921601u);
    EXPECT_EQ(r6.head.width, 641u) << "then the first kind again";
    EXPECT_FALSE(cam.peer_closed());
}

TEST_F(peer_camera, closes_in_the_middle_of_a_frame_after_so_many_whole_ones) {
    start_camera({"--camera-close-mid-frame", "2"});
    for (int round = 0; round < 2; ++round) {
        camera_client cam(camera_port());
        ASSERT_TRUE(cam.connected());
        cam.request(2);
        camera_reply whole;
        ASSERT_TRUE(cam.reply(whole)) << "round " << round;
        ASSERT_TRUE(cam.reply(whole)) << "round " << round;
        EXPECT_EQ(whole.head.checksum, sum16(whole.jpeg));
        cam.request();
        camera_reply cut;
        EXPECT_FALSE(cam.reply(cut));
        EXPECT_TRUE(cam.peer_closed()) << "round " << round;
        EXPECT_EQ(cut.head.marker, 0x40) << "the size packet itself is whole";
        EXPECT_GT(cut.jpeg.size(), 0u);
        EXPECT_LT(cut.jpeg.size(), cut.head.length);
    }
    EXPECT_TRUE(wait_output(camera_tag() + "disconnected after 3 frames\n"));
    EXPECT_EQ(count_of(output(), camera_tag() + "closing the connection in the middle of frame 3\n"), 2);

    restart_camera({"--camera-close-mid-frame", "0"});
    camera_client cam(camera_port());
    cam.request();
    camera_reply cut;
    EXPECT_FALSE(cam.reply(cut));
    EXPECT_TRUE(cam.peer_closed());
    EXPECT_LT(cut.jpeg.size(), cut.head.length);
}

TEST_F(peer_camera, byte_at_a_time_still_delivers_whole_frames) {
    start_camera({"--camera-byte-at-a-time"});
    camera_client cam(camera_port());
    cam.request(2);
    camera_reply a, b;
    ASSERT_TRUE(cam.reply(a, 5000));
    ASSERT_TRUE(cam.reply(b, 5000));
    for (const camera_reply* r : {&a, &b}) {
        EXPECT_EQ(r->head.marker, 0x40);
        EXPECT_EQ(r->head.checksum, sum16(r->jpeg));
        EXPECT_FALSE(controller_decodes(r->jpeg, 320, 240).empty());
    }
    // Whole, a reply of a few kilobytes arrives in one or two receives.
    EXPECT_GT(cam.receives(), 20u) << "bytes came in " << cam.receives() << " pieces for "
                                   << a.jpeg.size() + b.jpeg.size() + 22 << " bytes";
}

TEST_F(peer_camera, silent_camera_reads_requests_and_never_answers) {
    start_camera({"--camera-silent"});
    camera_client cam(camera_port());
    ASSERT_TRUE(cam.connected());
    cam.request(3);
    EXPECT_EQ(cam.bytes_within(400), 0u);
    EXPECT_FALSE(cam.peer_closed());
    EXPECT_TRUE(wait_output(camera_tag() + "connected from"));
    control_client control(port_);
    EXPECT_EQ(control.frames(1, 500).size(), 1u) << "telemetry goes on";
}

TEST_F(peer_camera, other_request_bytes_are_reported_and_ignored) {
    start_camera();
    camera_client cam(camera_port());
    cam.send_bytes({0x41, 0x00});
    EXPECT_TRUE(wait_output(camera_tag() + "unknown request byte 0x00, ignored\n"));
    EXPECT_NE(output().find(camera_tag() + "unknown request byte 0x41, ignored\n"), std::string::npos);
    EXPECT_EQ(cam.bytes_within(200), 0u);
    cam.send_bytes({0x7f, 0x40, 0xff});
    camera_reply r;
    ASSERT_TRUE(cam.reply(r));
    EXPECT_EQ(r.head.checksum, sum16(r.jpeg));
    EXPECT_EQ(cam.bytes_within(200), 0u) << "one reply for the one request among them";

    // A flood is reported by its first few bytes only.
    cam.send_bytes(bytes(50, 0x33));
    ASSERT_TRUE(wait_output("further unknown request bytes on this connection are not shown\n"));
    pause_ms(100);
    EXPECT_EQ(count_of(output(), "unknown request byte 0x33"), 4) << "eight lines per connection in all";
}

TEST_F(peer_camera, new_camera_client_replaces_the_old_one) {
    start_camera({"--camera-fps", "2"});
    camera_client a(camera_port());
    a.request(2);
    camera_reply r;
    ASSERT_TRUE(a.reply(r));
    ASSERT_TRUE(a.reply(r));
    camera_client b(camera_port());
    ASSERT_TRUE(b.connected());
    EXPECT_TRUE(a.wait_closed(1000));
    const auto asked = steady_clock::now();
    b.request();
    ASSERT_TRUE(b.reply(r));
    // The new client's frames are timed from its own first request, not after the old one's.
    EXPECT_LT(ms_since(asked), 700);
    std::vector<color_type> picture = controller_decodes(r.jpeg, 320, 240);
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(nearest_scene_frame(picture, 320, 240), 2u) << "the scene runs on across connections";

    std::string out = output();
    std::size_t first = out.find(camera_tag() + "connected from");
    std::size_t gone = out.find(camera_tag() + "disconnected after 2 frames (replaced by a new connection)\n");
    std::size_t second = out.find(camera_tag() + "connected from", first + 1);
    ASSERT_NE(gone, std::string::npos) << out;
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, gone);
    EXPECT_LT(gone, second);
}

TEST_F(peer_camera, without_a_camera_port_the_control_link_still_works) {
    start_camera({"--no-camera"});
    {
        control_client control(port_);
        ASSERT_TRUE(control.connected());
        EXPECT_EQ(control.frames(1, 500).size(), 1u);
        EXPECT_LT(connect_to(camera_port()), 0);
        EXPECT_EQ(output().find("camera"), std::string::npos);
    }

    // Somebody else holds the camera port.
    stop(pid_);
    pid_ = -1;
    port_ = free_port_pair();
    ASSERT_GT(port_, 0);
    const int holder = bound_socket(camera_port(), 1);
    ASSERT_GE(holder, 0);
    start({"--port", std::to_string(port_)});
    control_client control(port_);
    ASSERT_TRUE(control.connected());
    EXPECT_EQ(control.frames(1, 500).size(), 1u);
    EXPECT_TRUE(wait_output("robot:" + std::to_string(camera_port()) + " camera: cannot listen on 127.0.0.1:" +
                            std::to_string(camera_port())));
    close(holder);
}

TEST_F(peer_camera, camera_ports_follow_each_robot_of_the_list) {
    const int scout = free_port_pair();
    int ranger = free_port_pair();
    for (int i = 0; i < 20 && std::abs(ranger - scout) <= 1; ++i) ranger = free_port_pair();
    ASSERT_GT(scout, 0);
    ASSERT_GT(std::abs(ranger - scout), 1);
    write_file(dir_ + "/robots.txt", "scout 127.0.0.1 " + std::to_string(scout) + " 1 0\nranger localhost " +
                                         std::to_string(ranger) + " 1 0\n");
    start({"--camera-size", "160x120"});
    for (int port : {scout, ranger}) {
        camera_client cam(port + 1);
        ASSERT_TRUE(cam.connected()) << port;
        cam.request();
        camera_reply r;
        ASSERT_TRUE(cam.reply(r)) << port;
        EXPECT_EQ(r.head.width, 160u);
        EXPECT_FALSE(controller_decodes(r.jpeg, 160, 120).empty());
    }
    EXPECT_TRUE(wait_output("ranger:" + std::to_string(ranger + 1) + " camera connected from"));
    EXPECT_NE(output().find("scout:" + std::to_string(scout + 1) + " camera listening on 127.0.0.1:" +
                            std::to_string(scout + 1)),
              std::string::npos);
}

TEST_F(peer_camera, stops_cleanly_with_a_frame_on_its_way) {
    start_camera({"--camera-byte-at-a-time", "--camera-size", "640x480", "--camera-quality", "100"});
    camera_client cam(camera_port());
    control_client control(port_);
    ASSERT_TRUE(control.connected());
    cam.request(50);
    ASSERT_EQ(cam.take(11, 2000).size(), 11u);
    auto t0 = steady_clock::now();
    kill(pid_, SIGTERM);
    int code = wait_for(pid_, 2000);
    pid_ = -1;
    EXPECT_EQ(code, 0);
    EXPECT_LT(ms_since(t0), 500);
    EXPECT_TRUE(cam.wait_closed(500));
    EXPECT_TRUE(control.wait_closed(500));
    std::string out = output();
    EXPECT_NE(out.find(camera_tag() + "disconnected after 1 frame\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - std::min<std::size_t>(out.size(), 20)), "robot_peer: stopped\n");
}

TEST_F(peer_camera, counts_frames_in_a_line_every_five_seconds_unless_quiet) {
    start_camera({"--camera-fps", "20"});
    const int quiet_port = free_port_pair();
    ASSERT_GT(quiet_port, 0);
    const pid_t quiet = spawn({ROBOT_PEER_BIN, "--port", std::to_string(quiet_port), "--quiet", "--camera-fps", "20"},
                              {}, dir_, dir_ + "/quiet.txt");
    ASSERT_GT(quiet, 0);
    // A busy machine may be slow to start the second peer and to run either: generous waits.
    camera_client cam(camera_port(), 15000), hushed(quiet_port + 1, 15000);
    ASSERT_TRUE(cam.connected() && hushed.connected());

    // Requests far ahead: the camera answers them at its own pace, frame k at k / 20 s after
    // the first. The line counts frames by the time they were due, so it reads the same however
    // late the peer or this test runs.
    const auto t0 = steady_clock::now();
    cam.request(140);
    hushed.request(140);
    int received = 0, seen_at_ms = -1;
    while (seen_at_ms < 0 && received < 140) {
        camera_reply r;
        if (!cam.reply(r, 10000) || !hushed.reply(r, 10000)) break;
        ASSERT_GE(ms_since(t0), received * 50) << "frame " << received << " came before its time";
        ++received;
        if (output().find("frames sent") != std::string::npos) seen_at_ms = ms_since(t0);
    }
    stop(quiet);
    ASSERT_GT(seen_at_ms, 0) << output();
    EXPECT_GE(seen_at_ms, 5000) << "not before five seconds";
    EXPECT_GE(received, 100);
    EXPECT_NE(output().find(camera_tag() + "100 frames sent (20.0/s)\n"), std::string::npos) << output();
    EXPECT_EQ(count_of(output(), "frames sent"), 1);

    const std::string hushed_out = read_file(dir_ + "/quiet.txt");
    EXPECT_NE(hushed_out.find("camera connected from"), std::string::npos);
    EXPECT_EQ(hushed_out.find("frames sent"), std::string::npos) << "--quiet keeps the summary back";
}

TEST_F(peer_camera, answers_an_early_request_at_the_next_frame_time_and_a_late_one_at_once) {
    start_camera({"--camera-fps", "1"});
    camera_client cam(camera_port());
    camera_reply r;
    cam.request();
    ASSERT_TRUE(cam.reply(r));
    auto last = steady_clock::now();
    cam.request();  // early: the next frame is due a second after the first
    ASSERT_TRUE(cam.reply(r));
    EXPECT_GE(ms_since(last), 980);
    last = steady_clock::now();
    pause_ms(1300);  // late: the next frame was due 300 ms ago, the one after it in 700 ms
    const auto asked = steady_clock::now();
    cam.request();
    ASSERT_TRUE(cam.reply(r));
    EXPECT_LT(ms_since(asked), 400) << "a late request is answered at once";
    last = steady_clock::now();
    cam.request();  // and frame times count on from it
    ASSERT_TRUE(cam.reply(r));
    EXPECT_GE(ms_since(last), 980);
}

TEST_F(peer_camera, bad_camera_usage_ends_with_the_usage_text) {
    EXPECT_EQ(run_to_end({"--port", "5100", "--camera-size", "641x480"}), 2);
    EXPECT_NE(output().find("--camera-size"), std::string::npos);
    EXPECT_NE(output().find("usage:"), std::string::npos);
    EXPECT_EQ(run_to_end({"--port", "5100", "--camera-quality", "0"}), 2);
    EXPECT_EQ(run_to_end({"--port", "5100", "--camera-fps", "0"}), 2);
    EXPECT_EQ(run_to_end({"--help"}), 0);
    for (const char* name : {"--no-camera", "--camera-size", "--camera-quality", "--camera-fps", "--camera-silent",
                             "--camera-bad-checksum-every", "--camera-oversize-every", "--camera-bad-marker-every",
                             "--camera-close-mid-frame", "--camera-byte-at-a-time"})
        EXPECT_NE(output().find(name), std::string::npos) << name;
}

}  // namespace
