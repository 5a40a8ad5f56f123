// Synthesis filter bank of the exact arithmetic: inverse MDCT through an
// N/4-point complex FFT, windowing and overlap-add, all in 32 bits.
//
// Coefficients come in at 32 x the standard's spectral values. Long blocks
// are shifted right by 3 (rounded) on the way in, so that both transform
// sizes give time samples in Q12 (4096 = one PCM step: 16 x headroom over
// the 16-bit range, so clipping streams do not wrap). Every product is a
// 32 x 32 -> 64-bit product of a Q31 table value, rounded once. The overlap
// buffer holds 1024 Q12 samples; the output adds 2^11, shifts right by 12
// and saturates to 16 bits.
//
// Short windows always sit at the standard's place (from sample 448).
#include <cstring>
#include <type_traits>

#include "dsp/complex.h"
#include "dsp/filterbank.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/rotation.h"
#include "sbr/built.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

using namespace cx;

namespace {

// The two complex values of post-twiddle pass i of N = 2048 or 256 (eighth
// = N/8), each turned by its twiddle: a at eighth + i, b at eighth - 1 - i.
struct TwiddledPair {
    Complex a, b;
};
inline TwiddledPair post_pair(const int32_t* buf, const int32_t* tw, int eighth, int i) {
    const int ia = eighth + i, ib = eighth - 1 - i;
    return {rotate(load(buf, ia), tw[2 * ia], tw[2 * ia + 1]), rotate(load(buf, ib), tw[2 * ib], tw[2 * ib + 1])};
}

const int32_t* post_table(int n) { return n == 2048 ? imdct_twiddle2048_q31 : imdct_twiddle256_q31; }

}  // namespace

// Post-twiddle of N = 2048 or 256: samples re(z (c - i s)) and
// -im(z (c - i s)); each pass reads two complex values and writes the same
// four words. Out: u[m] = x[N/4 + m], m = 0..N/2-1, the middle half of the
// N time samples; the rest follow by symmetry: x[N/4 - 1 - m] = -u[m],
// x[3N/4 + m] = u[N/2 - 1 - m]. The synthesis below does this step inside
// its output pass; this is the step on its own.
void post_twiddle_exact(int32_t* buf, int n) {
    const int quarter = n / 4, eighth = n / 8;
    for (int i = 0; i < eighth; ++i) {
        const TwiddledPair p = post_pair(buf, post_table(n), eighth, i);
        buf[quarter - 1 - 2 * i] = p.a.re;
        buf[quarter + 2 * i] = fx::neg_wrap(p.a.im);
        buf[quarter + 2 * i + 1] = p.b.re;
        buf[quarter - 2 - 2 * i] = fx::neg_wrap(p.b.im);
    }
}

namespace {

// The output pass of a transform of N = 4q time samples (q = 512 or 64),
// after its pre-twiddle and FFT: post-twiddle passes i0..i1-1, each giving
// the samples at n = 2i, 2i+1 (to lo) and 2q-2-2i, 2q-1-2i (to hi) of both
// halves of the block, as sink(n, x, y): x = x[n] of the first half, y =
// x[2q + n] of the second. By the symmetry of post_twiddle_exact's output,
// with u[q-1-2i] = re a, u[q+2i] = -im a, u[q+1+2i] = re b, u[q-2-2i] = -im b,
// sample j of the first half and sample 2q-1-j both take P = u[q-1-j] and
// Q = u[q+j], as (-P, Q) and (P, Q). The buffer is only read.
//
// output_passes makes the short windows' passes and the downmix's long
// ones; the synthesis's long blocks go through long_output below, on every
// target. On 32-bit ARM output_passes goes in runs of kRun: the run's a
// values, then its b values (their slots taken upwards as well), as P, Q
// pairs into a small local array, then one loop over the run's lo samples
// and one over its hi ones, a sample a step. Each loop has few moving
// pointers, which keeps its 14 registers nearly free of spills. With 16 or
// more (x86-64) one loop giving all four samples of a pass at once is
// quicker here: the local array only adds loads and stores.
//
// long_output's P, Q pairs come from run_pair, into a local array as well,
// and run_samples takes them: a sample a step, or two (kTwoAStep) for the
// 16-bit PCM sinks on 32-bit ARM alone (their code is twice as long), but
// for the start and stop windows' run at 224. On x86-64 the array stays
// where the FFT's last stage is not made on the way either (a vector FFT
// in the table, for the blocks that still come here): output_passes' direct
// loop in its place measured 1.8 k instructions a block fewer for 32-bit
// output but 1.0 k more for 16-bit samples in a native layout (GCC then no
// longer inlines post_pair).
#if defined(__arm__)
constexpr bool kInRuns = true;
#else
constexpr bool kInRuns = false;
#endif
constexpr int kRun = 32;

// The lo and hi samples of passes run .. run+passes-1 from their P, Q pairs
// (pq: a's pair, then b's, a pass after the other), as output_passes makes
// them below (which keeps its own copy: GCC makes the mix's passes some 450
// bytes longer through this one).
template <bool kTwoAStep, class Lo, class Hi>
inline void run_samples(const int32_t* pq, int q, int run, int passes, Lo lo, Hi hi) {
    const int32_t* const end = pq + 4 * passes;
    int n = 2 * run;
    if constexpr (kTwoAStep) {
        for (const int32_t* v = pq; v < end; v += 4, n += 2) {
            lo(n, fx::neg_wrap(v[0]), v[1]);
            lo(n + 1, fx::neg_wrap(v[2]), v[3]);
        }
        n = 2 * q - 1 - 2 * run;
        for (const int32_t* v = pq; v < end; v += 4, n -= 2) {
            hi(n, v[0], v[1]);
            hi(n - 1, v[2], v[3]);
        }
    } else {
        for (const int32_t* v = pq; v < end; v += 2, ++n) lo(n, fx::neg_wrap(v[0]), v[1]);
        n = 2 * q - 1 - 2 * run;
        for (const int32_t* v = pq; v < end; v += 2, --n) hi(n, v[0], v[1]);
    }
}

template <class Lo, class Hi>
inline void output_passes(const int32_t* buf, int q, int i0, int i1, Lo lo, Hi hi) {
    const int32_t* tw = post_table(4 * q);
    if constexpr (!kInRuns) {
        for (int i = i0; i < i1; ++i) {
            const TwiddledPair p = post_pair(buf, tw, q / 2, i);
            const int32_t a_re = p.a.re, a_im = fx::neg_wrap(p.a.im), b_re = p.b.re, b_im = fx::neg_wrap(p.b.im);
            lo(2 * i, fx::neg_wrap(a_re), a_im);
            lo(2 * i + 1, fx::neg_wrap(b_im), b_re);
            hi(2 * q - 2 - 2 * i, b_im, b_re);
            hi(2 * q - 1 - 2 * i, a_re, a_im);
        }
        return;
    }
    int32_t pq[4 * kRun];
    for (int run = i0; run < i1; run += kRun) {
        const int passes = i1 - run < kRun ? i1 - run : kRun;
        // The a and the b values and their twiddles through pointers of
        // their own (GCC would address them from buf and tw, beyond LDRD's
        // reach): each value and each twiddle one pair of loads.
        const int32_t *za = buf + q + 2 * run, *ta = tw + q + 2 * run;
#if defined(__arm__)
        asm("" : "+r"(za), "+r"(ta));
#endif
        for (int k = 0; k < passes; ++k, za += 2, ta += 2)
            store_pair(pq, 2 * k, rotate_conj(load(za, 0), ta[0], ta[1]));
        const int32_t *zb = buf + q - 2 * (run + passes), *tb = tw + q - 2 * (run + passes);
#if defined(__arm__)
        asm("" : "+r"(zb), "+r"(tb));
#endif
        for (int k = passes - 1; k >= 0; --k, zb += 2, tb += 2) {
            const Complex b = rotate_conj(load(zb, 0), tb[0], tb[1]);
            store_pair(pq, 2 * k + 1, {b.im, b.re});
        }
        const int32_t* const end = pq + 4 * passes;
        int n = 2 * run;
        for (const int32_t* v = pq; v < end; v += 2, ++n) lo(n, fx::neg_wrap(v[0]), v[1]);
        n = 2 * q - 1 - 2 * run;
        for (const int32_t* v = pq; v < end; v += 2, --n) hi(n, v[0], v[1]);
    }
}

// rotate_conj, the real half made before the imaginary one is begun: on
// 32-bit ARM fewer values alive at once.
inline Complex rotate_conj_halves(Complex z, int32_t c, int32_t s) {
    int32_t re = fx::rshr64_wrap(rotate_re(z, c, s), 31);
#if defined(__arm__)
    asm("" : "+r"(re), "+r"(z.re), "+r"(z.im));
#endif
    return {re, fx::rshr64_neg_wrap(rotate_im(z, c, s), 31)};
}

// A long block's passes go in pairs of runs: passes r .. r+kRun-1 (run A)
// and 256-r-kRun .. 255-r (run B), whose a and b values are the slots j and
// j + 256 of the FFT's last-stage butterflies j = r .. r+kRun-1 and
// 256-r-kRun .. 255-r: butterfly j's slot j + 256 is the a value of pass j,
// its slot j the b value of pass 255 - j. So where the table's FFT is
// fft_exact, the transform stops before its last stage
// (fft_exact_first_stages) and the pairs make it on the way, each
// butterfly's two results turned at once by their post-twiddles: the same
// values fft_exact would have stored, without storing and loading them
// again, in one loop where there were three. Otherwise the slots are read
// as the FFT left them. (The coefficients, the transform's scratch, are
// left as they are then: the last stage is not stored.)
//
// run_half<kHigh> makes the P, Q pairs of the butterflies j, j + 1, ...
// (kHigh: j, j - 1, ..., the upper ones, above 127, whose twiddles are
// fft_tw's pair j - 128 times -i), or of their slots as they are (fused
// false), each A entry from pa up to end and each B entry from pb down:
// the low butterflies give A's a values and B's b values, the high ones
// B's a values and A's b values. The loop keeps five pointers: each
// value's second slot, and its post-twiddle, 2048 bytes on from the first
// are beyond LDRD's reach (1020 bytes), so on 32-bit ARM they come as two
// plain loads from the same pointer (whose offsets reach 4095), the first
// ones as one LDRD each.
template <bool kHigh>
__attribute__((noinline)) void run_half(const int32_t* buf, int j, int32_t* pa, const int32_t* end, int32_t* pb,
                                        bool fused) {
    constexpr int step = kHigh ? -2 : 2;
    const int32_t* x = buf + 2 * j;
    const int32_t* pt = imdct_twiddle2048_q31 + 2 * j;
    const int32_t* ft = fft_twiddle_q31 + 2 * (kHigh ? j - 128 : j);
    // Butterfly k on from the pointers (k = 0 .. 3), or its slots as they
    // are (butterfly false).
    auto make = [&](int k, bool butterfly) {
        const int32_t *xk = x + step * k, *pk = pt + step * k;
        Complex lo, hi;  // slots j and j + 256
        if (butterfly) {
            Complex t = rotate(load_pair(xk, 256), ft[step * k], ft[step * k + 1]);
            if constexpr (kHigh) t = times_minus_i(t);
            const Complex u = load_pair(xk, 0);
            lo = add(u, t), hi = sub(u, t);
        } else {
            lo = load(xk, 0), hi = load(xk, 256);
        }
        store_pair(kHigh ? pb - 4 * k : pa + 4 * k, 0, rotate_conj_halves(hi, pk[512], pk[513]));
        const Complex b = rotate_conj_halves(lo, pk[0], pk[1]);
        store_pair(kHigh ? pa + 4 * k : pb - 4 * k, 1, {b.im, b.re});
    };
    if (fused) {
        // Four butterflies a step (a whole run is a multiple of four of
        // them), until pa and pb meet: the loop needs no end of its own.
        static_assert(kRun % 4 == 0);
        for (; pa < pb; pa += 16, pb -= 16, x += 4 * step, pt += 4 * step, ft += 4 * step)
            make(0, true), make(1, true), make(2, true), make(3, true);
    } else {
        for (; pa < end; pa += 4, pb -= 4, x += step, pt += step) make(0, false);
    }
}

// The P, Q pairs of the runs at r: A's kRun entries at pq, then B's. The
// butterflies j = 0 and 128, whose twiddles are exactly 1 and -i, are
// already done in place (fft_exact_first_stages): the fused halves that
// hold them make wrong entries for them, which the plain steps after them
// make again from the slots.
void run_pair(const int32_t* buf, int r, int32_t* pq, bool fused) {
    int32_t *const mid = pq + 4 * kRun, *const last = mid + 4 * kRun - 4;
    run_half<false>(buf, r, pq, mid, last, fused);
    run_half<true>(buf, 255 - r, pq, mid, last, fused);
    if (!fused) return;
    if (r == 0) run_half<false>(buf, 0, pq, pq + 4, last, false);
    if (r == 128 - kRun) run_half<true>(buf, 128, mid - 4, mid, mid, false);
}

// The long block's passes, the run at 224 (B of the first pair, where the
// start and stop windows have their short slopes) through lo_edge and
// hi_edge, a sample a step (these are rare), the others through lo and hi;
// where the edge's sinks are lo and hi themselves (the same types), every
// run alike.
template <bool kTwoAStep, class Lo, class Hi, class LoEdge, class HiEdge>
void long_output(const int32_t* buf, bool fused, Lo lo, Hi hi, LoEdge lo_edge, HiEdge hi_edge) {
    constexpr bool kEdge = !std::is_same_v<Lo, LoEdge> || !std::is_same_v<Hi, HiEdge>;
    int32_t pq[8 * kRun];
    for (int v = 0; v < 256 / kRun; ++v) {
        const int r = v / 2 * kRun, side = v & 1, run = side ? 256 - r - kRun : r;
        if (!side) run_pair(buf, r, pq, fused);
        if (kEdge && run == 256 - kRun) run_samples<false>(pq + 4 * kRun, 512, run, kRun, lo_edge, hi_edge);
        else run_samples<kTwoAStep>(pq + 4 * kRun * side, 512, run, kRun, lo, hi);
    }
}
template <bool kTwoAStep, class Lo, class Hi>
void long_output(const int32_t* buf, bool fused, Lo lo, Hi hi) {
    long_output<kTwoAStep>(buf, fused, lo, hi, lo, hi);
}

// The first steps of a long block's transform: the pre-twiddle and the FFT
// through the table, the FFT's last stage but for its two exact butterflies
// left to the output pass where the table's FFT is fft_exact (returns
// true).
bool long_transform(int32_t* coef) {
    kernels.pre_twiddle(coef, 2048);
    if (kernels.fft != fft_exact) {
        kernels.fft(coef, 512);
        return false;
    }
    fft_exact_first_stages(coef, 512);
    return true;
}

// Window weights, v w[n] for sample n of a half: 0, 1.0, a rising table
// from n = from (t[n - from]), a falling one ending before n = to
// (t[to - 1 - n]).
struct Zero {
    int32_t operator()(int, int32_t) const { return 0; }
};
struct One {
    int32_t operator()(int, int32_t v) const { return v; }
};
struct Up {
    const int32_t* t;
    int from;
    int32_t operator()(int n, int32_t v) const { return fx::mul_q31(v, t[n - from]); }
    // q12_to_pcm16(add_sat(o, (*this)(n, v))) as one 64-bit multiply-add
    // and its high word: with S = o + round(v w / 2^31), the sum exactly,
    // that is sat16(floor((S + 2^11) / 2^12)) (a sum either 32-bit
    // saturation clamps lies outside the 16-bit range after the shift,
    // clamped or not, so sat16 gives the same), and S + 2^11 times 2^31,
    // with the rounding term and the remainder of v w (below 2^31, too
    // small to move the quotient by 2^43), is o 2^31 + v w + 2^30 + 2^42.
    // (The accumulator's words: o's lowest bit at bit 31 with the rounding
    // term, and o's others with 2^10 above.)
    int16_t pcm16_after(int n, int32_t o, int32_t v) const {
        const uint32_t lo = static_cast<uint32_t>(fx::shl_wrap(o, 31)) | (1u << 30);
        const uint32_t hi = static_cast<uint32_t>(fx::add_wrap(fx::asr(o, 1), 1 << 10));
        const int64_t acc = static_cast<int64_t>(static_cast<uint64_t>(hi) << 32 | lo);
        return fx::sat16(fx::asr64_hi(fx::mac64(acc, v, t[n - from]), 11));
    }
};
struct Down {
    const int32_t* t;
    int to;
    int32_t operator()(int n, int32_t v) const { return fx::mul_q31(v, t[to - 1 - n]); }
};

const int32_t* long_table(int shape) { return shape ? kbd_long_q31 : sine_long_q31; }
const int32_t* short_table(int shape) { return shape ? kbd_short_q31 : sine_short_q31; }

// The output passes of a long block after its transform: sink(rise, fall)
// makes the function that takes sample n of both halves (x of the first,
// weighted by the rising window, y of the second, by the falling one). The
// start and stop windows' halves are 0 or 1.0 up to n = 448 and from n = 576
// with the short table between: passes below 224 reach only those flat
// parts. long_passes runs output_passes (the downmix's long blocks);
// long_windows below chooses the same windows for long_output. (long_passes
// written through long_windows made the LC-only plug-in on 32-bit ARM 632
// bytes longer: GCC inlines the passes differently there.)
template <class MakeSink>
void long_passes(uint8_t seq, int shape, int prev, const int32_t* coef, const MakeSink sink) {
    const Up rise{long_table(prev), 0};
    const Down fall{long_table(shape), 1024};
    if (seq == LONG_START_SEQUENCE) {
        const Down edge{short_table(shape), 576};
        output_passes(coef, 512, 0, 224, sink(rise, One{}), sink(rise, Zero{}));
        output_passes(coef, 512, 224, 256, sink(rise, edge), sink(rise, edge));
    } else if (seq == LONG_STOP_SEQUENCE) {
        const Up edge{short_table(prev), 448};
        output_passes(coef, 512, 0, 224, sink(Zero{}, fall), sink(One{}, fall));
        output_passes(coef, 512, 224, 256, sink(edge, fall), sink(edge, fall));
    } else {
        output_passes(coef, 512, 0, 256, sink(rise, fall), sink(rise, fall));
    }
}

// The same windows for the run pairs of long_output: out(lo, hi, lo_edge,
// hi_edge) with the start and stop windows' sinks of passes below 224 and
// of the rest, out(lo, hi) with the sinks of every pass of the others.
template <class MakeSink, class Out>
void long_windows(uint8_t seq, int shape, int prev, const MakeSink sink, Out out) {
    const Up rise{long_table(prev), 0};
    const Down fall{long_table(shape), 1024};
    if (seq == LONG_START_SEQUENCE) {
        const Down edge{short_table(shape), 576};
        out(sink(rise, One{}), sink(rise, Zero{}), sink(rise, edge), sink(rise, edge));
    } else if (seq == LONG_STOP_SEQUENCE) {
        const Up edge{short_table(prev), 448};
        out(sink(Zero{}, fall), sink(One{}, fall), sink(edge, fall), sink(edge, fall));
    } else {
        out(sink(rise, fall), sink(rise, fall));
    }
}

// A long block in one pass: sample n of the first half, weighted by the
// rising window, adds to the overlap and goes out as PCM; the second half's,
// weighted by the falling one, becomes the new overlap at n.
//
// The sinks hold copies of the pointers and of the PCM store: a PCM store
// may alias anything (int16_shared), so nothing they use is read back from
// memory after one.
#if defined(__arm__)
constexpr bool kFusedPcm16 = true;
#else
constexpr bool kFusedPcm16 = false;
#endif
// A sink's fused 16-bit store, called with a value that depends on the
// window's type, so that sinks without one are never asked for it.
template <class Put>
inline void put_pcm16(const Put& put, int n, int16_t v) {
    put.pcm16(n, v);
}

template <class Put>
void long_block(uint8_t seq, int shape, int prev, int32_t* coef, int32_t* overlap, const Put put) {
    const bool fused = long_transform(coef);
    long_windows(seq, shape, prev, [overlap, put](auto rise, auto fall) {
        return [overlap, put, rise, fall](int n, int32_t x, int32_t y) {
            if constexpr (kFusedPcm16 && Put::kPcm16 && std::is_same_v<std::decay_t<decltype(rise)>, Up>)
                put_pcm16(put, n, rise.pcm16_after(n, overlap[n], x));
            else
                put(n, fx::add_sat(overlap[n], rise(n, x)));
            overlap[n] = fall(n, y);
        };
    }, [coef, fused](auto... sinks) { long_output<kFusedPcm16 && Put::kPcm16>(coef, fused, sinks...); });
}

// Eight short windows at 448 + 128 w: each window's rising half adds to the
// previous one's falling half (carry). Samples before 1024 go out with the
// old overlap, later ones become the new overlap; every old overlap sample
// is read before its slot is written (window 4 straddles 1024 at n = 64).
template <class Put>
void short_blocks(int shape, int prev, int32_t* coef, int32_t* overlap, const Put put) {
    for (int n = 0; n < 448; ++n) put(n, overlap[n]);
    int32_t carry[128] = {};
    const Down fall{short_table(shape), 128};
    for (int w = 0; w < 8; ++w) {
        int32_t* u = coef + 128 * w;
        kernels.pre_twiddle(u, 256);
        kernels.fft(u, 64);
        const Up rise{short_table(w == 0 ? prev : shape), 0};
        const int start = 448 + 128 * w;
        int32_t* const c = carry;
        auto to_out = [overlap, put, c, start, rise, fall](int n, int32_t x, int32_t y) {
            const int t = start + n;
            put(t, fx::add_sat(overlap[t], fx::add_sat(c[n], rise(n, x))));
            c[n] = fall(n, y);
        };
        auto to_overlap = [overlap, c, start, rise, fall](int n, int32_t x, int32_t y) {
            overlap[start + n - 1024] = fx::add_sat(c[n], rise(n, x));
            c[n] = fall(n, y);
        };
        if (w < 4) output_passes(u, 64, 0, 32, to_out, to_out);
        else if (w == 4) output_passes(u, 64, 0, 32, to_out, to_overlap);
        else output_passes(u, 64, 0, 32, to_overlap, to_overlap);
    }
    std::memcpy(overlap + 448, carry, sizeof carry);
    std::memset(overlap + 576, 0, 448 * sizeof(int32_t));
}

// PCM stores of the Q12 output: into one slot of stereo frames (the
// decoder's blocks), any layout (native layouts' frames), or 32-bit samples.
// kPcm16: stores 16-bit samples, which pcm16(k, s) takes made.
struct SlotPut {
    static constexpr bool kPcm16 = true;
    int16_shared* at;
    void operator()(int k, int32_t v) const { pcm16(k, q12_to_pcm16(v)); }
    void pcm16(int k, int16_t s) const { at[2 * k] = s; }
};
struct AnyPut {
    static constexpr bool kPcm16 = true;
    PcmOut out;
    void operator()(int k, int32_t v) const { pcm16(k, q12_to_pcm16(v)); }
    void pcm16(int k, int16_t s) const { put_pcm(out, k, s); }
};
struct WidePut {
    static constexpr bool kPcm16 = false;
    PcmOut out;
    void operator()(int k, int32_t v) const {
        int32_t* p = out.wide + k * out.step;
        p[0] = q12_to_pcm32(v);
        if (out.pair) p[1] = p[0];
    }
};

// The Q12 time samples themselves.
struct TimePut {
    static constexpr bool kPcm16 = false;
    int32_t* at;
    void operator()(int k, int32_t v) const { at[k] = v; }
};

template <class Put>
void synthesise(uint8_t window_sequence, int shape, int prev, int32_t* coef, int32_t* overlap, const Put put) {
    if ((window_sequence & 3) == EIGHT_SHORT_SEQUENCE) short_blocks(shape, prev, coef, overlap, put);
    else long_block(window_sequence & 3, shape, prev, coef, overlap, put);
}

}  // namespace

void synthesise_channel(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                        OverlapSample* overlap, PcmOut out) {
    (void)first_block;  // short windows always sit at their standard place
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    // Time samples feed SBR alone: a build without it has none to give.
    if (kSbrBuilt && out.time) {
        synthesise(window_sequence, shape, prev, coef, overlap, TimePut{out.time});
    } else {
        // One output pass for every case: a dropped channel (step 0) stores
        // sample n into word n of its own overlap, after the pass has read
        // that word and before it takes its new value (every word of the
        // overlap is written whole by the end of the block); a mono block
        // (pair) fills the left slots, then its right ones are copied.
        int16_shared* const at = out.step ? out.at : shared16(overlap);
        synthesise(window_sequence, shape, prev, coef, overlap, SlotPut{at});
        if (out.pair)
            for (int k = 0; k < 2048; k += 2) at[k + 1] = at[k];
    }
    wnd_shape[1] = wnd_shape[0];
}

void synthesise_channel_any(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                            OverlapSample* overlap, PcmOut out) {
    (void)first_block;
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    if (out.wide) synthesise(window_sequence, shape, prev, coef, overlap, WidePut{out});
    else synthesise(window_sequence, shape, prev, coef, overlap, AnyPut{out});
    wnd_shape[1] = wnd_shape[0];
}

namespace {

// v g / 2^30, rounded: |g| <= 2^30, so it never leaves 32 bits.
inline int32_t gain_q30(int32_t v, int32_t g) { return fx::rshr64(fx::mac64(0, v, g), 30); }

// The sums a channel adds to: both sides (kSides 3), or one (kSides 1, the
// sums and gain of that side first, whichever it is), when the other's gain
// is 0 (a front or surround channel of a pair).
template <int kSides>
struct MixSums {
    int32_t* head0;
    int32_t* head1;
    int32_t* tail0;
    int32_t* tail1;
    int32_t g0, g1;
    // v into sample n of the first half (head) or of the second (tail).
    void add(int32_t* s0, int32_t* s1, int n, int32_t v) const {
        if (kSides & 1) s0[n] = fx::add_sat(s0[n], gain_q30(v, g0));
        if (kSides & 2) s1[n] = fx::add_sat(s1[n], gain_q30(v, g1));
    }
    void head(int n, int32_t v) const { add(head0, head1, n, v); }
    void tail(int n, int32_t v) const { add(tail0, tail1, n, v); }
    // Sample t of the block's 2048.
    void at(int t, int32_t v) const {
        if (t < 1024) head(t, v);
        else tail(t - 1024, v);
    }
};

template <int kSides>
void mix_channel(uint8_t window_sequence, int shape, int prev, int32_t* coef, const MixSums<kSides> sums) {
    if ((window_sequence & 3) == EIGHT_SHORT_SEQUENCE) {
        // Eight short windows at 448 + 128 w; both halves of each add where
        // they fall, so neighbouring windows overlap-add in the sums.
        const Down fall{short_table(shape), 128};
        for (int w = 0; w < 8; ++w) {
            int32_t* u = coef + 128 * w;
            kernels.pre_twiddle(u, 256);
            kernels.fft(u, 64);
            const Up rise{short_table(w == 0 ? prev : shape), 0};
            const int start = 448 + 128 * w;
            auto sink = [sums, start, rise, fall](int n, int32_t x, int32_t y) {
                sums.at(start + n, rise(n, x));
                sums.at(start + 128 + n, fall(n, y));
            };
            output_passes(u, 64, 0, 32, sink, sink);
        }
        return;
    }
    kernels.pre_twiddle(coef, 2048);
    kernels.fft(coef, 512);
    long_passes(window_sequence & 3, shape, prev, coef, [sums](auto rise, auto fall) {
        return [sums, rise, fall](int n, int32_t x, int32_t y) {
            sums.head(n, rise(n, x));
            sums.tail(n, fall(n, y));
        };
    });
}

}  // namespace

void synthesise_channel_mix(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix) {
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    const int32_t g0 = mix.gain[0], g1 = mix.gain[1];
    if (g1 == 0)
        mix_channel(window_sequence, shape, prev, coef, MixSums<1>{mix.head[0], mix.head[1], mix.tail[0], mix.tail[1], g0, g1});
    else if (g0 == 0)
        mix_channel(window_sequence, shape, prev, coef, MixSums<1>{mix.head[1], mix.head[0], mix.tail[1], mix.tail[0], g1, g0});
    else
        mix_channel(window_sequence, shape, prev, coef, MixSums<3>{mix.head[0], mix.head[1], mix.tail[0], mix.tail[1], g0, g1});
    wnd_shape[1] = wnd_shape[0];
}
