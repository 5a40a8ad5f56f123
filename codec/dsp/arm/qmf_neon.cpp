// The SBR QMF banks with NEON (32-bit ARM), bit-exact with the reference
// (dsp/qmf_steps.h):
// - The pre-rotations (the analysis's rotation of the folded input, the
//   synthesis's D = P X + Q conj X') take the FFT's first two stages (its
//   radix-4 stage of additions) with them: the four points of a radix-4
//   group are the points k, k + M/4, k + M/2, k + 3M/4, which lie in one
//   lane of four registers when four consecutive k are computed at a time,
//   so the stage is a few vector additions, and each group's eight words go
//   to their bit-reversed place by two VST4 lane stores. The FFT here is
//   then the stages of half-span 4 and up, four points at a time, every
//   twiddle a rotation, the spans known at compile time.
// - The synthesis window takes v's words once for the ten rows, eight
//   outputs at a time, de-interleaved (VLD2Q/VST2Q: every step is word by
//   word); each product rounded to Q11 is one VQRDMULH (the
//   doubled product plus 2^31, its high word: the rounded shift by 31 of the
//   64-bit product, which saturates only for two factors of -2^31, and the
//   window holds none), added to its partial sum by VQADD.
// - Every other product is a 64-bit VMULL/VMLAL/VMLSL (sums modulo 2^64, as
//   fx::mac64; none comes near the limit, so the rounding below never meets
//   a wrapped sum). VMLSL subtracts a product where the reference adds that
//   of a negated factor: exact wherever the negated factor is a table value
//   (none is -2^31) or an FFT value (below 2^30.5); the analysis's folded
//   input can be -2^31, so its rotation negates it as fx::neg_wrap does
//   (VNEG wraps). The rounding shifts by a constant are VRSHRN (rshr64), by
//   a count known at run time VRSHL by minus the count, then the low words
//   by VUZP (rshr64) or VQMOVN (rshr64_sat).
// - The analysis window eight values at a time, de-interleaved; the block
//   exponents' scans by VMAX/VMIN; the new block's reversal by VREV64.
// Mirrored values (X[M-1-k]) are loaded four at a time and reversed by
// VREV64 alone, the halves' swap done by the products taking the other
// half. Which loop orders, unrollings and functions kept apart are used
// was chosen by counting instructions (scripts/count-arm.sh): GCC moves or
// spills NEON register pairs and quadruples where their registers meet.
// So the hottest steps (the FFT's butterflies, both windows, the 64-band
// synthesis' rotations and the analysis', each pre-rotation with its
// radix-4 stage) are written out in inline assembly: the same
// instructions, every value in the register it is made in, every address
// stepped by its own load or store; the 32-band synthesis keeps the
// intrinsics.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/qmf_variants.h"
#include "tables/qmf_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

#include "dsp/qmf_steps.h"

namespace {

#define NEON_INLINE __attribute__((always_inline)) inline

// The radix-4 butterflies of four groups at once, the pre-rotations' last
// step: x0..x3 with re in q0..q3 and im in q4..q7, a = x0 + x2,
// b = x0 - x2, c = x1 + x3, d = x1 - x3 (re in q8 q10 q12 q14, im in q9 q11
// q13 q15), then the group's positions 0..3 (a + c, b - i d; a - c, b + i d)
// in q0/q1, q2/q3, q4/q5, q6/q7.
#define QMF_RADIX4_GROUPS          \
    "vadd.i32 q8, q0, q2\n\t"    \
    "vadd.i32 q9, q4, q6\n\t"    \
    "vsub.i32 q10, q0, q2\n\t"   \
    "vsub.i32 q11, q4, q6\n\t"   \
    "vadd.i32 q12, q1, q3\n\t"   \
    "vadd.i32 q13, q5, q7\n\t"   \
    "vsub.i32 q14, q1, q3\n\t"   \
    "vsub.i32 q15, q5, q7\n\t"   \
    "vadd.i32 q0, q8, q12\n\t"   \
    "vadd.i32 q1, q9, q13\n\t"   \
    "vsub.i32 q2, q10, q15\n\t"  \
    "vadd.i32 q3, q11, q14\n\t"  \
    "vsub.i32 q4, q8, q12\n\t"   \
    "vsub.i32 q5, q9, q13\n\t"   \
    "vadd.i32 q6, q10, q15\n\t"  \
    "vsub.i32 q7, q11, q14\n\t"

// Four lanes as the two halves the long products take.
struct Halves {
    int32x2_t lo, hi;
};
NEON_INLINE Halves halves(int32x4_t v) { return {vget_low_s32(v), vget_high_s32(v)}; }
// The four lanes in reverse order: VREV64 swaps each half's lanes, and the
// halves trade places.
NEON_INLINE Halves reversed(int32x4_t v) {
    const int32x4_t r = vrev64q_s32(v);
    return {vget_high_s32(r), vget_low_s32(r)};
}

// Products of four lanes in two 64-bit halves.
struct Acc {
    int64x2_t lo, hi;
};
NEON_INLINE Acc mul(Halves a, Halves b) { return {vmull_s32(a.lo, b.lo), vmull_s32(a.hi, b.hi)}; }
NEON_INLINE Acc mla(Acc acc, Halves a, Halves b) {
    return {vmlal_s32(acc.lo, a.lo, b.lo), vmlal_s32(acc.hi, a.hi, b.hi)};
}
NEON_INLINE Acc mls(Acc acc, Halves a, Halves b) {
    return {vmlsl_s32(acc.lo, a.lo, b.lo), vmlsl_s32(acc.hi, a.hi, b.hi)};
}
// fx::rshr64_sat and fx::rshr64 of the four sums by -minus_n.
NEON_INLINE int32x4_t rshr_sat(Acc acc, int64x2_t minus_n) {
    return vcombine_s32(vqmovn_s64(vrshlq_s64(acc.lo, minus_n)), vqmovn_s64(vrshlq_s64(acc.hi, minus_n)));
}
// The low words of four 64-bit lanes (VUZP: one instruction for the four,
// where two VMOVN leave halves the register allocator often moves).
NEON_INLINE int32x4_t low_words(int64x2_t lo, int64x2_t hi) {
    return vuzpq_s32(vreinterpretq_s32_s64(lo), vreinterpretq_s32_s64(hi)).val[0];
}
NEON_INLINE int32x4_t rshr(Acc acc, int64x2_t minus_n) {
    return low_words(vrshlq_s64(acc.lo, minus_n), vrshlq_s64(acc.hi, minus_n));
}

// The radix-4 stage of additions (qmf::fft_first_stages) on the points of
// t = 0..3 in xr[t], xi[t], each lane a group (positions 0..3 of a group
// hold t = 0, 2, 1, 3), and the group of lane u stored at word 8 at[u] of
// d: its positions 0 and 1 by one VST4 lane store, 2 and 3 by another.
template <int kLane>
NEON_INLINE void store_group(int32_t* d, const int32x4x4_t& first, const int32x4x4_t& second) {
    vst4q_lane_s32(d, first, kLane);
    vst4q_lane_s32(d + 4, second, kLane);
}
NEON_INLINE void radix4_store(const int32x4_t* xr, const int32x4_t* xi, int32_t* d, const uint8_t* at) {
    const int32x4_t ar = vaddq_s32(xr[0], xr[2]), ai = vaddq_s32(xi[0], xi[2]);
    const int32x4_t br = vsubq_s32(xr[0], xr[2]), bi = vsubq_s32(xi[0], xi[2]);
    const int32x4_t cr = vaddq_s32(xr[1], xr[3]), ci = vaddq_s32(xi[1], xi[3]);
    const int32x4_t dr = vsubq_s32(xr[1], xr[3]), di = vsubq_s32(xi[1], xi[3]);
    const int32x4x4_t first{{vaddq_s32(ar, cr), vaddq_s32(ai, ci), vsubq_s32(br, di), vaddq_s32(bi, dr)}};
    const int32x4x4_t second{{vsubq_s32(ar, cr), vsubq_s32(ai, ci), vaddq_s32(br, di), vsubq_s32(bi, dr)}};
    store_group<0>(d + 8 * at[0], first, second);
    store_group<1>(d + 8 * at[1], first, second);
    store_group<2>(d + 8 * at[2], first, second);
    store_group<3>(d + 8 * at[3], first, second);
}

struct NeonSteps : qmf::ScalarSteps {
    // The largest of |x| - (x < 0), which has the bit length of their OR:
    // the largest value and the complement of the smallest (VMAX, VMIN,
    // four values of each array at a time; n a multiple of 4), brought to
    // one word once.
    // Where n is a multiple of 8, eight words of each array a step, written
    // out (two VLD1 of four D registers, the addresses stepped by them) into
    // two registers of each bound, the folded pairs joined at the end.
    static uint32_t magnitude2(const int32_t* x, const int32_t* y, int n) {
        int32x4_t top = vdupq_n_s32(0), bottom = top;
        if (n % 8 == 0) {
            int32x4_t top1 = top, bottom1 = top;
#pragma GCC unroll 8
            for (int i = 0; i < n; i += 8)
                __asm__ volatile(
                    "vld1.32 {d16-d19}, [%4]!\n\t"
                    "vld1.32 {d20-d23}, [%5]!\n\t"
                    "vmax.s32 %q0, %q0, q8\n\t"
                    "vmax.s32 %q1, %q1, q9\n\t"
                    "vmin.s32 %q2, %q2, q8\n\t"
                    "vmin.s32 %q3, %q3, q9\n\t"
                    "vmax.s32 %q0, %q0, q10\n\t"
                    "vmax.s32 %q1, %q1, q11\n\t"
                    "vmin.s32 %q2, %q2, q10\n\t"
                    "vmin.s32 %q3, %q3, q11"
                    : "+w"(top), "+w"(top1), "+w"(bottom), "+w"(bottom1), "+r"(x), "+r"(y)
                    :
                    : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "memory");
            top = vmaxq_s32(top, top1);
            bottom = vminq_s32(bottom, bottom1);
        } else {
            for (int i = 0; i < n; i += 4) {
                const int32x4_t a = vld1q_s32(x + i), b = vld1q_s32(y + i);
                top = vmaxq_s32(top, vmaxq_s32(a, b));
                bottom = vminq_s32(bottom, vminq_s32(a, b));
            }
        }
        const int32x4_t m = vmaxq_s32(top, vmvnq_s32(bottom));
        const int32x2_t h = vpmax_s32(vget_low_s32(m), vget_high_s32(m));
        return static_cast<uint32_t>(vget_lane_s32(vpmax_s32(h, h), 0));
    }
    static uint32_t magnitude(const int32_t* x, int n) { return magnitude2(x, x + n / 2, n / 2); }

    // The stage of half-span kHalf and the ones after it below kEnd; the
    // first two stages are the pre-steps' (analysis_pre, synthesis_pre).
    // Four butterflies a step (butterflies4), twiddle by twiddle over the
    // stage's groups, every loop unrolled (the counts are known).
    template <int kBits, int kHalf, int kEnd = (1 << kBits) / 2 + 1>
    NEON_INLINE static void fft_stages_from(int32_t* buf) {
        constexpr int n = 1 << kBits, h = kHalf;
        const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (h - 4);
#pragma GCC unroll 8
        for (int j = 0; j < h; j += 4) {
            const int32x4x2_t w = vld2q_s32(tw + 2 * j);
            int32_t* x = buf + 2 * j;
            int32_t* y = x + 2 * h;
#pragma GCC unroll 8
            for (int g = 0; g < n / (2 * h); ++g) butterflies4(x, y, w.val[0], w.val[1], 16 * h);
        }
        if constexpr (2 * h < n && 2 * h < kEnd) fft_stages_from<kBits, 2 * h, kEnd>(buf);
    }

    // Four butterflies: the points at y turned by the twiddles (c, s) of
    // their j (re c - im s, re s + im c, each rounded by 31: VMULL,
    // VMLAL/VMLSL, VRSHRN; im never -2^31, an FFT value), then x + t and
    // x - t at x and y; both addresses then stepped by `bytes`. Written
    // out so that every value stays in the register it is made in.
    NEON_INLINE static void butterflies4(int32_t*& x, int32_t*& y, int32x4_t c, int32x4_t s, int bytes) {
        __asm__ volatile(
            "vld2.32 {d16-d19}, [%1]\n\t"
            "vmull.s32 q10, d16, %e2\n\t"
            "vmull.s32 q11, d17, %f2\n\t"
            "vmull.s32 q12, d16, %e3\n\t"
            "vmull.s32 q13, d17, %f3\n\t"
            "vmlsl.s32 q10, d18, %e3\n\t"
            "vmlsl.s32 q11, d19, %f3\n\t"
            "vmlal.s32 q12, d18, %e2\n\t"
            "vmlal.s32 q13, d19, %f2\n\t"
            "vrshrn.i64 d28, q10, #31\n\t"
            "vrshrn.i64 d29, q11, #31\n\t"
            "vrshrn.i64 d30, q12, #31\n\t"
            "vrshrn.i64 d31, q13, #31\n\t"
            "vld2.32 {d16-d19}, [%0]\n\t"
            "vadd.i32 q10, q8, q14\n\t"
            "vadd.i32 q11, q9, q15\n\t"
            "vsub.i32 q12, q8, q14\n\t"
            "vsub.i32 q13, q9, q15\n\t"
            "vst2.32 {d20-d23}, [%0], %4\n\t"
            "vst2.32 {d24-d27}, [%1], %4"
            : "+r"(x), "+r"(y)
            : "w"(c), "w"(s), "r"(bytes)
            : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29",
              "d30", "d31", "memory");
    }

    // Not inlined: its registers allocated apart from the steps around it
    // take fewer instructions.
    template <int kBits>
    __attribute__((noinline)) static void fft(int32_t* buf) {
        fft_stages_from<kBits, 4>(buf);
    }

    // The 64 bands' FFT with the post-rotation (synthesis_post<6>, in place)
    // joined to its last stage: the stages of half-span 4 to 16, then four
    // butterflies of half-span 32 a step (points j .. j+3 with j+32 ..
    // j+35, as butterflies4), their sums x + t and differences x - t
    // rotated at once by the post step's pairs of m = j and m = j + 32
    // and stored over the points they came from: no stage's
    // stores and the post step's loads of them.
    __attribute__((noinline)) static void fft_post64(int32_t* buf, int s) {
        fft_stages_from<6, 4, 32>(buf);
        const int64x2_t minus_n = vdupq_n_s64(-(30 + s));
        int32_t* x = buf;
        int32_t* y = buf + 64;
        const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (32 - 4);
        const int32_t* ta = qmf_rot_q31;
        const int32_t* tb = qmf_rot_q31 + 64;
#define QMF_POST64_ROTATE(XR_LO, XR_HI, XI_LO, XI_HI, T, OUT)  \
    "vld2.32 {d28-d31}, [" T "]!\n\t"                        \
    "vmull.s32 q8, " XR_LO ", d28\n\t"                       \
    "vmull.s32 q9, " XR_HI ", d29\n\t"                       \
    "vmull.s32 q10, " XR_LO ", d30\n\t"                      \
    "vmull.s32 q11, " XR_HI ", d31\n\t"                      \
    "vmlsl.s32 q8, " XI_LO ", d30\n\t"                       \
    "vmlsl.s32 q9, " XI_HI ", d31\n\t"                       \
    "vmlal.s32 q10, " XI_LO ", d28\n\t"                      \
    "vmlal.s32 q11, " XI_HI ", d29\n\t"                      \
    "vrshl.s64 q8, q8, %q5\n\t"                              \
    "vrshl.s64 q9, q9, %q5\n\t"                              \
    "vrshl.s64 q10, q10, %q5\n\t"                            \
    "vrshl.s64 q11, q11, %q5\n\t"                            \
    "vqmovn.s64 d16, q8\n\t"                                 \
    "vqmovn.s64 d17, q9\n\t"                                 \
    "vqmovn.s64 d18, q10\n\t"                                \
    "vqmovn.s64 d19, q11\n\t"                                \
    "vst2.32 {d16-d19}, [" OUT "]!\n\t"
        for (int j = 0; j < 32; j += 4)
            __asm__ volatile(
                "vld2.32 {d24-d27}, [%2]!\n\t"
                "vld2.32 {d28-d31}, [%1]\n\t"
                "vmull.s32 q8, d28, d24\n\t"
                "vmull.s32 q9, d29, d25\n\t"
                "vmull.s32 q10, d28, d26\n\t"
                "vmull.s32 q11, d29, d27\n\t"
                "vmlsl.s32 q8, d30, d26\n\t"
                "vmlsl.s32 q9, d31, d27\n\t"
                "vmlal.s32 q10, d30, d24\n\t"
                "vmlal.s32 q11, d31, d25\n\t"
                "vrshrn.i64 d28, q8, #31\n\t"
                "vrshrn.i64 d29, q9, #31\n\t"
                "vrshrn.i64 d30, q10, #31\n\t"
                "vrshrn.i64 d31, q11, #31\n\t"
                "vld2.32 {d24-d27}, [%0]\n\t"
                "vadd.i32 q0, q12, q14\n\t"
                "vadd.i32 q1, q13, q15\n\t"
                "vsub.i32 q12, q12, q14\n\t"
                "vsub.i32 q13, q13, q15\n\t"
                QMF_POST64_ROTATE("d0", "d1", "d2", "d3", "%3", "%0")
                QMF_POST64_ROTATE("d24", "d25", "d26", "d27", "%4", "%1")
                : "+r"(x), "+r"(y), "+r"(tw), "+r"(ta), "+r"(tb)
                : "w"(minus_n)
                : "d0", "d1", "d2", "d3", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25",
                  "d26", "d27", "d28", "d29", "d30", "d31", "memory");
#undef QMF_POST64_ROTATE
    }

    // The ring's rows four addresses a step (the last step's two beyond the
    // ten unused), without the reference's two runs: the rows' byte offsets
    // from `first` on, the ring's size taken off those past its end by an
    // unsigned minimum (an offset below the size less it wraps to a larger
    // number), added to the ring's address.
    static constexpr bool kRingHook = true;
    static constexpr int kRingRows = 12;
    static constexpr int kRingAlign = 16;
    template <int kWords, class T>
    NEON_INLINE static void ring_rows(T* ring, int first, T** rows) {
        static_assert(sizeof(void*) == 4, "the rows' addresses are made in 32-bit lanes");
        constexpr uint32_t row = kWords * 4, size = qmf::kBlocks * row;
        static const uint32_t kFour[4] = {0, row, 2 * row, 3 * row};
        const uint32x4_t base = vdupq_n_u32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ring)));
        uint32x4_t at = vaddq_u32(vdupq_n_u32(static_cast<uint32_t>(first) * row), vld1q_u32(kFour));
#pragma GCC unroll 3
        for (int i = 0; i < kRingRows; i += 4, at = vaddq_u32(at, vdupq_n_u32(4 * row)))
            vst1q_u32(reinterpret_cast<uint32_t*>(rows + i),
                      vaddq_u32(base, vminq_u32(at, vsubq_u32(at, vdupq_n_u32(size)))));
    }

    // Four samples at a time, their order reversed (VREV64, then VEXT
    // trading the halves), stored from the block's end back.
    static void analysis_input(const int32_t* in, int32_t* nx) {
        int32_t* p = nx + 28;
#pragma GCC unroll 8
        for (int t = 0; t < 32; t += 4)
            __asm__ volatile(
                "vld1.32 {d16-d17}, [%0]!\n\t"
                "vrev64.32 q8, q8\n\t"
                "vext.32 q8, q8, q8, #2\n\t"
                "vst1.32 {d16-d17}, [%1], %2"
                : "+r"(in), "+r"(p)
                : "r"(-16)
                : "d16", "d17", "memory");
    }

    // Eight values of u at a time from the five blocks of their half, written
    // out: each block's words de-interleaved (VLD2, q8 q9), the window's
    // even words for them (two VLD4: q10 for the even values, q12 for the
    // odd ones), the 64-bit sums in q14 q15 (even) and q0 q1 (odd), then
    // VRSHRN #32 and u stored in order (VST2). Every address is stepped by
    // its loads and stores.
    static void analysis_window(const int32_t* const* blk, int32_t* u) {
        const int32_t* c = qmf_window_q31;
#define QMF_WINDOW_TAP(X, OP)                    \
    "vld2.32 {d16-d19}, [" X "]!\n\t"            \
    "vld4.32 {d20,d22,d24,d26}, [%6]!\n\t"       \
    "vld4.32 {d21,d23,d25,d27}, [%6], %7\n\t"    \
    OP " q14, d16, d20\n\t"                      \
    OP " q15, d17, d21\n\t"                      \
    OP " q0, d18, d24\n\t"                       \
    OP " q1, d19, d25\n\t"
        for (int half = 0; half < 2; ++half) {
            const int32_t *x0 = blk[half], *x1 = blk[2 + half], *x2 = blk[4 + half], *x3 = blk[6 + half];
            const int32_t* x4 = blk[8 + half];
            for (int r = 0; r < 32; r += 8)
                __asm__ volatile(
                    QMF_WINDOW_TAP("%0", "vmull.s32") QMF_WINDOW_TAP("%1", "vmlal.s32")
                    QMF_WINDOW_TAP("%2", "vmlal.s32") QMF_WINDOW_TAP("%3", "vmlal.s32")
                    QMF_WINDOW_TAP("%4", "vmlal.s32")
                    "vrshrn.i64 d4, q14, #32\n\t"
                    "vrshrn.i64 d5, q0, #32\n\t"
                    "vrshrn.i64 d6, q15, #32\n\t"
                    "vrshrn.i64 d7, q1, #32\n\t"
                    "vst2.32 {d4-d5}, [%5]!\n\t"
                    "vst2.32 {d6-d7}, [%5]!\n\t"
                    "sub %6, %6, #2496"
                    : "+r"(x0), "+r"(x1), "+r"(x2), "+r"(x3), "+r"(x4), "+r"(u), "+r"(c)
                    : "r"(480)
                    : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20", "d21",
                      "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", "memory");
        }
#undef QMF_WINDOW_TAP
    }

    // Eight outputs at a time: v's words for them in both halves loaded
    // once, then the ten rows. Every step is word by word, so v, the window
    // and the sums are taken de-interleaved (VLD2Q, VST2Q: eight words an
    // instruction).
    template <int kBits>
    static void synthesis_window(const int32_t* v, int /*s*/, int32_t* const* sums) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        for (int k = 0; k < bands; k += 8) {
            const int32x4x2_t vk[2] = {vld2q_s32(v + k), vld2q_s32(v + bands + k)};
            const int32_t* c = qmf_window_q31 + step * k;
#pragma GCC unroll 10
            for (int i = 0; i < qmf::kBlocks; ++i, c += step * bands) {
                int32x4x2_t ck;
                if constexpr (step == 1) {
                    ck = vld2q_s32(c);
                } else {  // every second word: the even lanes of four words a lane
                    const int32x4x4_t w = vld4q_s32(c);
                    ck = {{w.val[0], w.val[2]}};
                }
                int32_t* const acc = sums[i] + k;
                const int32x4x2_t a = vld2q_s32(acc);
                vst2q_s32(acc, int32x4x2_t{{vqaddq_s32(a.val[0], vqrdmulhq_s32(vk[i & 1].val[0], ck.val[0])),
                                            vqaddq_s32(a.val[1], vqrdmulhq_s32(vk[i & 1].val[1], ck.val[1]))}});
            }
        }
    }

    // The 64 bands' window written out, with the slot's output in the same
    // pass: v's words for eight outputs a step in both halves, then each
    // row's window words and sums, all de-interleaved as in synthesis_window.
    // The first row's sums (the current slot's, complete with this slot's
    // products) are doubled by VQSHL #1 (fx::shl_sat by one, as
    // synthesis_output) into out, and the row cleared for the slot ten ahead
    // (zeros from q0, q1).
    // The rows are those of the ring from `now` on (row i of the ten at
    // now + i, modulo 10), each address made in its register. The steps are
    // a loop in the assembly, which ends where v's address comes to a
    // multiple of 256: v must be aligned to 256 bytes (every register is
    // taken, none is left for a count).
    static void window64_output(const int32_t* v, int32_t (*ring)[64], int now, int32_t* out) {
        auto row = [&](int i) { return ring[now + i < qmf::kBlocks ? now + i : now + i - qmf::kBlocks]; };
        int32_t *a0 = ring[now], *a1 = row(1), *a2 = row(2), *a3 = row(3), *a4 = row(4);
        int32_t *a5 = row(5), *a6 = row(6), *a7 = row(7), *a8 = row(8), *a9 = row(9);
        const int32_t* c = qmf_window_q31;
        register int32x4_t zero0 __asm__("q0") = vdupq_n_s32(0);
        register int32x4_t zero1 __asm__("q1") = zero0;
#define QMF_WINDOW64_ROW(A, VR, VI)        \
    "vld2.32 {d24-d27}, [%12], %13\n\t"   \
    "vld2.32 {d28-d31}, [" A "]\n\t"      \
    "vqrdmulh.s32 q12, " VR ", q12\n\t"   \
    "vqrdmulh.s32 q13, " VI ", q13\n\t"   \
    "vqadd.s32 q14, q14, q12\n\t"         \
    "vqadd.s32 q15, q15, q13\n\t"         \
    "vst2.32 {d28-d31}, [" A "]!\n\t"
        __asm__ volatile(
                "1:\n\t"
                "vld2.32 {d16-d19}, [%10], %13\n\t"
                "vld2.32 {d20-d23}, [%10]\n\t"
                "sub %10, %10, #224\n\t"
                "vld2.32 {d24-d27}, [%12], %13\n\t"
                "vld2.32 {d28-d31}, [%0]\n\t"
                "vqrdmulh.s32 q12, q8, q12\n\t"
                "vqrdmulh.s32 q13, q9, q13\n\t"
                "vqadd.s32 q14, q14, q12\n\t"
                "vqadd.s32 q15, q15, q13\n\t"
                "vqshl.s32 q14, q14, #1\n\t"
                "vqshl.s32 q15, q15, #1\n\t"
                "vst2.32 {d28-d31}, [%11]!\n\t"
                "vst1.32 {d0-d3}, [%0]!\n\t"
                QMF_WINDOW64_ROW("%1", "q10", "q11")
                QMF_WINDOW64_ROW("%2", "q8", "q9") QMF_WINDOW64_ROW("%3", "q10", "q11")
                QMF_WINDOW64_ROW("%4", "q8", "q9") QMF_WINDOW64_ROW("%5", "q10", "q11")
                QMF_WINDOW64_ROW("%6", "q8", "q9") QMF_WINDOW64_ROW("%7", "q10", "q11")
                QMF_WINDOW64_ROW("%8", "q8", "q9") QMF_WINDOW64_ROW("%9", "q10", "q11")
                "sub %12, %12, #2528\n\t"
                "tst %10, #255\n\t"
                "bne 1b"
                : "+r"(a0), "+r"(a1), "+r"(a2), "+r"(a3), "+r"(a4), "+r"(a5), "+r"(a6), "+r"(a7), "+r"(a8),
                  "+r"(a9), "+r"(v), "+r"(out), "+r"(c)
                : "r"(256), "w"(zero0), "w"(zero1)
                : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28",
                  "d29", "d30", "d31", "memory", "cc");
#undef QMF_WINDOW64_ROW
    }

    // fx::shl_sat by one (VQSHL #1), the sums cleared.
    template <int kBits>
    static void synthesis_output(int32_t* sum, int32_t* out) {
#pragma GCC unroll 2
        for (int k = 0; k < (1 << kBits); k += 4) {
            vst1q_s32(out + k, vqshlq_n_s32(vld1q_s32(sum + k), 1));
            vst1q_s32(sum + k, vdupq_n_s32(0));
        }
    }

    // Four points of d at a time (VLD2Q), rotated by the table's pairs at
    // step m (VLD2Q or, for every second pair, VLD4Q).
    template <int kBits>
    static void synthesis_post(const int32_t* d, int s, int32_t* nv) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const int64x2_t minus_n = vdupq_n_s64(-(30 + s));
        for (int m = 0; m < bands; m += 4) {
            const int32x4x2_t z = vld2q_s32(d + 2 * m);
            int32x4_t c, sn;
            if constexpr (step == 1) {
                const int32x4x2_t t = vld2q_s32(qmf_rot_q31 + 2 * m);
                c = t.val[0], sn = t.val[1];
            } else {
                const int32x4x4_t t = vld4q_s32(qmf_rot_q31 + 4 * m);
                c = t.val[0], sn = t.val[1];
            }
            const Halves re = halves(z.val[0]), im = halves(z.val[1]);
            const Acc r = mls(mul(re, halves(c)), im, halves(sn));
            const Acc i = mla(mul(re, halves(sn)), im, halves(c));
            // Two VST2 of halves: each pair of narrowed halves lands in the
            // registers it is stored from (one VST2Q would need them moved).
            vst2_s32(nv + 2 * m,
                     int32x2x2_t{{vqmovn_s64(vrshlq_s64(r.lo, minus_n)), vqmovn_s64(vrshlq_s64(i.lo, minus_n))}});
            vst2_s32(nv + 2 * m + 4,
                     int32x2x2_t{{vqmovn_s64(vrshlq_s64(r.hi, minus_n)), vqmovn_s64(vrshlq_s64(i.hi, minus_n))}});
        }
    }

    // z[m] for m = j .. j+3 plus 0, 8, 16, 24 (the radix-4 groups of j ..
    // j+3), then the radix-4 stage, written out: for t = 0..3 (m = j + 8 t)
    // u's pairs de-interleaved (VLD2), the rotations at 2m (two VLD4: c in
    // q10, s in q11), im negated (VNEG, wrapping as fx::neg_wrap), the
    // products, VRSHL by minus_n and the low words (VMOVN) into q(t) (re)
    // and q(4 + t) (im); then the stage and the stores as in pre64.
    static void analysis_pre(const int32_t* u, int s, int32_t* z) {
        const int64_t minus_n[2] = {-(31 - s), -(31 - s)};
        const uint8_t* at = qmf::kBitReversal<3>.at;
#define QMF_ANALYSIS_PRE_T(XR_LO, XR_HI, XI_LO, XI_HI) \
    "vld2.32 {d16-d19}, [%0], %6\n\t"                 \
    "vld4.32 {d20,d22,d24,d26}, [%1]!\n\t"            \
    "vld4.32 {d21,d23,d25,d27}, [%1], %7\n\t"         \
    "vneg.s32 q14, q9\n\t"                            \
    "vmull.s32 q12, d16, d20\n\t"                     \
    "vmull.s32 q13, d17, d21\n\t"                     \
    "vmlal.s32 q12, d28, d22\n\t"                     \
    "vmlal.s32 q13, d29, d23\n\t"                     \
    "vrshl.s64 q12, q12, q15\n\t"                     \
    "vrshl.s64 q13, q13, q15\n\t"                     \
    "vmovn.i64 " XR_LO ", q12\n\t"                    \
    "vmovn.i64 " XR_HI ", q13\n\t"                    \
    "vmull.s32 q12, d16, d22\n\t"                     \
    "vmull.s32 q13, d17, d23\n\t"                     \
    "vmlal.s32 q12, d18, d20\n\t"                     \
    "vmlal.s32 q13, d19, d21\n\t"                     \
    "vrshl.s64 q12, q12, q15\n\t"                     \
    "vrshl.s64 q13, q13, q15\n\t"                     \
    "vmovn.i64 " XI_LO ", q12\n\t"                    \
    "vmovn.i64 " XI_HI ", q13\n\t"
#define QMF_ANALYSIS_PRE_STORE(A, B, C, D, E, F, G, H) \
    "ldrb %3, [%2], #1\n\t"                           \
    "add %3, %4, %3, lsl #5\n\t"                      \
    "vst4.32 {" A ", " B ", " C ", " D "}, [%3]!\n\t" \
    "vst4.32 {" E ", " F ", " G ", " H "}, [%3]\n\t"
        for (int j = 0; j < 8; j += 4) {
            const int32_t* pu = u + 2 * j;
            const int32_t* rot = qmf_rot_q31 + 4 * j;
            int32_t* scratch;
            __asm__ volatile(
                "vld1.64 {d30-d31}, [%5]\n\t"
                QMF_ANALYSIS_PRE_T("d0", "d1", "d8", "d9") QMF_ANALYSIS_PRE_T("d2", "d3", "d10", "d11")
                QMF_ANALYSIS_PRE_T("d4", "d5", "d12", "d13") QMF_ANALYSIS_PRE_T("d6", "d7", "d14", "d15")
                QMF_RADIX4_GROUPS
                QMF_ANALYSIS_PRE_STORE("d0[0]", "d2[0]", "d4[0]", "d6[0]", "d8[0]", "d10[0]", "d12[0]", "d14[0]")
                QMF_ANALYSIS_PRE_STORE("d0[1]", "d2[1]", "d4[1]", "d6[1]", "d8[1]", "d10[1]", "d12[1]", "d14[1]")
                QMF_ANALYSIS_PRE_STORE("d1[0]", "d3[0]", "d5[0]", "d7[0]", "d9[0]", "d11[0]", "d13[0]", "d15[0]")
                QMF_ANALYSIS_PRE_STORE("d1[1]", "d3[1]", "d5[1]", "d7[1]", "d9[1]", "d11[1]", "d13[1]", "d15[1]")
                : "+r"(pu), "+r"(rot), "+r"(at), "=&r"(scratch)
                : "r"(z), "r"(minus_n), "r"(64), "r"(96)
                : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12", "d13", "d14",
                  "d15", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27",
                  "d28", "d29", "d30", "d31", "memory");
        }
#undef QMF_ANALYSIS_PRE_T
#undef QMF_ANALYSIS_PRE_STORE
    }

    // Four bands a step, written out: Z[k] (VLD2, q8 q9) and Z[28-k] ..
    // Z[31-k] (VLD2 stepping back, q10 q11, reversed by VREV64: the
    // halves taken the other way round), the factors four words a band
    // (two VLD4, q12..q15), the sums of re in q0 q1 and of im in q2 q3,
    // VRSHL by minus_n, VQMOVN, and the bands stored (VST1).
    static void analysis_post(const int32_t* z, int s, int32_t* re, int32_t* im) {
        const int64x2_t minus_n = vdupq_n_s64(-(37 + s));
        const int32_t* a = z;
        const int32_t* b = z + 2 * 28;
        const int32_t* f = qmf_analysis_post_q31;
        for (int k = 0; k < 32; k += 4)
            __asm__ volatile(
                "vld2.32 {d16-d19}, [%0]!\n\t"
                "vld2.32 {d20-d23}, [%1], %5\n\t"
                "vrev64.32 q10, q10\n\t"
                "vrev64.32 q11, q11\n\t"
                "vld4.32 {d24,d26,d28,d30}, [%2]!\n\t"
                "vld4.32 {d25,d27,d29,d31}, [%2]!\n\t"
                "vmull.s32 q0, d24, d16\n\t"
                "vmull.s32 q1, d25, d17\n\t"
                "vmull.s32 q2, d24, d18\n\t"
                "vmull.s32 q3, d25, d19\n\t"
                "vmlsl.s32 q0, d26, d18\n\t"
                "vmlsl.s32 q1, d27, d19\n\t"
                "vmlal.s32 q2, d26, d16\n\t"
                "vmlal.s32 q3, d27, d17\n\t"
                "vmlal.s32 q0, d28, d21\n\t"
                "vmlal.s32 q1, d29, d20\n\t"
                "vmlal.s32 q2, d30, d21\n\t"
                "vmlal.s32 q3, d31, d20\n\t"
                "vmlal.s32 q0, d30, d23\n\t"
                "vmlal.s32 q1, d31, d22\n\t"
                "vmlsl.s32 q2, d28, d23\n\t"
                "vmlsl.s32 q3, d29, d22\n\t"
                "vrshl.s64 q0, q0, %q6\n\t"
                "vrshl.s64 q1, q1, %q6\n\t"
                "vrshl.s64 q2, q2, %q6\n\t"
                "vrshl.s64 q3, q3, %q6\n\t"
                "vqmovn.s64 d0, q0\n\t"
                "vqmovn.s64 d1, q1\n\t"
                "vqmovn.s64 d4, q2\n\t"
                "vqmovn.s64 d5, q3\n\t"
                "vst1.32 {d0-d1}, [%3]!\n\t"
                "vst1.32 {d4-d5}, [%4]!"
                : "+r"(a), "+r"(b), "+r"(f), "+r"(re), "+r"(im)
                : "r"(-32), "w"(minus_n)
                : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20", "d21", "d22",
                  "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", "memory");
    }

    // The 64 bands' D and radix-4 stage written out, the groups of j ..
    // j+3 at a time: for t = 0..3 (k = j + 16 t) two points at a time,
    // the pairs de-interleaved (VLD4), X[k] (VLD1), the mirrored X[60-k] ..
    // X[63-k] reversed (VREV64; the halves taken the other way round), the
    // products as in synthesis_pre, VRSHL by minus_n, and the two points'
    // re and im low words by one VUZP into one register (re in its low
    // half, im in its high one): the points of j, j+1 in q(t), of j+2, j+3
    // in q(4 + t), the last loads stepping the addresses on to t + 1; then
    // the radix-4 stage on them (QMF_RADIX4_PAIRS) and the two VST4 lane
    // stores of each group.
    static void pre64(const int32_t* re, const int32_t* im, int s, int32_t* d) {
        const int64_t minus_n[2] = {-(31 - s), -(31 - s)};
        const uint8_t* at = qmf::kBitReversal<4>.at;
#define QMF_PRE64_HALF(AR, AI, BR, BI, X, STEP_PQ, STEP_X) \
    "vld4.32 {d16-d19}, [%0]" STEP_PQ "\n\t"              \
    "vld1.32 {d20}, [%1]" STEP_X "\n\t"                   \
    "vld1.32 {d21}, [%2]" STEP_X "\n\t"                   \
    "vmull.s32 " X ", d16, " AR "\n\t"                    \
    "vmlsl.s32 " X ", d17, " AI "\n\t"                    \
    "vmlal.s32 " X ", d18, " BR "\n\t"                    \
    "vmlal.s32 " X ", d19, " BI "\n\t"                    \
    "vmull.s32 q15, d16, " AI "\n\t"                      \
    "vmlal.s32 q15, d17, " AR "\n\t"                      \
    "vmlal.s32 q15, d19, " BR "\n\t"                      \
    "vmlsl.s32 q15, d18, " BI "\n\t"                      \
    "vrshl.s64 " X ", " X ", q11\n\t"                      \
    "vrshl.s64 q15, q15, q11\n\t"                         \
    "vuzp.32 " X ", q15\n\t"
#define QMF_PRE64_T(X_LO, X_HI)                                    \
    "vld1.32 {d24-d25}, [%3], %11\n\t"                             \
    "vld1.32 {d26-d27}, [%4], %11\n\t"                             \
    "vrev64.32 q12, q12\n\t"                                       \
    "vrev64.32 q13, q13\n\t"                                       \
    QMF_PRE64_HALF("d20", "d21", "d25", "d27", X_LO, "!", "!")      \
    QMF_PRE64_HALF("d20", "d21", "d24", "d26", X_HI, ", %9", ", %10")
// The radix-4 butterflies of QMF_RADIX4_GROUPS on points held as
// pre64's: x_t of the groups j, j+1 in q(t), of j+2, j+3 in q(4 + t), re
// in the low half and im in the high one; a .. d in q8..q11 (j, j+1) and
// q12..q15 (j+2, j+3), then the positions 0..3 in q0..q3 and q4..q7, as
// their x (i d's parts from the halves: D register additions).
#define QMF_RADIX4_PAIRS         \
    "vadd.i32 q8, q0, q2\n\t"   \
    "vsub.i32 q9, q0, q2\n\t"   \
    "vadd.i32 q10, q1, q3\n\t"  \
    "vsub.i32 q11, q1, q3\n\t"  \
    "vadd.i32 q12, q4, q6\n\t"  \
    "vsub.i32 q13, q4, q6\n\t"  \
    "vadd.i32 q14, q5, q7\n\t"  \
    "vsub.i32 q15, q5, q7\n\t"  \
    "vadd.i32 q0, q8, q10\n\t"  \
    "vsub.i32 q2, q8, q10\n\t"  \
    "vsub.i32 d2, d18, d23\n\t" \
    "vadd.i32 d3, d19, d22\n\t" \
    "vadd.i32 d6, d18, d23\n\t" \
    "vsub.i32 d7, d19, d22\n\t" \
    "vadd.i32 q4, q12, q14\n\t" \
    "vsub.i32 q6, q12, q14\n\t" \
    "vsub.i32 d10, d26, d31\n\t" \
    "vadd.i32 d11, d27, d30\n\t" \
    "vadd.i32 d14, d26, d31\n\t" \
    "vsub.i32 d15, d27, d30\n\t"
#define QMF_PRE64_STORE(A, B, C, D, E, F, G, H)                                     \
    "ldrb %6, [%5], #1\n\t"                                                        \
    "add %6, %7, %6, lsl #5\n\t"                                                   \
    "vst4.32 {" A ", " B ", " C ", " D "}, [%6]!\n\t"                              \
    "vst4.32 {" E ", " F ", " G ", " H "}, [%6]\n\t"
        for (int j = 0; j < 16; j += 4) {
            const int32_t* pq = qmf_synthesis64_pre_q31 + 4 * j;
            const int32_t* ar = re + j;
            const int32_t* ai = im + j;
            const int32_t* br = re + 60 - j;
            const int32_t* bi = im + 60 - j;
            int32_t* scratch;
            __asm__ volatile(
                "vld1.64 {d22-d23}, [%8]\n\t"
                QMF_PRE64_T("q0", "q4") QMF_PRE64_T("q1", "q5") QMF_PRE64_T("q2", "q6") QMF_PRE64_T("q3", "q7")
                QMF_RADIX4_PAIRS
                QMF_PRE64_STORE("d0[0]", "d1[0]", "d2[0]", "d3[0]", "d4[0]", "d5[0]", "d6[0]", "d7[0]")
                QMF_PRE64_STORE("d0[1]", "d1[1]", "d2[1]", "d3[1]", "d4[1]", "d5[1]", "d6[1]", "d7[1]")
                QMF_PRE64_STORE("d8[0]", "d9[0]", "d10[0]", "d11[0]", "d12[0]", "d13[0]", "d14[0]", "d15[0]")
                QMF_PRE64_STORE("d8[1]", "d9[1]", "d10[1]", "d11[1]", "d12[1]", "d13[1]", "d14[1]", "d15[1]")
                : "+r"(pq), "+r"(ar), "+r"(ai), "+r"(br), "+r"(bi), "+r"(at), "=&r"(scratch)
                : "r"(d), "r"(minus_n), "r"(224), "r"(56), "r"(-64)
                : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12", "d13", "d14",
                  "d15", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27",
                  "d28", "d29", "d30", "d31", "memory");
        }
#undef QMF_PRE64_HALF
#undef QMF_PRE64_T
#undef QMF_RADIX4_PAIRS
#undef QMF_PRE64_STORE
    }

    // D[k] for k = j .. j+3 plus 0, M/4, M/2, 3M/4 (the radix-4 groups of
    // j .. j+3), then the radix-4 stage. A function of its own, as the FFT:
    // its registers allocated apart from the slot's other steps take fewer
    // instructions.
    template <int kBits>
    __attribute__((noinline)) static void synthesis_pre(const int32_t* re, const int32_t* im, int s, int32_t* d) {
        if constexpr (kBits == 6) {
            pre64(re, im, s, d);
            return;
        }
        constexpr int bands = 1 << kBits, quarter = bands / 4;
        const int32_t* pre = kBits == 6 ? qmf_synthesis64_pre_q31 : qmf_synthesis32_pre_q31;
        const int64x2_t minus_n = vdupq_n_s64(-(31 - s));
        for (int j = 0; j < quarter; j += 4) {
            int32x4_t xr[4], xi[4];
            for (int t = 0; t < 4; ++t) {
                const int k = j + quarter * t;
                const int m = bands - 4 - k;  // X[m] .. X[m+3] mirror X[k+3] .. X[k]
                const int32x4x4_t pq = vld4q_s32(pre + 4 * k);
                const Halves p0 = halves(pq.val[0]), p1 = halves(pq.val[1]), q0 = halves(pq.val[2]),
                             q1 = halves(pq.val[3]);
                const Halves ar = halves(vld1q_s32(re + k)), ai = halves(vld1q_s32(im + k));
                const Halves br = reversed(vld1q_s32(re + m)), bi = reversed(vld1q_s32(im + m));
                xr[t] = rshr(mla(mla(mls(mul(p0, ar), p1, ai), q0, br), q1, bi), minus_n);
                xi[t] = rshr(mls(mla(mla(mul(p0, ai), p1, ar), q1, br), q0, bi), minus_n);
            }
            radix4_store(xr, xi, d, qmf::kBitReversal<kBits - 2>.at + j);
        }
    }
};

}  // namespace

void qmf_analysis32_neon(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<NeonSteps>(state, in, re, im);
}

// qmf::synthesis_slot<NeonSteps, 6> with the window and the output one
// pass (window64_output).
void qmf_synthesis64_neon(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    const int s = 29 - 6 - qmf::bit_length(NeonSteps::magnitude2(re, im, 64));
    alignas(256) int32_t d[128];  // aligned for window64_output
    NeonSteps::synthesis_pre<6>(re, im, s, d);
    NeonSteps::fft_post64(d, s);  // the FFT and synthesis_post<6>, in place
    const int32_t now = state->current >= 0 && state->current < qmf::kBlocks ? state->current : 0;
    NeonSteps::window64_output(d, state->sum, now, out);
    state->current = now + 1 < qmf::kBlocks ? now + 1 : 0;
}

void qmf_synthesis32_neon(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<NeonSteps, 5>(&state->current, state->sum, re, im, out);
}

// q12_to_pcm16 four samples at a time by one VQRSHRN #12: the sum with the
// rounding term 2^11 shifted down by 12 and saturated to 16 bits, as the
// reference's saturating sum then truncating shift (a sum the saturation
// would have held at 2^31 - 1 is past 2^27, and saturates to 2^15 - 1
// either way); each lane stored with the output's stride (VST1 of a lane,
// the pointer advanced by it).
// Interleaved stereo (step 2) takes eight samples a step where it can: the
// output's words read de-interleaved (VLD2Q), the channel's eight replaced
// and all written back (VST2Q), the words between them unchanged; a step's
// last word is the one after its eighth sample, so the last eight samples
// (whose last following word may lie past the output) go lane by lane.
void qmf_pcm16_neon(int16_t* out, int step, const int32_t* v, int n) {
    if (step == 1) {
        for (int i = 0; i < n; i += 4) vst1_s16(out + i, vqrshrn_n_s32(vld1q_s32(v + i), 12));
        return;
    }
    if (step == 2 && n >= 9) {  // (Written out, a loop in the assembly.)
        int steps = (n - 1) >> 3;
        n -= 8 * steps;
        asm volatile("1:\n\t"
                     "vld1.32 {d16-d19}, [%1]!\n\t"
                     "vld2.16 {d20-d23}, [%0]\n\t"
                     "vqrshrn.s32 d20, q8, #12\n\t"
                     "vqrshrn.s32 d21, q9, #12\n\t"
                     "vst2.16 {d20-d23}, [%0]!\n\t"
                     "subs %2, %2, #1\n\t"
                     "bne 1b"
                     : "+r"(out), "+r"(v), "+r"(steps)
                     :
                     : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "cc", "memory");
    }
    const int32_t* const end = v + n;
    const int bytes = step * static_cast<int>(sizeof *out);
    for (; v != end; v += 4) {
        const int16x4_t p = vqrshrn_n_s32(vld1q_s32(v), 12);
        // (Written out, as the compiler would give each lane its own address.)
        asm volatile("vst1.16 {%P1[0]}, [%0], %2\n\t"
                     "vst1.16 {%P1[1]}, [%0], %2\n\t"
                     "vst1.16 {%P1[2]}, [%0], %2\n\t"
                     "vst1.16 {%P1[3]}, [%0], %2"
                     : "+r"(out)
                     : "w"(p), "r"(bytes)
                     : "memory");
    }
}

#pragma GCC pop_options

#endif
