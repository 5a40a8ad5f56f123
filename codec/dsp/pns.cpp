// Perceptual noise substitution: noise bands get pseudo-random values of the
// transmitted energy.
// Compact: single precision for the random vector and its scaling, double
// precision for the square root (the only floating-point code of that
// arithmetic); a 16-bit level table; the output limited to 16-bit values.
// Exact: the same random values, scaled in integers (an exact sum of
// squares, its inverse square root to 26 bits, a Q31 gain mantissa and a
// power of two) to a root-sum-square of 2^(energy / 4) in the standard's
// units (2^((energy + 20) / 4) coefficient units), rounded and saturated to
// 32 bits. No floating point: the same on every processor, fast without an
// FPU.
#include <bit>
#include <cmath>

#include "dsp/band_walk.h"
#include "dsp/arithmetic.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/tools.h"
#include "tables/exact_tables.h"
#include "tables/tools_tables.h"

namespace {

// 1 / sqrt(e) for e > 0, as y * 2^(k/2 - 31) with y in Q30 (0.5 < y <= 1)
// and k even: e << k lies in [2^62, 2^64), x = (e << k) / 2^62 in [1, 4),
// y = 1 / sqrt(x) from a table seed good to 1/128 and two Newton steps
// y' = y (3 - x y^2) / 2, which leave a relative error below 2^-26.
struct InvRoot {
    int32_t y_q30;
    int k;
};

InvRoot inverse_root(uint64_t e) {
    const int k = fx::clz64(e) & ~1;
    const int32_t x_q29 = static_cast<int32_t>((e << k) >> 33);  // x in Q29
    int32_t y = rsqrt_q30[(x_q29 >> 24) - 32];
    for (int step = 0; step < 2; ++step) {
        const int32_t y2_q29 = fx::mul_q31(y, y);
        const int32_t xy2_q29 = fx::rshr64(fx::mac64(0, x_q29, y2_q29), 29);
        y = fx::rshr64(fx::mac64(0, y, (3 << 29) - xy2_q29), 30);
    }
    return {y, k};
}

// noise_gain and noise_scale, inline in the reference.
__attribute__((always_inline)) inline NoiseGain gain_of(int64_t e, int16_t energy) {
    // v 2^(t/4) / sqrt(e): 2^(t/4) = gain_q31[t mod 4] 2^(floor(t/4) - 30)
    // (beyond 2^40 every value saturates anyway), 1 / sqrt(e) as above, so
    // with g = gain y / 2^31 (below 2^30) each value is v g 2^(q - 60 + k/2).
    const int t = energy + 20;
    const int q = fx::asr(t, 2) > 40 ? 40 : fx::asr(t, 2);
    const InvRoot r = inverse_root(static_cast<uint64_t>(e));
    return {fx::rshr64(fx::mac64(0, gain_q31[t & 3], r.y_q30), 31), 60 - q - r.k / 2};
}

__attribute__((always_inline)) inline void scale(const int16_t* v, int n, NoiseGain gain, int32_t* out) {
    const int32_t g = gain.g;
    const int shift = gain.shift;
    // The usual levels: |v g| <= 2^45, so nothing saturates from a shift of
    // 15 on. Above 32 the rounding term, 2^(s-33) in the product's high
    // word, adds to that word alone (the low word cannot carry into it and
    // change the shifted value): a product, an addition and a shift. Below,
    // one multiply-add onto the rounding term and a shift of the high word
    // (32) or of the pair.
    if (shift > 32 && shift <= 62) {
        const int32_t half = 1 << (shift - 33);
        for (int i = 0; i < n; ++i)
            out[i] = fx::asr(fx::add_wrap(fx::asr64_hi(fx::mac64(0, v[i], g), 0), half), shift - 32);
        return;
    }
    if (shift == 32) {
        const int64_t bias = fx::round_bias64(shift);
        for (int i = 0; i < n; ++i) out[i] = fx::asr64_hi(fx::mac64(bias, v[i], g), 0);
        return;
    }
    if (shift >= 15 && shift < 32) {
        const int64_t bias = fx::round_bias64(shift);
        for (int i = 0; i < n; ++i) out[i] = fx::asr64_lo(fx::mac64(bias, v[i], g), shift);
        return;
    }
    for (int i = 0; i < n; ++i) out[i] = fx::mul_shift_sat(v[i], g, shift);
}

}  // namespace

NoiseGain noise_gain(int64_t e, int16_t energy) { return gain_of(e, energy); }
void noise_scale(const int16_t* v, int n, NoiseGain gain, int32_t* out) { scale(v, n, gain, out); }

void noise_lines_exact(int32_t* out, int n, int16_t energy, uint32_t seed) {
    int16_t v[kMaxNoiseLines];
    int64_t e = 0;  // at most 96 * 2^30
    for (int i = 0; i < n; ++i) {
        seed = seed * kNoiseMul + kNoiseAdd;
        v[i] = fx::wrap16(static_cast<int32_t>(seed));
        e = fx::mac64(e, v[i], v[i]);
    }
    if (e == 0) {  // an all-zero draw stays zero
        for (int i = 0; i < n; ++i) out[i] = 0;
        return;
    }
    scale(v, n, gain_of(e, energy), out);
}

namespace {

void fill_noise(int32_t* out, int n, int16_t energy, uint32_t* state) {
    float v[kMaxNoiseLines];
    float e = 0.0f;
    uint32_t seed = *state;
    for (int i = 0; i < n; ++i) {
        seed = seed * kNoiseMul + kNoiseAdd;
        v[i] = static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(seed)));
        e = e + v[i] * v[i];
    }
    *state = seed;
    // Normalised to a root-sum-square of 2 (an all-zero draw stays zero).
    const float g = e > 0.0f ? 2048.0f / static_cast<float>(std::sqrt(static_cast<double>(e)) * 1024.0) : 0.0f;
    // Energies outside the table are held at its ends.
    const int index = energy < 0 ? 0 : (energy > 119 ? 119 : energy);
    const float p = static_cast<float>(kvxdec_powTwo_fac_4[index]);
    for (int i = 0; i < n; ++i) {
        const float t = (v[i] * g) * p;  // |t| <= 2 * 32767: fits the conversion
        out[i] = fx::wrap16(static_cast<int32_t>(t));
    }
}

}  // namespace

void noise_bands(const BandInfo* band, const uint8_t* windowGroups, const uint8_t* sectCodebook,
                 const int16_t* scaleFactors, uint32_t* seed, int32_t* out, int energy_offset) {
    // Many channels have no noise band: a look over the codebooks (one byte
    // a band of each group; from the top, where noise bands lie) spares them
    // the walk over every window's bands.
    int i = 0;
    for_each_group(band, windowGroups, [&i](int, int, int n, int) { i += n; });
#if defined(__x86_64__)
    // Eight codebook bytes a step: bit 7 of each byte set where the band is
    // a noise one, for the count bytes from at on (the 128 codebook bytes
    // hold every step). A long window's bands are then taken
    // from these bits in order, without a branch on each band, which is
    // mispredicted where noise and other bands alternate.
    const auto noise_bits = [sectCodebook](int at, int count) {
        return bytes_equal_either(sectCodebook + at, count, 13, kNoiseMsMarked);
    };
    uint64_t any = 0;
    for (int at = 0; at < i; at += 8) any |= noise_bits(at, i - at);
    if (!any) return;
#else
    while (i > 0 && sectCodebook[i - 1] != 13 && sectCodebook[i - 1] != kNoiseMsMarked) --i;
    if (i == 0) return;
#endif
    uint32_t state = *seed;
    const auto noise_band = [&](int set, int sf_row, int b, int first, int end) {
        const int n = end - first;
        if (n <= 0 || n > kMaxNoiseLines) return;
        if constexpr (kExactArithmetic) {
            // Exact: each noise band's generator starts from a hash of the
            // channel (the salt in *seed), the band's place and energy and
            // the four lines below it as this block has them, so the noise
            // depends on the block alone.
            uint32_t h = (2166136261u ^ *seed) * 16777619u;
            h = (h ^ static_cast<uint32_t>(set + b) ^ static_cast<uint32_t>(static_cast<uint16_t>(scaleFactors[sf_row + b])) << 16) * 16777619u;
            for (int k = first - 4 < 0 ? 0 : first - 4; k < first; ++k) h = (h ^ static_cast<uint32_t>(out[k])) * 16777619u;
            kernels.noise_lines(out + first, n, static_cast<int16_t>(scaleFactors[sf_row + b] + energy_offset), h);
        } else {
            fill_noise(out + first, n, scaleFactors[sf_row + b], &state);
        }
    };
    const auto is_noise = [sectCodebook](int k) {
        return sectCodebook[k] == 13 || sectCodebook[k] == kNoiseMsMarked;
    };
    if (band->num_windows == 1 && windowGroups[0] >= 1) {
        // A long window (in its one group): its bands up to the last noise
        // band (i), each a codebook byte; the lines of band b end at top[b].
        const int16_t* top = band->window_swb_top[0];
#if defined(__x86_64__)
        for (int at = 0; at < i; at += 8)
            for (uint64_t m = noise_bits(at, i - at); m; m &= m - 1) {
                const int b = at + std::countr_zero(m) / 8;
                noise_band(0, 0, b, b == 0 ? 0 : top[b - 1], top[b]);
            }
#else
        for (int b = 0; b < i; ++b)
            if (is_noise(b)) noise_band(0, 0, b, b == 0 ? 0 : top[b - 1], top[b]);
#endif
    } else {
        for_each_band(band, windowGroups, [&](int set, int sf_row, int b, int first, int end) {
            if (is_noise(set + b)) noise_band(set, sf_row, b, first, end);
        });
    }
    if (!kExactArithmetic) *seed = state;
}
