/* A flushing seek through zoraacdec: plays an ADTS stream, seeks to 2 s and
 * plays to the end. After the seek the decoder starts afresh, so its first
 * block lacks the overlap of the frame before; from the second block on the
 * PCM must equal aacdec's, block for block, to the last block. (The first
 * buffer after the seek is also clipped to the seek position.)
 * usage: seek_check STREAM.aac EXPECTED.pcm */
#include <gst/gst.h>
#include <stdio.h>
#include <string.h>

#define BLOCK 4096

static GByteArray* after_seek;
static gboolean seeked;
static guint buffers_after_seek;

static void on_handoff(GstElement* sink, GstBuffer* buffer, GstPad* pad, gpointer data) {
    GstMapInfo map;
    (void)sink, (void)pad, (void)data;
    if (!seeked || buffers_after_seek++ == 0 || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    g_byte_array_append(after_seek, map.data, (guint)map.size);
    gst_buffer_unmap(buffer, &map);
}

static int fail(const char* what) {
    fprintf(stderr, "seek_check: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    gchar* want = NULL;
    gsize want_size = 0, blocks, first, k;
    gchar* desc;
    GstElement* pipeline;
    GstMessage* msg;
    int rc = 0;

    gst_init(&argc, &argv);
    if (argc != 3) return fail("usage: seek_check STREAM.aac EXPECTED.pcm");
    if (!g_file_get_contents(argv[2], &want, &want_size, NULL)) return fail("cannot read the expected PCM");
    after_seek = g_byte_array_new();
    desc = g_strdup_printf("filesrc location=\"%s\" ! aacparse ! zoraacdec ! fakesink name=sink signal-handoffs=true sync=false",
                           argv[1]);
    pipeline = gst_parse_launch(desc, NULL);
    g_free(desc);
    if (!pipeline) return fail("cannot build the pipeline");
    {
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
        g_signal_connect(sink, "handoff", G_CALLBACK(on_handoff), NULL);
        gst_object_unref(sink);
    }
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    if (gst_element_get_state(pipeline, NULL, NULL, 10 * GST_SECOND) != GST_STATE_CHANGE_SUCCESS)
        return fail("the pipeline did not preroll");
    if (!gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT, 2 * GST_SECOND))
        return fail("the seek was refused");
    seeked = TRUE;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    msg = gst_bus_timed_pop_filtered(GST_ELEMENT_BUS(pipeline), 20 * GST_SECOND, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    if (!msg || GST_MESSAGE_TYPE(msg) != GST_MESSAGE_EOS) rc = fail("no end of stream after the seek");
    if (msg) gst_message_unref(msg);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    if (rc) return rc;

    /* The blocks after the first are the last ones of the stream. */
    blocks = after_seek->len / BLOCK;
    if (after_seek->len % BLOCK || blocks < 2 || blocks * BLOCK + 2 * BLOCK > want_size) {
        fprintf(stderr, "seek_check: %u bytes after the seek, %" G_GSIZE_FORMAT " in all\n", after_seek->len, want_size);
        return 1;
    }
    first = want_size / BLOCK - blocks;
    for (k = 0; k < blocks; ++k)
        if (memcmp(after_seek->data + k * BLOCK, want + (first + k) * BLOCK, BLOCK) != 0) {
            fprintf(stderr, "seek_check: block %" G_GSIZE_FORMAT " after the seek differs\n", k);
            return 1;
        }
    printf("seek_check: resumed at block %" G_GSIZE_FORMAT " of %" G_GSIZE_FORMAT "\n", first, want_size / BLOCK);
    g_byte_array_unref(after_seek);
    g_free(want);
    return 0;
}
