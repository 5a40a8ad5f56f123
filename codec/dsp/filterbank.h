// Synthesis filter bank: inverse MDCT, windowing and overlap-add.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"
#include "dsp/fixed.h"

// The exact arithmetic's Q12 time samples (4096 to the 16-bit LSB) as
// output: a 16-bit sample (add 2^11, shift right by 12, saturate), or a
// 32-bit one, 2^16 to the 16-bit LSB, limited to what rounds to the 16-bit
// range: its 16-bit rounding, (s + 2^15) >> 16, is q12_to_pcm16(v). The
// filter bank and the SBR synthesis both end in them.
inline int16_t q12_to_pcm16(int32_t v) { return fx::sat16(fx::asr(fx::add_sat(v, 2048), 12)); }
inline int32_t q12_to_pcm32(int32_t v) {
    constexpr int32_t lo = -32768 * 4096, hi = 32767 * 4096 + 2047;
    return fx::shl_sat(v < lo ? lo : (v > hi ? hi : v), 4);
}

// Synthesis of one channel for one block: inverse transforms by window
// sequence, windowing, overlap-add, 1024 PCM samples to out (which lies
// outside coef and overlap; coef is used as scratch). wnd_shape: [0] this block's
// window shape, [1] the previous transform's, which takes the value of [0]
// afterwards. first_block: set after a reset, cleared by the first
// LONG_START block (the compact arithmetic places short windows by it).
// Compact: dsp/synthesis_compact.cpp, any out; exact:
// dsp/synthesis_exact.cpp, a slot of stereo frames (step 2, with pair both),
// a dropped channel (step 0) or time samples; the other layouts and 32-bit
// samples through synthesise_channel_any.
void synthesise_channel(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                        OverlapSample* overlap, PcmOut out);

// The same into any out: 32-bit samples (out.wide) or frames of any number
// of channels (exact arithmetic). An entry of its own, which
// synthesise_channel does not reach: the decoder calls it through the
// instance's libraryOutput, which only the library interface sets, so the
// plug-in, always 16-bit stereo, links without it.
void synthesise_channel_any(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                            OverlapSample* overlap, PcmOut out);

// A channel mixed into a stereo downmix (exact arithmetic): the 2048 Q12
// samples of its windowed inverse transform, each weighted by gain[0] and
// gain[1] (Q30, rounded), add to the first halves' sums head[0], head[1]
// (samples 0..1023, which hold the stereo overlap of the previous block
// before the first channel adds) and to the second halves' tail[0], tail[1]
// (samples 1024..2047: the next block's stereo overlap, zero before the
// first channel adds). Overlap-add is linear, so once every channel has
// added, head is the stereo PCM in Q12 whatever each channel's window
// sequence and shape. Sums saturate to 32 bits (a full-scale mix uses a
// sixteenth of the range). coef is used as scratch; wnd_shape as for
// synthesise_channel.
struct MixOut {
    int32_t* head[2];
    int32_t* tail[2];
    int32_t gain[2];
};
void synthesise_channel_mix(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix);

