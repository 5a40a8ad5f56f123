// Tables of the exact arithmetic (generated, see exact_tables.cpp; the
// generator's header states each rule).
//
// pow43_q18[x] = x^(4/3) in Q18, x = 0..512.
// cbrt2_q30[j] = 2^(j/3) in Q30; gain_q31[r] = 2^(r/4 - 1) in
//   Q31; is_gain_q30[r] = 2^(-r/4) in Q30.
// rsqrt_q30[j] = 1 / sqrt(x) in Q30 at the middle of x's interval
//   [(j + 32) / 32, (j + 33) / 32), j = 0..95: x from 1 to 4.
// tns_refl_q31[2 (c + 8) + r - 3]: the TNS reflection coefficient of
//   index c at resolution r bits, Q31.
// imdct_twiddle2048_q31 / imdct_twiddle256_q31: cos and sin of 2 pi (k + 1/8) / N, interleaved, Q31.
// fft_twiddle_q31: cos and sin of pi j / 256, j = 0..127, interleaved, Q31.
// fft_r4_twiddle_q31: the radix-4 passes' twiddles, per quarter-span L = 4,
//   16, 64 at word L - 4: cos and sin of pi j / L, of pi j / 2L and of
//   pi (j + L/2) / 2L, each a run of L/2 pairs, j = 0..L/2-1, Q31.
// bitrev512_even[i]: k = 2i with its nine bits reversed (even, below 256),
//   i = 0..127.
// Rising window halves in Q31: sine and Kaiser-Bessel-derived, long and short.
#pragma once

#include <cstdint>

extern const int32_t pow43_q18[513];
extern const int32_t cbrt2_q30[3];
extern const int32_t gain_q31[4];
extern const int32_t rsqrt_q30[96];
extern const int32_t is_gain_q30[4];
extern const int32_t tns_refl_q31[32];
extern const int32_t imdct_twiddle2048_q31[1024];
extern const int32_t imdct_twiddle256_q31[128];
extern const int32_t fft_twiddle_q31[256];
extern const int32_t fft_r4_twiddle_q31[252];
extern const uint8_t bitrev512_even[128];
extern const int32_t sine_long_q31[1024];
extern const int32_t sine_short_q31[128];
extern const int32_t kbd_long_q31[1024];
extern const int32_t kbd_short_q31[128];
