// Band layouts of every sampling rate, long and eight-short.
#include <gtest/gtest.h>

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
    EXPECT_EQ(samp_rate_kvxdec_info[4].sampling_rate, 44100);
    EXPECT_EQ(samp_rate_kvxdec_info[15].sampling_rate, 8000);
    // 32 kHz: its own long table, the 48 kHz short table.
    EXPECT_NE(samp_rate_kvxdec_info[5].swb_top_long, samp_rate_kvxdec_info[3].swb_top_long);
    EXPECT_EQ(samp_rate_kvxdec_info[5].swb_top_short, samp_rate_kvxdec_info[3].swb_top_short);
    // 96 and 64 kHz short tables are two tables of equal content.
    EXPECT_NE(samp_rate_kvxdec_info[0].swb_top_short, samp_rate_kvxdec_info[2].swb_top_short);
    for (int b = 0; b < 12; ++b)
        EXPECT_EQ(samp_rate_kvxdec_info[0].swb_top_short[b], samp_rate_kvxdec_info[2].swb_top_short[b]);
    // 8 kHz starts with a band of 12 lines; 44.1 kHz band 2 starts at line 8.
    EXPECT_EQ(samp_rate_kvxdec_info[11].swb_top_long[0], 12);
    EXPECT_EQ(samp_rate_kvxdec_info[4].swb_top_long[1], 8);
}

TEST(Bands, LayoutsAt44100) {
    kvxdec_infoinit(&samp_rate_kvxdec_info[4]);
    const BandInfo& l = only_long_kvxdec_info;
    EXPECT_EQ(l.is_long, 1);
    EXPECT_EQ(l.num_windows, 1);
    EXPECT_EQ(l.num_swb_frame, 49);
    EXPECT_EQ(l.window_bins[0], 1024);
    EXPECT_EQ(l.sect_bits[0], 5);
    EXPECT_EQ(l.frame_swb_top[48], 1024);
    EXPECT_EQ(l.num_window_groups, 1);
    EXPECT_EQ(l.window_group_length[0], 1);
    EXPECT_EQ(l.swb_width_short, nullptr);

    const BandInfo& s = kvxdec_eight_short_kvxdec_info;
    EXPECT_EQ(s.is_long, 0);
    EXPECT_EQ(s.num_windows, 8);
    EXPECT_EQ(s.num_swb_frame, 112);
    EXPECT_EQ(s.frame_swb_top[13], 128);
    EXPECT_EQ(s.frame_swb_top[14], 132);
    EXPECT_EQ(s.frame_swb_top[111], 1024);
    for (int w = 0; w < 8; ++w) {
        EXPECT_EQ(s.window_bins[w], 128);
        EXPECT_EQ(s.sect_bits[w], 3);
        EXPECT_EQ(s.num_swb[w], 14);
    }
    EXPECT_EQ(s.swb_width_short, kvxdec_sfbwidth128);
    const int16_t widths[14] = {4, 4, 4, 4, 4, 8, 8, 8, 12, 12, 12, 16, 16, 16};
    for (int i = 0; i < 14; ++i) EXPECT_EQ(kvxdec_sfbwidth128[i], widths[i]) << i;
}

TEST(Bands, GroupedShortLayout) {
    for (int idx : {0, 4, 8, 11}) {
        kvxdec_infoinit(&samp_rate_kvxdec_info[idx]);
        const int nswb = samp_rate_kvxdec_info[idx].num_swb_short;
        BandInfo copy = kvxdec_eight_short_kvxdec_info;
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
                EXPECT_EQ(end - prev, lengths[g] * kvxdec_sfbwidth128[j]) << idx << " " << g << " " << j;
                prev = end;
            }
            start += lengths[g] * 128;
            EXPECT_EQ(prev, start);
        }
        // The shared record is untouched.
        EXPECT_EQ(kvxdec_eight_short_kvxdec_info.frame_swb_top[nswb], 128 + kvxdec_sfbwidth128[0]);
    }
    kvxdec_infoinit(&samp_rate_kvxdec_info[4]);
    BandInfo copy = kvxdec_eight_short_kvxdec_info;
    const uint8_t one[8] = {8};
    group_layout(&copy, one);  // all eight windows in one group
    EXPECT_EQ(copy.num_window_groups, 1);
    EXPECT_EQ(copy.window_group_length[0], 8);
    EXPECT_EQ(copy.frame_swb_top[0], 32);
    EXPECT_EQ(copy.frame_swb_top[13], 1024);
    const uint8_t each[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    group_layout(&copy, each);  // eight groups of one window
    EXPECT_EQ(copy.num_window_groups, 8);
    for (int k = 0; k < 112; ++k) EXPECT_EQ(copy.frame_swb_top[k], kvxdec_eight_short_kvxdec_info.frame_swb_top[k]);
}

TEST(Bands, ReservedIndicesRepeat8000) {
    kvxdec_infoinit(&samp_rate_kvxdec_info[11]);
    const BandInfo ref_long = only_long_kvxdec_info;
    const BandInfo ref_short = kvxdec_eight_short_kvxdec_info;
    for (int idx = 12; idx < 16; ++idx) {
        kvxdec_infoinit(&samp_rate_kvxdec_info[idx]);
        EXPECT_EQ(only_long_kvxdec_info.num_swb_frame, 40);
        for (int k = 0; k < 40; ++k)
            EXPECT_EQ(only_long_kvxdec_info.frame_swb_top[k], ref_long.frame_swb_top[k]);
        for (int k = 0; k < 120; ++k)
            EXPECT_EQ(kvxdec_eight_short_kvxdec_info.frame_swb_top[k], ref_short.frame_swb_top[k]);
    }
}

TEST(Bands, WindowMapAfterReset) {
    make_decoder(false);
    EXPECT_EQ(kvxdec_winmap[ONLY_LONG_SEQUENCE], &only_long_kvxdec_info);
    EXPECT_EQ(kvxdec_winmap[LONG_START_SEQUENCE], &only_long_kvxdec_info);
    EXPECT_EQ(kvxdec_winmap[LONG_STOP_SEQUENCE], &only_long_kvxdec_info);
    EXPECT_EQ(kvxdec_winmap[EIGHT_SHORT_SEQUENCE], &kvxdec_eight_short_kvxdec_info);
    EXPECT_EQ(win_seq_kvxdec_info[1], nullptr);
    EXPECT_EQ(win_seq_kvxdec_info[3], nullptr);
}

}  // namespace
