// Concealment of blocks that fail to decode. The spectra of every good block
// are kept just before synthesis; a failed block is synthesised from them at
// half amplitude (-6 dB) the first time in a row and from silence after, in
// the window sequence and shape of the last good block, through the ordinary
// filter bank, so the overlap-add fades out and the next good block fades in.
#include <cstring>

#include "dec/block.h"
#include "dec/instance.h"
#include "dec/tools.h"
#include "dsp/fixed.h"

void keep_spectrum(MP4AACDEC_QUVA_Obj* obj, int c, uint8_t sequence, uint8_t shape) {
    if (obj->lastSpectrum) std::memcpy(obj->lastSpectrum + 1024 * c, obj->coef[c], kCoefBytes);
    obj->goodSequence[c] = sequence;
    obj->goodShape[c] = shape;
}

void conceal_block(MP4AACDEC_QUVA_Obj* obj) {
    const bool repeat = obj->concealRun == 0 && obj->lastSpectrum;
    if (obj->concealRun < 0xFFFF) ++obj->concealRun;
    ++obj->concealedCount;
    const int channels = obj->goodChannels;
    int16_shared* const pcm_stage = shared16(obj->coef[0]);
    if (channels == 0) {
        // Nothing decoded yet: silence.
        std::memset(pcm_stage, 0, 2 * 1024 * sizeof(int16_t));
    }
    for (int c = 0; c < channels; ++c) {
        int32_t* const coef = obj->coef[c];
        if (repeat) {
            const int32_t* const last = obj->lastSpectrum + 1024 * c;
            for (int i = 0; i < 1024; ++i) coef[i] = fx::asr(last[i], 1);
        } else {
            std::memset(coef, 0, kCoefBytes);
        }
        obj->windowShapeState[c][0] = obj->goodShape[c];
        kvxdec_aacFilterBank(obj, obj->goodSequence[c], obj->windowShapeState[c], coef, obj->overlap[c],
                             pcm_stage + 1024 * c);
    }
    write_output(obj, channels == 0 ? 2 : channels);
}
