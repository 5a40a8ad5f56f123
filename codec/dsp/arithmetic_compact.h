// The compact arithmetic's policy (AAC_ARITHMETIC=compact): 16-bit tables
// and a 16-bit time path at half of the PCM scale. Included by
// dsp/arithmetic.h in a build of this arithmetic, never on its own.
#pragma once

#include <cstdint>

inline constexpr bool kExactArithmetic = false;
// Its name, as a string literal.
#define AAC_ARITHMETIC_NAME "compact"

// One sample of a channel's overlap buffer (4096 bytes): 2048 samples at
// half of the PCM scale.
using OverlapSample = int16_t;
