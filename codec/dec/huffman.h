// Spectral Huffman decoding: codebook descriptors and set-up.
#pragma once

#include "dec/mcinfo.h"

extern "C" {

// Builds the codebook descriptors and the band layouts for the rate of `mi`.
void kvxdec_huffbookinit(MC_Info* mi);

}  // extern "C"
