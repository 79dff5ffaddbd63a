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

// Reads records with Python's csv module, as the people who plot them do: for each file, the
// poses of its last moment, its pose rows, its robot names, and whether every row has the
// header's fields and ends in CRLF.
constexpr const char* read_records_py = R"(import csv, sys
for path in sys.argv[1:]:
    with open(path, newline="") as f:
        head, *body = list(csv.reader(f))
    k = {name: i for i, name in enumerate(head)}
    poses = [r for r in body if r[k["kind"]] == "pose"]
    last = poses[-1][k["time_s"]]
    final = [(r[k["robot"]], r[k["x"]], r[k["y"]], r[k["heading"]]) for r in poses if r[k["time_s"]] == last]
    raw = open(path, "rb").read()
    print(path + " last_time:", last)
    print(path + " final:", final)
    print(path + " pose_rows:", len(poses))
    print(path + " robots:", "|".join(r[k["robot"]] for r in body if r[k["kind"]] == "robot"))
    print(path + " well_formed:", all(len(r) == len(head) for r in body) and raw.count(b"\n") == raw.count(b"\r\n"))
    print(path + " numbers:", all(float(r[k["x"]]) >= 0 for r in poses))
)";

TEST_F(headless_run_test, RecordedRunReplaysToTheSameFinalPoses) {
    if (!have_program("python3")) GTEST_SKIP() << "python3 reads the records";
    write_file("read_records.py", read_records_py);
    // Names a CSV file must quote, and two robots of one name.
    write_file("robots.txt", "plain 127.0.0.1 9 0 1\nb,\"q 127.0.0.1 9 0 1\ntwin 127.0.0.1 9 0 1\n"
                             "twin 127.0.0.1 9 0 1\nstill 127.0.0.1 9 0 0\n");
    write_file("maze.txt", "wall 2 2 6 0.2\nwall 2 2 0.2 6\ntarget 7 7\n");
    std::string out;
    // 195 ticks: the last poses come at the end of the run, between two sets of every 10.
    std::vector<std::string> live{"--headless", "--world", "maze.txt", "--seed", "4", "--fixed-step", "0.01",
                                  "--ticks", "195", "--snapshot", "plain.png"};
    ASSERT_EQ(run(live, &out), 0) << out;
    live.back() = "recorded.png";
    live.insert(live.end(), {"--record", "run.csv"});
    ASSERT_EQ(run(live, &out), 0) << out;
    EXPECT_EQ(read_file(dir_ + "/plain.png"), read_file(dir_ + "/recorded.png")) << "recording changes nothing";
    ASSERT_EQ(run({"--headless", "--fixed-step", "0.01", "--replay", "run.csv", "--record", "again.csv", "--stats",
                   "--snapshot", "replay.png"}, &out), 0) << out;
    const auto f = figures(out);
    std::string py;
    ASSERT_EQ(run_shell("cd " + dir_ + " && python3 read_records.py run.csv again.csv", &py), 0) << py;
    const auto r = figures(py);
    EXPECT_EQ(r.at("run.csv last_time"), "1.950");
    EXPECT_EQ(r.at("run.csv final"), r.at("again.csv final"));
    EXPECT_NE(r.at("run.csv final").find("('b,\"q', "), std::string::npos) << r.at("run.csv final");
    EXPECT_EQ(r.at("run.csv robots"), "plain|b,\"q|twin|twin|still");
    EXPECT_EQ(r.at("again.csv robots"), r.at("run.csv robots"));
    EXPECT_EQ(r.at("run.csv pose_rows"), std::to_string(5 * 21));
    EXPECT_EQ(f.at("replayed_rows"), r.at("run.csv pose_rows"));
    EXPECT_EQ(f.at("replay_rows_skipped"), "0");
    EXPECT_EQ(f.at("walls"), "6") << "the replay loads the world the record names";
    EXPECT_EQ(r.at("run.csv well_formed"), "True");
    EXPECT_EQ(r.at("again.csv well_formed"), "True");
    const std::string log = read_file(dir_ + "/log.txt");
    EXPECT_EQ(log.find("[Nodecomm]"), std::string::npos) << "a replay's robots have no links that connect";
    // Recording over the record being played would empty it.
    const std::string before = read_file(dir_ + "/run.csv");
    ASSERT_EQ(run({"--headless", "--fixed-step", "0.01", "--replay", "run.csv", "--record", "./run.csv", "--stats"},
                  &out), 0) << out;
    EXPECT_NE(out.find("swarm: cannot record to ./run.csv: it is the record being replayed"), std::string::npos) << out;
    EXPECT_EQ(figures(out).at("replayed_rows"), r.at("run.csv pose_rows"));
    EXPECT_EQ(read_file(dir_ + "/run.csv"), before);
    // Two stops each as they are made; auto mode would add one a robot every tick.
    EXPECT_LE(count_of(log, "[Robot] motion"), 2 * 5) << "nothing drives them but the record";
}

TEST_F(headless_run_test, BrokenRowsOfARecordAreSkippedAndTheRestReplays) {
    const std::string none = ",,,,,,,,";
    std::string rec = "kind,time_s,robot,x,y,heading,speed,turn,mode,held,wall_s,wifi,ir,angle,vel_x,vel_y,bytes,file\r\n"
                      "robot,0,a,,,,,,auto,,,,,,,,,\r\n"
                      "robot,0,\"b,\"\"q\",,,,,,manual,,,,,,,,,\r\n"
                      "pose,0,a,1,1,0,0,0,auto,0" + none + "\r\n"
                      "pose,0,\"b,\"\"q\",2,2,0,0,0,manual,0" + none + "\r\n"
                      "pose,0.1,a,1.5,abc,0,0,0,auto,0" + none + "\r\n"        // line 6
                      "pose,0.1,a,1.5,1,0\r\n"                                  // line 7
                      "pose,0.1,zed,1,1,0,0,0,auto,0" + none + "\r\n"          // line 8
                      "pose,0.1,a,12,1,0,0,0,auto,0" + none + "\r\n"           // line 9
                      "jump,0.1,a,1,1,0,0,0,auto,0" + none + "\r\n"            // line 10
                      "target,0.1,,7,7,,,,,,,,,,,,,\r\n"
                      "pose,0.2,a,3,3,0,0,0,auto,0" + none + "\r\n"
                      "pose,0.2,a,1,1,0,0,0,sideways,0" + none + "\r\n"        // line 13
                      "pose,0.2,\"" + std::string(20000, 'n') + "\",1,1,0,0,0,auto,0" + none + "\r\n"  // line 14
                      "pose,0.3,\"b,\"\"q\",4,4,0,0,0,manual,1" + none + "\r\n"
                      "pose,0.3,\"a,4,4";                                         // line 16, never closed
    write_file("broken.csv", "\xEF\xBB\xBF" + rec);  // as a spreadsheet saves it, byte order mark first
    std::string out;
    ASSERT_EQ(run({"--headless", "--fixed-step", "0.01", "--replay", "broken.csv", "--stats", "--snapshot", "b.png"},
                  &out), 0) << out;
    const auto f = figures(out);
    EXPECT_EQ(f.at("robots"), "2");
    EXPECT_EQ(f.at("replayed_rows"), "4");
    EXPECT_EQ(f.at("replay_rows_skipped"), "8");
    const std::string log = read_file(dir_ + "/log.txt");
    for (const char* line : {"line 6 skipped: y 'abc' is not a number", "line 7 skipped: it has 6 fields, not 18",
                             "line 8 skipped: robot 'zed' is not one of the record's robots",
                             "line 9 skipped: (12.00, 1.00) lies outside the world", "line 10 skipped: unknown kind 'jump'",
                             "line 13 skipped: mode 'sideways' is neither auto nor manual",
                             "line 14 skipped: longer than 16384 bytes", "line 16 skipped: a quoted field is not closed"})
        EXPECT_NE(log.find(std::string("[Replay] broken.csv ") + line + "\n"), std::string::npos) << line;
    // Robot a stands at its last good pose, (3, 3), and the target at (7, 7).
    platform::bitmap* shot = platform::load_png((dir_ + "/b.png").c_str());
    ASSERT_NE(shot, nullptr);
    const int w = platform::bitmap_width(shot), h = platform::bitmap_height(shot);
    auto at = [&](double x, double y) { return platform::get_pixel(shot, int(x / 10 * w), int(y / 10 * h)); };
    EXPECT_EQ(at(3.0, 3.12), platform::rgb(0, 255, 0));
    EXPECT_NE(at(1.0, 1.12), platform::rgb(0, 255, 0));
    EXPECT_EQ(at(7.0, 7.0), platform::rgb(0, 255, 0));
    platform::delete_bitmap(shot);

    // Something that is no record at all ends the replay at once, said once.
    write_file("robots.txt", "a 127.0.0.1 9 0 1\n");
    write_file("notes.csv", "just,some,notes\r\n");
    ASSERT_EQ(run({"--headless", "--replay", "notes.csv", "--stats"}, &out, 15000), 0) << out;
    EXPECT_EQ(figures(out).at("robots"), "0") << "robots.txt plays no part in a replay";
    EXPECT_NE(out.find("swarm: cannot replay notes.csv: its first line does not name the columns kind and time_s"),
              std::string::npos);
}

TEST_F(headless_run_test, ARecordThatCannotBeWrittenIsLoggedOnceAndTheRunGoesOn) {
    std::string robots;
    for (int i = 0; i < 30; ++i) robots += "r" + std::to_string(i) + " 127.0.0.1 9 0 1\n";
    write_file("robots.txt", robots);
    // A disk that fills up: a 32 KiB file system in a mount namespace of the run's own. The run
    // takes three seconds on the real clock, so the record is written out again after it failed.
    const std::string prefix = geteuid() == 0 ? "unshare --mount" : "unshare --map-root-user --mount";
    if (!have_program("unshare") || run_shell(prefix + " true 2>/dev/null") != 0)
        GTEST_SKIP() << "mount namespaces are not available here (" << prefix << " fails)";
    std::filesystem::create_directory(dir_ + "/small");
    std::string out;
    const std::string cmd = "cd " + dir_ + " && " + prefix + " sh -c 'mount -t tmpfs -o size=32k tmpfs small && "
                            "QT_QPA_PLATFORM=offscreen " SWARM_BIN " --headless --seed 2 --ticks 300 "
                            "--record small/run.csv --stats; echo exit: $?; wc -c < small/run.csv' 2>&1";
    ASSERT_EQ(run_shell(cmd, &out), 0) << out;
    auto f = figures(out);
    EXPECT_EQ(f["exit"], "0") << out;
    EXPECT_EQ(f["ticks"], "300");
    const std::string log = read_file(dir_ + "/log.txt");
    EXPECT_EQ(count_of(log, "[Record] Unable to write small/run.csv: No space left on device; the record ends here\n"),
              1) << log.substr(0, 2000);
    EXPECT_GT(std::stoi(out.substr(out.rfind("\n", out.size() - 2) + 1)), 4096) << "what fitted was written";

    // A record where none can be made: said, and the run goes on.
    std::filesystem::create_directory(dir_ + "/dir.csv");
    ASSERT_EQ(run({"--headless", "--ticks", "5", "--record", "dir.csv", "--stats"}, &out), 0) << out;
    EXPECT_EQ(figures(out)["ticks"], "5");
    EXPECT_NE(out.find("swarm: cannot record to dir.csv: not a regular file"), std::string::npos) << out;
}

TEST_F(headless_run_test, ARunningRecordReachesItsFileWithinASecond) {
    write_file("robots.txt", "a 127.0.0.1 9 0 1\nb 127.0.0.1 9 0 1\n");
    const pid_t pid = spawn({SWARM_BIN, "--headless", "--record", "run.csv"}, {"QT_QPA_PLATFORM=offscreen"}, dir_,
                            dir_ + "/out.txt");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read_file(dir_ + "/log.txt").find("[Record] Recording to run.csv") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    kill(pid, SIGKILL);  // a crash: nothing is written at exit
    EXPECT_EQ(wait_for(pid, 5000), 128 + SIGKILL);
    const std::string rec = read_file(dir_ + "/run.csv");
    const std::size_t last = rec.rfind("\r\npose,");
    ASSERT_NE(last, std::string::npos) << rec;
    const double last_time = std::stod(rec.substr(last + 7));
    std::printf("after 2.5 s the record on disk reaches %.3f s\n", last_time);
    EXPECT_GE(last_time, 1.0) << "at most a second (and a slow start) is lost";
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
    EXPECT_EQ(run({"--record-every", "0"}), 2);
    EXPECT_EQ(run({"--record", ""}), 2);
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
    ASSERT_EQ(run({"--headless", "--ticks", "50", "--seed", "1", "--world", "world.txt", "--keys", "S", "--stats",
                   "--record", "rec.csv"}, &out,
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
    const std::string rec = read_file(dir_ + "/rec.csv");
    const std::size_t pose = rec.find("\r\npose,");
    ASSERT_NE(pose, std::string::npos);
    const std::string row = rec.substr(pose + 2, rec.find('\r', pose + 2) - pose - 2);
    EXPECT_EQ(count_of(row, ","), 17) << row;
    EXPECT_EQ(count_of(row, "."), 6) << row;  // time, x, y, heading, speed, turn
    // The run follows the real clock: the target row may come a millisecond or more after the
    // record opened on a busy machine.
    const std::size_t target = rec.find("\r\ntarget,");
    ASSERT_NE(target, std::string::npos);
    const std::string target_row = rec.substr(target + 2, rec.find('\r', target + 2) - target - 2);
    EXPECT_EQ(target_row.rfind("target,0.0", 0), 0u) << target_row;
    EXPECT_NE(target_row.find(",,1.7000,8.3000,"), std::string::npos) << target_row;
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
