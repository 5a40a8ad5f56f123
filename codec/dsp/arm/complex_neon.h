// Complex 32-bit points in NEON registers, two at a time with real and
// imaginary parts in separate registers (VLD2/VST2), and the exact
// arithmetic's rotation on them. For files compiled for NEON only.
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace neon {

struct Pair {  // two complex points
    int32x2_t re, im;
};

inline Pair load2(const int32_t* v, int k) {
    const int32x2x2_t z = vld2_s32(v + 2 * k);
    return {z.val[0], z.val[1]};
}
inline void store2(int32_t* v, int k, Pair z) { vst2_s32(v + 2 * k, int32x2x2_t{{z.re, z.im}}); }
inline Pair add(Pair a, Pair b) { return {vadd_s32(a.re, b.re), vadd_s32(a.im, b.im)}; }
inline Pair sub(Pair a, Pair b) { return {vsub_s32(a.re, b.re), vsub_s32(a.im, b.im)}; }
inline Pair times_minus_i(Pair z) { return {z.im, vneg_s32(z.re)}; }

// z (c - i s) in both points (the scalar rotate): re c + im s and
// im c + (-re) s, the negation wrapping.
inline Pair rotate(Pair z, Pair tw) {
    return {vrshrn_n_s64(vmlal_s32(vmull_s32(z.re, tw.re), z.im, tw.im), 31),
            vrshrn_n_s64(vmlal_s32(vmull_s32(z.im, tw.re), vneg_s32(z.re), tw.im), 31)};
}
// The same with the first point kept as it is (a twiddle of exactly 1).
inline Pair rotate_but_first(Pair z, Pair tw) {
    const Pair r = rotate(z, tw);
    return {vset_lane_s32(vget_lane_s32(z.re, 0), r.re, 0), vset_lane_s32(vget_lane_s32(z.im, 0), r.im, 0)};
}

}  // namespace neon
