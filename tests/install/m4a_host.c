/* A C host of the library interface for MP4 files: finds the first AAC
 * audio track of an .m4a/.mp4 file through its boxes, and decodes each of
 * its samples as one access unit under the track's AudioSpecificConfig to
 * PCM (16-bit, native order, stereo).
 *   m4a_host IN.m4a OUT.pcm
 * A broken file gives a message and exit status 1: every read is checked
 * against the bounds of the box it belongs to. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zoraac.h>

/* A byte range of the file: a box's payload, or the whole file. */
typedef struct {
    const unsigned char* p;
    uint64_t n;
} span;

static void die(const char* what, const char* arg) {
    fprintf(stderr, "m4a_host: %s%s\n", what, arg);
    exit(1);
}

static uint64_t be(span s, uint64_t at, unsigned bytes) {
    uint64_t v = 0;
    unsigned i;
    if (at > s.n || bytes > s.n - at) die("truncated box", "");
    for (i = 0; i < bytes; ++i) v = v << 8 | s.p[at + i];
    return v;
}

static span sub(span s, uint64_t at) {
    span r;
    if (at > s.n) die("truncated box", "");
    r.p = s.p + at;
    r.n = s.n - at;
    return r;
}

/* Takes the next box off the front of *s: its type and payload. 0 when *s is
 * empty. A size of 1 means a 64-bit size follows the type, 0 the rest of the
 * enclosing range. */
static int next_box(span* s, char type[5], span* body) {
    uint64_t size, header = 8;
    int i;
    if (s->n == 0) return 0;
    size = be(*s, 0, 4);
    for (i = 0; i < 4; ++i) { /* printable, for messages */
        const uint64_t c = be(*s, 4 + i, 1);
        type[i] = (char)(c >= 0x20 && c < 0x7F ? c : '?');
    }
    type[4] = '\0';
    if (size == 1) {
        size = be(*s, 8, 8);
        header = 16;
    } else if (size == 0) {
        size = s->n;
    }
    if (size < header || size > s->n) die("bad size of box ", type);
    body->p = s->p + header;
    body->n = size - header;
    *s = sub(*s, size);
    return 1;
}

/* The payload of the first box of this type in s. */
static int child(span s, const char* type, span* body) {
    char t[5];
    while (next_box(&s, t, body))
        if (strcmp(t, type) == 0) return 1;
    return 0;
}

static span need(span s, const char* type) {
    span body;
    if (!child(s, type, &body)) die("missing box ", type);
    return body;
}

/* A descriptor of the esds box at s[*at]: tag, a length of up to four 7-bit
 * groups, payload. */
static span descriptor(span s, uint64_t* at, unsigned tag) {
    uint64_t len = 0;
    unsigned i, b;
    span r;
    if (be(s, (*at)++, 1) != tag) die("unexpected descriptor in esds", "");
    for (i = 0, b = 0x80; i < 4 && (b & 0x80); ++i) {
        b = (unsigned)be(s, (*at)++, 1);
        len = len << 7 | (b & 0x7F);
    }
    r = sub(s, *at);
    if (len > r.n) die("truncated descriptor in esds", "");
    r.n = len;
    return r;
}

/* The AudioSpecificConfig in an esds payload (a full box: version, flags)
 * into *asc; 0 when the stream is not AAC (MPEG-4 audio, or the three MPEG-2
 * AAC object types). */
static int audio_config(span esds, span* asc) {
    uint64_t at = 4, flags, object;
    span es = descriptor(esds, &at, 0x03), dc;
    flags = be(es, 2, 1); /* after the 16-bit stream id */
    at = 3 + (flags & 0x80 ? 2 : 0);
    if (flags & 0x40) at += 1 + be(es, at, 1); /* URL */
    if (flags & 0x20) at += 2;
    dc = descriptor(es, &at, 0x04);
    object = be(dc, 0, 1);
    if (object != 0x40 && (object < 0x66 || object > 0x68)) return 0;
    at = 13; /* object type, stream type, buffer size, bit rates */
    *asc = descriptor(dc, &at, 0x05);
    return 1;
}

int main(int argc, char** argv) {
    span file, trak, stbl, stsz, stsc, co, asc;
    char type[5];
    int co64 = 0, found = 0, n, i;
    uint64_t chunks, chunk, count, sample = 0, entry = 0, fixed, used = 0;
    unsigned char *data, *memory, *pcm;
    void* block[ZORAAC_MAX_MEMRECS];
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    zoraac_params params;
    zoraac_decoder* d;
    zoraac_info info;
    FILE *f, *out;
    long len;

    if (argc != 3) die("usage: m4a_host IN.m4a OUT.pcm", "");
    f = fopen(argv[1], "rb");
    if (!f) die("cannot open ", argv[1]);
    if (fseek(f, 0, SEEK_END) != 0 || (len = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0) die("cannot read ", argv[1]);
    data = malloc((size_t)len + 1);
    if (!data || fread(data, 1, (size_t)len, f) != (size_t)len) die("cannot read ", argv[1]);
    fclose(f);
    file.p = data;
    file.n = (uint64_t)len;

    /* The first track whose handler is 'soun' and whose first sample entry is 'mp4a'. */
    {
        span moov = need(file, "moov"), body;
        while (!found && next_box(&moov, type, &trak)) {
            span mdia, entries, mp4a;
            if (strcmp(type, "trak") != 0) continue;
            mdia = need(trak, "mdia");
            /* The handler type after version, flags and a zero word. */
            if (be(need(mdia, "hdlr"), 8, 4) != 0x736F756Eu) continue; /* 'soun' */
            stbl = need(need(mdia, "minf"), "stbl");
            entries = sub(need(stbl, "stsd"), 8); /* version, flags, entry count */
            if (!next_box(&entries, type, &mp4a) || strcmp(type, "mp4a") != 0) continue;
            /* Reserved and reference index (8), sound fields (20); a sound
             * entry of version 1 or 2 carries 16 or 36 more bytes. */
            body = sub(mp4a, 28 + (be(mp4a, 8, 2) == 1 ? 16 : be(mp4a, 8, 2) == 2 ? 36 : 0));
            found = audio_config(need(body, "esds"), &asc);
        }
        if (!found) die("no AAC audio track in ", argv[1]);
    }
    stsz = need(stbl, "stsz");
    stsc = need(stbl, "stsc");
    if (!child(stbl, "stco", &co)) {
        co = need(stbl, "co64");
        co64 = 1;
    }

    zoraac_params_init(&params);
    params.transport = ZORAAC_TRANSPORT_ASC;
    params.asc = asc.p;
    params.asc_size = (uint32_t)asc.n;
    n = zoraac_query_memory(&params, rec);
    if (n < 0) die("refused: ", zoraac_status_string(n));
    for (i = 0; i < n; ++i) used += rec[i].size + rec[i].alignment;
    memory = malloc((size_t)used);
    pcm = malloc(zoraac_frame_bytes(&params));
    if (!memory || !pcm) die("out of memory", "");
    for (i = 0, used = 0; i < n; ++i) {
        /* Each record at its alignment (a power of two). */
        uintptr_t a = ((uintptr_t)(memory + used) + rec[i].alignment - 1) & ~(uintptr_t)(rec[i].alignment - 1);
        block[i] = (void*)a;
        used = a - (uintptr_t)memory + rec[i].size;
    }
    d = zoraac_open(&params, block);
    if (!d) die("open failed", "");
    out = fopen(argv[2], "wb");
    if (!out) die("cannot write ", argv[2]);

    /* Chunk by chunk: stsc runs of samples per chunk (from their first chunk,
     * counted from 1), stco/co64 chunk offsets, stsz sizes (one for all, or a
     * table). */
    fixed = be(stsz, 4, 4);
    count = be(stsz, 8, 4);
    chunks = be(co, 4, 4);
    for (chunk = 1; chunk <= chunks && sample < count; ++chunk) {
        uint64_t offset = co64 ? be(co, 8 + 8 * (chunk - 1), 8) : be(co, 8 + 4 * (chunk - 1), 4), k, per;
        while (entry + 1 < be(stsc, 4, 4) && be(stsc, 8 + 12 * (entry + 1), 4) <= chunk) ++entry;
        per = be(stsc, 8 + 12 * entry + 4, 4);
        for (k = 0; k < per && sample < count; ++k, ++sample) {
            const uint64_t size = fixed ? fixed : be(stsz, 12 + 4 * sample, 4);
            size_t taken;
            zoraac_frame frame;
            int status;
            if (offset > file.n || size > file.n - offset) die("sample outside the file", "");
            if (size == 0) continue;
            status = zoraac_decode(d, file.p + offset, (size_t)size, &taken, pcm, zoraac_frame_bytes(&params), &frame);
            if (status < 0) die("decode: ", zoraac_status_string(status));
            if (frame.bytes && fwrite(pcm, 1, frame.bytes, out) != frame.bytes) die("write failed", "");
            offset += size;
        }
    }
    if (sample < count) die("fewer chunks than samples", "");
    if (fclose(out) != 0) die("write failed", "");
    info.size = sizeof info;
    zoraac_get_info(d, &info);
    printf("%lu blocks (%lu concealed), %lu Hz, %lu channels\n", (unsigned long)info.frames_decoded,
           (unsigned long)info.frames_concealed, (unsigned long)info.sample_rate, (unsigned long)info.channels);
    zoraac_close(d);
    free(pcm);
    free(memory);
    free(data);
    return 0;
}
