// The exact synthesis's output pass for vector variants, generic over the
// variant's eight-sample operations: the post-twiddle four passes at a time,
// the window, the overlap-add and the PCM store of every window sequence, in
// the order of the reference (dsp/synthesis_exact.cpp), into one slot or both
// slots of interleaved stereo frames.
//
// A variant's file includes the headers below, then turns on its target
// (pragma), defines its operations and includes this file: every function
// here is a template of those operations, so each file gets its own copies,
// built for its own target. The operations, Ops:
//   V                      eight samples n .. n+7, in the variant's own layout
//   load(p), store(p, v)   eight words at p
//   zero(), add_sat(a, b), mul_q31(a, b)
//   rising(p), falling(p)  window weights p[0..7], and p[7] down to p[0]
//   put(out, n, v)         Q12 to PCM frames n .. n+7 (step 2)
//   put_sum(out, n, a, b)  optional: put(out, n, add_sat(a, b)) (emit_sum)
//   post_group<q>(buf, i, lo, hi)
//                          passes i .. i+3 of a transform of 4q samples: the
//                          samples n = 2i .. 2i+7 (lo) and 2q-8-2i .. 2q-1-2i
//                          (hi), x of the block's first half and y of its second
// The Q12 time samples themselves (PcmOut::time, in a build with SBR) go out
// through store: eight words in order, as the reference stores them, with no
// rounding and no saturation.
#pragma once

#include <cstring>

#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "sbr/built.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

namespace output_pass_vec {

// Eight samples of both halves of a block: x of the first, y of the second.
template <class Ops>
struct Eight {
    typename Ops::V x, y;
};

// Output samples n .. n+7: Q12 time samples (kTime) or PCM.
template <class Ops, bool kTime>
inline void emit(const PcmOut& out, int n, typename Ops::V v) {
    if constexpr (kTime) Ops::store(out.time + n, v);
    else Ops::put(out, n, v);
}

// Output samples n .. n+7 as add_sat(a, b). A variant may bring
// put_sum(out, n, a, b), the PCM of the sum without its saturation: a sum
// beyond 32 bits lies beyond the 16-bit range as its saturated value does,
// so both give the same PCM.
template <class Ops, bool kTime>
inline void emit_sum(const PcmOut& out, int n, typename Ops::V a, typename Ops::V b) {
    if constexpr (!kTime && requires { Ops::put_sum(out, n, a, b); }) Ops::put_sum(out, n, a, b);
    else emit<Ops, kTime>(out, n, Ops::add_sat(a, b));
}

// Window weights of eight samples n .. n+7 of a half, as in the reference:
// 0, 1.0, a rising table from n = from (t[n - from]), a falling one ending
// before n = to (t[to - 1 - n]).
template <class Ops>
struct Zero {
    typename Ops::V operator()(int, typename Ops::V) const { return Ops::zero(); }
};
template <class Ops>
struct One {
    typename Ops::V operator()(int, typename Ops::V v) const { return v; }
};
template <class Ops>
struct Up {
    const int32_t* t;
    int from;
    typename Ops::V operator()(int n, typename Ops::V v) const { return Ops::mul_q31(v, Ops::rising(t + n - from)); }
};
template <class Ops>
struct Down {
    const int32_t* t;
    int to;
    typename Ops::V operator()(int n, typename Ops::V v) const { return Ops::mul_q31(v, Ops::falling(t + to - 8 - n)); }
};

// Post-twiddle groups i0 .. i1-1 (in steps of four passes), each group's
// samples to lo(n, e) and hi(n, e).
template <class Ops, int kQuarter, class Lo, class Hi>
inline void output_groups(const int32_t* buf, int i0, int i1, Lo lo, Hi hi) {
    for (int i = i0; i < i1; i += 4) {
        Eight<Ops> l, h;
        Ops::template post_group<kQuarter>(buf, i, l, h);
        lo(2 * i, l);
        hi(2 * kQuarter - 8 - 2 * i, h);
    }
}

// A variant may bring windowed_group<q>(buf, i, rise, fall, lo, hi): the
// samples of post_group, x weighted by the rising window (rise[n]) and y by
// the falling one (fall[2q - 1 - n]), as Up and Down weigh them. Where it
// has one, the long blocks' windows (rise, fall) come from it and each
// group's consumer takes the samples as they are.
template <class Ops>
concept HasWindowedGroup = requires(const int32_t* p, Eight<Ops>& e) {
    Ops::template windowed_group<512>(p, 0, p, p, e, e);
};
template <class Ops, int kQuarter, class Sink>
inline void output_windowed(const int32_t* buf, int i0, int i1, const int32_t* rise, const int32_t* fall, Sink sink) {
    for (int i = i0; i < i1; i += 4) {
        Eight<Ops> l, h;
        Ops::template windowed_group<kQuarter>(buf, i, rise, fall, l, h);
        sink(2 * i, l);
        sink(2 * kQuarter - 8 - 2 * i, h);
    }
}

template <class Ops>
const int32_t* long_table(int shape) {
    return shape ? kbd_long_q31 : sine_long_q31;
}
template <class Ops>
const int32_t* short_table(int shape) {
    return shape ? kbd_short_q31 : sine_short_q31;
}

// A long block: the first half, weighted by rise, adds to the overlap and
// goes out as PCM; the second, weighted by fall, becomes the new overlap.
template <class Ops, bool kTime, class Rise, class Fall>
struct LongSink {
    int32_t* overlap;
    const PcmOut* out;
    Rise rise;
    Fall fall;
    void operator()(int n, const Eight<Ops>& e) const {
        emit_sum<Ops, kTime>(*out, n, Ops::load(overlap + n), rise(n, e.x));
        Ops::store(overlap + n, fall(n, e.y));
    }
};
template <class Ops, bool kTime, class Rise, class Fall>
LongSink<Ops, kTime, Rise, Fall> long_sink(int32_t* overlap, const PcmOut& out, Rise rise, Fall fall) {
    return {overlap, &out, rise, fall};
}

// The start and stop windows' halves are 0 or 1.0 up to n = 448 and from
// n = 576 with the short table between: groups below 224 reach only those
// flat parts.
// The windows of a long-block sequence over the transform's output, each
// group's rising and falling halves handed to sink(rise, fall), which makes
// the group's consumer (the PCM output with overlap-add, or the downmix).
template <class Ops, class MakeSink>
void long_windows(uint8_t seq, int shape, int prev, const int32_t* buf, MakeSink sink) {
    const Up<Ops> rise{long_table<Ops>(prev), 0};
    const Down<Ops> fall{long_table<Ops>(shape), 1024};
    if (seq == LONG_START_SEQUENCE) {
        const Down<Ops> edge{short_table<Ops>(shape), 576};
        output_groups<Ops, 512>(buf, 0, 224, sink(rise, One<Ops>{}), sink(rise, Zero<Ops>{}));
        output_groups<Ops, 512>(buf, 224, 256, sink(rise, edge), sink(rise, edge));
    } else if (seq == LONG_STOP_SEQUENCE) {
        const Up<Ops> edge{short_table<Ops>(prev), 448};
        output_groups<Ops, 512>(buf, 0, 224, sink(Zero<Ops>{}, fall), sink(One<Ops>{}, fall));
        output_groups<Ops, 512>(buf, 224, 256, sink(edge, fall), sink(edge, fall));
    } else if constexpr (HasWindowedGroup<Ops>) {
        output_windowed<Ops, 512>(buf, 0, 256, rise.t, fall.t, sink(One<Ops>{}, One<Ops>{}));
    } else {
        output_groups<Ops, 512>(buf, 0, 256, sink(rise, fall), sink(rise, fall));
    }
}

// A variant may bring long_pcm(seq, shape, prev, buf, overlap, out), which
// makes the PCM of the long blocks it takes (returning true) its own way.
template <class Ops, bool kTime>
void long_block(uint8_t seq, int shape, int prev, const int32_t* buf, int32_t* overlap, const PcmOut& out) {
    if constexpr (!kTime && requires { Ops::long_pcm(seq, shape, prev, buf, overlap, out); })
        if (Ops::long_pcm(seq, shape, prev, buf, overlap, out)) return;
    long_windows<Ops>(seq, shape, prev, buf,
                      [&](auto r, auto f) { return long_sink<Ops, kTime>(overlap, out, r, f); });
}

// A short window at `start` = 448 + 128 w: its rising half adds to the
// previous window's falling half (carry) and, before sample 1024, to the old
// overlap, going out as PCM (kOut), or else becomes the new overlap; the
// falling half becomes the carry.
template <class Ops, bool kTime, bool kOut>
struct ShortSink {
    int32_t* overlap;
    int32_t* carry;
    const PcmOut* out;
    int start;
    Up<Ops> rise;
    Down<Ops> fall;
    void operator()(int n, const Eight<Ops>& e) const {
        const typename Ops::V s = Ops::add_sat(Ops::load(carry + n), rise(n, e.x));
        if (kOut) emit_sum<Ops, kTime>(*out, start + n, Ops::load(overlap + start + n), s);
        else Ops::store(overlap + start + n - 1024, s);
        Ops::store(carry + n, fall(n, e.y));
    }
};

// Eight short windows at 448 + 128 w (see short_blocks in the reference):
// every old overlap sample read (448 .. 1023) lies above every slot the
// windows write (0 .. 447).
template <class Ops, bool kTime>
void short_blocks(int shape, int prev, int32_t* coef, int32_t* overlap, const PcmOut& out) {
    for (int n = 0; n < 448; n += 8) emit<Ops, kTime>(out, n, Ops::load(overlap + n));
    int32_t carry[128] = {};
    const Down<Ops> fall{short_table<Ops>(shape), 128};
    for (int w = 0; w < 8; ++w) {
        int32_t* u = coef + 128 * w;
        kernels.pre_twiddle(u, 256);
        kernels.fft(u, 64);
        const Up<Ops> rise{short_table<Ops>(w == 0 ? prev : shape), 0};
        const int start = 448 + 128 * w;
        const ShortSink<Ops, kTime, true> to_out{overlap, carry, &out, start, rise, fall};
        const ShortSink<Ops, kTime, false> to_overlap{overlap, carry, &out, start, rise, fall};
        // Window 4 straddles sample 1024 at n = 64, between its lo and hi samples.
        if (w < 4) output_groups<Ops, 64>(u, 0, 32, to_out, to_out);
        else if (w == 4) output_groups<Ops, 64>(u, 0, 32, to_out, to_overlap);
        else output_groups<Ops, 64>(u, 0, 32, to_overlap, to_overlap);
    }
    std::memcpy(overlap + 448, carry, sizeof carry);
    std::memset(overlap + 576, 0, 448 * sizeof(int32_t));
}

// One channel's block to PCM or (kTime) to Q12 time samples.
template <class Ops, bool kTime>
void synthesise_block(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, int32_t* overlap,
                      const PcmOut& out) {
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    const uint8_t seq = window_sequence & 3;
    if (seq == EIGHT_SHORT_SEQUENCE) {
        short_blocks<Ops, kTime>(shape, prev, coef, overlap, out);
    } else {
        kernels.pre_twiddle(coef, 2048);
        kernels.fft(coef, 512);
        long_block<Ops, kTime>(seq, shape, prev, coef, overlap, out);
    }
    wnd_shape[1] = wnd_shape[0];
}

// The synthesis entry of a variant: the Q12 time samples (a build with SBR)
// and a stereo slot (step 2); other output layouts go to the reference. A
// build without SBR has no time output and no code for it.
template <class Ops>
void synthesise_channel(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                        OverlapSample* overlap, PcmOut out) {
    if constexpr (kSbrBuilt) {
        if (out.time) {
            synthesise_block<Ops, true>(window_sequence, wnd_shape, coef, overlap, out);
            return;
        }
    }
    if (out.step != 2) {
        ::synthesise_channel(first_block, window_sequence, wnd_shape, coef, overlap, out);
        return;
    }
    synthesise_block<Ops, false>(window_sequence, wnd_shape, coef, overlap, out);
}

// Mixed synthesis (synthesise_channel_mix): eight samples of one half
// weighted by a gain and added into the sums. A gain g (Q30, |g| <= 2^30)
// weighs as mul_q31 by 2g, the same rounded product; 2^30 itself (a gain of
// 1.0, which 2g cannot hold) goes to the reference. kSides 1: the other
// side's gain is 0 and its sums are left alone (the side heard comes first,
// whichever it is); 3: both.
template <class Ops, int kSides>
struct MixSums {
    int32_t* head0;
    int32_t* head1;
    int32_t* tail0;
    int32_t* tail1;
    const int32_t* g0;  // eight copies of 2 gain[0], of 2 gain[1]
    const int32_t* g1;
    void add(int32_t* s0, int32_t* s1, int n, typename Ops::V v) const {
        if (kSides & 1) Ops::store(s0 + n, Ops::add_sat(Ops::load(s0 + n), Ops::mul_q31(v, Ops::load(g0))));
        if (kSides & 2) Ops::store(s1 + n, Ops::add_sat(Ops::load(s1 + n), Ops::mul_q31(v, Ops::load(g1))));
    }
    // Samples t .. t+7 of the block's 2048 (t a multiple of 8: never astride 1024).
    void at(int t, typename Ops::V v) const {
        if (t < 1024) add(head0, head1, t, v);
        else add(tail0, tail1, t - 1024, v);
    }
};

template <class Ops, int kSides, class Rise, class Fall>
struct MixLongSink {
    MixSums<Ops, kSides> sums;
    Rise rise;
    Fall fall;
    void operator()(int n, const Eight<Ops>& e) const {
        sums.add(sums.head0, sums.head1, n, rise(n, e.x));
        sums.add(sums.tail0, sums.tail1, n, fall(n, e.y));
    }
};

template <class Ops, int kSides>
void mix_channel(uint8_t seq, int shape, int prev, int32_t* coef, const MixSums<Ops, kSides>& sums) {
    if (seq == EIGHT_SHORT_SEQUENCE) {
        const Down<Ops> fall{short_table<Ops>(shape), 128};
        for (int w = 0; w < 8; ++w) {
            int32_t* u = coef + 128 * w;
            kernels.pre_twiddle(u, 256);
            kernels.fft(u, 64);
            const Up<Ops> rise{short_table<Ops>(w == 0 ? prev : shape), 0};
            const int start = 448 + 128 * w;
            auto sink = [&sums, start, rise, fall](int n, const Eight<Ops>& e) {
                sums.at(start + n, rise(n, e.x));
                sums.at(start + 128 + n, fall(n, e.y));
            };
            output_groups<Ops, 64>(u, 0, 32, sink, sink);
        }
        return;
    }
    kernels.pre_twiddle(coef, 2048);
    kernels.fft(coef, 512);
    long_windows<Ops>(seq, shape, prev, coef, [&sums](auto r, auto f) {
        return MixLongSink<Ops, kSides, decltype(r), decltype(f)>{sums, r, f};
    });
}

// The mixed synthesis entry of a variant.
template <class Ops>
void synthesise_channel_mix(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix) {
    constexpr int32_t kOne = 1 << 30;
    if (mix.gain[0] == kOne || mix.gain[1] == kOne) {
        ::synthesise_channel_mix(window_sequence, wnd_shape, coef, mix);
        return;
    }
    int32_t g0[8], g1[8];
    for (int i = 0; i < 8; ++i) g0[i] = 2 * mix.gain[0], g1[i] = 2 * mix.gain[1];
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    const uint8_t seq = window_sequence & 3;
    int32_t* const h0 = mix.head[0];
    int32_t* const h1 = mix.head[1];
    int32_t* const t0 = mix.tail[0];
    int32_t* const t1 = mix.tail[1];
    if (mix.gain[1] == 0) mix_channel<Ops, 1>(seq, shape, prev, coef, MixSums<Ops, 1>{h0, h1, t0, t1, g0, g1});
    else if (mix.gain[0] == 0) mix_channel<Ops, 1>(seq, shape, prev, coef, MixSums<Ops, 1>{h1, h0, t1, t0, g1, g0});
    else mix_channel<Ops, 3>(seq, shape, prev, coef, MixSums<Ops, 3>{h0, h1, t0, t1, g0, g1});
    wnd_shape[1] = wnd_shape[0];
}

}  // namespace output_pass_vec
