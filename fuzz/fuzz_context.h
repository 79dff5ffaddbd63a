// What every fuzz target shares: a quiet working directory and one robot with its console and
// links, built once, without windows.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "robot/robot.h"
#include "world/world.h"

namespace fuzz {

// Runs in a private directory whose log.txt is /dev/null: the log is written as always, but a
// long fuzzing run does not fill the disk.
inline void quiet_directory() {
    static bool done = false;
    if (done) return;
    done = true;
    char pattern[] = "/tmp/swarm_fuzz_XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0) std::abort();
    if (symlink("/dev/null", "log.txt") != 0) std::abort();
}

// Puts the input into a file of the working directory, as a user would hand it over.
inline bool write_input(const char* name, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(name, "wb");
    if (!f) return false;
    std::fwrite(data, 1, size, f);
    return std::fclose(f) == 0;
}

struct context {
    world_class* world = nullptr;
    robot_class* robot = nullptr;
    context() {
        quiet_directory();
        world = new world_class(world_setup{100, 100, ""});
        robot = new robot_class(world, "fuzz", "127.0.0.1", 1, 0);
    }
};

inline context& shared() {
    static context* c = new context;
    return *c;
}

// A connected pair of local sockets standing in for a link's TCP connection.
struct wire {
    int ours = -1, theirs = -1;
    wire() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
        ours = sv[0];
        theirs = sv[1];
    }
    ~wire() {
        ::close(ours);
        ::close(theirs);
    }
    void drain() {
        char buf[4096];
        while (::recv(theirs, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }
};

}  // namespace fuzz
