// Run figures: a fixed-size histogram of durations that gives exact medians to the microsecond
// in constant memory, however long the program runs.
#pragma once

#include <array>
#include <cstdint>

class duration_histogram {
public:
    static constexpr int bins = 100000;  // one per microsecond up to 100 ms; longer ones share the last

    void add(double seconds);
    std::uint64_t count() const { return total_; }
    // Median in microseconds (the lower median for an even count); 0 when empty.
    double median_us() const;
    // The value below which the fraction `p` (0 to 1) of the durations lie, to the microsecond.
    double percentile_us(double p) const;
    double max_us() const { return max_us_; }

private:
    std::array<std::uint32_t, bins> counts_{};
    std::uint64_t total_ = 0;
    double max_us_ = 0.0;
};
