// Spectral tools run after a raw data block has been parsed: mid/side and
// intensity stereo, noise substitution and temporal noise shaping. Each takes
// the band layout, the per-band side data and the coefficients it works on.
#pragma once

#include <cstdint>

#include "tables/band_layout.h"

// Codebook a right-channel noise band gets when its mid/side flag was set;
// noise substitution treats it as a noise band.
constexpr uint8_t kNoiseMsMarked = 113;

// TNS side data of one channel.
struct TnsFilter {
    int32_t start_band;  // may be negative; clamped by the filter
    int32_t stop_band;
    int32_t order;
    int32_t direction;
    int16_t coef[32];    // transmitted indices, sign-extended
};
struct TnsWindow {
    int32_t n_filt;
    int32_t coef_res;  // 3 or 4
    TnsFilter filt[3];
};

// What limits the TNS filters of one window: the highest order and the band
// no filter reaches beyond (both from the profile, rate and window length).
struct TnsLimits {
    int max_order;
    int max_bands;
};

// Intensity bands (codebooks 14 and 15) of a right channel, from its left
// channel's coefficients; the other bands stay as they are.
void intensity_bands(const BandInfo* band, const uint8_t* windowGroups, const uint8_t* sectCodebook,
                     const int16_t* scaleFactors, const int32_t* left, int32_t* right);
// Noise bands (codebook 13 or kNoiseMsMarked) of one channel, at the energy
// of their scale factors. Compact arithmetic: advances the noise generator
// `seed` once a line. Exact: the generator starts from a hash of `seed` (the
// channel) and of the channel's block (its codebooks, the energies of its
// noise bands, the first line of every band), so the noise depends on that
// block alone; `seed` is left alone.
void noise_bands(const BandInfo* band, const uint8_t* windowGroups, const uint8_t* sectCodebook,
                 const int16_t* scaleFactors, uint32_t* seed, int32_t* coef);
// The TNS filters of one window over its spectrum (max_sfb bands, ending at
// window_swb_top), in place.
void tns_window_filters(int32_t* spectrum, int max_sfb, const int16_t* window_swb_top, TnsLimits limits,
                        const TnsWindow* tns_window);

// Adjusts the mid/side mask and the right channel's codebooks where mid/side
// meets intensity or noise coding.
void kvxdec_map_mask(const BandInfo* band, const uint8_t* windowGroups, uint8_t* msMask,
                     uint8_t* sectCodebook_right);
// Mid/side butterfly over the masked bands.
void kvxdec_synt(int16_t num_windows, const int32_t* num_swb, const int16_t* const* window_swb_top,
                 const int16_t* window_bins, const uint8_t* windowGroups, const uint8_t* msMask,
                 int32_t* coef_right, int32_t* coef_left);

// Reflection coefficients (indices at coef_res bits) to lpc[0..order], the
// 16-bit LPC filter in block floating point: lpc[0] = 16384 * 2^-e stands
// for 1.0.
void kvxdec_tns_decode_coef(int order, int32_t coef_res, const int16_t* coef_index, int16_t* lpc);
// The all-pole filter over size lines from spectrum, upward (inc = 1) or downward
// from spectrum[size - 1] (inc = -1). scratch is not needed.
void kvxdec_tns_ar_filter(int32_t* spectrum, int32_t* scratch, int size, int inc, const int16_t* lpc, int order);

