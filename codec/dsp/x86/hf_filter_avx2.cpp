// The SBR high-frequency generator's kernels with AVX2, eight subbands side
// by side a row at a time (the rows of the generator's matrix).
//
// The filter (filter_rows): each row's eight words by one load, the rows
// before carried from the steps before (or loaded again), each subband's
// own coefficients and shift. VPMULDQ reads the low word of each 64-bit
// lane: the even subbands' products from the words as they are, the odd
// ones' from the words shifted down. The five products of each part in
// 64-bit lanes (|a| < 2^30; no scaled x is -2^31), rounded as
// fx::rshr64_sat by kHfFilterQ straight into the subbands' words: the low
// words of the logical shift (an even subband's sum shifted down, an odd
// one's up by 32 - kHfFilterQ), saturated where the high word of the
// arithmetic shift (the sum's high word shifted by VPSRAD) is not their
// sign. A run not a multiple of eight ends with the eight subbands up to
// its last (subbands done twice are the same values); a run below eight
// takes masked loads and stores (VPMASKMOVD), the other words not read or
// written. Bit-exact with dsp/hf_filter.cpp.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "dsp/hf_filter.h"
#include "dsp/x86/complex_avx2.h"

namespace {

#define AVX2_LAMBDA __attribute__((always_inline, target("avx2")))

// The mask of the first k lanes (0 <= k <= 8), for the masked loads and
// stores (VPMASKMOVD) of a run's last words.
AVX2_INLINE __m256i first_lanes(int k) {
    static constexpr int32_t kOnes[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kOnes + 8 - k));
}

// The limit of each word's sign (sign: its top bit), INT32_MAX or INT32_MIN.
AVX2_INLINE __m256i limit(__m256i sign) {
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX)),
                                                _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MIN)),
                                                _mm256_castsi256_ps(sign)));
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

// Eight subbands side by side over rows 0 .. count - 1, a row a step: each
// row's words by one load, the rows before carried from the steps before;
// the even subbands' products from the words as they are, the odd ones'
// from the words shifted down (VPMULDQ), the coefficients likewise. Each
// subband's own shift by VPSRAVD (fx::rshr: the last bit shifted out added
// where the shift is above 0) and VPSLLVD (fx::shl_sat); kScaled: a shift
// above 0 among the eight.
// (kMasked: the subbands of `lanes` alone; coefficient rows `coef_row`
// words apart.)
template <bool kScaled, bool kMasked>
AVX2_INLINE void filter_rows(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride,
                             int count, const int32_t* coef, int coef_row, const uint8_t* shift, __m256i lanes) {
    auto at = [&](const int32_t* p) AVX2_LAMBDA {
        if constexpr (kMasked) return _mm256_maskload_epi32(p, lanes);
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    };
    auto put = [&](int32_t* p, __m256i v) AVX2_LAMBDA {
        if constexpr (kMasked)
            _mm256_maskstore_epi32(p, lanes, v);
        else
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    };
    auto odd = [&](__m256i v) AVX2_LAMBDA { return _mm256_srli_epi64(v, 32); };
    // The coefficients and their odd words shifted down, kept in memory
    // (its address opaque to the compiler) for the multiplies' memory
    // operands: in registers, with the rows carried, they spilled.
    alignas(32) __m256i kept[8];
    for (int r = 0; r < 4; ++r) {
        kept[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef + r * coef_row));
        kept[4 + r] = odd(kept[r]);
    }
    const __m256i* ck = kept;
    __asm__("" : "+r"(ck));
    // a0r a0i a1r a1i, then the odd words' (b0r b0i b1r b1i)
    auto at_coef = [&](int r) AVX2_LAMBDA { return _mm256_load_si256(ck + r); };
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
                 at(x_im + o - 2 * stride), at_coef(0), at_coef(1), at_coef(2), at_coef(3), er, ei);
            sums(odd(at(x_re + o)), odd(at(x_im + o)), odd(at(x_re + o - stride)), odd(at(x_im + o - stride)),
                 odd(at(x_re + o - 2 * stride)), odd(at(x_im + o - 2 * stride)), at_coef(4), at_coef(5), at_coef(6),
                 at_coef(7), fr, fi);
            put(y_re + o, round_q(er, fr));
            put(y_im + o, round_q(ei, fi));
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
        sums(x0r, x0i, x1r, x1i, x2r, x2i, at_coef(0), at_coef(1), at_coef(2), at_coef(3), er, ei);
        sums(o0r, o0i, o1r, o1i, o2r, o2i, at_coef(4), at_coef(5), at_coef(6), at_coef(7), fr, fi);
        put(y_re + o, up(round_q(er, fr)));
        put(y_im + o, up(round_q(ei, fi)));
        x2r = x1r, x2i = x1i, x1r = x0r, x1i = x0i;
        o2r = o1r, o2i = o1i, o1r = o0r, o1i = o0i;
    }
}

}  // namespace

AVX2 void sbr_hf_filter_avx2(const int32_t* x_re, const int32_t* x_im, int32_t* y_re, int32_t* y_im, int stride,
                             int count, int n, const int32_t* coef, const uint8_t* shift) {
    if (n < 8) {
        // The n subbands' coefficients and shifts, the other lanes' 0.
        alignas(32) int32_t c[4][8] = {};
        alignas(8) uint8_t sh[8] = {};
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < 4; ++j) c[j][i] = coef[i + j * kHfCoefRow];
            sh[i] = shift[i];
        }
        const __m256i lanes = first_lanes(n);
        filter_rows<true, true>(x_re, x_im, y_re, y_im, stride, count, c[0], 8, sh, lanes);
    } else {
        // Eight subbands a pass; the last pass ends at the last subband.
        const __m256i all = _mm256_set1_epi32(-1);
        for (int c = 0;; c = std::min(c + 8, n - 8)) {
            uint64_t shifts;
            std::memcpy(&shifts, shift + c, sizeof shifts);
            if (shifts != 0)
                filter_rows<true, false>(x_re + c, x_im + c, y_re + c, y_im + c, stride, count, coef + c, kHfCoefRow,
                                         shift + c, all);
            else
                filter_rows<false, false>(x_re + c, x_im + c, y_re + c, y_im + c, stride, count, coef + c,
                                          kHfCoefRow, shift + c, all);
            if (c + 8 >= n) break;
        }
    }
    _mm256_zeroupper();
}

// The block exponents' magnitudes eight subbands at a time, a row's eight
// words by one load, made magnitudes by VPABSD (INT32_MIN stays 2^31 as an
// unsigned word) and ORed over the rows; the last subbands of a run (fewer
// than eight) by masked loads and stores (VPMASKMOVD), the other words not
// read or written.
AVX2 void sbr_hf_magnitudes_avx2(const int32_t* re, const int32_t* im, int stride, int rows, int n, uint32_t* any) {
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
        const __m256i lanes = first_lanes(n - c);
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

// Runs of words (stride 1: the output slots' low band, brought to its
// value a row at a time) eight at a time, the last ones (fewer than eight)
// by masked loads and stores, the other words not read or written: fx::rshr
// as the arithmetic shift and its last bit shifted out, or fx::shl_sat
// (where the shifted word does not shift back to itself). A column (stride
// other than 1) is the SSE4.1 variant's.
AVX2 void sbr_hf_scale_avx2(const int32_t* re, const int32_t* im, int stride, int n, int s, int32_t* yr,
                            int32_t* yi) {
    if (stride != 1) {
        sbr_hf_scale_sse41(re, im, stride, n, s, yr, yi);
        return;
    }
    const __m128i count = _mm_cvtsi32_si128(s > 0 ? s : -s), count1 = _mm_cvtsi32_si128(s - 1);
    auto run = [&](auto op) AVX2_LAMBDA {
        int l = 0;
        for (; l + 8 <= n; l += 8) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(re + l));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(im + l));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yr + l), op(a));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yi + l), op(b));
        }
        if (l < n) {
            const __m256i lanes = first_lanes(n - l);
            const __m256i a = _mm256_maskload_epi32(re + l, lanes), b = _mm256_maskload_epi32(im + l, lanes);
            _mm256_maskstore_epi32(yr + l, lanes, op(a));
            _mm256_maskstore_epi32(yi + l, lanes, op(b));
        }
    };
    if (s > 0) {
        const __m256i one = _mm256_set1_epi32(1);
        run([&](__m256i v) AVX2_LAMBDA {
            return _mm256_add_epi32(_mm256_sra_epi32(v, count), _mm256_and_si256(_mm256_sra_epi32(v, count1), one));
        });
    } else if (s < 0) {
        const __m256i max = _mm256_set1_epi32(INT32_MAX);
        run([&](__m256i v) AVX2_LAMBDA {
            const __m256i up = _mm256_sll_epi32(v, count);
            const __m256i fits = _mm256_cmpeq_epi32(_mm256_sra_epi32(up, count), v);
            return _mm256_blendv_epi8(_mm256_xor_si256(_mm256_srai_epi32(v, 31), max), up, fits);
        });
    } else if (re != yr || im != yi) {
        run([&](__m256i v) AVX2_LAMBDA { return v; });
    }
    _mm256_zeroupper();
}

// The covariances of eight subbands side by side, a row at a time: each
// row's eight words by one load, scaled by each subband's own shift
// (VPSLLVD with fx::shl_sat's saturation, then VPSRAVD as fx::rshr; left
// out where all eight shifts are 0, as the generator's mostly are), the
// even subbands' products from the words as they are and the odd ones'
// from the words shifted down (VPMULDQ), into five sums of each (phi[1],
// [2], [3], [6], [7]; every term has a factor of the sample two rows
// back); the other three from their neighbours: each is its partner (phi[1],
// [2], [3]) less the term of the first pair of rows and plus that of the
// last pair, the same sums modulo 2^64. Runs below eight subbands are the
// SSE4.1 variant's; a run not
// a multiple of eight ends with the eight subbands up to its last.
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
        sbr_hf_covariances_sse41(re, im, stride, rows, n, shift, phi);
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
