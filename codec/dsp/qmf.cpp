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
// + 108 (FFT: of 49 twiddles 15 are i, free, and 14 odd multiples of
// pi / 4, two products each; see qmf::fft_inverse) + 256 (post) = 812;
// 64-band synthesis 512 (pre) + 332 (FFT: 129, 31, 30) + 256 (post) + 640
// (window) = 1740; 32-band synthesis 256 + 108 + 128 + 320 = 812.
//
// The steps are written once in dsp/qmf_steps.h, for this reference and the
// SIMD variants.
#include "dsp/qmf.h"

#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "dsp/qmf_steps.h"

void qmf_analysis32_c(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<qmf::ScalarSteps>(state, in, re, im);
}

void qmf_synthesis64_c(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<qmf::ScalarSteps, 6>(&state->current, state->sum, re, im, out);
}

void qmf_synthesis32_c(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<qmf::ScalarSteps, 5>(&state->current, state->sum, re, im, out);
}

void qmf_pcm16(int16_t* out, int step, const int32_t* v, int n) {
    for (int i = 0; i < n; ++i) out[i * step] = q12_to_pcm16(v[i]);
}

void qmf_analysis32(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    kernels.qmf_analysis32(state, in, re, im);
}

void qmf_synthesis64(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    kernels.qmf_synthesis64(state, re, im, out);
}

void qmf_synthesis32(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    kernels.qmf_synthesis32(state, re, im, out);
}
