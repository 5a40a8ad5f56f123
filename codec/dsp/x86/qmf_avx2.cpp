// The SBR QMF banks with AVX2: the steps of the SSE4.1 variant
// (dsp/x86/qmf_sse41.cpp) twice as wide, eight values of a window or four
// points of a rotation or an FFT stage at a time, with the same bit-exact
// rounding (VPMULDQ products, 64-bit sums, the reference's rounding shift;
// the synthesis's rotations round with one logical or 32-bit arithmetic
// shift of each sum where that gives the same word). The rest (the
// magnitude scans) is the reference's (dsp/qmf_steps.h), built for this
// target. The 64-band synthesis's pre-step and the analysis's post-step
// take their factors from copies of the tables in their lanes' order, and
// the tables' odd words (imaginary parts, sines) from loads one word on.
// The synthesis slot is this file's own (synthesis_slot), the reference's
// steps with passes joined. Only the functions here use AVX2 (target
// attribute).
#include <immintrin.h>

#include "dsp/qmf_variants.h"
#include "dsp/x86/complex_avx2.h"
#include "tables/qmf_lanes_tables.h"

#define QMF_STEPS_TARGET AVX2
#include "dsp/qmf_steps.h"

namespace {

// Four words at p, sign-extended to the four 64-bit lanes (VPMOVSXDQ).
AVX2_INLINE __m256i load_wide(const int32_t* p) {
    return _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
AVX2_INLINE __m256i load(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
AVX2_INLINE void store(int32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// The rounding shift by n (1..62) of the 64-bit sums of a and b, as
// fx::rshr64 (kSaturate false: the low words) or fx::rshr64_sat, in the
// order of VSHUFPS in each 128-bit half: a's first two, b's first two, a's
// last two, b's last two.
struct Shift {
    __m256i bias;
    __m128i count;
    AVX2_INLINE explicit Shift(int n)
        : bias(_mm256_set1_epi64x(static_cast<long long>(INT64_C(1) << (n - 1)))), count(_mm_cvtsi32_si128(n)) {}
    AVX2_INLINE __m256i asr(__m256i v) const {
        const __m256i sign = _mm256_shuffle_epi32(_mm256_srai_epi32(v, 31), _MM_SHUFFLE(3, 3, 1, 1));
        return _mm256_xor_si256(_mm256_srl_epi64(_mm256_xor_si256(v, sign), count), sign);
    }
    template <bool kSaturate>
    AVX2_INLINE __m256i narrow(__m256i a, __m256i b) const {
        a = asr(_mm256_add_epi64(a, bias));
        b = asr(_mm256_add_epi64(b, bias));
        const __m256i lo = _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
        if (!kSaturate) return lo;
        const __m256i hi = _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
        const __m256i fits = _mm256_cmpeq_epi32(hi, _mm256_srai_epi32(lo, 31));
        const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(hi, 31), _mm256_set1_epi32(INT32_MAX));
        return _mm256_blendv_epi8(limit, lo, fits);
    }
    // The same for eight values in order, a holding the first four.
    template <bool kSaturate>
    AVX2_INLINE __m256i narrow_in_order(__m256i a, __m256i b) const {
        return _mm256_permute4x64_epi64(narrow<kSaturate>(a, b), _MM_SHUFFLE(3, 1, 2, 0));
    }
};

// fx::rshr64 by n of the 64-bit sums of a and b in narrow's order, where
// the rounded values fit in 32 bits (kHigh false, n 1..32: the low words of
// the logical shift, which are the arithmetic one's), or fx::rshr64 and
// fx::rshr64_sat alike by n 32..62 (kHigh: the sums' high words with the
// bias shifted by n - 32 arithmetically, the whole result, which always
// fits).
template <bool kHigh>
struct Round {
    __m256i bias;
    __m128i count;
    AVX2_INLINE explicit Round(int n)
        : bias(_mm256_set1_epi64x(static_cast<long long>(INT64_C(1) << (n - 1)))),
          count(_mm_cvtsi32_si128(kHigh ? n - 32 : n)) {}
    AVX2_INLINE __m256i narrow(__m256i a, __m256i b) const {
        a = _mm256_add_epi64(a, bias);
        b = _mm256_add_epi64(b, bias);
        if constexpr (kHigh)
            return _mm256_sra_epi32(_mm256_castps_si256(_mm256_shuffle_ps(
                                        _mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1))),
                                    count);
        return _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(_mm256_srl_epi64(a, count)),
                                                     _mm256_castsi256_ps(_mm256_srl_epi64(b, count)),
                                                     _MM_SHUFFLE(2, 0, 2, 0)));
    }
};

AVX2_INLINE __m256i mul(__m256i a, __m256i b) { return _mm256_mul_epi32(a, b); }
AVX2_INLINE __m256i add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }

// fx::rshr64 by 31 of the 64-bit sums of a and b, in the order of narrow:
// bits 31..62 of each sum plus 2^30, which a logical shift gives as well.
AVX2_INLINE __m256i round31(__m256i a, __m256i b) {
    const __m256i half = _mm256_set1_epi64x(INT64_C(1) << 30);
    a = _mm256_srli_epi64(_mm256_add_epi64(a, half), 31);
    b = _mm256_srli_epi64(_mm256_add_epi64(b, half), 31);
    return _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}

// The odd words of v in the low words of its lanes, the only ones VPMULDQ
// reads; or those of the eight words at p, as the load one word on (which
// reads p[8]).
AVX2_INLINE __m256i odd_words(__m256i v) { return _mm256_srli_epi64(v, 32); }
AVX2_INLINE __m256i odd_words(const int32_t* p) { return load(p + 1); }

// z exp(i theta) for four points of the FFT by their twiddles (cos, sin),
// as the SSE4.1 variant's rotate_plus, but for im s subtracted where that
// adds the product of -im: the same sum, as an FFT value is never -2^31
// (see qmf::fft_inverse). zs and ts: z's and the twiddles' odd words (im,
// sin) in the low words of their lanes.
AVX2_INLINE __m256i rotate_plus(__m256i z, __m256i zs, __m256i tw, __m256i ts) {
    const __m256i half = _mm256_set1_epi64x(INT64_C(1) << 30);
    const __m256i re = _mm256_sub_epi64(add(mul(z, tw), half), mul(zs, ts));
    const __m256i im = add(add(mul(zs, tw), mul(z, ts)), half);
    return _mm256_blend_epi32(_mm256_srli_epi64(re, 31), _mm256_slli_epi64(im, 1), 0xAA);
}
// The sines of the four twiddles w loaded from tw in the qmf_fft_twiddle_q31
// table: its load one word on, but for the table's last four, whose sines
// are shifted down instead.
AVX2_INLINE __m256i sines(const int32_t* tw, __m256i w) {
    constexpr int kTable = sizeof qmf_fft_twiddle_q31 / sizeof qmf_fft_twiddle_q31[0];
    return tw + 8 < qmf_fft_twiddle_q31 + kTable ? odd_words(tw) : odd_words(w);
}

// The same for four points by their twiddles at tw. (The points' odd words
// are shifted down, not loaded one word on: a load across two of the FFT's
// stores just made costs more time than the shift. The same holds for the
// other steps' buffers.)
AVX2_INLINE __m256i rotate_plus(__m256i z, const int32_t* tw) {
    const __m256i w = load(tw);
    return rotate_plus(z, odd_words(z), w, sines(tw, w));
}

#define AVX2_INLINE_LAMBDA __attribute__((always_inline, target("avx2")))

struct Avx2Steps : qmf::ScalarSteps {
    // The largest of |x| - (x < 0), which has the bit length of their OR:
    // the largest value and the complement of the smallest (VPMAXSD,
    // VPMINSD, eight values a step over both arrays; n a multiple of 8),
    // brought to one word once.
    AVX2_INLINE static uint32_t magnitude2(const int32_t* x, const int32_t* y, int n) {
        __m256i top = _mm256_setzero_si256(), bottom = top;
        for (int i = 0; i < n; i += 8) {
            const __m256i a = load(x + i), b = load(y + i);
            top = _mm256_max_epi32(top, _mm256_max_epi32(a, b));
            bottom = _mm256_min_epi32(bottom, _mm256_min_epi32(a, b));
        }
        const __m256i m8 = _mm256_max_epi32(top, _mm256_xor_si256(bottom, _mm256_set1_epi32(-1)));
        __m128i m = _mm_max_epi32(_mm256_castsi256_si128(m8), _mm256_extracti128_si256(m8, 1));
        m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(m));
    }
    AVX2_INLINE static uint32_t magnitude(const int32_t* x, int n) { return magnitude2(x, x + n / 2, n / 2); }

    // The stages of half-span h >= 4 four points at a time, every twiddle a
    // rotation (see qmf::fft_inverse), the spans known at compile time; two
    // stages at once where two are left (half-spans h and 2 h on the four
    // points j, h + j, 2 h + j, 3 h + j of each block of 4 h, kept in
    // registers between them). fft_pair does the two stages from h alone,
    // each result going to put(address, four points): a store, or the
    // synthesis's post-step on the way (synthesis_slot).
    template <int kHalf, class Put>
    AVX2_INLINE static void fft_pair_at(int32_t* g, int j, const Put& put) {
        constexpr int h = kHalf;
        const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (h - 4);
        const int32_t* tw2 = qmf_fft_twiddle_q31 + 2 * (2 * h - 4);
        const __m256i x0 = load(g + 2 * j), x2 = load(g + 2 * (2 * h + j));
        const __m256i t1 = rotate_plus(load(g + 2 * (h + j)), tw + 2 * j);
        const __m256i t3 = rotate_plus(load(g + 2 * (3 * h + j)), tw + 2 * j);
        const __m256i y0 = _mm256_add_epi32(x0, t1), y1 = _mm256_sub_epi32(x0, t1);
        const __m256i y2 = _mm256_add_epi32(x2, t3), y3 = _mm256_sub_epi32(x2, t3);
        const __m256i u2 = rotate_plus(y2, tw2 + 2 * j);
        const __m256i u3 = rotate_plus(y3, tw2 + 2 * (h + j));
        put(g + 2 * j, _mm256_add_epi32(y0, u2));
        put(g + 2 * (2 * h + j), _mm256_sub_epi32(y0, u2));
        put(g + 2 * (h + j), _mm256_add_epi32(y1, u3));
        put(g + 2 * (3 * h + j), _mm256_sub_epi32(y1, u3));
    }
    template <int kBits, int kHalf, class Put>
    AVX2_INLINE static void fft_pair(int32_t* buf, const Put& put) {
        constexpr int n = 1 << kBits, h = kHalf;
        static_assert(4 * h <= n, "two stages left");
        for (int32_t* g = buf; g < buf + 2 * n; g += 8 * h)
#pragma GCC unroll 4
            for (int j = 0; j < h; j += 4) fft_pair_at<h>(g, j, put);
    }
    template <int kBits, int kHalf>
    AVX2_INLINE static void fft_stages_from(int32_t* buf) {
        constexpr int n = 1 << kBits, h = kHalf;
        if constexpr (4 * h <= n) {
            fft_pair<kBits, h>(buf, [](int32_t* at, __m256i z) AVX2_INLINE_LAMBDA { store(at, z); });
            if constexpr (4 * h < n) fft_stages_from<kBits, 4 * h>(buf);
        } else {
            const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (h - 4);
            for (int32_t* g = buf; g < buf + 2 * n; g += 4 * h)
#pragma GCC unroll 4
                for (int j = 0; j < h; j += 4) {
                    const __m256i t = rotate_plus(load(g + 2 * (h + j)), tw + 2 * j);
                    const __m256i x = load(g + 2 * j);
                    store(g + 2 * j, _mm256_add_epi32(x, t));
                    store(g + 2 * (h + j), _mm256_sub_epi32(x, t));
                }
        }
    }

    // The stages of half-span 4 and up: the first two are the pre-steps'
    // (analysis_pre, synthesis_pre; radix4_store).
    template <int kBits>
    AVX2 static void fft(int32_t* buf) {
        fft_stages_from<kBits, 4>(buf);
    }

    // The reference's first two stages (its radix-4 stage of additions) on
    // four groups at once, stored: each radix-4 group's points are those of
    // t = 0..3 in x[t] (positions 0..3 of a group hold t = 0, 2, 1, 3), one
    // group a 64-bit lane, i d by swapping d's words and negating the real
    // one (VPSIGND, wrapping as fx::sub_wrap); then the four positions of
    // each lane's group brought together (a 4 x 4 transpose of 64-bit
    // elements) and stored. Lane u holds group g + kLane[u] of the 2^kBits
    // groups, with g a multiple of 4 whose bit reversal d is already at
    // (word 8 rev(g)): the reversal of g + l is rev(g) + rev(l), so the
    // lanes' offsets from d are constants.
    template <int kBits, int... kLane>
    AVX2_INLINE static void radix4_store(const __m256i* x, int32_t* d) {
        constexpr int at[4] = {8 * qmf::kBitReversal<kBits>.at[kLane]...};
        const __m256i a = _mm256_add_epi32(x[0], x[2]), b = _mm256_sub_epi32(x[0], x[2]);
        const __m256i c = _mm256_add_epi32(x[1], x[3]);
        const __m256i id = _mm256_sign_epi32(_mm256_shuffle_epi32(_mm256_sub_epi32(x[1], x[3]), _MM_SHUFFLE(2, 3, 0, 1)),
                                             _mm256_setr_epi32(-1, 1, -1, 1, -1, 1, -1, 1));
        const __m256i p0 = _mm256_add_epi32(a, c), p2 = _mm256_sub_epi32(a, c);
        const __m256i p1 = _mm256_add_epi32(b, id), p3 = _mm256_sub_epi32(b, id);
        const __m256i t0 = _mm256_unpacklo_epi64(p0, p1), t1 = _mm256_unpackhi_epi64(p0, p1);
        const __m256i t2 = _mm256_unpacklo_epi64(p2, p3), t3 = _mm256_unpackhi_epi64(p2, p3);
        store(d + at[0], _mm256_permute2x128_si256(t0, t2, 0x20));
        store(d + at[1], _mm256_permute2x128_si256(t1, t3, 0x20));
        store(d + at[2], _mm256_permute2x128_si256(t0, t2, 0x31));
        store(d + at[3], _mm256_permute2x128_si256(t1, t3, 0x31));
    }

    // The 32 new samples reversed into their block, eight words a VPERMD
    // (all loaded before the first store, as the reference's loop gives for
    // a block apart from the input).
    AVX2_INLINE static void analysis_input(const int32_t* in, int32_t* nx) {
        const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
        __m256i block[4];
        for (int q = 0; q < 4; ++q) block[q] = _mm256_permutevar8x32_epi32(load(in + 8 * q), reverse);
        for (int q = 0; q < 4; ++q) store(nx + 24 - 8 * q, block[q]);
    }

    // fx::rshr64 by 32: the high words of the sums with 2^31. Each half of
    // u (n = 32 half + r) from its five blocks, their addresses taken once
    // and the words at r indexed from them.
    AVX2 static void analysis_window(const int32_t* const* blk, int32_t* u) {
        const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << 31);
        for (int half = 0; half < 2; ++half) {
            const int32_t* const x[5] = {blk[half], blk[2 + half], blk[4 + half], blk[6 + half], blk[8 + half]};
            const int32_t* const c = qmf_window_q31 + 64 * half;  // c(2 (n + 64 j)): even words
            int32_t* const out = u + 32 * half;
#pragma GCC unroll 1
            for (int r = 0; r < 32; r += 8) {
                __m256i a = bias, b = bias;
#pragma GCC unroll 5
                for (int j = 0; j < 5; ++j) {
                    a = add(a, mul(load_wide(x[j] + r), load(c + 2 * r + 128 * j)));
                    b = add(b, mul(load_wide(x[j] + r + 4), load(c + 2 * r + 128 * j + 8)));
                }
                const __m256i hi = _mm256_castps_si256(
                    _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
                store(out + r, _mm256_permute4x64_epi64(hi, _MM_SHUFFLE(3, 1, 2, 0)));
            }
        }
    }

    // The rounded products of row i's window words c with eight values of v
    // (their even words in `even`, the odd ones shifted down in `odd`), as
    // eight words in order, each going to its word straight from its lane.
    // Exact for any v (kDoubled false): bits 31..62 of each product with
    // 2^30, an even word's sum shifted down by 31, an odd word's up by one.
    // kDoubled: even and odd hold 2 v (wrapped), and the rounded product is
    // the high word of 2 v c + 2^31, the same value wherever 2 v fits in 32
    // bits (-2^30 <= v < 2^30), with one shift fewer (an odd word's high word is
    // in place). For 64 bands the odd words' window is the load one word on
    // (its even words), but for the table's last eight words (last), where
    // that load would read past it.
    template <int kBits, bool kDoubled>
    AVX2_INLINE static __m256i window_products(__m256i even, __m256i odd, const int32_t* c, bool last) {
        __m256i ce, co;
        if constexpr (kBits == 6) {
            ce = load(c);
            co = last ? _mm256_srli_epi64(ce, 32) : load(c + 1);
        } else {  // every second word: c[0], c[2], .. c[14] in order
            ce = _mm256_castps_si256(
                _mm256_shuffle_ps(_mm256_castsi256_ps(load(c)), _mm256_castsi256_ps(load(c + 8)), _MM_SHUFFLE(2, 0, 2, 0)));
            ce = _mm256_permute4x64_epi64(ce, _MM_SHUFFLE(3, 1, 2, 0));
            co = _mm256_srli_epi64(ce, 32);
        }
        if constexpr (kDoubled) {
            const __m256i half = _mm256_set1_epi64x(INT64_C(1) << 31);
            const __m256i a = add(mul(even, ce), half);
            const __m256i b = add(mul(odd, co), half);
            return _mm256_blend_epi32(_mm256_srli_epi64(a, 32), b, 0xAA);
        }
        const __m256i half = _mm256_set1_epi64x(INT64_C(1) << 30);
        const __m256i a = add(mul(even, ce), half);
        const __m256i b = add(mul(odd, co), half);
        return _mm256_blend_epi32(_mm256_srli_epi64(a, 31), _mm256_slli_epi64(b, 1), 0xAA);
    }

    // The rows from kUnbounded on are left out of the range test, which
    // holds for the states the bank reaches from a zeroed one (dsp/qmf.h),
    // the only ones the variant is exact for: a row is cleared when output,
    // so the row at position i holds the window's taps 9 down to i, the
    // products of 32-bit values by the last 10 - kUnbounded taps at most.
    // Their magnitudes add up to below 0.45 at every output (0.447 for rows
    // 6 to 9 of qmf_window_q31, 1.30 for rows 5 to 9), so those sums stay
    // below 0.9 2^30 for any values v (|v| <= 2^31). A state with other
    // values there (a row at 6 near 2^31 with the rows before it in range)
    // may wrap unseen.
    static constexpr int kUnbounded = 6;

    // The ten rows for kGroups groups of eight outputs from k, the partial
    // sums added modulo 2^32 (the products by the doubled values), the range
    // of the new sums of the first kUnbounded rows kept in top and bottom.
    // Row 0's new sums are the slot's completed ones: they go to the output
    // doubled, not back to the row (a sum inside the range test's [-2^30,
    // 2^30) doubles without saturating; where the test fails
    // saturate_window does the output again from the row, left as it was).
    // For 64 bands two groups a step (k and k + 8): half the loop's steps,
    // the rows' addresses (which do not all fit in registers) taken once for
    // both. The last row's odd words of the window by a shift in every step
    // (the load one word on would read past the table in the last), which
    // keeps to one body.
    template <int kBits, int kGroups = kBits == 6 ? 2 : 1>
    AVX2_INLINE static void window_outputs(const int32_t* v, int32_t* const* sums, int k, int32_t* out,
                                           __m256i& top, __m256i& bottom) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        __m256i even[kGroups][2], odd[kGroups][2];
        for (int g = 0; g < kGroups; ++g) {
            const __m256i v0 = load(v + k + 8 * g), v1 = load(v + bands + k + 8 * g);
            even[g][0] = _mm256_add_epi32(v0, v0);
            even[g][1] = _mm256_add_epi32(v1, v1);
            odd[g][0] = _mm256_srli_epi64(even[g][0], 32);
            odd[g][1] = _mm256_srli_epi64(even[g][1], 32);
        }
#pragma GCC unroll 10
        for (int i = 0; i < qmf::kBlocks; ++i)
#pragma GCC unroll 2
            for (int g = 0; g < kGroups; ++g) {
                const int32_t* c = qmf_window_q31 + step * (bands * i + k + 8 * g);
                const __m256i p =
                    window_products<kBits, true>(even[g][i & 1], odd[g][i & 1], c, i == qmf::kBlocks - 1);
                int32_t* const at = sums[i] + k + 8 * g;
                const __m256i sum = _mm256_add_epi32(load(at), p);
                if (i < kUnbounded) {
                    top = _mm256_max_epi32(top, sum);
                    bottom = _mm256_min_epi32(bottom, sum);
                }
                if (i == 0)
                    store(out + k + 8 * g, _mm256_add_epi32(sum, sum));
                else
                    store(at, sum);
            }
    }

    // The window's products saturate only where a partial sum goes beyond
    // 32 bits, which real signals keep far below. So the rows are first
    // added modulo 2^32, eight outputs at a time, v's words of each half
    // taken once for the five rows of that half; where every value of v and
    // every new sum (of the rows before kUnbounded; the others' do in every
    // state the bank reaches) lies in [-2^30, 2^30) that was exact: each rounded
    // product is then below 2^30 in magnitude (the window's magnitudes stay
    // below 0.86) and the doubled values' products are the exact ones, so a
    // sum that wrapped would lie outside that range, and one that did not is
    // the saturating sum. Otherwise (a slot of extreme values or partial
    // sums) the rows are done again saturating, from the old sums taken
    // back. The values of v need the test only in slots whose post-step
    // shifts by less than 32 (s below 2): all others' lie below 2^29.5 (see
    // qmf::synthesis_slot).
    template <int kBits>
    AVX2_INLINE static void synthesis_window(const int32_t* v, int s, int32_t* const* sums, int32_t* out) {
        constexpr int bands = 1 << kBits;
        __m256i top = _mm256_setzero_si256(), bottom = top;
        if (30 + s < 32)
#pragma GCC unroll 1
            for (int k = 0; k < 2 * bands; k += 8) {
                top = _mm256_max_epi32(top, load(v + k));
                bottom = _mm256_min_epi32(bottom, load(v + k));
            }
#pragma GCC unroll 1
        for (int k = 0; k < bands; k += kBits == 6 ? 16 : 8) window_outputs<kBits>(v, sums, k, out, top, bottom);
        const __m256i outside = _mm256_or_si256(_mm256_cmpgt_epi32(top, _mm256_set1_epi32((1 << 30) - 1)),
                                                _mm256_cmpgt_epi32(_mm256_set1_epi32(-(1 << 30)), bottom));
        if (!_mm256_testz_si256(outside, outside)) saturate_window<kBits>(v, sums, out);
#pragma GCC unroll 8
        for (int k = 0; k < bands; k += 8) store(sums[0] + k, _mm256_setzero_si256());
    }

    // The saturating pass (rare: kept short, not unrolled): each old sum
    // taken back (the first pass's product, by the doubled values,
    // subtracted from what it left; row 0 was left as it was) and the exact
    // product added as fx::add_sat: where the sum's sign differs from both
    // terms', the limit of the old sum's sign (BLENDVPS by the sign bits).
    // Row 0's sums go to the output as fx::add_sat of each and itself.
    template <int kBits>
    AVX2 __attribute__((noinline, cold)) static void saturate_window(const int32_t* v, int32_t* const* sums,
                                                                     int32_t* out) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const __m256 max = _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX));
        const __m256 min = _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MIN));
#pragma GCC unroll 1
        for (int k = 0; k < bands; k += 8)
#pragma GCC unroll 1
            for (int i = 0; i < qmf::kBlocks; ++i) {
                const __m256i even = load(v + (i & 1) * bands + k), twice = _mm256_add_epi32(even, even);
                const int32_t* c = qmf_window_q31 + step * (bands * i + k);
                const bool last = i == qmf::kBlocks - 1 && k == bands - 8;
                const __m256i first = window_products<kBits, true>(twice, _mm256_srli_epi64(twice, 32), c, last);
                const __m256i p = window_products<kBits, false>(even, _mm256_srli_epi64(even, 32), c, last);
                int32_t* const at = sums[i] + k;
                const __m256i acc = i == 0 ? load(at) : _mm256_sub_epi32(load(at), first);
                const __m256i sum = _mm256_add_epi32(acc, p);
                const __m256i over = _mm256_and_si256(_mm256_xor_si256(acc, sum), _mm256_xor_si256(p, sum));
                const __m256 limit = _mm256_blendv_ps(max, min, _mm256_castsi256_ps(acc));
                const __m256i x = _mm256_castps_si256(
                    _mm256_blendv_ps(_mm256_castsi256_ps(sum), limit, _mm256_castsi256_ps(over)));
                if (i != 0) {
                    store(at, x);
                    continue;
                }
                const __m256i up = _mm256_slli_epi32(x, 1);
                const __m256i fits = _mm256_cmpeq_epi32(_mm256_srai_epi32(up, 1), x);
                const __m256i bound = _mm256_xor_si256(_mm256_srai_epi32(x, 31), _mm256_set1_epi32(INT32_MAX));
                store(out + k, _mm256_blendv_epi8(bound, up, fits));
            }
    }

    // The shift 31 - s: 7 to 39. Four points a step as synthesis_post's:
    // (a, b) by exp(i pi m / 32), the FFT's twiddles of half-span 32
    // (qmf_rot_q31 at 2 m), a c + (-b) s (b negated as fx::neg_wrap: the
    // folded input may be -2^31) and a s + b c, the rounded words straight
    // from the lanes: below 33 the low words of the logical shifts, above
    // the sums' high words shifted arithmetically.
    template <bool kHigh>
    AVX2_INLINE static void pre_points(const int32_t* u, int n, int32_t* z) {
        const __m256i bias = _mm256_set1_epi64x(static_cast<long long>(INT64_C(1) << (n - 1)));
        const __m128i down = _mm_cvtsi32_si128(kHigh ? n - 32 : n), up = _mm_cvtsi32_si128(32 - n);
        const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (32 - 4);
        // Points j .. j+3 plus 0, 8, 16, 24 (the radix-4 groups of j .. j+3,
        // in order in the lanes), then the radix-4 stage.
        for (int j = 0; j < 8; j += 4) {
            __m256i x[4];
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) {
                const int m = j + 8 * t;
                const __m256i v = load(u + 2 * m), w = load(tw + 2 * m);
                const __m256i vs = odd_words(v), ws = sines(tw + 2 * m, w);  // b, s
                const __m256i re = add(add(mul(v, w), mul(_mm256_sub_epi32(_mm256_setzero_si256(), vs), ws)), bias);
                const __m256i im = add(add(mul(vs, w), mul(v, ws)), bias);
                if constexpr (kHigh)
                    x[t] = _mm256_blend_epi32(_mm256_srli_epi64(_mm256_sra_epi32(re, down), 32),
                                              _mm256_sra_epi32(im, down), 0xAA);
                else
                    x[t] = _mm256_blend_epi32(_mm256_srl_epi64(re, down), _mm256_sll_epi64(im, up), 0xAA);
            }
            radix4_store<3, 0, 1, 2, 3>(x, z + 8 * qmf::kBitReversal<3>.at[j]);
        }
    }
    AVX2 static void analysis_pre(const int32_t* u, int s, int32_t* z) {
        if (31 - s <= 32)
            pre_points<false>(u, 31 - s, z);
        else
            pre_points<true>(u, 31 - s, z);
    }

    // Four points rotated as by rotate_plus (the real parts' sums in one
    // register, the imaginary ones' in another), then fx::rshr64_sat by n
    // without the 64-bit arithmetic shift: below 32 the low word of the
    // logical shift, saturated where the high word of the arithmetic one
    // (VPSRAD of the sum's high word) is not its sign; from 32 on (kHigh)
    // that high word shifted by n - 32 alone, which is the whole result and
    // always fits. tw and ts: the rotations and their sines in the low
    // words of the lanes.
    struct PostRound {
        __m256i bias;
        __m128i count, up;
        AVX2_INLINE PostRound(int n, bool high)
            : bias(_mm256_set1_epi64x(static_cast<long long>(INT64_C(1) << (n - 1)))),
              count(_mm_cvtsi32_si128(high ? n - 32 : n)),
              up(_mm_cvtsi32_si128(32 - n)) {}
    };
    template <bool kHigh>
    AVX2_INLINE static __m256i post_vector(__m256i z, __m256i tw, __m256i ts, const PostRound& r) {
        const __m256i zs = odd_words(z);  // im
        const __m256i re = _mm256_sub_epi64(add(mul(z, tw), r.bias), mul(zs, ts));
        const __m256i im = add(add(mul(zs, tw), mul(z, ts)), r.bias);
        const __m256i hi = _mm256_blend_epi32(_mm256_srli_epi64(_mm256_sra_epi32(re, r.count), 32),
                                              _mm256_sra_epi32(im, r.count), 0xAA);
        if constexpr (kHigh) return hi;
        const __m256i lo = _mm256_blend_epi32(_mm256_srl_epi64(re, r.count), _mm256_sll_epi64(im, r.up), 0xAA);
        const __m256i fits = _mm256_cmpeq_epi32(hi, _mm256_srai_epi32(lo, 31));
        const __m256 limit = _mm256_blendv_ps(_mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX)),
                                              _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MIN)),
                                              _mm256_castsi256_ps(hi));
        return _mm256_castps_si256(_mm256_blendv_ps(limit, _mm256_castsi256_ps(lo), _mm256_castsi256_ps(fits)));
    }
    template <int kBits, bool kHigh>
    AVX2_INLINE static void post_points(const int32_t* d, int n, int32_t* nv) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const PostRound round(n, kHigh);
#pragma GCC unroll 1
        for (int m = 0; m < bands; m += 4) {
            __m256i tw = load(qmf_rot_q31 + 2 * step * m);
            if constexpr (step == 2)  // the pairs of every second point
                tw = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(tw, load(qmf_rot_q31 + 2 * step * m + 8)),
                                              _MM_SHUFFLE(3, 1, 2, 0));
            store(nv + 2 * m, post_vector<kHigh>(load(d + 2 * m), tw, odd_words(tw), round));
        }
    }

    // The shift 30 + s: 22 to 53 for 64 bands, 23 to 54 for 32.
    template <int kBits>
    AVX2 static void synthesis_post(const int32_t* d, int s, int32_t* nv) {
        if (30 + s < 32)
            post_points<kBits, false>(d, 30 + s, nv);
        else
            post_points<kBits, true>(d, 30 + s, nv);
    }

    // The 64-band FFT's last two stages and the post-step in one pass: each
    // four points of the FFT's output rotated and rounded as by post_points
    // on their way to memory (in place), the sines of qmf_rot_q31 loaded one
    // word on but for its last four points.
    template <bool kHigh>
    AVX2_INLINE static void fft_last_post(int32_t* d, int n) {
        const PostRound round(n, kHigh);
        const auto put = [&](int32_t* at, __m256i z) AVX2_INLINE_LAMBDA {
            const int32_t* rot = qmf_rot_q31 + (at - d);
            const __m256i tw = load(rot);
            const __m256i ts = at - d + 8 < 128 ? load(rot + 1) : odd_words(tw);
            store(at, post_vector<kHigh>(z, tw, ts, round));
        };
        if constexpr (kHigh) {
            fft_pair<6, 16>(d, put);
        } else {  // rare (loud slots): the smaller code
#pragma GCC unroll 1
            for (int j = 0; j < 16; j += 4) fft_pair_at<16>(d, j, put);
        }
    }

    // The shift 37 + s: 26 to 58 (s less the analysis gain), below 32 for
    // loud slots (the folded input beyond 2^26).
    // Four bands a step in order, each in a 64-bit lane, F/2 = (f0, f1) and
    // G/2 = (f2, f3) from qmf_analysis_post_lanes_q31 (f1 and f3 one word
    // on), Z[k] = (ar, ai) as loaded, the mirrored Z[31-k] = (br, bi)
    // reversed (VPERMQ):
    //   re = f0 ar - f1 ai + f2 br + f3 bi, im = f0 ai + f1 ar + f3 br - f2 bi
    // (the subtracted products those of the negated table values, which
    // are never -2^31), the real sums and the imaginary ones rounded
    // together and their words put in band order (VPERMD).
    template <class Rounding>
    AVX2_INLINE static void post_bands(const int32_t* z, const Rounding& round, int32_t* re, int32_t* im) {
        const __m256i split = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
        for (int k = 0; k < 32; k += 4) {
            const int32_t* f = qmf_analysis_post_lanes_q31 + 4 * k;
            const __m256i f0 = load(f), f1 = load(f + 1), f2 = load(f + 8), f3 = load(f + 9);
            const __m256i ar = load(z + 2 * k), ai = odd_words(ar);
            const __m256i br = _mm256_permute4x64_epi64(load(z + 2 * (28 - k)), _MM_SHUFFLE(0, 1, 2, 3));
            const __m256i bi = odd_words(br);
            const __m256i r = _mm256_sub_epi64(add(add(mul(f0, ar), mul(f2, br)), mul(f3, bi)), mul(f1, ai));
            const __m256i i = _mm256_sub_epi64(add(add(mul(f0, ai), mul(f1, ar)), mul(f3, br)), mul(f2, bi));
            const __m256i v = _mm256_permutevar8x32_epi32(round(r, i), split);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(re + k), _mm256_castsi256_si128(v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(im + k), _mm256_extracti128_si256(v, 1));
        }
    }
    AVX2 static void analysis_post(const int32_t* z, int s, int32_t* re, int32_t* im) {
        const int n = 37 + s;
        if (n >= 32) {
            const Round<true> high(n);
            post_bands(z, [&](__m256i a, __m256i b) AVX2_INLINE_LAMBDA { return high.narrow(a, b); }, re, im);
        } else {
            const Shift low(n);
            post_bands(z, [&](__m256i a, __m256i b) AVX2_INLINE_LAMBDA { return low.narrow<true>(a, b); }, re, im);
        }
    }

    // Four values of re and im as complex pairs.
    AVX2_INLINE static __m256i pairs(const int32_t* p, const int32_t* q) {
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i i = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        return _mm256_setr_m128i(_mm_unpacklo_epi32(r, i), _mm_unpackhi_epi32(r, i));
    }

    // D for four bands, P X[k] + Q conj X[M-1-k], in 64-bit lanes: P, Q and
    // their imaginary parts (one word on), X[k] (rk, ik) and X[M-1-k]
    // (rj, ij) in the same lanes' order; rounded by 2^n, 2^(n + 32) for
    // kHigh: bits n.. of each sum with the bias (a logical shift gives them
    // while n <= 32), or the high word shifted arithmetically, which is the
    // low word of the 64-bit arithmetic shift.
    template <bool kHigh>
    AVX2_INLINE static __m256i pre_lanes(__m256i p, __m256i pi, __m256i q, __m256i qi, __m256i rk, __m256i ik,
                                         __m256i rj, __m256i ij, __m256i bias, __m128i down, __m128i up) {
        const __m256i r = add(_mm256_sub_epi64(add(add(mul(p, rk), mul(q, rj)), mul(qi, ij)), mul(pi, ik)), bias);
        const __m256i i = add(_mm256_sub_epi64(add(add(mul(p, ik), mul(pi, rk)), mul(qi, rj)), mul(q, ij)), bias);
        if constexpr (kHigh)
            return _mm256_blend_epi32(_mm256_srli_epi64(_mm256_sra_epi32(r, down), 32), _mm256_sra_epi32(i, down),
                                      0xAA);
        else
            return _mm256_blend_epi32(_mm256_srl_epi64(r, down), _mm256_sll_epi64(i, up), 0xAA);
    }
    // For 32 bands the lanes hold bands k, k+2, k+1, k+3 (the order
    // UNPCKLQDQ gives the table's rows in, the values' words brought to it
    // by VPERMD).
    AVX2_INLINE static __m256i words(const int32_t* p, __m256i order) {
        return _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                           order);
    }
    template <int kBits, bool kHigh>
    AVX2_INLINE static void pre_bands(const int32_t* re, const int32_t* im, const int32_t* pre, int n, int32_t* d) {
        constexpr int bands = 1 << kBits, quarter = bands / 4;
        const __m256i bias = _mm256_set1_epi64x(static_cast<long long>(INT64_C(1) << (n + (kHigh ? 31 : -1))));
        const __m128i down = _mm_cvtsi32_si128(n), up = _mm_cvtsi32_si128(32 - n);
        const __m256i fwd = _mm256_setr_epi32(0, 0, 2, 2, 1, 1, 3, 3), rev = _mm256_setr_epi32(3, 3, 1, 1, 2, 2, 0, 0);
        // Bands j .. j+3 plus 0, M/4, M/2, 3M/4 (the radix-4 groups of
        // j .. j+3, in the lanes' order j, j+2, j+1, j+3), then the radix-4
        // stage.
        for (int j = 0; j < quarter; j += 4) {
            __m256i x[4];
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) {
                const int k = j + quarter * t;
                const __m256i t0 = load(pre + 4 * k), t1 = load(pre + 4 * k + 8);
                const __m256i p = _mm256_unpacklo_epi64(t0, t1), q = _mm256_unpackhi_epi64(t0, t1);
                const __m256i pi = _mm256_srli_epi64(p, 32), qi = _mm256_srli_epi64(q, 32);
                const __m256i rk = words(re + k, fwd), ik = words(im + k, fwd);
                const __m256i rj = words(re + bands - 4 - k, rev), ij = words(im + bands - 4 - k, rev);
                x[t] = pre_lanes<kHigh>(p, pi, q, qi, rk, ik, rj, ij, bias, down, up);
            }
            radix4_store<kBits - 2, 0, 2, 1, 3>(x, d + 8 * qmf::kBitReversal<kBits - 2>.at[j]);
        }
    }

    // The same for 64 bands from qmf_synthesis64_pre_lanes_q31, the bands in
    // order in the lanes: X[k] for bands k .. k+3 straight from memory (VPMOVSXDQ),
    // X[M-1-k] the same of the mirrored four reversed (VPERMQ), P and Q and
    // their imaginary parts (one word on) the multiplies' memory operands.
    // The mirrored four need no sign extension, VPMULDQ reading only the
    // low words: one VPERMD of the eight words ending with them, but for
    // the bands from 48 on, whose eight would begin before the array.
    AVX2_INLINE static __m256i reversed_wide(const int32_t* p) {
        return _mm256_permute4x64_epi64(load_wide(p), _MM_SHUFFLE(0, 1, 2, 3));
    }
    template <bool kHigh>
    AVX2_INLINE static void pre_bands64(const int32_t* re, const int32_t* im, int n, int32_t* d) {
        const __m256i bias = _mm256_set1_epi64x(static_cast<long long>(INT64_C(1) << (n + (kHigh ? 31 : -1))));
        const __m128i down = _mm_cvtsi32_si128(n), up = _mm_cvtsi32_si128(32 - n);
        const __m256i top = _mm256_setr_epi32(7, 7, 6, 6, 5, 5, 4, 4);
        for (int j = 0; j < 16; j += 4) {
            __m256i x[4];
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) {
                const int k = j + 16 * t;
                const int32_t* f = qmf_synthesis64_pre_lanes_q31 + 4 * k;
                const __m256i p = load(f), pi = load(f + 1), q = load(f + 8), qi = load(f + 9);
                const __m256i rk = load_wide(re + k), ik = load_wide(im + k);
                const __m256i rj =
                    t < 3 ? _mm256_permutevar8x32_epi32(load(re + 56 - k), top) : reversed_wide(re + 60 - k);
                const __m256i ij =
                    t < 3 ? _mm256_permutevar8x32_epi32(load(im + 56 - k), top) : reversed_wide(im + 60 - k);
                x[t] = pre_lanes<kHigh>(p, pi, q, qi, rk, ik, rj, ij, bias, down, up);
            }
            radix4_store<4, 0, 1, 2, 3>(x, d + 8 * qmf::kBitReversal<4>.at[j]);
        }
    }

    // The shift 31 - s: 8 to 39 for 64 bands, 7 to 38 for 32 (s is 29 - kBits
    // less the bit length, 0 to 31).
    template <int kBits>
    AVX2 static void synthesis_pre(const int32_t* re, const int32_t* im, int s, int32_t* d) {
        const int n = 31 - s;
        if constexpr (kBits == 6) {
            if (n <= 32)
                pre_bands64<false>(re, im, n, d);
            else
                pre_bands64<true>(re, im, n - 32, d);
        } else {
            if (n <= 32)
                pre_bands<kBits, false>(re, im, qmf_synthesis32_pre_q31, n, d);
            else
                pre_bands<kBits, true>(re, im, qmf_synthesis32_pre_q31, n - 32, d);
        }
    }

    // The ring's rows four addresses a step (the last step's two beyond the
    // ten unused), without the reference's two runs: the row numbers from
    // `first`, less 10 from the end on, shifted to byte offsets (kWords a
    // power of 2) and added to the ring's address in 64-bit lanes.
    static constexpr bool kRingHook = true;
    static constexpr int kRingRows = 12;
    static constexpr int kRingAlign = 32;
    template <int kWords, class T>
    AVX2_INLINE static void ring_rows(T* ring, int first, T** rows) {
        static_assert(sizeof(void*) == 8, "the rows' addresses are made in 64-bit lanes");
        static_assert((kWords & (kWords - 1)) == 0, "a power of 2");
        const __m256i base = _mm256_set1_epi64x(static_cast<long long>(reinterpret_cast<intptr_t>(ring)));
        const __m256i from = _mm256_add_epi64(_mm256_set1_epi64x(first), _mm256_setr_epi64x(0, 1, 2, 3));
#pragma GCC unroll 3
        for (int i = 0; i < kRingRows; i += 4) {
            __m256i row = _mm256_add_epi64(from, _mm256_set1_epi64x(i));
            row = _mm256_sub_epi64(row, _mm256_and_si256(_mm256_cmpgt_epi64(row, _mm256_set1_epi64x(qmf::kBlocks - 1)),
                                                         _mm256_set1_epi64x(qmf::kBlocks)));
            _mm256_store_si256(reinterpret_cast<__m256i*>(rows + i),
                               _mm256_add_epi64(base, _mm256_slli_epi64(row, __builtin_ctz(kWords * 4))));
        }
    }
};

// One slot of the M-band synthesis (M = 2^kBits): qmf::synthesis_slot's
// steps with two passes fewer. For 64 bands the FFT's last two stages end
// in the post-step (fft_last_post); the window puts row 0's completed sums
// straight to the output (synthesis_window).
template <int kBits>
AVX2_INLINE void synthesis_slot(int32_t* current, int32_t (*sum)[1 << kBits], const int32_t* re, const int32_t* im,
                                int32_t* out) {
    using S = Avx2Steps;
    constexpr int bands = 1 << kBits;
    const int s = 29 - kBits - qmf::bit_length(S::magnitude2(re, im, bands));
    int32_t d[2 * bands];
    S::synthesis_pre<kBits>(re, im, s, d);
    if constexpr (kBits == 6) {
        S::fft_pair<6, 4>(d, [](int32_t* at, __m256i z) AVX2_INLINE_LAMBDA { store(at, z); });
        // (The next pass loads what this one stored: without the barrier the
        // compiler keeps the values for it, and spills them, a store more.)
        __asm__ volatile("" ::: "memory");
        if (30 + s < 32)
            S::fft_last_post<false>(d, 30 + s);
        else
            S::fft_last_post<true>(d, 30 + s);
    } else {
        S::fft<kBits>(d);
        S::synthesis_post<kBits>(d, s, d);
    }
    const int32_t now = *current >= 0 && *current < qmf::kBlocks ? *current : 0;
    alignas(S::kRingAlign) int32_t* sums[S::kRingRows];
    S::ring_rows<bands, int32_t>(sum[0], now, sums);
    S::synthesis_window<kBits>(d, s, sums, out);
    *current = now + 1 < qmf::kBlocks ? now + 1 : 0;
}

}  // namespace

AVX2 void qmf_analysis32_avx2(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<Avx2Steps>(state, in, re, im);
    _mm256_zeroupper();
}

AVX2 void qmf_synthesis64_avx2(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    synthesis_slot<6>(&state->current, state->sum, re, im, out);
    _mm256_zeroupper();
}

AVX2 void qmf_synthesis32_avx2(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    synthesis_slot<5>(&state->current, state->sum, re, im, out);
    _mm256_zeroupper();
}
