// The exact arithmetic's FFT with AVX2, four complex points per register:
// the first four radix-2 stages over each 16 points in registers, then the
// passes of fft_exact (dsp/fft_passes.h) over groups of four neighbouring
// points, with VPMULDQ's 64-bit products and the rounding of the SSE4.1 FFT
// (dsp/x86/fft_sse41.cpp). Only the functions here use AVX2 (target
// attribute).
#include <immintrin.h>

#define FFT_PASSES_TARGET __attribute__((target("avx2")))
#include "dsp/fft_passes.h"
#include "dsp/fft_variants.h"
#include "dsp/x86/complex_avx2.h"
#include "tables/exact_tables.h"

namespace {

using avx2::load4;
using avx2::rotate;
using avx2::rotate_but_first;
using avx2::store4;
using avx2::times_minus_i;

// The lane operations of the FFT's passes (dsp/fft_passes.h) on four
// points.
struct Quads {
    using V = __m256i;
    static constexpr int kWidth = 4;
    AVX2 static V load(const int32_t* v, int k) { return load4(v, k); }
    AVX2 static void store(int32_t* v, int k, V z) { store4(v, k, z); }
    AVX2 static V add(V a, V b) { return _mm256_add_epi32(a, b); }
    AVX2 static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
    AVX2 static V times_minus_i(V z) { return avx2::times_minus_i(z); }
    template <bool kKeepFirst>
    AVX2 static V rotate(V z, V tw) {
        return kKeepFirst ? avx2::rotate_but_first(z, tw) : avx2::rotate(z, tw);
    }
};

// fft_exact's first radix-4 stage and its radix-4 pass of quarter-span 4
// over each group of 16 points, in registers. The first stage on the group
// of four in each register (t0 t1 t2 t3): a b c d from the sums and
// differences of neighbours, then a b a b plus c, -i d, -c, i d (one VPERMD
// and the signs). The pass works on the four columns (point m of every
// register): the odd registers turned by w1 at m and m - 2 (exactly 1 at 0
// and 2, times -i at 2 and 3), the second stage's sums and differences by
// w2 at m = 0, 1 and w3 at m - 2 (exactly 1 at 0). Of the odd registers
// only points 1 and 3 turn, all by w1(1): those of both registers make one
// rotation.
AVX2 void first_sixteen(int32_t* buf, int points) {
    const __m256i tw1 = _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(fft_r4_twiddle_q31 + 2)));
    const __m256i tw23 = load4(fft_r4_twiddle_q31 + 4, 0);
    // Points 2 and 3 times -i: their words swapped, the odd ones negated.
    const __m256i upper_swap = _mm256_setr_epi32(0, 1, 2, 3, 5, 4, 7, 6);
    const __m256i upper_signs = _mm256_setr_epi32(1, 1, 1, 1, 1, -1, 1, -1);
    const __m256i cd = _mm256_setr_epi32(4, 5, 7, 6, 4, 5, 7, 6);      // c, d with re and im swapped
    const __m256i signs = _mm256_setr_epi32(1, 1, 1, -1, -1, -1, -1, 1);  // c, -i d, -c, i d
    auto stage1 = [&](__m256i t) __attribute__((always_inline, target("avx2"))) {
        const __m256i swapped = _mm256_shuffle_epi32(t, _MM_SHUFFLE(1, 0, 3, 2));  // t1 t0 t3 t2
        const __m256i abcd = _mm256_blend_epi32(_mm256_add_epi32(t, swapped), _mm256_sub_epi32(swapped, t), 0xCC);
        const __m256i abab = _mm256_permute4x64_epi64(abcd, _MM_SHUFFLE(1, 0, 1, 0));
        return _mm256_add_epi32(abab, _mm256_sign_epi32(_mm256_permutevar8x32_epi32(abcd, cd), signs));
    };
    auto upper_minus_i = [&](__m256i z) __attribute__((always_inline, target("avx2"))) {
        return _mm256_sign_epi32(_mm256_permutevar8x32_epi32(z, upper_swap), upper_signs);
    };
    auto second = [&](__m256i z) __attribute__((always_inline, target("avx2"))) {
        return rotate_but_first(z, tw23);
    };
    for (int g = 0; g < points; g += 16) {
        const __m256i y1 = stage1(load4(buf, g + 4)), y3 = stage1(load4(buf, g + 12));
        // Points 1 of y3, y1, points 3 of y3, y1 turned; then back in place.
        const __m256i r = rotate(_mm256_unpackhi_epi64(y3, y1), tw1);
        const __m256i x1 = upper_minus_i(_mm256_blend_epi32(y1, r, 0xCC));
        const __m256i x3 = upper_minus_i(_mm256_unpacklo_epi64(y3, r));
        const __m256i x0 = stage1(load4(buf, g)), x2 = stage1(load4(buf, g + 8));
        using B = fft_passes::Butterflies<Quads>;
        B::butterfly(buf, g, g + 8, _mm256_add_epi32(x0, x1), second(_mm256_add_epi32(x2, x3)));
        B::butterfly<true>(buf, g + 4, g + 12, _mm256_sub_epi32(x0, x1), second(_mm256_sub_epi32(x2, x3)));
    }
}

}  // namespace

AVX2 void fft_exact_avx2(int32_t* buf, int points) {
    first_sixteen(buf, points);
    fft_passes::passes_from<fft_passes::Butterflies<Quads>>(buf, points, 16);
    _mm256_zeroupper();
}
