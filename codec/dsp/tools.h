// Spectral tools run after a raw data block has been parsed: mid/side and
// intensity stereo, noise substitution and temporal noise shaping.
#pragma once

#include <cstdint>

#include "dec/bands.h"
#include "dec/mcinfo.h"

struct MP4AACDEC_QUVA_Obj;
struct TnsWindow;

// Codebook a right-channel noise band gets when its mid/side flag was set;
// noise substitution treats it as a noise band.
constexpr uint8_t kNoiseMsMarked = 113;

extern "C" {

// Adjusts the mid/side mask and the right channel's codebooks where mid/side
// meets intensity or noise coding.
void kvxdec_map_mask(const BandInfo* band, const uint8_t* windowGroups, uint8_t* msMask,
                     uint8_t* sectCodebook_right);
// Mid/side butterfly over the masked bands.
void kvxdec_synt(int16_t num_windows, const int32_t* num_swb, const int16_t* const* window_swb_top,
                 const int16_t* window_bins, const uint8_t* windowGroups, const uint8_t* msMask,
                 int32_t* coef_right, int32_t* coef_left);
// Intensity bands of a right channel, from its left channel.
void kvxdec_intensity(MC_Info* mi, const BandInfo* band, int w, int c, const uint8_t* windowGroups,
                      const uint8_t* sectCodebook, const int16_t* scaleFactors, const int32_t* predUsed,
                      int32_t* const* coef);
// Noise substitution of the noise bands of channel c.
void aacdec_pns(MC_Info* mi, const BandInfo* band, int w, int c, const uint8_t* windowGroups,
                const uint8_t* sectCodebook, const int16_t* scaleFactors, const int32_t* predUsed,
                int32_t* const* coef);
// TNS filters of one window, in place.
void kvxdec_tns_decode_subblock(int32_t* spectrum, int32_t* spectrum_out, int max_sfb, const int16_t* window_swb_top,
                                int32_t is_long, const TnsWindow* tns_window, MP4AACDEC_QUVA_Obj* dec);

// Reflection coefficients (indices at coef_res bits) to lpc[0..order], the
// 16-bit LPC filter in block floating point: lpc[0] = 16384 * 2^-e stands
// for 1.0.
void kvxdec_tns_decode_coef(int order, int32_t coef_res, const int16_t* coef_index, int16_t* lpc);
// The all-pole filter over size lines from spectrum, upward (inc = 1) or downward
// from spectrum[size - 1] (inc = -1). scratch is not needed.
void kvxdec_tns_ar_filter(int32_t* spectrum, int32_t* scratch, int size, int inc, const int16_t* lpc, int order);

// State of the noise generator: process-wide, never reset.
extern uint32_t aacdec_pns_seed;

}  // extern "C"
