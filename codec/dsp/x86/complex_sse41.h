// Complex 32-bit points in SSE4.1 registers, two per register as
// interleaved re, im words, and the exact arithmetic's rotation on them.
// Every function carries the SSE4.1 target attribute; callers carry it too.
#pragma once

#include <immintrin.h>

#include <cstdint>

#define SSE41 __attribute__((target("sse4.1")))

namespace sse41 {

SSE41 inline __m128i load2(const int32_t* v, int k) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 2 * k));
}
SSE41 inline void store2(int32_t* v, int k, __m128i z) { _mm_storeu_si128(reinterpret_cast<__m128i*>(v + 2 * k), z); }

// (re, im) -> (im, -re) in both points, the negation wrapping.
SSE41 inline __m128i times_minus_i(__m128i z) {
    const __m128i swapped = _mm_shuffle_epi32(z, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_blend_epi16(swapped, _mm_sub_epi32(_mm_setzero_si128(), swapped), 0xCC);
}

// z (c - i s) in both points, tw = c0 s0 c1 s1: re = re c + im s,
// im = im c + (-re) s, each rounded once at bit 31 (the scalar rotate).
SSE41 inline __m128i rotate(__m128i z, __m128i tw) {
    const __m128i zs = _mm_shuffle_epi32(z, _MM_SHUFFLE(2, 3, 0, 1));       // im re
    const __m128i ts = _mm_shuffle_epi32(tw, _MM_SHUFFLE(2, 3, 0, 1));      // s c
    const __m128i neg = _mm_sub_epi32(_mm_setzero_si128(), z);              // -re -im
    const __m128i half = _mm_set1_epi64x(INT64_C(1) << 30);
    const __m128i re = _mm_add_epi64(_mm_add_epi64(_mm_mul_epi32(z, tw), _mm_mul_epi32(zs, ts)), half);
    const __m128i im = _mm_add_epi64(_mm_add_epi64(_mm_mul_epi32(zs, tw), _mm_mul_epi32(neg, ts)), half);
    return _mm_blend_epi16(_mm_srli_epi64(re, 31), _mm_slli_epi64(im, 1), 0xCC);
}
// The same with the first point kept as it is (a twiddle of exactly 1).
SSE41 inline __m128i rotate_but_first(__m128i z, __m128i tw) { return _mm_blend_epi16(rotate(z, tw), z, 0x0F); }

// fft_exact's first radix-4 stage and one of its radix-4 passes (the AVX2
// FFT runs those whose columns are too short for its registers).
void radix4_first(int32_t* buf, int points);
void radix4_pass(int32_t* buf, int points, int quarter);

}  // namespace sse41
