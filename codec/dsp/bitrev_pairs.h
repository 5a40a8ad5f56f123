// The traversal of the exact arithmetic's pre-twiddle. The pre-twiddle
// stores the value of slot k of N/4 = `points` complex slots at the bit
// reversal of k (over log2(points) bits), and the values of slots k and
// points-1-k read exactly those two slots.
#pragma once

#include <cstdint>

#include "tables/exact_tables.h"

// A list made at compile time: its entries, then how many there are.
template <typename T, int kMax>
struct ListOf {
    T at[kMax];
    int count;
};

// k with its log2(points) bits reversed (points = 512 or 64), at compile
// time.
template <int kPoints>
constexpr int bit_reverse(int k) {
    constexpr int bits = kPoints == 512 ? 9 : 6;
    int r = 0;
    for (int b = 0; b < bits; ++b)
        if ((k >> b) & 1) r |= 1 << (bits - 1 - b);
    return r;
}

// The values go in place in natural order (those of slots k and points-1-k
// read and write those two slots), then every slot moves to its bit
// reversal. Slots k, k+1, k+h, k+h+1 (k even, h = points/2) go to r, r+h,
// r+1, r+h+1 (r the reversal of k, even and below h as well), and those of
// r to k's: move(k, r) is called once for every such pair of groups (r > k)
// and for every group that maps onto itself (r = k), from a list made at
// compile time (the groups with r < k are not visited at all).
struct GroupPair {
    uint8_t k, r;  // halved
};
template <int kPoints>
using GroupPairs = ListOf<GroupPair, kPoints / 4>;
template <int kPoints>
constexpr GroupPairs<kPoints> group_pairs() {
    GroupPairs<kPoints> l{};
    for (int k = 0; k < kPoints / 2; k += 2) {
        const int r = bit_reverse<kPoints>(k);
        if (r >= k) l.at[l.count++] = {static_cast<uint8_t>(k / 2), static_cast<uint8_t>(r / 2)};
    }
    return l;
}
inline constexpr GroupPairs<512> kGroupPairs512 = group_pairs<512>();
inline constexpr GroupPairs<64> kGroupPairs64 = group_pairs<64>();

template <typename Move>
__attribute__((always_inline)) inline void for_bit_reversed_groups(int points, Move move) {
    const GroupPair* pair = points == 512 ? kGroupPairs512.at : kGroupPairs64.at;
    const GroupPair* const end = pair + (points == 512 ? kGroupPairs512.count : kGroupPairs64.count);
    for (; pair < end; ++pair) move(2 * pair->k, 2 * pair->r);
}

// Or the values go straight to their bit-reversed slots (the x86 variants),
// in units that are closed under both the reading and the writing. With
// h = points/2, the group at k (k even, below h) is slots k, k+1, k+h, k+h+1; it goes to the
// group at r = rev(k) (even and below h as well) as r, r+h, r+1, r+h+1. The
// partners points-1-s of its slots form the group at h-2-k, which goes to
// the group at h-2-r. So the unit at k (k < h/2) - the groups at k and at
// h-2-k - reads only its own slots and writes exactly the unit at c, the
// lower of r and h-2-r. unit(k, r, c) is called once for every pair of
// units (c > k: both must be read before either is written) and for every
// unit that maps onto itself (c = k: r = k or r = h-2-k).
template <typename Unit>
__attribute__((always_inline)) inline void for_bit_reversed_units(int points, Unit unit) {
    const int rev_step = 512 / points, h = points / 2;
    const uint8_t* rev = bitrev512_even;
    for (int k = 0; k < h / 2; k += 2, rev += rev_step) {
        const int r = *rev;
        const int c = r < h / 2 ? r : h - 2 - r;
        if (c >= k) unit(k, r, c);
    }
}
