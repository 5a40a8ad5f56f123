// Complex 32-bit points in AVX2 registers, four per register as interleaved
// re, im words, and the exact arithmetic's rotation on them (sse41::rotate
// on four points, with VPMULDQ's 64-bit products). Every function carries
// the AVX2 target attribute and is always inlined; callers carry the target
// too.
#pragma once

#include <immintrin.h>

#include <cstdint>

#define AVX2 __attribute__((target("avx2")))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace avx2 {

AVX2_INLINE __m256i load4(const int32_t* v, int k) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 2 * k));
}
AVX2_INLINE void store4(int32_t* v, int k, __m256i z) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + 2 * k), z);
}

// Every word negated, wrapping.
AVX2_INLINE __m256i neg(__m256i a) { return _mm256_sub_epi32(_mm256_setzero_si256(), a); }
// Odd words from b, even ones from a.
AVX2_INLINE __m256i odd_from(__m256i a, __m256i b) { return _mm256_blend_epi32(a, b, 0xAA); }
// The two words of every point (re, im) swapped.
AVX2_INLINE __m256i swap_pairs(__m256i v) { return _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)); }

// (re, im) -> (im, -re) in every point: the swapped words, the odd ones
// negated by VPSIGND (wrapping, as the subtraction from 0).
AVX2_INLINE __m256i times_minus_i(__m256i z) {
    return _mm256_sign_epi32(swap_pairs(z), _mm256_setr_epi32(1, -1, 1, -1, 1, -1, 1, -1));
}

// z (c - i s) for four points (re, im) by their twiddles (c, s), as the
// scalar rotate: re = re c + im s, im = im c + (-re) s, each rounded once at
// bit 31 and kept modulo 2^32.
AVX2_INLINE __m256i rotate(__m256i z, __m256i tw) {
    const __m256i zs = swap_pairs(z), ts = swap_pairs(tw), half = _mm256_set1_epi64x(INT64_C(1) << 30);
    const __m256i re = _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(z, tw), _mm256_mul_epi32(zs, ts)), half);
    const __m256i im =
        _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(zs, tw), _mm256_mul_epi32(neg(z), ts)), half);
    return odd_from(_mm256_srli_epi64(re, 31), _mm256_slli_epi64(im, 1));
}
// The same with the first point kept as it is (a twiddle of exactly 1).
AVX2_INLINE __m256i rotate_but_first(__m256i z, __m256i tw) { return _mm256_blend_epi32(rotate(z, tw), z, 0x03); }

// -i z (c - i s): rotate's (re, im) as (im, -re), the negated re from the
// same products subtracted from 2^30 - 1 (see rotate_negated): no swap and
// no negation after the rotation.
AVX2_INLINE __m256i rotate_minus_i(__m256i z, __m256i tw) {
    const __m256i zs = swap_pairs(z), ts = swap_pairs(tw), half = _mm256_set1_epi64x(INT64_C(1) << 30);
    const __m256i k = _mm256_set1_epi64x((INT64_C(1) << 30) - 1);
    const __m256i nre = _mm256_sub_epi64(_mm256_sub_epi64(k, _mm256_mul_epi32(z, tw)), _mm256_mul_epi32(zs, ts));
    const __m256i im =
        _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(zs, tw), _mm256_mul_epi32(neg(z), ts)), half);
    return odd_from(_mm256_srli_epi64(im, 31), _mm256_slli_epi64(nre, 1));
}

// -(z (c - i s)): rotate's words negated (wrapping), from the same products
// subtracted from 2^30 - 1 instead of added to 2^30. Modulo 2^64 the two
// sums are Y = X + 2^30 and 2^31 + ~Y, so their bits 31..62 are t and
// -t modulo 2^32. kNoMin: no word of z is INT32_MIN, so -re s is the
// negation of re s and is added as re s subtracted.
template <bool kNoMin = false>
AVX2_INLINE __m256i rotate_negated(__m256i z, __m256i tw) {
    const __m256i zs = swap_pairs(z), ts = swap_pairs(tw), k = _mm256_set1_epi64x((INT64_C(1) << 30) - 1);
    const __m256i re = _mm256_sub_epi64(_mm256_sub_epi64(k, _mm256_mul_epi32(z, tw)), _mm256_mul_epi32(zs, ts));
    const __m256i k_im = _mm256_sub_epi64(k, _mm256_mul_epi32(zs, tw));
    const __m256i im = kNoMin ? _mm256_add_epi64(k_im, _mm256_mul_epi32(z, ts))
                              : _mm256_sub_epi64(k_im, _mm256_mul_epi32(neg(z), ts));
    return odd_from(_mm256_srli_epi64(re, 31), _mm256_slli_epi64(im, 1));
}

}  // namespace avx2
