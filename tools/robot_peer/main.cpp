// robot_peer: stands in for the swarm's robots on this machine. It serves the robots'
// control links and camera links so that the controller can connect, drive, read telemetry
// and watch camera frames without hardware, and it can misbehave on purpose to exercise the
// controller's error handling.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

#include "tools/robot_peer/server.h"
#include "tools/robot_peer/settings.h"

using namespace robot_peer;

namespace {

bool read_whole_file(const std::string& name, std::string& text) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

robot_endpoint endpoint(const std::string& name, int port, std::size_t index) {
    robot_endpoint r;
    r.name = name;
    r.port = port;
    r.sim = robot_sim(static_cast<double>(index) * 2.0 * std::numbers::pi / 7.0);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    hold_stop_signals();

    std::vector<std::string> args(argv + 1, argv + argc);
    parsed_options parsed = parse_options(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "robot_peer: %s\n%s", parsed.error.c_str(), usage_text().c_str());
        return 2;
    }
    if (parsed.help) {
        std::printf("%s", usage_text().c_str());
        return 0;
    }
    const options& opts = parsed.opts;

    std::vector<robot_endpoint> robots;
    for (int port : opts.ports) robots.push_back(endpoint("robot", port, robots.size()));

    if (opts.ports.empty() || opts.config_given) {
        std::string text;
        if (!read_whole_file(opts.config, text)) {
            std::fprintf(stderr, "robot_peer: cannot read the robot list %s\n", opts.config.c_str());
            return 1;
        }
        for (const robot_record& rec : parse_robot_list(text)) {
            if (!is_local_host(rec.host)) continue;
            if (rec.port < 1 || rec.port > 65535) {
                std::fprintf(stderr, "robot_peer: %s in %s has no usable port (%ld); not served\n",
                             rec.name.c_str(), opts.config.c_str(), rec.port);
                continue;
            }
            robots.push_back(endpoint(rec.name, static_cast<int>(rec.port), robots.size()));
        }
        if (robots.empty()) {
            std::fprintf(stderr, "robot_peer: no robot on 127.0.0.1 or localhost in %s\n", opts.config.c_str());
            return 1;
        }
    }

    peer_server server(opts, std::move(robots));
    if (server.listen_all() == 0) {
        std::fprintf(stderr, "robot_peer: no port could be opened\n");
        return 1;
    }
    return server.run();
}
