// The complex QMF banks of SBR (ISO/IEC 14496-3 SBR tool): the 32-band
// analysis bank applied to the core's time output, the 64-band synthesis
// bank and the 32-band one of SBR output at the core's rate. Each call
// handles one time slot.
//
// Formats (built with the exact arithmetic):
// - Time samples in and out are Q12, the exact arithmetic's time samples
//   (4096 = one 16-bit PCM step, 16 x headroom over the 16-bit range: the
//   full int32 range is +-16 x full scale). The output saturates to 32 bits.
// - Subband samples (re, im) are 16 x the standard's subband values X of a
//   signal in 16-bit PCM steps: a full-scale sine in one band reaches about
//   2^24.3, a quarter of the way to the 32-bit limit after the 16 x headroom
//   of the time samples. That is the synthesis' input, which takes any
//   32-bit values. The analysis gives 2^kQmfAnalysisGain times these
//   (128 x X), saturated: subband samples as fine as its input's time
//   samples, whose quietest subbands SBR may lift by 100 dB and more (a
//   full-scale sine in one band reaches 2^27.3, near the time samples'
//   2^27).
// Inside each call a block exponent (the bit length of the slot's largest
// value) scales the transform's input so that no sum can leave 32 bits,
// whatever the input, and keeps 23 or more significant bits for every
// signal level.
//
// The analysis delay line is a ring of ten blocks; `newest` is the slot of
// the last block written. The synthesis banks keep no delay line: each
// slot's new values are windowed at once into the ten output slots they
// take part in (the current one and the nine to come), so the state is
// those ten slots' partial sums, half the values a delay line would hold.
// An all-zero state is the start state (silence before).
// The variants are exact (the reference's outputs and state) for every
// state the banks reach from an all-zero one, not for any ten rows: a row
// is cleared when output, so the row at ring position p from `current`
// holds only the window's taps 9 down to p + 1 times 32-bit values, whose
// magnitudes add up to below 0.09 (p = 6; the row at 9 is zero), and the
// AVX2 window leaves the rows from position 6 on out of its range test on
// that ground (dsp/x86/qmf_avx2.cpp, kUnbounded). Rows 0 to 5 may hold any
// values.
//
// Each bank is a kernel (dsp/kernels.h): the functions below call the
// table's entry; the portable references are the *_c functions
// (dsp/qmf.cpp), the variants in dsp/qmf_variants.h.
#pragma once

#include <cstdint>

constexpr int kQmfAnalysisGain = 3;

// 320 samples (Q12): 1284 bytes.
struct QmfAnalysisState {
    int32_t newest;
    int32_t x[320];
};

// Partial sums of the next ten output slots (Q11, saturated; `current` the
// one output next): 2564 bytes.
struct QmfSynthesis64State {
    int32_t current;
    int32_t sum[10][64];
};

// The same for 32 samples a slot: 1284 bytes.
struct QmfSynthesis32State {
    int32_t current;
    int32_t sum[10][32];
};

// 32 new time samples (oldest first) to 32 complex subband samples.
void qmf_analysis32_c(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im);

// 64 complex subband samples to 64 time samples (oldest first).
void qmf_synthesis64_c(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out);

// 32 complex subband samples (the lower half of a 64-band slot) to 32 time
// samples at the core's rate: every second sample of what the 64-band bank
// gives when the upper 32 bands are zero.
void qmf_synthesis32_c(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out);

// A slot of n time samples (Q12) to 16-bit PCM, sample i at out[i * step]
// (q12_to_pcm16: a saturating addition of the rounding term, a shift, a
// saturation to 16 bits); the reference of the kernel table's sbr_pcm16.
void qmf_pcm16(int16_t* out, int step, const int32_t* v, int n);

// The same through the kernel table.
void qmf_analysis32(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im);
void qmf_synthesis64(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out);
void qmf_synthesis32(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out);
