// The SBR QMF banks with SSE4.1: the windows (the analysis's folding and the
// synthesis's products into its ten partial sums) four values at a time, the rotations
// before and after the FFT two points at a time, each point's two sums in
// the two 64-bit lanes of a register, and the FFT's stages (the first two as
// one of additions, a group of four points to two registers); the rest is
// the reference's (dsp/qmf_steps.h), built for this target.
// Bit-exact with the reference: every product is PMULDQ's 64-bit product,
// sums are 64-bit additions (modular, as fx::mac64), and the rounding shift
// of a 64-bit sum is done as the reference's: the rounding term added
// modulo 2^64, an arithmetic shift (a logical one of the value with its sign
// flipped in, PSRLQ by a register count), then the low word, or the
// saturated value when the result leaves 32 bits.
#include <immintrin.h>

#include "dsp/qmf_variants.h"
#include "dsp/x86/complex_sse41.h"

#define QMF_STEPS_TARGET SSE41
#include "dsp/qmf_steps.h"

namespace {

#define SSE41_INLINE __attribute__((target("sse4.1"), always_inline)) inline

// Two words at p, sign-extended to the two 64-bit lanes (PMOVSXDQ).
SSE41_INLINE __m128i load_wide(const int32_t* p) {
    return _mm_cvtepi32_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}
SSE41_INLINE __m128i load(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
SSE41_INLINE void store(int32_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The rounding shift by n (1..62) of the four 64-bit sums in a (first two)
// and b, as fx::rshr64 (kSaturate false: the low words) or fx::rshr64_sat.
struct Shift {
    __m128i bias, count;
    SSE41_INLINE explicit Shift(int n)
        : bias(_mm_set1_epi64x(static_cast<long long>(INT64_C(1) << (n - 1)))), count(_mm_cvtsi32_si128(n)) {}
    // Arithmetic shift right of both 64-bit lanes.
    SSE41_INLINE __m128i asr(__m128i v) const {
        const __m128i sign = _mm_shuffle_epi32(_mm_srai_epi32(v, 31), _MM_SHUFFLE(3, 3, 1, 1));
        return _mm_xor_si128(_mm_srl_epi64(_mm_xor_si128(v, sign), count), sign);
    }
    template <bool kSaturate>
    SSE41_INLINE __m128i narrow(__m128i a, __m128i b) const {
        a = asr(_mm_add_epi64(a, bias));
        b = asr(_mm_add_epi64(b, bias));
        const __m128i lo = _mm_castps_si128(
            _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
        if (!kSaturate) return lo;
        const __m128i hi = _mm_castps_si128(
            _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i fits = _mm_cmpeq_epi32(hi, _mm_srai_epi32(lo, 31));
        const __m128i limit = _mm_xor_si128(_mm_srai_epi32(hi, 31), _mm_set1_epi32(INT32_MAX));
        return _mm_blendv_epi8(limit, lo, fits);
    }
};

// Products of the even words (PMULDQ), 64-bit sums.
SSE41_INLINE __m128i mul(__m128i a, __m128i b) { return _mm_mul_epi32(a, b); }
SSE41_INLINE __m128i add(__m128i a, __m128i b) { return _mm_add_epi64(a, b); }

// fx::rshr64 by 31 of the 64-bit sums of a and b, in the order of narrow:
// bits 31..62 of each sum plus 2^30, which a logical shift gives as well.
SSE41_INLINE __m128i round31(__m128i a, __m128i b) {
    const __m128i half = _mm_set1_epi64x(INT64_C(1) << 30);
    a = _mm_srli_epi64(_mm_add_epi64(a, half), 31);
    b = _mm_srli_epi64(_mm_add_epi64(b, half), 31);
    return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}

// z exp(i theta) for two points (re, im) by their twiddles (cos, sin):
// re c - im s and re s + im c, each rounded once at bit 31 and kept modulo
// 2^32 (fx::rshr64).
SSE41_INLINE __m128i rotate_plus(__m128i z, __m128i tw) {
    const __m128i zs = _mm_shuffle_epi32(z, _MM_SHUFFLE(2, 3, 0, 1));   // im re
    const __m128i ts = _mm_shuffle_epi32(tw, _MM_SHUFFLE(2, 3, 0, 1));  // s c
    const __m128i half = _mm_set1_epi64x(INT64_C(1) << 30);
    const __m128i re = add(add(mul(z, tw), mul(_mm_sub_epi32(_mm_setzero_si128(), zs), ts)), half);
    const __m128i im = add(add(mul(zs, tw), mul(z, ts)), half);
    return _mm_blend_epi16(_mm_srli_epi64(re, 31), _mm_slli_epi64(im, 1), 0xCC);
}

struct Sse41Steps : qmf::ScalarSteps {
    // The reference's first two stages (its radix-4 stage of additions) a
    // group of four points to two registers: sums and differences of the
    // points' pairs, then of the pairs' results, i d by swapping d's words,
    // negations by PSIGND (which wraps, as fx::sub_wrap). Then each stage of
    // half-span h >= 4 two points at a time, every twiddle a rotation (see
    // qmf::fft_inverse).
    template <int kBits>
    SSE41 static void fft(int32_t* buf) {
        constexpr int n = 1 << kBits;
        const __m128i first = _mm_setr_epi32(1, 1, -1, -1), second = _mm_setr_epi32(1, 1, -1, 1);
        for (int32_t* g = buf; g < buf + 2 * n; g += 8) {
            const __m128i x0 = load(g), x1 = load(g + 4);  // p0 p1, p2 p3
            const __m128i ab = _mm_add_epi32(_mm_shuffle_epi32(x0, _MM_SHUFFLE(1, 0, 1, 0)),
                                             _mm_sign_epi32(_mm_shuffle_epi32(x0, _MM_SHUFFLE(3, 2, 3, 2)), first));
            const __m128i cd = _mm_add_epi32(_mm_shuffle_epi32(x1, _MM_SHUFFLE(1, 0, 1, 0)),
                                             _mm_sign_epi32(_mm_shuffle_epi32(x1, _MM_SHUFFLE(3, 2, 3, 2)), first));
            const __m128i t = _mm_sign_epi32(_mm_shuffle_epi32(cd, _MM_SHUFFLE(2, 3, 1, 0)), second);  // c, i d
            store(g, _mm_add_epi32(ab, t));
            store(g + 4, _mm_sub_epi32(ab, t));
        }
        for (int h = 4; h < n; h *= 2) {
            const int32_t* tw = qmf_fft_twiddle_q31 + 2 * (h - 4);
            for (int32_t* g = buf; g < buf + 2 * n; g += 4 * h)
                for (int j = 0; j < h; j += 2) {
                    const __m128i t = rotate_plus(load(g + 2 * (h + j)), load(tw + 2 * j));
                    const __m128i x = load(g + 2 * j);
                    store(g + 2 * j, _mm_add_epi32(x, t));
                    store(g + 2 * (h + j), _mm_sub_epi32(x, t));
                }
        }
    }

    SSE41 static void analysis_window(const int32_t* const* blk, int32_t* u) {
        const Shift round(32);
        for (int n = 0; n < 64; n += 4) {
            const int half = n >> 5, r = n & 31;
            __m128i a = _mm_setzero_si128(), b = a;
            for (int j = 0; j < 5; ++j) {
                // c(2 (n + 64 j)): the even words of eight.
                const int32_t* c = qmf_window_q31 + 2 * (n + 64 * j);
                const int32_t* x = blk[2 * j + half] + r;
                a = add(a, mul(load_wide(x), load(c)));
                b = add(b, mul(load_wide(x + 2), load(c + 4)));
            }
            store(u + n, round.narrow<false>(a, b));
        }
    }

    // Each product rounded to Q11 (within 32 bits: see the reference) and
    // added to its partial sum with fx::add_sat's saturation (where the
    // wrapped sum's sign is neither addend's: the limit of the old sum's
    // sign, BLENDVPS by the sign bits), four outputs at a time, row after
    // row: v's words of each half, even ones in the low words of the 64-bit
    // lanes and odd ones shifted down, are taken once for the five rows of
    // that half, and each rounded product goes to its word straight from its
    // lane (bits 31..62 of an even word's sum shifted down, of an odd word's
    // shifted up by one).
    template <int kBits>
    SSE41 static void synthesis_window(const int32_t* v, int /*s*/, int32_t* const* sums) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const __m128i half = _mm_set1_epi64x(INT64_C(1) << 30);
        const __m128 max = _mm_castsi128_ps(_mm_set1_epi32(INT32_MAX)), min = _mm_castsi128_ps(_mm_set1_epi32(INT32_MIN));
        for (int k = 0; k < bands; k += 4) {
            const __m128i even[2] = {load(v + k), load(v + bands + k)};
            const __m128i odd[2] = {_mm_srli_epi64(even[0], 32), _mm_srli_epi64(even[1], 32)};
            for (int i = 0; i < qmf::kBlocks; ++i) {
                const int32_t* c = qmf_window_q31 + step * (bands * i + k);
                __m128i ce;
                if constexpr (step == 1)
                    ce = load(c);
                else  // every second word: c[0], c[2], c[4], c[6]
                    ce = _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(load(c)), _mm_castsi128_ps(load(c + 4)),
                                                         _MM_SHUFFLE(2, 0, 2, 0)));
                const __m128i a = add(mul(even[i & 1], ce), half);
                const __m128i b = add(mul(odd[i & 1], _mm_srli_epi64(ce, 32)), half);
                const __m128i p = _mm_blend_epi16(_mm_srli_epi64(a, 31), _mm_slli_epi64(b, 1), 0xCC);
                const __m128i acc = load(sums[i] + k);
                const __m128i sum = _mm_add_epi32(acc, p);
                const __m128i over = _mm_and_si128(_mm_xor_si128(acc, sum), _mm_xor_si128(p, sum));
                const __m128 limit = _mm_blendv_ps(max, min, _mm_castsi128_ps(acc));
                store(sums[i] + k,
                      _mm_castps_si128(_mm_blendv_ps(_mm_castsi128_ps(sum), limit, _mm_castsi128_ps(over))));
            }
        }
    }

    // fx::shl_sat by one: where the doubled value does not halve back to
    // itself, the limit of its sign.
    template <int kBits>
    SSE41 static void synthesis_output(int32_t* sum, int32_t* out) {
        for (int k = 0; k < (1 << kBits); k += 4) {
            const __m128i x = load(sum + k), up = _mm_slli_epi32(x, 1);
            const __m128i fits = _mm_cmpeq_epi32(_mm_srai_epi32(up, 1), x);
            const __m128i limit = _mm_xor_si128(_mm_srai_epi32(x, 31), _mm_set1_epi32(INT32_MAX));
            store(out + k, _mm_blendv_epi8(limit, up, fits));
            store(sum + k, _mm_setzero_si128());
        }
    }

    // Points m and m+1 of z rotated by qmf_rot_q31 at kStep m and kStep (m+1):
    // (re c - im s, re s + im c) of each in the two 64-bit lanes of p0, p1.
    template <int kStep>
    SSE41_INLINE static void rotate2(const int32_t* z, int m, __m128i& p0, __m128i& p1) {
        const __m128i neg_first = _mm_setr_epi32(-1, 1, 1, 1);
        const __m128i v = load(z + 2 * m);  // re0 im0 re1 im1
        const __m128i cs = _mm_unpacklo_epi64(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(qmf_rot_q31 + 2 * kStep * m)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(qmf_rot_q31 + 2 * kStep * (m + 1))));
        auto point = [&](__m128i re, __m128i im, __m128i t) __attribute__((always_inline, target("sse4.1"))) {
            // re (c, s) + (-im, im) (s, c)
            const __m128i c_s = _mm_shuffle_epi32(t, _MM_SHUFFLE(1, 1, 0, 0));
            const __m128i s_c = _mm_shuffle_epi32(t, _MM_SHUFFLE(0, 0, 1, 1));
            return add(mul(re, c_s), mul(_mm_sign_epi32(im, neg_first), s_c));
        };
        p0 = point(_mm_shuffle_epi32(v, _MM_SHUFFLE(0, 0, 0, 0)), _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 1, 1, 1)), cs);
        p1 = point(_mm_shuffle_epi32(v, _MM_SHUFFLE(2, 2, 2, 2)), _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 3, 3, 3)),
                   _mm_srli_si128(cs, 8));
    }

    // The complex values at word pairs `at0` and `at1` of d.
    SSE41_INLINE static void store_pairs(int32_t* d, int at0, int at1, __m128i v) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 2 * at0), v);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 2 * at1), _mm_srli_si128(v, 8));
    }

    SSE41 static void analysis_pre(const int32_t* u, int s, int32_t* z) {
        const Shift round(31 - s);
        for (int m = 0; m < 32; m += 2) {
            __m128i p0, p1;
            rotate2<2>(u, m, p0, p1);
            store_pairs(z, qmf::kBitReversal<5>.at[m], qmf::kBitReversal<5>.at[m + 1], round.narrow<false>(p0, p1));
        }
    }

    template <int kBits>
    SSE41 static void synthesis_post(const int32_t* d, int s, int32_t* nv) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const Shift round(30 + s);
        for (int m = 0; m < bands; m += 2) {
            __m128i p0, p1;
            rotate2<step>(d, m, p0, p1);
            store(nv + 2 * m, round.narrow<true>(p0, p1));
        }
    }

    // One value of the form (re, im) in the two 64-bit lanes from a = (ar,
    // ai, ..), b = (br, bi, ..) and the factors fg = (f0, f1, f2, f3):
    //   re = f0 ar - f1 ai + f2 br + f3 bi, im = f1 ar + f0 ai + f3 br - f2 bi,
    // the analysis's post-step (a = Z[k], b = Z[31-k], F/2 = (f0, f1), G/2 =
    // (f2, f3)) and the synthesis's pre-step (X[k], X[M-1-k], P, Q).
    SSE41_INLINE static __m128i band(__m128i a, __m128i b, __m128i fg) {
        const __m128i neg_first = _mm_setr_epi32(-1, 1, 1, 1), neg_second = _mm_setr_epi32(1, 1, -1, 1);
        __m128i sum =
            mul(_mm_shuffle_epi32(a, _MM_SHUFFLE(1, 1, 0, 0)), _mm_shuffle_epi32(fg, _MM_SHUFFLE(0, 0, 0, 0)));
        sum = add(sum, mul(_mm_shuffle_epi32(a, _MM_SHUFFLE(0, 0, 1, 1)),
                           _mm_sign_epi32(_mm_shuffle_epi32(fg, _MM_SHUFFLE(1, 1, 1, 1)), neg_first)));
        sum = add(sum,
                  mul(_mm_shuffle_epi32(b, _MM_SHUFFLE(0, 0, 0, 0)), _mm_shuffle_epi32(fg, _MM_SHUFFLE(3, 3, 2, 2))));
        return add(sum, mul(_mm_shuffle_epi32(b, _MM_SHUFFLE(1, 1, 1, 1)),
                            _mm_sign_epi32(_mm_shuffle_epi32(fg, _MM_SHUFFLE(2, 2, 3, 3)), neg_second)));
    }

    // Two bands at a time.
    SSE41 static void analysis_post(const int32_t* z, int s, int32_t* re, int32_t* im) {
        const Shift round(37 + s);
        for (int k = 0; k < 32; k += 2) {
            const __m128i a = load(z + 2 * k);         // Z[k], Z[k+1]
            const __m128i b = load(z + 2 * (30 - k));  // Z[30-k], Z[31-k]
            const __m128i r0 = band(a, _mm_srli_si128(b, 8), load(qmf_analysis_post_q31 + 4 * k));
            const __m128i r1 = band(_mm_srli_si128(a, 8), b, load(qmf_analysis_post_q31 + 4 * (k + 1)));
            const __m128i v = _mm_shuffle_epi32(round.narrow<true>(r0, r1), _MM_SHUFFLE(3, 1, 2, 0));  // re re im im
            _mm_storel_epi64(reinterpret_cast<__m128i*>(re + k), v);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(im + k), _mm_srli_si128(v, 8));
        }
    }

    // Two values of re and im as complex pairs.
    SSE41_INLINE static __m128i pair(const int32_t* p, const int32_t* q) {
        return _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)));
    }

    // Two bands at a time: X[k], X[k+1] and X[j-1], X[j] (j = M-1-k)
    // interleaved from the two arrays.
    template <int kBits>
    SSE41 static void synthesis_pre(const int32_t* re, const int32_t* im, int s, int32_t* d) {
        constexpr int bands = 1 << kBits;
        const int32_t* pre = kBits == 6 ? qmf_synthesis64_pre_q31 : qmf_synthesis32_pre_q31;
        const Shift round(31 - s);
        for (int k = 0; k < bands; k += 2) {
            const __m128i a = pair(re + k, im + k), b = pair(re + bands - 2 - k, im + bands - 2 - k);
            const __m128i r0 = band(a, _mm_srli_si128(b, 8), load(pre + 4 * k));
            const __m128i r1 = band(_mm_srli_si128(a, 8), b, load(pre + 4 * (k + 1)));
            store_pairs(d, qmf::kBitReversal<kBits>.at[k], qmf::kBitReversal<kBits>.at[k + 1],
                        round.narrow<false>(r0, r1));
        }
    }
};

}  // namespace

SSE41 void qmf_analysis32_sse41(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<Sse41Steps>(state, in, re, im);
}

SSE41 void qmf_synthesis64_sse41(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<Sse41Steps, 6>(&state->current, state->sum, re, im, out);
}

SSE41 void qmf_synthesis32_sse41(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<Sse41Steps, 5>(&state->current, state->sum, re, im, out);
}
