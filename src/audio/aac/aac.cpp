// AAC decode plug-in: the host-facing entry points. Input bytes are staged,
// byte-swapped into 16-bit words (first stream byte in the high half) and
// handed to the decoder; decoded PCM is copied into the host's buffer.
#include <cstdlib>
#include <cstring>

#include "aac_plugin.h"
#include "dec/asc.h"
#include "dec/headers.h"
#include "dec/instance.h"

uint32_t aacdec_raw_write = 0;

// The decoder waits for no more than its FIFO holds with room for one more
// of the pieces written here.
static_assert(kStreamChunkWords == kStreamPieceWords);

namespace {

AacPluginState* handle = nullptr;
uint32_t aac_stream_type = 0;  // copy of the raw-stream flag

#if AAC_SBR_BUILT
// HE-AAC memory (ZOR_STREAM_SBR_FULL or _DOWNSAMPLED), beside the static
// instance: the SBR decoder's persistent record and its scratch.
alignas(8) uint8_t sbr_persistent[sizeof(SbrDecoder)];
alignas(8) uint8_t sbr_scratch[sizeof(SbrScratch)];
#endif

// Bytes a block can take: twice the AAC-LC block's when the host asked for
// HE-AAC at the full rate (the flag means nothing to a build without SBR).
uint32_t block_bytes(const AacPluginState* st) {
#if AAC_SBR_BUILT
    if (st->desc.sbr == 1) return 2 * kBlockBytes;
#else
    (void)st;
#endif
    return kBlockBytes;
}

const AACPlugin kDescriptor = {"1.2.0", "AAC Audio Decoder 1.0.0", 0, 0, AACInit, AACFinish, AACDecode};

// The ADTS header at the start of a frame-mode buffer, when it is valid.
bool header_at(const uint8_t* data, uint32_t n, uint32_t at, AdtsFields* h) {
    if (at + kAdtsFixedBytes > n) return false;
    adts_fields(data + at, h);
    return adts_fixed_valid(h) != 0;
}

// Process call on the plug-in's instance; the exported header flag follows
// the instance's after every call.
uint16_t process(AacPluginState* st, const uint16_t* words, uint32_t count) {
    const uint16_t r = KVXD_process(st->instance, words, count);
    const auto* inner = reinterpret_cast<const MP4AACDEC_QUVA_Obj*>(reinterpret_cast<KVXD_KELVARIS_Obj*>(st->instance)->inner);
    aacdec_raw_write = inner->ctx->rawWrite;
    return r;
}

// Blocks a frame-mode buffer can yield: the decoder takes one frame per
// buffer, so the blocks of the frame that fills it exactly, or at most four
// (a frame it finds elsewhere in the buffer). 0: the buffer holds two whole
// frames and is refused.
uint32_t frame_buffer_blocks(const uint8_t* data, uint32_t n) {
    AdtsFields h, next;
    if (!header_at(data, n, 0, &h) || !adts_valid(&h)) return kMaxBlocksPerFrame;
    const uint32_t length = h.aac_frame_length;
    if (header_at(data, n, length, &next) && adts_same_stream(&h, &next)) return 0;
    return length == n ? h.number_of_raw_data_blocks_in_frame + 1u : kMaxBlocksPerFrame;
}

// A frame-mode buffer shorter than its header's frame length (its last
// bytes lost): how many bytes of its header to put after it, up to the
// frame's length, so that the block reads there what a stream gives it,
// the next frame's header (a block that lost no more than its end element,
// its padding or the end of a fill element decodes as it does in a stream:
// the syncword's ones read as the end).
// (Within the longest buffer the decoder takes.)
uint32_t short_frame_pad(const uint8_t* data, uint32_t n) {
    AdtsFields h;
    if (!header_at(data, n, 0, &h) || !adts_valid(&h) || h.aac_frame_length <= n) return 0;
    uint32_t pad = h.aac_frame_length - n < kAdtsFixedBytes ? h.aac_frame_length - n : kAdtsFixedBytes;
    if (pad > kMaxFrameBytes - n) pad = kMaxFrameBytes - n;
    return pad;
}

// The stream has more channels than the plug-in plays: more than two
// without the downmix, or a layout the downmix does not take.
bool channels_refused(const AacPluginState* st) {
    const auto* inner = reinterpret_cast<const MP4AACDEC_QUVA_Obj*>(reinterpret_cast<KVXD_KELVARIS_Obj*>(st->instance)->inner);
    const int32_t n = inner->mcInfo.num_channels;
    const uint32_t config = static_cast<uint32_t>(inner->adts.channel_configuration);
    const bool layout = inner->rawStream ? inner->mcInfo.mix_config != 0 : static_cast<uint32_t>(n) == config && config <= 7;
    const bool mixed = inner->ctx->downmix && (inner->mcInfo.mix_last || layout);
    return inner->mcInfo.more_channels || (n > 2 && !mixed);
}

}  // namespace

const AACPlugin* GetZorAudioDecodePlugin(void) { return &kDescriptor; }

AacPluginState* plugin_state(void) { return handle; }

uint32_t aac_swap_words(uint16_t* words, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        words[i] = static_cast<uint16_t>((words[i] >> 8) | (words[i] << 8));
    return n;
}

int AACInit(const void* hostDesc) {
    ZorHostDesc desc;
    std::memset(&desc, 0, sizeof desc);
    if (hostDesc) (void)audio_desc_zor_2_dm320(hostDesc, &desc);

    // One plug-in decoder per process: its instance lives in the static
    // blocks, so while one is live a second init is refused and the first
    // decodes on undisturbed; AACFinish ends it. Hosts that want more
    // decoders use the library interface (zoraac_open).
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
    aacdec_raw_write = 0;
#if AAC_SBR_BUILT
    if (desc.sbr && (KVXD_sbrBytes(0, 0) > sizeof sbr_persistent || KVXD_sbrBytes(1, 0) > sizeof sbr_scratch ||
                     KVXD_attachSbr(st->instance, sbr_persistent, sbr_scratch, 0, desc.sbr == 2 ? 1 : 0) != 0))
        goto fail;
    // Its output is always two channels.
    if (desc.sbr) (void)KVXD_setSbrStereoHost(st->instance, 1);
#endif
    // Refused by the compact arithmetic: such streams then stay refused.
    if (desc.downmix) (void)KVXD_setDownmix(st->instance, 1);

    std::memcpy(&hint, static_cast<const uint8_t*>(hostDesc) + 4, sizeof hint);
    // Raw blocks of more channels, to be mixed: their count gives the layout.
    st->status.numChannels =
        static_cast<uint16_t>(hint == 1 ? 1 : (desc.rawStream && desc.downmix && hint > 2 && hint <= 8 ? hint : 0));
    index = asc_rate_index(desc.sampleRate);
    if (index < 0) goto fail;
    st->status.sampleRateIndex = static_cast<uint32_t>(index);
    st->status.rawStream = desc.rawStream != 0 ? 1 : 0;
    aac_stream_type = st->status.rawStream;
    if (KVXD_control(st->instance, KVXD_SETPARAMS, &st->status) != 0) goto fail;
    if (desc.noConcealment && KVXD_control(st->instance, KVXD_CONCEAL_OFF, &st->status) != 0) goto fail;

    KVXD_setOutputBuffer(st->instance, st->pcm);
    st->ready = 1;
    return 0;

fail:
    std::free(st);
    handle = nullptr;
    return -1;
}

// A call takes all its input or, with an error, none of it: it needs output
// room for every block the input can complete (output_room), and a
// frame-mode buffer must fit the decoder's FIFO and hold one frame.
int AACDecode(ZorBuffer* in, ZorBuffer* out) {
    AacPluginState* st = handle;
    if (!st || !in || !out) return -1;
    const bool frameMode = st->params.frameMode != 0;
    uint8_t* dst = static_cast<uint8_t*>(out->data);
    const uint32_t capacity = out->size;
    const uint8_t* src = static_cast<const uint8_t*>(in->data);
    uint32_t remaining = in->size;
    if ((!src && remaining) || (!dst && capacity)) return -1;
    if (aac_stream_type == 1 && in->flag == 1) {
        out->size = 0;
        return 0;
    }
    // A stream of more channels than played is refused, call after call.
    if (channels_refused(st)) return -1;
    uint64_t blocks;
    if (!frameMode) {
        // Nothing reaches the decoder until a whole piece is staged.
        const uint64_t bytes = static_cast<uint64_t>(remaining) + st->stagedBytes;
        blocks = bytes < kStreamChunkWords * 2 ? 0 : stream_blocks(bytes);
    } else if (remaining > kMaxFrameBytes) {
        return -1;
    } else {
        blocks = aac_stream_type == 1 ? 1 : frame_buffer_blocks(src, remaining);
        if (blocks == 0) return -1;
    }
    if (capacity < blocks * block_bytes(st)) return -1;  // 64-bit: no wrap for any input size
    out->size = 0;
    // (No more than the frame's length, which the buffer's limit bounds.)
    const uint32_t pad = frameMode ? short_frame_pad(src, remaining) : 0;
    const uint8_t* const frame = src;
    const uint32_t chunk = frameMode ? (remaining + pad + 1) / 2 : kStreamChunkWords;

    while (remaining) {
        if (frameMode) st->stagedBytes = 0;
        uint32_t n = chunk * 2 - st->stagedBytes;
        if (n > remaining) n = remaining;
        std::memcpy(reinterpret_cast<uint8_t*>(st->staging) + st->stagedBytes, src, n);
        src += n;
        remaining -= n;
        st->stagedBytes += n;
        if (!frameMode && st->stagedBytes < chunk * 2) continue;
        if (frameMode) {
            std::memcpy(reinterpret_cast<uint8_t*>(st->staging) + st->stagedBytes, frame, pad);
            st->stagedBytes += pad;
            // The byte that rounds an odd buffer to words is zero, not
            // what the last call left there (the decoder reads the bytes
            // after a frame: a gap of zeros stays one).
            if (st->stagedBytes & 1) reinterpret_cast<uint8_t*>(st->staging)[st->stagedBytes] = 0;
        }

        uint16_t* words = st->staging;
        aac_swap_words(words, chunk);
        st->stagedBytes -= chunk * 2;
        // Every block ready is fetched: in frame mode the further blocks of
        // the frame, in streaming mode every frame already buffered.
        // (A block that comes with the refusal is the lost first block of
        // the stream refused: it does not go out.)
        uint16_t r = process(st, words, chunk);
        while (r && !channels_refused(st)) {
            KVXD_control(st->instance, KVXD_GETSTATUS, &st->status);
            uint16_t count = 0;
            const int16_t* p = KVXD_getSamples(st->instance, &count);
            if (count) {
                if (out->size + count * 2u > capacity) return -1;  // never, with the room checked above
                st->desc.bitRate = st->status.bitRate / 1000;
                st->desc.sampleRate = st->status.sampleRate;
                st->desc.channels = st->status.numChannels;
                std::memcpy(dst, p, count * 2u);
                dst += count * 2u;
                out->size += count * 2u;
            }
            r = process(st, nullptr, 0);
        }
        // The blocks before a stretch of channels not played go out; the
        // next call is refused (before, they were lost with the call).
        if (channels_refused(st)) {
            if (!out->size) return -1;
            break;
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
