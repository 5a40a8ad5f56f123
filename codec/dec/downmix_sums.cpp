// The downmix's loops over samples (dec/downmix_sums.h).
#include "dec/downmix_sums.h"

#include "dec/instance.h"
#include "dsp/filterbank.h"
#include "dsp/fixed.h"
#include "dsp/words.h"

#if AAC_ARITHMETIC_EXACT

void downmix_put_sums(MP4AACDEC_QUVA_Obj* dec) {
    int32_t* const head0 = dec->overlap[0];
    int32_t* const head1 = dec->overlap[1];
    int32_t* const tail = dec->lastSpectrum;
    if (dec->outputBuffer && dec->wideOutput) {
        int32_t* out = reinterpret_cast<int32_t*>(dec->outputBuffer);
        for (int k = 0; k < 1024; ++k) {
            out[2 * k] = q12_to_pcm32(head0[k]);
            out[2 * k + 1] = q12_to_pcm32(head1[k]);
        }
    } else if (dec->outputBuffer) {
        int16_t* out = dec->outputBuffer;
        for (int k = 0; k < 1024; ++k) {
            out[2 * k] = q12_to_pcm16(head0[k]);
            out[2 * k + 1] = q12_to_pcm16(head1[k]);
        }
    }
    words::copy(head0, tail, 1024 * sizeof(int32_t));
    words::copy(head1, tail + 1024, 1024 * sizeof(int32_t));
    words::zero(tail, 2048 * sizeof(int32_t));
    dec->numSamples = kSamplesPerBlock;
}

#endif
