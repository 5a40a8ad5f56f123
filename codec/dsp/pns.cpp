// Perceptual noise substitution: noise bands get pseudo-random values of the
// transmitted energy. The only floating-point code of the decoder.
// Compact: single precision for the random vector and its scaling, double
// precision for the square root; a 16-bit level table; the output limited
// to 16-bit values.
// Exact: the same random values, scaled in double precision (exact sums,
// correctly rounded square root and division, a power of two from a Q31
// mantissa, so every architecture gets the same bits) to a root-sum-square
// of 2^(energy / 4) in the standard's units (2^((energy + 20) / 4)
// coefficient units), rounded and saturated to 32 bits.
#include <cmath>

#include "dsp/band_walk.h"
#include "dsp/arithmetic.h"
#include "dsp/fixed.h"
#include "dsp/tools.h"
#include "tables/exact_tables.h"
#include "tables/tools_tables.h"

// Generator state: one value for the whole process, never reset; every noise
// line advances it once.
uint32_t pns_seed = 0;

namespace {

// The widest band of any band table has 96 lines.
constexpr int kMaxNoiseLines = 96;

void fill_noise_exact(int32_t* out, int n, int16_t energy) {
    double v[kMaxNoiseLines];
    double e = 0;
    for (int i = 0; i < n; ++i) {
        pns_seed = pns_seed * 1664525u + 1013904223u;
        v[i] = static_cast<int16_t>(static_cast<uint16_t>(pns_seed));
        e += v[i] * v[i];
    }
    if (e == 0) {  // an all-zero draw stays zero
        for (int i = 0; i < n; ++i) out[i] = 0;
        return;
    }
    // 2^(t/4) = gain_q31[t mod 4] * 2^(floor(t/4) - 30); beyond 2^40 every
    // value saturates anyway.
    const int t = energy + 20;
    const int q = fx::asr(t, 2) > 40 ? 40 : fx::asr(t, 2);
    const double g = std::ldexp(static_cast<double>(gain_q31[t & 3]), q - 30) / std::sqrt(e);
    for (int i = 0; i < n; ++i) {
        const double x = std::floor(v[i] * g + 0.5);
        out[i] = x >= 2147483647.0 ? INT32_MAX : (x <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(x));
    }
}

void fill_noise(int32_t* out, int n, int16_t energy) {
    if constexpr (kExactArithmetic) return fill_noise_exact(out, n, energy);
    float v[kMaxNoiseLines];
    float e = 0.0f;
    for (int i = 0; i < n; ++i) {
        pns_seed = pns_seed * 1664525u + 1013904223u;
        v[i] = static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(pns_seed)));
        e = e + v[i] * v[i];
    }
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
                 const int16_t* scaleFactors, int32_t* out) {
    for_each_band(band, windowGroups, [&](int set, int sf_row, int b, int first, int end) {
        const uint8_t cb = sectCodebook[set + b];
        if (cb != 13 && cb != kNoiseMsMarked) return;
        const int n = end - first;
        if (n <= 0 || n > kMaxNoiseLines) return;
        fill_noise(out + first, n, scaleFactors[sf_row + b]);
    });
}
