// Tables of the stereo tools, noise substitution and TNS (generated, see
// tools_tables.cpp).
//
// kvxdec_powHalf_fac_4[k] = round(32768 * 2^(-(k + 1) / 4)): intensity gains.
// kvxdec_powTwo_fac_4[k] = floor(32768 * 2^((k - 103) / 4)), limited to
//   1..32767: noise levels by noise energy.
// kvxdec_inv_quant_coefs[4 (c + 8) + 2 (r - 3) + (c <= 0)]: the TNS
//   reflection coefficient of index c at resolution r bits, Q15.
// kvxdec_tns_max_bands_tbl[sf_index]: the highest TNS band, [0] long windows,
//   [1] short windows.
#pragma once

#include <cstdint>

extern const int16_t kvxdec_powHalf_fac_4[64];
extern const int16_t kvxdec_powTwo_fac_4[120];
extern const int16_t kvxdec_inv_quant_coefs[64];
extern const uint8_t kvxdec_tns_max_bands_tbl[16][2];
