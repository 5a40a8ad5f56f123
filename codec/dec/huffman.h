// Spectral Huffman decoding: codebook descriptors, codeword and section
// decoding, pulses and the reordering of grouped short windows.
#pragma once

#include <cstdint>

#include "dec/bands.h"
#include "dec/fifo.h"
#include "dec/mcinfo.h"
#include "dec/syntax.h"
#include "dsp/arithmetic.h"

struct MP4AACDEC_QUVA_Obj;

struct Huffbook {
    int16_t num_codewords;
    int16_t dimension;  // values per codeword
    int16_t lav;        // largest absolute value
    int16_t modulus;
    int16_t value_offset;
    int16_t is_signed;  // 0: magnitudes, sign bits follow the codeword
    const void* tree;   // lookup table; for entry 12 the scale factor code table
};

// Indexed by codebook number; entries 0 and 13 are empty.
extern const Huffbook kvxdec_book[14];

// Builds the instance's band layouts for the rate of its channel map.
void kvxdec_huffbookinit(MP4AACDEC_QUVA_Obj* dec);

// (w: the slot whose window information channel c's block uses.)
int16_t kvxdec_huffspec(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int section_count,
                        const SectionEntry* sections, int16_t c, int w = 0);
// The values of the sections' spectral bands into quant, which arrives
// zeroed: bands without spectral data, and on 64-bit targets runs of
// codewords of zeros (dec/huffman_lines.h), are not written.
bool kvxdec_DecodeHuff(uint16_t section_count, const int16_t* frame_swb_top,
                       const SectionEntry* sections, int16_shared* quant, DecFifo* fifo);
int kvxdec_new_decode_huff_cw(DecFifo* fifo, const Huffbook* book, int16_shared* out);
// Reorders the values of a grouped eight-short frame from transmission order
// (group, band, window) to window order, through the 1024-value scratch.
void ungroup_short(const BandInfo* band, int16_shared* quant, int16_shared* scratch);
int16_t kvxdec_decode_huff_sf_cw(MP4AACDEC_QUVA_Obj* dec, const void* table);
// The scale factor codeword's index, 0..120, searched in length order with
// bit reads through the FIFO (which may pull from the stream).
int16_t scale_by_search(MP4AACDEC_QUVA_Obj* dec, const void* table);

