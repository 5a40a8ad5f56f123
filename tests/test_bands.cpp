// Band layouts of every sampling rate, long and eight-short.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "dec/bands.h"
#include "test_util.h"

namespace {

const int kLongBands[12] = {41, 41, 47, 49, 49, 51, 47, 47, 43, 43, 43, 40};
const int kShortBands[12] = {12, 12, 12, 14, 14, 14, 15, 15, 15, 15, 15, 15};

TEST(Bands, EveryRateHasIncreasingBandsEndingAtTheFrameEnd) {
    for (int idx = 0; idx < 16; ++idx) {
        const SampRateInfo& s = samp_rate_kvxdec_info[idx];
        const int ref = idx < 12 ? idx : 11;
        ASSERT_EQ(s.num_swb_long, kLongBands[ref]) << idx;
        ASSERT_EQ(s.num_swb_short, kShortBands[ref]) << idx;
        int prev = 0;
        for (int b = 0; b < s.num_swb_long; ++b) {
            EXPECT_GT(s.swb_top_long[b], prev);
            EXPECT_EQ((s.swb_top_long[b] - prev) % 4, 0);
            prev = s.swb_top_long[b];
        }
        EXPECT_EQ(prev, 1024);
        prev = 0;
        for (int b = 0; b < s.num_swb_short; ++b) {
            EXPECT_GT(s.swb_top_short[b], prev);
            prev = s.swb_top_short[b];
        }
        EXPECT_EQ(prev, 128);
    }
    EXPECT_EQ(vals(samp_rate_kvxdec_info[4].sampling_rate, samp_rate_kvxdec_info[15].sampling_rate), vals(44100, 8000));
    // 32 kHz: its own long table, the 48 kHz short table.
    EXPECT_NE(samp_rate_kvxdec_info[5].swb_top_long, samp_rate_kvxdec_info[3].swb_top_long);
    EXPECT_EQ(samp_rate_kvxdec_info[5].swb_top_short, samp_rate_kvxdec_info[3].swb_top_short);
    // 96 and 64 kHz short tables are two tables of equal content.
    EXPECT_NE(samp_rate_kvxdec_info[0].swb_top_short, samp_rate_kvxdec_info[2].swb_top_short);
    for (int b = 0; b < 12; ++b)
        EXPECT_EQ(samp_rate_kvxdec_info[0].swb_top_short[b], samp_rate_kvxdec_info[2].swb_top_short[b]);
    // 8 kHz starts with a band of 12 lines; 44.1 kHz band 2 starts at line 8.
    EXPECT_EQ(vals(samp_rate_kvxdec_info[11].swb_top_long[0], samp_rate_kvxdec_info[4].swb_top_long[1]), vals(12, 8));
}

// A fresh instance whose context holds the layouts.
MP4AACDEC_QUVA_Obj* fresh() { return make_decoder(false); }

TEST(Bands, LayoutsAt44100) {
    MP4AACDEC_QUVA_Obj* dec = fresh();
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[4]);
    const BandInfo& l = dec->ctx->longBands;
    EXPECT_EQ(vals(l.is_long, l.num_windows, l.num_swb_frame, l.window_bins[0], l.sect_bits[0], l.frame_swb_top[48],
                   l.num_window_groups, l.window_group_length[0]),
              vals(1, 1, 49, 1024, 5, 1024, 1, 1));
    EXPECT_EQ(l.swb_width_short, nullptr);

    const BandInfo& s = dec->ctx->shortBands;
    EXPECT_EQ(vals(s.is_long, s.num_windows, s.num_swb_frame, s.frame_swb_top[13], s.frame_swb_top[14],
                   s.frame_swb_top[111]),
              vals(0, 8, 112, 128, 132, 1024));
    for (int w = 0; w < 8; ++w) EXPECT_EQ(vals(s.window_bins[w], s.sect_bits[w], s.num_swb[w]), vals(128, 3, 14)) << w;
    EXPECT_EQ(s.swb_width_short, dec->ctx->sfbWidth128);
    const int16_t widths[14] = {4, 4, 4, 4, 4, 8, 8, 8, 12, 12, 12, 16, 16, 16};
    for (int i = 0; i < 14; ++i) EXPECT_EQ(dec->ctx->sfbWidth128[i], widths[i]) << i;
}

TEST(Bands, EveryRateFitsTheFrameTable) {
    // The frame table holds every band of either layout at every rate.
    MP4AACDEC_QUVA_Obj* dec = fresh();
    for (int idx = 0; idx < 16; ++idx) {
        const SampRateInfo& sri = samp_rate_kvxdec_info[idx];
        kvxdec_infoinit(dec, &sri);
        const BandInfo& l = dec->ctx->longBands;
        const BandInfo& s = dec->ctx->shortBands;
        ASSERT_EQ(vals(l.num_swb_frame, s.num_swb_frame), vals(sri.num_swb_long, 8 * sri.num_swb_short)) << idx;
        EXPECT_LE(std::max(l.num_swb_frame, s.num_swb_frame), kMaxBandsPerFrame) << idx;
        EXPECT_EQ(vals(l.frame_swb_top[l.num_swb_frame - 1], s.frame_swb_top[s.num_swb_frame - 1]), vals(1024, 1024))
            << idx;
    }
}

TEST(Bands, GroupedShortLayout) {
    MP4AACDEC_QUVA_Obj* dec = fresh();
    const int16_t* width = dec->ctx->sfbWidth128;
    for (int idx : {0, 4, 8, 11}) {
        kvxdec_infoinit(dec, &samp_rate_kvxdec_info[idx]);
        const int nswb = samp_rate_kvxdec_info[idx].num_swb_short;
        BandInfo copy = dec->ctx->shortBands;
        const uint8_t groups[8] = {2, 5, 6, 8, 0, 0, 0, 0};  // grouping bits 1,0,1,1,0,0,1
        group_layout(&copy, groups);
        ASSERT_EQ(copy.num_window_groups, 4);
        const int16_t lengths[4] = {2, 3, 1, 2};
        int start = 0;
        for (int g = 0; g < 4; ++g) {
            EXPECT_EQ(copy.window_group_length[g], lengths[g]);
            // Band j of a group is group length x short band width j lines wide.
            int prev = start;
            for (int j = 0; j < nswb; ++j) {
                const int end = copy.frame_swb_top[g * nswb + j];
                EXPECT_EQ(end - prev, lengths[g] * width[j]) << idx << " " << g << " " << j;
                prev = end;
            }
            start += lengths[g] * 128;
            EXPECT_EQ(prev, start);
        }
        // The instance's record is untouched.
        EXPECT_EQ(dec->ctx->shortBands.frame_swb_top[nswb], 128 + width[0]);
    }
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[4]);
    BandInfo copy = dec->ctx->shortBands;
    const uint8_t one[8] = {8};
    group_layout(&copy, one);  // all eight windows in one group
    EXPECT_EQ(vals(copy.num_window_groups, copy.window_group_length[0], copy.frame_swb_top[0], copy.frame_swb_top[13]),
              vals(1, 8, 32, 1024));
    const uint8_t each[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    group_layout(&copy, each);  // eight groups of one window
    EXPECT_EQ(copy.num_window_groups, 8);
    for (int k = 0; k < 112; ++k) EXPECT_EQ(copy.frame_swb_top[k], dec->ctx->shortBands.frame_swb_top[k]);
}

TEST(Bands, ReservedIndicesRepeat8000) {
    MP4AACDEC_QUVA_Obj* dec = fresh();
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[11]);
    const BandInfo ref_long = dec->ctx->longBands;
    const BandInfo ref_short = dec->ctx->shortBands;
    for (int idx = 12; idx < 16; ++idx) {
        kvxdec_infoinit(dec, &samp_rate_kvxdec_info[idx]);
        EXPECT_EQ(dec->ctx->longBands.num_swb_frame, 40);
        for (int k = 0; k < 40; ++k)
            EXPECT_EQ(dec->ctx->longBands.frame_swb_top[k], ref_long.frame_swb_top[k]);
        for (int k = 0; k < 120; ++k)
            EXPECT_EQ(dec->ctx->shortBands.frame_swb_top[k], ref_short.frame_swb_top[k]);
    }
}

TEST(Bands, WindowMapAfterReset) {
    MP4AACDEC_QUVA_Obj* dec = fresh();
    const BandInfo* lng = &dec->ctx->longBands;
    const BandInfo* shrt = &dec->ctx->shortBands;
    // Only the two low bits of the sequence count.
    const std::vector<const BandInfo*> maps = {
        kvxdec_winmap(dec, ONLY_LONG_SEQUENCE),       kvxdec_winmap(dec, LONG_START_SEQUENCE),
        kvxdec_winmap(dec, LONG_STOP_SEQUENCE),       kvxdec_winmap(dec, EIGHT_SHORT_SEQUENCE),
        kvxdec_winmap(dec, 4 | EIGHT_SHORT_SEQUENCE), kvxdec_winmap(dec, 4 | LONG_STOP_SEQUENCE)};
    EXPECT_EQ(maps, (std::vector<const BandInfo*>{lng, lng, lng, shrt, shrt, lng}));
    // A reset builds both layouts at 44.1 kHz.
    EXPECT_EQ(vals(lng->is_long, lng->num_swb_frame, shrt->is_long, shrt->num_swb_frame), vals(1, 49, 0, 112));
    EXPECT_EQ(shrt->swb_width_short, dec->ctx->sfbWidth128);
}

}  // namespace
