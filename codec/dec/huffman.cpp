// Spectral Huffman decoding. Sections are decoded from a bit reservoir with
// table lookups; near the end of the buffered words, where a read may have to
// pull from the stream, each codeword goes through the FIFO instead: that
// decoder walks its tree on a 16-bit look-ahead copy of the stream and
// consumes the bits used with one skip.
#include "dec/huffman.h"

#include <bit>
#include <cstring>

#include "dec/instance.h"
#include "dec/reservoir.h"
#include "dsp/dequant.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "tables/huffman_tables.h"

using namespace reservoir;

static constexpr Huffbook kvxdec_hufftab(const void* tree, int16_t dimension, int16_t lav, int16_t is_signed) {
    Huffbook book{};
    book.modulus = static_cast<int16_t>(is_signed ? 2 * lav + 1 : lav + 1);
    book.value_offset = is_signed ? lav : 0;
    int32_t n = 1;
    for (int i = 0; i < dimension; ++i) n *= book.modulus;
    book.num_codewords = static_cast<int16_t>(n);
    book.dimension = dimension;
    book.lav = lav;
    book.is_signed = is_signed;
    book.tree = tree;
    return book;
}

// The descriptors are constants: every decoder reads the same ones.
constexpr Huffbook kvxdec_book[14] = {
    {},
    kvxdec_hufftab(kvxdec_new_book1, 4, 1, 1),   kvxdec_hufftab(kvxdec_new_book2, 4, 1, 1),
    kvxdec_hufftab(kvxdec_new_book3, 4, 2, 0),   kvxdec_hufftab(kvxdec_new_book4, 4, 2, 0),
    kvxdec_hufftab(kvxdec_new_book5, 2, 4, 1),   kvxdec_hufftab(kvxdec_new_book6, 2, 4, 1),
    kvxdec_hufftab(kvxdec_new_book7, 2, 7, 0),   kvxdec_hufftab(kvxdec_new_book8, 2, 7, 0),
    kvxdec_hufftab(kvxdec_new_book9, 2, 12, 0),  kvxdec_hufftab(kvxdec_new_book10, 2, 12, 0),
    kvxdec_hufftab(kvxdec_new_book11, 2, 16, 0), kvxdec_hufftab(kvxdec_bookscl, 1, 60, 1),
    {},
};

void kvxdec_huffbookinit(MP4AACDEC_QUVA_Obj* dec) {
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[dec->mcInfo.sampling_rate_idx & 15]);
}

int kvxdec_new_decode_huff_cw(DecFifo* fifo, const Huffbook* book, int16_shared* out) {
    const uint16_t* tree = static_cast<const uint16_t*>(book->tree);
    // The window's next bit is bit 31.
    uint32_t window = static_cast<uint32_t>(decfifo_lookahead(fifo)) << 16;
    uint32_t p = window >> 31;
    window <<= 1;
    uint16_t used = 1;
    // Every tree is a complete code no deeper than 16: the walk ends at a leaf.
    while (!(tree[p] & 0x8000)) {
        p += tree[p] + (window >> 31);
        window <<= 1;
        ++used;
    }
    const uint32_t leaf = tree[p];
    const int dim = book->dimension;
    if (dim == 4) {
        out[0] = static_cast<int16_t>(static_cast<int32_t>(leaf << 17) >> 29);
        out[1] = static_cast<int16_t>(static_cast<int32_t>(leaf << 20) >> 28);
        out[2] = static_cast<int16_t>(static_cast<int32_t>(leaf << 24) >> 28);
        out[3] = static_cast<int16_t>(static_cast<int32_t>(leaf << 28) >> 28);
    } else {
        out[0] = static_cast<int16_t>(static_cast<int32_t>(leaf << 17) >> 25);
        out[1] = static_cast<int16_t>(static_cast<int32_t>(leaf << 24) >> 24);
    }
    if (!book->is_signed) {
        // One sign bit per non-zero magnitude, 1 meaning negative.
        for (int i = 0; i < dim; ++i) {
            if (used == 16) {
                kvxdec_decfifoReadBits2(fifo, 16);
                window = static_cast<uint32_t>(decfifo_lookahead(fifo)) << 16;
                used = 0;
            }
            if (out[i] != 0) {
                if (window >> 31) out[i] = static_cast<int16_t>(-out[i]);
                window <<= 1;
                ++used;
            }
        }
    }
    kvxdec_decfifoReadBits2(fifo, used);
    return 2;
}

namespace {

// Escape of book 11: a prefix of N - 4 one bits and a zero, then an N-bit
// word w; the magnitude is w + 2^N. The largest magnitude, 8191, needs
// N = 12, so a ninth one bit in the prefix is damage: the prefix stops
// there and `bad` is set, which fails the block rather than reading the
// rest of the prefix as spectral data.
constexpr int kMaxEscapeBits = 12;

int16_t escape_from_fifo(DecFifo* fifo, int16_t marker, bool& bad) {
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
bool escape(Reservoir& r, int16_shared& value) {
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

// Lines out to end (a whole number of codewords) of one book. Each codeword
// is one table read (two for the long ones) that gives the row of its values
// with their signs and its length with the sign bits; the row is copied out
// whole. Book 11 marks the leaves with an escape. Returns where it stopped,
// null when an escape failed.
template <int Dim, bool Escapes>
int16_shared* decode_lines(Reservoir& r, const Huffbook* book, const uint32_t* part, const int16_t (*rows)[Dim],
                           int16_shared* out, const int16_shared* end) {
    for (; out < end; out += Dim) {
        if (ready(r)) [[likely]] {
            const uint32_t e = lookup(r, part, kSpectralRootBits);
            std::memcpy(out, rows[e >> 16], sizeof rows[0]);
            if (!Escapes || !(e & kLookupEscape)) [[likely]]
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

}  // namespace

bool kvxdec_DecodeHuff(uint16_t section_count, const int16_t* frame_swb_top,
                       const SectionEntry* sections, int16_shared* quant, DecFifo* fifo) {
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
        const uint32_t* part = spectral_lookup + spectral_lookup_start[cb];
        int16_shared* const end = quant + stop;
        int16_shared* done;
        if (cb <= 4)
            done = decode_lines<4, false>(r, book, part, spectral_quads, quant + k, end);
        else if (cb < ESC_HCB)
            done = decode_lines<2, false>(r, book, part, spectral_pairs, quant + k, end);
        else
            done = decode_lines<2, true>(r, book, part, spectral_pairs, quant + k, end);
        if (!done) return false;  // the FIFO stands after the damaged escape
        k = static_cast<int>(done - quant);
    }
    commit(r);
    return true;
}

// Within a group the values came band by band, each band window after window.
void ungroup_short(const BandInfo* band, int16_shared* quant, int16_shared* scratch) {
    int src = 0;
    int s = 0;
    for (int g = 0; g < band->num_window_groups; ++g) {
        const int len = band->window_group_length[g];
        int offset = 0;
        for (int j = 0; j < band->num_swb[0]; ++j) {
            const int width = band->swb_width_short[j];
            for (int i = 0; i < len; ++i, src += width)
                std::memcpy(scratch + 128 * (s + i) + offset, quant + src, static_cast<size_t>(width) * 2);
            offset += width;
        }
        s += len;
    }
    std::memcpy(quant, scratch, 1024 * sizeof(int16_t));
}

int16_t kvxdec_huffspec(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int section_count,
                        const SectionEntry* sections, int16_t c) {
    int16_shared* const half = shared16(dec->coef[c]);
    int16_shared* const quant = half + 1024;
    std::memset(quant, 0, 1024 * sizeof(int16_t));
    if (!kvxdec_DecodeHuff(static_cast<uint16_t>(section_count), band->frame_swb_top, sections, quant, &dec->fifo))
        return 0;

    const PulseInfo& pulse = dec->ctx->pulse;
    if (band->is_long && pulse.pulse_data_present) {
        // Band 7 starts below line 100 and four offsets add at most 124.
        int k = pulse.pulse_start_sfb ? band->window_swb_top[0][pulse.pulse_start_sfb - 1] : 0;
        for (int i = 0; i <= pulse.number_pulse; ++i) {
            k += pulse.pulse_offset[i];
            quant[k] = fx::wrap16(quant[k] > 0 ? quant[k] + pulse.pulse_amp[i] : quant[k] - pulse.pulse_amp[i]);
        }
    }

    if (!band->is_long) ungroup_short(band, quant, half);

    kernels.dequantise(band->num_windows, band->num_swb, dec->coef[c], quant, dec->scaleFactors[c],
                       band->window_swb_top);
    return 1;
}

// A table lookup when the buffered bits cover the longest codeword, so that
// no read pulls from the stream; otherwise a search in length order that
// reads further bits only when the length grows.
int16_t kvxdec_decode_huff_sf_cw(MP4AACDEC_QUVA_Obj* dec, const void* table) {
    Reservoir r = begin(&dec->fifo);
    if (ready(r)) {
        const uint32_t e = lookup(r, scale_lookup, kScaleRootBits);
        commit(r);
        return static_cast<int16_t>(e >> 16);
    }
    return scale_by_search(dec, table);
}

int16_t scale_by_search(MP4AACDEC_QUVA_Obj* dec, const void* table) {
    const ScaleCode* c = static_cast<const ScaleCode*>(table);
    uint16_t len = c[0].length;
    uint32_t code = aacdec_getbits(dec, len);
    int i = 0;
    while (code != c[i].codeword) {
        if (++i == 121) return 60;  // unreachable: the code is complete
        if (c[i].length > len) {
            const uint16_t extra = static_cast<uint16_t>(c[i].length - len);
            code = (code << extra) | aacdec_getbits(dec, extra);
            len = c[i].length;
        }
    }
    return c[i].index;
}
