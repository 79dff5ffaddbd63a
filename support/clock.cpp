#include "support/clock.h"

#include <chrono>

namespace {

double step = 0.0;
double sim_clock = 1000.0;

}  // namespace

double get_wall_time() {
    using seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double get_time() {
    return step > 0.0 ? sim_clock : get_wall_time();
}

void set_fixed_step(double step_seconds) {
    step = step_seconds > 0.0 ? step_seconds : 0.0;
}

double fixed_step() {
    return step;
}

void advance_sim_clock() {
    if (step > 0.0) sim_clock += step;
}

void set_sim_clock(double seconds) {
    sim_clock = seconds;
}
