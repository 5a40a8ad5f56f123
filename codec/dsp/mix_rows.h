// The stereo downmix's sums of SBR subband samples: one channel's rows of
// subband samples (real or imaginary parts, 64 words a row) scaled by its
// gain for an output and added into that output's rows of sums.
#pragma once

#include <cstdint>

// sum[64 r + k] = add_sat(sum[64 r + k], mul_shift_sat(x[64 r + k], gain, 30))
// for r < rows, k < width (width <= 64): the gain Q30, within
// [-2^30, 2^30] (a downmix gain is at most 1).
void mix_rows_q30(int32_t* sum, const int32_t* x, int rows, int width, int32_t gain);
// The same with AVX2, eight subbands a step (dsp/x86/sat_avx2.h); a gain of
// -2^30, whose product alone can leave 32 bits, goes to the reference.
void mix_rows_q30_avx2(int32_t* sum, const int32_t* x, int rows, int width, int32_t gain);
// The same with NEON, four subbands a step: VQRDMULH by the doubled gain is
// the rounded, saturated product by 2^-30; a gain of 2^30, whose double
// does not fit, adds the samples as they are (their product is themselves).
void mix_rows_q30_neon(int32_t* sum, const int32_t* x, int rows, int width, int32_t gain);
