// The exact arithmetic's pre-twiddle with NEON in natural order: points
// k .. k+3 and N/4-4-k .. N/4-1-k at a time, whose words are those of two
// VLD2Q loads (the a of one group lies beside the b of the other) and whose
// values go back to the same places, the rounded shift of long blocks
// (VRSHR #3 is fx::rshr(x, 3)), the rotation and the negation; then every
// point moves to its bit-reversed slot (bit_reverse_slots).
#include "dsp/arm/quad_neon.h"
#include "dsp/bitrev_pairs.h"
#include "dsp/fft_variants.h"
#include "tables/exact_tables.h"

using namespace neon;

namespace {

// Every slot to its bit reversal (for_bit_reversed_groups), two slots a
// register: the group of four slots at k as (k, k+1) and (k+h, k+h+1),
// stored at r as (k, k+h) and (k+1, k+h+1).
void bit_reverse_slots(int32_t* buf, int points) {
    const int h = points / 2;
    auto put = [buf, h](int r, int32x4_t a, int32x4_t b) {
        vst1q_s32(buf + 2 * r, vcombine_s32(vget_low_s32(a), vget_low_s32(b)));
        vst1q_s32(buf + 2 * (r + h), vcombine_s32(vget_high_s32(a), vget_high_s32(b)));
    };
    for_bit_reversed_groups(points, [buf, h, put](int k, int r) {
        const int32x4_t a = vld1q_s32(buf + 2 * k), b = vld1q_s32(buf + 2 * (k + h));
        if (r > k) put(k, vld1q_s32(buf + 2 * r), vld1q_s32(buf + 2 * (r + h)));
        put(r, a, b);
    });
}

template <bool kLong>
void pre_twiddle_n(int32_t* buf) {
    constexpr int points = kLong ? 512 : 64, words = 2 * points;
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    for (int k = 0; k < points / 2; k += 4) {
        // a = X[2m], b = X[N/2-1-2m] of points m = k + j (front) and
        // points - 4 - k + j (back).
        int32_t* back_at = buf + words - 8 - 2 * k;
        const int32x4x2_t lo = vld2q_s32(buf + 2 * k), hi = vld2q_s32(back_at);
        Quad front{lo.val[0], rev4(hi.val[1])}, back{hi.val[0], rev4(lo.val[1])};
        if (kLong) {
            front = {vrshrq_n_s32(front.re, 3), vrshrq_n_s32(front.im, 3)};
            back = {vrshrq_n_s32(back.re, 3), vrshrq_n_s32(back.im, 3)};
        }
        const Quad f = rotate(front, load4(tw + 2 * k)), b = rotate(back, load4(tw + words - 8 - 2 * k));
        vst2q_s32(buf + 2 * k, int32x4x2_t{{vnegq_s32(f.re), vnegq_s32(f.im)}});
        vst2q_s32(back_at, int32x4x2_t{{vnegq_s32(b.re), vnegq_s32(b.im)}});
    }
    bit_reverse_slots(buf, points);
}

}  // namespace

void pre_twiddle_exact_neon(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}
