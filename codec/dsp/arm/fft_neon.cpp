// The exact arithmetic's FFT with NEON, four complex points at a time, real
// and imaginary parts in separate Q registers (VLD2/VST2): the first four
// radix-2 stages over each 16 points in registers, then the passes of
// fft_exact (in the order of dsp/fft_passes.h) over groups of four
// neighbouring points. A
// rotation is VMULL + VMLAL on each half (64-bit products, the sum wrapping
// modulo 2^64 like fx::mac64) and VRSHRN #31, whose rounding shift keeps
// bits 31..62 of the sum plus 2^30: exactly fx::rshr64(..., 31) reduced
// modulo 2^32. This file alone is compiled for NEON; select_kernels calls it
// only on a CPU that has it.
#include "dsp/fft_variants.h"
#include "tables/exact_tables.h"

namespace {

// The butterfly groups of the passes after the first four stages, each one
// block of assembly over fixed registers: the compiler, given the same
// work as intrinsics, spills a third of it to the stack. Twiddles c, s in
// q2, q3; 64-bit sums in q12..q15.
//
// ROTW: the rotation of the point in Q registers ZR, ZI (D halves ZRL ZRH,
// ZIL ZIH) by the twiddle in the D registers CL CH (c), SL SH (s) into the
// D halves ORL ORH, OIL OIH of other registers; ROT with the twiddle in q2,
// q3.
#define ROTW(ZRL, ZRH, ZIL, ZIH, ZR, ORL, ORH, OIL, OIH, CL, CH, SL, SH) \
    "vmull.s32 q12, " ZRL ", " CL "\n\t"                                  \
    "vmull.s32 q13, " ZRH ", " CH "\n\t"                                  \
    "vmlal.s32 q12, " ZIL ", " SL "\n\t"                                  \
    "vmlal.s32 q13, " ZIH ", " SH "\n\t"                                  \
    "vmull.s32 q14, " ZIL ", " CL "\n\t"                                  \
    "vmull.s32 q15, " ZIH ", " CH "\n\t"                                  \
    "vrshrn.i64 " ORL ", q12, #31\n\t"                                    \
    "vrshrn.i64 " ORH ", q13, #31\n\t"                                    \
    "vneg.s32 q12, " ZR "\n\t"                                            \
    "vmlal.s32 q14, d24, " SL "\n\t"                                      \
    "vmlal.s32 q15, d25, " SH "\n\t"                                      \
    "vrshrn.i64 " OIL ", q14, #31\n\t"                                    \
    "vrshrn.i64 " OIH ", q15, #31\n\t"
#define ROT(ZRL, ZRH, ZIL, ZIH, ZR, ORL, ORH, OIL, OIH) \
    ROTW(ZRL, ZRH, ZIL, ZIH, ZR, ORL, ORH, OIL, OIH, "d4", "d5", "d6", "d7")
// A mask of lane 0 in Q register M (halves ML, MH), and lane 0 of the
// point in Q registers Z (re), Z + 1 (im) put back into O, O + 1.
#define MASK0(ML, MH) "vmov.i64 " ML ", #0xffffffff\n\t" "vmov.i32 " MH ", #0\n\t"
#define KEEP0(ORE, OIM, ZRE, ZIM, M) "vbit " ORE ", " ZRE ", " M "\n\t" "vbit " OIM ", " ZIM ", " M "\n\t"
// Sum and difference of the points a (AR, AI) and b (BR, BI; with -i:
// (BI, -BR)) through q0, q1 to the points at S and D.
// _STEP: each store's address then stepped (STEP "!" by the 32 bytes
// stored, ", rM" by register rM).
#define SUM_DIFF_STEP(AR, AI, BR, BI, S, D, STEP)                   \
    "vadd.i32 q0, " AR ", " BR "\n\t" "vadd.i32 q1, " AI ", " BI "\n\t" \
    "vst2.32 {d0-d3}, [" S "]" STEP "\n\t"                           \
    "vsub.i32 q0, " AR ", " BR "\n\t" "vsub.i32 q1, " AI ", " BI "\n\t" \
    "vst2.32 {d0-d3}, [" D "]" STEP "\n\t"
#define SUM_DIFF_MINUS_I_STEP(AR, AI, BR, BI, S, D, STEP)           \
    "vadd.i32 q0, " AR ", " BI "\n\t" "vsub.i32 q1, " AI ", " BR "\n\t" \
    "vst2.32 {d0-d3}, [" S "]" STEP "\n\t"                           \
    "vsub.i32 q0, " AR ", " BI "\n\t" "vadd.i32 q1, " AI ", " BR "\n\t" \
    "vst2.32 {d0-d3}, [" D "]" STEP "\n\t"
#define SUM_DIFF(AR, AI, BR, BI, S, D) SUM_DIFF_STEP(AR, AI, BR, BI, S, D, "")
#define SUM_DIFF_MINUS_I(AR, AI, BR, BI, S, D) SUM_DIFF_MINUS_I_STEP(AR, AI, BR, BI, S, D, "")
// The twiddle at TW into q2 q3, the points at A and B turned by it into
// q4 q5 and q6 q7 (lane 0 kept with the mask in q8 where keep is set: the
// flags of a test of keep made before, Z clear to keep).
#define TURN2_FIRST(TW, A, B)                                                                          \
    "vld2.32 {d4-d7}, [" TW "]\n\t"                                                                   \
    "vld2.32 {d0-d3}, [" A "]\n\t" ROT("d0", "d1", "d2", "d3", "q0", "d8", "d9", "d10", "d11")         \
        MASK_KEEP_IF("q4", "q5", "q0", "q1", "q8")                                                     \
    "vld2.32 {d0-d3}, [" B "]\n\t" ROT("d0", "d1", "d2", "d3", "q0", "d12", "d13", "d14", "d15")       \
        KEEP_IF("q6", "q7", "q0", "q1", "q8")
#define NO_KEEP(...)
#define NEON_CLOBBERS                                                                                            \
    "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12", "d13", "d14", "d15", "d16", \
        "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", \
        "memory"

// Lane 0 kept (a twiddle of exactly 1) where the flags say so: the
// assembly tests its keep once (radix2_last compares `keep` with 0,
// radix4_column tests bit 0 of `count`; NEON instructions leave the flags
// alone) and skips each keeping step when Z is set.
#define IF_KEEP(...) "beq 9f\n\t" __VA_ARGS__ "9:\n\t"
#define KEEP_IF(ORE, OIM, ZRE, ZIM, M) IF_KEEP(KEEP0(ORE, OIM, ZRE, ZIM, M))
#define MASK_KEEP_IF(ORE, OIM, ZRE, ZIM, M) IF_KEEP(MASK0("d16", "d17") KEEP0(ORE, OIM, ZRE, ZIM, M))

// fft_exact's radix4_points for p .. p + 3 (points p + 0, L, 2L, 3L at P0
// .. P3, twiddles at W1 and W2): x1 and x3 turned by w1 into q4 q5 and q6
// q7 (with keep lane 0 kept, the mask in q8), x2 -+ x3 into q8 q9 and q10
// q11, turned by w2 into q6 q7 and q8 q9 (with keep, and not times -i, lane
// 0 kept, the mask in q0), x0 -+ x1 into q2 q3 and q10 q11, then the four
// stores. _MINUS_I: x1 and x3 times -i after the first turn.
#define R4_FIRST(P1, P2, P3, W1) "tst %[count], #1\n\t" TURN2_FIRST(W1, P1, P3) "vld2.32 {d0-d3}, [" P2 "]\n\t"
#define R4_SECOND(KEEP, MASK, P0, W2)                                                                   \
    "vld2.32 {d4-d7}, " W2 "\n\t" ROT("d16", "d17", "d18", "d19", "q8", "d12", "d13", "d14", "d15") \
        KEEP(MASK KEEP0("q6", "q7", "q8", "q9", "q0"))                                                    \
    ROT("d20", "d21", "d22", "d23", "q10", "d16", "d17", "d18", "d19") KEEP(KEEP0("q8", "q9", "q10", "q11", "q0")) \
    "vld2.32 {d0-d3}, [" P0 "]\n\t"
#define R4_STORES(P0, P1, P2, P3, STEP) \
    SUM_DIFF_STEP("q2", "q3", "q6", "q7", P0, P2, STEP) SUM_DIFF_MINUS_I_STEP("q10", "q11", "q8", "q9", P1, P3, STEP)
// x2 +- x3 and x0 +- x1, the odd point as it is or times -i.
#define R4_X23 "vadd.i32 q8, q0, q6\n\tvadd.i32 q9, q1, q7\n\tvsub.i32 q10, q0, q6\n\tvsub.i32 q11, q1, q7\n\t"
#define R4_X23_MINUS_I "vadd.i32 q8, q0, q7\n\tvsub.i32 q9, q1, q6\n\tvsub.i32 q10, q0, q7\n\tvadd.i32 q11, q1, q6\n\t"
#define R4_X01 "vadd.i32 q2, q0, q4\n\tvadd.i32 q3, q1, q5\n\tvsub.i32 q10, q0, q4\n\tvsub.i32 q11, q1, q5\n\t"
#define R4_X01_MINUS_I "vadd.i32 q2, q0, q5\n\tvsub.i32 q3, q1, q4\n\tvsub.i32 q10, q0, q5\n\tvadd.i32 q11, q1, q4\n\t"
// A group at the points p0 .. p3 (a quarter-span apart), each address
// stepped by its store (STEP); W2 the second rotation's twiddle address as
// the load takes it.
#define R4_GROUP(W2, X23, SECOND_KEEP, SECOND_MASK, X01, STEP)                                    \
    R4_FIRST("%[p1]", "%[p2]", "%[p3]", "%[w1]") X23 R4_SECOND(SECOND_KEEP, SECOND_MASK, "%[p0]", W2) \
        X01 R4_STORES("%[p0]", "%[p1]", "%[p2]", "%[p3]", STEP)

// fft_exact's radix4_pass, columns j .. j + 3 of every group of 4L points
// (L = quarter): the butterflies at base + j (w1, w2) and at base + j + L/2
// (w1, w3, times -i), base stepping by 4L to the end of the points, in one
// block of assembly (one copy for all the passes' columns). w3 lies L words
// after w2: the first butterfly's load steps w2 on to it, and a subtraction
// brings it back for the next base (a register fewer, so that the block
// also finds its registers where the frame pointer keeps one). keep: j = 0,
// where the first two rotations' twiddles are exactly 1 in lane 0. The
// first butterfly's stores step its four addresses (p0 .. p3, L apart) by
// L/2 to the second's points, whose stores step them on to the next base.
// count: twice the bases left, plus keep (bit 0, tested by TST).
void radix4_column(int32_t* buf, int points, int quarter, int j, const int32_t* w1, const int32_t* w2, int keep) {
    int32_t* p0 = buf + 2 * j;
    int32_t* p1 = p0 + 2 * quarter;
    int32_t* p2 = p1 + 2 * quarter;
    int32_t* p3 = p2 + 2 * quarter;
    int count = 2 * (points >> (2 + __builtin_ctz(static_cast<unsigned>(quarter)))) + keep;
    __asm__ volatile(
        "1:\n\t"
        R4_GROUP("[%[w2]], %[h8]", R4_X23, IF_KEEP, MASK0("d0", "d1"), R4_X01, ", %[h8]")
        R4_GROUP("[%[w2]]", R4_X23_MINUS_I, NO_KEEP, "", R4_X01_MINUS_I, ", %[rest]")
        "sub %[w2], %[w2], %[h8]\n\t"
        "sub %[count], %[count], #2\n\t"
        "cmp %[count], #2\n\t"
        "bhs 1b\n\t"
        : [p0] "+r"(p0), [p1] "+r"(p1), [p2] "+r"(p2), [p3] "+r"(p3), [count] "+r"(count), [w2] "+r"(w2)
        : [rest] "r"(32 * quarter - 4 * quarter), [h8] "r"(4 * quarter), [w1] "r"(w1)
        : "cc", NEON_CLOBBERS);
}

// fft_exact's last radix-2 stage, half-span h: for j = 0, 4, .. h/2 - 4 the
// points at j + h and q + h (q = j + h/2) turned by fft_tw's pairs j .. j + 3
// into q4 q5 and q6 q7 (lane 0 kept at j = 0, a twiddle of exactly 1), then
// the sums and differences with those at j and q (loaded into q2 q3), the
// latter's times -i; one block of assembly.
void radix2_last(int32_t* buf, int h) {
    int32_t* p = buf;
    int32_t* p1 = buf + 2 * h;
    int32_t* p2 = buf + h;
    int32_t* p3 = p2 + 2 * h;
    const int32_t* tw = fft_twiddle_q31;
    const int32_t* end = buf + h;  // the value of p2: in-out, so that the two get registers of their own
    int keep = 1;
    __asm__ volatile(
        "1:\n\t"
        "cmp %[keep], #0\n\t" TURN2_FIRST("%[tw]", "%[p1]", "%[p3]")
        "vld2.32 {d4-d7}, [%[p]]\n\t" SUM_DIFF_STEP("q2", "q3", "q4", "q5", "%[p]", "%[p1]", "!")
        "vld2.32 {d4-d7}, [%[p2]]\n\t" SUM_DIFF_MINUS_I_STEP("q2", "q3", "q6", "q7", "%[p2]", "%[p3]", "!")
        "mov %[keep], #0\n\t"
        "add %[tw], %[tw], #32\n\t"
        "cmp %[p], %[end]\n\t"
        "blo 1b\n\t"
        : [p] "+r"(p), [tw] "+r"(tw), [keep] "+r"(keep), [p1] "+r"(p1), [p2] "+r"(p2), [p3] "+r"(p3), [end] "+r"(end)
        :
        : "cc", NEON_CLOBBERS);
}

// fft_exact's radix-4 passes after the first (quarter-spans 16, 64: columns
// j .. j + 3, the twiddles at j = 0 exactly 1 for the first two rotations)
// and its last radix-2 stage (512 points: half-span 256, the twiddle at j
// fft_tw's pair j, exactly 1 at j = 0, times -i for j + h/2), as
// fft_passes::passes_from.
void passes(int32_t* buf, int points) {
    int quarter = 16;
    for (; 4 * quarter <= points; quarter *= 4) {
        const int32_t* w = fft_r4_twiddle_q31 + (quarter - 4);
        const int half = quarter / 2;
        for (int j = 0; j < half; j += 4) {
            const int32_t *w1 = w + 2 * j, *w2 = w + quarter + 2 * j;  // w3 = w2 + quarter
            radix4_column(buf, points, quarter, j, w1, w2, j == 0);
        }
    }
    if (quarter < points) radix2_last(buf, quarter);
}

// fft_exact's first radix-4 stage and its radix-4 pass of quarter-span 4
// over each group of 16 points, in registers. The first stage works on the
// four groups of four (lane k: points 4k .. 4k + 3, VLD4 and VUZP put the
// points 4k + m of every k in q(2m) re, q(2m + 1) im), the pass on the four
// columns (lane m: points m, 4 + m, 8 + m, 12 + m) after a transposition.
// In the pass, lane m of the odd points is turned by the first twiddle
// (w1 at m and m - 2, exactly 1 in lanes 0 and 2, times -i in lanes 2 and
// 3), the second stage's by w2 at m = 0, 1 and w3 at m - 2 (exactly 1 in
// lane 0). %0..%3: points 0, 4, 8, 12; %4: w1's second twiddle, %5: w2
// then w3.
void first_sixteen(int32_t* buf, int points) {
    const int32_t* w1 = fft_r4_twiddle_q31;  // quarter-span 4
    const int32_t* w23 = w1 + 4;
    for (int g = 0; g < points; g += 16) {
        int32_t *p0 = buf + 2 * g, *p1 = p0 + 8, *p2 = p0 + 16, *p3 = p0 + 24;
        __asm__ volatile(
            // The first stage: t0..t3 in q0 q1, q2 q3, q4 q5, q6 q7; a, b, c, d
            // in q8 q9, q10 q11, q12 q13, q14 q15; then y0 = a + c, y1 = b - i d,
            // y2 = a - c, y3 = b + i d back in q0 .. q7.
            "vld4.32 {d0, d2, d4, d6}, [%0]\n\t"
            "vld4.32 {d1, d3, d5, d7}, [%1]\n\t"
            "vld4.32 {d8, d10, d12, d14}, [%2]\n\t"
            "vld4.32 {d9, d11, d13, d15}, [%3]\n\t"
            "vuzp.32 q0, q4\n\t"
            "vuzp.32 q1, q5\n\t"
            "vuzp.32 q2, q6\n\t"
            "vuzp.32 q3, q7\n\t"
            "vadd.i32 q8, q0, q2\n\t"
            "vadd.i32 q9, q1, q3\n\t"
            "vsub.i32 q10, q0, q2\n\t"
            "vsub.i32 q11, q1, q3\n\t"
            "vadd.i32 q12, q4, q6\n\t"
            "vadd.i32 q13, q5, q7\n\t"
            "vsub.i32 q14, q4, q6\n\t"
            "vsub.i32 q15, q5, q7\n\t"
            "vadd.i32 q0, q8, q12\n\t"
            "vadd.i32 q1, q9, q13\n\t"
            "vsub.i32 q4, q8, q12\n\t"
            "vsub.i32 q5, q9, q13\n\t"
            "vadd.i32 q2, q10, q15\n\t"
            "vsub.i32 q3, q11, q14\n\t"
            "vsub.i32 q6, q10, q15\n\t"
            "vadd.i32 q7, q11, q14\n\t"
            // Transposition: the columns x0..x3 in q0 q1, q2 q3, q4 q5, q6 q7.
            "vtrn.32 q0, q2\n\t"
            "vtrn.32 q4, q6\n\t"
            "vswp d1, d8\n\t"
            "vswp d5, d12\n\t"
            "vtrn.32 q1, q3\n\t"
            "vtrn.32 q5, q7\n\t"
            "vswp d3, d10\n\t"
            "vswp d7, d14\n\t"
            // x1 and x3 turned by w1: lanes 0 and 2 exactly 1, lanes 1 and 3
            // both by w1's second twiddle (c1, s1 on every lane of d16, d17).
            // VUZP gathers the odd lanes of x1 and x3 in q6 q7 for one
            // rotation into q10 q11; VZIP puts them back: x1 in q2 q3, x3 in
            // q10 q11. Then lanes 2 and 3 times -i.
            "vuzp.32 q2, q6\n\t"
            "vuzp.32 q3, q7\n\t"
            "vld2.32 {d16[], d17[]}, [%4]\n\t"
            ROTW("d12", "d13", "d14", "d15", "q6", "d20", "d21", "d22", "d23", "d16", "d16", "d17", "d17")
            "vzip.32 q2, q10\n\t"
            "vzip.32 q3, q11\n\t"
            "vneg.s32 d5, d5\n\t"
            "vswp d5, d7\n\t"
            "vneg.s32 d21, d21\n\t"
            "vswp d21, d23\n\t"
            // x2 + x3 into q6 q7, x2 - x3 into q4 q5, turned by w2, w3 (q8 q9)
            // into q10 q11 and q6 q7, lane 0 kept.
            "vadd.i32 q6, q4, q10\n\t"
            "vadd.i32 q7, q5, q11\n\t"
            "vsub.i32 q4, q4, q10\n\t"
            "vsub.i32 q5, q5, q11\n\t"
            "vld2.32 {d16-d19}, [%5]\n\t"
            ROTW("d12", "d13", "d14", "d15", "q6", "d20", "d21", "d22", "d23", "d16", "d17", "d18", "d19")
            MASK0("d24", "d25") KEEP0("q10", "q11", "q6", "q7", "q12")
            ROTW("d8", "d9", "d10", "d11", "q4", "d12", "d13", "d14", "d15", "d16", "d17", "d18", "d19")
            // Lane 0 of q6 q7 (s24, s28) from q4 q5 (s16, s20): VMOV of single
            // registers copies the bits as they are.
            "vmov.f32 s24, s16\n\t"
            "vmov.f32 s28, s20\n\t"
            // x0 + x1 into q8 q9, x0 - x1 into q4 q5; the four stores.
            "vadd.i32 q8, q0, q2\n\t"
            "vadd.i32 q9, q1, q3\n\t"
            "vsub.i32 q4, q0, q2\n\t"
            "vsub.i32 q5, q1, q3\n\t"
            SUM_DIFF("q8", "q9", "q10", "q11", "%0", "%2") SUM_DIFF_MINUS_I("q4", "q5", "q6", "q7", "%1", "%3")
            :
            : "r"(p0), "r"(p1), "r"(p2), "r"(p3), "r"(w1 + 2), "r"(w23)
            : NEON_CLOBBERS);
    }
}

}  // namespace

#undef ROTW
#undef ROT
#undef MASK0
#undef KEEP0
#undef SUM_DIFF
#undef SUM_DIFF_MINUS_I
#undef SUM_DIFF_STEP
#undef SUM_DIFF_MINUS_I_STEP
#undef TURN2_FIRST
#undef IF_KEEP
#undef KEEP_IF
#undef MASK_KEEP_IF
#undef NO_KEEP
#undef NEON_CLOBBERS
#undef R4_FIRST
#undef R4_SECOND
#undef R4_STORES
#undef R4_X23
#undef R4_X23_MINUS_I
#undef R4_X01
#undef R4_X01_MINUS_I
#undef R4_GROUP

void fft_exact_neon(int32_t* buf, int points) {
    first_sixteen(buf, points);
    passes(buf, points);
}
