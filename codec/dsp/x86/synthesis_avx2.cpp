// AVX2 variants of the exact synthesis, four complex points or eight samples
// per register with VPMULDQ's four 64-bit products: the pre-twiddle, and the
// output pass (post-twiddle, window, overlap-add, rounding, saturation and
// the interleaved 16-bit store) of every window sequence, into one slot or
// both slots of interleaved stereo frames; other output layouts go to the
// portable reference. Bit-exact with it: the same rounded 64-bit products,
// wrapping negations and saturations.
//
// Only the functions after the target pragma use AVX2 (the headers before it
// are built for the baseline), so the default build runs on any x86-64;
// select_kernels puts these in the table only on a CPU with AVX2.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstring>

#include "dsp/fft_variants.h"
#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace {

using V = __m256i;

inline V load8(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
inline void store8(int32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
inline V neg(V a) { return _mm256_sub_epi32(_mm256_setzero_si256(), a); }
// Odd lanes from b, even ones from a.
inline V odd_from(V a, V b) { return _mm256_blend_epi32(a, b, 0xAA); }
// The two words of every point (re, im) swapped.
inline V swap_pairs(V v) { return _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)); }
// The four points (64-bit lanes) in reverse order; the eight words in reverse order.
inline V reverse_points(V v) { return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(0, 1, 2, 3)); }
inline V reverse8(V v) { return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0)); }

// z (c - i s) for four points (re, im) by their twiddles (c, s), as the
// scalar rotate: re = re c + im s, im = im c + (-re) s, each rounded once at
// bit 31 and kept modulo 2^32.
inline V rotate(V z, V tw) {
    const V zs = swap_pairs(z), ts = swap_pairs(tw), half = _mm256_set1_epi64x(INT64_C(1) << 30);
    const V re = _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(z, tw), _mm256_mul_epi32(zs, ts)), half);
    const V im = _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(zs, tw), _mm256_mul_epi32(neg(z), ts)), half);
    return odd_from(_mm256_srli_epi64(re, 31), _mm256_slli_epi64(im, 1));
}

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
// is 2^19 rather than 2^19 - 1, and both saturate to 32767 in the pack.
inline __m128i to_pcm(V v) {
    const V r = _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(v, 11), _mm256_set1_epi32(1)), 1);
    return _mm_packs_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
}

// Eight PCM samples to frames n .. n+7 of a stereo slot (step 2): into one
// slot, keeping the other channel's samples, or into both.
inline void put8(const PcmOut& out, int n, __m128i pcm) {
    __m128i* v = reinterpret_cast<__m128i*>(out.at + 2 * n);
    const __m128i lo = _mm_unpacklo_epi16(pcm, pcm), hi = _mm_unpackhi_epi16(pcm, pcm);
    if (out.pair) {
        _mm_storeu_si128(v, lo);
        _mm_storeu_si128(v + 1, hi);
    } else {
        _mm_storeu_si128(v, _mm_blend_epi16(_mm_loadu_si128(v), lo, 0x55));
        _mm_storeu_si128(v + 1, _mm_blend_epi16(_mm_loadu_si128(v + 1), hi, 0x55));
    }
}

// The pre-twiddle of pre_twiddle_exact, from a copy of the block: points k ..
// k+3 and their partners N/4-1-k .. N/4-4-k at a time (the words of the
// partners are those of the same two loads), each point stored at its
// bit-reversed slot.
template <bool kLong>
void pre_twiddle_n(int32_t* buf) {
    constexpr int points = kLong ? 512 : 64, words = 2 * points, rev_step = 512 / points;
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    int32_t in[words];
    std::memcpy(in, buf, sizeof in);
    for (int k = 0; k < points / 2; k += 4) {
        const V front_words = load8(in + 2 * k), back_words = reverse8(load8(in + words - 8 - 2 * k));
        // (a, b) of points k + j, and of points - 1 - k - j, j = 0..3.
        V front = odd_from(front_words, swap_pairs(back_words)), back = odd_from(swap_pairs(back_words), front_words);
        if (kLong) {  // fx::rshr(x, 3): (x >> 3) + (bit 2 of x)
            const V one = _mm256_set1_epi32(1);
            front = _mm256_add_epi32(_mm256_srai_epi32(front, 3), _mm256_and_si256(_mm256_srai_epi32(front, 2), one));
            back = _mm256_add_epi32(_mm256_srai_epi32(back, 3), _mm256_and_si256(_mm256_srai_epi32(back, 2), one));
        }
        const V zf = neg(rotate(front, load8(tw + 2 * k)));
        const V zb = neg(rotate(back, reverse_points(load8(tw + words - 8 - 2 * k))));
        const __m128i f[2] = {_mm256_castsi256_si128(zf), _mm256_extracti128_si256(zf, 1)};
        const __m128i b[2] = {_mm256_castsi256_si128(zb), _mm256_extracti128_si256(zb, 1)};
        for (int j = 0; j < 4; ++j) {
            const int r = bitrev512[(k + j) * rev_step];
            int32_t* at_front = buf + 2 * r;
            int32_t* at_back = buf + words - 2 - 2 * r;
            if (j & 1) {
                _mm_storeh_pd(reinterpret_cast<double*>(at_front), _mm_castsi128_pd(f[j / 2]));
                _mm_storeh_pd(reinterpret_cast<double*>(at_back), _mm_castsi128_pd(b[j / 2]));
            } else {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(at_front), f[j / 2]);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(at_back), b[j / 2]);
            }
        }
    }
}

// Eight samples of both halves of a block: x of the first, y of the second.
struct Eight {
    V x, y;
};

// Post-twiddle passes i .. i+3 of a transform of N = 4q time samples (see
// output_passes in the reference): a at q/2 + i .. q/2 + i + 3, b at
// q/2 - 1 - i down to q/2 - 4 - i give the samples n = 2i .. 2i+7 (lo) and
// 2q-8-2i .. 2q-1-2i (hi).
template <int kQuarter>
__attribute__((always_inline)) inline void post_group(const int32_t* buf, int i, Eight& lo, Eight& hi) {
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

// Window weights of eight samples n .. n+7 of a half, as in the reference:
// 0, 1.0, a rising table from n = from (t[n - from]), a falling one ending
// before n = to (t[to - 1 - n]).
struct Zero {
    V operator()(int, V) const { return _mm256_setzero_si256(); }
};
struct One {
    V operator()(int, V v) const { return v; }
};
struct Up {
    const int32_t* t;
    int from;
    V operator()(int n, V v) const { return mul_q31(v, load8(t + n - from)); }
};
struct Down {
    const int32_t* t;
    int to;
    V operator()(int n, V v) const { return mul_q31(v, reverse8(load8(t + to - 8 - n))); }
};

// Post-twiddle groups i0 .. i1-1 (in steps of four passes), each group's
// samples to lo(n, e) and hi(n, e).
template <int kQuarter, class Lo, class Hi>
inline void output_groups(const int32_t* buf, int i0, int i1, Lo lo, Hi hi) {
    for (int i = i0; i < i1; i += 4) {
        Eight l, h;
        post_group<kQuarter>(buf, i, l, h);
        lo(2 * i, l);
        hi(2 * kQuarter - 8 - 2 * i, h);
    }
}

const int32_t* long_table(int shape) { return shape ? kbd_long_q31 : sine_long_q31; }
const int32_t* short_table(int shape) { return shape ? kbd_short_q31 : sine_short_q31; }

// A long block: the first half, weighted by rise, adds to the overlap and
// goes out as PCM; the second, weighted by fall, becomes the new overlap.
template <class Rise, class Fall>
struct LongSink {
    int32_t* overlap;
    const PcmOut* out;
    Rise rise;
    Fall fall;
    void operator()(int n, const Eight& e) const {
        put8(*out, n, to_pcm(add_sat(load8(overlap + n), rise(n, e.x))));
        store8(overlap + n, fall(n, e.y));
    }
};
template <class Rise, class Fall>
LongSink<Rise, Fall> long_sink(int32_t* overlap, const PcmOut& out, Rise rise, Fall fall) {
    return {overlap, &out, rise, fall};
}

// The start and stop windows' halves are 0 or 1.0 up to n = 448 and from
// n = 576 with the short table between: groups below 224 reach only those
// flat parts.
void long_block(uint8_t seq, int shape, int prev, const int32_t* buf, int32_t* overlap, const PcmOut& out) {
    const Up rise{long_table(prev), 0};
    const Down fall{long_table(shape), 1024};
    if (seq == LONG_START_SEQUENCE) {
        const Down edge{short_table(shape), 576};
        output_groups<512>(buf, 0, 224, long_sink(overlap, out, rise, One{}), long_sink(overlap, out, rise, Zero{}));
        output_groups<512>(buf, 224, 256, long_sink(overlap, out, rise, edge), long_sink(overlap, out, rise, edge));
    } else if (seq == LONG_STOP_SEQUENCE) {
        const Up edge{short_table(prev), 448};
        output_groups<512>(buf, 0, 224, long_sink(overlap, out, Zero{}, fall), long_sink(overlap, out, One{}, fall));
        output_groups<512>(buf, 224, 256, long_sink(overlap, out, edge, fall), long_sink(overlap, out, edge, fall));
    } else {
        const auto sink = long_sink(overlap, out, rise, fall);
        output_groups<512>(buf, 0, 256, sink, sink);
    }
}

// A short window at `start` = 448 + 128 w: its rising half adds to the
// previous window's falling half (carry) and, before sample 1024, to the old
// overlap, going out as PCM (kOut), or else becomes the new overlap; the
// falling half becomes the carry.
template <bool kOut>
struct ShortSink {
    int32_t* overlap;
    int32_t* carry;
    const PcmOut* out;
    int start;
    Up rise;
    Down fall;
    void operator()(int n, const Eight& e) const {
        const V s = add_sat(load8(carry + n), rise(n, e.x));
        if (kOut) put8(*out, start + n, to_pcm(add_sat(load8(overlap + start + n), s)));
        else store8(overlap + start + n - 1024, s);
        store8(carry + n, fall(n, e.y));
    }
};

// Eight short windows at 448 + 128 w (see short_blocks in the reference):
// every old overlap sample read (448 .. 1023) lies above every slot the
// windows write (0 .. 447).
void short_blocks(int shape, int prev, int32_t* coef, int32_t* overlap, const PcmOut& out) {
    for (int n = 0; n < 448; n += 8) put8(out, n, to_pcm(load8(overlap + n)));
    int32_t carry[128] = {};
    const Down fall{short_table(shape), 128};
    for (int w = 0; w < 8; ++w) {
        int32_t* u = coef + 128 * w;
        kernels.pre_twiddle(u, 256);
        kernels.fft(u, 64);
        const Up rise{short_table(w == 0 ? prev : shape), 0};
        const int start = 448 + 128 * w;
        const ShortSink<true> to_out{overlap, carry, &out, start, rise, fall};
        const ShortSink<false> to_overlap{overlap, carry, &out, start, rise, fall};
        // Window 4 straddles sample 1024 at n = 64, between its lo and hi samples.
        if (w < 4) output_groups<64>(u, 0, 32, to_out, to_out);
        else if (w == 4) output_groups<64>(u, 0, 32, to_out, to_overlap);
        else output_groups<64>(u, 0, 32, to_overlap, to_overlap);
    }
    std::memcpy(overlap + 448, carry, sizeof carry);
    std::memset(overlap + 576, 0, 448 * sizeof(int32_t));
}

}  // namespace

void pre_twiddle_exact_avx2(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
    _mm256_zeroupper();
}

void synthesise_channel_avx2(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                             OverlapSample* overlap, PcmOut out) {
    if (out.step != 2) {
        synthesise_channel(first_block, window_sequence, wnd_shape, coef, overlap, out);
        return;
    }
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    const uint8_t seq = window_sequence & 3;
    if (seq == EIGHT_SHORT_SEQUENCE) {
        short_blocks(shape, prev, coef, overlap, out);
    } else {
        kernels.pre_twiddle(coef, 2048);
        kernels.fft(coef, 512);
        long_block(seq, shape, prev, coef, overlap, out);
    }
    wnd_shape[1] = wnd_shape[0];
    _mm256_zeroupper();
}

#pragma GCC pop_options

#endif
