// The compact arithmetic's inverse MDCT, through an N/4-point complex FFT
// between a pre- and a post-twiddle, in place (dsp/imdct_compact.cpp), and
// the steps of its synthesis filter bank (dsp/synthesis_compact.cpp). Built
// only in that arithmetic.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"

// dsp/imdct_compact.cpp:
// z[k] = -(a + i b)(c - i s) / 32768 with a = x[2k], b = x[N/2-1-2k]:
// N/4 complex values from N/2 real ones, in place. Wraps, never saturates.
void aacdec_pre_twiddle_arm_opt(int32_t* in, int32_t* out, const uint32_t* table, int n);
// Forward complex FFT of n = 64 or 512 points, unscaled, in place; any
// direction other than -1 leaves the data alone.
void kvxdec_cfft(int32_t* data, int16_t n, int16_t direction, int16_t scale);
void kvxdec_dit_fft_no_scale(int32_t* data, int n);
// N/4 complex values to N half-scale samples: long (N = 2048) keeps bits
// 16..31 of the saturated doubling, short (N = 256) the low 16 bits of it
// shifted by 13.
void aacdec_post_twiddle_arm_opt(int32_t* data, int n, const uint32_t* table);
void aacdec_post_twiddle_arm_opt_short(int32_t* data, int n, const uint32_t* table);

// dsp/synthesis_compact.cpp:
// Block types: the transform size and the window kinds of its two halves.
enum : int16_t { BLOCK_LONG = 0, BLOCK_SHORT = 2, BLOCK_START = 6, BLOCK_STOP = 7 };

// Transforms one window in place and windows it.
// Input: N/2 coefficients (32 x the standard's spectral values), N = 2048 for
// block types 0, 6, 7, N = 256 for every other type.
// Output: N 16-bit samples at half of the PCM scale: the standard's inverse
// MDCT / 2, within about one unit. The long transform saturates at the
// post-twiddle's doubling; the short one keeps the low 16 bits.
// wnd_shape: [0] this block's window shape, [1] the previous transform's,
// which takes the value of [0] afterwards.
void kvxdec_ITransformBlock(int32_t* coef_in, int16_shared* time_out, int16_t block_type, uint16_t* wnd_shape);

// Window halves and their lengths, indexed by window_shape + 2 * kind.
extern const int16_t* const kvxdec_windowPtr[6];
extern const int32_t kvxdec_windowLeng[3];

// buf[i] = (buf[i] * win[i]) >> 15: a rising window half.
void misc1_aacFB(int16_shared* buf, const int16_t* win, int n);
// buf[i] = (buf[i] * win_last[-i]) >> 15: a falling half, read backwards.
void misc2_aacFB(int16_shared* buf, const int16_t* win_last, int n);

// Combining routines, 16-bit in and out.
void kvxdec_add_func_aacFB(const int16_shared* a, const int16_t* b, int16_shared* out, int n);
void kvxdec_add_func2_aacFB(const int16_shared* a, const int16_t* b, int16_t* out, int n);
void kvxdec_shift1_func_aacFB(int16_shared* out, const int16_shared* in, int n);
