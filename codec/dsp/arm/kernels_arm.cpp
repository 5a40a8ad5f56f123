// The 32-bit ARM variants of the exact arithmetic and the features each
// needs; select_kernels (dsp/kernels.cpp) calls this on ARM. This file is
// built for the baseline: it only takes the variants' addresses.
#include "dsp/dequant.h"
#include "dsp/fft_variants.h"
#include "dsp/hf_filter.h"
#include "dsp/kernels.h"
#include "dsp/mix_rows.h"
#include "dsp/ps_kernels.h"
#include "dsp/qmf_variants.h"
#include "dsp/sbr_adjust.h"
#include "dsp/tools.h"
#include "sbr/built.h"

void override_kernels_arm(Kernels& k, uint32_t use) {
    if (use & CPU_ARM_NEON) {
        k.pre_twiddle = pre_twiddle_exact_neon, k.fft = fft_exact_neon;
        k.synthesis = synthesise_channel_neon, k.dequantise = dequantise_neon;
        k.synthesis_mix = synthesise_channel_mix_neon;
        k.noise_lines = noise_lines_neon, k.mid_side = mid_side_lines_neon;
        k.tns_filter = tns_ar_q24_neon;
        if constexpr (kSbrBuilt) {
            k.qmf_analysis32 = qmf_analysis32_neon, k.qmf_synthesis64 = qmf_synthesis64_neon;
            k.qmf_synthesis32 = qmf_synthesis32_neon, k.sbr_hf_filter = sbr_hf_filter_neon;
            k.sbr_hf_covariances = sbr_hf_covariances_neon, k.ps_hybrid = ps_hybrid_analysis_neon;
            k.sbr_hf_magnitudes = sbr_hf_magnitudes_neon;
            k.sbr_scale = sbr_hf_scale_neon;
            k.ps_allpass = ps_allpass_bands_neon, k.ps_mix = ps_mix_bands_neon;
            k.ps_step = ps_step_matrices_neon, k.ps_transient = ps_transient_gains_neon;
            k.ps_energies = ps_band_energies_neon;
            k.sbr_energies = sbr_energies_neon, k.sbr_log2 = sbr_log2_neon, k.sbr_exp2 = sbr_exp2_neon;
            k.sbr_add_terms = sbr_add_terms_neon;
            k.sbr_apply = sbr_apply_neon, k.sbr_pcm16 = qmf_pcm16_neon, k.mix_rows = mix_rows_q30_neon;
        }
    }
}
