// SSE4.1 variant of the exact synthesis: the output pass of a plain long
// block (both halves long windows, the common case) four post-twiddle passes
// at a time, into one slot or both slots of interleaved stereo frames. Every
// other block and output layout goes to the portable reference. Bit-exact
// with it: the same rounded 64-bit products (PMULDQ), the same wrapping
// negations, the same saturations.
//
// Built with a target attribute, so the default build runs on any x86-64;
// select_kernels puts it in the table only on a CPU with SSE4.1.
#if defined(__x86_64__) || defined(__i386__)

#include <smmintrin.h>

#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "tables/exact_tables.h"

#define SSE41 __attribute__((target("sse4.1")))

namespace {

// The rounded high words (a * b + 2^30) >> 31, lanes 0 and 2 of a and b as
// signed 32-bit values, left in the low word of each 64-bit lane.
SSE41 inline __m128i q31_even(__m128i a, __m128i b) {
    return _mm_srli_epi64(_mm_add_epi64(_mm_mul_epi32(a, b), _mm_set1_epi64x(INT64_C(1) << 30)), 31);
}

// The same of two sums of products, a * b + c * d (modulo 2^64, as mac64).
SSE41 inline __m128i q31_even2(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i s = _mm_add_epi64(_mm_mul_epi32(a, b), _mm_mul_epi32(c, d));
    return _mm_srli_epi64(_mm_add_epi64(s, _mm_set1_epi64x(INT64_C(1) << 30)), 31);
}

// Lanes 0 and 2 from `even`'s low words, 1 and 3 from `odd`'s.
SSE41 inline __m128i merge(__m128i even, __m128i odd) { return _mm_blend_epi16(even, _mm_slli_epi64(odd, 32), 0xCC); }

// fx::mul_q31 on four lanes.
SSE41 inline __m128i mul_q31(__m128i a, __m128i b) {
    return merge(q31_even(a, b), q31_even(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32)));
}

SSE41 inline __m128i neg(__m128i a) { return _mm_sub_epi32(_mm_setzero_si128(), a); }

// Two complex values (re, im, re, im) turned by their twiddles (c, s, c, s)
// as the reference's rotate: re = z.re c + z.im s, im = z.im c + (-z.re) s,
// each rounded once.
SSE41 inline __m128i rotate2(__m128i z, __m128i tw) {
    const __m128i zi = _mm_srli_epi64(z, 32), s = _mm_srli_epi64(tw, 32);
    return merge(q31_even2(z, tw, zi, s), q31_even2(zi, tw, neg(z), s));
}

// fx::add_sat on four lanes: on overflow the limit of a's sign.
SSE41 inline __m128i add_sat(__m128i a, __m128i b) {
    const __m128i s = _mm_add_epi32(a, b);
    const __m128i over = _mm_andnot_si128(_mm_xor_si128(a, b), _mm_xor_si128(a, s));
    const __m128i limit = _mm_xor_si128(_mm_srai_epi32(a, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_castps_si128(_mm_blendv_ps(_mm_castsi128_ps(s), _mm_castsi128_ps(limit), _mm_castsi128_ps(over)));
}

// Q12 to PCM for eight lanes: add 2^11 with saturation, shift right by 12,
// saturate to 16 bits.
SSE41 inline __m128i to_pcm(__m128i lo, __m128i hi) {
    const __m128i half = _mm_set1_epi32(2048);
    return _mm_packs_epi32(_mm_srai_epi32(add_sat(lo, half), 12), _mm_srai_epi32(add_sat(hi, half), 12));
}

SSE41 inline __m128i load(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
SSE41 inline void store(int32_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
SSE41 inline __m128i reverse(__m128i v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3)); }
// The two complex values of a vector swapped.
SSE41 inline __m128i swap_pairs(__m128i v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)); }

// Eight PCM samples to frames n .. n+7 of a stereo slot (step 2): into one
// slot, keeping the other channel's samples, or into both.
SSE41 inline void put8(const PcmOut& out, int n, __m128i pcm) {
    int16_shared* p = out.at + 2 * n;
    const __m128i lo = _mm_unpacklo_epi16(pcm, pcm), hi = _mm_unpackhi_epi16(pcm, pcm);
    __m128i* v = reinterpret_cast<__m128i*>(p);
    if (out.pair) {
        _mm_storeu_si128(v, lo);
        _mm_storeu_si128(v + 1, hi);
    } else {
        _mm_storeu_si128(v, _mm_blend_epi16(_mm_loadu_si128(v), lo, 0x55));
        _mm_storeu_si128(v + 1, _mm_blend_epi16(_mm_loadu_si128(v + 1), hi, 0x55));
    }
}

// Eight samples n .. n+7 of both halves: x of the first half (rising window
// rise[0..7] = w[n..n+7]) onto the overlap and out as PCM; y of the second
// (falling window fall) as the new overlap.
SSE41 inline void emit8(int32_t* overlap, const PcmOut& out, int n, __m128i x0, __m128i x1, __m128i r0,
                        __m128i r1, __m128i y0, __m128i y1, __m128i f0, __m128i f1) {
    const __m128i s0 = add_sat(load(overlap + n), mul_q31(x0, r0));
    const __m128i s1 = add_sat(load(overlap + n + 4), mul_q31(x1, r1));
    put8(out, n, to_pcm(s0, s1));
    store(overlap + n, mul_q31(y0, f0));
    store(overlap + n + 4, mul_q31(y1, f1));
}

// The output pass of a long block with long windows on both halves, passes
// i .. i+3 at a time: a at 256 + i .. 259 + i, b at 255 - i down to 252 - i
// give samples n = 2i .. 2i+7 (lo) and 1016-2i .. 1023-2i (hi); see
// output_passes in the reference.
SSE41 void long_pass(const int32_t* buf, const int32_t* rise, const int32_t* fall, int32_t* overlap,
                     const PcmOut& out) {
    const int32_t* tw = imdct_twiddle2048_q31;
    for (int i = 0; i < 256; i += 4) {
        const int ao = 512 + 2 * i, bo = 504 - 2 * i;  // words of a0 and of b3
        const __m128i a01 = rotate2(load(buf + ao), load(tw + ao));
        const __m128i a23 = rotate2(load(buf + ao + 4), load(tw + ao + 4));
        const __m128i b32 = rotate2(load(buf + bo), load(tw + bo));
        const __m128i b10 = rotate2(load(buf + bo + 4), load(tw + bo + 4));
        // Per pass k = 0..3: re and im of a and b.
        const __m128 fa01 = _mm_castsi128_ps(a01), fa23 = _mm_castsi128_ps(a23);
        const __m128 fb10 = _mm_castsi128_ps(b10), fb32 = _mm_castsi128_ps(b32);
        const __m128i a_re = _mm_castps_si128(_mm_shuffle_ps(fa01, fa23, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i a_im = neg(_mm_castps_si128(_mm_shuffle_ps(fa01, fa23, _MM_SHUFFLE(3, 1, 3, 1))));
        const __m128i b_re = _mm_castps_si128(_mm_shuffle_ps(fb10, fb32, _MM_SHUFFLE(0, 2, 0, 2)));
        const __m128i b_im = neg(_mm_castps_si128(_mm_shuffle_ps(fb10, fb32, _MM_SHUFFLE(1, 3, 1, 3))));
        // lo: n = 2i + 2k gets x -re a, y a_im; 2i + 2k + 1 gets x -b_im, y re b.
        const __m128i na_re = neg(a_re), nb_im = neg(b_im);
        const int lo = 2 * i, hi = 1016 - 2 * i;
        emit8(overlap, out, lo, _mm_unpacklo_epi32(na_re, nb_im), _mm_unpackhi_epi32(na_re, nb_im),
              load(rise + lo), load(rise + lo + 4), _mm_unpacklo_epi32(a_im, b_re), _mm_unpackhi_epi32(a_im, b_re),
              reverse(load(fall + 1020 - lo)), reverse(load(fall + 1016 - lo)));
        // hi, rising n: 1022 - 2i - 2k gets x b_im, y re b; 1023 - 2i - 2k
        // gets x re a, y a_im; k = 3 first.
        emit8(overlap, out, hi, swap_pairs(_mm_unpackhi_epi32(b_im, a_re)),
              swap_pairs(_mm_unpacklo_epi32(b_im, a_re)), load(rise + hi), load(rise + hi + 4),
              swap_pairs(_mm_unpackhi_epi32(b_re, a_im)), swap_pairs(_mm_unpacklo_epi32(b_re, a_im)),
              reverse(load(fall + 1020 - hi)), reverse(load(fall + 1016 - hi)));
    }
}

}  // namespace

void synthesise_channel_sse41(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                              OverlapSample* overlap, PcmOut out) {
    synthesise_channel_with(long_pass, first_block, window_sequence, wnd_shape, coef, overlap, out);
}

#endif
