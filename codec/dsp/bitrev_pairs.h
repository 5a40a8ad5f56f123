// The traversal of the exact arithmetic's pre-twiddle. The pre-twiddle
// stores the value of slot k of N/4 = `points` complex slots at the bit
// reversal of k (over log2(points) bits), and the values of slots k and
// points-1-k read exactly those two slots.
#pragma once

#include "tables/exact_tables.h"

// The values go in place in natural order (those of slots k and points-1-k
// read and write those two slots), then every slot moves to its bit
// reversal. Slots k, k+1, k+h, k+h+1 (k even, h = points/2) go to r, r+h,
// r+1, r+h+1 (r the reversal of k, even and below h as well), and those of
// r to k's: move(k, r) is called once for every such pair of groups (r > k)
// and for every group that maps onto itself (r = k).
template <typename Move>
__attribute__((always_inline)) inline void for_bit_reversed_groups(int points, Move move) {
    const int rev_step = 512 / points;
    for (int k = 0; k < points / 2; k += 2) {
        const int r = bitrev512[k * rev_step];
        if (r >= k) move(k, r);
    }
}
