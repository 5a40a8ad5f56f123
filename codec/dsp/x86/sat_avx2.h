// Saturating additions and rounded products of eight 32-bit words in AVX2
// registers, bit-exact with fx::add_sat, fx::sub_sat and fx::rshr64_sat of a
// product that fits. Always inlined into their callers, which carry the
// AVX2 target attribute.
#pragma once

#include <immintrin.h>

#include <cstdint>

#define SAT_AVX2 __attribute__((always_inline, target("avx2"))) inline

namespace sat8 {

// r where `over` has its sign bit clear, else the limit of a's sign.
SAT_AVX2 __m256i blend_sat(__m256i r, __m256i a, __m256i over) {
    const __m256i sat = _mm256_xor_si256(_mm256_srai_epi32(a, 31), _mm256_set1_epi32(INT32_MAX));
    return _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(r), _mm256_castsi256_ps(sat), _mm256_castsi256_ps(over)));
}
SAT_AVX2 __m256i add_sat(__m256i a, __m256i b) {
    const __m256i r = _mm256_add_epi32(a, b);
    return blend_sat(r, a, _mm256_and_si256(_mm256_xor_si256(a, r), _mm256_xor_si256(b, r)));
}
SAT_AVX2 __m256i sub_sat(__m256i a, __m256i b) {
    const __m256i r = _mm256_sub_epi32(a, b);
    return blend_sat(r, a, _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(a, r)));
}

// rshr64_sat(a b, S) of eight words (S = 30 or 31) where the rounded
// product fits 32 bits (the callers' bounds): the low word of each shifted
// sum (a logical shift of the even products' sums, a left one by 32 - S of
// the odd ones' to their high words). b_odd: b's odd words shifted down
// (its 64-bit lanes shifted right by 32), made once for every product with
// b.
template <int S>
SAT_AVX2 __m256i mul_round(__m256i a, __m256i b, __m256i b_odd) {
    const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << (S - 1));
    const __m256i e = _mm256_add_epi64(_mm256_mul_epi32(a, b), bias);
    const __m256i o = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(a, 32), b_odd), bias);
    return _mm256_blend_epi16(_mm256_srli_epi64(e, S), _mm256_slli_epi64(o, 32 - S), 0xCC);
}

}  // namespace sat8

#undef SAT_AVX2
