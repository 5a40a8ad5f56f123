// The SBR high-frequency generator's kernels with SSE4.1. The covariances:
// four terms at a time, the products of the even and the odd words (PMULDQ)
// added into the same 64-bit lanes, the two lanes added at the end (all
// sums modulo 2^64, in any order the same). The filter, four slots at a
// time: the column's words gathered into registers (PINSRD), scaled down by
// the arithmetic shift and its last bit shifted out (fx::rshr), the slots
// before each four (x[l-1], x[l-2]) from the previous four (PALIGNR), the
// five products of each part in 64-bit lanes (PMULDQ, the even slots and the
// odd ones apart), rounded and saturated as fx::rshr64_sat, and scaled back
// up with the saturation of fx::shl_sat (where the shifted value does not
// shift back to itself). Bit-exact with dsp/hf_filter.cpp; the last slots
// of a run are the reference's rows. The block exponents: four subbands'
// words of a row by one load, their magnitudes by PABSD (INT32_MIN stays
// 2^31 as an unsigned word), ORed over the rows; a subband's words four
// rows at a time (the filter's gather) scaled down as the filter's input,
// up as its output, into consecutive words (the covariances' samples).
#include <immintrin.h>

#include <algorithm>

#include "dsp/hf_filter.h"
#include "dsp/x86/complex_sse41.h"

namespace {

#define SSE41_INLINE __attribute__((target("sse4.1"), always_inline)) inline

// Four words of a column, `stride` apart.
SSE41_INLINE __m128i gather(const int32_t* p, int stride) {
    __m128i v = _mm_cvtsi32_si128(p[0]);
    v = _mm_insert_epi32(v, p[stride], 1);
    v = _mm_insert_epi32(v, p[2 * stride], 2);
    return _mm_insert_epi32(v, p[3 * stride], 3);
}
SSE41_INLINE void scatter(int32_t* p, int stride, __m128i v) {
    p[0] = _mm_cvtsi128_si32(v);
    p[stride] = _mm_extract_epi32(v, 1);
    p[2 * stride] = _mm_extract_epi32(v, 2);
    p[3 * stride] = _mm_extract_epi32(v, 3);
}

// fx::rshr by s (1..31) of four words: (x >> s) + ((x >> (s - 1)) & 1).
SSE41_INLINE __m128i rshr(__m128i x, __m128i s, __m128i s1) {
    return _mm_add_epi32(_mm_sra_epi32(x, s), _mm_and_si128(_mm_sra_epi32(x, s1), _mm_set1_epi32(1)));
}

// The odd words moved to the even ones (PMULDQ reads the even words).
SSE41_INLINE __m128i odd(__m128i v) { return _mm_srli_epi64(v, 32); }

// fx::rshr64_sat by kHfFilterQ of the 64-bit sums of the even slots (e) and
// the odd ones (o), as four words in slot order.
SSE41_INLINE __m128i round_q(__m128i e, __m128i o) {
    const __m128i bias = _mm_set1_epi64x(INT64_C(1) << (kHfFilterQ - 1));
    auto asr = [](__m128i v) __attribute__((always_inline, target("sse4.1"))) {
        const __m128i sign = _mm_shuffle_epi32(_mm_srai_epi32(v, 31), _MM_SHUFFLE(3, 3, 1, 1));
        return _mm_xor_si128(_mm_srli_epi64(_mm_xor_si128(v, sign), kHfFilterQ), sign);
    };
    e = asr(_mm_add_epi64(e, bias));
    o = asr(_mm_add_epi64(o, bias));
    // lo: e0 e2 o1 o3 (slots 0, 2, 1, 3); hi the high words
    const __m128 ef = _mm_castsi128_ps(e), of = _mm_castsi128_ps(o);
    const __m128i lo = _mm_castps_si128(_mm_shuffle_ps(ef, of, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i hi = _mm_castps_si128(_mm_shuffle_ps(ef, of, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m128i fits = _mm_cmpeq_epi32(hi, _mm_srai_epi32(lo, 31));
    const __m128i limit = _mm_xor_si128(_mm_srai_epi32(hi, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_shuffle_epi32(_mm_blendv_epi8(limit, lo, fits), _MM_SHUFFLE(3, 1, 2, 0));
}

// fx::shl_sat by s of four words.
SSE41_INLINE __m128i shl_sat(__m128i v, __m128i s) {
    const __m128i up = _mm_sll_epi32(v, s);
    const __m128i fits = _mm_cmpeq_epi32(_mm_sra_epi32(up, s), v);
    const __m128i limit = _mm_xor_si128(_mm_srai_epi32(v, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_blendv_epi8(limit, up, fits);
}

}  // namespace

SSE41 void sbr_hf_magnitudes_sse41(const int32_t* re, const int32_t* im, int stride, int rows, int n,
                                   uint32_t* any) {
    // (A run not a multiple of four ends with the four subbands up to its
    // last, ORed twice, the same words; one below four is the reference's.)
    if (n < 4) {
        sbr_hf_magnitudes_c(re, im, stride, rows, n, any);
        return;
    }
    const int end = rows * stride;
    for (int c = 0;; c = std::min(c + 4, n - 4)) {
        __m128i* out = reinterpret_cast<__m128i*>(any + c);
        const int32_t* r = re + c;
        const int32_t* i = im + c;
        __m128i m = _mm_loadu_si128(out);
        for (int o = 0; o < end; o += stride) {
            const __m128i a = _mm_abs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + o)));
            const __m128i b = _mm_abs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(i + o)));
            m = _mm_or_si128(m, _mm_or_si128(a, b));
        }
        _mm_storeu_si128(out, m);
        if (c + 4 >= n) break;
    }
}

SSE41 void sbr_hf_scale_sse41(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr,
                              int32_t* yi) {
    // The shift's direction chosen once for the run, as the reference's.
    auto run = [&](auto op) __attribute__((always_inline, target("sse4.1"))) {
        const int32_t* r = re;
        const int32_t* i = im;
        int l = 0;
        if (stride == 1)  // runs of words (the core's time samples between block scales)
            for (; l + 4 <= n; l += 4) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(yr + l),
                                 op(_mm_loadu_si128(reinterpret_cast<const __m128i*>(re + l))));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(yi + l),
                                 op(_mm_loadu_si128(reinterpret_cast<const __m128i*>(im + l))));
            }
        else
            for (; l + 4 <= n; l += 4, r += 4 * stride, i += 4 * stride) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(yr + l), op(gather(r, stride)));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(yi + l), op(gather(i, stride)));
            }
        for (; l < n; ++l) hf_filter::scale_row(re, im, stride, l, s, yr, yi);
    };
    const __m128i count = _mm_cvtsi32_si128(s > 0 ? s : -s), count1 = _mm_cvtsi32_si128(s - 1);
    if (s > 0)
        run([&](__m128i v) __attribute__((always_inline, target("sse4.1"))) { return rshr(v, count, count1); });
    else if (s == 0)
        run([](__m128i v) __attribute__((always_inline, target("sse4.1"))) { return v; });
    else
        run([&](__m128i v) __attribute__((always_inline, target("sse4.1"))) { return shl_sat(v, count); });
}

namespace {

// One subband, x and y rows x_stride and y_stride apart, coef = a0 re,
// a0 im, a1 re, a1 im.
SSE41 void filter_column(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                         int y_stride, int count, const int32_t* coef, int shift) {
    const __m128i s = _mm_cvtsi32_si128(shift), s1 = _mm_cvtsi32_si128(shift - 1);
    auto scaled = [&](__m128i v) __attribute__((always_inline, target("sse4.1"))) {
        return shift > 0 ? rshr(v, s, s1) : v;
    };
    auto load = [&](const int32_t* p) __attribute__((always_inline, target("sse4.1"))) {
        return scaled(gather(p, x_stride));
    };
    // Slots -2 and -1 in the last two words.
    auto load_before = [&](const int32_t* p) __attribute__((always_inline, target("sse4.1"))) {
        return scaled(_mm_insert_epi32(_mm_insert_epi32(_mm_setzero_si128(), p[-2 * x_stride], 2), p[-x_stride], 3));
    };
    const __m128i a0r = _mm_set1_epi32(coef[0]), a0i = _mm_set1_epi32(coef[1]);
    const __m128i a1r = _mm_set1_epi32(coef[2]), a1i = _mm_set1_epi32(coef[3]);
    const __m128i one = _mm_set1_epi32(INT32_C(1) << kHfFilterQ), zero = _mm_setzero_si128();
    __m128i prev_r = load_before(x_re), prev_i = load_before(x_im);
    int l = 0;
    for (; l + 4 <= count; l += 4) {
        const __m128i x0r = load(x_re + l * x_stride), x0i = load(x_im + l * x_stride);
        const __m128i x1r = _mm_alignr_epi8(x0r, prev_r, 12), x1i = _mm_alignr_epi8(x0i, prev_i, 12);
        const __m128i x2r = _mm_alignr_epi8(x0r, prev_r, 8), x2i = _mm_alignr_epi8(x0i, prev_i, 8);
        const __m128i n1i = _mm_sub_epi32(zero, x1i), n2i = _mm_sub_epi32(zero, x2i);
        // re = x0r 2^28 + a0r x1r - a0i x1i + a1r x2r - a1i x2i
        // im = x0i 2^28 + a0r x1i + a0i x1r + a1r x2i + a1i x2r
        auto sums = [&](__m128i p0, __m128i p1, __m128i p2, __m128i p3, __m128i p4)
                        __attribute__((always_inline, target("sse4.1"))) {
            __m128i e = _mm_add_epi64(_mm_mul_epi32(p0, one), _mm_mul_epi32(p1, a0r));
            e = _mm_add_epi64(e, _mm_add_epi64(_mm_mul_epi32(p2, a0i), _mm_mul_epi32(p3, a1r)));
            e = _mm_add_epi64(e, _mm_mul_epi32(p4, a1i));
            __m128i o = _mm_add_epi64(_mm_mul_epi32(odd(p0), one), _mm_mul_epi32(odd(p1), a0r));
            o = _mm_add_epi64(o, _mm_add_epi64(_mm_mul_epi32(odd(p2), a0i), _mm_mul_epi32(odd(p3), a1r)));
            o = _mm_add_epi64(o, _mm_mul_epi32(odd(p4), a1i));
            const __m128i v = round_q(e, o);
            return shift > 0 ? shl_sat(v, s) : v;
        };
        scatter(y_re + l * y_stride, y_stride, sums(x0r, x1r, n1i, x2r, n2i));
        scatter(y_im + l * y_stride, y_stride, sums(x0i, x1i, x1r, x2i, x2r));
        prev_r = x0r, prev_i = x0i;
    }
    for (; l < count; ++l) hf_filter::row(x_re, x_im, x_stride, y_re, y_im, y_stride, l, coef, shift);
}

}  // namespace

SSE41 void sbr_hf_filter_sse41(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride,
                               int count, int n, const int32_t* coef, const uint8_t* shift) {
    for (int c = 0; c < n; ++c) {
        const int32_t a[4] = {coef[c], coef[c + kHfCoefRow], coef[c + 2 * kHfCoefRow], coef[c + 3 * kHfCoefRow]};
        filter_column(x_re + c, x_im + c, stride, y_re + c, y_im + c, stride, count, a, shift[c]);
    }
}

SSE41 void sbr_hf_covariance_sse41(const int32_t* yr, const int32_t* yi, int n, int64_t* phi) {
    __m128i acc[8];
    for (__m128i& a : acc) a = _mm_setzero_si128();
    // a b + c d of the even words and of the odd ones, into acc
    auto mac = [](__m128i& sum, __m128i a, __m128i b, __m128i c, __m128i d)
                   __attribute__((always_inline, target("sse4.1"))) {
        sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_mul_epi32(a, b), _mm_mul_epi32(c, d)));
        sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_mul_epi32(odd(a), odd(b)), _mm_mul_epi32(odd(c), odd(d))));
    };
    const __m128i zero = _mm_setzero_si128();
    int m = 0;
    for (; m + 4 <= n; m += 4) {
        auto at = [](const int32_t* p) __attribute__((always_inline, target("sse4.1"))) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        };
        const __m128i r0 = at(yr + m), r1 = at(yr + m + 1), r2 = at(yr + m + 2);
        const __m128i i0 = at(yi + m), i1 = at(yi + m + 1), i2 = at(yi + m + 2);
        const __m128i n0 = _mm_sub_epi32(zero, i0), n1 = _mm_sub_epi32(zero, i1);
        mac(acc[0], r1, r1, i1, i1);
        mac(acc[1], r0, r0, i0, i0);
        mac(acc[2], r1, r0, i1, i0);
        mac(acc[3], i1, r0, r1, n0);
        mac(acc[4], r2, r1, i2, i1);
        mac(acc[5], i2, r1, r2, n1);
        mac(acc[6], r2, r0, i2, i0);
        mac(acc[7], i2, r0, r2, n0);
    }
    for (int i = 0; i < 8; ++i)
        phi[i] = _mm_cvtsi128_si64(_mm_add_epi64(acc[i], _mm_unpackhi_epi64(acc[i], acc[i])));
    for (; m < n; ++m) hf_filter::covariance_term(yr, yi, m, phi);
}

SSE41 void sbr_hf_covariances_sse41(const int32_t* re, const int32_t* im, int stride, int rows, int n,
                                    const int8_t* shift, int64_t (*phi)[8]) {
    int32_t yr[kHfCovRows], yi[kHfCovRows];
    for (int c = 0; c < n; ++c) {
        sbr_hf_scale_sse41(re + c, im + c, stride, rows, shift[c], yr, yi);
        sbr_hf_covariance_sse41(yr, yi, rows - 2, phi[c]);
    }
}
