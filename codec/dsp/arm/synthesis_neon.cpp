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
