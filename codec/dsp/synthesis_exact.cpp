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

#include "dsp/complex.h"
#include "dsp/filterbank.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

using namespace cx;

namespace {

// z (c - i s), c and s in Q31, each half rounded once. The Q12 headroom
// keeps |z| far below 2^30, where the result could leave 32 bits.
inline Complex rotate(Complex z, int32_t c, int32_t s) {
    return {fx::rshr64(fx::mac64(fx::mac64(0, z.re, c), z.im, s), 31),
            fx::rshr64(fx::mac64(fx::mac64(0, z.im, c), fx::neg_wrap(z.re), s), 31)};
}

// A radix-2 butterfly pair: x +- t and x2 +- u, t = y (c - i s), u = -i y2 (c - i s).
inline void butterflies(int32_t* buf, int p, int q, int h, Complex t, Complex r) {
    const Complex u{r.im, fx::neg_wrap(r.re)};
    const Complex x = load(buf, p), x2 = load(buf, q);
    store(buf, p, add(x, t));
    store(buf, p + h, sub(x, t));
    store(buf, q, add(x2, u));
    store(buf, q + h, sub(x2, u));
}

}  // namespace

// Pre-twiddle z[k] = -(a + i b)(c - i s), a = X[2k], b = X[N/2-1-2k], for
// N = 2048 or 256, in place: the pass for k and N/4-1-k reads exactly the
// four words it writes. Long blocks are shifted right by 3 (rounded) first.
void pre_twiddle_exact(int32_t* buf, int n) {
    const int half = n / 2, quarter = n / 4;
    const bool is_long = n == 2048;
    const int32_t* tw = is_long ? aacdec_imdct_tw2048 : aacdec_imdct_tw256;
    const int shift = is_long ? 3 : 0;
    auto z = [&](int k) {
        int32_t a = buf[2 * k], b = buf[half - 1 - 2 * k];
        if (shift) a = fx::rshr(a, shift), b = fx::rshr(b, shift);
        const Complex r = rotate({a, b}, tw[2 * k], tw[2 * k + 1]);
        return Complex{fx::neg_wrap(r.re), fx::neg_wrap(r.im)};
    };
    for (int k = 0; k < n / 8; ++k) {
        const int kb = quarter - 1 - k;
        const Complex front = z(k), back = z(kb);
        store(buf, k, front);
        store(buf, kb, back);
    }
}

// Forward FFT of `points` (512 or 64) complex values in place, unscaled:
// the bit reversal by swaps, the first two stages as one radix-4 stage,
// then radix-2 stages. The twiddle of half-span h at j is exp(-i pi j / h)
// = fft_tw at j * 256 / h; the one at j + h/2 is that times -i.
void fft_exact(int32_t* buf, int points) {
    const int rev_step = 512 / points;  // 64-point reversal = 512-point of 8 k
    for (int k = 0; k < points; ++k) {
        const int j = aacdec_bitrev512[k * rev_step];
        if (j > k) {
            const Complex t = load(buf, k);
            store(buf, k, load(buf, j));
            store(buf, j, t);
        }
    }
    cx::radix4_first_stage(buf, buf, points);
    for (int h = 4; h <= points / 2; h *= 2) {
        const int step = 2 * (256 / h);
        for (int base = 0; base < points; base += 2 * h) {
            // j = 0: the twiddles are 1 and -i.
            butterflies(buf, base, base + h / 2, h, load(buf, base + h), load(buf, base + h / 2 + h));
            for (int j = 1; j < h / 2; ++j) {
                const int32_t c = aacdec_fft_tw[j * step], s = aacdec_fft_tw[j * step + 1];
                const int p = base + j, q = p + h / 2;
                butterflies(buf, p, q, h, rotate(load(buf, p + h), c, s), rotate(load(buf, q + h), c, s));
            }
        }
    }
}

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

const int32_t* post_table(int n) { return n == 2048 ? aacdec_imdct_tw2048 : aacdec_imdct_tw256; }

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
// with u[q-1-2i] = re a, u[q+2i] = -im a, u[q+1+2i] = re b, u[q-2-2i] = -im b.
// The pass reads only the four words of its own two complex values.
template <class Lo, class Hi>
inline void output_passes(const int32_t* buf, int q, int i0, int i1, Lo lo, Hi hi) {
    const int32_t* tw = post_table(4 * q);
    for (int i = i0; i < i1; ++i) {
        const TwiddledPair p = post_pair(buf, tw, q / 2, i);
        const int32_t a_re = p.a.re, a_im = fx::neg_wrap(p.a.im), b_re = p.b.re, b_im = fx::neg_wrap(p.b.im);
        lo(2 * i, fx::neg_wrap(a_re), a_im);
        lo(2 * i + 1, fx::neg_wrap(b_im), b_re);
        hi(2 * q - 2 - 2 * i, b_im, b_re);
        hi(2 * q - 1 - 2 * i, a_re, a_im);
    }
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
};
struct Down {
    const int32_t* t;
    int to;
    int32_t operator()(int n, int32_t v) const { return fx::mul_q31(v, t[to - 1 - n]); }
};

// Q12 to a PCM sample: add 2^11, shift right by 12, saturate.
inline int16_t to_pcm(int32_t v) { return fx::sat16(fx::asr(fx::add_sat(v, 2048), 12)); }

const int32_t* long_table(int shape) { return shape ? aacdec_kbd_long : aacdec_sine_long; }
const int32_t* short_table(int shape) { return shape ? aacdec_kbd_short : aacdec_sine_short; }

// A long block in one pass: sample n of the first half, weighted by the
// rising window, adds to the overlap and goes out as PCM; the second half's,
// weighted by the falling one, becomes the new overlap at n. The start and
// stop windows' halves are 0 or 1.0 up to n = 448 and from n = 576 with the
// short table between: passes below 224 reach only those flat parts.
//
// The sinks hold copies of the pointers and of the PCM store: a PCM store
// may alias anything (int16_shared), so nothing they use is read back from
// memory after one.
template <class Put>
void long_block(uint8_t seq, int shape, int prev, int32_t* coef, int32_t* overlap, const Put put) {
    kernels.pre_twiddle(coef, 2048);
    kernels.fft(coef, 512);
    auto sink = [overlap, put](auto rise, auto fall) {
        return [overlap, put, rise, fall](int n, int32_t x, int32_t y) {
            put(n, to_pcm(fx::add_sat(overlap[n], rise(n, x))));
            overlap[n] = fall(n, y);
        };
    };
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

// Eight short windows at 448 + 128 w: each window's rising half adds to the
// previous one's falling half (carry). Samples before 1024 go out with the
// old overlap, later ones become the new overlap; every old overlap sample
// is read before its slot is written (window 4 straddles 1024 at n = 64).
template <class Put>
void short_blocks(int shape, int prev, int32_t* coef, int32_t* overlap, const Put put) {
    for (int n = 0; n < 448; ++n) put(n, to_pcm(overlap[n]));
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
            put(t, to_pcm(fx::add_sat(overlap[t], fx::add_sat(c[n], rise(n, x)))));
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

// PCM stores: into one slot of stereo frames (the decoder's stereo blocks),
// or any layout.
struct SlotPut {
    int16_shared* at;
    void operator()(int k, int16_t v) const { at[2 * k] = v; }
};
struct AnyPut {
    PcmOut out;
    void operator()(int k, int16_t v) const { put_pcm(out, k, v); }
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
    if (out.step == 2 && !out.pair) synthesise(window_sequence, shape, prev, coef, overlap, SlotPut{out.at});
    else synthesise(window_sequence, shape, prev, coef, overlap, AnyPut{out});
    wnd_shape[1] = wnd_shape[0];
}

void synthesise_channel_with(LongPass long_pass, uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape,
                             int32_t* coef, OverlapSample* overlap, PcmOut out) {
    if ((window_sequence & 3) != ONLY_LONG_SEQUENCE || out.step != 2) {
        synthesise_channel(first_block, window_sequence, wnd_shape, coef, overlap, out);
        return;
    }
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    kernels.pre_twiddle(coef, 2048);
    kernels.fft(coef, 512);
    long_pass(coef, long_table(prev), long_table(shape), overlap, out);
    wnd_shape[1] = wnd_shape[0];
}
