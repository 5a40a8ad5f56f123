// The kernel table: the reference kernels at load time, variants chosen once
// at start-up by the CPU's features and the mask. Which variant goes in for
// which features is decided beside the variants (dsp/x86/kernels_x86.cpp,
// dsp/arm/kernels_arm.cpp).
#include "dsp/kernels.h"

#include <atomic>
#include <cstdlib>

#include "dsp/dequant.h"
#include "dsp/filterbank.h"
#include "dsp/hf_filter.h"
#include "dsp/mix_rows.h"
#include "dsp/ps_kernels.h"
#include "dsp/qmf.h"
#include "dsp/tools.h"
#include "dsp/sbr_adjust.h"

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
#if AAC_ARITHMETIC_EXACT
    synthesise_channel_mix,
#else
    nullptr,
#endif
    mid_side_lines,
#if AAC_ARITHMETIC_EXACT
    noise_lines_exact,
#else
    nullptr,
#endif
    // SBR and PS: null in a build without them (sbr/built.h).
#if AAC_SBR_BUILT
    qmf_analysis32_c,
    qmf_synthesis64_c,
    qmf_synthesis32_c,
    sbr_hf_filter_c,
    sbr_hf_covariances_c,
    sbr_hf_magnitudes_c,
    sbr_hf_scale_c,
    sbr_energies_c,
    sbr_log2_c,
    sbr_exp2_c,
    sbr_add_terms_c,
    sbr_apply_c,
    ps_hybrid_analysis,
    ps_allpass_bands,
    ps_mix_bands,
    ps_step_matrices,
    ps_transient_gains,
    ps_band_energies,
#else
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
#endif
#if AAC_ARITHMETIC_EXACT
    tns_ar_q24,
#else
    nullptr,
#endif
#if AAC_SBR_BUILT
    qmf_pcm16,
    mix_rows_q30,
#else
    nullptr,
    nullptr,
#endif
};

// Set by the first select_kernels: from then on the table is chosen.
std::atomic<bool> kernels_chosen{false};

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
    // The build defines which architecture's variants it holds (codec/CMakeLists.txt).
#if defined(AAC_KERNELS_X86)
    override_kernels_x86(k, use);
#elif defined(AAC_KERNELS_ARM)
    override_kernels_arm(k, use);
#endif
    kernels = k;
    kernels_chosen.store(true, std::memory_order_release);
    return use;
}

uint32_t cpu_mask_from_environment() {
    const char* v = std::getenv("AAC_CPU_MASK");
    if (!v || !*v) return ~0u;
    char* end = nullptr;
    const unsigned long m = std::strtoul(v, &end, 0);
    return *end ? ~0u : static_cast<uint32_t>(m);  // an unreadable value changes nothing
}

void kernels_select_once() {
    // A function-local static is initialised exactly once, and every other
    // caller waits until that is done.
    static const bool chosen = [] {
        if (!kernels_chosen.load(std::memory_order_acquire)) select_kernels(cpu_mask_from_environment());
        return true;
    }();
    (void)chosen;
}
