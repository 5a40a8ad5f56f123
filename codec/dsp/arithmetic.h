// The decoder's arithmetic, chosen when it is built (AAC_ARITHMETIC):
//
// exact    32-bit coefficients and time samples, rounded products of 32-bit
//          tables: the PCM matches a double-precision decode to the 16-bit LSB.
// compact  16-bit tables and a 16-bit time path at half of the PCM scale.
//
// Records, sizes and interfaces are the same in both.
#pragma once

#include <cstdint>
#include <type_traits>

#ifndef AAC_ARITHMETIC_EXACT
#error "AAC_ARITHMETIC_EXACT must be defined by the build"
#endif

inline constexpr bool kExactArithmetic = AAC_ARITHMETIC_EXACT != 0;
// Its name, as a string literal.
#if AAC_ARITHMETIC_EXACT
#define AAC_ARITHMETIC_NAME "exact"
#else
#define AAC_ARITHMETIC_NAME "compact"
#endif

// One sample of a channel's overlap buffer (4096 bytes either way): 1024
// samples in Q12 (4096 = one PCM step) in exact, 2048 half-scale samples in
// compact.
using OverlapSample = std::conditional_t<kExactArithmetic, int32_t, int16_t>;
