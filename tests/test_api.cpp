// The library interface, through the public header alone: decoders in the
// test's memory, any number at once, in pieces of any size, with scratch
// shared and spoiled between calls, in threads; what they give must not
// depend on any of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zoraac.h"

// Heap calls while a decoder call runs are counted (the library must make
// none); the test's own allocations outside those calls are not.
namespace {
std::atomic<bool> g_watch_heap{false};
std::atomic<int> g_heap_calls{0};
}  // namespace

// Sanitizers bring their own malloc; there the count stays 0 and the
// optimised build's run is the one that counts.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" void* __libc_malloc(size_t);
extern "C" void* malloc(size_t n) {
    if (g_watch_heap.load(std::memory_order_relaxed)) g_heap_calls.fetch_add(1);
    return __libc_malloc(n);
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using Pcm = std::vector<uint8_t>;

// Integer fields of any types as one vector: many fields in one check, the
// failure message showing them side by side.
template <class... T>
std::vector<long long> vals(T... v) {
    return {static_cast<long long>(v)...};
}

Bytes read_file(const std::string& rel) {
    const std::string path = std::string(AAC_SOURCE_DIR) + "/" + rel;
    Bytes d;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return d;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
    std::fclose(f);
    return d;
}

// A decoder in blocks of its own, each with guard bytes on both sides, or
// with scratch blocks the caller shares.
struct Decoder {
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xA5;
    zoraac_params params;
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    int records = 0;
    std::vector<std::vector<uint8_t>> storage;
    void* block[ZORAAC_MAX_MEMRECS] = {};
    zoraac_decoder* d = nullptr;

    explicit Decoder(const zoraac_params& p, void* const* shared_scratch = nullptr) : params(p) {
        records = zoraac_query_memory(&params, rec);
        if (records <= 0) return;
        storage.resize(static_cast<size_t>(records));
        for (int i = 0; i < records; ++i) {
            if (shared_scratch && rec[i].kind == ZORAAC_MEM_SCRATCH) {
                block[i] = shared_scratch[i];
                continue;
            }
            auto& s = storage[static_cast<size_t>(i)];
            s.assign(rec[i].size + 2 * kGuard + rec[i].alignment, kGuardByte);
            uintptr_t at = reinterpret_cast<uintptr_t>(s.data()) + kGuard;
            at = (at + rec[i].alignment - 1) & ~(static_cast<uintptr_t>(rec[i].alignment) - 1);
            block[i] = reinterpret_cast<void*>(at);
        }
        d = zoraac_open(&params, block);
    }

    // Every guard byte of the blocks this decoder owns is as it was.
    bool guards_intact() const {
        for (int i = 0; i < records; ++i) {
            const auto& s = storage[static_cast<size_t>(i)];
            if (s.empty()) continue;
            const uint8_t* b = static_cast<const uint8_t*>(block[i]);
            for (const uint8_t* p = s.data(); p < b; ++p)
                if (*p != kGuardByte) return false;
            for (const uint8_t* p = b + rec[i].size; p < s.data() + s.size(); ++p)
                if (*p != kGuardByte) return false;
        }
        return true;
    }

    void spoil_scratch(std::mt19937& rng) {
        for (int i = 0; i < records; ++i)
            if (rec[i].kind == ZORAAC_MEM_SCRATCH)
                for (size_t k = 0; k < rec[i].size; ++k) static_cast<uint8_t*>(block[i])[k] = static_cast<uint8_t>(rng());
    }
};

// The AAC-LC tests' params: SBR off (its frames take twice the room).
zoraac_params stream_params() {
    zoraac_params p;
    zoraac_params_init(&p);
    p.sbr = ZORAAC_SBR_OFF;
    return p;
}

// Access units under the AudioSpecificConfig asc[0 .. size - 1], the
// other params the defaults.
zoraac_params asc_params(const uint8_t* asc, uint32_t size) {
    zoraac_params p;
    zoraac_params_init(&p);
    p.transport = ZORAAC_TRANSPORT_ASC;
    p.asc = asc;
    p.asc_size = size;
    return p;
}

// Every channel of the stream's layout, without the downmix.
zoraac_params native_params() {
    zoraac_params p = stream_params();
    p.output = ZORAAC_OUT_NATIVE;
    p.downmix = ZORAAC_NO_DOWNMIX;
    return p;
}

// What a byte stream fed whole or in pieces gives: its PCM, the shapes of
// its blocks, the refusals met and the info at the end.
using Shapes = std::set<std::pair<uint32_t, uint32_t>>;  // (samples, sample rate) of blocks
struct Played {
    Pcm pcm;
    Shapes shapes;  // of every block
    int refusals = 0;
    zoraac_info info{};
};

// The decoder's info; the call must succeed.
zoraac_info info_of(const Decoder& dec) {
    zoraac_info info{};
    info.size = sizeof info;
    EXPECT_EQ(zoraac_get_info(dec.d, &info), 0);
    return info;
}

// Feeds a byte stream in pieces of 1..max_piece bytes (0: all at once),
// then calls with no input until the decoder needs more; `between` runs
// after every call. Up to `refusals` calls may be refused as unsupported,
// each taking nothing and giving nothing; the last one ends the run.
// Anything else below zero fails.
Played play(Decoder& dec, const Bytes& in, size_t max_piece = 0, uint32_t seed = 1,
            const std::function<void()>& between = {}, int refusals = 0) {
    std::mt19937 rng(seed);
    Played r;
    std::vector<uint8_t> room(zoraac_frame_bytes(&dec.params));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(room.data()) % 4, 0u);
    size_t at = 0;
    size_t piece = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        if (piece == 0) piece = max_piece ? 1 + rng() % max_piece : in.size() - at;
        const size_t n = std::min(piece, in.size() - at);
        size_t used = 99;
        zoraac_frame f{};
        f.bytes = 99;
        const int s = zoraac_decode(dec.d, n ? in.data() + at : nullptr, n, &used, room.data(), room.size(), &f);
        if (s == ZORAAC_ERR_UNSUPPORTED && r.refusals < refusals) {
            EXPECT_EQ(used, 0u);
            EXPECT_EQ(f.bytes, 0u);
            if (++r.refusals == refusals) break;
            continue;
        }
        EXPECT_GE(s, 0) << zoraac_status_string(s);
        EXPECT_LE(used, n);
        if (s < 0) break;
        at += used;
        piece -= std::min(piece, used);
        if (f.bytes) r.shapes.insert({f.samples, f.sample_rate});
        r.pcm.insert(r.pcm.end(), room.data(), room.data() + f.bytes);
        if (between) between();
        if (n == 0 && s == ZORAAC_NEED_MORE_INPUT) break;
    }
    r.info = info_of(dec);
    return r;
}

Pcm decode_stream(Decoder& dec, const Bytes& in, size_t max_piece = 0, uint32_t seed = 1,
                  const std::function<void()>& between = {}) {
    return play(dec, in, max_piece, seed, between).pcm;
}

const char* const kStreams[] = {
    "samples/tones_clicks_12k_mono.aac",       // mono, 12 kHz
    "tests/data/g1_44100_s_clicks.aac",        // stereo, 44.1 kHz
    "tests/data/p01_head.aac",                 // noise substitution
    "tests/data/p05_ff_8000_m_speech.vbr.adif",  // ADIF
};

TEST(Api, PiecesOfAnySizeAndSpoiledScratchGiveTheSamePcm) {
    // The stream whole; in pieces of up to 1, 7, 300 and 5000 bytes; and in
    // pieces of up to 500 bytes with its scratch blocks filled with random
    // bytes after every call: the same PCM, the guard bytes untouched.
    std::mt19937 rng(7);
    for (const char* name : kStreams) {
        const Bytes in = read_file(name);
        ASSERT_FALSE(in.empty()) << name;
        Decoder whole(stream_params());
        ASSERT_NE(whole.d, nullptr);
        const Pcm want = decode_stream(whole, in);
        EXPECT_GT(want.size(), 20u * 4096) << name;
        for (size_t max_piece : {1u, 7u, 300u, 5000u}) {
            Decoder dec(stream_params());
            EXPECT_EQ(decode_stream(dec, in, max_piece, static_cast<uint32_t>(max_piece)), want)
                << name << " in pieces of up to " << max_piece;
            EXPECT_TRUE(dec.guards_intact()) << name;
        }
        Decoder spoiled(stream_params());
        EXPECT_EQ(decode_stream(spoiled, in, 500, 3, [&] { spoiled.spoil_scratch(rng); }), want) << name;
    }
}

// Whether the decoder refuses a byte stream (as a whole, in one call and the end).
bool refused(const Bytes& in) {
    Decoder dec(stream_params());
    return play(dec, in, 0, 1, {}, 1).refusals == 1;
}

TEST(Api, EveryShippedStreamStaysInsideItsBlocks) {
    // Guard bytes around every block, over every stream the tests ship
    // (damaged ones included) and the raw blocks read as a byte stream.
    int streams = 0;
    for (const char* dir : {"tests/data", "samples"}) {
        for (const auto& e : std::filesystem::directory_iterator(std::string(AAC_SOURCE_DIR) + "/" + dir)) {
            const std::string ext = e.path().extension().string();
            if (ext != ".aac" && ext != ".adif" && ext != ".raw") continue;
            const Bytes in = read_file(std::string(dir) + "/" + e.path().filename().string());
            // (The compact arithmetic refuses the multichannel streams.)
            if (!AAC_EXACT && refused(in)) continue;
            for (uint32_t output : {ZORAAC_OUT_STEREO, ZORAAC_OUT_NATIVE}) {
                zoraac_params p = stream_params();
                p.output = output;
                Decoder dec(p);
                decode_stream(dec, in, 900, 4);
                EXPECT_TRUE(dec.guards_intact()) << e.path();
            }
            ++streams;
        }
    }
    EXPECT_GE(streams, 20);
}

TEST(Api, DecodersInterleavedInOneThreadShareScratch) {
    const Bytes a = read_file(kStreams[1]);
    const Bytes b = read_file(kStreams[2]);
    Decoder alone_a(stream_params()), alone_b(stream_params());
    const Pcm want_a = decode_stream(alone_a, a, 1000, 5);
    const Pcm want_b = decode_stream(alone_b, b, 1000, 6);

    Decoder first(stream_params());
    Decoder second(stream_params(), first.block);  // the first one's scratch blocks
    ASSERT_NE(second.d, nullptr);
    Pcm got_a, got_b;
    std::vector<uint8_t> room(4096);
    size_t at_a = 0, at_b = 0;
    bool end_a = false, end_b = false;
    std::mt19937 rng(9);
    auto step = [&](Decoder& dec, const Bytes& in, size_t& at, bool& end, Pcm& out) {
        if (end) return;
        const size_t n = std::min<size_t>(1 + rng() % 1000, in.size() - at);
        size_t used = 0;
        zoraac_frame f;
        const int s = zoraac_decode(dec.d, n ? in.data() + at : nullptr, n, &used, room.data(), room.size(), &f);
        ASSERT_GE(s, 0);
        at += used;
        out.insert(out.end(), room.data(), room.data() + f.bytes);
        end = n == 0 && s == ZORAAC_NEED_MORE_INPUT;
    };
    while (!end_a || !end_b) {
        step(first, a, at_a, end_a, got_a);
        step(second, b, at_b, end_b, got_b);
    }
    EXPECT_EQ(got_a, want_a);
    EXPECT_EQ(got_b, want_b);
}

TEST(Api, FourThreadsFourStreams) {
    std::vector<Bytes> in;
    std::vector<Pcm> want;
    for (const char* name : kStreams) {
        in.push_back(read_file(name));
        Decoder alone(stream_params());
        want.push_back(decode_stream(alone, in.back(), 2000, 11));
    }
    std::vector<Pcm> got(in.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < in.size(); ++k)
        threads.emplace_back([&, k] {
            Decoder dec(stream_params());
            for (int round = 0; round < 10; ++round) {
                got[k] = decode_stream(dec, in[k], 700, static_cast<uint32_t>(k));
                zoraac_flush(dec.d);
            }
        });
    for (auto& t : threads) t.join();
    for (size_t k = 0; k < in.size(); ++k) EXPECT_EQ(got[k], want[k]) << kStreams[k];
}

// The ADTS frames of a stream, headers included.
std::vector<Bytes> adts_frames(const Bytes& adts) {
    std::vector<Bytes> frames;
    for (size_t at = 0; at + 7 <= adts.size();) {
        const size_t length = static_cast<size_t>((adts[at + 3] & 3) << 11 | adts[at + 4] << 3 | adts[at + 5] >> 5);
        if (length < 7 || at + length > adts.size()) break;
        frames.emplace_back(adts.begin() + static_cast<long>(at), adts.begin() + static_cast<long>(at + length));
        at += length;
    }
    return frames;
}

// The frame length field of the ADTS frame f (header included) set to its size.
void set_adts_length(Bytes& f) {
    const size_t n = f.size();
    f[3] = static_cast<uint8_t>((f[3] & 0xFC) | n >> 11);
    f[4] = static_cast<uint8_t>(n >> 3);
    f[5] = static_cast<uint8_t>((f[5] & 0x1F) | (n & 7) << 5);
}

// ADTS frames without their headers: the access units of the stream.
std::vector<Bytes> access_units(const Bytes& adts, uint8_t asc[2]) {
    std::vector<Bytes> units;
    for (const Bytes& frame : adts_frames(adts)) {
        const uint8_t* h = frame.data();
        if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) break;
        const size_t header = (h[1] & 1) ? 7 : 9;
        if (frame.size() <= header) break;
        const unsigned object = (h[2] >> 6) + 1u, index = (h[2] >> 2) & 15u;
        const unsigned config = (h[2] & 1u) << 2 | h[3] >> 6;
        asc[0] = static_cast<uint8_t>(object << 3 | index >> 1);
        asc[1] = static_cast<uint8_t>((index & 1) << 7 | config << 3);
        units.emplace_back(frame.begin() + static_cast<long>(header), frame.end());
    }
    return units;
}

// An empty unit: one the host lost (zoraac_conceal).
Pcm decode_units(Decoder& dec, const std::vector<Bytes>& units) {
    Pcm out;
    std::vector<uint8_t> room(zoraac_frame_bytes(&dec.params));
    for (const Bytes& u : units) {
        size_t used = 0;
        zoraac_frame f;
        const int s = u.empty() ? zoraac_conceal(dec.d, room.data(), room.size(), &f)
                                : zoraac_decode(dec.d, u.data(), u.size(), &used, room.data(), room.size(), &f);
        EXPECT_GE(s, 0) << zoraac_status_string(s);
        EXPECT_EQ(used, u.size());
        out.insert(out.end(), room.data(), room.data() + f.bytes);
    }
    return out;
}

TEST(Api, AUnitTooLongToHoldOrLostIsConcealedAsAFailedOne) {
    // g1's units, unit 5 replaced by one that fails (an end element alone),
    // by one longer than the decoder holds, or lost by the host: all are
    // concealed the same way, the first concealed block of a run repeating
    // the last good one (the long one was concealed without counting the
    // run, so it faded).
    uint8_t asc[2];
    const std::vector<Bytes> units = access_units(read_file(kStreams[1]), asc);
    ASSERT_GT(units.size(), 8u);
    Pcm pcm[3];
    for (int k = 0; k < 3; ++k) {
        std::vector<Bytes> spoiled = units;
        spoiled[5] = k == 0 ? Bytes(8, 0xFF) : k == 1 ? Bytes(6000, 0x5A) : Bytes();
        Decoder dec(asc_params(asc, 2));
        pcm[k] = decode_units(dec, spoiled);
        EXPECT_EQ(info_of(dec).frames_concealed, 1u) << k;
    }
    EXPECT_EQ(pcm[0].size(), units.size() * 4096);
    EXPECT_TRUE(pcm[0] == pcm[1]);
    EXPECT_TRUE(pcm[0] == pcm[2]);
    // A lost unit gives nothing with concealment off, or before a block to
    // conceal from (at the stream's start, after a flush: the layout and
    // rate are not yet the stream's), and a byte stream's frames show their
    // own losses.
    std::vector<uint8_t> room(8192);
    // (So does a unit too long to hold there, as a failing one does.)
    Decoder fresh(asc_params(asc, 2));
    const Bytes long_unit(6000, 0x5A);
    size_t used = 0;
    EXPECT_EQ(zoraac_conceal(fresh.d, room.data(), room.size(), nullptr), ZORAAC_DROPPED);
    decode_units(fresh, {units[0]});
    EXPECT_EQ(zoraac_conceal(fresh.d, room.data(), room.size(), nullptr), ZORAAC_CONCEALED);
    zoraac_flush(fresh.d);
    EXPECT_EQ(zoraac_conceal(fresh.d, room.data(), room.size(), nullptr), ZORAAC_DROPPED);
    EXPECT_EQ(zoraac_decode(fresh.d, long_unit.data(), long_unit.size(), &used, room.data(), room.size(), nullptr),
              ZORAAC_DROPPED);
    zoraac_params off = asc_params(asc, 2);
    off.conceal = 0;
    Decoder quiet(off);
    EXPECT_EQ(zoraac_conceal(quiet.d, room.data(), room.size(), nullptr), ZORAAC_DROPPED);
    Decoder stream(stream_params());
    EXPECT_EQ(zoraac_conceal(stream.d, room.data(), room.size(), nullptr), ZORAAC_ERR_ARGUMENT);
}

TEST(Api, AByteStreamConcealsAFrameLostBetweenItsPiecesOnceItsEndIsPushedThrough) {
    // g1 as a byte stream with frame 5 lost between two pieces (a PES packet
    // a recording lost): refused while the decoder holds frame 4 back, then
    // after the end of the first piece is pushed through one block in frame
    // 5's place, and the rest goes on with the stream: the clean length,
    // every block but that one and the next the clean decode's.
    const Bytes adts = read_file(kStreams[1]);
    std::vector<size_t> starts;
    for (size_t at = 0; at + 7 <= adts.size(); at += (adts[at + 3] & 3) << 11 | adts[at + 4] << 3 | adts[at + 5] >> 5)
        starts.push_back(at);
    ASSERT_GT(starts.size(), 8u);
    Decoder whole(stream_params());
    const Pcm clean = decode_stream(whole, adts);
    Decoder dec(stream_params());
    std::vector<uint8_t> room(zoraac_frame_bytes(&dec.params));
    Pcm pcm = decode_stream(dec, Bytes(adts.begin(), adts.begin() + static_cast<long>(starts[5])));
    // (decode_stream ends with the end of its input: the frames are out.)
    zoraac_frame f;
    ASSERT_EQ(zoraac_conceal(dec.d, room.data(), room.size(), &f), ZORAAC_CONCEALED);
    pcm.insert(pcm.end(), room.data(), room.data() + f.bytes);
    const Pcm rest = decode_stream(dec, Bytes(adts.begin() + static_cast<long>(starts[6]), adts.end()));
    pcm.insert(pcm.end(), rest.begin(), rest.end());
    ASSERT_EQ(pcm.size(), clean.size());
    const size_t block = 4096;
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + 5 * block, clean.begin()));
    EXPECT_FALSE(std::equal(pcm.begin() + 5 * block, pcm.begin() + 6 * block, clean.begin() + 5 * block));
    EXPECT_TRUE(std::equal(pcm.begin() + 7 * block, pcm.end(), clean.begin() + 7 * block));
    EXPECT_EQ(info_of(dec).frames_concealed, 1u);
    // Holding a frame back, it refuses: the block would come before it.
    Decoder held(stream_params());
    for (size_t at = 0, used = 0; at < starts[5]; at += used)
        ASSERT_GE(zoraac_decode(held.d, adts.data() + at, starts[5] - at, &used, room.data(), room.size(), &f), 0);
    EXPECT_EQ(zoraac_conceal(held.d, room.data(), room.size(), &f), ZORAAC_ERR_ARGUMENT);
}

TEST(Api, AccessUnitsByConfigOrByRateGiveTheAdtsPcm) {
    for (const char* name : {kStreams[0], kStreams[1], kStreams[2]}) {
        const Bytes adts = read_file(name);
        uint8_t asc[2] = {};
        const auto units = access_units(adts, asc);
        ASSERT_GT(units.size(), 10u) << name;
        Decoder stream(stream_params());
        const Pcm want = decode_stream(stream, adts);

        zoraac_params p = stream_params();
        p.transport = ZORAAC_TRANSPORT_ASC;
        p.asc = asc;
        p.asc_size = 2;
        Decoder by_asc(p);
        ASSERT_NE(by_asc.d, nullptr) << name;
        EXPECT_EQ(decode_units(by_asc, units), want) << name;

        const zoraac_info info = info_of(by_asc);
        EXPECT_EQ(vals(info.transport, info.object_type, info.frames_decoded, info.frames_concealed),
                  vals(ZORAAC_TRANSPORT_ASC, 2, units.size(), 0));

        p.transport = ZORAAC_TRANSPORT_RAW;
        p.asc = nullptr;
        p.sample_rate = info.sample_rate;
        p.channels = info.channels;
        Decoder by_rate(p);
        ASSERT_NE(by_rate.d, nullptr) << name;
        EXPECT_EQ(decode_units(by_rate, units), want) << name;
    }
}

// Access units of more channels are longer (up to 768 bytes a channel):
// a 5.1 stream's units of 2.0 to 2.5 KB, by configuration or by rate, play
// as its ADTS frames do. (They were taken and concealed, longer than a
// stereo decoder's input takes.)
TEST(Api, LongAccessUnitsOfMoreChannelsPlayWhole) {
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic refuses more than two channels";
    const Bytes adts = read_file("tests/data/g5_48000_5.1_loud.aac");
    uint8_t asc[2] = {};
    const auto units = access_units(adts, asc);
    ASSERT_GT(std::max_element(units.begin(), units.end(), [](const Bytes& a, const Bytes& b) {
                  return a.size() < b.size();
              })->size(), 2400u);
    Decoder stream(stream_params());
    const Pcm want = decode_stream(stream, adts);
    ASSERT_EQ(want.size(), units.size() * 4096);
    zoraac_params p = stream_params();
    p.transport = ZORAAC_TRANSPORT_ASC;
    p.asc = asc;
    p.asc_size = 2;
    Decoder by_asc(p);
    ASSERT_NE(by_asc.d, nullptr);
    EXPECT_EQ(decode_units(by_asc, units), want);
    EXPECT_EQ(info_of(by_asc).frames_concealed, 0u);
    p.transport = ZORAAC_TRANSPORT_RAW;
    p.asc = nullptr;
    p.sample_rate = 48000;
    p.channels = 6;
    Decoder by_rate(p);
    ASSERT_NE(by_rate.d, nullptr);
    EXPECT_EQ(decode_units(by_rate, units), want);
    EXPECT_TRUE(by_asc.guards_intact() && by_rate.guards_intact());
}

// The stream's single-block frames (no CRC), `per` at a time, as frames of
// several raw data blocks.
Bytes merge_frames(const Bytes& adts, size_t per) {
    Bytes out;
    size_t at = 0;
    while (at + 7 <= adts.size()) {
        Bytes payload;
        uint8_t header[7];
        std::copy_n(&adts[at], 7, header);
        size_t blocks = 0;
        for (; blocks < per && at + 7 <= adts.size(); ++blocks) {
            const uint8_t* h = &adts[at];
            const size_t length = static_cast<size_t>((h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5);
            payload.insert(payload.end(), h + 7, h + length);
            at += length;
        }
        const size_t length = payload.size() + 7;
        header[3] = static_cast<uint8_t>((header[3] & 0xFC) | length >> 11);
        header[4] = static_cast<uint8_t>(length >> 3);
        header[5] = static_cast<uint8_t>((header[5] & 0x1F) | (length & 7) << 5);
        header[6] = static_cast<uint8_t>((header[6] & 0xFC) | (blocks - 1));
        out.insert(out.end(), header, header + 7);
        out.insert(out.end(), payload.begin(), payload.end());
    }
    return out;
}

TEST(Api, FramesOfAnyLegalLengthAreTaken) {
    // 576 kbit/s stereo: blocks of about 1.2 KB, four to a frame of about
    // 4.7 KB, each block as it decodes in a frame of its own.
    const Bytes single = read_file("tests/data/g4_48000_s_noise.aac");
    const Bytes merged = merge_frames(single, 4);
    ASSERT_GT(merged[3] & 3, 0) << "a first frame of 2048 bytes or more";
    Decoder one(stream_params());
    const Pcm want = decode_stream(one, single);
    ASSERT_EQ(want.size(), 20u * 4096);
    for (size_t max_piece : {0u, 300u, 9000u}) {
        Decoder dec(stream_params());
        EXPECT_EQ(decode_stream(dec, merged, max_piece, 2), want) << max_piece;
    }
}

TEST(Api, SbrDoublesTheRateOfHeAacAndLeavesAacLcAlone) {
    // With SBR (the default): an AAC-LC stream decodes as with SBR off, in
    // blocks of 1024 samples; an HE-AAC one at twice its core rate, in
    // blocks of 2048, in two more records; with SBR off, its core.
    zoraac_params full;
    zoraac_params_init(&full);
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    const int records = zoraac_query_memory(&full, rec);
    const zoraac_params off = stream_params();
    if (!AAC_SBR_BUILT) {
        EXPECT_EQ(records, zoraac_query_memory(&off, rec));  // a build without SBR plays the core
        return;
    }
    EXPECT_EQ(records, zoraac_query_memory(&off, rec) + 2);
    EXPECT_EQ(zoraac_frame_bytes(&full), 2 * zoraac_frame_bytes(&off));
    const Bytes lc = read_file(kStreams[1]);
    Decoder lc_full(full), lc_off(off);
    EXPECT_EQ(decode_stream(lc_full, lc, 700, 3), decode_stream(lc_off, lc));

    const Bytes he = read_file("tests/data/p41_head.aac");
    Decoder he_full(full), he_off(off);
    const Played got = play(he_full, he, 700, 3);
    EXPECT_EQ(got.shapes, (Shapes{{2048, 32000}}));
    // The SBR banks' delay, at the output rate: the low band lags the core's by 481 core samples.
    EXPECT_EQ(got.info.delay, 962u);
    EXPECT_EQ(got.pcm.size(), 2 * decode_stream(he_off, he).size());
}

// Mean square of x[0..n) (n a power of two, Hann window) in each band of
// [lo, hi) Hz, from its FFT, per unit of window power: a sine's value is
// the same at any rate and length.
std::vector<double> band_power(const std::vector<double>& x, double rate, const std::vector<double>& edges) {
    const size_t n = x.size();
    std::vector<std::complex<double>> a(n);
    double wsum = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(n));
        a[i] = x[i] * w;
        wsum += w * w;
    }
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len *= 2) {
        const std::complex<double> w = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> t = 1;
            for (size_t k = 0; k < len / 2; ++k, t *= w) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * t;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    std::vector<double> out(edges.size() - 1, 0.0);
    for (size_t k = 1; k < n / 2; ++k) {
        const double f = static_cast<double>(k) * rate / static_cast<double>(n);
        for (size_t b = 0; b + 1 < edges.size(); ++b)
            if (f >= edges[b] && f < edges[b + 1]) out[b] += 2 * std::norm(a[k]) / (wsum * static_cast<double>(n));
    }
    return out;
}

// The left channel of interleaved 16-bit stereo PCM.
std::vector<double> left_of(const Pcm& pcm) {
    std::vector<double> x(pcm.size() / 4);
    for (size_t i = 0; i < x.size(); ++i) {
        int16_t v;
        std::memcpy(&v, &pcm[4 * i], 2);
        x[i] = v;
    }
    return x;
}

TEST(Api, DownsampledSbrPlaysTheFullRateBandsBelowTheCoreNyquist) {
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    zoraac_params full, down;
    zoraac_params_init(&full);
    zoraac_params_init(&down);
    down.sbr = ZORAAC_SBR_DOWNSAMPLED;
    zoraac_memrec rf[ZORAAC_MAX_MEMRECS], rd[ZORAAC_MAX_MEMRECS];
    const int n = zoraac_query_memory(&full, rf);
    ASSERT_EQ(zoraac_query_memory(&down, rd), n);
    ASSERT_GE(n, 2);
    // The SBR persistent record (the last but one) holds the 32-band synthesis states.
    EXPECT_EQ(rd[n - 2].kind, ZORAAC_MEM_PERSISTENT);
    EXPECT_LT(rd[n - 2].size + 2500, rf[n - 2].size);
    EXPECT_EQ(zoraac_frame_bytes(&down), zoraac_frame_bytes(&full) / 2);

    // p41: mono, 16 kHz core, its SBR band from about 6 kHz.
    const Bytes he = read_file("tests/data/p41_head.aac");
    Decoder d(down), f(full);
    const Played played = play(d, he);
    EXPECT_EQ(played.shapes, (Shapes{{1024, 16000}}));
    const Pcm& low = played.pcm;
    const Pcm high = decode_stream(f, he);
    ASSERT_EQ(high.size(), 2 * low.size());
    // Band powers over the stream, 16384 samples at 16 kHz, 32768 at 32 kHz.
    const std::vector<double> edges = {100, 1000, 3000, 5000, 6500, 7500};
    std::vector<double> x = left_of(low), y = left_of(high);
    ASSERT_GE(x.size(), 16384u);
    x.resize(16384);
    y.resize(32768);
    const auto pl = band_power(x, 16000, edges), ph = band_power(y, 32000, edges);
    for (size_t b = 0; b < pl.size(); ++b) {
        const double db = 10 * std::log10((pl[b] + 1e-3) / (ph[b] + 1e-3));
        std::printf("%5.0f..%5.0f Hz: %6.1f dB, %+.2f dB from the full rate\n", edges[b], edges[b + 1],
                    10 * std::log10(ph[b] + 1e-3), db);
        EXPECT_LT(std::fabs(db), 0.5) << edges[b];
    }
    EXPECT_GT(ph.back(), 1.0);  // the SBR band is there
}

// The high band of block k: its power above 9 kHz (32 kHz output).
double high_band_power(const Pcm& pcm, size_t block) {
    const std::vector<double> all = left_of(pcm);
    const std::vector<double> x(all.begin() + static_cast<long>(2048 * block), all.begin() + static_cast<long>(2048 * (block + 1)));
    return band_power(x, 32000, {9000, 16000})[0];
}

TEST(Api, SbrConcealmentFadesTheHighBandAndResynchronises) {
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    const Bytes adts = read_file("tests/data/p41_head.aac");
    uint8_t asc[2] = {};
    const auto units = access_units(adts, asc);
    ASSERT_GT(units.size(), 16u);
    const zoraac_params p = asc_params(asc, 2);
    Decoder clean(p), hurt(p);
    const Pcm good = decode_units(clean, units);
    // Block k's unit cut short: the block fails and is concealed.
    constexpr size_t k = 10;
    auto damaged = units;
    damaged[k].resize(damaged[k].size() / 3);
    const Pcm bad = decode_units(hurt, damaged);
    ASSERT_EQ(bad.size(), good.size());
    EXPECT_EQ(info_of(hurt).frames_concealed, 1u);
    const size_t block_bytes = 2048 * 4;
    EXPECT_EQ(std::memcmp(bad.data(), good.data(), k * block_bytes), 0);
    const double before = high_band_power(bad, k - 1), held = high_band_power(bad, k);
    std::printf("high band: block %zu %.1f dB, concealed %.1f dB\n", k - 1, 10 * std::log10(before), 10 * std::log10(held));
    EXPECT_GT(held, 0.0);
    EXPECT_LT(held, before);
    EXPECT_GT(held, before / 100);  // faded, not gone
    // The blocks after it come back to the clean decode: the core after one,
    // the SBR state (delta-coded envelopes, smoothed chirp and gains) after
    // a few more.
    size_t same = 0;
    for (size_t b = k + 1; b < units.size(); ++b) {
        const bool equal = std::memcmp(bad.data() + b * block_bytes, good.data() + b * block_bytes, block_bytes) == 0;
        if (!equal) same = 0;
        else if (!same) same = b;
        if (!equal) {
            int worst = 0;
            for (size_t i = b * block_bytes; i < (b + 1) * block_bytes; i += 2) {
                int16_t u, v;
                std::memcpy(&u, &bad[i], 2);
                std::memcpy(&v, &good[i], 2);
                worst = std::max(worst, std::abs(u - v));
            }
            std::printf("block %zu: up to %d LSB from the clean decode\n", b, worst);
            // Blocks k + 1 and k + 2 hold the concealed core's overlap and
            // (behind the QMF banks' delay) its high band; then only the
            // smoothed SBR state is off, by a few LSB.
            if (b >= k + 3) EXPECT_LE(worst, 16) << b;
        }
    }
    EXPECT_NE(same, 0u);
    // Bit-exact again from here to the end (the core's block scale, chosen
    // from the blocks before, takes a block or two longer to agree).
    EXPECT_LE(same, k + 8);
}

// The access unit of a silent channel pair: two long windows with no
// bands (no SBR data).
Bytes silent_pair_unit() {
    Bytes raw = {0x20, 0, 0, 0, 0, 0, 0};  // a pair, its two channels' fields zero but the gains
    raw[1] = 100;                             // global gain of channel 0 (bits 8..15)
    raw[3] = 100 >> 6;                        // of channel 1 (bits 30..37)
    raw[4] = (100 & 63) << 2;
    raw[6] = 0x7 << 1;                        // the end element, bits 52..54
    return raw;
}

TEST(Api, AStereoSectionAfterParametricStereoStartsFromSilence) {
    // Parametric stereo keeps part of its delay lines in the core's idle
    // overlap buffer of channel 1: a pair that follows takes the buffer
    // back zeroed, as a fresh channel's. A silent pair after a mono PS
    // section: its right channel is the PS right channel's tail through
    // the synthesis bank's delay (10 QMF slots), then silence to the end.
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    uint8_t asc[2] = {};
    auto units = access_units(read_file("tests/data/p42_head.aac"), asc);
    const size_t ps_blocks = 12;
    ASSERT_GT(units.size(), ps_blocks);
    units.resize(ps_blocks);
    for (int k = 0; k < 3; ++k) units.push_back(silent_pair_unit());
    zoraac_params p;
    zoraac_params_init(&p);
    p.transport = ZORAAC_TRANSPORT_ASC;
    p.asc = asc;
    p.asc_size = 2;
    Decoder dec(p);
    const Pcm got = decode_units(dec, units);
    const size_t block_bytes = 2048 * 4;
    ASSERT_EQ(got.size(), (ps_blocks + 3) * block_bytes);
    EXPECT_EQ(info_of(dec).frames_concealed, 0u);
    auto right = [&](size_t block, size_t i) {
        int16_t v;
        std::memcpy(&v, &got[block * block_bytes + 4 * i + 2], 2);
        return v;
    };
    int ps_tail = 0;
    for (size_t i = 0; i < 640; ++i) ps_tail = std::max(ps_tail, std::abs(right(ps_blocks, i)));
    EXPECT_GT(ps_tail, 0);  // (the section before did play PS)
    for (size_t b = ps_blocks; b < ps_blocks + 3; ++b)
        for (size_t i = b == ps_blocks ? 640 : 0; i < 2048; ++i) ASSERT_EQ(right(b, i), 0) << b << ' ' << i;
}

TEST(Api, AStereoStreamSplicedAfterParametricStereoStartsFromSilence) {
    // The same across a splice: ADTS frames of a silent pair after a mono PS
    // section at the same core rate, a stream of its own (SBR decided again,
    // parametric stereo over): its right channel is silence from its first
    // block, its overlap buffer handed back zeroed.
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    Bytes in = read_file("tests/data/p42_head.aac");
    const Bytes unit = silent_pair_unit();
    const uint32_t length = 7 + static_cast<uint32_t>(unit.size());
    // ADTS: MPEG-4 LC, 22.05 kHz (index 7), two channels, no CRC, one block.
    const Bytes header = {0xFF, 0xF1, 0x5C, static_cast<uint8_t>(0x80 | (length >> 11)),
                          static_cast<uint8_t>(length >> 3), static_cast<uint8_t>((length & 7) << 5 | 0x1F), 0xFC};
    for (int k = 0; k < 4; ++k) {
        in.insert(in.end(), header.begin(), header.end());
        in.insert(in.end(), unit.begin(), unit.end());
    }
    zoraac_params p;
    zoraac_params_init(&p);  // SBR at the full rate
    Decoder dec(p);
    const Pcm got = decode_stream(dec, in);
    const zoraac_info info = info_of(dec);
    ASSERT_EQ(info.output_rate, 22050u);
    const size_t lc_bytes = 4 * 1024 * 4;  // the pair's four blocks
    ASSERT_GT(got.size(), lc_bytes);
    for (size_t i = got.size() - lc_bytes; i < got.size(); i += 4) {
        int16_t right;
        std::memcpy(&right, &got[i + 2], 2);
        ASSERT_EQ(right, 0) << (got.size() - i) / 4 << " samples before the end";
    }
}

TEST(Api, InfoDescribesTheStream) {
    const Bytes in = read_file(kStreams[0]);
    zoraac_params p = stream_params();
    p.output = ZORAAC_OUT_NATIVE;
    Decoder dec(p);
    zoraac_info info = info_of(dec);
    EXPECT_EQ(vals(info.transport, info.sample_rate), vals(ZORAAC_TRANSPORT_AUTO, 0));
    const Pcm pcm = decode_stream(dec, in, 333, 2);
    info = info_of(dec);
    EXPECT_EQ(vals(info.transport, info.object_type, info.sample_rate, info.output_rate, info.channels,
                   info.output_channels, info.channel_configuration, info.bytes_consumed, info.frames_decoded * 2048,
                   info.delay),
              vals(ZORAAC_TRANSPORT_ADTS, 2, 12000, 12000, 1, 1, 1, in.size(), pcm.size(), 0));
    EXPECT_GT(info.bit_rate, 8000u);
    EXPECT_LT(info.bit_rate, 64000u);

    // Native mono is the left channel of the stereo output.
    Decoder stereo(stream_params());
    const Pcm doubled = decode_stream(stereo, in, 333, 2);
    ASSERT_EQ(doubled.size(), 2 * pcm.size());
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        ASSERT_EQ(pcm[i], doubled[2 * i]);
        ASSERT_EQ(pcm[i + 1], doubled[2 * i + 1]);
    }
}

TEST(Api, ThirtyTwoBitOutputKeepsTheBitsBelowTheLsb) {
    zoraac_params p32 = stream_params();
    p32.format = ZORAAC_S32;
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    if (!AAC_EXACT) {
        EXPECT_EQ(zoraac_query_memory(&p32, rec), ZORAAC_ERR_UNSUPPORTED);
        return;
    }
    EXPECT_EQ(zoraac_frame_bytes(&p32), 8192u);
    for (const char* name : {kStreams[0], kStreams[1], kStreams[2]}) {
        const Bytes in = read_file(name);
        Decoder d16(stream_params()), d32(p32);
        const Pcm s16 = decode_stream(d16, in, 700, 3);
        const Pcm s32 = decode_stream(d32, in, 700, 3);
        ASSERT_EQ(s32.size(), 2 * s16.size()) << name;
        size_t low_bits = 0;
        for (size_t i = 0; i < s16.size() / 2; ++i) {
            int16_t a;
            int32_t b;
            std::memcpy(&a, &s16[2 * i], 2);
            std::memcpy(&b, &s32[4 * i], 4);
            ASSERT_EQ(static_cast<int32_t>((static_cast<int64_t>(b) + 32768) >> 16), a) << name << " sample " << i;
            low_bits += (b & 0xFFFF) != 0;
        }
        EXPECT_GT(low_bits, s16.size() / 4) << name;  // most samples carry bits below the LSB
    }
    // Native mono in 32 bits: the left channel of the stereo output.
    p32.output = ZORAAC_OUT_NATIVE;
    const Bytes in = read_file(kStreams[0]);
    Decoder mono(p32), stereo(stream_params());
    stereo.params.format = ZORAAC_S32;
    Decoder stereo32(stereo.params);
    const Pcm m = decode_stream(mono, in, 0, 1), st = decode_stream(stereo32, in, 0, 1);
    ASSERT_EQ(2 * m.size(), st.size());
    for (size_t i = 0; i < m.size() / 4; ++i) ASSERT_EQ(std::memcmp(&m[4 * i], &st[8 * i], 4), 0) << i;
}

TEST(Api, RefusalsTakeNothing) {
    const Bytes in = read_file(kStreams[1]);
    Decoder dec(stream_params());
    ASSERT_NE(dec.d, nullptr);
    uint8_t room[4096];
    size_t used = 99;
    EXPECT_EQ(zoraac_decode(dec.d, in.data(), in.size(), &used, room, sizeof room - 1, nullptr), ZORAAC_ERR_OUTPUT_ROOM);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(zoraac_decode(dec.d, nullptr, 5, &used, room, sizeof room, nullptr), ZORAAC_ERR_ARGUMENT);
    EXPECT_EQ(zoraac_decode(nullptr, in.data(), 5, &used, room, sizeof room, nullptr), ZORAAC_ERR_ARGUMENT);
    EXPECT_EQ(used, 0u);

    zoraac_params p = stream_params();
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    p.transport = ZORAAC_TRANSPORT_RAW;
    p.sample_rate = 44000;
    p.channels = 2;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_CONFIG);
    p.sample_rate = 44100;
    p.channels = 7;  // no channel configuration has seven
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_CONFIG);
    // More than two channels play mixed (exact arithmetic), or are refused.
    p.channels = 3;
    EXPECT_EQ(zoraac_query_memory(&p, rec) > 0, AAC_EXACT != 0);
    p.downmix = ZORAAC_NO_DOWNMIX;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_UNSUPPORTED);
    p.transport = ZORAAC_TRANSPORT_ASC;
    const uint8_t main_profile[2] = {0x0A, 0x10};  // object type 1 (AAC Main), 44.1 kHz, stereo
    const uint8_t six_channels[2] = {0x12, 0x30};   // AAC-LC, 44.1 kHz, 5.1
    const uint8_t cut[1] = {0x12};
    p.asc = main_profile;
    p.asc_size = 2;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_UNSUPPORTED);
    p.asc = six_channels;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_UNSUPPORTED);
    p.downmix = ZORAAC_DOWNMIX;
    EXPECT_EQ(zoraac_query_memory(&p, rec) > 0, AAC_EXACT != 0);
    // Configurations 11 to 14 (6.1 to 22.2 layouts) are refused as decoding
    // would refuse them (they were taken, and every unit refused).
    for (const uint8_t config : {11, 12, 13, 14}) {
        const uint8_t layout[2] = {0x12, static_cast<uint8_t>(config << 3)};
        p.asc = layout;
        EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_UNSUPPORTED) << int(config);
    }
    p.asc = cut;
    p.asc_size = 1;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_CONFIG);
    void* none[ZORAAC_MAX_MEMRECS] = {};
    EXPECT_EQ(zoraac_open(&p, none), nullptr);
    p = stream_params();
    EXPECT_EQ(zoraac_open(&p, none), nullptr);

    // Access units under a config: the room is checked too (the config's
    // bytes are gone after the open; the check once read them again, failed
    // and let any room through).
    {
        zoraac_params pa = stream_params();
        const uint8_t lc_mono_12k[2] = {0x14, 0x88};
        pa.transport = ZORAAC_TRANSPORT_ASC;
        pa.asc = lc_mono_12k;
        pa.asc_size = 2;
        Decoder units(pa);
        ASSERT_NE(units.d, nullptr);
        const uint8_t unit[16] = {};
        used = 99;
        EXPECT_EQ(zoraac_decode(units.d, unit, sizeof unit, &used, room, sizeof room - 4, nullptr),
                  ZORAAC_ERR_OUTPUT_ROOM);
        EXPECT_EQ(used, 0u);
    }

    // A block off its alignment is refused.
    Decoder good(stream_params());
    void* shifted[ZORAAC_MAX_MEMRECS];
    std::memcpy(shifted, good.block, sizeof shifted);
    shifted[1] = static_cast<uint8_t*>(shifted[1]) + 4;
    EXPECT_EQ(zoraac_open(&p, shifted), nullptr);
}

TEST(Api, AStreamOfOneFrameGivesItsBlock) {
    // A lone frame is found by search with no header behind it: the end of
    // the input must still bring its block out.
    const Bytes in = read_file(kStreams[1]);
    const size_t length = static_cast<size_t>((in[3] & 3) << 11 | in[4] << 3 | in[5] >> 5);
    const Bytes one(in.begin(), in.begin() + static_cast<long>(length));
    Decoder whole(stream_params()), lone(stream_params());
    const Pcm all = decode_stream(whole, in);
    const Pcm first = decode_stream(lone, one, 100, 1);
    ASSERT_EQ(first.size(), 4096u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), all.begin()));
}

// A stream that goes on after its end was pushed through plays on without
// a gap: the two parts are the PCM of the whole. (The end padding's header
// took the first bytes that came as its frame's, and a concealed block
// stood between the parts.)
TEST(Api, AStreamThatGoesOnAfterItsEndPlaysOn) {
    const Bytes in = read_file(kStreams[2]);
    Bytes twice = in;
    twice.insert(twice.end(), in.begin(), in.end());
    Decoder whole(stream_params()), parts(stream_params());
    const Pcm want = decode_stream(whole, twice);
    Pcm got = decode_stream(parts, in, 300, 1);
    const Played rest = play(parts, in, 300, 2);
    got.insert(got.end(), rest.pcm.begin(), rest.pcm.end());
    EXPECT_EQ(rest.info.frames_concealed, 0u);
    EXPECT_EQ(got, want);
}

// A flush may start another stream: one refused for its channels does not
// hold the next back (it was refused too, until the decoder was opened
// again).
TEST(Api, AFlushLetsTheNextStreamPlayAfterARefusal) {
    zoraac_params p = stream_params();
    p.downmix = ZORAAC_NO_DOWNMIX;
    Decoder dec(p), fresh(p);
    const Played five = play(dec, read_file("tests/data/p48_5.1_38_64.aac"), 0, 1, {}, 1);
    EXPECT_EQ(vals(five.refusals, five.pcm.size()), vals(1, 0));
    zoraac_flush(dec.d);
    const Bytes stereo = read_file(kStreams[1]);
    EXPECT_EQ(decode_stream(dec, stereo), decode_stream(fresh, stereo));
    EXPECT_EQ(info_of(dec).channels, 2u);
}

TEST(Api, AStreamOfMoreChannelsIsRefusedNotPlayed) {
    // Every header of a stereo stream rewritten to say 5.1, without the
    // downmix: no PCM comes out, and the refusal takes nothing (the call
    // that finds it out keeps what it took and gives nothing).
    Bytes in = read_file(kStreams[1]);
    for (size_t at = 0; at + 7 <= in.size();) {
        uint8_t* h = &in[at];
        ASSERT_EQ(h[0], 0xFF);
        const size_t length = static_cast<size_t>((h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5);
        h[2] = static_cast<uint8_t>((h[2] & ~1u) | (6 >> 2));
        h[3] = static_cast<uint8_t>((h[3] & 0x3Fu) | (6 & 3) << 6);
        at += length;
    }
    zoraac_params p = stream_params();
    p.downmix = ZORAAC_NO_DOWNMIX;
    Decoder dec(p);
    const Played got = play(dec, in, 500, 1, {}, 3);
    EXPECT_TRUE(got.pcm.empty());
    EXPECT_EQ(vals(got.refusals, got.info.channel_configuration, got.info.frames_decoded), vals(3, 6, 0));
}

// One flipped bit in an ADIF stream costs a block or two, never the rest:
// junk read as a program config element, in the damaged block or while the
// decoder stepped over the damage byte by byte, was taken as the stream's
// program (seven channels, say), and the stream was refused from then on
// (a quarter of such flips).
TEST(Api, AFlippedBitInAdifNeverRefusesTheRest) {
    const Bytes clean = read_file(kStreams[3]);
    Decoder ref(stream_params());
    const uint64_t blocks = play(ref, clean).info.frames_decoded;
    std::mt19937 rng(11);
    for (int flip = 0; flip < 24; ++flip) {
        Bytes in = clean;
        const size_t at = 200 + rng() % (in.size() - 400);
        in[at] = static_cast<uint8_t>(in[at] ^ (1u << (rng() % 8)));
        Decoder dec(stream_params());
        const Played got = play(dec, in);
        EXPECT_GE(got.info.frames_decoded + 2, blocks) << "byte " << at;
    }
}

// An ADIF header of two programs, 5.1 (tag 0, chosen: the first) then
// stereo (tag 1), and 5.1 blocks, cut after 4,000 bytes: the blocks play
// (the header counted only when its last program was the one chosen, and
// nothing played; an ffmpeg-made stream with a second program added).
TEST(Api, AnAdifHeaderOfTwoProgramsPlaysTheFirst) {
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic plays one or two front channels";
    Decoder dec(stream_params());
    const Played got = play(dec, read_file("tests/data/adif_5.1_two_programs.adif"));
    EXPECT_EQ(got.pcm.size(), 4u * 1024 * 2 * 2);
    EXPECT_EQ(vals(got.info.transport, got.info.channels, got.info.frames_concealed), vals(ZORAAC_TRANSPORT_ADIF, 6, 0));
}

// Programs the exact arithmetic plays where it refused them: a stereo
// program that names a mono mixdown (nothing to mix down; every block was
// concealed), and in a stream of channel configuration 6, after its own
// program, one of five channels (damage) in frame 4: ignored, the program
// in force stays (it was taken as the downmix's layout, and the six
// frames after it concealed). Streams made from ffmpeg encodes with the
// programs written in.
TEST(Api, ProgramsWithNothingToMixOrOfAnotherCountPlay) {
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic refuses them";
    for (const auto& [name, blocks] : {std::pair<const char*, uint64_t>{"tests/data/pce_stereo_mono_mixdown_0_6.aac", 6},
                                       {"tests/data/p48like_cfg6_wrong_pce.aac", 10}}) {
        Decoder dec(stream_params());
        const Played got = play(dec, read_file(name));
        EXPECT_EQ(vals(got.info.frames_decoded, got.info.frames_concealed), vals(blocks, 0)) << name;
    }
}

// A 5.1 stream (its windows change from channel to channel) natively, every
// channel with the bits below its LSB (S32), and as the stereo downmix:
// the native channels mixed afterwards in double precision with the
// downmix's gains are the downmix to the LSB (within its own rounding).
// Overlap-add is linear: mixing before it loses nothing. Native output asks
// for the memory of every channel's overlap and a block of eight channels.
TEST(Api, NativeChannelsMixedAreTheDownmix) {
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic plays one or two channels";
    const Bytes in = read_file("tests/data/p48_5.1_38_64.aac");
    zoraac_params p = native_params();
    p.format = ZORAAC_S32;
    Decoder native(p), mixed(stream_params());
    EXPECT_EQ(native.rec[8].size, mixed.rec[8].size + 16384u);  // six overlaps in place of the spectra kept
    EXPECT_EQ(zoraac_frame_bytes(&p), 1024u * 8 * 4);  // eight channels of S32
    const Pcm a = decode_stream(native, in, 700, 3), b = decode_stream(mixed, in, 700, 3);
    ASSERT_EQ(a.size(), 26u * 1024 * 6 * 4);
    ASSERT_EQ(b.size(), 26u * 1024 * 2 * 2);
    const zoraac_info info = info_of(native);
    EXPECT_EQ(vals(info.channels, info.output_channels), vals(6, 6));
    // Channels in the order of the elements: C, L, R, Ls, Rs, LFE.
    const double c = 1 / std::sqrt(2.0), t = 1 + 2 * c;
    const double gains[6][2] = {{c / t, c / t}, {1 / t, 0}, {0, 1 / t}, {c / t, 0}, {0, c / t}, {0, 0}};
    const int32_t* ch = reinterpret_cast<const int32_t*>(a.data());
    const int16_t* dm = reinterpret_cast<const int16_t*>(b.data());
    double worst = 0;
    for (size_t i = 0; i < 26u * 1024; ++i)
        for (int s = 0; s < 2; ++s) {
            double v = 0;
            for (int j = 0; j < 6; ++j) v += ch[6 * i + static_cast<size_t>(j)] / 65536.0 * gains[j][s];
            worst = std::max(worst, std::fabs(dm[2 * i + static_cast<size_t>(s)] - v));
        }
    EXPECT_LE(worst, 0.501);
}

TEST(Api, HeAacMultichannelPlaysEachElementsSbrMixed) {
    // The first 24 frames of a 5.1 HE-AAC stream (SBR after each single
    // channel and pair element, 16 kHz core): with room for six channels'
    // SBR, stereo at 32 kHz, 2048 samples a block, in any pieces and with
    // the scratch spoiled between calls; with room for fewer (the default
    // for a byte stream), its core mixed at 16 kHz, noted, never silence.
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    const Bytes in = read_file("tests/data/p53_5.1_he_0_24.aac");
    ASSERT_FALSE(in.empty());
    zoraac_params p;
    zoraac_params_init(&p);
    p.sbr_channels = 5;  // the low-frequency channel has no SBR
    zoraac_params plain;
    zoraac_params_init(&plain);
    Decoder he(p), stereo(plain);
    ASSERT_NE(he.d, nullptr);
    ASSERT_EQ(he.records, stereo.records + 2);
    // Record 8 holds the core overlaps of channels 2..4.
    EXPECT_EQ(vals(he.rec[8].size, he.rec[stereo.records].kind, he.rec[stereo.records + 1].kind),
              vals(12288, ZORAAC_MEM_PERSISTENT, ZORAAC_MEM_SCRATCH));
    const Played want = play(he, in, 0);
    EXPECT_EQ(want.shapes, (Shapes{{2048, 32000}}));
    EXPECT_EQ(vals(want.pcm.size(), want.info.sbr, want.info.channels, want.info.output_channels, want.info.last_error),
              vals(24 * 2048 * 2 * 2, 1, 6, 2, 0));
    EXPECT_TRUE(he.guards_intact());
    std::mt19937 rng(11);
    Decoder pieces(p);
    EXPECT_EQ(play(pieces, in, 300, 5, [&] { pieces.spoil_scratch(rng); }).pcm, want.pcm);
    EXPECT_TRUE(pieces.guards_intact());

    // Room for fewer channels than the layout has: the core.
    for (uint32_t room : {0u, 4u}) {
        p.sbr_channels = room;
        Decoder core(p);
        const Played got = play(core, in, 0);
        EXPECT_EQ(got.shapes, (Shapes{{1024, 16000}}));
        EXPECT_EQ(vals(got.pcm.size(), got.info.sbr, got.info.last_error), vals(24 * 1024 * 2 * 2, 0, 9)) << room;
        const int16_t* pcm = reinterpret_cast<const int16_t*>(got.pcm.data());
        int peak = 0;
        for (size_t i = 0; i < got.pcm.size() / 2; ++i) peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
        EXPECT_GT(peak, 1000) << room;
    }
    // Downsampled: the same mix at the core rate.
    p.sbr_channels = 5;
    p.sbr = ZORAAC_SBR_DOWNSAMPLED;
    Decoder down(p);
    const Played got = play(down, in, 0);
    EXPECT_EQ(got.shapes, (Shapes{{1024, 16000}}));
    EXPECT_EQ(vals(got.pcm.size(), got.info.sbr), vals(24 * 1024 * 2 * 2, 1));
    EXPECT_TRUE(down.guards_intact());

    // Another stream spliced on (mono AAC-LC at 48 kHz) whose first block
    // fails: nothing of the new stream to conceal from, and the mixed
    // layout's SBR is gone with the old stream; downsampled, a silent block
    // at the new stream's rate, within the room (before, the reset SBR
    // decoder's full rate: 2048 frames into the room for 1024, and past the
    // short record); at the full rate, where the new stream's rate is not
    // known until a block decides whether it plays SBR, nothing.
    const auto five_one = adts_frames(in), mono = adts_frames(read_file("tests/data/p04_head.aac"));
    ASSERT_GE(mono.size(), 3u);
    Bytes spliced;
    for (size_t i = 0; i < 20; ++i) spliced.insert(spliced.end(), five_one[i].begin(), five_one[i].end());
    Bytes failed = mono[0];
    std::fill(failed.begin() + 7, failed.end(), 0xFF);
    spliced.insert(spliced.end(), failed.begin(), failed.end());
    for (size_t i = 1; i < mono.size(); ++i) spliced.insert(spliced.end(), mono[i].begin(), mono[i].end());
    for (uint32_t mode : {ZORAAC_SBR_DOWNSAMPLED, ZORAAC_SBR_FULL}) {
        p.sbr = mode;
        Decoder after(p);
        const Played a = play(after, spliced, 0);
        const uint32_t he = mode == ZORAAC_SBR_FULL ? 2048 : 1024, rate = mode == ZORAAC_SBR_FULL ? 32000 : 16000;
        EXPECT_EQ(a.shapes, (Shapes{{he, rate}, {1024, 48000}})) << mode;
        const size_t lost = mode == ZORAAC_SBR_FULL ? 1 : 0;
        EXPECT_EQ(a.pcm.size(), (20 * he + (mono.size() - lost) * 1024) * 2 * 2) << mode;
        EXPECT_TRUE(after.guards_intact()) << mode;
    }
}

// Energy of block k (2048 stereo frames) of 16-bit PCM, and of its
// difference from the same block of another.
double block_energy(const Pcm& pcm, size_t k, const Pcm* other = nullptr) {
    double e = 0;
    for (size_t i = k * 2048 * 2; i < (k + 1) * 2048 * 2; ++i) {
        int16_t a, b = 0;
        std::memcpy(&a, &pcm[2 * i], 2);
        if (other) std::memcpy(&b, &(*other)[2 * i], 2);
        e += (static_cast<double>(a) - b) * (static_cast<double>(a) - b);
    }
    return e;
}

TEST(Api, HeAacMultichannelLostBlockIsConcealedAndPlaysOn) {
    // One bit of the 5.1 HE-AAC clip's frame 16 (a loud one) flipped: the
    // block fails, and each element's held SBR frame plays over its
    // channels' tails (quieter than the block it stands for, no burst);
    // the blocks before are untouched and the layout plays on, within
    // 30 dB of the clean decode from the fifth block after. (The SBR
    // envelopes after a lost block are delta-coded against the frame
    // before the loss, in ffmpeg too: blocks 17 to 20 differ more.)
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    Bytes in = read_file("tests/data/p53_5.1_he_0_24.aac");
    const auto frames = adts_frames(in);
    ASSERT_EQ(frames.size(), 24u);
    size_t at = 0;
    for (size_t i = 0; i < 16; ++i) at += frames[i].size();
    in[at + 19] ^= 2;
    zoraac_params p;
    zoraac_params_init(&p);
    p.sbr_channels = 5;
    Decoder clean(p), hurt(p);
    const Played want = play(clean, read_file("tests/data/p53_5.1_he_0_24.aac"), 0);
    const Played got = play(hurt, in, 0);
    ASSERT_EQ(got.pcm.size(), want.pcm.size());
    EXPECT_EQ(got.shapes, (Shapes{{2048, 32000}}));
    EXPECT_EQ(got.info.frames_concealed, 1u);
    EXPECT_TRUE(hurt.guards_intact());
    const size_t k = 16, block = 2048 * 2 * 2;
    EXPECT_EQ(std::memcmp(got.pcm.data(), want.pcm.data(), k * block), 0);
    EXPECT_LT(block_energy(got.pcm, k), block_energy(want.pcm, k));
    for (size_t b = k + 5; b < frames.size(); ++b)
        EXPECT_LT(block_energy(got.pcm, b, &want.pcm), block_energy(want.pcm, b) / 1000) << b;
}

TEST(Api, HeAacMultichannelAccessUnitsUnderAPlainConfigPlaySbr) {
    // The 5.1 HE-AAC stream's units under the config its ADTS headers give
    // (AAC-LC, nothing said of SBR): SBR from the first block, as raw units
    // of six channels play it (the core alone before, noted).
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    uint8_t asc[2];
    const std::vector<Bytes> units = access_units(read_file("tests/data/p53_5.1_he_0_24.aac"), asc);
    ASSERT_EQ(units.size(), 24u);
    Decoder by_asc(asc_params(asc, 2));
    ASSERT_NE(by_asc.d, nullptr);
    const Pcm got = decode_units(by_asc, units);
    const zoraac_info info = info_of(by_asc);
    EXPECT_EQ(vals(got.size(), info.sbr, info.output_rate, info.last_error), vals(24 * 2048 * 2 * 2, 1, 32000, 0));
    zoraac_params raw;
    zoraac_params_init(&raw);
    raw.transport = ZORAAC_TRANSPORT_RAW;
    raw.sample_rate = 16000;
    raw.channels = 6;
    Decoder by_rate(raw);
    EXPECT_EQ(decode_units(by_rate, units), got);
    EXPECT_TRUE(by_asc.guards_intact());
}

TEST(Api, ANativeLayoutOfOneChannelIsThatChannel) {
    // A program of one back single channel element, native: one channel,
    // the stereo downmix's left (and right) times one weight. (Its frames
    // were halved as a mono stream's doubled stereo: the even samples,
    // then stale room.)
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic plays one or two front channels";
    const Bytes in = read_file("tests/data/pce_back_sce_0_6.aac");
    Decoder native(native_params()), mixed(stream_params());
    const Played one = play(native, in), two = play(mixed, in);
    EXPECT_EQ(one.shapes, (Shapes{{1024, 48000}}));
    ASSERT_EQ(one.pcm.size(), 6u * 1024 * 2);
    ASSERT_EQ(two.pcm.size(), 2 * one.pcm.size());
    const int16_t* x = reinterpret_cast<const int16_t*>(one.pcm.data());
    const int16_t* y = reinterpret_cast<const int16_t*>(two.pcm.data());
    double xy = 0, xx = 0;
    for (size_t i = 0; i < 6u * 1024; ++i) xy += double(x[i]) * y[2 * i], xx += double(x[i]) * x[i];
    ASSERT_GT(xx, 0);
    const double k = xy / xx;
    double worst = 0;
    for (size_t i = 0; i < 6u * 1024; ++i) worst = std::max(worst, std::fabs(y[2 * i] - k * x[i]));
    EXPECT_GT(k, 0.2);
    EXPECT_LE(worst, 1.0);
}

TEST(Api, HeAacMultichannelByAProgramPlaysSbrFromItsFirstBlock) {
    // p53's first 8 frames with a program config element of its 5.1 layout
    // before each block and channel configuration 0: the same PCM as with
    // configuration 6, every block at 32 kHz (the first block, a mixed one
    // only once its program was read, played its core at 16 kHz, and the
    // stream doubled its rate after it).
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    zoraac_params p;
    zoraac_params_init(&p);
    p.sbr_channels = 5;
    Decoder by_program(p), by_config(p);
    const Played got = play(by_program, read_file("tests/data/p53_pce_0_8.aac"));
    const auto frames = adts_frames(read_file("tests/data/p53_5.1_he_0_24.aac"));
    Bytes head;
    for (size_t i = 0; i < 8; ++i) head.insert(head.end(), frames[i].begin(), frames[i].end());
    EXPECT_EQ(got.shapes, (Shapes{{2048, 32000}}));
    EXPECT_EQ(got.pcm, play(by_config, head).pcm);
}

TEST(Api, HeAacWhoseFirstFrameFailsKeepsItsRate) {
    // p40 with its first frame's payload spoiled: before a block has said
    // whether the stream plays SBR, the lost block has no rate and gives
    // nothing; every block after it plays at 44.1 kHz. (A block at the core
    // rate came first, then the rate doubled under the host: aacdec's WAV
    // file ended after it.)
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    Bytes in = read_file("tests/data/p40_head.aac");
    const auto frames = adts_frames(in);
    ASSERT_GE(frames.size(), 3u);
    for (size_t i = 7; i < 11; ++i) in[i] ^= 0x5A;
    zoraac_params p;
    zoraac_params_init(&p);
    Decoder dec(p);
    const Played got = play(dec, in);
    EXPECT_EQ(got.shapes, (Shapes{{2048, 44100}}));
    EXPECT_EQ(got.pcm.size(), (frames.size() - 1) * 2048 * 2 * 2);
}

TEST(Api, HeAacV2SignalledWithoutPsDataPlaysItsMonoInBothChannels) {
    // p41's access units (mono HE-AAC, no parametric stereo data) under a
    // config of object type 29: the mono signal in both channels, as under
    // object type 5, until PS data comes (it was silence: the PS mixing
    // matrices start at zero and move only with PS data).
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    uint8_t asc_lc[2];
    const std::vector<Bytes> units = access_units(read_file("tests/data/p41_head.aac"), asc_lc);
    ASSERT_GE(units.size(), 10u);
    const uint8_t asc_v2[4] = {0xEC, 0x0A, 0x88, 0x00};  // 29, 16 kHz, mono, 32 kHz, 2
    const uint8_t asc_he[4] = {0x2C, 0x0A, 0x88, 0x00};  // 5, the same
    Decoder v2(asc_params(asc_v2, sizeof asc_v2)), he(asc_params(asc_he, sizeof asc_he));
    ASSERT_TRUE(v2.d && he.d);
    const Pcm got = decode_units(v2, units), want = decode_units(he, units);
    EXPECT_EQ(got.size(), units.size() * 2048 * 2 * 2);
    EXPECT_EQ(got, want);
    EXPECT_GT(block_energy(got, 5), 1e6);
}

TEST(Api, ParametricStereoMissedByTheFirstFrameStartsLaterUnderAStereoHost) {
    // p42 (HE-AAC v2 in ADTS) with one bit of its first frame flipped: the
    // frame still reads, without its PS data. Under a host of two channels
    // PS starts two frames later and the decode is the clean one's from
    // block 4 (it played mono to the end: 2 to 27 dB from the clean decode).
    // A host of native channels keeps the one channel the first frame said.
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    const Bytes clean_in = read_file("tests/data/p42_head.aac");
    Bytes in = clean_in;
    in[17] ^= 1;
    const size_t blocks = adts_frames(in).size(), block = 2048 * 2 * 2, from = 4;
    zoraac_params p;
    zoraac_params_init(&p);
    Decoder clean(p), hurt(p);
    const Pcm want = decode_stream(clean, clean_in), got = decode_stream(hurt, in);
    ASSERT_EQ(got.size(), blocks * block);
    ASSERT_EQ(want.size(), got.size());
    EXPECT_EQ(std::memcmp(got.data() + from * block, want.data() + from * block, (blocks - from) * block), 0);
    EXPECT_EQ(info_of(hurt).ps, 1u);
    p.output = ZORAAC_OUT_NATIVE;
    Decoder native(p);
    EXPECT_EQ(decode_stream(native, in).size(), blocks * block / 2);
    EXPECT_EQ(info_of(native).channels, 1u);
    EXPECT_EQ(info_of(native).ps, 0u);
}

TEST(Api, SbrEnvelopesNoSignalCouldHaveAreTakenForDamage) {
    // One bit of p40's frame 12 flipped inside its SBR data: the frame
    // still reads, its envelope deltas now give 2^60 in the decoder's units
    // (a full-scale sine gives 2^49). Played, blocks 12 and 13 were noise
    // at 11 and 21 times the clean decode's peaks; now that frame and the
    // frames coded against it are concealed until one coded in frequency:
    // the high band fades, no block louder than the clean ones.
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    const Bytes clean_in = read_file("tests/data/p40_head.aac");
    Bytes in = clean_in;
    ASSERT_GT(in.size(), 5473u);
    in[5473] ^= 1;
    zoraac_params p;
    zoraac_params_init(&p);
    Decoder clean(p), hurt(p);
    const Played want = play(clean, clean_in, 0), got = play(hurt, in, 0);
    ASSERT_EQ(got.pcm.size(), want.pcm.size());
    const auto peak = [](const Pcm& pcm, size_t from, size_t to) {
        int m = 0;
        for (size_t i = from; i < to; i += 2) {
            int16_t v;
            std::memcpy(&v, &pcm[i], 2);
            m = std::max(m, std::abs(static_cast<int>(v)));
        }
        return m;
    };
    const size_t block = 2048 * 2 * 2, k = 12;
    EXPECT_EQ(std::memcmp(got.pcm.data(), want.pcm.data(), k * block), 0);
    const int loudest = peak(want.pcm, 0, want.pcm.size());
    for (size_t b = k; b < got.pcm.size() / block; ++b)
        EXPECT_LE(peak(got.pcm, b * block, (b + 1) * block), loudest) << b;
}

TEST(Api, HeAacSignalledInItsConfigConcealsAFirstUnitLost) {
    // p40's access units under a config of object type 5 (SBR at 44.1 kHz),
    // the first unit spoiled: the rate is the config's, so the lost block
    // is a silent one at 44.1 kHz and the stream keeps its length (it was
    // dropped, as where only the first block can tell the rate).
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    uint8_t asc_lc[2];
    std::vector<Bytes> units = access_units(read_file("tests/data/p40_head.aac"), asc_lc);
    ASSERT_GE(units.size(), 4u);
    for (size_t i = 0; i < 4; ++i) units[0][i] ^= 0x5A;
    const uint8_t asc_he[4] = {0x2b, 0x92, 0x08, 0x00};  // 5, 22.05 kHz, 2 channels, 44.1 kHz, 2
    Decoder dec(asc_params(asc_he, sizeof asc_he));
    ASSERT_NE(dec.d, nullptr);
    std::vector<uint8_t> room(zoraac_frame_bytes(&dec.params));
    size_t bytes = 0;
    for (size_t k = 0; k < units.size(); ++k) {
        size_t used = 0;
        zoraac_frame f{};
        const int s = zoraac_decode(dec.d, units[k].data(), units[k].size(), &used, room.data(), room.size(), &f);
        EXPECT_EQ(vals(s, f.bytes, f.sample_rate), vals(k ? ZORAAC_OK : ZORAAC_CONCEALED, 2048u * 2 * 2, 44100u)) << k;
        if (k == 0) EXPECT_TRUE(std::all_of(room.begin(), room.begin() + f.bytes, [](uint8_t b) { return b == 0; }));
        bytes += f.bytes;
    }
    EXPECT_EQ(bytes, units.size() * 2048 * 2 * 2);
}

// A frame's raw data block as bits, without its end element and the
// alignment after it.
std::vector<bool> block_bits_before_end(const std::vector<uint8_t>& frame) {
    const size_t header = frame[1] & 1 ? 7 : 9;
    std::vector<bool> bits;
    for (size_t i = header; i < frame.size(); ++i)
        for (int b = 7; b >= 0; --b) bits.push_back((frame[i] >> b & 1) != 0);
    while (!bits.empty() && !bits.back()) bits.pop_back();
    bits.resize(bits.size() - 3);  // the end element, 111
    return bits;
}

// An ADTS frame of `header`'s fixed fields (channel configuration `config`)
// around the block of `bits` and an end element.
std::vector<uint8_t> frame_of(const std::vector<uint8_t>& header, std::vector<bool> bits, int config) {
    for (int i = 0; i < 3; ++i) bits.push_back(true);
    while (bits.size() % 8) bits.push_back(false);
    std::vector<uint8_t> f(header.begin(), header.begin() + 7);
    f[1] |= 1;  // no check word
    for (size_t i = 0; i < bits.size(); i += 8) {
        uint8_t v = 0;
        for (size_t b = 0; b < 8; ++b) v = static_cast<uint8_t>(v << 1 | bits[i + b]);
        f.push_back(v);
    }
    f[2] = static_cast<uint8_t>((f[2] & 0xFE) | (config >> 2));
    f[3] = static_cast<uint8_t>((f[3] & 0x3F) | (config & 3) << 6);
    set_adts_length(f);
    return f;
}

TEST(Api, ConfigurationSixWithoutOrWithALowFrequencySingleChannelPlays) {
    // A 5.0 stream (ffmpeg, five tones) whose headers say configuration 6
    // (5.1), its low-frequency element left out: it plays as the 5.0 one,
    // mixed and native, the low-frequency channel silent. With a single
    // channel element in its place (a mono 60 Hz encode's), as some encoders
    // code it: the same mix (the channel is not heard in it), and natively
    // that element's signal in the low-frequency channel, within 1 LSB of
    // its decode alone. (Both had every block lost.)
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic plays one or two front channels";
    const auto five = adts_frames(read_file("tests/data/five_tones_5.0.aac"));
    const auto low = adts_frames(read_file("tests/data/low_tone_mono.aac"));
    ASSERT_EQ(five.size(), low.size());
    Bytes as5, as6, with_sce, low_alone;
    for (size_t k = 0; k < five.size(); ++k) {
        const std::vector<bool> b = block_bits_before_end(five[k]);
        const std::vector<bool> l = block_bits_before_end(low[k]);
        std::vector<bool> joined = b;
        joined.insert(joined.end(), l.begin(), l.end());
        auto add = [](Bytes& out, const std::vector<uint8_t>& header, const std::vector<bool>& bits, int config) {
            const std::vector<uint8_t> f = frame_of(header, bits, config);
            out.insert(out.end(), f.begin(), f.end());
        };
        add(as5, five[k], b, 5);
        add(as6, five[k], b, 6);
        add(with_sce, five[k], joined, 6);
        add(low_alone, low[k], l, 1);
    }
    const size_t blocks = five.size();
    Decoder a(stream_params()), b(stream_params()), c(stream_params());
    const Pcm mix = decode_stream(a, as5);
    EXPECT_EQ(mix.size(), blocks * 4096);
    EXPECT_EQ(decode_stream(b, as6), mix);
    EXPECT_EQ(decode_stream(c, with_sce), mix);
    EXPECT_EQ(vals(info_of(b).frames_concealed, info_of(c).frames_concealed), vals(0, 0));

    Decoder n5(native_params()), n6(native_params()), ns(native_params()), nl(native_params());
    const Pcm p5 = decode_stream(n5, as5), p6 = decode_stream(n6, as6), ps = decode_stream(ns, with_sce);
    const Pcm pl = decode_stream(nl, low_alone);
    ASSERT_EQ(vals(p5.size(), p6.size(), ps.size(), pl.size()),
              vals(blocks * 1024 * 10, blocks * 1024 * 12, blocks * 1024 * 12, blocks * 1024 * 2));
    auto sample = [](const Pcm& p, size_t i) {
        int16_t v;
        std::memcpy(&v, &p[2 * i], 2);
        return v;
    };
    // Native order: the elements' (C, L, R, Ls, Rs, then the LFE).
    const int from5[6] = {0, 1, 2, 3, 4, -1};
    int wrong = 0, far = 0;
    for (size_t i = 0; i < blocks * 1024; ++i)
        for (int ch = 0; ch < 6; ++ch) {
            const int16_t want = from5[ch] < 0 ? 0 : sample(p5, i * 5 + static_cast<size_t>(from5[ch]));
            wrong += sample(p6, i * 6 + static_cast<size_t>(ch)) != want;
            const int16_t got = sample(ps, i * 6 + static_cast<size_t>(ch));
            far += from5[ch] < 0 ? std::abs(got - sample(pl, i)) > 1 : got != want;
        }
    EXPECT_EQ(vals(wrong, far), vals(0, 0));
}

TEST(Api, AccessUnitsOfAProgramInTheirConfigPlay) {
    // p48's 5.1 units under a config whose program config element gives the
    // layout (front C and L/R, back pair, LFE) in place of configuration 6:
    // the same PCM, also after a flush (the config was refused).
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic plays one or two front channels";
    uint8_t asc6[2];
    const std::vector<Bytes> units = access_units(read_file("tests/data/p48_5.1_38_64.aac"), asc6);
    ASSERT_GE(units.size(), 8u);
    const uint8_t asc_pce[10] = {0x11, 0x80, 0x04, 0xc8, 0x05, 0x00, 0x01, 0x08, 0x80, 0x00};
    zoraac_params p = asc_params(asc6, 2);
    p.sbr = ZORAAC_SBR_OFF;
    Decoder by_config(p);
    const Pcm want = decode_units(by_config, units);
    p.asc = asc_pce;
    p.asc_size = sizeof asc_pce;
    Decoder by_program(p);
    ASSERT_NE(by_program.d, nullptr);
    EXPECT_EQ(decode_units(by_program, units), want);
    zoraac_flush(by_program.d);
    EXPECT_EQ(decode_units(by_program, units), want);
    EXPECT_EQ(info_of(by_program).frames_concealed, 0u);

    // Quad (a front pair and a back pair, which no channel configuration
    // gives): p50's units after its first, the one that carries the
    // program, under a config with that program; none concealed, also
    // after a flush (the program stays).
    uint8_t asc4[2];
    std::vector<Bytes> quad = access_units(read_file("tests/data/p50_quad_pce_0_32.aac"), asc4);
    quad.erase(quad.begin());
    const uint8_t asc_quad[9] = {0x12, 0x80, 0x05, 0x44, 0x04, 0x00, 0x21, 0x10, 0x00};
    p.asc = asc_quad;
    p.asc_size = sizeof asc_quad;
    Decoder four(p);
    ASSERT_NE(four.d, nullptr);
    const Pcm first = decode_units(four, quad);
    EXPECT_EQ(first.size(), quad.size() * 1024 * 2 * 2);
    zoraac_flush(four.d);
    EXPECT_EQ(decode_units(four, quad), first);
    EXPECT_EQ(vals(info_of(four).frames_concealed, info_of(four).channels), vals(0, 4));
}

// p50's quad stream with a program of 15 channels (its own program with one
// bit flipped: 8 side elements) put in at the start of each of `frames`.
Bytes with_programs_of_15_channels(std::initializer_list<int> frames) {
    static const uint8_t program[] = {0xa0, 0xa8, 0xc0, 0x80, 0x04, 0x22, 0x04, 0x4c, 0x61, 0x76, 0x63};
    const Bytes in = read_file("tests/data/p50_quad_pce_0_32.aac");
    Bytes out;
    int k = 0;
    for (size_t at = 0; at + 7 <= in.size(); ++k) {
        const size_t n = static_cast<size_t>((in[at + 3] & 3) << 11 | in[at + 4] << 3 | in[at + 5] >> 5);
        if (n < 7 || at + n > in.size()) break;
        const bool put = std::find(frames.begin(), frames.end(), k) != frames.end();
        Bytes f(in.begin() + static_cast<ptrdiff_t>(at), in.begin() + static_cast<ptrdiff_t>(at + n));
        if (put) {
            f.insert(f.begin() + 7, std::begin(program), std::end(program));
            set_adts_length(f);
        }
        out.insert(out.end(), f.begin(), f.end());
        at += n;
    }
    return out;
}

TEST(Api, AProgramOfChannelsNotPlayedAfterGoodBlocksIsDoubtedOnce) {
    // Once (frame 10): that block is lost and the quad program plays on.
    // Twice (frames 10 and 11): believed at the second, and the stream
    // refused there. The same with concealment off, where the lost block
    // gives nothing (before, such a program was never believed there: every
    // later block was dropped and the stream never refused).
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic plays one or two front channels";
    constexpr size_t kBlock = 1024 * 2 * 2;
    const Bytes once = with_programs_of_15_channels({10}), twice = with_programs_of_15_channels({10, 11});
    for (const uint32_t conceal : {1u, 0u}) {
        zoraac_params p = stream_params();
        p.conceal = conceal;
        for (const size_t piece : {size_t{0}, size_t{50}}) {
            Decoder a(p);
            const Played one = play(a, once, piece);
            EXPECT_EQ(vals(one.pcm.size(), one.info.frames_concealed, one.refusals),
                      vals((31 + conceal) * kBlock, conceal, 0))
                << conceal << " " << piece;
            Decoder b(p);
            const Played two = play(b, twice, piece, 1, {}, 1);
            EXPECT_EQ(vals(two.pcm.size(), two.info.frames_concealed, two.refusals, two.info.channels),
                      vals((10 + conceal) * kBlock, conceal, 1, 15))
                << conceal << " " << piece;
        }
    }
}

// Bytes of the persistent and the scratch records.
std::pair<size_t, size_t> memory_of(const zoraac_params& p) {
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    const int n = zoraac_query_memory(&p, rec);
    size_t persistent = 0, scratch = 0;
    for (int i = 0; i < n; ++i) (rec[i].kind == ZORAAC_MEM_SCRATCH ? scratch : persistent) += rec[i].size;
    return {persistent, scratch};
}

TEST(Api, AProgramOfMoreChannelsThanAMixAsksNoRoomForOne) {
    // A config whose program has fifteen front pairs (thirty channels, more
    // than a mix takes): such a layout never plays mixed, so it asks no more
    // than eight channels' units do (it asked 112 KB of core overlaps).
    if (!AAC_EXACT) GTEST_SKIP() << "the compact arithmetic plays one or two front channels";
    const uint8_t asc30[17] = {0x14, 0x00, 0x06, 0x3c, 0x00, 0x00, 0x21, 0x19, 0x4e,
                               0x95, 0xb5, 0xf1, 0x9d, 0x6f, 0x9d, 0xf0, 0x00};
    zoraac_params p;
    zoraac_params_init(&p);
    p.transport = ZORAAC_TRANSPORT_ASC;
    p.asc = asc30;
    p.asc_size = sizeof asc30;
    zoraac_params eight;
    zoraac_params_init(&eight);
    eight.transport = ZORAAC_TRANSPORT_RAW;
    eight.sample_rate = 16000;
    eight.channels = 8;
    const auto [persistent, scratch] = memory_of(p);
    ASSERT_GT(persistent, 0u);
    EXPECT_LE(persistent, memory_of(eight).first);
    EXPECT_LE(scratch, memory_of(eight).second);
    Decoder d(p);
    EXPECT_NE(d.d, nullptr);
}

TEST(Api, ParamsOutsideTheirValuesAreRefusedAndRoomIsWhatIsWritten) {
    zoraac_params p;
    zoraac_params_init(&p);
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    for (uint32_t n : {1u, 2u}) {
        p.sbr_channels = n;  // 0, or 3 to 8
        EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_ARGUMENT) << n;
    }
    p.sbr_channels = 0;
    p.reserved[3] = 1;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_ARGUMENT);
    p.reserved[3] = 0;
    p.sbr_memory = ZORAAC_SBR_SMALL + 1;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_ARGUMENT);
    p.sbr_memory = ZORAAC_SBR_FAST;
    // 7350 Hz is refused as a rate not played, as through a config.
    p.transport = ZORAAC_TRANSPORT_RAW;
    p.sample_rate = 7350;
    p.channels = 2;
    EXPECT_EQ(zoraac_query_memory(&p, rec), ZORAAC_ERR_UNSUPPORTED);
    // Native layouts of more channels play their core: the room is eight
    // channels' block, not twice it (SBR plays in one or two channels).
    if (!AAC_EXACT) return;
    zoraac_params_init(&p);
    p.output = ZORAAC_OUT_NATIVE;
    p.downmix = ZORAAC_NO_DOWNMIX;
    EXPECT_EQ(zoraac_frame_bytes(&p), 1024u * 8 * 2);
    Decoder native(p);
    const Played got = play(native, read_file(AAC_SBR_BUILT ? "tests/data/p42_head.aac" : "tests/data/p48_5.1_38_64.aac"));
    EXPECT_GT(got.pcm.size(), 0u);
    EXPECT_TRUE(native.guards_intact());
}

TEST(Api, AFlushForgetsTheLastStreamsNotice) {
    // A 5.1 HE-AAC byte stream without room for its channels' SBR plays its
    // core, noted (9); after a flush, an AAC-LC stream reports nothing.
    if (!AAC_SBR_BUILT) GTEST_SKIP() << "a build without SBR plays the core";
    zoraac_params p;
    zoraac_params_init(&p);
    Decoder dec(p);
    EXPECT_EQ(info_of(dec).last_error, 0);
    play(dec, read_file("tests/data/p53_5.1_he_0_24.aac"));
    EXPECT_EQ(info_of(dec).last_error, 9);
    zoraac_flush(dec.d);
    const Played next = play(dec, read_file("tests/data/p04_head.aac"));
    EXPECT_GT(next.pcm.size(), 0u);
    EXPECT_EQ(info_of(dec).last_error, 0);
}

// An ADTS stream (headers without CRC) with a coupling channel element put
// before each frame's block: coupled to one single channel element, its
// channel stream silent (long window, no bands).
Bytes with_coupling_elements(const Bytes& in) {
    Bytes out;
    for (size_t at = 0; at + 7 <= in.size();) {
        const size_t length = static_cast<size_t>((in[at + 3] & 3) << 11 | in[at + 4] << 3 | in[at + 5] >> 5);
        if (length < 7 || at + length > in.size()) break;
        std::vector<int> bits;
        auto put = [&](uint32_t v, int n) {
            for (int i = n - 1; i >= 0; --i) bits.push_back(static_cast<int>(v >> i & 1));
        };
        put(2, 3);                                       // the element's id
        put(0, 4), put(0, 1), put(0, 3), put(0, 1), put(0, 4);  // tag, switching, one target: an SCE, tag 0
        put(0, 1), put(0, 1), put(0, 2);                 // domain, sign, scale
        put(100, 8), put(0, 1), put(0, 2), put(0, 1), put(0, 6), put(0, 1);  // gain, ics_info: max_sfb 0
        put(0, 1), put(0, 1), put(0, 1);                 // no pulse, TNS or gain control
        for (size_t i = at + 7; i < at + length; ++i) put(in[i], 8);
        while (bits.size() % 8) bits.push_back(0);
        Bytes frame(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at) + 7);
        for (size_t i = 0; i < bits.size(); i += 8) {
            int v = 0;
            for (int k = 0; k < 8; ++k) v = v << 1 | bits[i + static_cast<size_t>(k)];
            frame.push_back(static_cast<uint8_t>(v));
        }
        set_adts_length(frame);
        out.insert(out.end(), frame.begin(), frame.end());
        at += length;
    }
    return out;
}

TEST(Api, CouplingElementsPlayWithoutTheirSignalAndSaySo) {
    // A mono stream whose every block carries a coupling channel element:
    // the PCM of the stream without them, the note in the info.
    const Bytes plain = read_file("tests/data/g3_32000_m_bursts.aac");
    ASSERT_EQ(plain[1] & 1, 1);  // no CRC
    const Bytes coupled = with_coupling_elements(plain);
    ASSERT_GT(coupled.size(), plain.size());
    Decoder a(stream_params()), b(stream_params());
    const Played want = play(a, plain, 0);
    EXPECT_GT(want.pcm.size(), 40u * 4096);
    const Played got = play(b, coupled, 700);
    EXPECT_EQ(got.pcm, want.pcm);
    EXPECT_EQ(vals(want.info.coupling_skipped, got.info.coupling_skipped, got.info.last_error, got.info.frames_concealed),
              vals(0, 1, 3, 0));
}

// Frames of an AAC Main stream (44.1 kHz stereo), each a header and nine zero bytes.
Bytes main_profile_frames(int count) {
    Bytes b;
    for (int i = 0; i < count; ++i) {
        const uint8_t frame[16] = {0xFF, 0xF1, 0x10, 0x80, 0x02, 0x1F, 0xFC};
        b.insert(b.end(), frame, frame + sizeof frame);
    }
    return b;
}

TEST(Api, AStreamThatTurnsToOneNotPlayedStopsBeforeIt) {
    // An AAC-LC stream with AAC Main frames spliced on behind it, in any
    // pieces: every block of the first stream, none that stands in for a
    // Main frame, then refusals that take nothing.
    const Bytes lc = read_file(kStreams[0]);
    Decoder alone(stream_params());
    const Pcm want = decode_stream(alone, lc);
    Bytes in = lc;
    const Bytes tail = main_profile_frames(40);
    in.insert(in.end(), tail.begin(), tail.end());
    for (size_t max_piece : {1u, 300u, 100000u}) {
        SCOPED_TRACE("pieces of up to " + std::to_string(max_piece));
        Decoder dec(stream_params());
        const Played got = play(dec, in, max_piece, static_cast<uint32_t>(max_piece), {}, 3);
        EXPECT_EQ(got.refusals, 3);
        EXPECT_EQ(got.shapes, (Shapes{{1024, 12000}}));
        EXPECT_EQ(got.pcm, want);
    }
    // A Main stream shorter than the decoder's input piece reaches the
    // decoder only at the end of the input: refused there too, with no PCM.
    const Bytes two = main_profile_frames(2);
    Decoder dec(stream_params());
    std::vector<uint8_t> room(4096);
    size_t used = 0;
    zoraac_frame f;
    EXPECT_EQ(zoraac_decode(dec.d, two.data(), two.size(), &used, room.data(), room.size(), &f), ZORAAC_NEED_MORE_INPUT);
    EXPECT_EQ(used, two.size());
    EXPECT_EQ(zoraac_decode(dec.d, nullptr, 0, &used, room.data(), room.size(), &f), ZORAAC_ERR_UNSUPPORTED);
    EXPECT_EQ(f.bytes, 0u);
}

TEST(Api, MemoryOfAStereoDecoder) {
    zoraac_params p = stream_params();
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    const int n = zoraac_query_memory(&p, rec);
    ASSERT_GT(n, 0);
    size_t persistent = 0, scratch = 0;
    for (int i = 0; i < n; ++i) {
        EXPECT_GT(rec[i].size, 0u);
        EXPECT_EQ(rec[i].alignment & (rec[i].alignment - 1), 0u);
        (rec[i].kind == ZORAAC_MEM_SCRATCH ? scratch : persistent) += rec[i].size;
    }
    // The plug-in's static instance is 34,340 bytes on the 32-bit target,
    // scratch included; a library decoder keeps less than that from call to
    // call.
    if (sizeof(void*) == 4) EXPECT_LE(persistent, 34340u);
    std::printf("persistent %zu bytes, scratch %zu bytes in %d records\n", persistent, scratch, n);
}

TEST(Api, MemoryOfAStereoHeAacDecoder) {
    // Access units of a stereo stream at 22.05 kHz: AAC-LC, which may carry SBR.
    const uint8_t asc[2] = {0x13, 0x90};
    zoraac_params he;
    zoraac_params_init(&he);
    he.transport = ZORAAC_TRANSPORT_ASC;
    he.asc = asc;
    he.asc_size = 2;
    zoraac_params lc = he;
    lc.sbr = ZORAAC_SBR_OFF;
    const auto [lc_persistent, lc_scratch] = memory_of(lc);
    const auto [persistent, scratch] = memory_of(he);
    std::printf("AAC-LC: persistent %zu, scratch %zu bytes; HE-AAC: persistent %zu, scratch %zu, in all %zu bytes\n",
                lc_persistent, lc_scratch, persistent, scratch, persistent + scratch);
    // An access unit's words are staged in the core's spectrum record, not
    // a record of their own (1,780 bytes before).
    if (sizeof(void*) == 4) EXPECT_EQ(lc_persistent + lc_scratch, 34780u);
    if (!AAC_SBR_BUILT) {
        EXPECT_EQ(persistent + scratch, lc_persistent + lc_scratch);
        return;
    }
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    const int n = zoraac_query_memory(&he, rec);
    ASSERT_GE(n, 2);
    // SBR's own scratch is the QMF matrix (40 slots of 64 complex subbands)
    // and the block's payload: its other working room lies in the core's
    // scratch records, which keep their sizes.
    EXPECT_EQ(rec[n - 1].kind, ZORAAC_MEM_SCRATCH);
    EXPECT_EQ(rec[n - 1].size, 40u * 64 * 8 + 280);
    EXPECT_EQ(scratch, lc_scratch + rec[n - 1].size);
    // On the 32-bit target: the SBR state (parametric stereo in the second
    // channel's room and the core's idle second overlap buffer, the core's
    // block scales) 18,552 bytes, 74,092 in all.
    if (sizeof(void*) == 4) {
        EXPECT_EQ(rec[n - 2].size, 18552u);
        EXPECT_EQ(persistent + scratch, 74092u);
    }
}

TEST(Api, SmallSbrScratchFitsSixtyFourKilobytes) {
    // The small record: X_low alone (40 slots of 32 complex subbands), the
    // frame's filter and the payload: 9 KB less, a stereo HE-AAC decoder of
    // access units within 64 KB on the 32-bit target. HE-AAC layouts of
    // more channels take the large record.
    const uint8_t asc[2] = {0x13, 0x90};
    zoraac_params fast = asc_params(asc, 2);
    zoraac_params small = fast;
    small.sbr_memory = ZORAAC_SBR_SMALL;
    const auto [fast_persistent, fast_scratch] = memory_of(fast);
    const auto [persistent, scratch] = memory_of(small);
    std::printf("small SBR scratch: persistent %zu, scratch %zu, in all %zu bytes\n", persistent, scratch,
                persistent + scratch);
    if (!AAC_SBR_BUILT) return;
    EXPECT_EQ(persistent, fast_persistent);
    EXPECT_EQ(fast_scratch - scratch, 20760u - 11340u);
    if (sizeof(void*) == 4) EXPECT_EQ(persistent + scratch, 64672u);
    EXPECT_LE(persistent + scratch, 65536u);
    zoraac_params layouts = small;
    layouts.sbr_memory = ZORAAC_SBR_SMALL;
    layouts.transport = ZORAAC_TRANSPORT_AUTO;
    layouts.sbr_channels = 6;
    zoraac_params layouts_fast = layouts;
    layouts_fast.sbr_memory = ZORAAC_SBR_FAST;
    EXPECT_EQ(memory_of(layouts), memory_of(layouts_fast));
}

TEST(Api, SmallSbrScratchGivesTheSamePcm) {
    // The high band made a slot at a time gives what the whole matrix gives,
    // bit for bit: HE-AAC, its parametric stereo (both band counts, phases,
    // coarse), dual mono, a reset and a stream entered between headers, the
    // splice of AAC-LC and HE-AAC, each whole, with bits flipped, and full
    // and downsampled. The small record is spoiled after every call (a
    // block keeps nothing in it) and stays within its bounds.
    std::mt19937 rng(5);
    for (const char* name :
         {"tests/data/p40_head.aac", "tests/data/p41_head.aac", "tests/data/p42_head.aac", "tests/data/p43_head.aac",
          "tests/data/h1_44100_s_smoothing.aac", "tests/data/h3_44100_s_ps_34.aac",
          "tests/data/h4_44100_s_ps_phases.aac", "tests/data/h2_44100_s_ps_coarse.aac",
          "tests/data/dual_mono_he_0_20.aac", "tests/data/p40_reset_0_33.aac",
          "tests/data/p42_entered_26_33.aac", "tests/data/splice_lc_he_ps_lc.aac"}) {
        const Bytes clean = read_file(name);
        ASSERT_FALSE(clean.empty()) << name;
        Bytes flipped = clean;
        for (int k = 0; k < 6; ++k) flipped[rng() % flipped.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        for (const Bytes* in : {static_cast<const Bytes*>(&clean), static_cast<const Bytes*>(&flipped)})
            for (uint32_t mode : {ZORAAC_SBR_FULL, ZORAAC_SBR_DOWNSAMPLED}) {
                zoraac_params p;
                zoraac_params_init(&p);
                p.sbr = mode;
                Decoder fast(p);
                p.sbr_memory = ZORAAC_SBR_SMALL;
                Decoder small(p);
                ASSERT_NE(fast.d, nullptr);
                ASSERT_NE(small.d, nullptr);
                const Pcm want = decode_stream(fast, *in);
                EXPECT_GT(want.size(), 5u * 4096) << name;
                EXPECT_EQ(decode_stream(small, *in, 700, 3, [&] { small.spoil_scratch(rng); }), want)
                    << name << (in == &clean ? "" : " with bits flipped") << (mode ? " downsampled" : "");
                EXPECT_TRUE(small.guards_intact()) << name;
            }
    }
}

TEST(Api, NoHeapWhileDecoding) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The trap itself sees a heap call.
    g_watch_heap = true;
    void* volatile probe = malloc(16);
    g_watch_heap = false;
    std::free(probe);
    EXPECT_EQ(g_heap_calls.exchange(0), 1);
#endif
    const Bytes in = read_file(kStreams[2]);
    zoraac_params p = stream_params();
    Decoder dec(p);
    std::vector<uint8_t> room(4096);
    g_heap_calls = 0;
    size_t at = 0;
    for (;;) {
        const size_t n = std::min<size_t>(600, in.size() - at);
        size_t used = 0;
        g_watch_heap = true;
        const int s = zoraac_decode(dec.d, n ? in.data() + at : nullptr, n, &used, room.data(), room.size(), nullptr);
        zoraac_info info;
        info.size = sizeof info;
        zoraac_get_info(dec.d, &info);
        g_watch_heap = false;
        ASSERT_GE(s, 0);
        at += used;
        if (n == 0 && s == ZORAAC_NEED_MORE_INPUT) break;
    }
    g_watch_heap = true;
    zoraac_flush(dec.d);
    zoraac_close(dec.d);
    g_watch_heap = false;
    EXPECT_EQ(g_heap_calls.load(), 0);
}

}  // namespace
