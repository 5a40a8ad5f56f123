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

#include "dsp/bitrev_pairs.h"
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

// Pre-twiddle z[k] = -(a + i b)(c - i s), a = X[2k], b = X[N/2-1-2k], for
// N = 2048 or 256, in place, each z[k] stored at the bit reversal of k: the
// order the FFT reads (see for_bit_reversed_pairs). Long blocks are shifted
// right by 3 (rounded) first.
template <bool kLong>
void pre_twiddle_n(int32_t* buf) {
    constexpr int n = kLong ? 2048 : 256, half = n / 2, points = n / 4;
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    auto z = [&](int k) {
        int32_t a = buf[2 * k], b = buf[half - 1 - 2 * k];
        if (kLong) a = fx::rshr(a, 3), b = fx::rshr(b, 3);
        const Complex r = rotate({a, b}, tw[2 * k], tw[2 * k + 1]);
        return Complex{fx::neg_wrap(r.re), fx::neg_wrap(r.im)};
    };
    for_bit_reversed_pairs(points, [&](int k, int r, int m, int rm) {
        const Complex front = z(k), back = z(points - 1 - k);
        if (m > k) {
            const Complex front_m = z(m), back_m = z(points - 1 - m);
            store(buf, rm, front_m);
            store(buf, points - 1 - rm, back_m);
        }
        store(buf, r, front);
        store(buf, points - 1 - r, back);
    });
}

}  // namespace

void pre_twiddle_exact(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}

namespace {

inline Complex times_minus_i(Complex z) { return {z.im, fx::neg_wrap(z.re)}; }

// Two radix-2 stages over the points p, p + L, p + 2L, p + 3L (L = quarter):
// the first combines p with p + L and p + 2L with p + 3L, the odd ones
// multiplied by first(); the second combines the results at p with p + 2L
// (that at p + 2L multiplied by second()) and p + L with p + 3L (times
// second() and -i).
template <typename First, typename Second>
inline void radix4_points(int32_t* buf, int p, int quarter, First first, Second second) {
    const Complex x0 = load(buf, p), x1 = first(load(buf, p + quarter));
    const Complex x2 = load(buf, p + 2 * quarter), x3 = first(load(buf, p + 3 * quarter));
    const Complex a0 = add(x0, x1), a1 = sub(x0, x1);
    const Complex a2 = second(add(x2, x3)), a3 = times_minus_i(second(sub(x2, x3)));
    store(buf, p, add(a0, a2));
    store(buf, p + 2 * quarter, sub(a0, a2));
    store(buf, p + quarter, add(a1, a3));
    store(buf, p + 3 * quarter, sub(a1, a3));
}

// The radix-2 stages of half-spans L and 2L as one pass over groups of 4L.
// The first stage's twiddle at j is exp(-i pi j / L), for j >= L/2 that of
// j - L/2 times -i; the second's exp(-i pi j / 2L), times -i for the points at
// p + L. Twiddles of 1 and -i are exact: no product at j = 0.
void radix4_pass(int32_t* buf, int points, int quarter) {
    const int half = quarter / 2;
    const int32_t* w = fft_r4_twiddle_q31 + (quarter - 4);
    auto same = [](Complex z) { return z; };
    auto by = [](const int32_t* t) { return [c = t[0], s = t[1]](Complex z) { return rotate(z, c, s); }; };
    for (int base = 0; base < points; base += 4 * quarter) {
        radix4_points(buf, base, quarter, same, same);
        radix4_points(buf, base + half, quarter, times_minus_i, by(w + 2 * quarter));
    }
    for (int j = 1; j < half; ++j) {
        const auto first = by(w + 2 * j), second = by(w + quarter + 2 * j), third = by(w + 2 * quarter + 2 * j);
        auto first_minus_i = [&](Complex z) { return times_minus_i(first(z)); };
        for (int base = 0; base < points; base += 4 * quarter) {
            radix4_points(buf, base + j, quarter, first, second);
            radix4_points(buf, base + j + half, quarter, first_minus_i, third);
        }
    }
}

}  // namespace

// Forward FFT of `points` (512 or 64) complex values in place, unscaled, from
// the bit-reversed order pre_twiddle_exact leaves: the first two stages as
// one radix-4 stage of exact additions, the next pairs of radix-2 stages as
// radix-4 passes, then (512 points) the last radix-2 stage. The twiddle of
// half-span h at j is exp(-i pi j / h) = fft_tw at j * 256 / h; the one at
// j + h/2 is that times -i.
void fft_exact(int32_t* buf, int points) {
    cx::radix4_first_stage(buf, buf, points);
    int quarter = 4;
    for (; 4 * quarter <= points; quarter *= 4) radix4_pass(buf, points, quarter);
    if (quarter == points) return;
    const int h = quarter;  // points = 2h: one group
    butterflies(buf, 0, h / 2, h, load(buf, h), load(buf, h / 2 + h));
    const int step = 2 * (256 / h);
    for (int j = 1; j < h / 2; ++j) {
        const int32_t c = fft_twiddle_q31[j * step], s = fft_twiddle_q31[j * step + 1];
        butterflies(buf, j, j + h / 2, h, rotate(load(buf, j + h), c, s), rotate(load(buf, j + h / 2 + h), c, s));
    }
}

// Post-twiddle of N = 2048 or 256: samples re(z (c - i s)) and
// -im(z (c - i s)); each pass reads two complex values and writes the same
// four words. Out: u[m] = x[N/4 + m], m = 0..N/2-1, the middle half of the
// N time samples; the rest follow by symmetry: x[N/4 - 1 - m] = -u[m],
// x[3N/4 + m] = u[N/2 - 1 - m].
void post_twiddle_exact(int32_t* buf, int n) {
    const int32_t* tw = n == 2048 ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    const int quarter = n / 4, eighth = n / 8;
    for (int i = 0; i < eighth; ++i) {
        const int ia = eighth + i, ib = eighth - 1 - i;
        const Complex a = rotate(load(buf, ia), tw[2 * ia], tw[2 * ia + 1]);
        const Complex b = rotate(load(buf, ib), tw[2 * ib], tw[2 * ib + 1]);
        buf[quarter - 1 - 2 * i] = a.re;
        buf[quarter + 2 * i] = fx::neg_wrap(a.im);
        buf[quarter + 2 * i + 1] = b.re;
        buf[quarter - 2 - 2 * i] = fx::neg_wrap(b.im);
    }
}

namespace {

// Inverse MDCT of N/2 coefficients (N = 2048 or 256) in place, through the
// kernel table; out as post_twiddle_exact.
void imdct(int32_t* buf, int n) {
    kernels.pre_twiddle(buf, n);
    kernels.fft(buf, n / 4);
    kernels.post_twiddle(buf, n);
}

// A window half over 2q samples: `lead` samples of 0 (rising) or 1.0
// (falling), then `len` values of a rising table (read backwards when
// falling), then 1.0 (rising) or 0 (falling) to the end; lead = 0, len = 2q
// for the plain halves, lead = 448, len = 128 for the start and stop
// windows.
struct Half {
    const int32_t* table;
    int lead, len;
};

// Calls out(n, x[n] w[n]) for the 2q samples of the first (second = false) or
// second half of a block, x from u (see imdct): first half x[n] = -u[q-1-n]
// for n < q, u[n-q] after; second half x[n] = u[q+n] for n < q, u[3q-1-n]
// after. Every sample in order of n, in branch-free runs.
template <typename Out>
inline void weigh(const int32_t* u, int q, bool second, const Half& h, bool rising, Out out) {
    // A run [n0, n1) on one side of q with a constant weight kind.
    auto run = [&](int n0, int n1, auto weight) {
        const int m = n1 < q ? n1 : (n0 > q ? n0 : q);
        if (second) {
            for (int n = n0; n < m; ++n) out(n, weight(n, u[q + n]));
            for (int n = m; n < n1; ++n) out(n, weight(n, u[3 * q - 1 - n]));
        } else {
            for (int n = n0; n < m; ++n) out(n, weight(n, fx::neg_wrap(u[q - 1 - n])));
            for (int n = m; n < n1; ++n) out(n, weight(n, u[n - q]));
        }
    };
    const int end = 2 * q, a = h.lead, b = h.lead + h.len;
    auto zero = [](int, int32_t) { return int32_t{0}; };
    auto one = [](int, int32_t v) { return v; };
    auto up = [&](int n, int32_t v) { return fx::mul_q31(v, h.table[n - a]); };
    auto down = [&](int n, int32_t v) { return fx::mul_q31(v, h.table[b - 1 - n]); };
    if (rising) {
        run(0, a, zero);
        run(a, b, up);
        run(b, end, one);
    } else {
        run(0, a, one);
        run(a, b, down);
        run(b, end, zero);
    }
}

// Q12 to a PCM sample: add 2^11, shift right by 12, saturate.
inline int16_t to_pcm(int32_t v) { return fx::sat16(fx::asr(fx::add_sat(v, 2048), 12)); }

Half long_half(int shape) { return {shape ? kbd_long_q31 : sine_long_q31, 0, 1024}; }
Half edge_half(int shape) { return {shape ? kbd_short_q31 : sine_short_q31, 448, 128}; }
Half short_half(int shape) { return {shape ? kbd_short_q31 : sine_short_q31, 0, 128}; }

void long_block(uint8_t seq, int shape, int prev, int32_t* coef, int32_t* overlap, int16_t* pcm) {
    imdct(coef, 2048);
    const Half rise = seq == LONG_STOP_SEQUENCE ? edge_half(prev) : long_half(prev);
    const Half fall = seq == LONG_START_SEQUENCE ? edge_half(shape) : long_half(shape);
    weigh(coef, 512, false, rise, true, [&](int n, int32_t v) { pcm[n] = to_pcm(fx::add_sat(overlap[n], v)); });
    weigh(coef, 512, true, fall, false, [&](int n, int32_t v) { overlap[n] = v; });
}

// Eight short windows at 448 + 128 w: each window's rising half adds to the
// previous one's falling half (carry). Samples before 1024 go out with the
// old overlap, later ones become the new overlap; every old overlap sample
// is read before its slot is written.
void short_blocks(int shape, int prev, int32_t* coef, int32_t* overlap, int16_t* pcm) {
    for (int n = 0; n < 448; ++n) pcm[n] = to_pcm(overlap[n]);
    auto emit = [&](int t, int32_t v) {
        if (t < 1024) pcm[t] = to_pcm(fx::add_sat(overlap[t], v));
        else overlap[t - 1024] = v;
    };
    int32_t carry[128] = {};
    const Half fall = short_half(shape);
    for (int w = 0; w < 8; ++w) {
        int32_t* u = coef + 128 * w;
        imdct(u, 256);
        const int start = 448 + 128 * w;
        weigh(u, 64, false, short_half(w == 0 ? prev : shape), true,
              [&](int n, int32_t v) { emit(start + n, fx::add_sat(carry[n], v)); });
        weigh(u, 64, true, fall, false, [&](int n, int32_t v) { carry[n] = v; });
    }
    for (int n = 0; n < 128; ++n) emit(1472 + n, carry[n]);
    std::memset(overlap + 576, 0, 448 * sizeof(int32_t));
}

}  // namespace

void synthesise_channel(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                        OverlapSample* overlap, int16_shared* pcm) {
    (void)first_block;  // short windows always sit at their standard place
    // The PCM may lie over the coefficients (the first channel's output
    // buffer is its coefficient buffer), so it is built aside.
    int16_t out[1024];
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    if ((window_sequence & 3) == EIGHT_SHORT_SEQUENCE) short_blocks(shape, prev, coef, overlap, out);
    else long_block(window_sequence & 3, shape, prev, coef, overlap, out);
    wnd_shape[1] = wnd_shape[0];
    std::memcpy(pcm, out, sizeof out);
}
