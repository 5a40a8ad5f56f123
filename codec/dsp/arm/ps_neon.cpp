// Parametric stereo's hybrid analysis with NEON (32-bit ARM): a band's real
// and imaginary sums in the two 64-bit lanes of one register, each tap two
// VMLAL: (c_re, c_re) times (x_re, x_im) and (-c_im, c_im) times
// (x_im, x_re). Sums modulo 2^64 as the reference's; bit-exact with
// ps_hybrid_analysis.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/fixed.h"
#include "dsp/kernels.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

void ps_hybrid_analysis_neon(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                             const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                             int32_t* out_im) {
    constexpr int kTaps = 13;
    const int64x2_t bias = vdupq_n_s64(fx::round_bias64(31));
    for (int k = 0; k < bands; ++k) {
        const int q = qmf[k];
        int64x2_t acc = bias;
        for (int n = 0; n < kTaps; ++n) {
            const int32_t c_re = coef[k][n][0], c_im = coef[k][n][1];
            const int32_t x_re = rows_re[kTaps - 1 - n][q], x_im = rows_im[kTaps - 1 - n][q];
            const int32x2_t x = vset_lane_s32(x_im, vdup_n_s32(x_re), 1);    // x_re, x_im
            const int32x2_t xs = vset_lane_s32(x_re, vdup_n_s32(x_im), 1);   // x_im, x_re
            const int32x2_t c2 = vset_lane_s32(c_im, vdup_n_s32(fx::neg_wrap(c_im)), 1);  // -c_im, c_im
            acc = vmlal_s32(acc, vdup_n_s32(c_re), x);
            acc = vmlal_s32(acc, c2, xs);
        }
        out_re[k] = fx::sat32(vgetq_lane_s64(acc, 0) >> 31);
        out_im[k] = fx::sat32(vgetq_lane_s64(acc, 1) >> 31);
    }
}

#pragma GCC pop_options

#endif
