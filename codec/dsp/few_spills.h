// FEW_SPILLS: a function attribute for the portable kernels' hottest loops.
// On 32-bit ARM, GCC's instruction scheduling before register allocation
// spreads the loads and products of such loops so far apart that their
// values no longer fit the 14 registers; without it they spill far less and
// take fewer instructions. (No effect elsewhere, nor on what they compute.)
#pragma once

#if defined(FEW_SPILLS)
#elif defined(__arm__) && !defined(__clang__)
#define FEW_SPILLS __attribute__((optimize("no-schedule-insns")))
#else
#define FEW_SPILLS
#endif
