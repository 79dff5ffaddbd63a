#include "support/record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "support/clock.h"
#include "support/files.h"
#include "support/log.h"

namespace {

constexpr int column_count = static_cast<int>(record_column::count);

bool needs_quotes(std::string_view text) {
    return text.find_first_of(",\"\r\n") != std::string_view::npos;
}

}  // namespace

// ---- Writing ----

record_writer::~record_writer() {
    close();
}

bool record_writer::open(const char* file_name, std::string& reason) {
    close();
    // Writing must never wait: a FIFO without a reader or a device is refused.
    struct stat st;
    if (::stat(file_name, &st) == 0 && !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    const int fd = ::open(file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        ::close(fd);
        return false;
    }
    fd_ = fd;
    name_ = file_name;
    buffer_.clear();
    written_ = 0;
    sim_start_ = get_time();
    wall_start_ = last_flush_ = get_wall_time();
    for (int c = 0; c < column_count; ++c) {
        if (c > 0) buffer_ += ',';
        buffer_ += record_column_names[c];
    }
    buffer_ += "\r\n";
    log("[Record] Recording to %s\n", file_name);
    return true;
}

void record_writer::close() {
    if (fd_ < 0) return;
    flush();
    if (fd_ >= 0 && ::close(fd_) != 0) {
        log("[Record] Unable to write %s: %s; the record ends here\n", name_.c_str(), std::strerror(errno));
    } else if (fd_ >= 0) {
        log("[Record] %s closed, %llu bytes\n", name_.c_str(), static_cast<unsigned long long>(written_));
    }
    fd_ = -1;
    buffer_.clear();
}

void record_writer::fail(const char* reason) {
    log("[Record] Unable to write %s: %s; the record ends here\n", name_.c_str(), reason);
    ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    buffer_.shrink_to_fit();
}

void record_writer::flush() {
    if (fd_ < 0) return;
    last_flush_ = get_wall_time();
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) continue;  // a regular file never refuses for long
        if (n <= 0) {
            fail(n < 0 ? std::strerror(errno) : "nothing written");
            return;
        }
        done += static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
    buffer_.clear();
}

void record_writer::flush_if_due() {
    if (fd_ >= 0 && (buffer_.size() >= flush_bytes || get_wall_time() - last_flush_ >= 1.0)) flush();
}

void record_writer::begin(const char* kind) {
    buffer_ += kind;
    column_ = 0;
}

void record_writer::put(record_column column) {
    const int c = static_cast<int>(column);
    while (column_ < c) {
        buffer_ += ',';
        ++column_;
    }
}

void record_writer::put_number(record_column column, double value, int decimals) {
    put(column);
    // A value that is not a number leaves the field empty: no reader would take "nan".
    if (!std::isfinite(value)) return;
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (r.ec == std::errc{}) buffer_.append(text, r.ptr);
}

void record_writer::put_text(record_column column, std::string_view text) {
    put(column);
    if (!needs_quotes(text)) {
        buffer_ += text;
        return;
    }
    buffer_ += '"';
    for (char ch : text) {
        if (ch == '"') buffer_ += '"';
        buffer_ += ch;
    }
    buffer_ += '"';
}

void record_writer::end() {
    put(record_column::file);
    buffer_ += "\r\n";
    if (buffer_.size() >= flush_bytes) flush();
}

void record_writer::world(const char* file_name) {
    if (fd_ < 0) return;
    begin("world");
    put_number(record_column::time_s, get_time() - sim_start_, 3);
    put_text(record_column::file, file_name);
    end();
}

void record_writer::robot(const char* name, bool auto_mode) {
    if (fd_ < 0) return;
    begin("robot");
    put_number(record_column::time_s, get_time() - sim_start_, 3);
    put_text(record_column::robot, name);
    put_text(record_column::mode, auto_mode ? "auto" : "manual");
    end();
}

void record_writer::pose(const char* name, double x, double y, double heading, double speed, double turn,
                         bool auto_mode, bool held) {
    if (fd_ < 0) return;
    begin("pose");
    put_number(record_column::time_s, get_time() - sim_start_, 3);
    put_text(record_column::robot, name);
    put_number(record_column::x, x, 4);
    put_number(record_column::y, y, 4);
    put_number(record_column::heading, heading, 4);
    put_number(record_column::speed, speed, 3);
    put_number(record_column::turn, turn, 3);
    put_text(record_column::mode, auto_mode ? "auto" : "manual");
    put_text(record_column::held, held ? "1" : "0");
    end();
}

void record_writer::target(double x, double y) {
    if (fd_ < 0) return;
    begin("target");
    put_number(record_column::time_s, get_time() - sim_start_, 3);
    put_number(record_column::x, x, 4);
    put_number(record_column::y, y, 4);
    end();
}

void record_writer::telemetry(const char* name, double wifi, double ir, double angle, double vel_x, double vel_y) {
    if (fd_ < 0) return;
    begin("telemetry");
    put_number(record_column::time_s, get_time() - sim_start_, 3);
    put_text(record_column::robot, name);
    put_number(record_column::wall_s, get_wall_time() - wall_start_, 3);
    put_number(record_column::wifi, wifi, 2);
    put_number(record_column::ir, ir, 3);
    put_number(record_column::angle, angle, 3);
    put_number(record_column::vel_x, vel_x, 4);
    put_number(record_column::vel_y, vel_y, 4);
    end();
}

void record_writer::command(const char* name, const unsigned char* bytes, std::size_t count) {
    if (fd_ < 0) return;
    begin("command");
    put_number(record_column::time_s, get_time() - sim_start_, 3);
    put_text(record_column::robot, name);
    put_number(record_column::wall_s, get_wall_time() - wall_start_, 3);
    put(record_column::bytes);
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) buffer_ += ' ';
        buffer_ += hex[bytes[i] >> 4];
        buffer_ += hex[bytes[i] & 15];
    }
    end();
}

record_writer& run_record() {
    static record_writer the_record;
    return the_record;
}

// ---- Reading ----

record_reader::~record_reader() {
    if (fd_ >= 0) ::close(fd_);
}

bool record_reader::refill() {
    if (eof_) return false;
    at_ = filled_ = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, chunk_.data(), chunk_.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) log("[Replay] Unable to read %s: %s\n", name_.c_str(), std::strerror(errno));
            eof_ = true;
            return false;
        }
        filled_ = static_cast<std::size_t>(n);
        return true;
    }
}

int record_reader::peek() {
    if (at_ == filled_ && !refill()) return -1;
    return static_cast<unsigned char>(chunk_[at_]);
}

int record_reader::get() {
    if (at_ == filled_ && !refill()) return -1;
    const int c = static_cast<unsigned char>(chunk_[at_++]);
    // Line numbers as an editor shows them: CR, LF and CRLF each end one line.
    if (c == '\n' || (c == '\r' && peek() != '\n')) ++line_;
    return c;
}

bool record_reader::read_fields(std::vector<std::string>& fields, std::string& problem) {
    fields.clear();
    problem.clear();
    row_line_ = line_;
    int c = get();
    if (c < 0) return false;
    std::string field;
    std::size_t bytes = 0;
    bool quoted = false, closed = false, too_long = false;
    for (;; c = get()) {
        if (c >= 0 && ++bytes > max_row_bytes && !too_long) {
            too_long = true;
            problem = "longer than " + std::to_string(max_row_bytes) + " bytes";
        }
        if (too_long) {
            // Read on to the next line break whatever the quotes say, so that one stray quote
            // costs no more than this row.
            if (c < 0 || c == '\n') break;
            if (c == '\r') {
                if (peek() == '\n') get();
                break;
            }
            continue;
        }
        if (quoted) {
            if (c < 0) {
                problem = "a quoted field is not closed";
                break;
            }
            if (c == '"') {
                if (peek() == '"') {
                    get();
                    field += '"';
                } else {
                    quoted = false;
                    closed = true;
                }
            } else {
                field += static_cast<char>(c);
            }
            continue;
        }
        if (c < 0 || c == '\n' || c == '\r' || c == ',') {
            fields.push_back(std::move(field));
            field.clear();
            closed = false;
            if (c == ',') continue;
            if (c == '\r' && peek() == '\n') get();
            break;
        }
        if (c == '"' && field.empty() && !closed) {
            quoted = true;
        } else if (c == '"' || closed) {
            if (problem.empty()) problem = closed ? "text after a quoted field" : "a quote in the middle of a field";
            field += static_cast<char>(c);
        } else {
            field += static_cast<char>(c);
        }
    }
    return true;
}

bool record_reader::open(const char* file_name, std::string& reason) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = open_regular_file(file_name, std::numeric_limits<std::size_t>::max(), reason);
    if (fd_ < 0) return false;
    name_ = file_name;
    chunk_.assign(65536, 0);
    at_ = filled_ = 0;
    eof_ = false;
    line_ = 1;
    skipped_ = 0;
    std::vector<std::string> header;
    std::string problem;
    if (!read_fields(header, problem) || !problem.empty()) {
        reason = problem.empty() ? "empty" : "its header is " + problem;
        return false;
    }
    // A spreadsheet that saved the record may have put a byte order mark in front.
    if (header[0].rfind("\xEF\xBB\xBF", 0) == 0) header[0].erase(0, 3);
    columns_ = static_cast<int>(header.size());
    for (int c = 0; c < column_count; ++c) {
        index_[c] = -1;
        for (int h = 0; h < columns_; ++h)
            if (header[static_cast<std::size_t>(h)] == record_column_names[c]) index_[c] = h;
    }
    if (index_[static_cast<int>(record_column::kind)] < 0 || index_[static_cast<int>(record_column::time_s)] < 0) {
        reason = "its first line does not name the columns kind and time_s";
        return false;
    }
    return true;
}

bool record_reader::parse(const std::vector<std::string>& fields, record_row& row, std::string& problem) const {
    if (static_cast<int>(fields.size()) != columns_) {
        problem = "it has " + std::to_string(fields.size()) + " fields, not " + std::to_string(columns_);
        return false;
    }
    auto text = [&](record_column c) -> const std::string& {
        static const std::string none;
        const int i = index_[static_cast<int>(c)];
        return i < 0 ? none : fields[static_cast<std::size_t>(i)];
    };
    // A number the row's kind needs; an optional one may be left empty.
    auto number = [&](record_column c, double& out, bool required) {
        const std::string& t = text(c);
        if (t.empty() && !required) return true;
        if (read_number(t, out)) return true;
        problem = std::string(record_column_names[static_cast<int>(c)]) + " '" + t.substr(0, 40) + "' is not a number";
        return false;
    };
    auto needs_text = [&](record_column c, std::string& out) {
        out = text(c);
        if (!out.empty()) return true;
        problem = std::string(record_column_names[static_cast<int>(c)]) + " is empty";
        return false;
    };
    auto mode = [&]() {
        const std::string& t = text(record_column::mode);
        row.auto_mode = t == "auto";
        if (t.empty() || t == "auto" || t == "manual") return true;
        problem = "mode '" + t.substr(0, 40) + "' is neither auto nor manual";
        return false;
    };

    row = record_row{};
    row.line = row_line_;
    row.kind = text(record_column::kind);
    using C = record_column;
    if (row.kind == "world") return needs_text(C::file, row.file);
    if (row.kind == "robot") return needs_text(C::robot, row.robot) && mode();
    if (!number(C::time_s, row.time_s, true)) return false;
    if (row.kind == "target") return number(C::x, row.x, true) && number(C::y, row.y, true);
    if (row.kind == "pose") {
        if (!needs_text(C::robot, row.robot) || !number(C::x, row.x, true) || !number(C::y, row.y, true) ||
            !number(C::heading, row.heading, true) || !number(C::speed, row.speed, false) ||
            !number(C::turn, row.turn, false) || !mode())
            return false;
        const std::string& held = text(C::held);
        row.held = held == "1";
        if (held.empty() || held == "0" || held == "1") return true;
        problem = "held '" + held.substr(0, 40) + "' is neither 0 nor 1";
        return false;
    }
    if (row.kind == "telemetry")
        return needs_text(C::robot, row.robot) && number(C::wall_s, row.wall_s, false) &&
               number(C::wifi, row.wifi, true) && number(C::ir, row.ir, true) && number(C::angle, row.angle, true) &&
               number(C::vel_x, row.vel_x, true) && number(C::vel_y, row.vel_y, true);
    if (row.kind == "command") {
        row.bytes = text(C::bytes);
        return needs_text(C::robot, row.robot) && number(C::wall_s, row.wall_s, false);
    }
    problem = "unknown kind '" + row.kind.substr(0, 40) + "'";
    return false;
}

void record_reader::log_skip(std::uint64_t line, const std::string& problem) {
    ++skipped_;
    if (skipped_ <= max_rows_logged)
        log("[Replay] %s line %llu skipped: %s\n", name_.c_str(), static_cast<unsigned long long>(line),
            problem.c_str());
    if (skipped_ == max_rows_logged)
        log("[Replay] %s: further skipped rows are counted, not logged\n", name_.c_str());
}

void record_reader::skip(const record_row& row, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_skip(row.line, text);
}

bool record_reader::next(record_row& row) {
    if (fd_ < 0) return false;
    std::vector<std::string> fields;
    std::string problem;
    while (read_fields(fields, problem)) {
        // A blank line (a single empty field) is no row at all.
        if (problem.empty() && fields.size() == 1 && fields[0].empty() && columns_ > 1) continue;
        if (problem.empty() && parse(fields, row, problem)) return true;
        log_skip(row_line_, problem);
    }
    return false;
}
