// The HF generator of SBR (ISO/IEC 14496-3, SBR tool) for one channel and
// one frame: second-order complex LPC of each low subband by the covariance
// method, the chirp factors per noise floor band (bs_invf_mode, smoothed
// across frames), and the patches that copy the inverse-filtered low
// subbands up to kx .. kx + M - 1.
//
// Formats:
// - X_low and X_high are QMF subband samples in the units of dsp/qmf.h
//   (16 times the standard's X for a signal in 16-bit PCM steps), at any
//   scale (SBR's are 2^x_scale times their value, the analysis' gain and
//   the core's block scale: the prediction does not depend on it), rows
//   indexed like the standard's l: X_low row l for l = 0..39 is QMF slot
//   l - t_HFGen of the current frame (rows 0..7 are the previous frame's
//   last eight slots). X_high row l belongs to the same slot.
// - Chirp factors (bw) are Q31, LPC coefficients Q28 (|alpha| < 4).
// The covariances are exact 64-bit sums (a subband whose samples reach 2^26
// is first scaled down by its block exponent); the determinant and the
// numerators are formed exactly in 128 bits, so the only rounding is in the
// two divisions (to 2^-29, plus 2^-30 relative from the divisor's
// normalisation) and in alpha1's share of alpha0: alpha is within 2^-26 of
// the real-number result, however near singular the covariance (measured:
// 2^-26.6). X_high is then within 0.8 of the real-number result.
#pragma once

#include <cstdint>

#include "dsp/hf_filter.h"
#include "sbr/frame.h"
#include "sbr/freq.h"

constexpr int kSbrXLowSlots = kSbrQmfSlots + kSbrHfGenSlots;  // 40 rows of X_low and X_high
constexpr int kSbrLpcQ = 28;                                   // Q of alpha0, alpha1

// What the HF generator keeps from frame to frame: the chirp factors and
// the inverse filtering modes of the previous frame, per noise floor band.
// 28 bytes. All zero is the start state (sbr_hf_reset).
struct SbrHfGenState {
    int32_t bw[kSbrMaxNoiseBands];     // bwArray', Q31
    uint8_t invf[kSbrMaxNoiseBands];   // bs_invf_mode'
};

// The second-order predictor of one subband, Q28.
struct SbrLpc {
    int32_t a0_re, a0_im, a1_re, a1_im;
};

void sbr_hf_reset(SbrHfGenState* state);

// This frame's chirp factors from its bs_invf_mode per noise floor band
// (n_q bands, 0..5) and the state, which then holds them and the modes.
void sbr_hf_chirp(SbrHfGenState* state, const uint8_t invf[kSbrMaxNoiseBands], int n_q);

// alpha0, alpha1 of subband k of X_low (rows 0..39), with the conditioning
// of the standard: alpha1 = 0 where the determinant is 0, alpha0 = 0 where
// phi(1,1) is 0, both 0 where either reaches 4 in magnitude.
SbrLpc sbr_hf_lpc(const int32_t (*xlow_re)[64], const int32_t (*xlow_im)[64], int k);

// X_high for subbands kx .. kx + M - 1 and rows first_row .. end_row - 1
// (t_HFAdj + RATE * t_E(0) .. t_HFAdj + RATE * t_E(L_E) - 1, clamped to
// 2..39) from X_low, with the chirp factors in *state (sbr_hf_chirp first).
// Other entries of X_high are left as they are. Saturates to 32 bits.
// Only subbands below kx of X_low are read and only those from kx up of
// X_high written, so the two may be one matrix (rows of 64 subbands).
// `work`: room for the working arrays (nothing of it is read), which the
// decoder borrows while the generator runs (SbrLentLevels) rather than
// keep them on its stack. (32-bit ARM puts only the predictors there.)
constexpr int kSbrLpcRun = 8;  // subbands a call of the covariances at most
struct SbrHfWork {
    SbrLpc lpc[kSbrMaxKx];                 // each source's predictor
    uint32_t near[kSbrMaxKx];              // its magnitudes over the filter's rows, ORed
    uint32_t all[kSbrMaxKx];               // and over all 40 rows
    int64_t phi[kSbrLpcRun][8];            // a run's covariances
    int32_t coef[4][kHfCoefRow];           // a patch's coefficients (the filter's rows)
    uint8_t shift[kHfCoefRow];             // and shifts
    int8_t cov_shift[kSbrLpcRun];          // a run's shifts for the covariances
};
void sbr_hf_generate(const SbrHfGenState& state, const SbrFreqTables& t, int first_row, int end_row,
                     const int32_t (*xlow_re)[64], const int32_t (*xlow_im)[64],
                     int32_t (*xhigh_re)[64], int32_t (*xhigh_im)[64], SbrHfWork* work);

// A frame's filter, kept to make X_high a row at a time (the small scratch
// record, sbr_decoder.h): each target subband's coefficients and shift in
// its column m - kx, and the subbands the patches fill from kx on.
static_assert(kHfCoefRow >= kSbrMaxMasterBands, "a column for each target subband");
struct SbrHfKept {
    int32_t coef[4][kHfCoefRow];
    uint8_t shift[kHfCoefRow];
    int32_t filled;
};
// sbr_hf_generate's predictions, block exponents and coefficients for the
// same rows, into *kept rather than through the filter.
void sbr_hf_keep(const SbrHfGenState& state, const SbrFreqTables& t, int first_row, int end_row,
                 const int32_t (*xlow_re)[64], const int32_t (*xlow_im)[64], SbrHfWork* work, SbrHfKept* kept);
// Rows r .. r + rows - 1 of X_high (subbands kx .. kx + filled - 1 of rows
// 0 .. rows - 1 of y_re, y_im, 64 words apart; the rest is left as it is) by
// the kept filter: the values sbr_hf_generate gives those rows.
void sbr_hf_rows(const SbrHfKept& kept, const SbrFreqTables& t, int r, int rows, const int32_t (*xlow_re)[64],
                 const int32_t (*xlow_im)[64], int32_t* y_re, int32_t* y_im);
