// The SBR envelope adjuster's energies, logarithms, exponentials and gains
// and noise with AVX2. The energies: the SSE4.1 variant's eight subbands at
// a time. The logarithms: the SSE4.1 variant's steps
// (dsp/x86/sbr_adjust_sse41.cpp) eight values at a time. The exponentials,
// eight at a time: the product of the roots of the fraction's top 8 bits
// gathered from their table (VPGATHERDD), then for each lower bit the
// product with its root in 64-bit lanes (VPMULUDQ of the even and of the
// odd words, the roots from a table of them in all eight words), rounded
// to Q30 as fx::rshr64, kept where the bit is set (VBLENDVPS on the bit
// moved to the sign). The gains and noise
// (sbr_apply), four subbands at a time down their run of rows: each term's
// four products in the four 64-bit lanes (VPMULDQ of the samples
// sign-extended and of the levels, whose mantissas are the low words of
// their pairs; the noise table's parts are the even and the odd words of
// its pairs), rounded and shifted by each subband's own shift (VPSRLVQ of
// the sum lifted to be positive, the lift's part taken off after),
// saturated to 32 bits where a gain's shift below 31 lets a term outgrow
// them, gathered to four words (VPERMD), and added with saturation. A shift
// beyond 62 is taken as 63, which leaves 0 of any product, as
// fx::mul_shift_sat does. Bit-exact with dsp/sbr_adjust.cpp; subbands whose
// shift is below 1 (levels of 2^30 and more) or whose noise level may
// saturate, and the rows where the noise table wraps within four subbands,
// are the reference's. The last one to three subbands of a row are four
// with the others' loads and stores masked (VPMASKMOVD).
#include <immintrin.h>

#include <type_traits>

#include "dsp/sbr_adjust.h"
#include "tables/sbr_tables.h"

#define AVX2 __attribute__((target("avx2")))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

// One term's shifts for four subbands: base - e, the constant added before
// the shift and the one taken off after it, and whether a result may need
// saturating. The arithmetic shift of the rounded product p + 2^(s - 1) is
// a logical one of it lifted by 2^62 (then in 0..2^64), less 2^(62 - s);
// a shift of 63 (beyond 62) takes no lift and leaves 0.
struct Term {
    __m256i level;   // mantissas in the low words
    __m256i count;   // shifts 1..63
    __m256i add;     // 2^(shift - 1) + 2^62
    __m256i offset;  // 2^(62 - shift)
    bool saturate;   // a shift below 31
    bool ok;         // every shift at least 1
    AVX2_INLINE Term(const SbrLin* lv, int base) {
        level = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lv));
        // base - e in the low words; the high ones cleared
        const __m256i e = _mm256_shuffle_epi32(level, _MM_SHUFFLE(3, 3, 1, 1));
        __m256i s = _mm256_sub_epi32(_mm256_set1_epi32(base), e);
        const __m256i low_words = _mm256_set1_epi64x(0xffffffff);
        ok = _mm256_testz_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(1), s), low_words);
        saturate = !_mm256_testz_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(31), s), low_words);
        s = _mm256_min_epi32(s, _mm256_set1_epi32(63));
        count = _mm256_and_si256(s, low_words);
        const __m256i one = _mm256_set1_epi64x(1);
        const __m256i lift =
            _mm256_andnot_si256(_mm256_cmpgt_epi64(count, _mm256_set1_epi64x(62)), _mm256_set1_epi64x(INT64_C(1) << 62));
        add = _mm256_add_epi64(_mm256_sllv_epi64(one, _mm256_sub_epi64(count, one)), lift);
        offset = _mm256_srlv_epi64(lift, count);
    }
    // The four terms of x (in the low words of its pairs), as four words.
    template <bool kSaturate>
    AVX2_INLINE __m128i apply(__m256i x) const {
        __m256i v = _mm256_add_epi64(_mm256_mul_epi32(x, level), add);
        v = _mm256_sub_epi64(_mm256_srlv_epi64(v, count), offset);
        if (kSaturate) {
            const __m256i hi = _mm256_set1_epi64x(INT32_MAX), lo = _mm256_set1_epi64x(INT32_MIN);
            v = _mm256_blendv_epi8(v, hi, _mm256_cmpgt_epi64(v, hi));
            v = _mm256_blendv_epi8(v, lo, _mm256_cmpgt_epi64(lo, v));
        }
        return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    }
};

// fx::add_sat of four words.
AVX2_INLINE __m128i add_sat(__m128i a, __m128i b) {
    const __m128i sum = _mm_add_epi32(a, b);
    const __m128i over = _mm_and_si128(_mm_xor_si128(a, sum), _mm_xor_si128(b, sum));
    const __m128i limit = _mm_xor_si128(_mm_srai_epi32(a, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_castps_si128(_mm_blendv_ps(_mm_castsi128_ps(sum), _mm_castsi128_ps(limit), _mm_castsi128_ps(over)));
}

// Four subbands down the rows; `lanes` (1..4) of them are real: the loads
// and stores of the samples are masked (VPMASKMOVD) below four.
AVX2_INLINE void apply_block(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain,
                             const SbrLin* noise, int noise_index, int i, int lanes) {
    // The block's levels; those of missing subbands 1, with no noise.
    SbrLin g4[4], q4[4];
    const SbrLin *gl, *ql;
    adjuster::block_levels(gain, noise, i, lanes, g4, q4, &gl, &ql);
    const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(lanes), _mm_setr_epi32(0, 1, 2, 3));
    auto load = [&](const int32_t* p) __attribute__((always_inline, target("avx2"))) {
        return _mm256_cvtepi32_epi64(lanes < 4 ? _mm_maskload_epi32(p, mask)
                                               : _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    };
    auto put = [&](int32_t* p, __m128i v) __attribute__((always_inline, target("avx2"))) {
        if (lanes < 4) _mm_maskstore_epi32(p, mask, v);
        else _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    };
    const Term g(gl, 30);
    const Term q(ql ? ql : gl, 61);
    // The row's subbands by the reference: all rows where a shift is below
    // 1 or a noise level may saturate (neither met in practice), the rows
    // where the noise table wraps.
    auto reference_row = [&](int32_t* yr, int32_t* yi, int first) __attribute__((always_inline, target("avx2"))) {
        for (int k = 0; k < lanes; ++k) {
            if (!ql) {
                yr[k] = adjuster::mul_shift(yr[k], gl[k].m, 30 - gl[k].e);
                yi[k] = adjuster::mul_shift(yi[k], gl[k].m, 30 - gl[k].e);
                continue;
            }
            const int32_t* v = sbr_noise_v[(first + k) & 511];
            yr[k] = adjuster::apply(yr[k], gl[k], v[0], ql[k]);
            yi[k] = adjuster::apply(yi[k], gl[k], v[1], ql[k]);
        }
    };
    const bool whole_reference = !g.ok || (ql && (!q.ok || q.saturate));
    auto run = [&](auto saturate) __attribute__((always_inline, target("avx2"))) {
        constexpr bool kSat = decltype(saturate)::value;
        for (int r = 0; r < rows; ++r) {
            int32_t* const yr = y_re + 64 * r + i;
            int32_t* const yi = y_im + 64 * r + i;
            const int first = (noise_index + r * count + i + 1) & 511;
            if (whole_reference || (ql && first > 512 - 4)) {
                reference_row(yr, yi, first);
            } else if (!ql) {
                put(yr, g.apply<kSat>(load(yr)));
                put(yi, g.apply<kSat>(load(yi)));
            } else {
                // four noise pairs: re in the low words, im in the high ones
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sbr_noise_v[first]));
                put(yr, add_sat(g.apply<kSat>(load(yr)), q.apply<false>(v)));
                put(yi, add_sat(g.apply<kSat>(load(yi)), q.apply<false>(_mm256_srli_epi64(v, 32))));
            }
        }
    };
    if (g.saturate) run(std::true_type{});
    else run(std::false_type{});
}

}  // namespace

namespace {

// The roots of the fraction's bits below its top 8 (bit b's, kRoots.c[24 -
// b], b = 15 .. 0), each in all eight words: the products' memory operands.
struct Exp2Roots8 {
    alignas(32) int32_t c[16][8];
    constexpr Exp2Roots8() : c() {
        for (int k = 0; k < 16; ++k)
            for (int j = 0; j < 8; ++j) c[k][j] = adjuster::kRoots.c[adjuster::kLogFrac - (15 - k)];
    }
};
constexpr Exp2Roots8 kExp2Roots8;

// The exponentials of eight values x: mantissas and exponents in order,
// values 0..3 in *first, 4..7 in *second.
AVX2_INLINE void exp2_eight(__m256i x, __m256i* first, __m256i* second) {
    const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << 29);
    const __m256i frac = _mm256_and_si256(x, _mm256_set1_epi32((1 << adjuster::kLogFrac) - 1));
    // The top 8 bits of the fraction from the table, then the others'
    // roots where they are set: the bit at the sign for VBLENDVPS, the
    // fraction moved up one each step. The odd words' products shifted up
    // by 2 put bits 30..61 in their high words.
    __m256i m = _mm256_i32gather_epi32(adjuster::kExp2Top.m, _mm256_srli_epi32(frac, adjuster::kLogFrac - 8), 4);
    __m256i f = _mm256_slli_epi32(frac, 32 - (adjuster::kLogFrac - 8));
    for (int k = 0; k < 16; ++k) {
        const __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(kExp2Roots8.c[k]));
        const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(m, c), bias), 30);
        const __m256i odd = _mm256_slli_epi64(_mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(m, 32), c), bias), 2);
        const __m256i product = _mm256_blend_epi32(even, odd, 0xAA);
        m = _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(m), _mm256_castsi256_ps(product), _mm256_castsi256_ps(f)));
        f = _mm256_slli_epi32(f, 1);
    }
    const __m256i e = _mm256_srai_epi32(x, adjuster::kLogFrac);
    // m, e pairs in order: 0 1 4 5 and 2 3 6 7 interleaved, then the halves.
    const __m256i lo = _mm256_unpacklo_epi32(m, e), hi = _mm256_unpackhi_epi32(m, e);
    *first = _mm256_permute2x128_si256(lo, hi, 0x20);
    *second = _mm256_permute2x128_si256(lo, hi, 0x31);
}

}  // namespace

AVX2 void sbr_exp2_avx2(const int32_t* l, int n, SbrLin* out) {
    __m256i first, second;
    if (n < 8) {
        // Fewer than eight: the loads and stores masked (VPMASKMOVD).
        if (n <= 0) return;
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), pair = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
        const __m256i count = _mm256_set1_epi32(n);
        exp2_eight(_mm256_maskload_epi32(l, _mm256_cmpgt_epi32(count, lane)), &first, &second);
        int32_t* const o = &out[0].m;
        _mm256_maskstore_epi32(o, _mm256_cmpgt_epi32(count, pair), first);
        _mm256_maskstore_epi32(o + 8, _mm256_cmpgt_epi32(count, _mm256_add_epi32(pair, _mm256_set1_epi32(4))),
                               second);
        return;
    }
    // Eight at a time; the last eight end at n, over values already taken
    // when n is not a multiple of 8 (the same again).
    for (int i = 0; i < n; i += 8) {
        const int at = i + 8 <= n ? i : n - 8;
        exp2_eight(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(l + at)), &first, &second);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at), first);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at + 4), second);
    }
}

namespace {

// The energies of the eight subbands from `at` over the rows, the samples
// shifted down by s first (kFirst: as they are, their magnitudes' bits
// ORed into *bits).
template <bool kFirst>
AVX2_INLINE void energy_eight(const int32_t* x_re, const int32_t* x_im, int rows, int at, __m128i s, __m256i* bits,
                              uint64_t* energy) {
    __m256i even = _mm256_setzero_si256(), odds = even, b8 = *bits;
    for (int r = 0; r < rows; ++r) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x_re + 64 * r + at));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x_im + 64 * r + at));
        if (kFirst) {
            b8 = _mm256_or_si256(b8, _mm256_or_si256(_mm256_xor_si256(a, _mm256_srai_epi32(a, 31)),
                                                     _mm256_xor_si256(b, _mm256_srai_epi32(b, 31))));
        } else {
            a = _mm256_sra_epi32(a, s), b = _mm256_sra_epi32(b, s);
        }
        even = _mm256_add_epi64(even, _mm256_add_epi64(_mm256_mul_epi32(a, a), _mm256_mul_epi32(b, b)));
        const __m256i ao = _mm256_srli_epi64(a, 32), bo = _mm256_srli_epi64(b, 32);
        odds = _mm256_add_epi64(odds, _mm256_add_epi64(_mm256_mul_epi32(ao, ao), _mm256_mul_epi32(bo, bo)));
    }
    *bits = b8;
    // subbands at, at+1 | at+4, at+5 and at+2, at+3 | at+6, at+7
    const __m256i lo = _mm256_unpacklo_epi64(even, odds), hi = _mm256_unpackhi_epi64(even, odds);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(energy + at), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(energy + at + 4), _mm256_permute2x128_si256(lo, hi, 0x31));
}

}  // namespace

// The energies as the SSE4.1 variant's, eight subbands at a time (the last
// eight ending at the last subband; fewer than eight by the SSE4.1
// variant).
AVX2 int sbr_energies_avx2(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy) {
    if (count < 8) return sbr_energies_sse41(x_re, x_im, rows, count, energy);
    __m256i bits = _mm256_setzero_si256();
    for (int i = 0; i < count; i += 8)
        energy_eight<true>(x_re, x_im, rows, i + 8 <= count ? i : count - 8, _mm_setzero_si128(), &bits, energy);
    __m128i b4 = _mm_or_si128(_mm256_castsi256_si128(bits), _mm256_extracti128_si256(bits, 1));
    b4 = _mm_or_si128(b4, _mm_shuffle_epi32(b4, _MM_SHUFFLE(1, 0, 3, 2)));
    b4 = _mm_or_si128(b4, _mm_shuffle_epi32(b4, _MM_SHUFFLE(2, 3, 0, 1)));
    const int shift = adjuster::energy_shift(static_cast<uint32_t>(_mm_cvtsi128_si32(b4)));
    if (shift)
        for (int i = 0; i < count; i += 8)
            energy_eight<false>(x_re, x_im, rows, i + 8 <= count ? i : count - 8, _mm_cvtsi32_si128(shift), &bits,
                                energy);
    return shift;
}

AVX2 void sbr_log2_avx2(const uint64_t* v, int n, int32_t* out) {
    const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << 28), limit = _mm256_set1_epi32((INT32_C(1) << 30) - 1);
    for (int i = 0; i < n; i += 8) {
        // The last block's missing values are taken as 1.
        const int lanes = n - i < 8 ? n - i : 8;
        alignas(32) int32_t mant[8], top[8];
        for (int k = 0; k < 8; ++k) {
            const uint64_t x = k < lanes ? v[i + k] : 1;
            const int b = 63 - fx::clz64(x);
            top[k] = b;
            mant[k] = static_cast<int32_t>(b >= 29 ? fx::lsr64(x, b - 29) : fx::lsl64(x, 29 - b));
        }
        __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(mant)), frac = _mm256_setzero_si256();
        for (int k = 0; k < adjuster::kLogFrac + 1; ++k) {
            // x^2 in Q29, rounded: [2^29, 2^31) (x in [2^29, 2^30), or 0)
            const __m256i e = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(x, x), bias), 29);
            const __m256i xo = _mm256_srli_epi64(x, 32);
            // (the odd words' squares below 2^61: bits 29.. of each are the
            // high word of it shifted up by 3)
            const __m256i o = _mm256_slli_epi64(_mm256_add_epi64(_mm256_mul_epu32(xo, xo), bias), 3);
            const __m256i y = _mm256_blend_epi32(e, o, 0xAA);
            const __m256i big = _mm256_cmpgt_epi32(y, limit);
            x = _mm256_blendv_epi8(y, _mm256_srli_epi32(y, 1), big);
            frac = _mm256_sub_epi32(_mm256_add_epi32(frac, frac), big);
        }
        // top 2^24 + rshr(frac, 1)
        const __m256i half = _mm256_add_epi32(_mm256_srai_epi32(frac, 1), _mm256_and_si256(frac, _mm256_set1_epi32(1)));
        const __m256i whole =
            _mm256_slli_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(top)), adjuster::kLogFrac);
        const __m256i result = _mm256_add_epi32(whole, half);
        if (lanes == 8) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), result);
        } else {
            _mm256_store_si256(reinterpret_cast<__m256i*>(mant), result);
            for (int k = 0; k < lanes; ++k) out[i + k] = mant[k];
        }
    }
}

AVX2 void sbr_apply_avx2(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                         int noise_index) {
    int i = 0;
    for (; i + 4 <= count; i += 4) apply_block(y_re, y_im, rows, count, gain, noise, noise_index, i, 4);
    if (i < count) apply_block(y_re, y_im, rows, count, gain, noise, noise_index, i, count - i);
}
