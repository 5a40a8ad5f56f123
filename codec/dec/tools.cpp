#include "dec/tools.h"

#include "dec/core_scale.h"
#include "dec/instance.h"
#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "tables/tools_tables.h"

void kvxdec_intensity(MC_Info* mi, const BandInfo* band, int w, int c, const uint8_t* windowGroups,
                      const uint8_t* sectCodebook, const int16_t* scaleFactors, int32_t* const* coef) {
    (void)w;
    const ChInfo& ch = mi->channel[c & 1];
    if (!ch.is_cpe || ch.is_left) return;
    intensity_bands(band, windowGroups, sectCodebook, scaleFactors, coef[ch.paired_channel & 1], coef[c & 1]);
}

void aacdec_pns(MC_Info* mi, const BandInfo* band, int w, int c, const uint8_t* windowGroups,
                const uint8_t* sectCodebook, const int16_t* scaleFactors, uint32_t* seed,
                int32_t* const* coef, int energy_offset) {
    (void)mi;
    (void)w;
    noise_bands(band, windowGroups, sectCodebook, scaleFactors, seed, coef[c & 1], energy_offset);
}

// The TNS limits of the instance's profile and rate for long or short windows.
static TnsLimits tns_limits(const MC_Info& mi, bool is_long) {
    // Orders: 7 in short windows; long windows 20 in the main profile, 12 in
    // low complexity, none in the others.
    int max_order = 7;
    if (is_long) max_order = mi.profile == 0 ? 20 : (mi.profile == 1 ? 12 : 0);
    return {max_order, kvxdec_tns_max_bands_tbl[mi.sampling_rate_idx & 15][is_long ? 0 : 1]};
}

void kvxdec_tns_decode_subblock(int32_t* spectrum, int32_t* spectrum_out, int max_sfb, const int16_t* window_swb_top,
                                int32_t is_long, const TnsWindow* tns_window, MP4AACDEC_QUVA_Obj* dec) {
    (void)spectrum_out;  // the same buffer: filtered in place
    tns_window_filters(spectrum, max_sfb, window_swb_top, tns_limits(dec->mcInfo, is_long != 0), tns_window);
}

void kvxdec_tns_channel(MP4AACDEC_QUVA_Obj* dec, int c, int w, const BandInfo* band) {
    const TnsInfo* tns = dec->tnsData[c];
    const auto filter = [&] {
        int offset = 0;
        for (int i = 0; i < tns->n_windows && i < 8; ++i) {
            kvxdec_tns_decode_subblock(dec->coef[c] + offset, dec->coef[c] + offset, dec->maxSfb[w],
                                       band->window_swb_top[i], band->is_long, &tns->win[i], dec);
            offset += band->window_bins[i];
        }
    };
    if constexpr (kCoreScaled) {
        bool any = false;
        for (int i = 0; i < tns->n_windows && i < 8; ++i) any |= tns->win[i].n_filt != 0;
        if (any && core_scale_tns_begin(dec, c)) {
            filter();
            if (core_scale_tns_redo(dec, c)) filter();
            return;
        }
    }
    filter();
}

void kvxdec_aacFilterBankInit(MP4AACDEC_QUVA_Obj* state) { state->firstBlock = 1; }

void kvxdec_aacFilterBank(MP4AACDEC_QUVA_Obj* state, uint8_t window_sequence, uint16_t* wnd_shape,
                          int32_t* coef, OverlapSample* overlap, PcmOut out) {
    // 32-bit output comes from the reference synthesis alone; the exact
    // arithmetic's time samples from the kernel table's, like its PCM.
    if (out.wide) state->libraryOutput(&state->firstBlock, window_sequence, wnd_shape, coef, overlap, out);
    else if (out.time && !kExactArithmetic)
        synthesise_channel(&state->firstBlock, window_sequence, wnd_shape, coef, overlap, out);
    else kernels.synthesis(&state->firstBlock, window_sequence, wnd_shape, coef, overlap, out);
}

void kvxdec_set_library_output(MP4AACDEC_QUVA_Obj* dec, bool wide) {
#if AAC_ARITHMETIC_EXACT
    dec->wideOutput = wide;
    dec->libraryOutput = synthesise_channel_any;
#else
    (void)wide;
    dec->wideOutput = 0;
    dec->libraryOutput = nullptr;
#endif
}
