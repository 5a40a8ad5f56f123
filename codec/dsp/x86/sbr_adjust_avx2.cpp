// The SBR envelope adjuster's energies, logarithms, exponentials and gains
// and noise with AVX2. The energies: the SSE4.1 variant's eight subbands at
// a time. The logarithms, eight values at a time (four in 64-bit lanes when
// there are no more): each value's leading bit from the exponent of an
// exact double of it, its Q29 mantissa by a variable shift (VPSLLVQ), then
// the 25 squarings of the SSE4.1 variant (dsp/x86/sbr_adjust_sse41.cpp),
// the halving by a variable shift of the square's bit 30. The exponentials,
// eight at a time: the product of the roots of the fraction's top 8 bits
// gathered from their table (VPGATHERDD), then for each lower bit the
// product with its root in 64-bit lanes (VPMULUDQ of the even and of the
// odd words, the roots from a table of them in all eight words), rounded
// to Q30 as fx::rshr64, kept where the bit is set (VBLENDVPS on the bit
// moved to the sign). The gains and noise (sbr_apply), eight subbands at a
// time down their run of rows: each term's products in 64-bit lanes,
// subbands 0..3 and 4..7 of the block apart (VPMULDQ of the samples
// sign-extended, VPMOVSXDQ, and of the levels, whose mantissas are the low
// words of their pairs; the noise table's parts are the even and the odd
// words of its pairs), rounded and shifted by each subband's own shift
// (VPSRLVQ of the sum lifted to be positive, the lift's part taken off
// after), the gain and noise terms added in 64 bits and their low words
// gathered in order (VSHUFPS, VPERMQ). A shift beyond 62 is taken as 63,
// which leaves 0 of any product, as fx::mul_shift_sat does. With every
// shift 32 or more nothing can saturate; else the gain terms are lifted
// by 2^31 (and the sums with them), and a row where any leaves 0..2^32 is
// the reference's. Bit-exact with dsp/sbr_adjust.cpp; blocks with a gain's
// shift below 1 (levels of 2^30 and more) or a noise level's below 31 are
// the reference's; a row whose noise wraps round the table's end takes its
// eight pairs from a copy. The last one to seven subbands of a row are
// those of a block of the last eight whose others have gain 1 and no
// noise; fewer than eight subbands are the reference's.
#include <immintrin.h>

#include "dsp/sbr_adjust.h"
#include "tables/sbr_tables.h"

#define AVX2 __attribute__((target("avx2")))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

// One term's shifts for four subbands: base - e, the constant added before
// the shift and the one taken off after it. The arithmetic shift of the
// rounded product p + 2^(s - 1) is a logical one of it lifted by 2^62 (then
// in 0..2^64), less 2^(62 - s); a shift of 63 (beyond 62) takes no lift and
// leaves 0. `up` is added to the results (taken off the offset).
struct Term {
    __m256i level;   // mantissas in the low words
    __m256i count;   // shifts 1..63
    __m256i add;     // 2^(shift - 1) + 2^62
    __m256i offset;  // 2^(62 - shift) - up
    AVX2_INLINE Term(const SbrLin* lv, int base, int64_t up) {
        level = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lv));
        // base - e in the low words; the high ones cleared
        const __m256i e = _mm256_shuffle_epi32(level, _MM_SHUFFLE(3, 3, 1, 1));
        const __m256i s = _mm256_min_epi32(_mm256_sub_epi32(_mm256_set1_epi32(base), e), _mm256_set1_epi32(63));
        count = _mm256_and_si256(s, _mm256_set1_epi64x(0xffffffff));
        const __m256i one = _mm256_set1_epi64x(1);
        const __m256i lift =
            _mm256_andnot_si256(_mm256_cmpgt_epi64(count, _mm256_set1_epi64x(62)), _mm256_set1_epi64x(INT64_C(1) << 62));
        add = _mm256_add_epi64(_mm256_sllv_epi64(one, _mm256_sub_epi64(count, one)), lift);
        offset = _mm256_sub_epi64(_mm256_srlv_epi64(lift, count), _mm256_set1_epi64x(up));
    }
    // The four terms of x (in the low words of its pairs), 64-bit.
    AVX2_INLINE __m256i apply(__m256i x) const {
        const __m256i v = _mm256_add_epi64(_mm256_mul_epi32(x, level), add);
        return _mm256_sub_epi64(_mm256_srlv_epi64(v, count), offset);
    }
};

// Whether any shift of four levels' (base - e, in the odd words of lv's
// pairs moved down) is below `least`.
AVX2_INLINE bool any_below(const SbrLin* lv, int base, int least) {
    const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lv));
    const __m256i s = _mm256_sub_epi32(_mm256_set1_epi32(base), e);
    return !_mm256_testz_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(least), s), _mm256_set1_epi64x(INT64_C(-1) << 32));
}

// The low words of eight 64-bit values (subbands 0..3 in a, 4..7 in b) in
// order.
AVX2_INLINE __m256i low_words(__m256i a, __m256i b) {
    // 0 1 4 5 | 2 3 6 7, then the 64-bit pairs 0 2 1 3
    const __m256 w = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
    return _mm256_permute4x64_epi64(_mm256_castps_si256(w), _MM_SHUFFLE(3, 1, 2, 0));
}

// Eight subbands from i down the rows, their levels gl and ql; kNoise: with
// noise. (Not inlined: the levels' constants, which spill, then take one
// frame on the stack at a time, not both forms' in sbr_apply_avx2's.)
template <bool kNoise>
__attribute__((target("avx2"), noinline)) void apply_block(int32_t* y_re, int32_t* y_im, int rows, int count,
                                                           const SbrLin* gl, const SbrLin* ql, int noise_index,
                                                           int i) {
    // The reference's subbands (the block's, or a row's): a gain's shift
    // below 1 or a noise level's below 31 (that may saturate), neither met
    // in practice, or a row's result that saturates. (`at`: the noise index
    // of the row's first subband.)
    const auto reference_row = [&](int32_t* yr, int32_t* yi, int at) __attribute__((always_inline)) {
        sbr_apply_c(yr, yi, 1, 8, gl, kNoise ? ql : nullptr, at - 1);
    };
    int first = (noise_index + i + 1) & 511;
    if (any_below(gl, 30, 1) || any_below(gl + 4, 30, 1) ||
        (kNoise && (any_below(ql, 61, 31) || any_below(ql + 4, 61, 31)))) {
        for (int r = 0; r < rows; ++r, first = (first + count) & 511)
            reference_row(y_re + 64 * r + i, y_im + 64 * r + i, first);
        return;
    }
    // The gain terms are lifted by 2^31, their sums with the noise terms
    // too: a value within 32 bits is then one in 0..2^32 (high word 0), its
    // low word the result with the top bit flipped.
    const Term ga(gl, 30, INT64_C(1) << 31), gb(gl + 4, 30, INT64_C(1) << 31), qa(ql, 61, 0), qb(ql + 4, 61, 0);
    const __m256i flip = _mm256_set1_epi32(INT32_MIN);
    // With every shift 32 or more each term lies within +-(2^30 - 1) and
    // their sum within 32 bits. Else a row whose gain terms or sums leave
    // 32 bits is the reference's (saturating).
    const bool check = any_below(gl, 30, 32) || any_below(gl + 4, 30, 32) ||
                       (kNoise && (any_below(ql, 61, 32) || any_below(ql + 4, 61, 32)));
    // One part's eight results (va, vb: the noise of subbands 0..3 and 4..7
    // in the low words), and into *over the high words of the gain terms and
    // sums.
    const auto part = [&](const int32_t* y, __m256i va, __m256i vb, __m256i* over)
                          __attribute__((always_inline, target("avx2"))) {
        const __m256i xa = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
        const __m256i xb = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 4)));
        __m256i a = ga.apply(xa), b = gb.apply(xb);
        if (kNoise) {
            const __m256i sa = _mm256_add_epi64(a, qa.apply(va)), sb = _mm256_add_epi64(b, qb.apply(vb));
            if (check) *over = _mm256_or_si256(*over, _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(sa, sb)));
            a = sa, b = sb;
        } else if (check) {
            *over = _mm256_or_si256(*over, _mm256_or_si256(a, b));
        }
        return _mm256_xor_si256(low_words(a, b), flip);
    };
    const auto put = [](int32_t* y, __m256i v) __attribute__((always_inline, target("avx2"))) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y), v);
    };
    const __m256i high = _mm256_set1_epi64x(INT64_C(-1) << 32);
    // One row, its noise pairs from v.
    const auto row = [&](int32_t* yr, int32_t* yi, const int32_t* v, int at)
                         __attribute__((always_inline, target("avx2"))) {
        __m256i va = _mm256_setzero_si256(), vb = va;
        if (kNoise) {
            // four noise pairs each: re in the low words, im in the high ones
            va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
            vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 8));
        }
        __m256i over = _mm256_setzero_si256();
        const __m256i re = part(yr, va, vb, &over);
        const __m256i im = part(yi, _mm256_srli_epi64(va, 32), _mm256_srli_epi64(vb, 32), &over);
        if (check && !_mm256_testz_si256(over, high)) {
            reference_row(yr, yi, at);
            return;
        }
        put(yr, re);
        put(yi, im);
    };
    int32_t* yr = y_re + i;
    int32_t* yi = y_im + i;
    for (int r = 0; r < rows;) {
        // A run of rows whose noise lies in order in the table, up to the
        // row whose eight wrap round its end (theirs copied in order).
        if (kNoise && first > 512 - 8) {
            int32_t wrap[16];
            for (int k = 0; k < 8; ++k) {
                const int32_t* v = sbr_noise_v[(first + k) & 511];
                wrap[2 * k] = v[0], wrap[2 * k + 1] = v[1];
            }
            row(yr, yi, wrap, first);
            yr += 64, yi += 64, first = (first + count) & 511, ++r;
            continue;
        }
        int run = rows - r;
        if (kNoise && (512 - 8 - first) / count + 1 < run) run = (512 - 8 - first) / count + 1;
        // (The row's noise index: within the table with noise, where the
        // run ends before a row's eight wrap; without, only passed on.)
        for (int k = 0; k < run; ++k, yr += 64, yi += 64) {
            const int at = first + k * count;
            row(yr, yi, kNoise ? sbr_noise_v[at] : nullptr, at);
        }
        r += run;
        first = (first + run * count) & 511;
    }
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
    // (The table's address opaque to the compiler, so that the roots stay
    // the multiplies' memory operands: it would otherwise build most of them
    // from immediates, three instructions each.)
    const Exp2Roots8* roots = &kExp2Roots8;
    __asm__("" : "+r"(roots));
    for (int k = 0; k < 16; ++k) {
        const __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(roots->c[k]));
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
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i pair = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
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

namespace {

// Each value's double with the same leading bit (exact: the larger of its
// high word times 2^32 and its low word, each made from a biased double's
// low mantissa bits), 0.0 for 0: its exponent field is 1023 + the leading
// bit's place.
AVX2_INLINE __m256d leading(__m256i v) {
    const __m256i k84 = _mm256_set1_epi64x(INT64_C(0x4530000000000000));  // 2^84
    const __m256i k52 = _mm256_set1_epi64x(INT64_C(0x4330000000000000));  // 2^52
    const __m256d hi = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(v, 32), k84)),
                                     _mm256_castsi256_pd(k84));
    const __m256d lo =
        _mm256_sub_pd(_mm256_castsi256_pd(_mm256_blend_epi32(v, k52, 0xAA)), _mm256_castsi256_pd(k52));
    return _mm256_max_pd(hi, lo);
}

// The logarithms of the eight values of a (0..3) and b (4..7), in order.
// Both are taken apart in the words of one register, a's in the even
// words and b's in the odd: the leading bit's place t from the exponent
// field (a 0 taken as 2^-1: t = -1, its mantissa 0), the mantissa in Q29
// by the 64-bit shift that brings the leading bit to bit 63 (VPSLLVQ; 0
// for a count of 64). The fraction's bits are shifted in below t: 24
// doublings, then the 25th bit added, which is t 2^24 + rshr(frac, 1).
AVX2_INLINE __m256i log2_eight(__m256i a, __m256i b) {
    const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << 28);
    const __m256i fields = _mm256_blend_epi32(_mm256_srli_epi64(_mm256_castpd_si256(leading(a)), 32),
                                              _mm256_castpd_si256(leading(b)), 0xAA);
    const __m256i e = _mm256_max_epi32(_mm256_srli_epi32(fields, 20), _mm256_set1_epi32(1022));
    __m256i frac = _mm256_sub_epi32(e, _mm256_set1_epi32(1023));
    const __m256i count = _mm256_sub_epi32(_mm256_set1_epi32(1086), e);  // 63 - t
    const __m256i na = _mm256_sllv_epi64(a, _mm256_blend_epi32(count, _mm256_setzero_si256(), 0xAA));
    const __m256i nb = _mm256_sllv_epi64(b, _mm256_srli_epi64(count, 32));
    __m256i x = _mm256_blend_epi32(_mm256_srli_epi64(na, 34), _mm256_srli_epi64(nb, 2), 0xAA);
    __m256i y;
#pragma GCC unroll 4
    for (int k = 0; k < adjuster::kLogFrac; ++k) {
        // x^2 in Q29, rounded: [2^29, 2^31) (x in [2^29, 2^30), or 0);
        // the odd words' squares below 2^61: bits 29.. of each are the
        // high word of it shifted up by 3. Halved (VPSRLVD) by its bit 30,
        // the fraction's next bit.
        const __m256i ev = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(x, x), bias), 29);
        const __m256i xo = _mm256_srli_epi64(x, 32);
        const __m256i od = _mm256_slli_epi64(_mm256_add_epi64(_mm256_mul_epu32(xo, xo), bias), 3);
        y = _mm256_blend_epi32(ev, od, 0xAA);
        const __m256i bit = _mm256_srli_epi32(y, 30);
        x = _mm256_srlv_epi32(y, bit);
        frac = _mm256_add_epi32(_mm256_add_epi32(frac, frac), bit);
    }
    const __m256i ev = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(x, x), bias), 29);
    const __m256i xo = _mm256_srli_epi64(x, 32);
    const __m256i od = _mm256_slli_epi64(_mm256_add_epi64(_mm256_mul_epu32(xo, xo), bias), 3);
    y = _mm256_blend_epi32(ev, od, 0xAA);
    frac = _mm256_add_epi32(frac, _mm256_srli_epi32(y, 30));
    return _mm256_permutevar8x32_epi32(frac, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

// The logarithms of four values, each in its own 64-bit lane throughout
// (the steps of log2_eight; VPSRLVQ halves), in the low four words.
AVX2_INLINE __m128i log2_four(__m256i v) {
    const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << 28);
    const __m256i e =
        _mm256_max_epi32(_mm256_srli_epi64(_mm256_castpd_si256(leading(v)), 52), _mm256_set1_epi64x(1022));
    __m256i frac = _mm256_sub_epi32(e, _mm256_set1_epi64x(1023));
    __m256i x = _mm256_srli_epi64(_mm256_sllv_epi64(v, _mm256_sub_epi32(_mm256_set1_epi64x(1086), e)), 34);
    __m256i y;
#pragma GCC unroll 4
    for (int k = 0; k < adjuster::kLogFrac; ++k) {
        y = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(x, x), bias), 29);
        const __m256i bit = _mm256_srli_epi64(y, 30);
        x = _mm256_srlv_epi64(y, bit);
        frac = _mm256_add_epi32(_mm256_add_epi32(frac, frac), bit);
    }
    y = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epu32(x, x), bias), 29);
    frac = _mm256_add_epi32(frac, _mm256_srli_epi64(y, 30));
    return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(frac, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)));
}

// The first n (below 8) lanes of a mask.
AVX2_INLINE __m256i first_lanes(int n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

}  // namespace

AVX2 void sbr_log2_avx2(const uint64_t* v, int n, int32_t* out) {
    if (n <= 0) return;
    if (n <= 4) {
        // Four lanes of 64 bits, the missing ones (0) not stored.
        const __m256i m = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(first_lanes(n)));
        const __m128i r = log2_four(_mm256_maskload_epi64(reinterpret_cast<const long long*>(v), m));
        _mm_maskstore_epi32(out, _mm256_castsi256_si128(first_lanes(n)), r);
        return;
    }
    // Eight at a time; the last eight end at n, over values already taken
    // when n is not a multiple of 8 (the same again); fewer than eight
    // loaded and stored under a mask.
    for (int i = 0; i < n; i += 8) {
        if (n < 8) {
            const __m256i m = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(first_lanes(n - 4)));
            const __m256i r = log2_eight(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)),
                                         _mm256_maskload_epi64(reinterpret_cast<const long long*>(v + 4), m));
            _mm256_maskstore_epi32(out, first_lanes(n), r);
            return;
        }
        const int at = i + 8 <= n ? i : n - 8;
        const __m256i r = log2_eight(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + at)),
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + at + 4)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at), r);
    }
}

AVX2 void sbr_apply_avx2(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                         int noise_index) {
    if (count < 8) {
        sbr_apply_c(y_re, y_im, rows, count, gain, noise, noise_index);
        return;
    }
    // The last one to seven subbands: a block of the last eight whose others
    // have gain 1 and no noise.
    SbrLin g8[8], q8[8];
    const int whole = count & ~7;
    if (whole < count) adjuster::last_levels(gain, noise, count, whole, g8, q8);
    if (noise) {
        for (int i = 0; i < whole; i += 8)
            apply_block<true>(y_re, y_im, rows, count, gain + i, noise + i, noise_index, i);
        if (whole < count) apply_block<true>(y_re, y_im, rows, count, g8, q8, noise_index, count - 8);
    } else {
        for (int i = 0; i < whole; i += 8)
            apply_block<false>(y_re, y_im, rows, count, gain + i, gain + i, noise_index, i);
        if (whole < count) apply_block<false>(y_re, y_im, rows, count, g8, g8, noise_index, count - 8);
    }
}
