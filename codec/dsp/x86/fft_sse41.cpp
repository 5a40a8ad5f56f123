// The exact arithmetic's FFT with SSE4.1, two complex points per register:
// the passes of fft_exact (first radix-4 stage of additions, radix-4 passes
// of two radix-2 stages, last radix-2 stage) over pairs of neighbouring
// points. A product is PMULDQ's 64-bit product of two 32-bit lanes, the sum
// of two such products wraps modulo 2^64 like fx::mac64, and bits 31..62 of
// the sum plus 2^30 are fx::rshr64(..., 31) reduced modulo 2^32. Only the
// functions here use SSE4.1 (target attribute): the rest of the build runs
// on any x86-64.
#include "dsp/fft_variants.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/exact_tables.h"

using namespace sse41;

// fft_exact's first radix-4 stage: groups of four points, additions only.
SSE41 void sse41::radix4_first(int32_t* buf, int points) {
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

namespace {

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

}  // namespace

SSE41 void sse41::radix4_pass(int32_t* buf, int points, int quarter) {
    const int32_t* w = aacdec_fft_r4_tw + (quarter - 4);
    radix4_column<true>(buf, points, quarter, w, 0);
    for (int j = 2; j < quarter / 2; j += 2) radix4_column<false>(buf, points, quarter, w, j);
}

namespace {

// The last radix-2 stage of 512 points (half-span h = 256): the twiddle at j
// is fft_tw's pair j, exactly 1 at j = 0, times -i for j + h/2.
SSE41 void radix2_last(int32_t* buf, int h) {
    for (int j = 0; j < h / 2; j += 2) {
        const __m128i tw = load2(aacdec_fft_tw, j);
        const int q = j + h / 2;
        __m128i t = load2(buf, j + h), u = load2(buf, q + h);
        t = j ? rotate(t, tw) : rotate_but_first(t, tw);
        u = times_minus_i(j ? rotate(u, tw) : rotate_but_first(u, tw));
        const __m128i x = load2(buf, j), x2 = load2(buf, q);
        store2(buf, j, _mm_add_epi32(x, t));
        store2(buf, j + h, _mm_sub_epi32(x, t));
        store2(buf, q, _mm_add_epi32(x2, u));
        store2(buf, q + h, _mm_sub_epi32(x2, u));
    }
}

}  // namespace

SSE41 void fft_exact_sse41(int32_t* buf, int points) {
    radix4_first(buf, points);
    int quarter = 4;
    for (; 4 * quarter <= points; quarter *= 4) radix4_pass(buf, points, quarter);
    if (quarter < points) radix2_last(buf, quarter);
}
