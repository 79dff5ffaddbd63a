#include "world/run_figures.h"

#include "robot/robot.h"
#include "world/world.h"

void run_figures::record_positions(const world_class& world, double now) {
    while (recent_.size() >= 2 && recent_[1].time <= now - still_window_s) recent_.pop_front();
    positions_at p{now, {}};
    for (unsigned i = 0; i < world.num_robots; ++i) p.robots.push_back(point{world.robots[i]->x, world.robots[i]->y});
    recent_.push_back(std::move(p));
}

int run_figures::robots_still(const world_class& world) const {
    if (recent_.empty()) return 0;
    int still = 0;
    const std::vector<point>& then = recent_.front().robots;
    for (unsigned i = 0; i < world.num_robots && i < then.size(); ++i) {
        const double ddx = world.robots[i]->x - then[i].x, ddy = world.robots[i]->y - then[i].y;
        if (ddx * ddx + ddy * ddy <= still_distance_squared) ++still;
    }
    return still;
}

void run_figures::print(std::FILE* out, const world_class* world) const {
    std::fprintf(out, "robots: %u\n", world ? world->num_robots : 0u);
    std::fprintf(out, "walls: %d\n", world ? world->wall_count : 0);
    std::fprintf(out, "impacts: %d\n", world ? world->impact_count : 0);
    std::fprintf(out, "markers: %d\n", world ? world->marker_count() : 0);
    std::fprintf(out, "targets_reached: %llu\n", world ? static_cast<unsigned long long>(world->targets_reached) : 0ull);
    std::fprintf(out, "replans: %llu\n", world ? static_cast<unsigned long long>(world->replans) : 0ull);
    std::fprintf(out, "target_changes: %llu\n", world ? static_cast<unsigned long long>(world->target_changes) : 0ull);
    std::fprintf(out, "target_wait_max_s: %.2f\n", world ? world->target_wait_max_s() : 0.0);
    std::fprintf(out, "robots_still_10s: %d\n", world ? robots_still(*world) : 0);
    std::fprintf(out, "robots_held_max_s: %.2f\n", world ? world->held_max_s : 0.0);
    std::fprintf(out, "bodies_overlap_max: %.4f\n", world ? world->bodies_overlap_max : 0.0);
}
