// The kernel table: the reference kernels at load time, variants chosen once
// at start-up by the CPU's features and the mask.
#include "dsp/kernels.h"

#include <cstdlib>

#include "dsp/dequant.h"
#include "dsp/fft_variants.h"
#include "dsp/filterbank.h"

#if defined(__arm__)
#include <sys/auxv.h>
#endif

namespace {

constexpr Kernels kReference = {
    kvxdec_DequantizeGains,
#if AAC_ARITHMETIC_EXACT
    pre_twiddle_exact,
    fft_exact,
#else
    pre_twiddle_compact,
    fft_compact,
#endif
    synthesise_channel,
};

}  // namespace

Kernels kernels = kReference;

Kernels reference_kernels() { return kReference; }

uint32_t cpu_features() {
    uint32_t f = 0;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse4.1")) f |= CPU_X86_SSE41;
    if (__builtin_cpu_supports("avx2")) f |= CPU_X86_AVX2;
#elif defined(__arm__)
    // 32-bit ARM Linux: HWCAP_EDSP (bit 7) and HWCAP_NEON (bit 12).
    const unsigned long hw = getauxval(AT_HWCAP);
    if (hw & (1ul << 7)) f |= CPU_ARM_V6_DSP;
    if (hw & (1ul << 12)) f |= CPU_ARM_NEON;
#endif
    return f;
}

uint32_t select_kernels(uint32_t mask) {
    const uint32_t use = cpu_features() & mask;
    Kernels k = kReference;
    // Variants, each under the features it needs.
#if AAC_ARITHMETIC_EXACT && defined(__x86_64__)
    // The AVX2 kernels use SSE4.1 code too (the pre-twiddle's bit reversal and
    // the dequantisation's band scan).
    constexpr uint32_t kAvx2 = CPU_X86_SSE41 | CPU_X86_AVX2;
    if (use & CPU_X86_SSE41) {
        k.pre_twiddle = pre_twiddle_exact_sse41, k.fft = fft_exact_sse41;
        k.synthesis = synthesise_channel_sse41, k.dequantise = dequantise_sse41;
    }
    if ((use & kAvx2) == kAvx2) {
        k.pre_twiddle = pre_twiddle_exact_avx2, k.fft = fft_exact_avx2;
        k.synthesis = synthesise_channel_avx2, k.dequantise = dequantise_avx2;
    }
#elif AAC_ARITHMETIC_EXACT && defined(__arm__)
    if (use & CPU_ARM_NEON) {
        k.pre_twiddle = pre_twiddle_exact_neon, k.fft = fft_exact_neon;
        k.synthesis = synthesise_channel_neon, k.dequantise = dequantise_neon;
    }
#endif
    kernels = k;
    return use;
}

uint32_t cpu_mask_from_environment() {
    const char* v = std::getenv("AAC_CPU_MASK");
    if (!v || !*v) return ~0u;
    char* end = nullptr;
    const unsigned long m = std::strtoul(v, &end, 0);
    return *end ? ~0u : static_cast<uint32_t>(m);  // an unreadable value changes nothing
}
