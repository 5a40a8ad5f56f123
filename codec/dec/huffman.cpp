// Spectral Huffman decoding. Sections are decoded from a bit reservoir with
// table lookups; near the end of the buffered words, where a read may have to
// pull from the stream, each codeword goes through the FIFO instead: that
// decoder looks the codeword up in the same tables on a 16-bit look-ahead
// copy of the stream, reads its sign bits as a bit-by-bit read would and
// consumes the bits used with one skip.
#include "dec/huffman.h"

#include <bit>
#include <cstring>

#include "dec/instance.h"
#include "dec/reservoir.h"
#include "dsp/dequant.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/words.h"
#include "tables/huffman_tables.h"

using namespace reservoir;

static constexpr Huffbook kvxdec_hufftab(const void* table, int16_t dimension, int16_t lav, int16_t is_signed) {
    Huffbook book{};
    book.modulus = static_cast<int16_t>(is_signed ? 2 * lav + 1 : lav + 1);
    book.value_offset = is_signed ? lav : 0;
    int32_t n = 1;
    for (int i = 0; i < dimension; ++i) n *= book.modulus;
    book.num_codewords = static_cast<int16_t>(n);
    book.dimension = dimension;
    book.lav = lav;
    book.is_signed = is_signed;
    book.tree = table;
    return book;
}

// The descriptors are constants: every decoder reads the same ones.
constexpr Huffbook kvxdec_book[14] = {
    {},
    kvxdec_hufftab(spectral_book1, 4, 1, 1),   kvxdec_hufftab(spectral_book2, 4, 1, 1),
    kvxdec_hufftab(spectral_book3, 4, 2, 0),   kvxdec_hufftab(spectral_book4, 4, 2, 0),
    kvxdec_hufftab(spectral_book5, 2, 4, 1),   kvxdec_hufftab(spectral_book6, 2, 4, 1),
    kvxdec_hufftab(spectral_book7, 2, 7, 0),   kvxdec_hufftab(spectral_book8, 2, 7, 0),
    kvxdec_hufftab(spectral_book9, 2, 12, 0),  kvxdec_hufftab(spectral_book10, 2, 12, 0),
    kvxdec_hufftab(spectral_book11, 2, 16, 0), kvxdec_hufftab(kvxdec_bookscl, 1, 60, 1),
    {},
};

void kvxdec_huffbookinit(MP4AACDEC_QUVA_Obj* dec) {
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[dec->mcInfo.sampling_rate_idx & 15]);
}

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

}  // namespace

int kvxdec_new_decode_huff_cw(DecFifo* fifo, const Huffbook* book, int16_shared* out) {
    const uint16_t* table = static_cast<const uint16_t*>(book->tree);
    // The window's next bit is bit 31; every codeword ends within its 16 bits.
    uint32_t window = static_cast<uint32_t>(decfifo_lookahead(fifo)) << 16;
    uint32_t e = table[window >> (32 - kLookupRootBits)];
    uint16_t used = 0;
    if (!(e >> 12) && (e >> 9) != kLookupRootLeaf) {
        const uint16_t* further = table + (1 << kLookupRootBits);
        used = kLookupRootBits;
        for (;;) {
            const uint32_t n = (e >> 9) + 1;
            e = further[(e & 511) + ((window << used) >> (32 - n))];
            if (e >> 12) break;
            used = static_cast<uint16_t>(used + n);
        }
    }
    const bool sign_bits_follow = signs_follow(e);
    used = static_cast<uint16_t>(used + (!(e >> 12) ? kLookupRootBits
                                         : sign_bits_follow ? (e >> 12) - kLookupSignsFollow
                                                            : e >> 12));
    const int dim = book->dimension;
    if (sign_bits_follow)
        dim == 4 ? put_magnitudes<4>(e, out) : put_magnitudes<2>(e, out);
    else if (dim == 2)
        put_values<2, false>(e, out);
    else if (book->is_signed)
        put_values<4, false>(e, out);
    else
        put_values<4, true>(e, out);
    if (!book->is_signed) {
        if (!sign_bits_follow) {
            // The leaf holds the sign bits too: read them as they follow the
            // codeword.
            for (int i = 0; i < dim; ++i) {
                if (out[i] < 0) out[i] = static_cast<int16_t>(-out[i]);
                if (out[i] != 0) --used;
            }
        }
        window <<= used;
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

// The sign bits after a codeword whose leaf holds its magnitudes, one per
// non-zero value, 1 meaning negative; the reservoir holds them (ready()).
// Inlined, so that the reservoir stays in registers on 32-bit targets.
template <int Dim>
[[gnu::always_inline]] inline void read_signs(Reservoir& r, int16_shared* out) {
    uint32_t t = top32(r);
    uint32_t n = 0;
    for (int i = 0; i < Dim; ++i) {
        if (out[i] != 0) {
            if (t >> 31) out[i] = static_cast<int16_t>(-out[i]);
            t <<= 1;
            ++n;
        }
    }
    skip(r, n);
}

// Lines out to end (a whole number of codewords) of one book. Each codeword
// is one table read (more for the long ones) that gives its values with
// their signs and its length with the sign bits. Signs: a book of
// magnitudes (3, 4, 7-11), where the leaves of some codewords leave the sign
// bits to be read after them. Escapes: book 11, where a value of 16 or -16
// marks an escape. Returns where it stopped, null when an escape failed.
template <int Dim, bool Signs, bool Escapes>
int16_shared* decode_lines(Reservoir& r, const Huffbook* book, int16_shared* out, const int16_shared* end) {
    const uint16_t* table = static_cast<const uint16_t*>(book->tree);
    for (; out < end; out += Dim) {
        if (ready(r)) [[likely]] {
            const uint32_t e = lookup<kLookupRootBits, Signs>(r, table);
            if (Signs && signs_follow(e)) [[unlikely]] {
                put_magnitudes<Dim>(e, out);
                read_signs<Dim>(r, out);
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
        int16_shared* const end = quant + stop;
        int16_shared* done;
        if (cb <= 2)
            done = decode_lines<4, false, false>(r, book, quant + k, end);
        else if (cb <= 4)
            done = decode_lines<4, true, false>(r, book, quant + k, end);
        else if (cb <= 6)
            done = decode_lines<2, false, false>(r, book, quant + k, end);
        else if (cb < ESC_HCB)
            done = decode_lines<2, true, false>(r, book, quant + k, end);
        else
            done = decode_lines<2, true, true>(r, book, quant + k, end);
        if (!done) return false;  // the FIFO stands after the damaged escape
        k = static_cast<int>(done - quant);
    }
    commit(r);
    return true;
}

// Within a group the values came band by band, each band window after
// window. The short bands of every rate end at line 128, so a group starts
// at line 128 s of its first window s, and a group of one window is in
// order already; the others are ordered in the scratch and copied back.
void ungroup_short(const BandInfo* band, int16_shared* quant, int16_shared* scratch) {
    int s = 0;
    for (int g = 0; g < band->num_window_groups; ++g) {
        const int len = band->window_group_length[g];
        if (len > 1) {
            const int16_shared* src = quant + 128 * s;
            int offset = 0;
            for (int j = 0; j < band->num_swb[0]; ++j) {
                const int width = band->swb_width_short[j];  // a multiple of four
                for (int i = 0; i < len; ++i, src += width) {
                    int16_shared* const to = scratch + 128 * (s + i) + offset;
                    for (int k = 0; k < width; k += 4) {
                        uint64_t four;
                        std::memcpy(&four, src + k, sizeof four);
                        std::memcpy(to + k, &four, sizeof four);
                    }
                }
                offset += width;
            }
            words::copy(quant + 128 * s, scratch + 128 * s, static_cast<size_t>(len) * 128 * sizeof(int16_t));
        }
        s += len;
    }
}

int16_t kvxdec_huffspec(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int section_count,
                        const SectionEntry* sections, int16_t c) {
    int16_shared* const half = shared16(dec->coef[c]);
    int16_shared* const quant = half + 1024;
    words::zero(quant, 1024 * sizeof(int16_t));
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

    // A coefficient at the limit is beyond any source and beyond the filter
    // bank's range (see kvxdec_DequantizeGains): the block is damaged.
    if (kernels.dequantise(band->num_windows, band->num_swb, dec->coef[c], quant, dec->scaleFactors[c],
                           band->window_swb_top))
        return 0;
    return 1;
}

// A table lookup when the buffered bits cover the longest codeword, so that
// no read pulls from the stream; otherwise a search in length order that
// reads further bits only when the length grows.
int16_t kvxdec_decode_huff_sf_cw(MP4AACDEC_QUVA_Obj* dec, const void* table) {
    Reservoir r = begin(&dec->fifo);
    if (ready(r)) {
        const uint32_t e = lookup<kScaleRootBits>(r, scale_lookup);
        commit(r);
        return static_cast<int16_t>(e & 0xFFF);
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
