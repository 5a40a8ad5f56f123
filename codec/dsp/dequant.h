// Inverse quantisation.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"
#include "dsp/fixed.h"
#include "tables/exact_tables.h"

// Expands 1024 quantised values into spectral coefficients, window by window,
// band by band, reading one scale factor per band.
//
// Input: quant_in, 16-bit quantised values in window order (the upper half of
// the coefficient buffer: coefficient i overwrites only values <= i, so the
// expansion runs in place). Scale factors 0..255.
// Output: 32-bit coefficients equal to 32 * sign(q) * |q|^(4/3) *
// 2^((sf - 100) / 4), within the table accuracy; exactly 0 for q = 0.
// Compact: t ~ 2^13 * |q|^(4/3) from 16 x 16 products (wraps for |q| above
// about 11585), then a 32 x 16 high-half product by the gain mantissa and a
// shift by its exponent. Nothing saturates; out-of-range results wrap.
// Exact: |q|^(4/3) with 20 or more significant bits (a Q18 table up to 512,
// interpolated above), one rounded 32 x 32 product by a Q31 gain mantissa
// and shift; saturated to 32 bits.
void kvxdec_DequantizeGains(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                            const int16_shared* quant_in, const int16_t* scaleFactors,
                            const int16_t* const* window_swb_top);

// The band walk of kvxdec_DequantizeGains (exact arithmetic) with its two
// inner steps as functions, which the kernel variants replace. out and q are
// a band's place in the coefficient buffer: out[i] overwrites only q values
// up to i, so a step may read a few values ahead before storing.
//
// scan: one pass over n values (a multiple of four): `any` is 0 exactly when
// they are all zero; `bits` is the OR of their ones' complement magnitudes
// (q, or -q - 1 for q < 0), below 512 exactly when every value lies in
// -512..511.
// plain: a plain band, all values in -512..511 and a shift s = 48 - exp of
// 1..62 where no value saturates: out[i] = sign(q[i]) *
// ((pow43_q18[|q[i]|] * mant + 2^(s-1)) >> s), i < n (every result within
// 31 bits), n a multiple of four.
struct BandBits {
    uint32_t any;
    int32_t bits;
};
// Whether a band whose scan gave `bits` takes the plain step with the gain
// mant, shift (s): every value in -512..511 (each magnitude at most
// bits + 1 <= 512) and a shift where even the largest value's product p
// cannot saturate. Any shift of 32 or more keeps the products below 2^61;
// below that, rshr64_sat(p, s) < INT32_MAX is (p + 2^(s-1)) >> s < 2^31 - 1,
// that is p < (2^32 - 3) 2^(s-1), or p >> (s - 1) < 2^32 - 3 (p >= 0).
inline bool plain_band_fits(int32_t bits, int32_t mant, int shift) {
    if (bits >= 512 || shift < 1 || shift > 62) return false;
    if (shift >= 32) return true;
    const uint64_t p = static_cast<uint64_t>(fx::mac64(0, pow43_q18[bits + 1], mant));
    return p >> (shift - 1) < UINT64_C(0xFFFFFFFD);
}
struct DequantSteps {
    BandBits (*scan)(const int16_shared* q, int n);
    void (*plain)(int32_t* out, const int16_shared* q, int n, int32_t mant, int shift);
#if defined(__x86_64__) || defined(__i386__)
    // n zeros at out, the zero bands at the top of a window, in vector
    // stores (null: a plain fill).
    void (*zero)(int32_t* out, int n) = nullptr;
#endif
};
void dequantise_bands(const DequantSteps& steps, int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                      const int16_shared* quant_in, const int16_t* scaleFactors,
                      const int16_t* const* window_swb_top);
// One band of the walk with the portable steps (any n): for the x86
// variants' own walk, the bands its steps do not take.
void dequantise_band_portable(int32_t* out, const int16_shared* q, int n, int16_t sf);
// The portable steps (any n).
BandBits scan_band(const int16_shared* q, int n);
void plain_band(int32_t* out, const int16_shared* q, int n, int32_t mant, int shift);

// Variants of kvxdec_DequantizeGains (exact arithmetic), bit-exact with it:
// x86 SSE4.1 and AVX2 (dsp/x86/dequant_x86.cpp), 32-bit ARM NEON
// (dsp/arm/dequant_neon.cpp). Built only for their architecture.
void dequantise_sse41(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                      const int16_t* scaleFactors, const int16_t* const* window_swb_top);
void dequantise_avx2(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                     const int16_t* scaleFactors, const int16_t* const* window_swb_top);
void dequantise_neon(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                     const int16_t* scaleFactors, const int16_t* const* window_swb_top);

// One value: the coefficient of q with scale factor sf (0..255).
int32_t dequant_value(int16_t q, int sf);

