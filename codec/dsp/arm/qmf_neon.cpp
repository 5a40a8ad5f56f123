// The SBR QMF banks with NEON (32-bit ARM): the windows (the analysis's
// folding and the synthesis's sum of ten blocks), the synthesis's
// post-rotation and the analysis's post-step four values at a time, with
// real and imaginary parts in separate registers (VLD2Q/VLD4Q); the other
// steps are the reference's (dsp/qmf_steps.h), built for NEON. Bit-exact
// with the reference: every product is a 64-bit VMULL/VMLAL (sums modulo
// 2^64, as fx::mac64; none of them comes near the limit, so the rounding
// below never meets a wrapped sum), the rounding shifts by a constant are
// VRSHRN (rshr64) and VQRSHRN (rshr64_sat), by a count known at run time
// VRSHL by minus the count, then VMOVN or VQMOVN.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/qmf_variants.h"
#include "tables/qmf_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

#include "dsp/arm/quad_neon.h"
#include "dsp/qmf_steps.h"

namespace {

#define NEON_INLINE __attribute__((always_inline)) inline

// Products of four lanes in two 64-bit halves.
struct Acc {
    int64x2_t lo, hi;
};
NEON_INLINE Acc mul(int32x4_t a, int32x4_t b) {
    return {vmull_s32(vget_low_s32(a), vget_low_s32(b)), vmull_s32(vget_high_s32(a), vget_high_s32(b))};
}
NEON_INLINE Acc mla(Acc acc, int32x4_t a, int32x4_t b) {
    return {vmlal_s32(acc.lo, vget_low_s32(a), vget_low_s32(b)), vmlal_s32(acc.hi, vget_high_s32(a), vget_high_s32(b))};
}
// fx::rshr64_sat of the four sums by -minus_n.
NEON_INLINE int32x4_t rshr_sat(Acc acc, int64x2_t minus_n) {
    return vcombine_s32(vqmovn_s64(vrshlq_s64(acc.lo, minus_n)), vqmovn_s64(vrshlq_s64(acc.hi, minus_n)));
}

struct NeonSteps : qmf::ScalarSteps {
    static void analysis_window(const int32_t* const* blk, int32_t* u) {
        for (int n = 0; n < 64; n += 4) {
            const int half = n >> 5, r = n & 31;
            Acc acc = mul(vld1q_s32(blk[half] + r), vld2q_s32(qmf_window_q31 + 2 * n).val[0]);
            for (int j = 1; j < 5; ++j)
                acc = mla(acc, vld1q_s32(blk[2 * j + half] + r), vld2q_s32(qmf_window_q31 + 2 * (n + 64 * j)).val[0]);
            vst1q_s32(u + n, vcombine_s32(vrshrn_n_s64(acc.lo, 32), vrshrn_n_s64(acc.hi, 32)));
        }
    }

    template <int kBits>
    static void synthesis_window(const int32_t* const* blk, int32_t* out) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        for (int k = 0; k < bands; k += 4) {
            Acc acc{vdupq_n_s64(0), vdupq_n_s64(0)};
            for (int i = 0; i < qmf::kBlocks; ++i) {
                const int32_t* c = qmf_window_q31 + step * (bands * i + k);
                acc = mla(acc, vld1q_s32(blk[i] + k), step == 1 ? vld1q_s32(c) : vld2q_s32(c).val[0]);
            }
            vst1q_s32(out + k, vcombine_s32(vqrshrn_n_s64(acc.lo, 30), vqrshrn_n_s64(acc.hi, 30)));
        }
    }

    // re c - im s and re s + im c of four points.
    template <int kBits>
    static void synthesis_post(const int32_t* d, int s, int32_t* nv) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const int64x2_t minus_n = vdupq_n_s64(-(30 + s));
        for (int m = 0; m < bands; m += 4) {
            const int32x4x2_t z = vld2q_s32(d + 2 * m);
            int32x4_t c, sn;
            if (step == 1) {
                const int32x4x2_t t = vld2q_s32(qmf_rot_q31 + 2 * m);
                c = t.val[0], sn = t.val[1];
            } else {
                const int32x4x4_t t = vld4q_s32(qmf_rot_q31 + 4 * m);
                c = t.val[0], sn = t.val[1];
            }
            const int32x4_t re = rshr_sat(mla(mul(z.val[0], c), vnegq_s32(z.val[1]), sn), minus_n);
            const int32x4_t im = rshr_sat(mla(mul(z.val[0], sn), z.val[1], c), minus_n);
            vst2q_s32(nv + 2 * m, int32x4x2_t{{re, im}});
        }
    }

    // Bands k .. k+3: re = f0 ar - f1 ai + f2 br + f3 bi and
    // im = f1 ar + f0 ai + f3 br - f2 bi, (ar, ai) = Z[k], (br, bi) = Z[31-k].
    static void analysis_post(const int32_t* z, int s, int32_t* re, int32_t* im) {
        const int64x2_t minus_n = vdupq_n_s64(-(37 + s));
        for (int k = 0; k < 32; k += 4) {
            const int32x4x2_t a = vld2q_s32(z + 2 * k);
            const int32x4x2_t b4 = vld2q_s32(z + 2 * (28 - k));
            const int32x4_t br = neon::rev4(b4.val[0]), bi = neon::rev4(b4.val[1]);
            const int32x4x4_t f = vld4q_s32(qmf_analysis_post_q31 + 4 * k);
            Acc r = mla(mla(mla(mul(f.val[0], a.val[0]), vnegq_s32(f.val[1]), a.val[1]), f.val[2], br), f.val[3], bi);
            Acc i = mla(mla(mla(mul(f.val[0], a.val[1]), f.val[1], a.val[0]), f.val[3], br), vnegq_s32(f.val[2]), bi);
            vst1q_s32(re + k, rshr_sat(r, minus_n));
            vst1q_s32(im + k, rshr_sat(i, minus_n));
        }
    }
};

}  // namespace

void qmf_analysis32_neon(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<NeonSteps>(state, in, re, im);
}

void qmf_synthesis64_neon(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<NeonSteps, 6>(&state->newest, state->v, re, im, out);
}

void qmf_synthesis32_neon(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<NeonSteps, 5>(&state->newest, state->v, re, im, out);
}

#pragma GCC pop_options

#endif
