/* zoraacdec: a GstAudioDecoder on the zoraac library interface.
 *
 * Every element holds its own decoder, built in blocks the element
 * allocates when the caps arrive and frees at stop, so any number of them
 * decode side by side in one process.
 *
 * ADTS input (stream-format=adts, one frame per buffer behind aacparse) goes
 * to the decoder's byte-stream transport (ZORAAC_TRANSPORT_AUTO). That
 * transport keeps a frame until the next frame's header has come, so a
 * block comes out one buffer or more after its frame went in, and a frame
 * may carry up to four blocks. The
 * element notes how many blocks each queued input frame carries (its header
 * says) and hands a frame's blocks on together, as one buffer, once the
 * last of them came and a newer frame is queued (the newest takes blocks
 * beyond its count, which a damaged header gives): the base class's
 * frames finish in order and every buffer has the timestamp and duration of
 * the frame it came from. A drain (end of stream, or a new stream behind the
 * same element) pushes the held frames out.
 *
 * Raw input (stream-format=raw) carries one access unit per buffer and gives
 * one block per buffer, configured by codec_data (the AudioSpecificConfig)
 * or, without it, by the caps' rate and channels. With the base class's
 * plc property set, a gap in raw input (a GAP event: units lost on the way,
 * as rtpjitterbuffer reports them) comes as an empty buffer with the gap's
 * duration, and gets the decoder's concealed blocks for that duration, so
 * the sound fades where it broke off rather than stopping dead. ADTS input
 * the same: the frames the decoder holds back come out first.
 *
 * LOAS input (stream-format=loas, framed: one LOAS frame per buffer behind
 * aacparse, which needs a config in every frame) goes through the LOAS
 * reader of the command-line host (loas_reader.h): the access units of
 * each frame go to the decoder under the config of their StreamMuxConfig,
 * a decoder opened when the first config comes and again for each config
 * that changes mid-stream (a broadcast turning from stereo to 5.1), and a
 * frame lost to damage is concealed in its place.
 *
 * Output: interleaved stereo (a mono stream in both channels, a stream of
 * more channels as the library's stereo downmix), or the stream's own
 * channels when downstream takes them and not stereo (a capsfilter asking
 * for channels=6, say), in S16 or S32 as downstream prefers (S32 carries the
 * bits below the 16-bit sample that the exact arithmetic computes), at the
 * rate the decoder reports for each block. Native layouts of a channel
 * configuration come in GStreamer's channel order with their positions; a
 * program config element's layout unpositioned, in the stream's order.
 */
#include <gst/audio/audio.h>
#include <gst/audio/gstaudiodecoder.h>
#include <gst/gst.h>
#include <string.h>

#include <zoraac.h>

#include "dec/asc.h"
#include "loas_reader.h"

GST_DEBUG_CATEGORY_STATIC(zoraacdec_debug);
#define GST_CAT_DEFAULT zoraacdec_debug

#define GST_TYPE_ZORAACDEC (gst_zoraacdec_get_type())
G_DECLARE_FINAL_TYPE(GstZorAacDec, gst_zoraacdec, GST, ZORAACDEC, GstAudioDecoder)

struct _GstZorAacDec {
    GstAudioDecoder parent;
    zoraac_decoder* dec;
    guint32 transport;                   /* of dec: ZORAAC_TRANSPORT_AUTO, _ASC or _RAW */
    GBytes* config;                      /* what dec was opened with: codec_data, or rate and channels */
    gpointer mem[ZORAAC_MAX_MEMRECS];    /* the blocks as allocated ... */
    gpointer block[ZORAAC_MAX_MEMRECS];  /* ... and aligned as their records ask */
    gint blocks;
    guint8* pcm;                         /* one block of output */
    gsize pcm_room;
    GQueue owed;                         /* blocks each queued input frame carries, oldest first */
    GstBuffer* gathered;                 /* the PCM of the oldest frame's blocks so far ... */
    gsize gathered_bytes;
    guint gathered_blocks;               /* ... and how many of its blocks came (with PCM or not) */
    gint out_rate, out_channels;         /* of the negotiated output, 0 before */
    guint32 block_samples, block_rate;   /* the last block's length and rate, 0 before */
    GstClockTime covered;                /* where the buffers and gaps so far end (or NONE) */
    GstClockTime gap_end;                /* where the last gap concealed ends (or NONE) */
    guint32 format;                      /* ZORAAC_S16 or ZORAAC_S32: of dec's output */
    guint32 output;                      /* ZORAAC_OUT_STEREO or _NATIVE: of dec's output */
    const gint8* order;                  /* native output: output channel i is the stream's order[i] (NULL: as is) */
    GstCaps* refused;                    /* the caps last refused: refused again without a second message */
    gboolean failed;                     /* the stream was refused: its buffers get GST_FLOW_EOS */
    gboolean new_stream;                 /* a stream starts: the next flush or buffer starts the decoder afresh */
    ZorLoas* loas;                       /* LOAS input: its reader (dec is opened by the frames' configs) */
    guint32 loas_config;                 /* the number of the reader's config dec was opened with */
    gboolean loas_played;                /* a block of the LOAS stream was given */
    gboolean loas_skip;                  /* units of loas_skipped, a config refused mid-stream, are skipped */
    guint32 loas_skipped;
    gint loas_waiting;                   /* input frames whose units the reader holds (a config in doubt) */
    gboolean stream_starting;            /* a stream started and no buffer of it came yet */
    gboolean stream_ending;              /* the drain under way ends a stream (not a discontinuity) */
};

G_DEFINE_TYPE(GstZorAacDec, gst_zoraacdec, GST_TYPE_AUDIO_DECODER)

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion = (int) { 2, 4 }, stream-format = (string) { adts, raw }; "
                    "audio/mpeg, mpegversion = (int) 4, stream-format = (string) loas, framed = (boolean) true"));

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) { " GST_AUDIO_NE(S16) ", " GST_AUDIO_NE(S32) " }, "
                    "layout = (string) interleaved, rate = (int) [ 8000, 96000 ], channels = (int) 2, "
                    "channel-mask = (bitmask) 0x3; "
                    "audio/x-raw, format = (string) { " GST_AUDIO_NE(S16) ", " GST_AUDIO_NE(S32) " }, "
                    "layout = (string) interleaved, rate = (int) [ 8000, 96000 ], channels = (int) [ 1, 8 ]"));

static void forget_frames(GstZorAacDec* self) {
    g_queue_clear(&self->owed);
    gst_buffer_replace(&self->gathered, NULL);
    self->gathered_bytes = 0;
    self->gathered_blocks = 0;
}

static void free_decoder(GstZorAacDec* self) {
    gint i;
    if (self->dec) zoraac_close(self->dec);
    self->dec = NULL;
    for (i = 0; i < self->blocks; ++i) g_free(self->mem[i]);
    memset(self->mem, 0, sizeof self->mem);
    memset(self->block, 0, sizeof self->block);
    self->blocks = 0;
    g_free(self->pcm);
    self->pcm = NULL;
    self->pcm_room = 0;
    self->block_samples = self->block_rate = 0;
    self->covered = self->gap_end = GST_CLOCK_TIME_NONE;
    if (self->config) g_bytes_unref(self->config);
    self->config = NULL;
    forget_frames(self);
}

/* A decoder for the params in blocks of our own; FALSE with an element error.
 * The params were accepted by zoraac_query_memory already. */
static gboolean build_decoder(GstZorAacDec* self, const zoraac_params* p, GBytes* config) {
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    gint n = zoraac_query_memory(p, rec), i;
    g_assert(n > 0);
    for (i = 0; i < n; ++i) {
        gsize align = rec[i].alignment ? rec[i].alignment : 1;
        self->mem[i] = g_malloc(rec[i].size + align - 1);
        self->block[i] = (gpointer)(((guintptr)self->mem[i] + align - 1) & ~(guintptr)(align - 1));
    }
    self->blocks = n;
    self->pcm_room = zoraac_frame_bytes(p);
    self->pcm = g_malloc(self->pcm_room);
    self->dec = zoraac_open(p, self->block);
    if (!self->dec) {
        free_decoder(self);
        GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("The AAC decoder could not be set up."), ("zoraac_open failed"));
        return FALSE;
    }
    self->transport = p->transport;
    self->output = p->output;
    /* Another sample format: the output caps are set anew. */
    if (self->format != p->format) self->out_rate = self->out_channels = 0;
    self->format = p->format;
    self->config = g_bytes_ref(config);
    return TRUE;
}

/* The layouts of the channel configurations, in GStreamer's channel order:
 * its positions, and which channel of the stream's element order each is. */
#define FL GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT
#define FR GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT
#define FC GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER
#define LFE GST_AUDIO_CHANNEL_POSITION_LFE1
#define RL GST_AUDIO_CHANNEL_POSITION_REAR_LEFT
#define RR GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT
#define RC GST_AUDIO_CHANNEL_POSITION_REAR_CENTER
#define FLC GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER
#define FRC GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER
static const struct {
    GstAudioChannelPosition position[8];
    gint8 from[8];
} layouts[8] = {
    {{GST_AUDIO_CHANNEL_POSITION_INVALID}, {0}},
    {{GST_AUDIO_CHANNEL_POSITION_MONO}, {0}},
    {{FL, FR}, {0, 1}},
    {{FL, FR, FC}, {1, 2, 0}},                          /* C L R */
    {{FL, FR, FC, RC}, {1, 2, 0, 3}},                   /* C L R Cs */
    {{FL, FR, FC, RL, RR}, {1, 2, 0, 3, 4}},            /* C L R Ls Rs */
    {{FL, FR, FC, LFE, RL, RR}, {1, 2, 0, 5, 3, 4}},    /* C L R Ls Rs LFE */
    {{FL, FR, FC, LFE, RL, RR, FLC, FRC}, {3, 4, 0, 7, 5, 6, 1, 2}}, /* C Lc Rc L R Ls Rs LFE */
};
#undef FL
#undef FR
#undef FC
#undef LFE
#undef RL
#undef RR
#undef RC
#undef FLC
#undef FRC

static gboolean set_output(GstZorAacDec* self, gint rate, gint channels) {
    GstAudioChannelPosition positions[8];
    GstAudioInfo info;
    zoraac_info stream;
    guint32 config;
    gint i;
    if (rate == self->out_rate && channels == self->out_channels) return TRUE;
    GST_DEBUG_OBJECT(self, "output %d Hz, %d channels", rate, channels);
    stream.size = sizeof stream;
    zoraac_get_info(self->dec, &stream);
    config = stream.channel_configuration;
    self->order = NULL;
    if (channels <= 2) {
        memcpy(positions, layouts[channels].position, sizeof positions);
    } else if (config >= 3 && config <= 7 && (config == 7 ? 8 : (gint)config) == channels) {
        memcpy(positions, layouts[config].position, sizeof positions);
        self->order = layouts[config].from;
    } else {
        /* A program's layout: the stream's own order, unpositioned. */
        for (i = 0; i < channels; ++i) positions[i] = GST_AUDIO_CHANNEL_POSITION_NONE;
    }
    gst_audio_info_init(&info);
    gst_audio_info_set_format(&info, self->format == ZORAAC_S32 ? GST_AUDIO_FORMAT_S32 : GST_AUDIO_FORMAT_S16, rate,
                              channels, positions);
    if (!gst_audio_decoder_set_output_format(GST_AUDIO_DECODER(self), &info)) return FALSE;
    self->out_rate = rate;
    self->out_channels = channels;
    return TRUE;
}

/* A native block in self->pcm from the stream's channel order to the
 * output's. */
static void reorder(GstZorAacDec* self, const zoraac_frame* f) {
    const gint n = (gint)f->channels;
    guint32 k;
    gint i;
    if (!self->order || n != self->out_channels) return;
    if (self->format == ZORAAC_S32) {
        gint32* s = (gint32*)self->pcm;
        gint32 frame[8];
        for (k = 0; k < f->samples; ++k, s += n) {
            for (i = 0; i < n; ++i) frame[i] = s[self->order[i]];
            memcpy(s, frame, (gsize)n * sizeof frame[0]);
        }
    } else {
        gint16* s = (gint16*)self->pcm;
        gint16 frame[8];
        for (k = 0; k < f->samples; ++k, s += n) {
            for (i = 0; i < n; ++i) frame[i] = s[self->order[i]];
            memcpy(s, frame, (gsize)n * sizeof frame[0]);
        }
    }
}

/* A block's length and rate, for the gaps after it. */
static void note_block(GstZorAacDec* self, const zoraac_frame* f) {
    self->block_samples = f->samples;
    self->block_rate = f->sample_rate;
}

/* The block in self->pcm as an output buffer, the output format set to it. */
static GstFlowReturn output_block(GstZorAacDec* self, const zoraac_frame* f, GstBuffer** out) {
    GstAudioDecoder* dec = GST_AUDIO_DECODER(self);
    *out = NULL;
    if (!set_output(self, (gint)f->sample_rate, (gint)f->channels)) return GST_FLOW_NOT_NEGOTIATED;
    note_block(self, f);
    reorder(self, f);
    *out = gst_audio_decoder_allocate_output_buffer(dec, f->bytes);
    if (!*out) return GST_FLOW_ERROR;
    gst_buffer_fill(*out, 0, self->pcm, f->bytes);
    return GST_FLOW_OK;
}

/* Blocks owed by the frames of a buffer of ADTS frames: each header says
 * how many raw data blocks its frame carries. A buffer without a header at
 * its start owes nothing. */
static guint blocks_in_buffer(const guint8* data, gsize size) {
    gsize pos = 0;
    guint blocks = 0;
    while (size - pos >= 7 && data[pos] == 0xFF && (data[pos + 1] & 0xF6) == 0xF0) {
        gsize length = (gsize)(data[pos + 3] & 3) << 11 | (gsize)data[pos + 4] << 3 | data[pos + 5] >> 5;
        blocks += (data[pos + 6] & 3u) + 1u;
        if (length < 7 || length > size - pos) break;
        pos += length;
    }
    return blocks;
}

/* Frames at the head of the queue that carry no block: the base class
 * lets go of them. */
static GstFlowReturn settle(GstZorAacDec* self) {
    GstFlowReturn ret = GST_FLOW_OK;
    while (ret == GST_FLOW_OK && !self->gathered_blocks && !g_queue_is_empty(&self->owed) &&
           g_queue_peek_head(&self->owed) == NULL) {
        g_queue_pop_head(&self->owed);
        ret = gst_audio_decoder_finish_frame(GST_AUDIO_DECODER(self), NULL, 1);
    }
    return ret;
}

/* The oldest frame is done: what its blocks gave goes out as one buffer
 * under its timestamp. */
static GstFlowReturn finish_oldest(GstZorAacDec* self) {
    GstBuffer* out = self->gathered;
    self->gathered = NULL;
    if (out) gst_buffer_set_size(out, (gssize)self->gathered_bytes);
    self->gathered_bytes = 0;
    self->gathered_blocks = 0;
    g_queue_pop_head(&self->owed);
    return gst_audio_decoder_finish_frame(GST_AUDIO_DECODER(self), out, 1);
}

/* Finishes the oldest frame while all its blocks came and a newer frame is
 * queued behind it. The newest frame stays open: blocks beyond what its
 * header counted (a damaged block count) still join it. */
static GstFlowReturn finish_complete(GstZorAacDec* self) {
    GstFlowReturn ret = settle(self);
    while (ret == GST_FLOW_OK && g_queue_get_length(&self->owed) > 1 &&
           self->gathered_blocks >= GPOINTER_TO_UINT(g_queue_peek_head(&self->owed))) {
        ret = finish_oldest(self);
        if (ret == GST_FLOW_OK) ret = settle(self);
    }
    return ret;
}

/* One block of a byte stream, in self->pcm (f NULL or f->bytes 0: a block
 * that gave no PCM), charged to the oldest queued frame still open. A
 * frame's blocks go out together, so they take its timestamp and duration. */
static GstFlowReturn give_block(GstZorAacDec* self, const zoraac_frame* f) {
    GstAudioDecoder* dec = GST_AUDIO_DECODER(self);
    gboolean pcm = f && f->bytes;
    GstFlowReturn ret = finish_complete(self);
    if (ret != GST_FLOW_OK) return ret;
    if (pcm && ((gint)f->sample_rate != self->out_rate || (gint)f->channels != self->out_channels)) {
        /* Another format: the PCM of the frame before goes out in its own. */
        if (self->gathered && (ret = finish_oldest(self)) != GST_FLOW_OK) return ret;
        if (!set_output(self, (gint)f->sample_rate, (gint)f->channels)) return GST_FLOW_NOT_NEGOTIATED;
        if ((ret = settle(self)) != GST_FLOW_OK) return ret;
    }
    if (g_queue_is_empty(&self->owed)) {
        /* (Only a frame let go by a format change leaves none: its block is
         * lost rather than pushed without a frame.) */
        GST_DEBUG_OBJECT(self, "a block without a queued frame");
        return GST_FLOW_OK;
    }
    if (pcm) {
        GstBuffer* block;
        note_block(self, f);
        reorder(self, f);
        block = gst_audio_decoder_allocate_output_buffer(dec, f->bytes);
        if (!block) return GST_FLOW_ERROR;
        gst_buffer_fill(block, 0, self->pcm, f->bytes);
        self->gathered = self->gathered ? gst_buffer_append(self->gathered, block) : block;
        self->gathered_bytes += f->bytes;
    }
    ++self->gathered_blocks;
    return finish_complete(self);
}

/* Decodes in[0 .. size - 1] (size 0: the end of a byte stream) until the
 * decoder needs more input, handing every block on. */
static GstFlowReturn decode_stream(GstZorAacDec* self, const guint8* in, gsize size) {
    GstFlowReturn ret = GST_FLOW_OK;
    gboolean end = size == 0;
    while (ret == GST_FLOW_OK && (end || size > 0)) {
        zoraac_frame f;
        size_t used = 0;
        int s = zoraac_decode(self->dec, in, size, &used, self->pcm, self->pcm_room, &f);
        in += used;
        size -= used;
        if (s == ZORAAC_NEED_MORE_INPUT) break;
        if (s == ZORAAC_ERR_UNSUPPORTED) {
            zoraac_info info;
            info.size = sizeof info;
            zoraac_get_info(self->dec, &info);
            GST_ELEMENT_ERROR(self, STREAM, CODEC_NOT_FOUND,
                              ("The decoder plays AAC-LC, HE-AAC and HE-AAC v2 with up to eight channels; the stream "
                               "has object type %u with %u channels.",
                               info.object_type, info.channels),
                              ("%s", zoraac_status_string(s)));
            /* Refused as at the caps (refuse): one message, the stream ends. */
            self->failed = TRUE;
            return GST_FLOW_EOS;
        }
        if (s < 0) {
            GST_ELEMENT_ERROR(self, STREAM, DECODE, ("The AAC decoder failed: %s.", zoraac_status_string(s)), (NULL));
            return GST_FLOW_ERROR;
        }
        if (s == ZORAAC_CONCEALED || s == ZORAAC_DROPPED) {
            GST_AUDIO_DECODER_ERROR(self, 1, STREAM, DECODE, (NULL), ("%s", zoraac_status_string(s)), ret);
            if (ret != GST_FLOW_OK) return ret;
        }
        ret = give_block(self, &f);
    }
    return ret;
}

/* One access unit, one block (or none, counted as an error). */
static GstFlowReturn decode_unit(GstZorAacDec* self, const guint8* in, gsize size) {
    GstAudioDecoder* dec = GST_AUDIO_DECODER(self);
    GstFlowReturn ret = GST_FLOW_OK;
    GstBuffer* out = NULL;
    zoraac_frame f;
    size_t used = 0;
    int s = zoraac_decode(self->dec, in, size, &used, self->pcm, self->pcm_room, &f);
    if (s < 0) {
        GST_ELEMENT_ERROR(self, STREAM, DECODE, ("The AAC decoder failed: %s.", zoraac_status_string(s)), (NULL));
        return GST_FLOW_ERROR;
    }
    if (s == ZORAAC_CONCEALED || !f.bytes) {
        GST_AUDIO_DECODER_ERROR(self, 1, STREAM, DECODE, (NULL),
                                ("an access unit of %" G_GSIZE_FORMAT " bytes: %s", size,
                                 f.bytes ? zoraac_status_string(s) : "no audio block"),
                                ret);
        if (ret != GST_FLOW_OK) return ret;
    }
    if (f.bytes) ret = output_block(self, &f, &out);
    if (ret != GST_FLOW_OK) return ret;
    return gst_audio_decoder_finish_frame(dec, out, 1);
}

static void choose_output(GstZorAacDec* self, zoraac_params* p, gint channels);
static void report_config(GstZorAacDec* self, int status, const guint8* asc, gsize size);

/* The memory the params need, native output given up for stereo where it
 * is refused (the compact arithmetic gives no layouts of more than two). */
static int query_memory(zoraac_params* p, zoraac_memrec* rec) {
    int status = zoraac_query_memory(p, rec);
    if (status < 0 && p->output == ZORAAC_OUT_NATIVE) {
        p->output = ZORAAC_OUT_STEREO;
        p->downmix = ZORAAC_DOWNMIX;
        status = zoraac_query_memory(p, rec);
    }
    return status;
}

/* A decoder for config number n of the LOAS reader; FALSE where the
 * decoder refuses the config: with an element error before the stream's
 * first block (the stream is refused), a warning after it (the stretch
 * under that config is skipped, as the byte-stream transport skips one).
 * The decoder before is kept till then. */
static gboolean open_loas_decoder(GstZorAacDec* self, guint32 n) {
    zoraac_params p;
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    AscInfo info;
    GBytes* config;
    size_t size;
    const guint8* asc = zor_loas_config(self->loas, n, &size);
    gboolean ok;
    int status;
    asc_parse(asc, size, &info);
    zoraac_params_init(&p);
    p.transport = ZORAAC_TRANSPORT_ASC;
    p.asc = asc;
    p.asc_size = (uint32_t)size;
    choose_output(self, &p, info.channels);
    status = query_memory(&p, rec);
    if (status < 0 && self->loas_played) {
        GST_ELEMENT_WARNING(self, STREAM, CODEC_NOT_FOUND,
                            ("The stream changes to a configuration the decoder does not play (object type %d with "
                             "%d channels); that stretch is skipped.",
                             (int)info.audio_object_type, (int)info.channels),
                            ("%s", zoraac_status_string(status)));
        return FALSE;
    }
    if (status < 0) {
        report_config(self, status, asc, size);
        return FALSE;
    }
    GST_DEBUG_OBJECT(self, "LOAS config %u: %d Hz, %d channels", n, (int)info.sampling_rate, (int)info.channels);
    free_decoder(self);
    config = g_bytes_new(asc, size);
    ok = build_decoder(self, &p, config);
    g_bytes_unref(config);
    self->loas_config = n;
    return ok;
}

/* A buffer of LOAS frames (none: the end of the stream, where the frames
 * held while a config was in doubt come out): the blocks of their units go
 * out as one buffer (a new output format, at a config change, first pushes
 * what came before it as a part of the frame), under the time of the
 * oldest input frame they stand for: a frame whose units the reader holds
 * waits for them. */
static GstFlowReturn decode_loas(GstZorAacDec* self, const guint8* data, gsize size) {
    GstAudioDecoder* dec = GST_AUDIO_DECODER(self);
    GstFlowReturn ret = GST_FLOW_OK;
    GstBuffer* out = NULL;
    gboolean parts = FALSE;
    const guint8* unit;
    size_t n;
    guint32 config;
    gint frames;
    if (size)
        zor_loas_push_frames(self->loas, data, size);
    else
        zor_loas_finish(self->loas);
    while (ret == GST_FLOW_OK && zor_loas_pop(self->loas, &unit, &n, &config)) {
        zoraac_frame f;
        size_t used = 0;
        int s;
        if (self->loas_skip && config == self->loas_skipped) continue;
        if (!self->dec || config != self->loas_config) {
            /* (A frame lost before its config's first block: nothing to
             * conceal from. The blocks gathered so far go out before a
             * block of another format, below.) */
            if (!n) continue;
            self->loas_skip = !open_loas_decoder(self, config);
            self->loas_skipped = config;
            if (self->loas_skip && (!self->loas_played || !self->dec)) {
                self->failed = TRUE;
                ret = GST_FLOW_EOS;
                break;
            }
            if (self->loas_skip) continue;
        }
        s = n ? zoraac_decode(self->dec, unit, n, &used, self->pcm, self->pcm_room, &f)
              : zoraac_conceal(self->dec, self->pcm, self->pcm_room, &f);
        if (s < 0) {
            GST_ELEMENT_ERROR(self, STREAM, DECODE, ("The AAC decoder failed: %s.", zoraac_status_string(s)), (NULL));
            ret = GST_FLOW_ERROR;
            break;
        }
        if (s == ZORAAC_CONCEALED || !f.bytes) {
            GST_AUDIO_DECODER_ERROR(self, 1, STREAM, DECODE, (NULL),
                                    ("a LOAS frame %s", n ? zoraac_status_string(s) : "lost to damage"), ret);
            if (ret != GST_FLOW_OK) break;
        }
        if (!f.bytes) continue;
        self->loas_played = TRUE;
        if ((gint)f.sample_rate != self->out_rate || (gint)f.channels != self->out_channels) {
            if (out) {
                ret = gst_audio_decoder_finish_subframe(dec, out);
                out = NULL;
                parts = TRUE;
                if (ret != GST_FLOW_OK) break;
            }
        }
        {
            GstBuffer* block = NULL;
            ret = output_block(self, &f, &block);
            if (block) out = out ? gst_buffer_append(out, block) : block;
        }
    }
    if (ret == GST_FLOW_OK && zor_loas_error(self->loas)) {
        GST_ELEMENT_ERROR(self, STREAM, DECODE, ("The LATM stream %s.", zor_loas_error(self->loas)), (NULL));
        self->failed = TRUE;
        ret = GST_FLOW_EOS;
    }
    if (ret != GST_FLOW_OK) {
        if (out) gst_buffer_unref(out);
        return ret;
    }
    if (!size) zor_loas_reset(self->loas); /* (bytes after the end are a new stream's) */
    if (size && !out && !parts && zor_loas_holding(self->loas)) {
        ++self->loas_waiting;
        return GST_FLOW_OK;
    }
    frames = self->loas_waiting + (size ? 1 : 0);
    self->loas_waiting = 0;
    if (!frames && !out && !parts) return GST_FLOW_OK;
    /* (Blocks held to the end of the stream, their frames finished with
     * nothing: a frame of their own.) */
    if (!frames) frames = 1;
    if (parts) {
        if (out) ret = gst_audio_decoder_finish_subframe(dec, out);
        return ret == GST_FLOW_OK ? gst_audio_decoder_finish_frame(dec, NULL, frames) : ret;
    }
    return gst_audio_decoder_finish_frame(dec, out, frames);
}

/* A block's length (0 before the first). */
static GstClockTime block_time(const GstZorAacDec* self) {
    if (!self->block_samples || !self->block_rate) return 0;
    return gst_util_uint64_scale_int(GST_SECOND, (gint)self->block_samples, (gint)self->block_rate);
}

/* A buffer's length: its duration, or without one (some depayloaders
 * leave it out) a block's. */
static GstClockTime span(const GstZorAacDec* self, GstBuffer* buffer) {
    const GstClockTime block = block_time(self);
    if (GST_BUFFER_DURATION_IS_VALID(buffer)) return GST_BUFFER_DURATION(buffer);
    return block ? block : GST_CLOCK_TIME_NONE;
}

/* Where a buffer's span ends, for the gaps after it; a unit more than
 * kGapBlocks blocks back starts the count again (the times jumped). */
#define kGapBlocks 64
static void cover(GstZorAacDec* self, GstBuffer* buffer, gboolean unit) {
    GstClockTime pts = GST_BUFFER_PTS(buffer), duration = span(self, buffer);
    if (!GST_CLOCK_TIME_IS_VALID(pts) || !GST_CLOCK_TIME_IS_VALID(duration) || !duration) return;
    if (!GST_CLOCK_TIME_IS_VALID(self->covered) || pts + duration > self->covered ||
        (unit && self->covered - pts > kGapBlocks * block_time(self)))
        self->covered = pts + duration;
}

/* A raw unit that starts half a block or more (up to kGapBlocks) before
 * where the last gap concealed ends: late, its time given to the gap. The
 * rest of a unit a gap stood for (rtpmp4gdepay pushes what came of a unit
 * split over several packets after the gap for the part lost), or a unit
 * the depayloader held while a later unit's gap passed it. (Units alone
 * are never late: times that jitter play as they come.) */
static gboolean late(const GstZorAacDec* self, GstBuffer* buffer) {
    GstClockTime pts = GST_BUFFER_PTS(buffer), block = block_time(self);
    return GST_CLOCK_TIME_IS_VALID(pts) && block && GST_CLOCK_TIME_IS_VALID(self->gap_end) && self->gap_end > pts &&
           self->gap_end - pts >= block / 2 && self->gap_end - pts <= kGapBlocks * block;
}

/* A gap (an empty buffer), its duration known: as many
 * concealed blocks as fit it, rounded to the nearest, at most kGapBlocks
 * (concealment is silence from its second block on; a longer gap is left
 * to the timestamps). A gap that starts within what came before is cut to
 * its new part: rtpmp4gdepay sends each lost packet's gap twice; one that
 * starts after it takes the hole between too. Before the first block, and
 * after a flush, the decoder has nothing to conceal from and gives
 * nothing. */
static GstFlowReturn conceal_gap(GstZorAacDec* self, GstBuffer* gap) {
    GstAudioDecoder* dec = GST_AUDIO_DECODER(self);
    GstFlowReturn ret = GST_FLOW_OK;
    GstBuffer* out = NULL;
    GstClockTime start = GST_BUFFER_PTS(gap), duration = GST_BUFFER_DURATION(gap);
    const GstClockTime block = block_time(self);
    guint64 blocks = 0, i;
    if (GST_CLOCK_TIME_IS_VALID(start) && GST_CLOCK_TIME_IS_VALID(duration) &&
        GST_CLOCK_TIME_IS_VALID(self->covered)) {
        if (self->covered > start) {
            duration = self->covered - start < duration ? duration - (self->covered - start) : 0;
        } else if (duration && start - self->covered <= kGapBlocks * block) {
            /* A hole before the gap: a unit the depayloader still holds
             * (it comes late, and is dropped) or one lost without a gap of
             * its own. The output has no other way to fill it. */
            duration += start - self->covered;
        }
    }
    cover(self, gap, FALSE);
    if (GST_CLOCK_TIME_IS_VALID(duration) && block) {
        blocks = (duration + block / 2) / block;
        if (blocks > kGapBlocks) blocks = kGapBlocks;
    }
    GST_DEBUG_OBJECT(self, "a gap of %" GST_TIME_FORMAT ": %" G_GUINT64_FORMAT " blocks concealed",
                     GST_TIME_ARGS(duration), blocks);
    for (i = 0; i < blocks && ret == GST_FLOW_OK; ++i) {
        zoraac_frame f;
        GstBuffer* piece = NULL;
        int s = zoraac_conceal(self->dec, self->pcm, self->pcm_room, &f);
        if (s < 0 || !f.bytes) break;
        ret = output_block(self, &f, &piece);
        if (piece) out = out ? gst_buffer_append(out, piece) : piece;
    }
    /* Units behind the gap are late only where it concealed something (a
     * gap before the first block, as an MP4 edit list's at the start,
     * takes no unit's time). */
    if (i && GST_CLOCK_TIME_IS_VALID(start) && GST_BUFFER_DURATION_IS_VALID(gap) &&
        (!GST_CLOCK_TIME_IS_VALID(self->gap_end) || start + GST_BUFFER_DURATION(gap) > self->gap_end))
        self->gap_end = start + GST_BUFFER_DURATION(gap);
    if (ret != GST_FLOW_OK) {
        if (out) gst_buffer_unref(out);
        return ret;
    }
    return gst_audio_decoder_finish_frame(dec, out, 1);
}

/* The end of a byte stream, or a discontinuity in it: the frames the
 * decoder still holds come out and queued frames that gave nothing are let
 * go. The decoder keeps its state: what follows a discontinuity (junk
 * skipped by the parser) is the same stream, whose next block overlaps the
 * last one; a seek starts afresh (gst_zoraacdec_flush). Raw access units
 * leave nothing behind. */
static GstFlowReturn drain(GstZorAacDec* self) {
    GstFlowReturn ret = GST_FLOW_OK;
    guint left;
    /* (A LOAS stream's reader finds its own way past a discontinuity: the
     * frames it holds wait for what follows.) */
    if (self->loas) return self->failed || !self->stream_ending ? GST_FLOW_OK : decode_loas(self, NULL, 0);
    if (!self->dec || self->transport != ZORAAC_TRANSPORT_AUTO) return GST_FLOW_OK;
    /* The library pushes the held frames out at the end of its input. */
    ret = decode_stream(self, NULL, 0);
    /* A frame whose blocks came in part gives what it has. */
    if (ret == GST_FLOW_OK && self->gathered_blocks) ret = finish_oldest(self);
    left = g_queue_get_length(&self->owed);
    forget_frames(self);
    if (left && ret == GST_FLOW_OK) {
        GST_DEBUG_OBJECT(self, "%u frames gave no block", left);
        ret = gst_audio_decoder_finish_frame(GST_AUDIO_DECODER(self), NULL, (gint)left);
    }
    return ret;
}

/* Gaps come to handle_frame as empty buffers where plc is set (the base
 * class clears the setting before each start). */
static gboolean gst_zoraacdec_start(GstAudioDecoder* dec) {
    gst_audio_decoder_set_plc_aware(dec, TRUE);
    return TRUE;
}

static void free_loas(GstZorAacDec* self) {
    if (self->loas) zor_loas_free(self->loas);
    self->loas = NULL;
}

static gboolean gst_zoraacdec_stop(GstAudioDecoder* dec) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    free_decoder(self);
    free_loas(self);
    gst_caps_replace(&self->refused, NULL);
    self->failed = FALSE;
    self->out_rate = self->out_channels = 0;
    return TRUE;
}

/* A refusal of the stream, its reason already posted as an error. The caps
 * are taken all the same, and the stream's buffers get GST_FLOW_EOS: the
 * error stays the one message the pipeline gets (caps refused would make
 * the upstream element post a not-negotiated error of its own), and the
 * stream's end goes no further (gst_zoraacdec_sink_event). Caps that come
 * again are refused without a second message; other caps are judged anew. */
static gboolean refuse(GstZorAacDec* self, GstCaps* caps) {
    if (self->dec) drain(self);
    free_decoder(self);
    free_loas(self);
    gst_caps_replace(&self->refused, caps);
    self->failed = TRUE;
    return TRUE;
}

/* Why the library refused an AudioSpecificConfig, in words. */
static void report_config(GstZorAacDec* self, int status, const guint8* asc, gsize size) {
    AscInfo info;
    int rc = asc_parse(asc, size, &info);
    if (status == ZORAAC_ERR_UNSUPPORTED && info.channel_configuration >= 0)
        GST_ELEMENT_ERROR(self, STREAM, CODEC_NOT_FOUND,
                          ("The decoder plays AAC-LC, HE-AAC and HE-AAC v2 (audio object types 2, 5 and 29) with up to "
                           "eight channels and 1024 samples a frame; the stream has object type %d with %d "
                           "channels%s.",
                           (int)info.audio_object_type, (int)info.channels,
                           info.frame_length_flag ? " and 960 samples a frame" : ""),
                          ("%s", zoraac_status_string(status)));
    else
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("The stream's AudioSpecificConfig (codec_data) is invalid: %s.",
                                                 rc != ASC_OK ? asc_error_text(rc) : zoraac_status_string(status)),
                          ("%s", zoraac_status_string(status)));
}

/* What downstream takes decides the decoder's output: the stream's own
 * channels (channels, from the caps; 0 unknown) only where it cannot take
 * stereo, S32 where the format it prefers is S32. */
static void choose_output(GstZorAacDec* self, zoraac_params* p, gint channels) {
    GstPad* src = GST_AUDIO_DECODER_SRC_PAD(self);
    GstCaps* tmpl = gst_pad_get_pad_template_caps(src);
    GstCaps* peer = gst_pad_peer_query_caps(src, tmpl);
    GstCaps *stereo, *own, *first;
    const gchar* format;
    gst_caps_unref(tmpl);
    p->output = ZORAAC_OUT_STEREO;
    p->format = ZORAAC_S16;
    if (!peer || gst_caps_is_empty(peer)) {
        if (peer) gst_caps_unref(peer);
        return;
    }
    stereo = gst_caps_new_simple("audio/x-raw", "channels", G_TYPE_INT, 2, NULL);
    own = gst_caps_new_simple("audio/x-raw", "channels", G_TYPE_INT, channels, NULL);
    if (channels >= 1 && channels <= 8 && channels != 2 && !gst_caps_can_intersect(peer, stereo) &&
        gst_caps_can_intersect(peer, own)) {
        p->output = ZORAAC_OUT_NATIVE;
        if (channels > 2) p->downmix = ZORAAC_NO_DOWNMIX;
        first = gst_caps_intersect(peer, own);
    } else {
        first = gst_caps_intersect(peer, stereo);
    }
    first = gst_caps_fixate(first);
    format = gst_caps_is_empty(first) ? NULL : gst_structure_get_string(gst_caps_get_structure(first, 0), "format");
    if (format && strcmp(format, GST_AUDIO_NE(S32)) == 0) p->format = ZORAAC_S32;
    GST_DEBUG_OBJECT(self, "downstream takes %" GST_PTR_FORMAT ": %s, %s", peer,
                     p->output == ZORAAC_OUT_NATIVE ? "native" : "stereo", p->format == ZORAAC_S32 ? "S32" : "S16");
    gst_caps_unref(first);
    gst_caps_unref(own);
    gst_caps_unref(stereo);
    gst_caps_unref(peer);
}

static gboolean gst_zoraacdec_set_format(GstAudioDecoder* dec, GstCaps* caps) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    GstStructure* s = gst_caps_get_structure(caps, 0);
    const GValue* codec_data = gst_structure_get_value(s, "codec_data");
    gboolean raw = g_strcmp0(gst_structure_get_string(s, "stream-format"), "raw") == 0;
    gboolean loas = g_strcmp0(gst_structure_get_string(s, "stream-format"), "loas") == 0;
    const gchar* profile = gst_structure_get_string(s, "profile");
    gint rate = 0, channels = 0;
    GstMapInfo map = GST_MAP_INFO_INIT;
    GstBuffer* asc = NULL;
    GBytes* config;
    zoraac_params p;
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    gboolean same, ok;
    int status;

    if (self->refused && gst_caps_is_equal(caps, self->refused)) return TRUE;
    gst_structure_get_int(s, "rate", &rate);
    gst_structure_get_int(s, "channels", &channels);
    zoraac_params_init(&p);
    if (self->loas && (loas || (!raw && !self->stream_starting))) {
        /* Within a LOAS stream its configs rule: new caps from the parser
         * at a config change keep the reader, which follows it, and so do
         * caps of ADTS that aacparse sends for a damaged frame it takes for
         * one (the stream goes on as LOAS; another stream starts first). */
        gst_caps_replace(&self->refused, NULL);
        return TRUE;
    }
    if (!raw && !loas && self->dec && self->transport == ZORAAC_TRANSPORT_AUTO) {
        /* Within an ADTS stream the headers rule: new caps from the parser
         * (a damaged header, or another stream spliced on) keep the
         * decoder, which judges each frame itself. */
        gst_caps_replace(&self->refused, NULL);
        return TRUE;
    }
    if (!raw) {
        /* The stream's own headers configure the decoder; the caps only
         * refuse early what it would refuse at the first frame. */
        /* Up to eight play, more than two as a stereo downmix (the exact
         * arithmetic; the compact one refuses them at the first frame). */
        if (channels > 8) {
            GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                              ("The decoder plays up to eight channels; the stream has %d channels.", channels),
                              (NULL));
            return refuse(self, caps);
        }
        if (profile && strcmp(profile, "lc") != 0 && !loas) {
            GST_ELEMENT_ERROR(self, STREAM, CODEC_NOT_FOUND,
                              ("The decoder plays AAC-LC; the stream's profile is %s.", profile), (NULL));
            return refuse(self, caps);
        }
        if (rate && asc_rate_index((guint32)rate) < 0) {
            GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                              ("The decoder plays the twelve AAC rates; the stream has %d Hz.", rate), (NULL));
            return refuse(self, caps);
        }
    }
    if (loas) {
        /* The frames' configs open the decoder. */
        if (self->dec) drain(self);
        free_decoder(self);
        self->loas = zor_loas_new();
        if (!self->loas) return FALSE;
        self->loas_played = self->loas_skip = FALSE;
        self->loas_waiting = 0;
        gst_caps_replace(&self->refused, NULL);
        self->failed = FALSE;
        GST_DEBUG_OBJECT(self, "LOAS stream");
        return TRUE;
    }
    if (!raw) {
        p.transport = ZORAAC_TRANSPORT_AUTO;
        /* An HE-AAC layout of more channels plays with each channel's SBR
         * (a low-frequency channel has none). */
        if (channels > 2) p.sbr_channels = (uint32_t)(channels == 6 || channels == 8 ? channels - 1 : channels);
        config = g_bytes_new(NULL, 0);
    } else if (codec_data && G_VALUE_HOLDS(codec_data, GST_TYPE_BUFFER)) {
        asc = gst_value_get_buffer(codec_data);
        if (!gst_buffer_map(asc, &map, GST_MAP_READ)) return FALSE;
        p.transport = ZORAAC_TRANSPORT_ASC;
        p.asc = map.data;
        p.asc_size = (uint32_t)map.size;
        config = g_bytes_new(map.data, map.size);
    } else {
        guint32 pair[2] = {(guint32)rate, (guint32)channels};
        p.transport = ZORAAC_TRANSPORT_RAW;
        p.sample_rate = pair[0];
        p.channels = pair[1];
        config = g_bytes_new(pair, sizeof pair);
    }

    choose_output(self, &p, channels);
    status = query_memory(&p, rec);
    if (status < 0) {
        if (p.transport == ZORAAC_TRANSPORT_ASC)
            report_config(self, status, map.data, map.size);
        else
            GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                              ("The decoder plays raw AAC at one of the twelve AAC rates with one to eight channels "
                               "(or codec_data); the caps give %d Hz and %d channels.",
                               rate, channels),
                              ("%s", zoraac_status_string(status)));
        if (asc) gst_buffer_unmap(asc, &map);
        g_bytes_unref(config);
        return refuse(self, caps);
    }

    /* New caps on the same configuration (a new track through concat, say)
     * keep the decoder (the new track's stream-start has started it
     * afresh); another configuration first pushes out what the old one
     * holds. */
    same = self->dec && self->transport == p.transport && self->output == p.output && self->format == p.format &&
           g_bytes_equal(self->config, config);
    ok = TRUE;
    if (!same) {
        if (self->dec) drain(self);
        free_decoder(self);
        free_loas(self);
        ok = build_decoder(self, &p, config);
    }
    if (asc) gst_buffer_unmap(asc, &map);
    g_bytes_unref(config);
    if (!ok) return refuse(self, caps);
    gst_caps_replace(&self->refused, NULL);
    self->failed = FALSE;
    GST_DEBUG_OBJECT(self, "%s stream%s", raw ? (asc ? "raw (codec_data)" : "raw") : "ADTS",
                     same ? ", decoder kept" : "");
    return TRUE;
}

static GstFlowReturn gst_zoraacdec_handle_frame(GstAudioDecoder* dec, GstBuffer* buffer) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    GstFlowReturn ret;
    GstMapInfo in;

    if (!buffer) return drain(self);
    if (self->failed) return GST_FLOW_EOS;
    if (!self->dec && !self->loas) return GST_FLOW_NOT_NEGOTIATED;
    self->stream_starting = FALSE;
    if (self->new_stream) {
        /* A stream starts with nothing before it to drain (the base class
         * then flushes nothing): it starts afresh here, and the first
         * discontinuity in it keeps the decoder. */
        if (self->dec) zoraac_flush(self->dec);
        if (self->loas) zor_loas_reset(self->loas);
        self->new_stream = FALSE;
        self->covered = self->gap_end = GST_CLOCK_TIME_NONE;
    }
    GST_LOG_OBJECT(self, "buffer of %" G_GSIZE_FORMAT " bytes at %" GST_TIME_FORMAT ", %" GST_TIME_FORMAT
                   " (covered to %" GST_TIME_FORMAT ")",
                   gst_buffer_get_size(buffer), GST_TIME_ARGS(GST_BUFFER_PTS(buffer)),
                   GST_TIME_ARGS(GST_BUFFER_DURATION(buffer)), GST_TIME_ARGS(self->covered));
    /* Finishing a frame may release its buffer, this one included: it
     * stays ours until we are done reading it. */
    gst_buffer_ref(buffer);
    if (!gst_buffer_map(buffer, &in, GST_MAP_READ)) {
        gst_buffer_unref(buffer);
        return GST_FLOW_ERROR;
    }
    if (self->loas && in.size == 0) {
        /* A gap, as in raw input (nothing before the first block). */
        ret = self->dec ? conceal_gap(self, buffer) : gst_audio_decoder_finish_frame(dec, NULL, 1);
    } else if (self->loas) {
        cover(self, buffer, TRUE);
        ret = decode_loas(self, in.data, in.size);
    } else if (self->transport == ZORAAC_TRANSPORT_AUTO && in.size == 0) {
        /* A gap: the frames held come out first (the decoder holds one
         * back until the next header), then the gap's blocks. */
        ret = drain(self);
        if (ret == GST_FLOW_OK) ret = conceal_gap(self, buffer);
    } else if (self->transport == ZORAAC_TRANSPORT_AUTO) {
        guint blocks = blocks_in_buffer(in.data, in.size);
        cover(self, buffer, TRUE);
        g_queue_push_tail(&self->owed, GUINT_TO_POINTER(blocks));
        ret = decode_stream(self, in.data, in.size);
        if (ret == GST_FLOW_OK) ret = finish_complete(self);
    } else if (in.size == 0) {
        ret = conceal_gap(self, buffer);
    } else if (late(self, buffer)) {
        GST_DEBUG_OBJECT(self, "a unit of %" G_GSIZE_FORMAT " bytes at %" GST_TIME_FORMAT " comes late: dropped",
                         in.size, GST_TIME_ARGS(GST_BUFFER_PTS(buffer)));
        ret = gst_audio_decoder_finish_frame(dec, NULL, 1);
    } else {
        cover(self, buffer, TRUE);
        ret = decode_unit(self, in.data, in.size);
    }
    gst_buffer_unmap(buffer, &in);
    gst_buffer_unref(buffer);
    return ret;
}

/* A seek (hard) or a new stream: the decoder forgets the stream's position
 * and what it holds, and so do the queued frames. A discontinuity within a
 * stream (soft) lets the queued frames go and keeps the decoder: resetting
 * it there played the block after any junk without the block before it. */
static void gst_zoraacdec_flush(GstAudioDecoder* dec, gboolean hard) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    GST_DEBUG_OBJECT(self, "flush (%s%s), %u frames queued", hard ? "hard" : "soft",
                     self->new_stream ? ", a new stream" : "", g_queue_get_length(&self->owed));
    forget_frames(self);
    self->loas_waiting = 0;
    /* (A discontinuity keeps the timeline: a gap's late units come behind
     * one.) */
    if (hard || self->new_stream) self->covered = self->gap_end = GST_CLOCK_TIME_NONE;
    if ((hard || self->new_stream) && self->dec) zoraac_flush(self->dec);
    if ((hard || self->new_stream) && self->loas) zor_loas_reset(self->loas);
    self->new_stream = FALSE;
}

/* A refused stream ends in its error: its end-of-stream goes no further.
 * Passed on, it would preroll the sink of a pipeline that is failing, and
 * an application waiting for the pipeline to preroll or fail (gst-launch-1.0
 * among them) could see both and wait for ever. */
static gboolean gst_zoraacdec_sink_event(GstAudioDecoder* dec, GstEvent* event) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    /* (The base class drains and flushes on it, softly.) */
    if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) self->new_stream = self->stream_starting = TRUE;
    self->stream_ending = GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START || GST_EVENT_TYPE(event) == GST_EVENT_EOS;
    if (GST_EVENT_TYPE(event) == GST_EVENT_EOS && self->failed) {
        GST_DEBUG_OBJECT(self, "end of a refused stream: not passed on");
        gst_event_unref(event);
        return TRUE;
    }
    {
        gboolean handled = GST_AUDIO_DECODER_CLASS(gst_zoraacdec_parent_class)->sink_event(dec, event);
        self->stream_ending = FALSE;
        return handled;
    }
}

/* The sink caps are the template's: the base class would otherwise carry
 * the output's channels=2 upstream and refuse mono streams. */
static GstCaps* gst_zoraacdec_getcaps(GstAudioDecoder* dec, GstCaps* filter) {
    GstCaps* caps = gst_pad_get_pad_template_caps(GST_AUDIO_DECODER_SINK_PAD(dec));
    if (filter) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

static void gst_zoraacdec_finalize(GObject* object) {
    GstZorAacDec* self = GST_ZORAACDEC(object);
    free_decoder(self);
    free_loas(self);
    gst_caps_replace(&self->refused, NULL);
    G_OBJECT_CLASS(gst_zoraacdec_parent_class)->finalize(object);
}

static void gst_zoraacdec_class_init(GstZorAacDecClass* klass) {
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstAudioDecoderClass* base_class = GST_AUDIO_DECODER_CLASS(klass);
    object_class->finalize = gst_zoraacdec_finalize;
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "AAC audio decoder (zoraac)", "Codec/Decoder/Audio",
                                          "Decodes AAC-LC, HE-AAC and HE-AAC v2 (ADTS, LOAS or raw with codec_data), "
                                          "up to eight channels, with the fixed-point zoraac decoder",
                                          "zoraac developers");
    base_class->start = GST_DEBUG_FUNCPTR(gst_zoraacdec_start);
    base_class->stop = GST_DEBUG_FUNCPTR(gst_zoraacdec_stop);
    base_class->set_format = GST_DEBUG_FUNCPTR(gst_zoraacdec_set_format);
    base_class->handle_frame = GST_DEBUG_FUNCPTR(gst_zoraacdec_handle_frame);
    base_class->flush = GST_DEBUG_FUNCPTR(gst_zoraacdec_flush);
    base_class->getcaps = GST_DEBUG_FUNCPTR(gst_zoraacdec_getcaps);
    base_class->sink_event = GST_DEBUG_FUNCPTR(gst_zoraacdec_sink_event);
}

static void gst_zoraacdec_init(GstZorAacDec* self) {
    g_queue_init(&self->owed);
    self->covered = self->gap_end = GST_CLOCK_TIME_NONE;
    gst_audio_decoder_set_drainable(GST_AUDIO_DECODER(self), TRUE);
    gst_audio_decoder_set_needs_format(GST_AUDIO_DECODER(self), TRUE);
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(zoraacdec_debug, "zoraacdec", 0, "zoraac AAC decoder");
    /* Primary, one above: decodebin and playbin pick it ahead of any other
     * AAC decoder (at the same rank the name would decide). */
    return gst_element_register(plugin, "zoraacdec", GST_RANK_PRIMARY + 1, GST_TYPE_ZORAACDEC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zoraac, "AAC decoder on the zoraac library", plugin_init,
                  ZORAAC_PACKAGE_VERSION, "BSD", "zoraac", "zoraac")
