// The downmix's loops over samples, kept apart from its layout and element
// bookkeeping (dec/downmix.cpp, run once an element and compiled for size):
// these run over every sample of a mixed block and are compiled for speed.
#pragma once

#include <cstdint>

struct MP4AACDEC_QUVA_Obj;

// The stereo sums as PCM: 1024 interleaved frames from the heads (Q12, the
// overlap buffers), then the tails (the buffer of the last good spectra)
// become the heads and are cleared.
void downmix_put_sums(MP4AACDEC_QUVA_Obj* dec);

