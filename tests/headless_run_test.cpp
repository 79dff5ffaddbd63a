// The real program run headless for scripts: options, statistics, snapshots, repeatability.
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/draw.h"
#include "process_util.h"
#include "test_support.h"

using namespace test_support;

namespace {

class headless_run_test : public temp_dir_test {
protected:
    // Runs the controller in the test's directory; returns its exit code (-1 when it had to be
    // killed after timeout_ms).
    int run(const std::vector<std::string>& options, std::string* output = nullptr, int timeout_ms = 60000,
            std::vector<std::string> env = {}) {
        std::vector<std::string> args{SWARM_BIN};
        args.insert(args.end(), options.begin(), options.end());
        std::string out_file = dir_ + "/out.txt";
        env.push_back("QT_QPA_PLATFORM=offscreen");
        pid_t pid = spawn(args, env, dir_, out_file);
        int code = wait_for(pid, timeout_ms);
        if (output) *output = read_file(out_file);
        return code;
    }
    static std::map<std::string, std::string> figures(const std::string& text) {
        std::map<std::string, std::string> f;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            std::size_t colon = line.find(": ");
            if (colon != std::string::npos) f[line.substr(0, colon)] = line.substr(colon + 2);
        }
        return f;
    }
};

TEST_F(headless_run_test, StopsAfterTicksAndPrintsFiguresAndSnapshot) {
    write_file("robots.txt", "a 127.0.0.1 5000 0 0\nb 127.0.0.1 5002 0 0\n");
    std::string out;
    ASSERT_EQ(run({"--headless", "--ticks", "25", "--fixed-step", "0.01", "--seed", "3", "--stats",
                   "--snapshot", "shot.png"},
                  &out),
              0)
        << out;
    auto f = figures(out);
    EXPECT_EQ(f["ticks"], "25");
    EXPECT_EQ(f["robots"], "2");
    EXPECT_EQ(f["walls"], "4");
    EXPECT_EQ(f["impacts"], "0");
    EXPECT_EQ(f["markers"], "0");
    EXPECT_TRUE(f.count("tick_us_median"));
    EXPECT_TRUE(f.count("update_us_median"));
    EXPECT_TRUE(f.count("draw_us_median"));
    EXPECT_TRUE(f.count("targets_reached"));
    EXPECT_GT(std::stoi(f["replans"]), 0);  // every robot plans at start
    EXPECT_EQ(f["robots_still_10s"], "2");  // robots in manual mode stay where they started
    EXPECT_EQ(f["snapshot"], "shot.png");

    platform::bitmap* shot = platform::load_png((dir_ + "/shot.png").c_str());
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(platform::bitmap_width(shot), 640);
    EXPECT_EQ(platform::get_pixel(shot, 0, 100), platform::rgb(0, 128, 200));
    platform::delete_bitmap(shot);

    std::string log = read_file(dir_ + "/log.txt");
    EXPECT_EQ(log.rfind("[Main] constuctor\n", 0), 0u);
    EXPECT_NE(log.find("[World] Robot. Name: b   Host:  127.0.0.1  Port:  5002\n"), std::string::npos);
}

TEST_F(headless_run_test, SameSeedAndStepGiveTheSameRun) {
    write_file("robots.txt", "a 127.0.0.1 5000 0 1\nb 127.0.0.1 5002 0 1\nc 127.0.0.1 5004 0 0\n");
    std::vector<std::string> opts{"--headless", "--ticks", "200",     "--fixed-step", "0.01",
                                  "--seed",     "7",       "--stats", "--snapshot",   "one.png"};
    std::string out1, out2;
    ASSERT_EQ(run(opts, &out1), 0);
    std::string log1 = read_file(dir_ + "/log.txt");
    opts.back() = "two.png";
    ASSERT_EQ(run(opts, &out2), 0);
    std::string log2 = read_file(dir_ + "/log.txt");
    EXPECT_EQ(read_file(dir_ + "/one.png"), read_file(dir_ + "/two.png"));
    EXPECT_EQ(log1, log2);
    auto f1 = figures(out1), f2 = figures(out2);
    for (const char* name : {"ticks", "robots", "walls", "impacts", "markers"})
        EXPECT_EQ(f1[name], f2[name]) << name;
    // A different seed places the robots elsewhere.
    opts[6] = "8";
    opts.back() = "three.png";
    ASSERT_EQ(run(opts), 0);
    EXPECT_NE(read_file(dir_ + "/one.png"), read_file(dir_ + "/three.png"));
}

TEST_F(headless_run_test, SeededRunInAWorldFromAFileRepeatsBitForBit) {
    std::string robots;
    for (int i = 0; i < 12; ++i) robots += "r" + std::to_string(i) + " 127.0.0.1 9 0 1\n";
    write_file("robots.txt", robots);
    write_file(dir_ + "/maze.txt", "wall 2 2 6 0.2\nwall 2 2 0.2 6\nwall 4 4 0.5 0.5\nbad line\ntarget 7 7\n");
    std::vector<std::string> opts{"--headless", "--world", "maze.txt", "--ticks", "300",     "--fixed-step",
                                  "0.01",       "--seed",  "5",        "--stats", "--snapshot", "one.png"};
    std::string out1, out2;
    // The simulation's own lines; the links keep real time, so theirs fall where they will.
    auto simulation_lines = [this] {
        std::istringstream in(read_file(dir_ + "/log.txt"));
        std::string kept;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("[World]", 0) == 0 || line.rfind("[Robot]", 0) == 0) kept += line + "\n";
        return kept;
    };
    ASSERT_EQ(run(opts, &out1), 0) << out1;
    const std::string log1 = simulation_lines();
    opts.back() = "two.png";
    ASSERT_EQ(run(opts, &out2), 0);
    EXPECT_EQ(read_file(dir_ + "/one.png"), read_file(dir_ + "/two.png"));
    EXPECT_EQ(log1, simulation_lines());
    EXPECT_NE(log1.find("[World] maze.txt line 4 ignored: unknown word 'bad'\n"), std::string::npos);
    auto f1 = figures(out1), f2 = figures(out2);
    EXPECT_EQ(f1["walls"], "7");
    for (const char* name : {"impacts", "markers", "targets_reached", "replans", "target_changes", "target_wait_max_s",
                             "robots_still_10s"})
        EXPECT_EQ(f1[name], f2[name]) << name;
    EXPECT_GT(std::stod(f1["target_wait_max_s"]), 0.0);
    EXPECT_LE(std::stod(f1["target_wait_max_s"]), 3.0 + 1e-9);  // the run lasts 3 simulated seconds
    EXPECT_LT(std::stoi(f1["robots_still_10s"]), 12);  // robots in auto mode drive off
    EXPECT_GE(std::stod(f1["tick_us_p99"]), std::stod(f1["tick_us_median"]));
}

TEST_F(headless_run_test, RejectsBadOptionsWithoutStarting) {
    std::string out;
    EXPECT_EQ(run({"--ticks", "many"}, &out), 2);
    EXPECT_NE(out.find("--ticks"), std::string::npos);
    EXPECT_EQ(run({"--fixed-step", "-1"}), 2);
    EXPECT_EQ(run({"--seed", "x"}), 2);
    EXPECT_EQ(run({"--bogus"}), 2);
    EXPECT_EQ(run({"--world", ""}, &out), 2);
    EXPECT_NE(out.find("--world takes a file name"), std::string::npos);
    EXPECT_EQ(run({"--log-max-mb", "0"}), 2);
    EXPECT_EQ(read_file(dir_ + "/log.txt"), "");  // never started
    EXPECT_EQ(run({"--help"}, &out), 0);
    EXPECT_NE(out.find("--snapshot"), std::string::npos);
}

TEST_F(headless_run_test, LogMaxMbKeepsTheLogUnderItsLimit) {
    std::string robots;
    for (int i = 0; i < 20; ++i) robots += "r" + std::to_string(i) + " 127.0.0.1 9 0 1\n";
    write_file("robots.txt", robots);
    // Twenty robots in auto mode log about 1.5 MiB in 3000 ticks.
    ASSERT_EQ(run({"--headless", "--seed", "1", "--fixed-step", "0.01", "--ticks", "3000", "--log-max-mb", "1"}), 0);
    const std::string now = read_file(dir_ + "/log.txt"), before = read_file(dir_ + "/log.txt.1");
    EXPECT_GT(now.size(), 0u);
    EXPECT_LE(now.size(), 1u << 20);
    EXPECT_LE(before.size(), 1u << 20);
    EXPECT_GT(before.size(), (1u << 20) - 100) << "moved aside only when full";
    EXPECT_EQ(before.rfind("[Main] constuctor\n", 0), 0u) << "the run's first lines are in log.txt.1";
}

TEST_F(headless_run_test, KeysOptionPressesMainWindowKeysAtStart) {
    ASSERT_EQ(run({"--headless", "--ticks", "2", "--keys", "tI", "--snapshot", "keys.png"}), 0);
    platform::bitmap* shot = platform::load_png((dir_ + "/keys.png").c_str());
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(platform::get_pixel(shot, 0, 100), platform::rgb(255, 255, 255));  // walls hidden
    platform::delete_bitmap(shot);
    EXPECT_EQ(run({"--keys", "T1"}), 2);
}

TEST_F(headless_run_test, ZeroTicksStillWritesTheFirstFrame) {
    std::string out;
    ASSERT_EQ(run({"--headless", "--ticks", "0", "--stats", "--snapshot", "zero.png"}, &out), 0);
    EXPECT_EQ(figures(out)["ticks"], "0");
    platform::bitmap* shot = platform::load_png((dir_ + "/zero.png").c_str());
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(platform::get_pixel(shot, 320, 230), platform::rgb(0, 255, 0));  // the target
    platform::delete_bitmap(shot);
}

TEST_F(headless_run_test, NumbersKeepADecimalPointInACommaLocale) {
    const std::string locales = dir_ + "/locales";
    std::filesystem::create_directory(locales);
    if (!have_program("localedef") ||
        (run_shell("localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >/dev/null 2>&1"),
         !std::filesystem::exists(locales + "/de_DE.UTF-8/LC_NUMERIC")))
        GTEST_SKIP() << "localedef cannot make de_DE.UTF-8 here (the locales package brings its sources)";
    write_file("robots.txt", "a 127.0.0.1 9 0 1\n");
    write_file("world.txt", "wall 3.3 0.05 0.1 1.02\nwall 1.5 2.5 2.25 0.5\ntarget 1.7 8.3\n");
    std::string out;
    ASSERT_EQ(run({"--headless", "--ticks", "50", "--seed", "1", "--world", "world.txt", "--keys", "S", "--stats"}, &out,
                  60000, {"LOCPATH=" + locales, "LC_ALL=de_DE.UTF-8"}),
              0)
        << out;
    auto f = figures(out);
    EXPECT_EQ(f["walls"], "6");
    for (const char* name : {"target_wait_max_s", "tick_us_median", "draw_us_median"})
        EXPECT_NE(f[name].find('.'), std::string::npos) << name << ": " << f[name];
    const std::string log = read_file(dir_ + "/log.txt");
    EXPECT_EQ(log.find("ignored"), std::string::npos);
    EXPECT_NE(log.find("[Robot] motion  0.0   0.0\n"), std::string::npos);
    EXPECT_EQ(log.find("0,0"), std::string::npos);
    const std::string saved = read_file(dir_ + "/world.txt");
    EXPECT_NE(saved.find("wall 3.3 0.05 0.1 1.02\nwall 1.5 2.5 2.25 0.5\ntarget 1.7 8.3\n"), std::string::npos);
}

TEST_F(headless_run_test, FilesThatAreNotRegularAreRefusedAtOnce) {
    ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);  // no writer: opening it to read would wait
    std::filesystem::create_symlink("/dev/zero", dir_ + "/robots.txt");
    for (const char* world : {"fifo", "/dev/zero"}) {
        const auto t0 = std::chrono::steady_clock::now();
        std::string out;
        ASSERT_EQ(run({"--headless", "--ticks", "1", "--world", world, "--stats"}, &out, 15000), 0) << world;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("refused: world %s and robots.txt -> /dev/zero in %.2f s\n", world, seconds);
        EXPECT_LT(seconds, 5.0);
        EXPECT_EQ(figures(out)["walls"], "4");
        const std::string log = read_file(dir_ + "/log.txt");
        EXPECT_NE(log.find(std::string("[World] Unable to load world file ") + world + ": not a regular file\n"),
                  std::string::npos);
        EXPECT_EQ(log.find("[World] Loaded"), std::string::npos);
        EXPECT_NE(log.find("[Config] Unable to load config file\n[Config] robots.txt: not a regular file\n"),
                  std::string::npos);
    }
}

TEST_F(headless_run_test, HangUpEndsTheRunAsTerminateDoesWithItsFigures) {
    for (int sig : {SIGTERM, SIGHUP}) {
        const pid_t pid = spawn({SWARM_BIN, "--headless", "--stats"}, {"QT_QPA_PLATFORM=offscreen"}, dir_,
                                dir_ + "/out.txt");
        const auto started = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (read_file(dir_ + "/log.txt").find("[World] constructor") == std::string::npos &&
               std::chrono::steady_clock::now() < started)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // running its loop
        kill(pid, sig);
        EXPECT_EQ(wait_for(pid, 5000), 0) << strsignal(sig);
        EXPECT_GT(std::stoll(figures(read_file(dir_ + "/out.txt"))["ticks"] + "0"), 0) << strsignal(sig);
    }
}

}  // namespace
