// Completing motion-JPEG camera frames and decoding them into bottom-up blue-green-red pictures.
#pragma once

#include <cstdint>

struct color_type;

// The payload of one define-Huffman-table segment with the four typical tables of the JPEG
// standard: DC 0, DC 1, AC 0, AC 1.
extern const unsigned char JPEGHuffmanTable[416];

// Rewrites the frame in place into a complete JFIF image: a JFIF header instead of its first
// segment and the typical Huffman tables in front of its baseline start-of-frame marker.
// capacity is the size of the frame's buffer. Returns false, leaving the frame untouched, for a
// frame that cannot be completed safely (too short, a first segment running past its end, no
// baseline start-of-frame marker, or no room to grow).
bool process_image(unsigned char* frame, unsigned int* length, unsigned int capacity);

// Decodes a complete frame (as process_image leaves it) into the picture. A frame whose header
// announces more columns or rows than the picture has is refused before the library sizes
// anything for it, and the library's working memory is capped, so a few hostile bytes cannot make
// it buffer a huge image. Returns false when the frame was refused or the decoder gave up.
bool decode_frame(const unsigned char* frame, unsigned int length, color_type* picture, unsigned int width,
                  unsigned int height);

// The most working memory the library may take for one frame.
constexpr long decoder_memory_limit = 32L << 20;

// Completes and decodes a frame into the picture (width by height pixels, row 0 at the bottom).
// Returns false when the frame was refused or the decoder gave up; the picture keeps whatever
// rows were already written.
bool decompress_image(unsigned char* frame, unsigned int* length, unsigned int capacity, color_type* picture,
                      unsigned int width, unsigned int height);
