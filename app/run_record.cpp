#include "app/run_record.h"

#include <unistd.h>

#include <cmath>

#include "console/robot_win.h"
#include "robot/robot.h"
#include "support/clock.h"
#include "support/log.h"
#include "world/world.h"

void record_start(record_writer& record, const world_class& world, const std::string& world_file) {
    if (!record.is_open()) return;
    if (!world_file.empty()) record.world(world_file.c_str());
    for (unsigned i = 0; i < world.num_robots; ++i) record.robot(world.robots[i]->name, world.robots[i]->auto_mode);
    record.target(world.target_x, world.target_y);
    record_poses(record, world);
}

void record_poses(record_writer& record, const world_class& world) {
    if (!record.is_open()) return;
    for (unsigned i = 0; i < world.num_robots; ++i) {
        const robot_class* r = world.robots[i];
        record.pose(r->name, r->x, r->y, r->heading, r->speed, r->turn, r->auto_mode, r->held());
    }
}

bool replay_class::open(const std::string& file_name, std::string& reason) {
    file_ = file_name;
    finished_ = true;
    if (!reader_.open(file_name.c_str(), reason)) return false;
    finished_ = false;
    // The opening rows say what the world holds; the first row of another kind is played later.
    while (fetch()) {
        if (pending_.kind == "world" && world_file_.empty()) {
            world_file_ = pending_.file;
            // A record moved with its world file finds it beside itself.
            if (::access(world_file_.c_str(), R_OK) != 0) {
                const std::size_t slash = file_.rfind('/'), name = world_file_.rfind('/');
                const std::string beside = (slash == std::string::npos ? "" : file_.substr(0, slash + 1)) +
                                           world_file_.substr(name == std::string::npos ? 0 : name + 1);
                if (::access(beside.c_str(), R_OK) == 0) world_file_ = beside;
            }
        } else if (pending_.kind == "robot") {
            names_.push_back(pending_.robot);
            auto_.push_back(pending_.auto_mode);
        } else {
            break;
        }
        have_pending_ = false;
    }
    log("[Replay] Replaying %s: %zu robots%s%s\n", file_name.c_str(), names_.size(),
        world_file_.empty() ? "" : " in ", world_file_.c_str());
    return true;
}

bool replay_class::fetch() {
    if (have_pending_) return true;
    if (finished_) return false;
    have_pending_ = reader_.next(pending_);
    if (!have_pending_) {
        finished_ = true;
        log("[Replay] End of %s: %llu pose rows played, %llu rows skipped\n", file_.c_str(),
            static_cast<unsigned long long>(pose_rows_), static_cast<unsigned long long>(reader_.rows_skipped()));
    }
    return have_pending_;
}

void replay_class::start(world_class& world) {
    // What the robots' first steps at construction found belongs to no recorded run.
    world.free_impacts();
    world.free_markers();
    for (unsigned i = 0; i < world.num_robots; ++i) {
        robot_class* r = world.robots[i];
        if (r->console) r->console->links_idle = true;
        r->free_waypoints();
        for (bool& hit : r->sensor_hit) hit = false;
        if (i < auto_.size()) r->auto_mode = auto_[i];
        by_name_[r->name].push_back(i);
    }
}

void replay_class::place(world_class& world, const record_row& row) {
    auto found = by_name_.find(row.robot);
    if (found == by_name_.end()) {
        reader_.skip(row, "robot '%.40s' is not one of the record's robots", row.robot.c_str());
        return;
    }
    if (row.x < 0 || row.x > world.world_width || row.y < 0 || row.y > world.world_height) {
        reader_.skip(row, "(%.2f, %.2f) lies outside the world", row.x, row.y);
        return;
    }
    if (row.time_s != seen_time_) {
        seen_at_time_.clear();
        seen_time_ = row.time_s;
    }
    const std::vector<unsigned>& same_name = found->second;
    unsigned& nth = seen_at_time_[row.robot];
    robot_class* r = world.robots[same_name[nth < same_name.size() ? nth : same_name.size() - 1]];
    ++nth;
    r->x = r->held_x = row.x;
    r->y = r->held_y = row.y;
    r->heading = row.heading;
    // The gradient arrow points where the robot looks: the record holds no gradient.
    r->grad_angle = row.heading;
    r->speed = row.speed;
    r->turn = row.turn;
    r->auto_mode = row.auto_mode;
    // held() reads the time the robot stopped making progress: as long ago as the mark takes.
    r->held_since = get_time() - (row.held ? robot_class::held_mark_s : 0.0);
    ++pose_rows_;
}

void replay_class::apply(world_class& world, const record_row& row) {
    if (row.kind == "pose") {
        place(world, row);
    } else if (row.kind == "target") {
        if (row.x < 0 || row.x > world.world_width || row.y < 0 || row.y > world.world_height) {
            reader_.skip(row, "the target (%.2f, %.2f) lies outside the world", row.x, row.y);
            return;
        }
        // Set as recorded; the robots do not plan for it, as nothing is simulated.
        world.target_x = row.x;
        world.target_y = row.y;
    } else if (row.kind == "telemetry") {
        auto found = by_name_.find(row.robot);
        if (found == by_name_.end()) {
            reader_.skip(row, "robot '%.40s' is not one of the record's robots", row.robot.c_str());
            return;
        }
        robot_class* r = world.robots[found->second.front()];
        r->wifi_signal = row.wifi;
        r->tel_ir = static_cast<float>(row.ir);
        r->tel_angle = static_cast<float>(row.angle);
        r->tel_vel_x = static_cast<float>(row.vel_x);
        r->tel_vel_y = static_cast<float>(row.vel_y);
    } else if (row.kind == "world" || row.kind == "robot") {
        reader_.skip(row, "%s rows belong before the first pose", row.kind.c_str());
    }
    // Commands went to real robots; a replay has nothing to send them to.
}

void replay_class::play_until(world_class& world, double time_s) {
    while (fetch() && pending_.time_s <= time_s) {
        have_pending_ = false;
        apply(world, pending_);
    }
}

void replay_class::play_next(world_class& world) {
    bool posed = false;
    double pose_time = 0;
    while (fetch()) {
        if (posed && pending_.time_s > pose_time) return;
        have_pending_ = false;
        if (pending_.kind == "pose" && !posed) {
            posed = true;
            pose_time = pending_.time_s;
        }
        apply(world, pending_);
    }
}
