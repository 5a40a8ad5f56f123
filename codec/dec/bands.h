// Sampling-rate table and the band layouts of the two window-sequence kinds.
#pragma once

#include <cstdint>

extern "C" {

struct SampRateInfo {
    int32_t sampling_rate;         // Hz
    int16_t num_swb_long;
    const int16_t* swb_top_long;   // band ends (exclusive), last = 1024
    int16_t num_swb_short;
    const int16_t* swb_top_short;  // band ends (exclusive), last = 128
};

constexpr int kMaxBandsPerFrame = 200;

struct BandInfo {
    int32_t is_long;                 // 1 long layout, 0 eight-short
    int16_t num_windows;             // 1 or 8
    int32_t frame_bins;              // 1024
    int32_t num_swb_frame;           // bands over all windows
    int16_t window_bins[8];          // lines per window
    int32_t num_swb[8];              // bands per window
    int32_t sect_bits[8];            // width of sect_len_incr: 5 long, 3 short
    const int16_t* window_swb_top[8];
    const int16_t* swb_width_short;  // eight-short only
    int16_t frame_swb_top[kMaxBandsPerFrame];  // band ends over the frame
    int32_t num_window_groups;
    int16_t window_group_length[8];
};

enum WindowSequence : uint8_t {
    ONLY_LONG_SEQUENCE = 0,
    LONG_START_SEQUENCE = 1,
    EIGHT_SHORT_SEQUENCE = 2,
    LONG_STOP_SEQUENCE = 3
};

// 16 entries indexed by sampling_frequency_index; 12..15 repeat 8000 Hz.
extern const SampRateInfo samp_rate_kvxdec_info[16];

extern BandInfo only_long_kvxdec_info;
extern BandInfo kvxdec_eight_short_kvxdec_info;
extern BandInfo* win_seq_kvxdec_info[4];
extern BandInfo* kvxdec_winmap[4];
extern int16_t kvxdec_sfbwidth128[16];

// Rebuilds both band layouts for the given rate.
void kvxdec_infoinit(const SampRateInfo* sri);

// Fills the grouping fields of a working copy of the eight-short layout from
// the group ends of one frame (each an exclusive window index, the last 8):
// group lengths, and band ends in the order a grouped short frame is
// transmitted, group after group, band j of a group being group length x
// short band width j lines wide.
void kvxdec_group_layout(BandInfo* copy, const uint8_t* windowGroups);

}  // extern "C"
