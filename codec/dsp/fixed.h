// Fixed-point primitives. Every shift, saturation and wrap of the DSP code
// goes through these; each states its contract and the ARM instruction it
// corresponds to. Modular arithmetic goes through uint32_t, never through
// signed overflow.
#pragma once

#include <cstdint>

namespace fx {

// High half of a 32 x 16 product: bits 16..47 of a*b, rounding toward minus
// infinity (SMULWB).
constexpr int32_t mul32x16_hi(int32_t a, int16_t b) {
    return static_cast<int32_t>((static_cast<int64_t>(a) * b) >> 16);
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
constexpr int32_t shl_wrap(int32_t a, int s) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) << s);
}

// Arithmetic right shift by 0..31 (ASR): rounds toward minus infinity.
constexpr int32_t asr(int32_t a, int s) { return a >> s; }

// Low 16 bits as a signed value (modular narrowing).
constexpr int16_t wrap16(int32_t a) { return static_cast<int16_t>(static_cast<uint16_t>(a)); }

// Saturation to the signed 16-bit range (SSAT #16).
constexpr int16_t sat16(int32_t a) {
    return static_cast<int16_t>(a > 32767 ? 32767 : (a < -32768 ? -32768 : a));
}

// Saturation of a wide value to the signed 32-bit range (the result of QADD).
constexpr int32_t sat32(int64_t a) {
    return static_cast<int32_t>(a > INT32_MAX ? INT32_MAX : (a < INT32_MIN ? INT32_MIN : a));
}
constexpr int32_t add_sat(int32_t a, int32_t b) {
    int32_t r;
    return __builtin_add_overflow(a, b, &r) ? (a < 0 ? INT32_MIN : INT32_MAX) : r;
}

// Rounded Q31 product: (a * b + 2^30) >> 31 of the 64-bit product (SMULL,
// then a rounding shift of the pair: ADDS, ADC, LSR, ORR). Fits 32 bits
// unless a = b = INT32_MIN.
constexpr int32_t mul_q31(int32_t a, int32_t b) {
    return static_cast<int32_t>((static_cast<int64_t>(a) * b + (INT64_C(1) << 30)) >> 31);
}

// 64-bit multiply-accumulate modulo 2^64 (SMLAL).
constexpr int64_t mac64(int64_t acc, int32_t a, int32_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(acc) + static_cast<uint64_t>(static_cast<int64_t>(a) * b));
}

// A 64-bit value shifted right by s (1..62), rounding half up, saturated to
// 32 bits (ADDS, ADC, LSR, ORR, then SSAT-like clamping of the pair).
constexpr int32_t rshr64_sat(int64_t a, int s) {
    return sat32(static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s);
}

// A 64-bit value shifted right by s (1..62), rounding half up, reduced
// modulo 2^32 (ADDS, ADC, LSR, ORR).
constexpr int32_t rshr64(int64_t a, int s) {
    return static_cast<int32_t>(static_cast<int64_t>(static_cast<uint64_t>(a) + (UINT64_C(1) << (s - 1))) >> s);
}

// a / 2^s rounded half up, s = 1..31, without overflow (ASR, then ADD of
// the last bit shifted out).
constexpr int32_t rshr(int32_t a, int s) { return (a >> s) + ((a >> (s - 1)) & 1); }

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

// Leading zeros of a 32-bit value; 32 for 0 (CLZ).
constexpr int clz32(uint32_t a) { return a ? __builtin_clz(a) : 32; }

}  // namespace fx
