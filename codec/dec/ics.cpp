// Channel elements and the side information of individual channel streams.
#include <cstring>

#include "dsp/band_walk.h"
#include "dec/huffman.h"
#include "dec/instance.h"
#include "dec/syntax.h"

static void kvxdec_get_ics_kvxdec_info(MP4AACDEC_QUVA_Obj* dec, int c, int w);

static int16_t kvxdec_getics(MP4AACDEC_QUVA_Obj* dec, BandInfo* band, int32_t common_window,
                             uint16_t* global_gain, int c, int w);

namespace {

inline uint16_t bits(MP4AACDEC_QUVA_Obj* dec, uint16_t n) { return aacdec_getbits(dec, n); }

inline const BandInfo* layout_of(const MP4AACDEC_QUVA_Obj* dec, int w) {
    return kvxdec_winmap(dec, dec->windowSequence[w]);
}

}  // namespace

int16_t kvxdec_huffdecode(MP4AACDEC_QUVA_Obj* dec, int32_t id, MC_Info* mi) {
    const int32_t tag = bits(dec, 4);
    int32_t common_window;
    if (id == 0)
        common_window = 0;
    else if (id == 1)
        common_window = bits(dec, 1);
    else if (mi->mix_block)
        common_window = 0;  // a mixed layout's low-frequency channel: one stream, as a single channel
    else
        return kElementIsLfe;

    const int32_t c0 = kvxdec_chn_config(dec, id, tag, common_window, mi);
    if (c0 < 0) return kElementNotMapped;
    int slots[2] = {c0, mi->channel[c0].paired_channel};
    const int nslots = id == 1 ? 2 : 1;

    const int w0 = mi->channel[c0].window_channel;
    if (id == 0 || !common_window) {
        for (int i = 0; i < nslots; ++i) dec->msMaskPresent[mi->channel[slots[i]].window_channel] = 0;
    } else {
        kvxdec_get_ics_kvxdec_info(dec, c0, w0);
        dec->msMaskPresent[w0] = kvxdec_getmask(dec, layout_of(dec, w0), dec->windowGroups[w0],
                                                dec->maxSfb[w0], dec->msMask[w0]);
    }
    for (int i = 0; i < nslots; ++i) {
        const int c = slots[i];
        // No clearing of coef[c]: the spectral decoder clears and fills its
        // upper half, the dequantisation writes all 1024 coefficients, and a channel
        // that fails leaves the block to concealment, which writes them too.
        uint16_t global_gain;
        // Working copy of the band layout of the channel stream being decoded
        // (its grouping is this stream's own).
        BandInfo band_copy;
        const int16_t r =
            kvxdec_getics(dec, &band_copy, common_window, &global_gain, c, mi->channel[c].window_channel);
        if (r <= 0) return kElementFailed;
    }
    return static_cast<int16_t>(1 << slots[0] | (nslots == 2 ? 1 << slots[1] : 0));
}

namespace {

// Slot 1's buffers and per-window state, set aside while a coupling
// element's channel stream takes the slot.
struct SlotOne {
    int32_t* coef;
    uint8_t* msMask;
    uint8_t* windowGroups;
    uint8_t* sectCodebook;
    TnsInfo* tns;
    int32_t* chanAux;
    int16_t* scaleFactors;
    uint8_t windowSequence, maxSfb, msMaskPresent;
    uint16_t shape;
    PulseInfo pulse;

    explicit SlotOne(const MP4AACDEC_QUVA_Obj* d)
        : coef(d->coef[1]), msMask(d->msMask[1]), windowGroups(d->windowGroups[1]),
          sectCodebook(d->sectCodebook[1]), tns(d->tnsData[1]), chanAux(d->chanAux[1]),
          scaleFactors(d->scaleFactors[1]), windowSequence(d->windowSequence[1]), maxSfb(d->maxSfb[1]),
          msMaskPresent(d->msMaskPresent[1]), shape(d->windowShapeState[1][0]), pulse(d->ctx->pulse) {}
    void restore(MP4AACDEC_QUVA_Obj* d) const {
        d->coef[1] = coef;
        d->msMask[1] = msMask;
        d->windowGroups[1] = windowGroups;
        d->sectCodebook[1] = sectCodebook;
        d->tnsData[1] = tns;
        d->chanAux[1] = chanAux;
        d->scaleFactors[1] = scaleFactors;
        d->windowSequence[1] = windowSequence;
        d->maxSfb[1] = maxSfb;
        d->msMaskPresent[1] = msMaskPresent;
        d->windowShapeState[1][0] = shape;
        d->ctx->pulse = pulse;
    }
};

// Slot 1's buffers laid over the buffer of the last good spectra.
constexpr size_t kSlotOneBytes =
    kCoefBytes + kTnsDataBytes + kScaleFactorsBytes + kSectCodebookBytes + kMsMaskBytes + kChanAuxBytes + kWindowGroupsBytes;
static_assert(kSlotOneBytes <= kLastSpectrumBytes, "slot 1 fits the buffer of the last good spectra");

void slot_one_in(MP4AACDEC_QUVA_Obj* dec, uint8_t* at) {
    dec->coef[1] = reinterpret_cast<int32_t*>(at);
    at += kCoefBytes;
    dec->tnsData[1] = reinterpret_cast<TnsInfo*>(at);
    at += kTnsDataBytes;
    dec->scaleFactors[1] = reinterpret_cast<int16_t*>(at);
    at += kScaleFactorsBytes;
    dec->chanAux[1] = reinterpret_cast<int32_t*>(at);
    at += kChanAuxBytes;
    dec->sectCodebook[1] = at;
    at += kSectCodebookBytes;
    dec->msMask[1] = at;
    at += kMsMaskBytes;
    dec->windowGroups[1] = at;
}

}  // namespace

// (Coupling channels are rare: compiled for size.)
__attribute__((cold)) bool kvxdec_skip_cce(MP4AACDEC_QUVA_Obj* dec, bool slot_free) {
    bits(dec, 4);  // element_instance_tag
    const bool ind_sw = bits(dec, 1);
    const int coupled = bits(dec, 3) + 1;
    int lists = 0;
    for (int i = 0; i < coupled; ++i) {
        ++lists;
        const bool cpe = bits(dec, 1);
        bits(dec, 4);  // cc_target_tag_select
        if (cpe) {
            const bool l = bits(dec, 1);
            const bool r = bits(dec, 1);
            if (l && r) ++lists;
        }
    }
    bits(dec, 1);  // cc_domain
    bits(dec, 1);  // gain_element_sign
    bits(dec, 2);  // gain_element_scale
    if (!slot_free && !dec->lastSpectrum) return false;

    const SlotOne saved(dec);
    if (!slot_free) slot_one_in(dec, reinterpret_cast<uint8_t*>(dec->lastSpectrum));
    BandInfo band{};
    uint16_t global_gain;
    bool ok = kvxdec_getics(dec, &band, 0, &global_gain, 1, 1) > 0;
    // The gain element lists: one scale factor codeword for a common gain,
    // else one for each transmitted band of every window group.
    const int bands = band.num_swb[0];
    const int max_sfb = dec->maxSfb[1];
    int groups = 1;
    while (groups < 8 && dec->windowGroups[1][groups - 1] < band.num_windows) ++groups;
    for (int i = 1; ok && i < lists; ++i) {
        const bool common = ind_sw || bits(dec, 1);
        if (common) {
            kvxdec_decode_huff_sf_cw(dec, kvxdec_book[12].tree);
            continue;
        }
        for (int g = 0; g < groups; ++g)
            for (int sfb = 0; sfb < max_sfb && sfb < bands; ++sfb)
                if (dec->sectCodebook[1][g * bands + sfb] != ZERO_HCB) kvxdec_decode_huff_sf_cw(dec, kvxdec_book[12].tree);
        if (dec->fifo.status == DECFIFO_UNDERRUN) ok = false;
    }
    saved.restore(dec);
    return ok;
}

static int16_t kvxdec_getics(MP4AACDEC_QUVA_Obj* dec, BandInfo* band, int32_t common_window,
                      uint16_t* global_gain, int c, int w) {
    *global_gain = bits(dec, 8);
    if (!common_window) kvxdec_get_ics_kvxdec_info(dec, c, w);
    *band = *layout_of(dec, w);

    SectionEntry sections[kMaxSections];
    int count = 0;
    int coded = 0;
    if (!get_sections(dec, band, c, w, sections, &count, &coded)) return 0;
    if (!band->is_long) group_layout(band, dec->windowGroups[w]);
    if (!kvxdec_hufffac(dec, band, dec->windowGroups[w], *global_gain, dec->scaleFactors[c], c, coded))
        return 0;

    PulseInfo& pulse = dec->ctx->pulse;
    pulse.pulse_data_present = bits(dec, 1);
    if (pulse.pulse_data_present) {
        if (!band->is_long) return kIcsPulseInShort;
        pulse.number_pulse = bits(dec, 2);
        pulse.pulse_start_sfb = bits(dec, 6);
        if (pulse.pulse_start_sfb > 7) pulse.pulse_start_sfb = 7;
        for (int i = 0; i <= pulse.number_pulse; ++i) {
            pulse.pulse_offset[i] = bits(dec, 5);
            pulse.pulse_amp[i] = bits(dec, 4);
        }
    }

    TnsInfo* tns = dec->tnsData[c];
    if (bits(dec, 1)) {
        kvxdec_get_tns(dec, band, tns);
    } else {
        tns->n_windows = band->num_windows;
        for (int i = 0; i < band->num_windows; ++i) tns->win[i].n_filt = 0;
    }
    if (bits(dec, 1)) return kIcsGainControl;
    return kvxdec_huffspec(dec, band, count, sections, static_cast<int16_t>(c), w);
}

static void kvxdec_get_ics_kvxdec_info(MP4AACDEC_QUVA_Obj* dec, int c, int w) {
    (void)c;  // only called where c == w
    bits(dec, 1);  // ics_reserved_bit
    dec->windowSequence[w] = static_cast<uint8_t>(bits(dec, 2));
    dec->windowShapeState[w][0] = bits(dec, 1);
    dec->chanAux[w][0] = 0;
    const BandInfo* b = layout_of(dec, w);
    if (!b->is_long) {
        dec->maxSfb[w] = static_cast<uint8_t>(bits(dec, 4));
        kvxdec_getgroup(dec, b, dec->windowGroups[w]);
    } else {
        dec->maxSfb[w] = static_cast<uint8_t>(bits(dec, 6));
        dec->windowGroups[w][0] = 1;
        aacdec_vel_lt_decode(dec, dec->windowSequence[w], dec->maxSfb[w], w);
    }
}

// Seven grouping bits, one per window after the first: 0 ends the current
// group before that window, 1 adds the window to it. Stores each group's end
// as an exclusive window index, the last being the window count.
void kvxdec_getgroup(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, uint8_t* windowGroups) {
    int g = 0;
    for (int i = 0; i < band->num_windows && i < 8; ++i) {
        if (i > 0 && bits(dec, 1) == 0) windowGroups[g++] = static_cast<uint8_t>(i);
        if (band->window_bins[i] > 128 && g < 7) windowGroups[g++] = static_cast<uint8_t>(i + 1);
    }
    windowGroups[g] = static_cast<uint8_t>(band->num_windows);
}

uint8_t kvxdec_getmask(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, const uint8_t* windowGroups,
                       uint8_t maxSfb, uint8_t* msMask) {
    const uint16_t present = bits(dec, 2);
    if (present == 0) return 0;
    for_each_group(band, windowGroups, [&](int, int, int n, int set) {
        if (present == 2) {
            std::memset(msMask + set, 1, static_cast<size_t>(n));
            return;
        }
        // A long window's max_sfb may exceed its bands (up to 63): the
        // 128-entry mask still holds every bit read.
        int b = 0;
#if defined(__x86_64__)
        // Up to 16 bits a read (the same as reading them one by one).
        uint32_t v = 0;
        int held = 0;
        for (; b < maxSfb; ++b) {
            if (held == 0) {
                held = maxSfb - b < 16 ? maxSfb - b : 16;
                v = bits(dec, static_cast<uint16_t>(held));
            }
            msMask[set + b] = static_cast<uint8_t>((v >> --held) & 1);
        }
#else
        for (; b < maxSfb; ++b) msMask[set + b] = static_cast<uint8_t>(bits(dec, 1));
#endif
        for (; b < n; ++b) msMask[set + b] = 0;
    });
    return present == 2 ? 2 : 1;
}

int kvxdec_get_tns(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, TnsInfo* tns) {
    const bool is_long = band->is_long != 0;
    tns->n_windows = band->num_windows;
    for (int i = 0; i < band->num_windows; ++i) {
        TnsWindow& win = tns->win[i];
        win.n_filt = bits(dec, is_long ? 2 : 1);
        if (win.n_filt == 0) continue;
        win.coef_res = bits(dec, 1) + 3;
        int32_t top = band->num_swb[i];
        for (int f = 0; f < win.n_filt; ++f) {
            TnsFilter& filt = win.filt[f];
            const int32_t length = bits(dec, is_long ? 6 : 4);
            filt.start_band = top - length;
            filt.stop_band = top;
            top = filt.start_band;
            filt.order = bits(dec, is_long ? 5 : 3);
            if (filt.order == 0) continue;
            filt.direction = bits(dec, 1);
            const uint16_t width = static_cast<uint16_t>(win.coef_res - bits(dec, 1));
            const uint16_t sign = static_cast<uint16_t>(1u << (width - 1));
            for (int k = 0; k < filt.order; ++k) {
                uint16_t v = bits(dec, width);
                if (v & sign) v = static_cast<uint16_t>(v | ~(2 * sign - 1));
                filt.coef[k] = static_cast<int16_t>(v);
            }
        }
    }
    return 1;
}

// Prediction side data is read and dropped.
void aacdec_vel_lt_decode(MP4AACDEC_QUVA_Obj* dec, uint8_t windowSequence, uint8_t maxSfb, int w) {
    (void)windowSequence;
    (void)w;
    if (!bits(dec, 1)) return;
    if (bits(dec, 1)) bits(dec, 5);  // predictor_reset_group_number
    const int n = maxSfb < 40 ? maxSfb : 40;
    for (int i = 0; i < n; ++i) bits(dec, 1);
}
