// The kernels of the SBR envelope adjuster (sbr/adjust.cpp; dsp/kernels.h:
// sbr_energies, sbr_log2, sbr_apply).
//
// sbr_energies: the energies of `count` subbands over `rows` QMF slots. Every
// sample of the block (re and im) is first shifted right (arithmetically) by
// the block's shift, the least that brings the bits of its largest magnitude
// (of v, or of ~v for v < 0) to 24 or fewer; energy[i] is the sum over the
// rows of re^2 + im^2 of subband i so shifted (exact: 80 terms of 2^48 at
// most). Returns the shift. x_re, x_im point at the first row's first
// subband, rows 64 words apart. energy must not overlap x_re, x_im (a
// variant may redo an overlapping last block of subbands).
// (Every variant takes the energies of the samples as they are in the same
// pass that finds the shift, and only for a shift above 0 a second pass.)
//
// sbr_log2: out[i] = log2(v[i]) in Q24, within 2^-24, the adjuster's
// logarithm: the mantissa in Q29, then one bit per squaring, each square
// rounded to Q29 (see log2_u64 below; 0 gives -1.0).
//
// sbr_exp2: out[i] = 2^(l[i] / 2^24) as m 2^(e - 30), m in [2^30, 2^31),
// within 2^-26: e the integer part of l (l >> 24), m the product of the
// roots of 2 for the set bits of the fraction, each product rounded to Q30,
// highest bit first (see exp2_q24 below). out must not overlap l (a variant
// may redo an overlapping last block).
//
// sbr_add_terms: sums[owner[i]] += count[i] t[i] in Q56 (modulo 2^64) for
// i < n, t[i] = 2^d (sbr_exp2's) of a d in (-56, 0] (log2), so e in
// -56..0: the mantissa shifted by 26 + e, truncated (see term_q56 below);
// count[i] below 128.
//
// sbr_apply: Y = X G + noise on `rows` rows of `count` subbands, in place:
// for subband i of row r (y_re, y_im point at the first row's first subband,
// rows 64 words apart), both parts y of the sample become
//   add_sat(mul_shift_sat(y, gain[i].m, 30 - gain[i].e),
//           mul_shift_sat(v, noise[i].m, 61 - noise[i].e))
// with v the part of sbr_noise_v[(noise_index + r count + i + 1) & 511], or
// the first term alone when noise is null. (A level whose shift exceeds 62
// adds nothing: a subband with a sinusoid instead of noise.) Levels' m in
// [2^30, 2^31), their e within +-2^16.
#pragma once

#include <cstdint>

#include "dsp/fixed.h"

// A positive level m 2^(e - 30), m in [2^30, 2^31).
struct SbrLin {
    int32_t m;
    int32_t e;
};

int sbr_energies_c(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
void sbr_log2_c(const uint64_t* v, int n, int32_t* out);
void sbr_exp2_c(const int32_t* l, int n, SbrLin* out);
void sbr_add_terms_c(const SbrLin* t, const uint8_t* count, const uint8_t* owner, int n, uint64_t* sums);
void sbr_apply_c(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                 int noise_index);
// Variants: x86 SSE4.1 (dsp/x86/sbr_adjust_sse41.cpp: the energies and the
// logarithms, four at a time), AVX2 (dsp/x86/sbr_adjust_avx2.cpp: the
// energies, logarithms, exponentials and gains, eight at a time) and 32-bit
// ARM NEON (dsp/arm/sbr_adjust_neon.cpp: all five, four at a time).
int sbr_energies_sse41(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
void sbr_log2_sse41(const uint64_t* v, int n, int32_t* out);
int sbr_energies_avx2(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
void sbr_log2_avx2(const uint64_t* v, int n, int32_t* out);
void sbr_exp2_avx2(const int32_t* l, int n, SbrLin* out);
void sbr_apply_avx2(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                    int noise_index);
int sbr_energies_neon(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
void sbr_log2_neon(const uint64_t* v, int n, int32_t* out);
void sbr_exp2_neon(const int32_t* l, int n, SbrLin* out);
void sbr_add_terms_neon(const SbrLin* t, const uint8_t* count, const uint8_t* owner, int n, uint64_t* sums);
void sbr_apply_neon(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                    int noise_index);

namespace adjuster {

constexpr int kLogFrac = 24;  // log2 values are Q24
constexpr int kEnergyBits = 24;

// The shift of sbr_energies from the OR of the magnitudes' bits.
__attribute__((always_inline)) inline int energy_shift(uint32_t bits_or) {
    const int s = 32 - fx::clz32(bits_or) - kEnergyBits;
    return s > 0 ? s : 0;
}
__attribute__((always_inline)) inline uint32_t magnitude_bits(int32_t a) {
    return a < 0 ? ~static_cast<uint32_t>(a) : static_cast<uint32_t>(a);
}

// A noise level that adds nothing: its shift (beyond 62) leaves no bit.
constexpr SbrLin kSilentNoise{INT32_C(1) << 30, -200};

// The levels of the last kN subbands of a row of `count` (at least kN):
// those from `from` on their own, the others' (taken by the blocks before)
// gain 1 and no noise, which leave a sample exactly as it is. The last
// block of a variant may so overlap the one before.
template <int kN>
inline void last_levels(const SbrLin* gain, const SbrLin* noise, int count, int from, SbrLin (&g)[kN],
                        SbrLin (&q)[kN]) {
    for (int k = 0; k < kN; ++k) {
        const int i = count - kN + k;
        g[k] = i >= from ? gain[i] : SbrLin{INT32_C(1) << 30, 0};
        q[k] = i >= from && noise ? noise[i] : kSilentNoise;
    }
}

// The energies of subbands from..count-1 over the rows of the samples as
// they are, and the OR of their magnitudes' bits into *bits_or: the
// energies are the block's when its shift is 0 (the samples below 2^24,
// as they nearly always are), and are taken again with the shift when not.
inline void energy_columns_bits(const int32_t* x_re, const int32_t* x_im, int rows, int from, int count,
                                uint64_t* energy, uint32_t* bits_or) {
    uint32_t bits = 0;
    for (int i = from; i < count; ++i) {
        int64_t acc = 0;
        for (int r = 0; r < rows; ++r) {
            const int32_t a = x_re[64 * r + i], b = x_im[64 * r + i];
            bits |= magnitude_bits(a) | magnitude_bits(b);
            acc = fx::mac64(fx::mac64(acc, a, a), b, b);
        }
        energy[i] = static_cast<uint64_t>(acc);
    }
    *bits_or |= bits;
}

// The energies of subbands from..count-1 over the rows, each value shifted
// down by `shift` first (the reference's second pass, when the block's
// shift is not 0).
inline void energy_columns(const int32_t* x_re, const int32_t* x_im, int rows, int from, int count, int shift,
                           uint64_t* energy) {
    for (int i = from; i < count; ++i) {
        int64_t acc = 0;
        for (int r = 0; r < rows; ++r) {
            const int32_t a = fx::asr(x_re[64 * r + i], shift), b = fx::asr(x_im[64 * r + i], shift);
            acc = fx::mac64(fx::mac64(acc, a, a), b, b);
        }
        energy[i] = static_cast<uint64_t>(acc);
    }
}

// log2(v) in Q24 for v >= 1, within 2^-24: the mantissa in Q29, then one
// bit per squaring.
__attribute__((always_inline)) inline int32_t log2_u64(uint64_t v) {
    const int n = 63 - fx::clz64(v);
    int32_t x = static_cast<int32_t>(n >= 29 ? fx::lsr64(v, n - 29) : fx::lsl64(v, 29 - n));
    if (x == INT32_C(1) << 29) return fx::shl_wrap(n, kLogFrac);  // a power of 2: its squares stay 1
    int32_t frac = 0;
    for (int k = 0; k < kLogFrac + 1; ++k) {
        x = fx::rshr64(fx::mac64(0, x, x), 29);  // [2^29, 2^31)
        frac = fx::shl_wrap(frac, 1);
        if (x >= INT32_C(1) << 30) {
            x = fx::asr(x, 1);
            frac += 1;
        }
    }
    return fx::shl_wrap(n, kLogFrac) + fx::rshr(frac, 1);
}

// Integer square root (floor) of a 64-bit value, for the constants below.
constexpr uint64_t isqrt64(uint64_t v) {
    uint64_t r = 0;
    for (int b = 31; b >= 0; --b) {
        const uint64_t t = r | (UINT64_C(1) << b);
        if (t * t <= v) r = t;
    }
    return r;
}

// 2^(2^-k) in Q30, k = 1..kLogFrac: repeated square roots of 2.
struct Exp2Roots {
    int32_t c[kLogFrac + 1];
    constexpr Exp2Roots() : c() {
        uint64_t v = UINT64_C(2) << 30;
        for (int k = 1; k <= kLogFrac; ++k) {
            v = isqrt64(v << 30);
            c[k] = static_cast<int32_t>(v);
        }
    }
};
inline constexpr Exp2Roots kRoots;

// The roots' product for the top 8 bits of a fraction, from 2^30 (bit 7 of
// the index: 2^-1): the first 8 steps of exp2_q24's product, which depend on
// nothing else.
struct Exp2Top {
    int32_t m[256];
    constexpr Exp2Top() : m() {
        for (int i = 0; i < 256; ++i) {
            int32_t r = INT32_C(1) << 30;
            for (int j = 7; j >= 0; --j)
                if ((i >> j) & 1) r = fx::rshr64(fx::mac64(0, r, kRoots.c[8 - j]), 30);
            m[i] = r;
        }
    }
};
inline constexpr Exp2Top kExp2Top;

// 2^(l / 2^24) as m 2^(e - 30): the integer part to e, the fraction as a
// product of the roots of its bits (within 2^-26).
inline SbrLin exp2_q24(int32_t l) {
    const uint32_t frac = static_cast<uint32_t>(l) & static_cast<uint32_t>((INT32_C(1) << kLogFrac) - 1);
    SbrLin r{kExp2Top.m[frac >> (kLogFrac - 8)], fx::asr(l, kLogFrac)};
    // Then the set bits of the rest only, highest first.
    uint32_t f = frac & ((UINT32_C(1) << (kLogFrac - 8)) - 1);
    while (f) {
        const int b = 31 - fx::clz32(f);
        r.m = fx::rshr64(fx::mac64(0, r.m, kRoots.c[kLogFrac - b]), 30);
        f ^= UINT32_C(1) << b;
    }
    return r;
}

// t = 2^d in Q56 for -56 < d <= 0 (its e in -56..0).
constexpr int kSumBits = 56;
__attribute__((always_inline)) inline uint64_t term_q56(SbrLin t) {
#if defined(__arm__)
    // One shift, left or right, instead of both on the register pair: a
    // shift right (by at most 30, t being above 2^-56) takes the 32-bit
    // mantissa alone.
    const int s = kSumBits - 30 + t.e;
    const uint32_t m = static_cast<uint32_t>(t.m);
    return s >= 0 ? fx::lsl64(m, s) : m >> -s;
#else
    return fx::lsr64(fx::lsl64(static_cast<uint64_t>(t.m), kSumBits - 30), -t.e);  // e <= 0
#endif
}
// 2^d in Q56 for d <= 0 (log2, Q24) from t = 2^d; 0 below 2^-56.
__attribute__((always_inline)) inline uint64_t term_q56(int32_t d, SbrLin t) {
    return d <= -kSumBits * (INT32_C(1) << kLogFrac) ? 0 : term_q56(t);
}

// fx::mul_shift_sat(a, b, s); for s of 32 to 62 (most levels) the high
// word of the rounded product shifted on (SMLAL, ASR), which cannot
// saturate.
__attribute__((always_inline)) inline int32_t mul_shift(int32_t a, int32_t b, int s) {
    if (s >= 32 && s <= 62) return fx::asr64_hi(fx::mac64(fx::round_bias64(s), a, b), s - 32);
    return fx::mul_shift_sat(a, b, s);
}

// One sample part of sbr_apply.
__attribute__((always_inline)) inline int32_t apply(int32_t y, SbrLin g, int32_t v, SbrLin q) {
    return fx::add_sat(mul_shift(y, g.m, 30 - g.e), mul_shift(v, q.m, 61 - q.e));
}

}  // namespace adjuster
