#pragma once

// Length of the vector (x, y).
double vect_mag(double x, double y);

// Control link checksum: 8-bit sum of the bytes, wrapping modulo 256, no complement.
unsigned char get_checksum(const unsigned char* data, unsigned int length);
