// Small value types shared by the world, the robots and the geometry: points, segments and the
// records of the lists the world and the robots keep.
#pragma once

struct point {
    double x = 0.0;
    double y = 0.0;
};

// A segment from the first to the second point; also a ray (origin, far end) or a box (corners).
struct line {
    point p1;
    point p2;
};

struct wall_type {
    double x, y;  // corner with the smallest coordinates
    double w, h;  // extent along x and y
    wall_type* next;
};

struct marker_type {
    double x, y;
    marker_type* next;
};

struct impact_type {
    double x, y;
    impact_type* next;
};

struct waypoint_type {
    double x, y;
    double angle;
    int index;
    waypoint_type* next;
};
