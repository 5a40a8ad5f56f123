/* Gapless playback through playbin: the first track plays, and when playbin
 * is about to finish it the second track's uri is set, so the second
 * track's decoder starts while the first one's still runs. The PCM that
 * reaches the audio sink must be the two tracks' PCM one after the other,
 * to the byte, and zoraacdec must have decoded both (run with
 * GST_PLUGIN_FEATURE_RANK=zoraacdec:max so playbin picks it).
 * usage: gapless_check TRACK1 TRACK2 EXPECTED1.pcm EXPECTED2.pcm */
#include <gst/gst.h>
#include <stdio.h>
#include <string.h>

#define PLAY_FLAG_AUDIO 0x2

static GByteArray* played;
static gchar* next_uri;
static guint decoders;

static void on_handoff(GstElement* sink, GstBuffer* buffer, GstPad* pad, gpointer data) {
    GstMapInfo map;
    (void)sink, (void)pad, (void)data;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    g_byte_array_append(played, map.data, (guint)map.size);
    gst_buffer_unmap(buffer, &map);
}

static void on_about_to_finish(GstElement* playbin, gpointer data) {
    (void)data;
    if (!next_uri) return;
    g_object_set(playbin, "uri", next_uri, NULL);
    g_free(next_uri);
    next_uri = NULL;
}

static void on_element_added(GstBin* bin, GstBin* sub_bin, GstElement* element, gpointer data) {
    GstElementFactory* factory = gst_element_get_factory(element);
    (void)bin, (void)sub_bin, (void)data;
    if (factory && strcmp(GST_OBJECT_NAME(factory), "zoraacdec") == 0) g_atomic_int_inc(&decoders);
}

static gchar* uri_of(const char* path) {
    gchar* absolute = g_canonicalize_filename(path, NULL);
    gchar* uri = g_filename_to_uri(absolute, NULL, NULL);
    g_free(absolute);
    return uri;
}

static int fail(const char* what) {
    fprintf(stderr, "gapless_check: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    gchar *want1 = NULL, *want2 = NULL, *uri;
    gsize size1 = 0, size2 = 0;
    GstElement *playbin, *sink;
    GstMessage* msg;
    int rc = 0;

    gst_init(&argc, &argv);
    if (argc != 5) return fail("usage: gapless_check TRACK1 TRACK2 EXPECTED1.pcm EXPECTED2.pcm");
    if (!g_file_get_contents(argv[3], &want1, &size1, NULL) || !g_file_get_contents(argv[4], &want2, &size2, NULL))
        return fail("cannot read the expected PCM");
    played = g_byte_array_new();
    playbin = gst_element_factory_make("playbin", NULL);
    sink = gst_element_factory_make("fakesink", NULL);
    if (!playbin || !sink) return fail("no playbin or fakesink");
    g_object_set(sink, "signal-handoffs", TRUE, "sync", FALSE, NULL);
    g_signal_connect(sink, "handoff", G_CALLBACK(on_handoff), NULL);
    uri = uri_of(argv[1]);
    next_uri = uri_of(argv[2]);
    g_object_set(playbin, "uri", uri, "audio-sink", sink, "flags", PLAY_FLAG_AUDIO, NULL);
    g_free(uri);
    g_signal_connect(playbin, "about-to-finish", G_CALLBACK(on_about_to_finish), NULL);
    g_signal_connect(playbin, "deep-element-added", G_CALLBACK(on_element_added), NULL);

    gst_element_set_state(playbin, GST_STATE_PLAYING);
    msg = gst_bus_timed_pop_filtered(GST_ELEMENT_BUS(playbin), 60 * GST_SECOND, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    if (!msg) {
        rc = fail("no end of stream within a minute");
    } else if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
        GError* err = NULL;
        gchar* debug = NULL;
        gst_message_parse_error(msg, &err, &debug);
        fprintf(stderr, "gapless_check: error from %s: %s (%s)\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)), err->message,
                debug ? debug : "");
        g_clear_error(&err);
        g_free(debug);
        rc = 1;
    }
    if (msg) gst_message_unref(msg);
    gst_element_set_state(playbin, GST_STATE_NULL);
    gst_object_unref(playbin);
    if (rc) return rc;

    if (next_uri) return fail("playbin never asked for the second track");
    if (decoders < 2) {
        fprintf(stderr, "gapless_check: %u zoraacdec elements, not one per track\n", decoders);
        return 1;
    }
    if (played->len != size1 + size2 || memcmp(played->data, want1, size1) != 0 ||
        memcmp(played->data + size1, want2, size2) != 0) {
        fprintf(stderr, "gapless_check: %u bytes played, %" G_GSIZE_FORMAT " + %" G_GSIZE_FORMAT " expected, or other bytes\n",
                played->len, size1, size2);
        return 1;
    }
    printf("gapless_check: %" G_GSIZE_FORMAT " + %" G_GSIZE_FORMAT " bytes through %u decoders\n", size1, size2, decoders);
    g_byte_array_unref(played);
    g_free(want1);
    g_free(want2);
    return 0;
}
