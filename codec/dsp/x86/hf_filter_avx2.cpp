// The SBR high-frequency generator's filter with AVX2, eight slots at a
// time: the SSE4.1 variant's steps (dsp/x86/hf_filter_sse41.cpp) twice as
// wide. The column's words gathered into the two halves of a register
// (VPINSRD) and scaled down as fx::rshr; the slots before each eight
// (x[l-1], x[l-2]) from the previous eight (VPERM2I128, VPALIGNR); the
// five products of each part in 64-bit lanes (VPMULDQ, the even slots and
// the odd ones apart), rounded as fx::rshr64_sat by kHfFilterQ straight into
// the slots' words: the low words of the logical shift (an even slot's sum
// shifted down, an odd one's up by 32 - kHfFilterQ), saturated where the
// high word of the arithmetic shift (VPSRAD of the sum's high word) is not
// their sign; then scaled back up as fx::shl_sat. The last rows of a run
// (fewer than eight) are the SSE4.1 variant's. Bit-exact with
// dsp/hf_filter.cpp.
#include <immintrin.h>

#include "dsp/hf_filter.h"
#include "dsp/x86/complex_avx2.h"

namespace {

#define AVX2_LAMBDA __attribute__((always_inline, target("avx2")))

// Eight words of a column, `stride` apart.
AVX2_INLINE __m128i gather4(const int32_t* p, int stride) {
    __m128i v = _mm_cvtsi32_si128(p[0]);
    v = _mm_insert_epi32(v, p[stride], 1);
    v = _mm_insert_epi32(v, p[2 * stride], 2);
    return _mm_insert_epi32(v, p[3 * stride], 3);
}
AVX2_INLINE __m256i gather8(const int32_t* p, int stride) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(gather4(p, stride)), gather4(p + 4 * stride, stride), 1);
}
AVX2_INLINE void scatter4(int32_t* p, int stride, __m128i v) {
    p[0] = _mm_cvtsi128_si32(v);
    p[stride] = _mm_extract_epi32(v, 1);
    p[2 * stride] = _mm_extract_epi32(v, 2);
    p[3 * stride] = _mm_extract_epi32(v, 3);
}
AVX2_INLINE void scatter8(int32_t* p, int stride, __m256i v) {
    scatter4(p, stride, _mm256_castsi256_si128(v));
    scatter4(p + 4 * stride, stride, _mm256_extracti128_si256(v, 1));
}

// fx::rshr by s (1..31): (x >> s) + ((x >> (s - 1)) & 1).
AVX2_INLINE __m256i rshr(__m256i x, __m128i s, __m128i s1) {
    return _mm256_add_epi32(_mm256_sra_epi32(x, s), _mm256_and_si256(_mm256_sra_epi32(x, s1), _mm256_set1_epi32(1)));
}

// fx::shl_sat by s: the limit of v's sign where the shifted value does not
// shift back to v.
AVX2_INLINE __m256i shl_sat(__m256i v, __m128i s) {
    const __m256i up = _mm256_sll_epi32(v, s);
    const __m256i fits = _mm256_cmpeq_epi32(_mm256_sra_epi32(up, s), v);
    const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(v, 31), _mm256_set1_epi32(INT32_MAX));
    return _mm256_blendv_epi8(limit, up, fits);
}

// fx::rshr64_sat by kHfFilterQ of the 64-bit sums of the even slots (e) and
// the odd ones (o), as eight words in slot order.
AVX2_INLINE __m256i round_q(__m256i e, __m256i o) {
    static_assert(kHfFilterQ < 32, "the low words of the logical shift");
    const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << (kHfFilterQ - 1));
    e = _mm256_add_epi64(e, bias);
    o = _mm256_add_epi64(o, bias);
    const __m256i lo = _mm256_blend_epi32(_mm256_srli_epi64(e, kHfFilterQ), _mm256_slli_epi64(o, 32 - kHfFilterQ), 0xAA);
    const __m256i hi = _mm256_blend_epi32(_mm256_srli_epi64(_mm256_srai_epi32(e, kHfFilterQ), 32),
                                          _mm256_srai_epi32(o, kHfFilterQ), 0xAA);
    const __m256i fits = _mm256_cmpeq_epi32(hi, _mm256_srai_epi32(lo, 31));
    const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(hi, 31), _mm256_set1_epi32(INT32_MAX));
    return _mm256_blendv_epi8(limit, lo, fits);
}

// A value's even words and its odd ones shifted down (VPMULDQ reads the
// even words).
struct Pair {
    __m256i even, odd;
};
AVX2_INLINE Pair pair(__m256i v) { return {v, _mm256_srli_epi64(v, 32)}; }

// sum of p[t] c[t] over the five terms, the even and the odd slots apart.
AVX2_INLINE __m256i sum5(const Pair* p, const __m256i* c, bool odd) {
    auto at = [&](int t) AVX2_LAMBDA { return _mm256_mul_epi32(odd ? p[t].odd : p[t].even, c[t]); };
    return _mm256_add_epi64(_mm256_add_epi64(_mm256_add_epi64(at(0), at(1)), _mm256_add_epi64(at(2), at(3))), at(4));
}

// Rows 0 .. 8 n - 1 of the run; kScaled: shift > 0.
template <bool kScaled>
AVX2_INLINE int filter8(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                        int y_stride, int count, const int32_t* coef, int shift) {
    const __m128i s = _mm_cvtsi32_si128(shift), s1 = _mm_cvtsi32_si128(shift - 1);
    auto scaled = [&](__m256i v) AVX2_LAMBDA { return kScaled ? rshr(v, s, s1) : v; };
    // Slots -2 and -1 in the last two words.
    auto before = [&](const int32_t* p) AVX2_LAMBDA {
        const __m128i v = _mm_insert_epi32(_mm_insert_epi32(_mm_setzero_si128(), p[-2 * x_stride], 2), p[-x_stride], 3);
        return scaled(_mm256_inserti128_si256(_mm256_setzero_si256(), v, 1));
    };
    const __m256i c[5] = {_mm256_set1_epi32(INT32_C(1) << kHfFilterQ), _mm256_set1_epi32(coef[0]),
                          _mm256_set1_epi32(coef[1]), _mm256_set1_epi32(coef[2]), _mm256_set1_epi32(coef[3])};
    const __m256i zero = _mm256_setzero_si256();
    __m256i prev_r = before(x_re), prev_i = before(x_im);
    int l = 0;
    for (; l + 8 <= count; l += 8) {
        const __m256i x0r = scaled(gather8(x_re + l * x_stride, x_stride));
        const __m256i x0i = scaled(gather8(x_im + l * x_stride, x_stride));
        const __m256i tr = _mm256_permute2x128_si256(prev_r, x0r, 0x21);
        const __m256i ti = _mm256_permute2x128_si256(prev_i, x0i, 0x21);
        const Pair p0r = pair(x0r), p0i = pair(x0i);
        const Pair p1r = pair(_mm256_alignr_epi8(x0r, tr, 12)), p1i = pair(_mm256_alignr_epi8(x0i, ti, 12));
        const Pair p2r = pair(_mm256_alignr_epi8(x0r, tr, 8)), p2i = pair(_mm256_alignr_epi8(x0i, ti, 8));
        // The imaginary parts negated as fx::neg_wrap (VPSUBD wraps).
        const Pair n1i = {_mm256_sub_epi32(zero, p1i.even), _mm256_sub_epi32(zero, p1i.odd)};
        const Pair n2i = {_mm256_sub_epi32(zero, p2i.even), _mm256_sub_epi32(zero, p2i.odd)};
        // re = x0r 2^28 + a0r x1r - a0i x1i + a1r x2r - a1i x2i
        // im = x0i 2^28 + a0r x1i + a0i x1r + a1r x2i + a1i x2r
        const Pair re[5] = {p0r, p1r, n1i, p2r, n2i}, im[5] = {p0i, p1i, p1r, p2i, p2r};
        __m256i yr = round_q(sum5(re, c, false), sum5(re, c, true));
        __m256i yi = round_q(sum5(im, c, false), sum5(im, c, true));
        if constexpr (kScaled) yr = shl_sat(yr, s), yi = shl_sat(yi, s);
        scatter8(y_re + l * y_stride, y_stride, yr);
        scatter8(y_im + l * y_stride, y_stride, yi);
        prev_r = x0r, prev_i = x0i;
    }
    return l;
}

}  // namespace

AVX2 void sbr_hf_filter_avx2(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                             int y_stride, int count, const int32_t* coef, int shift) {
    const int l = shift > 0 ? filter8<true>(x_re, x_im, x_stride, y_re, y_im, y_stride, count, coef, shift)
                            : filter8<false>(x_re, x_im, x_stride, y_re, y_im, y_stride, count, coef, shift);
    _mm256_zeroupper();
    if (l < count)
        sbr_hf_filter_sse41(x_re + l * x_stride, x_im + l * x_stride, x_stride, y_re + l * y_stride,
                            y_im + l * y_stride, y_stride, count - l, coef, shift);
}

// The covariances, eight terms a step. Of the eight sums five are taken
// (phi[1], [2], [3], [6], [7]); the other three are sums of the same terms
// one sample on, so each is its partner less the first term and plus the
// one after the last (phi[0] from phi[1], [4] from [2], [5] from [3]), the
// same sums modulo 2^64. Each step's products: those of the even words and
// of the odd ones (VPMULDQ) added into the same 64-bit lanes, the lanes
// added at the end. A run not a multiple of eight ends with the eight
// terms up to its last, those already taken zeroed by their y[m] (every
// product has a factor of y[m]); runs below eight are the reference's.
AVX2 void sbr_hf_covariance_avx2(const int32_t* yr, const int32_t* yi, int n, int64_t* phi) {
    if (n < 8) {
        sbr_hf_covariance_c(yr, yi, n, phi);
        return;
    }
    __m256i acc[5];
    for (__m256i& a : acc) a = _mm256_setzero_si256();
    const __m256i zero = _mm256_setzero_si256();
    auto at = [&](const int32_t* p) AVX2_LAMBDA { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); };
    // a b + c d of the even words and of the odd ones, into sum
    auto mac = [&](__m256i& sum, const Pair& a, const Pair& b, const Pair& c, const Pair& d) AVX2_LAMBDA {
        const __m256i e = _mm256_add_epi64(_mm256_mul_epi32(a.even, b.even), _mm256_mul_epi32(c.even, d.even));
        const __m256i o = _mm256_add_epi64(_mm256_mul_epi32(a.odd, b.odd), _mm256_mul_epi32(c.odd, d.odd));
        sum = _mm256_add_epi64(sum, _mm256_add_epi64(e, o));
    };
    auto step = [&](int m, __m256i keep) AVX2_LAMBDA {
        const Pair r0 = pair(_mm256_and_si256(at(yr + m), keep)), i0 = pair(_mm256_and_si256(at(yi + m), keep));
        const Pair r1 = pair(at(yr + m + 1)), i1 = pair(at(yi + m + 1));
        const Pair r2 = pair(at(yr + m + 2)), i2 = pair(at(yi + m + 2));
        const Pair n0 = {_mm256_sub_epi32(zero, i0.even), _mm256_sub_epi32(zero, i0.odd)};
        mac(acc[0], r0, r0, i0, i0);  // phi[1]
        mac(acc[1], r1, r0, i1, i0);  // phi[2]
        mac(acc[2], i1, r0, r1, n0);  // phi[3]
        mac(acc[3], r2, r0, i2, i0);  // phi[6]
        mac(acc[4], i2, r0, r2, n0);  // phi[7]
    };
    const __m256i all = _mm256_set1_epi32(-1);
    int m = 0;
    for (; m + 8 <= n; m += 8) step(m, all);
    if (m < n) {
        // The last eight terms, the first 8 - (n - m) of them taken already.
        static constexpr int32_t kKeep[16] = {0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1, -1, -1, -1};
        step(n - 8, at(kKeep + (n - m)));
    }
    int64_t sum[5];
    for (int i = 0; i < 5; ++i) {
        const __m128i h = _mm_add_epi64(_mm256_castsi256_si128(acc[i]), _mm256_extracti128_si256(acc[i], 1));
        sum[i] = _mm_cvtsi128_si64(_mm_add_epi64(h, _mm_unpackhi_epi64(h, h)));
    }
    _mm256_zeroupper();
    // The terms of phi[1], [2], [3] at m = 0 and m = n (modulo 2^64).
    auto term = [&](int k, int i) {
        const int32_t r0 = yr[k], i0 = yi[k], r1 = yr[k + 1], i1 = yi[k + 1];
        return i == 1 ? fx::mac64(fx::mac64(0, r0, r0), i0, i0)
             : i == 2 ? fx::mac64(fx::mac64(0, r1, r0), i1, i0)
                      : fx::mac64(fx::mac64(0, i1, r0), r1, fx::neg_wrap(i0));
    };
    auto next = [&](int64_t s, int i) {
        return static_cast<int64_t>(static_cast<uint64_t>(s) - static_cast<uint64_t>(term(0, i)) +
                                    static_cast<uint64_t>(term(n, i)));
    };
    phi[1] = sum[0], phi[2] = sum[1], phi[3] = sum[2], phi[6] = sum[3], phi[7] = sum[4];
    phi[0] = next(sum[0], 1), phi[4] = next(sum[1], 2), phi[5] = next(sum[2], 3);
}
