#pragma once

// Seconds on the simulation's clock: the monotonic clock (arbitrary origin), or, while a
// fixed step is set, the simulation clock that advance_sim_clock() moves on by one step.
// Only differences between two results have a meaning.
double get_time();

// Seconds on the monotonic clock, whatever the step. The network links use this.
double get_wall_time();

// A positive step makes get_time() return the simulation clock; 0 or less returns to
// real time. The simulation clock keeps its value across switches and starts at 1000 s,
// so that 0 can keep meaning "never" for callers that use it as an idle marker.
void set_fixed_step(double step_seconds);
double fixed_step();

// Moves the simulation clock on by the step; does nothing without a fixed step.
void advance_sim_clock();

// Sets the simulation clock, so that worlds ticked in turn can each keep time of their own.
void set_sim_clock(double seconds);
