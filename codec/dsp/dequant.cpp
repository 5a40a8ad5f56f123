#include "dsp/dequant.h"

#include "dsp/arithmetic.h"
#include "dsp/fixed.h"
#include "tables/dequant_tables.h"
#include "tables/exact_tables.h"

namespace {

// 2^13 * a^(4/3) for 1 <= a <= 32767 (wrapping for a above about 11585).
inline int32_t pow43(int32_t a) {
    const int p = 31 - fx::clz32(static_cast<uint32_t>(a));  // leading one, 0..14
    const int e = 14 - p;
    const int i = ((a << e) >> 7) - 128;  // seven bits below the leading one
    const int32_t m = aacdec_mant_4_3[i];
    if (e < 4) return fx::shl_wrap(fx::mul_wrap(m, aacdec_exp_4_3h[e]), 3);
    return fx::asr(fx::mul_wrap(m, aacdec_exp_4_3l[e]), 2);
}

inline int32_t scale(int32_t t, int16_t mant_q15, int16_t exp) {
    const int32_t u = fx::mul32x16_hi(t, mant_q15);
    return exp >= 0 ? fx::shl_wrap(u, exp) : fx::asr(u, -exp);
}

// The gain of a band: compact, a 16-bit mantissa and a shift of the
// scale-factor table; exact, 2^((sf - 80) / 4) = 2 * gain_q31[r] / 2^31 * 2^e
// with sf - 80 = 4 e + r.
struct Gain {
    int32_t mant;
    int exp;
};
inline Gain band_gain(int sf) {
    if constexpr (kExactArithmetic) {
        const int t = sf - 80;
        return {gain_q31[t & 3], fx::asr(t, 2)};
    } else {
        return {kvxdec_pow2_table_mant[sf], kvxdec_pow2_table_exp[sf]};
    }
}

// Exact: a^(4/3) = v * 2^(e - 18). Up to 512 from the table; above, a =
// (m + f / 2^j) * 2^j with m of nine bits, linear interpolation between
// m and m + 1, times 2^(4j/3) = 2^(j + j/3) * 2^((j mod 3) / 3).
inline int32_t pow43_exact(int32_t a, int& e) {
    if (a <= 512) {
        e = 0;
        return pow43_q18[a];
    }
    const int j = 31 - fx::clz32(static_cast<uint32_t>(a)) - 8;  // 1..6
    const int m = a >> j;
    const int32_t f = a & ((1 << j) - 1);
    const int32_t lo = pow43_q18[m];
    const int32_t v = lo + fx::mul_shift_sat(pow43_q18[m + 1] - lo, f, j);
    e = j + j / 3;
    return fx::mul_shift_sat(v, cbrt2_q30[j % 3], 30);
}

// One non-zero value with its band's gain; negation after the shifts, so
// negative values mirror positive ones. -32768 only comes from a malformed
// escape; it is taken as -32767. Exact: one rounded product, saturated.
inline int32_t dequant(int16_t q, Gain g) {
    const int32_t a = q < 0 ? (q == INT16_MIN ? 32767 : -q) : q;
    int32_t x;
    if constexpr (kExactArithmetic) {
        int e;
        const int32_t v = pow43_exact(a, e);
        x = fx::mul_shift_sat(v, g.mant, 48 - e - g.exp);
    } else {
        x = scale(pow43(a), static_cast<int16_t>(g.mant), static_cast<int16_t>(g.exp));
    }
    return q < 0 ? fx::neg_wrap(x) : x;
}

}  // namespace

int32_t dequant_value(int16_t q, int sf) {
    return q == 0 ? 0 : dequant(q, band_gain(sf));
}

void kvxdec_DequantizeGains(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                            const int16_shared* quant_in, const int16_t* scaleFactors,
                            const int16_t* const* window_swb_top) {
    int pos = 0;
    for (int w = 0; w < num_windows; ++w) {
        const int16_t* top = window_swb_top[w];
        const int base = pos;
        for (int b = 0; b < num_swb[w]; ++b) {
            // Only spectral bands carry non-zero values; their scale factors
            // lie in 0..255. The clamp keeps malformed streams (pulses in an
            // intensity or noise band) inside the tables.
            int sf = *scaleFactors++;
            sf = sf < 0 ? 0 : (sf > 255 ? 255 : sf);
            const Gain g = band_gain(sf);
            const int end = base + top[b];
            // Bands of zeros (no spectral data, or all values zero) are common
            // at the top of the spectrum: one test over the band, then a fill.
            // The values are all read before the first store, which may land
            // on them.
            int16_t any = 0;
            for (int i = pos; i < end; ++i) any = static_cast<int16_t>(any | quant_in[i]);
            if (any == 0) {
                for (; pos < end; ++pos) coef_out[pos] = 0;
                continue;
            }
            if constexpr (kExactArithmetic) {
                // Values up to 512 (nearly all) in one table read and one
                // rounded product with the band's shift.
                const int shift = 48 - g.exp;
                if (shift >= 1 && shift <= 62) {
                    for (; pos < end; ++pos) {
                        const int16_t q = quant_in[pos];
                        if (q == 0) {
                            coef_out[pos] = 0;
                            continue;
                        }
                        const int32_t a = q < 0 ? -static_cast<int32_t>(q) : q;
                        if (a > 512) {
                            coef_out[pos] = dequant(q, g);
                            continue;
                        }
                        const int32_t x = fx::rshr64_sat(fx::mac64(0, pow43_q18[a], g.mant), shift);
                        coef_out[pos] = q < 0 ? fx::neg_wrap(x) : x;
                    }
                    continue;
                }
            }
            for (; pos < end; ++pos) {
                const int16_t q = quant_in[pos];
                coef_out[pos] = q == 0 ? 0 : dequant(q, g);
            }
        }
    }
}
