// The downmix's loops over samples, kept apart from its layout and element
// bookkeeping (dec/downmix.cpp, run once an element and compiled for size):
// these run over every sample of a mixed block and are compiled for speed.
#pragma once

#include <cstdint>

#include "sbr/frame.h"

struct MP4AACDEC_QUVA_Obj;

// The stereo sums as PCM: 1024 interleaved frames from the heads (Q12, the
// overlap buffers), then the tails (the buffer of the last good spectra)
// become the heads and are cleared.
void downmix_put_sums(MP4AACDEC_QUVA_Obj* dec);

// sum += gain (Q30) * x over the frame's QMF slots, subbands 0..width-1 of
// each, real and imaginary parts alike (x from slot kSbrHfAdjSlots on).
void downmix_add_subbands(int32_t (*sum_re)[64], int32_t (*sum_im)[64], const int32_t (*re)[64],
                          const int32_t (*im)[64], int width, int32_t gain);

