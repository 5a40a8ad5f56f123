/* Units lost on the way, reported as a GAP event, through zoraacdec with
 * plc=true: an .m4a's access units behind qtdemux, units FIRST to
 * FIRST + COUNT - 1 replaced by a GAP event of their duration, sent twice
 * as an RTP depayloader does. The output
 * keeps the clean decode's length, the gap holds COUNT concealed blocks
 * (not silence: the first fades the last good block), and the PCM before
 * the gap and from the second buffer after it is the clean decode's, byte
 * for byte. Without plc the gap is passed on and the output is COUNT
 * blocks short. With PARSER aacparse, an ADTS stream's frames the same
 * (the decoder gives out the frame it holds back before the gap's blocks).
 * usage: gap_check STREAM EXPECTED.pcm FIRST COUNT [PARSER]
 * (FIRST and COUNT from 1; PARSER qtdemux unless given) */
#include <gst/gst.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    GByteArray* pcm;
    GArray* ends; /* where each output buffer ends in pcm */
    guint units, first, count;
} Run;

static void on_handoff(GstElement* sink, GstBuffer* buffer, GstPad* pad, gpointer data) {
    Run* run = data;
    GstMapInfo map;
    guint end;
    (void)sink, (void)pad;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    g_byte_array_append(run->pcm, map.data, (guint)map.size);
    gst_buffer_unmap(buffer, &map);
    end = run->pcm->len;
    g_array_append_val(run->ends, end);
}

/* The lost units go; the first of them leaves a GAP event of all their
 * durations in its place, twice (rtpmp4gdepay sends each one twice). */
static GstPadProbeReturn on_unit(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    Run* run = data;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    guint unit = run->units++;
    if (unit < run->first || unit >= run->first + run->count) return GST_PAD_PROBE_OK;
    if (unit == run->first)
        for (int i = 0; i < 2; ++i)
            gst_pad_send_event(pad,
                               gst_event_new_gap(GST_BUFFER_PTS(buffer), run->count * GST_BUFFER_DURATION(buffer)));
    return GST_PAD_PROBE_DROP;
}

static int play(const char* stream, const char* parser, gboolean plc, Run* run) {
    gchar* desc = g_strdup_printf("filesrc location=\"%s\" ! %s ! zoraacdec name=dec plc=%s ! "
                                  "fakesink name=sink signal-handoffs=true sync=false",
                                  stream, parser, plc ? "true" : "false");
    GstElement* pipeline = gst_parse_launch(desc, NULL);
    GstElement *sink, *dec;
    GstPad* pad;
    GstMessage* msg;
    int rc = 0;
    g_free(desc);
    if (!pipeline) return 1;
    sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    dec = gst_bin_get_by_name(GST_BIN(pipeline), "dec");
    g_signal_connect(sink, "handoff", G_CALLBACK(on_handoff), run);
    pad = gst_element_get_static_pad(dec, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, on_unit, run, NULL);
    gst_object_unref(pad);
    gst_object_unref(dec);
    gst_object_unref(sink);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    msg = gst_bus_timed_pop_filtered(GST_ELEMENT_BUS(pipeline), 60 * GST_SECOND, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    if (!msg || GST_MESSAGE_TYPE(msg) != GST_MESSAGE_EOS) rc = 1;
    if (msg) gst_message_unref(msg);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return rc;
}

static int fail(const char* what) {
    fprintf(stderr, "gap_check: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    gchar* want = NULL;
    gsize want_size = 0, before, after, i, loud = 0, block;
    Run run = {0}, plain = {0};
    gst_init(&argc, &argv);
    const char* parser = argc == 6 ? argv[5] : "qtdemux";
    if (argc != 5 && argc != 6) return fail("usage: gap_check STREAM EXPECTED.pcm FIRST COUNT [PARSER]");
    if (!g_file_get_contents(argv[2], &want, &want_size, NULL)) return fail("cannot read the expected PCM");
    run.first = plain.first = (guint)atoi(argv[3]);
    run.count = plain.count = (guint)atoi(argv[4]);
    if (run.first < 1 || run.count < 1) return fail("FIRST and COUNT from 1: a good block before the gap");
    run.pcm = g_byte_array_new(), plain.pcm = g_byte_array_new();
    run.ends = g_array_new(FALSE, FALSE, sizeof(guint)), plain.ends = g_array_new(FALSE, FALSE, sizeof(guint));
    if (play(argv[1], parser, TRUE, &run) || play(argv[1], parser, FALSE, &plain)) return fail("a pipeline failed");
    if (run.ends->len < run.first + 2) return fail("too few output buffers");
    /* Output buffer `first` is the gap's; the one after it overlaps the
     * concealment. */
    before = g_array_index(run.ends, guint, run.first - 1);
    after = g_array_index(run.ends, guint, run.first + 1);
    block = g_array_index(run.ends, guint, run.first) - before;
    for (i = before; i < before + block / run.count; i += 2)
        if (abs(*(gint16*)(run.pcm->data + i)) > 64) ++loud;
    printf("gap_check: %u bytes, %" G_GSIZE_FORMAT " expected; the gap %" G_GSIZE_FORMAT " bytes, %" G_GSIZE_FORMAT
           " samples of its first block above 64; without plc %u bytes\n",
           run.pcm->len, want_size, block, loud, plain.pcm->len);
    if (run.pcm->len != want_size) return fail("the output's length is not the clean decode's");
    if (block != (gsize)run.count * (after - before - block))
        return fail("the gap does not hold COUNT blocks");
    if (memcmp(run.pcm->data, want, before) != 0) return fail("the PCM before the gap differs");
    if (memcmp(run.pcm->data + after, want + after, want_size - after) != 0)
        return fail("the PCM from the second buffer after the gap differs");
    if (loud < 100) return fail("the gap's first block is silent");
    if (plain.pcm->len + block != want_size) return fail("without plc, not the gap's blocks short");
    g_free(want);
    return 0;
}
