// TNS's all-pole filter of the exact arithmetic with SSE4.1, bit-exact with
// its reference (tns_ar_q24, dsp/tns.cpp).
//
// Filters up to 12 taps long (the longest a long window's filter of the
// low-complexity profile): the newest output's product is scalar, the other
// taps' sum in vectors from the outputs before it, so that an output waits
// only for one multiply-add on the one before it, not for a vector sum of
// it. The vector part keeps the eleven outputs before the newest (and one
// older, its coefficient zero) in three registers and their coefficients
// reversed beside them, the odd words shifted down once: six PMULDQ (the
// even and the odd words of each register), added in two 64-bit lanes
// (modulo 2^64 as the reference's sum, in any order the same) and the lanes
// then. The rounding, the saturation and the subtraction are the
// reference's. The outputs go in by PALIGNR through the three registers one
// step after they are made, so that they never go through memory before
// they are read again. Longer filters take the reference.
#include <immintrin.h>

#include "dsp/fixed.h"
#include "dsp/tools.h"

#define SSE41 __attribute__((target("sse4.1")))

SSE41 void tns_ar_q24_sse41(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order) {
    constexpr int kTaps = 12;
    if (order > kTaps) {
        tns_ar_q24(spectrum, size, inc, a_q24, order);
        return;
    }
    // c[i] multiplies y[n - (13 - i)]; a_q24[1] multiplies y[n - 1] apart.
    alignas(16) int32_t c[kTaps] = {};
    for (int j = 2; j <= order; ++j) c[kTaps + 1 - j] = a_q24[j];
    const int32_t a1 = order >= 1 ? a_q24[1] : 0;
    const __m128i c0 = _mm_load_si128(reinterpret_cast<const __m128i*>(c));
    const __m128i c1 = _mm_load_si128(reinterpret_cast<const __m128i*>(c + 4));
    const __m128i c2 = _mm_load_si128(reinterpret_cast<const __m128i*>(c + 8));
    const __m128i o0 = _mm_srli_epi64(c0, 32), o1 = _mm_srli_epi64(c1, 32), o2 = _mm_srli_epi64(c2, 32);
    // h0: y[n - 13] .. y[n - 10], h1: y[n - 9] .. y[n - 6], h2: y[n - 5] .. y[n - 2].
    __m128i h0 = _mm_setzero_si128(), h1 = h0, h2 = h0;
    int32_t last = 0;  // y[n - 1]
    int32_t* x = inc > 0 ? spectrum : spectrum + size - 1;
    for (int n = 0; n < size; ++n, x += inc) {
        __m128i acc = _mm_add_epi64(_mm_mul_epi32(h0, c0), _mm_mul_epi32(_mm_srli_epi64(h0, 32), o0));
        acc = _mm_add_epi64(acc, _mm_add_epi64(_mm_mul_epi32(h1, c1), _mm_mul_epi32(_mm_srli_epi64(h1, 32), o1)));
        acc = _mm_add_epi64(acc, _mm_add_epi64(_mm_mul_epi32(h2, c2), _mm_mul_epi32(_mm_srli_epi64(h2, 32), o2)));
        acc = _mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc));
        const int64_t sum = fx::mac64(_mm_cvtsi128_si64(acc), last, a1);
        const int32_t y = fx::sat32(static_cast<int64_t>(*x) - fx::rshr64_sat(sum, 24));
        *x = y;
        h0 = _mm_alignr_epi8(h1, h0, 4);
        h1 = _mm_alignr_epi8(h2, h1, 4);
        h2 = _mm_alignr_epi8(_mm_cvtsi32_si128(last), h2, 4);
        last = y;
    }
}
