// The run's record: one CSV file (RFC 4180) of what happened in a run, for replaying and plotting.
//
// A header line names the columns (record_column_names); every row has all of them, and its
// `kind` says which it fills:
//
//   world      file                        the world file the run loaded (absolute path)
//   robot      robot, mode                 one row per robot, in table order, before any pose
//   pose       time_s, robot, x, y, heading, speed, turn, mode, held
//   target     time_s, x, y                the target's new position
//   telemetry  time_s, robot, wall_s, wifi, ir, angle, vel_x, vel_y
//   command    time_s, robot, wall_s, bytes (hexadecimal, "30 80 80 80 80")
//
// time_s is simulated seconds since the record began, wall_s seconds on the wall clock since
// then; mode is "auto" or "manual", held 1 or 0. Numbers have a decimal point in every locale.
// Fields holding a comma, a quote or a line break are quoted, quotes doubled; lines end in CRLF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class record_column {
    kind, time_s, robot, x, y, heading, speed, turn, mode, held,
    wall_s, wifi, ir, angle, vel_x, vel_y, bytes, file, count
};
inline constexpr const char* record_column_names[] = {
    "kind", "time_s", "robot", "x", "y", "heading", "speed", "turn", "mode", "held",
    "wall_s", "wifi", "ir", "angle", "vel_x", "vel_y", "bytes", "file"};

// Writes a record through a buffer that goes to the file at least once a second (when rows
// come, and at every flush() of the owner's one-second timer) and when the record closes. A
// failed write is logged once and ends the record; the run goes on.
class record_writer {
public:
    // Buffered rows beyond this go out at once, however recent the last write.
    static constexpr std::size_t flush_bytes = std::size_t{1} << 20;

    record_writer() = default;
    ~record_writer();
    record_writer(const record_writer&) = delete;
    record_writer& operator=(const record_writer&) = delete;

    // Creates or empties the file and writes the header; the record's clocks start now. A file
    // that exists must be a regular file. False with the reason when it cannot be opened.
    bool open(const char* file_name, std::string& reason);
    // Writes out what is buffered and closes the file.
    void close();
    bool is_open() const { return fd_ >= 0; }

    void world(const char* file_name);
    void robot(const char* name, bool auto_mode);
    void pose(const char* name, double x, double y, double heading, double speed, double turn, bool auto_mode,
              bool held);
    void target(double x, double y);
    void telemetry(const char* name, double wifi, double ir, double angle, double vel_x, double vel_y);
    void command(const char* name, const unsigned char* bytes, std::size_t count);

    // Writes out what is buffered.
    void flush();
    // Writes out what is buffered when the last write-out was a second ago or more.
    void flush_if_due();
    // Bytes that reached the file.
    std::uint64_t bytes_written() const { return written_; }

private:
    void begin(const char* kind);
    void put(record_column column);
    void put_number(record_column column, double value, int decimals);
    void put_text(record_column column, std::string_view text);
    void end();
    void fail(const char* reason);

    int fd_ = -1;
    std::string name_;
    std::string buffer_;
    int column_ = 0;
    double sim_start_ = 0, wall_start_ = 0, last_flush_ = 0;
    std::uint64_t written_ = 0;
};

// The process-wide record every part of the program writes to; closed (and every call a no-op)
// unless the application opened it.
record_writer& run_record();

// One good row of a record, its fields read; columns a row does not use keep their defaults.
struct record_row {
    std::string kind, robot, bytes, file;
    double time_s = 0, wall_s = 0, x = 0, y = 0, heading = 0, speed = 0, turn = 0;
    double wifi = 0, ir = 0, angle = 0, vel_x = 0, vel_y = 0;
    bool auto_mode = false, held = false;
    // The line of the file the row starts on, as an editor counts them.
    std::uint64_t line = 0;
};

// Reads a record row by row without holding it all. Rows that are not well formed (a wrong
// number of fields, a number that is not one, an unknown kind, a row longer than max_row_bytes)
// are logged with their line and skipped; reading goes on with the next row.
class record_reader {
public:
    static constexpr std::size_t max_row_bytes = 16384;
    // Skipped rows logged one by one; after that they are only counted.
    static constexpr std::uint64_t max_rows_logged = 100;

    record_reader() = default;
    ~record_reader();
    record_reader(const record_reader&) = delete;
    record_reader& operator=(const record_reader&) = delete;

    // Opens a regular file and reads its header, which must name the columns kind and time_s.
    bool open(const char* file_name, std::string& reason);
    // The next good row; false at the end of the file.
    bool next(record_row& row);
    // Logs a row the reader's user refuses, as the reader logs its own.
    void skip(const record_row& row, const char* format, ...) __attribute__((format(printf, 3, 4)));
    std::uint64_t rows_skipped() const { return skipped_; }

private:
    bool refill();
    int get();
    int peek();
    // The next row's fields; false at the end of the file. `problem` is set for a row that
    // cannot be read as one.
    bool read_fields(std::vector<std::string>& fields, std::string& problem);
    bool parse(const std::vector<std::string>& fields, record_row& row, std::string& problem) const;
    void log_skip(std::uint64_t line, const std::string& problem);

    int fd_ = -1;
    std::string name_;
    std::vector<char> chunk_;
    std::size_t at_ = 0, filled_ = 0;
    bool eof_ = false;
    std::uint64_t line_ = 1, row_line_ = 1;
    int columns_ = 0;
    int index_[static_cast<int>(record_column::count)] = {};  // header position of each column, -1 when absent
    std::uint64_t skipped_ = 0;
};
