/* zoraac.h: the AAC-LC decode plug-in as a host sees it (C99).
 *
 * A host loads libaacplugin.so, calls GetZorAudioDecodePlugin() and drives
 * the three entry points of the descriptor:
 *
 *   init(&info)      creates the decoder from a ZorStreamInfo; 0 or -1.
 *                    One decoder per process: while one is live a second
 *                    init fails with -1; finish() first to start over.
 *   decode(&in,&out) hands over compressed bytes and receives interleaved
 *                    signed 16-bit stereo PCM in native byte order, 4096
 *                    bytes per block (a mono stream is doubled into both
 *                    channels; a block that fails to decode is concealed
 *                    unless ZOR_STREAM_NO_CONCEALMENT); returns the PCM byte
 *                    count, 0, or -1 with nothing taken when the call is
 *                    refused (too little output room, no data). Give it at
 *                    least ZORAAC_PCM_ROOM(in.size) bytes of room: it does
 *                    not say how much input it took, so it takes all or
 *                    nothing.
 *   finish()         releases the decoder.
 *
 * The plug-in calls one function of the host library libcomzorc.so,
 * audio_desc_zor_2_dm320, which turns the ZorStreamInfo into the ZorHostDesc
 * the plug-in reads. All records are 32-bit words in native byte order; the
 * offsets below are those of the 32-bit target.
 */
#ifndef ZORAAC_H
#define ZORAAC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The host's description of a stream, five 32-bit words. */
typedef struct ZorStreamInfo {
    uint32_t version;    /* ZOR_STREAM_INFO_VERSION */
    uint32_t channels;   /* channel hint; 1 means mono (the plug-in reads this word directly) */
    uint32_t sampleRate; /* Hz: one of the twelve AAC rates 8000..96000 */
    uint32_t bitRate;    /* kbit/s, informative */
    uint32_t flags;      /* ZOR_STREAM_RAW | ZOR_STREAM_STREAMING | ZOR_STREAM_NO_CONCEALMENT */
} ZorStreamInfo;

#define ZOR_STREAM_INFO_VERSION 1u
#define ZOR_HOST_DESC_VERSION 1u
/* Raw data blocks without ADTS or ADIF transport headers. */
#define ZOR_STREAM_RAW 0x1u
/* Input in arbitrary byte pieces; without it every decode call holds whole
 * ADTS frames (frame mode, one block per call, at most ZORAAC_MAX_FRAME_BYTES). */
#define ZOR_STREAM_STREAMING 0x2u
/* A block that fails to decode yields nothing, instead of 1024 concealed
 * samples per channel (the last good block faded, then silence). */
#define ZOR_STREAM_NO_CONCEALMENT 0x4u
#define ZOR_CODEC_AAC 0x20434141u /* "AAC " */

/* The 44-byte stream description the plug-in receives from the host library. */
typedef struct ZorHostDesc {
    uint32_t codec;         /* 0: four-character code of the codec */
    uint32_t version;       /* 4: ZOR_HOST_DESC_VERSION */
    uint32_t reserved8;     /* 8 */
    uint32_t channels;      /* 12: channel count */
    uint32_t sampleRate;    /* 16: Hz */
    uint32_t bitRate;       /* 20: kbit/s */
    uint32_t reserved24[2]; /* 24..31 */
    uint32_t noConcealment; /* 32: nonzero: a block that fails to decode yields no output */
    uint32_t rawStream;     /* 36: nonzero: no ADTS/ADIF transport headers */
    uint32_t streaming;     /* 40: nonzero: arbitrary byte pieces; zero: whole frames */
} ZorHostDesc;

/* One input or output buffer record of the host. */
typedef struct ZorBuffer {
    uint32_t reserved0[3];
    void* data;             /* 12: compressed bytes / PCM destination */
    uint32_t size;          /* 16: input bytes / output capacity in, bytes written out */
    uint32_t reserved20;
    uint8_t flag;           /* 24: input: 1 marks a buffer skipped in raw-stream mode */
    uint8_t reserved25[3];
    uint32_t passthrough;   /* 28: copied from the input record to the output record */
    uint32_t reserved32[4];
    uint32_t sampleRate;    /* 48: output: the stream's sample rate in Hz */
} ZorBuffer;

/* The descriptor GetZorAudioDecodePlugin returns (28 bytes on the target). */
typedef struct AACPlugin {
    const char* version; /* "1.2.0" */
    const char* name;    /* "AAC Audio Decoder 1.0.0" */
    uint32_t reserved0;
    uint32_t reserved1;
    int (*init)(const void* hostDesc);
    void (*finish)(void);
    int (*decode)(ZorBuffer* in, ZorBuffer* out);
} AACPlugin;

/* The one symbol a host looks up in the plug-in. */
const AACPlugin* GetZorAudioDecodePlugin(void);
typedef const AACPlugin* (*GetZorAudioDecodePluginFn)(void);

/* PCM bytes of one decoded block: 1024 stereo sample frames. */
#define ZORAAC_BLOCK_BYTES 4096u
/* Largest input of one frame-mode decode call. */
#define ZORAAC_MAX_FRAME_BYTES 1780u
/* Output room that lets one decode call take all of `in_bytes` input bytes
 * in either mode: a block for every four bytes of them, of what the decoder
 * holds (1784 bytes) and of a partly staged piece (255 bytes), plus the four
 * blocks a frame can carry. Frame mode needs less: the blocks of the frame
 * it is given (four blocks cover any frame). */
#define ZORAAC_PCM_ROOM(in_bytes) (4096u * (((uint32_t)(in_bytes) + 2039u) / 4u + 4u))

/* Layout checks on the 32-bit target, where the compiler has them (C11, C++11). */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define ZORAAC_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZORAAC_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif
#if defined(ZORAAC_LAYOUT_CHECK) && UINTPTR_MAX == 0xFFFFFFFFu
ZORAAC_LAYOUT_CHECK(sizeof(ZorStreamInfo) == 20, "host stream description layout");
ZORAAC_LAYOUT_CHECK(sizeof(ZorHostDesc) == 44 && offsetof(ZorHostDesc, sampleRate) == 16 &&
                    offsetof(ZorHostDesc, noConcealment) == 32 &&
                    offsetof(ZorHostDesc, rawStream) == 36 && offsetof(ZorHostDesc, streaming) == 40,
                    "plug-in stream description layout");
ZORAAC_LAYOUT_CHECK(offsetof(ZorBuffer, data) == 12 && offsetof(ZorBuffer, size) == 16 &&
                    offsetof(ZorBuffer, flag) == 24 && offsetof(ZorBuffer, passthrough) == 28 &&
                    offsetof(ZorBuffer, sampleRate) == 48,
                    "host buffer layout");
ZORAAC_LAYOUT_CHECK(sizeof(AACPlugin) == 28 && offsetof(AACPlugin, init) == 16 &&
                    offsetof(AACPlugin, decode) == 24,
                    "plug-in descriptor layout");
#endif
#undef ZORAAC_LAYOUT_CHECK

#ifdef __cplusplus
}
#endif

#endif /* ZORAAC_H */
