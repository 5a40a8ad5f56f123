// Fixed-point primitives. Every product, shift, saturation and wrap of the
// DSP code goes through these; each states its contract and the ARM
// instruction it corresponds to. Modular arithmetic goes through uint32_t,
// never through signed overflow.
//
// Range checking (AAC_RANGE_CHECK=1, CMake option AAC_RANGE_CHECK): every
// primitive also computes its result in 64 bits, and a shift count outside
// its stated range or a result that leaves the range its contract promises
// stops the program with the caller's file and line. Wrapping primitives
// (*_wrap, wrap16) promise nothing beyond their modular result.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(__ARM_FEATURE_DSP) || defined(__ARM_FEATURE_SAT)
#include <arm_acle.h>
#endif

#ifndef AAC_RANGE_CHECK
#define AAC_RANGE_CHECK 0
#endif

#if AAC_RANGE_CHECK
#include <cstdio>
#include <cstdlib>
#include <source_location>
#endif

namespace fx {

#if AAC_RANGE_CHECK
using Where = std::source_location;
[[noreturn]] inline void out_of_range(const char* what, const Where& where) {
    std::fprintf(stderr, "%s:%u: fixed-point value out of range in %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), what);
    std::abort();
}
// The caller's position, as a defaulted last parameter.
#define FX_WHERE , ::fx::Where where = ::fx::Where::current()
#define FX_EXPECT(ok, what) ((ok) ? void(0) : ::fx::out_of_range(what, where))
// Hands the caller's position on to another checked primitive.
#define FX_PASS_WHERE , where
#else
#define FX_WHERE
#define FX_EXPECT(ok, what) ((void)0)
#define FX_PASS_WHERE
#endif

// Whether a 64-bit value fits in n-bit two's complement.
constexpr bool fits(int64_t v, int n) { return v >= -(INT64_C(1) << (n - 1)) && v < (INT64_C(1) << (n - 1)); }

#if defined(__ARM_FEATURE_DSP)
// SMULWB and SMULWT themselves (the compiler's ACLE header has no intrinsics
// for them): bits 16..47 of a times the bottom or top signed half of w.
inline int32_t arm_smulwb(int32_t a, int32_t w) {
    int32_t r;
    __asm__("smulwb %0, %1, %2" : "=r"(r) : "r"(a), "r"(w));
    return r;
}
inline int32_t arm_smulwt(int32_t a, int32_t w) {
    int32_t r;
    __asm__("smulwt %0, %1, %2" : "=r"(r) : "r"(a), "r"(w));
    return r;
}
#endif

// High half of a 32 x 16 product: bits 16..47 of a*b, rounding toward minus
// infinity (SMULWB).
constexpr int32_t mul32x16_hi(int32_t a, int16_t b) {
#if defined(__ARM_FEATURE_DSP)
    if (!std::is_constant_evaluated()) return arm_smulwb(a, b);
#endif
    return static_cast<int32_t>((static_cast<int64_t>(a) * b) >> 16);
}

// mul32x16_hi of a and the bottom (mul32x16_hb) or top (mul32x16_ht) signed
// half of a word of two packed 16-bit values (SMULWB, SMULWT).
constexpr int32_t mul32x16_hb(int32_t a, uint32_t w) {
#if defined(__ARM_FEATURE_DSP)
    if (!std::is_constant_evaluated()) return arm_smulwb(a, static_cast<int32_t>(w));
#endif
    return mul32x16_hi(a, static_cast<int16_t>(static_cast<uint16_t>(w)));
}
constexpr int32_t mul32x16_ht(int32_t a, uint32_t w) {
#if defined(__ARM_FEATURE_DSP)
    if (!std::is_constant_evaluated()) return arm_smulwt(a, static_cast<int32_t>(w));
#endif
    return mul32x16_hi(a, static_cast<int16_t>(static_cast<uint16_t>(w >> 16)));
}

// 32-bit addition, subtraction and negation modulo 2^32.
constexpr int32_t add_wrap(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t sub_wrap(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t neg_wrap(int32_t a) { return static_cast<int32_t>(0u - static_cast<uint32_t>(a)); }

// Product modulo 2^32 (MUL).
constexpr int32_t mul_wrap(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Left shift by 0..31 modulo 2^32 (LSL): bits shifted out are lost.
constexpr int32_t shl_wrap(int32_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 0 && s <= 31, "shl_wrap");
    return static_cast<int32_t>(static_cast<uint32_t>(a) << s);
}

// Arithmetic right shift by 0..31 (ASR): rounds toward minus infinity.
constexpr int32_t asr(int32_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 0 && s <= 31, "asr");
    return a >> s;
}

// Low 16 bits as a signed value (modular narrowing).
constexpr int16_t wrap16(int32_t a) { return static_cast<int16_t>(static_cast<uint16_t>(a)); }

// Saturation to the signed 16-bit range (SSAT #16).
constexpr int16_t sat16(int32_t a) {
#if defined(__ARM_FEATURE_SAT)
    if (!std::is_constant_evaluated()) return static_cast<int16_t>(__ssat(a, 16));
#endif
    return static_cast<int16_t>(a > 32767 ? 32767 : (a < -32768 ? -32768 : a));
}

// Saturation of a wide value to the signed 32-bit range (the result of QADD).
constexpr int32_t sat32(int64_t a) {
    return static_cast<int32_t>(a > INT32_MAX ? INT32_MAX : (a < INT32_MIN ? INT32_MIN : a));
}
constexpr int32_t add_sat(int32_t a, int32_t b) {
#if defined(__ARM_FEATURE_DSP)
    if (!std::is_constant_evaluated()) return __qadd(a, b);
#endif
    int32_t r;
    return __builtin_add_overflow(a, b, &r) ? (a < 0 ? INT32_MIN : INT32_MAX) : r;
}
// sat32(a - b) (QSUB).
constexpr int32_t sub_sat(int32_t a, int32_t b) {
#if defined(__ARM_FEATURE_DSP)
    if (!std::is_constant_evaluated()) return __qsub(a, b);
#endif
    return sat32(static_cast<int64_t>(a) - b);
}

// Bits s..s+31 of a + 2^(s-1), s = 1..31: a 64-bit value shifted right by
// s, rounding half up, reduced modulo 2^32, from a's words as they come (hi,
// and lo unsigned): hi << (32 - s), plus lo >> s, plus lo's bit s - 1 (the
// rounding carry), that is plus (lo >> (s - 1)) - (lo >> s) (for s = 31: an
// ASR of lo, then two ADDs with shifted operands, one instruction less than
// ADDS, ADC, LSR, ORR). rshr64_low_neg is its negation, as cheap.
//
// The sum is kept whole (an association barrier where the compiler has
// one): GCC would otherwise carry its terms apart into every sum and
// difference the value goes on to, which takes more instructions and more
// registers than the value itself.
#if defined(__has_builtin)
#if __has_builtin(__builtin_assoc_barrier)
#define FX_WHOLE(x) __builtin_assoc_barrier(x)
#endif
#endif
#ifndef FX_WHOLE
#define FX_WHOLE(x) (x)
#endif
constexpr int32_t rshr64_low(int64_t a, int s) {
    const uint64_t u = static_cast<uint64_t>(a);
    const uint32_t lo = static_cast<uint32_t>(u), hi = static_cast<uint32_t>(u >> 32);
    return static_cast<int32_t>(FX_WHOLE((hi << (32 - s)) + (lo >> (s - 1)) - (lo >> s)));
}
constexpr int32_t rshr64_low_neg(int64_t a, int s) {
    const uint64_t u = static_cast<uint64_t>(a);
    const uint32_t lo = static_cast<uint32_t>(u), hi = static_cast<uint32_t>(u >> 32);
    return static_cast<int32_t>(FX_WHOLE((lo >> s) - (hi << (32 - s)) - (lo >> (s - 1))));
}

// Rounded Q31 product: (a * b + 2^30) >> 31 of the 64-bit product (SMULL,
// then the rounding shift of the pair, on ARM rshr64_low's three
// instructions). Fits 32 bits unless a = b = INT32_MIN.
constexpr int32_t mul_q31(int32_t a, int32_t b FX_WHERE) {
    FX_EXPECT(a != INT32_MIN || b != INT32_MIN, "mul_q31");
#if defined(__arm__)
    if (!std::is_constant_evaluated()) return rshr64_low(static_cast<int64_t>(a) * b, 31);
#endif
    return static_cast<int32_t>((static_cast<int64_t>(a) * b + (INT64_C(1) << 30)) >> 31);
}

// 64-bit multiply-accumulate modulo 2^64 (SMLAL).
constexpr int64_t mac64(int64_t acc, int32_t a, int32_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(acc) + static_cast<uint64_t>(static_cast<int64_t>(a) * b));
}

// A 64-bit value shifted right by s (1..62), rounding half up, saturated to
// 32 bits (ADDS, ADC, LSR, ORR, then SSAT-like clamping of the pair).
constexpr int32_t rshr64_sat(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 62, "rshr64_sat");
    return sat32(static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s);
}

// A 64-bit value shifted right by s (1..62), rounding half up, reduced
// modulo 2^32 (ADDS, ADC, LSR, ORR; on ARM, for s <= 31, rshr64_low's three
// instructions). Callers keep the rounded value within 32 bits; the
// range-checking build verifies it.
constexpr int32_t rshr64(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 62, "rshr64");
    const int64_t r = static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s;
    FX_EXPECT(fits(r, 32), "rshr64");
#if defined(__arm__)
    if (!std::is_constant_evaluated() && s <= 31) return rshr64_low(a, s);
#endif
    return static_cast<int32_t>(r);
}

// The negation of rshr64(a, s) modulo 2^32, for s = 1..32 (on ARM the
// three instructions of the shift itself, rshr64_low_neg; for s = 32 two:
// minus the high word, minus the low word's top bit, the rounding carry).
constexpr int32_t rshr64_neg(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 32, "rshr64_neg");
    const int64_t r = static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s;
    FX_EXPECT(fits(r, 32), "rshr64_neg");
#if defined(__arm__)
    if (!std::is_constant_evaluated() && s == 32) {
        const uint64_t u = static_cast<uint64_t>(a);
        return static_cast<int32_t>(FX_WHOLE(0u - static_cast<uint32_t>(u >> 32) - (static_cast<uint32_t>(u) >> 31)));
    }
    if (!std::is_constant_evaluated()) return rshr64_low_neg(a, s);
#endif
    return static_cast<int32_t>(0u - static_cast<uint32_t>(r));
}

// rshr64 and rshr64_neg for arithmetic that wraps on purpose (see
// cx::rotate): the same instructions, the result modulo 2^32 whatever the
// rounded value, nothing promised beyond it.
constexpr int32_t rshr64_wrap(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 62, "rshr64_wrap");
    const int64_t r = static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s;
#if defined(__arm__)
    if (!std::is_constant_evaluated() && s <= 31) return rshr64_low(a, s);
#endif
    return static_cast<int32_t>(r);
}
constexpr int32_t rshr64_neg_wrap(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 32, "rshr64_neg_wrap");
    const int64_t r = static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s;
#if defined(__arm__)
    if (!std::is_constant_evaluated() && s == 32) {
        const uint64_t u = static_cast<uint64_t>(a);
        return static_cast<int32_t>(FX_WHOLE(0u - static_cast<uint32_t>(u >> 32) - (static_cast<uint32_t>(u) >> 31)));
    }
    if (!std::is_constant_evaluated()) return rshr64_low_neg(a, s);
#endif
    return static_cast<int32_t>(0u - static_cast<uint32_t>(r));
}

// a / 2^s rounded half up, s = 1..31, without overflow (ASR, then ADD of
// the last bit shifted out).
constexpr int32_t rshr(int32_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 31, "rshr");
    return (a >> s) + ((a >> (s - 1)) & 1);
}

// sat32(round(a * b / 2^s)) for any s: a rounding right shift of the 64-bit
// product for s > 0, a saturating left shift for s <= 0; 0 for s > 62
// (SMULL, then the shift of the pair and a saturation).
constexpr int32_t mul_shift_sat(int32_t a, int32_t b, int s) {
    const int64_t p = static_cast<int64_t>(a) * b;
    if (s > 62) return 0;
    if (s > 0) return rshr64_sat(p, s);
    if (p == 0) return 0;
    if (s < -31) return p > 0 ? INT32_MAX : INT32_MIN;
    const int64_t lim = INT64_C(1) << (31 + s);
    if (p >= lim) return INT32_MAX;
    if (p < -lim) return INT32_MIN;
    return static_cast<int32_t>(p * (INT64_C(1) << -s));
}

// (a * b) >> 15 of two 16-bit values: a Q15 product, rounding toward minus
// infinity (SMULBB, then ASR #15). Fits 17 bits.
constexpr int32_t mul16_q15(int16_t a, int16_t b) { return (static_cast<int32_t>(a) * b) >> 15; }

// a * 2^s for any s >= 0, saturated to the signed 32-bit range (CLZ, then LSL
// or the saturated limit; QADD-style result).
constexpr int32_t shl_sat(int32_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 0, "shl_sat");
    if (a == 0) return 0;
    const uint32_t mag = a < 0 ? 0u - static_cast<uint32_t>(a) : static_cast<uint32_t>(a);
    if (s > __builtin_clz(mag) - 1) return a > 0 ? INT32_MAX : INT32_MIN;
    return static_cast<int32_t>(static_cast<uint32_t>(a) << s);
}

// Leading zeros of a 32-bit value; 32 for 0 (CLZ).
constexpr int clz32(uint32_t a) { return a ? __builtin_clz(a) : 32; }

// Leading zeros of a 64-bit value; 64 for 0 (CLZ of each half).
constexpr int clz64(uint64_t a) {
    return a >> 32 ? clz32(static_cast<uint32_t>(a >> 32)) : 32 + clz32(static_cast<uint32_t>(a));
}

// Half of 2^s, the rounding term of a right shift by s (1..62), as a 64-bit
// accumulator to start a multiply-add from (MOV of the two halves).
constexpr int64_t round_bias64(int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 62, "round_bias64");
    return INT64_C(1) << (s - 1);
}

// The high word of a 64-bit value shifted right by s (0..31) more:
// a >> (32 + s), rounding toward minus infinity (the high register of an
// SMLAL pair, then ASR). With a = mac64(round_bias64(32 + s), x, y) it is
// rshr64 of x y by 32 + s.
constexpr int32_t asr64_hi(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 0 && s <= 31, "asr64_hi");
    return static_cast<int32_t>(a >> 32) >> s;
}

// The low word of a 64-bit value shifted right by s (1..31), rounding toward
// minus infinity: bits s..s+31 (LSR of the low register, ORR of the high one
// shifted left by 32 - s). With a = mac64(round_bias64(s), x, y) it is rshr64
// of x y by s. Callers keep the result within 32 bits.
constexpr int32_t asr64_lo(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 31, "asr64_lo");
    FX_EXPECT(fits(a >> s, 32), "asr64_lo");
    const uint64_t u = static_cast<uint64_t>(a);
    return static_cast<int32_t>((static_cast<uint32_t>(u) >> s) | (static_cast<uint32_t>(u >> 32) << (32 - s)));
}

// v * f / 2^31 rounded down, for v < 2^63 and 0 <= f < 2^31: exact, from
// the products of f and v's two halves, whose sum fits 64 bits (UMULL of
// each half, then the shift and the addition of the pairs).
constexpr uint64_t mul_u64_q31(uint64_t v, int32_t f FX_WHERE) {
    FX_EXPECT((v >> 63) == 0 && f >= 0, "mul_u64_q31");
    const uint64_t uf = static_cast<uint32_t>(f);
    return (((v >> 32) * uf) << 1) + (((v & 0xffffffffu) * uf) >> 31);
}

// udiv_round (below) for 0 < b < 2^31 and a < b 2^31 without a division
// (udiv_round_recip): the reciprocal recip31(b), x near 2^63 / bn (bn: b
// shifted up to bit 31), from a linear first guess (within 1/17) and three
// Newton steps, then udiv_round_by: the quotient from the top bits of
// a + b / 2 times x, short by a few units at most, which the remainder puts
// right (a multiply and a subtraction per unit). Quotients by one divisor
// can share its reciprocal.
struct Recip31 {
    uint64_t x;  // near 2^63 / (b << s)
    int s;       // clz32(b)
};
constexpr Recip31 recip31(uint32_t b FX_WHERE) {
    FX_EXPECT(b > 0 && b < (UINT32_C(1) << 31), "recip31");
    const int s = clz32(b);
    const uint64_t bn = static_cast<uint64_t>(b) << s;
    const uint64_t half = UINT64_C(1) << 63;
    uint64_t x = UINT64_C(6063268818) - ((bn * UINT64_C(4042322161)) >> 32);
    for (int i = 0; i < 3; ++i) {
        const uint64_t p = bn * x;
        if (p <= half) x += (x * ((half - p) >> 32)) >> 31;
        else x -= (x * ((p - half) >> 32)) >> 31;
    }
    return {x, s};
}
// The quotient by b from its reciprocal r = recip31(b).
constexpr uint32_t udiv_round_by(uint64_t a, uint32_t b, Recip31 r FX_WHERE) {
    FX_EXPECT(b > 0 && b < (UINT32_C(1) << 31) && (a >> 31) < b && r.s == clz32(b), "udiv_round_by");
    const uint64_t m = a + b / 2;
    uint64_t q = ((m >> (32 - r.s)) * r.x) >> 31;
    int64_t rem = static_cast<int64_t>(m) - static_cast<int64_t>(q * b);
    while (rem < 0) {
        --q;
        rem += b;
    }
    while (rem >= static_cast<int64_t>(b)) {
        ++q;
        rem -= b;
    }
    return static_cast<uint32_t>(q);
}
constexpr uint32_t udiv_round_recip(uint64_t a, uint32_t b FX_WHERE) {
    FX_EXPECT(b > 0 && b < (UINT32_C(1) << 31) && (a >> 31) < b, "udiv_round_recip");
    return udiv_round_by(a, b, recip31(b));
}

// a / b rounded to the nearest integer, halves up, for b > 0, a + b / 2
// below 2^64 and a quotient within 32 bits (div_round for a >= 0): a 64-bit
// division, or on ARM, which has no division instruction, udiv_round_recip
// where that applies.
constexpr uint32_t udiv_round(uint64_t a, uint64_t b FX_WHERE) {
    FX_EXPECT(b > 0, "udiv_round");
#if defined(__arm__)
    if (!std::is_constant_evaluated() && b < (UINT64_C(1) << 31) && (a >> 31) < b)
        return udiv_round_recip(a, static_cast<uint32_t>(b));
#endif
    const uint64_t q = (a + b / 2) / b;
    FX_EXPECT(q <= UINT64_C(0xffffffff), "udiv_round");
    return static_cast<uint32_t>(q);
}

// a 2^30 / b rounded to the nearest integer, halves up, for 0 < b < 2^31 and
// a <= b (a Q30 ratio of at most 1), without a division: 32-bit products
// only, where udiv_round_recip's reciprocal takes 64-bit ones.
//
// Both are shifted up by s = clz32(b) - 1 (the ratio is the same, and so is
// its rounding: a rounded half can only fall on an even b), bn = b << s in
// [2^30, 2^31). recip_q30(bn) is v, with R = 2^32 + v short of R* = 2^63 / bn
// by 4 at most and never above it:
//   - a seed y0 (Q15) from a table on bn's bits 22..29, 2 / (lo + hi) of
//     the interval's ends: |1 - y0 bn / 2^31| <= 1/513 + 2^-16 < 2^-8.99;
//   - one Newton step y1 = 2 y0 - y0^2 bn / 2^31 (Q29, z): relative error
//     below 2^-17.9 (the square of the seed's, plus the step's truncation);
//   - one more, y1 + y1 (1 - y1 bn / 2^31) in Q32: its exact value is
//     R* (1 - e1^2), less than 2^33 e1^2 < 0.13 below R*; the error term's
//     bits (bn z >> 25, signed 32-bit) and its product's truncations raise
//     it by less than 5/4, so 2 is taken off: R in (R* - 2.13, R* - 0.75)
//     (0.752 to 2.119 over every bn), so at least 2^32 (R* > 2^32 + 2)
//     and below 2^33.
// The quotient estimate (an R + 2^32) >> 33 (UMULL, the high word plus an
// plus 1, halved) is then q or q - 1, q = floor((an 2^30 + floor(bn / 2)) /
// bn) (at most 2^30): an R / 2^33 + 1/2 is below an 2^30 / bn + 1/2 by
// an (R* - R) / 2^33 < 1, and an 2^30 / bn + 1/2 lies at most 1/(2 bn) above
// (an 2^30 + floor(bn / 2)) / bn, whose fraction is at most 1 - 1/bn. So the
// remainder of the estimate, in [0, 2 bn), fits 32 bits and one comparison
// puts the quotient right.
struct RecipSeedQ15 {
    uint16_t y[256];
};
constexpr RecipSeedQ15 make_recip_seed_q15() {
    RecipSeedQ15 t{};
    // Interval i: bn / 2^31 in [(256 + i) / 512, (257 + i) / 512); its
    // seed 1024 / (513 + 2 i) in Q15, rounded.
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t k = 513 + 2 * i;
        t.y[i] = static_cast<uint16_t>(((UINT32_C(1) << 26) + k) / (2 * k));
    }
    return t;
}
inline constexpr RecipSeedQ15 recip_seed_q15 = make_recip_seed_q15();

constexpr uint32_t recip_q30(uint32_t bn FX_WHERE) {
    FX_EXPECT((bn >> 30) == 1, "recip_q30");
    const uint32_t y0 = recip_seed_q15.y[(bn >> 22) & 0xff];
    // 2 y0 - y0^2 bn in Q29 (MUL, UMULL, RSB): 2^30 + 1 at most.
    const uint32_t z = (y0 << 15) - static_cast<uint32_t>((static_cast<uint64_t>(y0 * y0) * bn) >> 32);
    // 2^60 - bn z, negated and shifted down by 25 (UMULL, LSR, ORR): below
    // 2^18 in magnitude, so its low word is the value.
    const int32_t m = static_cast<int32_t>(static_cast<uint32_t>((static_cast<uint64_t>(bn) * z) >> 25));
    // 8 z + z (2^60 - bn z) / 2^57 - 2 (SMULL, RSB, SUB), less 2^32.
    const uint32_t t = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(z)) * m) >> 32);
    return (z << 3) - t - 2;
}

// udiv_round_q30 without a division, on every target.
constexpr uint32_t udiv_round_q30_recip(uint32_t a, uint32_t b FX_WHERE) {
    FX_EXPECT(b > 0 && b < (UINT32_C(1) << 31) && a <= b, "udiv_round_q30_recip");
    const int s = clz32(b) - 1;
    const uint32_t bn = b << s, an = a << s;
    const uint32_t v = recip_q30(bn);
    uint32_t q = (static_cast<uint32_t>((static_cast<uint64_t>(an) * v) >> 32) + an + 1) >> 1;
    // The remainder modulo 2^32 (MUL, RSB, ADD): exact, in [0, 2 bn).
    const uint32_t rem = (an << 30) + (bn >> 1) - q * bn;
    if (rem >= bn) ++q;
    return q;
}

// a 2^30 / b rounded (udiv_round(a << 30, b)) for 0 < b < 2^31 and a <= b:
// a 64-bit division, or on ARM udiv_round_q30_recip.
constexpr uint32_t udiv_round_q30(uint32_t a, uint32_t b FX_WHERE) {
    FX_EXPECT(b > 0 && b < (UINT32_C(1) << 31) && a <= b, "udiv_round_q30");
#if defined(__arm__)
    if (!std::is_constant_evaluated()) return udiv_round_q30_recip(a, b);
#endif
    return static_cast<uint32_t>(((static_cast<uint64_t>(a) << 30) + b / 2) / b);
}

// udiv_round_q30 for a divisor of up to 2^33 (a sum of up to eight Q30
// weights), a <= b, without a division, on every target (through
// udiv_round_recip, which needs no table: a build without SBR has no other
// use for udiv_round_q30_recip's). Both are shifted down by t until the
// divisor fits 31 bits, bt = b >> t >= 2^30 when t > 0:
// a / b = (at + x) / (bt + y) with x, y in [0, 1 - 2^-t] differs from
// at / bt by (x bt - y at) / (bt (bt + y)), at most (1 - 2^-t) / bt <= 7/8
// 2^-30 (at <= bt), so the two rounded quotients, each in
// (r - 1/2 - 2^-31, r + 1/2] of its ratio r times 2^30, differ by 1 at
// most. The remainder of the estimate (taken modulo 2^64, its true value
// in [-b, 2 b)) puts it right.
constexpr uint32_t udiv_round_q30_wide_recip(uint64_t a, uint64_t b FX_WHERE) {
    FX_EXPECT(b > 0 && b <= (UINT64_C(1) << 33) && a <= b, "udiv_round_q30_wide_recip");
    const int t = b >> 31 ? 33 - clz64(b) : 0;
    uint32_t q = udiv_round_recip((a >> t) << 30, static_cast<uint32_t>(b >> t));
    if (t == 0) return q;
    const int64_t rem = static_cast<int64_t>((a << 30) + b / 2 - static_cast<uint64_t>(q) * b);
    if (rem < 0) --q;
    else if (rem >= static_cast<int64_t>(b)) ++q;
    return q;
}

// udiv_round(a << 30, b) for 0 < b <= 2^33 and a <= b: a 64-bit division,
// or on ARM udiv_round_q30_wide_recip.
constexpr uint32_t udiv_round_q30_wide(uint64_t a, uint64_t b FX_WHERE) {
    FX_EXPECT(b > 0 && b <= (UINT64_C(1) << 33) && a <= b, "udiv_round_q30_wide");
#if defined(__arm__)
    if (!std::is_constant_evaluated()) return udiv_round_q30_wide_recip(a, b);
#endif
    return static_cast<uint32_t>(((a << 30) + b / 2) / b);
}

// The rounded signed divisions below divide |a| (magnitude64) and give the
// quotient a's sign back (with_sign_of: q at most 2^31 for a < 0, below
// 2^31 otherwise).
constexpr uint64_t magnitude64(int64_t a) { return a < 0 ? 0u - static_cast<uint64_t>(a) : static_cast<uint64_t>(a); }
constexpr int32_t with_sign_of(int64_t a, uint32_t q) {
    return a < 0 ? static_cast<int32_t>(0u - q) : static_cast<int32_t>(q);
}

// a / b rounded to the nearest integer, halves away from zero, for b > 0
// and a quotient within 32 bits: udiv_round of the magnitude (on ARM
// without a division where b fits 31 bits and the quotient 31).
constexpr int32_t div_round(int64_t a, int64_t b FX_WHERE) {
    FX_EXPECT(b > 0, "div_round");
    const uint64_t mag = magnitude64(a);
    const uint64_t q = udiv_round(mag, static_cast<uint64_t>(b));
    FX_EXPECT(q <= (a < 0 ? UINT64_C(0x80000000) : UINT64_C(0x7fffffff)), "div_round");
    return with_sign_of(a, static_cast<uint32_t>(q));
}

// A divisor 0 < b < 2^31 for several div_round_by: on ARM with its
// reciprocal (recip31), computed once.
struct Divisor31 {
    uint32_t b;
    Recip31 r;
};
constexpr Divisor31 divisor31(uint32_t b FX_WHERE) {
    FX_EXPECT(b > 0 && b < (UINT32_C(1) << 31), "divisor31");
#if defined(__arm__)
    if (!std::is_constant_evaluated()) return {b, recip31(b)};
#endif
    return {b, {0, 0}};
}
// div_round(a, d.b): the same quotient, on ARM by the shared reciprocal
// where the quotient's magnitude is below 2^31.
constexpr int32_t div_round_by(int64_t a, Divisor31 d FX_WHERE) {
#if defined(__arm__)
    if (!std::is_constant_evaluated()) {
        const uint64_t mag = magnitude64(a);
        if ((mag >> 31) < d.b) {
            const uint32_t q = udiv_round_by(mag, d.b, d.r);
            FX_EXPECT(q <= (a < 0 ? UINT32_C(0x80000000) : UINT32_C(0x7fffffff)), "div_round_by");
            return with_sign_of(a, q);
        }
    }
#endif
    return div_round(a, d.b FX_PASS_WHERE);
}

// div_round for 2 <= b < 2^16 and |a| < 2^32 by a multiplication with
// r = recip32(b), one per divisor: the quotient from the top word of
// (|a| + b / 2) r, short by three units at most, which the remainder puts
// right.
constexpr uint32_t recip32(uint32_t b FX_WHERE) {
    FX_EXPECT(b >= 2 && b < (UINT32_C(1) << 16), "recip32");
    return UINT32_C(0xffffffff) / b;
}
constexpr int32_t div_round_recip(int64_t a, uint32_t b, uint32_t r FX_WHERE) {
    FX_EXPECT(b >= 2 && b < (UINT32_C(1) << 16) && r == UINT32_C(0xffffffff) / b, "div_round_recip");
    const uint64_t mag = magnitude64(a);
    FX_EXPECT((mag >> 32) == 0, "div_round_recip");
    const uint64_t n = mag + b / 2;
    uint32_t q = static_cast<uint32_t>((n * r) >> 32);
    uint64_t rem = n - static_cast<uint64_t>(q) * b;
    while (rem >= b) {
        ++q;
        rem -= b;
    }
    return with_sign_of(a, q);
}

// A 128-bit two's complement value: the four registers of a 64 x 64-bit
// product. The wide primitives below compute exactly (modulo 2^128).
struct Wide {
    uint64_t lo;
    int64_t hi;
};

constexpr Wide wide(int64_t a) { return {static_cast<uint64_t>(a), a < 0 ? -1 : 0}; }

// Exact product of two 64-bit values from the 32-bit halves (UMULL and
// UMLAL, then a subtraction per negative factor): mul64_wide on targets
// without a 128-bit product.
constexpr Wide mul64_wide_halves(int64_t a, int64_t b) {
    const uint64_t ua = static_cast<uint64_t>(a), ub = static_cast<uint64_t>(b);
    const uint64_t m = 0xffffffffu;
    const uint64_t p00 = (ua & m) * (ub & m), p01 = (ua & m) * (ub >> 32);
    const uint64_t p10 = (ua >> 32) * (ub & m), p11 = (ua >> 32) * (ub >> 32);
    const uint64_t mid = (p00 >> 32) + (p01 & m) + (p10 & m);
    uint64_t hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
    if (a < 0) hi -= ub;
    if (b < 0) hi -= ua;
    return {(p00 & m) | (mid << 32), static_cast<int64_t>(hi)};
}

// Exact product of two 64-bit values: one 64 x 64 -> 128-bit multiply where
// the target has it (IMUL on x86-64; |a b| <= 2^126), else from the halves.
constexpr Wide mul64_wide(int64_t a, int64_t b) {
#if defined(__SIZEOF_INT128__)
    const auto p = static_cast<unsigned __int128>(static_cast<__int128>(a) * b);
    return {static_cast<uint64_t>(p), static_cast<int64_t>(static_cast<uint64_t>(p >> 64))};
#else
    return mul64_wide_halves(a, b);
#endif
}

// a + b and a - b (ADDS, ADCS, ADCS, ADC); no signed overflow.
constexpr Wide add_wide(Wide a, Wide b FX_WHERE) {
    const uint64_t lo = a.lo + b.lo;
    const uint64_t hi = static_cast<uint64_t>(a.hi) + static_cast<uint64_t>(b.hi) + (lo < a.lo ? 1u : 0u);
    FX_EXPECT((a.hi < 0) != (b.hi < 0) || (static_cast<int64_t>(hi) < 0) == (a.hi < 0), "add_wide");
    return {lo, static_cast<int64_t>(hi)};
}
constexpr Wide sub_wide(Wide a, Wide b FX_WHERE) {
    const uint64_t lo = a.lo - b.lo;
    const uint64_t hi = static_cast<uint64_t>(a.hi) - static_cast<uint64_t>(b.hi) - (a.lo < b.lo ? 1u : 0u);
    FX_EXPECT((a.hi < 0) == (b.hi < 0) || (static_cast<int64_t>(hi) < 0) == (a.hi < 0), "sub_wide");
    return {lo, static_cast<int64_t>(hi)};
}

// Arithmetic right shift by 0..127, rounding toward minus infinity.
constexpr Wide asr_wide(Wide a, int s FX_WHERE) {
    FX_EXPECT(s >= 0 && s <= 127, "asr_wide");
    if (s == 0) return a;
    if (s < 64) return {(a.lo >> s) | (static_cast<uint64_t>(a.hi) << (64 - s)), a.hi >> s};
    return {static_cast<uint64_t>(a.hi >> (s - 64)), a.hi >> 63};
}

// Bits of a's magnitude: the n for which a fits n + 1-bit two's complement
// and not n bits (0 for 0 and -1; CLZ of the pair, inverted if negative).
constexpr int bitlen_wide(Wide a) {
    const uint64_t hi = static_cast<uint64_t>(a.hi < 0 ? ~a.hi : a.hi);
    const uint64_t lo = a.hi < 0 ? ~a.lo : a.lo;
    return hi ? 128 - clz64(hi) : 64 - clz64(lo);
}

constexpr bool is_zero(Wide a) { return a.lo == 0 && a.hi == 0; }

// The low 64 bits of a value that fits them.
constexpr int64_t narrow64(Wide a FX_WHERE) {
    FX_EXPECT(a.hi == (static_cast<int64_t>(a.lo) < 0 ? -1 : 0), "narrow64");
    return static_cast<int64_t>(a.lo);
}

// An unsigned 64-bit value shifted left by s (0..63); the caller keeps the
// bits shifted out zero, which the range-checking build verifies (LSL of the
// pair).
constexpr uint64_t lsl64(uint64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 0 && s <= 63, "lsl64");
    FX_EXPECT(s == 0 || (a >> (64 - s)) == 0, "lsl64");
    return a << s;
}

// An unsigned 64-bit value shifted right by s (0..63), rounding toward zero
// (LSR of the pair).
constexpr uint64_t lsr64(uint64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 0 && s <= 63, "lsr64");
    return a >> s;
}

// Exact product of a 64-bit and a 32-bit value from the halves of the first
// (UMULL with the sign of b added, SMULL): two 32 x 32 products instead of
// four; mul64x32_wide on targets without a 128-bit product. |lo| < 2^63 and
// |hi| <= 2^62, and the sum, hi 2^32 + lo, stays within 2^95.
constexpr Wide mul64x32_wide_halves(int64_t a, int32_t b) {
    const int64_t lo = static_cast<int64_t>(static_cast<uint32_t>(static_cast<uint64_t>(a))) * b;
    const int64_t hi = static_cast<int64_t>(static_cast<int32_t>(a >> 32)) * b;
    const Wide h{static_cast<uint64_t>(hi) << 32, hi >> 32};
    return add_wide(h, wide(lo));
}
constexpr Wide mul64x32_wide(int64_t a, int32_t b) {
#if defined(__SIZEOF_INT128__)
    return mul64_wide(a, b);
#else
    return mul64x32_wide_halves(a, b);
#endif
}

// a 2^s as a 128-bit value, s 1..63 (LSL and ASR of the pair).
constexpr Wide shl_wide(int64_t a, int s FX_WHERE) {
    FX_EXPECT(s >= 1 && s <= 63, "shl_wide");
    return {static_cast<uint64_t>(a) << s, a >> (64 - s)};
}

}  // namespace fx
