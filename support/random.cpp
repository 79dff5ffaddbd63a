#include "support/random.h"

#include <cstdint>
#include <ctime>

namespace {

std::uint32_t state = 1;
bool has_seed_override = false;
unsigned seed_override = 0;

}  // namespace

int rand15() {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state / 65536u) % 32768u);
}

void srand15(unsigned seed) {
    state = seed;
}

double f_rand(double min, double max) {
    int r = rand15();
    return min + (max - min) * r / 32767;
}

void rand_seed() {
    if (has_seed_override)
        srand15(seed_override);
    else
        srand15(static_cast<unsigned>(std::time(nullptr)));
}

void set_seed_override(unsigned seed) {
    has_seed_override = true;
    seed_override = seed;
}

void clear_seed_override() {
    has_seed_override = false;
}
