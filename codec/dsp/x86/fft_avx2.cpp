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

// The four points (64-bit lanes) of four registers transposed: register m
// then holds point m of each.
AVX2_INLINE void transpose(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
    const __m256i u0 = _mm256_unpacklo_epi64(a, b), u1 = _mm256_unpackhi_epi64(a, b);
    const __m256i u2 = _mm256_unpacklo_epi64(c, d), u3 = _mm256_unpackhi_epi64(c, d);
    a = _mm256_permute2x128_si256(u0, u2, 0x20), b = _mm256_permute2x128_si256(u1, u3, 0x20);
    c = _mm256_permute2x128_si256(u0, u2, 0x31), d = _mm256_permute2x128_si256(u1, u3, 0x31);
}

// fft_exact's first radix-4 stage and its radix-4 pass of quarter-span 4
// over each group of 16 points, in registers. The group's four registers
// (four points each: rows) transposed, the first stage is lane by lane:
// of the points t0 t1 t2 t3 of each row, a + c, b - i d, a - c, b + i d
// (a, b = t0 +- t1, c, d = t2 +- t3). Then the pass's first turns: the
// odd rows by w1 at m and m - 2 (point m; exactly 1 at 0 and 2, times -i at
// 2 and 3), of which only points 1 and 3 turn, all by w1(1): one rotation
// for both rows. Transposed back, the pass works on the four columns
// (point m of every row): the second stage's sums and differences by w2 at
// m = 0, 1 and w3 at m - 2 (exactly 1 at 0).
AVX2 void first_sixteen(int32_t* buf, int points) {
    const __m256i tw1 = _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(fft_r4_twiddle_q31 + 2)));
    const __m256i tw23 = load4(fft_r4_twiddle_q31 + 4, 0);
    // Rows 1 and 3 (lanes 1 and 3) times -i: their words swapped, the odd ones negated.
    const __m256i odd_rows_swap = _mm256_setr_epi32(0, 1, 3, 2, 4, 5, 7, 6);
    const __m256i odd_rows_signs = _mm256_setr_epi32(1, 1, 1, -1, 1, 1, 1, -1);
    auto odd_rows_minus_i = [&](__m256i z) __attribute__((always_inline, target("avx2"))) {
        return _mm256_sign_epi32(_mm256_permutevar8x32_epi32(z, odd_rows_swap), odd_rows_signs);
    };
    auto second = [&](__m256i z) __attribute__((always_inline, target("avx2"))) {
        return rotate_but_first(z, tw23);
    };
    for (int g = 0; g < points; g += 16) {
        __m256i s0 = load4(buf, g), s1 = load4(buf, g + 4), s2 = load4(buf, g + 8), s3 = load4(buf, g + 12);
        transpose(s0, s1, s2, s3);  // s_m: point m of the rows
        const __m256i a = _mm256_add_epi32(s0, s1), b = _mm256_sub_epi32(s0, s1);
        const __m256i c = _mm256_add_epi32(s2, s3), d = times_minus_i(_mm256_sub_epi32(s2, s3));
        s0 = _mm256_add_epi32(a, c), s1 = _mm256_add_epi32(b, d);
        s2 = _mm256_sub_epi32(a, c), s3 = _mm256_sub_epi32(b, d);
        // Points 1 and 3 of rows 1 and 3 turned, then back in place.
        const __m256i r = rotate(_mm256_unpackhi_epi64(s1, s3), tw1);
        s1 = _mm256_unpacklo_epi64(s1, r);
        s3 = odd_rows_minus_i(_mm256_blend_epi32(s3, r, 0xCC));
        s2 = odd_rows_minus_i(s2);
        transpose(s0, s1, s2, s3);  // the rows x0 .. x3
        using B = fft_passes::Butterflies<Quads>;
        B::butterfly(buf, g, g + 8, _mm256_add_epi32(s0, s1), second(_mm256_add_epi32(s2, s3)));
        B::butterfly<true>(buf, g + 4, g + 12, _mm256_sub_epi32(s0, s1), second(_mm256_sub_epi32(s2, s3)));
    }
}

// A rotation times -i: in one step (avx2::rotate_minus_i) unless lane 0
// keeps its value.
template <bool kKeep>
AVX2_INLINE __m256i turned_minus_i(__m256i z, __m256i tw) {
    return kKeep ? times_minus_i(avx2::rotate_but_first(z, tw)) : avx2::rotate_minus_i(z, tw);
}

// Butterflies::radix4_points of the points p + L t (t = 0..3), the results
// in x[t] rather than stored.
template <int kQuarter, bool kKeep1, bool kMinusI1, bool kKeep2>
AVX2_INLINE void radix4_values(const int32_t* buf, int p, __m256i t1, __m256i t2, __m256i* x) {
    __m256i x1, x3;
    if (kMinusI1) {
        x1 = turned_minus_i<kKeep1>(load4(buf, p + kQuarter), t1);
        x3 = turned_minus_i<kKeep1>(load4(buf, p + 3 * kQuarter), t1);
    } else {
        x1 = Quads::rotate<kKeep1>(load4(buf, p + kQuarter), t1);
        x3 = Quads::rotate<kKeep1>(load4(buf, p + 3 * kQuarter), t1);
    }
    const __m256i x0 = load4(buf, p), x2 = load4(buf, p + 2 * kQuarter);
    const __m256i a = _mm256_add_epi32(x0, x1), b = _mm256_sub_epi32(x0, x1);
    const __m256i c = Quads::rotate<kKeep2>(_mm256_add_epi32(x2, x3), t2);
    const __m256i d = turned_minus_i<kKeep2>(_mm256_sub_epi32(x2, x3), t2);
    x[0] = _mm256_add_epi32(a, c), x[2] = _mm256_sub_epi32(a, c);
    x[1] = _mm256_add_epi32(b, d), x[3] = _mm256_sub_epi32(b, d);
}

// fft_passes::radix4_pass of quarter-span 16 (columns 0 and 4, each with
// its half-span partner 8 further), through radix4_values.
template <bool kFirstJ>
AVX2_INLINE void column16(int32_t* buf, int points, int j) {
    const int32_t* w = fft_r4_twiddle_q31 + 12;
    const __m256i w1 = load4(w + 2 * j, 0), w2 = load4(w + 16 + 2 * j, 0), w3 = load4(w + 32 + 2 * j, 0);
    for (int base = 0; base < points; base += 64) {
        __m256i x[4];
        radix4_values<16, kFirstJ, false, kFirstJ>(buf, base + j, w1, w2, x);
        for (int t = 0; t < 4; ++t) store4(buf, base + j + 16 * t, x[t]);
        radix4_values<16, kFirstJ, true, false>(buf, base + j + 8, w1, w3, x);
        for (int t = 0; t < 4; ++t) store4(buf, base + j + 8 + 16 * t, x[t]);
    }
}

// The radix-4 pass of quarter-span 64 and the last radix-2 stage of 512
// points over column c (four points) of both groups of 256, the eight
// values c + 64 t between the two in registers: the radix-2 stage pairs t
// with t + 4, turned by the twiddle of c (t = 0, 2) or c + 64 (t = 1, 3),
// times -i for t = 2, 3 (fft_passes::radix2_last; exactly 1 in lane 0 at
// c = 0).
template <bool kKeep1, bool kMinusI1, bool kKeep2>
AVX2_INLINE void last_column(int32_t* buf, int c, __m256i t1, __m256i t2) {
    __m256i x[8];
    radix4_values<64, kKeep1, kMinusI1, kKeep2>(buf, c, t1, t2, x);
    radix4_values<64, kKeep1, kMinusI1, kKeep2>(buf, 256 + c, t1, t2, x + 4);
    const __m256i w0 = load4(fft_twiddle_q31, c), w1 = load4(fft_twiddle_q31, c + 64);
    // kKeep1 and kKeep2 both: c = 0.
    constexpr bool kKeep0 = kKeep1 && kKeep2;
    const __m256i u0 = Quads::rotate<kKeep0>(x[4], w0), u1 = Quads::rotate<false>(x[5], w1);
    const __m256i u2 = turned_minus_i<kKeep0>(x[6], w0), u3 = turned_minus_i<false>(x[7], w1);
    const __m256i u[4] = {u0, u1, u2, u3};
    for (int t = 0; t < 4; ++t) {
        store4(buf, c + 64 * t, _mm256_add_epi32(x[t], u[t]));
        store4(buf, c + 64 * t + 256, _mm256_sub_epi32(x[t], u[t]));
    }
}

// fft_passes::radix4_column of quarter-span 64 for columns j and j + 32,
// each with the last stage (last_column).
template <bool kFirstJ>
AVX2_INLINE void last_columns(int32_t* buf, int j) {
    const int32_t* w = fft_r4_twiddle_q31 + 60;
    const __m256i w1 = load4(w + 2 * j, 0), w2 = load4(w + 64 + 2 * j, 0), w3 = load4(w + 128 + 2 * j, 0);
    last_column<kFirstJ, false, kFirstJ>(buf, j, w1, w2);
    last_column<kFirstJ, true, false>(buf, j + 32, w1, w3);
}

}  // namespace

AVX2 void fft_exact_avx2(int32_t* buf, int points) {
    first_sixteen(buf, points);
    column16<true>(buf, points, 0);
    column16<false>(buf, points, 4);
    if (points == 512) {
        last_columns<true>(buf, 0);
        for (int j = 4; j < 32; j += 4) last_columns<false>(buf, j);
    }
    _mm256_zeroupper();
}
