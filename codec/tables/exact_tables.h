// Tables of the exact arithmetic (generated, see exact_tables.cpp; the
// generator's header states each rule).
//
// aacdec_pow43_q18[x] = x^(4/3) in Q18, x = 0..512.
// aacdec_cbrt2_q30[j] = 2^(j/3) in Q30; aacdec_gain_q31[r] = 2^(r/4 - 1) in
//   Q31; aacdec_is_gain_q30[r] = 2^(-r/4) in Q30.
// aacdec_tns_refl_q31[2 (c + 8) + r - 3]: the TNS reflection coefficient of
//   index c at resolution r bits, Q31.
// aacdec_imdct_tw2048 / 256: cos and sin of 2 pi (k + 1/8) / N, interleaved, Q31.
// aacdec_fft_tw: cos and sin of pi j / 256, j = 0..127, interleaved, Q31.
// aacdec_fft_r4_tw: the radix-4 passes' twiddles, per quarter-span L = 4,
//   16, 64 at word L - 4: cos and sin of pi j / L, of pi j / 2L and of
//   pi (j + L/2) / 2L, each a run of L/2 pairs, j = 0..L/2-1, Q31.
// aacdec_bitrev512[k]: k with its nine bits reversed.
// Rising window halves in Q31: sine and Kaiser-Bessel-derived, long and short.
#pragma once

#include <cstdint>

extern "C" {
extern const int32_t aacdec_pow43_q18[513];
extern const int32_t aacdec_cbrt2_q30[3];
extern const int32_t aacdec_gain_q31[4];
extern const int32_t aacdec_is_gain_q30[4];
extern const int32_t aacdec_tns_refl_q31[32];
extern const int32_t aacdec_imdct_tw2048[1024];
extern const int32_t aacdec_imdct_tw256[128];
extern const int32_t aacdec_fft_tw[256];
extern const int32_t aacdec_fft_r4_tw[252];
extern const uint16_t aacdec_bitrev512[512];
extern const int32_t aacdec_sine_long[1024];
extern const int32_t aacdec_sine_short[128];
extern const int32_t aacdec_kbd_long[1024];
extern const int32_t aacdec_kbd_short[128];
}
