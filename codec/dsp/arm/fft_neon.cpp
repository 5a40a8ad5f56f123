// The exact arithmetic's FFT with NEON, two complex points at a time, real
// and imaginary parts in separate registers (VLD2/VST2): the passes of
// fft_exact over pairs of neighbouring points. A rotation is VMULL + VMLAL
// (64-bit products, the sum wrapping modulo 2^64 like fx::mac64) and VRSHRN
// #31, whose rounding shift keeps bits 31..62 of the sum plus 2^30: exactly
// fx::rshr64(..., 31) reduced modulo 2^32. This file alone is compiled for
// NEON; select_kernels calls it only on a CPU that has it.
#include "dsp/arm/complex_neon.h"
#include "dsp/fft_variants.h"
#include "tables/exact_tables.h"

using namespace neon;

namespace {

// fft_exact's first radix-4 stage: groups of four points, additions only.
// VLD4 gives t0 t2 and t1 t3 side by side.
void radix4_first(int32_t* buf, int points) {
    for (int g = 0; g < points; g += 4) {
        const int32x2x4_t v = vld4_s32(buf + 2 * g);
        const Pair even{v.val[0], v.val[1]}, odd{v.val[2], v.val[3]};
        const Pair sum = add(even, odd), diff = sub(even, odd);  // a c, b d
        const int32x2x2_t re = vtrn_s32(sum.re, diff.re), im = vtrn_s32(sum.im, diff.im);
        const Pair x{re.val[0], im.val[0]};  // a b
        // c, -i d
        const Pair y{vset_lane_s32(vget_lane_s32(im.val[1], 1), re.val[1], 1),
                     vset_lane_s32(vget_lane_s32(vneg_s32(re.val[1]), 1), im.val[1], 1)};
        store2(buf, g, add(x, y));
        store2(buf, g + 2, sub(x, y));
    }
}

template <bool kKeepFirst, bool kMinusI>
struct Twiddle {
    Pair w;
    Pair operator()(Pair z) const {
        const Pair r = kKeepFirst ? rotate_but_first(z, w) : rotate(z, w);
        return kMinusI ? times_minus_i(r) : r;
    }
};

// fft_exact's radix4_points for the points p, p + 1 (each plus 0, L, 2L, 3L).
template <typename First, typename Second>
inline void radix4_points(int32_t* buf, int p, int quarter, First first, Second second) {
    const Pair x0 = load2(buf, p), x1 = first(load2(buf, p + quarter));
    const Pair x2 = load2(buf, p + 2 * quarter), x3 = first(load2(buf, p + 3 * quarter));
    const Pair a0 = add(x0, x1), a1 = sub(x0, x1);
    const Pair a2 = second(add(x2, x3)), a3 = times_minus_i(second(sub(x2, x3)));
    store2(buf, p, add(a0, a2));
    store2(buf, p + 2 * quarter, sub(a0, a2));
    store2(buf, p + quarter, add(a1, a3));
    store2(buf, p + 3 * quarter, sub(a1, a3));
}

// fft_exact's radix4_pass, j and j + 1 together (the twiddles at j = 0 are
// exactly 1 for the first two rotations).
template <bool kFirstJ>
inline void radix4_column(int32_t* buf, int points, int quarter, const int32_t* w, int j) {
    const int half = quarter / 2;
    const Pair w1 = load2(w, j), w2 = load2(w + quarter, j), w3 = load2(w + 2 * quarter, j);
    for (int base = 0; base < points; base += 4 * quarter) {
        radix4_points(buf, base + j, quarter, Twiddle<kFirstJ, false>{w1}, Twiddle<kFirstJ, false>{w2});
        radix4_points(buf, base + j + half, quarter, Twiddle<kFirstJ, true>{w1}, Twiddle<false, false>{w3});
    }
}

void radix4_pass(int32_t* buf, int points, int quarter) {
    const int32_t* w = fft_r4_twiddle_q31 + (quarter - 4);
    radix4_column<true>(buf, points, quarter, w, 0);
    for (int j = 2; j < quarter / 2; j += 2) radix4_column<false>(buf, points, quarter, w, j);
}

// The last radix-2 stage of 512 points (half-span h = 256): the twiddle at j
// is fft_tw's pair j, exactly 1 at j = 0, times -i for j + h/2.
void radix2_last(int32_t* buf, int h) {
    for (int j = 0; j < h / 2; j += 2) {
        const Pair tw = load2(fft_twiddle_q31, j);
        const int q = j + h / 2;
        Pair t = load2(buf, j + h), u = load2(buf, q + h);
        t = j ? rotate(t, tw) : rotate_but_first(t, tw);
        u = times_minus_i(j ? rotate(u, tw) : rotate_but_first(u, tw));
        const Pair x = load2(buf, j), x2 = load2(buf, q);
        store2(buf, j, add(x, t));
        store2(buf, j + h, sub(x, t));
        store2(buf, q, add(x2, u));
        store2(buf, q + h, sub(x2, u));
    }
}

}  // namespace

void fft_exact_neon(int32_t* buf, int points) {
    radix4_first(buf, points);
    int quarter = 4;
    for (; 4 * quarter <= points; quarter *= 4) radix4_pass(buf, points, quarter);
    if (quarter < points) radix2_last(buf, quarter);
}
