// The SBR QMF banks in 32-bit fixed point (formats: see qmf.h).
//
// All three modulations go through an M-point complex FFT (M = 32 or 64)
// of an inverse transform's sign, radix 2, unscaled:
//
// Analysis, u[n] (n = 0..63) the windowed and folded input:
//   X[k] = 2 sum_n u[n] exp(i pi (k + 1/2)(2n - 1/2) / 64)
//        = F_k Z[k] + G_k conj Z[31 - k],
//   Z the FFT of z[m] = (u[2m] + i u[2m+1]) exp(i pi m / 32).
// Synthesis, M bands (v the new 2M values of the delay line):
//   v[n] = 1/64 re sum_k X[k] exp(i pi (k + 1/2)(2n - o) / 2M),
//   o = 255 (M = 64) or 127.5 (M = 32; with this offset the 32-band bank
//   gives exactly the even samples of the 64-band one, and the analysis and
//   32-band synthesis reconstruct their input, delayed by 289 samples);
//   v[2m] + i v[2m+1] = exp(i pi m / M) times the FFT of
//   D[k] = P_k X[k] + Q_k conj X[M-1-k].
// The tables hold F, G, P, Q (tables/qmf_tables.h).
//
// Scaling: the transform's input is shifted by s = T - b, b the bit length
// of the slot's largest magnitude (|value| <= 2^b) and T chosen so that the
// FFT's outputs stay below 2^30.5: the pre-step at most doubles a magnitude
// times sqrt 2, the FFT multiplies it by at most M. The post-step takes the
// shift back in its rounding. Every product is 32 x 32 -> 64 bits of a Q31
// table value, each sum of products rounded once, but for the synthesis
// window, whose ten products per output sample are rounded one by one to
// Q11 (each within 2^-12 of a PCM step) as they join the partial sums.
//
// Cost per slot, in 32 x 32 multiplies: analysis 320 (window) + 128 (pre)
// + 196 (FFT, 49 twiddles) + 256 (post) = 900; 64-band synthesis 512 (pre)
// + 516 (FFT) + 256 (post) + 640 (window) = 1924; 32-band synthesis 256 +
// 196 + 128 + 320 = 900.
#include "dsp/qmf.h"

#include "dsp/complex.h"
#include "dsp/fixed.h"
#include "tables/qmf_tables.h"

using namespace cx;

namespace {

constexpr int kBlocks = 10;

// Bit length of the largest magnitude among n values: every |x[i]| <= 2^b.
inline int magnitude_bits(const int32_t* x, int n) {
    uint32_t any = 0;
    for (int i = 0; i < n; ++i) any |= static_cast<uint32_t>(x[i] ^ (x[i] >> 31));
    return 32 - fx::clz32(any);
}

// k with its `bits` bits reversed.
inline int bit_reverse(int k, int bits) {
    int r = 0;
    for (int i = 0; i < bits; ++i, k >>= 1) r = (r << 1) | (k & 1);
    return r;
}

// a + i b times the Q31 rotation (c, s) of qmf_rot_q31 index m, as two 64-bit
// sums.
struct Wide {
    int64_t re, im;
};
inline Wide rotate_wide(int32_t a, int32_t b, int m) {
    const int32_t c = qmf_rot_q31[2 * m], s = qmf_rot_q31[2 * m + 1];
    return {fx::mac64(fx::mac64(0, a, c), fx::neg_wrap(b), s), fx::mac64(fx::mac64(0, a, s), b, c)};
}

// In-place FFT of n = 2^bits points with exp(+i ...), unscaled, input in
// bit-reversed order. The twiddle of half-span h at j is exp(i pi j / h) =
// qmf_rot_q31 at j 64 / h; j = 0 takes no product. Sums wrap: the callers'
// scaling keeps them far from the limits.
void fft_inverse(int32_t* buf, int bits) {
    const int n = 1 << bits;
    for (int h = 1; h < n; h *= 2) {
        const int step = 64 / h;
        for (int g = 0; g < n; g += 2 * h) {
            for (int j = 0; j < h; ++j) {
                const int p = g + j, q = p + h;
                Complex t = load(buf, q);
                if (j) {
                    const Wide w = rotate_wide(t.re, t.im, j * step);
                    t = {fx::rshr64(w.re, 31), fx::rshr64(w.im, 31)};
                }
                const Complex x = load(buf, p);
                store(buf, p, add(x, t));
                store(buf, q, sub(x, t));
            }
        }
    }
}

// The ring slot of the block of age `age` (0 the newest).
inline int slot(int newest, int age) { return (newest + age) % kBlocks; }

}  // namespace

void qmf_analysis32(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    // The new block replaces the oldest.
    const int newest = slot(state->newest, kBlocks - 1);
    state->newest = newest;
    int32_t* const x = state->x;
    for (int t = 0; t < 32; ++t) x[32 * newest + t] = in[t];
    // u[n] = sum_j x(n + 64 j) c(2 (n + 64 j)), x(32 b + r) the sample r
    // back in the block of age b (|u| < 2^30: the window's five taps sum
    // to less than 1 in magnitude); Q11.
    int32_t u[64];
    for (int n = 0; n < 64; ++n) {
        int64_t acc = 0;
        for (int j = 0; j < 5; ++j) {
            const int i = n + 64 * j;
            acc = fx::mac64(acc, x[32 * slot(newest, i / 32) + 31 - i % 32], qmf_window_q31[2 * i]);
        }
        u[n] = fx::rshr64(acc, 32);
    }
    // z[m] = (u[2m] + i u[2m+1]) exp(i pi m / 32) 2^s, bit-reversed.
    const int s = 24 - magnitude_bits(u, 64);
    int32_t z[64];
    for (int m = 0; m < 32; ++m) {
        const Wide w = rotate_wide(u[2 * m], u[2 * m + 1], 2 * m);
        store(z, bit_reverse(m, 5), {fx::rshr64(w.re, 31 - s), fx::rshr64(w.im, 31 - s)});
    }
    fft_inverse(z, 5);
    // X = F Z[k] + G conj Z[31-k]: 16 X of a PCM-step signal is
    // (F/2 Z + G/2 conj Z') 2^-(37 + s) in Q31 products of Q11 u.
    for (int k = 0; k < 32; ++k) {
        const int32_t* fg = qmf_analysis_post_q31 + 4 * k;
        const Complex a = load(z, k), b = load(z, 31 - k);
        int64_t r = fx::mac64(fx::mac64(0, fg[0], a.re), fx::neg_wrap(fg[1]), a.im);
        r = fx::mac64(fx::mac64(r, fg[2], b.re), fg[3], b.im);
        int64_t i = fx::mac64(fx::mac64(0, fg[0], a.im), fg[1], a.re);
        i = fx::mac64(fx::mac64(i, fg[3], b.re), fx::neg_wrap(fg[2]), b.im);
        re[k] = fx::rshr64_sat(r, 37 + s);
        im[k] = fx::rshr64_sat(i, 37 + s);
    }
}

namespace {

// One slot of the M-band synthesis (M = 2^kBits): the new 2M values into
// the ring v, then the windowed sum of its ten blocks to out. The window is
// c[kStep i], kStep = 64 / M.
template <int kBits>
void synthesis(int32_t* current, int32_t (*sum)[1 << kBits], const int32_t* pre, const int32_t* re,
               const int32_t* im, int32_t* out) {
    constexpr int m_bands = 1 << kBits, step = 64 / m_bands;
    // 2^s scales D below 2^(30.5 - kBits): |D| <= |X| + |X'| <= 2^(b + 1.5).
    const int s = 29 - kBits - (magnitude_bits(re, m_bands) > magnitude_bits(im, m_bands)
                                    ? magnitude_bits(re, m_bands)
                                    : magnitude_bits(im, m_bands));
    int32_t d[2 * 64];
    for (int k = 0; k < m_bands; ++k) {
        const int32_t* pq = pre + 4 * k;
        const int j = m_bands - 1 - k;
        // P X[k] + Q conj X[j]
        int64_t r = fx::mac64(fx::mac64(0, pq[0], re[k]), fx::neg_wrap(pq[1]), im[k]);
        r = fx::mac64(fx::mac64(r, pq[2], re[j]), pq[3], im[j]);
        int64_t i = fx::mac64(fx::mac64(0, pq[0], im[k]), pq[1], re[k]);
        i = fx::mac64(fx::mac64(i, pq[3], re[j]), fx::neg_wrap(pq[2]), im[j]);
        store(d, bit_reverse(k, kBits), {fx::rshr64(r, 31 - s), fx::rshr64(i, 31 - s)});
    }
    fft_inverse(d, kBits);
    // v[2m] + i v[2m+1] = exp(i pi m / M) d[m], Q11 (32 x headroom: v
    // overshoots the output it makes by up to a third): 2^(1 - s) times the
    // rotated value (16 x the subband scale, 1/64 of the bank, 2048 per step),
    // in place.
    int32_t* const v = d;
    for (int m = 0; m < m_bands; ++m) {
        const Wide w = rotate_wide(d[2 * m], d[2 * m + 1], step * m);
        v[2 * m] = fx::rshr64_sat(w.re, 30 + s);
        v[2 * m + 1] = fx::rshr64_sat(w.im, 30 + s);
    }
    // Output k of the slot i slots ahead takes c[step (M i + k)] times this
    // slot's v at k (even i) or M + k (odd i): added to its partial sum, each
    // product rounded to Q11 (a partial sum can exceed the output it ends
    // in: one bit of headroom more than the Q12 output keeps them within 32
    // bits for any output up to 16 x full scale). The current slot's sum is
    // then complete.
    const int now = *current;
    for (int i = 0; i < kBlocks; ++i) {
        const int r = now + i < kBlocks ? now + i : now + i - kBlocks;
        int32_t* const acc = sum[r];
        const int32_t* const vi = v + (i & 1) * m_bands;
        const int32_t* const c = qmf_window_q31 + step * m_bands * i;
        for (int k = 0; k < m_bands; ++k)
            acc[k] = fx::add_sat(acc[k], fx::rshr64_sat(fx::mac64(0, vi[k], c[step * k]), 31));
    }
    for (int k = 0; k < m_bands; ++k) {
        out[k] = fx::shl_sat(sum[now][k], 1);
        sum[now][k] = 0;
    }
    *current = now + 1 < kBlocks ? now + 1 : 0;
}

}  // namespace

void qmf_synthesis64(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    synthesis<6>(&state->current, state->sum, qmf_synthesis64_pre_q31, re, im, out);
}

void qmf_synthesis32(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    synthesis<5>(&state->current, state->sum, qmf_synthesis32_pre_q31, re, im, out);
}
