// The simulated arena: walls, markers, impacts, the target and the robots.
#pragma once

#include "platform/draw.h"
#include "world/types.h"

class main_class;
class robot_class;

class world_class {
public:
    static constexpr int max_robots = 99;
    static constexpr int robot_table_size = 100;
    // Only the newest markers are ever drawn; the trail keeps no more than that.
    static constexpr int max_markers = 500;

    double world_width = 10.0;
    double world_height = 10.0;

    wall_type* walls = nullptr;
    int wall_count = 0;
    marker_type* markers = nullptr;
    impact_type* impacts = nullptr;
    int impact_count = 0;

    bool show_grad = false;
    bool markers_on = false;
    bool show_impacts = false;
    bool show_map = false;
    bool show_walls = true;

    double target_x = 5.0;
    double target_y = 5.0;

    double impact_gain = 0.11;
    double waypoint_gain = 0.86;
    double map_gain = 0.193;

    robot_class* robots[robot_table_size] = {};
    unsigned num_robots = 0;

    main_class* main = nullptr;

    explicit world_class(main_class* owner);
    ~world_class();
    world_class(const world_class&) = delete;
    world_class& operator=(const world_class&) = delete;

    void load_robots();
    static void robot_parse_wrapper(void* context, char* line);
    void robot_parse(char* line);

    void update();
    void draw(platform::dc* hdc);

    int get_screen_x(double x) const;
    int get_screen_y(double y) const;
    double get_world_x(unsigned px) const;
    double get_world_y(unsigned py) const;
    void get_bounding_rect(double cx, double cy, double w, double h, platform::rect& r) const;

    void add_wall(double x, double y, double w, double h);
    void free_walls();
    void add_marker(double x, double y);
    void free_markers();
    int marker_count() const { return marker_total; }
    void add_impact(double x, double y);
    void free_impacts();

    void set_target(double x, double y);
    void random_target();
    double target_dist(double x, double y) const;

    // Layers of the scene and the shared drawing primitives.
    void draw_walls(platform::dc* hdc);
    void draw_markers(platform::dc* hdc);
    void draw_impacts(platform::dc* hdc);
    void draw_target(platform::dc* hdc, double x, double y);
    void draw_arrow(platform::dc* hdc, double x, double y, double angle, double length);
    void draw_line(platform::dc* hdc, const line& l);
    void draw_sensor(platform::dc* hdc, double x, double y, double angle, double dist, double size,
                     unsigned long color);

private:
    int buffer_w() const;
    int buffer_h() const;

    // The marker trail lives in a ring of fixed records linked newest first; adding to a full
    // ring reuses the oldest record.
    marker_type marker_pool[max_markers] = {};
    int marker_newest = -1;
    int marker_total = 0;
};

unsigned long get_sensor_color(bool hit);
