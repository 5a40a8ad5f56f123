// The radix-4 passes and the last radix-2 stage of the exact arithmetic's
// FFT (fft_exact, dsp/fft_exact.cpp), written once for its SIMD
// variants. The loops here are templates on a record, Kernel, of two
// butterfly groups over Kernel::kWidth neighbouring points:
//   radix4_points<kKeep1, kMinusI1, kKeep2>(buf, p, quarter, w1, w2)
//   radix2_points<kKeep>(buf, j, h, tw)
// (see Butterflies below), their twiddles made by twiddle(pointer to kWidth
// cos, sin pairs) once for the groups of a column.
// Butterflies<Lanes> writes them once over a record of lane operations:
//   V                     Lanes::kWidth neighbouring complex points
//   load(v, k)            points k .. k + kWidth - 1 of interleaved re, im
//                         words (twiddle tables load the same way, c and s)
//   store(v, k, z), add(a, b), sub(a, b), times_minus_i(z)
//   rotate<kKeepFirst>(z, tw)         the exact rotation z (c - i s) in every
//                         lane (kKeepFirst: lane 0 kept, a twiddle of exactly 1)
// Everything here is always inlined, so that the records' target-attributed
// functions inline into the variant that instantiates them. A variant file
// defines FFT_PASSES_TARGET as its own target attribute before the include:
// clang accepts vector arguments wider than the baseline, and inlines
// target-attributed functions, only into functions built for that target.
#pragma once

#include <cstdint>

#include "tables/exact_tables.h"

namespace fft_passes {

#ifndef FFT_PASSES_TARGET
#define FFT_PASSES_TARGET
#endif
#define FFT_INLINE __attribute__((always_inline)) inline FFT_PASSES_TARGET

template <class Lanes>
struct Butterflies {
    using V = typename Lanes::V;
    static constexpr int kWidth = Lanes::kWidth;
    // Twiddles load once per column into registers.
    FFT_INLINE static V twiddle(const int32_t* w) { return Lanes::load(w, 0); }

    // a + b stored at point k, a - b at m (kMinusI: b times -i).
    template <bool kMinusI = false>
    FFT_INLINE static void butterfly(int32_t* v, int k, int m, V a, V b) {
        if (kMinusI) b = Lanes::times_minus_i(b);
        Lanes::store(v, k, Lanes::add(a, b));
        Lanes::store(v, m, Lanes::sub(a, b));
    }

    // fft_exact's radix4_points for the points p .. p + kWidth - 1 (each
    // plus 0, L, 2L, 3L): the odd points of the first stage turned by the
    // twiddles t1 (kKeep1: lane 0 kept; kMinusI1: then times -i), the
    // second stage's by t2 (kKeep2).
    template <bool kKeep1, bool kMinusI1, bool kKeep2>
    FFT_INLINE static void radix4_points(int32_t* buf, int p, int quarter, V t1, V t2) {
        V x1 = Lanes::template rotate<kKeep1>(Lanes::load(buf, p + quarter), t1);
        V x3 = Lanes::template rotate<kKeep1>(Lanes::load(buf, p + 3 * quarter), t1);
        if (kMinusI1) x1 = Lanes::times_minus_i(x1), x3 = Lanes::times_minus_i(x3);
        const V x0 = Lanes::load(buf, p), x2 = Lanes::load(buf, p + 2 * quarter);
        butterfly(buf, p, p + 2 * quarter, Lanes::add(x0, x1),
                  Lanes::template rotate<kKeep2>(Lanes::add(x2, x3), t2));
        butterfly<true>(buf, p + quarter, p + 3 * quarter, Lanes::sub(x0, x1),
                        Lanes::template rotate<kKeep2>(Lanes::sub(x2, x3), t2));
    }

    // The radix-2 butterflies at j and j + h/2 with the twiddles w (times -i
    // for the latter; kKeep: lane 0 kept).
    template <bool kKeep>
    FFT_INLINE static void radix2_points(int32_t* buf, int j, int h, V w) {
        const int q = j + h / 2;
        const V t = Lanes::template rotate<kKeep>(Lanes::load(buf, j + h), w);
        const V u = Lanes::template rotate<kKeep>(Lanes::load(buf, q + h), w);
        butterfly(buf, j, j + h, Lanes::load(buf, j), t);
        butterfly<true>(buf, q, q + h, Lanes::load(buf, q), u);
    }
};

// fft_exact's radix4_pass, columns j .. j + kWidth - 1 together (the twiddles
// at j = 0 are exactly 1 for the first two rotations).
template <class Kernel, bool kFirstJ>
FFT_INLINE void radix4_column(int32_t* buf, int points, int quarter, const int32_t* w, int j) {
    const int half = quarter / 2;
    const auto w1 = Kernel::twiddle(w + 2 * j), w2 = Kernel::twiddle(w + quarter + 2 * j),
               w3 = Kernel::twiddle(w + 2 * quarter + 2 * j);
    for (int base = 0; base < points; base += 4 * quarter) {
        Kernel::template radix4_points<kFirstJ, false, kFirstJ>(buf, base + j, quarter, w1, w2);
        Kernel::template radix4_points<kFirstJ, true, false>(buf, base + j + half, quarter, w1, w3);
    }
}

// The radix-4 pass of quarter-span L (L/2 a multiple of kWidth).
template <class Kernel>
FFT_INLINE void radix4_pass(int32_t* buf, int points, int quarter) {
    const int32_t* w = fft_r4_twiddle_q31 + (quarter - 4);
    radix4_column<Kernel, true>(buf, points, quarter, w, 0);
    for (int j = Kernel::kWidth; j < quarter / 2; j += Kernel::kWidth)
        radix4_column<Kernel, false>(buf, points, quarter, w, j);
}

// The last radix-2 stage of 512 points (half-span h = 256): the twiddle at j
// is fft_tw's pair j, exactly 1 at j = 0, times -i for j + h/2.
template <class Kernel>
FFT_INLINE void radix2_last(int32_t* buf, int h) {
    Kernel::template radix2_points<true>(buf, 0, h, Kernel::twiddle(fft_twiddle_q31));
    for (int j = Kernel::kWidth; j < h / 2; j += Kernel::kWidth)
        Kernel::template radix2_points<false>(buf, j, h, Kernel::twiddle(fft_twiddle_q31 + 2 * j));
}

// The passes after the first `quarter` (4 or 16: the first two or four
// stages done by the caller) up to the last stage.
template <class Kernel>
FFT_INLINE void passes_from(int32_t* buf, int points, int quarter) {
    for (; 4 * quarter <= points; quarter *= 4) radix4_pass<Kernel>(buf, points, quarter);
    if (quarter < points) radix2_last<Kernel>(buf, quarter);
}

#undef FFT_INLINE

}  // namespace fft_passes
