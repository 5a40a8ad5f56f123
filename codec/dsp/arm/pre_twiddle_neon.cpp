// The exact arithmetic's pre-twiddle with NEON, from a copy of the block:
// points k .. k+3 and N/4-4-k .. N/4-1-k at a time, whose words are those of
// two VLD2Q loads (the a of one group lies beside the b of the other), the
// rounded shift of long blocks (VRSHR #3 is fx::rshr(x, 3)), the rotation and
// the negation; then each point goes to its bit-reversed slot with one VST2
// lane store. Reading the copy leaves the order of the stores free.
#include <cstring>

#include "dsp/arm/quad_neon.h"
#include "dsp/fft_variants.h"
#include "tables/exact_tables.h"

using namespace neon;

namespace {

// Point j of z to slot `slot` of buf.
template <int j>
inline void put(int32_t* buf, int slot, int32x4x2_t z) {
    vst2q_lane_s32(buf + 2 * slot, z, j);
}

template <bool kLong>
void pre_twiddle_n(int32_t* buf) {
    constexpr int points = kLong ? 512 : 64, words = 2 * points, rev_step = 512 / points;
    const int32_t* tw = kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31;
    int32_t in[words];
    std::memcpy(in, buf, sizeof in);
    for (int k = 0; k < points / 2; k += 4) {
        // a = X[2m], b = X[N/2-1-2m] of points m = k + j (front) and
        // points - 4 - k + j (back).
        const int32x4x2_t lo = vld2q_s32(in + 2 * k), hi = vld2q_s32(in + words - 8 - 2 * k);
        Quad front{lo.val[0], rev4(hi.val[1])}, back{hi.val[0], rev4(lo.val[1])};
        if (kLong) {
            front = {vrshrq_n_s32(front.re, 3), vrshrq_n_s32(front.im, 3)};
            back = {vrshrq_n_s32(back.re, 3), vrshrq_n_s32(back.im, 3)};
        }
        const Quad f = rotate(front, load4(tw + 2 * k)), b = rotate(back, load4(tw + words - 8 - 2 * k));
        const int32x4x2_t zf{{vnegq_s32(f.re), vnegq_s32(f.im)}}, zb{{vnegq_s32(b.re), vnegq_s32(b.im)}};
        // Point k + j to slot r(k + j); point points - 4 - k + j, that is
        // points - 1 - (k + 3 - j), to slot points - 1 - r(k + 3 - j).
        const int r0 = bitrev512[k * rev_step], r1 = bitrev512[(k + 1) * rev_step];
        const int r2 = bitrev512[(k + 2) * rev_step], r3 = bitrev512[(k + 3) * rev_step];
        put<0>(buf, r0, zf), put<1>(buf, r1, zf), put<2>(buf, r2, zf), put<3>(buf, r3, zf);
        put<0>(buf, points - 1 - r3, zb), put<1>(buf, points - 1 - r2, zb);
        put<2>(buf, points - 1 - r1, zb), put<3>(buf, points - 1 - r0, zb);
    }
}

}  // namespace

void pre_twiddle_exact_neon(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}
