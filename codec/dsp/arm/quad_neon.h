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
// im = im c + (-re) s, the negation wrapping. Written out so that each
// VRSHRN lands in its half of the result (vcombine of q31_sum's halves
// costs the compiler a move per half).
inline Quad rotate(Quad z, Quad tw) {
    int32x4_t re, im, nre;
    int64x2_t t0, t1, t2, t3;
    __asm__("vneg.s32 %q[nre], %q[zr]\n\t"
            "vmull.s32 %q[t0], %e[zr], %e[c]\n\t"
            "vmull.s32 %q[t1], %f[zr], %f[c]\n\t"
            "vmull.s32 %q[t2], %e[zi], %e[c]\n\t"
            "vmull.s32 %q[t3], %f[zi], %f[c]\n\t"
            "vmlal.s32 %q[t0], %e[zi], %e[s]\n\t"
            "vmlal.s32 %q[t1], %f[zi], %f[s]\n\t"
            "vmlal.s32 %q[t2], %e[nre], %e[s]\n\t"
            "vmlal.s32 %q[t3], %f[nre], %f[s]\n\t"
            "vrshrn.i64 %e[re], %q[t0], #31\n\t"
            "vrshrn.i64 %f[re], %q[t1], #31\n\t"
            "vrshrn.i64 %e[im], %q[t2], #31\n\t"
            "vrshrn.i64 %f[im], %q[t3], #31"
            : [re] "=&w"(re), [im] "=&w"(im), [nre] "=&w"(nre), [t0] "=&w"(t0), [t1] "=&w"(t1), [t2] "=&w"(t2),
              [t3] "=&w"(t3)
            : [zr] "w"(z.re), [zi] "w"(z.im), [c] "w"(tw.re), [s] "w"(tw.im));
    return {re, im};
}
inline Quad load4(const int32_t* words) {
    const int32x4x2_t v = vld2q_s32(words);
    return {v.val[0], v.val[1]};
}

}  // namespace neon
