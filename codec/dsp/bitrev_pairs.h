// The traversals of the exact arithmetic's pre-twiddle. The pre-twiddle stores the value of slot k of N/4 = `points`
// complex slots at the bit reversal of k (over log2(points) bits), and the
// values of slots k and points-1-k read exactly those two slots. The
// reversal maps the pair {k, points-1-k} onto the pair {r, points-1-r}
// (reversing points-1-k gives points-1-r), so a pass can work in place: a
// pair that maps onto itself alone, two pairs that trade places together,
// each reading all its words before writing any.
#pragma once

#include "tables/exact_tables.h"

// Calls pass(k, r, m, rm) once for every pair that maps onto itself (m = k)
// and for every two pairs that trade places (m > k): k and m are the pairs'
// first slots (below points/2), r and rm the reversals of k and m.
// (Always inlined, so that a pass with a target attribute inlines too.)
template <typename Pass>
__attribute__((always_inline)) inline void for_bit_reversed_pairs(int points, Pass pass) {
    const int rev_step = 512 / points;  // the reversal over fewer bits: 512-point of k * 512/points
    for (int k = 0; k < points / 2; ++k) {
        const int r = bitrev512[k * rev_step];
        const int m = r < points / 2 ? r : points - 1 - r;  // the first slot of the pair k's values go to
        if (m < k) continue;                                 // that pair was done with its partner
        pass(k, r, m, m > k ? int{bitrev512[m * rev_step]} : r);
    }
}

// The vector variants take the other way: the values in place in natural
// order (those of slots k and points-1-k read and write those two slots),
// then every slot moved to its bit reversal. Slots k, k+1, k+h, k+h+1 (k
// even, h = points/2) go to r, r+h, r+1, r+h+1 (r the reversal of k, even
// and below h as well), and those of r to k's: move(k, r) is called once for
// every such pair of groups (r > k) and for every group that maps onto
// itself (r = k).
template <typename Move>
__attribute__((always_inline)) inline void for_bit_reversed_groups(int points, Move move) {
    const int rev_step = 512 / points;
    for (int k = 0; k < points / 2; k += 2) {
        const int r = bitrev512[k * rev_step];
        if (r >= k) move(k, r);
    }
}
