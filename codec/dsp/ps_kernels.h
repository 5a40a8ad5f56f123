// Parametric stereo's per-slot kernels of the decorrelator and the mixing
// (the references in ps/ps.cpp, beside the rest of the tool), their records
// and their variants. Each runs over a run of consecutive bands whose
// samples, delay-line rows and coefficients lie in consecutive words.
#pragma once

#include <cstdint>

#include "dsp/fixed.h"
#include "tables/ps_tables.h"

// This slot's rows of the all-pass bands' delay lines, re and im, from the
// run's first band: the input delay's entry of two slots ago and the
// oldest entry of each of the three links; each is replaced by its newest.
struct PsAllpassRows {
    int32_t* pre[2];
    int32_t* link[3][2];
};

// The all-pass decorrelation of one slot: for each band k < n, from the
// mono sample s = (s_re[k], s_im[k]) the decorrelated d (d_re[k], d_im[k];
// no gain yet). coef: the run's first band in the coefficient rows of
// ps_tables.h (PsAllpassRow), rows `stride` words apart in one array, the
// run within each row (Q31, never INT32_MIN; a variant may read the word
// after the run in every row but the last, where it is the next row's).
// Per band, with p the input delay's entry and z(m) the links':
//   in = p phi (complex, Q31 products rounded and saturated), p = s;
//   for m = 0..2: o = z(m) q(m) - ag(m) in, z(m) = in + ag(m) o, in = o
//   (each product rounded from Q31 and saturated, the sums saturated);
//   d = in.
void ps_allpass_bands(const PsAllpassRows& rows, const int32_t* coef, int stride, int n, const int32_t* s_re,
                      const int32_t* s_im, int32_t* d_re, int32_t* d_im);

// The mixing's values per stereo parameter band: the decorrelation gains
// (Q30, 0 .. 2^30), the matrices h11, h12, h21, h22 (Q30) and their
// imaginary parts (null: no phase).
struct PsMixParams {
    const int32_t* gain;
    const int32_t* h[4];
    const int32_t* hi[4];
};

// The gain and the mixing of one slot: for each band k < n, of parameter
// band b = par[k], the decorrelated sample d times gain[b] (rounded from
// Q30, saturated), then, in 64-bit sums modulo 2^64 from the rounding term
// of Q30, each shifted right by 30 and saturated:
//   l = h11 s + h21 d, r = h12 s + h22 d,
// with phase the products of j g11 s, j g21 d (left) and j g12 s, j g22 d
// (right) added, g = hi[b], negated where neg[k] is set (every negation
// modulo 2^32, that of j g s's real part -g s_im too).
// l may be s itself (l_re == s_re, l_im == s_im); nothing else overlaps.
void ps_mix_bands(const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n, const int32_t* s_re,
                  const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                  int32_t* r_re, int32_t* r_im);

// The mixing matrices' step to the next slot: h[i] += step[i] modulo 2^32
// for i < n.
void ps_step_matrices(int32_t* h, const int32_t* step, int n);

// The transient detector of one slot: for each parameter band b < n, its
// energy e = energies[b] (below 2^63) in, the peak, the smoothed energy and
// the smoothed peak difference (below 2^63) updated, and the decorrelation
// gain (Q30, 0 .. 2^30) out:
//   peak = max(mul_u64_q31(peak, ps_peak_decay_q31), e),
//   smooth += (e >> 2) - (smooth >> 2), diff += ((peak - e) >> 2) - (diff >> 2)
//   (each modulo 2^64), gain = ps_transient_gain(smooth, diff).
void ps_transient_gains(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies, int n,
                        int32_t* gains);

// The energies of the transient detector from a run of bands: for each band
// k < n, the squares re[k]^2 and im[k]^2 (64-bit) added to energies[par[k]]
// (modulo 2^64); returns the OR of all the squares (their bits, which tell
// whether any sample reached a limit).
uint64_t ps_band_energies(const int32_t* re, const int32_t* im, const uint8_t* par, int n, uint64_t* energies);

// A band's gain smooth / (1.5 diff) in Q30 where that is below 1, else
// 2^30: the denominator diff + diff / 2 and smooth both shifted right until
// the denominator fits 31 bits, the quotient rounded (udiv_round_q30: the
// shifted smooth is at most the shifted denominator, which is above 0).
inline int32_t ps_transient_gain(uint64_t smooth, uint64_t diff) {
    const uint64_t den = diff + fx::lsr64(diff, 1);
    if (den <= smooth) return 1 << 30;
    const int sh = 33 - fx::clz64(den);
    const uint64_t d = sh > 0 ? fx::lsr64(den, sh) : den;
    const uint64_t num = sh > 0 ? fx::lsr64(smooth, sh) : smooth;
    return static_cast<int32_t>(fx::udiv_round_q30(static_cast<uint32_t>(num), static_cast<uint32_t>(d)));
}

// Variants, bit-exact with the references: x86 with SSE4.1
// (dsp/x86/ps_sse41.cpp) or AVX2 (dsp/x86/ps_avx2.cpp), 32-bit ARM with NEON
// (dsp/arm/ps_neon.cpp), the detector's energies among them. The matrices'
// step has NEON and AVX2 ones (on x86-64 its reference is SSE2 code
// already: the AVX2 one takes eight words a step). The transient detector
// has NEON and AVX2 ones (four bands a register).
void ps_allpass_bands_sse41(const PsAllpassRows& rows, const int32_t* coef, int stride, int n, const int32_t* s_re,
                            const int32_t* s_im, int32_t* d_re, int32_t* d_im);
void ps_mix_bands_sse41(const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n, const int32_t* s_re,
                        const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                        int32_t* r_re, int32_t* r_im);
void ps_allpass_bands_avx2(const PsAllpassRows& rows, const int32_t* coef, int stride, int n, const int32_t* s_re,
                           const int32_t* s_im, int32_t* d_re, int32_t* d_im);
void ps_mix_bands_avx2(const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n, const int32_t* s_re,
                       const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                       int32_t* r_re, int32_t* r_im);
void ps_allpass_bands_neon(const PsAllpassRows& rows, const int32_t* coef, int stride, int n, const int32_t* s_re,
                           const int32_t* s_im, int32_t* d_re, int32_t* d_im);
void ps_mix_bands_neon(const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n, const int32_t* s_re,
                       const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                       int32_t* r_re, int32_t* r_im);
void ps_step_matrices_neon(int32_t* h, const int32_t* step, int n);
void ps_step_matrices_avx2(int32_t* h, const int32_t* step, int n);
void ps_transient_gains_avx2(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies, int n,
                             int32_t* gains);
void ps_transient_gains_neon(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies, int n,
                             int32_t* gains);
uint64_t ps_band_energies_sse41(const int32_t* re, const int32_t* im, const uint8_t* par, int n, uint64_t* energies);
uint64_t ps_band_energies_avx2(const int32_t* re, const int32_t* im, const uint8_t* par, int n, uint64_t* energies);
uint64_t ps_band_energies_neon(const int32_t* re, const int32_t* im, const uint8_t* par, int n, uint64_t* energies);

// A variant's last n bands of a run (0 < n < W, its block of W bands),
// through `run` on W bands of copies, the last band repeated in the lanes
// beyond n (the same inputs, so the same results, which are stored over
// its own): W copies each way, without a loop on n.
template <int W, class Run>
inline void ps_allpass_tail(Run run, const PsAllpassRows& rows, const int32_t* coef, int stride, int n,
                            const int32_t* s_re, const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    int32_t z[8][W], c[kPsAllpassRows][W], s[2][W], d[2][W];
    int32_t* const lines[8] = {rows.pre[0],     rows.pre[1],     rows.link[0][0], rows.link[0][1],
                               rows.link[1][0], rows.link[1][1], rows.link[2][0], rows.link[2][1]};
    for (int k = 0; k < W; ++k) {
        const int j = k < n ? k : n - 1;
        for (int i = 0; i < 8; ++i) z[i][k] = lines[i][j];
        for (int r = 0; r < kPsAllpassRows; ++r) c[r][k] = coef[r * stride + j];
        s[0][k] = s_re[j];
        s[1][k] = s_im[j];
    }
    run(PsAllpassRows{{z[0], z[1]}, {{z[2], z[3]}, {z[4], z[5]}, {z[6], z[7]}}}, c[0], W, W, s[0], s[1], d[0], d[1]);
    for (int k = 0; k < W; ++k) {
        const int j = k < n ? k : n - 1;
        for (int i = 0; i < 8; ++i) lines[i][j] = z[i][k];
        d_re[j] = d[0][k];
        d_im[j] = d[1][k];
    }
}

template <int W, class Run>
inline void ps_mix_tail(Run run, const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n,
                        const int32_t* s_re, const int32_t* s_im, const int32_t* d_re, const int32_t* d_im,
                        int32_t* l_re, int32_t* l_im, int32_t* r_re, int32_t* r_im) {
    int32_t in[4][W], out[4][W];
    uint8_t p[W], g[W];
    for (int k = 0; k < W; ++k) {
        const int j = k < n ? k : n - 1;
        p[k] = par[j];
        g[k] = neg[j];
        in[0][k] = s_re[j];
        in[1][k] = s_im[j];
        in[2][k] = d_re[j];
        in[3][k] = d_im[j];
    }
    run(m, p, g, W, in[0], in[1], in[2], in[3], out[0], out[1], out[2], out[3]);
    for (int k = 0; k < W; ++k) {
        const int j = k < n ? k : n - 1;
        l_re[j] = out[0][k];
        l_im[j] = out[1][k];
        r_re[j] = out[2][k];
        r_im[j] = out[3][k];
    }
}
