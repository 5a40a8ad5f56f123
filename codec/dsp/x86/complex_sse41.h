// Complex 32-bit points in SSE4.1 registers, two per register as
// interleaved re, im words, the exact arithmetic's rotation on them, the
// exact FFT's first stage and the lane operations of its later passes (the
// AVX2 FFT runs those whose columns are too short for its registers).
// Every function carries the SSE4.1 target attribute; callers carry it too.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "tables/exact_tables.h"

#define SSE41 __attribute__((target("sse4.1")))

namespace sse41 {

SSE41 inline __m128i load2(const int32_t* v, int k) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 2 * k));
}
SSE41 inline void store2(int32_t* v, int k, __m128i z) { _mm_storeu_si128(reinterpret_cast<__m128i*>(v + 2 * k), z); }

// Words 0 and 2 of even, 1 and 3 of odd: the low halves of two pairs of
// 64-bit results.
SSE41 inline __m128i pack_even_odd(__m128i even, __m128i odd) {
    return _mm_blend_epi16(even, _mm_slli_epi64(odd, 32), 0xCC);
}

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

// fft_exact's first radix-4 stage: groups of four points, additions only.
SSE41 inline void radix4_first(int32_t* buf, int points) {
    for (int g = 0; g < points; g += 4) {
        const __m128i v0 = load2(buf, g), v1 = load2(buf, g + 2);
        const __m128i a = _mm_unpacklo_epi64(v0, v1), b = _mm_unpackhi_epi64(v0, v1);  // t0 t2, t1 t3
        const __m128i sum = _mm_add_epi32(a, b), diff = _mm_sub_epi32(a, b);            // a c, b d
        const __m128i x = _mm_unpacklo_epi64(sum, diff), y = _mm_unpackhi_epi64(sum, diff);  // a b, c d
        const __m128i y2 = _mm_blend_epi16(y, times_minus_i(y), 0xF0);                        // c, -i d
        store2(buf, g, _mm_add_epi32(x, y2));
        store2(buf, g + 2, _mm_sub_epi32(x, y2));
    }
}

// The lane operations of the FFT's passes (dsp/fft_passes.h) on pairs of
// points.
struct Pairs {
    using V = __m128i;
    static constexpr int kWidth = 2;
    SSE41 static V load(const int32_t* v, int k) { return load2(v, k); }
    SSE41 static void store(int32_t* v, int k, V z) { store2(v, k, z); }
    SSE41 static V add(V a, V b) { return _mm_add_epi32(a, b); }
    SSE41 static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
    SSE41 static V times_minus_i(V z) { return sse41::times_minus_i(z); }
    template <bool kKeepFirst>
    SSE41 static V rotate(V z, V tw) {
        return kKeepFirst ? sse41::rotate_but_first(z, tw) : sse41::rotate(z, tw);
    }
};

}  // namespace sse41
