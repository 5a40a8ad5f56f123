// Huffman code tables (generated, see huffman_tables.cpp).
//
// Lookup tables, spectral_book1..11 and scale_lookup (generated, see
// huffman_tables.cpp): 16-bit entries, the same for the reservoir's lookups
// and the FIFO's. With the next stream bits left-aligned in t, the entry is
// table[t >> (32 - root bits)], kLookupRootBits bits for the spectral books
// and kScaleRootBits for scale factors. Bits 15..12 of an entry hold its
// kind and bit count f:
//
// - f 1..8 (1..9 in the scale factor root): a plain leaf. The codeword ends
//   f bits into the entry's level and bits 11..0 hold its values with their
//   signs: for books 1 and 2 the row of spectral_quads; for books 3 and 4
//   bits 4..0 the row of spectral_halves holding the first two values and
//   bits 9..5 the row of the last two; for books 5-11 bits 11..6 and 5..0 the
//   two values in two's complement; for scale factors the index (value plus
//   60). In the books of magnitudes (3, 4, 7-11) the f bits include the
//   codeword's sign bits (one per non-zero value, 1 meaning negative): the
//   table holds one entry per combination of them, wherever they fit the
//   level the codeword ends in.
// - f 9..15 (books of magnitudes only): a leaf whose sign bits follow the
//   codeword, which ends f - 8 bits into the entry's level. Bits 11..0 hold
//   the magnitudes: for books 3 and 4 two bits each in bits 7..6, 5..4, 3..2
//   and 1..0; for books 7-11 the first times 17 plus the second.
// - f 0: a link. Bits 11..9 hold w - 1, w the width of the table it leads
//   to, and bits 8..0 its start after the root: the entry used instead is
//   table[root entries + (e & 511) + (t' >> (32 - w))], t' the bits after
//   those the levels so far took (the root's all of its bits). That entry
//   may itself be a link, for the longest codewords. A further table is at
//   most 7 bits wide (6 as generated). In a root, bits 11..9 holding kLookupRootLeaf instead
//   make the entry an 8-bit leaf whose sign bits follow, its magnitudes in
//   bits 8..0 as above.
//
// In book 11 a value of 16 (or -16) marks an escape. Every spectral
// codeword ends within 16 bits of its start (the FIFO's look-ahead).
#pragma once

#include <cstdint>

// One scale factor codeword: its bits, right-aligned, its length and the
// value it codes plus 60.
struct ScaleCode {
    uint32_t codeword : 19;
    uint32_t length : 5;
    uint32_t index : 8;
};

constexpr int kLookupRootBits = 8;
constexpr int kScaleRootBits = 9;
// A leaf's bit count f above this: its sign bits follow (SIGNS_FOLLOW and
// ROOT_LEAF in the generator).
constexpr uint32_t kLookupSignsFollow = 8;
constexpr uint32_t kLookupRootLeaf = 7;
extern const uint16_t spectral_book1[304], spectral_book2[270], spectral_book3[366], spectral_book4[300],
    spectral_book5[328], spectral_book6[294], spectral_book7[306], spectral_book8[268], spectral_book9[450],
    spectral_book10[366], spectral_book11[462];
extern const uint16_t scale_lookup[660];
// Every combination of four values of -1..1, row sum of (v[i] + 1) * 3^(3 - i),
// and every pair of values of -2..2, row (v[0] + 2) * 5 + v[1] + 2.
alignas(8) extern const int16_t spectral_quads[81][4];
alignas(4) extern const int16_t spectral_halves[25][2];

// The scale factor code, sorted by length and then by codeword.
extern const ScaleCode kvxdec_bookscl[121];
