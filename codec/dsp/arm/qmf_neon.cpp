// The SBR QMF banks with NEON (32-bit ARM): the windows (the analysis's
// folding and the synthesis's products into its ten partial sums) and the
// rotations before and after the FFT four values at a time, with real and
// imaginary parts in separate registers (VLD2Q/VLD4Q, VST2Q lanes for the
// bit-reversed stores), and the FFT's stages after its first two; the rest
// is the reference's (dsp/qmf_steps.h), built for NEON. Bit-exact with the
// reference: every product is a 64-bit VMULL/VMLAL (sums modulo
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
// fx::rshr64_sat and fx::rshr64 of the four sums by -minus_n.
NEON_INLINE int32x4_t rshr_sat(Acc acc, int64x2_t minus_n) {
    return vcombine_s32(vqmovn_s64(vrshlq_s64(acc.lo, minus_n)), vqmovn_s64(vrshlq_s64(acc.hi, minus_n)));
}
NEON_INLINE int32x4_t rshr(Acc acc, int64x2_t minus_n) {
    return vcombine_s32(vmovn_s64(vrshlq_s64(acc.lo, minus_n)), vmovn_s64(vrshlq_s64(acc.hi, minus_n)));
}

// Four points (re, im) at word pairs at[0] .. at[3] of d.
NEON_INLINE void store_pairs(int32_t* d, const uint8_t* at, int32x4_t re, int32x4_t im) {
    const int32x4x2_t v{{re, im}};
    vst2q_lane_s32(d + 2 * at[0], v, 0);
    vst2q_lane_s32(d + 2 * at[1], v, 1);
    vst2q_lane_s32(d + 2 * at[2], v, 2);
    vst2q_lane_s32(d + 2 * at[3], v, 3);
}

// The four points m .. m+3 of z (interleaved) and their rotations by
// qmf_rot_q31 at kStep m ..: (re c - im s, re s + im c).
template <int kStep>
NEON_INLINE void rotate4(const int32_t* z, int m, Acc& re, Acc& im) {
    const int32x4x2_t v = vld2q_s32(z + 2 * m);
    int32x4_t c, sn;
    if (kStep == 1) {
        const int32x4x2_t t = vld2q_s32(qmf_rot_q31 + 2 * m);
        c = t.val[0], sn = t.val[1];
    } else {
        const int32x4x4_t t = vld4q_s32(qmf_rot_q31 + 4 * m);
        c = t.val[0], sn = t.val[1];
    }
    re = mla(mul(v.val[0], c), vnegq_s32(v.val[1]), sn);
    im = mla(mul(v.val[0], sn), v.val[1], c);
}

// The sums of four values of the form re = f0 ar - f1 ai + f2 br + f3 bi,
// im = f1 ar + f0 ai + f3 br - f2 bi: the analysis's post-step (a = Z[k],
// b = Z[31-k], F/2 = (f0, f1), G/2 = (f2, f3)) and the synthesis's pre-step
// (X[k], X[M-1-k], P, Q); the factors four words a value from f.
NEON_INLINE void bands4(int32x4_t ar, int32x4_t ai, int32x4_t br, int32x4_t bi, const int32_t* f, Acc& re, Acc& im) {
    const int32x4x4_t t = vld4q_s32(f);
    re = mla(mla(mla(mul(t.val[0], ar), vnegq_s32(t.val[1]), ai), t.val[2], br), t.val[3], bi);
    im = mla(mla(mla(mul(t.val[0], ai), t.val[1], ar), t.val[3], br), vnegq_s32(t.val[2]), bi);
}

struct NeonSteps : qmf::ScalarSteps {
    // The reference's first two stages, then each stage of half-span h >= 4
    // four points at a time, every twiddle a rotation (see qmf::fft_inverse):
    // re c - im s and re s + im c, each rounded at bit 31 (q31_sum).
    template <int kBits>
    static void fft(int32_t* buf) {
        constexpr int n = 1 << kBits;
        qmf::fft_first_stages<kBits>(buf);
        for (int h = 4; h < n; h *= 2) {
            const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (h - 4);
            for (int32_t* g = buf; g < buf + 2 * n; g += 4 * h)
                for (int j = 0; j < h; j += 4) {
                    const int32x4x2_t q = vld2q_s32(g + 2 * (h + j)), w = vld2q_s32(tw + 2 * j);
                    const int32x4_t tr = neon::q31_sum(q.val[0], w.val[0], vnegq_s32(q.val[1]), w.val[1]);
                    const int32x4_t ti = neon::q31_sum(q.val[0], w.val[1], q.val[1], w.val[0]);
                    const int32x4x2_t x = vld2q_s32(g + 2 * j);
                    vst2q_s32(g + 2 * j, int32x4x2_t{{vaddq_s32(x.val[0], tr), vaddq_s32(x.val[1], ti)}});
                    vst2q_s32(g + 2 * (h + j), int32x4x2_t{{vsubq_s32(x.val[0], tr), vsubq_s32(x.val[1], ti)}});
                }
        }
    }

    static void analysis_window(const int32_t* const* blk, int32_t* u) {
        for (int n = 0; n < 64; n += 4) {
            const int half = n >> 5, r = n & 31;
            Acc acc = mul(vld1q_s32(blk[half] + r), vld2q_s32(qmf_window_q31 + 2 * n).val[0]);
            for (int j = 1; j < 5; ++j)
                acc = mla(acc, vld1q_s32(blk[2 * j + half] + r), vld2q_s32(qmf_window_q31 + 2 * (n + 64 * j)).val[0]);
            vst1q_s32(u + n, vcombine_s32(vrshrn_n_s64(acc.lo, 32), vrshrn_n_s64(acc.hi, 32)));
        }
    }

    // Each product rounded to Q11 (VQRSHRN #31, saturated) and added to its
    // partial sum (VQADD), four outputs at a time.
    template <int kBits>
    static void synthesis_window(const int32_t* v, int32_t* const* sums) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        for (int i = 0; i < qmf::kBlocks; ++i) {
            const int32_t* const vi = v + (i & 1) * bands;
            const int32_t* const ci = qmf_window_q31 + step * bands * i;
            for (int k = 0; k < bands; k += 4) {
                const int32_t* c = ci + step * k;
                const Acc p = mul(vld1q_s32(vi + k), step == 1 ? vld1q_s32(c) : vld2q_s32(c).val[0]);
                const int32x4_t q = vcombine_s32(vqrshrn_n_s64(p.lo, 31), vqrshrn_n_s64(p.hi, 31));
                vst1q_s32(sums[i] + k, vqaddq_s32(vld1q_s32(sums[i] + k), q));
            }
        }
    }

    // fx::shl_sat by one (VQSHL #1), the sums cleared.
    template <int kBits>
    static void synthesis_output(int32_t* sum, int32_t* out) {
        for (int k = 0; k < (1 << kBits); k += 4) {
            vst1q_s32(out + k, vqshlq_n_s32(vld1q_s32(sum + k), 1));
            vst1q_s32(sum + k, vdupq_n_s32(0));
        }
    }

    template <int kBits>
    static void synthesis_post(const int32_t* d, int s, int32_t* nv) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const int64x2_t minus_n = vdupq_n_s64(-(30 + s));
        for (int m = 0; m < bands; m += 4) {
            Acc re, im;
            rotate4<step>(d, m, re, im);
            vst2q_s32(nv + 2 * m, int32x4x2_t{{rshr_sat(re, minus_n), rshr_sat(im, minus_n)}});
        }
    }

    static void analysis_pre(const int32_t* u, int s, int32_t* z) {
        const int64x2_t minus_n = vdupq_n_s64(-(31 - s));
        for (int m = 0; m < 32; m += 4) {
            Acc re, im;
            rotate4<2>(u, m, re, im);
            store_pairs(z, qmf::kBitReversal<5>.at + m, rshr(re, minus_n), rshr(im, minus_n));
        }
    }

    static void analysis_post(const int32_t* z, int s, int32_t* re, int32_t* im) {
        const int64x2_t minus_n = vdupq_n_s64(-(37 + s));
        for (int k = 0; k < 32; k += 4) {
            const int32x4x2_t a = vld2q_s32(z + 2 * k);
            const int32x4x2_t b = vld2q_s32(z + 2 * (28 - k));  // Z[28-k] .. Z[31-k]
            Acc r, i;
            bands4(a.val[0], a.val[1], neon::rev4(b.val[0]), neon::rev4(b.val[1]), qmf_analysis_post_q31 + 4 * k, r, i);
            vst1q_s32(re + k, rshr_sat(r, minus_n));
            vst1q_s32(im + k, rshr_sat(i, minus_n));
        }
    }

    template <int kBits>
    static void synthesis_pre(const int32_t* re, const int32_t* im, int s, int32_t* d) {
        constexpr int bands = 1 << kBits;
        const int32_t* pre = kBits == 6 ? qmf_synthesis64_pre_q31 : qmf_synthesis32_pre_q31;
        const int64x2_t minus_n = vdupq_n_s64(-(31 - s));
        for (int k = 0; k < bands; k += 4) {
            const int j = bands - 4 - k;  // X[j] .. X[j+3] mirror X[k+3] .. X[k]
            Acc r, i;
            bands4(vld1q_s32(re + k), vld1q_s32(im + k), neon::rev4(vld1q_s32(re + j)), neon::rev4(vld1q_s32(im + j)),
                   pre + 4 * k, r, i);
            store_pairs(d, qmf::kBitReversal<kBits>.at + k, rshr(r, minus_n), rshr(i, minus_n));
        }
    }
};

}  // namespace

void qmf_analysis32_neon(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<NeonSteps>(state, in, re, im);
}

void qmf_synthesis64_neon(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<NeonSteps, 6>(&state->current, state->sum, re, im, out);
}

void qmf_synthesis32_neon(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<NeonSteps, 5>(&state->current, state->sum, re, im, out);
}

#pragma GCC pop_options

#endif
