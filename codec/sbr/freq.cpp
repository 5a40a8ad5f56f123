// SBR frequency band tables (see freq.h).
#include "sbr/freq.h"

#include "dsp/fixed.h"
#include "tables/sbr_tables.h"

namespace {

constexpr int32_t kOne = 1 << 24;  // 1.0 in the Q24 of sbr_log2_q24

// Ascending insertion sort of a short array.
void sort_ascending(int32_t* v, int n) {
    for (int i = 1; i < n; ++i) {
        const int32_t x = v[i];
        int j = i;
        for (; j > 0 && v[j - 1] > x; --j) v[j] = v[j - 1];
        v[j] = x;
    }
}

// NINT(x) = floor(x + 1/2) of x = num / den, num >= 0, den > 0.
int32_t nint_ratio(int64_t num, int64_t den) { return static_cast<int32_t>((2 * num + den) / (2 * den)); }

// The widths of num_bands bands from a to b on a logarithmic scale:
// dk[k] = NINT(a (b/a)^((k+1)/n)) - NINT(a (b/a)^(k/n)), sorted ascending.
// NINT(a r^(k/n)) is the largest v with v - 1/2 <= a r^(k/n), that is with
// n (log2(2v - 1) - 1 - log2 a) <= k (log2 b - log2 a). Returns false
// when a band would have no subband.
bool log_band_widths(int32_t a, int32_t b, int32_t n, int32_t* dk) {
    const int64_t la = sbr_log2_q24(static_cast<uint32_t>(a));
    const int64_t span = sbr_log2_q24(static_cast<uint32_t>(b)) - la;
    int32_t prev = a;
    for (int32_t k = 1; k <= n; ++k) {
        int32_t v = prev;
        if (k == n) {
            v = b;
        } else {
            // v never passes b: a r^(k/n) < b for k < n.
            while (v < b && n * (sbr_log2_q24(static_cast<uint32_t>(2 * v + 1)) - kOne - la) <= k * span) ++v;
        }
        dk[k - 1] = v - prev;
        prev = v;
    }
    sort_ascending(dk, n);
    return dk[0] > 0;
}

// Whether value is one of the n entries of v.
bool contains(const int32_t* v, int n, int32_t value) {
    for (int i = 0; i < n; ++i)
        if (v[i] == value) return true;
    return false;
}

SbrFreqStatus derive_master_linear(const SbrFreqHeader& h, SbrFreqTables* t) {
    const int32_t k0 = t->k0, k2 = t->k2;
    const int32_t dk = h.alter_scale ? 2 : 1;
    const int32_t num_bands = h.alter_scale ? 2 * nint_ratio(k2 - k0, 4) : 2 * ((k2 - k0) / 2);
    if (num_bands < 1 || num_bands > kSbrMaxMasterBands) return SBR_FREQ_BAD_MASTER;
    int32_t vdk[kSbrMaxMasterBands];
    for (int32_t k = 0; k < num_bands; ++k) vdk[k] = dk;
    // Spread k2 - (k0 + num_bands dk) over the bands: taken from the first
    // bands when negative, given to the last ones when positive.
    int32_t diff = k2 - (k0 + num_bands * dk);
    const int32_t incr = diff < 0 ? 1 : -1;
    int32_t k = diff < 0 ? 0 : num_bands - 1;
    while (diff != 0) {
        if (k < 0 || k >= num_bands) return SBR_FREQ_BAD_MASTER;
        vdk[k] -= incr;
        k += incr;
        diff += incr;
    }
    t->f_master[0] = static_cast<uint8_t>(k0);
    for (int32_t i = 1; i <= num_bands; ++i) {
        if (vdk[i - 1] < 1) return SBR_FREQ_BAD_MASTER;
        t->f_master[i] = static_cast<uint8_t>(t->f_master[i - 1] + vdk[i - 1]);
    }
    t->n_master = num_bands;
    return SBR_FREQ_OK;
}

SbrFreqStatus derive_master_log(const SbrFreqHeader& h, SbrFreqTables* t) {
    const int32_t k0 = t->k0, k2 = t->k2;
    const int64_t bands = sbr_freq_scale_bands_per_octave[h.freq_scale];
    const int64_t warp_x10 = h.alter_scale ? sbr_alter_scale_warp_x10 : 10;
    const bool two_regions = static_cast<int64_t>(k2) * 10000 > static_cast<int64_t>(k0) * sbr_two_region_ratio_x10000;
    const int32_t k1 = two_regions ? 2 * k0 : k2;
    // numBands0 = 2 NINT(bands log2(k1 / k0) / 2).
    const int64_t span0 = sbr_log2_q24(static_cast<uint32_t>(k1)) - sbr_log2_q24(static_cast<uint32_t>(k0));
    const int32_t n0 = 2 * nint_ratio(bands * span0, 2 * kOne);
    if (n0 < 1 || n0 > k1 - k0) return SBR_FREQ_BAD_MASTER;
    int32_t dk0[kSbrMaxMasterBands];
    if (!log_band_widths(k0, k1, n0, dk0)) return SBR_FREQ_BAD_MASTER;
    t->f_master[0] = static_cast<uint8_t>(k0);
    for (int32_t k = 1; k <= n0; ++k) t->f_master[k] = static_cast<uint8_t>(t->f_master[k - 1] + dk0[k - 1]);
    t->n_master = n0;
    if (!two_regions) return SBR_FREQ_OK;
    // numBands1 = 2 NINT(bands log2(k2 / k1) / (2 warp)).
    const int64_t span1 = sbr_log2_q24(static_cast<uint32_t>(k2)) - sbr_log2_q24(static_cast<uint32_t>(k1));
    const int32_t n1 = 2 * nint_ratio(bands * span1 * 10, 2 * warp_x10 * kOne);
    if (n1 < 1 || n1 > k2 - k1) return SBR_FREQ_BAD_MASTER;
    int32_t dk1[kSbrMaxMasterBands];
    if (!log_band_widths(k1, k2, n1, dk1)) return SBR_FREQ_BAD_MASTER;
    // The second region's bands are made no narrower than the first's
    // widest, as far as half the spread of its own widths allows.
    if (dk1[0] < dk0[n0 - 1]) {
        const int32_t a = dk0[n0 - 1] - dk1[0], b = (dk1[n1 - 1] - dk1[0]) / 2;
        const int32_t change = a < b ? a : b;
        dk1[0] += change;
        dk1[n1 - 1] -= change;
        sort_ascending(dk1, n1);
        if (dk1[0] < 1) return SBR_FREQ_BAD_MASTER;
    }
    for (int32_t k = 1; k <= n1; ++k) t->f_master[n0 + k] = static_cast<uint8_t>(t->f_master[n0 + k - 1] + dk1[k - 1]);
    t->n_master = n0 + n1;
    return SBR_FREQ_OK;
}

// The patches of the HF generator: copies of low subbands up to k2.
SbrFreqStatus derive_patches(int32_t goal_sb, SbrFreqTables* t) {
    const int32_t k0 = t->k0, kx = t->kx, end = t->kx + t->m;
    const int32_t n_master = t->n_master;
    int32_t msb = k0, usb = kx, k = n_master;
    if (goal_sb < end) {
        for (k = 0; k < n_master && t->f_master[k] < goal_sb; ++k) {
        }
    }
    int32_t n = 0, sb = 0;
    for (int32_t round = 0; sb != end; ++round) {
        if (round >= 2 * kSbrMaxPatches) return SBR_FREQ_BAD_PATCH;
        int32_t j = k + 1, odd = 0;
        do {
            if (--j < 0) return SBR_FREQ_BAD_PATCH;
            sb = t->f_master[j];
            odd = (sb - 2 + k0) % 2;
        } while (sb > k0 - 1 + msb - odd);
        const int32_t num = sb > usb ? sb - usb : 0;
        if (num > 0) {
            if (n >= kSbrMaxPatches) return SBR_FREQ_BAD_PATCH;
            const int32_t start = k0 - odd - num;
            if (start < 0 || start + num > kx) return SBR_FREQ_BAD_PATCH;
            t->patch_num_subbands[n] = static_cast<uint8_t>(num);
            t->patch_start_subband[n] = static_cast<uint8_t>(start);
            usb = sb;
            msb = sb;
            ++n;
        } else {
            msb = kx;
        }
        if (t->f_master[k] - sb < 3) k = n_master;
    }
    if (n > 1 && t->patch_num_subbands[n - 1] < 3) --n;
    if (n < 1 || n > 5) return SBR_FREQ_BAD_PATCH;
    t->num_patches = n;
    return SBR_FREQ_OK;
}

// Limiter bands: the low-resolution borders and the patch borders, with
// borders closer than 0.49 / (bands per octave) octaves merged.
void derive_limiter(int limiter_bands, SbrFreqTables* t) {
    const int32_t n_low = t->n_low;
    if (limiter_bands == 0) {
        t->f_lim[0] = t->f_low[0];
        t->f_lim[1] = t->f_low[n_low];
        t->n_lim = 1;
        return;
    }
    int32_t borders[kSbrMaxPatches + 1];
    borders[0] = t->kx;
    for (int32_t p = 0; p < t->num_patches; ++p) borders[p + 1] = borders[p] + t->patch_num_subbands[p];
    int32_t lim[kSbrMaxLimiterBands + 1];
    int32_t n = 0;
    for (int32_t k = 0; k <= n_low; ++k) lim[n++] = t->f_low[k];
    for (int32_t p = 1; p < t->num_patches; ++p) lim[n++] = borders[p];
    sort_ascending(lim, n);
    const int64_t per_octave_x10 = sbr_limiter_bands_per_octave_x10[limiter_bands];
    const int64_t threshold = static_cast<int64_t>(sbr_limiter_merge_threshold_x100) * kOne;
    int32_t last = n - 1;  // index of the last border
    int32_t k = 1;
    while (k <= last) {
        // log2(lim[k] / lim[k-1]) * bands per octave < 0.49
        const int64_t octaves = sbr_log2_q24(static_cast<uint32_t>(lim[k])) - sbr_log2_q24(static_cast<uint32_t>(lim[k - 1]));
        if (octaves * per_octave_x10 * 10 >= threshold) {
            ++k;
            continue;
        }
        int32_t drop = k;
        if (lim[k] != lim[k - 1] && contains(borders, t->num_patches + 1, lim[k])) {
            if (contains(borders, t->num_patches + 1, lim[k - 1])) {
                ++k;
                continue;
            }
            drop = k - 1;
        }
        for (int32_t i = drop; i < last; ++i) lim[i] = lim[i + 1];
        --last;
    }
    for (int32_t i = 0; i <= last; ++i) t->f_lim[i] = static_cast<uint8_t>(lim[i]);
    t->n_lim = last;
}

}  // namespace

int32_t sbr_log2_q24(uint32_t n) {
    if (n == 0) return INT32_MIN;
    const int e = 31 - fx::clz32(n);
    // Mantissa in [1, 2), Q28; each squaring gives one more fraction bit.
    int32_t y = e <= 28 ? static_cast<int32_t>(n << (28 - e)) : static_cast<int32_t>(n >> (e - 28));
    int32_t r = e * kOne;
    for (int bit = 23; bit >= 0; --bit) {
        y = fx::mul_shift_sat(y, y, 28);
        if (y >= (1 << 29)) {
            y = fx::rshr(y, 1);
            r += 1 << bit;
        }
    }
    return r;
}

int sbr_rate_index(int32_t fs_sbr) {
    for (int i = 0; i < kSbrRateCount; ++i)
        if (sbr_rate_params[i].fs == fs_sbr) return i;
    return -1;
}

SbrFreqStatus sbr_derive_master(const SbrFreqHeader& h, int32_t fs_sbr, SbrFreqTables* out) {
    const int rate = sbr_rate_index(fs_sbr);
    if (rate < 0) return SBR_FREQ_BAD_RATE;
    if (h.start_freq > 15 || h.stop_freq > 15 || h.freq_scale > 3 || h.alter_scale > 1 || h.xover_band > 7 ||
        h.noise_bands > 3 || h.limiter_bands > 3)
        return SBR_FREQ_BAD_FIELD;
    const SbrRateParams& p = sbr_rate_params[rate];
    const int32_t k0 = p.k0[h.start_freq];
    int32_t k2 = h.stop_freq < 14 ? p.k2[h.stop_freq] : (h.stop_freq == 14 ? 2 : 3) * k0;
    if (k2 > 64) k2 = 64;
    out->k0 = k0;
    out->k2 = k2;
    if (k2 <= k0 || k2 - k0 > p.max_k2_minus_k0) return SBR_FREQ_BAD_RANGE;
    return h.freq_scale == 0 ? derive_master_linear(h, out) : derive_master_log(h, out);
}

SbrFreqStatus sbr_derive_freq_tables(const SbrFreqHeader& h, int32_t fs_sbr, SbrFreqTables* out) {
    const SbrFreqStatus s = sbr_derive_master(h, fs_sbr, out);
    return s != SBR_FREQ_OK ? s : sbr_derive_band_tables(h, fs_sbr, out);
}

SbrFreqStatus sbr_derive_band_tables(const SbrFreqHeader& h, int32_t fs_sbr, SbrFreqTables* out) {
    const int rate = sbr_rate_index(fs_sbr);
    SbrFreqTables& t = *out;
    if (rate < 0) return SBR_FREQ_BAD_RATE;
    if (h.xover_band > 7 || h.noise_bands > 3 || h.limiter_bands > 3) return SBR_FREQ_BAD_FIELD;
    if (t.n_master < 1 || t.n_master > kSbrMaxMasterBands) return SBR_FREQ_BAD_MASTER;
    if (h.xover_band >= t.n_master) return SBR_FREQ_BAD_XOVER;
    t.n_high = t.n_master - h.xover_band;
    for (int32_t k = 0; k <= t.n_high; ++k) t.f_high[k] = t.f_master[k + h.xover_band];
    t.kx = t.f_high[0];
    t.m = t.f_high[t.n_high] - t.kx;
    if (t.kx > kSbrMaxKx) return SBR_FREQ_BAD_XOVER;
    // f_low: every second border of f_high, from its first border; with an
    // odd N_high the first low band is one high band wide.
    t.n_low = (t.n_high + 1) / 2;
    const int32_t odd = t.n_high & 1;
    t.f_low[0] = t.f_high[0];
    for (int32_t k = 1; k <= t.n_low; ++k) t.f_low[k] = t.f_high[2 * k - odd];
    // N_Q = max(1, NINT(bs_noise_bands log2(k2 / kx))).
    const int64_t span = sbr_log2_q24(static_cast<uint32_t>(t.k2)) - sbr_log2_q24(static_cast<uint32_t>(t.kx));
    int32_t nq = nint_ratio(h.noise_bands * span, kOne);
    if (nq < 1) nq = 1;
    if (nq > kSbrMaxNoiseBands) return SBR_FREQ_BAD_NOISE;
    t.n_q = nq;
    int32_t i = 0;
    t.f_noise[0] = t.f_low[0];
    for (int32_t k = 1; k <= nq; ++k) {
        i += (t.n_low - i) / (nq + 1 - k);
        t.f_noise[k] = t.f_low[i];
    }
    const SbrFreqStatus s = derive_patches(sbr_rate_params[rate].goal_sb, out);
    if (s != SBR_FREQ_OK) return s;
    derive_limiter(h.limiter_bands, out);
    return SBR_FREQ_OK;
}
