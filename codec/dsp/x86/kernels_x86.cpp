// The x86 variants of the exact arithmetic and the features each needs;
// select_kernels (dsp/kernels.cpp) calls this on x86-64.
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

void override_kernels_x86(Kernels& k, uint32_t use) {
    if (use & CPU_X86_SSE41) {
        k.pre_twiddle = pre_twiddle_exact_sse41, k.fft = fft_exact_sse41;
        k.synthesis = synthesise_channel_sse41, k.dequantise = dequantise_sse41;
        k.synthesis_mix = synthesise_channel_mix_sse41;
        k.noise_lines = noise_lines_sse41, k.mid_side = mid_side_lines_sse41;
        k.tns_filter = tns_ar_q24_sse41;
        if constexpr (kSbrBuilt) {
            k.qmf_analysis32 = qmf_analysis32_sse41, k.qmf_synthesis64 = qmf_synthesis64_sse41;
            k.qmf_synthesis32 = qmf_synthesis32_sse41, k.sbr_hf_filter = sbr_hf_filter_sse41;
            k.sbr_hf_covariances = sbr_hf_covariances_sse41;
            k.sbr_hf_magnitudes = sbr_hf_magnitudes_sse41;
            k.sbr_scale = sbr_hf_scale_sse41;
            k.ps_hybrid = ps_hybrid_analysis_sse41, k.ps_allpass = ps_allpass_bands_sse41;
            k.ps_mix = ps_mix_bands_sse41, k.ps_energies = ps_band_energies_sse41;
            k.sbr_energies = sbr_energies_sse41, k.sbr_log2 = sbr_log2_sse41;
            k.sbr_pcm16 = qmf_pcm16_sse41;
        }
    }
    // The AVX2 kernels use SSE4.1 code too (the dequantisation's band
    // scan, mid/side's last four lines, the PS energies' last bands and
    // all-pass runs below eight bands, the SBR covariances' runs below
    // eight subbands, the adjuster's energies of four to seven subbands).
    // The SBR filter, covariances and block exponents' magnitudes take
    // eight subbands a row, the scaling of runs of words eight words (the
    // filter's, the magnitudes' and the runs' last ones by masked loads and
    // stores; columns are scaled by the SSE4.1 code). The PS hybrid analysis takes four taps a
    // register. Noise bands
    // draw eight lines at a time, mid/side takes eight. TNS keeps eight of its
    // outputs in one register. The adjuster's gains
    // shift each subband by its own count (VPSRLVQ) and its exponentials
    // gather from a table (VPGATHERDD): AVX2 alone; its logarithms take eight
    // values at a time.
    constexpr uint32_t kAvx2 = CPU_X86_SSE41 | CPU_X86_AVX2;
    if ((use & kAvx2) == kAvx2) {
        k.pre_twiddle = pre_twiddle_exact_avx2, k.fft = fft_exact_avx2;
        k.synthesis = synthesise_channel_avx2, k.dequantise = dequantise_avx2;
        k.synthesis_mix = synthesise_channel_mix_avx2, k.noise_lines = noise_lines_avx2;
        k.mid_side = mid_side_lines_avx2, k.tns_filter = tns_ar_q24_avx2;
        if constexpr (kSbrBuilt) {
            k.qmf_analysis32 = qmf_analysis32_avx2, k.qmf_synthesis64 = qmf_synthesis64_avx2;
            k.qmf_synthesis32 = qmf_synthesis32_avx2;
            k.ps_hybrid = ps_hybrid_analysis_avx2;
            k.ps_allpass = ps_allpass_bands_avx2, k.ps_mix = ps_mix_bands_avx2;
            k.ps_energies = ps_band_energies_avx2;
            k.sbr_energies = sbr_energies_avx2, k.sbr_log2 = sbr_log2_avx2;
            k.sbr_exp2 = sbr_exp2_avx2, k.sbr_apply = sbr_apply_avx2;
            k.sbr_hf_filter = sbr_hf_filter_avx2, k.sbr_hf_covariances = sbr_hf_covariances_avx2;
            k.sbr_scale = sbr_hf_scale_avx2;
            k.sbr_hf_magnitudes = sbr_hf_magnitudes_avx2;
            k.sbr_pcm16 = qmf_pcm16_avx2, k.ps_transient = ps_transient_gains_avx2;
            k.ps_step = ps_step_matrices_avx2, k.mix_rows = mix_rows_q30_avx2;
        }
    }
}
