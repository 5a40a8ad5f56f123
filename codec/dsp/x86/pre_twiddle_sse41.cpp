// The exact arithmetic's pre-twiddle with SSE4.1, from a copy of the block:
// points k, k+1 and their partners N/4-1-k, N/4-2-k at a time (the words of
// the partners are those of the same two loads), the rounded shift of long
// blocks, the rotation and the negation, then each point stored at its
// bit-reversed slot. Reading the copy leaves the order of the stores free.
#include <cstring>

#include "dsp/fft_variants.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/exact_tables.h"

using namespace sse41;

namespace {

SSE41 inline __m128i neg(__m128i a) { return _mm_sub_epi32(_mm_setzero_si128(), a); }
// fx::rshr(x, 3): (x >> 3) + (bit 2 of x).
SSE41 inline __m128i rshr3(__m128i v) {
    return _mm_add_epi32(_mm_srai_epi32(v, 3), _mm_and_si128(_mm_srai_epi32(v, 2), _mm_set1_epi32(1)));
}
SSE41 inline void put(int32_t* at, __m128i z, bool second) {
    if (second) _mm_storeh_pd(reinterpret_cast<double*>(at), _mm_castsi128_pd(z));
    else _mm_storel_epi64(reinterpret_cast<__m128i*>(at), z);
}

template <bool kLong>
SSE41 void pre_twiddle_n(int32_t* buf) {
    constexpr int points = kLong ? 512 : 64, words = 2 * points, rev_step = 512 / points;
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    int32_t in[words];
    std::memcpy(in, buf, sizeof in);
    for (int k = 0; k < points / 2; k += 2) {
        const __m128i front_words = load2(in, k);  // a(k) b(points-1-k) a(k+1) b(points-2-k)
        const __m128i back_words = _mm_shuffle_epi32(load2(in, points - 2 - k), _MM_SHUFFLE(0, 1, 2, 3));
        // (a, b) of points k, k+1, and of points - 1 - k, points - 2 - k.
        const __m128i back_swapped = _mm_shuffle_epi32(back_words, _MM_SHUFFLE(2, 3, 0, 1));
        __m128i front = _mm_blend_epi16(front_words, back_swapped, 0xCC);
        __m128i back = _mm_blend_epi16(back_swapped, front_words, 0xCC);
        if (kLong) front = rshr3(front), back = rshr3(back);
        const __m128i zf = neg(rotate(front, load2(tw, k)));
        const __m128i zb = neg(rotate(back, _mm_shuffle_epi32(load2(tw, points - 2 - k), _MM_SHUFFLE(1, 0, 3, 2))));
        for (int j = 0; j < 2; ++j) {
            const int r = bitrev512[(k + j) * rev_step];
            put(buf + 2 * r, zf, j);
            put(buf + words - 2 - 2 * r, zb, j);
        }
    }
}

}  // namespace

SSE41 void pre_twiddle_exact_sse41(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}
