// The kernels of the SBR high-frequency generator (dsp/kernels.h:
// sbr_hf_filter, sbr_hf_covariance).
//
// The filter, one subband over a run of QMF slots: y[l] = x[l] + a0 x[l-1] + a1 x[l-2] (complex), the prediction
// of the low band's subband by its own past, through the chirp-weighted
// coefficients a0, a1 (Q28); a kernel (dsp/kernels.h, sbr_hf_filter) takes
// n subbands side by side, each with its own coefficients and shift (a
// patch of the generator).
//
// Formats: x is the low band's subband (32-bit), first scaled down by
// 2^shift (shift 0..31, rounded half up) so that every |x 2^-shift| <=
// 2^30; |a0|, |a1| < 2^30 (below 4 in Q28). Each part of y is one 64-bit
// sum of the five products (x[l] 2^28 and four with the coefficients, at
// most 2^62 + 2^58: no wrap), rounded to 32 bits at bit 28 (saturated),
// then scaled back up by 2^shift (saturated).
//
// x_re, x_im point at row 0's value of the first subband, subband c in
// column c, rows `stride` words apart (rows -1 and -2 are read too); y
// likewise; n at most 32. Subband c's coefficients are coef[c],
// coef[c + kHfCoefRow], coef[c + 2 kHfCoefRow], coef[c + 3 kHfCoefRow]
// (a0 re, a0 im, a1 re, a1 im), its shift shift[c]. y must not overlap x (a
// variant may redo overlapping blocks of rows or subbands).
#pragma once

#include <cstdint>

#include "dsp/fixed.h"

constexpr int kHfFilterQ = 28;
// Words between the coefficient rows (n at most 32): room for every target
// subband of a frame side by side (at most 48), so that the generator can
// keep a whole frame's coefficients and take each patch's from its column.
constexpr int kHfCoefRow = 48;

void sbr_hf_filter_c(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride, int count,
                     int n, const int32_t* coef, const uint8_t* shift);
// Variants: x86 SSE4.1 (dsp/x86/hf_filter_sse41.cpp), 32-bit ARM NEON
// (dsp/arm/hf_filter_neon.cpp); a subband at a time, four rows a step.
void sbr_hf_filter_sse41(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride,
                         int count, int n, const int32_t* coef, const uint8_t* shift);
void sbr_hf_filter_neon(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride, int count,
                        int n, const int32_t* coef, const uint8_t* shift);
// x86 AVX2 (dsp/x86/hf_filter_avx2.cpp), eight subbands a row.
void sbr_hf_filter_avx2(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride, int count,
                        int n, const int32_t* coef, const uint8_t* shift);

// The covariances of the generator's prediction, from one subband's n + 2
// scaled samples y (re, im), as exact 64-bit sums (modulo 2^64; the
// generator's scaling keeps them far from the limit) over m = 0..n-1:
//   phi[0] r11  = sum |y[m+1]|^2          phi[1] r22  = sum |y[m]|^2
//   phi[2], [3] = sum y[m+1] conj y[m]    (re, im)
//   phi[4], [5] = sum y[m+2] conj y[m+1]
//   phi[6], [7] = sum y[m+2] conj y[m]
// each product part a 32 x 32 -> 64-bit product (the imaginary parts'
// -y.im negated modulo 2^32).
void sbr_hf_covariance_c(const int32_t* yr, const int32_t* yi, int n, int64_t* phi);

// The kernel (dsp/kernels.h, sbr_hf_covariances): the covariances of n
// subbands side by side, subband c in column c, rows `stride` words apart:
// its `rows` samples (2..kHfCovRows) scaled by 2^-shift[c] as sbr_hf_scale
// does, then phi[c] as sbr_hf_covariance_c of them (rows - 2 terms).
constexpr int kHfCovRows = 40;
void sbr_hf_covariances_c(const int32_t* re, const int32_t* im, int stride, int rows, int n, const int8_t* shift,
                          int64_t (*phi)[8]);
// Variants: x86 SSE4.1 and 32-bit ARM NEON a subband at a time (their
// scaling and covariances below), x86 AVX2 eight subbands a row.
void sbr_hf_covariances_sse41(const int32_t* re, const int32_t* im, int stride, int rows, int n, const int8_t* shift,
                              int64_t (*phi)[8]);
void sbr_hf_covariances_neon(const int32_t* re, const int32_t* im, int stride, int rows, int n, const int8_t* shift,
                             int64_t (*phi)[8]);
void sbr_hf_covariances_avx2(const int32_t* re, const int32_t* im, int stride, int rows, int n, const int8_t* shift,
                             int64_t (*phi)[8]);

// The generator's block exponents. sbr_hf_magnitudes: for each of n
// columns c, any[c] ORed with the magnitudes (that of INT32_MIN is 2^31)
// of the re and im samples of column c over `rows` rows, rows `stride`
// words apart: the bit length of the largest magnitude is that of the OR.
// Several subbands a pass, as the generator takes them (the rows of its
// matrix), and one column as a run of rows split in parts.
// sbr_hf_scale: n samples of one subband, re and im, rows `stride` words
// apart, times 2^-s into yr, yi (s = -31..31): rounded (fx::rshr) for
// s > 0, as they are for s = 0, saturated (fx::shl_sat by -s) for s < 0.
void sbr_hf_magnitudes_c(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any);
void sbr_hf_scale_c(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi);
// Variants: x86 SSE4.1 (dsp/x86/hf_filter_sse41.cpp) and 32-bit ARM NEON
// (dsp/arm/hf_filter_neon.cpp), four columns or rows at a time.
void sbr_hf_magnitudes_sse41(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any);
void sbr_hf_scale_sse41(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi);
void sbr_hf_magnitudes_neon(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any);
void sbr_hf_scale_neon(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi);
void sbr_hf_covariance_sse41(const int32_t* yr, const int32_t* yi, int n, int64_t* phi);
void sbr_hf_covariance_neon(const int32_t* yr, const int32_t* yi, int n, int64_t* phi);
// x86 AVX2 (dsp/x86/hf_filter_avx2.cpp): the magnitudes eight columns a
// row, the scaling eight words of a run at a time (a column's is the SSE4.1
// variant's).
void sbr_hf_magnitudes_avx2(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any);
void sbr_hf_scale_avx2(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi);

namespace hf_filter {

// Term m of the covariances, added to phi.
__attribute__((always_inline)) inline void covariance_term(const int32_t* yr, const int32_t* yi, int m, int64_t* phi) {
    phi[1] = fx::mac64(fx::mac64(phi[1], yr[m], yr[m]), yi[m], yi[m]);
    phi[0] = fx::mac64(fx::mac64(phi[0], yr[m + 1], yr[m + 1]), yi[m + 1], yi[m + 1]);
    phi[2] = fx::mac64(fx::mac64(phi[2], yr[m + 1], yr[m]), yi[m + 1], yi[m]);
    phi[3] = fx::mac64(fx::mac64(phi[3], yi[m + 1], yr[m]), yr[m + 1], fx::neg_wrap(yi[m]));
    phi[4] = fx::mac64(fx::mac64(phi[4], yr[m + 2], yr[m + 1]), yi[m + 2], yi[m + 1]);
    phi[5] = fx::mac64(fx::mac64(phi[5], yi[m + 2], yr[m + 1]), yr[m + 2], fx::neg_wrap(yi[m + 1]));
    phi[6] = fx::mac64(fx::mac64(phi[6], yr[m + 2], yr[m]), yi[m + 2], yi[m]);
    phi[7] = fx::mac64(fx::mac64(phi[7], yi[m + 2], yr[m]), yr[m + 2], fx::neg_wrap(yi[m]));
}

// x scaled down by 2^s, rounded (s = 0: as it is).
__attribute__((always_inline)) inline int32_t scale_down(int32_t v, int s) { return s > 0 ? fx::rshr(v, s) : v; }

// |v| as an unsigned word (that of INT32_MIN is 2^31).
__attribute__((always_inline)) inline uint32_t magnitude(int32_t v) {
    return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
}

// Row l of sbr_hf_scale.
__attribute__((always_inline)) inline void scale_row(const int32_t* re, const int32_t* im, int stride, int l, int s,
                                                     int32_t* yr, int32_t* yi) {
    const int32_t a = re[l * stride], b = im[l * stride];
    yr[l] = s >= 0 ? scale_down(a, s) : fx::shl_sat(a, -s);
    yi[l] = s >= 0 ? scale_down(b, s) : fx::shl_sat(b, -s);
}

// Row l of the filter (the reference's loop body; the variants' last rows).
__attribute__((always_inline)) inline void row(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re,
                                               int32_t* y_im, int y_stride, int l, const int32_t* coef, int shift) {
    const int32_t one = INT32_C(1) << kHfFilterQ;
    const int at = l * x_stride;
    const int32_t x0r = scale_down(x_re[at], shift), x0i = scale_down(x_im[at], shift);
    const int32_t x1r = scale_down(x_re[at - x_stride], shift), x1i = scale_down(x_im[at - x_stride], shift);
    const int32_t x2r = scale_down(x_re[at - 2 * x_stride], shift), x2i = scale_down(x_im[at - 2 * x_stride], shift);
    int64_t re = fx::mac64(fx::mac64(fx::mac64(0, x0r, one), coef[0], x1r), coef[1], fx::neg_wrap(x1i));
    re = fx::mac64(fx::mac64(re, coef[2], x2r), coef[3], fx::neg_wrap(x2i));
    int64_t im = fx::mac64(fx::mac64(fx::mac64(0, x0i, one), coef[0], x1i), coef[1], x1r);
    im = fx::mac64(fx::mac64(im, coef[2], x2i), coef[3], x2r);
    y_re[l * y_stride] = fx::shl_sat(fx::rshr64_sat(re, kHfFilterQ), shift);
    y_im[l * y_stride] = fx::shl_sat(fx::rshr64_sat(im, kHfFilterQ), shift);
}

}  // namespace hf_filter
