// The exact arithmetic's rotation of a complex value by a Q31 twiddle, as
// its FFT, pre-twiddle and output pass take it (dsp/fft_exact.cpp,
// dsp/synthesis_exact.cpp).
#pragma once

#include <cstdint>

#include "dsp/complex.h"
#include "dsp/fixed.h"

namespace cx {

// z (c - i s), c and s in Q31, each half rounded once and taken modulo
// 2^32. The Q12 headroom keeps |z| of every real block far below 2^30,
// where the result could leave 32 bits. A damaged block whose coefficients
// add up beyond the FFT's range (see kvxdec_DequantizeGains) brings words
// anywhere in 32 bits, wrapped by the FFT's additions or just below the
// saturation limit: its rotations wrap as those additions do, the same
// words on every CPU (the kernels' variants wrap alike), and the block comes
// out as noise.
inline int64_t rotate_re(Complex z, int32_t c, int32_t s) { return fx::mac64(fx::mac64(0, z.re, c), z.im, s); }
inline int64_t rotate_im(Complex z, int32_t c, int32_t s) {
    return fx::mac64(fx::mac64(0, z.im, c), fx::neg_wrap(z.re), s);
}
inline Complex rotate(Complex z, int32_t c, int32_t s) {
    return {fx::rshr64_wrap(rotate_re(z, c, s), 31), fx::rshr64_wrap(rotate_im(z, c, s), 31)};
}
// The conjugate of the same (its imaginary half negated), and its negation,
// each negated half modulo 2^32 as neg_wrap would give it.
inline Complex rotate_conj(Complex z, int32_t c, int32_t s) {
    return {fx::rshr64_wrap(rotate_re(z, c, s), 31), fx::rshr64_neg_wrap(rotate_im(z, c, s), 31)};
}
inline Complex rotate_neg(Complex z, int32_t c, int32_t s) {
    return {fx::rshr64_neg_wrap(rotate_re(z, c, s), 31), fx::rshr64_neg_wrap(rotate_im(z, c, s), 31)};
}

}  // namespace cx
