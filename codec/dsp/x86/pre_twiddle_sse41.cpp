// The exact arithmetic's pre-twiddle with SSE4.1 in natural order: points
// k, k+1 and their partners N/4-1-k, N/4-2-k at a time (the words of the
// partners are those of the same two loads, and the values go back to the
// same places), the rounded shift of long blocks, the rotation and the
// negation; then every point moves to its bit-reversed slot
// (bit_reverse_slots_sse41).
#include "dsp/bitrev_pairs.h"
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
template <bool kLong>
SSE41 void pre_twiddle_n(int32_t* buf) {
    constexpr int points = kLong ? 512 : 64;
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    for (int k = 0; k < points / 2; k += 2) {
        const __m128i front_words = load2(buf, k);  // a(k) b(points-1-k) a(k+1) b(points-2-k)
        const __m128i back_words = _mm_shuffle_epi32(load2(buf, points - 2 - k), _MM_SHUFFLE(0, 1, 2, 3));
        // (a, b) of points k, k+1, and of points - 1 - k, points - 2 - k.
        const __m128i back_swapped = _mm_shuffle_epi32(back_words, _MM_SHUFFLE(2, 3, 0, 1));
        __m128i front = _mm_blend_epi16(front_words, back_swapped, 0xCC);
        __m128i back = _mm_blend_epi16(back_swapped, front_words, 0xCC);
        if (kLong) front = rshr3(front), back = rshr3(back);
        const __m128i zb = neg(rotate(back, _mm_shuffle_epi32(load2(tw, points - 2 - k), _MM_SHUFFLE(1, 0, 3, 2))));
        store2(buf, k, neg(rotate(front, load2(tw, k))));
        store2(buf, points - 2 - k, _mm_shuffle_epi32(zb, _MM_SHUFFLE(1, 0, 3, 2)));
    }
    bit_reverse_slots_sse41(buf, points);
}

}  // namespace

// Two slots a register: the group of four slots at k as (k, k+1) and
// (k+h, k+h+1), moved to r as (k, k+h) and (k+1, k+h+1).
SSE41 void bit_reverse_slots_sse41(int32_t* buf, int points) {
    const int h = points / 2;
    for_bit_reversed_groups(points, [buf, h](int k, int r) SSE41 {
        const __m128i a = load2(buf, k), b = load2(buf, k + h);
        if (r > k) {
            const __m128i c = load2(buf, r), d = load2(buf, r + h);
            store2(buf, k, _mm_unpacklo_epi64(c, d));
            store2(buf, k + h, _mm_unpackhi_epi64(c, d));
        }
        store2(buf, r, _mm_unpacklo_epi64(a, b));
        store2(buf, r + h, _mm_unpackhi_epi64(a, b));
    });
}

SSE41 void pre_twiddle_exact_sse41(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}
