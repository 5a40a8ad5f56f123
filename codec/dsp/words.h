// Fills and copies of the decoder's word-aligned buffers (a spectrum, its
// quantised values, the zero bands of a dequantised window, the runs of a
// subband row), the one way the codec fills and copies them. On 32-bit
// ARM with hardware floating point (armhf) eight D registers move 64 bytes
// a VLDM/VSTM, without a call into the C library, whose routines spend
// several times the instructions on such sizes; elsewhere memcpy and memset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace words {

#if defined(__arm__) && defined(__ARM_PCS_VFP)

// `bytes` (a multiple of 16) at p set to zero.
__attribute__((noinline)) inline void zero(void* p, size_t bytes) {
    char* d = static_cast<char*>(p);
    int n = static_cast<int>(bytes);
    __asm__ volatile(
        "vmov d0, %[z], %[z]\n\t"
        "vmov d1, %[z], %[z]\n\t"
        "subs %[n], %[n], #64\n\t"
        "blt 2f\n\t"
        "vmov d2, %[z], %[z]\n\t"
        "vmov d3, %[z], %[z]\n\t"
        "vmov d4, %[z], %[z]\n\t"
        "vmov d5, %[z], %[z]\n\t"
        "vmov d6, %[z], %[z]\n\t"
        "vmov d7, %[z], %[z]\n\t"
        "1:\n\t"
        "vstmia %[d]!, {d0-d7}\n\t"
        "subs %[n], %[n], #64\n\t"
        "bge 1b\n\t"
        "2:\n\t"
        "adds %[n], %[n], #64\n\t"
        "beq 4f\n\t"
        "3:\n\t"
        "vstmia %[d]!, {d0-d1}\n\t"
        "subs %[n], %[n], #16\n\t"
        "bne 3b\n\t"
        "4:\n\t"
        : [d] "+r"(d), [n] "+r"(n)
        : [z] "r"(0)
        : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "cc", "memory");
}

// `bytes` (a multiple of 16) from src to dst, which do not overlap.
__attribute__((noinline)) inline void copy(void* dst, const void* src, size_t bytes) {
    char* d = static_cast<char*>(dst);
    const char* s = static_cast<const char*>(src);
    int n = static_cast<int>(bytes);
    __asm__ volatile(
        "subs %[n], %[n], #64\n\t"
        "blt 2f\n\t"
        "1:\n\t"
        "vldmia %[s]!, {d0-d7}\n\t"
        "vstmia %[d]!, {d0-d7}\n\t"
        "subs %[n], %[n], #64\n\t"
        "bge 1b\n\t"
        "2:\n\t"
        "adds %[n], %[n], #64\n\t"
        "beq 4f\n\t"
        "3:\n\t"
        "vldmia %[s]!, {d0-d1}\n\t"
        "vstmia %[d]!, {d0-d1}\n\t"
        "subs %[n], %[n], #16\n\t"
        "bne 3b\n\t"
        "4:\n\t"
        : [d] "+r"(d), [s] "+r"(s), [n] "+r"(n)
        :
        : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "cc", "memory");
}

#else

// (Always inline: the C library's fill and copy, or the compiler's own code
// for a size it knows. One out-of-line copy, which -Os made of zero once it
// had five callers in the downmix, takes the size as unknown and fills a
// byte an instruction: 65 k instructions a frame of 5.1 HE-AAC.)
__attribute__((always_inline)) inline void zero(void* p, size_t bytes) { std::memset(p, 0, bytes); }
__attribute__((always_inline)) inline void copy(void* dst, const void* src, size_t bytes) {
    std::memcpy(dst, src, bytes);
}

#endif

// Runs of n words (n of any sign; none when n <= 0), such as a band or the
// part of a subband row above a boundary. On armhf the whole blocks of four
// go through zero()/copy() and the last one to three words one by one
// (first: the call is then the last thing done, often a tail call): no
// C library call for the short runs of a band or a slot. Elsewhere the C
// library's own fill and copy, which the compiler inlines where it pays.
inline void zero_words(int32_t* p, int n) {
    if (n <= 0) return;
#if defined(__arm__) && defined(__ARM_PCS_VFP)
    const int tail = n & 3, whole = n - tail;
    if (tail) {
        p[whole] = 0;
        if (whole + 1 < n) p[whole + 1] = 0;
        if (whole + 2 < n) p[whole + 2] = 0;
        if (whole == 0) return;
    }
    zero(p, static_cast<size_t>(whole) * sizeof(int32_t));
#else
    std::memset(p, 0, static_cast<size_t>(n) * sizeof(int32_t));
#endif
}

// n words (as zero_words) from src to dst, which do not overlap.
inline void copy_words(int32_t* dst, const int32_t* src, int n) {
    if (n <= 0) return;
#if defined(__arm__) && defined(__ARM_PCS_VFP)
    const int tail = n & 3, whole = n - tail;
    if (tail) {
        dst[whole] = src[whole];
        if (whole + 1 < n) dst[whole + 1] = src[whole + 1];
        if (whole + 2 < n) dst[whole + 2] = src[whole + 2];
        if (whole == 0) return;
    }
    copy(dst, src, static_cast<size_t>(whole) * sizeof(int32_t));
#else
    std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(int32_t));
#endif
}

}  // namespace words
