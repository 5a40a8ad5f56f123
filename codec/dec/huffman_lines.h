// The spectral Huffman decoder's loops (dec/huffman.cpp), in two ways of
// reading the sign bits that follow a codeword: with a branch on each bit,
// or without (see read_signs). Those bits are random, and a branch on them
// is mispredicted about half the time; the decoder reads them without
// branches where the window has 64 bits, and takes runs of codewords of
// zeros at once there (kMaxZeroRun); check_kernels runs the two ways
// against each other.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "dec/fifo.h"
#include "dec/huffman.h"
#include "dec/reservoir.h"
#include "dec/syntax.h"
#include "dsp/fixed.h"
#include "tables/huffman_tables.h"

namespace huffman_lines {

using namespace reservoir;

// Internal to each file that includes it, so that the compiler inlines them
// as it does a file's own functions.
namespace {

// The values of a plain leaf (huffman_tables.h), with their signs. Quads:
// the signed books 1 and 2 or the books of magnitudes 3 and 4.
template <int Dim, bool Signs>
[[gnu::always_inline]] inline void put_values(uint32_t e, int16_shared* out) {
    if constexpr (Dim == 4 && !Signs) {
        std::memcpy(out, spectral_quads[e & 0xFFF], sizeof spectral_quads[0]);
    } else if constexpr (Dim == 4) {
        std::memcpy(out, spectral_halves[e & 31], sizeof spectral_halves[0]);
        std::memcpy(out + 2, spectral_halves[(e >> 5) & 31], sizeof spectral_halves[0]);
    } else {
        out[0] = static_cast<int16_t>(static_cast<int32_t>(e << 20) >> 26);
        out[1] = static_cast<int16_t>(static_cast<int32_t>(e << 26) >> 26);
    }
}

// The magnitudes of a leaf whose sign bits follow.
template <int Dim>
inline void put_magnitudes(uint32_t e, int16_shared* out) {
    if constexpr (Dim == 4) {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<int16_t>((e >> (6 - 2 * i)) & 3);
    } else {
        const uint32_t row = e & 511;
        out[0] = static_cast<int16_t>(row / 17);
        out[1] = static_cast<int16_t>(row % 17);
    }
}

// A leaf whose sign bits follow: by its bit count, or the root's 8-bit kind.
inline bool signs_follow(uint32_t e) { return (e >> 12) - 1 >= kLookupSignsFollow; }

// Escape of book 11: a prefix of N - 4 one bits and a zero, then an N-bit
// word w; the magnitude is w + 2^N. The largest magnitude, 8191, needs
// N = 12, so a ninth one bit in the prefix is damage: the prefix stops
// there and the escape fails the block rather than reading the rest of the
// prefix as spectral data.
constexpr int kMaxEscapeBits = 12;

// The escape replacing marker (16 or -16) read bit by bit through the FIFO;
// sets bad, and returns 0, when its prefix is too long.
inline int16_t escape_from_fifo(DecFifo* fifo, int16_t marker, bool& bad) {
    int n = 4;
    uint16_t bit = 0;
    for (;;) {
        kvxdec_decfifoReadBits(fifo, &bit, 1);
        if (!bit) break;
        if (++n > kMaxEscapeBits) {
            bad = true;
            return 0;
        }
    }
    uint16_t w = 0;
    kvxdec_decfifoReadBits(fifo, &w, static_cast<uint16_t>(n));
    const int32_t value = w + (1 << n);
    return fx::wrap16(marker < 0 ? -value : value);
}

// The escape in place of the marker (16 or -16) in value, from the
// reservoir when it holds the longest escape, 21 bits, else from the FIFO.
// False when the escape is damaged; the FIFO then stands after the bits read.
inline bool escape(Reservoir& r, int16_shared& value) {
    if (!ready(r)) {
        bool bad = false;
        value = through_fifo(r, [&](DecFifo* f) { return escape_from_fifo(f, value, bad); });
        return !bad;
    }
    const int ones = std::countl_one(top32(r));
    if (ones > kMaxEscapeBits - 4) {
        skip(r, kMaxEscapeBits - 3);
        commit(r);
        value = 0;
        return false;
    }
    skip(r, static_cast<uint32_t>(ones + 1));
    const int n = ones + 4;
    if constexpr (Reservoir::kWindowBits == 32)
        if (r.bits < n) take_word(r);  // ready() saw it buffered
    const int32_t magnitude = static_cast<int32_t>(top32(r) >> (32 - n)) + (1 << n);
    skip(r, static_cast<uint32_t>(n));
    value = fx::wrap16(value < 0 ? -magnitude : magnitude);
    return true;
}

// The sign bits after a codeword whose leaf holds its magnitudes, one per
// non-zero value, 1 meaning negative; the reservoir holds them (ready()).
// Inlined, so that the reservoir stays in registers on 32-bit targets.
// Branchless: each value takes the bit in front as its sign (a zero stays
// zero), and the bit is consumed when the value is not zero.
template <int Dim, bool Branchless>
[[gnu::always_inline]] inline void read_signs(Reservoir& r, int16_shared* out) {
    uint32_t t = top32(r);
    uint32_t n = 0;
    for (int i = 0; i < Dim; ++i) {
        if constexpr (Branchless) {
            const int32_t v = out[i];
            const int32_t sign = static_cast<int32_t>(t) >> 31;
            out[i] = static_cast<int16_t>((v ^ sign) - sign);
            const uint32_t used = v != 0;
            t <<= used;
            n += used;
        } else if (out[i] != 0) {
            if (t >> 31) out[i] = static_cast<int16_t>(-out[i]);
            t <<= 1;
            ++n;
        }
    }
    skip(r, n);
}

// Books 1, 3, 5, 7 and 9 code all-zero values with the one-bit codeword 0,
// and stretches of zero values are common: with a 64-bit window the leading
// zero bits are taken as such codewords in one step, up to kMaxZeroRun of
// them, so that the bits left after them (ready() leaves 32) still hold the
// next codeword with its sign bits. Their values are not written: the lines
// arrive zeroed, as for the bands that carry no spectral data. Book 1 alone
// does it: it has most such codewords (two thirds of them in music at 128
// kbit/s), and each further book would add a loop of its own to the code.
constexpr int kMaxZeroRun = 12;

// Lines out to end (a whole number of codewords) of one book. Each codeword
// is one table read (more for the long ones) that gives its values with
// their signs and its length with the sign bits. Signs: a book of
// magnitudes (3, 4, 7-11), where the leaves of some codewords leave the sign
// bits to be read after them. Escapes: book 11, where a value of 16 or -16
// marks an escape. Returns where it stopped, null when an escape failed.
// Branchless: sign bits read without branches on them (read_signs).
// ZeroRuns: book 1, its runs of the codeword 0 (zeros) taken at once.
template <int Dim, bool Signs, bool Escapes, bool Branchless, bool ZeroRuns = false>
int16_shared* decode_lines(Reservoir& r, const Huffbook* book, int16_shared* out, const int16_shared* end) {
    static_assert(!ZeroRuns || Reservoir::kWindowBits == 64, "a run and a codeword take up to 32 bits");
    const uint16_t* table = static_cast<const uint16_t*>(book->tree);
    for (; out < end; out += Dim) {
        if (ready(r)) [[likely]] {
            if constexpr (ZeroRuns) {
                const int zeros = std::countl_zero(top32(r) | (1u << (31 - kMaxZeroRun)));
                const int left = static_cast<int>(static_cast<uint32_t>(end - out) / Dim);
                const int run = zeros < left ? zeros : left;
                skip(r, static_cast<uint32_t>(run));
                out += run * Dim;
                if (out >= end) break;
            }
            const uint32_t e = lookup<kLookupRootBits, Signs>(r, table);
            if (Signs && signs_follow(e)) [[unlikely]] {
                put_magnitudes<Dim>(e, out);
                read_signs<Dim, Branchless>(r, out);
            } else {
                put_values<Dim, Signs>(e, out);
            }
            if (!Escapes || ((out[0] & 31) != 16 && (out[1] & 31) != 16)) [[likely]]
                continue;
        } else {
            // A read here may pull from the stream: the FIFO's own decoder
            // does it exactly when a bit-by-bit read would.
            through_fifo(r, [&](DecFifo* f) { return kvxdec_new_decode_huff_cw(f, book, out); });
        }
        if constexpr (Escapes) {
            for (int i = 0; i < 2; ++i)
                if ((out[i] == 16 || out[i] == -16) && !escape(r, out[i])) return nullptr;
        }
    }
    return out;
}

// The sections' spectral values into quant, which arrives zeroed: see
// kvxdec_DecodeHuff.
template <bool Branchless>
[[gnu::always_inline]] inline bool decode_sections(uint16_t section_count, const int16_t* frame_swb_top,
                                                   const SectionEntry* sections, int16_shared* quant,
                                                   DecFifo* fifo) {
    Reservoir r = begin(fifo);
    int k = 0;
    for (int s = 0; s < section_count; ++s) {
        const int cb = sections[s].codebook;
        const int last = sections[s].end;
        const int stop = last > 0 ? frame_swb_top[last - 1] : k;
        if (cb == ZERO_HCB || cb > ESC_HCB) {
            // Zero, noise and intensity bands carry no spectral data.
            k = stop;
            continue;
        }
        const Huffbook* book = &kvxdec_book[cb];
        int16_shared* const end = quant + stop;
        int16_shared* done;
        if (Branchless && cb == 1)  // runs of the codeword of zeros (kMaxZeroRun)
            done = decode_lines<4, false, false, Branchless, Branchless>(r, book, quant + k, end);
        else if (cb <= 2)
            done = decode_lines<4, false, false, Branchless>(r, book, quant + k, end);
        else if (cb <= 4)
            done = decode_lines<4, true, false, Branchless>(r, book, quant + k, end);
        else if (cb <= 6)
            done = decode_lines<2, false, false, Branchless>(r, book, quant + k, end);
        else if (cb < ESC_HCB)
            done = decode_lines<2, true, false, Branchless>(r, book, quant + k, end);
        else
            done = decode_lines<2, true, true, Branchless>(r, book, quant + k, end);
        if (!done) return false;  // the FIFO stands after the damaged escape
        k = static_cast<int>(done - quant);
    }
    commit(r);
    return true;
}

}  // namespace
}  // namespace huffman_lines
