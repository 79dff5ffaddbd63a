// Shared test helpers: a fresh working directory per test, the toolkit started once on the
// off-screen platform, and small file helpers.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/window.h"
#include "support/log.h"

namespace test_support {

inline std::string read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

inline int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Starts the toolkit once per test program, without a display.
inline void ensure_app() {
    if (platform::app_ready()) return;
    static int argc = 1;
    static char name[] = "swarm_tests";
    static char* argv[] = {name, nullptr};
    platform::init_app(argc, argv, true);
}

// Runs each test in its own temporary directory, so robots.txt and log.txt are private to it.
class temp_dir_test : public testing::Test {
protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_dir_ = cwd;
        char pattern[] = "/tmp/swarm_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        log_reset_for_tests();
        platform::reset_quit();
    }
    void TearDown() override {
        log_reset_for_tests();
        EXPECT_EQ(chdir(old_dir_.c_str()), 0);
        std::filesystem::remove_all(dir_);
    }
    std::string log_text() const { return read_file(dir_ + "/log.txt"); }

    std::string old_dir_;
    std::string dir_;
};

}  // namespace test_support
