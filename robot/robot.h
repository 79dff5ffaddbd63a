// One robot of the swarm: pose, drive command, sensors, telemetry, grid and waypoints.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/draw.h"
#include "support/types.h"

class world_class;
class robot_win_class;

class robot_class {
public:
    static constexpr int map_size = 75;
    static constexpr int sensor_count = 6;
    static constexpr int timer_count = 10;

    double size_x = 0.5, size_y = 0.5;
    double x = 0.0, y = 0.0;
    double dx = 0.0, dy = 0.0;
    double heading = 0.0;
    double turn = 0.0;
    double speed = 0.0;
    double sensor_dist = 0.25;
    double sensor_size = 0.125;
    bool sensor_hit[sensor_count] = {};
    double vision[sensor_count] = {};
    double diameter = 0.5;
    bool vision_seen[sensor_count] = {};
    point vision_point[sensor_count] = {};
    double grad_angle = 0.0;
    double grad_mag = 0.0;
    double heading_error = 0.0;
    double wifi_signal = 0.0;
    std::int32_t port = 0;
    char host[256] = {};
    char name[256] = {};
    std::uint8_t drive0 = 128, drive1 = 128;
    std::uint8_t pan = 128, tilt = 128;
    float tel_ir = 0, tel_angle = 0, tel_vel_x = 0, tel_vel_y = 0;
    double error_history[2] = {};
    bool timers_reset = true;
    double timer_start[timer_count] = {};
    double timer_value[timer_count] = {};
    bool auto_mode = false;
    std::int32_t show_window = 0;
    waypoint_type* waypoints = nullptr;
    std::int32_t waypoint_count = 0;
    std::int32_t current_waypoint = 0;
    double last_update = 0.0;
    std::int32_t map[map_size][map_size] = {};
    robot_win_class* console = nullptr;
    world_class* world = nullptr;

    robot_class(world_class* world, const char* name, const char* host, int port, int show_window);
    ~robot_class();
    robot_class(const robot_class&) = delete;
    robot_class& operator=(const robot_class&) = delete;

    void init();
    void update();
    void draw(platform::dc* hdc);

    void motion(double speed, double turn);
    void stop_motion();
    void toggle_auto_mode();
    void move_pan(int delta);
    void set_pan(int value);
    void set_tilt(int value);

    // The payloads the control link carries.
    static constexpr unsigned telemetry_payload_size = 15;
    unsigned get_control_data(unsigned char* data) const;
    void process_telemetry(const unsigned char* payload, unsigned int length);
    // The console's telemetry line; the buffer must hold 256 characters.
    void telemetry_string(char* buffer) const;

    // Auto mode.
    void robot_auto_mode();
    double timer_func(double input, unsigned int index, double threshold, double value);

    // Navigation grid and waypoints.
    int get_map_x(double x) const;
    int get_map_y(double y) const;
    void world_set_map(int mx, int my);
    int world_get_map(int mx, int my) const;
    void world_compute_map_pass(bool& changed);
    int world_get_lowest_index(int mx, int my) const;
    void world_compute_map_grid();
    // The walk from the robot's cell over the map as it stands (world_compute_map_grid fills
    // the map first): waypoints, path bits, or a failed walk or a new target.
    void walk_path();
    void compute_map_nav(point& out, double x, double y) const;
    void compute_waypoint_vector(double x, double y, point& out) const;
    void add_waypoint(double x, double y, double angle);
    void free_waypoints();
    void draw_waypoints(platform::dc* hdc);

    // Plans with the pass-by-pass wavefront instead of the shared grid (a reference for tests
    // and benchmarks; both give the same grids and paths).
    static bool literal_planner;
    // When set, world_compute_map_grid hands the whole planning to it: tests compare an
    // independent reference planner with this one.
    static void (*plan_override)(robot_class& robot);
    // The last walk could not take its next step, and the target count it planned for: a
    // robot whose walk failed keeps no path.
    bool walk_failed = false;
    std::uint64_t walk_target = 0;
    // Held robots. The probe cut every step to almost nothing for a second: auto mode then
    // treats the robot as facing a wall (set by the step, cleared by auto mode).
    bool probe_held = false;
    double probe_cut_since = -1;
    // A robot inside a wall walks out to this point.
    bool escaping = false;
    point escape_to{};
    // Where the robot last moved 0.1 from, and when (auto mode only): a robot held this long
    // is marked and logged once.
    static constexpr double held_mark_s = 5.0;
    double held_x = 0, held_y = 0, held_since = 0;
    bool held_logged = false;
    bool held() const;
    // Bodies, when the world has them on: the robot's place in the world's table, and while it
    // gives way, until when and to whom. A robot in auto mode held for give_way_after_s beside
    // bodies nearer the target than itself gives way to the nearest of them: for give_way_s it
    // backs away from it, keeping to its right, whatever auto mode steers. The robot nearest
    // the target in a crowd, or in a corridor where two meet, so gets room to go on.
    int body = -1;
    double yield_until = -1;
    int yield_to = -1;
    static constexpr double give_way_after_s = 1.0;
    static constexpr double give_way_s = 1.0;
    // The statics all robots share, back to their values at program start.
    static void reset_shared_state();

private:
    // The step the robot takes of the one proposed: the probe's verdict, sliding along walls,
    // walking out of a wall.
    point take_step(double step_x, double step_y, double dt, bool rays_blocked);
    void note_progress(double now);
    // What the sensors and rays see of other robots' bodies.
    void sense_bodies();
    // The robot this one gives way to, when held: -1 when none has the right of way.
    int right_of_way_near() const;
    void fill_grid_literal();
    // What the last plan from the shared grid was made from: the impacts (their version), the
    // target's cell and the robot's cell. A plan that reached the target stands while these stay
    // as they were, since planning again would make the same grid and path.
    struct plan_inputs {
        std::uint64_t impacts;
        int target_mx, target_my, mx, my;
        bool operator==(const plan_inputs&) const = default;
    };
    plan_inputs planned_from_{};
    bool plan_stands_ = false;
    // Waypoints by index, rebuilt whenever the path is numbered.
    std::vector<waypoint_type*> by_index_;
    // When "no path" was last logged; once a second at most.
    double no_path_logged_ = -1e300;
    void log_no_path(const char* how);
};

// Copies a name or host into a 256-byte field, cutting what does not fit.
void copy_field(char (&field)[256], const char* value);
