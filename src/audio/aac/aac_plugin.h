// The AAC decode plug-in as the host sees it, and its state record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "alg/kvxd.h"
#include "zor_host.h"

constexpr uint32_t kAacPluginMagic = 0x41414344;  // "DCAA" in memory
constexpr uint32_t kStagingBytes = 2048;
constexpr uint32_t kPcmAreaBytes = 8192;
constexpr uint32_t kStreamChunkWords = 128;
// Largest input of one frame-mode call: the FIFO holds 891 words, one of
// which the decoder appends itself.
constexpr uint32_t kMaxFrameBytes = ZORAAC_MAX_FRAME_BYTES;
static_assert(kMaxFrameBytes == 890 * 2);
// PCM bytes of one block: 1024 stereo frames of 16-bit samples.
constexpr uint32_t kBlockBytes = ZORAAC_BLOCK_BYTES;
constexpr uint32_t kMaxBlocksPerFrame = 4;
// The decoder's FIFO holds at most this many input bytes between calls.
constexpr uint32_t kDecoderHeldBytes = 892 * 2;

// Blocks a streaming-mode call can complete from `bytes` new and staged
// input bytes: every block, decoded or concealed, takes at least four bytes
// of input, what the decoder holds included, plus the rest of a failed frame.
// Counted in 64 bits: for inputs near 4 GiB the count passes 2^30 blocks.
constexpr uint64_t stream_blocks(uint64_t bytes) {
    return (bytes + kDecoderHeldBytes) / 4 + kMaxBlocksPerFrame;
}
// Output room AACDecode needs for an input of `bytes` bytes: in streaming
// mode for every block the input can complete; in frame mode for the blocks
// of one frame (four blocks covers any frame). With less it returns -1 and
// takes nothing. (Streaming counts the bytes staged from earlier calls too,
// fewer than one 256-byte piece.) With `sbr` (ZOR_STREAM_SBR_FULL) every
// block may take twice the bytes.
constexpr uint64_t output_room(uint64_t bytes, bool frameMode, bool sbr = false) {
    return kBlockBytes * (sbr ? 2u : 1u) *
           (frameMode ? kMaxBlocksPerFrame : stream_blocks(bytes + kStreamChunkWords * 2 - 1));
}
// The public header's room rule is this one, for any input size.
static_assert(ZORAAC_PCM_ROOM(0) == output_room(0, false) && ZORAAC_PCM_ROOM(1) == output_room(1, false) &&
              ZORAAC_PCM_ROOM(4096) == output_room(4096, false) && ZORAAC_PCM_ROOM(4099) == output_room(4099, false) &&
              ZORAAC_PCM_ROOM(0xFFFFFFFFu) == output_room(0xFFFFFFFFu, false));
static_assert(ZORAAC_PCM_ROOM_SBR(0) == output_room(0, false, true) &&
              ZORAAC_PCM_ROOM_SBR(4099) == output_room(4099, false, true) &&
              ZORAAC_PCM_ROOM_SBR(0xFFFFFFFFu) == output_room(0xFFFFFFFFu, false, true));
// An SBR block (2048 stereo frames) fits the PCM area.
static_assert(kPcmAreaBytes == 2 * kBlockBytes);

// The plug-in's heap state, one per process.
struct AacPluginState {
    uint32_t magic;
    uint32_t ready;
    ZorHostDesc desc;  // as converted at init; channels, rate, bit rate updated while decoding
    uint32_t stagedBytes;
    IALG_Handle instance;
    IKVXD_Params params;
    KVXD_ModuleInfo moduleInfo;
    KVXD_Status status;
    alignas(4) uint16_t staging[kStagingBytes / 2];  // input words, filled byte by byte
    int16_t pcm[kPcmAreaBytes / 2];
#if UINTPTR_MAX == 0xFFFFFFFFu
    // The record is 10380 bytes; the fields above take 10376.
    uint8_t reserved[4];
#endif
};

// The host's entry points keep C linkage: the getter is declared in the
// public header and exported, the other three are reached through it.
extern "C" {
__attribute__((visibility("default"))) const AACPlugin* GetZorAudioDecodePlugin(void);
int AACInit(const void* hostDesc);
int AACDecode(ZorBuffer* in, ZorBuffer* out);
void AACFinish(void);
}  // extern "C"

uint32_t aac_swap_words(uint16_t* words, uint32_t n);

// Exported: 0 from a header search until an ADTS header has been read, then
// 1; the static instance's flag as of the plug-in's last decoder call.
extern "C" __attribute__((visibility("default"))) uint32_t aacdec_raw_write;

// The current state (null when none); for the plug-in's own tests.
AacPluginState* plugin_state(void);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(AACPlugin) == 28 && sizeof(ZorBuffer) == 52, "host record layout");
static_assert(sizeof(AacPluginState) == 10380, "plug-in state layout");
#endif
