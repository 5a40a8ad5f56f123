// Walks over the window groups, windows and bands of a frame, as the
// per-band arrays (masks, codebooks, scale factors) are laid out.
#pragma once

#include "tables/band_layout.h"

// Calls fn(first_window, end_window, n, set) per group: set is the index of
// the group's first mask/codebook byte (n per group).
template <typename Fn>
void for_each_group(const BandInfo* band, const uint8_t* windowGroups, Fn fn) {
    int set = 0;
    for (int s = 0, g = 0; s < band->num_windows && g < 8; ++g) {
        const int e = windowGroups[g];
        const int n = band->num_swb[s];
        fn(s, e, n, set);
        set += n;
        if (e <= s) break;  // never with group ends the grouping wrote
        s = e;
    }
}

// Calls fn(set, sf_row, b, first, end) for every band of every window: set
// as above, sf_row the window's first scale factor (n per window), and the
// band's lines [first, end) counted from the start of the frame.
template <typename Fn>
void for_each_band(const BandInfo* band, const uint8_t* windowGroups, Fn fn) {
    int base = 0;
    for_each_group(band, windowGroups, [&](int s, int e, int n, int set) {
        for (int w = s; w < e && w < band->num_windows; ++w) {
            const int16_t* top = band->window_swb_top[w];
            for (int b = 0, first = 0; b < n; first = top[b++]) fn(set, w * n, b, base + first, base + top[b]);
            base += band->window_bins[w];
        }
    });
}
