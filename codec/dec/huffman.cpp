// Spectral Huffman decoding. Sections are decoded from a bit reservoir with
// table lookups; near the end of the buffered words, where a read may have to
// pull from the stream, each codeword goes through the FIFO instead: that
// decoder walks its tree on a 16-bit look-ahead copy of the stream and
// consumes the bits used with one skip.
#include "dec/huffman.h"

#include <cstring>
#include <type_traits>

#include "dec/instance.h"
#include "dsp/dequant.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "tables/huffman_tables.h"

Huffbook kvxdec_book[14];

static void kvxdec_hufftab(Huffbook* book, const void* tree, int16_t dimension, int16_t lav, int16_t is_signed) {
    book->modulus = static_cast<int16_t>(is_signed ? 2 * lav + 1 : lav + 1);
    book->value_offset = is_signed ? lav : 0;
    int32_t n = 1;
    for (int i = 0; i < dimension; ++i) n *= book->modulus;
    book->num_codewords = static_cast<int16_t>(n);
    book->dimension = dimension;
    book->lav = lav;
    book->is_signed = is_signed;
    book->tree = tree;
}

void kvxdec_huffbookinit(MC_Info* mi) {
    static const struct {
        const uint16_t* tree;
        int16_t dimension, lav, is_signed;
    } kBooks[11] = {
        {kvxdec_new_book1, 4, 1, 1},  {kvxdec_new_book2, 4, 1, 1},  {kvxdec_new_book3, 4, 2, 0},
        {kvxdec_new_book4, 4, 2, 0},  {kvxdec_new_book5, 2, 4, 1},  {kvxdec_new_book6, 2, 4, 1},
        {kvxdec_new_book7, 2, 7, 0},  {kvxdec_new_book8, 2, 7, 0},  {kvxdec_new_book9, 2, 12, 0},
        {kvxdec_new_book10, 2, 12, 0}, {kvxdec_new_book11, 2, 16, 0},
    };
    for (int i = 0; i < 11; ++i)
        kvxdec_hufftab(&kvxdec_book[i + 1], kBooks[i].tree, kBooks[i].dimension, kBooks[i].lav,
                       kBooks[i].is_signed);
    kvxdec_hufftab(&kvxdec_book[12], kvxdec_bookscl, 1, 60, 1);
    kvxdec_infoinit(&samp_rate_kvxdec_info[mi->sampling_rate_idx & 15]);
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
int16_t escape(DecFifo* fifo, int16_t marker, bool& bad) {
    constexpr int kMaxN = 12;
    int n = 4;
    uint16_t bit = 0;
    for (;;) {
        kvxdec_decfifoReadBits(fifo, &bit, 1);
        if (!bit) break;
        if (++n > kMaxN) {
            bad = true;
            return 0;
        }
    }
    uint16_t w = 0;
    kvxdec_decfifoReadBits(fifo, &w, static_cast<uint16_t>(n));
    const int32_t value = w + (1 << n);
    return fx::wrap16(marker < 0 ? -value : value);
}

}  // namespace

namespace {

// A register's worth of stream bits taken from the FIFO's buffered words
// without consuming them there; commit() moves the FIFO's read position to
// the bits used. It never reads past the buffered words, so it never pulls
// from the stream and never records an underrun.
// The window is the native register: 64 bits on 64-bit targets, else 32.
using Window = std::conditional_t<(sizeof(void*) >= 8), uint64_t, uint32_t>;
constexpr uint32_t kLink = 1u << 5;

template <class W>
struct Reservoir {
    static constexpr int kWindowBits = 8 * static_cast<int>(sizeof(W));
    DecFifo* fifo;
    W window;              // unused bits, left-aligned, zero below them
    int bits;              // valid bits in window
    int taken;             // words moved from the buffer into window
    int avail;             // buffered words from next on
    const uint16_t* next;  // next buffered word
};

template <class W>
Reservoir<W> begin(DecFifo* f) {
    int held = static_cast<int>(f->write_ptr - f->read_ptr);
    if (held < 0) held += f->size;
    return {f, static_cast<W>(static_cast<W>(f->cache) << (Reservoir<W>::kWindowBits - 16)), f->bits_left, 0, held,
            f->read_ptr};
}

template <class W>
inline void fill(Reservoir<W>& r) {
    constexpr int kWindowBits = Reservoir<W>::kWindowBits;
    const uint16_t* const end = r.fifo->buffer + r.fifo->size;
    while (r.bits <= kWindowBits - 16 && r.avail > 0) {
        r.window |= static_cast<W>(*r.next) << (kWindowBits - 16 - r.bits);
        r.bits += 16;
        ++r.taken;
        --r.avail;
        if (++r.next == end) r.next = r.fifo->buffer;
    }
}

// The FIFO state a bit-by-bit read of the same bits leaves: a word that is
// partly used stays in the cache, whole unused words stay buffered.
template <class W>
void commit(const Reservoir<W>& r) {
    constexpr int kWindowBits = Reservoir<W>::kWindowBits;
    DecFifo* const f = r.fifo;
    int left = r.bits;
    if (left <= 16 * r.taken) {
        const int back = left / 16;
        left %= 16;
        int pos = static_cast<int>(r.next - f->buffer) - back;
        if (pos < 0) pos += f->size;
        f->read_ptr = f->buffer + pos;
        f->words_read = static_cast<uint16_t>(f->words_read + r.taken - back);
    } else {
        left -= 16 * r.taken;  // only part of the old cache was used
    }
    f->bits_left = static_cast<uint16_t>(left);
    f->cache = static_cast<uint16_t>(static_cast<uint32_t>(r.window >> (kWindowBits - 16)) & (0xFFFF0000u >> left));
}

template <class W>
inline uint32_t top32(const Reservoir<W>& r) {
    return static_cast<uint32_t>(r.window >> (Reservoir<W>::kWindowBits - 32));
}

template <class W>
inline void skip(Reservoir<W>& r, uint32_t n) {
    r.window <<= n;
    r.bits -= static_cast<int>(n);
}

inline int16_t field(uint32_t e, int shift, int width) {
    return static_cast<int16_t>(static_cast<int32_t>(e << shift) >> (32 - width));
}

// The leaf for the next codeword: the root entry, or through a link the
// subtable entry; the bits are consumed. Root leaves are at most root_bits
// long, subtable leaves at most root_bits + 11.
inline uint32_t lookup(Reservoir<Window>& r, const uint32_t* part, int root_bits) {
    uint32_t e = part[top32(r) >> (32 - root_bits)];
    if (!(e & kLink)) {
        skip(r, e & 31);
        return e;
    }
    skip(r, static_cast<uint32_t>(root_bits));
    if (r.bits < 16) fill(r);
    e = part[(e >> 17) + ((top32(r) >> ((e & 31) + static_cast<uint32_t>(root_bits))) & ((e >> 6) & 0x7FF))];
    skip(r, (e & 31) - static_cast<uint32_t>(root_bits));
    return e;
}

// One codeword with its sign bits; the reservoir holds at least 32 bits,
// counting the buffered words it has not taken yet, 16 of them in window.
template <int Dim>
inline void codeword(Reservoir<Window>& r, const uint32_t* part, int16_shared* out) {
    const uint32_t e = lookup(r, part, kSpectralRootBits);
    for (int i = 0; i < Dim; ++i) out[i] = field(e, i * (16 / Dim), 16 / Dim);
}

template <int Dim, bool Escapes>
bool decode_bands(Reservoir<Window>& r, const Huffbook* book, const uint32_t* part, const int16_t* tops, int first,
                  int end, int& k, int16_shared* quant) {
    for (int j = first; j < end; ++j) {
        for (const int top = tops[j]; k < top; k += Dim) {
            if (r.bits < 20) fill(r);
            if (r.bits + 16 * r.avail < 32) {
                // A read here may pull from the stream: the FIFO's own decoder
                // does it exactly when a bit-by-bit read would.
                commit(r);
                kvxdec_new_decode_huff_cw(r.fifo, book, quant + k);
            } else {
                codeword<Dim>(r, part, quant + k);
                if (!Escapes || (quant[k] != 16 && quant[k] != -16 && quant[k + 1] != 16 && quant[k + 1] != -16))
                    continue;
                commit(r);
            }
            if (Escapes) {
                bool bad = false;
                if (quant[k] == 16 || quant[k] == -16) quant[k] = escape(r.fifo, quant[k], bad);
                if (!bad && (quant[k + 1] == 16 || quant[k + 1] == -16)) quant[k + 1] = escape(r.fifo, quant[k + 1], bad);
                if (bad) return false;
            }
            r = begin<Window>(r.fifo);
        }
    }
    return true;
}

}  // namespace

bool kvxdec_DecodeHuff(uint16_t section_count, const int16_t* frame_swb_top,
                       const SectionEntry* sections, int16_shared* quant, DecFifo* fifo) {
    Reservoir<Window> r = begin<Window>(fifo);
    int k = 0;
    int prev = 0;
    for (int s = 0; s < section_count; ++s) {
        const int cb = sections[s].codebook;
        const int end = sections[s].end;
        if (cb == ZERO_HCB || cb > ESC_HCB) {
            // Zero, noise and intensity bands carry no spectral data.
            if (end > 0) k = frame_swb_top[end - 1];
        } else {
            const Huffbook* book = &kvxdec_book[cb];
            const uint32_t* part = spectral_lookup + spectral_lookup_start[cb];
            if (cb <= 4)
                decode_bands<4, false>(r, book, part, frame_swb_top, prev, end, k, quant);
            else if (cb < ESC_HCB)
                decode_bands<2, false>(r, book, part, frame_swb_top, prev, end, k, quant);
            else if (!decode_bands<2, true>(r, book, part, frame_swb_top, prev, end, k, quant))
                return false;  // the escape committed the reservoir
        }
        prev = end;
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
    if (!kernels.spectrum_huffman(static_cast<uint16_t>(section_count), band->frame_swb_top, sections, quant,
                                  &dec->fifo))
        return 0;

    const PulseInfo& pulse = nec_kvxdec_info;
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
    Reservoir<Window> r = begin<Window>(&dec->fifo);
    fill(r);
    if (r.bits + 16 * r.avail >= 19) {
        const uint32_t e = lookup(r, scale_lookup, kScaleRootBits);
        commit(r);
        return static_cast<int16_t>(e >> 16);
    }
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
