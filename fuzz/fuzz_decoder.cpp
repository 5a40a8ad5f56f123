// libFuzzer target: arbitrary input through the public entry points in one of
// six modes, chosen by AAC_FUZZ_MODE (stream, frame, pull, raw, api, units):
//   stream  the plug-in in streaming mode, the input in random pieces;
//   frame   the plug-in in frame mode, the input in random buffers;
//   pull    the algorithm interface pulling through its get-bits callback,
//           with random refill sizes: the static instance, or (half the
//           runs) one made as aacdec's pull mode makes it, with SBR;
//   raw     the plug-in on raw data blocks with a random rate and channel hint;
//   api     the library interface: a random transport (byte stream, access
//           units under an AudioSpecificConfig taken from the input, or
//           under a random rate), random params, pieces and rooms, and two
//           decoders interleaved, sharing their scratch blocks;
//   units   the library interface on access units as a container hands
//           them over: the input gives their AudioSpecificConfig and their
//           lengths (below), so an MP4's HE-AAC units decode as they would;
//   loas    a LOAS stream in random pieces through aacdec's LOAS reader
//           (tools/aacdec/latm.cpp), its units through the library under
//           the config the reader found.
// The first two input bytes seed the random choices (piece sizes, too little
// output room now and then, concealment on or off); the rest is the stream,
// for half the inputs followed by a clean stream of another configuration
// (not in units mode, whose input is laid out).
// Besides the sanitizers' checks, every call must keep the plug-in's promises:
// an error takes nothing, a success writes whole blocks within the room, and
// no more blocks come out than the input can hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aac_plugin.h"
#include "dec/instance.h"
#include "kvxd_instance.h"
#include "latm.h"
#include "zoraac.h"

// Every piece of PCM a call produced, handed to the replay tool
// (fuzz/replay_main.cpp), which hashes it to compare kernel variants and
// architectures; the fuzzer's own build has no use for it.
#ifdef AAC_FUZZ_PCM_SINK
void fuzz_pcm_sink(const void* pcm, size_t bytes);
#else
inline void fuzz_pcm_sink(const void*, size_t) {}
#endif

namespace {

enum class Mode { Stream, Frame, Pull, Raw, Api, Units, Loas };

Mode mode_from_env() {
    const char* m = std::getenv("AAC_FUZZ_MODE");
    if (!m || !std::strcmp(m, "stream")) return Mode::Stream;
    if (!std::strcmp(m, "frame")) return Mode::Frame;
    if (!std::strcmp(m, "pull")) return Mode::Pull;
    if (!std::strcmp(m, "raw")) return Mode::Raw;
    if (!std::strcmp(m, "api")) return Mode::Api;
    if (!std::strcmp(m, "units")) return Mode::Units;
    if (!std::strcmp(m, "loas")) return Mode::Loas;
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

// A broken promise: named by its line, then a trap the fuzzer reports.
void check_at(bool ok, int line) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_decoder.cpp:%d: promise broken\n", line);
    __builtin_trap();
}
#define check(ok) check_at((ok), __LINE__)

// One output area for every call, as large as any call may need.
alignas(16) uint8_t g_pcm[output_room(1u << 16, false, true)];

// A call's room of `room` bytes in `buffer`, 4-byte aligned and ending
// within four bytes of the buffer's end: a block written past the room is a
// sanitizer finding.
template <size_t N>
uint8_t* room_at_end(uint8_t (&buffer)[N], size_t room) {
    return buffer + ((N - room) & ~size_t{3});
}

const uint32_t kRates[12] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

// The plug-in over the whole input; returns the blocks it produced.
uint64_t run_plugin(const uint8_t* data, size_t size, Rng& rng, bool frame, bool raw) {
    uint32_t flags = frame ? 0 : ZOR_STREAM_STREAMING;
    if (raw) flags |= ZOR_STREAM_RAW;
    if (rng.below(4) == 0) flags |= ZOR_STREAM_NO_CONCEALMENT;
    if (rng.below(2) == 0) flags |= ZOR_STREAM_DOWNMIX;
    // HE-AAC at the full rate, at the core rate, both, or the core alone.
    const uint32_t sbr = rng.below(4);
    if (sbr & 1) flags |= ZOR_STREAM_SBR_FULL;
    if (sbr & 2) flags |= ZOR_STREAM_SBR_DOWNSAMPLED;
    const bool full = sbr & 1;
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
        const uint32_t room = static_cast<uint32_t>(output_room(n, frame, full));
        out.data = room_at_end(g_pcm, room);
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
        } else if (!frame && r < 0) {
            // Streaming refuses nothing that comes with the room it asks for,
            // but a stream of more channels than it plays (without the
            // downmix, or a layout the downmix does not take), and that call
            // after call.
            check(plugin->decode(&in, &out) == -1);
            break;
        }
        if (r >= 0) {
            check(static_cast<uint32_t>(r) == out.size && out.size <= room && out.size % kBlockBytes == 0);
            check(out.passthrough == 7);
            fuzz_pcm_sink(out.data, out.size);
            blocks += out.size / kBlockBytes;
        }
        at += n;
    }
    plugin->finish();
    // Every block, decoded or concealed, takes at least four input bytes; a
    // failed frame adds at most the rest of its blocks. In frame mode every
    // buffer is a frame (or a raw block) whatever its size. (Blocks are
    // counted in AAC-LC blocks' bytes, of which a full-rate HE-AAC block
    // takes two.)
    if (!frame) check(blocks <= (size / 4 + 8) * (full ? 2 : 1));
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

// An instance set up for the input (stream or raw blocks under a random
// rate and, with `sbr`, layouts of up to 7 channels and SBR's doubled
// blocks), pulling it through the get-bits callback until it runs dry.
uint64_t pull_blocks(IALG_Handle h, const uint8_t* data, size_t size, Rng& rng, bool sbr) {
    KVXD_Status st{};
    st.sampleRateIndex = 4;
    if (rng.below(3) == 0) {
        st.rawStream = 1;
        st.sampleRateIndex = rng.below(12);
        st.numChannels = static_cast<uint16_t>(!sbr || rng.below(4) ? 1 + rng.below(2) : 3 + rng.below(5));
    }
    KVXD_control(h, KVXD_SETPARAMS, &st);
    if (rng.below(4) == 0) KVXD_control(h, KVXD_CONCEAL_OFF, &st);
    static int16_t pcm[4096];
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
            check(n == 2048 || (sbr && n == 4096));
            fuzz_pcm_sink(pcm, n * 2u);
            ++blocks;
            idle = 0;
        } else {
            idle = g_src.at == before && g_src.at >= size ? idle + 1 : 0;
        }
        check(blocks <= size / 4 + 8);
    }
    return blocks;
}

// Pull mode, on an ADTS/ADIF stream or (one time in three) on raw blocks
// under a random rate and channel count.
uint64_t run_pull(const uint8_t* data, size_t size, Rng& rng) {
    IKVXD_Params params = IKVXD_PARAMS;
    params.frameMode = 0;
    KVXD_ModuleInfo module;
    KVXD_init(&module);
    IALG_Handle h = KVXD_createStatic(&params, nullptr);
    check(h != nullptr);
    return pull_blocks(h, data, size, rng, false);
}

// Pull mode as aacdec opens its instance (half of the pull runs): the long
// FIFO or the usual one, SBR full or downsampled and signalled at random,
// a host of two channels or native ones, SBR of multichannel layouts, the
// downmix, raw layouts of up to 7 channels.
uint64_t run_pull_sbr(const uint8_t* data, size_t size, Rng& rng) {
    KvxdHostInstance want;
    want.long_fifo = rng.below(2) != 0;
    const bool mix = rng.below(4) != 0;
    want.sbr_mix = mix;
    want.sbr = true;
    want.downsampled = rng.below(4) == 0;
    const int signalled = static_cast<int>(rng.below(8));
    want.signalled = signalled == 3 || signalled == 7 ? 0 : signalled;
    want.stereo_host = rng.below(2) != 0;
    // The small SBR scratch record where no layout mixes its SBR (from the
    // draws above: the saved inputs replay as they did).
    want.small_scratch = !mix && want.long_fifo;
    IALG_Handle h = kvxd_host_instance(want);
    check(h != nullptr);
    KVXD_setDownmix(h, mix ? 1 : 0);
    return pull_blocks(h, data, size, rng, true);
}

// Library decoders: their blocks, the scratch ones shared by both.
struct ApiDecoder {
    alignas(16) uint8_t memory[160 * 1024];  // a 7.1 HE-AAC layout's records fit
    zoraac_decoder* d = nullptr;
    zoraac_params p;
    const uint8_t* data = nullptr;
    size_t size = 0, at = 0;
    uint64_t blocks = 0, calls = 0;
    bool done = false;
    bool good = false;  // a block decoded (not concealed) was given
};
ApiDecoder g_api[2];
alignas(16) uint8_t g_api_scratch[96 * 1024];
alignas(16) uint8_t g_api_out[65536 + 1024];  // eight channels of 2048 32-bit samples, and room to spare

bool api_open(ApiDecoder& a, const zoraac_params& p) {
    a.p = p;
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    const int n = zoraac_query_memory(&p, rec);
    if (n <= 0) return false;
    check(n <= ZORAAC_MAX_MEMRECS);
    void* block[ZORAAC_MAX_MEMRECS] = {};
    size_t used = 0, scratch = 0;
    for (int i = 0; i < n; ++i) {
        check(rec[i].alignment >= 1 && rec[i].alignment <= 16);
        size_t& at = rec[i].kind == ZORAAC_MEM_SCRATCH ? scratch : used;
        uint8_t* base = rec[i].kind == ZORAAC_MEM_SCRATCH ? g_api_scratch : a.memory;
        const size_t room = rec[i].kind == ZORAAC_MEM_SCRATCH ? sizeof g_api_scratch : sizeof a.memory;
        at = (at + 15) & ~size_t{15};
        check(at + rec[i].size <= room);
        block[i] = base + at;
        at += rec[i].size;
    }
    a.d = zoraac_open(&p, block);
    check(a.d != nullptr);
    return true;
}

// A call's PCM taken (a block counted; good, decoded rather than
// concealed).
void api_took(ApiDecoder& a, const uint8_t* out, const zoraac_frame& f) {
    fuzz_pcm_sink(out, f.bytes);
    if (f.bytes) ++a.blocks;
    if (f.bytes && !f.concealed) a.good = true;
}

// One call of decoder a, on the next `unit` bytes or (kRandomPiece) on a
// piece of random size; checks the call's promises.
constexpr size_t kRandomPiece = ~size_t{0};
void api_step(ApiDecoder& a, Rng& rng, size_t unit = kRandomPiece) {
    const bool units = a.p.transport != ZORAAC_TRANSPORT_AUTO;
    const size_t left = a.size - a.at;
    size_t n = std::min<size_t>(left, unit != kRandomPiece ? unit : 1 + rng.below(units ? 2100 : 3000));
    const size_t need = zoraac_frame_bytes(&a.p);
    check(need + 64 <= sizeof g_api_out);
    const size_t room = rng.below(8) == 0 ? rng.below(static_cast<uint32_t>(need)) : need + rng.below(64);
    size_t used = 12345;
    zoraac_frame f;
    uint8_t* const out = room_at_end(g_api_out, room);
    const int s = zoraac_decode(a.d, n ? a.data + a.at : nullptr, n, &used, out, room, &f);
    ++a.calls;
    check(used <= n);
    if (s < 0) {
        check(used == 0 && f.bytes == 0);
        if (s == ZORAAC_ERR_OUTPUT_ROOM) check(room < need);
        if (s == ZORAAC_ERR_UNSUPPORTED || (n == 0 && room >= need)) a.done = true;
        return;
    }
    check(f.bytes <= room && f.bytes <= need);
    check(f.bytes == 0 || f.bytes == f.samples * f.channels * (a.p.format == ZORAAC_S32 ? 4u : 2u));
    api_took(a, out, f);
    if (units) check(used == n);
    a.at += used;
    if (n == 0 && s == ZORAAC_NEED_MORE_INPUT) a.done = true;
    // Every block takes at least four bytes of input, what the decoder
    // holds and a failed frame's other blocks aside; an access unit gives
    // at most one.
    if (units) check(a.blocks <= a.calls);
    else check(a.blocks <= a.at / 4 + 1024 / 4 + 8);
}

// The library modes' choices beyond the transport, drawn in this order (the
// saved api inputs replay with it): concealment, output layout, SBR (and
// its scratch record), downmix, sample format, and room for the SBR of a
// layout's channels half the time.
void draw_output_choices(zoraac_params& p, Rng& rng) {
    p.conceal = rng.below(4) ? 1 : 0;
    p.output = rng.below(2) ? ZORAAC_OUT_NATIVE : ZORAAC_OUT_STEREO;
    // (One draw in eight each for SBR off and downsampled, the rest the full
    // rate: the draws of SBR off are those of the earlier one in four.)
    const uint32_t sbr = rng.below(8);
    p.sbr = sbr == 0 ? ZORAAC_SBR_OFF : sbr == 4 ? ZORAAC_SBR_DOWNSAMPLED : ZORAAC_SBR_FULL;
    // Half the full rate's draws with the small SBR scratch record (the
    // same draw: the saved inputs replay as they did).
    p.sbr_memory = sbr & 2 ? ZORAAC_SBR_SMALL : ZORAAC_SBR_FAST;
    p.downmix = rng.below(4) ? ZORAAC_DOWNMIX : ZORAAC_NO_DOWNMIX;
    p.format = rng.below(4) ? ZORAAC_S16 : ZORAAC_S32;
    if (rng.below(2)) p.sbr_channels = 3 + rng.below(6);
}

void api_conceal(ApiDecoder& a);

// A byte stream: the input given so far pushed through (calls without
// input until it needs more), then a frame lost between it and the input
// that follows concealed there.
void api_drain_conceal(ApiDecoder& a) {
    const size_t need = zoraac_frame_bytes(&a.p);
    for (int guard = 0; guard < 64; ++guard) {
        zoraac_frame f;
        size_t used = 1;
        uint8_t* const out = room_at_end(g_api_out, need);
        const int s = zoraac_decode(a.d, nullptr, 0, &used, out, need, &f);
        ++a.calls;
        check(used == 0 && f.bytes <= need);
        if (s < 0) {
            check(s == ZORAAC_ERR_UNSUPPORTED && f.bytes == 0);
            a.done = true;
            return;
        }
        api_took(a, out, f);
        if (s == ZORAAC_NEED_MORE_INPUT) {
            api_conceal(a);
            return;
        }
    }
}

void run_api(const uint8_t* data, size_t size, Rng& rng) {
    const uint32_t kTransports[3] = {ZORAAC_TRANSPORT_AUTO, ZORAAC_TRANSPORT_ASC, ZORAAC_TRANSPORT_RAW};
    for (int k = 0; k < 2; ++k) {
        ApiDecoder& a = g_api[k];
        a = ApiDecoder{};
        zoraac_params p;
        zoraac_params_init(&p);
        p.transport = kTransports[rng.below(3)];
        draw_output_choices(p, rng);
        size_t skip = 0;
        if (p.transport == ZORAAC_TRANSPORT_ASC) {
            skip = std::min<size_t>(size, 1 + rng.below(6));
            p.asc = data;
            p.asc_size = static_cast<uint32_t>(skip);
        } else if (p.transport == ZORAAC_TRANSPORT_RAW) {
            p.sample_rate = kRates[rng.below(12)];
            p.channels = rng.below(4) ? 1 + rng.below(2) : 1 + rng.below(8);
        }
        // The second decoder reads the input from a random place on.
        const size_t from = k == 0 ? skip : std::min(size, skip + rng.below(static_cast<uint32_t>(size) + 1));
        a.data = data + from;
        a.size = size - from;
        if (!api_open(a, p)) a.done = true;
    }
    for (int guard = 0; !(g_api[0].done && g_api[1].done) && guard < 100000; ++guard) {
        ApiDecoder& a = g_api[rng.below(2)];
        if (!a.done) api_step(a, rng);
        // (Drawn from the calls, not the generator: the saved inputs replay.)
        if (!a.done && a.d && a.p.transport == ZORAAC_TRANSPORT_AUTO && a.calls % 61 == 60) api_drain_conceal(a);
        if (rng.below(64) == 0 && a.d) zoraac_flush(a.d), a.good = false;
    }
    for (ApiDecoder& a : g_api) {
        if (!a.d) continue;
        zoraac_info info;
        info.size = sizeof info;
        check(zoraac_get_info(a.d, &info) == 0);
        check(info.frames_decoded == a.blocks && info.frames_concealed <= info.frames_decoded);
        zoraac_close(a.d);
    }
}

// Units mode. After the seed bytes: the AudioSpecificConfig's length (one
// byte; 0: raw access units under a random rate and channel count), the
// config, then each access unit after its length (two bytes, high first).
void run_units(const uint8_t* data, size_t size, Rng& rng) {
    if (size == 0) return;
    const size_t asc = std::min<size_t>(size - 1, data[0]);
    ApiDecoder& a = g_api[0];
    a = ApiDecoder{};
    zoraac_params p;
    zoraac_params_init(&p);
    draw_output_choices(p, rng);
    if (asc) {
        p.transport = ZORAAC_TRANSPORT_ASC;
        p.asc = data + 1;
        p.asc_size = static_cast<uint32_t>(asc);
    } else {
        p.transport = ZORAAC_TRANSPORT_RAW;
        p.sample_rate = kRates[rng.below(12)];
        p.channels = rng.below(4) ? 1 + rng.below(2) : 1 + rng.below(8);
    }
    a.data = data + 1 + asc;
    a.size = size - 1 - asc;
    if (!api_open(a, p)) return;
    for (int guard = 0; !a.done && guard < 100000; ++guard) {
        if (a.size - a.at < 2) {
            api_step(a, rng, 0);
            continue;
        }
        const size_t unit = static_cast<size_t>(a.data[a.at] << 8 | a.data[a.at + 1]);
        a.at += 2;
        const size_t before = a.at;
        api_step(a, rng, std::min(unit, a.size - a.at));
        // A refused unit (too little room) is skipped, as a player would.
        if (a.at == before) a.at = std::min(a.size, a.at + unit);
        if (rng.below(64) == 0) zoraac_flush(a.d);
    }
    zoraac_info info;
    info.size = sizeof info;
    check(zoraac_get_info(a.d, &info) == 0);
    check(info.frames_decoded == a.blocks && info.frames_concealed <= info.frames_decoded);
    zoraac_close(a.d);
}

// A unit the host lost, concealed: a block, or none with concealment off.
void api_conceal(ApiDecoder& a) {
    const size_t need = zoraac_frame_bytes(&a.p);
    zoraac_frame f;
    uint8_t* const out = room_at_end(g_api_out, need);
    const int s = zoraac_conceal(a.d, out, need, &f);
    ++a.calls;
    check(f.bytes <= need);
    if (s < 0) {
        check(s == ZORAAC_ERR_UNSUPPORTED && f.bytes == 0);
        return;
    }
    // (Nothing with concealment off, or before a good block to conceal from.)
    if (s == ZORAAC_DROPPED) check(f.bytes == 0 && (!a.p.conceal || !a.good));
    else check((s == ZORAAC_CONCEALED || s == ZORAAC_FORMAT_CHANGED) && f.concealed == 1);
    api_took(a, out, f);
}

// Loas mode: the input as a LOAS stream, pushed in random pieces (with a
// reset now and then, as a seek makes one); the reader must never give an
// empty unit (a frame lost to damage) before a config, more unit bytes
// than it was given, or pass more bytes than it was given; once it has a
// config, the units go to the library under it, and the lost ones to its
// concealment. Inputs of odd length follow config changes (chosen without
// the generator, so that saved inputs replay as they did): a unit under a
// new config gets a decoder of its own.
void run_loas(const uint8_t* data, size_t size, Rng& rng) {
    static LoasUnits u;
    u = LoasUnits{};
    if (size % 2) u.follow_changes();
    // (and, in half of each, pushes said to end where frames end, as the
    // GStreamer element's from aacparse do: here at random places)
    const bool whole = size % 4 >= 2;
    ApiDecoder& a = g_api[0];
    a = ApiDecoder{};
    std::vector<uint8_t> unit, asc;
    size_t at = 0, unit_bytes = 0;
    int64_t time;
    uint32_t config = 0, config_open = 0;
    auto drain = [&] {
        while (u.pop(unit, time, &config)) {
            check(!unit.empty() || u.parser().configured());
            unit_bytes += unit.size();
            if (config != config_open) {
                if (a.d) zoraac_close(a.d);
                a.d = nullptr;
                a.done = a.good = false;
                config_open = config;
            }
            if (!a.d && !a.done && u.parser().configured()) {
                asc = u.config(config);
                zoraac_params p;
                zoraac_params_init(&p);
                draw_output_choices(p, rng);
                p.transport = ZORAAC_TRANSPORT_ASC;
                p.asc = asc.data();
                p.asc_size = static_cast<uint32_t>(asc.size());
                // (A config the library refuses: the units are read on.)
                if (!api_open(a, p)) a.done = true;
            }
            if (a.d && !a.done && unit.empty()) {
                api_conceal(a);
            } else if (a.d && !a.done) {
                a.data = unit.data();
                a.size = unit.size();
                a.at = 0;
                api_step(a, rng, unit.size());
            }
        }
    };
    while (at < size) {
        const size_t n = std::min<size_t>(size - at, 1 + rng.below(rng.below(4) ? 600 : 5000));
        u.push(data + at, n, rng.below(2) ? static_cast<int64_t>(at) : LoasUnits::kNoTime, whole);
        at += n;
        drain();
        if (rng.below(32) == 0) u.reset();
    }
    u.finish();
    drain();
    check(unit_bytes <= 2 * size + 16);
    check(u.skipped_bytes() <= size);
    if (a.d) zoraac_close(a.d);
}

}  // namespace

// A clean stream of another configuration (12 kHz mono) that half the
// inputs are followed by: damage, then a splice. AAC_FUZZ_SPLICE names it;
// without it, the sample beside the build directory.
const std::vector<uint8_t>& splice_stream() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b;
        const char* path = std::getenv("AAC_FUZZ_SPLICE");
        FILE* f = std::fopen(path ? path : "../samples/tones_clicks_12k_mono.aac", "rb");
        if (!f) return b;
        b.resize(2048);
        b.resize(std::fread(b.data(), 1, b.size(), f));
        std::fclose(f);
        return b;
    }();
    return bytes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Mode mode = mode_from_env();
    if (size < 2 || size > (1u << 16)) return 0;
    Rng rng{static_cast<uint32_t>(data[0] << 8 | data[1]) * 2654435761u + 1u};
    data += 2;
    size -= 2;
    static std::vector<uint8_t> spliced;
    if (rng.below(2) == 0 && mode != Mode::Units && mode != Mode::Loas && !splice_stream().empty()) {
        spliced.assign(data, data + size);
        spliced.insert(spliced.end(), splice_stream().begin(), splice_stream().end());
        data = spliced.data();
        size = spliced.size();
    }
    switch (mode) {
    case Mode::Stream: run_plugin(data, size, rng, false, false); break;
    case Mode::Frame: run_plugin(data, size, rng, true, false); break;
    case Mode::Raw: run_plugin(data, size, rng, rng.below(2) == 0, true); break;
    case Mode::Pull: rng.below(2) ? run_pull_sbr(data, size, rng) : run_pull(data, size, rng); break;
    case Mode::Api: run_api(data, size, rng); break;
    case Mode::Units: run_units(data, size, rng); break;
    case Mode::Loas: run_loas(data, size, rng); break;
    }
    return 0;
}
