/* A C host of the library interface: decodes a file to PCM (16-bit,
 * native order) in memory of its own, no heap.
 *   api_host STREAM OUT.pcm            an ADTS or ADIF stream, in 1000-byte pieces
 *   api_host STREAM OUT.pcm ASC_HEX    an ADTS stream's frames as raw access
 *                                      units under that AudioSpecificConfig
 *                                      (as an MP4 file carries them) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zoraac.h>

static int fail(const char* what, const char* arg) {
    fprintf(stderr, "api_host: %s%s\n", what, arg);
    return 1;
}

/* Every record in one static area, each at its alignment. */
static unsigned char memory[160 * 1024];

int main(int argc, char** argv) {
    static unsigned char in[1 << 20];
    static unsigned char pcm[8192];
    unsigned char asc[64];
    zoraac_params p;
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    void* block[ZORAAC_MAX_MEMRECS];
    zoraac_decoder* d;
    zoraac_info info;
    FILE* f;
    FILE* out;
    size_t size, at = 0, used = 0;
    int n, i, status;

    if (argc != 3 && argc != 4) return fail("usage: api_host STREAM OUT.pcm [ASC_HEX]", "");
    f = fopen(argv[1], "rb");
    if (!f) return fail("cannot open ", argv[1]);
    size = fread(in, 1, sizeof in, f);
    fclose(f);

    zoraac_params_init(&p);
    if (argc == 4) {
        const char* h = argv[3];
        size_t k = 0;
        while (h[0] && h[1] && k < sizeof asc) {
            unsigned v;
            if (sscanf(h, "%2x", &v) != 1) return fail("bad config ", argv[3]);
            asc[k++] = (unsigned char)v;
            h += 2;
        }
        p.transport = ZORAAC_TRANSPORT_ASC;
        p.asc = asc;
        p.asc_size = (uint32_t)k;
    }
    n = zoraac_query_memory(&p, rec);
    if (n < 0) return fail("refused: ", zoraac_status_string(n));
    for (i = 0; i < n; ++i) {
        used = (used + rec[i].alignment - 1) / rec[i].alignment * rec[i].alignment;
        if (used + rec[i].size > sizeof memory) return fail("not enough memory", "");
        block[i] = memory + used;
        used += rec[i].size;
    }
    d = zoraac_open(&p, block);
    if (!d) return fail("open failed", "");
    if (zoraac_frame_bytes(&p) > sizeof pcm) return fail("output room", "");

    out = fopen(argv[2], "wb");
    if (!out) return fail("cannot write ", argv[2]);
    for (;;) {
        const unsigned char* piece = in + at;
        size_t len = size - at < 1000 ? size - at : 1000;
        size_t taken = 0;
        zoraac_frame frame;
        if (p.transport == ZORAAC_TRANSPORT_ASC) {
            /* One ADTS frame's payload: its access unit. */
            if (size - at < 7) {
                len = 0;
            } else {
                const size_t length = (size_t)(in[at + 3] & 3) << 11 | (size_t)in[at + 4] << 3 | in[at + 5] >> 5;
                const size_t header = (in[at + 1] & 1) ? 7 : 9;
                if (length <= header || length > size - at) return fail("bad ADTS frame", "");
                piece = in + at + header;
                len = length - header;
                at += header;
            }
        }
        status = zoraac_decode(d, len ? piece : NULL, len, &taken, pcm, sizeof pcm, &frame);
        if (status < 0) return fail("decode: ", zoraac_status_string(status));
        at += taken;
        if (frame.bytes && fwrite(pcm, 1, frame.bytes, out) != frame.bytes) return fail("write failed", "");
        if (len == 0 && status == ZORAAC_NEED_MORE_INPUT) break;
    }
    fclose(out);
    info.size = sizeof info;
    zoraac_get_info(d, &info);
    printf("%lu blocks (%lu concealed), %lu Hz, %lu channels, %lu bit/s\n", (unsigned long)info.frames_decoded,
           (unsigned long)info.frames_concealed, (unsigned long)info.sample_rate, (unsigned long)info.channels,
           (unsigned long)info.bit_rate);
    zoraac_close(d);
    return 0;
}
