// The exact arithmetic's FFT with NEON, four complex points at a time, real
// and imaginary parts in separate Q registers (VLD2/VST2): the first four
// radix-2 stages over each 16 points in registers, then the passes of
// fft_exact (dsp/fft_passes.h) over groups of four neighbouring points. A
// rotation is VMULL + VMLAL on each half (64-bit products, the sum wrapping
// modulo 2^64 like fx::mac64) and VRSHRN #31, whose rounding shift keeps
// bits 31..62 of the sum plus 2^30: exactly fx::rshr64(..., 31) reduced
// modulo 2^32. This file alone is compiled for NEON; select_kernels calls it
// only on a CPU that has it.
#include <arm_neon.h>

#include "dsp/fft_passes.h"
#include "dsp/fft_variants.h"
#include "tables/exact_tables.h"

namespace {

struct Quad {  // four complex points
    int32x4_t re, im;
};

// a c + b s in each lane, rounded once at bit 31: VMULL and VMLAL on each
// half, VRSHRN #31 straight into the halves of the result. (Assembly: the
// compiler's register allocation moves the halves of a combination around.)
inline int32x4_t dot(int32x4_t a, int32x4_t c, int32x4_t b, int32x4_t s) {
    int32x4_t r;
    int64x2_t lo, hi;
    __asm__(
        "vmull.s32 %q1, %e3, %e4\n\t"
        "vmull.s32 %q2, %f3, %f4\n\t"
        "vmlal.s32 %q1, %e5, %e6\n\t"
        "vmlal.s32 %q2, %f5, %f6\n\t"
        "vrshrn.i64 %e0, %q1, #31\n\t"
        "vrshrn.i64 %f0, %q2, #31"
        : "=w"(r), "=&w"(lo), "=&w"(hi)
        : "w"(a), "w"(c), "w"(b), "w"(s));
    return r;
}

// Stores (a.re + b.re, a.im + b.im) at v and the differences at w, through
// q8 and q9, the consecutive registers VST2 needs (Assembly: built from two
// values, the compiler passes such a pair through the stack.) With
// kMinusI, b times -i: (b.im, -b.re).
template <bool kMinusI>
inline void sum_difference(int32_t* v, int32_t* w, int32x4_t a_re, int32x4_t a_im, int32x4_t b_re, int32x4_t b_im) {
    if (kMinusI)
        __asm__ volatile(
            "vadd.i32 q8, %q2, %q5\n\t"
            "vsub.i32 q9, %q3, %q4\n\t"
            "vst2.32 {d16-d19}, [%0]\n\t"
            "vsub.i32 q8, %q2, %q5\n\t"
            "vadd.i32 q9, %q3, %q4\n\t"
            "vst2.32 {d16-d19}, [%1]"
            :
            : "r"(v), "r"(w), "w"(a_re), "w"(a_im), "w"(b_re), "w"(b_im)
            : "d16", "d17", "d18", "d19", "memory");
    else
        __asm__ volatile(
            "vadd.i32 q8, %q2, %q4\n\t"
            "vadd.i32 q9, %q3, %q5\n\t"
            "vst2.32 {d16-d19}, [%0]\n\t"
            "vsub.i32 q8, %q2, %q4\n\t"
            "vsub.i32 q9, %q3, %q5\n\t"
            "vst2.32 {d16-d19}, [%1]"
            :
            : "r"(v), "r"(w), "w"(a_re), "w"(a_im), "w"(b_re), "w"(b_im)
            : "d16", "d17", "d18", "d19", "memory");
}

struct QuadLanes {
    using V = Quad;
    static constexpr int kWidth = 4;
    static Quad load(const int32_t* v, int k) {
        const int32x4x2_t z = vld2q_s32(v + 2 * k);
        return {z.val[0], z.val[1]};
    }
    static void butterfly(int32_t* v, int k, int m, Quad a, Quad b) {
        sum_difference<false>(v + 2 * k, v + 2 * m, a.re, a.im, b.re, b.im);
    }
    static void butterfly_minus_i(int32_t* v, int k, int m, Quad a, Quad b) {
        sum_difference<true>(v + 2 * k, v + 2 * m, a.re, a.im, b.re, b.im);
    }
    static Quad add(Quad a, Quad b) { return {vaddq_s32(a.re, b.re), vaddq_s32(a.im, b.im)}; }
    static Quad sub(Quad a, Quad b) { return {vsubq_s32(a.re, b.re), vsubq_s32(a.im, b.im)}; }
    static Quad times_minus_i(Quad z) { return {z.im, vnegq_s32(z.re)}; }
    // z (c - i s) (the scalar rotate): re c + im s and im c + (-re) s, the
    // negation wrapping.
    static Quad rotate(Quad z, Quad tw) {
        return {dot(z.re, tw.re, z.im, tw.im), dot(z.im, tw.re, vnegq_s32(z.re), tw.im)};
    }
    // The same with the lanes in `keep` left as they are.
    static Quad rotate_but(Quad z, Quad tw, uint32x4_t keep) {
        const Quad r = rotate(z, tw);
        return {vbslq_s32(keep, z.re, r.re), vbslq_s32(keep, z.im, r.im)};
    }
    static Quad rotate_but_first(Quad z, Quad tw) { return rotate_but(z, tw, vsetq_lane_u32(~0u, vdupq_n_u32(0), 0)); }
};

// 4 x 4 transposition: lane k of row m to lane m of row k.
inline void transpose(int32x4_t& r0, int32x4_t& r1, int32x4_t& r2, int32x4_t& r3) {
    const int32x4x2_t a = vtrnq_s32(r0, r1), b = vtrnq_s32(r2, r3);
    r0 = vcombine_s32(vget_low_s32(a.val[0]), vget_low_s32(b.val[0]));
    r1 = vcombine_s32(vget_low_s32(a.val[1]), vget_low_s32(b.val[1]));
    r2 = vcombine_s32(vget_high_s32(a.val[0]), vget_high_s32(b.val[0]));
    r3 = vcombine_s32(vget_high_s32(a.val[1]), vget_high_s32(b.val[1]));
}

// fft_exact's first radix-4 stage and its radix-4 pass of quarter-span 4
// over each group of 16 points, in registers. The first stage works on the
// four groups of four (lane k: points 4k .. 4k + 3, loaded with VLD4 and
// VUZP), the pass on the four columns (lane m: points m, 4 + m, 8 + m,
// 12 + m) after a transposition. In the pass, lane m of the odd points is
// turned by the first twiddle (exactly 1 in lanes 0 and 2, times -i in
// lanes 2 and 3), the second stage's by w2 at m = 0, 1 and w3 at m - 2
// (exactly 1 in lane 0).
void first_sixteen(int32_t* buf, int points) {
    using L = QuadLanes;
    const int32_t* w = fft_r4_twiddle_q31;  // quarter-span 4
    const int32x2x2_t w1 = vld2_s32(w);
    const Quad tw1{vcombine_s32(w1.val[0], w1.val[0]), vcombine_s32(w1.val[1], w1.val[1])};
    const Quad tw23 = L::load(w + 4, 0);
    const uint32x4_t lanes02 = vreinterpretq_u32_u64(vdupq_n_u64(0xFFFFFFFFu));
    const uint32x4_t lane0 = vsetq_lane_u32(~0u, vdupq_n_u32(0), 0);
    auto first = [&](Quad z) {
        const Quad r = L::rotate_but(z, tw1, lanes02);
        return Quad{vcombine_s32(vget_low_s32(r.re), vget_high_s32(r.im)),
                    vcombine_s32(vget_low_s32(r.im), vneg_s32(vget_high_s32(r.re)))};
    };
    for (int g = 0; g < points; g += 16) {
        int32_t* p = buf + 2 * g;
        const int32x4x4_t u = vld4q_s32(p), v = vld4q_s32(p + 16);  // re, im of even points, of odd points
        const int32x4x2_t re02 = vuzpq_s32(u.val[0], v.val[0]), im02 = vuzpq_s32(u.val[1], v.val[1]);
        const int32x4x2_t re13 = vuzpq_s32(u.val[2], v.val[2]), im13 = vuzpq_s32(u.val[3], v.val[3]);
        const Quad t0{re02.val[0], im02.val[0]}, t2{re02.val[1], im02.val[1]};
        const Quad t1{re13.val[0], im13.val[0]}, t3{re13.val[1], im13.val[1]};
        const Quad a = L::add(t0, t1), b = L::sub(t0, t1), c = L::add(t2, t3), d = L::sub(t2, t3);
        Quad y0 = L::add(a, c), y2 = L::sub(a, c);
        Quad y1 = L::add(b, L::times_minus_i(d)), y3 = L::sub(b, L::times_minus_i(d));  // b - i d, b + i d
        transpose(y0.re, y1.re, y2.re, y3.re);
        transpose(y0.im, y1.im, y2.im, y3.im);
        const Quad x1 = first(y1), x3 = first(y3);
        const Quad a0 = L::add(y0, x1), a1 = L::sub(y0, x1);
        L::butterfly(buf, g, g + 8, a0, L::rotate_but(L::add(y2, x3), tw23, lane0));
        L::butterfly_minus_i(buf, g + 4, g + 12, a1, L::rotate_but(L::sub(y2, x3), tw23, lane0));
    }
}


// The butterfly groups of the passes after the first four stages, each one
// block of assembly over fixed registers: the compiler, given the same
// work as intrinsics, spills a third of it to the stack. Twiddles c, s in
// q2, q3; 64-bit sums in q12..q15.
//
// ROT: the rotation of the point in Q registers ZR, ZI (D halves ZRL ZRH,
// ZIL ZIH) into the D halves ORL ORH, OIL OIH of other registers.
#define ROT(ZRL, ZRH, ZIL, ZIH, ZR, ORL, ORH, OIL, OIH)  \
    "vmull.s32 q12, " ZRL ", d4\n\t"                   \
    "vmull.s32 q13, " ZRH ", d5\n\t"                   \
    "vmlal.s32 q12, " ZIL ", d6\n\t"                   \
    "vmlal.s32 q13, " ZIH ", d7\n\t"                   \
    "vmull.s32 q14, " ZIL ", d4\n\t"                   \
    "vmull.s32 q15, " ZIH ", d5\n\t"                   \
    "vrshrn.i64 " ORL ", q12, #31\n\t"                 \
    "vrshrn.i64 " ORH ", q13, #31\n\t"                 \
    "vneg.s32 q12, " ZR "\n\t"                          \
    "vmlal.s32 q14, d24, d6\n\t"                       \
    "vmlal.s32 q15, d25, d7\n\t"                       \
    "vrshrn.i64 " OIL ", q14, #31\n\t"                 \
    "vrshrn.i64 " OIH ", q15, #31\n\t"
// A mask of lane 0 in Q register M (halves ML, MH), and lane 0 of the
// point in Q registers Z (re), Z + 1 (im) put back into O, O + 1.
#define MASK0(ML, MH) "vmov.i64 " ML ", #0xffffffff\n\t" "vmov.i32 " MH ", #0\n\t"
#define KEEP0(ORE, OIM, ZRE, ZIM, M) "vbit " ORE ", " ZRE ", " M "\n\t" "vbit " OIM ", " ZIM ", " M "\n\t"
// Sum and difference of the points a (AR, AI) and b (BR, BI; with -i:
// (BI, -BR)) through q0, q1 to the points at S and D.
#define SUM_DIFF(AR, AI, BR, BI, S, D)                              \
    "vadd.i32 q0, " AR ", " BR "\n\t" "vadd.i32 q1, " AI ", " BI "\n\t" \
    "vst2.32 {d0-d3}, [" S "]\n\t"                                   \
    "vsub.i32 q0, " AR ", " BR "\n\t" "vsub.i32 q1, " AI ", " BI "\n\t" \
    "vst2.32 {d0-d3}, [" D "]\n\t"
#define SUM_DIFF_MINUS_I(AR, AI, BR, BI, S, D)                      \
    "vadd.i32 q0, " AR ", " BI "\n\t" "vsub.i32 q1, " AI ", " BR "\n\t" \
    "vst2.32 {d0-d3}, [" S "]\n\t"                                   \
    "vsub.i32 q0, " AR ", " BI "\n\t" "vadd.i32 q1, " AI ", " BR "\n\t" \
    "vst2.32 {d0-d3}, [" D "]\n\t"
#define NEON_CLOBBERS                                                                                            \
    "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12", "d13", "d14", "d15", "d16", \
        "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", \
        "memory"

struct AsmButterflies {
    static constexpr int kWidth = 4;

    // fft_exact's radix4_points for p .. p + 3: x3 and x1 turned by w1 into
    // q6 q7 and q4 q5 (lane 0 kept with the mask in q8), x2 -+ x3 into q8 q9
    // and q10 q11, turned by w2 into q6 q7 and q8 q9 (lane 0 kept with the
    // mask in q0), x0 -+ x1 into q2 q3 and q10 q11, then the four stores.
    // %0..%3: the four points' addresses, %4 %5: the twiddles'.
    template <bool kKeep1, bool kMinusI1, bool kKeep2>
    static void radix4_points(int32_t* buf, int p, int quarter, const int32_t* w1, const int32_t* w2) {
        int32_t *p0 = buf + 2 * p, *p1 = p0 + 2 * quarter, *p2 = p1 + 2 * quarter, *p3 = p2 + 2 * quarter;
#define R4_FIRST(KEEP)                                                                                  \
    "vld2.32 {d4-d7}, [%4]\n\t"                                                                         \
    "vld2.32 {d0-d3}, [%3]\n\t" ROT("d0", "d1", "d2", "d3", "q0", "d12", "d13", "d14", "d15")           \
        KEEP("q6", "q7", "q0", "q1", "q8")                                                              \
    "vld2.32 {d0-d3}, [%1]\n\t" ROT("d0", "d1", "d2", "d3", "q0", "d8", "d9", "d10", "d11")             \
        KEEP("q4", "q5", "q0", "q1", "q8")                                                              \
    "vld2.32 {d0-d3}, [%2]\n\t"
#define R4_SECOND(KEEP, MASK)                                                                           \
    "vld2.32 {d4-d7}, [%5]\n\t" MASK ROT("d16", "d17", "d18", "d19", "q8", "d12", "d13", "d14", "d15")  \
        KEEP("q6", "q7", "q8", "q9", "q0")                                                              \
    ROT("d20", "d21", "d22", "d23", "q10", "d16", "d17", "d18", "d19") KEEP("q8", "q9", "q10", "q11", "q0") \
    "vld2.32 {d0-d3}, [%0]\n\t"
#define R4_STORES                                                                                       \
    SUM_DIFF("q2", "q3", "q6", "q7", "%0", "%2") SUM_DIFF_MINUS_I("q10", "q11", "q8", "q9", "%1", "%3")
// x2 +- x3 and x0 +- x1, the odd point as it is or times -i.
#define R4_X23 "vadd.i32 q8, q0, q6\n\tvadd.i32 q9, q1, q7\n\tvsub.i32 q10, q0, q6\n\tvsub.i32 q11, q1, q7\n\t"
#define R4_X23_MINUS_I "vadd.i32 q8, q0, q7\n\tvsub.i32 q9, q1, q6\n\tvsub.i32 q10, q0, q7\n\tvadd.i32 q11, q1, q6\n\t"
#define R4_X01 "vadd.i32 q2, q0, q4\n\tvadd.i32 q3, q1, q5\n\tvsub.i32 q10, q0, q4\n\tvsub.i32 q11, q1, q5\n\t"
#define R4_X01_MINUS_I "vadd.i32 q2, q0, q5\n\tvsub.i32 q3, q1, q4\n\tvsub.i32 q10, q0, q5\n\tvadd.i32 q11, q1, q4\n\t"
#define NO_KEEP(...)
#define R4_ASM(BODY) \
    __asm__ volatile(BODY : : "r"(p0), "r"(p1), "r"(p2), "r"(p3), "r"(w1), "r"(w2) : NEON_CLOBBERS)
        if (kKeep1 && !kMinusI1)
            R4_ASM(MASK0("d16", "d17") R4_FIRST(KEEP0) R4_X23 R4_SECOND(KEEP0, MASK0("d0", "d1")) R4_X01 R4_STORES);
        else if (kKeep1)
            R4_ASM(MASK0("d16", "d17") R4_FIRST(KEEP0) R4_X23_MINUS_I R4_SECOND(NO_KEEP, "") R4_X01_MINUS_I R4_STORES);
        else if (!kMinusI1)
            R4_ASM(R4_FIRST(NO_KEEP) R4_X23 R4_SECOND(NO_KEEP, "") R4_X01 R4_STORES);
        else
            R4_ASM(R4_FIRST(NO_KEEP) R4_X23_MINUS_I R4_SECOND(NO_KEEP, "") R4_X01_MINUS_I R4_STORES);
        static_assert(kKeep1 == kKeep2 || kMinusI1, "the passes keep lane 0 in both stages or only the first");
    }

    // The radix-2 butterflies at j and j + h/2: the points at j + h and
    // q + h turned into q4 q5 and q6 q7, then the sums and differences with
    // those at j and q (loaded into q2 q3). %0..%3: the points at j, j + h,
    // q, q + h; %4: the twiddle.
    template <bool kKeep>
    static void radix2_points(int32_t* buf, int j, int h, const int32_t* tw) {
        int32_t *p0 = buf + 2 * j, *p1 = p0 + 2 * h, *p2 = p0 + h, *p3 = p2 + 2 * h;
#define R2_BODY(KEEP)                                                                                          \
    "vld2.32 {d4-d7}, [%4]\n\t"                                                                                \
    "vld2.32 {d0-d3}, [%1]\n\t" ROT("d0", "d1", "d2", "d3", "q0", "d8", "d9", "d10", "d11")                    \
        KEEP("q4", "q5", "q0", "q1", "q8")                                                                     \
    "vld2.32 {d0-d3}, [%3]\n\t" ROT("d0", "d1", "d2", "d3", "q0", "d12", "d13", "d14", "d15")                  \
        KEEP("q6", "q7", "q0", "q1", "q8")                                                                     \
    "vld2.32 {d4-d7}, [%0]\n\t" SUM_DIFF("q2", "q3", "q4", "q5", "%0", "%1")                                     \
    "vld2.32 {d4-d7}, [%2]\n\t" SUM_DIFF_MINUS_I("q2", "q3", "q6", "q7", "%2", "%3")
        if (kKeep)
            __asm__ volatile(MASK0("d16", "d17") R2_BODY(KEEP0)
                             : : "r"(p0), "r"(p1), "r"(p2), "r"(p3), "r"(tw) : NEON_CLOBBERS);
        else
            __asm__ volatile(R2_BODY(NO_KEEP) : : "r"(p0), "r"(p1), "r"(p2), "r"(p3), "r"(tw) : NEON_CLOBBERS);
    }
};

}  // namespace

void fft_exact_neon(int32_t* buf, int points) {
    first_sixteen(buf, points);
    fft_passes::passes_from<AsmButterflies>(buf, points, 16);
}
