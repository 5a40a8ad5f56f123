// AVX2 variants of the exact synthesis, four complex points or eight samples
// per register with VPMULDQ's four 64-bit products: the pre-twiddle, and the
// output pass (post-twiddle, window, overlap-add, rounding, saturation and
// the interleaved 16-bit store) of every window sequence, into one slot or
// both slots of interleaved stereo frames or (with SBR) as the Q12 time
// samples, stored as the overlap is; other output layouts go to the portable
// reference. Bit-exact with it: the same rounded 64-bit products,
// wrapping negations and saturations. The output pass's structure is
// dsp/output_pass_vec.h's; this file brings its eight-sample operations.
//
// Only the functions after the target pragma use AVX2 (the headers before it
// are built for the baseline), so the default build runs on any x86-64;
// select_kernels puts these in the table only on a CPU with AVX2.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstring>

#include "dsp/bitrev_pairs.h"
#include "dsp/fft_variants.h"
#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "dsp/x86/complex_avx2.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

// (clang has no target pragma: its attribute pragma does the same.)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#include "dsp/output_pass_vec.h"
#include "dsp/x86/put_pcm_x86.h"

namespace {

using V = __m256i;

inline V load8(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
inline void store8(int32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
using avx2::neg;
using avx2::odd_from;
using avx2::rotate;
using avx2::swap_pairs;
// The four points (64-bit lanes) in reverse order; the eight words in reverse order.
inline V reverse_points(V v) { return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(0, 1, 2, 3)); }
inline V reverse8(V v) { return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0)); }

// fx::mul_q31 on eight lanes.
inline V mul_q31(V a, V b) {
    const V half = _mm256_set1_epi64x(INT64_C(1) << 30);
    const V even = _mm256_add_epi64(_mm256_mul_epi32(a, b), half);
    const V odd = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32)), half);
    return odd_from(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1));
}

// fx::add_sat on eight lanes: on overflow the limit of a's sign.
inline V add_sat(V a, V b) {
    const V s = _mm256_add_epi32(a, b);
    const V over = _mm256_andnot_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(a, s));
    const V limit = _mm256_xor_si256(_mm256_srai_epi32(a, 31), _mm256_set1_epi32(INT32_MAX));
    return _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(s), _mm256_castsi256_ps(limit), _mm256_castsi256_ps(over)));
}

// Q12 to PCM for eight lanes: ((v >> 11) + 1) >> 1 is (v + 2^11) >> 12
// without the overflow of the sum; where the sum would saturate, the result
// is 2^19 rather than 2^19 - 1, and both saturate to 32767.
inline V rounded_q12(V v) {
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(v, 11), _mm256_set1_epi32(1)), 1);
}

// Rounded samples r (32 bits) to frames n .. n+7, saturated to 16 bits. One
// slot: the slot's eight samples are the even words of the 32 bytes from
// the first, so the saturated values' low halves go there in one blend with
// the words read, as put8 does it in two. The last of those words lies one
// frame past the slot's eight frames for the right slot: frames up to 1015
// (a block's 1024 frames, the last eight excepted) take that way, the rest
// put8's.
inline void put_rounded(const PcmOut& out, int n, V r) {
    if (out.pair || n > 1024 - 16) {
        put8(out, n, _mm_packs_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1)));
        return;
    }
    const V pcm = _mm256_max_epi32(_mm256_min_epi32(r, _mm256_set1_epi32(32767)), _mm256_set1_epi32(-32768));
    V* p = reinterpret_cast<V*>(out.at + 2 * n);
    _mm256_storeu_si256(p, _mm256_blend_epi16(pcm, _mm256_loadu_si256(p), 0xAA));
}

// The pre-twiddle of pre_twiddle_exact straight to the bit-reversed slots
// (for_bit_reversed_units), a group of four points a register: the group at
// k (points k, k+1, k+h, k+h+1, two loads) and the one at h-2-k hold each
// other's partners in reverse order, and each group goes out as points k,
// k+h to r, r+1 and k+1, k+h+1 to r+h, r+h+1 (r = rev(k)).
// Points k, k+1 and k+h, k+h+1 from (to) v + o and v + o + 2h, o = 2k.
template <int kHalf>
inline V load_rows(const int32_t* v, uint32_t o) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + o))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + o + 2 * kHalf)), 1);
}
template <int kHalf>
inline void store_rows(int32_t* v, uint32_t o, V x) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + o), _mm256_castsi256_si128(x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + o + 2 * kHalf), _mm256_extracti128_si256(x, 1));
}
// A unit's two groups, at k and at h-2-k, by their words' offsets 2k and
// 2(h-2-k).
struct UnitAt {
    uint32_t k, m;
};
template <bool kLong>
struct PreUnit {
    static constexpr int points = kLong ? 512 : 64, h = points / 2;
    V g, p;  // the values of the groups at k and at h-2-k
    PreUnit(const int32_t* buf, const int32_t* tw, UnitAt at) {
        const V x = load_rows<h>(buf, at.k), y = load_rows<h>(buf, at.m);
        V a = odd_from(x, reverse_points(y)), b = odd_from(y, reverse_points(x));
        if (kLong) {  // fx::rshr(x, 3): ((x >> 2) + 1) >> 1, the same without an overflow
            const V one = _mm256_set1_epi32(1);
            a = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(a, 2), one), 1);
            b = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(b, 2), one), 1);
        }
        // Long blocks' values, shifted, are never INT32_MIN.
        g = avx2::rotate_negated<kLong>(a, load_rows<h>(tw, at.k));
        p = avx2::rotate_negated<kLong>(b, load_rows<h>(tw, at.m));
    }
    // To the unit at r = rev(k).
    void put(int32_t* buf, UnitAt r) const {
        store_rows<h>(buf, r.k, _mm256_permute4x64_epi64(g, _MM_SHUFFLE(3, 1, 2, 0)));
        store_rows<h>(buf, r.m, _mm256_permute4x64_epi64(p, _MM_SHUFFLE(3, 1, 2, 0)));
    }
};
// for_bit_reversed_units' calls as a list made at compile time: the units
// at k, at r = rev(k) and at c, and where the unit at c goes (rev(c) is k,
// or h-2-k when c = h-2-r). The reversal is of log2(points) bits, as
// bitrev512_even's every (512 / points)th entry gives it.
struct UnitCall {
    UnitAt k, r, c, c_to;
};
template <int kPoints>
using UnitCalls = ListOf<UnitCall, kPoints / 8>;
template <int kPoints>
constexpr UnitCalls<kPoints> unit_calls() {
    UnitCalls<kPoints> l{};
    constexpr int h = kPoints / 2;
    auto at = [](int k) { return UnitAt{static_cast<uint32_t>(2 * k), static_cast<uint32_t>(2 * (h - 2 - k))}; };
    for (int k = 0; k < h / 2; k += 2) {
        const int r = bit_reverse<kPoints>(k);
        const int c = r < h / 2 ? r : h - 2 - r;
        if (c >= k) l.at[l.count++] = {at(k), at(r), at(c), at(c == r ? k : h - 2 - k)};
    }
    return l;
}
constexpr UnitCalls<512> kUnitCalls512 = unit_calls<512>();
constexpr UnitCalls<64> kUnitCalls64 = unit_calls<64>();

template <bool kLong>
void pre_twiddle_n(int32_t* buf) {
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    const UnitCall* call = kLong ? kUnitCalls512.at : kUnitCalls64.at;
    const UnitCall* const end = call + (kLong ? kUnitCalls512.count : kUnitCalls64.count);
    for (; call < end; ++call) {
        const UnitCall u = *call;
        const PreUnit<kLong> x(buf, tw, u.k);
        if (u.c.k != u.k.k) {
            const PreUnit<kLong> y(buf, tw, u.c);
            y.put(buf, u.c_to);
        }
        x.put(buf, u.r);
    }
}

// Samples weighted by their window weights w (word m for sample m), the
// values of the even samples in the low words of the 64-bit lanes of e,
// those of the odd ones in o: fx::mul_q31 as mul_q31 above, without
// spreading the values over the lanes first.
inline V weigh(V e, V o, V w) {
    const V half = _mm256_set1_epi64x(INT64_C(1) << 30);
    const V even = _mm256_add_epi64(_mm256_mul_epi32(e, w), half);
    const V odd = _mm256_add_epi64(_mm256_mul_epi32(o, _mm256_srli_epi64(w, 32)), half);
    return odd_from(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1));
}

// The rotation's 64-bit sums of four points z by their twiddles tw: re and
// im of z (c - i s) plus 2^30, whose bits 31..62 are the rounded values.
struct Sums {
    V re, im;
};
inline Sums rotation_sums(V z, V tw) {
    const V zs = swap_pairs(z), ts = swap_pairs(tw), half = _mm256_set1_epi64x(INT64_C(1) << 30);
    return {_mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(z, tw), _mm256_mul_epi32(zs, ts)), half),
            _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(zs, tw), _mm256_mul_epi32(neg(z), ts)), half)};
}
// The rounded value of a sum, in the low word of its lane; the negated one
// from 2^31 - 1 minus the sum (the sum of 2^30 - 1 minus the products: see
// avx2::rotate_negated).
inline V rounded(V sum) { return _mm256_srli_epi64(sum, 31); }
inline V rounded_negated(V sum) { return rounded(_mm256_sub_epi64(_mm256_set1_epi64x(INT32_MAX), sum)); }

// The eight-sample operations of the output pass (dsp/output_pass_vec.h).
struct Ops {
    using V = __m256i;
    static V zero() { return _mm256_setzero_si256(); }
    static V load(const int32_t* p) { return load8(p); }
    static void store(int32_t* p, V v) { store8(p, v); }
    static V add_sat(V a, V b) { return ::add_sat(a, b); }
    static V mul_q31(V a, V b) { return ::mul_q31(a, b); }
    static V rising(const int32_t* p) { return load8(p); }
    static V falling(const int32_t* p) { return reverse8(load8(p)); }
    static void put(const PcmOut& out, int n, V v) { put_rounded(out, n, rounded_q12(v)); }
    // The PCM of a + b from their floor average (a & b) + ((a ^ b) >> 1),
    // which never overflows: ((avg >> 10) + 1) >> 1 is (a + b + 2^11) >> 12.
    static void put_sum(const PcmOut& out, int n, V a, V b) {
        const V avg = _mm256_add_epi32(_mm256_and_si256(a, b), _mm256_srai_epi32(_mm256_xor_si256(a, b), 1));
        put_rounded(out, n, _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(avg, 10), _mm256_set1_epi32(1)), 1));
    }

    // a at q/2 + i .. q/2 + i + 3, b at q/2 - 1 - i down to q/2 - 4 - i (see
    // output_passes in the reference).
    template <int kQuarter>
    __attribute__((always_inline)) static void post_group(const int32_t* buf, int i, output_pass_vec::Eight<Ops>& lo,
                                                          output_pass_vec::Eight<Ops>& hi) {
        const int32_t* tw = kQuarter == 512 ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
        const int ao = kQuarter + 2 * i, bo = kQuarter - 8 - 2 * i;  // words of a of pass i, of b of pass i+3
        const V a = rotate(load8(buf + ao), load8(tw + ao));         // a(i + k), k = 0..3
        const V b = rotate(load8(buf + bo), load8(tw + bo));         // b(i + 3 - k)
        const V na = neg(a), nb = neg(b), b_up = reverse_points(b);
        // lo: n = 2i+2k gets x -re a, y -im a; n = 2i+2k+1 gets x im b, y re b.
        lo.x = odd_from(na, b_up);
        lo.y = swap_pairs(odd_from(b_up, na));
        // hi, n = 2q-8-2i+2k: x -im b, y re b of pass i+3-k; the next n: x re a, y -im a.
        hi.x = swap_pairs(odd_from(reverse_points(a), nb));
        hi.y = odd_from(b, reverse_points(na));
    }

    // post_group's samples weighted by the long windows: the rotated values
    // go to the products with the weights straight from the rotation's
    // sums, each in the low words of the lanes, the order reversed where
    // post_group reverses it.
    template <int kQuarter>
    __attribute__((always_inline)) static void windowed_group(const int32_t* buf, int i, const int32_t* rise,
                                                              const int32_t* fall, output_pass_vec::Eight<Ops>& lo,
                                                              output_pass_vec::Eight<Ops>& hi) {
        const int32_t* tw = kQuarter == 512 ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
        const int ao = kQuarter + 2 * i, bo = kQuarter - 8 - 2 * i;  // as in post_group
        const Sums a = rotation_sums(load8(buf + ao), load8(tw + ao));  // a(i + k), k = 0..3
        const Sums b = rotation_sums(load8(buf + bo), load8(tw + bo));  // b(i + 3 - k)
        const V na_re = rounded_negated(a.re), na_im = rounded_negated(a.im);
        const V a_re_up = reverse_points(rounded(a.re)), na_im_up = reverse_points(na_im);  // of a(i + 3 - k)
        const V b_re = rounded(b.re), nb_im = rounded_negated(b.im);
        const V b_re_up = reverse_points(b_re), b_im_up = reverse_points(rounded(b.im));  // of b(i + k)
        const int n = 2 * i, m = 2 * kQuarter - 8 - 2 * i;  // the first samples of lo and hi
        lo.x = weigh(na_re, b_im_up, load8(rise + n));
        lo.y = weigh(na_im, b_re_up, reverse8(load8(fall + 2 * kQuarter - 8 - n)));
        hi.x = weigh(nb_im, a_re_up, load8(rise + m));
        hi.y = weigh(b_re, na_im_up, reverse8(load8(fall + 2 * kQuarter - 8 - m)));
    }
};

}  // namespace

void pre_twiddle_exact_avx2(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
    _mm256_zeroupper();
}

void synthesise_channel_avx2(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                             OverlapSample* overlap, PcmOut out) {
    output_pass_vec::synthesise_channel<Ops>(first_block, window_sequence, wnd_shape, coef, overlap, out);
    _mm256_zeroupper();
}

void synthesise_channel_mix_avx2(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix) {
    output_pass_vec::synthesise_channel_mix<Ops>(window_sequence, wnd_shape, coef, mix);
    _mm256_zeroupper();
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
