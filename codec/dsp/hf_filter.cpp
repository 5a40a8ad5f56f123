// The SBR high-frequency generator's filter, portable reference (see
// dsp/hf_filter.h).
#include "dsp/hf_filter.h"

#include "sbr/hfgen.h"

static_assert(kHfFilterQ == kSbrLpcQ, "the filter's coefficients are the generator's");

void sbr_hf_filter_c(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                     int y_stride, int count, const int32_t* coef, int shift) {
    for (int l = 0; l < count; ++l) hf_filter::row(x_re, x_im, x_stride, y_re, y_im, y_stride, l, coef, shift);
}
