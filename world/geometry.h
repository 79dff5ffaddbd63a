// Segment intersection and ray-against-box tests behind the robots' sensing and collisions.
#pragma once

#include "support/types.h"

class world_class;

// The sensing horizon: a box query that finds nothing reports this distance.
constexpr double vision_horizon = 2.0;

// Whether two segments intersect. hit receives the crossing of the two infinite lines whenever
// they are not parallel, also when the result is false.
bool check_intersect(line l1, line l2, point& hit);

// Distance from ray.p1 to the nearest crossing with the box's edges, or 2.0. A crossing closer
// than 1.0 is recorded as an impact in the world.
double check_box_intersect(world_class* world, line ray, line box, point& hit);
