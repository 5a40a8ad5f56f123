// Concealment of blocks that fail to decode. The spectra of every good block
// are kept just before synthesis; a failed block is synthesised from them at
// half amplitude (-6 dB) the first time in a row and from silence after, in
// the window sequence and shape of the last good block, through the ordinary
// filter bank, so the overlap-add fades out and the next good block fades in.
// A stream played as a stereo downmix keeps no spectra: a failed block puts
// out the sums as they stand, the last block's tail plus whatever the failed
// block added before it failed, which fades out over the next blocks.
// A block that failed after a coupling channel element took the buffer of
// the last good spectra (kvxdec_skip_cce) conceals with silence.
// In a stream that plays SBR the high band is rebuilt from the last good SBR
// frame, 3 dB down per block (sbr/sbr_decoder.h).
#include <cstring>

#include "dec/block.h"
#include "dec/core_scale.h"
#include "dec/downmix.h"
#include "dec/instance.h"
#include "dec/tools.h"
#include "dsp/fixed.h"
#include "dsp/words.h"

void keep_spectrum(MP4AACDEC_QUVA_Obj* obj, int c, uint8_t sequence, uint8_t shape) {
    if (obj->lastSpectrum) words::copy(obj->lastSpectrum + 1024 * c, obj->coef[c], kCoefBytes);
    obj->goodSequence[c] = sequence;
    obj->goodShape[c] = shape;
}

void conceal_block(MP4AACDEC_QUVA_Obj* obj) {
    const bool repeat = obj->concealRun == 0 && obj->lastSpectrum && !obj->mcInfo.kept_spoiled;
    if (obj->concealRun < 0xFFFF) ++obj->concealRun;
    ++obj->concealedCount;
    if (obj->mcInfo.mix_last) {
        // A mixed stream: its sums go on (the last tail, faded by its window).
        obj->numSamples = kSamplesPerBlock;
        downmix_conceal(obj);
        return;
    }
    const int channels = obj->goodChannels;
    const bool sbr = sbr_playing(obj);
    // (Before the first block, at the rate the configuration says.)
    const bool doubled = sbr ? !sbr_downsampled(obj->ctx->sbr) : kSbrBuilt && sbr_signalled_full(obj->ctx->sbr);
    const int per_block = doubled ? 2 * kSamplesPerBlock : kSamplesPerBlock;
    obj->numSamples = static_cast<uint16_t>(per_block);
    if (channels == 0 && obj->outputBuffer) {
        // Nothing decoded yet: silence.
        std::memset(obj->outputBuffer, 0, static_cast<size_t>(per_block) * (obj->wideOutput ? sizeof(int32_t) : sizeof(int16_t)));
    }
    // The high band goes on from the last good SBR frame, fading.
    if constexpr (kSbrBuilt)
        if (sbr && channels > 0) sbr_conceal_block(obj->ctx->sbr, channels);
    // (A pair's block: channel 1's overlap buffer is the core's, never
    // parametric stereo's.)
    if constexpr (kSbrBuilt)
        if (channels == 2 && obj->ctx->sbr) sbr_take_second_channel(obj->ctx->sbr);
    int16_t drop = 0;
    for (int c = 0; c < channels; ++c) {
        int32_t* const coef = obj->coef[c];
        if (repeat) {
            // (At its value: the spectrum was kept at its block's scale.)
            const int32_t* const last = obj->lastSpectrum + 1024 * c;
            const int shift = 1 + core_scale_kept(obj, c);
            for (int i = 0; i < 1024; ++i) coef[i] = fx::asr(last[i], shift);
        } else {
            words::zero(coef, kCoefBytes);
        }
        obj->windowShapeState[c][0] = obj->goodShape[c];
        core_filter_bank(obj, c, obj->goodSequence[c], obj->windowShapeState[c], pcm_out(obj, c, channels == 2, &drop),
                         false);
    }
    // (Every channel's time samples first: SBR borrows channel 1's spectrum.)
    for (int c = 0; c < channels; ++c) sbr_out(obj, c, channels == 2);
}
