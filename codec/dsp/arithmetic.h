// The decoder's arithmetic, chosen when it is built (AAC_ARITHMETIC):
//
// exact    32-bit coefficients and time samples, rounded products of 32-bit
//          tables: the PCM matches a double-precision decode to the 16-bit LSB.
// compact  16-bit tables and a 16-bit time path at half of the PCM scale.
//
// Each one's policy (kExactArithmetic, AAC_ARITHMETIC_NAME, the overlap's
// sample type) is in a header of its own, dsp/arithmetic_exact.h and
// dsp/arithmetic_compact.h; this one takes the build's and adds what both
// share. Records, sizes and interfaces are the same in both.
#pragma once

#include <cstdint>

#ifndef AAC_ARITHMETIC_EXACT
#error "AAC_ARITHMETIC_EXACT must be defined by the build"
#endif

#if AAC_ARITHMETIC_EXACT
#include "dsp/arithmetic_exact.h"
#else
#include "dsp/arithmetic_compact.h"
#endif

// A 16-bit word in memory that is also seen as 32-bit words: a channel's
// coefficient buffer holds 32-bit coefficients, and between those uses 16-bit
// quantised values, time samples and PCM. Every 16-bit access to such a
// buffer goes through this type, which the compiler treats like a character
// access (it may alias any object), so both views stay well-defined whatever
// the aliasing options of the build.
typedef int16_t __attribute__((__may_alias__)) int16_shared;

// The 16-bit view of a buffer of 32-bit words.
inline int16_shared* shared16(int32_t* words) { return reinterpret_cast<int16_shared*>(words); }
inline const int16_shared* shared16(const int32_t* words) { return reinterpret_cast<const int16_shared*>(words); }

// Where a channel's 1024 PCM samples go: sample k to at[k * step], and with
// `pair` set to at[k * step + 1] as well (a mono block fills both slots of a
// stereo frame). step 2 stores into one slot of interleaved stereo frames, 1
// in a row; step 0 drops the samples (the synthesis may store them in at[0]
// or in its own buffers).
// With `wide` set the samples go there instead, as 32-bit words that keep
// the exact arithmetic's bits below the 16-bit LSB (the sample times 65536,
// limited to the 16-bit range); only the exact arithmetic's reference
// synthesis writes them, through synthesise_channel_any. With `time` set
// the samples go there instead, one after another, as the synthesis's own
// Q12 time samples (4096 to the 16-bit LSB, not limited to the 16-bit
// range): the input of spectral band replication; exact arithmetic, and only
// a build with SBR has it.
struct PcmOut {
    int16_shared* at;
    int step;
    bool pair;
    int32_t* wide = nullptr;
    int32_t* time = nullptr;
};

// A synthesis of one channel's block (dsp/filterbank.h), as the instance
// holds one.
using ChannelSynthesis = void (*)(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape,
                                  int32_t* coef, OverlapSample* overlap, PcmOut out);

// Stores PCM sample k.
inline void put_pcm(PcmOut out, int k, int16_t v) {
    int16_shared* p = out.at + k * out.step;
    p[0] = v;
    if (out.pair) p[1] = v;
}
