#include "sbr/dequant.h"

#include "dsp/fixed.h"
#include "dsp/words.h"
#include "tables/sbr_tables.h"

namespace {

constexpr int32_t kOne = 1 << 16;  // 1.0 in Q16

// round(2^16 * log2(1 + 2^(-k / 2))), k = 0..35; 0 beyond.
constexpr int kLog1pHalfSteps = 36;
constexpr int32_t kLog1pExp2Half[kLog1pHalfSteps] = {
    65536, 50565, 38336, 28623, 21098, 15391, 11136, 8008, 5732, 4089, 2909, 2066,
    1466,  1039,  736,   521,   369,   261,   184,   130,  92,   65,   46,   33,
    23,    16,    12,    8,     6,     4,     3,     2,     1,    1,    1,    1,
};

int clamp_count(int32_t n, int hi) { return n < 0 ? 0 : (n > hi ? hi : n); }

}  // namespace

int32_t sbr_log2_1p_exp2_half(int32_t h) {
    // log2(1 + 2^x) = max(x, 0) + log2(1 + 2^-|x|).
    const int32_t mag = h < 0 ? -h : h;
    const int32_t tail = mag < kLog1pHalfSteps ? kLog1pExp2Half[mag] : 0;
    return (h > 0 ? h * (kOne / 2) : 0) + tail;
}

void sbr_dequantize(const SbrChannelFrame& level, const SbrChannelFrame* balance, int which,
                    const SbrFreqTables& t, SbrDequant* out) {
    words::zero_words(&out->env_log2[0][0], kSbrMaxEnvelopes * kSbrMaxMasterBands);
    words::zero_words(&out->noise_log2[0][0], kSbrMaxNoiseEnvelopes * kSbrMaxNoiseBands);
    const int amp_res = level.amp_res ? 1 : 0;
    const int32_t a = sbr_env_a[amp_res];            // 2 or 1
    const int32_t half_steps = 2 / a;                // half-integers per quantizer step
    const int32_t env_base = kSbrEnvLog2Base;
    const int32_t sign = which ? -1 : 1;             // the second channel mirrors the balance
    const int num_env = clamp_count(level.grid.num_env, kSbrMaxEnvelopes);
    for (int l = 0; l < num_env; ++l) {
        const int n = clamp_count(level.grid.freq_res[l] ? t.n_high : t.n_low, kSbrMaxMasterBands);
        for (int k = 0; k < n; ++k) {
            // E / a in Q16: E * 2^16 / a, exact for a = 1 or 2.
            const int32_t e = level.env[l][k] * (kOne / a);
            if (!balance) {
                out->env_log2[l][k] = env_base * kOne + e;
            } else {
                const int32_t h = sign * (sbr_pan_offset_env[amp_res] - balance->env[l][k]) * half_steps;
                out->env_log2[l][k] = (env_base + 1) * kOne + e - sbr_log2_1p_exp2_half(h);
            }
        }
    }
    const int num_noise = clamp_count(level.grid.num_noise, kSbrMaxNoiseEnvelopes);
    const int nq = clamp_count(t.n_q, kSbrMaxNoiseBands);
    for (int l = 0; l < num_noise; ++l) {
        for (int k = 0; k < nq; ++k) {
            const int32_t q = (sbr_noise_floor_offset - level.noise[l][k]) * kOne;
            if (!balance) {
                out->noise_log2[l][k] = q;
            } else {
                const int32_t h = sign * (sbr_pan_offset_noise - balance->noise[l][k]) * 2;
                out->noise_log2[l][k] = q + kOne - sbr_log2_1p_exp2_half(h);
            }
        }
    }
}
