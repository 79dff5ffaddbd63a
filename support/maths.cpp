#include "support/maths.h"

#include <cmath>

unsigned char get_checksum(const unsigned char* data, unsigned int length) {
    unsigned char sum = 0;
    for (unsigned int i = 0; i < length; ++i) sum = static_cast<unsigned char>(sum + data[i]);
    return sum;
}

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace {
__attribute__((target("avx"))) void zero_upper() {
    _mm256_zeroupper();
}
}  // namespace

void clear_vector_upper() {
    static const bool avx = (__builtin_cpu_init(), __builtin_cpu_supports("avx"));
    if (avx) zero_upper();
}
#else
void clear_vector_upper() {}
#endif
