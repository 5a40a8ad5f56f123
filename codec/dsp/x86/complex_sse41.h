// Complex 32-bit points in SSE4.1 registers, two per register as
// interleaved re, im words, the exact arithmetic's rotation on them, and the
// exact FFT's first stage and radix-4 passes (the AVX2 FFT runs those whose
// columns are too short for its registers).
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

// fft_exact's radix4_points for the points p, p + 1 (each plus 0, L, 2L, 3L).
template <typename First, typename Second>
SSE41 inline void radix4_points(int32_t* buf, int p, int quarter, First first, Second second) {
    const __m128i x0 = load2(buf, p), x1 = first(load2(buf, p + quarter));
    const __m128i x2 = load2(buf, p + 2 * quarter), x3 = first(load2(buf, p + 3 * quarter));
    const __m128i a0 = _mm_add_epi32(x0, x1), a1 = _mm_sub_epi32(x0, x1);
    const __m128i a2 = second(_mm_add_epi32(x2, x3)), a3 = times_minus_i(second(_mm_sub_epi32(x2, x3)));
    store2(buf, p, _mm_add_epi32(a0, a2));
    store2(buf, p + 2 * quarter, _mm_sub_epi32(a0, a2));
    store2(buf, p + quarter, _mm_add_epi32(a1, a3));
    store2(buf, p + 3 * quarter, _mm_sub_epi32(a1, a3));
}

// The twiddle steps radix4_points applies: a rotation by w, the same with
// the first point kept (a twiddle of exactly 1), optionally times -i.
// (Function objects rather than lambdas: they carry the target attribute.)
template <bool kKeepFirst, bool kMinusI>
struct Twiddle {
    __m128i w;
    SSE41 __m128i operator()(__m128i z) const {
        const __m128i r = kKeepFirst ? rotate_but_first(z, w) : rotate(z, w);
        return kMinusI ? times_minus_i(r) : r;
    }
};

// fft_exact's radix4_pass, j and j + 1 together (the twiddles at j = 0 are
// exactly 1 for the first two rotations).
template <bool kFirstJ>
SSE41 inline void radix4_column(int32_t* buf, int points, int quarter, const int32_t* w, int j) {
    const int half = quarter / 2;
    const __m128i w1 = load2(w, j), w2 = load2(w + quarter, j), w3 = load2(w + 2 * quarter, j);
    for (int base = 0; base < points; base += 4 * quarter) {
        radix4_points(buf, base + j, quarter, Twiddle<kFirstJ, false>{w1}, Twiddle<kFirstJ, false>{w2});
        radix4_points(buf, base + j + half, quarter, Twiddle<kFirstJ, true>{w1}, Twiddle<false, false>{w3});
    }
}

SSE41 inline void radix4_pass(int32_t* buf, int points, int quarter) {
    const int32_t* w = fft_r4_twiddle_q31 + (quarter - 4);
    radix4_column<true>(buf, points, quarter, w, 0);
    for (int j = 2; j < quarter / 2; j += 2) radix4_column<false>(buf, points, quarter, w, j);
}

}  // namespace sse41
