/* zoraacdec: a GstAudioDecoder on the AAC decode plug-in.
 *
 * The plug-in runs in frame mode behind a parser (aacparse): every input
 * buffer is one ADTS frame or one raw access unit and gives one block of
 * 1024 stereo S16LE sample frames. A flush (seek) re-initialises the
 * plug-in. The decoder instance is process-wide, so one zoraacdec at a time
 * decodes; a second one fails with a clear "busy" error.
 */
#include <gst/audio/audio.h>
#include <gst/audio/gstaudiodecoder.h>
#include <gst/gst.h>
#include <string.h>

#include <zoraac.h>

#include "dec/asc.h"

GST_DEBUG_CATEGORY_STATIC(zoraacdec_debug);
#define GST_CAT_DEFAULT zoraacdec_debug

#define GST_TYPE_ZORAACDEC (gst_zoraacdec_get_type())
G_DECLARE_FINAL_TYPE(GstZorAacDec, gst_zoraacdec, GST, ZORAACDEC, GstAudioDecoder)

struct _GstZorAacDec {
    GstAudioDecoder parent;
    const AACPlugin* plugin;
    ZorStreamInfo info; /* what the plug-in was initialised with */
    gboolean live;      /* the plug-in holds a decoder for this element */
    gint out_rate;      /* rate of the negotiated output, 0 before */
};

G_DEFINE_TYPE(GstZorAacDec, gst_zoraacdec, GST_TYPE_AUDIO_DECODER)

/* The element that holds the process's one decoder. */
G_LOCK_DEFINE_STATIC(owner_lock);
static GstZorAacDec* owner = NULL;

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion = (int) { 2, 4 }, stream-format = (string) { adts, raw }"));

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) [ 8000, 96000 ], channels = (int) 2, channel-mask = (bitmask) 0x3"));

static gboolean claim(GstZorAacDec* self) {
    gboolean ok;
    G_LOCK(owner_lock);
    ok = owner == NULL || owner == self;
    if (ok) owner = self;
    G_UNLOCK(owner_lock);
    return ok;
}

static void release(GstZorAacDec* self) {
    if (self->live) self->plugin->finish();
    self->live = FALSE;
    G_LOCK(owner_lock);
    if (owner == self) owner = NULL;
    G_UNLOCK(owner_lock);
}

/* (Re)creates the decoder from self->info; FALSE with an element error. */
static gboolean open_decoder(GstZorAacDec* self) {
    if (!claim(self)) {
        GST_ELEMENT_ERROR(self, RESOURCE, BUSY,
                          ("The AAC decoder plays one stream per process and another zoraacdec element is using it."),
                          ("the decoder instance is process-wide"));
        return FALSE;
    }
    if (self->live) self->plugin->finish();
    self->live = self->plugin->init(&self->info) == 0;
    if (!self->live) {
        GST_ELEMENT_ERROR(self, RESOURCE, BUSY,
                          ("The AAC decode plug-in refused the stream; another decoder in this process may be using it."),
                          ("init failed at %u Hz", self->info.sampleRate));
        release(self);
    }
    return self->live;
}

static gboolean gst_zoraacdec_stop(GstAudioDecoder* dec) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    release(self);
    self->out_rate = 0;
    return TRUE;
}

/* codec_data, the AudioSpecificConfig (codec/dec/asc.h): its first object
 * type, its rate, and its channel count unless a program config element
 * gives the channels (configuration 0: the caps' count stays). Shorter than
 * two bytes it is ignored. FALSE, with an element error, when it has no
 * readable header or describes AAC-LC wrongly; a config cut short behind its
 * header gives the header's fields. */
static gboolean read_codec_data(GstZorAacDec* self, GstBuffer* codec_data, guint* object_type, gint* rate,
                                gint* channels) {
    GstMapInfo map;
    AscInfo asc;
    int rc;
    if (!gst_buffer_map(codec_data, &map, GST_MAP_READ)) return TRUE;
    if (map.size < 2) {
        gst_buffer_unmap(codec_data, &map);
        return TRUE;
    }
    rc = asc_parse(map.data, map.size, &asc);
    gst_buffer_unmap(codec_data, &map);
    if (asc.channel_configuration < 0) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("The stream's codec_data is not an AudioSpecificConfig: %s.",
                                                 asc_error_text(rc)), (NULL));
        return FALSE;
    }
    *object_type = (guint)asc.signalled_object_type;
    *rate = (gint)asc.sampling_rate;
    if (asc.channel_configuration != 0) *channels = asc.channels;
    if (rc != ASC_OK && rc != ASC_ERR_TRUNCATED && *object_type == 2) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("The stream's AudioSpecificConfig is invalid: %s.", asc_error_text(rc)),
                          (NULL));
        return FALSE;
    }
    return TRUE;
}

static gboolean gst_zoraacdec_set_format(GstAudioDecoder* dec, GstCaps* caps) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    GstStructure* s = gst_caps_get_structure(caps, 0);
    const gchar* format = gst_structure_get_string(s, "stream-format");
    const GValue* codec_data = gst_structure_get_value(s, "codec_data");
    gboolean raw = g_strcmp0(format, "raw") == 0;
    gint rate = 0, channels = 0;
    guint object_type = 2;

    gst_structure_get_int(s, "rate", &rate);
    gst_structure_get_int(s, "channels", &channels);
    if (raw && codec_data && G_VALUE_HOLDS(codec_data, GST_TYPE_BUFFER) &&
        !read_codec_data(self, gst_value_get_buffer(codec_data), &object_type, &rate, &channels))
        return FALSE;
    if (object_type != 2) {
        GST_ELEMENT_ERROR(self, STREAM, CODEC_NOT_FOUND,
                          ("The decoder plays AAC-LC (audio object type 2); the stream has object type %u.", object_type),
                          (NULL));
        return FALSE;
    }
    if (channels > 2) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("The decoder plays one or two front channels; the stream has %d channels.", channels), (NULL));
        return FALSE;
    }
    if (asc_rate_index((guint32)rate) < 0) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("The decoder plays the twelve AAC rates; the stream has %d Hz.", rate),
                          (NULL));
        return FALSE;
    }
    self->info.version = ZOR_STREAM_INFO_VERSION;
    self->info.channels = (guint32)channels;
    self->info.sampleRate = (guint32)rate;
    self->info.bitRate = 0;
    self->info.flags = raw ? ZOR_STREAM_RAW : 0u; /* frame mode: the parser hands over whole frames */
    GST_DEBUG_OBJECT(self, "%s stream, %d Hz, %d channels", raw ? "raw" : "ADTS", rate, channels);
    return open_decoder(self);
}

static gboolean set_output_rate(GstZorAacDec* self, gint rate) {
    static const GstAudioChannelPosition stereo[2] = {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT,
                                                      GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT};
    GstAudioInfo info;
    gst_audio_info_init(&info);
    gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16LE, rate, 2, stereo);
    if (!gst_audio_decoder_set_output_format(GST_AUDIO_DECODER(self), &info)) return FALSE;
    self->out_rate = rate;
    return TRUE;
}

static GstFlowReturn gst_zoraacdec_handle_frame(GstAudioDecoder* dec, GstBuffer* buffer) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    GstFlowReturn ret = GST_FLOW_OK;
    GstMapInfo in, out;
    GstBuffer* outbuf;
    ZorBuffer ib, ob;
    int got;

    if (!buffer) return GST_FLOW_OK; /* drain: frame mode holds nothing back */
    if (!self->live) return GST_FLOW_NOT_NEGOTIATED;
    if (!gst_buffer_map(buffer, &in, GST_MAP_READ)) return GST_FLOW_ERROR;
    outbuf = gst_audio_decoder_allocate_output_buffer(dec, ZORAAC_BLOCK_BYTES);
    if (!outbuf || !gst_buffer_map(outbuf, &out, GST_MAP_WRITE)) {
        gst_buffer_unmap(buffer, &in);
        if (outbuf) gst_buffer_unref(outbuf);
        return GST_FLOW_ERROR;
    }
    memset(&ib, 0, sizeof ib);
    memset(&ob, 0, sizeof ob);
    ib.data = in.data;
    ib.size = in.size <= ZORAAC_MAX_FRAME_BYTES ? (uint32_t)in.size : 0u; /* longer than any frame the plug-in takes */
    ob.data = out.data;
    ob.size = ZORAAC_BLOCK_BYTES; /* frame mode: at most one block per call */
    got = ib.size ? self->plugin->decode(&ib, &ob) : 0;
    gst_buffer_unmap(outbuf, &out);
    gst_buffer_unmap(buffer, &in);

    if (got != (int)ZORAAC_BLOCK_BYTES) {
        gst_buffer_unref(outbuf);
        GST_AUDIO_DECODER_ERROR(self, 1, STREAM, DECODE, (NULL),
                                ("a frame of %" G_GSIZE_FORMAT " bytes gave no audio block", gst_buffer_get_size(buffer)),
                                ret);
        if (ret == GST_FLOW_OK) ret = gst_audio_decoder_finish_frame(dec, NULL, 1);
        return ret;
    }
    if ((gint)ob.sampleRate != self->out_rate && !set_output_rate(self, (gint)ob.sampleRate)) {
        gst_buffer_unref(outbuf);
        return GST_FLOW_NOT_NEGOTIATED;
    }
    return gst_audio_decoder_finish_frame(dec, outbuf, 1);
}

/* A flush (seek) starts the decoder afresh: re-initialisation is the
 * plug-in's only reset. */
static void gst_zoraacdec_flush(GstAudioDecoder* dec, gboolean hard) {
    GstZorAacDec* self = GST_ZORAACDEC(dec);
    (void)hard;
    if (self->live) open_decoder(self);
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

static void gst_zoraacdec_class_init(GstZorAacDecClass* klass) {
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstAudioDecoderClass* base_class = GST_AUDIO_DECODER_CLASS(klass);
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "AAC-LC audio decoder (zoraac)", "Codec/Decoder/Audio",
                                          "Decodes AAC-LC (ADTS or raw with codec_data) with the fixed-point "
                                          "zoraac plug-in; one instance per process",
                                          "zoraac developers");
    base_class->stop = GST_DEBUG_FUNCPTR(gst_zoraacdec_stop);
    base_class->set_format = GST_DEBUG_FUNCPTR(gst_zoraacdec_set_format);
    base_class->handle_frame = GST_DEBUG_FUNCPTR(gst_zoraacdec_handle_frame);
    base_class->flush = GST_DEBUG_FUNCPTR(gst_zoraacdec_flush);
    base_class->getcaps = GST_DEBUG_FUNCPTR(gst_zoraacdec_getcaps);
}

static void gst_zoraacdec_init(GstZorAacDec* self) {
    self->plugin = GetZorAudioDecodePlugin();
    gst_audio_decoder_set_drainable(GST_AUDIO_DECODER(self), TRUE);
    gst_audio_decoder_set_needs_format(GST_AUDIO_DECODER(self), TRUE);
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(zoraacdec_debug, "zoraacdec", 0, "zoraac AAC-LC decoder");
    /* Marginal: picked by autoplugging only when no other AAC decoder is there. */
    return gst_element_register(plugin, "zoraacdec", GST_RANK_MARGINAL, GST_TYPE_ZORAACDEC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zoraac, "AAC-LC decoder on the zoraac plug-in", plugin_init,
                  ZORAAC_PACKAGE_VERSION, "BSD", "zoraac", "zoraac")
