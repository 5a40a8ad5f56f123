// Huffman code tables (generated, see huffman_tables.cpp).
//
// Spectral code trees, kvxdec_new_book1..11: 16-bit nodes in pairs, the
// pair for a 0/1 decision; the first bit selects node 0 or 1. A node with
// bit 15 clear is inner: its value v is the distance to its children's pair,
// so the next bit selects node p+v or p+v+1. A node with bit 15 set is a leaf
// holding the values in two's complement fields: books 1-4 bits 14..12,
// 11..8, 7..4, 3..0; books 5-11 bits 14..8 and 7..0. Unsigned books hold
// magnitudes (16 in book 11 marks an escape).
//
// Lookup tables, spectral_lookup (book b's part starts at
// spectral_lookup_start[b]) and scale_lookup: 32-bit entries.
// With the next 32 stream bits left-aligned in t, the entry is root[t >> (32
// - kSpectralRootBits)] (kScaleRootBits for the scale factor code). An entry
// with bit 5 set is a link: the entry used instead is
// part[(e >> 17) + ((t >> (e & 31)) & ((e >> 6) & 0x7FF))], itself a link
// for the longest codewords (a third level, indexed by the bits after the
// second's, with t still the bits from the codeword's start). Any other entry
// is a leaf: bits 4..0 the length of the codeword together with its sign bits
// (books 3, 4, 7-11 hold one entry per combination of sign bits), bit 6 set
// in the leaves of book 11 with an escape value (16 or -16), bits 31..16
// the values: for books 1-4 the row of spectral_quads holding them, for books
// 5-11 the row of spectral_pairs; for scale factors the index (value plus
// 60).
#pragma once

#include <cstdint>

// One scale factor codeword: the value it codes plus 60, its length and its
// bits, right-aligned.
struct ScaleCode {
    int16_t index;
    uint16_t length;
    uint32_t codeword;
};

extern const uint16_t kvxdec_new_book1[160], kvxdec_new_book2[160], kvxdec_new_book3[160],
    kvxdec_new_book4[160], kvxdec_new_book5[160], kvxdec_new_book6[160], kvxdec_new_book7[126],
    kvxdec_new_book8[126], kvxdec_new_book9[336], kvxdec_new_book10[336], kvxdec_new_book11[576];

constexpr int kSpectralRootBits = 8;
constexpr int kScaleRootBits = 9;
// Entry bits: a link to a subtable, and in book 11 the mark of a leaf with
// an escape value (LINK and ESCAPE in the generator).
constexpr uint32_t kLookupLink = 1u << 5;
constexpr uint32_t kLookupEscape = 1u << 6;
extern const uint32_t spectral_lookup[7114];
extern const uint16_t spectral_lookup_start[12];
extern const uint32_t scale_lookup[642];
// Every combination of four values of -2..2 (row sum of (v[i] + 2) * 5^(3 - i))
// and of two values of -16..16 (row (v[0] + 16) * 33 + v[1] + 16).
alignas(8) extern const int16_t spectral_quads[625][4];
alignas(4) extern const int16_t spectral_pairs[1089][2];

// The scale factor code, sorted by length and then by codeword.
extern const ScaleCode kvxdec_bookscl[121];

