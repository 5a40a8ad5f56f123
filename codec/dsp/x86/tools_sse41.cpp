// Spectral tools with SSE4.1, bit-exact with their references.
//
// Mid/side (mid_side_lines, dsp/stereo.cpp): four lines a register, the
// sum and the difference wrapped, then where they overflowed (the operands'
// signs alike for the sum, unlike for the difference, and the result's
// sign another) the limit of l's sign.
//
// Noise substitution's band values (noise_lines_exact, dsp/pns.cpp): the
// generator in four lanes, lane j at line i + j, started from the seed
// with one multiply-add each (kNoiseLanes) and advanced four lines at once
// (kNoiseMul4, kNoiseAdd4: the same numbers in the same order); each draw's low 16 bits sign-extended, kept as 16-bit values and
// squared into two 64-bit sums (a last group of fewer than four lines draws
// the others as zero). The scale:
// four 64-bit products with their rounding term (VPMULDQ on the even and
// the odd lanes), then the high words shifted (shifts of 32 or more) or the
// pairs (15..31); other shifts, where values may saturate, go to the
// reference's noise_scale.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "dsp/tools.h"

#define SSE41 __attribute__((target("sse4.1")))

SSE41 void noise_lines_sse41(int32_t* out, int n, int16_t energy, uint32_t seed) {
    alignas(16) int16_t v[kMaxNoiseLines];
    __m128i lanes = _mm_add_epi32(
        _mm_mullo_epi32(_mm_set1_epi32(static_cast<int>(seed)),
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(kNoiseLanes.mul))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(kNoiseLanes.add)));
    const __m128i mul = _mm_set1_epi32(static_cast<int>(kNoiseMul4)), add = _mm_set1_epi32(static_cast<int>(kNoiseAdd4));
    __m128i sum = _mm_setzero_si128();
    for (int i = 0; i < n; i += 4) {
        __m128i w = _mm_srai_epi32(_mm_slli_epi32(lanes, 16), 16);
        if (n - i < 4) w = _mm_and_si128(w, _mm_cmpgt_epi32(_mm_set1_epi32(n - i), _mm_setr_epi32(0, 1, 2, 3)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + i), _mm_packs_epi32(w, w));
        const __m128i odd = _mm_srli_epi64(w, 32);
        sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_mul_epi32(w, w), _mm_mul_epi32(odd, odd)));
        lanes = _mm_add_epi32(_mm_mullo_epi32(lanes, mul), add);
    }
    const int64_t e = _mm_cvtsi128_si64(sum) + _mm_extract_epi64(sum, 1);
    if (e == 0) {  // an all-zero draw stays zero
        for (int i = 0; i < n; ++i) out[i] = 0;
        return;
    }
    const NoiseGain gain = noise_gain(e, energy);
    if (gain.shift < 15 || gain.shift > 62) return noise_scale(v, n, gain, out);
    const __m128i g = _mm_set1_epi32(gain.g), bias = _mm_set1_epi64x(INT64_C(1) << (gain.shift - 1));
    const bool high = gain.shift >= 32;
    const __m128i count = _mm_cvtsi32_si128(high ? gain.shift - 32 : gain.shift);
    const int whole = n & ~3;
    for (int i = 0; i < whole; i += 4) {
        const __m128i w = _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + i)));
        const __m128i even = _mm_add_epi64(_mm_mul_epi32(w, g), bias);
        const __m128i odd = _mm_add_epi64(_mm_mul_epi32(_mm_srli_epi64(w, 32), g), bias);
        const __m128i r = high ? _mm_sra_epi32(_mm_blend_epi16(_mm_srli_epi64(even, 32), odd, 0xCC), count)
                               : _mm_blend_epi16(_mm_srl_epi64(even, count), _mm_slli_epi64(_mm_srl_epi64(odd, count), 32), 0xCC);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), r);
    }
    if (whole < n) noise_scale(v + whole, n - whole, gain, out + whole);
}

namespace {

// a + b or a - b where it did not overflow, else the limit of a's sign.
SSE41 inline __m128i saturated(__m128i a, __m128i result, __m128i overflow) {
    const __m128i limit = _mm_xor_si128(_mm_srai_epi32(a, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_castps_si128(
        _mm_blendv_ps(_mm_castsi128_ps(result), _mm_castsi128_ps(limit), _mm_castsi128_ps(overflow)));
}

}  // namespace

SSE41 void mid_side_lines_sse41(int32_t* left, int32_t* right, int n) {
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + k));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + k));
        const __m128i sum = _mm_add_epi32(l, r), diff = _mm_sub_epi32(l, r);
        const __m128i sum_over = _mm_andnot_si128(_mm_xor_si128(l, r), _mm_xor_si128(l, sum));
        const __m128i diff_over = _mm_and_si128(_mm_xor_si128(l, r), _mm_xor_si128(l, diff));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(left + k), saturated(l, sum, sum_over));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(right + k), saturated(l, diff, diff_over));
    }
    if (k < n) mid_side_lines(left + k, right + k, n - k);
}

#endif
