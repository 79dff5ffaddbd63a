#include "camera/robot_camera.h"

#include <cstdlib>
#include <cstring>

#include "camera/jpeg_decode.h"
#include "support/clock.h"
#include "support/log.h"

using namespace platform;

std::uint16_t get_checksum16(const unsigned char* data, unsigned int length) {
    std::uint16_t sum = 0;
    for (unsigned int i = 0; i < length; ++i) sum = static_cast<std::uint16_t>(sum + data[i]);
    return sum;
}

robot_camera_class::robot_camera_class(const char* host, int port) : host_(host), port_(port) {
    camera_buffer = static_cast<color_type*>(std::calloc(buffer_bytes / 3, sizeof(color_type)));
    if (!camera_buffer) {
        log("[Camera] Unable to get memory for camera_buffer\n");
        return;
    }
    // The frame buffer has room for the header and tables the fix-up adds to the largest frame.
    compressed_image = static_cast<unsigned char*>(std::malloc(buffer_bytes + frame_growth_room));
    if (!compressed_image) {
        log("[Camera] Unable to get memory for  compressed_image\n");
        return;
    }
    cam_rx_buffer = static_cast<unsigned char*>(std::malloc(rx_buffer_bytes));
    if (!cam_rx_buffer) {
        log("[Camera] Unable to get memory for  cam_rx_buffer\n");
        return;
    }
    last_frame = static_cast<color_type*>(std::calloc(buffer_bytes / 3, sizeof(color_type)));
    if (!last_frame) {
        log("[Camera] Unable to get memory for  last_frame \n");
        return;
    }
    processed_frame = static_cast<color_type*>(std::calloc(buffer_bytes / 3, sizeof(color_type)));
    if (!processed_frame) {
        log("[Camera] Unable to get memory for  processed_frame\n");
        return;
    }
    ready_ = true;
}

robot_camera_class::~robot_camera_class() {
    close_link();
    // Zeroed pages are taken from the system only when first written, so a hidden console
    // that never sees a picture costs little memory.
    std::free(camera_buffer);
    std::free(compressed_image);
    std::free(cam_rx_buffer);
    std::free(last_frame);
    std::free(processed_frame);
}

void robot_camera_class::start() { log("[Camera] Start\n"); }

void robot_camera_class::stop() { log("[Camera] Stop\n"); }

void robot_camera_class::close_link() { half.close(); }

void robot_camera_class::lose_link() {
    // Only a connection that was made and lost sends the robot's name to be looked up again; a
    // failed attempt keeps the address for the next one.
    half.lose(host_);
}

void robot_camera_class::reset_receive() {
    rx_state = 0;
    rx_len = 0;
    image_pos = 0;
    image_remaining = 0;
}

void robot_camera_class::connect_to_camera_server() {
    if (!ready_) return;  // without its buffers the link stays down
    const std::uint16_t camera_port = static_cast<std::uint16_t>(port_ + 1);
    half.tell("[Camera] Connecting to %s:%d", host_, camera_port);
    std::uint32_t address = 0;
    // Looked up in the background while pending; the next check connects.
    if (!half.resolve(host_, address, this)) return;
    half.start(address, camera_port);
}

camera_news robot_camera_class::camera_socket_message(unsigned int, long event, int pan, int tilt) {
    news_ = camera_news{};
    aim_pan_ = pan;
    aim_tilt_ = tilt;
    switch (half.take(event)) {
    case socket_half::notice::connected:
        // Bytes left from a lost connection are not the start of this stream.
        reset_receive();
        request_image();
        break;
    case socket_half::notice::readable:
        read_camera_data();
        break;
    case socket_half::notice::failed:
    case socket_half::notice::closed:
    case socket_half::notice::timed_out:
        lose_link();
        break;
    case socket_half::notice::writable:
    case socket_half::notice::none:
        break;
    }
    return std::move(news_);
}

void robot_camera_class::request_image() {
    if (!connected) return;
    const unsigned char request = 0x40;
    const long n = socket_send(camera_socket, &request, 1);
    if (n != 1) {
        half.tell("[Camera] Unable to send data");
        connected = false;
    }
}

void robot_camera_class::read_camera_data() {
    if (!ready_) return;
    if (rx_len < receive_chunk) {
        const long n = socket_recv(camera_socket, cam_rx_buffer + rx_len, receive_chunk - rx_len);
        if (n > 0) rx_len += static_cast<std::uint32_t>(n);
    }
    while (rx_len > 0) {
        const unsigned used = camera_process_packet(cam_rx_buffer, rx_len);
        if (used == 0) break;
        rx_len -= used;
        std::memmove(cam_rx_buffer, cam_rx_buffer + used, rx_len);
    }
}

unsigned int robot_camera_class::camera_process_packet(unsigned char* bytes, unsigned int count) {
    if (rx_state == 0) {
        if (count < size_packet_bytes) return 0;
        if (size_packet(bytes)) rx_state = 1;
        return size_packet_bytes;
    }
    const unsigned n = count < image_remaining ? count : image_remaining;
    std::memcpy(compressed_image + image_pos, bytes, n);
    image_pos += n;
    image_remaining -= n;
    if (image_remaining == 0) {
        image_packet();
        rx_state = 0;
    }
    return n;
}

bool robot_camera_class::size_packet(unsigned char* bytes) {
    if (bytes[0] != 0x40) {
        half.tell("[Camera] Invalid image size packet (%x)", bytes[0]);
        return false;
    }
    const std::uint32_t w = (static_cast<std::uint32_t>(bytes[1]) << 8) | bytes[2];
    const std::uint32_t h = (static_cast<std::uint32_t>(bytes[3]) << 8) | bytes[4];
    // A picture larger than the buffers is refused before anything is sized for it.
    // Computed in 64 bits: a product such as 43691 by 32768 must not wrap into a small size.
    if (static_cast<std::uint64_t>(w) * h * 3 > buffer_bytes) {
        half.tell("[Camera] Picture size %ux%u too large; frame refused", w, h);
        return false;
    }
    if (w != width || h != height) {
        width = w;
        height = h;
        setup_buffer();
    }
    image_length = (static_cast<std::uint32_t>(bytes[5]) << 24) | (static_cast<std::uint32_t>(bytes[6]) << 16) |
                   (static_cast<std::uint32_t>(bytes[7]) << 8) | bytes[8];
    image_checksum = static_cast<std::uint16_t>((bytes[9] << 8) | bytes[10]);
    if (image_length == 0 || image_length > buffer_bytes) {
        half.tell("[Camera] Invalid image size (%d)", static_cast<int>(image_length));
        return false;
    }
    image_pos = 0;
    image_remaining = image_length;
    log("[Camera] Size packet done (%d,%d)  len: %d\n", static_cast<int>(width), static_cast<int>(height),
        static_cast<int>(image_length));
    return true;
}

void robot_camera_class::setup_buffer() {
    log("[Camera] robot_win_class::setup_buffer\n");
    bitmap_info = bitmap_info_type{};
    bitmap_info.width = static_cast<std::int32_t>(width);
    bitmap_info.height = static_cast<std::int32_t>(height);
    bitmap_info.size_image = width * height * 3;
    // A new size makes the old reference picture meaningless for targeting.
    have_reference = false;
}

void robot_camera_class::image_packet() {
    log("[Camera] Image packet\n");
    const std::uint16_t sum = get_checksum16(compressed_image, image_length);
    request_image();
    if (sum != image_checksum) {
        half.tell("[Camera] Image checksum fail. expected: %d  actual: %d  (%d)\n", image_checksum, sum,
                     static_cast<int>(sum) - static_cast<int>(image_checksum));
        return;
    }
    // The link is alive whatever the frame holds; only frames the decoder took count as frames.
    last_image_time = get_wall_time();
    // Only a frame that became the picture is counted and looked at for targets: a refused or
    // broken one would show the operator a rate over a frozen picture.
    if (!process_image(compressed_image, &image_length, buffer_bytes + frame_growth_room)) return;
    if (!decode_frame(compressed_image, image_length, camera_buffer, width, height)) return;
    if (targeting) {
        const target_decision d = process_frame(aim_pan_, aim_tilt_);
        if (d.steer) {
            aim_pan_ = d.pan;
            aim_tilt_ = d.tilt;
        }
        news_.decisions.push_back(d);
    } else {
        have_reference = false;
    }
    ++frame_count;
    news_.new_picture = true;
    log("Returning\n");
}

void robot_camera_class::camera_check() {
    const double now = get_wall_time();
    if (now - last_image_time > 1.0) request_image();
    if (now - last_image_time > 2.0) {
        // The attempt the time-out cuts short will never report: the next one may start.
        if (connected || connecting)
            lose_link();
        else
            close_link();
    }
    if (!connected && !connecting) connect_to_camera_server();
    fps = frame_count;
    frame_count = 0;
}

void robot_camera_class::camera_disconnect() {
    close_link();
    connected = false;
    connecting = false;
    half.tell("[Camera] Disconnect.");
}

void robot_camera_class::draw(dc* hdc, int view_width, int view_height) {
    if (!ready_ || width == 0 || height == 0) return;
    // Rows are packed: the stride is exactly three bytes a pixel.
    stretch_picture(hdc, 0, 0, view_width, view_height,
                    reinterpret_cast<const std::uint8_t*>(camera_buffer), static_cast<int>(width),
                    static_cast<int>(height), static_cast<int>(width * 3));
}
