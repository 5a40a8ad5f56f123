// Parametric stereo's all-pass decorrelator and mixing with AVX2: the
// SSE4.1 variants' steps (dsp/x86/ps_sse41.cpp) on eight bands a register,
// the mixing's values of eight bands' parameter bands gathered at once
// (VPGATHERDD) unless one parameter band holds all eight. A run's last
// bands (fewer than eight) go through a block over the run's last eight,
// or for a run shorter than eight through one on copies (ps_allpass_tail,
// ps_mix_tail). Only the functions here use AVX2 (target attribute).
#include <immintrin.h>

#include <cstring>

#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/ps_kernels.h"
#include "dsp/x86/sat_avx2.h"
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

// rshr64_sat(a b, 31) of eight words when no b is INT32_MIN: |a b| < 2^62,
// so the rounded product always fits (sat8::mul_round).
AVX2 inline __m256i mul31(__m256i a, __m256i b, __m256i b_odd) { return sat8::mul_round<31>(a, b, b_odd); }
using sat8::add_sat;
using sat8::sub_sat;

// (a_re + j a_im) (b_re + j b_im), Q31 products rounded and saturated.
AVX2 inline void cmul_q31(__m256i a_re, __m256i a_im, __m256i b_re, __m256i b_im, __m256i* re, __m256i* im) {
    *re = round_narrow<31>(add(mul(a_re, b_re), mul(neg(a_im), b_im)));
    *im = round_narrow<31>(add(mul(a_re, b_im), mul(a_im, b_re)));
}

// sat32(x >> S) where it is known to fit: the low words of the shifted sums.
template <int S>
AVX2 inline __m256i narrow_fits(Wide8 x) {
    return _mm256_blend_epi16(_mm256_srli_epi64(x.e, S), _mm256_slli_epi64(x.o, 32 - S), 0xCC);
}

template <bool Fits>
AVX2 inline __m256i narrow30(Wide8 x) {
    if constexpr (Fits) return narrow_fits<30>(x);
    else return narrow<30>(x);
}

// Whether every word of the n registers at v lies within +-2^27 (the OR of
// their magnitudes below 2^27; VPABSD leaves INT32_MIN as it is, which has
// the bits above).
AVX2 inline bool within_2p27(const __m256i* v, int n) {
    __m256i any = _mm256_setzero_si256();
    for (int i = 0; i < n; ++i) any = _mm256_or_si256(any, _mm256_abs_epi32(v[i]));
    return _mm256_testz_si256(any, _mm256_set1_epi32(~((1 << 27) - 1))) != 0;
}

// Four of eight bands' values, one in the low word of each 64-bit lane
// (the high words unused): those of the even bands (e) and of the odd ones
// (o). VPMULDQ takes its factors from the low words, so values in this form
// multiply without a shift, and the plain steps' 32-bit sums and
// differences of the low words are those of the values.
struct Halves {
    __m256i e, o;
};

AVX2 inline Halves halves(__m256i v) { return {v, _mm256_srli_epi64(v, 32)}; }
// The eight values in band order.
AVX2 inline __m256i bands(Halves x) { return _mm256_blend_epi32(x.e, _mm256_slli_epi64(x.o, 32), 0xAA); }

// The gain and mixing of eight bands from band k: `bands` and `flags` their
// parameter bands and phase flags, a byte each; in their s_re, s_im, d_re,
// d_im, loaded. Fits: all of those within +-2^27 (within_2p27). Then no
// result saturates, whatever the gains and matrices: a gained d is within
// 2^28 (|gain| <= 2^31, Q30), a matrix value's product (|h| <= 2^31) with
// s within 2^58 and with a gained d within 2^59, so a sum of two or four
// of them is below 2^61 and 2^31 after the shift by 30: the results are
// the shifted sums' low words.
template <bool Phase, bool Fits>
__attribute__((target("avx2"), always_inline)) inline void mix8(const PsMixParams& m, uint64_t bands, uint64_t flags,
                                                                int k, const __m256i* in, int32_t* l_re,
                                                                int32_t* l_im, int32_t* r_re, int32_t* r_im) {
    const __m256i bias = _mm256_set1_epi64x(fx::round_bias64(30));
    // One parameter band for all eight (runs of QMF bands), else each its own.
    const bool one = bands == (bands & 0xffu) * UINT64_C(0x0101010101010101);
    const int b0 = static_cast<int>(bands & 0xffu);
    const __m256i index = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<int64_t>(bands)));
    auto pick = [&](const int32_t* v) AVX2 {
        return one ? _mm256_set1_epi32(v[b0]) : _mm256_i32gather_epi32(v, index, 4);
    };
    const __m256i sr = in[0], si = in[1];
    const __m256i g = pick(m.gain);
    const __m256i dr = narrow30<Fits>(add(mul(in[2], g), bias));  // the same rounding term
    const __m256i di = narrow30<Fits>(add(mul(in[3], g), bias));
    const __m256i h11 = pick(m.h[0]), h12 = pick(m.h[1]), h21 = pick(m.h[2]), h22 = pick(m.h[3]);
    Wide8 lr = add(add(mul(h11, sr), mul(h21, dr)), bias);
    Wide8 li = add(add(mul(h11, si), mul(h21, di)), bias);
    Wide8 rr = add(add(mul(h12, sr), mul(h22, dr)), bias);
    Wide8 ri = add(add(mul(h12, si), mul(h22, di)), bias);
    if constexpr (Phase) {
        // Bands of negative centre frequency turn the other way: the
        // imaginary parts negated where the mask is all ones.
        const __m256i mask = neg(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<int64_t>(flags))));
        auto turn = [&](const int32_t* v) AVX2 { return _mm256_sub_epi32(_mm256_xor_si256(pick(v), mask), mask); };
        const __m256i g11 = turn(m.hi[0]), g12 = turn(m.hi[1]), g21 = turn(m.hi[2]), g22 = turn(m.hi[3]);
        lr = add(lr, add(mul(neg(g11), si), mul(neg(g21), di)));
        li = add(li, add(mul(g11, sr), mul(g21, dr)));
        rr = add(rr, add(mul(neg(g12), si), mul(neg(g22), di)));
        ri = add(ri, add(mul(g12, sr), mul(g22, dr)));
    }
    store8(l_re + k, narrow30<Fits>(lr));
    store8(l_im + k, narrow30<Fits>(li));
    store8(r_re + k, narrow30<Fits>(rr));
    store8(r_im + k, narrow30<Fits>(ri));
}

// mix8's plain steps (Fits) on a whole block, in halves: s and d split
// once, the gained d kept in halves (the low words of its sums shifted by
// 30), each output's sums narrowed once into band order. One: one
// parameter band for all eight, whose values (broadcast) are their own
// halves.
template <bool Phase, bool One>
__attribute__((target("avx2"), always_inline)) inline void mix8_fits(const PsMixParams& m, uint64_t bands,
                                                                     uint64_t flags, int k, const __m256i* in,
                                                                     int32_t* l_re, int32_t* l_im, int32_t* r_re,
                                                                     int32_t* r_im) {
    const __m256i bias = _mm256_set1_epi64x(fx::round_bias64(30));
    const int b0 = static_cast<int>(bands & 0xffu);
    const __m256i index = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<int64_t>(bands)));
    auto pick = [&](const int32_t* v) AVX2 {
        if constexpr (One) return _mm256_set1_epi32(v[b0]);
        else return _mm256_i32gather_epi32(v, index, 4);
    };
    auto pick_halves = [&](const int32_t* v) AVX2 {
        const __m256i x = pick(v);
        if constexpr (One) return Halves{x, x};
        else return halves(x);
    };
    auto mul_add = [&](__m256i a, __m256i b, __m256i c, __m256i d) AVX2 {
        return _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epi32(a, b), _mm256_mul_epi32(c, d)), bias);
    };
    const Halves sr = halves(in[0]), si = halves(in[1]);
    const Halves g = pick_halves(m.gain);
    const Halves d_re = halves(in[2]), d_im = halves(in[3]);
    // The gained d: rshr64_sat(d g, 30), its low words.
    auto gained = [&](__m256i d, __m256i gain) AVX2 {
        return _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(d, gain), bias), 30);
    };
    const Halves dr{gained(d_re.e, g.e), gained(d_re.o, g.o)};
    const Halves di{gained(d_im.e, g.e), gained(d_im.o, g.o)};
    const Halves h11 = pick_halves(m.h[0]), h12 = pick_halves(m.h[1]);
    const Halves h21 = pick_halves(m.h[2]), h22 = pick_halves(m.h[3]);
    Wide8 lr{mul_add(h11.e, sr.e, h21.e, dr.e), mul_add(h11.o, sr.o, h21.o, dr.o)};
    Wide8 li{mul_add(h11.e, si.e, h21.e, di.e), mul_add(h11.o, si.o, h21.o, di.o)};
    Wide8 rr{mul_add(h12.e, sr.e, h22.e, dr.e), mul_add(h12.o, sr.o, h22.o, dr.o)};
    Wide8 ri{mul_add(h12.e, si.e, h22.e, di.e), mul_add(h12.o, si.o, h22.o, di.o)};
    if constexpr (Phase) {
        // As mix8's, the turned values split (their negations wrapping).
        const __m256i mask = neg(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<int64_t>(flags))));
        auto turn = [&](const int32_t* v) AVX2 { return _mm256_sub_epi32(_mm256_xor_si256(pick(v), mask), mask); };
        const __m256i g11 = turn(m.hi[0]), g12 = turn(m.hi[1]), g21 = turn(m.hi[2]), g22 = turn(m.hi[3]);
        const Halves n11 = halves(neg(g11)), n21 = halves(neg(g21)), n12 = halves(neg(g12)), n22 = halves(neg(g22));
        const Halves p11 = halves(g11), p21 = halves(g21), p12 = halves(g12), p22 = halves(g22);
        auto mul2 = [&](__m256i a, __m256i b, __m256i c, __m256i d) AVX2 {
            return _mm256_add_epi64(_mm256_mul_epi32(a, b), _mm256_mul_epi32(c, d));
        };
        lr = add(lr, Wide8{mul2(n11.e, si.e, n21.e, di.e), mul2(n11.o, si.o, n21.o, di.o)});
        li = add(li, Wide8{mul2(p11.e, sr.e, p21.e, dr.e), mul2(p11.o, sr.o, p21.o, dr.o)});
        rr = add(rr, Wide8{mul2(n12.e, si.e, n22.e, di.e), mul2(n12.o, si.o, n22.o, di.o)});
        ri = add(ri, Wide8{mul2(p12.e, sr.e, p22.e, dr.e), mul2(p12.o, sr.o, p22.o, dr.o)});
    }
    store8(l_re + k, narrow_fits<30>(lr));
    store8(l_im + k, narrow_fits<30>(li));
    store8(r_re + k, narrow_fits<30>(rr));
    store8(r_im + k, narrow_fits<30>(ri));
}

// The mixing of eight bands from band k, in their s_re, s_im, d_re, d_im
// (in), loaded: by the plain steps where they fit, else the saturating ones.
template <bool Phase>
__attribute__((target("avx2"), always_inline)) inline void mix_block(const PsMixParams& m, uint64_t bands,
                                                                     uint64_t flags, int k, const __m256i* in,
                                                                     int32_t* l_re, int32_t* l_im, int32_t* r_re,
                                                                     int32_t* r_im) {
    if (!within_2p27(in, 4)) mix8<Phase, false>(m, bands, flags, k, in, l_re, l_im, r_re, r_im);
    else if constexpr (Phase) mix8<Phase, true>(m, bands, flags, k, in, l_re, l_im, r_re, r_im);
    else if (bands == (bands & 0xffu) * UINT64_C(0x0101010101010101))
        mix8_fits<Phase, true>(m, bands, flags, k, in, l_re, l_im, r_re, r_im);
    else mix8_fits<Phase, false>(m, bands, flags, k, in, l_re, l_im, r_re, r_im);
}

void mix_short(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n, const int32_t* s_re,
               const int32_t* s_im, const int32_t* d_re, const int32_t* d_im, int32_t* l_re, int32_t* l_im,
               int32_t* r_re, int32_t* r_im);

// A run of eight bands or more ends with a whole block over its last eight
// bands, its samples loaded before the blocks before it (l may be s): the
// bands it shares with them have the same results again. A shorter run is
// mix_short's. (Inlined into ps_mix_bands_avx2, its one caller.)
template <bool Phase>
__attribute__((target("avx2"), always_inline)) inline void mix_run(const PsMixParams& m, const uint8_t* par,
                                                                   const uint8_t* neg_phase, int n,
                                                                   const int32_t* s_re, const int32_t* s_im,
                                                                   const int32_t* d_re, const int32_t* d_im,
                                                                   int32_t* l_re, int32_t* l_im, int32_t* r_re,
                                                                   int32_t* r_im) {
    auto bytes = [](const uint8_t* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    };
    if (n < 8) {
        if (n > 0) mix_short(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
        return;
    }
    const int last = n - 8;
    if constexpr (Phase) {
        // (The blocks' samples from s, the last block's from `kept`, through
        // one body: the mixing with phase is the longer code and the
        // shorter run.)
        int32_t kept[16];
        store8(kept, load8(s_re + last));
        store8(kept + 8, load8(s_im + last));
        for (int k = 0;; k = k + 8 < last ? k + 8 : last) {
            const bool at_last = k == last;
            const int32_t* sr = at_last ? kept : s_re + k;
            const int32_t* si = at_last ? kept + 8 : s_im + k;
            const __m256i in[4] = {load8(sr), load8(si), load8(d_re + k), load8(d_im + k)};
            mix_block<Phase>(m, bytes(par + k), bytes(neg_phase + k), k, in, l_re, l_im, r_re, r_im);
            if (at_last) break;
        }
    } else {
        const __m256i s_last[2] = {load8(s_re + last), load8(s_im + last)};
        int k = 0;
        for (; k + 8 <= n; k += 8) {
            const __m256i in[4] = {load8(s_re + k), load8(s_im + k), load8(d_re + k), load8(d_im + k)};
            mix_block<Phase>(m, bytes(par + k), 0, k, in, l_re, l_im, r_re, r_im);
        }
        if (k < n) {
            const __m256i in[4] = {s_last[0], s_last[1], load8(d_re + last), load8(d_im + last)};
            mix_block<Phase>(m, bytes(par + last), 0, last, in, l_re, l_im, r_re, r_im);
        }
    }
}

// A run of one to seven bands: as a block of eight on copies (out of line,
// so that mix_run's blocks keep their registers).
__attribute__((noinline)) void mix_short(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n,
                                         const int32_t* s_re, const int32_t* s_im, const int32_t* d_re,
                                         const int32_t* d_im, int32_t* l_re, int32_t* l_im, int32_t* r_re,
                                         int32_t* r_im) {
    ps_mix_tail<8>(ps_mix_bands_avx2, m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
}

}  // namespace

namespace {

// The all-pass chain of eight bands whose delay-line entries (the input
// delay's and the three links') all lie within +-2^27: then no value of the
// chain leaves 32 bits, so none saturates (the plain steps below). With
// |a| <= A the rounded rotation by a coefficient pair (never INT32_MIN) is
// within 2A; the input delay's rotation gives in within 2^28 + 1, and each
// link o = z q - ag in within 2^28 + |in| + 2, z = in + ag o within
// |in| + |o| + 1 (|ag| < 1): over the three links |o| stays below 2^30 + 8
// and the new z below 7 2^28 + 16. The products are then rounded by the
// sums' low words, the sums are plain additions, and a product with a
// negated factor is a subtraction (no entry is INT32_MIN).

// rshr64_sat(sum, 31) of each lane where it fits: the sum's bits 31..62.
AVX2 inline __m256i round31_fits(__m256i sum) {
    return _mm256_srli_epi64(_mm256_add_epi64(sum, _mm256_set1_epi64x(INT64_C(1) << 30)), 31);
}

// cmul_q31_fits on one half: a and b in the low words.
AVX2 inline void cmul_half(__m256i a_re, __m256i a_im, __m256i b_re, __m256i b_im, __m256i* re, __m256i* im) {
    *re = round31_fits(_mm256_sub_epi64(_mm256_mul_epi32(a_re, b_re), _mm256_mul_epi32(a_im, b_im)));
    *im = round31_fits(_mm256_add_epi64(_mm256_mul_epi32(a_re, b_im), _mm256_mul_epi32(a_im, b_re)));
}

// One link of the plain steps on one half: z the link's entry, q its
// rotation, ag its gain, in the signal entering it; the signal leaving it
// into *o, the link's new entry into *z_new.
AVX2 inline void link_half(__m256i z_re, __m256i z_im, __m256i q_re, __m256i q_im, __m256i ag, __m256i in_re,
                           __m256i in_im, __m256i* o_re, __m256i* o_im, __m256i* new_re, __m256i* new_im) {
    __m256i r, i;
    cmul_half(z_re, z_im, q_re, q_im, &r, &i);
    r = _mm256_sub_epi32(r, round31_fits(_mm256_mul_epi32(in_re, ag)));
    i = _mm256_sub_epi32(i, round31_fits(_mm256_mul_epi32(in_im, ag)));
    *new_re = _mm256_add_epi32(in_re, round31_fits(_mm256_mul_epi32(r, ag)));
    *new_im = _mm256_add_epi32(in_im, round31_fits(_mm256_mul_epi32(i, ag)));
    *o_re = r;
    *o_im = i;
}

// Eight bands from band k by the plain steps (every delay-line entry within
// +-2^27, see above), the chain in halves: the entries (loaded again where
// they are used, which keeps registers free) and coefficients split once
// (a shift of the odd words down), every product and rounding on the
// halves, the results joined back into band order only where they are
// stored.
__attribute__((target("avx2"), always_inline)) inline void allpass8_fits(const PsAllpassRows& rows,
                                                                         const int32_t* coef, int stride, int k,
                                                                         const int32_t* s_re, const int32_t* s_im,
                                                                         int32_t* d_re, int32_t* d_im) {
    const Halves p_re = halves(load8(rows.pre[0] + k)), p_im = halves(load8(rows.pre[1] + k));
    // A coefficient row's halves: the odd words loaded one word on (the
    // lanes' low words), for every row but the last, whose run may end with
    // the table.
    auto row_halves = [&](int r) AVX2 {
        const int32_t* c = coef + r * stride + k;
        return r + 1 < kPsAllpassRows ? Halves{load8(c), load8(c + 1)} : halves(load8(c));
    };
    const Halves phi_re = row_halves(kPsPhiRe), phi_im = row_halves(kPsPhiIm);
    Halves in_re, in_im;
    cmul_half(p_re.e, p_im.e, phi_re.e, phi_im.e, &in_re.e, &in_im.e);
    cmul_half(p_re.o, p_im.o, phi_re.o, phi_im.o, &in_re.o, &in_im.o);
    store8(rows.pre[0] + k, load8(s_re + k));
    store8(rows.pre[1] + k, load8(s_im + k));
    for (int j = 0; j < 3; ++j) {
        const Halves z_re = halves(load8(rows.link[j][0] + k)), z_im = halves(load8(rows.link[j][1] + k));
        const Halves q_re = row_halves(kPsLinkRe0 + 2 * j), q_im = row_halves(kPsLinkRe0 + 2 * j + 1);
        const Halves ag = row_halves(kPsLinkAg0 + j);
        Halves o_re, o_im, new_re, new_im;
        link_half(z_re.e, z_im.e, q_re.e, q_im.e, ag.e, in_re.e, in_im.e, &o_re.e, &o_im.e, &new_re.e, &new_im.e);
        link_half(z_re.o, z_im.o, q_re.o, q_im.o, ag.o, in_re.o, in_im.o, &o_re.o, &o_im.o, &new_re.o, &new_im.o);
        store8(rows.link[j][0] + k, bands(new_re));
        store8(rows.link[j][1] + k, bands(new_im));
        in_re = o_re;
        in_im = o_im;
    }
    store8(d_re + k, bands(in_re));
    store8(d_im + k, bands(in_im));
}

// Eight bands from band k by the saturating steps (the entries loaded
// where they are used, as allpass8_fits).
__attribute__((target("avx2"), always_inline)) inline void allpass8(const PsAllpassRows& rows, const int32_t* coef,
                                                                    int stride, int k, const int32_t* s_re,
                                                                    const int32_t* s_im, int32_t* d_re,
                                                                    int32_t* d_im) {
    __m256i in_re, in_im;
    cmul_q31(load8(rows.pre[0] + k), load8(rows.pre[1] + k), load8(coef + kPsPhiRe * stride + k),
             load8(coef + kPsPhiIm * stride + k), &in_re, &in_im);
    store8(rows.pre[0] + k, load8(s_re + k));
    store8(rows.pre[1] + k, load8(s_im + k));
    for (int j = 0; j < 3; ++j) {
        int32_t* z_re = rows.link[j][0] + k;
        int32_t* z_im = rows.link[j][1] + k;
        // (The coefficients are never INT32_MIN: mul31's products.)
        const __m256i ag = load8(coef + (kPsLinkAg0 + j) * stride + k), ag_odd = _mm256_srli_epi64(ag, 32);
        __m256i o_re, o_im;
        cmul_q31(load8(z_re), load8(z_im), load8(coef + (kPsLinkRe0 + 2 * j) * stride + k),
                 load8(coef + (kPsLinkRe0 + 2 * j + 1) * stride + k), &o_re, &o_im);
        o_re = sub_sat(o_re, mul31(in_re, ag, ag_odd));
        o_im = sub_sat(o_im, mul31(in_im, ag, ag_odd));
        store8(z_re, add_sat(in_re, mul31(o_re, ag, ag_odd)));
        store8(z_im, add_sat(in_im, mul31(o_im, ag, ag_odd)));
        in_re = o_re;
        in_im = o_im;
    }
    store8(d_re + k, in_re);
    store8(d_im + k, in_im);
}

// The delay-line entries of eight bands from band k.
AVX2 inline void load_entries(const PsAllpassRows& rows, int k, __m256i* z) {
    const int32_t* const lines[8] = {rows.pre[0],     rows.pre[1],     rows.link[0][0], rows.link[0][1],
                                     rows.link[1][0], rows.link[1][1], rows.link[2][0], rows.link[2][1]};
    for (int i = 0; i < 8; ++i) z[i] = load8(lines[i] + k);
}

// The chain of eight bands from band k by the steps that fit their
// entries.
__attribute__((target("avx2"), always_inline)) inline void allpass_block(const PsAllpassRows& rows,
                                                                         const int32_t* coef, int stride, int k,
                                                                         const int32_t* s_re, const int32_t* s_im,
                                                                         int32_t* d_re, int32_t* d_im) {
    __m256i z[8];
    load_entries(rows, k, z);
    if (within_2p27(z, 8)) allpass8_fits(rows, coef, stride, k, s_re, s_im, d_re, d_im);
    else allpass8(rows, coef, stride, k, s_re, s_im, d_re, d_im);
}

// A run of one to seven bands: as a block of eight on copies (out of line,
// so that the blocks keep their registers).
__attribute__((noinline)) void allpass_short(const PsAllpassRows& rows, const int32_t* coef, int stride, int n,
                                             const int32_t* s_re, const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    ps_allpass_tail<8>(ps_allpass_bands_avx2, rows, coef, stride, n, s_re, s_im, d_re, d_im);
}

}  // namespace

namespace {

// A run of eight bands or more, the coefficient rows S words apart (known
// here, so that every row is an offset from one address): the blocks from
// band 0, then a block over the run's last eight bands through the same
// body. Its entries are loaded before the blocks before it replace the ones
// it shares with them and put back before it runs, so it computes the
// shared bands again from the same values (the same results, stored over
// theirs).
template <int S>
AVX2 void allpass_run(const PsAllpassRows& rows, const int32_t* coef, int n, const int32_t* s_re,
                      const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    const int last = n - 8;
    __m256i z_last[8];
    load_entries(rows, last, z_last);
    for (int k = 0;;) {
        allpass_block(rows, coef, S, k, s_re, s_im, d_re, d_im);
        if (k == last) break;
        k += 8;
        if (k > last) {
            int32_t* const lines[8] = {rows.pre[0],     rows.pre[1],     rows.link[0][0], rows.link[0][1],
                                       rows.link[1][0], rows.link[1][1], rows.link[2][0], rows.link[2][1]};
            for (int i = 0; i < 8; ++i) store8(lines[i] + last, z_last[i]);
            k = last;
        }
    }
}

}  // namespace

// The runs of the two configurations' coefficient rows (30 and 50 all-pass
// bands) by allpass_run; a run shorter than eight bands as one block on
// copies; other rows by the SSE4.1 variant (the decoder's only others are
// those copies, whose rows are eight words apart).
AVX2 void ps_allpass_bands_avx2(const PsAllpassRows& rows, const int32_t* coef, int stride, int n,
                                const int32_t* s_re, const int32_t* s_im, int32_t* d_re, int32_t* d_im) {
    if (n < 8) {
        if (n > 0) allpass_short(rows, coef, stride, n, s_re, s_im, d_re, d_im);
    } else if (stride == 30) {
        allpass_run<30>(rows, coef, n, s_re, s_im, d_re, d_im);
    } else if (stride == 50) {
        allpass_run<50>(rows, coef, n, s_re, s_im, d_re, d_im);
    } else {
        ps_allpass_bands_sse41(rows, coef, stride, n, s_re, s_im, d_re, d_im);
    }
}

AVX2 void ps_mix_bands_avx2(const PsMixParams& m, const uint8_t* par, const uint8_t* neg_phase, int n,
                            const int32_t* s_re, const int32_t* s_im, const int32_t* d_re, const int32_t* d_im,
                            int32_t* l_re, int32_t* l_im, int32_t* r_re, int32_t* r_im) {
    if (m.hi[0]) mix_run<true>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
    else mix_run<false>(m, par, neg_phase, n, s_re, s_im, d_re, d_im, l_re, l_im, r_re, r_im);
}

// The transient detector's energies, eight bands at a time: the SSE4.1
// variant's steps (dsp/x86/ps_sse41.cpp) on eight bands a register, the
// eight bands' sum added at once where one parameter band holds all eight,
// else each half's four as there. A run of eight bands or more ends with a
// block over its last eight bands, the samples of those the blocks before
// it took made 0 (their squares add nothing); a shorter run is the SSE4.1
// variant's.
AVX2 uint64_t ps_band_energies_avx2(const int32_t* re, const int32_t* im, const uint8_t* par, int n,
                                    uint64_t* energies) {
    __m256i seen = _mm256_setzero_si256();
    // Bands 0..3 of a block: e holds bands 0, 2 and o bands 1, 3.
    auto add4 = [energies](const uint8_t* p, __m128i e, __m128i o) __attribute__((always_inline, target("avx2"))) {
        uint32_t bands;
        std::memcpy(&bands, p, 4);
        if (bands == (bands >> 8 | bands << 24)) {
            const __m128i sum = _mm_add_epi64(e, o);
            energies[p[0]] += static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(sum, _mm_unpackhi_epi64(sum, sum))));
        } else {
            energies[p[0]] += static_cast<uint64_t>(_mm_cvtsi128_si64(e));
            energies[p[1]] += static_cast<uint64_t>(_mm_cvtsi128_si64(o));
            energies[p[2]] += static_cast<uint64_t>(_mm_extract_epi64(e, 1));
            energies[p[3]] += static_cast<uint64_t>(_mm_extract_epi64(o, 1));
        }
    };
    auto block = [&](__m256i r, __m256i i, const uint8_t* p) __attribute__((always_inline, target("avx2"))) {
        const __m256i r1 = _mm256_shuffle_epi32(r, _MM_SHUFFLE(3, 3, 1, 1));
        const __m256i i1 = _mm256_shuffle_epi32(i, _MM_SHUFFLE(3, 3, 1, 1));
        const __m256i re0 = _mm256_mul_epi32(r, r), im0 = _mm256_mul_epi32(i, i);       // bands 0, 2, 4, 6
        const __m256i re1 = _mm256_mul_epi32(r1, r1), im1 = _mm256_mul_epi32(i1, i1);  // bands 1, 3, 5, 7
        seen = _mm256_or_si256(seen, _mm256_or_si256(_mm256_or_si256(re0, re1), _mm256_or_si256(im0, im1)));
        const __m256i e = _mm256_add_epi64(re0, im0), o = _mm256_add_epi64(re1, im1);
        // One parameter band: the eight bytes the same as turned by one.
        uint64_t bands;
        std::memcpy(&bands, p, 8);
        if (bands == (bands >> 8 | bands << 56)) {
            const __m256i sum = _mm256_add_epi64(e, o);
            __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
            s = _mm_add_epi64(s, _mm_unpackhi_epi64(s, s));
            energies[p[0]] += static_cast<uint64_t>(_mm_cvtsi128_si64(s));
        } else {
            add4(p, _mm256_castsi256_si128(e), _mm256_castsi256_si128(o));
            add4(p + 4, _mm256_extracti128_si256(e, 1), _mm256_extracti128_si256(o, 1));
        }
    };
    int k = 0;
    for (; k + 8 <= n; k += 8) block(load8(re + k), load8(im + k), par + k);
    uint64_t bits = 0;
    if (k < n && n >= 8) {
        const int last = n - 8;
        const __m256i done = _mm256_cmpgt_epi32(_mm256_set1_epi32(k - last), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        block(_mm256_andnot_si256(done, load8(re + last)), _mm256_andnot_si256(done, load8(im + last)), par + last);
    } else if (k < n) {
        bits = ps_band_energies_sse41(re + k, im + k, par + k, n - k, energies);
    }
    const __m128i any = _mm_or_si128(_mm256_castsi256_si128(seen), _mm256_extracti128_si256(seen, 1));
    return bits | static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_or_si128(any, _mm_unpackhi_epi64(any, any))));
}

// The hybrid analysis, four taps a register: a QMF band's thirteen
// samples gathered once (VPGATHERQD from the window's row addresses, the
// last tap VPINSRD) as complex pairs
// in tap order, x(12 - n) for tap n, the last register's three unused taps
// zero, for every hybrid band of that QMF band in a row; each band's
// coefficients (c_re, c_im pairs, the last tap's alone in the fourth
// register) then multiply them pair by pair: c_re x_re and c_im x_im
// (subtracted: c_im is never INT32_MIN, so that is the product of its
// negation) into the real sums, c_re x_im and c_im x_re into the
// imaginary ones (VPMULDQ of the even words and of the odd ones shifted
// down), the four lanes of each added at the end (all sums modulo 2^64, in
// any order the same), rounded and saturated as the reference's: two bands
// of one QMF band at once, in one register, a band left alone in scalars.
// A band whose coefficients are all real (c_im 0) takes c_re's products
// only.
AVX2 void ps_hybrid_analysis_avx2(const int32_t (*coef)[13][2], const uint8_t* qmf, int bands,
                                  const int32_t* const* rows_re, const int32_t* const* rows_im, int32_t* out_re,
                                  int32_t* out_im) {
    constexpr int kTaps = 13;
    static_assert(sizeof(void*) == 8, "the rows' addresses are gathered from 64-bit lanes");
    // x and its words swapped within each pair, in memory behind an opaque
    // address: the multiplies' memory operands (in registers they spilled,
    // and were stored and loaded again for every band).
    alignas(32) __m256i kept[8];  // (set with the first band's samples)
    __m256i* x = kept;
    __asm__("" : "+r"(x));
    __m256i* const xs = x + 4;
    // The window's rows as addresses, taps 4 r .. 4 r + 3 of register r
    // (rows 12 - 4 r down to 9 - 4 r), for VPGATHERQD from a QMF band's
    // word in each.
    __m256i at_re[3], at_im[3];
    for (int r = 0; r < 3; ++r) {
        at_re[r] = _mm256_permute4x64_epi64(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows_re + kTaps - 4 - 4 * r)), _MM_SHUFFLE(0, 1, 2, 3));
        at_im[r] = _mm256_permute4x64_epi64(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows_im + kTaps - 4 - 4 * r)), _MM_SHUFFLE(0, 1, 2, 3));
    }
    // The loop's constants made once (opaque to the compiler, which would
    // otherwise build them from immediates in the loop, three instructions
    // each).
    __m256i imaginary = _mm256_set1_epi64x(INT64_C(-1) << 32), largest = _mm256_set1_epi32(INT32_MAX);
    __asm__("" : "+x"(imaginary), "+x"(largest));
    int q = -1;
    for (int k = 0; k < bands; ++k) {
        if (qmf[k] != q) {
            q = qmf[k];
            const __m256i offset = _mm256_set1_epi64x(static_cast<int64_t>(q) * 4);
            for (int r = 0; r < 3; ++r) {
                const __m128i v_re = _mm256_i64gather_epi32(nullptr, _mm256_add_epi64(at_re[r], offset), 1);
                const __m128i v_im = _mm256_i64gather_epi32(nullptr, _mm256_add_epi64(at_im[r], offset), 1);
                x[r] = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi32(v_re, v_im)),
                                               _mm_unpackhi_epi32(v_re, v_im), 1);
            }
            x[3] = _mm256_zextsi128_si256(_mm_insert_epi32(_mm_cvtsi32_si128(rows_re[0][q]), rows_im[0][q], 1));
            for (int r = 0; r < 4; ++r) xs[r] = _mm256_shuffle_epi32(x[r], _MM_SHUFFLE(2, 3, 0, 1));
        }
        // The lanes' sums of band j: re in the low half, im in the high one.
        auto sums = [&](int j) AVX2 {
            const int32_t* c = coef[j][0];
            const __m256i cv[4] = {load8(c), load8(c + 8), load8(c + 16),
                                   _mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + 24)))};
            __m256i re = _mm256_setzero_si256(), im = re;
            // A real filter (every c_im 0, whose products are 0): c_re's
            // products alone.
            const __m256i any = _mm256_or_si256(_mm256_or_si256(cv[0], cv[1]), _mm256_or_si256(cv[2], cv[3]));
            if (_mm256_testz_si256(any, imaginary)) {
                for (int r = 0; r < 4; ++r) {
                    re = _mm256_add_epi64(re, _mm256_mul_epi32(cv[r], x[r]));
                    im = _mm256_add_epi64(im, _mm256_mul_epi32(cv[r], xs[r]));
                }
            } else {
                for (int r = 0; r < 4; ++r) {
                    const __m256i ci = _mm256_srli_epi64(cv[r], 32);
                    re = _mm256_add_epi64(re,
                                          _mm256_sub_epi64(_mm256_mul_epi32(cv[r], x[r]), _mm256_mul_epi32(ci, xs[r])));
                    im = _mm256_add_epi64(im,
                                          _mm256_add_epi64(_mm256_mul_epi32(cv[r], xs[r]), _mm256_mul_epi32(ci, x[r])));
                }
            }
            const __m256i s = _mm256_add_epi64(_mm256_unpacklo_epi64(re, im), _mm256_unpackhi_epi64(re, im));
            return _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
        };
        if (k + 1 < bands && qmf[k + 1] == q) {
            // Two bands of the QMF band: their four sums rounded and
            // saturated at once (narrow<31>'s steps on one register), the
            // words in the order re k, re k + 1, im k, im k + 1.
            const __m256i t = _mm256_add_epi64(_mm256_inserti128_si256(_mm256_castsi128_si256(sums(k)), sums(k + 1), 1),
                                               _mm256_set1_epi64x(fx::round_bias64(31)));
            const __m256i h = _mm256_srli_epi64(t, 32);  // the high words
            const __m256i sign = _mm256_srai_epi32(h, 31);
            const __m256i fits = _mm256_cmpeq_epi32(_mm256_srai_epi32(h, 30), sign);
            const __m256i v = _mm256_blendv_epi8(_mm256_xor_si256(sign, largest), _mm256_srli_epi64(t, 31), fits);
            const __m128i w = _mm256_castsi256_si128(
                _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 4, 2, 6, 0, 4, 2, 6)));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out_re + k), w);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out_im + k), _mm_unpackhi_epi64(w, w));
            ++k;
            continue;
        }
        const __m128i t = sums(k);
        const int64_t bias = fx::round_bias64(31);
        out_re[k] = fx::sat32(static_cast<int64_t>(static_cast<uint64_t>(_mm_cvtsi128_si64(t)) + bias) >> 31);
        out_im[k] = fx::sat32(static_cast<int64_t>(static_cast<uint64_t>(_mm_extract_epi64(t, 1)) + bias) >> 31);
    }
    _mm256_zeroupper();
}

// The matrices' step, eight words a register (VPADDD wraps as
// fx::add_wrap), four registers a loop step, then four words (the phase
// rows' 68 words end so), the last one to three words one by one.
AVX2 void ps_step_matrices_avx2(int32_t* h, const int32_t* step, int n) {
    int i = 0;
    for (; i + 32 <= n; i += 32)
        for (int j = i; j < i + 32; j += 8) store8(h + j, _mm256_add_epi32(load8(h + j), load8(step + j)));
    for (; i + 8 <= n; i += 8) store8(h + i, _mm256_add_epi32(load8(h + i), load8(step + i)));
    if (i + 4 <= n) {
        __m128i* const p = reinterpret_cast<__m128i*>(h + i);
        _mm_storeu_si128(p, _mm_add_epi32(_mm_loadu_si128(p), _mm_loadu_si128(reinterpret_cast<const __m128i*>(step + i))));
        i += 4;
    }
    for (; i < n; ++i) h[i] = fx::add_wrap(h[i], step[i]);
}

// The transient detector, four bands a register in 64-bit lanes: the peak's
// decay from the 32-bit halves (VPMULUDQ each, then the shifts and the sum,
// modulo 2^64 as the reference's), the smoothing by shifts; the maximum
// and the denominator's comparison with smooth unsigned (VPCMPGTQ of the
// values with their top bits flipped, for any energy), and the bands whose
// gain needs the division (den above smooth) taken from the reference, the
// others 2^30. A run's last bands (fewer than four) are the reference's.
namespace {

AVX2 inline __m256i load4(const uint64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
AVX2 inline void store4(uint64_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

}  // namespace

AVX2 void ps_transient_gains_avx2(uint64_t* peak, uint64_t* smooth, uint64_t* peak_diff, const uint64_t* energies,
                                  int n, int32_t* gains) {
    const __m256i decay = _mm256_set1_epi64x(static_cast<uint32_t>(ps_peak_decay_q31));
    const __m256i top = _mm256_set1_epi64x(INT64_MIN);
    int b = 0;
    for (; b + 4 <= n; b += 4) {
        const __m256i e = load4(energies + b), p0 = load4(peak + b);
        const __m256i high = _mm256_mul_epu32(_mm256_srli_epi64(p0, 32), decay), low = _mm256_mul_epu32(p0, decay);
        const __m256i decayed = _mm256_add_epi64(_mm256_slli_epi64(high, 1), _mm256_srli_epi64(low, 31));
        const __m256i later = _mm256_cmpgt_epi64(_mm256_xor_si256(decayed, top), _mm256_xor_si256(e, top));
        const __m256i p = _mm256_blendv_epi8(e, decayed, later);
        store4(peak + b, p);
        const __m256i s0 = load4(smooth + b), d0 = load4(peak_diff + b);
        const __m256i s1 = _mm256_add_epi64(_mm256_sub_epi64(s0, _mm256_srli_epi64(s0, 2)), _mm256_srli_epi64(e, 2));
        const __m256i d1 = _mm256_add_epi64(_mm256_sub_epi64(d0, _mm256_srli_epi64(d0, 2)),
                                            _mm256_srli_epi64(_mm256_sub_epi64(p, e), 2));
        store4(smooth + b, s1);
        store4(peak_diff + b, d1);
        const __m256i den = _mm256_add_epi64(d1, _mm256_srli_epi64(d1, 1));
        const __m256i above = _mm256_cmpgt_epi64(_mm256_xor_si256(den, top), _mm256_xor_si256(s1, top));
        const int divide = _mm256_movemask_pd(_mm256_castsi256_pd(above));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(gains + b), _mm_set1_epi32(1 << 30));
        if (divide != 0)
            for (int j = 0; j < 4; ++j)
                if (divide >> j & 1) gains[b + j] = ps_transient_gain(smooth[b + j], peak_diff[b + j]);
    }
    _mm256_zeroupper();
    if (b < n) ps_transient_gains(peak + b, smooth + b, peak_diff + b, energies + b, n - b, gains + b);
}
