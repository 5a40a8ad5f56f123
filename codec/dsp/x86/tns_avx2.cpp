// TNS's all-pole filter of the exact arithmetic with AVX2, bit-exact with
// its reference (tns_ar_q24, dsp/tns.cpp).
//
// The SSE4.1 variant's plan (dsp/x86/tns_sse41.cpp) in wider registers and
// three-operand instructions: filters up to 12 taps long, the newest
// output's product scalar, the other taps' sum in vectors from the eleven
// outputs before it (and one older, its coefficient zero). Those sit in a
// 256-bit register (the eight oldest) and a 128-bit one (the four newest),
// their coefficients reversed beside them, the odd words shifted down once:
// four PMULDQ (the even and the odd words of each register), added in 64-bit
// lanes (modulo 2^64 as the reference's sum, in any order the same), the
// lanes then. The rounding and the subtraction are the reference's; its two
// saturations are tested together and run only when one of them acts (37
// instructions an output, the SSE4.1 variant's 65). Each output enters the
// 128-bit register by PALIGNR one step after it is made, and that register's
// oldest word the 256-bit one by VPERM2I128 and VPALIGNR, so that no output
// goes through memory before it is read again. Longer filters take the
// reference.
#include <immintrin.h>

#include "dsp/fixed.h"
#include "dsp/tools.h"

#define AVX2 __attribute__((target("avx2")))

AVX2 void tns_ar_q24_avx2(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order) {
    constexpr int kTaps = 12;
    if (order > kTaps) {
        tns_ar_q24(spectrum, size, inc, a_q24, order);
        return;
    }
    // c[i] multiplies y[n - (13 - i)]; a_q24[1] multiplies y[n - 1] apart.
    alignas(32) int32_t c[kTaps] = {};
    for (int j = 2; j <= order; ++j) c[kTaps + 1 - j] = a_q24[j];
    const int32_t a1 = order >= 1 ? a_q24[1] : 0;
    const __m256i ch = _mm256_load_si256(reinterpret_cast<const __m256i*>(c));
    const __m128i cl = _mm_load_si128(reinterpret_cast<const __m128i*>(c + 8));
    const __m256i oh = _mm256_srli_epi64(ch, 32);
    const __m128i ol = _mm_srli_epi64(cl, 32);
    // h: y[n - 13] .. y[n - 6], l: y[n - 5] .. y[n - 2].
    __m256i h = _mm256_setzero_si256();
    __m128i l = _mm_setzero_si128();
    int32_t last = 0;  // y[n - 1]
    int32_t* x = inc > 0 ? spectrum : spectrum + size - 1;
    for (int n = 0; n < size; ++n, x += inc) {
        const __m256i wide = _mm256_add_epi64(_mm256_mul_epi32(h, ch), _mm256_mul_epi32(_mm256_srli_epi64(h, 32), oh));
        __m128i acc = _mm_add_epi64(_mm_mul_epi32(l, cl), _mm_mul_epi32(_mm_srli_epi64(l, 32), ol));
        acc = _mm_add_epi64(acc, _mm_add_epi64(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1)));
        acc = _mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc));
        const int64_t sum = fx::mac64(_mm_cvtsi128_si64(acc), last, a1);
        // The rounded sum (its rounding term added modulo 2^64, as the
        // reference's) and the difference in 64 bits: where both fit 32 bits
        // neither saturation acts (the usual case); elsewhere the reference's
        // two saturations.
        const int64_t r =
            static_cast<int64_t>(static_cast<uint64_t>(sum) + static_cast<uint64_t>(fx::round_bias64(24))) >> 24;
        const int64_t d = static_cast<int64_t>(*x) - r;
        const bool r_fits = fx::fits(r, 32), d_fits = fx::fits(d, 32);
        int32_t y = static_cast<int32_t>(d);
        // Both tests before one branch, the usual case on the loop's path.
        if (__builtin_expect(!(r_fits & d_fits), 0)) y = fx::sub_sat(*x, fx::sat32(r));
        *x = y;
        // [h's upper half, l] then, per 128-bit half, one word down.
        h = _mm256_alignr_epi8(_mm256_permute2x128_si256(h, _mm256_castsi128_si256(l), 0x21), h, 4);
        l = _mm_alignr_epi8(_mm_cvtsi32_si128(last), l, 4);
        last = y;
    }
}
