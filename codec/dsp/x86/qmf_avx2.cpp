// The SBR QMF banks with AVX2: the steps of the SSE4.1 variant
// (dsp/x86/qmf_sse41.cpp) twice as wide, eight values of a window or four
// points of a rotation at a time, with the same bit-exact rounding (VPMULDQ
// products, 64-bit sums, the reference's rounding shift). The other steps
// are the reference's (dsp/qmf_steps.h), built for this target. Only the
// functions here use AVX2 (target attribute).
#include <immintrin.h>

#include "dsp/qmf_variants.h"
#include "dsp/x86/complex_avx2.h"

#define QMF_STEPS_TARGET AVX2
#include "dsp/qmf_steps.h"

namespace {

// Four words at p, sign-extended to the four 64-bit lanes (VPMOVSXDQ).
AVX2_INLINE __m256i load_wide(const int32_t* p) {
    return _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
AVX2_INLINE __m256i load(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
AVX2_INLINE void store(int32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// The rounding shift by n (1..62) of the 64-bit sums of a and b, as
// fx::rshr64 (kSaturate false: the low words) or fx::rshr64_sat, in the
// order of VSHUFPS in each 128-bit half: a's first two, b's first two, a's
// last two, b's last two.
struct Shift {
    __m256i bias;
    __m128i count;
    AVX2_INLINE explicit Shift(int n) : bias(_mm256_set1_epi64x(INT64_C(1) << (n - 1))), count(_mm_cvtsi32_si128(n)) {}
    AVX2_INLINE __m256i asr(__m256i v) const {
        const __m256i sign = _mm256_shuffle_epi32(_mm256_srai_epi32(v, 31), _MM_SHUFFLE(3, 3, 1, 1));
        return _mm256_xor_si256(_mm256_srl_epi64(_mm256_xor_si256(v, sign), count), sign);
    }
    template <bool kSaturate>
    AVX2_INLINE __m256i narrow(__m256i a, __m256i b) const {
        a = asr(_mm256_add_epi64(a, bias));
        b = asr(_mm256_add_epi64(b, bias));
        const __m256i lo = _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
        if (!kSaturate) return lo;
        const __m256i hi = _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
        const __m256i fits = _mm256_cmpeq_epi32(hi, _mm256_srai_epi32(lo, 31));
        const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(hi, 31), _mm256_set1_epi32(INT32_MAX));
        return _mm256_blendv_epi8(limit, lo, fits);
    }
    // The same for eight values in order, a holding the first four.
    template <bool kSaturate>
    AVX2_INLINE __m256i narrow_in_order(__m256i a, __m256i b) const {
        return _mm256_permute4x64_epi64(narrow<kSaturate>(a, b), _MM_SHUFFLE(3, 1, 2, 0));
    }
};

AVX2_INLINE __m256i mul(__m256i a, __m256i b) { return _mm256_mul_epi32(a, b); }
AVX2_INLINE __m256i add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }

struct Avx2Steps : qmf::ScalarSteps {
    AVX2 static void analysis_window(const int32_t* const* blk, int32_t* u) {
        const Shift round(32);
        for (int n = 0; n < 64; n += 8) {
            const int half = n >> 5, r = n & 31;
            __m256i a = _mm256_setzero_si256(), b = a;
            for (int j = 0; j < 5; ++j) {
                const int32_t* c = qmf_window_q31 + 2 * (n + 64 * j);  // even words
                const int32_t* x = blk[2 * j + half] + r;
                a = add(a, mul(load_wide(x), load(c)));
                b = add(b, mul(load_wide(x + 4), load(c + 8)));
            }
            store(u + n, round.narrow_in_order<false>(a, b));
        }
    }

    template <int kBits>
    AVX2 static void synthesis_window(const int32_t* const* blk, int32_t* out) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const Shift round(30);
        for (int k = 0; k < bands; k += 8) {
            __m256i a = _mm256_setzero_si256(), b = a;
            for (int i = 0; i < qmf::kBlocks; ++i) {
                const int32_t* c = qmf_window_q31 + step * (bands * i + k);
                const int32_t* x = blk[i] + k;
                if (step == 1) {
                    a = add(a, mul(load_wide(x), load_wide(c)));
                    b = add(b, mul(load_wide(x + 4), load_wide(c + 4)));
                } else {
                    a = add(a, mul(load_wide(x), load(c)));
                    b = add(b, mul(load_wide(x + 4), load(c + 8)));
                }
            }
            store(out + k, round.narrow_in_order<true>(a, b));
        }
    }

    // Four points at a time, two in each 128-bit half: (re c - im s,
    // re s + im c) of each in two 64-bit lanes.
    template <int kBits>
    AVX2 static void synthesis_post(const int32_t* d, int s, int32_t* nv) {
        constexpr int bands = 1 << kBits, step = 64 / bands;
        const Shift round(30 + s);
        const __m256i neg_first = _mm256_setr_epi32(-1, 1, 1, 1, -1, 1, 1, 1);
        for (int m = 0; m < bands; m += 4) {
            const __m256i z = load(d + 2 * m);  // points m .. m+3
            __m256i cs = load(qmf_rot_q31 + 2 * step * m);
            if (step == 2)  // the pairs of every second point
                cs = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(cs, load(qmf_rot_q31 + 2 * step * m + 8)),
                                              _MM_SHUFFLE(3, 1, 2, 0));
            auto point = [&](__m256i re, __m256i im, __m256i t) __attribute__((always_inline, target("avx2"))) {
                const __m256i c_s = _mm256_shuffle_epi32(t, _MM_SHUFFLE(1, 1, 0, 0));
                const __m256i s_c = _mm256_shuffle_epi32(t, _MM_SHUFFLE(0, 0, 1, 1));
                return add(mul(re, c_s), mul(_mm256_sign_epi32(im, neg_first), s_c));
            };
            const __m256i p0 = point(_mm256_shuffle_epi32(z, _MM_SHUFFLE(0, 0, 0, 0)),
                                     _mm256_shuffle_epi32(z, _MM_SHUFFLE(1, 1, 1, 1)), cs);
            const __m256i p1 = point(_mm256_shuffle_epi32(z, _MM_SHUFFLE(2, 2, 2, 2)),
                                     _mm256_shuffle_epi32(z, _MM_SHUFFLE(3, 3, 3, 3)), _mm256_srli_si256(cs, 8));
            store(nv + 2 * m, round.narrow<true>(p0, p1));
        }
    }

    // Four bands at a time (see the SSE4.1 variant): k and k+2 in the first
    // lanes of the two halves, k+1 and k+3 in the others.
    AVX2 static void analysis_post(const int32_t* z, int s, int32_t* re, int32_t* im) {
        const Shift round(37 + s);
        const __m256i neg_first = _mm256_setr_epi32(-1, 1, 1, 1, -1, 1, 1, 1);
        const __m256i neg_second = _mm256_setr_epi32(1, 1, -1, 1, 1, 1, -1, 1);
        const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
        auto band = [&](__m256i a, __m256i b, __m256i fg) __attribute__((always_inline, target("avx2"))) {
            __m256i sum = mul(_mm256_shuffle_epi32(a, _MM_SHUFFLE(1, 1, 0, 0)),
                              _mm256_shuffle_epi32(fg, _MM_SHUFFLE(0, 0, 0, 0)));
            sum = add(sum, mul(_mm256_shuffle_epi32(a, _MM_SHUFFLE(0, 0, 1, 1)),
                               _mm256_sign_epi32(_mm256_shuffle_epi32(fg, _MM_SHUFFLE(1, 1, 1, 1)), neg_first)));
            sum = add(sum, mul(_mm256_shuffle_epi32(b, _MM_SHUFFLE(0, 0, 0, 0)),
                               _mm256_shuffle_epi32(fg, _MM_SHUFFLE(3, 3, 2, 2))));
            return add(sum, mul(_mm256_shuffle_epi32(b, _MM_SHUFFLE(1, 1, 1, 1)),
                                _mm256_sign_epi32(_mm256_shuffle_epi32(fg, _MM_SHUFFLE(2, 2, 3, 3)), neg_second)));
        };
        for (int k = 0; k < 32; k += 4) {
            const __m256i a = load(z + 2 * k);  // Z[k .. k+3]
            // Z[31-k], Z[30-k] | Z[29-k], Z[28-k]
            const __m256i b = _mm256_permute4x64_epi64(load(z + 2 * (28 - k)), _MM_SHUFFLE(0, 1, 2, 3));
            const __m256i fg01 = load(qmf_analysis_post_q31 + 4 * k), fg23 = load(qmf_analysis_post_q31 + 4 * k + 8);
            const __m256i r0 = band(a, b, _mm256_permute2x128_si256(fg01, fg23, 0x20));
            const __m256i r1 = band(_mm256_srli_si256(a, 8), _mm256_srli_si256(b, 8),
                                    _mm256_permute2x128_si256(fg01, fg23, 0x31));
            const __m256i v = _mm256_permutevar8x32_epi32(round.narrow<true>(r0, r1), split);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(re + k), _mm256_castsi256_si128(v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(im + k), _mm256_extracti128_si256(v, 1));
        }
    }
};

}  // namespace

AVX2 void qmf_analysis32_avx2(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<Avx2Steps>(state, in, re, im);
    _mm256_zeroupper();
}

AVX2 void qmf_synthesis64_avx2(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<Avx2Steps, 6>(&state->newest, state->v, re, im, out);
    _mm256_zeroupper();
}

AVX2 void qmf_synthesis32_avx2(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<Avx2Steps, 5>(&state->newest, state->v, re, im, out);
    _mm256_zeroupper();
}
