#include "dsp/dequant.h"

#include "dsp/fixed.h"
#include "tables/dequant_tables.h"

namespace {

// 2^13 * a^(4/3) for 1 <= a <= 32767 (wrapping for a above about 11585).
inline int32_t pow43(int32_t a) {
    const int p = 31 - fx::clz32(static_cast<uint32_t>(a));  // leading one, 0..14
    const int e = 14 - p;
    const int i = ((a << e) >> 7) - 128;  // seven bits below the leading one
    const int32_t m = aacdec_mant_4_3[i];
    if (e < 4) return fx::shl_wrap(m * aacdec_exp_4_3h[e], 3);
    return fx::asr(m * aacdec_exp_4_3l[e], 2);
}

inline int32_t scale(int32_t t, int16_t mant, int16_t exp) {
    const int32_t u = fx::mul32x16_hi(t, mant);
    return exp >= 0 ? fx::shl_wrap(u, exp) : fx::asr(u, -exp);
}

// One non-zero value with its band's gain; negation after the shifts, so
// negative values mirror positive ones. -32768 only comes from a malformed
// escape; it is taken as -32767.
inline int32_t dequant(int16_t q, int16_t mant, int16_t exp) {
    const int32_t a = q < 0 ? (q == INT16_MIN ? 32767 : -q) : q;
    const int32_t x = scale(pow43(a), mant, exp);
    return q < 0 ? fx::neg_wrap(x) : x;
}

}  // namespace

int32_t aacdec_dequant_value(int16_t q, int sf) {
    return q == 0 ? 0 : dequant(q, kvxdec_pow2_table_mant[sf], kvxdec_pow2_table_exp[sf]);
}

void kvxdec_DequantizeGains(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                            const int16_t* quant_in, const int16_t* scaleFactors,
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
            const int16_t mant = kvxdec_pow2_table_mant[sf];
            const int16_t exp = kvxdec_pow2_table_exp[sf];
            for (const int end = base + top[b]; pos < end; ++pos) {
                const int16_t q = quant_in[pos];
                coef_out[pos] = q == 0 ? 0 : dequant(q, mant, exp);
            }
        }
    }
}
