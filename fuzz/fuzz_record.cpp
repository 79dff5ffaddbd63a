// Run records: any bytes as a record to replay. Every row read is written again as the program
// writes records, and reads back as a row of the same kind and robot.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_context.h"
#include "support/record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quiet_directory();
    if (!fuzz::write_input("record.csv", data, size)) return 0;
    record_reader reader;
    std::string reason;
    if (!reader.open("record.csv", reason)) return 0;
    std::vector<record_row> rows;
    // Rows the writer can write as they are: numbers it does not cut to empty fields, texts
    // without a zero byte.
    bool writable = true;
    for (record_row row; reader.next(row);) {
        for (double v : {row.x, row.y, row.heading, row.speed, row.turn, row.wifi, row.ir, row.angle, row.vel_x,
                         row.vel_y})
            writable = writable && v > -1e15 && v < 1e15;
        for (const std::string* t : {&row.robot, &row.file}) writable = writable && t->find('\0') == std::string::npos;
        rows.push_back(row);
    }

    record_writer writer;
    if (!writer.open("again.csv", reason)) std::abort();
    for (const record_row& r : rows) {
        if (r.kind == "world") writer.world(r.file.c_str());
        if (r.kind == "robot") writer.robot(r.robot.c_str(), r.auto_mode);
        if (r.kind == "pose") writer.pose(r.robot.c_str(), r.x, r.y, r.heading, r.speed, r.turn, r.auto_mode, r.held);
        if (r.kind == "target") writer.target(r.x, r.y);
        if (r.kind == "telemetry") writer.telemetry(r.robot.c_str(), r.wifi, r.ir, r.angle, r.vel_x, r.vel_y);
        if (r.kind == "command") writer.command(r.robot.c_str(), nullptr, 0);
    }
    writer.close();
    record_reader again;
    if (!again.open("again.csv", reason)) std::abort();
    std::size_t i = 0;
    for (record_row row; again.next(row); ++i)
        if (writable && (i >= rows.size() || row.kind != rows[i].kind || row.robot != rows[i].robot ||
                         row.file != rows[i].file))
            std::abort();
    if (writable && (i != rows.size() || again.rows_skipped() != 0)) std::abort();
    return 0;
}
