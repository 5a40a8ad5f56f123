// Synthesis filter bank: inverse MDCT, windowing and overlap-add.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"

struct MP4AACDEC_QUVA_Obj;

extern "C" {

// Sets the first-block flag; the last step of every decoder reset.
void kvxdec_aacFilterBankInit(MP4AACDEC_QUVA_Obj* state);

// Synthesis of one channel for one block: inverse transforms by window
// sequence, windowing, overlap-add, 1024 PCM samples to pcm.
// wnd_shape: [0] this block's window shape, [1] the previous transform's,
// which takes the value of [0] afterwards. Compact: dsp/filterbank.cpp;
// exact: dsp/synthesis_exact.cpp.
void kvxdec_aacFilterBank(MP4AACDEC_QUVA_Obj* state, uint8_t window_sequence, uint16_t* wnd_shape,
                          int32_t* coef, OverlapSample* overlap, int16_t* pcm);

// Combining routines of the compact arithmetic, 16-bit in and out.
void kvxdec_add_func_aacFB(const int16_t* a, const int16_t* b, int16_t* out, int n);
void kvxdec_add_func2_aacFB(const int16_t* a, const int16_t* b, int16_t* out, int n);
void kvxdec_shift1_func_aacFB(int16_t* out, const int16_t* in, int n);

}  // extern "C"
