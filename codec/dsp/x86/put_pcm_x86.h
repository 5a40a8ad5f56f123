// Eight PCM samples to frames n .. n+7 of interleaved stereo (step 2), for
// the x86 output passes: into one slot, keeping the other channel's
// samples, or into both. Include after the file's target pragma (SSE4.1 or
// more); the anonymous namespace gives every file its own copy, built for
// its own target.
#pragma once

#include <smmintrin.h>

#include "dsp/arithmetic.h"

namespace {

// One slot: words 0 .. 7 and 7 .. 14 from the slot's first sample, read,
// blended and written back (word 7 is the other channel's in both), so that
// nothing past the slot's last sample is touched: the right slot's frames
// end one word before the left slot's would.
inline void put8(const PcmOut& out, int n, __m128i pcm) {
    int16_shared* p = out.at + 2 * n;
    const __m128i lo = _mm_unpacklo_epi16(pcm, pcm), hi = _mm_unpackhi_epi16(pcm, pcm);
    __m128i* front = reinterpret_cast<__m128i*>(p);
    __m128i* back = reinterpret_cast<__m128i*>(p + 7);
    if (out.pair) {
        _mm_storeu_si128(front, lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 8), hi);
    } else {
        const __m128i f = _mm_loadu_si128(front), b = _mm_loadu_si128(back);
        _mm_storeu_si128(front, _mm_blend_epi16(f, lo, 0x55));
        _mm_storeu_si128(back, _mm_blend_epi16(b, hi, 0xAA));
    }
}

}  // namespace
