/* A stream the decoder refuses, played RUNS times: each run must end in one
 * error message, the decoder's (no second one from upstream), and the
 * pipeline must go back to NULL, all within a time limit: no hang.
 * usage: refusal_check STREAM.aac RUNS */
#include <gst/gst.h>
#include <stdio.h>
#include <stdlib.h>

static int run(const char* stream, int k) {
    gchar* desc = g_strdup_printf("filesrc location=\"%s\" ! aacparse ! zoraacdec name=dec ! fakesink", stream);
    GstElement* pipeline = gst_parse_launch(desc, NULL);
    GstElement* dec;
    GstMessage* msg;
    int errors = 0, ours = 0, rc = 0;
    g_free(desc);
    if (!pipeline) return fprintf(stderr, "refusal_check: cannot build the pipeline\n"), 1;
    dec = gst_bin_get_by_name(GST_BIN(pipeline), "dec");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    /* The first error, then whatever else comes within half a second. */
    msg = gst_bus_timed_pop_filtered(GST_ELEMENT_BUS(pipeline), 20 * GST_SECOND, GST_MESSAGE_ERROR | GST_MESSAGE_EOS);
    while (msg) {
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
            GError* error = NULL;
            gst_message_parse_error(msg, &error, NULL);
            ++errors;
            if (GST_MESSAGE_SRC(msg) == GST_OBJECT(dec)) ++ours;
            else fprintf(stderr, "refusal_check: run %d: an error from %s: %s\n", k, GST_MESSAGE_SRC_NAME(msg), error->message);
            g_clear_error(&error);
        } else {
            fprintf(stderr, "refusal_check: run %d: end of stream\n", k);
            rc = 1;
        }
        gst_message_unref(msg);
        msg = gst_bus_timed_pop_filtered(GST_ELEMENT_BUS(pipeline), GST_SECOND / 2, GST_MESSAGE_ERROR | GST_MESSAGE_EOS);
    }
    if (errors != 1 || ours != 1) {
        fprintf(stderr, "refusal_check: run %d: %d errors, %d of them the decoder's\n", k, errors, ours);
        rc = 1;
    }
    if (gst_element_set_state(pipeline, GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE ||
        gst_element_get_state(pipeline, NULL, NULL, 10 * GST_SECOND) != GST_STATE_CHANGE_SUCCESS) {
        fprintf(stderr, "refusal_check: run %d: the pipeline did not stop\n", k);
        rc = 1;
    }
    gst_object_unref(dec);
    gst_object_unref(pipeline);
    return rc;
}

int main(int argc, char** argv) {
    int runs, k, failed = 0;
    gst_init(&argc, &argv);
    if (argc != 3) return fprintf(stderr, "usage: refusal_check STREAM.aac RUNS\n"), 1;
    runs = atoi(argv[2]);
    for (k = 1; k <= runs; ++k) failed += run(argv[1], k);
    printf("refusal_check: %d of %d runs failed\n", failed, runs);
    return failed != 0;
}
