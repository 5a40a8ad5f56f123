// Spectral tools with AVX2, bit-exact with their references.
//
// Noise substitution's band values (noise_lines_exact, dsp/pns.cpp) with
// AVX2, as noise_lines_sse41 (dsp/x86/tools_sse41.cpp) does them with eight
// lanes: the generator's lane j at line i + j, started from the seed with
// one multiply-add each (kNoiseLanes), all eight advanced eight lines at once (kNoiseMul8, kNoiseAdd8 in dsp/tools.h: the same numbers in the same
// order); each draw's low 16 bits sign-extended, kept as 16-bit values and
// squared into four 64-bit sums (a last group of fewer than eight lines
// draws the others as zero); the scale's 64-bit products with their rounding
// term on the even and the odd lanes, then the high words shifted (shifts of
// 32 or more) or the pairs (15..31). Other shifts, where values may
// saturate, and a last group of fewer than four lines go to the reference's
// noise_scale.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "dsp/tools.h"

#define AVX2 __attribute__((target("avx2")))

namespace {

// Room for the last group's eight values.
constexpr int kValues = (kMaxNoiseLines + 7) / 8 * 8;

}  // namespace

AVX2 void noise_lines_avx2(int32_t* out, int n, int16_t energy, uint32_t seed) {
    alignas(32) int16_t v[kValues];
    __m256i lanes = _mm256_add_epi32(
        _mm256_mullo_epi32(_mm256_set1_epi32(static_cast<int>(seed)),
                           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kNoiseLanes.mul))),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kNoiseLanes.add)));
    const __m256i mul = _mm256_set1_epi32(static_cast<int>(kNoiseMul8));
    const __m256i add = _mm256_set1_epi32(static_cast<int>(kNoiseAdd8));
    __m256i sum = _mm256_setzero_si256();
    for (int i = 0; i < n; i += 8) {
        __m256i w = _mm256_srai_epi32(_mm256_slli_epi32(lanes, 16), 16);
        if (n - i < 8)
            w = _mm256_and_si256(w, _mm256_cmpgt_epi32(_mm256_set1_epi32(n - i), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
        const __m256i packed = _mm256_packs_epi32(w, w);  // each half's four values twice
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + i),
                         _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0))));
        const __m256i odd = _mm256_srli_epi64(w, 32);
        sum = _mm256_add_epi64(sum, _mm256_add_epi64(_mm256_mul_epi32(w, w), _mm256_mul_epi32(odd, odd)));
        lanes = _mm256_add_epi32(_mm256_mullo_epi32(lanes, mul), add);
    }
    const __m128i sum2 = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    const int64_t e = _mm_cvtsi128_si64(sum2) + _mm_extract_epi64(sum2, 1);
    _mm256_zeroupper();
    if (e == 0) {  // an all-zero draw stays zero
        for (int i = 0; i < n; ++i) out[i] = 0;
        return;
    }
    const NoiseGain gain = noise_gain(e, energy);
    if (gain.shift < 15 || gain.shift > 62) return noise_scale(v, n, gain, out);
    const __m256i g = _mm256_set1_epi32(gain.g), bias = _mm256_set1_epi64x(INT64_C(1) << (gain.shift - 1));
    const bool high = gain.shift >= 32;
    const __m128i count = _mm_cvtsi32_si128(high ? gain.shift - 32 : gain.shift);
    int i = 0;
    for (; i + 4 <= n; i += 8) {
        const __m256i w = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)));
        const __m256i even = _mm256_add_epi64(_mm256_mul_epi32(w, g), bias);
        const __m256i odd = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(w, 32), g), bias);
        const __m256i r =
            high ? _mm256_sra_epi32(_mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA), count)
                 : _mm256_blend_epi32(_mm256_srl_epi64(even, count), _mm256_slli_epi64(_mm256_srl_epi64(odd, count), 32),
                                      0xAA);
        if (i + 8 <= n) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), r);
        } else {  // four lines left, or more
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(r));
            i += 4;
            break;
        }
    }
    _mm256_zeroupper();
    if (i < n) noise_scale(v + i, n - i, gain, out + i);
}

// Mid/side (mid_side_lines, dsp/stereo.cpp) as mid_side_lines_sse41 does
// it, eight lines a register: the sum and the difference wrapped, then where
// they overflowed (the operands' signs alike for the sum, unlike for the
// difference, and the result's sign another) the limit of l's sign. Runs
// are whole bands, multiples of four lines: four left go through the
// SSE4.1 variant.
AVX2 void mid_side_lines_avx2(int32_t* left, int32_t* right, int n) {
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(left + k));
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right + k));
        const __m256i sum = _mm256_add_epi32(l, r), diff = _mm256_sub_epi32(l, r);
        const __m256i lr = _mm256_xor_si256(l, r);
        const __m256i sum_over = _mm256_andnot_si256(lr, _mm256_xor_si256(l, sum));
        const __m256i diff_over = _mm256_and_si256(lr, _mm256_xor_si256(l, diff));
        const __m256 limit = _mm256_castsi256_ps(_mm256_xor_si256(_mm256_srai_epi32(l, 31), _mm256_set1_epi32(INT32_MAX)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(left + k),
                            _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(sum), limit,
                                                                 _mm256_castsi256_ps(sum_over))));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(right + k),
                            _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(diff), limit,
                                                                 _mm256_castsi256_ps(diff_over))));
    }
    _mm256_zeroupper();
    if (k < n) mid_side_lines_sse41(left + k, right + k, n - k);
}

#endif
