#pragma once

// Our own 15-bit generator (the classic portable linear congruential one), so that a run
// from a given seed repeats bit for bit on every platform and library.
int rand15();  // 0 to 32767
void srand15(unsigned seed);

// Uniform value from min to max, both included: min + (max - min) * r / 32767.
// min may be above max.
double f_rand(double min, double max);

// Seeds the generator from the calendar time in whole seconds, or from the override
// once one has been set (the --seed option).
void rand_seed();
void set_seed_override(unsigned seed);
void clear_seed_override();  // back to the calendar time
