// Constant tables of spectral band replication (generated, see
// sbr_tables.cpp and tools/gen_tables/gen_sbr.py). The QMF window is not
// here.
//
// Huffman code trees, sbr_huff[id].tree: 16-bit nodes in pairs, the pair for
// a 0/1 decision; the first bit selects node 0 or 1. A node n >= 0 is inner:
// the next bit selects node n or n + 1. A node n < 0 is a leaf: the coded
// delta is n + 64 (-60..60; balance deltas are doubled by the caller). Every
// code is complete: a walk ends in a leaf within max_len bits, and every
// inner node's index is even and below nodes, so a decoder that reads one
// bit per step can neither leave the tree nor loop.
//
// sbr_noise_v[i]: the noise table V, {re, im} in Q31 (all |x| < 1).
//
// sbr_start_offsets[class][bs_start_freq]: k0 offsets per rate class.
// sbr_rate_params: one row per SBR output rate (96000 down to 16000).
//
// Constants, with their scales:
//   sbr_h_smooth[0..4]: gain smoothing filter, Q31, [0] weighs the newest.
//   sbr_h_sl[bs_smoothing_mode]: smoothing filter length (4 or 0).
//   sbr_phi_re/im[k]: sinusoid phase factors (+-1, 0).
//   sbr_lim_gain_log2[bs_limiter_gains]: log2 of the limiter's energy gain
//     (amplitude squared), Q24; [3] is the "limiter off" value (1e10 in
//     amplitude).
//   sbr_limiter_bands_per_octave_x10[bs_limiter_bands]: bands per octave
//     times 10 ([0] unused: one band for the whole range).
//   sbr_limiter_merge_threshold_x100: limiter borders closer than this many
//     hundredths of an octave times bands per octave are merged (49).
//   sbr_gain_max_limit_log2, sbr_gain_boost_max_log2: log2 of the energy
//     limits of the gain and of the compensation boost, Q24.
//   sbr_new_bw[4 * bs_invf_mode + previous bs_invf_mode]: chirp target, Q31.
//   sbr_bw_smooth_down/up[0 new, 1 previous]: chirp smoothing weights, Q31.
//   sbr_bw_zero_below, sbr_bw_max: chirp floor and cap, Q31.
//   sbr_env_a[amp_res]: 2 or 1 (envelope steps of 1.5 or 3 dB).
//   sbr_env_start_bits[2 * amp_res + balance]: first envelope value's width.
//   sbr_freq_scale_bands_per_octave[bs_freq_scale]: 12, 10, 8 ([0] unused).
//   sbr_alter_scale_warp_x10: 13 (1.3); sbr_two_region_ratio_x10000: 22449.
//   sbr_pointer_bits[bs_num_env]: width of bs_pointer.
//   sbr_header_defaults[SbrHeaderDefault]: values of absent header fields.
#pragma once

#include <cstdint>

enum SbrHuffId {
    SBR_HUFF_T_ENV_1_5DB,
    SBR_HUFF_F_ENV_1_5DB,
    SBR_HUFF_T_ENV_BAL_1_5DB,
    SBR_HUFF_F_ENV_BAL_1_5DB,
    SBR_HUFF_T_ENV_3_0DB,
    SBR_HUFF_F_ENV_3_0DB,
    SBR_HUFF_T_ENV_BAL_3_0DB,
    SBR_HUFF_F_ENV_BAL_3_0DB,
    SBR_HUFF_T_NOISE_3_0DB,
    SBR_HUFF_T_NOISE_BAL_3_0DB,
    SBR_HUFF_COUNT
};

struct SbrHuffTable {
    const int16_t* tree;
    int16_t nodes;   // entries of tree
    int8_t lav;      // largest absolute delta
    int8_t max_len;  // longest codeword, bits
};
constexpr int kSbrHuffLeafBias = 64;

struct SbrRateParams {
    int32_t fs;  // SBR output rate, Hz
    uint8_t start_min;
    uint8_t stop_min;
    uint8_t offset_class;     // row of sbr_start_offsets
    uint8_t max_k2_minus_k0;  // largest allowed k2 - k0
    uint8_t goal_sb;          // NINT(2.048e6 / fs)
    uint8_t k0[16];           // by bs_start_freq
    uint8_t k2[14];           // by bs_stop_freq 0..13 (14, 15: 2 k0, 3 k0)
};
constexpr int kSbrRateCount = 9;

enum SbrHeaderDefault {
    SBR_DEFAULT_FREQ_SCALE,
    SBR_DEFAULT_ALTER_SCALE,
    SBR_DEFAULT_NOISE_BANDS,
    SBR_DEFAULT_LIMITER_BANDS,
    SBR_DEFAULT_LIMITER_GAINS,
    SBR_DEFAULT_INTERPOL_FREQ,
    SBR_DEFAULT_SMOOTHING_MODE
};

extern const SbrHuffTable sbr_huff[SBR_HUFF_COUNT];
extern const int32_t sbr_noise_v[512][2];
extern const int8_t sbr_start_offsets[6][16];
extern const SbrRateParams sbr_rate_params[kSbrRateCount];

extern const int32_t sbr_h_smooth[5];
extern const int8_t sbr_h_sl[2];
extern const int8_t sbr_phi_re[4];
extern const int8_t sbr_phi_im[4];
extern const int32_t sbr_lim_gain_log2[4];
extern const int8_t sbr_limiter_bands_per_octave_x10[4];
extern const int32_t sbr_new_bw[16];
extern const int32_t sbr_bw_smooth_down[2];
extern const int32_t sbr_bw_smooth_up[2];
extern const int8_t sbr_env_a[2];
extern const int8_t sbr_pan_offset_env[2];
extern const int8_t sbr_env_start_bits[4];
extern const int8_t sbr_freq_scale_bands_per_octave[4];
extern const int8_t sbr_pointer_bits[6];
extern const int8_t sbr_header_defaults[7];
extern const int32_t sbr_limiter_merge_threshold_x100;
extern const int32_t sbr_gain_max_limit_log2;
extern const int32_t sbr_gain_boost_max_log2;
extern const int32_t sbr_bw_zero_below;
extern const int32_t sbr_bw_max;
extern const int32_t sbr_env_scale;
extern const int32_t sbr_pan_offset_noise;
extern const int32_t sbr_noise_floor_offset;
extern const int32_t sbr_noise_start_bits;
extern const int32_t sbr_alter_scale_warp_x10;
extern const int32_t sbr_two_region_ratio_x10000;
extern const int32_t sbr_num_time_slots_1024;
extern const int32_t sbr_num_time_slots_960;
extern const int32_t sbr_rate;
extern const int32_t sbr_t_hfgen;
extern const int32_t sbr_t_hfadj;
