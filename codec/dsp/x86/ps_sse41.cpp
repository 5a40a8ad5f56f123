// Parametric stereo's hybrid analysis with SSE4.1: a band's real and
// imaginary sums side by side in one register of two 64-bit halves, each
// tap two PMULDQ: (c_re, c_re) times (x_re, x_im) and (-c_im, c_im) times
// (x_im, x_re). Sums modulo 2^64 as the reference's; bit-exact with
// ps_hybrid_analysis.
#include <immintrin.h>

#include <cstring>

#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/ps_kernels.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/ps_tables.h"

SSE41 void ps_hybrid_analysis_sse41(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                                    const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                                    int32_t* out_im) {
    constexpr int kTaps = 13;
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi64x(fx::round_bias64(31));
    for (int k = 0; k < bands; ++k) {
        const int q = qmf[k];
        __m128i acc = bias;
        for (int n = 0; n < kTaps; ++n) {
            const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coef[k][n]));  // c_re, c_im
            const __m128i pair = _mm_unpacklo_epi32(_mm_sub_epi32(zero, c), c);  // -c_re, c_re, -c_im, c_im
            const __m128i c1 = _mm_shuffle_epi32(c, _MM_SHUFFLE(0, 0, 0, 0));
            const __m128i c2 = _mm_shuffle_epi32(pair, _MM_SHUFFLE(3, 3, 2, 2));
            const int32_t x_re = rows_re[kTaps - 1 - n][q], x_im = rows_im[kTaps - 1 - n][q];
            const __m128i x = _mm_set_epi32(0, x_im, 0, x_re);
            const __m128i xs = _mm_set_epi32(0, x_re, 0, x_im);
            acc = _mm_add_epi64(acc, _mm_add_epi64(_mm_mul_epi32(c1, x), _mm_mul_epi32(c2, xs)));
        }
        out_re[k] = fx::sat32(_mm_cvtsi128_si64(acc) >> 31);
        out_im[k] = fx::sat32(_mm_extract_epi64(acc, 1) >> 31);
    }
}

// The all-pass decorrelator and the mixing with SSE4.1, four bands a
// register: the 64-bit products of words 0 and 2 and of words 1 and 3
// (PMULDQ), their rounding shifts and saturations back to four words in
// band order (the all-pass gains' products, which cannot leave 32 bits,
// with no saturation); saturating additions by the sign rules. A run's last bands
// (fewer than four) go through the same steps on copies (ps_allpass_tail,
// ps_mix_tail).
namespace {

// Four 64-bit values: those of words 0 and 2 (e) and of words 1 and 3 (o).
struct Wide4 {
    __m128i e, o;
};

SSE41 inline __m128i load4(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
SSE41 inline void store4(int32_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

SSE41 inline Wide4 mul(__m128i a, __m128i b) {
    return {_mm_mul_epi32(a, b), _mm_mul_epi32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32))};
}
SSE41 inline Wide4 add(Wide4 x, Wide4 y) { return {_mm_add_epi64(x.e, y.e), _mm_add_epi64(x.o, y.o)}; }
SSE41 inline Wide4 add(Wide4 x, __m128i c) { return {_mm_add_epi64(x.e, c), _mm_add_epi64(x.o, c)}; }
SSE41 inline __m128i neg(__m128i a) { return _mm_sub_epi32(_mm_setzero_si128(), a); }

// sat32(x >> S) of each value (S = 30 or 31), as four words in band order.
template <int S>
SSE41 inline __m128i narrow(Wide4 x) {
    const __m128i v = _mm_blend_epi16(_mm_srli_epi64(x.e, S), _mm_slli_epi64(x.o, 32 - S), 0xCC);
    const __m128i h = _mm_blend_epi16(_mm_srli_epi64(x.e, 32), x.o, 0xCC);  // the high words
    const __m128i sign = _mm_srai_epi32(h, 31);
    const __m128i fits = _mm_cmpeq_epi32(_mm_srai_epi32(h, S - 1), sign);
    return _mm_blendv_epi8(_mm_xor_si128(sign, _mm_set1_epi32(INT32_MAX)), v, fits);
}
// rshr64_sat(x, S) of each value.
template <int S>
SSE41 inline __m128i round_narrow(Wide4 x) {
    return narrow<S>(add(x, _mm_set1_epi64x(INT64_C(1) << (S - 1))));
}

// rshr64_sat(a b, 31) of four words when no b is INT32_MIN: |a b| < 2^62,
// so the rounded product always fits and is the low word of the shifted sum
// (a logical shift of the even products' sums, a left one by 1 of the odd
// ones' to their high words). b_odd: b's odd words shifted down, made once
// for every product with b.
SSE41 inline __m128i mul31(__m128i a, __m128i b, __m128i b_odd) {
    const __m128i bias = _mm_set1_epi64x(INT64_C(1) << 30);
    const __m128i e = _mm_add_epi64(_mm_mul_epi32(a, b), bias);
    const __m128i o = _mm_add_epi64(_mm_mul_epi32(_mm_srli_epi64(a, 32), b_odd), bias);
    return _mm_blend_epi16(_mm_srli_epi64(e, 31), _mm_slli_epi64(o, 1), 0xCC);
}

// add_sat and sub_sat of four words.
SSE41 inline __m128i add_sat(__m128i a, __m128i b) {
    const __m128i r = _mm_add_epi32(a, b);
    const __m128i over = _mm_and_si128(_mm_xor_si128(a, r), _mm_xor_si128(b, r));
    const __m128i sat = _mm_xor_si128(_mm_srai_epi32(a, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_castps_si128(_mm_blendv_ps(_mm_castsi128_ps(r), _mm_castsi128_ps(sat), _mm_castsi128_ps(over)));
}
SSE41 inline __m128i sub_sat(__m128i a, __m128i b) {
    const __m128i r = _mm_sub_epi32(a, b);
    const __m128i over = _mm_and_si128(_mm_xor_si128(a, b), _mm_xor_si128(a, r));
    const __m128i sat = _mm_xor_si128(_mm_srai_epi32(a, 31), _mm_set1_epi32(INT32_MAX));
    return _mm_castps_si128(_mm_blendv_ps(_mm_castsi128_ps(r), _mm_castsi128_ps(sat), _mm_castsi128_ps(over)));
}

// (a_re + j a_im) (b_re + j b_im), Q31 products rounded and saturated.
SSE41 inline void cmul_q31(__m128i a_re, __m128i a_im, __m128i b_re, __m128i b_im, __m128i* re, __m128i* im) {
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
SSE41 void mix_run(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n, const int32_t* s_re,
                   const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
                   int32_t* r_re, int32_t* r_im) {
    const __m128i bias = _mm_set1_epi64x(fx::round_bias64(30));
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        uint32_t bands;
        std::memcpy(&bands, par + k, 4);
        const int b0 = par[k], b1 = par[k + 1], b2 = par[k + 2], b3 = par[k + 3];
        // One parameter band for all four (runs of QMF bands), else each its own.
        const bool one = bands == (bands & 0xffu) * 0x01010101u;
        auto pick = [&](const int32_t* v) {
            return one ? _mm_set1_epi32(v[b0]) : _mm_setr_epi32(v[b0], v[b1], v[b2], v[b3]);
        };
        const __m128i sr = load4(s_re + k), si = load4(s_im + k);
        const __m128i g = pick(m.gain);
        const __m128i dr = round_narrow<30>(mul(load4(d_re + k), g));
        const __m128i di = round_narrow<30>(mul(load4(d_im + k), g));
        const __m128i h11 = pick(m.h[0]), h12 = pick(m.h[1]), h21 = pick(m.h[2]), h22 = pick(m.h[3]);
        Wide4 lr = add(add(mul(h11, sr), mul(h21, dr)), bias);
        Wide4 li = add(add(mul(h11, si), mul(h21, di)), bias);
        Wide4 rr = add(add(mul(h12, sr), mul(h22, dr)), bias);
        Wide4 ri = add(add(mul(h12, si), mul(h22, di)), bias);
        if constexpr (Phase) {
            // Bands of negative centre frequency turn the other way: the
            // imaginary parts negated where the mask is all ones.
            uint32_t flags;
            std::memcpy(&flags, neg_phase + k, 4);
            const __m128i mask = neg(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(flags))));
            auto turn = [&](const int32_t* v) { return _mm_sub_epi32(_mm_xor_si128(pick(v), mask), mask); };
            const __m128i g11 = turn(m.hi[0]), g12 = turn(m.hi[1]), g21 = turn(m.hi[2]), g22 = turn(m.hi[3]);
            lr = add(lr, add(mul(neg(g11), si), mul(neg(g21), di)));
            li = add(li, add(mul(g11, sr), mul(g21, dr)));
            rr = add(rr, add(mul(neg(g12), si), mul(neg(g22), di)));
            ri = add(ri, add(mul(g12, sr), mul(g22, dr)));
        }
        store4(l_re + k, narrow<30>(lr));
        store4(l_im + k, narrow<30>(li));
        store4(r_re + k, narrow<30>(rr));
        store4(r_im + k, narrow<30>(ri));
    }
    if (k < n)
        ps_mix_tail<4>(mix_run<Phase>, m, par + k, neg_phase + k, n - k, s_re + k, s_im + k, d_re + k, d_im + k,
                       l_re + k, l_im + k, r_re + k, r_im + k);
}

}  // namespace

SSE41 void ps_allpass_bands_sse41(const PsAllpassRows& rows, const int32_t* coef, int stride, int n,
                                  const int32_t* s_re, const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m128i p_re = load4(rows.pre[0] + k), p_im = load4(rows.pre[1] + k);
        store4(rows.pre[0] + k, load4(s_re + k));
        store4(rows.pre[1] + k, load4(s_im + k));
        __m128i in_re, in_im;
        cmul_q31(p_re, p_im, load4(coef + kPsPhiRe * stride + k), load4(coef + kPsPhiIm * stride + k), &in_re,
                 &in_im);
        for (int j = 0; j < 3; ++j) {
            int32_t* z_re = rows.link[j][0] + k;
            int32_t* z_im = rows.link[j][1] + k;
            // (The coefficients are never INT32_MIN: mul31's products.)
            const __m128i ag = load4(coef + (kPsLinkAg0 + j) * stride + k), ag_odd = _mm_srli_epi64(ag, 32);
            __m128i o_re, o_im;
            cmul_q31(load4(z_re), load4(z_im), load4(coef + (kPsLinkRe0 + 2 * j) * stride + k),
                     load4(coef + (kPsLinkRe0 + 2 * j + 1) * stride + k), &o_re, &o_im);
            o_re = sub_sat(o_re, mul31(in_re, ag, ag_odd));
            o_im = sub_sat(o_im, mul31(in_im, ag, ag_odd));
            store4(z_re, add_sat(in_re, mul31(o_re, ag, ag_odd)));
            store4(z_im, add_sat(in_im, mul31(o_im, ag, ag_odd)));
            in_re = o_re;
            in_im = o_im;
        }
        store4(d_re + k, in_re);
        store4(d_im + k, in_im);
    }
    if (k < n)
        ps_allpass_tail<4>(ps_allpass_bands_sse41, rows_from(rows, k), coef + k, stride, n - k, s_re + k, s_im + k,
                           d_re + k, d_im + k);
}

SSE41 void ps_mix_bands_sse41(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n,
                              const int32_t* s_re, const int32_t* s_im, const int32_t* d_re, const int32_t* d_im,
                              int32_t* l_re, int32_t* l_im, int32_t* r_re, int32_t* r_im) {
    if (m.hi[0]) mix_run<true>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
    else mix_run<false>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
}

// The transient detector's energies, four bands at a time: the squares of
// words 0 and 2 and of words 1 and 3 (PMULDQ, the reference's bits), their
// OR gathered; where the four bands are of one parameter band (a run of QMF
// bands) their sum is added to its energy at once, else band by band (all
// sums modulo 2^64, in any order the same).
SSE41 uint64_t ps_band_energies_sse41(const int32_t* re, const int32_t* im, const uint8_t* par, int n,
                                      uint64_t* energies) {
    __m128i seen = _mm_setzero_si128();
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m128i r = load4(re + k), i = load4(im + k);
        const __m128i r1 = _mm_shuffle_epi32(r, _MM_SHUFFLE(3, 3, 1, 1)), i1 = _mm_shuffle_epi32(i, _MM_SHUFFLE(3, 3, 1, 1));
        const __m128i re0 = _mm_mul_epi32(r, r), im0 = _mm_mul_epi32(i, i);       // bands 0, 2
        const __m128i re1 = _mm_mul_epi32(r1, r1), im1 = _mm_mul_epi32(i1, i1);  // bands 1, 3
        seen = _mm_or_si128(seen, _mm_or_si128(_mm_or_si128(re0, re1), _mm_or_si128(im0, im1)));
        const __m128i e = _mm_add_epi64(re0, im0), o = _mm_add_epi64(re1, im1);
        // One parameter band: the four bytes the same as turned by one.
        uint32_t bands;
        std::memcpy(&bands, par + k, 4);
        if (bands == (bands >> 8 | bands << 24)) {
            const __m128i sum = _mm_add_epi64(e, o);
            energies[par[k]] += static_cast<uint64_t>(
                _mm_cvtsi128_si64(_mm_add_epi64(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(3, 2, 3, 2)))));
        } else {
            energies[par[k]] += static_cast<uint64_t>(_mm_cvtsi128_si64(e));
            energies[par[k + 1]] += static_cast<uint64_t>(_mm_cvtsi128_si64(o));
            energies[par[k + 2]] += static_cast<uint64_t>(_mm_extract_epi64(e, 1));
            energies[par[k + 3]] += static_cast<uint64_t>(_mm_extract_epi64(o, 1));
        }
    }
    uint64_t bits = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_or_si128(seen, _mm_unpackhi_epi64(seen, seen))));
    if (k < n) bits |= ps_band_energies(re + k, im + k, par + k, n - k, energies);
    return bits;
}
