// The run's record as the application keeps it: the world's rows written to it, and a record
// played back into a world whose robots the simulation leaves alone.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/record.h"

class world_class;

// Writes the opening rows of a record (the world file, the robots in table order, the target)
// and a first set of poses.
void record_start(record_writer& record, const world_class& world, const std::string& world_file);
// A pose row for every robot.
void record_poses(record_writer& record, const world_class& world);

// A record played back: robots are placed at their recorded poses, the target goes where it was
// recorded, telemetry fills the robots' telemetry fields. Nothing is simulated and nothing plans.
class replay_class {
public:
    // Opens the record and reads its opening rows (world file and robots). False with the
    // reason when it cannot be played at all.
    bool open(const std::string& file_name, std::string& reason);
    // The world file the record names, as it can be found now (where it was, or beside the
    // record); empty when it names none.
    const std::string& world_file() const { return world_file_; }
    const std::vector<std::string>& robot_names() const { return names_; }

    // Gets a world made with robot_names() ready to be shown: links idle, and the impacts and
    // paths its construction made dropped.
    void start(world_class& world);
    // Plays every row up to `time_s` seconds of the record's time.
    void play_until(world_class& world, double time_s);
    // Plays the record's next moment: the rows up to and including the next set of poses.
    void play_next(world_class& world);
    bool finished() const { return finished_; }

    std::uint64_t pose_rows() const { return pose_rows_; }
    std::uint64_t rows_skipped() const { return reader_.rows_skipped(); }
    const std::string& file_name() const { return file_; }

private:
    bool fetch();
    void apply(world_class& world, const record_row& row);
    void place(world_class& world, const record_row& row);

    record_reader reader_;
    std::string file_, world_file_;
    std::vector<std::string> names_;
    std::vector<bool> auto_;
    // Robots by name: the n-th pose of a name at one time is the n-th robot of that name.
    std::unordered_map<std::string, std::vector<unsigned>> by_name_;
    std::unordered_map<std::string, unsigned> seen_at_time_;
    double seen_time_ = -1;
    record_row pending_;
    bool have_pending_ = false, finished_ = false;
    std::uint64_t pose_rows_ = 0;
};
