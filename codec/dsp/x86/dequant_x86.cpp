// The exact arithmetic's dequantisation with SSE4.1 and AVX2: the band scan
// eight values at a time (PSRAW for the sign masks, or PABSW in AVX2's
// walk), and the plain bands (see dequantise_bands) four or eight values at
// a time. The magnitudes index the table (four scalar reads, or one AVX2
// gather, or a permute of a register for magnitudes below 8), the
// products with the band's mantissa are 64-bit (PMULDQ on the even and odd
// words), the rounding term is added and the pair shifted right by the
// band's shift with one logical shift (every product is non-negative), and
// the value's sign goes back on with PSIGND (a zero stays zero). Bit-exact
// with plain_band. SSE4.1 runs these steps from the portable walk; AVX2 has
// the walk here with its steps inlined, the zero bands stored with vector
// stores, other bands handed to the portable walk's.
#include <immintrin.h>

#include "dsp/dequant.h"
#include "dsp/fixed.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/exact_tables.h"

#define AVX2 __attribute__((target("avx2")))

namespace {

// sign(q) ((t mant + 2^(s-1)) >> s) per word, q the values, t the table's.
SSE41 inline __m128i scale4(__m128i q, __m128i t, __m128i mant, __m128i bias, __m128i shift) {
    const __m128i even = _mm_srl_epi64(_mm_add_epi64(_mm_mul_epi32(t, mant), bias), shift);
    const __m128i odd = _mm_srl_epi64(_mm_add_epi64(_mm_mul_epi32(_mm_srli_epi64(t, 32), mant), bias), shift);
    return _mm_sign_epi32(sse41::pack_even_odd(even, odd), q);
}

// Four values from the buffer, widened to 32 bits.
SSE41 inline __m128i load4(const int16_shared* q) {
    return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)));
}

SSE41 inline __m128i table4(__m128i a) {
    return _mm_setr_epi32(pow43_q18[_mm_cvtsi128_si32(a)], pow43_q18[_mm_extract_epi32(a, 1)],
                          pow43_q18[_mm_extract_epi32(a, 2)], pow43_q18[_mm_extract_epi32(a, 3)]);
}

// Four values at a time from i up to n (both multiples of four).
SSE41 inline void plain_tail(int32_t* out, const int16_shared* q, int i, int n, int32_t mant, int shift) {
    const __m128i m = _mm_set1_epi64x(mant), bias = _mm_set1_epi64x(fx::round_bias64(shift));
    const __m128i s = _mm_cvtsi32_si128(shift);
    for (; i + 4 <= n; i += 4) {
        const __m128i v = load4(q + i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), scale4(v, table4(_mm_abs_epi32(v)), m, bias, s));
    }
}

// The OR of the words of a register, folded into its lowest word.
SSE41 inline uint32_t or_lanes(__m128i v) {
    v = _mm_or_si128(v, _mm_srli_si128(v, 8));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_or_si128(v, _mm_srli_si128(v, 4))));
}

SSE41 __attribute__((always_inline)) inline BandBits scan_values(const int16_shared* q, int n) {
    __m128i any = _mm_setzero_si128(), mag = _mm_setzero_si128();
    for (int i = 0; i < n; i += 8) {
        // Four values alone (the upper half zero) when only four are left.
        const __m128i v = i + 8 <= n ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i))
                                     : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + i));
        any = _mm_or_si128(any, v);
        mag = _mm_or_si128(mag, _mm_xor_si128(v, _mm_srai_epi16(v, 15)));
    }
    const uint32_t m = or_lanes(mag);
    return {or_lanes(any), static_cast<int32_t>((m | m >> 16) & 0xFFFFu)};
}

SSE41 BandBits scan_band_sse41(const int16_shared* q, int n) { return scan_values(q, n); }

SSE41 void plain_band_sse41(int32_t* out, const int16_shared* q, int n, int32_t mant, int shift) {
    plain_tail(out, q, 0, n, mant, shift);
}

// Eight values at a time: the same steps in 256-bit registers, the table
// read by one gather, or, when every magnitude is below 8 (Small: most
// bands at low rates), by a permute of its first eight words held in a
// register, which takes a few cycles where a gather takes tens.
template <bool Small>
AVX2 __attribute__((always_inline)) inline void plain_values(int32_t* out, const int16_shared* q, int n, int32_t mant,
                                                              int shift) {
    const __m256i m = _mm256_set1_epi64x(mant), bias = _mm256_set1_epi64x(fx::round_bias64(shift));
    const __m128i s = _mm_cvtsi32_si128(shift);
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pow43_q18));
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i)));
        const __m256i t = Small ? _mm256_permutevar8x32_epi32(first, _mm256_abs_epi32(v))
                                : _mm256_i32gather_epi32(pow43_q18, _mm256_abs_epi32(v), 4);
        const __m256i even = _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epi32(t, m), bias), s);
        const __m256i odd =
            _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(t, 32), m), bias), s);
        const __m256i r = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_sign_epi32(r, v));
    }
    if (i < n) {  // four left: the same with four words
        const __m128i v = load4(q + i);
        const __m128i t =
            Small ? _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(first, _mm256_castsi128_si256(_mm_abs_epi32(v))))
                  : _mm_i32gather_epi32(pow43_q18, _mm_abs_epi32(v), 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         scale4(v, t, _mm256_castsi256_si128(m), _mm256_castsi256_si128(bias), s));
    }
}

// The OR of the magnitudes of n values (a multiple of four) in 16 bits
// (-32768 giving 32768): zero exactly when they all are, and at least the
// largest magnitude.
SSE41 inline __m128i mags(const int16_shared* p) {
    return _mm_abs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// n is at least 4 (a band holds four lines or more, a multiple of four):
// below 8 the first four are read, so n = 0 would read four beyond.
SSE41 __attribute__((always_inline)) inline uint32_t or_magnitudes(const int16_shared* q, int n) {
    __m128i mag;
    if (n < 8) {
        mag = _mm_abs_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)));
    } else {
        // The last eight, then eights from the first up to them (the OR
        // takes values twice where they overlap).
        mag = mags(q + n - 8);
        for (int i = 0; i < n - 8; i += 8) mag = _mm_or_si128(mag, mags(q + i));
    }
    const uint32_t m = or_lanes(mag);
    return (m | m >> 16) & 0xFFFFu;
}

AVX2 void zero_avx2(int32_t* out, int n);

// The walk of dequantise_bands (dsp/dequant.cpp) with the steps above in
// it rather than called: the same bands, the same tests, the same values.

// live_end: the end of the last run of eight values in [begin, end) holding
// a non-zero one, 32 values a step while they are all zero.
AVX2 inline int live_end(const int16_shared* q, int begin, int end) {
    while (end - begin >= 32) {
        const __m256i v = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + end - 32)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + end - 16)));
        if (!_mm256_testz_si256(v, v)) break;
        end -= 32;
    }
    while (end > begin) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + end - 8));
        if (!_mm_testz_si128(v, v)) break;
        end -= 8;
    }
    return end;
}

// dequantise_band: a band of n values (a multiple of four); bands whose
// values or gain the plain step does not take go to the portable walk's.
// Whether a value reached the limit.
AVX2 inline bool band(int32_t* out, const int16_shared* q, int n, int16_t sf_coded) {
    const uint32_t bits = or_magnitudes(q, n);
    if (bits == 0) {
        int i = 0;
        for (; i + 8 <= n; i += 8) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_setzero_si256());
        if (i < n) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_setzero_si128());
        return false;
    }
    const int t = (sf_coded < 0 ? 0 : (sf_coded > 255 ? 255 : sf_coded)) - 80;
    const int32_t mant = gain_q31[t & 3];
    const int shift = 48 - fx::asr(t, 2);
    // The largest magnitude is at most bits (below 512 there), and the
    // test's bound takes the value above it.
    if (plain_band_fits(static_cast<int32_t>(bits), mant, shift)) {
        if (bits < 8)
            plain_values<true>(out, q, n, mant, shift);
        else
            plain_values<false>(out, q, n, mant, shift);
        return false;
    }
    return dequantise_band_portable(out, q, n, sf_coded);
}

AVX2 bool dequantise_bands_avx2(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                                const int16_shared* quant_in, const int16_t* scaleFactors,
                                const int16_t* const* window_swb_top) {
    bool limit = false;
    int pos = 0;
    for (int w = 0; w < num_windows; ++w) {
        const int16_t* top = window_swb_top[w];
        const int base = pos;
        const int bands = num_swb[w];
        if (bands <= 0) continue;
        const int window_end = base + top[bands - 1];
        const int live = (window_end - base) % 8 == 0 ? live_end(quant_in, base, window_end) : window_end;
        for (int b = 0; b < bands && pos < live; ++b) {
            const int end = base + top[b];
            if ((end - pos) % 4 == 0) limit |= band(coef_out + pos, quant_in + pos, end - pos, scaleFactors[b]);
            else limit |= dequantise_band_portable(coef_out + pos, quant_in + pos, end - pos, scaleFactors[b]);
            pos = end;
        }
        // The zero bands at the top of the window, after the values below
        // them have been read.
        if (pos < window_end) zero_avx2(coef_out + pos, window_end - pos);
        pos = window_end;
        scaleFactors += bands;
    }
    _mm256_zeroupper();
    return limit;
}

// n zeros from out: 32 words a turn of four stores, then eight, four and
// single words. (The pointer made opaque, so that the loops stay stores
// rather than becoming a call of the library's fill.)
AVX2 void zero_avx2(int32_t* out, int n) {
    asm("" : "+r"(out));
    const __m256i z = _mm256_setzero_si256();
    int i = 0;
    for (; i + 32 <= n; i += 32)
        for (int k = 0; k < 32; k += 8) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + k), z);
    for (; i + 8 <= n; i += 8) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), z);
    if (i + 4 <= n) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_setzero_si128()), i += 4;
    for (; i < n; ++i) out[i] = 0;
    _mm256_zeroupper();
}

// The same 16 words a turn of four stores.
SSE41 void zero_sse41(int32_t* out, int n) {
    asm("" : "+r"(out));
    const __m128i z = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= n; i += 16)
        for (int k = 0; k < 16; k += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + k), z);
    for (; i + 4 <= n; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), z);
    for (; i < n; ++i) out[i] = 0;
}

}  // namespace

bool dequantise_sse41(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                      const int16_t* scaleFactors, const int16_t* const* window_swb_top) {
    return dequantise_bands({scan_band_sse41, plain_band_sse41, zero_sse41}, num_windows, num_swb, coef_out, quant_in, scaleFactors, window_swb_top);
}

bool dequantise_avx2(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out, const int16_shared* quant_in,
                     const int16_t* scaleFactors, const int16_t* const* window_swb_top) {
    return dequantise_bands_avx2(num_windows, num_swb, coef_out, quant_in, scaleFactors, window_swb_top);
}
