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
constexpr int32_t add_sat(int32_t a, int32_t b) { return sat32(static_cast<int64_t>(a) + b); }

// Leading zeros of a 32-bit value; 32 for 0 (CLZ).
constexpr int clz32(uint32_t a) { return a ? __builtin_clz(a) : 32; }

}  // namespace fx
