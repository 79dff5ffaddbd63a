// One robot's camera link: one JPEG image requested at a time, checked, decoded and shown.
#pragma once

#include <cstdint>
#include <vector>

#include "link/socket_half.h"
#include "platform/draw.h"
#include "platform/socket.h"

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

// What targeting decided about one picture: fire on or off, and where pan and tilt go (steer
// is false when they stay where they are). A picture too small to look at decides nothing.
struct target_decision {
    bool looked = false;
    bool fire = false;
    bool steer = false;
    int pan = 0;
    int tilt = 0;
};

// What one socket notice brought the console: whether a new picture is to be shown, and the
// targeting decisions of its pictures, in order.
struct camera_news {
    bool new_picture = false;
    std::vector<target_decision> decisions;
};

// The console that owns it hands it the robot's pan and tilt and acts on the decisions it
// returns; the link says what the operator should hear through its one callback (`half.alert`).
class robot_camera_class {
public:
    static constexpr unsigned socket_message = 0x0400 + 2;
    static constexpr std::uint32_t buffer_bytes = 921600;  // 640 by 480 pixels of three bytes
    static constexpr std::uint32_t rx_buffer_bytes = 2048;
    static constexpr std::uint32_t receive_chunk = 1024;
    static constexpr std::uint32_t size_packet_bytes = 11;
    // The frame fix-up grows a frame by at most this much.
    static constexpr std::uint32_t frame_growth_room = 440;
    static constexpr unsigned dead_link_ms = socket_half::dead_link_ms;

    color_type* last_frame = nullptr;
    color_type* processed_frame = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    color_type* camera_buffer = nullptr;
    bitmap_info_type bitmap_info;
    // The socket half shared with the control link, and the names this link knows its parts by.
    socket_half half{"[Camera]", socket_message};
    platform::socket_t& camera_socket = half.socket;
    bool& connected = half.connected;
    bool& connecting = half.connecting;
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

    // The robot's host and control port (the camera is on the next one); both outlive the link.
    robot_camera_class(const char* host, int port);
    ~robot_camera_class();
    robot_camera_class(const robot_camera_class&) = delete;
    robot_camera_class& operator=(const robot_camera_class&) = delete;

    void start();
    void stop();
    void camera_check();
    // A socket notice; targeting starts from the robot's pan and tilt as given.
    camera_news camera_socket_message(unsigned int socket, long event, int pan = 128, int tilt = 128);
    // Draws the picture over (0, 0) to (width, height).
    void draw(platform::dc* hdc, int width, int height);
    void camera_disconnect();
    void request_image();
    void connect_to_camera_server();
    void read_camera_data();
    unsigned int camera_process_packet(unsigned char* bytes, unsigned int count);
    bool size_packet(unsigned char* bytes);
    void image_packet();
    void setup_buffer();

    // Motion targeting of the picture, from the camera's pan and tilt.
    target_decision process_frame(int pan, int tilt);
    unsigned int get_change(unsigned int x, unsigned int y) const;
    void draw_box(unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2, color_type* picture);

    // Whether every buffer could be had; without them the link never connects.
    bool buffers_ready() const { return ready_; }
    // A picture has been decoded since the size last changed, so targeting has a reference.
    bool have_reference = false;

private:
    const char* host_;
    int port_;
    // What the notice being handled brings the console.
    camera_news news_;
    int aim_pan_ = 128, aim_tilt_ = 128;
    void close_link();
    // The connection is gone: closed, and the robot's name is looked up again next time.
    void lose_link();
    void reset_receive();
    bool ready_ = false;
};

std::uint16_t get_checksum16(const unsigned char* data, unsigned int length);
