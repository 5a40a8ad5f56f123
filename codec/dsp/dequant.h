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
//
// Returns whether a coefficient reached the saturation limit, +-(2^31 - 1)
// (exact arithmetic; the compact one never does): the caller takes the
// block as damaged. Why that limit, and not a lower one:
//
// The filter bank's range. The exact synthesis shifts a long block's
// coefficients right by 3, makes each pair (a, b) one complex value z with
// |z| <= |a| + |b|, and runs an unscaled 512-point FFT whose additions wrap
// at 32 bits. Every value of every FFT stage is a sum of some of the z,
// each turned by twiddles of magnitude 1 (a unit of rounding per product),
// so none exceeds S = sum |X| / 8 plus a few units; the post-twiddle only
// turns and the windows only shrink. Eight short windows: 64 points, no
// shift, S = one window's sum |X|. With S a few units below 2^31 nothing
// can leave 32 bits; above it, values that add up in phase wrap, and the
// block comes out as full-scale noise. The bound is reached: coefficients
// whose z all point one way add up in one FFT output.
//
// So no limit per coefficient keeps every block in range and legitimate
// streams whole: 1024 long coefficients (or 128 short) at 2^24 already
// reach S = 2^31, while the loudest legitimate blocks have coefficients
// near 2^30 and S near 2^30. A 16-bit source does not reach 2^31 itself:
// a coefficient of a full-scale signal is at most 32 x 2^16 times the sum
// of |window x cosine| over its block (838 for the sine window's worst
// line), 2^30.7, and a band whose largest quantised value is 3 or more
// (rounded as encoders round) comes back at most 1.21 times too large,
// below 2^31. A value at
// the limit therefore means a damaged block (a large global gain or scale
// factor under large values), and the blocks that wrap the filter bank in
// practice are of that kind: a real block's gain raised step by step
// saturates coefficients before the filter bank wraps. (A block made of
// many values just below the limit still wraps; telling that needs every
// block's sum |X|, which the common path cannot afford.) Plain bands cannot
// reach the limit (their test excludes it), so only the value-by-value
// path looks for it: the common path pays nothing.
bool kvxdec_DequantizeGains(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                            const int16_shared* quant_in, const int16_t* scaleFactors,
                            const int16_t* const* window_swb_top);

// The band walk of kvxdec_DequantizeGains (exact arithmetic) with its two
// inner steps as functions, which the kernel variants replace. out and q are
// a band's place in the coefficient buffer: out[i] overwrites only q values
// up to i, so a step may read a few values ahead before storing.
//
// scan: one pass over n values (a multiple of four): `any` is 0 exactly when
// they are all zero; `bits` is at least the OR of their ones' complement
// magnitudes (q, or -q - 1 for q < 0), below 512 exactly when every value
// lies in -512..511 (the variants give the OR itself, the portable scan the
// OR with every bit below its highest one set).
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
bool dequantise_bands(const DequantSteps& steps, int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                      const int16_shared* quant_in, const int16_t* scaleFactors,
                      const int16_t* const* window_swb_top);
// One band of the walk with the portable steps (any n): for the x86
// variants' own walk, the bands its steps do not take; whether a value
// reached the limit.
bool dequantise_band_portable(int32_t* out, const int16_shared* q, int n, int16_t sf);
// The portable steps (any n).
BandBits scan_band(const int16_shared* q, int n);
void plain_band(int32_t* out, const int16_shared* q, int n, int32_t mant, int shift);

// Variants of kvxdec_DequantizeGains (exact arithmetic), bit-exact with it
// and with its answer:
// x86 SSE4.1 and AVX2 (dsp/x86/dequant_x86.cpp), 32-bit ARM NEON
// (dsp/arm/dequant_neon.cpp). Built only for their architecture.
bool dequantise_sse41(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                      const int16_t* scaleFactors, const int16_t* const* window_swb_top);
bool dequantise_avx2(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                     const int16_t* scaleFactors, const int16_t* const* window_swb_top);
bool dequantise_neon(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                     const int16_t* scaleFactors, const int16_t* const* window_swb_top);

// One value: the coefficient of q with scale factor sf (0..255).
int32_t dequant_value(int16_t q, int sf);

