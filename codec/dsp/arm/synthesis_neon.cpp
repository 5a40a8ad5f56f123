// NEON variant of the exact synthesis (32-bit ARM): the output pass of a
// plain long block (both halves long windows, the common case) four
// post-twiddle passes at a time, into one slot or both slots of interleaved
// stereo frames. Every other block and output layout goes to the portable
// reference. Bit-exact with it: the twiddle products as 64-bit VMULL/VMLAL
// pairs narrowed by one rounding shift (VRSHRN #31, the reference's rshr64),
// the window products as VQRDMULH ((2ab + 2^31) >> 32 = mul_q31; the tables
// never hold INT32_MIN, so it never saturates), VQADD for the saturating
// sums, VQMOVN for the 16-bit saturation.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/filterbank.h"
#include "dsp/kernels.h"
#include "tables/exact_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

namespace {

inline int32x4_t rev4(int32x4_t v) { return vcombine_s32(vrev64_s32(vget_high_s32(v)), vrev64_s32(vget_low_s32(v))); }

// rshr64(a b + c d, 31) per lane.
inline int32x4_t q31_sum(int32x4_t a, int32x4_t b, int32x4_t c, int32x4_t d) {
    int64x2_t lo = vmlal_s32(vmull_s32(vget_low_s32(a), vget_low_s32(b)), vget_low_s32(c), vget_low_s32(d));
    int64x2_t hi = vmlal_s32(vmull_s32(vget_high_s32(a), vget_high_s32(b)), vget_high_s32(c), vget_high_s32(d));
    return vcombine_s32(vrshrn_n_s64(lo, 31), vrshrn_n_s64(hi, 31));
}

// Four complex values (re, im lanes) turned by their twiddles (c, s) as the
// reference's rotate: re = z.re c + z.im s, im = z.im c + (-z.re) s.
inline int32x4x2_t rotate4(const int32_t* z, const int32_t* tw) {
    const int32x4x2_t v = vld2q_s32(z), t = vld2q_s32(tw);
    const int32x4_t re = q31_sum(v.val[0], t.val[0], v.val[1], t.val[1]);
    const int32x4_t im = q31_sum(v.val[1], t.val[0], vnegq_s32(v.val[0]), t.val[1]);
    return {{re, im}};
}

// Eight PCM samples to frames n .. n+7 of a stereo slot (step 2): into one
// slot, keeping the other channel's samples, or into both.
inline void put8(const PcmOut& out, int n, int16x8_t pcm) {
    int16_t* p = out.at + 2 * n;
    int16x8x2_t v;
    if (out.pair) {
        v.val[0] = pcm;
        v.val[1] = pcm;
    } else {
        v = vld2q_s16(p);
        v.val[0] = pcm;
    }
    vst2q_s16(p, v);
}

inline int16x4_t to_pcm(int32x4_t v) { return vqmovn_s32(vshrq_n_s32(vqaddq_s32(v, vdupq_n_s32(2048)), 12)); }

// Eight samples n .. n+7 of both halves: x of the first half (rising window
// r = w[n..n+7]) onto the overlap and out as PCM; y of the second (falling
// window f) as the new overlap.
inline void emit8(int32_t* overlap, const PcmOut& out, int n, int32x4x2_t x, int32x4x2_t r, int32x4x2_t y,
                  int32x4x2_t f) {
    const int32x4_t s0 = vqaddq_s32(vld1q_s32(overlap + n), vqrdmulhq_s32(x.val[0], r.val[0]));
    const int32x4_t s1 = vqaddq_s32(vld1q_s32(overlap + n + 4), vqrdmulhq_s32(x.val[1], r.val[1]));
    put8(out, n, vcombine_s16(to_pcm(s0), to_pcm(s1)));
    vst1q_s32(overlap + n, vqrdmulhq_s32(y.val[0], f.val[0]));
    vst1q_s32(overlap + n + 4, vqrdmulhq_s32(y.val[1], f.val[1]));
}

// Eight weights w[n..n+7] of a rising table, or of a falling one (t[1023-n]).
inline int32x4x2_t rising8(const int32_t* t, int n) { return {{vld1q_s32(t + n), vld1q_s32(t + n + 4)}}; }
inline int32x4x2_t falling8(const int32_t* t, int n) {
    return {{rev4(vld1q_s32(t + 1020 - n)), rev4(vld1q_s32(t + 1016 - n))}};
}

// The output pass of a long block with long windows on both halves, passes
// i .. i+3 at a time: a at 256 + i .. 259 + i, b at 255 - i down to 252 - i
// give samples n = 2i .. 2i+7 (lo) and 1016-2i .. 1023-2i (hi); see
// output_passes in the reference.
void long_pass(const int32_t* buf, const int32_t* rise, const int32_t* fall, int32_t* overlap, const PcmOut& out) {
    const int32_t* tw = imdct_twiddle2048_q31;
    for (int i = 0; i < 256; i += 4) {
        const int ao = 512 + 2 * i, bo = 504 - 2 * i;  // words of a0 and of b3
        const int32x4x2_t a = rotate4(buf + ao, tw + ao);
        const int32x4x2_t b = rotate4(buf + bo, tw + bo);  // passes 3, 2, 1, 0
        const int32x4_t a_re = a.val[0], a_im = vnegq_s32(a.val[1]);
        const int32x4_t b_re = rev4(b.val[0]), b_im = vnegq_s32(rev4(b.val[1]));
        // lo: n = 2i + 2k gets x -re a, y a_im; 2i + 2k + 1 gets x -b_im, y re b.
        const int lo = 2 * i, hi = 1016 - 2 * i;
        const int32x4x2_t lo_x = vzipq_s32(vnegq_s32(a_re), vnegq_s32(b_im)), lo_y = vzipq_s32(a_im, b_re);
        emit8(overlap, out, lo, lo_x, rising8(rise, lo), lo_y, falling8(fall, lo));
        // hi, rising n: 1022 - 2i - 2k gets x b_im, y re b; 1023 - 2i - 2k
        // gets x re a, y a_im; k = 3 first.
        const int32x4x2_t hi_x = vzipq_s32(rev4(b_im), rev4(a_re)), hi_y = vzipq_s32(rev4(b_re), rev4(a_im));
        emit8(overlap, out, hi, hi_x, rising8(rise, hi), hi_y, falling8(fall, hi));
    }
}

}  // namespace

void synthesise_channel_neon(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                             OverlapSample* overlap, PcmOut out) {
    synthesise_channel_with(long_pass, first_block, window_sequence, wnd_shape, coef, overlap, out);
}

#pragma GCC pop_options

#endif
