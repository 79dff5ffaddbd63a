// The control link's receive path: a byte stream arriving in pieces of any size, through the
// packet state machine and checksum test to the robot's telemetry fields.
#include <algorithm>

#include "console/robot_win.h"
#include "fuzz_context.h"
#include "link/robot_comm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::context& ctx = fuzz::shared();
    robot_comm_class* comm = ctx.robot->console->comm;
    fuzz::wire w;
    comm->control_socket = w.ours;
    comm->connected = true;
    std::size_t i = 0;
    while (i < size) {
        // Each piece is announced by one byte of the input: its length, 1 to 64.
        const std::size_t n = std::min<std::size_t>(1 + data[i] % 64, size - i - 1);
        ++i;
        if (n == 0) break;
        if (::send(w.theirs, data + i, n, MSG_NOSIGNAL) < 0) break;
        comm->read_server_data();
        i += n;
    }
    comm->control_socket = platform::invalid_socket;
    comm->connected = false;
    return 0;
}
