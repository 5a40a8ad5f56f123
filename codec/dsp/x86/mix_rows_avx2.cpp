// The downmix's sums of SBR subband samples with AVX2, eight subbands a
// step (dsp/mix_rows.h). A gain in (-2^30, 2^30] keeps every rounded
// product within 32 bits: |x g| <= 2^31 (2^30 - 1) below 2^30, and at 2^30
// the product is x itself; so the products need no saturation, only the
// sums. A row's last one to seven subbands are the reference's.
#include <immintrin.h>

#include "dsp/mix_rows.h"
#include "dsp/x86/sat_avx2.h"

#define AVX2 __attribute__((target("avx2")))

AVX2 void mix_rows_q30_avx2(int32_t* sum, const int32_t* x, int rows, int width, int32_t gain) {
    if (gain == -(INT32_C(1) << 30)) return mix_rows_q30(sum, x, rows, width, gain);
    // (The gain in the low word of every 64-bit lane: its even and odd words alike.)
    const __m256i g = _mm256_set1_epi32(gain);
    const int wide = width & ~7;
    for (int r = 0; r < rows; ++r, sum += 64, x += 64) {
        for (int k = 0; k < wide; k += 8) {
            __m256i* const s = reinterpret_cast<__m256i*>(sum + k);
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + k));
            _mm256_storeu_si256(s, sat8::add_sat(_mm256_loadu_si256(s), sat8::mul_round<30>(v, g, g)));
        }
        if (wide < width) mix_rows_q30(sum + wide, x + wide, 1, width - wide, gain);
    }
}
