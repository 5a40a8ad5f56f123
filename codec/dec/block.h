// Raw data block parser.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"

struct MP4AACDEC_QUVA_Obj;

// Syntactic element ids.
enum : uint16_t { ID_SCE = 0, ID_CPE = 1, ID_CCE = 2, ID_LFE = 3, ID_DSE = 4, ID_PCE = 5, ID_FIL = 6, ID_END = 7 };

// The most elements a block found while stepping over damage in ADIF may
// hold; one of more is junk. A program names at most 48 channel elements
// and 15 coupling elements, a block adds a few data and fill elements, and
// even the reservoir's largest padding takes a handful of fill elements.
// Where no frame bounds a block, damage is stepped over byte by byte, a
// whole block tried at each: unbounded, junk that reads as hundreds of
// small fill and data elements made each try read to the end of the data
// held.
constexpr int kMaxBlockElements = 128;

// Decodes one raw data block into the output buffer. Greater than 0 on
// success (16 x the words the FIFO moved into its cache); 0 or negative on
// failure.
int16_t aacDecode(MP4AACDEC_QUVA_Obj* dec);

// A block of a frame whose length is in doubt that ended `block_bits` (a
// whole number of bytes) after its start: 1 when it counts (dec/process.cpp).
bool frame_end_confirmed(MP4AACDEC_QUVA_Obj* dec, uint32_t block_bits);

// Reads one fill element after its id and drops it, whatever its type.
// A fill element after its id; `after` is the channel element (ID_SCE,
// ID_CPE) it follows, or ID_END, `element` that element's place among the
// block's channel elements (1: the first) and `slot` its channel slot.
void kvxdec_getfill(MP4AACDEC_QUVA_Obj* dec, uint16_t after, int element = 0, int slot = 0);
constexpr uint16_t kExtSbrData = 13, kExtSbrDataCrc = 14;  // extension types

// Where the synthesis of channel c puts its PCM: its slot of the stereo
// frames in the output buffer when the block is stereo, both slots for
// channel 0 otherwise (a mono block is duplicated; any further channel is
// synthesised for its overlap alone and its samples dropped), and nowhere
// without an output buffer. Dropped samples all land in *drop.
PcmOut pcm_out(MP4AACDEC_QUVA_Obj* dec, int c, bool stereo, int16_t* drop);
// 1 when the stream plays SBR: channel time samples go to the SBR scratch,
// channel 1's to channel 0's spent spectrum (pcm_out), and sbr_out makes the
// channel's 2048 PCM samples of them, once every channel's time samples are
// made (channel 0 first).
bool sbr_playing(const MP4AACDEC_QUVA_Obj* dec);
void sbr_out(MP4AACDEC_QUVA_Obj* dec, int c, bool stereo);
