// The downmix's sums of SBR subband samples (dsp/mix_rows.h).
#include "dsp/mix_rows.h"

#include "dsp/fixed.h"

void mix_rows_q30(int32_t* sum, const int32_t* x, int rows, int width, int32_t gain) {
    for (int r = 0; r < rows; ++r, sum += 64, x += 64)
        for (int k = 0; k < width; ++k) sum[k] = fx::add_sat(sum[k], fx::mul_shift_sat(x[k], gain, 30));
}
