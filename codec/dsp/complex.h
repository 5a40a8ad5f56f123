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

// On 32-bit ARM the two words of a complex value are loaded and stored
// together, as one LDRD or STRD, only where both are in registers at the
// same point: together() makes them so (otherwise GCC loads each word next
// to its first use and stores each as soon as it is computed, and pairs
// none of them). LDRD and STRD reach 1020 bytes from their pointer.
inline Complex together(Complex z) {
#if defined(__arm__)
    asm("" : "+r"(z.re), "+r"(z.im));
#endif
    return z;
}
inline Complex load_pair(const int32_t* v, int k) { return together(load(v, k)); }
inline void store_pair(int32_t* v, int k, Complex z) { store(v, k, together(z)); }

inline Complex times_minus_i(Complex z) { return {z.im, fx::neg_wrap(z.re)}; }

// The first two stages of a decimation-in-time FFT of n points as one
// radix-4 stage: from in (bit-reversed order) to out, exact additions, in
// place where out is in (each group read before it is written). in is
// otherwise read only; it is not const because callers fill it through the
// bit-reversal, which GCC cannot follow when it checks a const argument for
// uninitialised reads.
inline void radix4_first_stage(int32_t* in, int32_t* out, int n) {
    for (int32_t *v = in, *o = out, *end = in + 2 * n; v < end; v += 8, o += 8) {
        Complex t0 = load(v, 0), t1 = load(v, 1), t2 = load(v, 2), t3 = load(v, 3);
#if defined(__arm__)
        // (All eight words loaded before any is used, so that they pair.)
        asm(""
            : "+r"(t0.re), "+r"(t0.im), "+r"(t1.re), "+r"(t1.im), "+r"(t2.re), "+r"(t2.im), "+r"(t3.re),
              "+r"(t3.im));
#endif
        const Complex a = add(t0, t1), b = sub(t0, t1), c = add(t2, t3), d = together(sub(t2, t3));
        store_pair(o, 0, add(a, c));
        store_pair(o, 2, sub(a, c));
        store_pair(o, 1, {fx::add_wrap(b.re, d.im), fx::sub_wrap(b.im, d.re)});  // b - i d
        store_pair(o, 3, {fx::sub_wrap(b.re, d.im), fx::add_wrap(b.im, d.re)});  // b + i d
    }
}

}  // namespace cx
