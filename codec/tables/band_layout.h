// Band layouts: the sampling-rate table's record and the band layout of a
// window sequence, as the tables, the spectral tools and the decoder see them.
#pragma once

#include <cstdint>

struct SampRateInfo {
    int32_t sampling_rate;         // Hz
    int16_t num_swb_long;
    const int16_t* swb_top_long;   // band ends (exclusive), last = 1024
    int16_t num_swb_short;
    const int16_t* swb_top_short;  // band ends (exclusive), last = 128
};

// Band ends over a frame: at most 51 long bands, or eight short windows of
// at most 15 bands.
constexpr int kMaxBandsPerFrame = 128;

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

