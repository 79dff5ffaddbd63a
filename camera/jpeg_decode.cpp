#include "camera/jpeg_decode.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "camera/robot_camera.h"
#include "support/log.h"

const unsigned char JPEGHuffmanTable[416] = {
    // DC table 0 (luminance)
    0x00, 0x00, 0x01, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
    // DC table 1 (chrominance)
    0x01, 0x00, 0x03, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
    // AC table 0 (luminance)
    0x10, 0x00, 0x02, 0x01, 0x03, 0x03, 0x02, 0x04, 0x03, 0x05, 0x05, 0x04, 0x04, 0x00, 0x00, 0x01, 0x7D,
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3,
    0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2,
    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA,
    // AC table 1 (chrominance)
    0x11, 0x00, 0x02, 0x01, 0x02, 0x04, 0x04, 0x03, 0x04, 0x07, 0x05, 0x04, 0x04, 0x00, 0x01, 0x02, 0x77,
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1,
    0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A,
    0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA,
    0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA,
    0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA,
};

namespace {

const unsigned char jfif_header[20] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46,
                                       0x00, 0x01, 0x02, 0x00, 0x00, 0x78, 0x00, 0x78, 0x00, 0x00};
const unsigned char huffman_marker[4] = {0xFF, 0xC4, 0x01, 0xA2};

// The memory source: the library's record extended by the frame.
struct camera_source {
    jpeg_source_mgr pub;
    const JOCTET* frame;
    std::size_t length;
    bool given;  // the frame has been handed to the library
};

// What a frame that ran out is followed by: the end-of-image marker.
const JOCTET end_of_image[2] = {0xFF, 0xD9};

// The error record, with the way back to the decoder when the library gives up.
struct camera_error {
    jpeg_error_mgr pub;
    std::jmp_buf back;
};

void camera_init_source(j_decompress_ptr) {}
void camera_term_source(j_decompress_ptr) {}

boolean camera_fill_input_buffer(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<camera_source*>(cinfo->src);
    if (!src->given) {
        src->given = true;
        src->pub.next_input_byte = src->frame;
        src->pub.bytes_in_buffer = src->length;
        return TRUE;
    }
    // A frame that ends early is not handed over again from its start (a broken frame could
    // then be read for ever): the library is told the image has ended, and finishes or gives up.
    src->pub.next_input_byte = end_of_image;
    src->pub.bytes_in_buffer = sizeof end_of_image;
    return TRUE;
}

void camera_skip_input_data(j_decompress_ptr cinfo, long count) {
    auto* src = reinterpret_cast<camera_source*>(cinfo->src);
    if (count <= 0) return;
    std::size_t n = static_cast<std::size_t>(count);
    if (n > src->pub.bytes_in_buffer) n = src->pub.bytes_in_buffer;
    src->pub.next_input_byte += n;
    src->pub.bytes_in_buffer -= n;
}

void camera_jpeg_src(j_decompress_ptr cinfo, const unsigned char* frame, unsigned int length) {
    if (!cinfo->src) {
        cinfo->src = static_cast<jpeg_source_mgr*>(
            (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(camera_source)));
    }
    auto* src = reinterpret_cast<camera_source*>(cinfo->src);
    src->frame = frame;
    src->length = length;
    src->given = false;
    src->pub.init_source = camera_init_source;
    src->pub.fill_input_buffer = camera_fill_input_buffer;
    src->pub.skip_input_data = camera_skip_input_data;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = camera_term_source;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
}

[[noreturn]] void libjpeg_error(j_common_ptr cinfo) {
    const int code = cinfo->err->msg_code;
    log("[Decompress] libjpeg error: %d (%c)\n", code, static_cast<char>(code));
    // Back to the decoder, never into the library again.
    std::longjmp(reinterpret_cast<camera_error*>(cinfo->err)->back, 1);
}

void libjpeg_output(j_common_ptr cinfo) {
    const int code = cinfo->err->msg_code;
    log("[Decompress] libjpeg error: %d (%c)\n", code, static_cast<char>(code));
}

void libjpeg_msg(j_common_ptr, int) {}

// Every library call of a decode happens below this function, whose locals are all trivially
// destructible, so the jump back from the error handler skips no destructor.
bool run_decoder(jpeg_decompress_struct* cinfo, camera_error* err, const unsigned char* frame, unsigned int length,
                 color_type* picture, unsigned int width, unsigned int height) {
    if (setjmp(err->back)) return false;
    jpeg_create_decompress(cinfo);
    cinfo->mem->max_memory_to_use = decoder_memory_limit;
    camera_jpeg_src(cinfo, frame, length);
    jpeg_read_header(cinfo, TRUE);
    if (cinfo->image_width > width || cinfo->image_height > height) {
        // Refused before decompression starts: a frame with several scans would otherwise make
        // the library buffer the whole announced image.
        log("[Decompress] Frame of %ux%u is larger than the picture (%ux%u); dropped\n",
            static_cast<unsigned>(cinfo->image_width), static_cast<unsigned>(cinfo->image_height), width, height);
        return false;
    }
#ifdef JCS_EXTENSIONS
    // Colour frames come out of the library already in the picture's blue-green-red order (the
    // same conversion, only the channel order differs), so rows can be decoded in place.
    const bool direct = cinfo->out_color_space == JCS_RGB && cinfo->num_components == 3;
    if (direct) cinfo->out_color_space = JCS_EXT_BGR;
#else
    const bool direct = false;
#endif
    jpeg_start_decompress(cinfo);
    const unsigned out_w = cinfo->output_width, out_h = cinfo->output_height;
    const int comps = cinfo->output_components;
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 out_w * static_cast<unsigned>(comps), 1);
    if (out_h > height) return true;  // taller than the picture: left as it was
    const unsigned copy_w = out_w < width ? out_w : width;
    unsigned s = 0;
    while (cinfo->output_scanline < out_h) {
        color_type* dst = picture + static_cast<std::size_t>(out_h - 1 - s) * width;
        if (direct && out_w <= width) {
            // The decoded row fits the picture row: written straight into it.
            JSAMPROW target = reinterpret_cast<JSAMPROW>(dst);
            if (jpeg_read_scanlines(cinfo, &target, 1) != 1) break;
            ++s;
            continue;
        }
        if (jpeg_read_scanlines(cinfo, row, 1) != 1) break;
        ++s;
        const JSAMPLE* src = row[0];
        if (direct) {
            std::memcpy(dst, src, static_cast<std::size_t>(copy_w) * 3);
        } else if (comps == 3) {
            for (unsigned x = 0; x < copy_w; ++x, src += 3) {
                dst[x].blue = src[2];
                dst[x].green = src[1];
                dst[x].red = src[0];
            }
        } else if (comps == 1) {
            for (unsigned x = 0; x < copy_w; ++x) dst[x].blue = dst[x].green = dst[x].red = src[x];
        }
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

}  // namespace

bool process_image(unsigned char* frame, unsigned int* length, unsigned int capacity) {
    if (!frame || !length) return false;
    const unsigned int len = *length;
    if (len < 6 || len > capacity) {
        log("[Decompress] Frame of %u bytes is too short to complete; dropped\n", len);
        return false;
    }
    const unsigned int L = (static_cast<unsigned>(frame[4]) << 8) | frame[5];
    const unsigned int body = 4 + L;
    if (L < 2 || body > len) {
        log("[Decompress] First segment runs past the end of the frame; dropped\n");
        return false;
    }
    unsigned int P = 0;
    bool found = false;
    for (unsigned int i = body; i + 1 < len; ++i) {
        if (frame[i] == 0xFF && frame[i + 1] == 0xC0) {
            P = i - body;
            found = true;
            break;
        }
    }
    if (!found) {
        log("[Decompress] Frame has no baseline start-of-frame marker; dropped\n");
        return false;
    }
    const unsigned int tail_from = body + P, tail_len = len - tail_from;
    const unsigned int new_len = 20 + P + 420 + tail_len;
    if (new_len > capacity) {
        log("[Decompress] Completed frame would not fit its buffer (%u bytes); dropped\n", new_len);
        return false;
    }
    // Rearranged in place: whichever part moves right goes first so nothing is overwritten early.
    const unsigned int tail_to = 20 + P + 420;
    if (tail_to >= tail_from) {
        std::memmove(frame + tail_to, frame + tail_from, tail_len);
        std::memmove(frame + 20, frame + body, P);
    } else {
        std::memmove(frame + 20, frame + body, P);
        std::memmove(frame + tail_to, frame + tail_from, tail_len);
    }
    std::memcpy(frame, jfif_header, sizeof jfif_header);
    std::memcpy(frame + 20 + P, huffman_marker, sizeof huffman_marker);
    std::memcpy(frame + 24 + P, JPEGHuffmanTable, sizeof JPEGHuffmanTable);
    *length = new_len;
    return true;
}

bool decompress_image(unsigned char* frame, unsigned int* length, unsigned int capacity, color_type* picture,
                      unsigned int width, unsigned int height) {
    if (!picture || !process_image(frame, length, capacity)) return false;
    return decode_frame(frame, *length, picture, width, height);
}

bool decode_frame(const unsigned char* frame, unsigned int length, color_type* picture, unsigned int width,
                  unsigned int height) {
    if (!frame || !picture) return false;
    jpeg_decompress_struct cinfo;
    camera_error err;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = libjpeg_error;
    err.pub.output_message = libjpeg_output;
    err.pub.emit_message = libjpeg_msg;
    const bool ok = run_decoder(&cinfo, &err, frame, length, picture, width, height);
    jpeg_destroy_decompress(&cinfo);
    return ok;
}
