// The exact arithmetic's pre-twiddle with SSE4.1: the values of a pair of
// slots k and N/4-1-k in one register (the two words of slot k are a of k
// and b of N/4-1-k, those of the other slot the rest), the rounded shift of
// long blocks, the rotation and the negation two points at a time, then the
// two points stored at their bit-reversed slots in the order of
// pre_twiddle_exact (for_bit_reversed_pairs).
#include "dsp/bitrev_pairs.h"
#include "dsp/fft_variants.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/exact_tables.h"

using namespace sse41;

namespace {

SSE41 inline __m128i load1(const int32_t* v, int k) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + 2 * k));
}
SSE41 inline void store1(int32_t* v, int k, __m128i z) { _mm_storel_epi64(reinterpret_cast<__m128i*>(v + 2 * k), z); }

template <bool kLong>
struct PairPass {
    static constexpr int kPoints = kLong ? 512 : 64;
    int32_t* buf;
    const int32_t* tw;

    // -(a + i b)(c - i s) for slots k and kPoints-1-k: a b of k, then of the other.
    SSE41 __m128i values(int k) const {
        const int kb = kPoints - 1 - k;
        const __m128i v = _mm_unpacklo_epi64(load1(buf, k), load1(buf, kb));  // a(k) b(kb) a(kb) b(k)
        __m128i ab = _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 2, 3, 0));
        if (kLong)  // fx::rshr(x, 3): (x >> 3) + (bit 2 of x)
            ab = _mm_add_epi32(_mm_srai_epi32(ab, 3), _mm_and_si128(_mm_srai_epi32(ab, 2), _mm_set1_epi32(1)));
        const __m128i r = rotate(ab, _mm_unpacklo_epi64(load1(tw, k), load1(tw, kb)));
        return _mm_sub_epi32(_mm_setzero_si128(), r);
    }
    SSE41 void put(int r, __m128i z) const {
        store1(buf, r, z);
        store1(buf, kPoints - 1 - r, _mm_unpackhi_epi64(z, z));
    }
    SSE41 void operator()(int k, int r, int m, int rm) const {
        const __m128i z = values(k);
        if (m > k) put(rm, values(m));
        put(r, z);
    }
};

template <bool kLong>
SSE41 void pre_twiddle_n(int32_t* buf) {
    const PairPass<kLong> pass{buf, kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31};
    for_bit_reversed_pairs(PairPass<kLong>::kPoints, pass);
}

}  // namespace

SSE41 void pre_twiddle_exact_sse41(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}
