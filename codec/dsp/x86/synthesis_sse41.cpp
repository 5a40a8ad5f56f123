// SSE4.1 variant of the exact synthesis: the output pass of every window
// sequence (post-twiddle, window, overlap-add, rounding, saturation and the
// interleaved 16-bit store) four post-twiddle passes at a time, into one slot
// or both slots of interleaved stereo frames, or (with SBR) as the Q12 time
// samples, stored as the overlap is. Other output layouts go to the portable
// reference. Bit-exact with it: the same rounded 64-bit products
// (PMULDQ), the same wrapping negations, the same saturations. The output
// pass's structure is dsp/output_pass_vec.h's; this file brings its
// eight-sample operations.
//
// Only the functions after the target pragma use SSE4.1 (the headers before
// it are built for the baseline), so the default build runs on any x86-64;
// select_kernels puts it in the table only on a CPU with SSE4.1.
#if defined(__x86_64__) || defined(__i386__)

#include <smmintrin.h>

#include <cstring>

#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

// (clang has no target pragma: its attribute pragma does the same.)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif
#include "dsp/output_pass_vec.h"
#include "dsp/x86/put_pcm_x86.h"

namespace {

// The rounded high words (a * b + 2^30) >> 31, lanes 0 and 2 of a and b as
// signed 32-bit values, left in the low word of each 64-bit lane.
inline __m128i q31_even(__m128i a, __m128i b) {
    return _mm_srli_epi64(_mm_add_epi64(_mm_mul_epi32(a, b), _mm_set1_epi64x(INT64_C(1) << 30)), 31);
}

// fx::mul_q31 on four lanes.
inline __m128i mul_q31(__m128i a, __m128i b) {
    return sse41::pack_even_odd(q31_even(a, b), q31_even(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32)));
}

inline __m128i neg(__m128i a) { return _mm_sub_epi32(_mm_setzero_si128(), a); }

// fx::add_sat on four lanes: on overflow the limit of a's sign.
inline __m128i add_sat(__m128i a, __m128i b) {
    const __m128i s = _mm_add_epi32(a, b);
    const __m128i over = _mm_andnot_si128(_mm_xor_si128(a, b), _mm_xor_si128(a, s));
    const __m128i limit = _mm_xor_si128(_mm_srai_epi32(a, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_castps_si128(_mm_blendv_ps(_mm_castsi128_ps(s), _mm_castsi128_ps(limit), _mm_castsi128_ps(over)));
}

// Q12 to PCM: ((v >> 11) + 1) >> 1 is (v + 2^11) >> 12 without the overflow
// of the sum; where the sum would saturate, the result is 2^19 rather than
// 2^19 - 1, and both saturate to 32767 in the pack.
inline __m128i rounded_q12(__m128i v) {
    return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(v, 11), _mm_set1_epi32(1)), 1);
}

// The same of a + b without its saturation (Ops::put_sum).
inline __m128i rounded_sum_q12(__m128i a, __m128i b) {
    const __m128i avg = _mm_add_epi32(_mm_and_si128(a, b), _mm_srai_epi32(_mm_xor_si128(a, b), 1));
    return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(avg, 10), _mm_set1_epi32(1)), 1);
}

inline __m128i load(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(int32_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m128i reverse(__m128i v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3)); }
// The two complex values of a vector swapped.
inline __m128i swap_pairs(__m128i v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)); }

// The eight-sample operations of the output pass (dsp/output_pass_vec.h):
// samples n .. n+3 and n+4 .. n+7.
struct Ops {
    struct V {
        __m128i lo, hi;
    };
    static V zero() { return {_mm_setzero_si128(), _mm_setzero_si128()}; }
    static V load(const int32_t* p) { return {::load(p), ::load(p + 4)}; }
    static void store(int32_t* p, V v) { ::store(p, v.lo), ::store(p + 4, v.hi); }
    static V add_sat(V a, V b) { return {::add_sat(a.lo, b.lo), ::add_sat(a.hi, b.hi)}; }
    static V mul_q31(V a, V b) { return {::mul_q31(a.lo, b.lo), ::mul_q31(a.hi, b.hi)}; }
    static V rising(const int32_t* p) { return load(p); }
    static V falling(const int32_t* p) { return {reverse(::load(p + 4)), reverse(::load(p))}; }
    static void put(const PcmOut& out, int n, V v) {
        put8(out, n, _mm_packs_epi32(rounded_q12(v.lo), rounded_q12(v.hi)));
    }
    // The PCM of a + b from their floor average (a & b) + ((a ^ b) >> 1),
    // which never overflows: ((avg >> 10) + 1) >> 1 is (a + b + 2^11) >> 12.
    static void put_sum(const PcmOut& out, int n, V a, V b) {
        put8(out, n, _mm_packs_epi32(rounded_sum_q12(a.lo, b.lo), rounded_sum_q12(a.hi, b.hi)));
    }

    // a at q/2 + i .. q/2 + i + 3, b at q/2 - 1 - i down to q/2 - 4 - i (see
    // output_passes in the reference).
    template <int kQuarter>
    __attribute__((always_inline)) static void post_group(const int32_t* buf, int i, output_pass_vec::Eight<Ops>& lo,
                                                          output_pass_vec::Eight<Ops>& hi) {
        const int32_t* tw = kQuarter == 512 ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
        const int ao = kQuarter + 2 * i, bo = kQuarter - 8 - 2 * i;  // words of a of pass i, of b of pass i+3
        const __m128i a01 = sse41::rotate(::load(buf + ao), ::load(tw + ao));
        const __m128i a23 = sse41::rotate(::load(buf + ao + 4), ::load(tw + ao + 4));
        const __m128i b32 = sse41::rotate(::load(buf + bo), ::load(tw + bo));
        const __m128i b10 = sse41::rotate(::load(buf + bo + 4), ::load(tw + bo + 4));
        // Per pass k = 0..3: re and im of a and b.
        const __m128 fa01 = _mm_castsi128_ps(a01), fa23 = _mm_castsi128_ps(a23);
        const __m128 fb10 = _mm_castsi128_ps(b10), fb32 = _mm_castsi128_ps(b32);
        const __m128i a_re = _mm_castps_si128(_mm_shuffle_ps(fa01, fa23, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i a_im = neg(_mm_castps_si128(_mm_shuffle_ps(fa01, fa23, _MM_SHUFFLE(3, 1, 3, 1))));
        const __m128i b_re = _mm_castps_si128(_mm_shuffle_ps(fb10, fb32, _MM_SHUFFLE(0, 2, 0, 2)));
        const __m128i b_im = neg(_mm_castps_si128(_mm_shuffle_ps(fb10, fb32, _MM_SHUFFLE(1, 3, 1, 3))));
        // lo: n = 2i + 2k gets x -re a, y a_im; 2i + 2k + 1 gets x -b_im, y re b.
        const __m128i na_re = neg(a_re), nb_im = neg(b_im);
        lo.x = {_mm_unpacklo_epi32(na_re, nb_im), _mm_unpackhi_epi32(na_re, nb_im)};
        lo.y = {_mm_unpacklo_epi32(a_im, b_re), _mm_unpackhi_epi32(a_im, b_re)};
        // hi, rising n: 2q-2-2i-2k gets x b_im, y re b; 2q-1-2i-2k gets x re
        // a, y a_im; k = 3 first.
        hi.x = {swap_pairs(_mm_unpackhi_epi32(b_im, a_re)), swap_pairs(_mm_unpacklo_epi32(b_im, a_re))};
        hi.y = {swap_pairs(_mm_unpackhi_epi32(b_re, a_im)), swap_pairs(_mm_unpacklo_epi32(b_re, a_im))};
    }
};

}  // namespace

void synthesise_channel_sse41(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                              OverlapSample* overlap, PcmOut out) {
    output_pass_vec::synthesise_channel<Ops>(first_block, window_sequence, wnd_shape, coef, overlap, out);
}

void synthesise_channel_mix_sse41(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix) {
    output_pass_vec::synthesise_channel_mix<Ops>(window_sequence, wnd_shape, coef, mix);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
