// The SBR envelope adjuster's energies and logarithms with SSE4.1, four
// subbands (or values) at a time. The energies: each row's four samples
// squared into 64-bit lanes (PMULDQ of the even words and of the odd ones)
// and summed (modulo 2^64, in any order the same) as the magnitudes' bits
// are taken, and again shifted by the block's shift (PSRAD) when that is
// not 0; the last four end at the last subband. The logarithms: each value's
// leading bit and its mantissa in Q29 taken one by one (BSR), then the 25
// squarings of four mantissas at a time (PMULUDQ of the even and of the odd
// words, the rounding shift of the 64-bit squares, the halving where a
// square reaches 2^30, and the bit it gives), the last block's missing
// values taken as 1. Bit-exact with dsp/sbr_adjust.cpp; the energies of
// fewer than four subbands are the reference's.
#include <immintrin.h>

#include "dsp/sbr_adjust.h"

#define SSE41 __attribute__((target("sse4.1")))
#define SSE41_INLINE __attribute__((target("sse4.1"), always_inline)) inline

namespace {

SSE41_INLINE __m128i load(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
SSE41_INLINE __m128i odd(__m128i v) { return _mm_srli_epi64(v, 32); }

}  // namespace

namespace {

// The energies of the four subbands from `at` over the rows, the samples
// shifted down by s first (kFirst: as they are, their magnitudes' bits
// ORed into *bits).
template <bool kFirst>
SSE41_INLINE void energy_four(const int32_t* x_re, const int32_t* x_im, int rows, int at, __m128i s, __m128i* bits,
                              uint64_t* energy) {
    __m128i even = _mm_setzero_si128(), odds = _mm_setzero_si128(), b4 = *bits;
    for (int r = 0; r < rows; ++r) {
        __m128i a = load(x_re + 64 * r + at), b = load(x_im + 64 * r + at);
        if (kFirst) {
            b4 = _mm_or_si128(b4, _mm_or_si128(_mm_xor_si128(a, _mm_srai_epi32(a, 31)),
                                               _mm_xor_si128(b, _mm_srai_epi32(b, 31))));
        } else {
            a = _mm_sra_epi32(a, s), b = _mm_sra_epi32(b, s);
        }
        even = _mm_add_epi64(even, _mm_add_epi64(_mm_mul_epi32(a, a), _mm_mul_epi32(b, b)));
        const __m128i ao = odd(a), bo = odd(b);
        odds = _mm_add_epi64(odds, _mm_add_epi64(_mm_mul_epi32(ao, ao), _mm_mul_epi32(bo, bo)));
    }
    *bits = b4;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(energy + at), _mm_unpacklo_epi64(even, odds));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(energy + at + 2), _mm_unpackhi_epi64(even, odds));
}

}  // namespace

SSE41 int sbr_energies_sse41(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy) {
    if (count < 4) return sbr_energies_c(x_re, x_im, rows, count, energy);
    // Four subbands at a time; the last four end at count, over subbands
    // already taken when count is not a multiple of 4 (their energies the
    // same again).
    __m128i bits = _mm_setzero_si128();
    for (int i = 0; i < count; i += 4)
        energy_four<true>(x_re, x_im, rows, i + 4 <= count ? i : count - 4, _mm_setzero_si128(), &bits, energy);
    bits = _mm_or_si128(bits, _mm_shuffle_epi32(bits, _MM_SHUFFLE(1, 0, 3, 2)));
    bits = _mm_or_si128(bits, _mm_shuffle_epi32(bits, _MM_SHUFFLE(2, 3, 0, 1)));
    const int shift = adjuster::energy_shift(static_cast<uint32_t>(_mm_cvtsi128_si32(bits)));
    if (shift)
        for (int i = 0; i < count; i += 4)
            energy_four<false>(x_re, x_im, rows, i + 4 <= count ? i : count - 4, _mm_cvtsi32_si128(shift), &bits,
                               energy);
    return shift;
}

SSE41 void sbr_log2_sse41(const uint64_t* v, int n, int32_t* out) {
    for (int i = 0; i < n; i += 4) {
        // The last block's missing values are taken as 1.
        const int lanes = n - i < 4 ? n - i : 4;
        alignas(16) int32_t mant[4], top[4];
        for (int k = 0; k < 4; ++k) {
            const uint64_t x = k < lanes ? v[i + k] : 1;
            const int b = 63 - fx::clz64(x);
            top[k] = b;
            mant[k] = static_cast<int32_t>(b >= 29 ? fx::lsr64(x, b - 29) : fx::lsl64(x, 29 - b));
        }
        __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(mant)), frac = _mm_setzero_si128();
        const __m128i bias = _mm_set1_epi64x(INT64_C(1) << 28), limit = _mm_set1_epi32((INT32_C(1) << 30) - 1);
        for (int k = 0; k < adjuster::kLogFrac + 1; ++k) {
            // x^2 in Q29, rounded: [2^29, 2^31) (x in [2^29, 2^30), or 0)
            const __m128i e = _mm_srli_epi64(_mm_add_epi64(_mm_mul_epu32(x, x), bias), 29);
            const __m128i xo = odd(x);
            const __m128i o = _mm_srli_epi64(_mm_add_epi64(_mm_mul_epu32(xo, xo), bias), 29);
            const __m128i y = _mm_blend_epi16(e, _mm_slli_epi64(o, 32), 0xCC);
            const __m128i big = _mm_cmpgt_epi32(y, limit);
            x = _mm_blendv_epi8(y, _mm_srli_epi32(y, 1), big);
            frac = _mm_sub_epi32(_mm_add_epi32(frac, frac), big);
        }
        // top 2^24 + rshr(frac, 1)
        const __m128i half = _mm_add_epi32(_mm_srai_epi32(frac, 1), _mm_and_si128(frac, _mm_set1_epi32(1)));
        const __m128i whole = _mm_slli_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(top)), adjuster::kLogFrac);
        const __m128i result = _mm_add_epi32(whole, half);
        if (lanes == 4) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), result);
        } else {
            _mm_store_si128(reinterpret_cast<__m128i*>(mant), result);
            for (int k = 0; k < lanes; ++k) out[i + k] = mant[k];
        }
    }
}
