#include "dsp/dequant.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/arithmetic.h"
#include "dsp/fixed.h"
#include "dsp/words.h"
#include "tables/dequant_tables.h"
#include "tables/exact_tables.h"

namespace {

// 2^13 * a^(4/3) for 1 <= a <= 32767 (wrapping for a above about 11585).
inline int32_t pow43(int32_t a) {
    const int p = 31 - fx::clz32(static_cast<uint32_t>(a));  // leading one, 0..14
    const int e = 14 - p;
    const int i = ((a << e) >> 7) - 128;  // seven bits below the leading one
    const int32_t m = aacdec_mant_4_3[i];
    if (e < 4) return fx::shl_wrap(fx::mul_wrap(m, aacdec_exp_4_3h[e]), 3);
    return fx::asr(fx::mul_wrap(m, aacdec_exp_4_3l[e]), 2);
}

inline int32_t scale(int32_t t, int16_t mant_q15, int16_t exp) {
    const int32_t u = fx::mul32x16_hi(t, mant_q15);
    return exp >= 0 ? fx::shl_wrap(u, exp) : fx::asr(u, -exp);
}

// The gain of a band: compact, a 16-bit mantissa and a shift of the
// scale-factor table; exact, 2^((sf - 80) / 4) = 2 * gain_q31[r] / 2^31 * 2^e
// with sf - 80 = 4 e + r.
struct Gain {
    int32_t mant;
    int exp;
};
inline Gain band_gain(int sf) {
    if constexpr (kExactArithmetic) {
        const int t = sf - 80;
        return {gain_q31[t & 3], fx::asr(t, 2)};
    } else {
        return {kvxdec_pow2_table_mant[sf], kvxdec_pow2_table_exp[sf]};
    }
}

// Exact: a^(4/3) = v * 2^(e - 18). Up to 512 from the table; above, a =
// (m + f / 2^j) * 2^j with m of nine bits, linear interpolation between
// m and m + 1, times 2^(4j/3) = 2^(j + j/3) * 2^((j mod 3) / 3).
inline int32_t pow43_exact(int32_t a, int& e) {
    if (a <= 512) {
        e = 0;
        return pow43_q18[a];
    }
    const int j = 31 - fx::clz32(static_cast<uint32_t>(a)) - 8;  // 1..6
    const int m = a >> j;
    const int32_t f = a & ((1 << j) - 1);
    const int32_t lo = pow43_q18[m];
    const int32_t v = lo + fx::mul_shift_sat(pow43_q18[m + 1] - lo, f, j);
    e = j + j / 3;
    return fx::mul_shift_sat(v, cbrt2_q30[j % 3], 30);
}

// |q| as a 32-bit value (32768 for -32768) and the sign put back: the one
// place where a value's sign is handled, without a branch, through the
// value's sign mask m (0 or -1): (x ^ m) - m.
inline int32_t sign_mask(int16_t q) { return fx::asr(q, 15); }
inline int32_t magnitude(int16_t q) { return fx::sub_wrap(q ^ sign_mask(q), sign_mask(q)); }
inline int32_t with_sign(int16_t q, int32_t x) { return fx::sub_wrap(x ^ sign_mask(q), sign_mask(q)); }

// The coefficient of a non-zero magnitude a with its band's gain; the sign
// goes on after the shifts, so negative values mirror positive ones. 32768
// only comes from a malformed escape (-32768); it is taken as 32767. Exact:
// one rounded product, saturated.
inline int32_t dequant_abs(int32_t a, Gain g) {
    if (a > 32767) a = 32767;
    if constexpr (kExactArithmetic) {
        int e;
        const int32_t v = pow43_exact(a, e);
        return fx::mul_shift_sat(v, g.mant, 48 - e - g.exp);
    } else {
        return scale(pow43(a), static_cast<int16_t>(g.mant), static_cast<int16_t>(g.exp));
    }
}
inline int32_t dequant(int16_t q, Gain g) { return with_sign(q, dequant_abs(magnitude(q), g)); }

// Exact: a value of a band whose shift 48 - exp lies in 1..62, the table's
// values (up to 512) in one rounded product with that shift.
inline int32_t dequant(int16_t q, Gain g, int shift) {
    const int32_t a = magnitude(q);
    if (a > 512) return dequant(q, g);
    return with_sign(q, fx::rshr64_sat(fx::mac64(0, pow43_q18[a], g.mant), shift));
}

// Whether a coefficient of the exact arithmetic sits at its saturation
// limit, +-(2^31 - 1): beyond what the filter bank takes (see
// kvxdec_DequantizeGains in dsp/dequant.h).
inline bool at_limit(int32_t v) { return v == INT32_MAX || v == -INT32_MAX; }

// A band the plain step does not take, value by value: whether a value
// reached the limit (never in the compact arithmetic, which wraps).
template <typename Value>
inline bool band_by_value(int32_t* out, const int16_shared* q, int n, Value value) {
    bool limit = false;
    for (int i = 0; i < n; ++i) {
        out[i] = q[i] == 0 ? 0 : value(q[i]);
        if constexpr (kExactArithmetic) limit |= at_limit(out[i]);
    }
    return limit;
}

}  // namespace

// Exact, a plain band: sign(q) * ((pow43_q18[|q|] * mant + 2^(s-1)) >> s)
// for |q| <= 512, without saturation (the caller made sure of it). The
// rounding term starts the accumulator, so each value is one 64-bit
// multiply-add and a shift: of the high word alone for s >= 32, of the pair
// below. Zeros, about half the values of a coded band at low rates, are
// stored without the product.
void plain_band(int32_t* out, const int16_shared* q, int n, int32_t mant, int shift) {
    const int64_t bias = fx::round_bias64(shift);
    // The table's address in a register for the whole band (GCC would load
    // it from the global offset table again for every value). The sign as
    // magnitude and with_sign have it, written as two conditional
    // negations: on 32-bit ARM they reuse the test for zero's flags.
    const int32_t* pow43 = pow43_q18;
#if defined(__arm__)
    asm("" : "+r"(pow43));
#endif
    if (shift >= 32) {
        for (int i = 0; i < n; ++i) {
            const int16_t v = q[i];
            if (v == 0) {
                out[i] = 0;
                continue;
            }
            const int32_t x = fx::asr64_hi(fx::mac64(bias, pow43[v < 0 ? -v : v], mant), shift - 32);
            out[i] = v < 0 ? fx::neg_wrap(x) : x;
        }
        return;
    }
    for (int i = 0; i < n; ++i) {
        const int16_t v = q[i];
        if (v == 0) {
            out[i] = 0;
            continue;
        }
        const int32_t x = fx::asr64_lo(fx::mac64(bias, pow43[v < 0 ? -v : v], mant), shift);
        out[i] = v < 0 ? fx::neg_wrap(x) : x;
    }
}

// One pass over a band, two 16-bit values as one 32-bit word at a time.
// Each lane x's ones' complement magnitude m has its highest one at bit
// t - 1 exactly when x XOR 2x (in 16 bits) has its highest one at bit t
// (from t on, x's bits all equal its sign; bit t - 1 differs): so the OR of
// the lanes' x XOR 2x, the word XOR itself shifted left by one, shows the
// largest t, and every m lies below 2^t. (The low lane's top bit, shifted
// into the high lane's bit 0, moves only a t of 0: magnitudes of 0.) The
// bound returned is 2^t - 1, which is below 512 exactly when the OR of the
// magnitudes is.
BandBits scan_band(const int16_shared* q, int n) {
    uint32_t any = 0, diff = 0;
    int i = 0;
    for (; i + 2 <= n; i += 2) {
        uint32_t w;
        std::memcpy(&w, q + i, sizeof w);
        any |= w;
        diff |= w ^ (w << 1);
    }
    if (i < n) {
        const uint32_t w = static_cast<uint16_t>(q[i]);
        any |= w;
        diff |= (w ^ (w << 1)) & 0xFFFFu;
    }
    // Some lane is non-zero exactly when diff is.
    const uint32_t d = (diff | diff >> 16) & 0xFFFFu;
    return {any, d ? static_cast<int32_t>((0x80000000u >> fx::clz32(d)) - 1) : 0};
}

namespace {

// The OR of four 16-bit values from q, as two 32-bit words: 0 when they are
// all zero.
inline uint32_t or4(const int16_shared* q) {
    uint32_t a, b;
    std::memcpy(&a, q, sizeof a);
    std::memcpy(&b, q + 2, sizeof b);
    return a | b;
}

// The end of the last run of eight values in [begin, end) holding a
// non-zero one (begin when there is none), from the top down: the bands
// above it are all zero. begin and end are multiples of eight, as every
// window edge is.
int live_end(const int16_shared* q, int begin, int end) {
#if defined(__SSE2__)
    // x86-64: sixteen values a step while they are all zero.
    const __m128i zero = _mm_setzero_si128();
    while (end - begin >= 16) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + end - 16));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + end - 8));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(lo, hi), zero)) != 0xFFFF) break;
        end -= 16;
    }
#endif
    while (end > begin && (or4(q + end - 8) | or4(q + end - 4)) == 0) end -= 8;
    return end;
}

constexpr DequantSteps kPortableSteps{scan_band, plain_band};

// One band of n values at q into out (see dequantise_bands); whether a
// value reached the limit.
__attribute__((always_inline)) inline bool dequantise_band(const DequantSteps& steps, int32_t* out,
                                                           const int16_shared* q, int n, int16_t sf_coded) {
    // One pass over the band first (its values are all read before the
    // first store, which may land on them). Bands of zeros (no spectral
    // data, or noise or intensity) are common: a fill.
    const BandBits bits = steps.scan(q, n);
    if (bits.any == 0) {
        words::zero_words(out, n);
        return false;
    }
    // Only spectral bands carry non-zero values; their scale factors lie in
    // 0..255. The clamp keeps malformed streams (pulses in an intensity or
    // noise band) inside the tables.
    const int sf = sf_coded < 0 ? 0 : (sf_coded > 255 ? 255 : sf_coded);
    const Gain g = band_gain(sf);
    if constexpr (kExactArithmetic) {
        const int shift = 48 - g.exp;
        if (plain_band_fits(bits.bits, g.mant, shift)) {
            steps.plain(out, q, n, g.mant, shift);
            return false;
        }
        if (shift >= 1 && shift <= 62)
            return band_by_value(out, q, n, [g, shift](int16_t v) { return dequant(v, g, shift); });
    }
    return band_by_value(out, q, n, [g](int16_t v) { return dequant(v, g); });
}

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
bool dequantise_band_portable(int32_t* out, const int16_shared* q, int n, int16_t sf) {
    return dequantise_band(kPortableSteps, out, q, n, sf);
}
#endif

int32_t dequant_value(int16_t q, int sf) {
    return q == 0 ? 0 : dequant(q, band_gain(sf));
}

bool dequantise_bands(const DequantSteps& steps, int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
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
            // The steps take whole fours; other widths (no band layout has
            // them) go to the portable ones.
            if ((end - pos) % 4 == 0)
                limit |= dequantise_band(steps, coef_out + pos, quant_in + pos, end - pos, scaleFactors[b]);
            else
                limit |= dequantise_band(kPortableSteps, coef_out + pos, quant_in + pos, end - pos, scaleFactors[b]);
            pos = end;
        }
        // The zero bands at the top of the window (common: no spectral data
        // above the coded bandwidth) in one fill, after the values below
        // them have been read.
#if defined(__x86_64__) || defined(__i386__)
        if (steps.zero && pos < window_end) {
            steps.zero(coef_out + pos, window_end - pos);
            pos = window_end;
        }
#endif
        words::zero_words(coef_out + pos, window_end - pos);
        if (pos < window_end) pos = window_end;
        scaleFactors += bands;
    }
    return limit;
}

bool kvxdec_DequantizeGains(int16_t num_windows, const int32_t* num_swb, int32_t* coef_out,
                            const int16_shared* quant_in, const int16_t* scaleFactors,
                            const int16_t* const* window_swb_top) {
    return dequantise_bands(kPortableSteps, num_windows, num_swb, coef_out, quant_in, scaleFactors, window_swb_top);
}
