// Parametric stereo's hybrid analysis with SSE4.1: a band's real and
// imaginary sums side by side in one register of two 64-bit halves, each
// tap two PMULDQ: (c_re, c_re) times (x_re, x_im) and (-c_im, c_im) times
// (x_im, x_re). Sums modulo 2^64 as the reference's; bit-exact with
// ps_hybrid_analysis.
#include <immintrin.h>

#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/x86/complex_sse41.h"

SSE41 void ps_hybrid_analysis_sse41(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                                    const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                                    int32_t* out_im) {
    constexpr int kTaps = 13;
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi64x(fx::round_bias64(31));
    for (int k = 0; k < bands; ++k) {
        const int q = qmf[k];
        __m128i acc = bias;
        for (int n = 0; n < kTaps; ++n) {
            const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coef[k][n]));  // c_re, c_im
            const __m128i pair = _mm_unpacklo_epi32(_mm_sub_epi32(zero, c), c);  // -c_re, c_re, -c_im, c_im
            const __m128i c1 = _mm_shuffle_epi32(c, _MM_SHUFFLE(0, 0, 0, 0));
            const __m128i c2 = _mm_shuffle_epi32(pair, _MM_SHUFFLE(3, 3, 2, 2));
            const int32_t x_re = rows_re[kTaps - 1 - n][q], x_im = rows_im[kTaps - 1 - n][q];
            const __m128i x = _mm_set_epi32(0, x_im, 0, x_re);
            const __m128i xs = _mm_set_epi32(0, x_re, 0, x_im);
            acc = _mm_add_epi64(acc, _mm_add_epi64(_mm_mul_epi32(c1, x), _mm_mul_epi32(c2, xs)));
        }
        out_re[k] = fx::sat32(_mm_cvtsi128_si64(acc) >> 31);
        out_im[k] = fx::sat32(_mm_extract_epi64(acc, 1) >> 31);
    }
}
