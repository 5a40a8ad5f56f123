// The steps of the SBR QMF banks (formats and maths: dsp/qmf.cpp, dsp/qmf.h),
// written once for the portable reference and its SIMD variants. A slot of
// each bank is a template on a record of steps, Steps:
//   analysis_input(in, nx)             the new block, newest sample first
//   analysis_window(blk, u)            the windowed, folded input u (Q11)
//   analysis_pre(u, s, z)              z (bit-reversed) from u, scaled 2^s
//   analysis_post(z, s, re, im)        the 32 subband samples from the FFT,
//                                      2^-s times (the FFT's scale less the
//                                      analysis gain)
//   synthesis_pre<kBits>(re, im, s, d) D (bit-reversed), scaled 2^s
//   synthesis_post<kBits>(d, s, v)     the slot's 2M new values v
//   synthesis_window<kBits>(v, s, sums) v windowed into the ten partial sums
//   synthesis_output<kBits>(sum, out)  the completed sum to output, cleared
//   magnitude(x, n)                    OR of |x| - (x < 0) over n values, or
//                                      any word of the same bit length
//   magnitude2(x, y, n)                the same over x and y together
//   fft<kBits>(buf)                    the inverse FFT
//   ring_rows<kWords, T>(ring, first, rows)
//                                      with kRingHook: the ten rows of kWords
//                                      words of a ring, row first + i
//                                      (modulo 10) at rows[i], rows an array
//                                      of kRingRows aligned to kRingAlign
// ScalarSteps holds the reference of each; a variant derives from it and
// hides the steps it does faster, bit-exact with these. Everything here is
// always inlined. A variant file defines QMF_STEPS_TARGET as its target
// attribute before the include, so that the scalar steps it keeps inline
// into its own functions.
#pragma once

#include <cstdint>

#include "dsp/fixed.h"
#include "dsp/qmf.h"
#include "tables/qmf_tables.h"

#ifndef QMF_STEPS_TARGET
#define QMF_STEPS_TARGET
#endif
#define QMF_INLINE __attribute__((always_inline)) inline QMF_STEPS_TARGET

namespace qmf {

constexpr int kBlocks = 10;

// The ring slot of a new block: the oldest one's, just before the newest
// (a slot number out of range starts again from the last slot).
QMF_INLINE int32_t advance(int32_t newest) { return newest > 0 && newest < kBlocks ? newest - 1 : kBlocks - 1; }

// The ten blocks of `words` words of a ring, newest first (the block of age
// a at slot newest + a, modulo 10): two runs, from newest to the last slot,
// then from the first, without a wrapping test in each step.
QMF_INLINE void ring_blocks(int32_t* ring, int32_t newest, int words, const int32_t** blk) {
    int a = 0;
    for (; newest + a < kBlocks; ++a) blk[a] = ring + words * (newest + a);
    for (; a < kBlocks; ++a) blk[a] = ring + words * (newest + a - kBlocks);
}

// Whether the reference takes the word-pair forms of its rounding shifts
// (the sums started from the rounding term, their high word shifted by a
// count of 32 or more, two word shifts below that, window products as one
// multiply-add where the values allow): they pay on 32-bit targets, where a
// 64-bit shift by a count known only at run time takes several
// instructions; a 64-bit target does that shift in one, and keeps the
// smaller code of the plain forms. Both give the same words.
#if defined(__arm__)
inline constexpr bool kWordPairs = true;
#else
inline constexpr bool kWordPairs = false;
#endif

// Bit length of the largest magnitude from magnitude(): every |x| <= 2^b.
QMF_INLINE int bit_length(uint32_t any) { return 32 - fx::clz32(any); }

// k with its kBits bits reversed, for k = 0 .. 2^kBits - 1.
template <int kBits>
struct BitReversal {
    uint8_t at[1 << kBits];
    constexpr BitReversal() : at() {
        for (int k = 0; k < (1 << kBits); ++k) {
            int r = 0;
            for (int i = 0, v = k; i < kBits; ++i, v >>= 1) r = (r << 1) | (v & 1);
            at[k] = static_cast<uint8_t>(r);
        }
    }
};
template <int kBits>
inline constexpr BitReversal<kBits> kBitReversal{};

// a + i b times the Q31 rotation (c, s), as two 64-bit sums: a c - b s and
// a s + b c.
struct Wide {
    int64_t re, im;
};
QMF_INLINE Wide rotate_wide(int32_t a, int32_t b, int32_t c, int32_t s) {
    return {fx::mac64(fx::mac64(0, a, c), fx::neg_wrap(b), s), fx::mac64(fx::mac64(0, a, s), b, c)};
}
// The same by qmf_rot_q31 index m: exp(i pi m / 64).
QMF_INLINE Wide rotate_wide(int32_t a, int32_t b, int m) {
    return rotate_wide(a, b, qmf_rot_q31[2 * m], qmf_rot_q31[2 * m + 1]);
}

// fx::rshr64_sat(a, n) for n = 1..31 of a sum a that starts from
// fx::round_bias64(n): a >> n, saturated. It fits 32 bits where the bits
// from n + 31 up are all equal (a >> (n + 31) is 0 or -1); then it is the
// low word of the shift (two 32-bit shifts of the pair, not a 64-bit one).
QMF_INLINE int32_t shift_sat_low(int64_t a, int n) {
    const int32_t top = fx::asr64_hi(a, n - 1);
    if (top == 0 || top == -1) return fx::asr64_lo(a, n);
    return top < 0 ? INT32_MIN : INT32_MAX;
}

// The radix-2 butterfly at words p and q of x + t, x - t, t = (tr, ti).
QMF_INLINE void butterfly(int32_t* p, int32_t* q, int32_t tr, int32_t ti) {
    const int32_t xr = p[0], xi = p[1];
    p[0] = fx::add_wrap(xr, tr), p[1] = fx::add_wrap(xi, ti);
    q[0] = fx::sub_wrap(xr, tr), q[1] = fx::sub_wrap(xi, ti);
}

// In-place FFT of 2^kBits points with exp(+i ...), unscaled, input in
// bit-reversed order, decimation in time. The twiddle of half-span h at j is
// exp(i pi j / h) (qmf_fft_twiddle_q31, the values of qmf_rot_q31 at
// j 64 / h), each product rounded at bit 31. The callers' scaling keeps
// every value of the last stage's input below 2^29.5 (see dsp/qmf.cpp), so
// that four twiddles take fewer products with the same results as the
// rotation by their table values: 1 (j = 0, table (2^31 - 1, 0)) and i
// (j = h/2, table (0, 2^31 - 1)) none, the rounded products of a value
// below 2^30 giving it back exactly (swapped and negated for i);
// exp(i pi / 4) and exp(3 i pi / 4) (c and s of one magnitude K) one per
// part, (a -+ b) K, the same integer as a c - b s and a s + b c, with a -+ b
// within 32 bits. (The vector variants rotate by every table value: the
// same results.) The first two stages are one radix-4 stage of additions.
// Sums wrap (never, at these levels).
template <int kBits>
QMF_INLINE void fft_first_stages(int32_t* buf) {
    constexpr int n = 1 << kBits;
    for (int32_t* g = buf; g < buf + 2 * n; g += 8) {
        const int32_t ar = fx::add_wrap(g[0], g[2]), ai = fx::add_wrap(g[1], g[3]);
        const int32_t br = fx::sub_wrap(g[0], g[2]), bi = fx::sub_wrap(g[1], g[3]);
        const int32_t cr = fx::add_wrap(g[4], g[6]), ci = fx::add_wrap(g[5], g[7]);
        const int32_t dr = fx::sub_wrap(g[4], g[6]), di = fx::sub_wrap(g[5], g[7]);
        g[0] = fx::add_wrap(ar, cr), g[1] = fx::add_wrap(ai, ci);
        g[4] = fx::sub_wrap(ar, cr), g[5] = fx::sub_wrap(ai, ci);
        g[2] = fx::sub_wrap(br, di), g[3] = fx::add_wrap(bi, dr);  // b + i d
        g[6] = fx::add_wrap(br, di), g[7] = fx::sub_wrap(bi, dr);  // b - i d
    }
}

// The stage of half-span kHalf and the ones after it (compile-time spans,
// so that the short loops unroll).
template <int kBits, int kHalf>
QMF_INLINE void fft_stages_from(int32_t* buf) {
    constexpr int n = 1 << kBits, h = kHalf, quarter = h / 4;
    const int32_t k45 = qmf_rot_q31[2 * 16];  // cos and sin of pi / 4
    const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (h - 4);
    for (int32_t* g = buf; g < buf + 2 * n; g += 4 * h) {
        int32_t* p = g;
        int32_t* q = g + 2 * h;
        butterfly(p, q, q[0], q[1]);  // j = 0
        p = g + 2 * (h / 2), q = p + 2 * h;
        butterfly(p, q, fx::neg_wrap(q[1]), q[0]);  // j = h/2: i
        p = g + 2 * quarter, q = p + 2 * h;
        butterfly(p, q, fx::rshr64(fx::mac64(0, fx::sub_wrap(q[0], q[1]), k45), 31),
                  fx::rshr64(fx::mac64(0, fx::add_wrap(q[0], q[1]), k45), 31));
        p = g + 2 * (3 * quarter), q = p + 2 * h;
        butterfly(p, q, fx::rshr64(fx::mac64(0, fx::neg_wrap(fx::add_wrap(q[0], q[1])), k45), 31),
                  fx::rshr64(fx::mac64(0, fx::sub_wrap(q[0], q[1]), k45), 31));
        // The rest of each quarter.
        for (int base = 0; base < h; base += quarter)
            for (int j = base + 1; j < base + quarter; ++j) {
                p = g + 2 * j, q = p + 2 * h;
                const Wide w = rotate_wide(q[0], q[1], tw[2 * j], tw[2 * j + 1]);
                butterfly(p, q, fx::rshr64(w.re, 31), fx::rshr64(w.im, 31));
            }
    }
    if constexpr (2 * h < n) fft_stages_from<kBits, 2 * h>(buf);
}

template <int kBits>
QMF_INLINE void fft_inverse(int32_t* buf) {
    fft_first_stages<kBits>(buf);
    fft_stages_from<kBits, 4>(buf);
}

// The reference steps; kPairs chooses the word-pair forms (kWordPairs:
// those of the target; the other forms are built only to be checked
// against them).
template <bool kPairs>
struct ScalarStepsOf {
    QMF_INLINE static uint32_t magnitude(const int32_t* x, int n) {
        uint32_t any = 0;
        for (int i = 0; i < n; ++i) any |= static_cast<uint32_t>(x[i] ^ (x[i] >> 31));
        return any;
    }
    QMF_INLINE static uint32_t magnitude2(const int32_t* x, const int32_t* y, int n) {
        return magnitude(x, n) | magnitude(y, n);
    }

    template <int kBits>
    QMF_INLINE static void fft(int32_t* buf) {
        fft_inverse<kBits>(buf);
    }

    // The ring's row addresses: the slots make them in two runs (the
    // analysis blocks by ring_blocks, the synthesis sums by its own loops),
    // unless a variant sets kRingHook and gives ring_rows (see the list
    // above). The runs stay in the slots, not in a step of their own here:
    // there the compiler vectorizes them, at a cost.
    static constexpr bool kRingHook = false;
    static constexpr int kRingRows = kBlocks;
    static constexpr int kRingAlign = alignof(void*);

    // The 32 new samples (oldest first) into their block of the ring,
    // newest first.
    QMF_INLINE static void analysis_input(const int32_t* in, int32_t* nx) {
        for (int t = 0; t < 32; ++t) nx[31 - t] = in[t];
    }

    // u[n] = sum_j x(n + 64 j) c(2 (n + 64 j)), n = 0..63, rounded to Q11:
    // x(32 b + r) the sample r back in the block of age b, which the ring
    // holds at r (blocks are stored newest sample first). Each half of u
    // (n = 32 half + r) from its five blocks, their addresses taken once.
    QMF_INLINE static void analysis_window(const int32_t* const* blk, int32_t* u) {
        for (int half = 0; half < 2; ++half) {
            const int32_t* const x[5] = {blk[half], blk[2 + half], blk[4 + half], blk[6 + half], blk[8 + half]};
            const int32_t* const c = qmf_window_q31 + 64 * half;
            for (int r = 0; r < 32; ++r) {
                int64_t acc = 0;
#pragma GCC unroll 5
                for (int j = 0; j < 5; ++j) acc = fx::mac64(acc, x[j][r], c[2 * r + 128 * j]);
                u[32 * half + r] = fx::rshr64(acc, 32);
            }
        }
    }

    // z[m] = (u[2m] + i u[2m+1]) exp(i pi m / 32) 2^s, at the bit reversal
    // of m.
    QMF_INLINE static void analysis_pre(const int32_t* u, int s, int32_t* z) {
        for (int m = 0; m < 32; ++m) {
            const Wide w = rotate_wide(u[2 * m], u[2 * m + 1], 2 * m);
            const int at = kBitReversal<5>.at[m];
            z[2 * at] = fx::rshr64(w.re, 31 - s);
            z[2 * at + 1] = fx::rshr64(w.im, 31 - s);
        }
    }

    // X = F Z[k] + G conj Z[31-k], (F/2 Z + G/2 conj Z') 2^-(37 + s). The
    // shift 37 + s is 32 or more unless the folded input is loud (its
    // largest value beyond 2^(29 - kQmfAnalysisGain)). With kPairs such a
    // shift starts the sums from the rounding term and takes their high
    // word shifted by the rest (asr64_hi): the
    // value of rshr64_sat for any sum (a 64-bit value shifted by 32 or more
    // fits 32 bits), without a 64-bit shift by a count known at run time.
    QMF_INLINE static void analysis_post(const int32_t* z, int s, int32_t* re, int32_t* im) {
        const int n = 37 + s;
        if (kPairs && n >= 32) {
            const int64_t bias = fx::round_bias64(n);
            for (int k = 0; k < 32; ++k) {
                const int32_t* fg = qmf_analysis_post_q31 + 4 * k;
                const int32_t ar = z[2 * k], ai = z[2 * k + 1], br = z[2 * (31 - k)], bi = z[2 * (31 - k) + 1];
                int64_t r = fx::mac64(fx::mac64(bias, fg[0], ar), fx::neg_wrap(fg[1]), ai);
                r = fx::mac64(fx::mac64(r, fg[2], br), fg[3], bi);
                int64_t i = fx::mac64(fx::mac64(bias, fg[0], ai), fg[1], ar);
                i = fx::mac64(fx::mac64(i, fg[3], br), fx::neg_wrap(fg[2]), bi);
                re[k] = fx::asr64_hi(r, n - 32);
                im[k] = fx::asr64_hi(i, n - 32);
            }
            return;
        }
        for (int k = 0; k < 32; ++k) {
            const int32_t* fg = qmf_analysis_post_q31 + 4 * k;
            const int32_t ar = z[2 * k], ai = z[2 * k + 1], br = z[2 * (31 - k)], bi = z[2 * (31 - k) + 1];
            int64_t r = fx::mac64(fx::mac64(0, fg[0], ar), fx::neg_wrap(fg[1]), ai);
            r = fx::mac64(fx::mac64(r, fg[2], br), fg[3], bi);
            int64_t i = fx::mac64(fx::mac64(0, fg[0], ai), fg[1], ar);
            i = fx::mac64(fx::mac64(i, fg[3], br), fx::neg_wrap(fg[2]), bi);
            re[k] = fx::rshr64_sat(r, n);
            im[k] = fx::rshr64_sat(i, n);
        }
    }

    // D[k] = P X[k] + Q conj X[M-1-k] 2^s, at the bit reversal of k. The
    // shift 31 - s goes beyond 31 for loud slots: there (kHigh, with
    // kPairs) the rounding as in analysis_post.
    template <int kBits, bool kHigh>
    QMF_INLINE static void pre_bands(const int32_t* re, const int32_t* im, int n, int32_t* d) {
        constexpr int bands = 1 << kBits;
        const int32_t* pre = kBits == 6 ? qmf_synthesis64_pre_q31 : qmf_synthesis32_pre_q31;
        const int64_t bias = kHigh ? fx::round_bias64(n) : 0;
        for (int k = 0; k < bands; ++k) {
            const int32_t* pq = pre + 4 * k;
            const int j = bands - 1 - k;
            int64_t r = fx::mac64(fx::mac64(bias, pq[0], re[k]), fx::neg_wrap(pq[1]), im[k]);
            r = fx::mac64(fx::mac64(r, pq[2], re[j]), pq[3], im[j]);
            int64_t i = fx::mac64(fx::mac64(bias, pq[0], im[k]), pq[1], re[k]);
            i = fx::mac64(fx::mac64(i, pq[3], re[j]), fx::neg_wrap(pq[2]), im[j]);
            const int at = kBitReversal<kBits>.at[k];
            d[2 * at] = kHigh ? fx::asr64_hi(r, n - 32) : fx::rshr64(r, n);
            d[2 * at + 1] = kHigh ? fx::asr64_hi(i, n - 32) : fx::rshr64(i, n);
        }
    }
    template <int kBits>
    QMF_INLINE static void synthesis_pre(const int32_t* re, const int32_t* im, int s, int32_t* d) {
        if (kPairs && 31 - s >= 32)
            pre_bands<kBits, true>(re, im, 31 - s, d);
        else
            pre_bands<kBits, false>(re, im, 31 - s, d);
    }

    // v[2m] + i v[2m+1] = exp(i pi m / M) d[m] 2^(1 - s), saturated. With
    // kPairs the sums start from the rounding term; a shift 30 + s of 32
    // or more (all but loud slots) rounds as in analysis_post (the high
    // word shifted by the rest, which never needs the saturation), a
    // shorter one by shift_sat_low.
    template <int kBits>
    QMF_INLINE static void synthesis_post(const int32_t* d, int s, int32_t* nv) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const int n = 30 + s;
        if constexpr (!kPairs) {
            for (int m = 0; m < bands; ++m) {
                const Wide w = rotate_wide(d[2 * m], d[2 * m + 1], step * m);
                nv[2 * m] = fx::rshr64_sat(w.re, n);
                nv[2 * m + 1] = fx::rshr64_sat(w.im, n);
            }
            return;
        }
        if (n >= 32) {
            const int64_t bias = fx::round_bias64(n);
            for (int m = 0; m < bands; ++m) {
                const int32_t a = d[2 * m], b = d[2 * m + 1];
                const int32_t c = qmf_rot_q31[2 * step * m], sn = qmf_rot_q31[2 * step * m + 1];
                nv[2 * m] = fx::asr64_hi(fx::mac64(fx::mac64(bias, a, c), fx::neg_wrap(b), sn), n - 32);
                nv[2 * m + 1] = fx::asr64_hi(fx::mac64(fx::mac64(bias, a, sn), b, c), n - 32);
            }
            return;
        }
        const int64_t bias = fx::round_bias64(n);
        for (int m = 0; m < bands; ++m) {
            const int32_t a = d[2 * m], b = d[2 * m + 1];
            const int32_t c = qmf_rot_q31[2 * step * m], sn = qmf_rot_q31[2 * step * m + 1];
            nv[2 * m] = shift_sat_low(fx::mac64(fx::mac64(bias, a, c), fx::neg_wrap(b), sn), n);
            nv[2 * m + 1] = shift_sat_low(fx::mac64(fx::mac64(bias, a, sn), b, c), n);
        }
    }

    // Output k of the slot i slots ahead takes c[step (M i + k)] times v at
    // k (even i) or M + k (odd i), each product rounded to Q11 (from Q42)
    // and added to its partial sum sums[i][k] (saturated). The window's
    // magnitudes stay below 0.86: a rounded product is within 32 bits for
    // any v, so it needs no saturation of its own. With kPairs the five
    // rows of each half of v go one after another for each k, v's word
    // taken once for them, and where the slot's shift 30 + s is 32 or more
    // every |v| is below 2^29.5 (see synthesis_slot), so 2 v fits 32 bits,
    // and the rounded product is the high word of 2 v c + 2^31 (kSmall: one
    // multiply-add from the rounding term, no shift).
    template <int kBits, bool kSmall>
    QMF_INLINE static void window_rows(const int32_t* v, int32_t* const* sums) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        for (int half = 0; half < 2; ++half) {
            int32_t* const acc[5] = {sums[half], sums[half + 2], sums[half + 4], sums[half + 6], sums[half + 8]};
            const int32_t* const vh = v + half * bands;
            const int32_t* const c = qmf_window_q31 + step * bands * half;
            for (int k = 0; k < bands; ++k) {
                const int32_t x = kSmall ? fx::add_wrap(vh[k], vh[k]) : vh[k];
#pragma GCC unroll 5
                for (int j = 0; j < 5; ++j) {
                    const int32_t w = c[step * (2 * bands * j + k)];
                    const int32_t p = kSmall ? fx::asr64_hi(fx::mac64(fx::round_bias64(32), x, w), 0)
                                             : fx::rshr64(fx::mac64(0, x, w), 31);
                    acc[j][k] = fx::add_sat(acc[j][k], p);
                }
            }
        }
    }
    template <int kBits>
    QMF_INLINE static void synthesis_window(const int32_t* v, int s, int32_t* const* sums) {
        if constexpr (!kPairs) {  // row by row, the smaller code
            constexpr int bands = 1 << kBits, step = 64 / bands;
            for (int i = 0; i < kBlocks; ++i) {
                int32_t* const acc = sums[i];
                const int32_t* const vi = v + (i & 1) * bands;
                const int32_t* const c = qmf_window_q31 + step * bands * i;
                for (int k = 0; k < bands; ++k)
                    acc[k] = fx::add_sat(acc[k], fx::rshr64(fx::mac64(0, vi[k], c[step * k]), 31));
            }
            return;
        }
        if (30 + s >= 32)
            window_rows<kBits, true>(v, sums);
        else
            window_rows<kBits, false>(v, sums);
    }

    // The current slot's complete sums (Q11) as Q12 output samples
    // (saturated: fx::add_sat of the sum and itself, the value of
    // fx::shl_sat by one, QADD on ARM), the sums cleared for the slot ten
    // ahead.
    template <int kBits>
    QMF_INLINE static void synthesis_output(int32_t* sum, int32_t* out) {
        for (int k = 0; k < (1 << kBits); ++k) {
            out[k] = fx::add_sat(sum[k], sum[k]);
            sum[k] = 0;
        }
    }
};
using ScalarSteps = ScalarStepsOf<kWordPairs>;

// One slot of the analysis bank.
template <class Steps>
QMF_INLINE void analysis_slot(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    // The new block replaces the oldest, newest sample first.
    const int32_t newest = advance(state->newest);
    state->newest = newest;
    Steps::analysis_input(in, state->x + 32 * newest);
    alignas(Steps::kRingAlign) const int32_t* blk[Steps::kRingRows];
    if constexpr (Steps::kRingHook)
        Steps::template ring_rows<32, const int32_t>(state->x, newest, blk);
    else
        ring_blocks(state->x, newest, 32, blk);
    int32_t u[64];
    Steps::analysis_window(blk, u);
    const int s = 24 - bit_length(Steps::magnitude(u, 64));
    int32_t z[64];
    Steps::analysis_pre(u, s, z);
    Steps::template fft<5>(z);
    Steps::analysis_post(z, s - kQmfAnalysisGain, re, im);
}

// One slot of the M-band synthesis (M = 2^kBits), the partial sums of its
// next ten output slots in `sum`, `current` the one output next (a number
// out of range starts from the first).
template <class Steps, int kBits>
QMF_INLINE void synthesis_slot(int32_t* current, int32_t (*sum)[1 << kBits], const int32_t* re, const int32_t* im,
                               int32_t* out) {
    constexpr int bands = 1 << kBits;
    // 2^s scales D below 2^(30.5 - kBits): |D| <= |X| + |X'| <= 2^(b + 1.5).
    // The new values v are the FFT's output, rotated and scaled by
    // 2^(1 - s), so |v| <= 2^(b + 2.5 + kBits) (and a few units of
    // rounding): below 2^29.5 wherever s >= 2 (b <= 27 - kBits), the slots
    // whose post-step shifts by 30 + s >= 32.
    const int s = 29 - kBits - bit_length(Steps::magnitude2(re, im, bands));
    int32_t d[2 * bands];
    Steps::template synthesis_pre<kBits>(re, im, s, d);
    Steps::template fft<kBits>(d);
    Steps::template synthesis_post<kBits>(d, s, d);  // in place
    const int32_t now = *current >= 0 && *current < kBlocks ? *current : 0;
    alignas(Steps::kRingAlign) int32_t* sums[Steps::kRingRows];
    if constexpr (Steps::kRingHook) {
        Steps::template ring_rows<bands, int32_t>(sum[0], now, sums);
    } else {
        int i = 0;
        for (; now + i < kBlocks; ++i) sums[i] = sum[now + i];
        for (; i < kBlocks; ++i) sums[i] = sum[now + i - kBlocks];
    }
    Steps::template synthesis_window<kBits>(d, s, sums);
    Steps::template synthesis_output<kBits>(sum[now], out);
    *current = now + 1 < kBlocks ? now + 1 : 0;
}

}  // namespace qmf

#undef QMF_INLINE
