// Camera frames as motion-JPEG cameras send them, for the stand-in robot and for tests: a
// synthetic scene with moving objects, encoded as baseline 4:2:0 JPEG, then stripped of its
// Huffman tables and given a first segment that is not JFIF.
#pragma once

#include <cstdint>
#include <vector>

namespace mjpeg {

// Draws frame n of the scene into packed RGB rows, top row first: a textured background with
// a few bright objects moving across it.
void render_scene(std::uint8_t* rgb, int width, int height, unsigned frame);

// Encodes packed RGB (top row first), or grey samples when grey is set, as a baseline JPEG with
// the standard tables and 4:2:0 sampling.
std::vector<std::uint8_t> encode(const std::uint8_t* pixels, int width, int height, int quality, bool grey = false);

// Encodes packed RGB as a baseline JPEG with one scan per colour component instead of one
// interleaved scan: a decoder has to keep the whole image before it can give out a row.
std::vector<std::uint8_t> encode_in_scans(const std::uint8_t* rgb, int width, int height, int quality);

// Rewrites the width and height that the frame's baseline start-of-frame header announces.
void set_frame_size(std::vector<std::uint8_t>& jpeg, unsigned width, unsigned height);

// Drops the Huffman table segments and replaces the first segment with a 16-byte "AVI1" one.
std::vector<std::uint8_t> to_motion_jpeg(const std::vector<std::uint8_t>& jfif);

// The 16-bit sum of the bytes, as the camera link checks it.
std::uint16_t checksum16(const std::vector<std::uint8_t>& data);

}  // namespace mjpeg
