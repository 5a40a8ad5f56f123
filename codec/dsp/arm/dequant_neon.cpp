// The exact arithmetic's dequantisation with NEON (32-bit ARM): the band
// scan eight values at a time (VSHR #15 for the sign masks), and the plain
// bands (see dequantise_bands) four values at a time. The magnitudes index
// the table through core registers (two a VMOV each way, an LDR each), the
// products with the band's mantissa are 64-bit (VMULL), VRSHL by minus the
// band's shift is the rounding shift of the pair (it adds 2^(s-1) first, as
// plain_band's rounding term), VMOVN keeps the low words (every result fits
// 31 bits, below INT32_MAX), and the sign goes back on as (x ^ m) - m with m
// the value's sign mask. Bit-exact with plain_band. A long window's bands
// are walked in one block of assembly (walk_bands_neon: the scan, zero
// bands, and bands of magnitudes below 8 eight values a step through VTBL),
// which hands the other bands back one at a time; other windows take the
// portable walk with these steps.
//
// Only this file's functions are built for NEON (a target pragma after the
// common headers); select_kernels puts them in the table only on a CPU with
// NEON.
#if defined(__arm__)

#include "dsp/dequant.h"
#include "dsp/fixed.h"
#include "dsp/words.h"
#include "tables/exact_tables.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

namespace {

__attribute__((always_inline)) inline BandBits scan_band_neon(const int16_shared* q, int n) {
    int16x8_t any = vdupq_n_s16(0), mag = vdupq_n_s16(0);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const int16x8_t v = vld1q_s16(q + i);
        any = vorrq_s16(any, v);
        mag = vorrq_s16(mag, veorq_s16(v, vshrq_n_s16(v, 15)));
    }
    int16x4_t any4 = vorr_s16(vget_low_s16(any), vget_high_s16(any));
    int16x4_t mag4 = vorr_s16(vget_low_s16(mag), vget_high_s16(mag));
    if (i < n) {  // four left
        const int16x4_t v = vld1_s16(q + i);
        any4 = vorr_s16(any4, v);
        mag4 = vorr_s16(mag4, veor_s16(v, vshr_n_s16(v, 15)));
    }
    const uint32x2_t a = vreinterpret_u32_s16(any4), m2 = vreinterpret_u32_s16(mag4);
    const uint32_t m = vget_lane_u32(m2, 0) | vget_lane_u32(m2, 1);
    return {vget_lane_u32(a, 0) | vget_lane_u32(a, 1), static_cast<int32_t>((m | m >> 16) & 0xFFFFu)};
}

__attribute__((always_inline)) inline void plain_band_neon(int32_t* out, const int16_shared* q, int n, int32_t mant,
                                                           int shift) {
    const int32x2_t m = vdup_n_s32(mant);
    const int64x2_t s = vdupq_n_s64(-shift);
    // The four magnitudes go to core registers two a VMOV, index the table
    // by LDR and come back two a VMOV.
    uint32_t i0, i1, i2, i3;
    __asm__ volatile(
        "1:\n\t"
        "vld1.16 {d22}, [%[q]]!\n\t"
        "vmovl.s16 q11, d22\n\t"
        "vabs.s32 q10, q11\n\t"
        "vshr.s32 q11, q11, #31\n\t"
        "vmov %[i0], %[i1], d20\n\t"
        "vmov %[i2], %[i3], d21\n\t"
        "ldr %[i0], [%[t], %[i0], lsl #2]\n\t"
        "ldr %[i1], [%[t], %[i1], lsl #2]\n\t"
        "ldr %[i2], [%[t], %[i2], lsl #2]\n\t"
        "ldr %[i3], [%[t], %[i3], lsl #2]\n\t"
        "vmov d18, %[i0], %[i1]\n\t"
        "vmov d19, %[i2], %[i3]\n\t"
        "vmull.s32 q8, d18, %P[m]\n\t"
        "vmull.s32 q9, d19, %P[m]\n\t"
        "vrshl.s64 q8, q8, %q[s]\n\t"
        "vrshl.s64 q9, q9, %q[s]\n\t"
        "vmovn.i64 d16, q8\n\t"
        "vmovn.i64 d17, q9\n\t"
        "veor q8, q8, q11\n\t"
        "vsub.i32 q8, q8, q11\n\t"
        "vst1.32 {d16-d17}, [%[out]]!\n\t"
        "subs %[n], %[n], #4\n\t"
        "bgt 1b\n\t"
        : [q] "+r"(q), [out] "+r"(out), [n] "+r"(n), [i0] "=&r"(i0), [i1] "=&r"(i1), [i2] "=&r"(i2), [i3] "=&r"(i3)
        : [t] "r"(pow43_q18), [m] "w"(m), [s] "w"(s)
        : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "cc", "memory");
}

// The bands of a long window in one block of assembly, from the band at
// top (its first value at pos, its scale factor at sf) up to the window's
// live end or its last band, each band of n values (a multiple of four, four
// first when n is not a multiple of eight): the scan of scan_band_neon
// (VSHR #15 for the sign masks), then a band of zeros filled, or a plain
// band whose magnitudes are all below 8 (bits below 7) with a shift of
// 23..62 dequantised eight values a step. Such a band never saturates: its
// largest product, pow43_q18[8] mant < 2^22 2^31, stays below 2^(31 +
// shift) (see plain_band_fits). The table's first eight words sit in
// d24-d27 and VTBL looks them up byte by byte, the byte indices of magnitude
// x being 4x .. 4x + 3 (x times 0x0404 as 16 bits, OR 0x0100 for the first
// two, plus 0x0202 for the last two, VZIP pairing the halves). The rest is
// plain_band_neon's: the 64-bit product, VRSHL by minus the shift, the low
// words and the sign. A band's gain is dequantise_band's (sf clamped to
// 0..255 by USAT). Returns -1 at the end of the walk; else top, sf and pos
// are those of a band the walk does not take, which it has not written:
// -2 for a width that is not a positive multiple of four, or the scan's bits.
struct BandWalk {
    const int16_t* top_end;  // [w, #0]: past the window's last band
    int live;                // [w, #4]
    const int32_t* gain;     // [w, #8]: gain_q31
    const int32_t* pow43;    // [w, #12]: pow43_q18
    int32_t* coef_out;       // [w, #16]
    const int16_shared* quant_in;  // [w, #20]
};
#define SMALL_PRODUCTS(D0, D1, Q0, Q1, L0, L1)  \
    "vmull.s32 " Q0 ", " D0 ", d0\n\t"          \
    "vmull.s32 " Q1 ", " D1 ", d0\n\t"          \
    "vrshl.s64 " Q0 ", " Q0 ", q1\n\t"          \
    "vrshl.s64 " Q1 ", " Q1 ", q1\n\t"          \
    "vmovn.i64 " L0 ", " Q0 "\n\t"              \
    "vmovn.i64 " L1 ", " Q1 "\n\t"
int32_t walk_bands_neon(const BandWalk& w, const int16_t*& top, const int16_t*& sf, int& pos) {
    int32_t bits;
    int n, left, other;
    int32_t* out;
    const int16_shared* q;
    __asm__ volatile(
        "ldr %[out], [%[w], #16]\n\t"
        "add %[out], %[out], %[pos], lsl #2\n\t"
        "ldr %[q], [%[w], #20]\n\t"
        "add %[q], %[q], %[pos], lsl #1\n\t"
        "ldr %[other], [%[w], #12]\n\t"
        "vld1.32 {d24-d27}, [%[other]]\n\t"
        "vmov.i8 d1, #4\n\t"
        "vmov.i8 q15, #2\n\t"
        // The next band, n values from pos.
        "1:\n\t"
        "ldr %[other], [%[w], #4]\n\t"
        "cmp %[pos], %[other]\n\t"
        "bge 90f\n\t"
        "ldr %[other], [%[w]]\n\t"
        "cmp %[top], %[other]\n\t"
        "bhs 90f\n\t"
        "ldrsh %[n], [%[top]]\n\t"
        "sub %[n], %[n], %[pos]\n\t"
        "cmp %[n], #0\n\t"
        "ble 91f\n\t"
        "tst %[n], #3\n\t"
        "bne 91f\n\t"
        // The scan: the OR of the values in q8, of their ones' complement
        // magnitudes in q9.
        "vmov.i16 q8, #0\n\t"
        "vmov.i16 q9, #0\n\t"
        "mov %[other], %[q]\n\t"
        "mov %[left], %[n]\n\t"
        "tst %[n], #4\n\t"
        "beq 2f\n\t"
        "vld1.16 {d20}, [%[other]]!\n\t"
        "vshr.s16 d21, d20, #15\n\t"
        "vorr d16, d16, d20\n\t"
        "veor d20, d20, d21\n\t"
        "vorr d18, d18, d20\n\t"
        "subs %[left], %[left], #4\n\t"
        "beq 3f\n\t"
        "2:\n\t"
        "vld1.16 {d20-d21}, [%[other]]!\n\t"
        "vshr.s16 q11, q10, #15\n\t"
        "vorr q8, q8, q10\n\t"
        "veor q10, q10, q11\n\t"
        "vorr q9, q9, q10\n\t"
        "subs %[left], %[left], #8\n\t"
        "bgt 2b\n\t"
        "3:\n\t"
        "vorr d16, d16, d17\n\t"
        "vorr d18, d18, d19\n\t"
        "vmov %[bits], %[other], d16\n\t"
        "orrs %[bits], %[bits], %[other]\n\t"
        "beq 7f\n\t"
        "vmov %[bits], %[other], d18\n\t"
        "orr %[bits], %[bits], %[other]\n\t"
        "orr %[bits], %[bits], %[bits], lsr #16\n\t"
        "uxth %[bits], %[bits]\n\t"
        "cmp %[bits], #7\n\t"
        "bge 99f\n\t"
        // The gain: shift 48 - (sf - 80) / 4 (23..62, else the band is the
        // caller's), mant gain_q31[(sf - 80) & 3] in d0, -shift in q1.
        "ldrsh %[other], [%[sf]]\n\t"
        "usat %[other], #8, %[other]\n\t"
        "sub %[other], %[other], #80\n\t"
        "asr %[left], %[other], #2\n\t"
        "rsb %[left], %[left], #48\n\t"
        "cmp %[left], #23\n\t"
        "blt 99f\n\t"
        "cmp %[left], #62\n\t"
        "bgt 99f\n\t"
        "rsb %[left], %[left], #0\n\t"
        "vdup.32 q1, %[left]\n\t"
        "and %[left], %[other], #3\n\t"
        "ldr %[other], [%[w], #8]\n\t"
        "ldr %[other], [%[other], %[left], lsl #2]\n\t"
        "vdup.32 d0, %[other]\n\t"
        "mov %[left], %[n]\n\t"
        "tst %[n], #4\n\t"
        "beq 4f\n\t"
        // Four values.
        "vld1.16 {d22}, [%[q]]!\n\t"
        "vabs.s16 d20, d22\n\t"
        "vmul.i16 d20, d20, d1[0]\n\t"
        "vorr.i16 d20, #0x0100\n\t"
        "vadd.i16 d21, d20, d30\n\t"
        "vzip.16 d20, d21\n\t"
        "vtbl.8 d4, {d24-d27}, d20\n\t"
        "vtbl.8 d5, {d24-d27}, d21\n\t"
        SMALL_PRODUCTS("d4", "d5", "q8", "q9", "d16", "d17")
        "vmovl.s16 q11, d22\n\t"
        "vshr.s32 q11, q11, #31\n\t"
        "veor q8, q8, q11\n\t"
        "vsub.i32 q8, q8, q11\n\t"
        "vst1.32 {d16-d17}, [%[out]]!\n\t"
        "subs %[left], %[left], #4\n\t"
        "beq 6f\n\t"
        // Eight values a step.
        "4:\n\t"
        "vld1.16 {d22-d23}, [%[q]]!\n\t"
        "vabs.s16 q10, q11\n\t"
        "vshr.s16 q11, q11, #15\n\t"
        "vmul.i16 q10, q10, d1[0]\n\t"
        "vorr.i16 q10, #0x0100\n\t"
        "vadd.i16 q9, q10, q15\n\t"
        "vzip.16 q10, q9\n\t"
        "vtbl.8 d4, {d24-d27}, d20\n\t"
        "vtbl.8 d5, {d24-d27}, d21\n\t"
        "vtbl.8 d6, {d24-d27}, d18\n\t"
        "vtbl.8 d7, {d24-d27}, d19\n\t"
        SMALL_PRODUCTS("d4", "d5", "q8", "q9", "d16", "d17")
        SMALL_PRODUCTS("d6", "d7", "q10", "q2", "d18", "d19")
        "vmovl.s16 q10, d22\n\t"
        "vmovl.s16 q11, d23\n\t"
        "veor q8, q8, q10\n\t"
        "veor q9, q9, q11\n\t"
        "vsub.i32 q8, q8, q10\n\t"
        "vsub.i32 q9, q9, q11\n\t"
        "vst1.32 {d16-d19}, [%[out]]!\n\t"
        "subs %[left], %[left], #8\n\t"
        "bgt 4b\n\t"
        "b 6f\n\t"
        // A band of zeros.
        "7:\n\t"
        "vmov.i32 q8, #0\n\t"
        "mov %[left], %[n]\n\t"
        "5:\n\t"
        "vst1.32 {d16-d17}, [%[out]]!\n\t"
        "subs %[left], %[left], #4\n\t"
        "bgt 5b\n\t"
        "add %[q], %[q], %[n], lsl #1\n\t"
        // The band done.
        "6:\n\t"
        "add %[pos], %[pos], %[n]\n\t"
        "add %[top], %[top], #2\n\t"
        "add %[sf], %[sf], #2\n\t"
        "b 1b\n\t"
        "90:\n\t"
        "mvn %[bits], #0\n\t"
        "b 99f\n\t"
        "91:\n\t"
        "mvn %[bits], #1\n\t"
        "99:\n\t"
        : [top] "+r"(top), [sf] "+r"(sf), [pos] "+r"(pos), [bits] "=&r"(bits), [n] "=&r"(n), [left] "=&r"(left),
          [other] "=&r"(other), [out] "=&r"(out), [q] "=&r"(q)
        : [w] "r"(&w)
        : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23",
          "d24", "d25", "d26", "d27", "d30", "d31", "cc", "memory");
    return bits;
}
#undef SMALL_PRODUCTS

// Whether any of the sixteen values at q is non-zero.
inline bool any16(const int16_shared* q) {
    const int16x8_t v = vorrq_s16(vld1q_s16(q), vld1q_s16(q + 8));
    const uint32x2_t w = vreinterpret_u32_s16(vorr_s16(vget_low_s16(v), vget_high_s16(v)));
    return (vget_lane_u32(w, 0) | vget_lane_u32(w, 1)) != 0;
}
// The end of the last run of sixteen values below `end` (a multiple of
// sixteen) holding a non-zero one, thirty-two a step: everything above it
// is zero.
int live_end_neon(const int16_shared* q, int end) {
    for (; end >= 32; end -= 32) {
        const int16x8_t v = vorrq_s16(vorrq_s16(vld1q_s16(q + end - 32), vld1q_s16(q + end - 24)),
                                      vorrq_s16(vld1q_s16(q + end - 16), vld1q_s16(q + end - 8)));
        const uint32x2_t w = vreinterpret_u32_s16(vorr_s16(vget_low_s16(v), vget_high_s16(v)));
        if ((vget_lane_u32(w, 0) | vget_lane_u32(w, 1)) != 0) return any16(q + end - 16) ? end : end - 16;
    }
    if (end == 16 && !any16(q)) end = 0;
    return end;
}

// One band the walk below does not take (a width other than fours, values
// beyond -512..511, a shift where values may saturate): dequantise_bands
// over that band alone, which takes it as it takes it in a whole window.
// Whether a value reached the limit.
__attribute__((noinline)) bool other_band(int32_t* out, const int16_shared* q, int n, const int16_t* sf) {
    const int16_t top[1] = {static_cast<int16_t>(n)};
    const int16_t* const tops[1] = {top};
    const int32_t bands = 1;
    return dequantise_bands({scan_band_neon, plain_band_neon}, 1, &bands, out, q, sf, tops);
}

}  // namespace

bool dequantise_neon(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                     const int16_t* scaleFactors, const int16_t* const* window_swb_top) {
    // A long window: walked by walk_bands_neon, the bands it leaves as
    // dequantise_band takes them. The zero
    // bands at its top (common: no spectral data above the coded bandwidth)
    // are found sixteen values a step and filled at once after the values
    // below them have been read; every band the walk leaves out is all zeros,
    // which it would have filled just the same. A band's gain and the test
    // for a plain band are those of dequantise_band.
    if (num_windows == 1 && num_swb[0] > 0) {
        const int16_t* top = window_swb_top[0];
        const int bands = num_swb[0], window_end = top[bands - 1];
        if (window_end % 16 == 0) {
            const int live = live_end_neon(quant_in, window_end);
            const BandWalk walk{top + bands, live, gain_q31, pow43_q18, coef_out, quant_in};
            const int16_t* t = top;
            const int16_t* sfp = scaleFactors;
            bool limit = false;
            int pos = 0;
            for (int bits; (bits = walk_bands_neon(walk, t, sfp, pos)) != -1; ++t, ++sfp) {
                // A band the walk leaves to the bands' own steps.
                const int end = *t, n = end - pos;
                int32_t* const out = coef_out + pos;
                const int16_shared* const q = quant_in + pos;
                pos = end;
                if (n <= 0) continue;
                const int sf = *sfp < 0 ? 0 : (*sfp > 255 ? 255 : *sfp);
                const int32_t mant = gain_q31[(sf - 80) & 3];
                const int shift = 48 - fx::asr(sf - 80, 2);
                if (bits >= 0 && plain_band_fits(bits, mant, shift))
                    plain_band_neon(out, q, n, mant, shift);
                else
                    limit |= other_band(out, q, n, sfp);
            }
            words::zero_words(coef_out + pos, window_end - pos);
            return limit;
        }
    }
    return dequantise_bands({scan_band_neon, plain_band_neon}, num_windows, num_swb, coef_out, quant_in, scaleFactors,
                     window_swb_top);
}

#pragma GCC pop_options

#endif
