// Ending the program every way it can end while several robots' links are busy. In the
// sanitizer build these runs are where use after free and leaks would show.
#include <algorithm>
#include <cstdlib>
#include <vector>
#include <string>

#include "app/main_class.h"
#include "console/robot_win.h"
#include "link/robot_comm.h"
#include "raw_link.h"
#include "process_util.h"
#include "robot/robot.h"
#include "test_support.h"
#include "world/world.h"

using namespace test_support;
using namespace platform;

namespace {

class shutdown_test : public temp_dir_test {
protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        ensure_app();
        std::string robots;
        std::vector<std::string> args{ROBOT_PEER_BIN, "--quiet"};
        // Three robots on ports apart from each other's: ports found one after another can be
        // the same, and the peer refuses a port named twice.
        std::vector<int> ports;
        for (int tries = 0; ports.size() < 3 && tries < 50; ++tries) {
            const int port = free_port_pair();
            if (port <= 0 || std::any_of(ports.begin(), ports.end(), [&](int p) { return std::abs(p - port) <= 1; }))
                continue;
            ports.push_back(port);
        }
        ASSERT_EQ(ports.size(), 3u);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const int port = ports[i];
            robots += "r" + std::to_string(i) + " 127.0.0.1 " + std::to_string(port) + " 1 1\n";
            args.push_back("--port");
            args.push_back(std::to_string(port));
        }
        write_file(dir_ + "/robots.txt", robots);
        peer_ = spawn(args, {}, dir_, dir_ + "/peer.txt");
        // The consoles try once a second; a peer slow to start on a busy machine only delays them.
        pump_until([&] { return count_of(read_file(dir_ + "/peer.txt"), " listening on ") >= 6; }, 5000);
        app_ = new main_class();
        ASSERT_EQ(app_->setup_window(), 0);
        // Let every console connect and traffic flow both ways.
        pump_until([&] { return count_of(log_text(), "[Nodecomm] Connected.") >= 3; }, 8000);
        pump_until([] { return false; }, 300);
        const std::string log = log_text();
        ASSERT_GE(count_of(log, "[Nodecomm] Connected."), 3)
            << "peer:\n" << read_file(dir_ + "/peer.txt") << "log (end):\n" << log.substr(log.size() - std::min<std::size_t>(log.size(), 3000));
    }
    void TearDown() override {
        stop(peer_);
        temp_dir_test::TearDown();
    }
    // What the program does once its loop has ended.
    void finish_like_main() {
        app_->finish_run();
        if (is_window(app_->hwnd)) destroy_window(app_->hwnd);
        delete app_;
        app_ = nullptr;
        // Notices already queued for the windows that are gone must find nothing.
        process_events(200);
    }
    main_class* app_ = nullptr;
    pid_t peer_ = -1;
};

TEST_F(shutdown_test, ClosingTheMainWindow) {
    send_message(app_->hwnd, msg_close, 0, 0);
    EXPECT_EQ(app_->world, nullptr);
    EXPECT_TRUE(quit_requested());
    finish_like_main();
    EXPECT_EQ(count_of(log_text(), "[Client Main] robot_win_class::~robot_win_class\n"), 3);
}

TEST_F(shutdown_test, ClosingAConsole) {
    window console = app_->world->robots[1]->console->hwnd;
    send_message(console, msg_close, 0, 0);
    EXPECT_FALSE(is_window(console));
    EXPECT_TRUE(quit_requested());
    process_events(100);  // the loop would have ended here; late notices are harmless
    finish_like_main();
}

TEST_F(shutdown_test, PressingEscape) {
    send_message(app_->hwnd, msg_key_down, vk_escape, 0);
    EXPECT_TRUE(quit_requested());
    EXPECT_NE(app_->world, nullptr);
    finish_like_main();
    EXPECT_EQ(count_of(log_text(), "[Client Main] robot_win_class::~robot_win_class\n"), 3);
}

}  // namespace
