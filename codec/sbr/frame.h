// What one SBR frame of a channel carries, as the bitstream reader leaves it
// for the envelope and noise floor decoding, the HF generator and the
// envelope adjuster: the header in force, the time/frequency grid, the
// quantized envelope and noise floor values (absolute, delta coding
// resolved), the inverse filtering modes and the sinusoid flags.
//
// Time is counted in SBR time slots (16 per frame of 1024 core samples; a
// slot is 2 QMF slots of 64 output samples, kSbrRate).
#pragma once

#include <cstdint>

#include "sbr/freq.h"

constexpr int kSbrTimeSlots = 16;      // SBR time slots per frame
constexpr int kSbrRate = 2;            // QMF slots per SBR time slot
constexpr int kSbrQmfSlots = kSbrTimeSlots * kSbrRate;  // 32
constexpr int kSbrMaxEnvelopes = 5;
constexpr int kSbrMaxNoiseEnvelopes = 2;
constexpr int kSbrHfGenSlots = 8;      // t_HFGen: QMF slots of the previous frame the HF generator reads
constexpr int kSbrHfAdjSlots = 2;      // t_HFAdj: QMF slots the envelope time grid is offset by

// The SBR header fields (sbr_header()); absent optional fields hold their
// default values.
struct SbrHeader {
    uint8_t amp_res;         // bs_amp_res
    uint8_t start_freq;      // bs_start_freq
    uint8_t stop_freq;       // bs_stop_freq
    uint8_t xover_band;      // bs_xover_band
    uint8_t freq_scale;      // bs_freq_scale (default 2)
    uint8_t alter_scale;     // bs_alter_scale (default 1)
    uint8_t noise_bands;     // bs_noise_bands (default 2)
    uint8_t limiter_bands;   // bs_limiter_bands (default 2)
    uint8_t limiter_gains;   // bs_limiter_gains (default 2)
    uint8_t interpol_freq;   // bs_interpol_freq (default 1)
    uint8_t smoothing_mode;  // bs_smoothing_mode (default 1)
};

enum SbrFrameClass : uint8_t { SBR_FIXFIX = 0, SBR_FIXVAR = 1, SBR_VARFIX = 2, SBR_VARVAR = 3 };

// The time/frequency grid of one frame of one channel, borders resolved.
struct SbrGrid {
    uint8_t frame_class;                       // SbrFrameClass
    uint8_t num_env;                           // L_E, 1..5
    uint8_t num_noise;                         // L_Q, 1 or 2
    uint8_t t_env[kSbrMaxEnvelopes + 1];       // envelope borders, SBR time slots: from 0..3
                                               // (bs_var_bord_0) up to 16..19 (16 + bs_var_bord_1)
    uint8_t t_noise[kSbrMaxNoiseEnvelopes + 1];  // noise floor borders, SBR time slots
    uint8_t freq_res[kSbrMaxEnvelopes];        // per envelope: 0 low (f_low), 1 high (f_high)
    int8_t l_a;                                // the transient envelope (l_A), -1 for none
};

// One channel's frame. For the second channel of a coupled pair
// (bs_coupling), env and noise hold the balance values, the grid, invf
// and amp_res are the first channel's.
struct SbrChannelFrame {
    SbrGrid grid;
    uint8_t amp_res;                                   // 0: 1.5 dB steps, 1: 3 dB (after the single-FIXFIX rule)
    uint8_t invf[kSbrMaxNoiseBands];                   // bs_invf_mode per noise floor band
    int8_t env[kSbrMaxEnvelopes][kSbrMaxMasterBands];  // per envelope, per band of its resolution
    int8_t noise[kSbrMaxNoiseEnvelopes][kSbrMaxNoiseBands];
    uint8_t add_harmonic[kSbrMaxMasterBands];          // per f_high band, 0 or 1
};

// A frame's envelope and noise floor, dequantized (coupling resolved): the
// base-2 logarithms of the energies the envelope adjuster aims at, Q16.
// env_log2 is log2 of E_orig in units of our QMF subband samples squared
// (dsp/qmf.h: a subband sample is 16 times the standard's X for a signal
// in 16-bit PCM steps, so the standard's E_orig times 256); noise_log2 is
// log2 of Q_orig (a ratio). Indexed like SbrChannelFrame::env and ::noise.
struct SbrDequant {
    int32_t env_log2[kSbrMaxEnvelopes][kSbrMaxMasterBands];
    int32_t noise_log2[kSbrMaxNoiseEnvelopes][kSbrMaxNoiseBands];
};
