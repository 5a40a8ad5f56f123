// Variants of the SBR QMF banks (dsp/qmf.h), each bit-exact with its
// reference for every input and state. Built only for their architecture;
// select_kernels puts them in the table.
#pragma once

#include <cstdint>

#include "dsp/qmf.h"

// x86: SSE4.1 (dsp/x86/qmf_sse41.cpp) and AVX2 (dsp/x86/qmf_avx2.cpp).
void qmf_analysis32_sse41(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im);
void qmf_synthesis64_sse41(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out);
void qmf_synthesis32_sse41(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out);
void qmf_analysis32_avx2(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im);
void qmf_synthesis64_avx2(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out);
void qmf_synthesis32_avx2(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out);
// (dsp/x86/pcm16_x86.cpp; n a multiple of 4.)
void qmf_pcm16_sse41(int16_t* out, int step, const int32_t* v, int n);
void qmf_pcm16_avx2(int16_t* out, int step, const int32_t* v, int n);
// 32-bit ARM: NEON (dsp/arm/qmf_neon.cpp).
void qmf_analysis32_neon(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im);
void qmf_synthesis64_neon(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out);
void qmf_synthesis32_neon(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out);
// Four samples a register (n a multiple of 4).
void qmf_pcm16_neon(int16_t* out, int step, const int32_t* v, int n);
