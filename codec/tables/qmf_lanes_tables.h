// Two tables of the SBR QMF banks in the order the AVX2 banks read them
// (generated, see qmf_lanes_tables.cpp; built only with the x86-64 kernels).
//
// qmf_synthesis64_pre_lanes_q31 / qmf_analysis_post_lanes_q31: those of
//   qmf_tables.h (qmf_synthesis64_pre_q31, qmf_analysis_post_q31) four
//   bands at a time: the first complex factor (re, im) of bands k .. k+3,
//   then the second of the same bands; one word 0 at the end, which the
//   banks' loads one word on read beyond the last factor.
#pragma once

#include <cstdint>

extern const int32_t qmf_synthesis64_pre_lanes_q31[257];
extern const int32_t qmf_analysis_post_lanes_q31[129];
