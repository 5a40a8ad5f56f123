// Constant tables of parametric stereo (generated, see ps_tables.cpp and
// tools/gen_tables/gen_ps.py).
//
// Huffman code trees, ps_huff[id].tree: laid out as the SBR trees
// (sbr_tables.h): 16-bit nodes in pairs, the first bit selects node 0 or 1;
// a node n >= 0 is inner (the next bit selects node n or n + 1), a node
// n < 0 a leaf holding the coded value minus kPsHuffLeafBias. Every code is
// complete.
//
// ps_mix[procedure][row][icc][h11, h12, h21, h22]: the mixing matrices of
// procedure A (rotation by the ICC angle, [0]) and B (the principal-axis
// rotation, [1]), Q30, for IID indices i >= 0: row i on the fine grid,
// ps_mix_row_normal[i] on the normal one (the rows the two grids share are
// kept once). Index -i has the matrix of i with h11 and h12 swapped and
// h21, h22 swapped and negated: exactly, as the generator checks.
//
// ps_phase_smooth[64 * a + 8 * b + c]: the unit phasor of the weighted sum
// of the IPD/OPD angles a (oldest, weight 1/4), b (1/2) and c (newest, 1),
// {re, im} Q30.
//
// Per configuration (20 or 34 stereo bands), PsConfigTables:
//   hybrid_coef[k][n]: the complex filter {re, im} (Q31) of hybrid band k,
//     taps n = 0..12, centred on n = 6: y_k(t) = sum_n h[n] x(t + 6 - n)
//     of QMF band hybrid_qmf[k] (bands in their QMF bands' order); two
//     summed filter outputs are one filter.
//   par_band[k]: the stereo parameter band of band k (hybrid bands first,
//     then QMF bands num_hybrid_qmf .. 63).
//   neg_phase[k]: 1 where the band's centre frequency is negative (the
//     IPD/OPD phase turns the other way).
//   allpass: the decorrelator of the all-pass bands, kPsAllpassRows rows of
//     allpass_bands values (row r of band k at r * allpass_bands + k).
// ps_map_<from>_<to>[target]: {source, weight} x 4 (weight 0: unused) and
// the divisor: target = sum(weight * source) / divisor, C division.
#pragma once

#include <cstdint>

enum PsHuffId {
    PS_HUFF_IID_DF,
    PS_HUFF_IID_DT,
    PS_HUFF_IID_FINE_DF,
    PS_HUFF_IID_FINE_DT,
    PS_HUFF_ICC_DF,
    PS_HUFF_ICC_DT,
    PS_HUFF_IPD_DF,
    PS_HUFF_IPD_DT,
    PS_HUFF_OPD_DF,
    PS_HUFF_OPD_DT,
    PS_HUFF_COUNT
};

constexpr int kPsHuffLeafBias = 64;

struct PsHuffTable {
    const int16_t* tree;
    int16_t nodes;    // entries of tree
    int16_t max_len;  // longest codeword
};

// The rows of the all-pass bands' coefficients, each over the bands: the
// fractional delay phi_fract {re, im}, the three links' fractional delays
// Q_fract(m) {re, im} (Q31) and their coefficients a(m) * g_decay(k) (Q31).
enum PsAllpassRow {
    kPsPhiRe,
    kPsPhiIm,
    kPsLinkRe0,  // link m: kPsLinkRe0 + 2 m (re), + 1 (im)
    kPsLinkAg0 = kPsLinkRe0 + 6,  // link m: kPsLinkAg0 + m
    kPsAllpassRows = kPsLinkAg0 + 3
};

struct PsConfigTables {
    const int32_t (*hybrid_coef)[13][2];
    const uint8_t* hybrid_qmf;
    const uint8_t* par_band;
    const uint8_t* neg_phase;
    const int32_t* allpass;
    int32_t num_hybrid;      // hybrid bands (10 or 32)
    int32_t num_bands;       // hybrid plus plain QMF bands (71 or 91)
    int32_t num_par;         // stereo parameter bands (20 or 34)
    int32_t num_ipdopd;      // parameter bands with phase (11 or 17)
    int32_t allpass_bands;   // bands k below this are all-pass decorrelated
    int32_t long_delay_end;  // then up to this one a 14-slot delay, above 1 slot
    int32_t decay_cutoff;
    int32_t num_hybrid_qmf;  // QMF bands split by the hybrid filters (3 or 5)
};

extern const PsHuffTable ps_huff[PS_HUFF_COUNT];
constexpr int kPsMixFineRows = 16;  // the fine grid's indices 0..15, the normal one's 0..7
extern const int32_t ps_mix[2][19][8][4];
extern const uint8_t ps_mix_row_normal[kPsMixFineRows / 2];
extern const int32_t ps_phase_smooth[512][2];
extern const PsConfigTables ps_config_20;
extern const PsConfigTables ps_config_34;
extern const int8_t ps_map_10_20[20][9];
extern const int8_t ps_map_10_34[34][9];
extern const int8_t ps_map_20_34[34][9];
extern const int8_t ps_map_34_20[20][9];
extern const int8_t ps_nr_iid_icc_par[6];  // by iid_mode / icc_mode
extern const int8_t ps_nr_ipdopd_par[6];   // by iid_mode
extern const int8_t ps_num_env[8];         // [4 * frame_class + num_env_idx]
extern const int32_t ps_peak_decay_q31;    // transient detector's peak decay, Q31
extern const int32_t ps_delay_long;        // 14 slots
extern const int32_t ps_delay_short;       // 1 slot
extern const int32_t ps_allpass_pre_delay; // 2 slots
extern const int32_t ps_iid_lav_normal;    // 7
extern const int32_t ps_iid_lav_fine;      // 15
extern const int32_t ps_icc_max;           // 7
