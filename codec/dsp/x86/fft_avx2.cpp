// The exact arithmetic's FFT with AVX2, four complex points per register:
// the radix-4 passes whose columns hold four or more points (quarter-span
// 16 and 64) and the last radix-2 stage, with VPMULDQ's 64-bit products and
// the rounding of the SSE4.1 FFT (dsp/x86/fft_sse41.cpp), which does the
// first radix-4 stage and the pass of quarter-span 4. Only the functions
// here use AVX2 (target attribute).
#include <immintrin.h>

#include "dsp/fft_variants.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/exact_tables.h"

#define AVX2 __attribute__((target("avx2")))

namespace {

AVX2 inline __m256i load4(const int32_t* v, int k) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 2 * k));
}
AVX2 inline void store4(int32_t* v, int k, __m256i z) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + 2 * k), z);
}

// (re, im) -> (im, -re) in every point, the negation wrapping.
AVX2 inline __m256i times_minus_i(__m256i z) {
    const __m256i swapped = _mm256_shuffle_epi32(z, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm256_blend_epi32(swapped, _mm256_sub_epi32(_mm256_setzero_si256(), swapped), 0xAA);
}

// sse41::rotate on four points.
AVX2 inline __m256i rotate(__m256i z, __m256i tw) {
    const __m256i zs = _mm256_shuffle_epi32(z, _MM_SHUFFLE(2, 3, 0, 1));
    const __m256i ts = _mm256_shuffle_epi32(tw, _MM_SHUFFLE(2, 3, 0, 1));
    const __m256i neg = _mm256_sub_epi32(_mm256_setzero_si256(), z);
    const __m256i half = _mm256_set1_epi64x(INT64_C(1) << 30);
    const __m256i re = _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(z, tw), _mm256_mul_epi32(zs, ts)), half);
    const __m256i im = _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(zs, tw), _mm256_mul_epi32(neg, ts)), half);
    return _mm256_blend_epi32(_mm256_srli_epi64(re, 31), _mm256_slli_epi64(im, 1), 0xAA);
}
// The same with the first point kept as it is (a twiddle of exactly 1).
AVX2 inline __m256i rotate_but_first(__m256i z, __m256i tw) { return _mm256_blend_epi32(rotate(z, tw), z, 0x03); }

template <bool kKeepFirst, bool kMinusI>
struct Twiddle {
    __m256i w;
    AVX2 __m256i operator()(__m256i z) const {
        const __m256i r = kKeepFirst ? rotate_but_first(z, w) : rotate(z, w);
        return kMinusI ? times_minus_i(r) : r;
    }
};

// fft_exact's radix4_points for the points p .. p + 3 (each plus 0, L, 2L, 3L).
template <typename First, typename Second>
AVX2 inline void radix4_points(int32_t* buf, int p, int quarter, First first, Second second) {
    const __m256i x0 = load4(buf, p), x1 = first(load4(buf, p + quarter));
    const __m256i x2 = load4(buf, p + 2 * quarter), x3 = first(load4(buf, p + 3 * quarter));
    const __m256i a0 = _mm256_add_epi32(x0, x1), a1 = _mm256_sub_epi32(x0, x1);
    const __m256i a2 = second(_mm256_add_epi32(x2, x3)), a3 = times_minus_i(second(_mm256_sub_epi32(x2, x3)));
    store4(buf, p, _mm256_add_epi32(a0, a2));
    store4(buf, p + 2 * quarter, _mm256_sub_epi32(a0, a2));
    store4(buf, p + quarter, _mm256_add_epi32(a1, a3));
    store4(buf, p + 3 * quarter, _mm256_sub_epi32(a1, a3));
}

template <bool kFirstJ>
AVX2 inline void radix4_column(int32_t* buf, int points, int quarter, const int32_t* w, int j) {
    const int half = quarter / 2;
    const __m256i w1 = load4(w, j), w2 = load4(w + quarter, j), w3 = load4(w + 2 * quarter, j);
    for (int base = 0; base < points; base += 4 * quarter) {
        radix4_points(buf, base + j, quarter, Twiddle<kFirstJ, false>{w1}, Twiddle<kFirstJ, false>{w2});
        radix4_points(buf, base + j + half, quarter, Twiddle<kFirstJ, true>{w1}, Twiddle<false, false>{w3});
    }
}

// fft_exact's radix4_pass, j .. j + 3 together (quarter-span 16 or more).
AVX2 void radix4_pass(int32_t* buf, int points, int quarter) {
    const int32_t* w = fft_r4_twiddle_q31 + (quarter - 4);
    radix4_column<true>(buf, points, quarter, w, 0);
    for (int j = 4; j < quarter / 2; j += 4) radix4_column<false>(buf, points, quarter, w, j);
}

// The last radix-2 stage of 512 points, as in the SSE4.1 FFT.
AVX2 void radix2_last(int32_t* buf, int h) {
    for (int j = 0; j < h / 2; j += 4) {
        const __m256i tw = load4(fft_twiddle_q31, j);
        const int q = j + h / 2;
        __m256i t = load4(buf, j + h), u = load4(buf, q + h);
        t = j ? rotate(t, tw) : rotate_but_first(t, tw);
        u = times_minus_i(j ? rotate(u, tw) : rotate_but_first(u, tw));
        const __m256i x = load4(buf, j), x2 = load4(buf, q);
        store4(buf, j, _mm256_add_epi32(x, t));
        store4(buf, j + h, _mm256_sub_epi32(x, t));
        store4(buf, q, _mm256_add_epi32(x2, u));
        store4(buf, q + h, _mm256_sub_epi32(x2, u));
    }
}

}  // namespace

AVX2 void fft_exact_avx2(int32_t* buf, int points) {
    sse41::radix4_first(buf, points);
    sse41::radix4_pass(buf, points, 4);
    int quarter = 16;
    for (; 4 * quarter <= points; quarter *= 4) radix4_pass(buf, points, quarter);
    if (quarter < points) radix2_last(buf, quarter);
    _mm256_zeroupper();
}
