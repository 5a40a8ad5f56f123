// The decoder's calls of the spectral tools and the filter bank: each takes
// the instance's records, gathers what its kernel needs and calls it.
#pragma once

#include <cstdint>

#include "dec/mcinfo.h"
#include "dsp/arithmetic.h"
#include "dsp/tools.h"

struct MP4AACDEC_QUVA_Obj;

// Intensity bands of a right channel c, from its left channel.
void kvxdec_intensity(MC_Info* mi, const BandInfo* band, int w, int c, const uint8_t* windowGroups,
                      const uint8_t* sectCodebook, const int16_t* scaleFactors, int32_t* const* coef);
// Noise substitution of the noise bands of channel c, drawing from the
// instance's generator `seed`.
// energy_offset: added to each noise band's energy (4 s for a channel at
// scale s, dec/core_scale.h).
void aacdec_pns(MC_Info* mi, const BandInfo* band, int w, int c, const uint8_t* windowGroups,
                const uint8_t* sectCodebook, const int16_t* scaleFactors, uint32_t* seed,
                int32_t* const* coef, int energy_offset = 0);
// TNS filters of one window, in place, within the limits of the instance's
// profile and rate.
void kvxdec_tns_decode_subblock(int32_t* spectrum, int32_t* spectrum_out, int max_sfb, const int16_t* window_swb_top,
                                int32_t is_long, const TnsWindow* tns_window, MP4AACDEC_QUVA_Obj* dec);
// The TNS filters of channel c's windows (band layout `band`, its window
// information in slot w). Where the core's block scale (dec/core_scale.h)
// made the channel's spectrum larger than its value, and the filters take
// a value beyond the 32-bit range, the channel is filtered again at its
// value.
void kvxdec_tns_channel(MP4AACDEC_QUVA_Obj* dec, int c, int w, const BandInfo* band);

// Sets the first-block flag; the last step of every decoder reset.
void kvxdec_aacFilterBankInit(MP4AACDEC_QUVA_Obj* state);
// Synthesis of one channel for one block (synthesise_channel) with the
// instance's first-block flag; 32-bit output (out.wide) through the
// instance's libraryOutput.
void kvxdec_aacFilterBank(MP4AACDEC_QUVA_Obj* state, uint8_t window_sequence, uint16_t* wnd_shape,
                          int32_t* coef, OverlapSample* overlap, PcmOut out);
// The library interface's outputs: 32-bit samples (wide) or 16-bit ones,
// and native layouts (KVXD_setDownmix, LAYOUT_NATIVE) allowed; exact
// arithmetic (the compact one has only 16-bit output and no native
// layouts). Only what calls this links their synthesis
// (synthesise_channel_any): the plug-in, 16-bit stereo alone, does not.
void kvxdec_set_library_output(MP4AACDEC_QUVA_Obj* dec, bool wide);
