/* zoraac.h: the AAC-LC decoder as a host sees it (C99): the plug-in a media
 * framework loads, and below it the library interface (libzoraac) for any
 * other host.
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
    uint32_t flags;      /* ZOR_STREAM_RAW | ZOR_STREAM_STREAMING | ZOR_STREAM_NO_CONCEALMENT | ZOR_STREAM_SBR_*
                            | ZOR_STREAM_DOWNMIX */
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
/* HE-AAC: a stream whose first block carries SBR data is decoded at twice
 * its core rate, 2048 samples a channel per block (8192 PCM bytes; the
 * output record's sampleRate the doubled rate); give ZORAAC_PCM_ROOM_SBR
 * bytes of room. Without it an HE-AAC stream plays its AAC-LC core. A
 * plug-in built without SBR (AAC_SBR=OFF, or the compact arithmetic)
 * ignores the flag and plays the core. */
#define ZOR_STREAM_SBR_FULL 0x8u
/* HE-AAC at the core rate (downsampled SBR): the SBR band up to the core's
 * Nyquist frequency, 1024 samples a channel per block (4096 PCM bytes, the
 * output record's sampleRate the core rate). With ZOR_STREAM_SBR_FULL as
 * well, the full rate. Ignored like ZOR_STREAM_SBR_FULL without SBR. */
#define ZOR_STREAM_SBR_DOWNSAMPLED 0x10u
/* A stream of more than two front channels (channel configurations 3..7, a
 * program config element, up to 8 channels) plays as a stereo downmix
 * (exact arithmetic). Without it such a stream is refused: decode returns
 * -1, taking nothing. */
#define ZOR_STREAM_DOWNMIX 0x20u
#define ZOR_CODEC_AAC 0x20434141u /* "AAC " */

/* The 44-byte stream description the plug-in receives from the host library. */
typedef struct ZorHostDesc {
    uint32_t codec;         /* 0: four-character code of the codec */
    uint32_t version;       /* 4: ZOR_HOST_DESC_VERSION */
    uint32_t reserved8;     /* 8 */
    uint32_t channels;      /* 12: channel count */
    uint32_t sampleRate;    /* 16: Hz */
    uint32_t bitRate;       /* 20: kbit/s */
    uint32_t downmix;       /* 24: 1: ZOR_STREAM_DOWNMIX */
    uint32_t sbr;           /* 28: 1: ZOR_STREAM_SBR_FULL; 2: ZOR_STREAM_SBR_DOWNSAMPLED; 0: the AAC-LC core alone */
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
/* Output room (a 64-bit count: it passes 4 GiB for the largest inputs, which
 * no 32-bit room can then take) that lets one decode call take all of `in_bytes` input bytes
 * in either mode: a block for every four bytes of them, of what the decoder
 * holds (1784 bytes) and of a partly staged piece (255 bytes), plus the four
 * blocks a frame can carry. Frame mode needs less: the blocks of the frame
 * it is given (four blocks cover any frame). */
#define ZORAAC_PCM_ROOM(in_bytes) (4096ull * (((uint64_t)(in_bytes) + 2039u) / 4u + 4u))
/* The same with ZOR_STREAM_SBR_FULL: as many blocks, each up to 8192 bytes. */
#define ZORAAC_PCM_ROOM_SBR(in_bytes) (2ull * ZORAAC_PCM_ROOM(in_bytes))

/* ======================================================================
 * The library interface (libzoraac): any number of decoders per process,
 * each in memory its host gives; C99, no heap, no process-wide state that
 * decoders write. Link with `pkg-config --libs zoraac` or the CMake target
 * zoraac::zoraac.
 *
 *   zoraac_params p;
 *   zoraac_params_init(&p);                 transport, output, format ...
 *   zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
 *   int n = zoraac_query_memory(&p, rec);   n records, or a negative status
 *   void *block[ZORAAC_MAX_MEMRECS];        rec[i].size bytes each, aligned
 *                                           to rec[i].alignment
 *   zoraac_decoder *d = zoraac_open(&p, block);
 *   while (input left or the last call gave PCM) {
 *       size_t used;
 *       zoraac_frame f;
 *       int s = zoraac_decode(d, in, in_size, &used, out, out_room, &f);
 *       in += used; in_size -= used;        at most one block's PCM per call
 *       if (f.bytes) write f.bytes bytes of out;
 *       if (s == ZORAAC_NEED_MORE_INPUT && no input is left) break;
 *   }
 *   zoraac_close(d);                        the blocks are the host's again
 *
 * Memory: every record is the host's to place anywhere that meets its
 * alignment. Persistent records carry the stream from call to call and
 * belong to one decoder. Scratch records hold nothing between calls: the
 * same scratch blocks may serve any number of decoders that never decode
 * at the same time (one thread, or decoders taking turns).
 *
 * End of input: call zoraac_decode with in_size 0 until it answers
 * ZORAAC_NEED_MORE_INPUT; this pushes out the last frames of a byte stream.
 * ====================================================================== */

#define ZORAAC_API_VERSION 1
/* Records zoraac_query_memory may describe (today up to 14; room for more tools). */
#define ZORAAC_MAX_MEMRECS 16

/* Transports: what params.transport asks for and info.transport reports. */
enum {
    ZORAAC_TRANSPORT_AUTO = 0, /* a byte stream of ADTS frames or an ADIF stream, in any pieces */
    ZORAAC_TRANSPORT_ADTS = 1, /* reported once found (asked for: taken as AUTO) */
    ZORAAC_TRANSPORT_ADIF = 2, /* reported once found (asked for: taken as AUTO) */
    ZORAAC_TRANSPORT_ASC = 3,  /* raw access units, one per call, configured by params.asc */
    ZORAAC_TRANSPORT_RAW = 4   /* raw access units, one per call, params.sample_rate and channels */
};

/* Output layout. */
enum {
    ZORAAC_OUT_STEREO = 0, /* interleaved stereo; a mono stream doubled (as the plug-in) */
    ZORAAC_OUT_NATIVE = 1  /* the stream's own 1 or 2 channels; with ZORAAC_NO_DOWNMIX (exact
                              arithmetic) also up to 8, in the order of the stream's elements
                              (5.1: C, L, R, Ls, Rs, LFE), which play their AAC-LC core:
                              zoraac_query_memory then asks for an overlap buffer per
                              channel, zoraac_frame_bytes for 8 channels */
};

/* Sample format of the output, native byte order. */
enum {
    ZORAAC_S16 = 0, /* signed 16-bit */
    ZORAAC_S32 = 1  /* signed 32-bit: the 16-bit sample times 65536 plus the bits the
                       decoder keeps below it; rounded to 16 bits ((s + 32768) >> 16)
                       it is the S16 output. Exact arithmetic builds only. */
};

/* Spectral band replication (HE-AAC), params.sbr. A stream plays SBR when
 * its configuration signals it, or, without such signalling, when its first
 * block carries SBR data; it then keeps twice its core rate to its end.
 * Builds with SBR only (the exact arithmetic, AAC_SBR on): a build without
 * it (AAC_SBR=OFF, or the compact arithmetic) plays the core. */
enum {
    ZORAAC_SBR_FULL = 0,       /* HE-AAC at its full output rate, 2048 samples a channel per block
                                  (a stream configured for downsampled SBR, whose SBR output rate is
                                  its core rate, plays as with ZORAAC_SBR_DOWNSAMPLED) */
    ZORAAC_SBR_OFF = 1,        /* the AAC-LC core alone, at the core rate */
    ZORAAC_SBR_DOWNSAMPLED = 2 /* HE-AAC at the core rate, its SBR band up to the core's Nyquist
                                  frequency: 1024 samples a channel per block, less memory */
};

/* The SBR scratch record, params.sbr_memory. ZORAAC_SBR_SMALL keeps only
 * the low band's subband samples as a matrix and makes the high band a few
 * QMF slots at a time: its scratch record is 11,340 bytes where
 * ZORAAC_SBR_FAST's is 20,760 (a stereo HE-AAC decoder of access units
 * 64,672 bytes in all against 74,092 on a 32-bit target), for about 12 to
 * 27 % more instructions per HE-AAC block. The output is the same, bit for
 * bit. HE-AAC layouts of more than two channels (sbr_channels) need the
 * fast record's matrix: with them the setting is ignored. */
enum {
    ZORAAC_SBR_FAST = 0,
    ZORAAC_SBR_SMALL = 1
};

/* Layouts of more than two front channels (channel configurations 3..7,
 * program config elements in the stream or in an AudioSpecificConfig, up
 * to 8 channels), params.downmix. With
 * ZORAAC_DOWNMIX they play as a stereo downmix in the memory of a stereo
 * decoder: every channel weighted into left and right (front pairs 1,
 * centre 1/sqrt(2), surround 1/sqrt(2) or the program's matrix-mixdown
 * weight, low-frequency channels 0), scaled so full-scale channels cannot
 * clip; info.channels gives the coded channels, the output is stereo
 * (native channels with ZORAAC_OUT_NATIVE and ZORAAC_NO_DOWNMIX).
 * Exact arithmetic builds only: without the downmix, and in the compact
 * arithmetic, such a stream is refused (ZORAAC_ERR_UNSUPPORTED). */
enum {
    ZORAAC_NO_DOWNMIX = 0,
    ZORAAC_DOWNMIX = 1
};

/* Record kinds. */
enum { ZORAAC_MEM_PERSISTENT = 0, ZORAAC_MEM_SCRATCH = 1 };

/* Results. Non-negative: the call did what it could; negative: an error. */
enum zoraac_status {
    ZORAAC_OK = 0,              /* one block of PCM in out */
    ZORAAC_NEED_MORE_INPUT = 1, /* all input taken (consumed == in_size), no PCM yet; less where
                                   a byte stream turns out to need what the decoder does not
                                   play: the next call says so (ZORAAC_ERR_UNSUPPORTED) */
    ZORAAC_CONCEALED = 2,       /* PCM that stands in for a block that failed to decode */
    ZORAAC_FORMAT_CHANGED = 3,  /* PCM at a new rate or channel count: see frame */
    ZORAAC_DROPPED = 4,         /* an access unit failed, concealment is off: taken, no PCM */
    ZORAAC_ERR_ARGUMENT = -1,   /* a null pointer or a value out of range */
    ZORAAC_ERR_OUTPUT_ROOM = -2, /* out_room below zoraac_frame_bytes(): nothing taken */
    ZORAAC_ERR_UNSUPPORTED = -3, /* the stream needs what this decoder does not play: nothing taken */
    ZORAAC_ERR_CONFIG = -4      /* the AudioSpecificConfig, rate or channel count is unreadable or invalid */
};

typedef struct zoraac_memrec {
    size_t size;      /* bytes */
    size_t alignment; /* a power of two: the block's address is a multiple of it */
    int kind;         /* ZORAAC_MEM_PERSISTENT or ZORAAC_MEM_SCRATCH */
} zoraac_memrec;

typedef struct zoraac_params {
    uint32_t size;          /* sizeof(zoraac_params), set by zoraac_params_init */
    uint32_t transport;     /* ZORAAC_TRANSPORT_AUTO, _ASC or _RAW */
    const uint8_t* asc;     /* ZORAAC_TRANSPORT_ASC: the AudioSpecificConfig ... */
    uint32_t asc_size;      /* ... and its length in bytes; read during the call only */
    uint32_t sample_rate;   /* ZORAAC_TRANSPORT_RAW: Hz, one of the twelve AAC rates */
    uint32_t channels;      /* ZORAAC_TRANSPORT_RAW: 1 or 2 */
    uint32_t conceal;       /* 1 (default): a failed block gives concealed PCM; 0: nothing */
    uint32_t output;        /* ZORAAC_OUT_STEREO (default) or ZORAAC_OUT_NATIVE */
    uint32_t format;        /* ZORAAC_S16 (default) */
    uint32_t sbr;           /* ZORAAC_SBR_FULL (default), ZORAAC_SBR_OFF or ZORAAC_SBR_DOWNSAMPLED */
    uint32_t downmix;       /* ZORAAC_DOWNMIX (default) or ZORAAC_NO_DOWNMIX */
    uint32_t sbr_channels;  /* HE-AAC layouts of more than two channels (ZORAAC_DOWNMIX, SBR on):
                               the most channels with SBR the decoder keeps, 3..8 (low-frequency
                               channels have none: 5.1 takes 5, 7.1 7), for a byte stream (AUTO);
                               access units take their configuration's (unless it says there is
                               no SBR). 1 and 2 are refused. 0 (default): a byte
                               stream's such layout plays its AAC-LC core mixed, at the core rate
                               (info.last_error 9). zoraac_query_memory then gives two records
                               more and a larger record 8 */
    uint32_t sbr_memory;    /* ZORAAC_SBR_FAST (default) or ZORAAC_SBR_SMALL: see below */
    uint32_t reserved[4];   /* zero (zoraac_params_init), else refused: room for later tools */
} zoraac_params;

/* One call's output. */
typedef struct zoraac_frame {
    uint32_t bytes;       /* PCM bytes written to out (0: none) */
    uint32_t samples;     /* sample frames per channel (1024, 2048 with SBR, or 0) */
    uint32_t channels;    /* channels in out */
    uint32_t sample_rate; /* Hz of the PCM */
    uint32_t concealed;   /* 1: the block failed and this PCM conceals it */
    uint32_t reserved[3];
} zoraac_frame;

/* What the decoder knows of its stream. */
typedef struct zoraac_info {
    uint32_t size;                  /* sizeof(zoraac_info): set by the caller, as a version */
    uint32_t transport;             /* ZORAAC_TRANSPORT_*; AUTO until a header is found */
    uint32_t object_type;           /* audio object type: 2 = AAC-LC (0 until known) */
    uint32_t sample_rate;           /* Hz of the coded stream (0 until known) */
    uint32_t output_rate;           /* Hz of the PCM */
    uint32_t channel_configuration; /* as the stream signals it (0: by program config element) */
    uint32_t channels;              /* channels the stream plays (0 until known): the coded
                                       ones, but 2 for a mono core with parametric stereo (ps) */
    uint32_t output_channels;       /* channels of the PCM */
    uint32_t bit_rate;              /* bits per second over the input taken so far */
    uint32_t delay;                 /* decoder delay in output samples (0 for AAC-LC; HE-AAC's
                                       SBR: 962 at the full rate, 481 downsampled) */
    uint64_t frames_decoded;        /* blocks of PCM given out, concealed ones included */
    uint64_t frames_concealed;      /* of them, concealed */
    uint64_t bytes_consumed;        /* input bytes taken */
    int32_t last_error;             /* the decoder's last error or notice code (0: none) */
    uint32_t sbr;                   /* 1: the stream plays SBR (HE-AAC), output_rate twice
                                       sample_rate (0 with ZORAAC_SBR_OFF, or before its first block) */
    uint32_t ps;                    /* 1: it plays parametric stereo (HE-AAC v2): a mono core given
                                       out as two channels, also with ZORAAC_OUT_NATIVE */
    uint32_t coupling_skipped;      /* 1 once a block was given out whose coupling channel elements
                                       were read and not played: the coupled signal is missing */
    uint32_t reserved[4];
} zoraac_info;

typedef struct zoraac_decoder zoraac_decoder;

/* Fills *p with the defaults: AUTO transport, concealment on, stereo, S16. */
void zoraac_params_init(zoraac_params* p);

/* Describes the memory a decoder with these params needs in rec[0 ..
 * ZORAAC_MAX_MEMRECS - 1]. Returns the number of records, or a negative
 * status: ZORAAC_ERR_CONFIG for an unreadable AudioSpecificConfig or an
 * invalid rate or channel count, ZORAAC_ERR_UNSUPPORTED for a stream this
 * decoder does not play (not AAC-LC, more than two channels without the
 * downmix, S32 from a build of the compact arithmetic). */
int zoraac_query_memory(const zoraac_params* p, zoraac_memrec rec[ZORAAC_MAX_MEMRECS]);

/* Builds a decoder in the host's blocks, block[i] for record i. Never
 * allocates. NULL when the params are refused (see zoraac_query_memory) or a
 * block is missing or misaligned. */
zoraac_decoder* zoraac_open(const zoraac_params* p, void* const block[]);

/* Output room a zoraac_decode call needs: one block of interleaved stereo
 * PCM (4096 bytes for S16, 8192 for S32; twice that where SBR may play at
 * the full rate), or with ZORAAC_OUT_NATIVE and ZORAAC_NO_DOWNMIX one of
 * eight channels (16384 bytes for S16, 32768 for S32); a call may fill
 * less (a native mono block takes half). */
size_t zoraac_frame_bytes(const zoraac_params* p);

/* Decodes from in[0 .. in_size - 1] until one block of PCM is ready, and
 * stores it in out (4-byte aligned; its contents are undefined after a call
 * that gives no PCM). *consumed says how many input bytes were taken (never
 * more than in_size); bytes taken are the decoder's, so the next call starts
 * after them. With out_room below zoraac_frame_bytes() nothing is taken and
 * ZORAAC_ERR_OUTPUT_ROOM comes back. frame (may be NULL) describes the PCM.
 * AUTO transport: any pieces of the stream; in_size 0 marks its end.
 * ASC and RAW: one whole access unit per call (in_size 0: nothing more), of
 * up to 1780 bytes for one or two channels, 8192 for more (every legal unit:
 * 768 bytes a channel); a longer one is taken and concealed (or dropped). */
int zoraac_decode(zoraac_decoder* d, const uint8_t* in, size_t in_size, size_t* consumed, void* out,
                  size_t out_room, zoraac_frame* frame);

/* ASC and RAW: an access unit the host knows was lost (a damaged container
 * packet, a gap in the timestamps) keeps its place in the timeline as a
 * block that conceals it, as a unit that fails to decode does:
 * ZORAAC_CONCEALED with the block in out, or ZORAAC_DROPPED (no PCM) with
 * concealment off, and before the first good block since zoraac_open or
 * zoraac_flush (no layout or rate to conceal in yet: the host keeps the
 * place). out, out_room and frame as for zoraac_decode.
 * AUTO: the same for a block lost between the input given so far and what
 * comes next (frames whose container packets went missing), once the end
 * of the input given has been pushed through (calls with in_size 0 until
 * ZORAAC_NEED_MORE_INPUT: the decoder holds a frame back until the next
 * header comes); ZORAAC_ERR_ARGUMENT before that. More input then goes
 * on with the stream. */
int zoraac_conceal(zoraac_decoder* d, void* out, size_t out_room, zoraac_frame* frame);

/* Fills *info (info->size set by the caller). 0, or ZORAAC_ERR_ARGUMENT. */
int zoraac_get_info(const zoraac_decoder* d, zoraac_info* info);

/* A seek: the overlap, the buffered input, the search state and last_error
 * are cleared; the configuration and the counters stay. */
void zoraac_flush(zoraac_decoder* d);

/* Ends the decoder; its blocks are the host's again. */
void zoraac_close(zoraac_decoder* d);

/* A short English text for a status. */
const char* zoraac_status_string(int status);

/* Layout checks on the 32-bit target, where the compiler has them (C11, C++11). */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define ZORAAC_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZORAAC_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif
#if defined(ZORAAC_LAYOUT_CHECK) && UINTPTR_MAX == 0xFFFFFFFFu
ZORAAC_LAYOUT_CHECK(sizeof(ZorStreamInfo) == 20, "host stream description layout");
ZORAAC_LAYOUT_CHECK(sizeof(ZorHostDesc) == 44 && offsetof(ZorHostDesc, sampleRate) == 16 &&
                    offsetof(ZorHostDesc, sbr) == 28 && offsetof(ZorHostDesc, noConcealment) == 32 &&
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
