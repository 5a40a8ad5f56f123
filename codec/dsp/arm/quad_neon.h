// Four complex 32-bit points in NEON registers, real and imaginary parts in
// separate quad registers (VLD2Q/VST2Q), and the exact arithmetic's rotation
// on them. For code compiled for NEON only.
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace neon {

struct Quad {  // four complex points
    int32x4_t re, im;
};

// The four lanes in reverse order (VREV64, then VEXT #2 swaps the halves).
inline int32x4_t rev4(int32x4_t v) {
    const int32x4_t r = vrev64q_s32(v);
    return vextq_s32(r, r, 2);
}

// rshr64(a b + c d, 31) per lane: VMULL + VMLAL (the sum wrapping modulo 2^64
// like fx::mac64), then VRSHRN #31, whose rounding keeps bits 31..62 of the
// sum plus 2^30, the rounded value modulo 2^32.
inline int32x4_t q31_sum(int32x4_t a, int32x4_t b, int32x4_t c, int32x4_t d) {
    const int64x2_t lo = vmlal_s32(vmull_s32(vget_low_s32(a), vget_low_s32(b)), vget_low_s32(c), vget_low_s32(d));
    const int64x2_t hi = vmlal_s32(vmull_s32(vget_high_s32(a), vget_high_s32(b)), vget_high_s32(c), vget_high_s32(d));
    return vcombine_s32(vrshrn_n_s64(lo, 31), vrshrn_n_s64(hi, 31));
}

// z (c - i s) for four points (the scalar rotate): re = re c + im s,
// im = im c + (-re) s, the negation wrapping.
inline Quad rotate(Quad z, Quad tw) {
    return {q31_sum(z.re, tw.re, z.im, tw.im), q31_sum(z.im, tw.re, vnegq_s32(z.re), tw.im)};
}
inline Quad load4(const int32_t* words) {
    const int32x4x2_t v = vld2q_s32(words);
    return {v.val[0], v.val[1]};
}

}  // namespace neon
