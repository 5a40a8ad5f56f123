// Synthesis filter bank: drives the inverse transforms by window sequence,
// overlap-adds with the previous block and writes 1024 PCM samples.
//
// Time samples between the transform and the output are 16-bit at half of
// the PCM scale; the final step doubles with saturation.
#include "dsp/filterbank.h"

#include <cstring>

#include "dsp/fixed.h"
#include "dsp/imdct.h"
#include "tables/band_layout.h"

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
