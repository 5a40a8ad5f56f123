// The exact arithmetic's FFT with AVX2, four complex points per register:
// the radix-4 passes whose columns hold four or more points (quarter-span
// 16 and 64) and the last radix-2 stage, with VPMULDQ's 64-bit products and
// the rounding of the SSE4.1 FFT (dsp/x86/fft_sse41.cpp), which does the
// first radix-4 stage and the pass of quarter-span 4. Only the functions
// here use AVX2 (target attribute).
#include <immintrin.h>

// The passes' loops hold and pass 256-bit values without the AVX2 attribute
// of their own; always inlined here, no call passes one.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "dsp/fft_passes.h"
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

// The lane operations of the FFT's passes (dsp/fft_passes.h) on four
// points.
struct Quads {
    using V = __m256i;
    static constexpr int kWidth = 4;
    AVX2 static V load(const int32_t* v, int k) { return load4(v, k); }
    AVX2 static V add(V a, V b) { return _mm256_add_epi32(a, b); }
    AVX2 static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
    AVX2 static V times_minus_i(V z) { return ::times_minus_i(z); }
    template <bool kKeepFirst>
    AVX2 static V rotate(V z, V tw) {
        return kKeepFirst ? ::rotate_but_first(z, tw) : ::rotate(z, tw);
    }
    AVX2 static void butterfly(int32_t* v, int k, int m, V a, V b) {
        store4(v, k, add(a, b));
        store4(v, m, sub(a, b));
    }
    AVX2 static void butterfly_minus_i(int32_t* v, int k, int m, V a, V b) {
        butterfly(v, k, m, a, times_minus_i(b));
    }
};

}  // namespace

AVX2 void fft_exact_avx2(int32_t* buf, int points) {
    sse41::radix4_first(buf, points);
    fft_passes::radix4_pass<fft_passes::Butterflies<sse41::Pairs>>(buf, points, 4);
    fft_passes::passes_from<fft_passes::Butterflies<Quads>>(buf, points, 16);
    _mm256_zeroupper();
}
