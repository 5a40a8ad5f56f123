// The kernels of the SBR envelope adjuster (sbr/adjust.cpp; dsp/kernels.h:
// sbr_energies, sbr_log2, sbr_apply).
//
// sbr_energies: the energies of `count` subbands over `rows` QMF slots. Every
// sample of the block (re and im) is first shifted right (arithmetically) by
// the block's shift, the least that brings the bits of its largest magnitude
// (of v, or of ~v for v < 0) to 24 or fewer; energy[i] is the sum over the
// rows of re^2 + im^2 of subband i so shifted (exact: 80 terms of 2^48 at
// most). Returns the shift. x_re, x_im point at the first row's first
// subband, rows 64 words apart.
//
// sbr_log2: out[i] = log2(v[i]) in Q24, within 2^-24, the adjuster's
// logarithm: the mantissa in Q29, then one bit per squaring, each square
// rounded to Q29 (see log2_u64 below; 0 gives -1.0).
//
// sbr_apply: Y = X G + noise on `rows` rows of `count` subbands, in place:
// for subband i of row r (y_re, y_im point at the first row's first subband,
// rows 64 words apart), both parts y of the sample become
//   add_sat(mul_shift_sat(y, gain[i].m, 30 - gain[i].e),
//           mul_shift_sat(v, noise[i].m, 61 - noise[i].e))
// with v the part of sbr_noise_v[(noise_index + r count + i + 1) & 511], or
// the first term alone when noise is null. (A level whose shift exceeds 62
// adds nothing: a subband with a sinusoid instead of noise.)
#pragma once

#include <cstdint>

#include "dsp/fixed.h"

// A positive level m 2^(e - 30), m in [2^30, 2^31).
struct SbrLin {
    int32_t m;
    int32_t e;
};

int sbr_energies_c(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
void sbr_log2_c(const uint64_t* v, int n, int32_t* out);
void sbr_apply_c(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                 int noise_index);
// Variants: x86 SSE4.1 (dsp/x86/sbr_adjust_sse41.cpp: the energies and the
// logarithms, four subbands at a time), AVX2 (dsp/x86/sbr_adjust_avx2.cpp:
// the gains, eight subbands at a time) and 32-bit ARM NEON
// (dsp/arm/sbr_adjust_neon.cpp: all three).
int sbr_energies_sse41(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
void sbr_log2_sse41(const uint64_t* v, int n, int32_t* out);
void sbr_apply_avx2(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                    int noise_index);
int sbr_energies_neon(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy);
void sbr_log2_neon(const uint64_t* v, int n, int32_t* out);
void sbr_apply_neon(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                    int noise_index);

namespace adjuster {

constexpr int kLogFrac = 24;  // log2 values are Q24
constexpr int kEnergyBits = 24;

// The shift of sbr_energies from the OR of the magnitudes' bits.
__attribute__((always_inline)) inline int energy_shift(uint32_t bits_or) {
    const int s = 32 - fx::clz32(bits_or) - kEnergyBits;
    return s > 0 ? s : 0;
}
__attribute__((always_inline)) inline uint32_t magnitude_bits(int32_t a) {
    return a < 0 ? ~static_cast<uint32_t>(a) : static_cast<uint32_t>(a);
}

// log2(v) in Q24 for v >= 1, within 2^-24: the mantissa in Q29, then one
// bit per squaring.
__attribute__((always_inline)) inline int32_t log2_u64(uint64_t v) {
    const int n = 63 - fx::clz64(v);
    int32_t x = static_cast<int32_t>(n >= 29 ? fx::lsr64(v, n - 29) : fx::lsl64(v, 29 - n));
    if (x == INT32_C(1) << 29) return fx::shl_wrap(n, kLogFrac);  // a power of 2: its squares stay 1
    int32_t frac = 0;
    for (int k = 0; k < kLogFrac + 1; ++k) {
        x = fx::rshr64(fx::mac64(0, x, x), 29);  // [2^29, 2^31)
        frac = fx::shl_wrap(frac, 1);
        if (x >= INT32_C(1) << 30) {
            x = fx::asr(x, 1);
            frac += 1;
        }
    }
    return fx::shl_wrap(n, kLogFrac) + fx::rshr(frac, 1);
}

// One sample part of sbr_apply.
__attribute__((always_inline)) inline int32_t apply(int32_t y, SbrLin g, int32_t v, SbrLin q) {
    return fx::add_sat(fx::mul_shift_sat(y, g.m, 30 - g.e), fx::mul_shift_sat(v, q.m, 61 - q.e));
}

}  // namespace adjuster
