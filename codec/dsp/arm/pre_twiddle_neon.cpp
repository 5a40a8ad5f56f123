// The exact arithmetic's pre-twiddle with NEON: the values of a pair of
// slots k and N/4-1-k side by side (the two words of slot k are a of k and
// b of N/4-1-k, those of the other slot the rest), the rounded shift of long
// blocks (VRSHR #3 is fx::rshr(x, 3)), the rotation and the negation two
// points at a time, then the two points stored at their bit-reversed slots in
// the order of pre_twiddle_exact (for_bit_reversed_pairs).
#include "dsp/arm/complex_neon.h"
#include "dsp/bitrev_pairs.h"
#include "dsp/fft_variants.h"
#include "tables/exact_tables.h"

using namespace neon;

namespace {

template <bool kLong>
struct PairPass {
    static constexpr int kPoints = kLong ? 512 : 64;
    int32_t* buf;
    const int32_t* tw;

    // -(a + i b)(c - i s) for slots k (lane 0) and kPoints-1-k (lane 1).
    Pair values(int k) const {
        const int kb = kPoints - 1 - k;
        const int32x2x2_t v = vtrn_s32(vld1_s32(buf + 2 * k), vld1_s32(buf + 2 * kb));  // a(k) a(kb), b(kb) b(k)
        Pair ab{v.val[0], vrev64_s32(v.val[1])};
        if (kLong) ab = {vrshr_n_s32(ab.re, 3), vrshr_n_s32(ab.im, 3)};
        const int32x2x2_t t = vtrn_s32(vld1_s32(tw + 2 * k), vld1_s32(tw + 2 * kb));
        const Pair r = rotate(ab, {t.val[0], t.val[1]});
        return {vneg_s32(r.re), vneg_s32(r.im)};
    }
    void put(int r, Pair z) const {
        const int32x2x2_t out = vtrn_s32(z.re, z.im);
        vst1_s32(buf + 2 * r, out.val[0]);
        vst1_s32(buf + 2 * (kPoints - 1 - r), out.val[1]);
    }
    void operator()(int k, int r, int m, int rm) const {
        const Pair z = values(k);
        if (m > k) put(rm, values(m));
        put(r, z);
    }
};

template <bool kLong>
void pre_twiddle_n(int32_t* buf) {
    const PairPass<kLong> pass{buf, kLong ? imdct_twiddle2048_q31 : imdct_twiddle256_q31};
    for_bit_reversed_pairs(PairPass<kLong>::kPoints, pass);
}

}  // namespace

void pre_twiddle_exact_neon(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_n<true>(buf);
    else pre_twiddle_n<false>(buf);
}
