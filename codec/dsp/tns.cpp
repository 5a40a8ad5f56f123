// Temporal noise shaping: the transmitted reflection coefficients become a
// 16-bit LPC filter in block floating point, and an all-pole filter runs
// over the filter's range of lines, upward or downward, in place.
//
// Input and output: the 32-bit coefficient format. The filter's products are
// high-half 32 x 16 products; its output wraps on 32-bit overflow.
#include "dsp/tools.h"

#include <cstring>

#include "dsp/arithmetic.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "tables/exact_tables.h"
#include "tables/tools_tables.h"

namespace {

constexpr int kMaxOrderMain = kTnsMaxOrder;

// The Q15 reflection coefficient of a transmitted index.
int16_t reflection(int16_t index, int32_t coef_res) {
    const int c = index < -8 ? -8 : (index > 7 ? 7 : index);
    const int r = coef_res == 3 ? 3 : 4;
    return kvxdec_inv_quant_coefs[4 * (c + 8) + 2 * (r - 3) + (c <= 0 ? 1 : 0)];
}

inline int clz_abs(int32_t v) {
    return fx::clz32(v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v));
}

// Exact: reflection coefficients (Q31) to the filter a[1..order] in Q24,
// each step-up product rounded once, saturated at +-128.
void lpc_q24(int order, int32_t coef_res, const int16_t* coef_index, int32_t* a_q24) {
    int32_t prev_q24[kMaxOrderMain + 1];
    for (int m = 1; m <= order; ++m) {
        const int c = coef_index[m - 1] < -8 ? -8 : (coef_index[m - 1] > 7 ? 7 : coef_index[m - 1]);
        const int32_t k_q31 = tns_refl_q31[2 * (c + 8) + (coef_res == 3 ? 0 : 1)];
        for (int i = 1; i < m; ++i) prev_q24[i] = a_q24[i];
        for (int i = 1; i < m; ++i) a_q24[i] = fx::add_sat(prev_q24[i], fx::mul_q31(k_q31, prev_q24[m - i]));
        a_q24[m] = fx::rshr64_sat(k_q31, 7);
    }
}

}  // namespace

#if AAC_ARITHMETIC_EXACT
// Exact: y[n] = x[n] - sum_j a[j] y[n-j], the sum of 64-bit products
// rounded once from Q24, saturated.
void tns_ar_q24(int32_t* spectrum, int size, int inc, const int32_t* a_q24, int order) {
    int32_t hist[2 * kTnsMaxOrder] = {};  // hist[p + kTnsMaxOrder - j] = y[n - j]
    int p = 0;
    int32_t* x = inc > 0 ? spectrum : spectrum + size - 1;
    for (int n = 0; n < size; ++n, x += inc) {
        int64_t acc = 0;
        for (int j = 1; j <= order; ++j) acc = fx::mac64(acc, hist[p + kTnsMaxOrder - j], a_q24[j]);
        const int32_t y = fx::sub_sat(*x, fx::rshr64_sat(acc, 24));  // QSUB on ARM
        *x = y;
        hist[p] = hist[p + kTnsMaxOrder] = y;
        p = p + 1 == kTnsMaxOrder ? 0 : p + 1;
    }
}
#endif

void kvxdec_tns_decode_coef(int order, int32_t coef_res, const int16_t* coef_index, int16_t* lpc) {
    int32_t acc[32] = {};
    int16_t work[32] = {};
    acc[0] = work[0] = 16384;
    for (int m = 1; m <= order; ++m) {
        const int32_t k_q15 = reflection(coef_index[m - 1], coef_res);
        // Step-up: a_m[i] = a_(m-1)[i] + k_m * a_(m-1)[m-i], in the current scale.
        for (int i = 1; i < m; ++i) acc[i] = fx::add_sat(acc[i], fx::mul16_q15(static_cast<int16_t>(k_q15), work[m - i]));
        acc[m] = fx::asr(k_q15, clz_abs(acc[0]) - 16);
        // Renormalise so that every value fits 16 bits.
        int h = 31;
        for (int j = 0; j <= m; ++j)
            if (acc[j] != 0 && clz_abs(acc[j]) - 1 < h) h = clz_abs(acc[j]) - 1;
        if (h < 16)
            for (int j = 0; j <= m; ++j) acc[j] = fx::asr(acc[j], 16 - h);
        for (int j = 0; j <= m; ++j) work[j] = fx::sat16(acc[j]);
    }
    std::memcpy(lpc, work, static_cast<size_t>(order + 1) * sizeof(int16_t));
}

// y[n] = x[n] - sum_j P(y[n-j], lpc[j]) * 2^s, s = clz(lpc[0]) - 15, so that
// lpc[j] / lpc[0] are the filter's coefficients. The history of outputs is
// kept in a local window twice its size (each output written twice), so no
// scratch from outside is needed.
void kvxdec_tns_ar_filter(int32_t* spectrum, int32_t* scratch, int size, int inc, const int16_t* lpc, int order) {
    (void)scratch;
    const int s = fx::clz32(static_cast<uint32_t>(lpc[0])) - 15;
    int32_t hist[64] = {};  // hist[p + 32 - j] = y[n - j] for j = 1..32
    int p = 0;
    int32_t* x = inc > 0 ? spectrum : spectrum + size - 1;
    for (int n = 0; n < size; ++n, x += inc) {
        int32_t acc = 0;
        for (int j = 1; j <= order; ++j) acc = fx::add_wrap(acc, fx::mul32x16_hi(hist[p + 32 - j], lpc[j]));
        const int32_t y = fx::sub_wrap(*x, fx::shl_wrap(acc, s));
        *x = y;
        hist[p] = hist[p + 32] = y;
        p = (p + 1) & 31;
    }
}

void tns_window_filters(int32_t* spectrum, int max_sfb, const int16_t* window_swb_top, TnsLimits limits,
                        const TnsWindow* tns_window) {
    // The kernel's own bound: no filter longer than the main profile's.
    const int max_order = limits.max_order < kMaxOrderMain ? limits.max_order : kMaxOrderMain;
    const int32_t max_bands = limits.max_bands;
    const int n_filt = tns_window->n_filt < 3 ? tns_window->n_filt : 3;
    for (int f = 0; f < n_filt; ++f) {
        const TnsFilter& filt = tns_window->filt[f];
        const int order = filt.order < max_order ? filt.order : max_order;
        if (order <= 0) continue;
        auto clamp = [&](int32_t band) {
            if (band > max_bands) band = max_bands;
            if (band > max_sfb) band = max_sfb;
            return band;
        };
        const int32_t start = clamp(filt.start_band), stop = clamp(filt.stop_band);
        const int first = start > 0 ? window_swb_top[start - 1] : 0;
        const int end = stop > 0 ? window_swb_top[stop - 1] : 0;
        if (end - first <= 0) continue;
        if constexpr (kExactArithmetic) {
            int32_t a_q24[kMaxOrderMain + 1];
            lpc_q24(order, tns_window->coef_res, filt.coef, a_q24);
            kernels.tns_filter(spectrum + first, end - first, filt.direction ? -1 : 1, a_q24, order);
        } else {
            int16_t lpc[32];
            kvxdec_tns_decode_coef(order, tns_window->coef_res, filt.coef, lpc);
            kvxdec_tns_ar_filter(spectrum + first, nullptr, end - first,
                                 filt.direction ? -1 : 1, lpc, order);
        }
    }
}
