/* A C host of the decode plug-in: loads it, decodes an ADTS stream one
 * frame per call and writes the PCM (16-bit stereo, native order).
 * usage: host PLUGIN STREAM.aac OUT.pcm */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zoraac.h>

static const uint32_t rates[12] = {96000, 88200, 64000, 48000, 44100, 32000,
                                   24000, 22050, 16000, 12000, 11025, 8000};

static int fail(const char* what, const char* arg) {
    fprintf(stderr, "host: %s%s\n", what, arg);
    return 1;
}

int main(int argc, char** argv) {
    static unsigned char in[1 << 20];
    static unsigned char pcm[8192];
    void* lib;
    void* sym;
    GetZorAudioDecodePluginFn get;
    const AACPlugin* plugin;
    ZorStreamInfo info;
    FILE* f;
    size_t size, at = 0;
    unsigned long blocks = 0;
    int rc = 0;

    if (argc != 4) return fail("usage: host PLUGIN STREAM.aac OUT.pcm", "");
    f = fopen(argv[2], "rb");
    if (!f) return fail("cannot open ", argv[2]);
    size = fread(in, 1, sizeof in, f);
    fclose(f);
    if (size < 7 || in[0] != 0xFF || (in[1] & 0xF6) != 0xF0 || ((in[2] >> 2) & 0xF) > 11)
        return fail("not an ADTS stream: ", argv[2]);

    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return fail("cannot load the plug-in: ", dlerror());
    sym = dlsym(lib, "GetZorAudioDecodePlugin");
    if (!sym) return fail("no GetZorAudioDecodePlugin in ", argv[1]);
    memcpy(&get, &sym, sizeof get); /* POSIX: the object pointer holds the function's address */
    if (!get) return fail("no GetZorAudioDecodePlugin in ", argv[1]);
    plugin = get();

    info.version = ZOR_STREAM_INFO_VERSION;
    info.channels = (uint32_t)(((in[2] & 1) << 2) | (in[3] >> 6));
    info.sampleRate = rates[(in[2] >> 2) & 0xF];
    info.bitRate = 0;
    info.flags = 0; /* frame mode: one whole ADTS frame per call */
    if (plugin->init(&info) != 0) return fail("the plug-in refused the stream", "");
    if (plugin->init(&info) != -1) return fail("a second decoder was not refused", "");

    f = fopen(argv[3], "wb");
    if (!f) return fail("cannot write ", argv[3]);
    while (at + 7 <= size && rc == 0) {
        ZorBuffer ib, ob;
        size_t len = (size_t)(((in[at + 3] & 3) << 11) | (in[at + 4] << 3) | (in[at + 5] >> 5));
        int got;
        if (len < 7 || at + len > size || len > ZORAAC_MAX_FRAME_BYTES) break;
        memset(&ib, 0, sizeof ib);
        memset(&ob, 0, sizeof ob);
        ib.data = in + at;
        ib.size = (uint32_t)len;
        ob.data = pcm;
        ob.size = sizeof pcm;
        got = plugin->decode(&ib, &ob);
        if (got < 0 || (got > 0 && fwrite(pcm, 1, (size_t)got, f) != (size_t)got)) rc = 1;
        blocks += (unsigned long)got / ZORAAC_BLOCK_BYTES;
        at += len;
    }
    if (fclose(f) != 0) rc = 1;
    plugin->finish();
    dlclose(lib);
    printf("host: %lu blocks\n", blocks);
    return rc || blocks == 0 ? fail("decoding failed", "") : 0;
}
