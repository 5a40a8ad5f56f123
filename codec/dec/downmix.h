// Multichannel layouts played as a stereo downmix.
//
// A layout of more than two front channels (a channel configuration 3..7 or
// a program config element) is decoded element by element: each element's
// channels go through the spectral tools and their inverse transforms, and
// every channel's 2048 windowed time samples add, weighted, into two stereo
// sums before the overlap-add (synthesise_channel_mix). Overlap-add is
// linear, so the result is the mix of the channels' own decodes for every
// window sequence and shape, while the decoder holds one element's spectra
// and two overlap buffers. The first halves add into the stereo overlap
// buffers, which hold the last block's tail; the second halves into the
// buffer of the last good spectra, which a mixed stream does not conceal
// from: the downmix takes no memory beyond the stereo decoder's.
//
// Weights (then scaled so that the weights reaching one output add up to
// 1, so full-scale channels cannot clip): front pairs 1; front single
// channels (the centre) 1/sqrt(2); side and back channels the surround
// weight a, 1/sqrt(2) unless the program gives a matrix-mixdown index
// (then that index's a), a single one to both outputs, a pair each to its
// side, or with the program's pseudo-surround flag both of a pair to the
// left at -a and to the right at +a; low-frequency channels 0 (a layout of
// nothing else plays them at 1).
//
// HE-AAC layouts (SBR data after each single channel and pair element)
// play mixed at the SBR rate when the host attached the records for it
// (downmix_sbr_attach): each channel's core signal then keeps its own
// overlap (as native output does: channels 2..7 in the buffer of the last
// good spectra), each element's SBR runs once its fill element has had
// its chance to come (at the next channel element, or at the block's end),
// and each channel's subband samples add, with the channel's stereo gains,
// into two stereo matrices of the frame's 32 QMF slots, which the SBR
// record's two synthesis banks make into the stereo PCM. The synthesis is
// linear, so this is the mix of the channels' own SBR decodes, for two
// synthesis banks instead of one a channel (each 2,564 bytes of state and
// as much work as a channel's analysis and high band). Low-frequency
// channels carry no SBR: unheard (weight 0) they are not decoded; heard (a
// layout of nothing else) they pass the analysis and synthesis with an
// empty high band.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sbr/frame.h"

struct MP4AACDEC_QUVA_Obj;
struct ProgConfig;

// Most channels a mixed layout may have.
constexpr int kMixMaxChannels = 8;

// The host's choice (DecoderContext::downmix): such layouts refused, mixed,
// or given out channel by channel (native).
enum : uint8_t { LAYOUT_REFUSED = 0, LAYOUT_MIXED = 1, LAYOUT_NATIVE = 2 };
// Native output: channels 0 and 1 of the layout keep their overlap in the
// stereo overlap buffers, channels 2..7 in the buffer of the last good
// spectra, which the host then makes this large.
constexpr size_t kNativeStoreBytes = (kMixMaxChannels - 2) * 4096;

// At the start of a block: whether it is mixed (the host asked for the
// downmix, the exact arithmetic, and a layout of more than two front
// channels from the selected program, an ADTS channel configuration 3..7 or
// that of raw blocks configured with 3 to 8 channels).
bool downmix_begin_block(MP4AACDEC_QUVA_Obj* dec);
// Before a block: whether downmix_begin_block will say it is mixed (as far
// as the layout is known: a program read in the block itself is not).
bool downmix_block_ahead(const MP4AACDEC_QUVA_Obj* dec);
// Whether a program of more than two front channels, or of others, is one
// to mix (or, without the downmix, refused).
bool downmix_mixes_program(const MP4AACDEC_QUVA_Obj* dec, const ProgConfig& pc);
// The channel slots of a channel element (id, tag) of a mixed block: slot 0
// (and 1 for a pair). An element the layout has not (or not left) is read
// but not played, and the block fails once read.
int32_t downmix_map(MP4AACDEC_QUVA_Obj* dec, int32_t id, int32_t tag, int32_t common_window);
// The layout channel of slot c of the element being decoded.
int downmix_channel_index(const MP4AACDEC_QUVA_Obj* dec, int c);
// Slot c of the element just decoded through its inverse transform into the
// sums, or (native) into its own overlap and its place in the output frames.
void downmix_channel(MP4AACDEC_QUVA_Obj* dec, int c);
// 1 when every element of the layout was decoded in this block.
bool downmix_complete(const MP4AACDEC_QUVA_Obj* dec);
// The block's stereo PCM out of the sums; the tails become the overlap. The
// channel record then counts the layout's channels.
void downmix_end_block(MP4AACDEC_QUVA_Obj* dec);
// A failed block of a mixed stream: the sums as they stand (the last tail,
// and whatever the failed block added) go out, and the tails move on.
void downmix_conceal(MP4AACDEC_QUVA_Obj* dec);
// A failed block of a mixed stream that gives nothing (concealment off, or
// no rate yet to play it at): what it added to the sums cannot be told
// from the last tail they hold, and both go; the sums start again from
// silence, the channels' window shapes from the start's. (Kept, the next
// two blocks played its first elements' halves.)
void downmix_forget_block(MP4AACDEC_QUVA_Obj* dec);

// The channels and the stereo gains (Q30, left then right) of the layout
// the block uses; 0 channels when it is not mixed. Tests and hosts.
int downmix_gains(const MP4AACDEC_QUVA_Obj* dec, int32_t gains[kMixMaxChannels][2]);

// The scratch record of a mixed layout with SBR: the stereo sums of the
// frame's subband samples (left, right).
struct SbrMixScratch {
    int32_t re[2][kSbrQmfSlots][64];
    int32_t im[2][kSbrQmfSlots][64];
};
// Bytes of the persistent record for layouts of up to `channels` channels
// with SBR (3..8; channels not heard, such as a 5.1 layout's low-frequency
// channel, take no room: 5.1 needs 5): each element's SBR state, the SBR
// channels beyond the SBR record's two, and what concealment needs of the
// last layout.
size_t downmix_sbr_bytes(int channels);
// The records (8-byte aligned) attached to an instance with SBR attached and
// a buffer of the last good spectra of downmix_sbr_store_bytes(channels)
// bytes. False (nothing attached) otherwise.
bool downmix_sbr_attach(MP4AACDEC_QUVA_Obj* dec, void* persistent, SbrMixScratch* scratch, int channels);
// The buffer of the last good spectra such an instance needs: the core
// overlaps of channels 2.. (the channels heard come first in every layout:
// front, side, back, then low-frequency channels, which are heard only in
// a layout of nothing else).
constexpr size_t downmix_sbr_store_bytes(int channels) {
    return channels > 4 ? static_cast<size_t>(channels - 2) * 4096 : 8192;
}
// A new stream: the elements' SBR states from the start.
void downmix_sbr_reset(MP4AACDEC_QUVA_Obj* dec);
// 1 when the block's mixed layout can play SBR in this instance.
bool downmix_sbr_room(const MP4AACDEC_QUVA_Obj* dec);
// At a mixed block of a stream whose SBR is not decided yet, in an
// instance that could play it: 1 (the block is then read once without
// synthesis first, and downmix_sbr_decide called).
bool downmix_sbr_undecided(const MP4AACDEC_QUVA_Obj* dec);
void downmix_sbr_decide(MP4AACDEC_QUVA_Obj* dec);
// The SBR of the element read last (a new channel element starts, or the
// block ends).
void downmix_sbr_element(MP4AACDEC_QUVA_Obj* dec);
