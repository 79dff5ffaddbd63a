#include "support/stats.h"

#include <cmath>

void duration_histogram::add(double seconds) {
    double us = seconds * 1e6;
    if (!(us >= 0.0)) us = 0.0;  // negative or not a number
    if (us > max_us_) max_us_ = us;
    int bin = us >= bins - 1 ? bins - 1 : static_cast<int>(us);
    if (counts_[bin] != UINT32_MAX) ++counts_[bin];
    ++total_;
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
    return bins - 0.5;
}
