// One robot's camera link: one JPEG image requested at a time, checked, decoded and shown.
#pragma once

#include <cstdint>

#include "platform/draw.h"
#include "platform/socket.h"

class robot_win_class;

// One pixel of a camera picture, in the order blue, green, red.
struct color_type {
    std::uint8_t blue, green, red;
};

struct bitmap_info_type {
    std::uint32_t size = 40;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t planes = 1;
    std::uint16_t bit_count = 24;
    std::uint32_t compression = 0;
    std::uint32_t size_image = 0;
};

class robot_camera_class {
public:
    static constexpr unsigned socket_message = 0x0400 + 2;
    static constexpr std::uint32_t buffer_bytes = 921600;  // 640 by 480 pixels of three bytes
    static constexpr std::uint32_t rx_buffer_bytes = 2048;
    static constexpr std::uint32_t receive_chunk = 1024;
    static constexpr std::uint32_t size_packet_bytes = 11;
    // The frame fix-up grows a frame by at most this much.
    static constexpr std::uint32_t frame_growth_room = 440;
    // Sent data unacknowledged for this long means the robot is gone.
    static constexpr unsigned dead_link_ms = 3000;

    color_type* last_frame = nullptr;
    color_type* processed_frame = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    color_type* camera_buffer = nullptr;
    bitmap_info_type bitmap_info;
    platform::socket_t camera_socket = platform::invalid_socket;
    bool connected = false;
    bool connecting = false;
    std::uint32_t frame_count = 0;
    std::uint32_t fps = 0;
    unsigned char* compressed_image = nullptr;
    unsigned char* cam_rx_buffer = nullptr;
    std::int32_t rx_state = 0;
    std::uint32_t image_pos = 0;
    std::uint32_t image_remaining = 0;
    std::uint32_t image_length = 0;
    std::uint16_t image_checksum = 0;
    std::uint32_t rx_len = 0;
    double last_image_time = 0;
    bool targeting = false;
    robot_win_class* owner = nullptr;

    explicit robot_camera_class(robot_win_class* owner);
    ~robot_camera_class();
    robot_camera_class(const robot_camera_class&) = delete;
    robot_camera_class& operator=(const robot_camera_class&) = delete;

    void start();
    void stop();
    void camera_check();
    void camera_socket_message(unsigned int socket, long event);
    void draw(platform::dc* hdc);
    void camera_disconnect();
    void request_image();
    void connect_to_camera_server();
    void read_camera_data();
    unsigned int camera_process_packet(unsigned char* bytes, unsigned int count);
    bool size_packet(unsigned char* bytes);
    void image_packet();
    void setup_buffer();

    // Motion targeting.
    void process_frame();
    unsigned int get_change(unsigned int x, unsigned int y) const;
    void draw_box(unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2, color_type* picture);

    // Whether every buffer could be had; without them the link never connects.
    bool buffers_ready() const { return ready_; }
    // A picture has been decoded since the size last changed, so targeting has a reference.
    bool have_reference = false;

private:
    void close_link();
    // The connection is gone: closed, and the robot's name is looked up again next time.
    void lose_link();
    void reset_receive();
    bool ready_ = false;
};

std::uint16_t get_checksum16(const unsigned char* data, unsigned int length);
