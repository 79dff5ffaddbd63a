#include "tools/robot_peer/out_queue.h"

#include <algorithm>

namespace robot_peer {

std::size_t out_queue::push(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    bytes_.insert(bytes_.end(), data, data + size);
    frames_.push_back(size);
    std::size_t dropped = 0;
    while (bytes_.size() > limit_) {
        std::size_t victim = front_started_ ? 1 : 0;
        if (victim + 1 >= frames_.size()) break;  // only kept frames are left
        std::size_t start = front_started_ ? frames_.front() : 0;
        auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(start);
        bytes_.erase(first, first + static_cast<std::ptrdiff_t>(frames_[victim]));
        frames_.erase(frames_.begin() + static_cast<std::ptrdiff_t>(victim));
        ++dropped;
    }
    return dropped;
}

void out_queue::consume(std::size_t n) {
    n = std::min(n, bytes_.size());
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    while (n > 0 && !frames_.empty()) {
        if (n >= frames_.front()) {
            n -= frames_.front();
            frames_.pop_front();
            front_started_ = false;
        } else {
            frames_.front() -= n;
            front_started_ = true;
            n = 0;
        }
    }
}

void out_queue::clear() {
    bytes_.clear();
    frames_.clear();
    front_started_ = false;
}

}  // namespace robot_peer
