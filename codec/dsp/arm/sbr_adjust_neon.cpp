// The SBR envelope adjuster's kernels with NEON (32-bit ARM), four subbands
// (or values) at a time. The exponentials: the product of the roots of the
// fraction's top 8 bits from their table, then for each lower bit the
// product with its root, fx::rshr64 by 30 as m plus one VQRDMULH by the
// root's excess over 1, added where the bit is set (VMLS by the bit's
// mask). The energies: each row's samples squared into 64-bit sums (VMLAL;
// modulo 2^64, in any order the same) as the largest and smallest samples
// are taken (for the magnitudes' bit length), and again shifted by the block's shift (VSHL by its negative) when that
// is not 0. The logarithms, four at a time: the leading bits (VCLZ of the
// words) and the Q29 mantissas (VSHL of the 64-bit values), then the 25
// squarings (VQRDMULH of the doubled mantissa by itself, the halving where
// a square reaches 2^30 and the bit it gives).
// The gains and noise: each term's 64-bit products (VMULL, the noise
// table's parts apart by VLD2), shifted by each subband's own shift
// with rounding and saturation (VQRSHL by its negative, the shift first
// held to -64..63, beyond which nothing changes), narrowed with saturation
// (VQMOVN) and added with saturation (VQADD): fx::mul_shift_sat and
// fx::add_sat for every shift; a whole block's rows with noise in runs
// written out in assembly, up to the row whose noise wraps round the
// table. Bit-exact with dsp/sbr_adjust.cpp; the energies and the gains of
// fewer than four subbands, and the
// rows where the noise table wraps within four subbands, are the
// reference's; the gains' last one to three subbands are those of a block
// of the last four whose others have gain 1 and no noise.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include <cstring>

#include "dsp/sbr_adjust.h"
#include "tables/sbr_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

namespace {

// The energies of the four subbands from `at` over the rows, the samples
// shifted down by `shift` first.
inline void energy_four(const int32_t* x_re, const int32_t* x_im, int rows, int at, int shift, uint64_t* energy) {
    const int32x4_t down = vdupq_n_s32(-shift);
    int64x2_t lo = vdupq_n_s64(0), hi = vdupq_n_s64(0);
    for (int r = 0; r < rows; ++r) {
        const int32x4_t a = vshlq_s32(vld1q_s32(x_re + 64 * r + at), down);
        const int32x4_t b = vshlq_s32(vld1q_s32(x_im + 64 * r + at), down);
        lo = vmlal_s32(vmlal_s32(lo, vget_low_s32(a), vget_low_s32(a)), vget_low_s32(b), vget_low_s32(b));
        hi = vmlal_s32(vmlal_s32(hi, vget_high_s32(a), vget_high_s32(a)), vget_high_s32(b), vget_high_s32(b));
    }
    vst1q_u64(energy + at, vreinterpretq_u64_s64(lo));
    vst1q_u64(energy + at + 2, vreinterpretq_u64_s64(hi));
}

// The same with the samples as they are (rows at least 1), the largest and
// smallest of them kept in *top and *bottom (VMAX, VMIN: the largest of
// |x| - (x < 0) is the larger of top and ~bottom, of the bit length of
// their OR, all the shift is made from). Written out, a loop in the
// assembly (the compiler steps each address and a count apart).
inline void energy_four_first(const int32_t* x_re, const int32_t* x_im, int rows, int at, int32x4_t* top,
                              int32x4_t* bottom, uint64_t* energy) {
    int64x2_t lo = vdupq_n_s64(0), hi = vdupq_n_s64(0);
    const int32_t* a = x_re + at;
    const int32_t* b = x_im + at;
    __asm__ volatile(
        "1:\n\t"
        "vld1.32 {d16-d17}, [%[a]], %[row]\n\t"
        "vld1.32 {d18-d19}, [%[b]], %[row]\n\t"
        "vmlal.s32 %q[lo], d16, d16\n\t"
        "vmlal.s32 %q[hi], d17, d17\n\t"
        "vmax.s32 %q[top], %q[top], q8\n\t"
        "vmin.s32 %q[bottom], %q[bottom], q8\n\t"
        "vmlal.s32 %q[lo], d18, d18\n\t"
        "vmlal.s32 %q[hi], d19, d19\n\t"
        "vmax.s32 %q[top], %q[top], q9\n\t"
        "vmin.s32 %q[bottom], %q[bottom], q9\n\t"
        "subs %[rows], %[rows], #1\n\t"
        "bne 1b"
        : [a] "+r"(a), [b] "+r"(b), [rows] "+r"(rows), [lo] "+w"(lo), [hi] "+w"(hi), [top] "+w"(*top),
          [bottom] "+w"(*bottom)
        : [row] "r"(256)
        : "d16", "d17", "d18", "d19", "cc", "memory");
    vst1q_u64(energy + at, vreinterpretq_u64_s64(lo));
    vst1q_u64(energy + at + 2, vreinterpretq_u64_s64(hi));
}

}  // namespace

int sbr_energies_neon(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy) {
    if (count < 4) return sbr_energies_c(x_re, x_im, rows, count, energy);
    // Four subbands at a time; the last four end at count, over subbands
    // already taken when count is not a multiple of 4 (their energies the
    // same again).
    if (rows < 1) return sbr_energies_c(x_re, x_im, rows, count, energy);
    int32x4_t top = vdupq_n_s32(0), bottom = top;
    for (int i = 0; i < count; i += 4) {
        const int at = i + 4 <= count ? i : count - 4;
        energy_four_first(x_re, x_im, rows, at, &top, &bottom, energy);
    }
    const uint32x4_t bits = vreinterpretq_u32_s32(vmaxq_s32(top, vmvnq_s32(bottom)));
    const uint32x2_t half = vorr_u32(vget_low_u32(bits), vget_high_u32(bits));
    const int shift = adjuster::energy_shift(vget_lane_u32(half, 0) | vget_lane_u32(half, 1));
    if (shift)
        for (int i = 0; i < count; i += 4) {
            const int at = i + 4 <= count ? i : count - 4;
            energy_four(x_re, x_im, rows, at, shift, energy);
        }
    return shift;
}

namespace {

// The logarithms of four values: each one's leading bit from the leading
// zeros of its words (VCLZ: of the high word, plus those of the low one
// where the high one is 0), its Q29 mantissa by the 64-bit shift (VSHL by
// a vector of counts; right for a leading bit at 62 or 63) that brings the
// leading bit to bit 61, the high words then taken; a 0 gives t = -1 and
// mantissa 0. The fraction's bits are shifted in below t (VSLI): 24
// doublings, then the 25th bit added, which is t 2^24 + rshr(frac, 1).
inline int32x4_t log2_four(const uint64_t* p) {
    const uint32x4_t a = vreinterpretq_u32_u64(vld1q_u64(p)), b = vreinterpretq_u32_u64(vld1q_u64(p + 2));
    const uint32x4x2_t words = vuzpq_u32(a, b);  // the low words, the high words
    const uint32x4_t zh = vclzq_u32(words.val[1]);
    const uint32x4_t z = vmlaq_u32(zh, vshrq_n_u32(zh, 5), vclzq_u32(words.val[0]));  // 0..64
    int32x4_t frac = vsubq_s32(vdupq_n_s32(63), vreinterpretq_s32_u32(z));
    const int32x4_t shift = vsubq_s32(vreinterpretq_s32_u32(z), vdupq_n_s32(2));
    const int32x4x2_t count = vzipq_s32(shift, shift);  // in the low byte of each 64-bit lane
    const uint64x2_t na = vshlq_u64(vreinterpretq_u64_u32(a), vreinterpretq_s64_s32(count.val[0]));
    const uint64x2_t nb = vshlq_u64(vreinterpretq_u64_u32(b), vreinterpretq_s64_s32(count.val[1]));
    int32x4_t x = vreinterpretq_s32_u32(vuzpq_u32(vreinterpretq_u32_u64(na), vreinterpretq_u32_u64(nb)).val[1]);
    const int32x4_t limit = vdupq_n_s32(INT32_C(1) << 30);
#pragma GCC unroll 24
    for (int k = 0; k < adjuster::kLogFrac; ++k) {
        // x^2 in Q29, rounded: [2^29, 2^31) (x in [2^29, 2^30), or 0):
        // rshr64(x x, 29) = rshr64(2x 2x, 31), VQRDMULH of 2x (below
        // 2^31) by itself. Halved where it reaches 2^30 (VSHL by the
        // mask, -1 there), that bit shifted into frac.
        const int32x4_t x2 = vaddq_s32(x, x);
        const int32x4_t y = vqrdmulhq_s32(x2, x2);
        const int32x4_t big = vreinterpretq_s32_u32(vcgeq_s32(y, limit));
        x = vshlq_s32(y, big);
        frac = vsliq_n_s32(big, frac, 1);
    }
    const int32x4_t x2 = vaddq_s32(x, x);
    return vsubq_s32(frac, vreinterpretq_s32_u32(vcgeq_s32(vqrdmulhq_s32(x2, x2), limit)));
}

}  // namespace

void sbr_log2_neon(const uint64_t* v, int n, int32_t* out) {
    // Four at a time; the last four end at n, over values already taken
    // when n is not a multiple of 4 (the same again); fewer than four from
    // a copy with 1s after them.
    uint64_t pad[4] = {1, 1, 1, 1};
    int32_t res[4];
    for (int i = 0; i < n; i += 4) {
        if (n < 4) {
            for (int k = 0; k < n; ++k) pad[k] = v[k];
            vst1q_s32(res, log2_four(pad));
            for (int k = 0; k < n; ++k) out[k] = res[k];
            return;
        }
        const int at = i + 4 <= n ? i : n - 4;
        vst1q_s32(out + at, log2_four(v + at));
    }
}

namespace {

// Twice the excess over 1 of the roots of the fraction's bits below its top
// 8 (bit b's, 2 (kRoots.c[24 - b] - 2^30), b = 15 .. 0: all below 2^22),
// the factors of the products below.
struct Exp2Excess {
    int32_t d[16];
    constexpr Exp2Excess() : d() {
        for (int b = 15; b >= 0; --b)
            d[15 - b] = 2 * (adjuster::kRoots.c[adjuster::kLogFrac - b] - (INT32_C(1) << 30));
    }
};
constexpr Exp2Excess kExp2Excess;

}  // namespace

namespace {

// The exponentials of four values x into me (mantissas, exponents).
inline int32x4x2_t exp2_four(int32x4_t x, int32x4_t d0, int32x4_t d1, int32x4_t d2, int32x4_t d3) {
    const uint32x4_t frac = vreinterpretq_u32_s32(vandq_s32(x, vdupq_n_s32((1 << adjuster::kLogFrac) - 1)));
    // The top 8 bits of the fraction from the table, then the others'
    // roots where they are set.
    // (Written out: the four indices to core registers two a VMOV, the
    // words loaded, back two a VMOV; the compiler goes through memory.)
    const uint32x4_t idx = vshrq_n_u32(frac, adjuster::kLogFrac - 8);
    int32x4_t m;
    uint32_t i0, i1, i2, i3;
    __asm__("vmov %1, %2, %e5\n\t"
            "vmov %3, %4, %f5\n\t"
            "ldr %1, [%6, %1, lsl #2]\n\t"
            "ldr %2, [%6, %2, lsl #2]\n\t"
            "ldr %3, [%6, %3, lsl #2]\n\t"
            "ldr %4, [%6, %4, lsl #2]\n\t"
            "vmov %e0, %1, %2\n\t"
            "vmov %f0, %3, %4"
            : "=w"(m), "=&r"(i0), "=&r"(i1), "=&r"(i2), "=&r"(i3)
            : "w"(idx), "r"(adjuster::kExp2Top.m), "m"(adjuster::kExp2Top));
    // A root c = 2^30 + e: rshr64(m c, 30) = m + rshr64(m e, 30), the
    // latter the rounded doubled high word of m and 2e (VQRDMULH; m and
    // 2e positive, no saturation). It is added where the bit is set:
    // the bit moved to the sign (the fraction shifted up one each step),
    // its mask -1 there (VSHR #31), m - mask product (VMLS).
    int32x4_t f = vreinterpretq_s32_u32(vshlq_n_u32(frac, 32 - (adjuster::kLogFrac - 8)));
    auto step = [&](int32x2_t e, int lane) __attribute__((always_inline)) {
        const int32x4_t mask = vshrq_n_s32(f, 31);
        f = vshlq_n_s32(f, 1);
        const int32x4_t t = lane ? vqrdmulhq_lane_s32(m, e, 1) : vqrdmulhq_lane_s32(m, e, 0);
        m = vmlsq_s32(m, t, mask);
    };
    step(vget_low_s32(d0), 0), step(vget_low_s32(d0), 1), step(vget_high_s32(d0), 0), step(vget_high_s32(d0), 1);
    step(vget_low_s32(d1), 0), step(vget_low_s32(d1), 1), step(vget_high_s32(d1), 0), step(vget_high_s32(d1), 1);
    step(vget_low_s32(d2), 0), step(vget_low_s32(d2), 1), step(vget_high_s32(d2), 0), step(vget_high_s32(d2), 1);
    step(vget_low_s32(d3), 0), step(vget_low_s32(d3), 1), step(vget_high_s32(d3), 0), step(vget_high_s32(d3), 1);
    return int32x4x2_t{{m, vshrq_n_s32(x, adjuster::kLogFrac)}};
}

}  // namespace

void sbr_exp2_neon(const int32_t* l, int n, SbrLin* out) {
    const int32x4_t d0 = vld1q_s32(kExp2Excess.d), d1 = vld1q_s32(kExp2Excess.d + 4);
    const int32x4_t d2 = vld1q_s32(kExp2Excess.d + 8), d3 = vld1q_s32(kExp2Excess.d + 12);
    int i = 0;
    for (; i + 4 <= n; i += 4) vst2q_s32(&out[i].m, exp2_four(vld1q_s32(l + i), d0, d1, d2, d3));
    if (i < n) {
        // The last block's missing values are taken as 0.
        // (Lane by lane: a loop here becomes a call of the C library's copy.)
        const int lanes = n - i;
        int32x4_t x = vdupq_n_s32(0);
        x = vld1q_lane_s32(l + i, x, 0);
        if (lanes > 1) x = vld1q_lane_s32(l + i + 1, x, 1);
        if (lanes > 2) x = vld1q_lane_s32(l + i + 2, x, 2);
        const int32x4x2_t me = exp2_four(x, d0, d1, d2, d3);
        vst2_lane_s32(&out[i].m, (int32x2x2_t{{vget_low_s32(me.val[0]), vget_low_s32(me.val[1])}}), 0);
        if (lanes > 1) vst2_lane_s32(&out[i + 1].m, (int32x2x2_t{{vget_low_s32(me.val[0]), vget_low_s32(me.val[1])}}), 1);
        if (lanes > 2) vst2_lane_s32(&out[i + 2].m, (int32x2x2_t{{vget_high_s32(me.val[0]), vget_high_s32(me.val[1])}}), 0);
    }
}

// Four terms at a time: each mantissa widened and shifted by its 26 + e
// (VSHL of the pair, a negative count shifting right with truncation), and
// multiplied by its count from the halves (VMULL of the low word, and of
// the high one, below 2^25, moved up a word); then added to the sums, the
// four summed first where they have one owner (in any order the sums are
// the same).
void sbr_add_terms_neon(const SbrLin* t, const uint8_t* count, const uint8_t* owner, int n, uint64_t* sums) {
    const int32x4_t up = vdupq_n_s32(adjuster::kSumBits - 30);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const int32x4x2_t me = vld2q_s32(&t[i].m);  // mantissas, exponents
        const int32x4_t sh = vaddq_s32(me.val[1], up);
        const uint32x4_t m = vreinterpretq_u32_s32(me.val[0]);
        uint32_t c4;
        std::memcpy(&c4, count + i, sizeof c4);
        const uint32x4_t c = vmovl_u16(vget_low_u16(vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(c4)))));
        uint64x2_t prod[2];
        for (int h = 0; h < 2; ++h) {
            const int64x2_t sh64 = vmovl_s32(h ? vget_high_s32(sh) : vget_low_s32(sh));
            const uint64x2_t term = vshlq_u64(vmovl_u32(h ? vget_high_u32(m) : vget_low_u32(m)), sh64);
            const uint32x2_t ch = h ? vget_high_u32(c) : vget_low_u32(c);
            prod[h] = vaddq_u64(vmull_u32(vmovn_u64(term), ch), vshlq_n_u64(vmull_u32(vshrn_n_u64(term, 32), ch), 32));
        }
        uint32_t o4;
        std::memcpy(&o4, owner + i, sizeof o4);
        if (o4 == owner[i] * UINT32_C(0x01010101)) {
            const uint64x2_t two = vaddq_u64(prod[0], prod[1]);
            sums[owner[i]] += vget_lane_u64(vadd_u64(vget_low_u64(two), vget_high_u64(two)), 0);
            continue;
        }
        sums[owner[i]] += vgetq_lane_u64(prod[0], 0);
        sums[owner[i + 1]] += vgetq_lane_u64(prod[0], 1);
        sums[owner[i + 2]] += vgetq_lane_u64(prod[1], 0);
        sums[owner[i + 3]] += vgetq_lane_u64(prod[1], 1);
    }
    sbr_add_terms_c(t + i, count + i, owner + i, n - i, sums);
}

namespace {

// One term's shifts for four subbands, as VQRSHL counts: e - base, held to
// -64..63.
struct Term {
    int32x4_t level;
    int64x2_t count_lo, count_hi;
    Term(const SbrLin* lv, int base) {
        const int32x4x2_t me = vld2q_s32(&lv->m);  // mantissas, exponents
        level = me.val[0];
        const int32x4_t c = vmaxq_s32(vminq_s32(vsubq_s32(me.val[1], vdupq_n_s32(base)), vdupq_n_s32(63)),
                                      vdupq_n_s32(-64));
        count_lo = vmovl_s32(vget_low_s32(c));
        count_hi = vmovl_s32(vget_high_s32(c));
    }
    int32x4_t apply(int32x4_t x) const {
        const int64x2_t lo = vqrshlq_s64(vmull_s32(vget_low_s32(x), vget_low_s32(level)), count_lo);
        const int64x2_t hi = vqrshlq_s64(vmull_s32(vget_high_s32(x), vget_high_s32(level)), count_hi);
        return vcombine_s32(vqmovn_s64(lo), vqmovn_s64(hi));
    }
};

}  // namespace

namespace {

// A whole block's rows with noise: runs of rows whose four noise values
// lie in order in the table (first index at most 508) written out, each
// row as apply_block's: y (q8), the noise's re and im (VLD2: q10, q11),
// the products and their shifts (q12..q15), VQMOVN, VQADD, y stored, every
// address stepped by its load or store; a row whose noise wraps round the
// table's end sample by sample. `first`: the noise index of row 0's first
// subband.
#define SBR_APPLY_PART(Y, V_LO, V_HI)             \
    "vld1.32 {d16-d17}, [%[" Y "]]\n\t"           \
    "vmull.s32 q12, d16, %e[gl]\n\t"             \
    "vmull.s32 q13, d17, %f[gl]\n\t"             \
    "vmull.s32 q14, " V_LO ", %e[ql]\n\t"        \
    "vmull.s32 q15, " V_HI ", %f[ql]\n\t"        \
    "vqrshl.s64 q12, q12, %q[gc_lo]\n\t"         \
    "vqrshl.s64 q13, q13, %q[gc_hi]\n\t"         \
    "vqrshl.s64 q14, q14, %q[qc_lo]\n\t"         \
    "vqrshl.s64 q15, q15, %q[qc_hi]\n\t"         \
    "vqmovn.s64 d24, q12\n\t"                    \
    "vqmovn.s64 d25, q13\n\t"                    \
    "vqmovn.s64 d28, q14\n\t"                    \
    "vqmovn.s64 d29, q15\n\t"                    \
    "vqadd.s32 q12, q12, q14\n\t"                \
    "vst1.32 {d24-d25}, [%[" Y "]], %[row]\n\t"
inline void noise_rows(int32_t* yr, int32_t* yi, int rows, int count, int first, const Term& g, const Term& q,
                       const SbrLin* gl, const SbrLin* ql) {
    for (int r = 0; r < rows;) {
        const int at = first & 511;
        if (at > 512 - 4) {
            for (int k = 0; k < 4; ++k) {
                const int32_t* v = sbr_noise_v[(at + k) & 511];
                yr[k] = adjuster::apply(yr[k], gl[k], v[0], ql[k]);
                yi[k] = adjuster::apply(yi[k], gl[k], v[1], ql[k]);
            }
            yr += 64, yi += 64, first += count, ++r;
            continue;
        }
        // The rows up to the next that wraps.
        int run = (512 - 4 - at) / count + 1;
        run = run < rows - r ? run : rows - r;
        const int32_t* v = sbr_noise_v[at];
        int left = run;
        __asm__ volatile("1:\n\t"
                         "vld2.32 {d20-d23}, [%[v]], %[v_step]\n\t"
                         SBR_APPLY_PART("yr", "d20", "d21") SBR_APPLY_PART("yi", "d22", "d23")
                         "subs %[left], %[left], #1\n\t"
                         "bne 1b"
                         : [yr] "+r"(yr), [yi] "+r"(yi), [v] "+r"(v), [left] "+r"(left)
                         : [v_step] "r"(8 * count), [row] "r"(256), [gl] "w"(g.level), [ql] "w"(q.level),
                           [gc_lo] "w"(g.count_lo), [gc_hi] "w"(g.count_hi), [qc_lo] "w"(q.count_lo),
                           [qc_hi] "w"(q.count_hi)
                         : "d16", "d17", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30",
                           "d31", "cc", "memory");
        first += run * count, r += run;
    }
}
#undef SBR_APPLY_PART

// Four subbands from i down the rows, their levels gl and ql (null: no
// noise).
inline void apply_block(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gl, const SbrLin* ql,
                        int noise_index, int i) {
    const Term g(gl, 30);
    if (ql) {
        noise_rows(y_re + i, y_im + i, rows, count, noise_index + i + 1, g, Term(ql, 61), gl, ql);
        return;
    }
    for (int r = 0; r < rows; ++r) {
        int32_t* const yr = y_re + 64 * r + i;
        int32_t* const yi = y_im + 64 * r + i;
        vst1q_s32(yr, g.apply(vld1q_s32(yr)));
        vst1q_s32(yi, g.apply(vld1q_s32(yi)));
    }
}

}  // namespace

void sbr_apply_neon(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                    int noise_index) {
    if (count < 4) {
        sbr_apply_c(y_re, y_im, rows, count, gain, noise, noise_index);
        return;
    }
    int i = 0;
    for (; i + 4 <= count; i += 4)
        apply_block(y_re, y_im, rows, count, gain + i, noise ? noise + i : nullptr, noise_index, i);
    if (i < count) {
        // The last four subbands, those already taken left as they are.
        SbrLin g4[4], q4[4];
        adjuster::last_levels(gain, noise, count, i, g4, q4);
        apply_block(y_re, y_im, rows, count, g4, noise ? q4 : nullptr, noise_index, count - 4);
    }
}

#pragma GCC pop_options

#endif
