// The downmix's sums of SBR subband samples with NEON (32-bit ARM), four
// subbands a step (dsp/mix_rows.h): VQRDMULH of a sample by the doubled
// gain is (2 x 2g + 2^31) >> 32 = (x g + 2^29) >> 30, saturated, which is
// fx::mul_shift_sat(x, g, 30) (both saturate only x = INT32_MIN at
// g = -2^30); VQADD adds it with saturation. A gain of 2^30, whose double
// does not fit, adds the samples themselves (their product by 2^30,
// shifted back). A row's last one to three subbands are the reference's.
//
// Only this file's functions use NEON (a target pragma after the common
// headers); select_kernels puts them in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/fixed.h"
#include "dsp/mix_rows.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

void mix_rows_q30_neon(int32_t* sum, const int32_t* x, int rows, int width, int32_t gain) {
    const bool unit = gain == INT32_C(1) << 30;
    const int32x4_t g2 = vdupq_n_s32(unit ? 0 : fx::add_wrap(gain, gain));
    const int wide = width & ~3;
    for (int r = 0; r < rows; ++r, sum += 64, x += 64) {
        for (int k = 0; k < wide; k += 4) {
            const int32x4_t v = vld1q_s32(x + k);
            vst1q_s32(sum + k, vqaddq_s32(vld1q_s32(sum + k), unit ? v : vqrdmulhq_s32(v, g2)));
        }
        if (wide < width) mix_rows_q30(sum + wide, x + wide, 1, width - wide, gain);
    }
}

#pragma GCC pop_options

#endif
