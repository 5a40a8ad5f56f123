// Synthesis filter bank of the compact arithmetic: the inverse transforms
// (dsp/imdct_compact.cpp) windowed, driven by window sequence, overlap-added
// with the previous block, 1024 PCM samples out.
//
// Time samples between the transform and the output are 16-bit at half of
// the PCM scale; the final step doubles with saturation.
#include <cstring>

#include "dsp/filterbank.h"
#include "dsp/fixed.h"
#include "dsp/imdct_compact.h"
#include "dsp/kernels.h"
#include "tables/band_layout.h"
#include "tables/filterbank_tables.h"

const int16_t* const kvxdec_windowPtr[6] = {kvxdec_fhg_long,  kvxdec_dol_long,  kvxdec_fhg_short,
                                            kvxdec_dol_short, kvxdec_fhg_edler, kvxdec_dol_edler};
const int32_t kvxdec_windowLeng[3] = {1024, 128, 1024};

void misc1_aacFB(int16_shared* buf, const int16_t* win, int n) {
    for (int i = 0; i < n; ++i) buf[i] = fx::wrap16(fx::mul16_q15(buf[i], win[i]));
}

void misc2_aacFB(int16_shared* buf, const int16_t* win_last, int n) {
    for (int i = 0; i < n; ++i) buf[i] = fx::wrap16(fx::mul16_q15(buf[i], win_last[-i]));
}

void kvxdec_ITransformBlock(int32_t* coef_in, int16_shared* time_out, int16_t block_type, uint16_t* wnd_shape) {
    int kind1 = 1, kind2 = 1;  // short
    if (block_type == BLOCK_LONG) kind1 = kind2 = 0;
    if (block_type == BLOCK_START) kind1 = 0, kind2 = 2;
    if (block_type == BLOCK_STOP) kind1 = 2, kind2 = 0;
    const int len1 = kvxdec_windowLeng[kind1], len2 = kvxdec_windowLeng[kind2];
    const int n = len1 + len2;
    kernels.pre_twiddle(coef_in, n);
    kernels.fft(coef_in, n / 4);
    post_twiddle_compact(coef_in, n);
    const int shape = wnd_shape[0] & 1, prev = wnd_shape[1] & 1;
    misc1_aacFB(time_out, kvxdec_windowPtr[prev + 2 * kind1], len1);
    misc2_aacFB(time_out + len1, kvxdec_windowPtr[shape + 2 * kind2] + len2 - 1, len2);
    wnd_shape[1] = wnd_shape[0];
}

// out = sat16(2 * wrap16(a + b)): the sum wraps in 16 bits before the
// saturating doubling. Overlap-add straight to PCM.
void kvxdec_add_func_aacFB(const int16_shared* a, const int16_t* b, int16_shared* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = fx::sat16(2 * fx::wrap16(a[i] + b[i]));
}

// out = sat16(a + b), staying at half scale; out may be b.
void kvxdec_add_func2_aacFB(const int16_shared* a, const int16_t* b, int16_t* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = fx::sat16(a[i] + b[i]);
}

// out = sat16(2 * in): half scale to PCM.
void kvxdec_shift1_func_aacFB(int16_shared* out, const int16_shared* in, int n) {
    for (int i = 0; i < n; ++i) out[i] = fx::sat16(2 * in[i]);
}

void synthesise_channel(uint16_t* first_block, uint8_t window_sequence, uint16_t* wnd_shape, int32_t* coef,
                        OverlapSample* overlap, PcmOut out) {
    // The PCM is built over the block's own time samples (every step below
    // reads a sample before it writes that place), then stored to its slots.
    int16_shared* t = shared16(coef);
    int16_shared* const pcm = t;
    switch (window_sequence & 3) {
    case ONLY_LONG_SEQUENCE:
    case LONG_START_SEQUENCE:
        kvxdec_ITransformBlock(coef, t, window_sequence == ONLY_LONG_SEQUENCE ? BLOCK_LONG : BLOCK_START,
                               wnd_shape);
        kvxdec_add_func_aacFB(t, overlap, pcm, 1024);
        std::memcpy(overlap, t + 1024, 1024 * sizeof(int16_t));
        if (window_sequence == LONG_START_SEQUENCE) *first_block = 0;
        break;
    case LONG_STOP_SEQUENCE:
        kvxdec_ITransformBlock(coef, t, BLOCK_STOP, wnd_shape);
        kvxdec_add_func_aacFB(t, overlap, pcm, 576);
        kvxdec_shift1_func_aacFB(pcm + 576, t + 576, 448);  // the overlap is not used here
        std::memcpy(overlap, t + 1024, 1024 * sizeof(int16_t));
        break;
    default: {
        // After a reset, until the first LONG_START block, the short windows
        // sit 64 samples later than the centred placement.
        const int o = *first_block ? 512 : 448;
        for (int w = 0; w < 8; ++w) {
            int16_shared* s = shared16(coef + 128 * w);
            kvxdec_ITransformBlock(coef + 128 * w, s, BLOCK_SHORT, wnd_shape);
            int16_t* ov = overlap + o + 128 * w;
            kvxdec_add_func2_aacFB(s, ov, ov, 128);
            std::memcpy(ov + 128, s + 128, 128 * sizeof(int16_t));
        }
        kvxdec_shift1_func_aacFB(pcm, overlap, 1024);
        std::memmove(overlap, overlap + 1024, 1024 * sizeof(int16_t));
        break;
    }
    }
    for (int k = 0; k < 1024; ++k) put_pcm(out, k, pcm[k]);
}
