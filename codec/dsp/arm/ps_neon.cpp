// Parametric stereo's hybrid analysis with NEON (32-bit ARM): the window of
// a QMF band gathered once for the hybrid bands it feeds, taps 0..11 four a
// register, the band's coefficients de-interleaved (VLD2Q), each product
// part a VMULL/VMLAL/VMLSL into 64-bit lanes; the last tap, the lanes'
// sums, the rounding term and the saturating shift (VQSHRN) on the band's
// (re, im) pair. Sums modulo 2^64 as the reference's, in any order the
// same; bit-exact with ps_hybrid_analysis.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include <cstddef>
#include <cstring>

#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/ps_kernels.h"
#include "tables/ps_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

void ps_hybrid_analysis_neon(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                             const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                             int32_t* out_im) {
    constexpr int kTaps = 13;
    const int64x2_t bias = vdupq_n_s64(fx::round_bias64(31));
    int q = -1;
    // The window of the band's QMF band, x(12 - n) at n (taps 0..11 four a
    // register; tap 12 as (re, im) and (im, re)).
    int32x4_t xr[3] = {}, xi[3] = {};
    int32x2_t x12 = vdup_n_s32(0), x12s = x12;
    for (int k = 0; k < bands; ++k) {
        if (qmf[k] != q) {
            q = qmf[k];
            const int32_t* const* r = rows_re + kTaps - 1;
            const int32_t* const* i = rows_im + kTaps - 1;
#pragma GCC unroll 3
            for (int g = 0; g < 3; ++g, r -= 4, i -= 4) {
                xr[g] = vld1q_lane_s32(r[0] + q, xr[g], 0), xi[g] = vld1q_lane_s32(i[0] + q, xi[g], 0);
                xr[g] = vld1q_lane_s32(r[-1] + q, xr[g], 1), xi[g] = vld1q_lane_s32(i[-1] + q, xi[g], 1);
                xr[g] = vld1q_lane_s32(r[-2] + q, xr[g], 2), xi[g] = vld1q_lane_s32(i[-2] + q, xi[g], 2);
                xr[g] = vld1q_lane_s32(r[-3] + q, xr[g], 3), xi[g] = vld1q_lane_s32(i[-3] + q, xi[g], 3);
            }
            x12 = vld1_lane_s32(rows_im[0] + q, vld1_dup_s32(rows_re[0] + q), 1);
            x12s = vrev64_s32(x12);
        }
        // re: c_re x_re - c_im x_im (c_im never INT32_MIN: VMLSL is the
        // product of its negation), im: c_re x_im + c_im x_re.
        int64x2_t re_lo, re_hi, im_lo, im_hi;
#pragma GCC unroll 3
        for (int g = 0; g < 3; ++g) {
            const int32x4x2_t c = vld2q_s32(coef[k][4 * g]);
            const int32x2_t cr_lo = vget_low_s32(c.val[0]), cr_hi = vget_high_s32(c.val[0]);
            const int32x2_t ci_lo = vget_low_s32(c.val[1]), ci_hi = vget_high_s32(c.val[1]);
            const int32x2_t xr_lo = vget_low_s32(xr[g]), xr_hi = vget_high_s32(xr[g]);
            const int32x2_t xi_lo = vget_low_s32(xi[g]), xi_hi = vget_high_s32(xi[g]);
            if (g == 0) {
                re_lo = vmull_s32(cr_lo, xr_lo), re_hi = vmull_s32(cr_hi, xr_hi);
                im_lo = vmull_s32(cr_lo, xi_lo), im_hi = vmull_s32(cr_hi, xi_hi);
            } else {
                re_lo = vmlal_s32(re_lo, cr_lo, xr_lo), re_hi = vmlal_s32(re_hi, cr_hi, xr_hi);
                im_lo = vmlal_s32(im_lo, cr_lo, xi_lo), im_hi = vmlal_s32(im_hi, cr_hi, xi_hi);
            }
            re_lo = vmlsl_s32(re_lo, ci_lo, xi_lo), re_hi = vmlsl_s32(re_hi, ci_hi, xi_hi);
            im_lo = vmlal_s32(im_lo, ci_lo, xr_lo), im_hi = vmlal_s32(im_hi, ci_hi, xr_hi);
        }
        // Tap 12 into the (re, im) pair: (c_re, c_re) (x_re, x_im) and
        // (-c_im, c_im) (x_im, x_re).
        const int32x2_t c12 = vld1_s32(coef[k][12]);
        const int32x2_t ci12 = vdup_lane_s32(c12, 1);
        int64x2_t acc = vmlal_s32(bias, vdup_lane_s32(c12, 0), x12);
        acc = vmlal_s32(acc, vext_s32(vneg_s32(ci12), ci12, 1), x12s);
        const int64x2_t re = vaddq_s64(re_lo, re_hi), im = vaddq_s64(im_lo, im_hi);
        acc = vaddq_s64(acc, vcombine_s64(vget_low_s64(re), vget_low_s64(im)));
        acc = vaddq_s64(acc, vcombine_s64(vget_high_s64(re), vget_high_s64(im)));
        // sat32(sum >> 31): VQSHRN.
        const int32x2_t out = vqshrn_n_s64(acc, 31);
        vst1_lane_s32(out_re + k, out, 0);
        vst1_lane_s32(out_im + k, out, 1);
    }
}

// The all-pass decorrelator and the mixing, four bands a register: the
// 64-bit products of each half (VMULL, VMLAL), narrowed back by VQRSHRN
// (a rounding shift of the exact sum and a saturation: the reference's,
// since no sum here comes near 2^63 with coefficients above INT32_MIN) or
// VQSHRN after the rounding term; the all-pass's single products rounded
// from Q31 by VQRDMULH; saturating additions VQADD, VQSUB. An all-pass
// run's last two or three bands go two a register, a last single one
// through the reference; a mixing run's last bands (fewer than four) two
// a register, a last single one in both lanes.
namespace {

struct Wide4 {
    int64x2_t lo, hi;
};

inline Wide4 mul(int32x4_t a, int32x4_t b) {
    return {vmull_s32(vget_low_s32(a), vget_low_s32(b)), vmull_s32(vget_high_s32(a), vget_high_s32(b))};
}
inline Wide4 mla(Wide4 acc, int32x4_t a, int32x4_t b) {
    return {vmlal_s32(acc.lo, vget_low_s32(a), vget_low_s32(b)), vmlal_s32(acc.hi, vget_high_s32(a), vget_high_s32(b))};
}
template <int S>
inline int32x4_t round_narrow(Wide4 x) {
    return vcombine_s32(vqrshrn_n_s64(x.lo, S), vqrshrn_n_s64(x.hi, S));
}
inline int32x4_t narrow30(Wide4 x) { return vcombine_s32(vqshrn_n_s64(x.lo, 30), vqshrn_n_s64(x.hi, 30)); }

// (a_re + j a_im) (b_re + j b_im), Q31 products rounded and saturated (the
// negation wraps, as the reference's).
inline void cmul_q31(int32x4_t a_re, int32x4_t a_im, int32x4_t b_re, int32x4_t b_im, int32x4_t* re, int32x4_t* im) {
    *re = round_narrow<31>(mla(mul(a_re, b_re), vnegq_s32(a_im), b_im));
    *im = round_narrow<31>(mla(mul(a_re, b_im), a_im, b_re));
}

PsAllpassRows rows_from(const PsAllpassRows& r, int k) {
    return PsAllpassRows{{r.pre[0] + k, r.pre[1] + k},
                         {{r.link[0][0] + k, r.link[0][1] + k},
                          {r.link[1][0] + k, r.link[1][1] + k},
                          {r.link[2][0] + k, r.link[2][1] + k}}};
}

// The all-pass steps on four bands (Quad) or two (Pair). A product rounded
// from Q31 alone, rshr64_sat(a b, 31), is VQRDMULH: the doubled product
// plus 2^31, its high word, saturated (only for two factors of INT32_MIN,
// as the reference's).
struct Quad {
    using T = int32x4_t;
    static T load(const int32_t* p) { return vld1q_s32(p); }
    static void store(int32_t* p, T v) { vst1q_s32(p, v); }
    static T mul31(T a, T b) { return vqrdmulhq_s32(a, b); }
    static T add(T a, T b) { return vqaddq_s32(a, b); }
    static T sub(T a, T b) { return vqsubq_s32(a, b); }
    static void cmul(T a_re, T a_im, T b_re, T b_im, T* re, T* im) { cmul_q31(a_re, a_im, b_re, b_im, re, im); }
};
struct Pair {
    using T = int32x2_t;
    static T load(const int32_t* p) { return vld1_s32(p); }
    static void store(int32_t* p, T v) { vst1_s32(p, v); }
    static T mul31(T a, T b) { return vqrdmulh_s32(a, b); }
    static T add(T a, T b) { return vqadd_s32(a, b); }
    static T sub(T a, T b) { return vqsub_s32(a, b); }
    static void cmul(T a_re, T a_im, T b_re, T b_im, T* re, T* im) {
        *re = vqrshrn_n_s64(vmlal_s32(vmull_s32(a_re, b_re), vneg_s32(a_im), b_im), 31);
        *im = vqrshrn_n_s64(vmlal_s32(vmull_s32(a_re, b_im), a_im, b_re), 31);
    }
};

// The bands k .. k + lanes - 1 of the all-pass decorrelator.
template <class V>
inline void allpass_block(const PsAllpassRows& rows, const int32_t* coef, int stride, int k, const int32_t* s_re,
                          const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    using T = typename V::T;
    const T p_re = V::load(rows.pre[0] + k), p_im = V::load(rows.pre[1] + k);
    V::store(rows.pre[0] + k, V::load(s_re + k));
    V::store(rows.pre[1] + k, V::load(s_im + k));
    T in_re, in_im;
    V::cmul(p_re, p_im, V::load(coef + kPsPhiRe * stride + k), V::load(coef + kPsPhiIm * stride + k), &in_re, &in_im);
#pragma GCC unroll 3
    for (int j = 0; j < 3; ++j) {
        int32_t* z_re = rows.link[j][0] + k;
        int32_t* z_im = rows.link[j][1] + k;
        const T ag = V::load(coef + (kPsLinkAg0 + j) * stride + k);
        T o_re, o_im;
        V::cmul(V::load(z_re), V::load(z_im), V::load(coef + (kPsLinkRe0 + 2 * j) * stride + k),
                V::load(coef + (kPsLinkRe0 + 2 * j + 1) * stride + k), &o_re, &o_im);
        o_re = V::sub(o_re, V::mul31(ag, in_re));
        o_im = V::sub(o_im, V::mul31(ag, in_im));
        V::store(z_re, V::add(in_re, V::mul31(ag, o_re)));
        V::store(z_im, V::add(in_im, V::mul31(ag, o_im)));
        in_re = o_re;
        in_im = o_im;
    }
    V::store(d_re + k, in_re);
    V::store(d_im + k, in_im);
}

// The all-pass steps of four bands written out (allpass_block<Quad>'s
// instructions, every value in the register it is made in): the delay
// lines' entries loaded and stored through their row pointers (rows + k),
// the coefficients' rows walked by two addresses stepped a row at a time
// (phi, then each link's rotation: rows 0..7; the links' gains: rows 8..10).
// A rotation takes a in q2 q3 (or the operands), b in q4 q5, -a_im in q6
// and its sums in q8..q11; the signal between links alternates between
// q12 q13 and the operands, so that the last link leaves d in the operands.
#define PS_CMUL(AR, AI, AR_LO, AR_HI, AI_LO, AI_HI, OR_LO, OR_HI, OI_LO, OI_HI) \
    "vneg.s32 q6, " AI "\n\t"                                                \
    "vmull.s32 q8, " AR_LO ", d8\n\t"                                        \
    "vmull.s32 q9, " AR_HI ", d9\n\t"                                        \
    "vmlal.s32 q8, d12, d10\n\t"                                             \
    "vmlal.s32 q9, d13, d11\n\t"                                             \
    "vmull.s32 q10, " AR_LO ", d10\n\t"                                      \
    "vmull.s32 q11, " AR_HI ", d11\n\t"                                      \
    "vmlal.s32 q10, " AI_LO ", d8\n\t"                                       \
    "vmlal.s32 q11, " AI_HI ", d9\n\t"                                       \
    "vqrshrn.s64 " OR_LO ", q8, #31\n\t"                                     \
    "vqrshrn.s64 " OR_HI ", q9, #31\n\t"                                     \
    "vqrshrn.s64 " OI_LO ", q10, #31\n\t"                                    \
    "vqrshrn.s64 " OI_HI ", q11, #31\n\t"
// Link m (its rows' pointers at byte OFF and OFF + 4 of the rows): z in q2
// q3, the rotation in q4 q5, the gain in q7; o from IN into OUT.
#define PS_LINK(OFF, IN_RE, IN_IM, OUT_RE, OUT_IM, OR_LO, OR_HI, OI_LO, OI_HI) \
    "ldr %[t1], [%[rows], #" OFF "]\n\t"                                      \
    "ldr %[t2], [%[rows], #" OFF " + 4]\n\t"                                  \
    "add %[t1], %[t1], %[kb]\n\t"                                             \
    "add %[t2], %[t2], %[kb]\n\t"                                             \
    "vld1.32 {d4-d5}, [%[t1]]\n\t"                                            \
    "vld1.32 {d6-d7}, [%[t2]]\n\t"                                            \
    "vld1.32 {d8-d9}, [%[cp]], %[sb]\n\t"                                     \
    "vld1.32 {d10-d11}, [%[cp]], %[sb]\n\t"                                   \
    "vld1.32 {d14-d15}, [%[ap]], %[sb]\n\t"                                   \
    PS_CMUL("q2", "q3", "d4", "d5", "d6", "d7", OR_LO, OR_HI, OI_LO, OI_HI)    \
    "vqrdmulh.s32 q14, q7, " IN_RE "\n\t"                                     \
    "vqrdmulh.s32 q15, q7, " IN_IM "\n\t"                                     \
    "vqsub.s32 " OUT_RE ", " OUT_RE ", q14\n\t"                               \
    "vqsub.s32 " OUT_IM ", " OUT_IM ", q15\n\t"                               \
    "vqrdmulh.s32 q14, q7, " OUT_RE "\n\t"                                    \
    "vqrdmulh.s32 q15, q7, " OUT_IM "\n\t"                                    \
    "vqadd.s32 q14, " IN_RE ", q14\n\t"                                       \
    "vqadd.s32 q15, " IN_IM ", q15\n\t"                                       \
    "vst1.32 {d28-d29}, [%[t1]]\n\t"                                          \
    "vst1.32 {d30-d31}, [%[t2]]\n\t"

inline void allpass_quad(const PsAllpassRows& rows, const int32_t* coef, int stride, int k, const int32_t* s_re,
                         const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    // The input delay's entries, replaced by the samples.
    int32x4_t a = vld1q_s32(rows.pre[0] + k), b = vld1q_s32(rows.pre[1] + k);
    vst1q_s32(rows.pre[0] + k, vld1q_s32(s_re + k));
    vst1q_s32(rows.pre[1] + k, vld1q_s32(s_im + k));
    const int32_t* cp = coef + k;
    const int32_t* ap = coef + kPsLinkAg0 * stride + k;
    int32_t *t1, *t2;
    static_assert(kPsPhiRe == 0 && kPsPhiIm == 1 && kPsLinkRe0 == 2, "the rows walked in order");
    static_assert(offsetof(PsAllpassRows, link) == 8 && sizeof(int32_t*) == 4, "the row pointers' offsets");
    __asm__ volatile(
        "vld1.32 {d8-d9}, [%[cp]], %[sb]\n\t"
        "vld1.32 {d10-d11}, [%[cp]], %[sb]\n\t"
        PS_CMUL("%q[a]", "%q[b]", "%e[a]", "%f[a]", "%e[b]", "%f[b]", "d24", "d25", "d26", "d27")
        PS_LINK("8", "q12", "q13", "%q[a]", "%q[b]", "%e[a]", "%f[a]", "%e[b]", "%f[b]")
        PS_LINK("16", "%q[a]", "%q[b]", "q12", "q13", "d24", "d25", "d26", "d27")
        PS_LINK("24", "q12", "q13", "%q[a]", "%q[b]", "%e[a]", "%f[a]", "%e[b]", "%f[b]")
        : [a] "+w"(a), [b] "+w"(b), [cp] "+r"(cp), [ap] "+r"(ap), [t1] "=&r"(t1), [t2] "=&r"(t2)
        : [rows] "r"(&rows), [kb] "r"(4 * k), [sb] "r"(4 * stride)
        : "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12", "d13", "d14", "d15", "d16", "d17", "d18", "d19",
          "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", "memory");
    vst1q_s32(d_re + k, a);
    vst1q_s32(d_im + k, b);
}
#undef PS_LINK
#undef PS_CMUL

// l (or r) of four bands without phase, from s (q8 q9), d (q10 q11) and
// the matrices' halves: the sums of re in q12 q13, of im in q14 q15,
// narrowed (VQRSHRN #30) and stored.
#define MIX_PLAIN_PAIR(HS_LO, HS_HI, HD_LO, HD_HI, OUT_RE, OUT_IM) \
    "vmull.s32 q12, d16, " HS_LO "\n\t"                           \
    "vmull.s32 q13, d17, " HS_HI "\n\t"                           \
    "vmull.s32 q14, d18, " HS_LO "\n\t"                           \
    "vmull.s32 q15, d19, " HS_HI "\n\t"                           \
    "vmlal.s32 q12, d20, " HD_LO "\n\t"                           \
    "vmlal.s32 q13, d21, " HD_HI "\n\t"                           \
    "vmlal.s32 q14, d22, " HD_LO "\n\t"                           \
    "vmlal.s32 q15, d23, " HD_HI "\n\t"                           \
    "vqrshrn.s64 d24, q12, #30\n\t"                               \
    "vqrshrn.s64 d25, q13, #30\n\t"                               \
    "vqrshrn.s64 d28, q14, #30\n\t"                               \
    "vqrshrn.s64 d29, q15, #30\n\t"                               \
    "vst1.32 {d24-d25}, [" OUT_RE "]!\n\t"                        \
    "vst1.32 {d28-d29}, [" OUT_IM "]!\n\t"

// Bands k and k1 (k + 1, or k again for a last single band) of a mixing
// run, two lanes of D registers: as a block of four (the sums from the
// rounding term, VQSHRN), lane 1 stored before lane 0 (one band: the same
// values twice). All loads come before the stores (l may be s).
template <bool Phase>
inline void mix_pair(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int k, int k1,
                     const int32_t* s_re, const int32_t* s_im, const int32_t* d_re, const int32_t* d_im,
                     int32_t* l_re, int32_t* l_im, int32_t* r_re, int32_t* r_im) {
    const int b0 = par[k], b1 = par[k1];
    auto two = [&](const int32_t* v, int i0, int i1) { return vld1_lane_s32(v + i1, vld1_dup_s32(v + i0), 1); };
    const int64x2_t bias = vdupq_n_s64(fx::round_bias64(30));
    const int32x2_t sr = two(s_re, k, k1), si = two(s_im, k, k1);
    const int32x2_t g = two(m.gain, b0, b1);
    const int32x2_t dr = vqrshrn_n_s64(vmull_s32(two(d_re, k, k1), g), 30);
    const int32x2_t di = vqrshrn_n_s64(vmull_s32(two(d_im, k, k1), g), 30);
    const int32x2_t h11 = two(m.h[0], b0, b1), h12 = two(m.h[1], b0, b1);
    const int32x2_t h21 = two(m.h[2], b0, b1), h22 = two(m.h[3], b0, b1);
    int64x2_t lr = vmlal_s32(vmlal_s32(bias, h11, sr), h21, dr);
    int64x2_t li = vmlal_s32(vmlal_s32(bias, h11, si), h21, di);
    int64x2_t rr = vmlal_s32(vmlal_s32(bias, h12, sr), h22, dr);
    int64x2_t ri = vmlal_s32(vmlal_s32(bias, h12, si), h22, di);
    if constexpr (Phase) {
        const int32x2_t mask = vneg_s32(vreinterpret_s32_u32(vcreate_u32(
            static_cast<uint64_t>(neg_phase[k]) | static_cast<uint64_t>(neg_phase[k1]) << 32)));
        auto turn = [&](const int32_t* v) { return vsub_s32(veor_s32(two(v, b0, b1), mask), mask); };
        const int32x2_t g11 = turn(m.hi[0]), g12 = turn(m.hi[1]), g21 = turn(m.hi[2]), g22 = turn(m.hi[3]);
        lr = vmlal_s32(vmlal_s32(lr, vneg_s32(g11), si), vneg_s32(g21), di);
        li = vmlal_s32(vmlal_s32(li, g11, sr), g21, dr);
        rr = vmlal_s32(vmlal_s32(rr, vneg_s32(g12), si), vneg_s32(g22), di);
        ri = vmlal_s32(vmlal_s32(ri, g12, sr), g22, dr);
    }
    const int32x2_t out[4] = {vqshrn_n_s64(lr, 30), vqshrn_n_s64(li, 30), vqshrn_n_s64(rr, 30),
                              vqshrn_n_s64(ri, 30)};
    int32_t* const dst[4] = {l_re, l_im, r_re, r_im};
    for (int i = 0; i < 4; ++i) vst1_lane_s32(dst[i] + k1, out[i], 1);
    for (int i = 0; i < 4; ++i) vst1_lane_s32(dst[i] + k, out[i], 0);
}

template <bool Phase>
void mix_run(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n, const int32_t* s_re,
             const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
             int32_t* r_re, int32_t* r_im) {
    const int64x2_t bias = vdupq_n_s64(fx::round_bias64(30));
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        uint32_t bands;
        std::memcpy(&bands, par + k, 4);
        const int b0 = par[k], b1 = par[k + 1], b2 = par[k + 2], b3 = par[k + 3];
        // One parameter band for all four (runs of QMF bands), else each its own.
        const bool one = bands == (bands & 0xffu) * 0x01010101u;
        auto pick = [&](const int32_t* v) {
            if (one) return vdupq_n_s32(v[b0]);
            int32x4_t x = vdupq_n_s32(v[b0]);
            x = vsetq_lane_s32(v[b1], x, 1);
            x = vsetq_lane_s32(v[b2], x, 2);
            return vsetq_lane_s32(v[b3], x, 3);
        };
        if constexpr (!Phase) {
            // Two products: their sum is within (-2^63, 2^63], and only
            // 2^63 (wrapped to -2^63, as the reference's) lies within 2^29
            // of the limit; the rounding of VQRSHRN on the sum alone is
            // then the reference's with its rounding term. Written out:
            // s (q8 q9) and d (q10 q11) loaded, d times the gain, then l
            // and r, each address stepped by its load or store (l may be s:
            // s is loaded first). Where one parameter band holds for the
            // four, the blocks of four after them in the same band are
            // mixed in the same pass, the gains picked once (a loop in the
            // assembly, every address in its register).
            int blocks = 1;
            if (one) {
                uint32_t next;
                for (; k + 4 * blocks + 4 <= n; ++blocks) {
                    std::memcpy(&next, par + k + 4 * blocks, 4);
                    if (next != bands) break;
                }
            }
            k += 4 * (blocks - 1);
            const int32x4_t g = pick(m.gain);
            const int32x4_t h11 = pick(m.h[0]), h12 = pick(m.h[1]), h21 = pick(m.h[2]), h22 = pick(m.h[3]);
            __asm__ volatile(
                "1:\n\t"
                "vld1.32 {d16-d17}, [%0]!\n\t"
                "vld1.32 {d18-d19}, [%1]!\n\t"
                "vld1.32 {d20-d21}, [%2]!\n\t"
                "vld1.32 {d22-d23}, [%3]!\n\t"
                "vmull.s32 q12, d20, %e9\n\t"
                "vmull.s32 q13, d21, %f9\n\t"
                "vmull.s32 q14, d22, %e9\n\t"
                "vmull.s32 q15, d23, %f9\n\t"
                "vqrshrn.s64 d20, q12, #30\n\t"
                "vqrshrn.s64 d21, q13, #30\n\t"
                "vqrshrn.s64 d22, q14, #30\n\t"
                "vqrshrn.s64 d23, q15, #30\n\t"
                MIX_PLAIN_PAIR("%e10", "%f10", "%e12", "%f12", "%4", "%5")
                MIX_PLAIN_PAIR("%e11", "%f11", "%e13", "%f13", "%6", "%7")
                "subs %8, %8, #1\n\t"
                "bne 1b"
                : "+r"(s_re), "+r"(s_im), "+r"(d_re), "+r"(d_im), "+r"(l_re), "+r"(l_im), "+r"(r_re), "+r"(r_im),
                  "+r"(blocks)
                : "w"(g), "w"(h11), "w"(h12), "w"(h21), "w"(h22)
                : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28",
                  "d29", "d30", "d31", "memory", "cc");
            continue;
        }
        const int32x4_t sr = vld1q_s32(s_re + k), si = vld1q_s32(s_im + k);
        const int32x4_t g = pick(m.gain);
        const int32x4_t dr = round_narrow<30>(mul(vld1q_s32(d_re + k), g));
        const int32x4_t di = round_narrow<30>(mul(vld1q_s32(d_im + k), g));
        const int32x4_t h11 = pick(m.h[0]), h12 = pick(m.h[1]), h21 = pick(m.h[2]), h22 = pick(m.h[3]);
        Wide4 lr = mla(mla(Wide4{bias, bias}, h11, sr), h21, dr);
        Wide4 li = mla(mla(Wide4{bias, bias}, h11, si), h21, di);
        Wide4 rr = mla(mla(Wide4{bias, bias}, h12, sr), h22, dr);
        Wide4 ri = mla(mla(Wide4{bias, bias}, h12, si), h22, di);
        if constexpr (Phase) {
            // Bands of negative centre frequency turn the other way: the
            // imaginary parts negated where the mask is all ones.
            uint32_t flags;
            std::memcpy(&flags, neg_phase + k, 4);
            const int32x4_t mask = vnegq_s32(
                vreinterpretq_s32_u32(vmovl_u16(vget_low_u16(vmovl_u8(vcreate_u8(flags))))));
            auto turn = [&](const int32_t* v) { return vsubq_s32(veorq_s32(pick(v), mask), mask); };
            const int32x4_t g11 = turn(m.hi[0]), g12 = turn(m.hi[1]), g21 = turn(m.hi[2]), g22 = turn(m.hi[3]);
            lr = mla(mla(lr, vnegq_s32(g11), si), vnegq_s32(g21), di);
            li = mla(mla(li, g11, sr), g21, dr);
            rr = mla(mla(rr, vnegq_s32(g12), si), vnegq_s32(g22), di);
            ri = mla(mla(ri, g12, sr), g22, dr);
        }
        vst1q_s32(l_re + k, narrow30(lr));
        vst1q_s32(l_im + k, narrow30(li));
        vst1q_s32(r_re + k, narrow30(rr));
        vst1q_s32(r_im + k, narrow30(ri));
    }
    // The last one to three bands: a pair, then a single band.
    const int at = Phase ? 0 : k;  // (the plain blocks stepped the addresses themselves)
    s_re -= at, s_im -= at, d_re -= at, d_im -= at, l_re -= at, l_im -= at, r_re -= at, r_im -= at;
    if (k + 2 <= n) {
        mix_pair<Phase>(m, par, neg_phase, k, k + 1, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
        k += 2;
    }
    if (k < n) mix_pair<Phase>(m, par, neg_phase, k, k, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
}

#undef MIX_PLAIN_PAIR

}  // namespace

void ps_allpass_bands_neon(const PsAllpassRows& rows, const int32_t* coef, int stride, int n, const int32_t* s_re,
                           const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    int k = 0;
    for (; k + 4 <= n; k += 4) allpass_quad(rows, coef, stride, k, s_re, s_im, d_re, d_im);
    if (k + 2 <= n) {
        allpass_block<Pair>(rows, coef, stride, k, s_re, s_im, d_re, d_im);
        k += 2;
    }
    if (k < n)
        ps_allpass_bands(rows_from(rows, k), coef + k, stride, n - k, s_re + k, s_im + k, d_re + k, d_im + k);
}

void ps_mix_bands_neon(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n, const int32_t* s_re,
                       const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                       int32_t* r_re, int32_t* r_im) {
    if (m.hi[0]) mix_run<true>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
    else mix_run<false>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
}

// Eight words a step, written out (VLD1 and VST1 of four D registers, the
// addresses stepped by them), then four.
void ps_step_matrices_neon(int32_t* h, const int32_t* step, int n) {
    int i = n & ~7;
    for (int32_t* const end = h + i; h != end;)
        __asm__ volatile(
            "vld1.32 {d16-d19}, [%0]\n\t"
            "vld1.32 {d20-d23}, [%1]!\n\t"
            "vadd.i32 q8, q8, q10\n\t"
            "vadd.i32 q9, q9, q11\n\t"
            "vst1.32 {d16-d19}, [%0]!"
            : "+r"(h), "+r"(step)
            :
            : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "memory");
    h -= i, step -= i;
    if (i + 4 <= n) {
        vst1q_s32(h + i, vaddq_s32(vld1q_s32(h + i), vld1q_s32(step + i)));
        i += 4;
    }
    for (; i < n; ++i) h[i] = fx::add_wrap(h[i], step[i]);
}

namespace {

// One pair of bands' state stepped; each band's word of the result is not 0
// where its gain needs the division.
inline uint32x2_t transient_pair(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies,
                                 uint32x2_t decay) {
    const uint64x2_t e = vld1q_u64(energies);
    const uint64x2_t p0 = vld1q_u64(peak);
    const uint64x2_t decayed = vaddq_u64(vshlq_n_u64(vmull_u32(vshrn_n_u64(p0, 32), decay), 1),
                                         vshrq_n_u64(vmull_u32(vmovn_u64(p0), decay), 31));
    const uint64x2_t over = vqsubq_u64(decayed, e);  // peak - e
    vst1q_u64(peak, vaddq_u64(e, over));
    const uint64x2_t s0 = vld1q_u64(smooth), d0 = vld1q_u64(peak_diff);
    const uint64x2_t s1 = vaddq_u64(vsubq_u64(s0, vshrq_n_u64(s0, 2)), vshrq_n_u64(e, 2));
    const uint64x2_t d1 = vaddq_u64(vsubq_u64(d0, vshrq_n_u64(d0, 2)), vshrq_n_u64(over, 2));
    vst1q_u64(smooth, s1);
    vst1q_u64(peak_diff, d1);
    // den - smooth where den is above smooth, else 0.
    const uint64x2_t need = vqsubq_u64(vaddq_u64(d1, vshrq_n_u64(d1, 1)), s1);
    return vorr_u32(vmovn_u64(need), vshrn_n_u64(need, 32));
}

// A pair's gains, the division taken from the reference band by band where
// `any` (transient_pair's) says so, the others 2^30.
inline void pair_gains(uint32x2_t any, const uint64_t* smooth, const uint64_t* peak_diff, int32_t* gains) {
    gains[0] = vget_lane_u32(any, 0) != 0 ? ps_transient_gain(smooth[0], peak_diff[0]) : 1 << 30;
    gains[1] = vget_lane_u32(any, 1) != 0 ? ps_transient_gain(smooth[1], peak_diff[1]) : 1 << 30;
}

}  // namespace

// Two bands a register in 64-bit lanes, two registers a step (their gains
// 2^30 all four at once where none needs the division). The peak's decay
// from the 32-bit halves (VMULL each, then the shifts and the sum, modulo
// 2^64 as the reference's); the maximum without a 64-bit comparison: e plus
// the saturating difference VQSUB(decayed, e), which also tells the bands
// whose gain needs the division (den above smooth), taken from the reference
// band by band (the others 2^30).
void ps_transient_gains_neon(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies, int n,
                             int32_t* gains) {
    const uint32x2_t decay = vdup_n_u32(static_cast<uint32_t>(ps_peak_decay_q31));
    int b = 0;
    for (; b + 4 <= n; b += 4) {
        const uint32x2_t a0 = transient_pair(peak + b, smooth + b, peak_diff + b, energies + b, decay);
        const uint32x2_t a1 = transient_pair(peak + b + 2, smooth + b + 2, peak_diff + b + 2, energies + b + 2, decay);
        if (vget_lane_u64(vreinterpret_u64_u32(vorr_u32(a0, a1)), 0) == 0) {
            vst1q_s32(gains + b, vdupq_n_s32(1 << 30));
            continue;
        }
        pair_gains(a0, smooth + b, peak_diff + b, gains + b);
        pair_gains(a1, smooth + b + 2, peak_diff + b + 2, gains + b + 2);
    }
    if (b + 2 <= n) {
        pair_gains(transient_pair(peak + b, smooth + b, peak_diff + b, energies + b, decay), smooth + b, peak_diff + b,
                   gains + b);
        b += 2;
    }
    if (b < n) ps_transient_gains(peak + b, smooth + b, peak_diff + b, energies + b, n - b, gains + b);
}

// Four bands at a time: the squares of each part by VMULL (the words'
// signed products, the reference's bits), their OR gathered; where the four
// are of one parameter band (a run of QMF bands) their sum is added to its
// energy at once, else band by band.
namespace {

// *e += lane 0 of v, in Q registers (the 64-bit sums stay in NEON).
inline void add_lane0(uint64_t* e, uint64x2_t v) { vst1q_lane_u64(e, vaddq_u64(vld1q_dup_u64(e), v), 0); }

}  // namespace

uint64_t ps_band_energies_neon(const int32_t* re, const int32_t* im, const uint8_t* par, int n, uint64_t* energies) {
    uint64x2_t seen = vdupq_n_u64(0);
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const int32x4_t r = vld1q_s32(re + k), i = vld1q_s32(im + k);
        const uint64x2_t r_lo = vreinterpretq_u64_s64(vmull_s32(vget_low_s32(r), vget_low_s32(r)));
        const uint64x2_t r_hi = vreinterpretq_u64_s64(vmull_s32(vget_high_s32(r), vget_high_s32(r)));
        const uint64x2_t i_lo = vreinterpretq_u64_s64(vmull_s32(vget_low_s32(i), vget_low_s32(i)));
        const uint64x2_t i_hi = vreinterpretq_u64_s64(vmull_s32(vget_high_s32(i), vget_high_s32(i)));
        seen = vorrq_u64(seen, vorrq_u64(vorrq_u64(r_lo, i_lo), vorrq_u64(r_hi, i_hi)));
        const uint64x2_t lo = vaddq_u64(r_lo, i_lo), hi = vaddq_u64(r_hi, i_hi);  // bands 0, 1 and 2, 3
        uint32_t bands;
        std::memcpy(&bands, par + k, 4);
        if (bands == (bands & 0xffu) * 0x01010101u) {
            const uint64x2_t s = vaddq_u64(lo, hi);
            add_lane0(energies + par[k], vaddq_u64(s, vextq_u64(s, s, 1)));
        } else {
            add_lane0(energies + par[k], lo);
            add_lane0(energies + par[k + 1], vextq_u64(lo, lo, 1));
            add_lane0(energies + par[k + 2], hi);
            add_lane0(energies + par[k + 3], vextq_u64(hi, hi, 1));
        }
    }
    const uint64x1_t any = vorr_u64(vget_low_u64(seen), vget_high_u64(seen));
    uint64_t bits = vget_lane_u64(any, 0);
    if (k < n) bits |= ps_band_energies(re + k, im + k, par + k, n - k, energies);
    return bits;
}

#pragma GCC pop_options

#endif
