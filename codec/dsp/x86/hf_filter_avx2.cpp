// The SBR high-frequency generator's filter with AVX2. Runs of eight
// subbands or more: eight subbands side by side a row at a time (see
// filter_rows below), a run not a multiple of eight ending with the eight
// subbands up to its last. Fewer subbands: each on its own, eight slots at a
// time: the column's words gathered (VPGATHERDD) and scaled down as
// fx::rshr; the slots before each eight (x[l-1], x[l-2]) from the previous
// eight (VPERM2I128, VPALIGNR). VPMULDQ reads the low word of each 64-bit
// lane: those of the gathered words are slots l + 2i, of the words shifted
// down l + 2i + 1, of the two aligned ones l + 2i - 1 and l + 2i - 2, the
// even slots' three terms and the odd ones'. The five products of each part
// in 64-bit lanes, the real part's subtracted products those of the negated
// coefficients (|a| < 2^30; no x is -2^31 either), rounded as
// fx::rshr64_sat by kHfFilterQ straight into the slots' words: the low
// words of the logical shift (an even slot's sum shifted down, an odd one's
// up by 32 - kHfFilterQ), saturated where the high word of the arithmetic
// shift (the sum's high word shifted by VPSRAD) is not their sign; then
// scaled back up as fx::shl_sat. The output rows are those of the
// generator's matrix (64 words); a run not a multiple of eight ends with the
// eight rows up to its last (rows done twice are the same values); runs
// below eight rows are the SSE4.1 variant's. Bit-exact with
// dsp/hf_filter.cpp.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "dsp/hf_filter.h"
#include "dsp/x86/complex_avx2.h"

namespace {

#define AVX2_LAMBDA __attribute__((always_inline, target("avx2")))

constexpr int kRow = 64;  // the output rows' stride taken here

// Eight words of the output column, kRow apart.
AVX2_INLINE void scatter8(int32_t* p, __m256i v) {
    const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
    p[0] = _mm_cvtsi128_si32(lo);
    p[kRow] = _mm_extract_epi32(lo, 1);
    p[2 * kRow] = _mm_extract_epi32(lo, 2);
    p[3 * kRow] = _mm_extract_epi32(lo, 3);
    p[4 * kRow] = _mm_cvtsi128_si32(hi);
    p[5 * kRow] = _mm_extract_epi32(hi, 1);
    p[6 * kRow] = _mm_extract_epi32(hi, 2);
    p[7 * kRow] = _mm_extract_epi32(hi, 3);
}

// fx::rshr by s (1..31): (x >> s) + ((x >> (s - 1)) & 1).
AVX2_INLINE __m256i rshr(__m256i x, __m128i s, __m128i s1) {
    return _mm256_add_epi32(_mm256_sra_epi32(x, s), _mm256_and_si256(_mm256_sra_epi32(x, s1), _mm256_set1_epi32(1)));
}

// The limit of each word's sign (sign: its top bit), INT32_MAX or INT32_MIN.
AVX2_INLINE __m256i limit(__m256i sign) {
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX)),
                                                _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MIN)),
                                                _mm256_castsi256_ps(sign)));
}

// fx::shl_sat by s: the limit of v's sign where the shifted value does not
// shift back to v.
AVX2_INLINE __m256i shl_sat(__m256i v, __m128i s) {
    const __m256i up = _mm256_sll_epi32(v, s);
    const __m256i fits = _mm256_cmpeq_epi32(_mm256_sra_epi32(up, s), v);
    return _mm256_blendv_epi8(limit(v), up, fits);
}

// fx::rshr64_sat by kHfFilterQ of the 64-bit sums of the even slots (e) and
// the odd ones (o), as eight words in slot order.
AVX2_INLINE __m256i round_q(__m256i e, __m256i o) {
    static_assert(kHfFilterQ < 32, "the low words of the logical shift");
    const __m256i bias = _mm256_set1_epi64x(INT64_C(1) << (kHfFilterQ - 1));
    e = _mm256_add_epi64(e, bias);
    o = _mm256_add_epi64(o, bias);
    const __m256i lo =
        _mm256_blend_epi32(_mm256_srli_epi64(e, kHfFilterQ), _mm256_slli_epi64(o, 32 - kHfFilterQ), 0xAA);
    const __m256i hi =
        _mm256_srai_epi32(_mm256_blend_epi32(_mm256_shuffle_epi32(e, _MM_SHUFFLE(3, 3, 1, 1)), o, 0xAA), kHfFilterQ);
    const __m256i fits = _mm256_cmpeq_epi32(hi, _mm256_srai_epi32(lo, 31));
    return _mm256_blendv_epi8(limit(hi), lo, fits);
}

// Rows 0 .. count - 1 (count >= 8); kScaled: shift > 0.
template <bool kScaled>
AVX2_INLINE void filter8(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                         int count, const int32_t* coef, int shift) {
    const __m128i s = _mm_cvtsi32_si128(shift), s1 = _mm_cvtsi32_si128(shift - 1);
    auto scaled = [&](__m256i v) AVX2_LAMBDA { return kScaled ? rshr(v, s, s1) : v; };
    // The word offsets of eight rows, and of the two before them (in the
    // last two words; the others not read).
    const __m256i rows = _mm256_mullo_epi32(_mm256_set1_epi32(x_stride), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i rows_before = _mm256_sub_epi32(rows, _mm256_set1_epi32(8 * x_stride));
    const __m256i last_two = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, -1, -1);
    auto load = [&](const int32_t* p) AVX2_LAMBDA { return scaled(_mm256_i32gather_epi32(p, rows, 4)); };
    auto before = [&](const int32_t* p) AVX2_LAMBDA {
        return scaled(_mm256_mask_i32gather_epi32(_mm256_setzero_si256(), p, rows_before, last_two, 4));
    };
    const __m256i one = _mm256_set1_epi32(INT32_C(1) << kHfFilterQ);
    const __m256i a0r = _mm256_set1_epi32(coef[0]), a0i = _mm256_set1_epi32(coef[1]);
    const __m256i a1r = _mm256_set1_epi32(coef[2]), a1i = _mm256_set1_epi32(coef[3]);
    const __m256i n0i = _mm256_set1_epi32(fx::neg_wrap(coef[1])), n1i = _mm256_set1_epi32(fx::neg_wrap(coef[3]));
    // x0 2^28 + a x1 + b y1 + c x2 + d y2 in 64-bit lanes.
    auto sum5 = [&](__m256i x0, __m256i x1, __m256i y1, __m256i x2, __m256i y2, __m256i b, __m256i d) AVX2_LAMBDA {
        const __m256i u = _mm256_add_epi64(_mm256_mul_epi32(x0, one), _mm256_mul_epi32(x1, a0r));
        const __m256i v = _mm256_add_epi64(_mm256_mul_epi32(y1, b), _mm256_mul_epi32(x2, a1r));
        return _mm256_add_epi64(_mm256_add_epi64(u, v), _mm256_mul_epi32(y2, d));
    };
    // Rows l .. l + 7, rows l - 2 and l - 1 in the last two words of pr, pi.
    auto rows8 = [&](int l, __m256i& pr, __m256i& pi) AVX2_LAMBDA {
        const __m256i xr = load(x_re + l * x_stride), xi = load(x_im + l * x_stride);
        const __m256i tr = _mm256_permute2x128_si256(pr, xr, 0x21), ti = _mm256_permute2x128_si256(pi, xi, 0x21);
        const __m256i or_ = _mm256_srli_epi64(xr, 32), oi = _mm256_srli_epi64(xi, 32);
        const __m256i e1r = _mm256_alignr_epi8(xr, tr, 12), e1i = _mm256_alignr_epi8(xi, ti, 12);
        const __m256i e2r = _mm256_alignr_epi8(xr, tr, 8), e2i = _mm256_alignr_epi8(xi, ti, 8);
        // re = x0r 2^28 + a0r x1r - a0i x1i + a1r x2r - a1i x2i
        // im = x0i 2^28 + a0r x1i + a0i x1r + a1r x2i + a1i x2r
        __m256i yr = round_q(sum5(xr, e1r, e1i, e2r, e2i, n0i, n1i), sum5(or_, xr, xi, e1r, e1i, n0i, n1i));
        __m256i yi = round_q(sum5(xi, e1i, e1r, e2i, e2r, a0i, a1i), sum5(oi, xi, xr, e1i, e1r, a0i, a1i));
        if constexpr (kScaled) yr = shl_sat(yr, s), yi = shl_sat(yi, s);
        scatter8(y_re + l * kRow, yr);
        scatter8(y_im + l * kRow, yi);
        pr = xr, pi = xi;
    };
    __m256i pr = before(x_re), pi = before(x_im);
    int l = 0;
    for (; l + 8 <= count; l += 8) rows8(l, pr, pi);
    if (l < count) {
        l = count - 8;
        pr = before(x_re + l * x_stride), pi = before(x_im + l * x_stride);
        rows8(l, pr, pi);
    }
}

// The words of a value VPMULDQ reads (the even ones), and those of its odd
// words.
struct Pair {
    __m256i even, odd;
};

}  // namespace

namespace {

// One subband, eight rows a step (runs below eight subbands).
AVX2_INLINE void filter_column(const int32_t* x_re, const int32_t* x_im, int x_stride, int32_t* y_re, int32_t* y_im,
                               int y_stride, int count, const int32_t* coef, int shift) {
    if (count < 8 || y_stride != kRow) {
        sbr_hf_filter_column_sse41(x_re, x_im, x_stride, y_re, y_im, y_stride, count, coef, shift);
        return;
    }
    if (shift > 0)
        filter8<true>(x_re, x_im, x_stride, y_re, y_im, count, coef, shift);
    else
        filter8<false>(x_re, x_im, x_stride, y_re, y_im, count, coef, shift);
}

// Eight subbands side by side over rows 0 .. count - 1, a row a step: each
// row's words by one load, the rows before carried from the steps before;
// the even subbands' products from the words as they are, the odd ones'
// from the words shifted down (VPMULDQ), the coefficients likewise. Each
// subband's own shift by VPSRAVD (fx::rshr: the last bit shifted out added
// where the shift is above 0) and VPSLLVD (fx::shl_sat); kScaled: a shift
// above 0 among the eight.
template <bool kScaled>
AVX2_INLINE void filter_rows(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride,
                             int count, const int32_t* coef, const uint8_t* shift) {
    auto at = [&](const int32_t* p) AVX2_LAMBDA { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); };
    auto odd = [&](__m256i v) AVX2_LAMBDA { return _mm256_srli_epi64(v, 32); };
    const __m256i a0r = at(coef), a0i = at(coef + kHfCoefRow);
    const __m256i a1r = at(coef + 2 * kHfCoefRow), a1i = at(coef + 3 * kHfCoefRow);
    const __m256i b0r = odd(a0r), b0i = odd(a0i), b1r = odd(a1r), b1i = odd(a1i);
    const __m256i one = _mm256_set1_epi32(INT32_C(1) << kHfFilterQ);
    const __m256i s = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(shift)));
    const __m256i ones = _mm256_set1_epi32(1);
    const __m256i s1 = _mm256_max_epi32(_mm256_sub_epi32(s, ones), _mm256_setzero_si256());
    const __m256i bit = _mm256_min_epi32(s, ones);  // 1 where the shift is above 0
    auto down = [&](__m256i v) AVX2_LAMBDA {
        if constexpr (!kScaled) return v;
        return _mm256_add_epi32(_mm256_srav_epi32(v, s), _mm256_and_si256(_mm256_srav_epi32(v, s1), bit));
    };
    auto up = [&](__m256i v) AVX2_LAMBDA {
        if constexpr (!kScaled) return v;
        const __m256i u = _mm256_sllv_epi32(v, s);
        return _mm256_blendv_epi8(limit(v), u, _mm256_cmpeq_epi32(_mm256_srav_epi32(u, s), v));
    };
    // re = x0r 2^28 + a0r x1r - a0i x1i + a1r x2r - a1i x2i
    // im = x0i 2^28 + a0r x1i + a0i x1r + a1r x2i + a1i x2r
    // of the even words (coefficients c0..c3) or the odd ones (shifted down)
    auto sums = [&](__m256i x0r, __m256i x0i, __m256i x1r, __m256i x1i, __m256i x2r, __m256i x2i, __m256i c0,
                    __m256i c1, __m256i c2, __m256i c3, __m256i& re, __m256i& im) AVX2_LAMBDA {
        re = _mm256_add_epi64(_mm256_mul_epi32(x0r, one), _mm256_mul_epi32(x1r, c0));
        re = _mm256_sub_epi64(re, _mm256_mul_epi32(x1i, c1));
        re = _mm256_add_epi64(re, _mm256_sub_epi64(_mm256_mul_epi32(x2r, c2), _mm256_mul_epi32(x2i, c3)));
        im = _mm256_add_epi64(_mm256_mul_epi32(x0i, one), _mm256_mul_epi32(x1i, c0));
        im = _mm256_add_epi64(im, _mm256_mul_epi32(x1r, c1));
        im = _mm256_add_epi64(im, _mm256_add_epi64(_mm256_mul_epi32(x2i, c2), _mm256_mul_epi32(x2r, c3)));
    };
    if constexpr (!kScaled) {
        // The three rows read afresh each step (the even words straight
        // into VPMULDQ, the odd ones by VPSRLQ from memory): fewer values
        // live across the steps than carried rows need.
        for (int o = 0, end = count * stride; o < end; o += stride) {
            __m256i er, ei, fr, fi;
            sums(at(x_re + o), at(x_im + o), at(x_re + o - stride), at(x_im + o - stride), at(x_re + o - 2 * stride),
                 at(x_im + o - 2 * stride), a0r, a0i, a1r, a1i, er, ei);
            sums(odd(at(x_re + o)), odd(at(x_im + o)), odd(at(x_re + o - stride)), odd(at(x_im + o - stride)),
                 odd(at(x_re + o - 2 * stride)), odd(at(x_im + o - 2 * stride)), b0r, b0i, b1r, b1i, fr, fi);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(y_re + o), round_q(er, fr));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(y_im + o), round_q(ei, fi));
        }
        return;
    }
    __m256i x2r = down(at(x_re - 2 * stride)), x2i = down(at(x_im - 2 * stride));
    __m256i x1r = down(at(x_re - stride)), x1i = down(at(x_im - stride));
    __m256i o2r = odd(x2r), o2i = odd(x2i), o1r = odd(x1r), o1i = odd(x1i);
    for (int o = 0, end = count * stride; o < end; o += stride) {
        const __m256i x0r = down(at(x_re + o)), x0i = down(at(x_im + o));
        const __m256i o0r = odd(x0r), o0i = odd(x0i);
        __m256i er, ei, fr, fi;
        sums(x0r, x0i, x1r, x1i, x2r, x2i, a0r, a0i, a1r, a1i, er, ei);
        sums(o0r, o0i, o1r, o1i, o2r, o2i, b0r, b0i, b1r, b1i, fr, fi);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y_re + o), up(round_q(er, fr)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y_im + o), up(round_q(ei, fi)));
        x2r = x1r, x2i = x1i, x1r = x0r, x1i = x0i;
        o2r = o1r, o2i = o1i, o1r = o0r, o1i = o0i;
    }
}

}  // namespace

AVX2 void sbr_hf_filter_avx2(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride,
                             int count, int n, const int32_t* coef, const uint8_t* shift) {
    if (n < 8) {
        for (int c = 0; c < n; ++c) {
            const int32_t a[4] = {coef[c], coef[c + kHfCoefRow], coef[c + 2 * kHfCoefRow], coef[c + 3 * kHfCoefRow]};
            filter_column(x_re + c, x_im + c, stride, y_re + c, y_im + c, stride, count, a, shift[c]);
        }
    } else {
        // Eight subbands a pass; the last pass ends at the last subband
        // (subbands done twice are the same values).
        for (int c = 0;; c = std::min(c + 8, n - 8)) {
            uint64_t shifts;
            std::memcpy(&shifts, shift + c, sizeof shifts);
            if (shifts != 0)
                filter_rows<true>(x_re + c, x_im + c, y_re + c, y_im + c, stride, count, coef + c, shift + c);
            else
                filter_rows<false>(x_re + c, x_im + c, y_re + c, y_im + c, stride, count, coef + c, shift + c);
            if (c + 8 >= n) break;
        }
    }
    _mm256_zeroupper();
}

// The block exponents' magnitudes eight subbands at a time, a row's eight
// words by one load, made magnitudes by VPABSD (INT32_MIN stays 2^31 as an
// unsigned word) and ORed over the rows; the last subbands of a run (fewer
// than eight) by masked loads and stores (VPMASKMOVD), the other words not
// read or written. The scaling gathers a subband's words into the two
// halves of a register (VPINSRD), its last rows below eight are the SSE4.1
// variant's.
namespace {

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

}  // namespace

AVX2 void sbr_hf_magnitudes_avx2(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any) {
    // The lanes of the last subbands: kFirst + 8 - k holds k ones.
    static constexpr int32_t kFirst[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
    const int end = rows * stride;
    int c = 0;
    for (; c + 8 <= n; c += 8) {
        __m256i* out = reinterpret_cast<__m256i*>(any + c);
        const int32_t* r = re + c;
        const int32_t* i = im + c;
        __m256i m = _mm256_loadu_si256(out);
        for (int o = 0; o < end; o += stride) {
            const __m256i a = _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + o)));
            const __m256i b = _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(i + o)));
            m = _mm256_or_si256(m, _mm256_or_si256(a, b));
        }
        _mm256_storeu_si256(out, m);
    }
    if (c < n) {
        const __m256i lanes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kFirst + 8 - (n - c)));
        int* out = reinterpret_cast<int*>(any + c);
        const int32_t* r = re + c;
        const int32_t* i = im + c;
        __m256i m = _mm256_maskload_epi32(out, lanes);
        for (int o = 0; o < end; o += stride) {
            const __m256i a = _mm256_abs_epi32(_mm256_maskload_epi32(r + o, lanes));
            const __m256i b = _mm256_abs_epi32(_mm256_maskload_epi32(i + o, lanes));
            m = _mm256_or_si256(m, _mm256_or_si256(a, b));
        }
        _mm256_maskstore_epi32(out, lanes, m);
    }
    _mm256_zeroupper();
}

AVX2 void sbr_hf_scale_avx2(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr,
                             int32_t* yi) {
    // The shift's direction chosen once for the run, as the reference's.
    const int end = n & ~7;
    auto run = [&](auto op) AVX2_LAMBDA {
        const int32_t* r = re;
        const int32_t* i = im;
        for (int l = 0; l < end; l += 8, r += 8 * stride, i += 8 * stride) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yr + l), op(gather8(r, stride)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yi + l), op(gather8(i, stride)));
        }
    };
    const __m128i count = _mm_cvtsi32_si128(s > 0 ? s : -s), count1 = _mm_cvtsi32_si128(s - 1);
    if (s > 0)
        run([&](__m256i v) AVX2_LAMBDA { return rshr(v, count, count1); });
    else if (s == 0)
        run([&](__m256i v) AVX2_LAMBDA { return v; });
    else
        run([&](__m256i v) AVX2_LAMBDA { return shl_sat(v, count); });
    _mm256_zeroupper();
    if (end < n) sbr_hf_scale_sse41(re + end * stride, im + end * stride, stride, n - end, s, yr + end, yi + end);
}

// The covariances, eight terms a step. Of the eight sums five are taken
// (phi[1], [2], [3], [6], [7]); the other three are sums of the same terms
// one sample on, so each is its partner less the first term and plus the
// one after the last (phi[0] from phi[1], [4] from [2], [5] from [3]), the
// same sums modulo 2^64. Each step's products: those of the even words and
// of the odd ones (VPMULDQ) added into the same 64-bit lanes, the lanes
// added at the end. A run ends with the eight terms up to its last, those
// already taken zeroed by their y[m] (every product has a factor of y[m]);
// runs below eight are the reference's.
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
    // Terms m .. m + 7. The odd words of the samples from k are the even
    // words of those from k + 1, the only ones VPMULDQ reads: loads one word
    // on, but in the last eight terms (`last`), where those would read past
    // the samples and the first words may be zeroed: there the words
    // shifted down.
    auto step = [&](int m, bool last, __m256i keep) AVX2_LAMBDA {
        auto odd = [&](__m256i v, const int32_t* p) AVX2_LAMBDA { return last ? _mm256_srli_epi64(v, 32) : at(p); };
        const __m256i r0 = _mm256_and_si256(at(yr + m), keep), i0 = _mm256_and_si256(at(yi + m), keep);
        const __m256i r1 = at(yr + m + 1), i1 = at(yi + m + 1), r2 = at(yr + m + 2), i2 = at(yi + m + 2);
        const Pair p0r = {r0, odd(r0, yr + m + 1)}, p0i = {i0, odd(i0, yi + m + 1)};
        const Pair p1r = {r1, odd(r1, yr + m + 2)}, p1i = {i1, odd(i1, yi + m + 2)};
        const Pair p2r = {r2, odd(r2, yr + m + 3)}, p2i = {i2, odd(i2, yi + m + 3)};
        const Pair n0 = {_mm256_sub_epi32(zero, p0i.even), _mm256_sub_epi32(zero, p0i.odd)};
        mac(acc[0], p0r, p0r, p0i, p0i);  // phi[1]
        mac(acc[1], p1r, p0r, p1i, p0i);  // phi[2]
        mac(acc[2], p1i, p0r, p1r, n0);   // phi[3]
        mac(acc[3], p2r, p0r, p2i, p0i);  // phi[6]
        mac(acc[4], p2i, p0r, p2r, n0);   // phi[7]
    };
    const __m256i all = _mm256_set1_epi32(-1);
    int m = 0;
    for (; m + 8 < n; m += 8) step(m, false, all);
    // The last eight terms, the first 8 - (n - m) of them taken already.
    static constexpr int32_t kKeep[16] = {0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1, -1, -1, -1};
    step(n - 8, true, at(kKeep + (n - m)));
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

// The covariances of eight subbands side by side, a row at a time: each
// row's eight words by one load, scaled by each subband's own shift
// (VPSLLVD with fx::shl_sat's saturation, then VPSRAVD as fx::rshr; left
// out where all eight shifts are 0, as the generator's mostly are), the
// even subbands' products from the words as they are and the odd ones'
// from the words shifted down (VPMULDQ), into five sums of each (phi[1],
// [2], [3], [6], [7]; every term has a factor of the sample two rows
// back); the other three from their neighbours, as the one-subband
// variant's. Runs below eight subbands are that variant's, each subband's
// samples scaled first; a run not a multiple of eight ends with the eight
// subbands up to its last.
namespace {

template <bool kScaled>
AVX2_INLINE void covariances8(const int32_t* re, const int32_t* im, int stride, int rows, const int8_t* shift,
                              int64_t (*phi)[8]) {
    const __m256i s = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(shift)));
    const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi32(1);
    const __m256i up = _mm256_max_epi32(_mm256_sub_epi32(zero, s), zero), down = _mm256_max_epi32(s, zero);
    const __m256i down1 = _mm256_max_epi32(_mm256_sub_epi32(s, ones), zero), bit = _mm256_min_epi32(down, ones);
    auto scaled = [&](const int32_t* p) AVX2_LAMBDA {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if constexpr (!kScaled) return v;
        __m256i u = _mm256_sllv_epi32(v, up);
        u = _mm256_blendv_epi8(limit(v), u, _mm256_cmpeq_epi32(_mm256_srav_epi32(u, up), v));
        return _mm256_add_epi32(_mm256_srav_epi32(u, down), _mm256_and_si256(_mm256_srav_epi32(u, down1), bit));
    };
    auto odd = [&](__m256i v) AVX2_LAMBDA { return _mm256_srli_epi64(v, 32); };
    // The samples of the first two rows and of the last two, scaled.
    alignas(32) int32_t first[2][2][8], last[2][2][8];
    __m256i r2 = scaled(re), i2 = scaled(im);                   // row j - 2
    __m256i r1 = scaled(re + stride), i1 = scaled(im + stride);  // row j - 1
    _mm256_store_si256(reinterpret_cast<__m256i*>(first[0][0]), r2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(first[0][1]), i2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(first[1][0]), r1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(first[1][1]), i1);
    __m256i p2r = odd(r2), p2i = odd(i2), p1r = odd(r1), p1i = odd(i1);
    __m256i acc[2][5];
    for (auto& a : acc)
        for (__m256i& v : a) v = zero;
    // The terms of row j (r0, i0) with rows j - 1 and j - 2, of one parity.
    auto terms = [&](__m256i* sum, __m256i r0, __m256i i0, __m256i r1_, __m256i i1_, __m256i r2_, __m256i i2_)
                     AVX2_LAMBDA {
        const __m256i n2 = _mm256_sub_epi32(zero, i2_);  // -y.im modulo 2^32
        sum[0] = _mm256_add_epi64(sum[0], _mm256_add_epi64(_mm256_mul_epi32(r2_, r2_), _mm256_mul_epi32(i2_, i2_)));
        sum[1] = _mm256_add_epi64(sum[1], _mm256_add_epi64(_mm256_mul_epi32(r1_, r2_), _mm256_mul_epi32(i1_, i2_)));
        sum[2] = _mm256_add_epi64(sum[2], _mm256_add_epi64(_mm256_mul_epi32(i1_, r2_), _mm256_mul_epi32(r1_, n2)));
        sum[3] = _mm256_add_epi64(sum[3], _mm256_add_epi64(_mm256_mul_epi32(r0, r2_), _mm256_mul_epi32(i0, i2_)));
        sum[4] = _mm256_add_epi64(sum[4], _mm256_add_epi64(_mm256_mul_epi32(i0, r2_), _mm256_mul_epi32(r0, n2)));
    };
    for (int j = 2; j < rows; ++j) {
        const __m256i r0 = scaled(re + j * stride), i0 = scaled(im + j * stride);
        const __m256i p0r = odd(r0), p0i = odd(i0);
        terms(acc[0], r0, i0, r1, i1, r2, i2);
        terms(acc[1], p0r, p0i, p1r, p1i, p2r, p2i);
        r2 = r1, i2 = i1, r1 = r0, i1 = i0;
        p2r = p1r, p2i = p1i, p1r = p0r, p1i = p0i;
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(last[0][0]), r2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(last[0][1]), i2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(last[1][0]), r1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(last[1][1]), i1);
    alignas(32) int64_t sums[2][5][4];
    for (int p = 0; p < 2; ++p)
        for (int k = 0; k < 5; ++k) _mm256_store_si256(reinterpret_cast<__m256i*>(sums[p][k]), acc[p][k]);
    // The terms of phi[1], [2], [3] at the pairs of rows (1, 0) and (last,
    // the one before) (modulo 2^64).
    auto term = [](const int32_t (&y)[2][2][8], int c, int i) {
        const int32_t a = y[0][0][c], b = y[0][1][c], e = y[1][0][c], f = y[1][1][c];  // re, im of the two rows
        return static_cast<uint64_t>(i == 1   ? fx::mac64(fx::mac64(0, a, a), b, b)
                                     : i == 2 ? fx::mac64(fx::mac64(0, e, a), f, b)
                                              : fx::mac64(fx::mac64(0, f, a), e, fx::neg_wrap(b)));
    };
    for (int c = 0; c < 8; ++c) {
        const int64_t* v[5];
        for (int k = 0; k < 5; ++k) v[k] = &sums[c & 1][k][c >> 1];
        int64_t* out = phi[c];
        out[1] = *v[0], out[2] = *v[1], out[3] = *v[2], out[6] = *v[3], out[7] = *v[4];
        auto next = [&](int64_t sum, int i) {
            return static_cast<int64_t>(static_cast<uint64_t>(sum) - term(first, c, i) + term(last, c, i));
        };
        out[0] = next(*v[0], 1), out[4] = next(*v[1], 2), out[5] = next(*v[2], 3);
    }
}

}  // namespace

AVX2 void sbr_hf_covariances_avx2(const int32_t* re, const int32_t* im, int stride, int rows, int n,
                                  const int8_t* shift, int64_t (*phi)[8]) {
    if (n < 8 || rows < 3) {
        int32_t yr[kHfCovRows], yi[kHfCovRows];
        for (int c = 0; c < n; ++c) {
            sbr_hf_scale_avx2(re + c, im + c, stride, rows, shift[c], yr, yi);
            sbr_hf_covariance_avx2(yr, yi, rows - 2, phi[c]);
        }
        return;
    }
    for (int c = 0;; c = std::min(c + 8, n - 8)) {
        uint64_t shifts;
        std::memcpy(&shifts, shift + c, sizeof shifts);
        if (shifts != 0)
            covariances8<true>(re + c, im + c, stride, rows, shift + c, phi + c);
        else
            covariances8<false>(re + c, im + c, stride, rows, shift + c, phi + c);
        if (c + 8 >= n) break;
    }
    _mm256_zeroupper();
}
