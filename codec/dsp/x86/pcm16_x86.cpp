// SBR output slots to 16-bit PCM (qmf_pcm16) with SSE4.1 and AVX2, eight or
// sixteen samples a step. q12_to_pcm16's saturating addition of the rounding
// term becomes PMINSD against INT32_MAX - 2048 before a plain addition (the
// values it clamps all end at 32767 either way), the shift PSRAD by 12, the
// saturation to 16 bits PACKSSDW. Mono output is stored whole; interleaved
// stereo (step 2) is read, blended into the channel's words (PBLENDW) and
// written back, the last store ending at the slot's last sample, so nothing
// past it is touched; other strides store each word by PEXTRW. Bit-exact
// with the reference for every input; n a multiple of 4.
#include <immintrin.h>

#include <cstdint>

#include "dsp/qmf_variants.h"

#define SSE41 __attribute__((target("sse4.1")))
#define SSE41_INLINE __attribute__((target("sse4.1"), always_inline)) inline
#define AVX2 __attribute__((target("avx2")))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

constexpr int32_t kRound = 2048, kLast = INT32_MAX - kRound;

// q12_to_pcm16 of four words, in 32-bit lanes.
SSE41_INLINE __m128i q12(const int32_t* v) {
    const __m128i x = _mm_min_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)), _mm_set1_epi32(kLast));
    return _mm_srai_epi32(_mm_add_epi32(x, _mm_set1_epi32(kRound)), 12);
}

// The four low words of p to out[0], out[step], ...
SSE41_INLINE void put4(int16_t* out, int step, __m128i p) {
    // (PEXTRW to memory: the word's bits, stored as int16_t.)
    out[0] = static_cast<int16_t>(_mm_extract_epi16(p, 0));
    out[step] = static_cast<int16_t>(_mm_extract_epi16(p, 1));
    out[2 * step] = static_cast<int16_t>(_mm_extract_epi16(p, 2));
    out[3 * step] = static_cast<int16_t>(_mm_extract_epi16(p, 3));
}
SSE41_INLINE void put8(int16_t* out, int step, __m128i p) {
    put4(out, step, p);
    put4(out + 4 * step, step, _mm_srli_si128(p, 8));
}

// Eight samples to the even words of out[0 .. 14]: words 0 .. 7 and 7 .. 14
// blended (word 7 is the other channel's in both).
SSE41_INLINE void put8_stereo(int16_t* out, __m128i p) {
    __m128i* front = reinterpret_cast<__m128i*>(out);
    __m128i* back = reinterpret_cast<__m128i*>(out + 7);
    const __m128i f = _mm_loadu_si128(front), b = _mm_loadu_si128(back);
    _mm_storeu_si128(front, _mm_blend_epi16(f, _mm_unpacklo_epi16(p, p), 0x55));
    _mm_storeu_si128(back, _mm_blend_epi16(b, _mm_unpackhi_epi16(p, p), 0xAA));
}

}  // namespace

SSE41 void qmf_pcm16_sse41(int16_t* out, int step, const int32_t* v, int n) {
    int i = 0;
    if (step == 1) {
        for (; i + 8 <= n; i += 8)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(q12(v + i), q12(v + i + 4)));
    } else if (step == 2) {
        for (; i + 8 <= n; i += 8) put8_stereo(out + 2 * i, _mm_packs_epi32(q12(v + i), q12(v + i + 4)));
    } else {
        for (; i + 8 <= n; i += 8) put8(out + i * step, step, _mm_packs_epi32(q12(v + i), q12(v + i + 4)));
    }
    if (i < n) put4(out + i * step, step, _mm_packs_epi32(q12(v + i), q12(v + i)));
}

namespace {

// q12_to_pcm16 of eight words, in 32-bit lanes.
AVX2_INLINE __m256i q12x8(const int32_t* v) {
    const __m256i x =
        _mm256_min_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)), _mm256_set1_epi32(kLast));
    return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_set1_epi32(kRound)), 12);
}

}  // namespace

// Sixteen samples a step: VPACKSSDW of samples 0 .. 7 and 8 .. 15 gives
// 0 .. 3, 8 .. 11 in the low half and 4 .. 7, 12 .. 15 in the high one. Mono
// puts the quarters in order (VPERMQ); for stereo, VPUNPCKLWD and VPUNPCKHWD
// of the pack with itself are already the doubled samples 0 .. 7 and
// 8 .. 15, blended into words 0 .. 15 and 15 .. 30. The last samples (fewer
// than sixteen) go the SSE4.1 way.
AVX2 void qmf_pcm16_avx2(int16_t* out, int step, const int32_t* v, int n) {
    int i = 0;
    if (step == 1) {
        for (; i + 16 <= n; i += 16) {
            const __m256i p = _mm256_packs_epi32(q12x8(v + i), q12x8(v + i + 8));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute4x64_epi64(p, 0xD8));
        }
    } else if (step == 2) {
        for (; i + 16 <= n; i += 16) {
            const __m256i p = _mm256_packs_epi32(q12x8(v + i), q12x8(v + i + 8));
            __m256i* front = reinterpret_cast<__m256i*>(out + 2 * i);
            __m256i* back = reinterpret_cast<__m256i*>(out + 2 * i + 15);
            const __m256i f = _mm256_loadu_si256(front), b = _mm256_loadu_si256(back);
            _mm256_storeu_si256(front, _mm256_blend_epi16(f, _mm256_unpacklo_epi16(p, p), 0x55));
            _mm256_storeu_si256(back, _mm256_blend_epi16(b, _mm256_unpackhi_epi16(p, p), 0xAA));
        }
    } else {
        for (; i + 16 <= n; i += 16) {
            const __m256i p = _mm256_packs_epi32(q12x8(v + i), q12x8(v + i + 8));
            const __m128i lo = _mm256_castsi256_si128(p), hi = _mm256_extracti128_si256(p, 1);
            int16_t* o = out + i * step;
            put4(o, step, lo);
            put4(o + 4 * step, step, hi);
            put4(o + 8 * step, step, _mm_srli_si128(lo, 8));
            put4(o + 12 * step, step, _mm_srli_si128(hi, 8));
        }
    }
    _mm256_zeroupper();
    if (i < n) qmf_pcm16_sse41(out + i * step, step, v + i, n - i);
}
