// Bytes waiting to go to a client that does not read as fast as the robot talks. Kept frame
// by frame, so that when the client falls too far behind the oldest frames can be dropped
// whole and the stream stays well framed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace robot_peer {

constexpr std::size_t out_queue_limit = 64 * 1024;

class out_queue {
public:
    explicit out_queue(std::size_t limit = out_queue_limit) : limit_(limit) {}

    // Queues one frame. While more than the limit is then queued, the oldest whole frames
    // are dropped; a frame that has partly gone out and the frame just queued are kept.
    // Returns the number of frames dropped.
    std::size_t push(const std::uint8_t* data, std::size_t size);

    // The unsent bytes, oldest first, as one contiguous block.
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::size_t frames() const { return frames_.size(); }

    // Removes n bytes (at most size()) that have been sent.
    void consume(std::size_t n);
    void clear();

private:
    std::size_t limit_;
    std::vector<std::uint8_t> bytes_;
    std::deque<std::size_t> frames_;  // unsent bytes of each frame, oldest first
    bool front_started_ = false;      // part of the oldest frame has gone out already
};

}  // namespace robot_peer
