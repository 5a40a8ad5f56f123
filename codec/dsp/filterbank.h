// Synthesis filter bank: inverse MDCT, windowing and overlap-add.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"

// Synthesis of one channel for one block: inverse transforms by window
// sequence, windowing, overlap-add, 1024 PCM samples to out (which lies
// outside coef and overlap; coef is used as scratch). wnd_shape: [0] this block's
// window shape, [1] the previous transform's, which takes the value of [0]
// afterwards. first_block: set after a reset, cleared by the first
// LONG_START block (the compact arithmetic places short windows by it).
// Compact: dsp/filterbank.cpp; exact: dsp/synthesis_exact.cpp.
void synthesise_channel(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                        OverlapSample* overlap, PcmOut out);

// Combining routines of the compact arithmetic, 16-bit in and out.
void kvxdec_add_func_aacFB(const int16_shared* a, const int16_t* b, int16_shared* out, int n);
void kvxdec_add_func2_aacFB(const int16_shared* a, const int16_t* b, int16_t* out, int n);
void kvxdec_shift1_func_aacFB(int16_shared* out, const int16_shared* in, int n);

