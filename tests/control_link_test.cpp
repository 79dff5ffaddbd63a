// The control link: packet reception, command bytes, and connections to servers on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "camera/robot_camera.h"
#include "console/robot_win.h"
#include "link/robot_comm.h"
#include "raw_link.h"
#include "process_util.h"
#include "resources/main_menu.h"
#include "robot/robot.h"
#include "test_support.h"
#include "world_fixture.h"
#include "support/record.h"
#include "world/world.h"

using namespace test_support;

namespace {

class control_link_test : public world_fixture {
protected:
    robot_class* make_robot(int port, const char* host = "127.0.0.1") {
        make_world();
        robot = new robot_class(world, "t", host, port, 0);
        comm = robot->console->comm;
        console = robot->console;
        return robot;
    }
    // Bytes as the link receives them; telemetry goes to the robot as the console hands it on.
    void feed(const std::vector<unsigned char>& bytes) {
        for (unsigned char b : bytes)
            if (comm->node_process_byte(b) == 2) robot->process_telemetry(comm->telemetry, comm->telemetry_length);
    }
    // The once-a-second check with the robot's drive command.
    void check() { comm->network_check(drive_bytes().data()); }
    std::array<unsigned char, 4> drive_bytes() const {
        std::array<unsigned char, 4> d{};
        robot->get_control_data(d.data());
        return d;
    }
    // Connects the console to the server and takes the version string off the wire.
    void connect(loopback_server& server) {
        server.clear();  // whatever an earlier connection sent
        check();
        ASSERT_TRUE(pump_until([&] { return comm->connected && server.received().size() >= 8; }, 3000, &server));
        ASSERT_EQ(server.received().substr(0, 8), std::string("\x20\x06" "0.6.17", 8));
        server.clear();
    }
    std::vector<std::string> commands(loopback_server& server) {
        std::vector<std::string> out;
        EXPECT_TRUE(split_commands(server.received(), out));
        return out;
    }
    static std::string drive(unsigned a, unsigned b) {
        return std::string{char(0x30), char(a), char(a), char(b), char(b)};
    }

    robot_comm_class* comm = nullptr;
    robot_win_class* console = nullptr;
};

TEST_F(control_link_test, ValidTelemetrySetsTheRobotFields) {
    make_robot(1);
    feed({0x12, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x71});
    EXPECT_FLOAT_EQ(robot->tel_ir, 90.0f);
    EXPECT_DOUBLE_EQ(robot->wifi_signal, 100.0);
    EXPECT_EQ(robot->tel_angle, 0.0f);
    feed(telemetry(0x4000, 0x8000, 0x8000, 0x4000, 51));
    EXPECT_FLOAT_EQ(robot->tel_ir, 90.0f);
    EXPECT_FLOAT_EQ(robot->tel_angle, 180.0f);
    EXPECT_FLOAT_EQ(robot->tel_vel_x, 5.0f);
    EXPECT_FLOAT_EQ(robot->tel_vel_y, 2.5f);
    EXPECT_DOUBLE_EQ(robot->wifi_signal, 20.0);
    char line[256];
    robot->telemetry_string(line);
    EXPECT_STREQ(line, "FPS: 0  Wifi Signal:20.0  IR: 90.0 Angle:180.0  Velx: 5.0  Vely: 2.5");
}

TEST_F(control_link_test, BadPacketsAreDroppedAndTheStreamRecovers) {
    make_robot(1);
    std::vector<unsigned char> bad = telemetry(100, 0, 0, 0, 0);
    const unsigned char good_sum = bad.back();
    bad.back() = static_cast<unsigned char>(good_sum + 1);
    feed(bad);
    EXPECT_EQ(robot->tel_ir, 0.0f);
    char expect[128];
    std::snprintf(expect, sizeof expect, "[Nodecomm] Invalid packet checksum actual: %02x  Expected: %02x\n",
                  static_cast<unsigned char>(good_sum + 1), good_sum);
    EXPECT_NE(log_text().find(std::string(expect) + "\n[Nodecomm] Unable to validate packet\n"), std::string::npos);

    feed({0x02});  // too short to be a packet: the next byte is a length again
    EXPECT_NE(log_text().find("[Nodecomm] Invalid packet size (2) \n"), std::string::npos);
    feed({0x03, 0x21, 0x24});  // the smallest packet, of a type that is ignored
    feed(telemetry(0x4000, 0, 0, 0, 0));
    EXPECT_FLOAT_EQ(robot->tel_ir, 90.0f);
    EXPECT_EQ(comm->rx_state, 0);
}

TEST_F(control_link_test, ShortTelemetryIsDroppedNotReadFromStaleBytes) {
    make_robot(1);
    feed(telemetry(0x4000, 0x4000, 0x4000, 0x4000, 255));
    // A 10-byte telemetry packet: its fields would come from the previous packet's bytes.
    std::vector<unsigned char> p{0x0A, 0x20, 1, 2, 3, 4, 5, 6, 7};
    unsigned sum = 0;
    for (unsigned char b : p) sum += b;
    p.push_back(static_cast<unsigned char>(sum));
    feed(p);
    feed({0x03, 0x20, 0x23});
    EXPECT_FLOAT_EQ(robot->tel_ir, 90.0f);
    EXPECT_FLOAT_EQ(robot->tel_angle, 90.0f);
    EXPECT_DOUBLE_EQ(robot->wifi_signal, 100.0);
    EXPECT_EQ(count_of(log_text(), "too short; dropped"), 2);
}

TEST_F(control_link_test, ConnectsSendsVersionAndKeepsTheDriveCommandFlowing) {
    loopback_server server;
    ASSERT_TRUE(server.ok());
    make_robot(server.port());
    connect(server);
    EXPECT_NE(log_text().find("[Nodecomm] Connected.\n"), std::string::npos);
    EXPECT_NE(log_text().find("[Nodecomm] Send string: 0.6.17\n"), std::string::npos);
    // The 100 ms timer keeps re-sending the command at rest.
    pump_until([] { return false; }, 2000, &server);
    auto cmds = commands(server);
    EXPECT_GE(cmds.size(), 20u);
    for (const std::string& c : cmds) EXPECT_EQ(c, drive(128, 128));
}

TEST_F(control_link_test, DrivingKeysSendTheirCommandsAtOnce) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    struct step {
        std::vector<std::pair<unsigned char, bool>> keys;  // key, down
        unsigned d0, d1;
    };
    const std::vector<step> steps{
        {{{'W', true}}, 158, 98},  {{{'W', false}}, 128, 128}, {{{'W', true}, {'A', true}}, 165, 105},
        {{{'A', false}, {'D', true}}, 150, 90},  {{{'W', false}}, 113, 113},  {{{'D', false}, {'A', true}}, 143, 143},
        {{{'S', true}}, 90, 150}, {{{'W', true}}, 165, 105},  // W over S; A still held
        {{{'D', true}}, 165, 105},                            // A over D
    };
    for (const step& s : steps) {
        server.clear();
        for (auto [k, down] : s.keys) {
            if (down)
                console->process_key_down(k);
            else
                console->process_key_up(k);
        }
        pump_until([&] { return server.received().size() >= 5; }, 1000, &server);
        auto cmds = commands(server);
        ASSERT_FALSE(cmds.empty());
        EXPECT_EQ(cmds.back(), drive(s.d0, s.d1)) << "after step with key " << s.keys.back().first;
    }
}

TEST_F(control_link_test, FocusLossSendsTwoRestCommands) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    console->process_key_down('W');
    pump_until([&] { return !server.received().empty(); }, 1000, &server);
    server.clear();
    platform::send_message(console->hwnd, platform::msg_kill_focus, 0, 0);
    pump_until([&] { return server.received().size() >= 10; }, 1000, &server);
    auto cmds = commands(server);
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], drive(128, 128));
    EXPECT_EQ(cmds[1], drive(128, 128));
    EXPECT_NE(log_text().find("[Nodecomm] Stopping\n"), std::string::npos);
    EXPECT_FALSE(console->keys['W']);
}

TEST_F(control_link_test, LongStringsAreCutAt255Bytes) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    const std::string text(300, 'x');
    comm->send_string(text.c_str());
    pump_until([&] { return server.received().size() >= 257; }, 1000, &server);
    ASSERT_GE(server.received().size(), 257u);
    EXPECT_EQ(static_cast<unsigned char>(server.received()[0]), 0x20);
    EXPECT_EQ(static_cast<unsigned char>(server.received()[1]), 0xFF);
    EXPECT_EQ(server.received().substr(2, 255), std::string(255, 'x'));
    EXPECT_NE(log_text().find("[Nodecomm] Send string: " + text + "\n"), std::string::npos);
}

TEST_F(control_link_test, TelemetryFromTheServerReachesTheRobotInPieces) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    std::vector<unsigned char> p = telemetry(0x2000, 0x1000, 0, 0, 0);
    server.send({p.begin(), p.begin() + 7});
    pump_until([] { return false; }, 100, &server);
    EXPECT_EQ(robot->tel_ir, 0.0f);
    server.send({p.begin() + 7, p.end()});
    EXPECT_TRUE(pump_until([&] { return robot->tel_ir > 0; }, 1000, &server));
    EXPECT_FLOAT_EQ(robot->tel_ir, 45.0f);
    EXPECT_FLOAT_EQ(robot->tel_angle, 22.5f);

    // Two packets that arrive in one piece are two rows of the run's record, in order.
    std::string reason;
    ASSERT_TRUE(run_record().open("run.csv", reason)) << reason;
    std::vector<unsigned char> two = telemetry(0x0800, 0, 0, 0, 0), second = telemetry(0x4000, 0, 0, 0, 0);
    two.insert(two.end(), second.begin(), second.end());
    server.send(two);
    EXPECT_TRUE(pump_until([&] { return robot->tel_ir == 90.0f; }, 1000, &server));
    run_record().close();
    const std::string rec = read_file(dir_ + "/run.csv");
    EXPECT_EQ(count_of(rec, "\r\ntelemetry,"), 2) << rec;
    EXPECT_LT(rec.find(",t,,,,,,,,"), rec.size());
    EXPECT_LT(rec.find(",11.250,0.000,"), rec.find(",90.000,0.000,")) << rec;
}

TEST_F(control_link_test, RefusedConnectTimesOutAndRetries) {
    int port;
    {
        loopback_server closed;
        port = closed.port();
    }  // nothing listens there now
    make_robot(port);
    check();
    EXPECT_TRUE(pump_until([&] { return !comm->connecting; }, 2000));
    EXPECT_FALSE(comm->connected);
    EXPECT_NE(log_text().find("[Nodecomm] Time out.\n"), std::string::npos);
    check();
    EXPECT_EQ(count_of(log_text(), "[Nodecomm] Connecting to 127.0.0.1:" + std::to_string(port) + " \n"), 2);
}

TEST_F(control_link_test, ConnectWithNoOutcomeHoldsNoCommandsAndTimesOut) {
    // A listener whose queue of unaccepted connections is full drops further connection
    // requests, so a connect to it has no outcome, as across a network that loses packets.
    const int listener = bound_socket(0, 0);
    ASSERT_GE(listener, 0);
    const int port = bound_port(listener);
    const int filler = connect_to(port);
    ASSERT_GE(filler, 0);
    make_robot(port);
    check();
    ASSERT_TRUE(comm->connecting);
    // A command chosen now fails at once and says so, instead of waiting to reach the robot on
    // connect, ahead of the version string. So does the farewell.
    comm->remote_shutdown();
    EXPECT_EQ(comm->pending_bytes(), 0u);
    EXPECT_NE(log_text().find("[Nodecomm] Remote shutdown not sent: not connected\n"), std::string::npos);
    comm->disconnect();
    EXPECT_NE(log_text().find("[Nodecomm] Unable to send data: not connected\n[Nodecomm] Disconnect.\n"),
              std::string::npos);
    // Checked once a second by the console's own timer: an attempt with no outcome after 2 s
    // ends with a time-out and the next one starts in the same check.
    comm->do_connect();
    const std::string attempt = "[Nodecomm] Connecting to 127.0.0.1:" + std::to_string(port) + " \n";
    const int before = count_of(log_text(), attempt);
    ASSERT_TRUE(pump_until([&] { return count_of(log_text(), "[Nodecomm] Time out.\n") >= 1; }, 4500));
    EXPECT_TRUE(comm->connecting);
    EXPECT_GE(count_of(log_text(), attempt), before + 2);
    EXPECT_EQ(log_text().rfind(attempt) > log_text().rfind("[Nodecomm] Time out.\n"), true);
    ::close(filler);
    ::close(listener);
}

TEST_F(control_link_test, ReconnectsAfterTheServerComesBack) {
    auto server = std::make_unique<loopback_server>();
    const int port = server->port();
    make_robot(port);
    connect(*server);
    server->close_client();
    server.reset();
    EXPECT_TRUE(pump_until([&] { return !comm->connected; }, 2000));
    EXPECT_NE(log_text().find("[Nodecomm] Server disconnect.\n"), std::string::npos);
    server = std::make_unique<loopback_server>(port);
    ASSERT_TRUE(server->ok());
    connect(*server);  // the next one-second check connects again
    EXPECT_EQ(server->accepted(), 1);
    // The new connection starts with a fresh packet: a half packet left from before is gone.
    comm->node_process_byte(0x12);
    comm->node_process_byte(0x20);
    server->close_client();
    EXPECT_TRUE(pump_until([&] { return !comm->connected; }, 2000));
    server->poll_accept();
    connect(*server);
    EXPECT_EQ(comm->rx_state, 0);
}

TEST_F(control_link_test, StopKeepsTheLinkUntilConnectIsChosen) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    console->handle_menu(id_stop);
    EXPECT_TRUE(comm->connected);
    server.close_client();
    EXPECT_TRUE(pump_until([&] { return !comm->connected; }, 2000, &server));
    check();
    pump_until([] { return false; }, 200, &server);
    EXPECT_EQ(server.accepted(), 1);
    console->handle_menu(id_connect);
    connect(server);
    EXPECT_EQ(server.accepted(), 2);
}

TEST_F(control_link_test, ConnectWhileConnectedClosesTheOldSocket) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    const int first = server.client_fd();
    console->handle_menu(id_connect);
    EXPECT_FALSE(comm->connected);
    // The first connection is closed by the console, not left open beneath the next one.
    char byte;
    EXPECT_TRUE(pump_until([&] { return ::recv(first, &byte, 1, MSG_DONTWAIT) == 0; }, 1000));
    connect(server);
}

TEST_F(control_link_test, DisconnectSaysGoodByeAndStops) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    console->handle_menu(id_disconnect);
    pump_until([&] { return server.peer_closed(); }, 1000, &server);
    EXPECT_NE(server.received().find(std::string("\x20\x09Good bye!", 11)), std::string::npos);
    EXPECT_TRUE(comm->stopped);
    EXPECT_FALSE(comm->connected);
    EXPECT_NE(log_text().find("[Nodecomm] Disconnect.\n"), std::string::npos);
    EXPECT_NE(log_text().find("[Camera] Disconnect.\n"), std::string::npos);
}

TEST_F(control_link_test, CommandsAreNeverLeftHalfSent) {
    loopback_server server;
    make_robot(server.port());
    connect(server);
    int small = 4096;
    ::setsockopt(comm->control_socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(server.client_fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // The server reads nothing while commands pile up far beyond what the sockets hold. Drive
    // commands are states: at most one of them waits unsent, and the link keeps none back.
    for (int i = 0; i < 400000 && comm->connected; ++i) comm->send_controller_values(drive_bytes().data());
    ASSERT_TRUE(comm->connected);
    EXPECT_LE(platform::socket_unsent(comm->control_socket) + static_cast<long>(comm->pending_bytes()), 5);
    // Other commands are events and wait their turn; a robot that takes nothing at all is dropped
    // rather than left with half a command.
    for (int i = 0; i < 400000 && comm->connected; ++i) comm->remote_shutdown();
    EXPECT_FALSE(comm->connected);
    EXPECT_NE(log_text().find("[Nodecomm] The robot is not taking commands; dropping the link\n"), std::string::npos);
    pump_until([&] { return server.peer_closed(); }, 3000, &server);
    std::vector<std::string> cmds;
    EXPECT_TRUE(split_commands(server.received(), cmds)) << "a command was cut short on the wire";
    EXPECT_GE(cmds.size(), 1u);
}

TEST_F(control_link_test, AfterDisconnectNothingIsSentAndTheOperatorIsToldOnce) {
    int port;
    {
        loopback_server probe;
        port = probe.port();
    }
    const pid_t peer = spawn({ROBOT_PEER_BIN, "--quiet", "--port", std::to_string(port)}, {}, dir_, dir_ + "/peer.txt");
    make_robot(port);
    console->camera->targeting = true;  // every frame sends a fire command
    ASSERT_TRUE(pump_until([&] { return comm->connected && console->camera->fps > 5; }, 6000));
    console->handle_menu(id_disconnect);
    const std::size_t from = log_text().size();
    // The console's own timers at their real pace; the camera reconnects and frames keep coming.
    pump_until([] { return false; }, 3000);
    const std::string after = log_text().substr(from);
    EXPECT_GE(count_of(after, "[Camera] Image packet\n"), 20);
    EXPECT_EQ(count_of(after, "[Nodecomm] Unable to send data"), 1);
    EXPECT_EQ(count_of(after, "Error: "), 0);
    // Connect brings the link back, and a later loss is told again.
    console->handle_menu(id_connect);
    EXPECT_TRUE(pump_until([&] { return comm->connected; }, 3000));
    comm->disconnect();
    comm->fire_on();
    EXPECT_EQ(count_of(log_text().substr(from), "[Nodecomm] Unable to send data"), 2);
    stop(peer);
}

TEST_F(control_link_test, EachSocketKeepsItsOwnError) {
    const platform::socket_t a = platform::tcp_socket(), b = platform::tcp_socket();
    char byte = 0;
    EXPECT_LT(platform::socket_send(a, &byte, 1), 0);  // never connected
    const int error_a = platform::socket_error(a);
    EXPECT_NE(error_a, 0);
    EXPECT_EQ(platform::socket_error(b), 0);
    EXPECT_LT(platform::socket_recv(b, &byte, 1), 0);
    EXPECT_EQ(platform::socket_error(a), error_a);
    platform::close_socket(a);
    platform::close_socket(b);
}

}  // namespace

namespace {

TEST_F(control_link_test, ConnectionLostAtEveryPointOfAPacket) {
    loopback_server server;
    make_robot(server.port());
    const std::vector<unsigned char> packet = telemetry(0x1000, 0, 0, 0, 0);
    for (std::size_t cut = 0; cut < packet.size(); ++cut) {
        connect(server);
        server.send({packet.begin(), packet.begin() + static_cast<long>(cut)});
        pump_until([] { return false; }, 10, &server);
        server.close_client();
        ASSERT_TRUE(pump_until([&] { return !comm->connected; }, 2000, &server)) << "cut at " << cut;
        // The next connection's first packet is read whole, whatever was left of the last one.
        robot->tel_ir = 0;
        connect(server);
        server.send(packet);
        ASSERT_TRUE(pump_until([&] { return robot->tel_ir > 0; }, 2000, &server)) << "cut at " << cut;
        server.close_client();
        ASSERT_TRUE(pump_until([&] { return !comm->connected; }, 2000, &server));
    }
}

}  // namespace

namespace {

TEST_F(control_link_test, HostNamesResolveWithoutBlocking) {
    loopback_server server;
    make_robot(server.port(), "localhost");
    // The first check starts the look-up and returns at once; a later one connects.
    ASSERT_TRUE(pump_until(
        [&] {
            if (!comm->connected && !comm->connecting) check();
            return comm->connected;
        },
        5000, &server));
    EXPECT_EQ(server.accepted(), 1);
}

TEST_F(control_link_test, UnknownHostIsReportedToEachLinkAtEveryCheck) {
    make_robot(5000, "no-such-host.invalid");
    // At real timing, the console's own once-a-second checks: each failure reaches both links,
    // and each later check looks the name up again.
    ASSERT_TRUE(pump_until(
        [&] {
            const std::string log = log_text();
            return count_of(log, "[Nodecomm] Host name error.\n") >= 2 && count_of(log, "[Camera] Host name error.\n") >= 2;
        },
        6000));
    EXPECT_FALSE(comm->connecting);
    EXPECT_EQ(comm->control_socket, platform::invalid_socket);  // no socket left behind
}

}  // namespace
