// Band layouts of the long and eight-short window sequences at the current rate.
#include "dec/bands.h"

#include <initializer_list>

#include "dec/instance.h"

void kvxdec_infoinit(MP4AACDEC_QUVA_Obj* dec, const SampRateInfo* sri) {
    DecoderContext& ctx = *dec->ctx;
    ctx.bandsRate = sri->sampling_rate;
    BandInfo& lng = ctx.longBands;
    lng.is_long = 1;
    lng.num_windows = 1;
    lng.frame_bins = 1024;
    lng.num_swb[0] = sri->num_swb_long;
    lng.sect_bits[0] = 5;
    lng.window_swb_top[0] = sri->swb_top_long;
    lng.swb_width_short = nullptr;
    lng.num_window_groups = 1;
    lng.window_group_length[0] = 1;

    BandInfo& shrt = ctx.shortBands;
    shrt.is_long = 0;
    shrt.num_windows = 8;
    shrt.frame_bins = 1024;
    for (int w = 0; w < 8; ++w) {
        shrt.num_swb[w] = sri->num_swb_short;
        shrt.sect_bits[w] = 3;
        shrt.window_swb_top[w] = sri->swb_top_short;
    }
    shrt.swb_width_short = ctx.sfbWidth128;

    int16_t prev = 0;
    for (int i = 0; i < sri->num_swb_short; ++i) {
        ctx.sfbWidth128[i] = static_cast<int16_t>(sri->swb_top_short[i] - prev);
        prev = sri->swb_top_short[i];
    }

    // Band ends over the whole frame: the eight-short layout is eight copies
    // of the short table, each offset by the lines of the windows before it.
    for (BandInfo* b : {&lng, &shrt}) {
        b->num_swb_frame = 0;
        int k = 0;
        int offset = 0;
        for (int w = 0; w < b->num_windows; ++w) {
            b->window_bins[w] = static_cast<int16_t>(b->frame_bins / b->num_windows);
            b->num_swb_frame += b->num_swb[w];
            for (int j = 0; j < b->num_swb[w]; ++j)
                b->frame_swb_top[k++] = static_cast<int16_t>(b->window_swb_top[w][j] + offset);
            offset += b->window_bins[w];
        }
    }
}

void group_layout(BandInfo* copy, const uint8_t* windowGroups) {
    int g = 0;
    int prev = 0;
    // Groups up to and including the first end of 8 or more; at most 8.
    while (g < 8) {
        copy->window_group_length[g] = static_cast<int16_t>(windowGroups[g] - prev);
        prev = windowGroups[g];
        ++g;
        if (prev >= 8) break;
    }
    copy->num_window_groups = g;
    int sum = 0;
    for (int grp = 0; grp < g; ++grp) {
        const int nswb = copy->num_swb[grp];
        for (int j = 0; j < nswb; ++j) {
            sum += copy->window_group_length[grp] * copy->swb_width_short[j];
            copy->frame_swb_top[grp * nswb + j] = static_cast<int16_t>(sum);
        }
    }
}
