// Spectral tools with NEON, bit-exact with their references.
//
// Mid/side (mid_side_lines, dsp/stereo.cpp): four lines a register, VQADD
// and VQSUB.
//
// Noise substitution's band values (noise_lines_exact, dsp/pns.cpp): the
// generator in four lanes, lane j at line i + j, all four advanced four
// lines at once by a VMUL and a VADD (kNoiseMul4, kNoiseAdd4: the same
// numbers in the same order, modulo 2^32); each draw's low 16 bits (VMOVN)
// kept as 16-bit values and squared (VMULL) into two 64-bit sums (VPADAL; a
// last group of fewer than four lines draws the others as zero).
// The scale: four 64-bit products (below 2^47), shifted right with
// rounding (VRSHL by minus the shift adds the rounding term 2^(s-1) first,
// without overflow) and narrowed to their low words; shifts outside
// 15..62, where values may saturate, go to the reference's noise_scale.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/tools.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

void noise_lines_neon(int32_t* out, int n, int16_t energy, uint32_t seed) {
    int16_t v[kMaxNoiseLines];
    uint32_t x[4];
    for (uint32_t& l : x) l = seed = seed * kNoiseMul + kNoiseAdd;
    uint32x4_t lanes = vld1q_u32(x);
    const uint32x4_t mul = vdupq_n_u32(kNoiseMul4), add = vdupq_n_u32(kNoiseAdd4);
    int64x2_t sum = vdupq_n_s64(0);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const int16x4_t w = vreinterpret_s16_u16(vmovn_u32(lanes));
        vst1_s16(v + i, w);
        sum = vpadalq_s32(sum, vmull_s16(w, w));
        lanes = vaddq_u32(vmulq_u32(lanes, mul), add);
    }
    if (i < n) {  // the last one to three lines; the other lanes drawn as zero
        const uint16_t index[4] = {0, 1, 2, 3};
        int16x4_t w = vreinterpret_s16_u16(vmovn_u32(lanes));
        w = vbic_s16(w, vreinterpret_s16_u16(vcge_u16(vld1_u16(index), vdup_n_u16(static_cast<uint16_t>(n - i)))));
        vst1_s16(v + i, w);
        sum = vpadalq_s32(sum, vmull_s16(w, w));
    }
    const int64_t e = vgetq_lane_s64(sum, 0) + vgetq_lane_s64(sum, 1);
    if (e == 0) {  // an all-zero draw stays zero
        for (int k = 0; k < n; ++k) out[k] = 0;
        return;
    }
    const NoiseGain gain = noise_gain(e, energy);
    if (gain.shift < 15 || gain.shift > 62) return noise_scale(v, n, gain, out);
    const int32x2_t g = vdup_n_s32(gain.g);
    const int64x2_t right = vdupq_n_s64(-gain.shift);
    const int whole = n & ~3;
    for (int k = 0; k < whole; k += 4) {
        const int32x4_t w = vmovl_s16(vld1_s16(v + k));
        const int64x2_t lo = vrshlq_s64(vmull_s32(vget_low_s32(w), g), right);
        const int64x2_t hi = vrshlq_s64(vmull_s32(vget_high_s32(w), g), right);
        vst1q_s32(out + k, vcombine_s32(vmovn_s64(lo), vmovn_s64(hi)));
    }
    if (whole < n) noise_scale(v + whole, n - whole, gain, out + whole);
}

void mid_side_lines_neon(int32_t* left, int32_t* right, int n) {
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const int32x4_t l = vld1q_s32(left + k), r = vld1q_s32(right + k);
        vst1q_s32(left + k, vqaddq_s32(l, r));
        vst1q_s32(right + k, vqsubq_s32(l, r));
    }
    if (k < n) mid_side_lines(left + k, right + k, n - k);
}

#pragma GCC pop_options

#endif
