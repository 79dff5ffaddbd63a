#pragma once

// Length of the vector (x, y).
double vect_mag(double x, double y);

// Control link checksum: 8-bit sum of the bytes, wrapping modulo 256, no complement.
unsigned char get_checksum(const unsigned char* data, unsigned int length);

// cos(a) and sin(a) within 1e-15 for |a| <= 64 (false beyond), at a fraction of the cost of the
// exact ones: enough to tell that a ray or a sensor certainly meets nothing, or which pixel a
// point certainly falls in, never to stand for the exact values where those are owed. What
// robots see of other robots' bodies is worked out from them.
bool rough_cos_sin(double a, double& c, double& s);
