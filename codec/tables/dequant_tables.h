// Tables of the inverse quantiser (generated, see dequant_tables.cpp).
//
// aacdec_mant_4_3[i] = round(13007.98 * (1 + i/128)^(4/3)): x^(4/3) of the
//   seven bits below a value's leading one.
// aacdec_exp_4_3h[e] = min(32767, round(32768 * 2^(-4e/3))) and
// aacdec_exp_4_3l[e] = min(32767, round(32 * 32768 * 2^(-4e/3))): the
//   exponent part for values of 2048 and more, and below.
// kvxdec_pow2_table_mant[sf] / 32768 * 2^kvxdec_pow2_table_exp[sf]
//   approximates 2^((sf - 128) / 4) with a 16-bit fraction.
#pragma once

#include <cstdint>

extern const int16_t aacdec_mant_4_3[128];
extern const int16_t aacdec_exp_4_3h[16];
extern const int16_t aacdec_exp_4_3l[16];
extern const int16_t kvxdec_pow2_table_mant[256];
extern const int16_t kvxdec_pow2_table_exp[256];
