// The exact arithmetic's transform steps: the pre-twiddle of the inverse
// MDCT and its N/4-point complex FFT, in 32 bits (the synthesis filter bank,
// dsp/synthesis_exact.cpp, runs them through the kernel table).
//
// On 32-bit ARM with GCC this file is compiled without instruction
// scheduling before register allocation (codec/CMakeLists.txt): that pass
// spreads the loads and products of these loops so far apart that their
// values no longer fit the 14 registers, and they spill; without it they
// take fewer instructions. (Nothing else changes, nor what they compute.)
#include "dsp/bitrev_pairs.h"
#include "dsp/complex.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/rotation.h"
#include "tables/exact_tables.h"

using namespace cx;

namespace {

// A radix-2 butterfly: x + t to p and x - t to q, x at p.
inline void butterfly(int32_t* p, int32_t* q, Complex t) {
    const Complex x = load_pair(p, 0);
    store_pair(p, 0, add(x, t));
    store_pair(q, 0, sub(x, t));
}

// The two butterflies of the 512-point FFT's last radix-2 stage (half-span
// 256) whose twiddles are exactly 1 and -i, in place: j = 0 and j = 128
// (each with the point 256 on). The stage's other butterflies turn the
// upper point by the twiddle first (see fft_exact).
inline void last_stage_ends(int32_t* buf) {
    butterfly(buf, buf + 512, load_pair(buf, 256));
    butterfly(buf + 256, buf + 768, times_minus_i(load_pair(buf, 384)));
}

// Twice a shifted right by 3 (rounded): a shifted right by 2, plus a's
// bit 2 (the rounding bit of the shift by 3, which the shift by 2 keeps as
// its lowest bit as well). Below 2^29 in magnitude for any a.
inline int32_t twice_rshr3(int32_t a) {
    return fx::add_wrap(fx::asr(a, 2), static_cast<int32_t>(static_cast<uint32_t>(a) >> 2 & 1u));
}

// -(a + i b)(c - i s), long blocks' a and b shifted right by 3 (rounded)
// first. Those take twice a and b into the products and shift their sums by
// 32 rather than 31: the same values (the sums stay far inside 64 bits), and
// the rounded shift by 32 is the cheaper one on 32-bit ARM (the high word
// plus the low word's top bit).
template <bool kLong>
inline Complex pre_value(int32_t a, int32_t b, const int32_t* cs) {
    if constexpr (kLong) {
        const Complex z2{twice_rshr3(a), twice_rshr3(b)};
        return {fx::rshr64_neg(rotate_re(z2, cs[0], cs[1]), 32), fx::rshr64_neg(rotate_im(z2, cs[0], cs[1]), 32)};
    }
    return rotate_neg({a, b}, cs[0], cs[1]);
}

// Exchanges the complex values at p and q.
inline void swap_slots(int32_t* p, int32_t* q) {
    const Complex t = load(p, 0);
    store(p, 0, load(q, 0));
    store(q, 0, t);
}

// Pre-twiddle z[k] = -(a + i b)(c - i s), a = X[2k], b = X[N/2-1-2k], for
// N = 2048 or 256, in place, each z[k] stored at the bit reversal of k: the
// order the FFT reads. Long blocks are shifted right by 3 (rounded) first.
// Two passes: the values in natural order (slots k and points-1-k read
// exactly those two slots' words), with four moving pointers and no branch,
// then every slot exchanged with its bit reversal, four slots at a time (see
// for_bit_reversed_groups).
template <bool kLong>
void pre_twiddle_n(int32_t* buf) {
    constexpr int n = kLong ? 2048 : 256, half = n / 2, points = n / 4, h = points / 2;
    const int32_t* front_tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    const int32_t* back_tw = front_tw + 2 * (points - 1);
    // slot k (front, words 2k, 2k+1) and slot points-1-k (back, words
    // half-2-2k, half-1-2k): a and b of each are one word of each slot
    for (int32_t *front = buf, *back = buf + half - 2; front < back; front += 2, back -= 2) {
        const Complex fw = load(front, 0), bw = load(back, 0);
        const Complex f = pre_value<kLong>(fw.re, bw.im, front_tw);
        const Complex g = pre_value<kLong>(bw.re, fw.im, back_tw);
        store_pair(front, 0, f);
        store_pair(back, 0, g);
        front_tw += 2;
        back_tw -= 2;
    }
    // Four pointers, one for each pair of neighbouring slots, all kept as
    // they are (slots h apart are beyond LDRD's reach, and GCC would address
    // a value through its base and an index register, which LDRD has not).
    for_bit_reversed_groups(points, [buf](int k, int r) {
        int32_t *a = buf + 2 * k, *a2 = a + 2 * h, *b = buf + 2 * r, *b2 = b + 2 * h;
#if defined(__arm__)
        asm("" : "+r"(a), "+r"(a2), "+r"(b), "+r"(b2));
#endif
        if (r == k) {
            swap_slots(a + 2, a2);
            return;
        }
        swap_slots(a, b);
        swap_slots(a + 2, b2);
        swap_slots(a2, b + 2);
        swap_slots(a2 + 2, b2 + 2);
    });
}

}  // namespace

void pre_twiddle_exact(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}

namespace {

// Two radix-2 stages over the points p, p + L, p + 2L, p + 3L (L = kQuarter)
// of a group, p and p + L from `lower`, the others from `upper` (2L points
// on): the first combines p with p + L and p + 2L with p + 3L, the odd
// ones multiplied by first(); the second combines the results at p with
// p + 2L (that at p + 2L multiplied by second()) and p + L with p + 3L
// (times second() and -i). (A constant L: on 32-bit ARM the points are a
// pointer or two and immediate offsets.)
//
// On 32-bit ARM the upper pair goes through both of its rotations before
// the lower pair is read: fewer values alive at once in its 14 registers
// (two or three instructions less a group). x86-64 does better the other
// way round.
#if defined(__arm__)
constexpr bool kUpperPairFirst = true;
#else
constexpr bool kUpperPairFirst = false;
#endif
template <int kQuarter, typename First, typename Second>
inline void radix4_points(int32_t* lower, int32_t* upper, int p, First first, Second second) {
    constexpr int quarter = kQuarter;
    int32_t *v = lower + 2 * p, *u = upper + 2 * p;
    // (in the first pass the loads as they come: fewer moves there)
    auto get = [](const int32_t* w, int k) { return kQuarter == 4 ? load(w, k) : load_pair(w, k); };
    const Complex x3 = first(get(u, quarter)), x2 = get(u, 0);
    const Complex b0 = add(x2, x3), b1 = sub(x2, x3);
    Complex a2{}, a3{};
    if constexpr (kUpperPairFirst) a2 = second(b0), a3 = times_minus_i(second(b1));
    const Complex x1 = first(get(v, quarter)), x0 = get(v, 0);
    const Complex a0 = add(x0, x1), a1 = sub(x0, x1);
    if constexpr (!kUpperPairFirst) a2 = second(b0);
    store_pair(v, 0, add(a0, a2));
    store_pair(u, 0, sub(a0, a2));
    if constexpr (!kUpperPairFirst) a3 = times_minus_i(second(b1));
    store_pair(v, quarter, add(a1, a3));
    store_pair(u, quarter, sub(a1, a3));
}

// The radix-2 stages of half-spans L and 2L as one pass over groups of 4L.
// The first stage's twiddle at j is exp(-i pi j / L), for j >= L/2 that of
// j - L/2 times -i; the second's exp(-i pi j / 2L), times -i for the points at
// p + L. Twiddles of 1 and -i are exact: no product at j = 0. Group by group,
// the twiddles read in order.
template <int kQuarter>
void radix4_pass(int32_t* buf, int points) {
    constexpr int quarter = kQuarter, half = quarter / 2;
    const int32_t* w = fft_r4_twiddle_q31 + (quarter - 4);
    auto same = [](Complex z) { return z; };
    auto by = [](const int32_t* t) { return [t](Complex z) { return rotate(z, t[0], t[1]); }; };
    for (int base = 0; base < points; base += 4 * quarter) {
        int32_t *g = buf + 2 * base, *g2 = g + 4 * quarter;
#if defined(__arm__)
        if constexpr (quarter >= 64) asm("" : "+r"(g2));  // its own pointer: 1024 bytes on
#endif
        radix4_points<kQuarter>(g, g2, 0, same, same);
        radix4_points<kQuarter>(g, g2, half, times_minus_i, by(w + 2 * quarter));
        for (int j = 1; j < half; ++j) {
            const auto first = by(w + 2 * j), second = by(w + quarter + 2 * j), third = by(w + 2 * quarter + 2 * j);
            auto first_minus_i = [&](Complex z) { return times_minus_i(first(z)); };
            radix4_points<kQuarter>(g, g2, j, first, second);
            radix4_points<kQuarter>(g, g2, j + half, first_minus_i, third);
        }
    }
}

}  // namespace

// Forward FFT of `points` (512 or 64) complex values in place, unscaled, from
// the bit-reversed order pre_twiddle_exact leaves: the first two stages as
// one radix-4 stage of exact additions, the next pairs of radix-2 stages as
// radix-4 passes, then (512 points) the last radix-2 stage. The twiddle of
// half-span h at j is exp(-i pi j / h) = fft_tw at j * 256 / h; the one at
// j + h/2 is that times -i. fft_exact_first_stages stops before that last
// stage but for its two butterflies whose twiddles are exactly 1 and -i
// (the synthesis does the others inside its output pass).
void fft_exact_first_stages(int32_t* buf, int points) {
    cx::radix4_first_stage(buf, buf, points);
    radix4_pass<4>(buf, points);
    radix4_pass<16>(buf, points);
    if (points == 64) return;
    radix4_pass<64>(buf, points);
    last_stage_ends(buf);
}

void fft_exact(int32_t* buf, int points) {
    fft_exact_first_stages(buf, points);
    if (points == 64) return;
    // The last radix-2 stage, half-span h = 256 (points = 2h: one group):
    // the butterflies at j and j + h/2 through two pointers, at j and at
    // j + h, for j from 1 (written so, GCC keeps each a slot on, and then
    // the point h/2 after it, 1024 bytes on, lies 1016 bytes from it: within
    // LDRD's reach of 1020).
    const int h = 256;
    int32_t *lo = buf + 2, *hi = buf + 2 * h + 2;
#if defined(__arm__)
    asm("" : "+r"(hi));
#endif
    for (const int32_t* tw = fft_twiddle_q31 + 2; tw < fft_twiddle_q31 + h; tw += 2, lo += 2, hi += 2) {
        butterfly(lo, hi, rotate(load_pair(hi, 0), tw[0], tw[1]));
        butterfly(lo + h, hi + h, times_minus_i(rotate(load_pair(hi, h / 2), tw[0], tw[1])));
    }
}
