// Inverse MDCT of the compact arithmetic: pre-twiddle, complex FFT,
// post-twiddle (the window halves and the filter bank around it are in
// dsp/synthesis_compact.cpp).
//
// Products are high-half products P(a, c) = floor(a * c / 65536) of a 32-bit
// value and a Q15 table value: a Q15 factor scales by half its value, and the
// routines double afterwards. Nothing here saturates except the post-twiddle's
// doubling of the long transform.
#include "dsp/imdct_compact.h"

#include "dsp/complex.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "tables/filterbank_tables.h"

using fx::add_wrap;
using fx::mul32x16_hb;
using fx::mul32x16_ht;
using fx::neg_wrap;
using fx::shl_wrap;
using fx::sub_wrap;

namespace {

using cx::add;
using cx::Complex;
using cx::load;
using cx::store;
using cx::sub;

// High-half products by the cosine (bottom half) and sine (top half) of a
// packed twiddle word.
inline int32_t by_c(int32_t a, uint32_t w) { return mul32x16_hb(a, w); }
inline int32_t by_s(int32_t a, uint32_t w) { return mul32x16_ht(a, w); }

// -(a + i b)(c - i s) / 32768.
inline Complex pre(int32_t a, int32_t b, uint32_t w) {
    return {neg_wrap(shl_wrap(add_wrap(by_c(a, w), by_s(b, w)), 1)),
            shl_wrap(add_wrap(by_c(neg_wrap(b), w), by_s(a, w)), 1)};
}

// The two halves of z (c - i s), doubled with saturation.
inline int32_t post_p(Complex z, uint32_t w) {
    return fx::sat32(2 * static_cast<int64_t>(by_c(z.re, w) + by_s(z.im, w)));
}
inline int32_t post_q(Complex z, uint32_t w) {
    return fx::sat32(2 * static_cast<int64_t>(by_c(neg_wrap(z.im), w) + by_s(z.re, w)));
}

template <int Shift>
void post_twiddle(int32_t* data, int n, const uint32_t* table) {
    int16_shared* y = shared16(data);
    const int eighth = n / 8, quarter = n / 4, half = n / 2;
    // Each pass reads its two inputs before writing; later passes read
    // further out than any earlier write reaches.
    for (int i = 0; i < eighth; ++i) {
        const int ia = eighth + i, ib = eighth - 1 - i;
        const Complex a = load(data, ia), b = load(data, ib);
        const int32_t pa = post_p(a, table[ia]), qa = post_q(a, table[ia]);
        const int32_t pb = post_p(b, table[ib]), qb = post_q(b, table[ib]);
        y[half - 1 - 2 * i] = fx::wrap16(pa >> Shift);
        y[half + 2 * i] = fx::wrap16(qa >> Shift);
        y[half + 2 * i + 1] = fx::wrap16(pb >> Shift);
        y[half - 2 - 2 * i] = fx::wrap16(qb >> Shift);
    }
    // Even extension at the end, odd extension at the start.
    for (int m = 0; m < quarter; ++m) {
        y[3 * quarter + m] = y[3 * quarter - 1 - m];
        y[quarter - 1 - m] = fx::wrap16(-y[quarter + m]);
    }
}

}  // namespace

void aacdec_pre_twiddle_arm_opt(int32_t* in, int32_t* out, const uint32_t* table, int n) {
    const int half = n / 2, quarter = n / 4;
    // z[k] from the front and z[N/4-1-k] from the back: the four inputs of a
    // pass are exactly the four words it writes.
    for (int k = 0; k < n / 8; ++k) {
        const int kb = quarter - 1 - k;
        const Complex front = pre(in[2 * k], in[half - 1 - 2 * k], table[k]);
        const Complex back = pre(in[2 * kb], in[half - 1 - 2 * kb], table[kb]);
        store(out, k, front);
        store(out, kb, back);
    }
}

void kvxdec_dit_fft_no_scale(int32_t* data, int n) {
    // The bit reversal in place, by swaps (it is its own inverse).
    const int16_t* rev = n == 512 ? kvxdec_tabBitrev512 : kvxdec_tabBitrev64;
    for (int k = 0; k < n; ++k) {
        const int j = rev[k] / 8;
        if (j > k) {
            const Complex t = load(data, k);
            store(data, k, load(data, j));
            store(data, j, t);
        }
    }

    // First two stages as one radix-4 stage, in place.
    cx::radix4_first_stage(data, data, n);

    // Radix-2 stages; one twiddle word serves the butterflies at j and at
    // j + h/2 (the latter's twiddle is the former's times -i).
    const uint32_t* tw = kvxdec_fftTwiddleTable4Arm;
    for (int h = 4; h <= n / 2; h *= 2) {
        for (int base = 0; base < n; base += 2 * h) {
            for (int j = 0; j < h / 2; ++j) {
                const uint32_t w = tw[j];
                const int p = base + j, q = base + j + h / 2;
                const Complex y = load(data, p + h);
                const int32_t tre = add_wrap(by_c(y.re, w), by_s(y.im, w));
                const int32_t tim = sub_wrap(by_c(y.im, w), by_s(y.re, w));
                const Complex t{shl_wrap(tre, 1), shl_wrap(tim, 1)};
                const Complex x = load(data, p);
                store(data, p, add(x, t));
                store(data, p + h, sub(x, t));

                const Complex y2 = load(data, q + h);
                const int32_t ure = sub_wrap(by_c(y2.im, w), by_s(y2.re, w));
                const int32_t uim = neg_wrap(add_wrap(by_c(y2.re, w), by_s(y2.im, w)));
                const Complex u{shl_wrap(ure, 1), shl_wrap(uim, 1)};
                const Complex x2 = load(data, q);
                store(data, q, add(x2, u));
                store(data, q + h, sub(x2, u));
            }
        }
        tw += h / 2;
    }
}

// Only the two sizes the transforms use have tables; any other size, like
// any direction other than forward, leaves the data untouched. The scale
// argument is 0 in every call and selects the unscaled transform.
void kvxdec_cfft(int32_t* data, int16_t n, int16_t direction, int16_t scale) {
    (void)scale;
    if (direction != -1 || (n != 64 && n != 512)) return;
    kvxdec_dit_fft_no_scale(data, n);
}

void aacdec_post_twiddle_arm_opt(int32_t* data, int n, const uint32_t* table) {
    post_twiddle<16>(data, n, table);
}

void aacdec_post_twiddle_arm_opt_short(int32_t* data, int n, const uint32_t* table) {
    post_twiddle<13>(data, n, table);
}

void pre_twiddle_compact(int32_t* buf, int n) {
    aacdec_pre_twiddle_arm_opt(buf, buf, n == 2048 ? kvxdec_cs2048 : kvxdec_cs256, n);
}

void fft_compact(int32_t* buf, int points) { kvxdec_dit_fft_no_scale(buf, points); }

void post_twiddle_compact(int32_t* buf, int n) {
    if (n == 2048) aacdec_post_twiddle_arm_opt(buf, n, kvxdec_cs2048);
    else aacdec_post_twiddle_arm_opt_short(buf, n, kvxdec_cs256);
}
