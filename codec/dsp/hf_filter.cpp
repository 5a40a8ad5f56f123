// The SBR high-frequency generator's kernels, portable references (see
// dsp/hf_filter.h).
#include "dsp/hf_filter.h"

#include "sbr/hfgen.h"

static_assert(kHfFilterQ == kSbrLpcQ, "the filter's coefficients are the generator's");

void sbr_hf_filter_c(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride, int count,
                     int n, const int32_t* coef, const uint8_t* shift) {
    for (int c = 0; c < n; ++c) {
        const int32_t a[4] = {coef[c], coef[c + kHfCoefRow], coef[c + 2 * kHfCoefRow], coef[c + 3 * kHfCoefRow]};
        for (int l = 0; l < count; ++l)
            hf_filter::row(x_re + c, x_im + c, stride, y_re + c, y_im + c, stride, l, a, shift[c]);
    }
}

void sbr_hf_covariance_c(const int32_t* yr, const int32_t* yi, int n, int64_t* phi) {
    for (int i = 0; i < 8; ++i) phi[i] = 0;
    for (int m = 0; m < n; ++m) hf_filter::covariance_term(yr, yi, m, phi);
}

void sbr_hf_covariances_c(const int32_t* re, const int32_t* im, int stride, int rows, int n, const int8_t* shift,
                          int64_t (*phi)[8]) {
    int32_t yr[kHfCovRows], yi[kHfCovRows];
    for (int c = 0; c < n; ++c) {
        sbr_hf_scale_c(re + c, im + c, stride, rows, shift[c], yr, yi);
        sbr_hf_covariance_c(yr, yi, rows - 2, phi[c]);
    }
}

void sbr_hf_magnitudes_c(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any) {
    // A column at a time, two rows a step into two words.
    for (int c = 0; c < n; ++c) {
        const int32_t* r = re + c;
        const int32_t* i = im + c;
        uint32_t m = 0, m2 = 0;
        int l = 0;
        for (; l + 2 <= rows; l += 2, r += 2 * stride, i += 2 * stride) {
            m |= hf_filter::magnitude(r[0]) | hf_filter::magnitude(i[0]);
            m2 |= hf_filter::magnitude(r[stride]) | hf_filter::magnitude(i[stride]);
        }
        if (l < rows) m |= hf_filter::magnitude(*r) | hf_filter::magnitude(*i);
        any[c] |= m | m2;
    }
}

void sbr_hf_scale_c(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi) {
    // The shift's direction chosen once for the run.
    if (s > 0) {
        for (int l = 0; l < n; ++l, re += stride, im += stride) yr[l] = fx::rshr(*re, s), yi[l] = fx::rshr(*im, s);
    } else if (s == 0) {
        for (int l = 0; l < n; ++l, re += stride, im += stride) yr[l] = *re, yi[l] = *im;
    } else {
        for (int l = 0; l < n; ++l, re += stride, im += stride)
            yr[l] = fx::shl_sat(*re, -s), yi[l] = fx::shl_sat(*im, -s);
    }
}
