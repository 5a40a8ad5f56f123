// Perceptual noise substitution: noise bands get pseudo-random values of the
// transmitted energy. The only floating-point code of the decoder: single
// precision for the random vector and its scaling, double precision for the
// square root. Output: the coefficient format, limited to 16-bit values.
#include <cmath>

#include "dec/band_walk.h"
#include "dsp/fixed.h"
#include "dsp/tools.h"
#include "tables/tools_tables.h"

// Generator state: one value for the whole process, never reset; every noise
// line advances it once.
uint32_t aacdec_pns_seed = 0;

namespace {

// The widest band of any band table has 96 lines.
constexpr int kMaxNoiseLines = 96;

void fill_noise(int32_t* out, int n, int16_t energy) {
    float v[kMaxNoiseLines];
    float e = 0.0f;
    for (int i = 0; i < n; ++i) {
        aacdec_pns_seed = aacdec_pns_seed * 1664525u + 1013904223u;
        v[i] = static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(aacdec_pns_seed)));
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

void aacdec_pns(MC_Info* mi, const BandInfo* band, int w, int c, const uint8_t* windowGroups,
                const uint8_t* sectCodebook, const int16_t* scaleFactors, const int32_t* predUsed,
                int32_t* const* coef) {
    (void)mi;
    (void)w;
    (void)predUsed;
    int32_t* out = coef[c];
    for_each_band(band, windowGroups, [&](int set, int sf_row, int b, int first, int end) {
        const uint8_t cb = sectCodebook[set + b];
        if (cb != 13 && cb != kNoiseMsMarked) return;
        const int n = end - first;
        if (n <= 0 || n > kMaxNoiseLines) return;
        fill_noise(out + first, n, scaleFactors[sf_row + b]);
    });
}
