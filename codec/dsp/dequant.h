// Inverse quantisation.
#pragma once

#include <cstdint>

#include "dsp/arithmetic.h"

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

// One value: the coefficient of q with scale factor sf (0..255).
int32_t dequant_value(int16_t q, int sf);

