// TNS's all-pole filter of the exact arithmetic with NEON, bit-exact with
// its reference (tns_ar_q24, dsp/tns.cpp).
//
// Filters up to 12 taps long (the longest a long window's filter of the
// low-complexity profile) keep their coefficients in three registers,
// reversed and padded with zeros to 12, so that each output's sum is six
// VMLAL.S32 over the last twelve outputs, loaded straight from a local
// window: two 64-bit sums, the first started from the rounding term 2^23
// (the sum is modulo 2^64 as the reference's, whose rounding adds the same
// term modulo 2^64), added, shifted down by 24 with saturation (VQSHRN),
// subtracted from the line with saturation (VQSUB). The window holds twelve
// outputs before a block of 64; the last twelve move to its start for the
// next block. Longer filters take the reference.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/tools.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

void tns_ar_q24_neon(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order) {
    constexpr int kTaps = 12, kBlock = 64;
    if (order > kTaps) {
        tns_ar_q24(spectrum, size, inc, a_q24, order);
        return;
    }
    // c[i] multiplies y[n - (12 - i)].
    int32_t c[kTaps] = {};
    for (int j = 1; j <= order; ++j) c[kTaps - j] = a_q24[j];
    const int32x4_t c0 = vld1q_s32(c), c1 = vld1q_s32(c + 4), c2 = vld1q_s32(c + 8);
    const int64x2_t bias = vcombine_s64(vcreate_s64(UINT64_C(1) << 23), vcreate_s64(0));
    int32_t window[kTaps + kBlock];
    const int32x4_t zero = vdupq_n_s32(0);
    vst1q_s32(window, zero), vst1q_s32(window + 4, zero), vst1q_s32(window + 8, zero);
    int32_t* x = inc > 0 ? spectrum : spectrum + size - 1;
    for (int left = size; left > 0;) {
        const int m = left < kBlock ? left : kBlock;
        int32_t* y = window + kTaps;
        for (int n = 0; n < m; ++n, x += inc, ++y) {
            const int32x4_t h0 = vld1q_s32(y - 12), h1 = vld1q_s32(y - 8), h2 = vld1q_s32(y - 4);
            int64x2_t acc = vmlal_s32(bias, vget_low_s32(h0), vget_low_s32(c0));
            acc = vmlal_s32(acc, vget_high_s32(h0), vget_high_s32(c0));
            acc = vmlal_s32(acc, vget_low_s32(h1), vget_low_s32(c1));
            acc = vmlal_s32(acc, vget_high_s32(h1), vget_high_s32(c1));
            acc = vmlal_s32(acc, vget_low_s32(h2), vget_low_s32(c2));
            acc = vmlal_s32(acc, vget_high_s32(h2), vget_high_s32(c2));
            const int64x1_t sum = vadd_s64(vget_low_s64(acc), vget_high_s64(acc));
            const int32x2_t r = vqshrn_n_s64(vcombine_s64(sum, sum), 24);
            const int32x2_t v = vqsub_s32(vld1_dup_s32(x), r);
            vst1_lane_s32(x, v, 0);
            vst1_lane_s32(y, v, 0);
        }
        left -= m;
        if (left > 0) {
            vst1q_s32(window, vld1q_s32(window + m));
            vst1q_s32(window + 4, vld1q_s32(window + m + 4));
            vst1q_s32(window + 8, vld1q_s32(window + m + 8));
        }
    }
}

#pragma GCC pop_options

#endif
