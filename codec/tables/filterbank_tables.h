// Tables of the synthesis filter bank (generated, see filterbank_tables.cpp).
//
// kvxdec_cs2048 / kvxdec_cs256: pre- and post-twiddles of the 2048- and
//   256-point inverse MDCT, one word per entry, low half c =
//   trunc(32767 cos(2 pi (k + 1/8) / N)), high half s = the same with sin.
// kvxdec_fftTwiddleTable4Arm: twiddles of the FFT's radix-2 stages, stage
//   after stage (half-span 4 .. 256, half a quadrant each), c low, s high,
//   Q15 with cos 1 held as 32767.
// kvxdec_tabBitrev512 / 64: bit-reversed index times 8.
// Window halves (rising, Q15), indexed through kvxdec_windowPtr by
//   window_shape + 2 * kind (kind 0 long, 1 short, 2 start/stop).
#pragma once

#include <cstdint>

extern const uint32_t kvxdec_cs2048[512];
extern const uint32_t kvxdec_cs256[64];
extern const uint32_t kvxdec_fftTwiddleTable4Arm[254];
extern const int16_t kvxdec_tabBitrev512[512];
extern const int16_t kvxdec_tabBitrev64[64];
extern const int16_t kvxdec_fhg_long[1024];
extern const int16_t kvxdec_dol_long[1024];
extern const int16_t kvxdec_fhg_short[128];
extern const int16_t kvxdec_dol_short[128];
extern const int16_t kvxdec_fhg_edler[1024];
extern const int16_t kvxdec_dol_edler[1024];
