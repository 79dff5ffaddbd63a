#include "support/maths.h"

#include <cmath>

unsigned char get_checksum(const unsigned char* data, unsigned int length) {
    unsigned char sum = 0;
    for (unsigned int i = 0; i < length; ++i) sum = static_cast<unsigned char>(sum + data[i]);
    return sum;
}
