// Re-planning every robot after one new impact: the shared breadth-first grid against the
// pass-by-pass wavefront, for 1, 10 and 99 robots and 0, 500 and 2,000 impacts.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "bench_util.h"
#include "robot/nav_grid.h"
#include "robot/robot.h"
#include "support/random.h"
#include "world/world.h"

namespace {

struct scene {
    world_class* world = nullptr;
    std::mt19937 g{11};

    scene(int robots, int impacts) {
        world = new world_class(world_setup{100, 100, ""});
        std::uniform_real_distribution<double> u(0.2, 9.8), side(0.3, 1.5);
        // Impacts are wall points the robots have seen: lay them along the outlines of boxes
        // scattered over the world, 0.1 apart, as sightings of real walls leave them.
        for (int boxes = 0; world->impact_count < impacts && boxes < 10000; ++boxes) {
            const double x0 = u(g), y0 = u(g), x1 = std::min(x0 + side(g), 9.9), y1 = std::min(y0 + side(g), 9.9);
            for (double t = 0; t <= 1.0 && world->impact_count < impacts; t += 0.1 / (x1 - x0 + y1 - y0)) {
                const double px = x0 + (x1 - x0) * std::min(1.0, 2 * t), py = y0 + (y1 - y0) * std::max(0.0, 2 * t - 1);
                world->add_impact(px, py);
                if (world->impact_count < impacts) world->add_impact(x1 + x0 - px, y1 + y0 - py);
            }
        }
        // The target where the most of the world can reach it, as in a world being explored.
        double best_x = 5, best_y = 5;
        int best_reach = -1;
        static std::int32_t grid[75][75];
        for (int i = 0; i < 40; ++i) {
            const double tx = u(g), ty = u(g);
            compute_distance_grid(world->impacts, 10, 10, nav_index(tx, 10), nav_index(ty, 10), grid);
            int reach = 0;
            for (auto& col : grid)
                for (std::int32_t c : col) reach += c >= 0 && c < 255;
            if (reach > best_reach) {
                best_reach = reach;
                best_x = tx;
                best_y = ty;
            }
        }
        world->target_x = best_x;
        world->target_y = best_y;
        for (int i = 0; i < robots; ++i) world->robots[world->num_robots++] = new robot_class(world, "b", "127.0.0.1", 1, 0);
        // Robots stand where the target can be reached from.
        compute_distance_grid(world->impacts, 10, 10, nav_index(best_x, 10), nav_index(best_y, 10), grid);
        for (unsigned i = 0; i < world->num_robots; ++i) {
            double x, y;
            do {
                x = u(g);
                y = u(g);
            } while (!(grid[nav_index(x, 10)][nav_index(y, 10)] > 0 && grid[nav_index(x, 10)][nav_index(y, 10)] < 255));
            world->robots[i]->x = x;
            world->robots[i]->y = y;
        }
    }
    ~scene() { delete world; }

    // Median time of one new impact, which re-plans every robot.
    double time_new_impact(bool literal, int reps) {
        robot_class::literal_planner = literal;
        std::uniform_real_distribution<double> u(0.2, 9.8);
        std::vector<double> t;
        while (static_cast<int>(t.size()) < reps) {
            const int before = world->impact_count;
            const double x = u(g), y = u(g);
            const double t0 = bench::now_s();
            world->add_impact(x, y);
            const double spent = bench::now_s() - t0;
            // Only a new spot counts: one close to a known impact is merged and re-plans nothing.
            if (world->impact_count != before) t.push_back(spent);
        }
        robot_class::literal_planner = false;
        return bench::median(t);
    }
};

}  // namespace

int main() {
    const std::string dir = bench::enter_temp_dir();
    srand15(3);
    double speedup_99 = 0;
    for (int impacts : {0, 500, 2000}) {
        for (int robots : {1, 10, 99}) {
            scene s(robots, impacts);
            const int reps = robots == 99 ? 3 : 7;
            const double literal = s.time_new_impact(true, reps);
            const double shared = s.time_new_impact(false, reps * 5);
            const double speedup = literal / shared;
            const std::string tag = std::to_string(robots) + "_" + std::to_string(impacts);
            std::printf("replan_literal_us_%s: %.1f\n", tag.c_str(), literal * 1e6);
            std::printf("replan_shared_us_%s: %.1f\n", tag.c_str(), shared * 1e6);
            std::printf("replan_speedup_%s: %.1f\n", tag.c_str(), speedup);
            if (robots == 99 && impacts == 2000) speedup_99 = speedup;
            std::fflush(stdout);
        }
    }
    std::printf("replan_speedup_99: %.1f\n", speedup_99);
    bench::leave_temp_dir(dir);
    return 0;
}
