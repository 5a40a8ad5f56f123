#pragma once

// Sums of products of covariances (below 2^59 in magnitude) without the
// four 32 x 32 products and sign corrections of each 64 x 64 one: each
// factor split at bit 30 into a signed high part (below 2^29) and a low
// part in [0, 2^30), the products of the parts gathered in three 64-bit
// sums by weight, 2^60, 2^30 and 1 (SMLAL), and the 128-bit value formed
// once. A product of high parts is below 2^58 in magnitude, of a high and
// a low part below 2^59, of low parts below 2^60; the middle sum takes two
// products a multiply-add, so with up to three multiply-adds it holds up
// to six and stays within 6 2^59 < 2^62, as the low sum's three stay
// within 3 2^60 < 2^62. The predictor on 32-bit ARM takes its products
// this way; elsewhere the wide product does.
#include <cstdint>

#include "dsp/fixed.h"

namespace sbr_split {

struct Split {
    int32_t h, l;
};
inline Split split(int64_t a) {
    return {static_cast<int32_t>(a >> 30), static_cast<int32_t>(static_cast<uint32_t>(a) & 0x3fffffffu)};
}
inline Split neg(Split a) { return {-a.h, -a.l}; }
struct Sums {
    int64_t h = 0, m = 0, l = 0;
};
// a b for a 32-bit b: its products with a's parts.
inline void mul_add(Sums* s, Split a, int32_t b) {
    s->m = fx::mac64(s->m, a.h, b);
    s->l = fx::mac64(s->l, a.l, b);
}
inline void mul_add(Sums* s, Split a, Split b) {
    s->h = fx::mac64(s->h, a.h, b.h);
    s->m = fx::mac64(fx::mac64(s->m, a.h, b.l), a.l, b.h);
    s->l = fx::mac64(s->l, a.l, b.l);
}
// h 2^60 + m 2^30 + l, the carries of the low parts taken up first.
inline fx::Wide value(const Sums& s) {
    const int64_t m = s.m + (s.l >> 30);
    const int64_t h = s.h + (m >> 30);
    const uint64_t low = ((static_cast<uint64_t>(m) & 0x3fffffffu) << 30) | (static_cast<uint64_t>(s.l) & 0x3fffffffu);
    return fx::add_wide(fx::shl_wide(h, 60), fx::wide(static_cast<int64_t>(low)));
}

}  // namespace sbr_split
