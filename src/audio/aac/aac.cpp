// AAC decode plug-in: the host-facing entry points. Input bytes are staged,
// byte-swapped into 16-bit words (first stream byte in the high half) and
// handed to the decoder; decoded PCM is copied into the host's buffer.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aac_plugin.h"
#include "dec/bands.h"

namespace {

AacPluginState* handle = nullptr;
uint32_t aac_stream_type = 0;  // copy of the raw-stream flag

// The twelve rates of the sampling-rate table (12..15 are reserved).
int rate_index(uint32_t hz) {
    for (int i = 0; i < 12; ++i)
        if (static_cast<uint32_t>(samp_rate_kvxdec_info[i].sampling_rate) == hz) return i;
    return -1;
}

const AACPlugin kDescriptor = {"1.2.0", "AAC Audio Decoder 1.0.0", 0, 0, AACInit, AACFinish, AACDecode};

void warn_output_overflow() {
    std::printf("\033[0;46;30m[%d] WARNING: %s--%s: %d\033[0m\n\t", static_cast<int>(getpid()),
                "./../src/audio/aac/aac", "AACDecode", 333);
    std::printf("pcmbitstream->size > pcmbuffersize");
}

}  // namespace

const AACPlugin* GetZorAudioDecodePlugin(void) { return &kDescriptor; }

AacPluginState* aac_plugin_state(void) { return handle; }

uint32_t aac_swap_words(uint16_t* words, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        words[i] = static_cast<uint16_t>((words[i] >> 8) | (words[i] << 8));
    return n;
}

int AACInit(const void* hostDesc) {
    ZorHostDesc desc;
    std::memset(&desc, 0, sizeof desc);
    if (hostDesc) (void)audio_desc_zor_2_dm320(hostDesc, &desc);

    // One decoder per process: the decoder instance and its tables are
    // process-wide, so while one is live a second init is refused and the
    // first decodes on undisturbed; AACFinish ends it.
    if (handle) return -1;
    AacPluginState* st = static_cast<AacPluginState*>(std::malloc(sizeof(AacPluginState)));
    handle = st;
    uint32_t hint;
    int index;
    if (!st || !hostDesc) goto fail;
    std::memset(st, 0, sizeof *st);
    st->desc = desc;
    st->magic = kAacPluginMagic;

    st->params.size = sizeof(IKVXD_Params);
    st->params.reserved0 = 0;
    st->params.frameMode = desc.streaming == 0 ? 1 : 0;
    st->params.reserved2 = 1;
    KVXD_init(&st->moduleInfo);
    st->instance = KVXD_createStatic(&st->params, nullptr);
    if (!st->instance) goto fail;

    std::memcpy(&hint, static_cast<const uint8_t*>(hostDesc) + 4, sizeof hint);
    st->status.numChannels = hint == 1 ? 1 : 0;
    index = rate_index(desc.sampleRate);
    if (index < 0) goto fail;
    st->status.sampleRateIndex = static_cast<uint32_t>(index);
    st->status.rawStream = desc.rawStream != 0 ? 1 : 0;
    aac_stream_type = st->status.rawStream;
    if (KVXD_control(st->instance, KVXD_SETPARAMS, &st->status) != 0) goto fail;

    KVXD_setOutputBuffer(st->instance, st->pcm);
    st->ready = 1;
    return 0;

fail:
    std::free(st);
    handle = nullptr;
    return -1;
}

int AACDecode(ZorBuffer* in, ZorBuffer* out) {
    AacPluginState* st = handle;
    if (!st || !in || !out) return -1;
    const bool frameMode = st->params.frameMode != 0;
    uint8_t* dst = static_cast<uint8_t*>(out->data);
    const uint32_t capacity = out->size;
    out->size = 0;
    const uint8_t* src = static_cast<const uint8_t*>(in->data);
    uint32_t remaining = in->size;

    // A frame-mode buffer must fit the decoder's FIFO in one piece (no valid
    // ADTS frame is longer); a larger one is refused whole, nothing decoded.
    if (frameMode && remaining > kMaxFrameBytes) remaining = 0;
    const uint32_t chunk = frameMode ? (remaining + 1) / 2 : kStreamChunkWords;

    if (aac_stream_type == 1 && in->flag == 1) return 0;

    while (remaining) {
        // Keep a whole PCM area of room before staging more input.
        if (out->size > capacity - kPcmAreaBytes) break;
        if (frameMode) st->stagedBytes = 0;
        uint32_t n = chunk * 2 - st->stagedBytes;
        if (n > remaining) n = remaining;
        std::memcpy(reinterpret_cast<uint8_t*>(st->staging) + st->stagedBytes, src, n);
        src += n;
        remaining -= n;
        st->stagedBytes += n;
        if (!frameMode && st->stagedBytes < chunk * 2) continue;

        uint16_t* words = st->staging;
        aac_swap_words(words, chunk);
        st->stagedBytes -= chunk * 2;
        uint16_t r = KVXD_process(st->instance, words, chunk);
        while (r) {
            KVXD_control(st->instance, KVXD_GETSTATUS, &st->status);
            uint16_t count = 0;
            const int16_t* p = KVXD_getSamples(st->instance, &count);
            if (count) {
                st->desc.bitRate = st->status.bitRate / 1000;
                st->desc.sampleRate = st->status.sampleRate;
                out->size += count * 2u;
                if (out->size > capacity) {
                    warn_output_overflow();
                    return -1;
                }
                st->desc.channels = st->status.numChannels;
                std::memcpy(dst, p, count * 2u);
                dst += count * 2u;
            }
            if (frameMode) break;
            r = KVXD_process(st->instance, nullptr, 0);
        }
    }
    out->passthrough = in->passthrough;
    out->sampleRate = st->desc.sampleRate;
    return static_cast<int>(out->size);
}

void AACFinish(void) {
    if (!handle) return;
    std::free(handle);
    handle = nullptr;
}
