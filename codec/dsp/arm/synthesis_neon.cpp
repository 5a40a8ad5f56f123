// NEON variant of the exact synthesis (32-bit ARM): the output pass of every
// window sequence (post-twiddle, window, overlap-add, rounding, saturation
// and the interleaved 16-bit store) four post-twiddle passes at a time, into
// one slot or both slots of interleaved stereo frames. Other output layouts
// go to the portable reference. Bit-exact with it: the twiddle products as
// 64-bit VMULL/VMLAL pairs narrowed by one rounding shift (VRSHRN #31, the
// reference's rshr64), the window products as VQRDMULH ((2ab + 2^31) >> 32 =
// mul_q31; the tables never hold INT32_MIN, so it never saturates), VQADD for
// the saturating sums, and VQRSHRN #12 for the rounding to PCM: (v + 2^11)
// >> 12 saturated to 16 bits, computed without the overflow of the sum, which
// the reference saturates to a value that gives 32767 just the same.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include <cstring>

#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include "dsp/arm/quad_neon.h"

using namespace neon;

namespace {

// Eight samples n .. n+7 as two quads: the even ones n, n+2, n+4, n+6 and
// the odd ones (VLD2Q/VST2Q), so that the post-twiddle's values need no
// interleaving.
using Four2 = int32x4x2_t;

// Eight PCM samples to frames n .. n+7 of a stereo slot (step 2): into one
// slot, keeping the other channel's samples, or into both. VLD4/VST4 of the
// sixteen words: left and right of the even frames, then of the odd ones.
inline void put8(const PcmOut& out, int n, Four2 v) {
    int16_t* p = out.at + 2 * n;
    const int16x4_t even = vqrshrn_n_s32(v.val[0], 12), odd = vqrshrn_n_s32(v.val[1], 12);
    int16x4x4_t frames;
    if (out.pair) {
        frames = {{even, even, odd, odd}};
    } else {
        frames = vld4_s16(p);
        frames.val[0] = even;
        frames.val[2] = odd;
    }
    vst4_s16(p, frames);
}

inline Four2 load8(const int32_t* p) { return vld2q_s32(p); }
inline void store8(int32_t* p, Four2 v) { vst2q_s32(p, v); }
inline Four2 add_sat(Four2 a, Four2 b) { return {{vqaddq_s32(a.val[0], b.val[0]), vqaddq_s32(a.val[1], b.val[1])}}; }
inline Four2 mul_q31(Four2 a, Four2 b) {
    return {{vqrdmulhq_s32(a.val[0], b.val[0]), vqrdmulhq_s32(a.val[1], b.val[1])}};
}

// Eight samples of both halves of a block: x of the first, y of the second.
struct Eight {
    Four2 x, y;
};

// Post-twiddle passes i .. i+3 of a transform of N = 4q time samples (see
// output_passes in the reference): a at q/2 + i .. q/2 + i + 3, b at
// q/2 - 1 - i down to q/2 - 4 - i give the samples n = 2i .. 2i+7 (lo) and
// 2q-8-2i .. 2q-1-2i (hi).
template <int kQuarter>
__attribute__((always_inline)) inline void post_group(const int32_t* buf, int i, Eight& lo, Eight& hi) {
    const int32_t* tw = kQuarter == 512 ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    const int ao = kQuarter + 2 * i, bo = kQuarter - 8 - 2 * i;  // words of a of pass i, of b of pass i+3
    const Quad a = rotate(load4(buf + ao), load4(tw + ao));      // a(i + k), k = 0..3
    const Quad b = rotate(load4(buf + bo), load4(tw + bo));      // b(i + 3 - k)
    // lo: n = 2i+2k gets x -re a, y -im a; n = 2i+2k+1 gets x im b, y re b.
    lo.x = {{vnegq_s32(a.re), rev4(b.im)}};
    lo.y = {{vnegq_s32(a.im), rev4(b.re)}};
    // hi, n = 2q-8-2i+2k: x -im b, y re b of pass i+3-k; the next n: x re a, y -im a.
    hi.x = {{vnegq_s32(b.im), rev4(a.re)}};
    hi.y = {{b.re, vnegq_s32(rev4(a.im))}};
}

// Window weights of eight samples n .. n+7 of a half, as in the reference:
// 0, 1.0, a rising table from n = from (t[n - from]), a falling one ending
// before n = to (t[to - 1 - n]).
struct Zero {
    Four2 operator()(int, Four2) const { return {{vdupq_n_s32(0), vdupq_n_s32(0)}}; }
};
struct One {
    Four2 operator()(int, Four2 v) const { return v; }
};
struct Up {
    const int32_t* t;
    int from;
    Four2 operator()(int n, Four2 v) const { return mul_q31(v, load8(t + n - from)); }
};
struct Down {
    const int32_t* t;
    int to;
    Four2 operator()(int n, Four2 v) const {
        const Four2 w = vld2q_s32(t + to - 8 - n);  // t[to-8-n+j]: even j, odd j
        return mul_q31(v, Four2{{rev4(w.val[1]), rev4(w.val[0])}});
    }
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
        put8(*out, n, add_sat(load8(overlap + n), rise(n, e.x)));
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
        const Four2 s = add_sat(load8(carry + n), rise(n, e.x));
        if (kOut) put8(*out, start + n, add_sat(load8(overlap + start + n), s));
        else store8(overlap + start + n - 1024, s);
        store8(carry + n, fall(n, e.y));
    }
};

// Eight short windows at 448 + 128 w (see short_blocks in the reference):
// every old overlap sample read (448 .. 1023) lies above every slot the
// windows write (0 .. 447).
void short_blocks(int shape, int prev, int32_t* coef, int32_t* overlap, const PcmOut& out) {
    for (int n = 0; n < 448; n += 8) put8(out, n, load8(overlap + n));
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

void synthesise_channel_neon(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
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
}

#pragma GCC pop_options

#endif
