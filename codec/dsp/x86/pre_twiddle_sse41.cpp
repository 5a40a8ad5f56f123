// The exact arithmetic's pre-twiddle with SSE4.1, straight to the
// bit-reversed slots (for_bit_reversed_units): points k, k+1 and their
// partners N/4-1-k, N/4-2-k at a time (the words of the partners are those
// of the same two loads), the rounded shift of long blocks, the rotation
// and the negation, four such pairs of points a unit; then the unit's
// values go out two slots a store.
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

// The values of points k, k+1 (front) and points-2-k, points-1-k (back, in
// that order).
struct Two {
    __m128i front, back;
};
template <bool kLong>
SSE41 inline Two values(const int32_t* buf, const int32_t* tw, int k) {
    constexpr int points = kLong ? 512 : 64;
    const __m128i front_words = load2(buf, k);  // a(k) b(points-1-k) a(k+1) b(points-2-k)
    const __m128i back_words = _mm_shuffle_epi32(load2(buf, points - 2 - k), _MM_SHUFFLE(0, 1, 2, 3));
    // (a, b) of points k, k+1, and of points - 1 - k, points - 2 - k.
    const __m128i back_swapped = _mm_shuffle_epi32(back_words, _MM_SHUFFLE(2, 3, 0, 1));
    __m128i front = _mm_blend_epi16(front_words, back_swapped, 0xCC);
    __m128i back = _mm_blend_epi16(back_swapped, front_words, 0xCC);
    if (kLong) front = rshr3(front), back = rshr3(back);
    const __m128i zb = neg(rotate(back, _mm_shuffle_epi32(load2(tw, points - 2 - k), _MM_SHUFFLE(1, 0, 3, 2))));
    return {neg(rotate(front, load2(tw, k))), _mm_shuffle_epi32(zb, _MM_SHUFFLE(1, 0, 3, 2))};
}

// A unit's values: u of points k, k+1, points-2-k, points-1-k; v of h-2-k,
// h-1-k, k+h, k+h+1.
struct Unit {
    Two u, v;
};
template <bool kLong>
SSE41 inline Unit unit_values(const int32_t* buf, const int32_t* tw, int k) {
    constexpr int h = (kLong ? 512 : 64) / 2;
    return {values<kLong>(buf, tw, k), values<kLong>(buf, tw, h - 2 - k)};
}

// The unit at k to the slots of the unit at r = rev(k): points k and k+h to
// r, r+1, points k+1 and k+h+1 to r+h, r+h+1, and their partners to h-2-r,
// h-1-r and points-2-r, points-1-r.
template <bool kLong>
SSE41 inline void put_unit(int32_t* buf, int r, Unit x) {
    constexpr int points = kLong ? 512 : 64, h = points / 2;
    store2(buf, r, _mm_unpacklo_epi64(x.u.front, x.v.back));
    store2(buf, r + h, _mm_unpackhi_epi64(x.u.front, x.v.back));
    store2(buf, h - 2 - r, _mm_unpacklo_epi64(x.v.front, x.u.back));
    store2(buf, points - 2 - r, _mm_unpackhi_epi64(x.v.front, x.u.back));
}

template <bool kLong>
SSE41 void pre_twiddle_n(int32_t* buf) {
    constexpr int points = kLong ? 512 : 64, h = points / 2;
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    for_bit_reversed_units(points, [buf, tw](int k, int r, int c) SSE41 {
        const Unit x = unit_values<kLong>(buf, tw, k);
        if (c != k) {
            // The unit at c goes to k's: rev(c) is k, or h-2-k when c = h-2-r.
            const Unit y = unit_values<kLong>(buf, tw, c);
            put_unit<kLong>(buf, c == r ? k : h - 2 - k, y);
        }
        put_unit<kLong>(buf, r, x);
    });
}

}  // namespace

SSE41 void pre_twiddle_exact_sse41(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}
