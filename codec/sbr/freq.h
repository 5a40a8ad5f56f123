// SBR frequency band tables: from the header fields that shape them and the
// SBR output rate, the master table, the high- and low-resolution envelope
// tables, the noise floor and limiter tables and the patches of the HF
// generator (ISO/IEC 14496-3, SBR tool).
//
// Everything is integer arithmetic. Where the band counts and band widths
// are defined through logarithms and powers of real numbers, the decisions
// are made by comparing base-2 logarithms of integers in Q24
// (sbr_log2_q24), which reproduces the real-number results for every
// header and rate (tests/test_sbr_freq.cpp compares all of them).
//
// A header whose tables the standard forbids, or which would not fit the
// bounded arrays, gives an error status and leaves *out unusable: no field
// of a damaged header can make an index leave these arrays.
#pragma once

#include <cstdint>

// The header fields the frequency tables depend on.
struct SbrFreqHeader {
    uint8_t start_freq;     // bs_start_freq, 0..15
    uint8_t stop_freq;      // bs_stop_freq, 0..15
    uint8_t freq_scale;     // bs_freq_scale, 0..3
    uint8_t alter_scale;    // bs_alter_scale, 0..1
    uint8_t xover_band;     // bs_xover_band, 0..7
    uint8_t noise_bands;    // bs_noise_bands, 0..3
    uint8_t limiter_bands;  // bs_limiter_bands, 0..3
};

constexpr int kSbrMaxMasterBands = 48;   // k2 - k0 <= 48, every band >= 1 subband
constexpr int kSbrMaxLowBands = 24;      // ceil(48 / 2)
constexpr int kSbrMaxNoiseBands = 5;
constexpr int kSbrMaxPatches = 6;        // built; at most 5 remain in a valid header
constexpr int kSbrMaxLimiterBands = kSbrMaxLowBands + 5 - 1;
constexpr int kSbrMaxKx = 32;            // the analysis bank gives 32 subbands

struct SbrFreqTables {
    int32_t k0, k2;          // first subband of the master table, its end
    int32_t kx, m;           // first SBR subband, SBR subbands
    int32_t n_master;        // bands of f_master
    int32_t n_high, n_low;   // bands of f_high (N_high) and f_low (N_low)
    int32_t n_q;             // noise floor bands (N_Q)
    int32_t n_lim;           // limiter bands (N_L)
    int32_t num_patches;
    // Band borders: band i covers subbands f[i] .. f[i + 1] - 1.
    uint8_t f_master[kSbrMaxMasterBands + 1];
    uint8_t f_high[kSbrMaxMasterBands + 1];
    uint8_t f_low[kSbrMaxLowBands + 1];
    uint8_t f_noise[kSbrMaxNoiseBands + 1];
    uint8_t f_lim[kSbrMaxLimiterBands + 1];
    uint8_t patch_num_subbands[kSbrMaxPatches];
    uint8_t patch_start_subband[kSbrMaxPatches];
};

enum SbrFreqStatus {
    SBR_FREQ_OK = 0,
    SBR_FREQ_BAD_RATE = -1,    // not an SBR output rate (16000..96000 of the nine)
    SBR_FREQ_BAD_FIELD = -2,   // a header field outside its coded range
    SBR_FREQ_BAD_RANGE = -3,   // k2 <= k0, or k2 - k0 above the rate's limit
    SBR_FREQ_BAD_MASTER = -4,  // no master band, or a band of no subband
    SBR_FREQ_BAD_XOVER = -5,   // bs_xover_band >= N_master, or kx > 32
    SBR_FREQ_BAD_NOISE = -6,   // more than 5 noise floor bands
    SBR_FREQ_BAD_PATCH = -7    // more than 5 patches, or patching finds no way up
};

// log2(n) in Q24 for n = 1..2^24; below 2^-22 from the true value.
int32_t sbr_log2_q24(uint32_t n);

// Row of sbr_rate_params for an SBR output rate, or -1.
int sbr_rate_index(int32_t fs_sbr);

// Only the master table: k0, k2, n_master and f_master of *out.
SbrFreqStatus sbr_derive_master(const SbrFreqHeader& h, int32_t fs_sbr, SbrFreqTables* out);

// The tables that follow from the master table (kx, M, f_high, f_low, the
// noise floor and limiter bands, the patches), into an *out whose master
// table sbr_derive_master made from the same header and rate.
SbrFreqStatus sbr_derive_band_tables(const SbrFreqHeader& h, int32_t fs_sbr, SbrFreqTables* out);

// All the tables of *out: sbr_derive_master, then sbr_derive_band_tables;
// SBR_FREQ_OK when the header is valid.
SbrFreqStatus sbr_derive_freq_tables(const SbrFreqHeader& h, int32_t fs_sbr, SbrFreqTables* out);
