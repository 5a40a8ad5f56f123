// The SBR high-frequency generator's kernels with NEON (32-bit ARM). The
// covariances: four terms at a time, VMLAL of both halves into the same
// 64-bit lanes, the two lanes added at the end (all sums modulo 2^64, in
// any order the same). The filter, four slots at a time: the column's
// words gathered into lanes (VLD1 lane), scaled down by VRSHL by minus the
// shift (the rounding of fx::rshr, without overflow; left out for shift
// 0), the slots before each four from the previous four (VEXT), the five
// products of each part as 64-bit VSHLL/VMLAL/VMLSL sums (no wrap within
// the filter's bounds, see dsp/hf_filter.h), VQRSHRN #28 (fx::rshr64_sat)
// and VQSHL by the shift (fx::shl_sat). Bit-exact with dsp/hf_filter.cpp;
// the last slots of a run are the reference's rows. Both are written out
// in inline assembly: GCC keeps the covariances' sums in memory and moves
// the filter's registers about.
// The block exponents: four subbands of a row by one load, their
// magnitudes by VABS, ORed by VORR; a subband's words four rows at a time
// (lane loads) scaled by VRSHL or VQSHL.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/hf_filter.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

namespace {

// The words of four rows of a column, the pointer stepped on past them:
// four lane loads, each stepping the pointer by the row (written out, as
// the compiler addresses each row anew otherwise).
inline int32x4_t column4(const int32_t*& p, int row_bytes) {
    int32x4_t v;
    __asm__("vld1.32 {%e0[0]}, [%1], %2\n\t"
            "vld1.32 {%e0[1]}, [%1], %2\n\t"
            "vld1.32 {%f0[0]}, [%1], %2\n\t"
            "vld1.32 {%f0[1]}, [%1], %2"
            : "=w"(v), "+r"(p)
            : "r"(row_bytes)
            : "memory");
    return v;
}

}  // namespace

void sbr_hf_magnitudes_neon(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any) {
    // Four subbands of a row by one load, |v| by VABS (INT32_MIN stays 2^31
    // as an unsigned word), ORed over the rows; a run not a multiple of four
    // ends with the four subbands up to its last (ORed twice, the same
    // words), one below four is the reference's.
    if (n < 4) {
        sbr_hf_magnitudes_c(re, im, stride, rows, n, any);
        return;
    }
    for (int c = 0;; c = c + 4 < n - 4 ? c + 4 : n - 4) {
        const int32_t* r = re + c;
        const int32_t* i = im + c;
        uint32x4_t m = vld1q_u32(any + c);
        for (int l = 0; l < rows; ++l, r += stride, i += stride)
            m = vorrq_u32(m, vreinterpretq_u32_s32(vorrq_s32(vabsq_s32(vld1q_s32(r)), vabsq_s32(vld1q_s32(i)))));
        vst1q_u32(any + c, m);
        if (c + 4 >= n) break;
    }
}

void sbr_hf_scale_neon(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi) {
    // Down: VRSHL by -s (fx::rshr, without overflow; s = 0 keeps the
    // words); up: VQSHL by -s (fx::shl_sat).
    const int32x4_t count = vdupq_n_s32(-s);
    const int row_bytes = stride * static_cast<int>(sizeof *re);
    const int32_t* r = re;
    const int32_t* i = im;
    int l = 0;
    if (stride == 1) {
        // Runs of words (the core's time samples between block scales).
        if (s >= 0)
            for (; l + 4 <= n; l += 4) {
                vst1q_s32(yr + l, vrshlq_s32(vld1q_s32(re + l), count));
                vst1q_s32(yi + l, vrshlq_s32(vld1q_s32(im + l), count));
            }
        else
            for (; l + 4 <= n; l += 4) {
                vst1q_s32(yr + l, vqshlq_s32(vld1q_s32(re + l), count));
                vst1q_s32(yi + l, vqshlq_s32(vld1q_s32(im + l), count));
            }
    } else if (s >= 0) {
        for (; l + 4 <= n; l += 4) {
            vst1q_s32(yr + l, vrshlq_s32(column4(r, row_bytes), count));
            vst1q_s32(yi + l, vrshlq_s32(column4(i, row_bytes), count));
        }
    } else {
        for (; l + 4 <= n; l += 4) {
            vst1q_s32(yr + l, vqshlq_s32(column4(r, row_bytes), count));
            vst1q_s32(yi + l, vqshlq_s32(column4(i, row_bytes), count));
        }
    }
    for (; l < n; ++l) hf_filter::scale_row(re, im, stride, l, s, yr, yi);
}

// Four slots a step, written out: the words of re in q12 and im in q13
// (lane loads stepping down the column), the slots before them from the
// previous four in q14, q15 (VEXT), x1 and x2 in q1, q2 (x1) and q3, q11
// (x2), the sums of re in q8, q9 and of im in q9, q10 (each product by a
// coefficient's lane of q0; the negated imaginary parts' products taken
// off by VMLSL, exact as no scaled |x| reaches 2^31), narrowed into q8
// (re) and q9 (im) and stored lane by lane. DOWN and UP scale by the
// shift's counts in q4 and q5, or are empty for shift 0. The next step
// takes its previous slots from this one's registers.
#define HF_FILTER_STEP(XR, XR_LO, XR_HI, XI, XI_LO, XI_HI, PR, PI, DOWN, UP) \
    "vld1.32 {" XR_LO "[0]}, [%[xr]], %[xs]\n\t"                             \
    "vld1.32 {" XI_LO "[0]}, [%[xi]], %[xs]\n\t"                             \
    "vld1.32 {" XR_LO "[1]}, [%[xr]], %[xs]\n\t"                             \
    "vld1.32 {" XI_LO "[1]}, [%[xi]], %[xs]\n\t"                             \
    "vld1.32 {" XR_HI "[0]}, [%[xr]], %[xs]\n\t"                             \
    "vld1.32 {" XI_HI "[0]}, [%[xi]], %[xs]\n\t"                             \
    "vld1.32 {" XR_HI "[1]}, [%[xr]], %[xs]\n\t"                             \
    "vld1.32 {" XI_HI "[1]}, [%[xi]], %[xs]\n\t"                             \
    DOWN(XR, XI)                                                              \
    "vext.32 q1, " PR ", " XR ", #3\n\t"                                     \
    "vext.32 q2, " PI ", " XI ", #3\n\t"                                     \
    "vext.32 q3, " PR ", " XR ", #2\n\t"                                     \
    "vext.32 q11, " PI ", " XI ", #2\n\t"                                    \
    "vshll.s32 q8, " XR_LO ", #28\n\t"                                       \
    "vshll.s32 q9, " XR_HI ", #28\n\t"                                       \
    "vmlal.s32 q8, d2, d0[0]\n\t"                                           \
    "vmlal.s32 q9, d3, d0[0]\n\t"                                           \
    "vmlsl.s32 q8, d4, d0[1]\n\t"                                           \
    "vmlsl.s32 q9, d5, d0[1]\n\t"                                           \
    "vmlal.s32 q8, d6, d1[0]\n\t"                                           \
    "vmlal.s32 q9, d7, d1[0]\n\t"                                           \
    "vmlsl.s32 q8, d22, d1[1]\n\t"                                          \
    "vmlsl.s32 q9, d23, d1[1]\n\t"                                          \
    "vqrshrn.s64 d16, q8, #28\n\t"                                          \
    "vqrshrn.s64 d17, q9, #28\n\t"                                          \
    "vshll.s32 q9, " XI_LO ", #28\n\t"                                       \
    "vshll.s32 q10, " XI_HI ", #28\n\t"                                      \
    "vmlal.s32 q9, d4, d0[0]\n\t"                                           \
    "vmlal.s32 q10, d5, d0[0]\n\t"                                          \
    "vmlal.s32 q9, d2, d0[1]\n\t"                                           \
    "vmlal.s32 q10, d3, d0[1]\n\t"                                          \
    "vmlal.s32 q9, d22, d1[0]\n\t"                                          \
    "vmlal.s32 q10, d23, d1[0]\n\t"                                         \
    "vmlal.s32 q9, d6, d1[1]\n\t"                                           \
    "vmlal.s32 q10, d7, d1[1]\n\t"                                          \
    "vqrshrn.s64 d18, q9, #28\n\t"                                          \
    "vqrshrn.s64 d19, q10, #28\n\t"                                         \
    UP                                                                        \
    "vst1.32 {d16[0]}, [%[yr]], %[ys]\n\t"                                   \
    "vst1.32 {d18[0]}, [%[yi]], %[ys]\n\t"                                   \
    "vst1.32 {d16[1]}, [%[yr]], %[ys]\n\t"                                   \
    "vst1.32 {d18[1]}, [%[yi]], %[ys]\n\t"                                   \
    "vst1.32 {d17[0]}, [%[yr]], %[ys]\n\t"                                   \
    "vst1.32 {d19[0]}, [%[yi]], %[ys]\n\t"                                   \
    "vst1.32 {d17[1]}, [%[yr]], %[ys]\n\t"                                   \
    "vst1.32 {d19[1]}, [%[yi]], %[ys]\n\t"
#define HF_FILTER_KEEP(XR, XI)
#define HF_FILTER_DOWN(XR, XI) "vrshl.s32 " XR ", " XR ", q4\n\t" "vrshl.s32 " XI ", " XI ", q4\n\t"
#define HF_FILTER_UP "vqshl.s32 q8, q8, q5\n\t" "vqshl.s32 q9, q9, q5\n\t"
// Slots -2 and -1 into the last lanes of q14, q15, the addresses left at
// slot 0.
#define HF_FILTER_PREVIOUS                        \
    "vld1.32 {d29[0]}, [%[xr]], %[xs]\n\t"      \
    "vld1.32 {d31[0]}, [%[xi]], %[xs]\n\t"      \
    "vld1.32 {d29[1]}, [%[xr]], %[xs]\n\t"      \
    "vld1.32 {d31[1]}, [%[xi]], %[xs]\n\t"

namespace {

// One subband (the kernel's loop over the subbands below).
void filter_column(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                   int y_stride, int count, const int32_t* coef, int shift) {
    register int32x4_t c __asm__("q0") = vld1q_s32(coef);  // a0 re, a0 im, a1 re, a1 im
    const int32_t* xr = x_re - 2 * x_stride;
    const int32_t* xi = x_im - 2 * x_stride;
    int32_t* yr = y_re;
    int32_t* yi = y_im;
    const int xs = x_stride * static_cast<int>(sizeof *x_re), ys = y_stride * static_cast<int>(sizeof *y_re);
    int steps = count >> 2;
    if (shift == 0) {
        // Eight slots a loop, the registers of the two halves taking turns.
        __asm__ volatile(
            HF_FILTER_PREVIOUS
            "lsrs %[n], %[n], #1\n\t"
            "beq 2f\n"
            "1:\n\t"
            HF_FILTER_STEP("q12", "d24", "d25", "q13", "d26", "d27", "q14", "q15", HF_FILTER_KEEP, "")
            HF_FILTER_STEP("q14", "d28", "d29", "q15", "d30", "d31", "q12", "q13", HF_FILTER_KEEP, "")
            "subs %[n], %[n], #1\n\t"
            "bne 1b\n"
            "2:\n\t"
            "cmp %[odd], #0\n\t"
            "beq 3f\n\t"
            HF_FILTER_STEP("q12", "d24", "d25", "q13", "d26", "d27", "q14", "q15", HF_FILTER_KEEP, "")
            "3:"
            : [xr] "+r"(xr), [xi] "+r"(xi), [yr] "+r"(yr), [yi] "+r"(yi), [n] "+r"(steps)
            : [xs] "r"(xs), [ys] "r"(ys), [odd] "r"(steps & 1), "w"(c)
            : "cc", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23",
              "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", "memory");
    } else {
        register int32x4_t down __asm__("q4") = vdupq_n_s32(-shift);
        register int32x4_t up __asm__("q5") = vdupq_n_s32(shift);
        __asm__ volatile(
            HF_FILTER_PREVIOUS
            HF_FILTER_DOWN("q14", "q15")
            "cmp %[n], #0\n\t"
            "beq 2f\n"
            "1:\n\t"
            HF_FILTER_STEP("q12", "d24", "d25", "q13", "d26", "d27", "q14", "q15", HF_FILTER_DOWN, HF_FILTER_UP)
            "vmov q14, q12\n\t"
            "vmov q15, q13\n\t"
            "subs %[n], %[n], #1\n\t"
            "bne 1b\n"
            "2:"
            : [xr] "+r"(xr), [xi] "+r"(xi), [yr] "+r"(yr), [yi] "+r"(yi), [n] "+r"(steps)
            : [xs] "r"(xs), [ys] "r"(ys), "w"(c), "w"(down), "w"(up)
            : "cc", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23",
              "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", "memory");
    }
    for (int l = count & ~3; l < count; ++l) hf_filter::row(x_re, x_im, x_stride, y_re, y_im, y_stride, l, coef, shift);
}

}  // namespace

void sbr_hf_filter_neon(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride, int count,
                        int n, const int32_t* coef, const uint8_t* shift) {
    for (int c = 0; c < n; ++c) {
        const int32_t a[4] = {coef[c], coef[c + kHfCoefRow], coef[c + 2 * kHfCoefRow], coef[c + 3 * kHfCoefRow]};
        filter_column(x_re + c, x_im + c, stride, y_re + c, y_im + c, stride, count, a, shift[c]);
    }
}
#undef HF_FILTER_STEP
#undef HF_FILTER_KEEP
#undef HF_FILTER_DOWN
#undef HF_FILTER_UP
#undef HF_FILTER_PREVIOUS

// phi(1,1) and phi(0,1) are phi(2,2) and phi(1,2) one sample on: the
// vector loop takes the other five sums, and those three come from them
// with their first term taken off and the next one added (modulo 2^64, as
// the reference's sums). Written out, every sum in a register of its own
// (GCC keeps them in memory otherwise, and moves 64-bit lanes through core
// registers): four terms a step into both 64-bit lanes of each sum (q8,
// q9, q10 for phi[1..3], q11, q12 for phi[6..7]), then two terms on the
// low halves, an odd last one in the low lanes (the others zero), and
// every address stepped by its loads. The lanes added, the three sums come
// from their neighbours with the terms of the pairs (k + 1, k) for k = 0
// (low lanes) and k = n (high lanes): |y[k]|^2 and y[k + 1] conj y[k],
// those of n added and those of 0 taken off; all eight stored by two VST1.
void sbr_hf_covariance_neon(const int32_t* yr, const int32_t* yi, int n, int64_t* phi) {
    const int32_t *r0 = yr, *r1 = yr + 1, *r2 = yr + 2, *i0 = yi, *i1 = yi + 1, *i2 = yi + 2;
    // (The first samples' addresses as outputs too, so that they get
    // registers of their own: inputs may share one with r0 and i0.)
    const int32_t *first_r = yr, *first_i = yi;
    int steps;
#define HF_COV_TERMS(R0, R1, R2, I0, I1, I2, N0) \
    "vmlal.s32 q8, " R0 ", " R0 "\n\t"         \
    "vmlal.s32 q9, " R1 ", " R0 "\n\t"         \
    "vmlal.s32 q10, " I1 ", " R0 "\n\t"        \
    "vmlal.s32 q11, " R2 ", " R0 "\n\t"        \
    "vmlal.s32 q12, " I2 ", " R0 "\n\t"        \
    "vmlal.s32 q8, " I0 ", " I0 "\n\t"         \
    "vmlal.s32 q9, " I1 ", " I0 "\n\t"         \
    "vmlal.s32 q10, " R1 ", " N0 "\n\t"        \
    "vmlal.s32 q11, " I2 ", " I0 "\n\t"        \
    "vmlal.s32 q12, " R2 ", " N0 "\n\t"
    __asm__ volatile(
        "vmov.i64 q8, #0\n\t"
        "vmov.i64 q9, #0\n\t"
        "vmov.i64 q10, #0\n\t"
        "vmov.i64 q11, #0\n\t"
        "vmov.i64 q12, #0\n\t"
        "asrs %6, %10, #2\n\t"
        "beq 2f\n"
        "1:\n\t"
        "vld1.32 {d0-d1}, [%0]!\n\t"
        "vld1.32 {d6-d7}, [%3]!\n\t"
        "vld1.32 {d2-d3}, [%1]!\n\t"
        "vld1.32 {d26-d27}, [%4]!\n\t"
        "vld1.32 {d4-d5}, [%2]!\n\t"
        "vld1.32 {d28-d29}, [%5]!\n\t"
        "vneg.s32 q15, q3\n\t"
        HF_COV_TERMS("d0", "d2", "d4", "d6", "d26", "d28", "d30")
        HF_COV_TERMS("d1", "d3", "d5", "d7", "d27", "d29", "d31")
        "subs %6, %6, #1\n\t"
        "bne 1b\n"
        "2:\n\t"
        "tst %10, #2\n\t"
        "beq 3f\n\t"
        "vld1.32 {d0}, [%0]!\n\t"
        "vld1.32 {d6}, [%3]!\n\t"
        "vld1.32 {d2}, [%1]!\n\t"
        "vld1.32 {d26}, [%4]!\n\t"
        "vld1.32 {d4}, [%2]!\n\t"
        "vld1.32 {d28}, [%5]!\n\t"
        "vneg.s32 d30, d6\n\t"
        HF_COV_TERMS("d0", "d2", "d4", "d6", "d26", "d28", "d30")
        "3:\n\t"
        "tst %10, #1\n\t"
        "beq 4f\n\t"
        "vmov.i32 q0, #0\n\t"
        "vmov.i32 q1, #0\n\t"
        "vmov.i32 q2, #0\n\t"
        "vmov.i32 q3, #0\n\t"
        "vmov.i32 q13, #0\n\t"
        "vmov.i32 q14, #0\n\t"
        "vld1.32 {d0[0]}, [%0]!\n\t"
        "vld1.32 {d6[0]}, [%3]!\n\t"
        "vld1.32 {d2[0]}, [%1]\n\t"
        "vld1.32 {d26[0]}, [%4]\n\t"
        "vld1.32 {d4[0]}, [%2]\n\t"
        "vld1.32 {d28[0]}, [%5]\n\t"
        "vneg.s32 d30, d6\n\t"
        HF_COV_TERMS("d0", "d2", "d4", "d6", "d26", "d28", "d30")
        "4:\n\t"
        "vadd.i64 d1, d16, d17\n\t"
        "vadd.i64 d2, d18, d19\n\t"
        "vadd.i64 d3, d20, d21\n\t"
        "vadd.i64 d6, d22, d23\n\t"
        "vadd.i64 d7, d24, d25\n\t"
        "vld1.32 {d16}, [%8]\n\t"
        "vld1.32 {d17}, [%0]\n\t"
        "vld1.32 {d18}, [%9]\n\t"
        "vld1.32 {d19}, [%3]\n\t"
        "vtrn.32 d16, d17\n\t"
        "vtrn.32 d18, d19\n\t"
        "vneg.s32 d20, d18\n\t"
        "vmull.s32 q12, d16, d16\n\t"
        "vmull.s32 q13, d17, d16\n\t"
        "vmull.s32 q14, d19, d16\n\t"
        "vmlal.s32 q12, d18, d18\n\t"
        "vmlal.s32 q13, d19, d18\n\t"
        "vmlal.s32 q14, d17, d20\n\t"
        "vsub.i64 d25, d25, d24\n\t"
        "vsub.i64 d27, d27, d26\n\t"
        "vsub.i64 d29, d29, d28\n\t"
        "vadd.i64 d0, d1, d25\n\t"
        "vadd.i64 d4, d2, d27\n\t"
        "vadd.i64 d5, d3, d29\n\t"
        "vst1.64 {d0-d3}, [%7]!\n\t"
        "vst1.64 {d4-d7}, [%7]"
        : "+r"(r0), "+r"(r1), "+r"(r2), "+r"(i0), "+r"(i1), "+r"(i2), "=&r"(steps), "+r"(phi), "+r"(first_r),
          "+r"(first_i)
        : "r"(n)
        : "cc", "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20", "d21", "d22",
          "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", "memory");
#undef HF_COV_TERMS
}

void sbr_hf_covariances_neon(const int32_t* re, const int32_t* im, int stride, int rows, int n, const int8_t* shift,
                             int64_t (*phi)[8]) {
    int32_t yr[kHfCovRows], yi[kHfCovRows];
    for (int c = 0; c < n; ++c) {
        sbr_hf_scale_neon(re + c, im + c, stride, rows, shift[c], yr, yi);
        sbr_hf_covariance_neon(yr, yi, rows - 2, phi[c]);
    }
}

#pragma GCC pop_options

#endif
