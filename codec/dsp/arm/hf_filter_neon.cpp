// The SBR high-frequency generator's kernels with NEON (32-bit ARM). The
// covariances: four terms at a time, VMLAL of both halves into the same
// 64-bit lanes, the two lanes added at the end (all sums modulo 2^64, in
// any order the same). The filter, four slots at a time: the column's words gathered into lanes (VLD1 lane),
// scaled down by VRSHL by minus the shift (the rounding of fx::rshr,
// without overflow), the slots before each four from the previous four
// (VEXT), the five products of each part as 64-bit VMULL/VMLAL sums (no
// wrap within the filter's bounds, see dsp/hf_filter.h), VQRSHRN #28
// (fx::rshr64_sat) and VQSHL by the shift (fx::shl_sat). Bit-exact with
// dsp/hf_filter.cpp; the last slots of a run are the reference's rows.
// The block exponents: a subband's words four rows at a time (lane loads),
// their magnitudes by VABS, gathered by VORR; scaled by VRSHL or VQSHL.
//
// Only this file is built for NEON (a target pragma after the common
// headers); select_kernels puts it in the table only on a CPU with NEON.
#if defined(__arm__)

#include "dsp/hf_filter.h"

#pragma GCC push_options
#pragma GCC target("fpu=neon")
#include <arm_neon.h>

namespace {

inline int32x4_t gather(const int32_t* p, int stride) {
    int32x4_t v = vdupq_n_s32(0);
    v = vld1q_lane_s32(p, v, 0);
    v = vld1q_lane_s32(p + stride, v, 1);
    v = vld1q_lane_s32(p + 2 * stride, v, 2);
    return vld1q_lane_s32(p + 3 * stride, v, 3);
}
inline void scatter(int32_t* p, int stride, int32x4_t v) {
    vst1q_lane_s32(p, v, 0);
    vst1q_lane_s32(p + stride, v, 1);
    vst1q_lane_s32(p + 2 * stride, v, 2);
    vst1q_lane_s32(p + 3 * stride, v, 3);
}

// x0 2^28 + a0 x1 + b0 y1 + a1 x2 + b1 y2 in each lane, rounded to 32 bits
// at bit 28 (saturated).
inline int32x4_t sums(int32x4_t x0, int32x4_t x1, int32x4_t y1, int32x4_t x2, int32x4_t y2, int32x2_t a0,
                      int32x2_t b0, int32x2_t a1, int32x2_t b1) {
    int64x2_t lo = vshll_n_s32(vget_low_s32(x0), kHfFilterQ), hi = vshll_n_s32(vget_high_s32(x0), kHfFilterQ);
    lo = vmlal_s32(lo, vget_low_s32(x1), a0), hi = vmlal_s32(hi, vget_high_s32(x1), a0);
    lo = vmlal_s32(lo, vget_low_s32(y1), b0), hi = vmlal_s32(hi, vget_high_s32(y1), b0);
    lo = vmlal_s32(lo, vget_low_s32(x2), a1), hi = vmlal_s32(hi, vget_high_s32(x2), a1);
    lo = vmlal_s32(lo, vget_low_s32(y2), b1), hi = vmlal_s32(hi, vget_high_s32(y2), b1);
    return vcombine_s32(vqrshrn_n_s64(lo, kHfFilterQ), vqrshrn_n_s64(hi, kHfFilterQ));
}

}  // namespace

namespace {

// The words of four rows of a column, the pointer stepped on past them:
// four lane loads, each stepping the pointer by the row (written out, as
// the compiler addresses each row anew otherwise).
inline int32x4_t column4(const int32_t*& p, int row_bytes) {
    int32x4_t v;
    __asm__("vld1.32 {%e0[0]}, [%1], %2\n\t"
            "vld1.32 {%e0[1]}, [%1], %2\n\t"
            "vld1.32 {%f0[0]}, [%1], %2\n\t"
            "vld1.32 {%f0[1]}, [%1], %2"
            : "=w"(v), "+r"(p)
            : "r"(row_bytes)
            : "memory");
    return v;
}

}  // namespace

int sbr_hf_bits_neon(const int32_t* re, const int32_t* im, int stride, int n) {
    // |v| by VABS (INT32_MIN stays 2^31 as an unsigned word).
    uint32x4_t any = vdupq_n_u32(0);
    const int32_t* r = re;
    const int32_t* i = im;
    int l = 0;
    const int row_bytes = stride * static_cast<int>(sizeof *re);
    for (; l + 4 <= n; l += 4)
        any = vorrq_u32(any, vreinterpretq_u32_s32(vorrq_s32(vabsq_s32(column4(r, row_bytes)),
                                                             vabsq_s32(column4(i, row_bytes)))));
    const uint32x2_t half = vorr_u32(vget_low_u32(any), vget_high_u32(any));
    uint32_t m = vget_lane_u32(half, 0) | vget_lane_u32(half, 1);
    for (; l < n; ++l) m |= hf_filter::magnitude(re[l * stride]) | hf_filter::magnitude(im[l * stride]);
    return 32 - fx::clz32(m);
}

void sbr_hf_scale_neon(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr, int32_t* yi) {
    // Down: VRSHL by -s (fx::rshr, without overflow; s = 0 keeps the
    // words); up: VQSHL by -s (fx::shl_sat).
    const int32x4_t count = vdupq_n_s32(-s);
    const int row_bytes = stride * static_cast<int>(sizeof *re);
    const int32_t* r = re;
    const int32_t* i = im;
    int l = 0;
    if (s >= 0) {
        for (; l + 4 <= n; l += 4) {
            vst1q_s32(yr + l, vrshlq_s32(column4(r, row_bytes), count));
            vst1q_s32(yi + l, vrshlq_s32(column4(i, row_bytes), count));
        }
    } else {
        for (; l + 4 <= n; l += 4) {
            vst1q_s32(yr + l, vqshlq_s32(column4(r, row_bytes), count));
            vst1q_s32(yi + l, vqshlq_s32(column4(i, row_bytes), count));
        }
    }
    for (; l < n; ++l) hf_filter::scale_row(re, im, stride, l, s, yr, yi);
}

void sbr_hf_filter_neon(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                        int y_stride, int count, const int32_t* coef, int shift) {
    const int32x4_t down = vdupq_n_s32(-shift), up = vdupq_n_s32(shift);
    const int32x2_t a0r = vdup_n_s32(coef[0]), a0i = vdup_n_s32(coef[1]);
    const int32x2_t a1r = vdup_n_s32(coef[2]), a1i = vdup_n_s32(coef[3]);
    // Slots -2 and -1 in the last two lanes.
    int32x4_t prev_r = vld1q_lane_s32(x_re - x_stride, vld1q_lane_s32(x_re - 2 * x_stride, vdupq_n_s32(0), 2), 3);
    int32x4_t prev_i = vld1q_lane_s32(x_im - x_stride, vld1q_lane_s32(x_im - 2 * x_stride, vdupq_n_s32(0), 2), 3);
    prev_r = vrshlq_s32(prev_r, down), prev_i = vrshlq_s32(prev_i, down);
    int l = 0;
    for (; l + 4 <= count; l += 4) {
        const int32x4_t x0r = vrshlq_s32(gather(x_re + l * x_stride, x_stride), down);
        const int32x4_t x0i = vrshlq_s32(gather(x_im + l * x_stride, x_stride), down);
        const int32x4_t x1r = vextq_s32(prev_r, x0r, 3), x1i = vextq_s32(prev_i, x0i, 3);
        const int32x4_t x2r = vextq_s32(prev_r, x0r, 2), x2i = vextq_s32(prev_i, x0i, 2);
        // re = x0r 2^28 + a0r x1r - a0i x1i + a1r x2r - a1i x2i
        // im = x0i 2^28 + a0r x1i + a0i x1r + a1r x2i + a1i x2r
        const int32x4_t re = sums(x0r, x1r, vnegq_s32(x1i), x2r, vnegq_s32(x2i), a0r, a0i, a1r, a1i);
        const int32x4_t im = sums(x0i, x1i, x1r, x2i, x2r, a0r, a0i, a1r, a1i);
        scatter(y_re + l * y_stride, y_stride, vqshlq_s32(re, up));
        scatter(y_im + l * y_stride, y_stride, vqshlq_s32(im, up));
        prev_r = x0r, prev_i = x0i;
    }
    for (; l < count; ++l) hf_filter::row(x_re, x_im, x_stride, y_re, y_im, y_stride, l, coef, shift);
}

// phi(1,1) and phi(0,1) are phi(2,2) and phi(1,2) one sample on: the
// vector loop takes the other five sums, and those three come from them
// with their first term taken off and the next one added (modulo 2^64, as
// the reference's sums).
void sbr_hf_covariance_neon(const int32_t* yr, const int32_t* yi, int n, int64_t* phi) {
    const int64x2_t z = vdupq_n_s64(0);
    int64x2_t acc[5] = {z, z, z, z, z};  // phi[1], phi[2], phi[3], phi[6], phi[7]
    // a b + c d of the four lanes, into sum
    auto mac = [](int64x2_t& sum, int32x4_t a, int32x4_t b, int32x4_t c, int32x4_t d) {
        sum = vmlal_s32(sum, vget_low_s32(a), vget_low_s32(b));
        sum = vmlal_s32(sum, vget_high_s32(a), vget_high_s32(b));
        sum = vmlal_s32(sum, vget_low_s32(c), vget_low_s32(d));
        sum = vmlal_s32(sum, vget_high_s32(c), vget_high_s32(d));
    };
    int m = 0;
    for (; m + 4 <= n; m += 4) {
        const int32x4_t r0 = vld1q_s32(yr + m), r1 = vld1q_s32(yr + m + 1), r2 = vld1q_s32(yr + m + 2);
        const int32x4_t i0 = vld1q_s32(yi + m), i1 = vld1q_s32(yi + m + 1), i2 = vld1q_s32(yi + m + 2);
        const int32x4_t n0 = vnegq_s32(i0);
        mac(acc[0], r0, r0, i0, i0);
        mac(acc[1], r1, r0, i1, i0);
        mac(acc[2], i1, r0, r1, n0);
        mac(acc[3], r2, r0, i2, i0);
        mac(acc[4], i2, r0, r2, n0);
    }
    static constexpr int kAt[5] = {1, 2, 3, 6, 7};
    for (int i = 0; i < 5; ++i)
        phi[kAt[i]] = static_cast<int64_t>(static_cast<uint64_t>(vgetq_lane_s64(acc[i], 0)) +
                                           static_cast<uint64_t>(vgetq_lane_s64(acc[i], 1)));
    for (; m < n; ++m) {
        phi[1] = fx::mac64(fx::mac64(phi[1], yr[m], yr[m]), yi[m], yi[m]);
        phi[2] = fx::mac64(fx::mac64(phi[2], yr[m + 1], yr[m]), yi[m + 1], yi[m]);
        phi[3] = fx::mac64(fx::mac64(phi[3], yi[m + 1], yr[m]), yr[m + 1], fx::neg_wrap(yi[m]));
        phi[6] = fx::mac64(fx::mac64(phi[6], yr[m + 2], yr[m]), yi[m + 2], yi[m]);
        phi[7] = fx::mac64(fx::mac64(phi[7], yi[m + 2], yr[m]), yr[m + 2], fx::neg_wrap(yi[m]));
    }
    // The terms of sample pairs (k + 1, k) for k = 0 and k = n.
    auto power = [&](int k) { return static_cast<uint64_t>(fx::mac64(fx::mac64(0, yr[k], yr[k]), yi[k], yi[k])); };
    auto real = [&](int k) {
        return static_cast<uint64_t>(fx::mac64(fx::mac64(0, yr[k + 1], yr[k]), yi[k + 1], yi[k]));
    };
    auto imag = [&](int k) {
        return static_cast<uint64_t>(fx::mac64(fx::mac64(0, yi[k + 1], yr[k]), yr[k + 1], fx::neg_wrap(yi[k])));
    };
    phi[0] = static_cast<int64_t>(static_cast<uint64_t>(phi[1]) + power(n) - power(0));
    phi[4] = static_cast<int64_t>(static_cast<uint64_t>(phi[2]) + real(n) - real(0));
    phi[5] = static_cast<int64_t>(static_cast<uint64_t>(phi[3]) + imag(n) - imag(0));
}

#pragma GCC pop_options

#endif
