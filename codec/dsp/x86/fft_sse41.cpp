// The exact arithmetic's FFT with SSE4.1, two complex points per register:
// the passes of fft_exact (first radix-4 stage of additions and radix-4
// passes of two radix-2 stages in dsp/x86/complex_sse41.h, the last radix-2
// stage here) over pairs of neighbouring points. A product is PMULDQ's 64-bit product of two 32-bit lanes, the sum
// of two such products wraps modulo 2^64 like fx::mac64, and bits 31..62 of
// the sum plus 2^30 are fx::rshr64(..., 31) reduced modulo 2^32. Only the
// functions here use SSE4.1 (target attribute): the rest of the build runs
// on any x86-64.
#include "dsp/fft_variants.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/exact_tables.h"

using namespace sse41;

namespace {

// The last radix-2 stage of 512 points (half-span h = 256): the twiddle at j
// is fft_tw's pair j, exactly 1 at j = 0, times -i for j + h/2.
SSE41 void radix2_last(int32_t* buf, int h) {
    for (int j = 0; j < h / 2; j += 2) {
        const __m128i tw = load2(fft_twiddle_q31, j);
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
