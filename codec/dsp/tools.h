// Spectral tools run after a raw data block has been parsed: mid/side and
// intensity stereo, noise substitution and temporal noise shaping. Each takes
// the band layout, the per-band side data and the coefficients it works on.
#pragma once

#include <cstdint>

#include "tables/band_layout.h"

// Codebook a right-channel noise band gets when its mid/side flag was set;
// noise substitution treats it as a noise band.
constexpr uint8_t kNoiseMsMarked = 113;

// TNS side data of one channel.
struct TnsFilter {
    int32_t start_band;  // may be negative; clamped by the filter
    int32_t stop_band;
    int32_t order;
    int32_t direction;
    int16_t coef[32];    // transmitted indices, sign-extended
};
struct TnsWindow {
    int32_t n_filt;
    int32_t coef_res;  // 3 or 4
    TnsFilter filt[3];
};

// What limits the TNS filters of one window: the highest order and the band
// no filter reaches beyond (both from the profile, rate and window length).
struct TnsLimits {
    int max_order;
    int max_bands;
};

// Intensity bands (codebooks 14 and 15) of a right channel, from its left
// channel's coefficients; the other bands stay as they are.
void intensity_bands(const BandInfo* band, const uint8_t* windowGroups, const uint8_t* sectCodebook,
                     const int16_t* scaleFactors, const int32_t* left, int32_t* right);
// Noise bands (codebook 13 or kNoiseMsMarked) of one channel, at the energy
// of their scale factors. Compact arithmetic: advances the noise generator
// `seed` once a line. Exact: the generator starts from a hash of `seed` (the
// channel) and of the channel's block (its codebooks, the energies of its
// noise bands, the first line of every band), so the noise depends on that
// block alone; `seed` is left alone. energy_offset is added to every noise
// band's energy (exact arithmetic; see dec/core_scale.h).
void noise_bands(const BandInfo* band, const uint8_t* windowGroups, const uint8_t* sectCodebook,
                 const int16_t* scaleFactors, uint32_t* seed, int32_t* coef, int energy_offset = 0);
// Exact arithmetic: the values of one noise band of n <= kMaxNoiseLines
// lines. The generator x' = x kNoiseMul + kNoiseAdd (modulo 2^32) runs from
// `seed`, advancing once a line; each line draws the low 16 bits of the new
// x as a signed value v. The values are v scaled to a root-sum-square of
// 2^((energy + 20) / 4) coefficient units (noise_gain), rounded, saturated to
// 32 bits; an all-zero draw stays zero. The reference of the kernel table's
// noise_lines; the variants draw four lines at a time (kNoiseMul4,
// kNoiseAdd4 advance the generator four lines) with SSE4.1
// (dsp/x86/tools_sse41.cpp) or NEON (dsp/arm/tools_neon.cpp).
constexpr int kMaxNoiseLines = 96;  // the widest band of any band table
constexpr uint32_t kNoiseMul = 1664525u, kNoiseAdd = 1013904223u;
// The generator's first eight numbers from a seed s, x_j = s kNoiseLanes.mul[j]
// + kNoiseLanes.add[j] (modulo 2^32) for j = 0..7: the same numbers as
// advancing it line by line, for lanes that start with one multiply-add
// each rather than after one another.
struct NoiseLanes {
    uint32_t mul[8], add[8];
};
constexpr NoiseLanes kNoiseLanes = [] {
    NoiseLanes l{};
    uint32_t m = 1, a = 0;
    for (int j = 0; j < 8; ++j) {
        m *= kNoiseMul;
        a = a * kNoiseMul + kNoiseAdd;
        l.mul[j] = m;
        l.add[j] = a;
    }
    return l;
}();
// The generator advanced four and eight lines at once.
constexpr uint32_t kNoiseMul4 = kNoiseLanes.mul[3], kNoiseAdd4 = kNoiseLanes.add[3];
constexpr uint32_t kNoiseMul8 = kNoiseLanes.mul[7], kNoiseAdd8 = kNoiseLanes.add[7];
void noise_lines_exact(int32_t* out, int n, int16_t energy, uint32_t seed);
void noise_lines_sse41(int32_t* out, int n, int16_t energy, uint32_t seed);
void noise_lines_avx2(int32_t* out, int n, int16_t energy, uint32_t seed);  // eight lines at a time
void noise_lines_neon(int32_t* out, int n, int16_t energy, uint32_t seed);
// The scale of a draw whose sum of squares is e > 0: each value is
// v g / 2^shift, rounded half up (fx::mul_shift_sat); noise_scale applies it
// to n values. With shift 15..62 nothing saturates and the product with its
// rounding term stays within 64 bits: the variants' own steps take those.
struct NoiseGain {
    int32_t g;
    int shift;
};
NoiseGain noise_gain(int64_t e, int16_t energy);
void noise_scale(const int16_t* v, int n, NoiseGain gain, int32_t* out);

// The TNS filters of one window over its spectrum (max_sfb bands, ending at
// window_swb_top), in place.
void tns_window_filters(int32_t* spectrum, int max_sfb, const int16_t* window_swb_top, TnsLimits limits,
                        const TnsWindow* tns_window);

// The exact arithmetic's all-pole filter, the reference of the kernel
// table's tns_filter: y[n] = x[n] - sum over j = 1..order of a[j] y[n - j]
// over size lines from spectrum, upward (inc = 1) or downward from
// spectrum[size - 1] (inc = -1), in place, order <= kTnsMaxOrder, a in Q24:
// the sum of the 64-bit products (modulo 2^64) rounded once (half up) from
// Q24 and saturated to 32 bits, then subtracted with saturation. The NEON
// variant (dsp/arm/tns_neon.cpp) takes two taps an instruction.
constexpr int kTnsMaxOrder = 20;
void tns_ar_q24(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order);
void tns_ar_q24_neon(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order);
// x86: SSE4.1 (dsp/x86/tns_sse41.cpp) and AVX2 (dsp/x86/tns_avx2.cpp), the
// last twelve outputs in registers.
void tns_ar_q24_sse41(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order);
void tns_ar_q24_avx2(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order);

// Adjusts the mid/side mask and the right channel's codebooks where mid/side
// meets intensity or noise coding.
void kvxdec_map_mask(const BandInfo* band, const uint8_t* windowGroups, uint8_t* msMask,
                     uint8_t* sectCodebook_right);
// Mid/side butterfly over the masked bands.
void kvxdec_synt(int16_t num_windows, const int32_t* num_swb, const int16_t* const* window_swb_top,
                 const int16_t* window_bins, const uint8_t* windowGroups, const uint8_t* msMask,
                 int32_t* coef_right, int32_t* coef_left);

// left = sat32(l + r), right = sat32(l - r) over n lines: the mid/side
// butterfly, the reference of the kernel table's mid_side; the variants
// take four lines a register, SSE4.1 (dsp/x86/tools_sse41.cpp) and NEON
// (dsp/arm/tools_neon.cpp).
void mid_side_lines(int32_t* left, int32_t* right, int n);
void mid_side_lines_sse41(int32_t* left, int32_t* right, int n);
void mid_side_lines_avx2(int32_t* left, int32_t* right, int n);  // eight lines a register
void mid_side_lines_neon(int32_t* left, int32_t* right, int n);

// Reflection coefficients (indices at coef_res bits) to lpc[0..order], the
// 16-bit LPC filter in block floating point: lpc[0] = 16384 * 2^-e stands
// for 1.0.
void kvxdec_tns_decode_coef(int order, int32_t coef_res, const int16_t* coef_index, int16_t* lpc);
// The all-pole filter over size lines from spectrum, upward (inc = 1) or downward
// from spectrum[size - 1] (inc = -1). scratch is not needed.
void kvxdec_tns_ar_filter(int32_t* spectrum, int32_t* scratch, int size, int inc, const int16_t* lpc, int order);

