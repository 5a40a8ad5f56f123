// Records of the host media framework that cross into an audio decode
// plug-in, and the host library's description converter.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// The 44-byte stream description a plug-in receives (all fields 32-bit).
struct ZorHostDesc {
    uint32_t codec;          // 0: four-character code of the codec
    uint32_t version;        // 4: ZOR_HOST_DESC_VERSION
    uint32_t reserved8;      // 8
    uint32_t channels;       // 12: channel count
    uint32_t sampleRate;     // 16: Hz
    uint32_t bitRate;        // 20: kbit/s
    uint32_t reserved24[2];  // 24..31
    uint32_t noConcealment;  // 32: nonzero: a block that fails to decode yields no output
    uint32_t rawStream;      // 36: nonzero: no ADTS/ADIF transport headers
    uint32_t streaming;      // 40: nonzero: arbitrary byte pieces; zero: whole frames
};

// One input or output buffer record of the host.
struct ZorBuffer {
    uint32_t reserved0[3];
    void* data;              // 12: compressed bytes / PCM destination
    uint32_t size;           // 16: input bytes / output capacity in, bytes written out
    uint32_t reserved20;
    uint8_t flag;            // 24: input: 1 marks a buffer skipped in raw-stream mode
    uint8_t reserved25[3];
    uint32_t passthrough;    // 28: copied from the input record to the output record
    uint32_t reserved32[4];
    uint32_t sampleRate;     // 48: output: the stream's sample rate in Hz
};

// The host's own stream description as our host library understands it.
// The second word is the channel hint plug-ins read directly (1 = mono).
struct ZorStreamInfo {
    uint32_t version;     // ZOR_STREAM_INFO_VERSION
    uint32_t channels;    // channel hint
    uint32_t sampleRate;  // Hz
    uint32_t bitRate;     // kbit/s, informative
    uint32_t flags;       // ZOR_STREAM_RAW | ZOR_STREAM_STREAMING | ZOR_STREAM_NO_CONCEALMENT
};

enum : uint32_t {
    ZOR_STREAM_INFO_VERSION = 1,
    ZOR_HOST_DESC_VERSION = 1,
    ZOR_STREAM_RAW = 1u << 0,
    ZOR_STREAM_STREAMING = 1u << 1,
    ZOR_STREAM_NO_CONCEALMENT = 1u << 2,
    ZOR_CODEC_AAC = 0x20434141u  // "AAC "
};

// Converts the host's stream description into the plug-in's; 0 on success,
// -1 when the description is missing or of an unknown version.
int audio_desc_zor_2_dm320(const void* hostDesc, ZorHostDesc* desc);

}  // extern "C"

static_assert(sizeof(ZorHostDesc) == 44, "host description layout");
static_assert(offsetof(ZorHostDesc, sampleRate) == 16 && offsetof(ZorHostDesc, noConcealment) == 32 &&
                  offsetof(ZorHostDesc, rawStream) == 36 &&
                  offsetof(ZorHostDesc, streaming) == 40,
              "host description layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(ZorBuffer, data) == 12 && offsetof(ZorBuffer, size) == 16 &&
                  offsetof(ZorBuffer, flag) == 24 && offsetof(ZorBuffer, passthrough) == 28 &&
                  offsetof(ZorBuffer, sampleRate) == 48,
              "host buffer layout");
#endif
