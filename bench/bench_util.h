// Small helpers shared by the benchmark programs: a private working directory, timing, medians.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

}  // namespace bench
