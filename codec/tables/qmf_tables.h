// Tables of the SBR QMF banks (generated, see qmf_tables.cpp; the
// generator's header states each rule).
//
// qmf_window_q31[i]: the window c[i] of the QMF banks of ISO/IEC 14496-3
//   SBR, Q31, i = 0..639 (the 32-band analysis bank and the 32-band
//   synthesis bank take every second one).
// qmf_rot_q31: cos and sin of pi m / 64, m = 0..63, interleaved, Q31: the
//   FFTs' twiddles and the pre- and post-rotations.
// qmf_fft_twiddle_q31: cos and sin of pi j / h, j = 0..h-1, for h = 4, 8,
//   16, 32 in a row (h at pair h - 4), Q31: the twiddles of the FFT stage of
//   half-span h, contiguous for the vector FFTs (qmf_rot_q31 at j 64 / h).
// qmf_analysis_post_q31: per band k = 0..31, F_k / 2 and G_k / 2 (re, im,
//   re, im), Q31: the analysis output X[k] = F_k Z[k] + G_k conj Z[31 - k]
//   from the FFT of the folded input.
// qmf_synthesis64_pre_q31 / qmf_synthesis32_pre_q31: per band k, the two
//   complex factors (re, im, re, im) of D[k] = P_k X[k] + Q_k conj X[M-1-k],
//   the FFT input of the synthesis banks, Q31.
#pragma once

#include <cstdint>

extern const int32_t qmf_window_q31[640];
extern const int32_t qmf_rot_q31[128];
extern const int32_t qmf_fft_twiddle_q31[120];
extern const int32_t qmf_analysis_post_q31[128];
extern const int32_t qmf_synthesis64_pre_q31[256];
extern const int32_t qmf_synthesis32_pre_q31[128];
