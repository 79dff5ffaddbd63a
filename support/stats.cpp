#include "support/stats.h"

#include <algorithm>
#include <cmath>

void duration_histogram::add(double seconds) {
    double us = seconds * 1e6;
    if (!(us >= 0.0)) us = 0.0;  // negative or not a number
    if (us > max_us_) max_us_ = us;
    ++total_;
    if (us >= bins) {
        long_us_.push_back(us >= 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(us));
        return;
    }
    const int bin = static_cast<int>(us);
    if (counts_[bin] != UINT32_MAX) ++counts_[bin];
}

double duration_histogram::median_us() const {
    return percentile_us(0.5);
}

double duration_histogram::percentile_us(double p) const {
    if (total_ == 0) return 0.0;
    if (!(p > 0)) p = 0;
    if (p > 1) p = 1;
    // The rank-th smallest duration, rank = ceil(p * count) and at least 1: the lower median for 0.5.
    std::uint64_t want = static_cast<std::uint64_t>(std::ceil(p * static_cast<double>(total_))), seen = 0;
    if (want < 1) want = 1;
    for (int i = 0; i < bins; ++i) {
        seen += counts_[i];
        if (seen >= want) return i + 0.5;
    }
    // Among the long ones: the (want - seen)-th smallest of them. (Only bins that stopped
    // counting at their limit leave the rank unreached with no long ones.)
    if (long_us_.empty()) return bins - 0.5;
    std::vector<std::uint64_t> sorted = long_us_;
    const std::size_t k = std::min<std::size_t>(want - seen, sorted.size()) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k), sorted.end());
    return static_cast<double>(sorted[k]) + 0.5;
}
