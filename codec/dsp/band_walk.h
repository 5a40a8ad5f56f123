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

#if defined(__x86_64__)
#include <cstdint>
#include <cstring>

// Of the eight bytes at p, those equal to a or to c, as bit 7 of each byte,
// the first count bytes only (count may exceed eight): a byte equal to a or
// c has no bit set in its difference from it. Eight bytes are read.
inline uint64_t bytes_equal_either(const uint8_t* p, int count, uint8_t a, uint8_t c) {
    constexpr uint64_t kOnes = 0x0101010101010101u, kLow7 = 0x7F * kOnes;
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const uint64_t x = w ^ (a * kOnes), y = w ^ (c * kOnes);
    const uint64_t hit = ~((((x & kLow7) + kLow7) | x) & (((y & kLow7) + kLow7) | y)) & (0x80 * kOnes);
    return count >= 8 ? hit : hit & ((uint64_t{1} << (8 * count)) - 1);
}
#endif
