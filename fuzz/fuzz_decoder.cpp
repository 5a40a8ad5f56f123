// libFuzzer target: arbitrary input through the public entry points in one of
// four modes, chosen by AAC_FUZZ_MODE (stream, frame, pull, raw):
//   stream  the plug-in in streaming mode, the input in random pieces;
//   frame   the plug-in in frame mode, the input in random buffers;
//   pull    the algorithm interface pulling through its get-bits callback,
//           with random refill sizes;
//   raw     the plug-in on raw data blocks with a random rate and channel hint.
// The first two input bytes seed the random choices (piece sizes, too little
// output room now and then, concealment on or off); the rest is the stream.
// Besides the sanitizers' checks, every call must keep the plug-in's promises:
// an error takes nothing, a success writes whole blocks within the room, and
// no more blocks come out than the input can hold.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aac_plugin.h"
#include "dec/instance.h"

namespace {

enum class Mode { Stream, Frame, Pull, Raw };

Mode mode_from_env() {
    const char* m = std::getenv("AAC_FUZZ_MODE");
    if (!m || !std::strcmp(m, "stream")) return Mode::Stream;
    if (!std::strcmp(m, "frame")) return Mode::Frame;
    if (!std::strcmp(m, "pull")) return Mode::Pull;
    if (!std::strcmp(m, "raw")) return Mode::Raw;
    std::abort();
}

struct Rng {
    uint32_t x;
    uint32_t next() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// One output area for every call, as large as any call may need.
uint8_t g_pcm[output_room(1u << 16, false)];

const uint32_t kRates[12] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

// The plug-in over the whole input; returns the blocks it produced.
uint64_t run_plugin(const uint8_t* data, size_t size, Rng& rng, bool frame, bool raw) {
    uint32_t flags = frame ? 0 : ZOR_STREAM_STREAMING;
    if (raw) flags |= ZOR_STREAM_RAW;
    if (rng.below(4) == 0) flags |= ZOR_STREAM_NO_CONCEALMENT;
    const uint32_t rate = raw ? kRates[rng.below(12)] : 44100;
    const uint32_t channels = raw ? 1 + rng.below(2) : 2;
    ZorStreamInfo info = {ZOR_STREAM_INFO_VERSION, channels, rate, 0, flags};
    const AACPlugin* plugin = GetZorAudioDecodePlugin();
    check(plugin->init(&info) == 0);
    uint64_t blocks = 0;
    for (size_t at = 0; at < size;) {
        const size_t n = std::min<size_t>(size - at, 1 + rng.below(frame ? 1900 : 3000));
        ZorBuffer in{}, out{};
        in.data = const_cast<uint8_t*>(data + at);
        in.size = static_cast<uint32_t>(n);
        in.passthrough = 7;
        const uint32_t room = output_room(static_cast<uint32_t>(n), frame);
        out.data = g_pcm;
        int r = -1;
        if (rng.below(8) == 0) {
            // Too little room: refused with nothing taken (then the same call
            // is made with enough), or taken when it completes no block.
            out.size = rng.below(kBlockBytes);
            r = plugin->decode(&in, &out);
            check(r == -1 || r == 0);
        }
        if (r == -1) {
            out.size = room;
            r = plugin->decode(&in, &out);
        }
        if (frame && n > kMaxFrameBytes) {
            check(r == -1);
        } else if (r >= 0) {
            check(static_cast<uint32_t>(r) == out.size && out.size <= room && out.size % kBlockBytes == 0);
            check(out.passthrough == 7);
            blocks += out.size / kBlockBytes;
        }
        at += n;
    }
    plugin->finish();
    // Every block, decoded or concealed, takes at least four input bytes; a
    // failed frame adds at most the rest of its blocks. In frame mode every
    // buffer is a frame (or a raw block) whatever its size.
    if (!frame) check(blocks <= size / 4 + 8);
    return blocks;
}

struct PullSource {
    const uint8_t* data;
    size_t size, at;
    Rng* rng;
    std::vector<uint16_t> words;
};
PullSource g_src;

uint16_t pull(int request, const uint16_t** words) {
    PullSource& s = g_src;
    const size_t left = (s.size - s.at + 1) / 2;
    size_t n = std::min<size_t>(std::min<size_t>(left, static_cast<size_t>(request)), s.rng->below(130));
    s.words.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        const size_t b = s.at + 2 * i;
        s.words[i] = static_cast<uint16_t>(s.data[b] << 8 | (b + 1 < s.size ? s.data[b + 1] : 0));
    }
    s.at = std::min(s.size, s.at + 2 * n);
    *words = s.words.data();
    return static_cast<uint16_t>(n);
}

uint64_t run_pull(const uint8_t* data, size_t size, Rng& rng) {
    IKVXD_Params params = IKVXD_PARAMS;
    params.frameMode = 0;
    KVXD_ModuleInfo module;
    KVXD_init(&module);
    IALG_Handle h = KVXD_createStatic(&params, nullptr);
    check(h != nullptr);
    KVXD_Status st{};
    st.sampleRateIndex = 4;
    KVXD_control(h, KVXD_SETPARAMS, &st);
    if (rng.below(4) == 0) KVXD_control(h, KVXD_CONCEAL_OFF, &st);
    static int16_t pcm[2048];
    KVXD_setOutputBuffer(h, pcm);
    g_src = {data, size, 0, &rng, {}};
    KVXD_KELVARIS_setGetBitsCallback(h, pull);
    uint64_t blocks = 0;
    int idle = 0;
    // The source may give nothing on one refill and more on the next; the
    // run ends once it is dry and a few calls in a row yield nothing.
    while (idle < 4) {
        const size_t before = g_src.at;
        if (KVXD_process(h, nullptr, 0)) {
            uint16_t n = 0;
            KVXD_getSamples(h, &n);
            check(n == 2048);
            ++blocks;
            idle = 0;
        } else {
            idle = g_src.at == before && g_src.at >= size ? idle + 1 : 0;
        }
        check(blocks <= size / 4 + 8);
    }
    return blocks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Mode mode = mode_from_env();
    if (size < 2 || size > (1u << 16)) return 0;
    Rng rng{static_cast<uint32_t>(data[0] << 8 | data[1]) * 2654435761u + 1u};
    data += 2;
    size -= 2;
    switch (mode) {
    case Mode::Stream: run_plugin(data, size, rng, false, false); break;
    case Mode::Frame: run_plugin(data, size, rng, true, false); break;
    case Mode::Raw: run_plugin(data, size, rng, rng.below(2) == 0, true); break;
    case Mode::Pull: run_pull(data, size, rng); break;
    }
    return 0;
}
