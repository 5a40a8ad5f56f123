// Parametric stereo's all-pass decorrelator and mixing with AVX2: the
// SSE4.1 variants' steps (dsp/x86/ps_sse41.cpp) on eight bands a register,
// the mixing's values of eight bands' parameter bands gathered at once
// (VPGATHERDD) unless one parameter band holds all eight. A run's last
// bands (fewer than eight) go to the SSE4.1 variants. Only the functions
// here use AVX2 (target attribute).
#include <immintrin.h>

#include <cstring>

#include "dsp/fixed.h"
#include "dsp/ps_kernels.h"
#include "tables/ps_tables.h"

#define AVX2 __attribute__((target("avx2")))

namespace {

// Eight 64-bit values: those of the even words (e) and of the odd words (o).
struct Wide8 {
    __m256i e, o;
};

AVX2 inline __m256i load8(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
AVX2 inline void store8(int32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

AVX2 inline Wide8 mul(__m256i a, __m256i b) {
    return {_mm256_mul_epi32(a, b), _mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32))};
}
AVX2 inline Wide8 add(Wide8 x, Wide8 y) { return {_mm256_add_epi64(x.e, y.e), _mm256_add_epi64(x.o, y.o)}; }
AVX2 inline Wide8 add(Wide8 x, __m256i c) { return {_mm256_add_epi64(x.e, c), _mm256_add_epi64(x.o, c)}; }
AVX2 inline __m256i neg(__m256i a) { return _mm256_sub_epi32(_mm256_setzero_si256(), a); }

// sat32(x >> S) of each value (S = 30 or 31), as eight words in band order.
template <int S>
AVX2 inline __m256i narrow(Wide8 x) {
    const __m256i v = _mm256_blend_epi16(_mm256_srli_epi64(x.e, S), _mm256_slli_epi64(x.o, 32 - S), 0xCC);
    const __m256i h = _mm256_blend_epi16(_mm256_srli_epi64(x.e, 32), x.o, 0xCC);  // the high words
    const __m256i sign = _mm256_srai_epi32(h, 31);
    const __m256i fits = _mm256_cmpeq_epi32(_mm256_srai_epi32(h, S - 1), sign);
    return _mm256_blendv_epi8(_mm256_xor_si256(sign, _mm256_set1_epi32(INT32_MAX)), v, fits);
}
// rshr64_sat(x, S) of each value.
template <int S>
AVX2 inline __m256i round_narrow(Wide8 x) {
    return narrow<S>(add(x, _mm256_set1_epi64x(INT64_C(1) << (S - 1))));
}

// add_sat and sub_sat of eight words.
AVX2 inline __m256i blend_sat(__m256i r, __m256i a, __m256i over) {
    const __m256i sat = _mm256_xor_si256(_mm256_srai_epi32(a, 31), _mm256_set1_epi32(INT32_MAX));
    return _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(r), _mm256_castsi256_ps(sat), _mm256_castsi256_ps(over)));
}
AVX2 inline __m256i add_sat(__m256i a, __m256i b) {
    const __m256i r = _mm256_add_epi32(a, b);
    return blend_sat(r, a, _mm256_and_si256(_mm256_xor_si256(a, r), _mm256_xor_si256(b, r)));
}
AVX2 inline __m256i sub_sat(__m256i a, __m256i b) {
    const __m256i r = _mm256_sub_epi32(a, b);
    return blend_sat(r, a, _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(a, r)));
}

// (a_re + j a_im) (b_re + j b_im), Q31 products rounded and saturated.
AVX2 inline void cmul_q31(__m256i a_re, __m256i a_im, __m256i b_re, __m256i b_im, __m256i* re, __m256i* im) {
    *re = round_narrow<31>(add(mul(a_re, b_re), mul(neg(a_im), b_im)));
    *im = round_narrow<31>(add(mul(a_re, b_im), mul(a_im, b_re)));
}

PsAllpassRows rows_from(const PsAllpassRows& r, int k) {
    return PsAllpassRows{{r.pre[0] + k, r.pre[1] + k},
                         {{r.link[0][0] + k, r.link[0][1] + k},
                          {r.link[1][0] + k, r.link[1][1] + k},
                          {r.link[2][0] + k, r.link[2][1] + k}}};
}

template <bool Phase>
AVX2 void mix_run(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n, const int32_t* s_re,
                  const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                  int32_t* r_re, int32_t* r_im) {
    const __m256i bias = _mm256_set1_epi64x(fx::round_bias64(30));
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t bands;
        std::memcpy(&bands, par + k, 8);
        // One parameter band for all eight (runs of QMF bands), else each its own.
        const bool one = bands == (bands & 0xffu) * UINT64_C(0x0101010101010101);
        const int b0 = par[k];
        const __m256i index = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<int64_t>(bands)));
        auto pick = [&](const int32_t* v) AVX2 {
            return one ? _mm256_set1_epi32(v[b0]) : _mm256_i32gather_epi32(v, index, 4);
        };
        const __m256i sr = load8(s_re + k), si = load8(s_im + k);
        const __m256i g = pick(m.gain);
        const __m256i dr = round_narrow<30>(mul(load8(d_re + k), g));
        const __m256i di = round_narrow<30>(mul(load8(d_im + k), g));
        const __m256i h11 = pick(m.h[0]), h12 = pick(m.h[1]), h21 = pick(m.h[2]), h22 = pick(m.h[3]);
        Wide8 lr = add(add(mul(h11, sr), mul(h21, dr)), bias);
        Wide8 li = add(add(mul(h11, si), mul(h21, di)), bias);
        Wide8 rr = add(add(mul(h12, sr), mul(h22, dr)), bias);
        Wide8 ri = add(add(mul(h12, si), mul(h22, di)), bias);
        if constexpr (Phase) {
            // Bands of negative centre frequency turn the other way: the
            // imaginary parts negated where the mask is all ones.
            uint64_t flags;
            std::memcpy(&flags, neg_phase + k, 8);
            const __m256i mask = neg(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<int64_t>(flags))));
            auto turn = [&](const int32_t* v) AVX2 {
                return _mm256_sub_epi32(_mm256_xor_si256(pick(v), mask), mask);
            };
            const __m256i g11 = turn(m.hi[0]), g12 = turn(m.hi[1]), g21 = turn(m.hi[2]), g22 = turn(m.hi[3]);
            lr = add(lr, add(mul(neg(g11), si), mul(neg(g21), di)));
            li = add(li, add(mul(g11, sr), mul(g21, dr)));
            rr = add(rr, add(mul(neg(g12), si), mul(neg(g22), di)));
            ri = add(ri, add(mul(g12, sr), mul(g22, dr)));
        }
        store8(l_re + k, narrow<30>(lr));
        store8(l_im + k, narrow<30>(li));
        store8(r_re + k, narrow<30>(rr));
        store8(r_im + k, narrow<30>(ri));
    }
    if (k < n)
        ps_mix_bands_sse41(m, par + k, neg_phase + k, n - k, s_re + k, s_im + k, d_re + k, d_im + k, l_re + k,
                           l_im + k, r_re + k, r_im + k);
}

}  // namespace

AVX2 void ps_allpass_bands_avx2(const PsAllpassRows& rows, const int32_t* coef, int stride, int n,
                                const int32_t* s_re, const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256i p_re = load8(rows.pre[0] + k), p_im = load8(rows.pre[1] + k);
        store8(rows.pre[0] + k, load8(s_re + k));
        store8(rows.pre[1] + k, load8(s_im + k));
        __m256i in_re, in_im;
        cmul_q31(p_re, p_im, load8(coef + kPsPhiRe * stride + k), load8(coef + kPsPhiIm * stride + k), &in_re,
                 &in_im);
        for (int j = 0; j < 3; ++j) {
            int32_t* z_re = rows.link[j][0] + k;
            int32_t* z_im = rows.link[j][1] + k;
            const __m256i ag = load8(coef + (kPsLinkAg0 + j) * stride + k);
            __m256i o_re, o_im;
            cmul_q31(load8(z_re), load8(z_im), load8(coef + (kPsLinkRe0 + 2 * j) * stride + k),
                     load8(coef + (kPsLinkRe0 + 2 * j + 1) * stride + k), &o_re, &o_im);
            o_re = sub_sat(o_re, round_narrow<31>(mul(ag, in_re)));
            o_im = sub_sat(o_im, round_narrow<31>(mul(ag, in_im)));
            store8(z_re, add_sat(in_re, round_narrow<31>(mul(ag, o_re))));
            store8(z_im, add_sat(in_im, round_narrow<31>(mul(ag, o_im))));
            in_re = o_re;
            in_im = o_im;
        }
        store8(d_re + k, in_re);
        store8(d_im + k, in_im);
    }
    if (k < n)
        ps_allpass_bands_sse41(rows_from(rows, k), coef + k, stride, n - k, s_re + k, s_im + k, d_re + k, d_im + k);
}

AVX2 void ps_mix_bands_avx2(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n,
                            const int32_t* s_re, const int32_t* s_im, const int32_t* d_re, const int32_t* d_im,
                            int32_t* l_re, int32_t* l_im, int32_t* r_re, int32_t* r_im) {
    if (m.hi[0]) mix_run<true>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
    else mix_run<false>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
}
