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
#pragma once

#include <cstddef>
#include <cstdint>

struct MP4AACDEC_QUVA_Obj;

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
// After a program config element was read: whether the selected program is
// one to mix (or, without the downmix, refused).
void downmix_program_read(MP4AACDEC_QUVA_Obj* dec);
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

// The channels and the stereo gains (Q30, left then right) of the layout
// the block uses; 0 channels when it is not mixed. Tests and hosts.
int downmix_gains(const MP4AACDEC_QUVA_Obj* dec, int32_t gains[kMixMaxChannels][2]);
