// The SBR envelope adjuster's kernels, portable references (see
// dsp/sbr_adjust.h).
#include "dsp/sbr_adjust.h"

#include "tables/sbr_tables.h"

int sbr_energies_c(const int32_t* x_re, const int32_t* x_im, int rows, int count, uint64_t* energy) {
    uint32_t bits_or = 0;
    adjuster::energy_columns_bits(x_re, x_im, rows, 0, count, energy, &bits_or);
    const int shift = adjuster::energy_shift(bits_or);
    if (shift) adjuster::energy_columns(x_re, x_im, rows, 0, count, shift, energy);
    return shift;
}

void sbr_log2_c(const uint64_t* v, int n, int32_t* out) {
    for (int i = 0; i < n; ++i) out[i] = adjuster::log2_u64(v[i]);
}

void sbr_exp2_c(const int32_t* l, int n, SbrLin* out) {
    for (int i = 0; i < n; ++i) out[i] = adjuster::exp2_q24(l[i]);
}

void sbr_add_terms_c(const SbrLin* t, const uint8_t* count, const uint8_t* owner, int n, uint64_t* sums) {
    for (int i = 0; i < n; ++i) sums[owner[i]] += count[i] * adjuster::term_q56(t[i]);
}

void sbr_apply_c(int32_t* y_re, int32_t* y_im, int rows, int count, const SbrLin* gain, const SbrLin* noise,
                 int noise_index) {
    for (int r = 0; r < rows; ++r) {
        int32_t* const yr = y_re + 64 * r;
        int32_t* const yi = y_im + 64 * r;
        if (!noise) {
            for (int i = 0; i < count; ++i) {
                yr[i] = adjuster::mul_shift(yr[i], gain[i].m, 30 - gain[i].e);
                yi[i] = adjuster::mul_shift(yi[i], gain[i].m, 30 - gain[i].e);
            }
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const int32_t* v = sbr_noise_v[(noise_index + r * count + i + 1) & 511];
            yr[i] = adjuster::apply(yr[i], gain[i], v[0], noise[i]);
            yi[i] = adjuster::apply(yi[i], gain[i], v[1], noise[i]);
        }
    }
}
