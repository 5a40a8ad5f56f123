// Mid/side and intensity stereo on the 32-bit coefficients of a channel pair.
//
// Band walk (shared with noise substitution): groups in order, each from the
// previous group's end window to its own; a group has the band count n of
// its first window, and one mask byte and one codebook per band; within the
// group every window is visited, scale factors advancing by n per window and
// coefficients by the window's lines.
#include "dsp/tools.h"

#include <bit>
#include <cstring>

#include "dsp/band_walk.h"
#include "dsp/arithmetic.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "tables/exact_tables.h"
#include "tables/tools_tables.h"

void kvxdec_map_mask(const BandInfo* band, const uint8_t* windowGroups, uint8_t* msMask,
                     uint8_t* sectCodebook_right) {
#if defined(__x86_64__)
    // Eight bands a step, without a branch on each band's mask bit (random
    // from band to band, so such a branch is mispredicted often). The groups'
    // bytes follow each other: the walk covers bytes 0 to the band count of
    // all groups, and the bytes after it keep their values (both arrays hold
    // 128 bytes, so the last step's reads stay inside). A mask byte is 0 or
    // 1, a codebook 0 to 15: per byte, codebook + 3 reaches 16 (bit 4) for
    // 13 to 15 and codebook + 2 for 14 and 15; the codebook then flips its
    // low bit (14 <-> 15) or, for 13, becomes 13 ^ 124 = kNoiseMsMarked.
    static_assert((13 ^ 124) == kNoiseMsMarked);
    int total = 0;
    for_each_group(band, windowGroups, [&total](int, int, int n, int) { total += n; });
    constexpr uint64_t kOnes = 0x0101010101010101u;
    for (int i = 0; i < total; i += 8) {
        uint64_t mask, cb;
        std::memcpy(&mask, msMask + i, sizeof mask);
        std::memcpy(&cb, sectCodebook_right + i, sizeof cb);
        const uint64_t lanes = total - i >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * (total - i))) - 1;
        const uint64_t hit = ((cb + 3 * kOnes) & (mask << 4) & lanes & (16 * kOnes)) >> 4;
        const uint64_t is13 = (~(cb + 2 * kOnes) >> 4) & hit;
        cb ^= hit ^ (is13 * 125);
        mask ^= hit;
        std::memcpy(msMask + i, &mask, sizeof mask);
        std::memcpy(sectCodebook_right + i, &cb, sizeof cb);
    }
#else
    for_each_group(band, windowGroups, [&](int, int, int n, int set) {
        for (int b = 0; b < n; ++b) {
            uint8_t& mask = msMask[set + b];
            uint8_t& cb = sectCodebook_right[set + b];
            if (!mask) continue;
            // Where the right band is intensity or noise, mid/side does not
            // apply: an intensity band flips its phase, a noise band is marked.
            if (cb == 15) cb = 14, mask = 0;
            else if (cb == 14) cb = 15, mask = 0;
            else if (cb == 13) cb = kNoiseMsMarked, mask = 0;
        }
    });
#endif
}

#if defined(__x86_64__)
namespace {

// A long window's n bands (below 64): its masked bands as the bits of a
// word, eight mask bytes (each 0 or 1) a multiply, then each run of them
// one call, without a branch on each band's mask, which is mispredicted
// where masked and other bands alternate. Of the 128 mask bytes those past
// the bands are left out.
[[gnu::noinline]] void mid_side_long(int n, const int16_t* top, const uint8_t* msMask, int32_t* coef_right,
                                     int32_t* coef_left) {
    uint64_t bands = 0;
    for (int at = 0; at < n; at += 8) {
        uint64_t w;
        std::memcpy(&w, msMask + at, sizeof w);
        if (n - at < 8) w &= (uint64_t{1} << (8 * (n - at))) - 1;
        bands |= ((w * 0x0102040810204080u) >> 56) << at;
    }
    while (bands) {
        const int s = std::countr_zero(bands);
        const int e = s + std::countr_zero(~(bands >> s));
        const int first = s == 0 ? 0 : top[s - 1];
        kernels.mid_side(coef_left + first, coef_right + first, top[e - 1] - first);
        bands &= ~uint64_t{0} << e;
    }
}

}  // namespace
#endif

// left = sat32(l + r), right = sat32(l - r) over the masked bands; no scaling.
void kvxdec_synt(int16_t num_windows, const int32_t* num_swb, const int16_t* const* window_swb_top,
                 const int16_t* window_bins, const uint8_t* windowGroups, const uint8_t* msMask,
                 int32_t* coef_right, int32_t* coef_left) {
#if defined(__x86_64__)
    if (num_windows == 1 && windowGroups[0] >= 1 && num_swb[0] < 64)
        return mid_side_long(num_swb[0], window_swb_top[0], msMask, coef_right, coef_left);
#endif
    BandInfo layout{};
    layout.num_windows = num_windows;
    for (int w = 0; w < num_windows && w < 8; ++w) {
        layout.num_swb[w] = num_swb[w];
        layout.window_swb_top[w] = window_swb_top[w];
        layout.window_bins[w] = window_bins[w];
    }
    // Masked bands that follow each other in the coefficients go as one run.
    int run_first = 0, run_end = 0;
    for_each_band(&layout, windowGroups, [&](int set, int, int b, int first, int end) {
        if (!msMask[set + b]) return;
        if (first != run_end) {
            if (run_end > run_first) kernels.mid_side(coef_left + run_first, coef_right + run_first, run_end - run_first);
            run_first = first;
        }
        run_end = end;
    });
    if (run_end > run_first) kernels.mid_side(coef_left + run_first, coef_right + run_first, run_end - run_first);
}

void mid_side_lines(int32_t* left, int32_t* right, int n) {
    // Two lines a step: on 32-bit ARM each side's two words are loaded
    // before either is used and stored one after the other, so that GCC
    // pairs them (LDRD, STRD).
    int32_t *l = left, *r = right;
    for (int32_t* const end = left + (n & ~1); l < end; l += 2, r += 2) {
        int32_t l0 = l[0], l1 = l[1], r0 = r[0], r1 = r[1];
#if defined(__arm__)
        asm("" : "+r"(l0), "+r"(l1), "+r"(r0), "+r"(r1));
#endif
        const int32_t m0 = fx::add_sat(l0, r0), m1 = fx::add_sat(l1, r1);
        const int32_t s0 = fx::sub_sat(l0, r0), s1 = fx::sub_sat(l1, r1);
        l[0] = m0, l[1] = m1, r[0] = s0, r[1] = s1;
    }
    if (n & 1) {
        const int32_t a = l[0], b = r[0];
        l[0] = fx::add_sat(a, b);
        r[0] = fx::sub_sat(a, b);
    }
}

void intensity_bands(const BandInfo* band, const uint8_t* windowGroups, const uint8_t* sectCodebook,
                     const int16_t* scaleFactors, const int32_t* left, int32_t* right) {
#if defined(__x86_64__)
    // Most channels have no intensity band: a look at the codebook bytes,
    // eight a step (the 128 bytes hold every step), spares them the walk.
    int total = 0;
    for_each_group(band, windowGroups, [&total](int, int, int n, int) { total += n; });
    uint64_t any = 0;
    for (int at = 0; at < total; at += 8) any |= bytes_equal_either(sectCodebook + at, total - at, 14, 15);
    if (!any) return;
#endif
    for_each_band(band, windowGroups, [&](int set, int sf_row, int b, int first, int end) {
        const uint8_t cb = sectCodebook[set + b];
        if (cb != 14 && cb != 15) return;
        const int is_pos = scaleFactors[sf_row + b];
        auto gain = [&]() {
            if constexpr (kExactArithmetic) {
                // 2^(-is_pos/4) = is_gain_q30[r] / 2^(30 + e), is_pos = 4 e + r:
                // one rounded product, saturated.
                const int32_t gain_q30 = is_gain_q30[is_pos & 3];
                const int s = 30 + fx::asr(is_pos, 2);
                return [gain_q30, s](int32_t v) { return fx::mul_shift_sat(v, gain_q30, s); };
            } else {
                // Gain 2^(-is_pos/4) = powHalf[i] (about 2^(-(i+1)/4)) times 2^(k+1).
                int k = 0, i = is_pos + 3;
                if (is_pos < 0) {
                    k = -is_pos / 4;
                    i = is_pos + 4 * k + 3;
                }
                const int16_t gain_q15 = i <= 63 ? kvxdec_powHalf_fac_4[i] : 0;  // 61 and above: silence
                const int s = k + 1;
                return [gain_q15, s](int32_t v) { return fx::shl_sat(fx::shl_wrap(fx::mul32x16_hi(v, gain_q15), 1), s); };
            }
        }();
        for (int line = first; line < end; ++line) {
            const int32_t v = gain(left[line]);
            right[line] = cb == 14 ? (v == INT32_MIN ? INT32_MAX : -v) : v;
        }
    });
}
