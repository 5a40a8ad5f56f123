#pragma once

// Sums of products of covariances (below 2^59 in magnitude) without the
// four 32 x 32 products and sign corrections of each 64 x 64 one: each
// factor split at bit 30 into a signed high part (below 2^29) and a low
// part in [0, 2^30), the products of the parts gathered in three 64-bit
// sums by weight, 2^60, 2^30 and 1 (SMLAL), and the 128-bit value formed
// once. A product of high parts is below 2^58 in magnitude, of a high and
// a low part below 2^59, of low parts below 2^60; the middle sum takes two
// products a multiply-add, so with up to three multiply-adds it holds up
// to six and stays within 6 2^59 < 2^62, as the low sum's three stay
// within 3 2^60 < 2^62. The predictor on 32-bit ARM takes its products
// this way; elsewhere the wide product does.
#include <cstdint>

#include "dsp/fixed.h"

namespace sbr_split {

struct Split {
    int32_t h, l;
};
inline Split split(int64_t a) {
    return {static_cast<int32_t>(a >> 30), static_cast<int32_t>(static_cast<uint32_t>(a) & 0x3fffffffu)};
}
inline Split neg(Split a) { return {-a.h, -a.l}; }
struct Sums {
    int64_t h = 0, m = 0, l = 0;
};
// a b for a 32-bit b: its products with a's parts.
inline void mul_add(Sums* s, Split a, int32_t b) {
    s->m = fx::mac64(s->m, a.h, b);
    s->l = fx::mac64(s->l, a.l, b);
}
inline void mul_add(Sums* s, Split a, Split b) {
    s->h = fx::mac64(s->h, a.h, b.h);
    s->m = fx::mac64(fx::mac64(s->m, a.h, b.l), a.l, b.h);
    s->l = fx::mac64(s->l, a.l, b.l);
}
// h 2^60 + m 2^30 + l, the carries of the low parts taken up first.
inline fx::Wide value(const Sums& s) {
    const int64_t m = s.m + (s.l >> 30);
    const int64_t h = s.h + (m >> 30);
    const uint64_t low = ((static_cast<uint64_t>(m) & 0x3fffffffu) << 30) | (static_cast<uint64_t>(s.l) & 0x3fffffffu);
    return fx::add_wide(fx::shl_wide(h, 60), fx::wide(static_cast<int64_t>(low)));
}

// ---- The predictor's divisions ----
//
// num 2^up / den in Q28 (alpha = num 2^up / (den 2^28)) for den > 0 and
// up 0 or 28, both first shifted right by s = max(0, bit length of den -
// 31) (rounding toward minus infinity) so that d = den >> s fits 31 bits:
// for n = num >> s the quotient n 2^up / d rounded to the nearest integer,
// halves away from zero, for the two numerators of a complex alpha over
// one denominator; false where either quotient reaches 4 in magnitude
// (|n| 2^up at or above d 2^30, or n beyond 64 bits). Two forms: by
// 32-bit words and the divisor's reciprocal (ARM, which has no division
// instruction), by 64-bit halves and the division (elsewhere); both are
// built on every target so that each can be checked on each.

// a >> s (arithmetic, s 0..127) in 64 bits where it fits them: a shift of
// 64 or more always fits; below that the value fits where the bits above
// the low 64 are copies of their sign bit.
struct Shifted {
    int64_t v;
    bool fits;
};
// By 32-bit words: a shift of 32 or more first takes the words one place
// down (conditional moves), then each word of the result joins two
// neighbours (LSR, LSL, ORR), the left shift in two steps so that a shift
// of 0 needs no branch.
[[gnu::always_inline]] inline Shifted shr_to64_words(fx::Wide a, int s) {
    if (s >= 64) return {a.hi >> (s - 64), true};
    const uint64_t hi = static_cast<uint64_t>(a.hi);
    uint32_t w0 = static_cast<uint32_t>(a.lo), w1 = static_cast<uint32_t>(a.lo >> 32);
    uint32_t w2 = static_cast<uint32_t>(hi), w3 = static_cast<uint32_t>(hi >> 32);
    if (s >= 32) w0 = w1, w1 = w2, w2 = w3, w3 = static_cast<uint32_t>(a.hi >> 63);
    const int r = s & 31;
    auto join = [r](uint32_t lo, uint32_t up) { return (lo >> r) | ((up << 1) << (31 - r)); };
    const uint32_t v0 = join(w0, w1), v1 = join(w1, w2), v2 = join(w2, w3);
    const uint32_t v3 = static_cast<uint32_t>(static_cast<int32_t>(w3) >> r);
    const uint32_t ext = static_cast<uint32_t>(static_cast<int32_t>(v1) >> 31);
    return {static_cast<int64_t>((static_cast<uint64_t>(v1) << 32) | v0), v2 == ext && v3 == ext};
}
// By 64-bit halves (SHRD, SAR on x86-64).
[[gnu::always_inline]] inline Shifted shr_to64_halves(fx::Wide a, int s) {
    if (s >= 64) return {a.hi >> (s - 64), true};
    const int64_t v = static_cast<int64_t>((a.lo >> s) | ((static_cast<uint64_t>(a.hi) << 1) << (63 - s)));
    return {v, (a.hi >> s) == (v >> 63)};
}

// The shift that brings den > 0 to 31 bits, from its top nonzero half.
inline int divisor_shift(fx::Wide den) {
    const int len = den.hi ? 128 - fx::clz64(static_cast<uint64_t>(den.hi)) : 64 - fx::clz64(den.lo);
    return len > 31 ? len - 31 : 0;
}

// The quotients from the divisor's 32-bit reciprocal (fx::recip_q30 of
// bn = d 2^s in [2^30, 2^31): R = 2^32 + v, 0.75 to 2.13 short of
// 2^63 / bn): for a dividend a with quotient q = floor((a + floor(d / 2)) /
// d) at most 2^30, m = a 2^s + floor(bn / 2) (below 2^61; the same
// quotient by bn, as the 2^s - 1 or fewer units added to a multiple of 2^s
// cross no multiple of bn) gives the estimate (mh R) >> 34 of mh = m >> 29,
// at most q and short of it by less than 2 + 1/2 (mh's truncation and
// R's), which the remainder puts right.
struct Reciprocal {
    uint32_t bn, v;
    int s;
};
[[gnu::always_inline]] inline Reciprocal reciprocal(uint32_t d) {
    const int s = fx::clz32(d) - 1;
    const uint32_t bn = d << s;
    return {bn, fx::recip_q30(bn), s};
}
[[gnu::always_inline]] inline uint32_t quotient(uint64_t a, const Reciprocal& r) {
    const uint64_t m = (a << r.s) + (r.bn >> 1);
    const uint32_t mh = static_cast<uint32_t>(m >> 29);
    uint32_t q = static_cast<uint32_t>((mh + ((static_cast<uint64_t>(mh) * r.v) >> 32)) >> 2);
    uint64_t rem = m - static_cast<uint64_t>(q) * r.bn;
    while (rem >= r.bn) ++q, rem -= r.bn;
    return q;
}

// The magnitude of n = num >> s where it is below 2^(30 - up) d (the
// magnitude's bits from 2^(30 - up) up compared with d), else false.
template <int up>
[[gnu::always_inline]] inline bool shifted_magnitude(fx::Wide num, int s, uint32_t d, uint64_t* mag, bool* neg) {
    const Shifted w = shr_to64_words(num, s);
    *neg = w.v < 0;
    *mag = fx::magnitude64(w.v);
    return w.fits && (*mag >> (30 - up)) < d;
}
template <int up>
[[gnu::always_inline]] inline bool divide_q28_recip(fx::Wide num_re, fx::Wide num_im, fx::Wide den, int32_t* q_re,
                                                    int32_t* q_im) {
    const int s = divisor_shift(den);
    const uint32_t d = static_cast<uint32_t>(shr_to64_words(den, s).v);
    uint64_t mag_re, mag_im;
    bool neg_re, neg_im;
    if (!shifted_magnitude<up>(num_re, s, d, &mag_re, &neg_re) ||
        !shifted_magnitude<up>(num_im, s, d, &mag_im, &neg_im))
        return false;
    const Reciprocal r = reciprocal(d);
    const uint32_t a = quotient(mag_re << up, r), b = quotient(mag_im << up, r);
    *q_re = static_cast<int32_t>(neg_re ? 0u - a : a);
    *q_im = static_cast<int32_t>(neg_im ? 0u - b : b);
    return true;
}

template <int up>
inline bool divide_q28_div(fx::Wide num_re, fx::Wide num_im, fx::Wide den, int32_t* q_re, int32_t* q_im) {
    const int s = divisor_shift(den);
    const int64_t d = shr_to64_halves(den, s).v;
    const int64_t lim = d << (30 - up);  // |alpha| = 4
    const Shifted n_re = shr_to64_halves(num_re, s), n_im = shr_to64_halves(num_im, s);
    if (!n_re.fits || n_re.v >= lim || n_re.v <= -lim || !n_im.fits || n_im.v >= lim || n_im.v <= -lim) return false;
    const fx::Divisor31 by = fx::divisor31(static_cast<uint32_t>(d));
    // |n| 2^up below 2^61: the products by 2^up through unsigned values
    *q_re = fx::div_round_by(static_cast<int64_t>(static_cast<uint64_t>(n_re.v) << up), by);
    *q_im = fx::div_round_by(static_cast<int64_t>(static_cast<uint64_t>(n_im.v) << up), by);
    return true;
}

template <int up>
[[gnu::always_inline]] inline bool divide_q28(fx::Wide num_re, fx::Wide num_im, fx::Wide den, int32_t* q_re,
                                              int32_t* q_im) {
#if defined(__arm__)
    return divide_q28_recip<up>(num_re, num_im, den, q_re, q_im);
#else
    return divide_q28_div<up>(num_re, num_im, den, q_re, q_im);
#endif
}

}  // namespace sbr_split
