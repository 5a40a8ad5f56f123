// Variants of the exact arithmetic's FFT and pre-twiddle
// (dsp/fft_exact.cpp), each bit-exact with its reference for every input: the same products, roundings and
// wrapping additions, two or more points at a time. Built only for their
// architecture; select_kernels puts them in the table.
#pragma once

#include <cstdint>

// x86: SSE4.1 (64-bit products of 32-bit lanes), dsp/x86/fft_sse41.cpp.
void fft_exact_sse41(int32_t* buf, int points);
void pre_twiddle_exact_sse41(int32_t* buf, int n);
// x86: AVX2 (four points per register), dsp/x86/fft_avx2.cpp.
void fft_exact_avx2(int32_t* buf, int points);
// x86: AVX2, dsp/x86/synthesis_avx2.cpp; the CPU has SSE4.1 too.
void pre_twiddle_exact_avx2(int32_t* buf, int n);
// 32-bit ARM: NEON (64-bit products, rounding narrowing shifts; the FFT's
// butterflies in assembly), dsp/arm/fft_neon.cpp.
void fft_exact_neon(int32_t* buf, int points);
void pre_twiddle_exact_neon(int32_t* buf, int n);
