// Small helpers shared by the benchmark programs: a private working directory, timing, medians.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

inline double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2];
}

// The value below which the fraction p (0 to 1) of the samples lie: the ceil(p * n)-th smallest.
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    rank = std::clamp<std::size_t>(rank, 1, v.size());
    return v[rank - 1];
}

// Runs the benchmark in a fresh directory so robots.txt and log.txt are its own.
inline std::string enter_temp_dir() {
    char pattern[] = "/tmp/swarm_bench_XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0) {
        std::fprintf(stderr, "bench: cannot make a working directory\n");
        std::exit(1);
    }
    return pattern;
}

inline void leave_temp_dir(const std::string& dir) {
    if (chdir("/") == 0) std::system(("rm -rf '" + dir + "'").c_str());
}

// A virtual machine's processors need not run alike: the host may give one of them less time for
// a while, and on this kind of machine one at times runs its syscalls and arithmetic a third or
// more behind the other. A figure taken there measures the host. Before measuring, each processor
// the benchmark may use runs the same short probe in turn, several rounds over (a log-sized line
// written to a file, as every robot's tick writes one, and a little arithmetic), and the
// benchmark stays on the one whose median probe was fastest. The host's favour moves within
// seconds, so call it again before each measurement. Call it inside the working directory; with
// report set, what each processor took is printed, so a reader sees what the machine was doing.
inline void pin_to_fastest_processor(bool report) {
    // Every processor the process was given, not only the one an earlier call settled on.
    static cpu_set_t allowed;
    static const bool known = sched_getaffinity(0, sizeof allowed, &allowed) == 0;
    if (!known) return;
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) cpus.push_back(c);
    if (cpus.size() < 2) return;
    const int fd = ::open("probe.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    static const char line[] = "[Robot] motion  1.0   0.3\n";
    std::vector<std::vector<double>> batches(cpus.size());
    volatile double sink = 0;
    for (int round = 0; round < 6; ++round) {
        for (std::size_t k = 0; k < cpus.size(); ++k) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpus[k], &one);
            if (sched_setaffinity(0, sizeof one, &one) != 0) continue;
            for (int b = 0; b < 10; ++b) {
                const double t0 = now_s();
                double acc = 0;
                for (int i = 0; i < 100; ++i) {
                    if (::write(fd, line, sizeof line - 1) < 0) break;
                    for (int j = 0; j < 8; ++j) acc += std::atan2(acc + j, i + 1.0);
                }
                sink = sink + acc;
                batches[k].push_back((now_s() - t0) / 100);
            }
        }
    }
    ::close(fd);
    ::unlink("probe.txt");
    std::size_t best = cpus.size();
    for (std::size_t k = 0; k < cpus.size(); ++k) {
        if (batches[k].empty()) continue;  // a processor the benchmark could not move to
        if (report) std::printf("probe_us_cpu%d: %.2f\n", cpus[k], median(batches[k]) * 1e6);
        if (best == cpus.size() || median(batches[k]) < median(batches[best])) best = k;
    }
    if (best == cpus.size()) {
        sched_setaffinity(0, sizeof allowed, &allowed);
        return;
    }
    cpu_set_t chosen;
    CPU_ZERO(&chosen);
    CPU_SET(cpus[best], &chosen);
    if (sched_setaffinity(0, sizeof chosen, &chosen) != 0) sched_setaffinity(0, sizeof allowed, &allowed);
    if (report) std::printf("bench_cpu: %d\n", cpus[best]);
}

}  // namespace bench
