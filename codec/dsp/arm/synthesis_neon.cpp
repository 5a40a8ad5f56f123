// NEON variant of the exact synthesis (32-bit ARM): the output pass of every
// window sequence (post-twiddle, window, overlap-add, rounding, saturation
// and the interleaved 16-bit store) four post-twiddle passes at a time, into
// one slot or both slots of interleaved stereo frames, or (with SBR) as the
// Q12 time samples, stored by VST2Q of the even and odd quads as the overlap
// is. Other output layouts go to the portable reference. Bit-exact with it: the twiddle products as
// 64-bit VMULL/VMLAL pairs narrowed by one rounding shift (VRSHRN #31, the
// reference's rshr64), the window products as VQRDMULH ((2ab + 2^31) >> 32 =
// mul_q31; the tables never hold INT32_MIN, so it never saturates), VQADD for
// the saturating sums, and VQRSHRN #12 for the rounding to PCM: (v + 2^11)
// >> 12 saturated to 16 bits, computed without the overflow of the sum, which
// the reference saturates to a value that gives 32767 just the same.
//
// The output pass's structure is dsp/output_pass_vec.h's; this file brings
// its eight-sample operations. Only this file is built for NEON (a target
// pragma after the common headers); select_kernels puts it in the table only
// on a CPU with NEON.
#if defined(__arm__)

#include <cstring>

#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "tables/band_layout.h"
#include "tables/exact_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include "dsp/arm/quad_neon.h"
#include "dsp/output_pass_vec.h"

using namespace neon;

namespace {

// Eight samples n .. n+7 as two quads: the even ones n, n+2, n+4, n+6 and
// the odd ones (VLD2Q/VST2Q), so that the post-twiddle's values need no
// interleaving.
using Four2 = int32x4x2_t;

// Eight PCM samples to frames n .. n+7 of a stereo slot (step 2): into one
// slot, keeping the other channel's samples, or into both. VLD4/VST4 of the
// sixteen words: left and right of the even frames, then of the odd ones;
// the last eight frames of a slot go sample by sample, since the right
// slot's sixteenth word would lie past the block's last frame.
inline void put8(const PcmOut& out, int n, Four2 v) {
    int16_t* p = out.at + 2 * n;
    const int16x4_t even = vqrshrn_n_s32(v.val[0], 12), odd = vqrshrn_n_s32(v.val[1], 12);
    if (out.pair) {
        vst4_s16(p, int16x4x4_t{{even, even, odd, odd}});
    } else if (n < 1024 - 8) {
        int16x4x4_t frames = vld4_s16(p);
        frames.val[0] = even;
        frames.val[2] = odd;
        vst4_s16(p, frames);
    } else {
        vst1_lane_s16(p, even, 0), vst1_lane_s16(p + 2, odd, 0), vst1_lane_s16(p + 4, even, 1);
        vst1_lane_s16(p + 6, odd, 1), vst1_lane_s16(p + 8, even, 2), vst1_lane_s16(p + 10, odd, 2);
        vst1_lane_s16(p + 12, even, 3), vst1_lane_s16(p + 14, odd, 3);
    }
}

// The post-twiddle of the quad at Z (words, stepping by STEP) by the
// twiddles at T into q4 q5 (OUT "4") or q6 q7 (OUT "6"): quad_neon's
// rotate, re = z.re c + z.im s and im = z.im c + (-z.re) s, each the sum of
// two VMULL products narrowed by VRSHRN #31 (scratch q0..q3, q12..q15).
#define LP_ROTATE(Z, T, STEP, RL, RH, IL, IH)              \
    "vld2.32 {d0-d3}, [" Z "]" STEP "\n\t"                 \
    "vld2.32 {d4-d7}, [" T "]" STEP "\n\t"                 \
    "vmull.s32 q12, d0, d4\n\t"                            \
    "vmull.s32 q13, d1, d5\n\t"                            \
    "vmlal.s32 q12, d2, d6\n\t"                            \
    "vmlal.s32 q13, d3, d7\n\t"                            \
    "vmull.s32 q14, d2, d4\n\t"                            \
    "vmull.s32 q15, d3, d5\n\t"                            \
    "vrshrn.i64 " RL ", q12, #31\n\t"                      \
    "vrshrn.i64 " RH ", q13, #31\n\t"                      \
    "vneg.s32 q12, q0\n\t"                                 \
    "vmlal.s32 q14, d24, d6\n\t"                           \
    "vmlal.s32 q15, d25, d7\n\t"                           \
    "vrshrn.i64 " IL ", q14, #31\n\t"                      \
    "vrshrn.i64 " IH ", q15, #31\n\t"
// The lanes of Q (halves L, H) in reverse order.
#define LP_REV4(Q, L, H) "vrev64.32 " Q ", " Q "\n\t" "vswp " L ", " H "\n\t"
// Eight samples to PCM: x (even in XE, odd in XO) times the rising window
// at R, plus the overlap at O, rounded to frames of the slot at P (VLD4 and
// VST4 of the interleaved frames, the other slot's samples kept as read).
#define LP_OUT(XE, XO, R, RSTEP, O, P, PSTEP)              \
    "vld2.32 {d0-d3}, [" R "]" RSTEP "\n\t"                \
    "vqrdmulh.s32 " XE ", " XE ", q0\n\t"                  \
    "vqrdmulh.s32 " XO ", " XO ", q1\n\t"                  \
    "vld2.32 {d0-d3}, [" O "]\n\t"                         \
    "vqadd.s32 " XE ", q0, " XE "\n\t"                     \
    "vqadd.s32 " XO ", q1, " XO "\n\t"                     \
    "vld4.16 {d0-d3}, [" P "]\n\t"                         \
    "vqrshrn.s32 d0, " XE ", #12\n\t"                      \
    "vqrshrn.s32 d2, " XO ", #12\n\t"                      \
    "vst4.16 {d0-d3}, [" P "]" PSTEP "\n\t"

// Groups 4 .. 252 of a long block's output pass (only long windows, PCM into
// one slot of stereo frames), the loop of output_groups with LongSink, Up and
// Down inlined as one block of assembly: the compiler, given the same work as
// intrinsics, reloads its many addresses from the stack and spills. Group i's
// lo samples n = 2i.. take a(i + k) (q4 q5) and b(i + 3 - k) (q6 q7, lanes
// reversed); its hi samples n = 1016 - 2i.. the same values the other way
// round. A product's lane order does not matter, so a reversed operand of
// the falling window is reversed once after the product instead of twice
// before it. Every address steps by 32 bytes, up or down (m32 = -32);
// the loop ends where the lo and hi overlap addresses meet. It takes every
// core register but sp, pc and r7: Thumb-2 code (the target's) keeps its
// frame pointer, where it has one, in r7; ARM code with a frame pointer
// (r11) cannot build it.
struct LongPass {
    const int32_t* a_buf;   // r0: buf + 512 + 2i
    const int32_t* b_buf;   // r1: buf + 504 - 2i
    const int32_t* a_tw;    // r2, r3: the same in the twiddle table
    const int32_t* b_tw;
    const int32_t* rise_lo; // r4: rise + 2i
    const int32_t* rise_hi; // r5: rise + 1016 - 2i
    const int32_t* fall_lo; // r6: fall + 1016 - 2i
    const int32_t* fall_hi; // r8: fall + 2i
    int32_t* ov_lo;         // r9: overlap + 2i
    int32_t* ov_hi;         // r10: overlap + 1016 - 2i
    int16_shared* pcm_lo;   // r11: frame 2i
    int16_shared* pcm_hi;   // r12: frame 1016 - 2i
    int m32;                // lr
};
void long_pass(const LongPass& args) {
    register const LongPass* a asm("r0") = &args;
    __asm__ volatile(
        "ldm r0, {r0-r6, r8-r12, lr}\n\t"
        "1:\n\t"
        LP_ROTATE("r0", "r2", "!", "d8", "d9", "d10", "d11")
        LP_ROTATE("r1", "r3", ", lr", "d12", "d13", "d14", "d15")
        // rev4(a.re) in q8, rev4(b.im) in q9; -a.re, -a.im, -b.im.
        "vmov q8, q4\n\t" LP_REV4("q8", "d16", "d17")
        "vmov q9, q7\n\t" LP_REV4("q9", "d18", "d19")
        "vneg.s32 q4, q4\n\t"
        "vneg.s32 q5, q5\n\t"
        "vneg.s32 q7, q7\n\t"
        // lo: x = (-a.re, rev4(b.im)) to PCM, y = (-a.im, rev4(b.re)) times the
        // falling window at fall_lo (even: rev4 of its odd words, odd: rev4 of
        // its even ones) to the overlap.
        LP_OUT("q4", "q9", "r4", "!", "r9", "r11", "!")
        "vld2.32 {d0-d3}, [r6], lr\n\t" LP_REV4("q1", "d2", "d3")
        "vqrdmulh.s32 q10, q5, q1\n\t"
        "vqrdmulh.s32 q11, q6, q0\n\t" LP_REV4("q11", "d22", "d23")
        "vst2.32 {d20-d23}, [r9]!\n\t"
        // hi: x = (-b.im, rev4(a.re)), y = (b.re, -rev4(a.im)).
        LP_OUT("q7", "q8", "r5", ", lr", "r10", "r12", ", lr")
        "vld2.32 {d0-d3}, [r8]!\n\t" LP_REV4("q1", "d2", "d3")
        "vqrdmulh.s32 q10, q6, q1\n\t"
        "vqrdmulh.s32 q11, q5, q0\n\t" LP_REV4("q11", "d22", "d23")
        "vst2.32 {d20-d23}, [r10], lr\n\t"
        "cmp r9, r10\n\t"
        "blo 1b\n\t"
        : "+r"(a)
        :  // args is read through r0; the memory clobber keeps its stores before the block
        : "r1", "r2", "r3", "r4", "r5", "r6", "r8", "r9", "r10", "r11", "r12", "lr", "cc", "memory", "d0", "d1",
          "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12", "d13", "d14", "d15", "d16", "d17",
          "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31");
}
#undef LP_ROTATE
#undef LP_REV4
#undef LP_OUT

// The eight-sample operations of the output pass (dsp/output_pass_vec.h).
struct Ops {
    using V = Four2;
    static V zero() { return {{vdupq_n_s32(0), vdupq_n_s32(0)}}; }
    static V load(const int32_t* p) { return vld2q_s32(p); }
    static void store(int32_t* p, V v) { vst2q_s32(p, v); }
    static V add_sat(V a, V b) { return {{vqaddq_s32(a.val[0], b.val[0]), vqaddq_s32(a.val[1], b.val[1])}}; }
    static V mul_q31(V a, V b) { return {{vqrdmulhq_s32(a.val[0], b.val[0]), vqrdmulhq_s32(a.val[1], b.val[1])}}; }
    static V rising(const int32_t* p) { return vld2q_s32(p); }
    static V falling(const int32_t* p) {  // p[7 - j]: even j from the odd words, odd j from the even ones
        const Four2 w = vld2q_s32(p);
        return {{rev4(w.val[1]), rev4(w.val[0])}};
    }
    static void put(const PcmOut& out, int n, V v) { put8(out, n, v); }

    // A long block of only long windows into one slot of stereo frames:
    // group 0 (whose hi samples end the slot: put8 stores them one by one)
    // through output_groups, the rest through long_pass.
    static bool long_pcm(uint8_t seq, int shape, int prev, const int32_t* buf, int32_t* overlap,
                         const PcmOut& out) {
        if (seq != ONLY_LONG_SEQUENCE || out.pair) return false;
        using namespace output_pass_vec;
        const int32_t* rise = long_table<Ops>(prev);
        const int32_t* fall = long_table<Ops>(shape);
        const auto sink = long_sink<Ops, false>(overlap, out, Up<Ops>{rise, 0}, Down<Ops>{fall, 1024});
        output_groups<Ops, 512>(buf, 0, 4, sink, sink);
        const int32_t* tw = imdct_twiddle2048_q31;
        long_pass({buf + 520, buf + 496, tw + 520, tw + 496, rise + 8, rise + 1008, fall + 1008, fall + 8,
                   overlap + 8, overlap + 1008, out.at + 16, out.at + 2016, -32});
        return true;
    }

    // a at q/2 + i .. q/2 + i + 3, b at q/2 - 1 - i down to q/2 - 4 - i (see
    // output_passes in the reference).
    template <int kQuarter>
    __attribute__((always_inline)) static void post_group(const int32_t* buf, int i, output_pass_vec::Eight<Ops>& lo,
                                                          output_pass_vec::Eight<Ops>& hi) {
        const int32_t* tw = kQuarter == 512 ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
        const int ao = kQuarter + 2 * i, bo = kQuarter - 8 - 2 * i;  // words of a of pass i, of b of pass i+3
        const Quad a = rotate(load4(buf + ao), load4(tw + ao));      // a(i + k), k = 0..3
        const Quad b = rotate(load4(buf + bo), load4(tw + bo));      // b(i + 3 - k)
        // lo: n = 2i+2k gets x -re a, y -im a; n = 2i+2k+1 gets x im b, y re b.
        lo.x = {{vnegq_s32(a.re), rev4(b.im)}};
        lo.y = {{vnegq_s32(a.im), rev4(b.re)}};
        // hi, n = 2q-8-2i+2k: x -im b, y re b of pass i+3-k; the next n: x re a, y -im a.
        hi.x = {{vnegq_s32(b.im), rev4(a.re)}};
        hi.y = {{b.re, vnegq_s32(rev4(a.im))}};
    }
};

}  // namespace

void synthesise_channel_neon(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                             OverlapSample* overlap, PcmOut out) {
    output_pass_vec::synthesise_channel<Ops>(first_block, window_sequence, wnd_shape, coef, overlap, out);
}

void synthesise_channel_mix_neon(uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef, const MixOut& mix) {
    output_pass_vec::synthesise_channel_mix<Ops>(window_sequence, wnd_shape, coef, mix);
}

#pragma GCC pop_options

#endif
