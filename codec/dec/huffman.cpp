// Spectral Huffman decoding. Sections are decoded from a bit reservoir with
// table lookups; near the end of the buffered words, where a read may have to
// pull from the stream, each codeword goes through the FIFO instead: that
// decoder looks the codeword up in the same tables on a 16-bit look-ahead
// copy of the stream, reads its sign bits as a bit-by-bit read would and
// consumes the bits used with one skip.
#include "dec/huffman.h"

#include <cstring>

#include "dec/core_scale.h"
#include "dec/huffman_lines.h"
#include "dec/instance.h"
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

using namespace huffman_lines;

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

bool kvxdec_DecodeHuff(uint16_t section_count, const int16_t* frame_swb_top,
                       const SectionEntry* sections, int16_shared* quant, DecFifo* fifo) {
    // Sign bits without branches where the window has 64 bits (x86-64: a
    // fifth to a third fewer mispredicted branches here, and fewer
    // instructions); 32-bit targets keep the branches.
    return decode_sections<Reservoir::kWindowBits == 64>(section_count, frame_swb_top, sections, quant, fifo);
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
                        const SectionEntry* sections, int16_t c, int w) {
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

    core_scale_choose(dec, band, c, w, quant);
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
