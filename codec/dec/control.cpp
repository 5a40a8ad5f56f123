// Decoder instance: carving of the memory records, reset, control commands
// and the sample handoff.
#include <cstring>

#include "dec/bands.h"
#include "dec/huffman.h"
#include "dec/downmix.h"
#include "dec/instance.h"
#include "dec/syntax.h"
#include "dec/tools.h"
#include "dsp/kernels.h"

static void kvxdec_global_init(MP4AACDEC_QUVA_Obj* obj);

namespace {

// Hands out consecutive per-channel buffers from one memory record.
class Carver {
public:
    explicit Carver(void* base) : next_(static_cast<uint8_t*>(base)) {}
    template <typename T>
    T* take(size_t bytes) {
        T* p = reinterpret_cast<T*>(next_);
        next_ += bytes;
        return p;
    }
private:
    uint8_t* next_;
};

}  // namespace

void fifo_reset(MP4AACDEC_QUVA_Obj* obj) {
    DecFifo& f = obj->fifo;
    f.buffer = f.read_ptr = f.write_ptr = obj->fifoBuffer;
    f.size = obj->fifoWords;
    f.cache = 0;
    f.bits_left = 0;
    f.words_read = 0;
    f.status = DECFIFO_OK;
}

int aacdecode_init(MP4AACDEC_QUVA_Obj* obj, void* record1, void* record2, void* record3,
                   void* record4, void* record5, uint32_t fifo_bytes, const IMP4AACDEC_Params* params) {
    // The kernel table is chosen once per process, at the first start.
    kernels_select_once();
    // Every per-channel buffer exists twice, channel 0 then channel 1.
    Carver side(record1);
    for (auto& p : obj->msMask) p = side.take<uint8_t>(kMsMaskBytes);
    for (auto& p : obj->chanAux) p = side.take<int32_t>(kChanAuxBytes);
    for (auto& p : obj->tnsData) p = side.take<TnsInfo>(kTnsDataBytes);
    Carver persist(record2);
    for (auto& p : obj->overlap) p = persist.take<OverlapSample>(kOverlapBytes);
    obj->ctx = persist.take<DecoderContext>(kContextBytes);
    Carver bands(record3);
    for (auto& p : obj->windowGroups) p = bands.take<uint8_t>(kWindowGroupsBytes);
    for (auto& p : obj->sectCodebook) p = bands.take<uint8_t>(kSectCodebookBytes);
    for (auto& p : obj->scaleFactors) p = bands.take<int16_t>(kScaleFactorsBytes);
    Carver spectra(record4);
    for (auto& p : obj->coef) p = spectra.take<int32_t>(kCoefBytes);

    obj->fifoBuffer = static_cast<uint16_t*>(record5);
    const uint32_t fifo_words = fifo_bytes / 2u;
    obj->fifoWords = static_cast<uint16_t>(fifo_words < kFifoWords       ? kFifoWords
                                           : fifo_words > kLongFifoWords ? kLongFifoWords
                                                                         : fifo_words);
    obj->pceCount = 0;
    obj->state = STATE_SEARCH;
    obj->lastError = KVXD_ERR_NONE;
    obj->rawStream = 0;
    obj->fifo.get_bits_callback = nullptr;
    obj->concealOff = 0;
    obj->frameMode = params->frameMode;
    obj->defaultBitsNeeded = obj->frameMode ? kDefaultBitsNeededFrame : kDefaultBitsNeededStream;
    obj->bitsNeeded = obj->defaultBitsNeeded;
    aacdecode_flush(obj);
    return 1;
}

SbrLent kvxdec_sbr_lent(const MP4AACDEC_QUVA_Obj* obj) {
    // The first buffers carved from the side information and band records
    // are at their starts; channel 1's spectrum never moves but for the
    // span of a coupling element's parse; channel 1's overlap buffer never
    // moves.
    return {reinterpret_cast<SbrLentFrame*>(obj->windowGroups[0]), reinterpret_cast<SbrLentLevels*>(obj->msMask[0]),
            reinterpret_cast<SbrLentLow*>(obj->coef[1]), reinterpret_cast<SbrLentOverlap*>(obj->overlap[1])};
}

// The FIFO emptied and the frame loop back to searching (what a flush and
// a new search share). The saved read context points at the empty FIFO
// until the first save, so a restore can never leave the buffer.
static void restart_search(MP4AACDEC_QUVA_Obj* obj) {
    fifo_reset(obj);
    obj->savedFifo = obj->fifo;
    obj->savedFifo.buffer = nullptr;
    obj->state = STATE_SEARCH;
    obj->nearHeader = 0;
    obj->unconfirmed = 0;
    obj->concealPending = 0;
    obj->blockOffset = 0;
    obj->headerPending = 0;
    obj->blockCount = 0;
}

// Back to the search state. Keeps frameMode, rawStream, bitsNeeded, lastError,
// the output buffer, the get-bits callback and the concealment setting.
// Everything else a stream can leave behind is reset, the process-wide
// variables included (the program tag, the noise generator), so every stream
// decodes the same whatever came before it.
void aacdecode_flush(MP4AACDEC_QUVA_Obj* obj) {
    restart_search(obj);
    obj->errorCount = 0;
    for (int ch = 0; ch < 2; ++ch) {
        std::memset(obj->coef[ch], 0, kCoefBytes);
        std::memset(obj->overlap[ch], 0, kOverlapBytes);
        std::memset(obj->scaleFactors[ch], 0, kScaleFactorsBytes);
        std::memset(obj->sectCodebook[ch], 0, kSectCodebookBytes);
        std::memset(obj->windowGroups[ch], 0, kWindowGroupsBytes);
        std::memset(obj->chanAux[ch], 0, kChanAuxBytes);
        std::memset(obj->tnsData[ch], 0, kTnsDataBytes);
        std::memset(obj->msMask[ch], 0, kMsMaskBytes);
        obj->windowShapeState[ch][0] = 0;
        obj->windowShapeState[ch][1] = 0;
        obj->goodSequence[ch] = 0;
        obj->goodShape[ch] = 0;
    }
    if (obj->lastSpectrum) std::memset(obj->lastSpectrum, 0, kLastSpectrumBytes);
    obj->goodChannels = 0;
    obj->concealRun = 0;
    obj->concealedCount = 0;
    obj->pceCount = 0;
    std::memset(&obj->adts, 0, sizeof obj->adts);
    std::memset(&obj->adif, 0, sizeof obj->adif);
    std::memset(&obj->progConfig, 0, sizeof obj->progConfig);
    reset_process_state(obj);
    kvxdec_global_init(obj);
    kvxdec_aacFilterBankInit(obj);
}

void reset_process_state(MP4AACDEC_QUVA_Obj* obj) {
    SbrDecoder* const sbr = obj->ctx->sbr;
    const uint8_t downmix = obj->ctx->downmix;
    SbrMixRecord* const sbr_mix = obj->ctx->sbrMix;
    std::memset(obj->ctx, 0, sizeof *obj->ctx);
    obj->ctx->downmix = downmix;
    obj->ctx->currentProgram = -1;
    obj->ctx->sbr = sbr;
    obj->ctx->sbrMix = sbr_mix;
    reset_sbr(obj);
}

void reset_sbr(MP4AACDEC_QUVA_Obj* obj) {
    if constexpr (kSbrBuilt)
        if (obj->ctx->sbr) sbr_reset(obj->ctx->sbr);
    downmix_sbr_reset(obj);
}

static void kvxdec_global_init(MP4AACDEC_QUVA_Obj* obj) {
    std::memset(&obj->mcInfo, 0, sizeof obj->mcInfo);
    obj->mcInfo.sampling_rate_idx = 4;  // 44100 Hz until told otherwise
    obj->mcInfo.profile = 0;
    kvxdec_huffbookinit(obj);
}

// Empties the FIFO and removes the get-bits callback.
void aacdecode_search_again(MP4AACDEC_QUVA_Obj* obj) {
    restart_search(obj);
    obj->ctx->steppingOver = 0;
    obj->bitsNeeded = obj->defaultBitsNeeded;
    obj->ctx->uncountedBlock = 0;
}

void aacdecode_flushFifo(MP4AACDEC_QUVA_Obj* obj) {
    fifo_reset(obj);
    obj->fifo.get_bits_callback = nullptr;
}

void kvxdec_context_save(MP4AACDEC_QUVA_Obj* obj) {
    if (obj->frameMode) return;
    obj->savedPceCount = obj->pceCount;
    obj->savedHeaderPending = obj->headerPending;
    obj->savedBlockCount = obj->blockCount;
    kvxdec_decfifo_ContextSave(&obj->fifo, &obj->savedFifo);
}

void kvxdec_context_restore(MP4AACDEC_QUVA_Obj* obj) {
    if (obj->frameMode) return;
    obj->pceCount = obj->savedPceCount;
    obj->headerPending = obj->savedHeaderPending;
    obj->blockCount = obj->savedBlockCount;
    kvxdec_decfifo_ContextRestore(&obj->fifo, &obj->savedFifo);
}

int aacdecode_control(MP4AACDEC_QUVA_Obj* obj, int16_t cmd, KVXD_Status* status) {
    MC_Info& mi = obj->mcInfo;
    switch (cmd) {
    case KVXD_GETSTATUS: {
        status->numChannels = static_cast<uint16_t>(mi.num_channels);
        status->sceCount = static_cast<uint16_t>(mi.num_front_sce);
        status->channelConfiguration = static_cast<uint16_t>(obj->adts.channel_configuration);
        status->errorCount = obj->errorCount;
        status->profile = static_cast<uint16_t>(obj->state == STATE_ADIF ? obj->progConfig.profile
                                                                          : obj->adts.profile);
        status->bitsNeeded = static_cast<uint16_t>(obj->bitsNeeded);
        status->size = sizeof(KVXD_Status);
        status->lastError = obj->lastError;
        // The index always lies in 0..15 (the control call and the headers
        // store at most 4 bits of it).
        const uint32_t rate =
            static_cast<uint32_t>(samp_rate_kvxdec_info[mi.sampling_rate_idx & 15].sampling_rate);
        // A stream that plays SBR comes out at twice its core rate (at the
        // core rate when downsampled).
        const SbrDecoder* sbr = obj->ctx->sbr;
        status->sampleRate = sbr && sbr->active && !sbr->downsampled ? 2 * rate : rate;
        // A mono core that comes out in two channels (parametric stereo).
        if constexpr (kSbrBuilt)
            if (sbr_stereo_from_mono(sbr)) status->numChannels = 2;
        // bytes * 8 * rate / 1024 samples, in wrapping 32-bit arithmetic.
        status->bitRate = rate * static_cast<uint32_t>(static_cast<uint16_t>(obj->adts.aac_frame_length)) / 128u;
        status->concealedCount = obj->concealedCount;
        return 0;
    }
    case KVXD_SETPARAMS:
        mi.num_channels = static_cast<int16_t>(status->numChannels);
        // Raw blocks of 3 to 8 channels: the channel configuration of that
        // many (8: configuration 7).
        mi.mix_config = static_cast<uint8_t>(status->numChannels >= 3 && status->numChannels <= 6 ? status->numChannels
                                             : status->numChannels == 8 ? 7 : 0);
        // Indices above 15 are taken modulo 16 so the table look-up stays in bounds.
        mi.sampling_rate_idx = static_cast<int32_t>(status->sampleRateIndex & 15);
        obj->rawStream = status->rawStream;
        kvxdec_infoinit(obj, &samp_rate_kvxdec_info[mi.sampling_rate_idx]);
        return 0;
    case KVXD_RESETERRORS:
        obj->errorCount = 0;
        obj->lastError = KVXD_ERR_NONE;
        obj->concealedCount = 0;
        return 0;
    case KVXD_CONCEAL_OFF:
    case KVXD_CONCEAL_ON:
        obj->concealOff = cmd == KVXD_CONCEAL_OFF ? 1 : 0;
        return 0;
    case KVXD_SETBITSNEEDED:
        obj->bitsNeeded = status->bitsNeeded;
        return 0;
    default:
        return -1;
    }
}

void aacdecode_setOutputBuffer(MP4AACDEC_QUVA_Obj* obj, int16_t* buffer) {
    obj->outputBuffer = buffer;
}

// In frame mode a fetch drops the get-bits callback. The FIFO keeps what it
// holds: a call without input goes on with the next block of the frame.
int16_t* aacdecode_getSamples(MP4AACDEC_QUVA_Obj* obj, uint16_t* count) {
    if (obj->frameMode) obj->fifo.get_bits_callback = nullptr;
    *count = obj->numSamples;
    return obj->outputBuffer;
}
