// What a robot standing still can see: the walls within reach of one point, sorted by direction
// into sectors round it and, within a sector, by how near their boxes come to the point.
//
// A robot that waits or turns on the spot casts its vision rays from the same point tick after
// tick; where walls crowd, walking the grid's cells along each ray costs far more than looking up
// the few walls of the ray's sector.
//
// What it promises: a ray from the point, at a direction within 1e-15 of the one asked about,
// that meets a wall's box grown by up to 1e-6 within `reach` finds that wall in its sector's list
// (a wall whose box comes within 1e-4 of the point is in every sector). Each wall is listed at
// most once a sector, nearest box first; callers apply their own exact test to what they get.
// The lists stand while the grid's packed lists do (until a wall changes). Directions are told
// apart by a pseudo-angle, the position along the unit diamond |x| + |y| = 1, which grows with the
// angle and needs no trigonometry.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "world/wall_index.h"

class view_index {
public:
    static constexpr int sectors = 64;
    // Sectors to a unit of pseudo-angle.
    static constexpr double per_unit = sectors / 4.0;
    // A sector's walls as their places in the grid's packed lists, nearest box first, the first
    // thirteen in the sector's own cache line: a ray reads one sector, and the lists of all the
    // robots together stay small enough to be kept in the caches from tick to tick.
    static constexpr int in_line = 13;
    struct alignas(64) sector_walls {
        std::uint32_t count;
        std::uint32_t more;  // where the fourteenth and later ones start in the overflow list
        // No more than the distance to the nearest box (the sector's reach where it has none):
        // a short sensor tells from it alone that nothing there holds its point.
        float nearest;
        std::uint32_t first[in_line];
    };

    // Lists the walls of `index`'s packed lists at `walls` (each wall once) seen from (x, y):
    // those whose boxes lie within `reach` of it.
    void build(double x, double y, double reach, const wall_index& index,
               const std::vector<std::uint32_t>& walls);
    // The position of the direction (dx, dy), not both zero, along the unit diamond, in [0, 4):
    // 0 along +x, 1 along +y, 2 along -x, 3 along -y; it grows with the angle from +x towards +y.
    static double pseudo_angle(double dx, double dy) {
        const double r = dx / (std::abs(dx) + std::abs(dy));
        return dy >= 0 ? 1 - r : 3 + r;
    }
    // The sector of the direction (dx, dy), not both zero. Inline: every ray asks it.
    static int sector(double dx, double dy) {
        const int s = static_cast<int>(pseudo_angle(dx, dy) * per_unit);
        return s >= sectors ? s - sectors : s;
    }
    const sector_walls& in(int s) const { return sectors_[s]; }
    // The place of the sector's i-th wall (below its count).
    std::uint32_t at(const sector_walls& s, std::uint32_t i) const {
        return i < in_line ? s.first[i] : more_[s.more + i - in_line];
    }
    // Asks the memory for the lines of the sectors a robot heading this way senses along (the six
    // directions heading + k pi / 3), ahead of its rays.
    void fetch(double heading) const;
    double x() const { return x_; }
    double y() const { return y_; }

private:
    double x_ = 0, y_ = 0;
    std::vector<sector_walls> sectors_ = std::vector<sector_walls>(sectors);
    std::vector<std::uint32_t> more_;
    // Build scratch, shared by every view: each listed wall with its distance, sequence and first
    // and last sector (last < first + sectors); where each sector's walls go.
    struct span {
        std::uint32_t place;
        double near;
        std::uint64_t seq;
        int s0, s1;
    };
    struct scratch {
        std::vector<span> spans;
        std::vector<std::uint32_t> first, at;
        std::vector<const span*> order;
    };
    static scratch& shared_scratch();
};
