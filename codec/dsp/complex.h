// Complex 32-bit values stored as interleaved re, im words, with the wrapping
// additions and the first radix-4 stage the FFTs of both arithmetics share.
#pragma once

#include <cstdint>

#include "dsp/fixed.h"

namespace cx {

struct Complex {
    int32_t re, im;
};

inline Complex load(const int32_t* v, int k) { return {v[2 * k], v[2 * k + 1]}; }
inline void store(int32_t* v, int k, Complex z) {
    v[2 * k] = z.re;
    v[2 * k + 1] = z.im;
}
inline Complex add(Complex a, Complex b) { return {fx::add_wrap(a.re, b.re), fx::add_wrap(a.im, b.im)}; }
inline Complex sub(Complex a, Complex b) { return {fx::sub_wrap(a.re, b.re), fx::sub_wrap(a.im, b.im)}; }

// The first two stages of a decimation-in-time FFT of n points as one
// radix-4 stage: from in (bit-reversed order) to out, exact additions. in
// is read only; it is not const because callers fill it through the
// bit-reversal, which GCC cannot follow when it checks a const argument for
// uninitialised reads.
inline void radix4_first_stage(int32_t* in, int32_t* out, int n) {
    for (int g = 0; g < n; g += 4) {
        const Complex t0 = load(in, g), t1 = load(in, g + 1), t2 = load(in, g + 2), t3 = load(in, g + 3);
        const Complex a = add(t0, t1), b = sub(t0, t1), c = add(t2, t3), d = sub(t2, t3);
        store(out, g, add(a, c));
        store(out, g + 2, sub(a, c));
        store(out, g + 1, {fx::add_wrap(b.re, d.im), fx::sub_wrap(b.im, d.re)});  // b - i d
        store(out, g + 3, {fx::sub_wrap(b.re, d.im), fx::add_wrap(b.im, d.re)});  // b + i d
    }
}

}  // namespace cx
