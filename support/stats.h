// Run figures: a histogram of durations that gives exact medians and percentiles to the
// microsecond for durations of any length: a fixed table for everything under 100 ms (constant
// memory however long the program runs), and each longer one kept on its own (there are at most
// ten of those a second).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

class duration_histogram {
public:
    static constexpr int bins = 100000;  // one per microsecond up to 100 ms

    void add(double seconds);
    std::uint64_t count() const { return total_; }
    // Median in microseconds (the lower median for an even count); 0 when empty.
    double median_us() const;
    // The value below which the fraction `p` (0 to 1) of the durations lie, to the microsecond.
    double percentile_us(double p) const;
    double max_us() const { return max_us_; }

private:
    std::array<std::uint32_t, bins> counts_{};
    std::vector<std::uint64_t> long_us_;  // whole microseconds of the durations beyond the table
    std::uint64_t total_ = 0;
    double max_us_ = 0.0;
};
