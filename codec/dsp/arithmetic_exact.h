// The exact arithmetic's policy (AAC_ARITHMETIC=exact): 32-bit coefficients
// and time samples, rounded products of 32-bit tables; the PCM matches a
// double-precision decode to the 16-bit LSB. Included by dsp/arithmetic.h
// in a build of this arithmetic, never on its own.
#pragma once

#include <cstdint>

inline constexpr bool kExactArithmetic = true;
// Its name, as a string literal.
#define AAC_ARITHMETIC_NAME "exact"

// One sample of a channel's overlap buffer (4096 bytes): 1024 samples in
// Q12, 4096 to one PCM step.
using OverlapSample = int32_t;
