// The hot kernels that have faster variants, called through one
// process-wide table of function pointers. The portable reference of every
// kernel is always built; the variants (codec/dsp/x86/, codec/dsp/arm/) go in
// beside it, and select_kernels puts one in the table when the CPU has its
// features and the CPU mask allows them. A kernel with no variant is not in
// the table: its callers call the reference itself. Every entry takes plain
// arrays and counts.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"

struct MixOut;  // dsp/filterbank.h
struct QmfAnalysisState;
struct QmfSynthesis64State;
struct QmfSynthesis32State;
struct PsAllpassRows;  // dsp/ps_kernels.h
struct PsMixParams;
struct SbrLin;  // dsp/sbr_adjust.h

// CPU features a kernel variant may need, one bit each.
enum CpuFeature : uint32_t {
    CPU_X86_SSE41 = 1u << 0,
    CPU_X86_AVX2 = 1u << 1,
    CPU_ARM_V6_DSP = 1u << 8,
    CPU_ARM_NEON = 1u << 9,
};

struct Kernels {
    // Inverse quantisation of 1024 values, window by window, band by band;
    // whether a coefficient reached the limit (see kvxdec_DequantizeGains).
    bool (*dequantise)(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                       const int16_t* scaleFactors, const int16_t* const* window_swb_top);
    // The first two steps of the inverse MDCT of N = 2048 or 256 (n), in
    // place: pre-twiddle of N/2 coefficients, forward FFT of N/4 complex
    // points. The order of the FFT's input is the arithmetic's own: the exact
    // one's pre-twiddle leaves it bit-reversed. The third step, the
    // post-twiddle, has no variant (post_twiddle_compact/_exact below).
    void (*pre_twiddle)(int32_t* buf, int n);
    void (*fft)(int32_t* buf, int points);
    // Windowing, overlap-add and output of one channel's block straight to
    // its PCM slots (it runs the transform steps above): see
    // synthesise_channel.
    void (*synthesis)(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                      OverlapSample* overlap, PcmOut out);
    // The same for a channel mixed into the stereo downmix's sums (exact
    // arithmetic; null in the compact one): see synthesise_channel_mix.
    void (*synthesis_mix)(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix);
    // The mid/side butterfly over a run of lines (dsp/tools.h).
    void (*mid_side)(int32_t* left, int32_t* right, int n);
    // Noise substitution's values of one band (dsp/tools.h; exact
    // arithmetic only: null in the compact one, which runs its own).
    void (*noise_lines)(int32_t* out, int n, int16_t energy, uint32_t seed);
    // One slot of each SBR QMF bank, its state updated (dsp/qmf.h). This
    // entry and the SBR and PS ones after it are null in a build without
    // SBR (sbr/built.h: the compact arithmetic, or AAC_SBR=OFF).
    void (*qmf_analysis32)(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im);
    void (*qmf_synthesis64)(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out);
    void (*qmf_synthesis32)(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out);
    // The SBR high-frequency generator's filter of a run of subbands over a
    // run of slots (dsp/hf_filter.h).
    void (*sbr_hf_filter)(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride,
                          int count, int n, const int32_t* coef, const uint8_t* shift);
    // Its prediction's covariances of a run of subbands, each scaled by its
    // block exponent.
    void (*sbr_hf_covariances)(const int32_t* re, const int32_t* im, int stride, int rows, int n,
                               const int8_t* shift, int64_t (*phi)[8]);
    // The magnitudes of a block of subbands ORed, for their block
    // exponents.
    void (*sbr_hf_magnitudes)(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any);
    // Two runs of samples times 2^-s, rounded or saturated (sbr_hf_scale,
    // dsp/hf_filter.h): the generator's, and the core's time samples
    // brought from one block scale to another (dec/core_scale.h).
    void (*sbr_scale)(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi);
    // The SBR envelope adjuster's energies of a block of slots and
    // subbands, logarithms and exponentials of an array, sums of powers of 2
    // from their exponentials, and gains and noise applied to a block
    // (dsp/sbr_adjust.h).
    int (*sbr_energies)(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
    void (*sbr_log2)(const uint64_t* v, int n, int32_t* out);
    void (*sbr_exp2)(const int32_t* l, int n, SbrLin* out);
    void (*sbr_add_terms)(const SbrLin* t, const uint8_t* count, const uint8_t* owner, int n, uint64_t* sums);
    void (*sbr_apply)(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                      int noise_index);
    // Parametric stereo's hybrid analysis of one QMF slot: see
    // ps_hybrid_analysis.
    void (*ps_hybrid)(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands, const int32_t* const* rows_re,
                      const int32_t* const* rows_im, int32_t* out_re, int32_t* out_im);
    // Its decorrelator's all-pass bands and its mixing, one slot over a run
    // of bands: see ps_allpass_bands and ps_mix_bands (dsp/ps_kernels.h).
    void (*ps_allpass)(const PsAllpassRows& rows, const int32_t* coef, int stride, int n, const int32_t* s_re,
                       const int32_t* s_im, int32_t* d_re, int32_t* d_im);
    void (*ps_mix)(const PsMixParams& m, const uint8_t* par, const uint8_t* neg, int n, const int32_t* s_re,
                   const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                   int32_t* r_re, int32_t* r_im);
    // The mixing matrices' step to the next slot and the transient
    // detector of a slot: see ps_step_matrices and ps_transient_gains.
    void (*ps_step)(int32_t* h, const int32_t* step, int n);
    void (*ps_transient)(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies, int n,
                         int32_t* gains);
    // The detector's energies of a run of bands: see ps_band_energies.
    uint64_t (*ps_energies)(const int32_t* re, const int32_t* im, const uint8_t* par, int n, uint64_t* energies);
    // TNS's all-pole filter over a run of lines (exact arithmetic; null in
    // the compact one): see tns_ar_q24 (dsp/tools.h).
    void (*tns_filter)(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order);
    // An SBR output slot of n samples (Q12) to 16-bit PCM, sample i at
    // out[i * step] (SBR; null without it): see qmf_pcm16 (dsp/qmf.h).
    void (*sbr_pcm16)(int16_t* out, int step, const int32_t* v, int n);
    // One channel's rows of SBR subband samples scaled by its gain and added
    // into a stereo output's sums (SBR; null without it): see mix_rows_q30
    // (dsp/mix_rows.h).
    void (*mix_rows)(int32_t* sum, const int32_t* x, int rows, int width, int32_t gain);
};

// The reference kernels: the transform steps of the compact arithmetic
// (dsp/imdct_compact.cpp) and of the exact one (dsp/fft_exact.cpp,
// dsp/synthesis_exact.cpp), each built only in its arithmetic, the rest in their own files. The post-twiddle turns
// the FFT's output into time samples (the arithmetic's own format); the exact
// arithmetic's synthesis does it inside its output pass, and
// post_twiddle_exact is the same step on its own.
void pre_twiddle_compact(int32_t* buf, int n);
void fft_compact(int32_t* buf, int points);
void post_twiddle_compact(int32_t* buf, int n);
void pre_twiddle_exact(int32_t* buf, int n);
void fft_exact(int32_t* buf, int points);
void post_twiddle_exact(int32_t* buf, int n);
// fft_exact but its last radix-2 stage (of 512 points; 64 points have none),
// of which it does only the two butterflies whose twiddles are exactly 1
// and -i: when the table holds fft_exact, the exact synthesis runs this and
// does the others inside its output pass, bit for bit as fft_exact would.
void fft_exact_first_stages(int32_t* buf, int points);

// Parametric stereo's hybrid analysis of one QMF slot (ps/ps.cpp): for each
// hybrid band k < bands, out[k] = the sum over n = 0..12 of coef[k][n] x(12 - n),
// x(j) = (rows_re[j][q], rows_im[j][q]) the complex sample of QMF band
// q = qmf[k] in the window's row j (oldest first); coefficients Q31 (never
// INT32_MIN), the 64-bit sums (modulo 2^64) rounded half up from Q31 and
// saturated to 32 bits. The x86 variant with SSE4.1
// (dsp/x86/ps_sse41.cpp) takes a band's real and imaginary sums in the two
// halves of one register.
void ps_hybrid_analysis(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands, const int32_t* const* rows_re,
                        const int32_t* const* rows_im, int32_t* out_re, int32_t* out_im);
void ps_hybrid_analysis_sse41(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                              const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                              int32_t* out_im);
// The same with AVX2 (dsp/x86/ps_avx2.cpp), four taps a register.
void ps_hybrid_analysis_avx2(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                             const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                             int32_t* out_im);
// The same with NEON (dsp/arm/ps_neon.cpp), four taps a register.
void ps_hybrid_analysis_neon(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                             const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                             int32_t* out_im);

// Variants, beside their references and bit-exact with them. Exact
// arithmetic: the output pass of every window sequence, x86 with SSE4.1
// (dsp/x86/synthesis_sse41.cpp) or AVX2 (dsp/x86/synthesis_avx2.cpp) and
// 32-bit ARM with NEON (dsp/arm/synthesis_neon.cpp); the QMF banks' in
// dsp/qmf_variants.h.
void synthesise_channel_sse41(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                              OverlapSample* overlap, PcmOut out);
void synthesise_channel_avx2(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                             OverlapSample* overlap, PcmOut out);
void synthesise_channel_neon(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                             OverlapSample* overlap, PcmOut out);
void synthesise_channel_mix_sse41(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix);
void synthesise_channel_mix_avx2(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix);
void synthesise_channel_mix_neon(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix);

// Per-architecture selection, beside the variants: puts in `k` each variant
// whose features are all in `use` (dsp/x86/kernels_x86.cpp,
// dsp/arm/kernels_arm.cpp; built only for their architecture in the exact
// arithmetic).
void override_kernels_x86(Kernels& k, uint32_t use);
void override_kernels_arm(Kernels& k, uint32_t use);

// The table the decoder calls through; the reference kernels until
// select_kernels runs.
extern Kernels kernels;

// The reference kernels of the arithmetic built.
Kernels reference_kernels();

// The features of the CPU running the process.
uint32_t cpu_features();

// Fills the table: the reference kernels, then every variant whose features
// the CPU has and `mask` allows (mask 0 forces the reference everywhere).
// Returns the features in use. The table counts as chosen afterwards:
// kernels_select_once no longer changes it. It writes the table without
// synchronisation, so an explicit choice must come before any decoder starts
// and no decoder may run while it does (tests, a host's own CPU mask).
uint32_t select_kernels(uint32_t mask);

// The mask from the environment variable AAC_CPU_MASK (a number, 0x... for
// hexadecimal); all ones when it is not set.
uint32_t cpu_mask_from_environment();

// Chooses the table with the environment's mask once per process, unless
// select_kernels has already chosen it; safe to call from several threads at
// once (each returns after the choice is made). Every decoder start calls it.
void kernels_select_once();
