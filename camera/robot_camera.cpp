#include "camera/robot_camera.h"

#include <cstdlib>
#include <cstring>

#include "camera/jpeg_decode.h"
#include "console/robot_win.h"
#include "robot/robot.h"
#include "support/clock.h"
#include "support/log.h"

using namespace platform;

std::uint16_t get_checksum16(const unsigned char* data, unsigned int length) {
    std::uint16_t sum = 0;
    for (unsigned int i = 0; i < length; ++i) sum = static_cast<std::uint16_t>(sum + data[i]);
    return sum;
}

robot_camera_class::robot_camera_class(robot_win_class* o) : owner(o) {
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

void robot_camera_class::close_link() {
    close_socket(camera_socket);
    camera_socket = invalid_socket;
}

void robot_camera_class::lose_link() {
    const bool was_connected = connected;
    connected = false;
    connecting = false;
    close_link();
    // Only a connection that was made and lost sends the robot's name to be looked up again; a
    // failed attempt keeps the address for the next one.
    if (was_connected) forget_host(owner->robot->host);
}

void robot_camera_class::reset_receive() {
    rx_state = 0;
    rx_len = 0;
    image_pos = 0;
    image_remaining = 0;
}

void robot_camera_class::connect_to_camera_server() {
    if (!ready_) return;  // without its buffers the link stays down
    robot_class* robot = owner->robot;
    const std::uint16_t camera_port = static_cast<std::uint16_t>(robot->port + 1);
    owner->alert("[Camera] Connecting to %s:%d", robot->host, camera_port);
    std::uint32_t address = 0;
    const resolve_result r = resolve_host(robot->host, address, this);
    if (r == resolve_result::pending) return;  // looked up in the background; next check connects
    if (r == resolve_result::failed) {
        owner->alert("[Camera] Host name error.");
        return;
    }
    close_link();
    camera_socket = tcp_socket();
    if (camera_socket == invalid_socket) {
        owner->alert("[Camera] Socket error.");
        return;
    }
    supervise_socket(camera_socket, dead_link_ms);
    async_select(camera_socket, owner->hwnd, socket_message, fd_read | fd_write | fd_connect | fd_close);
    connected = false;
    connecting = true;
    socket_connect(camera_socket, address, camera_port);
}

void robot_camera_class::camera_socket_message(unsigned int, long event) {
    const unsigned what = static_cast<unsigned>(event) & 0xFFFF;
    const unsigned error = (static_cast<unsigned long>(event) >> 16) & 0xFFFF;
    switch (what) {
    case fd_connect:
        if (error == 0) {
            owner->alert("[Camera] Connected.");
            connected = true;
            connecting = false;
            // Bytes left from a lost connection are not the start of this stream.
            reset_receive();
            request_image();
        } else {
            owner->alert("[Camera] Time out.");
            lose_link();
        }
        break;
    case fd_read:
        read_camera_data();
        break;
    case fd_close:
        if (error == static_cast<unsigned>(error_timed_out))
            owner->alert("[Camera] No answer from the robot; dropping the link.");
        else
            owner->alert("[Camera] Server disconnect.");
        lose_link();
        break;
    default:
        break;
    }
}

void robot_camera_class::request_image() {
    if (!connected) return;
    const unsigned char request = 0x40;
    const long n = socket_send(camera_socket, &request, 1);
    if (n != 1) {
        owner->alert("[Camera] Unable to send data");
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
        owner->alert("[Camera] Invalid image size packet (%x)", bytes[0]);
        return false;
    }
    const std::uint32_t w = (static_cast<std::uint32_t>(bytes[1]) << 8) | bytes[2];
    const std::uint32_t h = (static_cast<std::uint32_t>(bytes[3]) << 8) | bytes[4];
    // A picture larger than the buffers is refused before anything is sized for it.
    // Computed in 64 bits: a product such as 43691 by 32768 must not wrap into a small size.
    if (static_cast<std::uint64_t>(w) * h * 3 > buffer_bytes) {
        owner->alert("[Camera] Picture size %ux%u too large; frame refused", w, h);
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
        owner->alert("[Camera] Invalid image size (%d)", static_cast<int>(image_length));
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
        owner->alert("[Camera] Image checksum fail. expected: %d  actual: %d  (%d)\n", image_checksum, sum,
                     static_cast<int>(sum) - static_cast<int>(image_checksum));
        return;
    }
    // The link is alive whatever the frame holds; only frames the decoder took count as frames.
    last_image_time = get_wall_time();
    // Only a frame that became the picture is counted and looked at for targets: a refused or
    // broken one would show the operator a rate over a frozen picture.
    if (!process_image(compressed_image, &image_length, buffer_bytes + frame_growth_room)) return;
    if (!decode_frame(compressed_image, image_length, camera_buffer, width, height)) return;
    if (targeting)
        process_frame();
    else
        have_reference = false;
    ++frame_count;
    if (owner->hwnd) invalidate(owner->hwnd);
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
    owner->alert("[Camera] Disconnect.");
}

void robot_camera_class::draw(dc* hdc) {
    if (!ready_ || width == 0 || height == 0) return;
    // Rows are packed: the stride is exactly three bytes a pixel.
    stretch_picture(hdc, 0, 0, static_cast<int>(owner->width), static_cast<int>(owner->height),
                    reinterpret_cast<const std::uint8_t*>(camera_buffer), static_cast<int>(width),
                    static_cast<int>(height), static_cast<int>(width * 3));
}
