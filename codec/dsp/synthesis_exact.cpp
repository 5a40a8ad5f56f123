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
    const int32_t* tw = is_long ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
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
// = fft_twiddle_q31 at j * 256 / h; the one at j + h/2 is that times -i.
void fft_exact(int32_t* buf, int points) {
    const int rev_step = 512 / points;  // 64-point reversal = 512-point of 8 k
    for (int k = 0; k < points; ++k) {
        const int j = bitrev512[k * rev_step];
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
                const int32_t c = fft_twiddle_q31[j * step], s = fft_twiddle_q31[j * step + 1];
                const int p = base + j, q = p + h / 2;
                butterflies(buf, p, q, h, rotate(load(buf, p + h), c, s), rotate(load(buf, q + h), c, s));
            }
        }
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
