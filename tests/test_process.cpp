// Frame processing loop and raw data block parser on real and hand-made
// streams, in frame, streaming and pull mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include <random>
#include <set>

#include "dec/bands.h"
#include "dec/block.h"
#include "dec/syntax.h"
#include "tables/band_tables.h"
#include "decode_util.h"
#include "probe.h"

namespace {

std::vector<uint8_t> stream(const char* name) { return read_file(data_path(name)); }

// The frames the command-line host's splitter cuts, the stream coming in
// pieces of five bytes as from a pipe, and the window dropping what it passed.
std::vector<std::vector<uint8_t>> split(const std::vector<uint8_t>& s) {
    size_t at = 0;
    StreamWindow w([&](uint8_t* dst, size_t n) {
        n = std::min({n, size_t{5}, s.size() - at});
        std::memcpy(dst, s.data() + at, n);
        at += n;
        return n;
    });
    AdtsSplitter splitter(w, true);
    std::vector<std::vector<uint8_t>> frames;
    Span f;
    while (splitter.next(f)) frames.emplace_back(w.at(f.offset), w.at(f.offset) + f.size);
    return frames;
}

// A stream decoded in the decoder's mode: streaming in pieces of `piece`
// words, frame mode on the frames the host's splitter cuts, or pull mode;
// `header` as for Decoder::stream.
Decoded decode_in(Decoder& d, const std::vector<uint8_t>& s, size_t piece = 128, const uint8_t* header = nullptr) {
    if (d.mode == Mode::Stream) return d.stream(s, piece, header);
    return d.mode == Mode::Frame ? d.frames(split(s)) : d.pull(s, header);
}

// Output of a clean whole-stream decode in streaming mode, 128-word pieces.
const Decoded& reference(const char* name) {
    static std::map<std::string, Decoded> cache;
    auto it = cache.find(name);
    if (it == cache.end()) it = cache.emplace(name, Decoder(Mode::Stream).stream(stream(name), 128)).first;
    return it->second;
}

void expect_same_blocks(const Decoded& a, const Decoded& b, size_t offset_a = 0) {
    ASSERT_GE(a.blocks.size(), offset_a + b.blocks.size());
    for (size_t i = 0; i < b.blocks.size(); ++i) ASSERT_EQ(a.blocks[offset_a + i], b.blocks[i]) << "block " << i;
}

TEST(FrameLoop, StreamingPiecesOfAnySizeGiveTheSameBlocks) {
    for (const char* name : {"tests/data/p01_head.aac", "tests/data/p19_vo_8000_s_music.aac",
                             "tests/data/p09_crc_head.aac"}) {
        const size_t frames = adts_frames(stream(name)).size();
        const Decoded& ref = reference(name);
        ASSERT_EQ(ref.blocks.size(), frames) << name;
        EXPECT_EQ(ref.errors, 0) << name;
        for (size_t piece : {1, 7, 400}) {
            const Decoded d = Decoder(Mode::Stream).stream(stream(name), piece);
            EXPECT_EQ(d.errors, 0) << name << " " << piece;
            ASSERT_EQ(d.blocks.size(), frames) << name << " " << piece;
            expect_same_blocks(d, ref);
        }
    }
}

TEST(FrameLoop, BlocksComeOnlyOnceTheWholeFrameAndSixteenBitsAreHeld) {
    const auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    Decoder d(Mode::Stream);
    std::vector<uint8_t> first = frames[0];
    const size_t len0 = first.size();
    first.insert(first.end(), frames[1].begin(), frames[1].end());
    first.insert(first.end(), frames[2].begin(), frames[2].begin() + 9);  // 72 bits past frame 1
    const std::vector<uint16_t> w = to_words(first);
    // The search holds the header until the next frame's header is buffered.
    EXPECT_EQ(KVXD_process(d.h, w.data(), 64), 0);
    EXPECT_EQ(d.obj->state, STATE_SEARCH);
    // Frame 0 is held back until, after its header, its length plus 16 bits
    // are buffered: the next header and 16 bits beyond the frame.
    const size_t need_words = (len0 * 8 + 72 + 15) / 16;
    size_t fed = 64;
    uint16_t r = 0;
    while (fed < w.size() && r == 0) {
        r = KVXD_process(d.h, w.data() + fed, 1);
        ++fed;
    }
    EXPECT_EQ(r, 2048);
    EXPECT_GE(fed, need_words - 2);
    EXPECT_LE(fed, need_words + 2);
    EXPECT_EQ(d.obj->bitsNeeded, 128u);
    EXPECT_EQ(KVXD_process(d.h, nullptr, 0), 0);  // frame 1 is not buffered yet
    // With the rest, frame 1 is complete; frame 2 is not.
    EXPECT_EQ(KVXD_process(d.h, w.data() + fed, static_cast<uint16_t>(w.size() - fed)), 2048);
    EXPECT_EQ(KVXD_process(d.h, nullptr, 0), 0);
    EXPECT_EQ(d.obj->errorCount, 0);
}

TEST(FrameLoop, IncompleteBlockIsRetriedWithoutConsumingAnything) {
    // A raw stream has no frame length to wait for: a block split across two
    // calls runs dry in the first, counts an error, and is parsed again from
    // its start once the rest has come.
    const auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    const Decoded& ref = reference("tests/data/p01_head.aac");
    std::vector<uint8_t> raw;
    for (size_t i = 0; i < 3; ++i) raw.insert(raw.end(), frames[i].begin() + 7, frames[i].end());
    raw.resize(raw.size() + 16, 0);
    const std::vector<uint16_t> w = to_words(raw);
    Decoder d(Mode::Stream, true, 2, 4);
    Decoded out;
    const size_t cut = (frames[0].size() - 7) / 2 + (frames[1].size() - 7) / 4;
    d.drain(KVXD_process(d.h, w.data(), static_cast<uint16_t>(cut)), out);
    ASSERT_EQ(out.blocks.size(), 1u);
    EXPECT_GE(d.obj->errorCount, 1);
    EXPECT_EQ(d.obj->lastError, KVXD_ERR_BLOCK);
    EXPECT_EQ(d.obj->fifo.status, DECFIFO_OK);  // the saved position is back
    d.drain(KVXD_process(d.h, w.data() + cut, static_cast<uint16_t>(w.size() - cut)), out);
    ASSERT_EQ(out.blocks.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(out.blocks[i], ref.blocks[i]) << i;
}

// Every raw data block of a multi-block frame, with and without the CRC
// layout, gives exactly the PCM of the same blocks one per frame.
TEST(FrameLoop, MultiBlockFramesDecodeEveryBlock) {
    const Decoded& ref = reference("tests/data/p02_0_19.aac");
    ASSERT_EQ(ref.blocks.size(), 20u);
    for (const char* name : {"tests/data/p02_0_19.2blk.aac", "tests/data/p02_0_19.2blk.crc.aac"}) {
        const std::vector<uint8_t> s = stream(name);
        for (Mode m : {Mode::Stream, Mode::Frame, Mode::Pull}) {
            SCOPED_TRACE(std::string(name) + " mode " + std::to_string(static_cast<int>(m)));
            Decoder d(m);
            const Decoded out = decode_in(d, s, 61);
            // (Pull mode tries the end padding as a frame.)
            if (m != Mode::Pull) EXPECT_EQ(out.errors, 0);
            ASSERT_EQ(out.blocks.size(), ref.blocks.size());
            expect_same_blocks(out, ref);
        }
    }
}

std::vector<uint8_t> with_length(std::vector<uint8_t> f, size_t len) {
    f[3] = static_cast<uint8_t>((f[3] & 0xFC) | (len >> 11));
    f[4] = static_cast<uint8_t>(len >> 3);
    f[5] = static_cast<uint8_t>((f[5] & 0x1F) | ((len & 7) << 5));
    return f;
}

// Damaged streams in every mode: blocks out (concealment keeps the timeline
// wherever no audio bytes were removed) and blocks bit-identical to the
// clean decode. The corpus streams are windows of p02's damaged copies;
// ffmpeg keeps 15 (bit flips), 7 (cut) and 12 (zero gaps) identical blocks
// of its own decode of them.
constexpr size_t kGoodAfterLengths = kExactArithmetic ? 20 : 16;

TEST(FrameLoop, DamagedStreamsKeepTheirGoodBlocks) {
    const auto p01 = adts_frames(stream("tests/data/p01_head.aac"));
    std::vector<uint8_t> junk_between, lengths;
    std::mt19937 rng(5);
    for (size_t i = 0; i < p01.size(); ++i) {
        junk_between.insert(junk_between.end(), p01[i].begin(), p01[i].end());
        if (i == 9)
            for (int k = 0; k < 100; ++k) junk_between.push_back(static_cast<uint8_t>(rng()));
        // Four frames (neither the first nor the last) claim 12 bytes more
        // or less than they hold.
        const std::vector<uint8_t> f = i % 5 == 3 && i < 20 ? with_length(p01[i], p01[i].size() + (i % 2 ? 12 : -12)) : p01[i];
        lengths.insert(lengths.end(), f.begin(), f.end());
    }
    const std::vector<uint8_t> clean01 = join(p01);
    // Ten junk bytes in front holding a header whose length leads into junk.
    std::vector<uint8_t> front = {0x12, 0xFF, 0xF1, 0x50, 0x80, 0x20, 0x1F, 0xFC, 0x00, 0x34};
    front.insert(front.end(), clean01.begin(), clean01.end());
    std::vector<uint8_t> truncated = clean01;
    truncated.resize(truncated.size() - p01.back().size() / 2);

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* clean;
        size_t clean_blocks;
        size_t blocks[3];  // stream, frame, pull
        size_t good[3];
    } cases[] = {
        {"bit flips", stream("tests/data/p02_bitflips_56_76.aac"), "tests/data/p02_56_76.aac", 21, {21, 21, 21}, {15, 15, 15}},
        {"cut", stream("tests/data/p02_cut_middle_62_75.aac"), "tests/data/p02_56_76.aac", 21, {11, 11, 11}, {7, 7, 7}},
        {"zero gaps", stream("tests/data/p02_zero_gaps_0_17.aac"), "tests/data/p02_0_19.aac", 18, {18, 18, 18}, {18, 18, 18}},
        {"junk in front", front, "tests/data/p01_head.aac", 24, {24, 24, 24}, {24, 24, 24}},
        {"junk between", junk_between, "tests/data/p01_head.aac", 24, {24, 24, 24}, {24, 24, 24}},
        {"truncated", truncated, "tests/data/p01_head.aac", 24, {23, 24, 23}, {23, 23, 23}},
        // The two frames that claim 12 bytes less than their block takes are
        // damage (the block would read into the next frame): each costs its
        // block and the one that overlaps it; in the compact arithmetic, whose
        // one noise generator falls out of step at a lost block, a few more.
        {"four length fields", lengths, "tests/data/p01_head.aac", 24, {24, 24, 24},
         {kGoodAfterLengths, kGoodAfterLengths, kGoodAfterLengths}},
    };
    for (const Case& c : cases) {
        const Decoded& ref = reference(c.clean);
        const std::set<std::vector<int16_t>> clean(ref.blocks.begin(), ref.blocks.begin() + static_cast<long>(c.clean_blocks));
        const std::vector<uint8_t> clean_bytes = stream(c.clean);
        for (int m = 0; m < 3; ++m) {
            SCOPED_TRACE(std::string(c.what) + " mode " + std::to_string(m));
            Decoder d(static_cast<Mode>(m));
            const Decoded out = decode_in(d, c.bytes, 128, clean_bytes.data());
            size_t good = 0;
            for (const auto& b : out.blocks) good += clean.count(b);
            EXPECT_EQ(out.blocks.size(), c.blocks[m]);
            EXPECT_GE(good, c.good[m]);
            // With concealment off a failed block yields nothing.
            Decoder off(static_cast<Mode>(m));
            KVXD_Status st{};
            KVXD_control(off.h, KVXD_CONCEAL_OFF, &st);
            const Decoded bare = decode_in(off, c.bytes, 128, clean_bytes.data());
            EXPECT_EQ(off.obj->concealedCount, 0);
            EXPECT_LE(bare.blocks.size(), out.blocks.size());
            if (c.clean_blocks == 21) EXPECT_LT(bare.blocks.size(), out.blocks.size());  // p02's bit flips and cut
        }
    }
}

// Every stream starts clean: A, then B (an ADIF stream, after a program
// tag another stream left behind), then A again give A's PCM twice (the
// noise generator restarts too: p01 uses noise substitution).
TEST(FrameLoop, RepeatedStreamsInOneProcessDecodeAlike) {
    const std::vector<uint8_t> a = stream("tests/data/p01_head.aac");
    const std::vector<uint8_t> b = stream("tests/data/p05_ff_8000_m_speech.vbr.adif");
    Decoder da(Mode::Stream);
    const Decoded first = da.stream(a, 128);
    // A program tag left behind in the static instance's context.
    da.obj->ctx->currentProgram = 3;
    Decoder db(Mode::Stream);
    ASSERT_EQ(db.obj, da.obj);
    EXPECT_EQ(db.obj->ctx->currentProgram, -1);
    EXPECT_EQ(db.stream(b, 128).blocks.size(), 41u);
    const Decoded again = Decoder(Mode::Stream).stream(a, 128);
    ASSERT_EQ(first.blocks.size(), 24u);
    EXPECT_EQ(again.blocks, first.blocks);
}

TEST(FrameLoop, AdifStreamWaitsFor1024BitsThenDecodesEveryBlock) {
    const std::vector<uint8_t> s = stream("tests/data/p05_ff_8000_m_speech.vbr.adif");
    // Every decoder below starts from a freshly reset context.
    Decoder d(Mode::Stream);
    const std::vector<uint16_t> w = to_words(s);
    EXPECT_EQ(KVXD_process(d.h, w.data(), 8), 0);  // "ADIF" found, header not yet read
    EXPECT_EQ(d.obj->state, STATE_ADIF);
    EXPECT_EQ(d.obj->blockCount, 0);
    // Nothing is tried until more than 1023 bits are held behind "ADIF";
    // then the header and the first block are tried (and, while the block
    // is incomplete, retried from the same place on every call).
    size_t fed = 8;
    uint16_t held = 0;
    while (d.obj->errorCount == 0 && d.obj->blockCount == 0 && fed < 200) {
        held = static_cast<uint16_t>(kvxdec_decfifoGetBitCount(&d.obj->fifo) + 16);
        KVXD_process(d.h, w.data() + fed++, 1);
    }
    EXPECT_EQ(d.obj->errorCount, 1);
    EXPECT_EQ(d.obj->lastError, KVXD_ERR_BLOCK);
    EXPECT_EQ(d.obj->blockCount, 0);  // the header is read again with the block
    EXPECT_GE(held, 1024);
    EXPECT_LT(held, 1024 + 16);

    const Decoded all = Decoder(Mode::Stream).stream(s, 128);
    EXPECT_EQ(all.blocks.size(), 41u);
    // Without a frame length, blocks are tried as soon as 128 bits are held;
    // each try that runs dry counts an error and is retried.
    EXPECT_GT(all.errors, 0);
    const Decoded pulled = Decoder(Mode::Pull).pull(s);
    ASSERT_EQ(pulled.blocks.size(), 41u);
    expect_same_blocks(pulled, all);
}

TEST(FrameLoop, RawStreamsAreNeverSearched) {
    const Decoded& ref = reference("tests/data/p01_head.aac");
    std::vector<std::vector<uint8_t>> blocks, spaced;
    for (const auto& f : adts_frames(stream("tests/data/p01_head.aac"))) {
        blocks.emplace_back(f.begin() + 7, f.end());
        spaced.push_back(blocks.back());
        spaced.back().push_back(0);
    }
    // Streaming: the blocks, and the blocks with a zero byte after each, are read alike.
    for (const auto* parts : {&blocks, &spaced}) {
        const Decoded d = Decoder(Mode::Stream, true, 2, 4).stream(join(*parts), 128);
        ASSERT_GE(d.blocks.size(), ref.blocks.size());
        expect_same_blocks(d, ref);
    }
    // Frame mode: one block per call, no waiting and no errors.
    const Decoded fm = Decoder(Mode::Frame, true, 2, 4).frames(blocks);
    EXPECT_EQ(fm.errors, 0);
    ASSERT_EQ(fm.blocks.size(), ref.blocks.size());
    expect_same_blocks(fm, ref);
}

TEST(FrameLoop, ALostBlockLeavesTheNoiseOfLaterBlocksAlone) {
    // p01 uses noise substitution throughout. Frame 8 with its payload
    // spoiled is concealed; frame 9 still overlaps the concealed block; from
    // frame 10 on every block is the clean decode's (exact arithmetic: the
    // noise of a block depends on that block alone).
    if (!kExactArithmetic) GTEST_SKIP() << "the compact arithmetic keeps one noise generator for the stream";
    auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    const Decoded clean = Decoder(Mode::Frame).frames(frames);
    for (size_t i = 7; i < frames[8].size(); ++i) frames[8][i] = static_cast<uint8_t>(i * 37);
    const Decoded hurt = Decoder(Mode::Frame).frames(frames);
    ASSERT_EQ(hurt.blocks.size(), clean.blocks.size());
    EXPECT_NE(hurt.blocks[8], clean.blocks[8]);
    for (size_t i = 10; i < clean.blocks.size(); ++i) EXPECT_EQ(hurt.blocks[i], clean.blocks[i]) << "block " << i;
}

// p08's frames 8 to 10, frame 10's global gain raised from 162 to 215: a
// well-formed block whose coefficients saturate, beyond any 16-bit source
// and beyond the filter bank's range. It used to come out as wrapped noise
// (717 of its 1024 samples at full scale, none near the float decoders'
// clipped ones); now it is concealed and counted, in every mode, and the
// blocks before it are the clean frames' decode.
TEST(FrameLoop, ABlockBeyondTheCoefficientLimitIsConcealed) {
    if (!kExactArithmetic) GTEST_SKIP() << "the compact arithmetic's dequantisation wraps, as it always has";
    const std::vector<uint8_t> bytes = stream("tests/data/p08_gain_raised_8_10.aac");
    auto frames = adts_frames(bytes);
    ASSERT_EQ(frames.size(), 3u);
    // The global gain: bits 7..14 of the single channel element after the
    // 7-byte header.
    std::vector<uint8_t>& f = frames[2];
    ASSERT_EQ((f[7] & 1) << 7 | f[8] >> 1, 215);
    f[7] = static_cast<uint8_t>((f[7] & 0xFE) | (162 >> 7));
    f[8] = static_cast<uint8_t>((f[8] & 1) | (162 & 0x7F) << 1);
    const Decoded clean = Decoder(Mode::Frame).frames(frames);
    ASSERT_EQ(clean.blocks.size(), 3u);
    EXPECT_EQ(clean.errors, 0);
    for (int m = 0; m < 3; ++m) {
        SCOPED_TRACE("mode " + std::to_string(m));
        Decoder d(static_cast<Mode>(m));
        const Decoded out = decode_in(d, bytes);
        ASSERT_EQ(out.blocks.size(), 3u);
        EXPECT_EQ(out.errors, 1);
        if (m == 1) EXPECT_EQ(d.obj->concealedCount, 1);  // the others reset it with the errors
        EXPECT_EQ(out.blocks[0], clean.blocks[0]);
        EXPECT_EQ(out.blocks[1], clean.blocks[1]);
        const auto& b = out.blocks[2];
        EXPECT_EQ(std::count_if(b.begin(), b.end(), [](int16_t v) { return v == 32767 || v == -32768; }), 0);
    }
}

// The frames of a stream, joined, in mode m (stream, frame, pull).
Decoded decode_frames(int m, const std::vector<std::vector<uint8_t>>& frames) {
    Decoder d(static_cast<Mode>(m));
    const std::vector<uint8_t> bytes = join(frames);
    return m == 0 ? d.stream(bytes, 128) : m == 1 ? d.frames(frames) : d.pull(bytes);
}

// A frame whose header is destroyed is lost with it: its block is
// concealed where the stream turns up again, so the timeline keeps its
// length, and the loss is counted. What stands between two frames and is no
// frame (a run of zeros or of 0xFF stuffing, an ID3 tag of files put end
// to end, a few junk bytes) adds nothing; a long stretch of junk, or a
// short one that begins as the stream's blocks do, one frame's blocks at
// most.
TEST(FrameLoop, AFrameLostWithItsHeaderKeepsItsPlace) {
    const auto p01 = adts_frames(stream("tests/data/p01_head.aac"));
    const Decoded& ref = reference("tests/data/p01_head.aac");
    const auto with = [&](std::vector<size_t> zeroed, const std::vector<uint8_t>& before_10, size_t cut_10 = 0) {
        std::vector<std::vector<uint8_t>> f = p01;
        for (size_t k : zeroed) std::fill_n(f[k].begin(), 7, uint8_t{0});
        f[10].erase(f[10].begin(), f[10].begin() + static_cast<std::ptrdiff_t>(cut_10));
        f.insert(f.begin() + 10, before_10);
        return join(f);
    };
    std::vector<uint8_t> tag = {'I', 'D', '3', 4, 0, 0, 0, 0, 3, 0x68};
    tag.resize(500, 0x55);
    std::vector<uint8_t> junk(1200);  // (with the frame before it, within a frame-mode call)
    std::mt19937 rng(7);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> led(junk.begin(), junk.begin() + 40);  // (a block of the stream's begins so)
    led[5] = p01[10][7];
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::vector<size_t> concealed;  // blocks of the output
        size_t extra;                   // blocks more than the clean stream's
    } cases[] = {
        {"header zeroed", with({10}, {}), {10}, 0},
        {"two headers zeroed apart", with({10, 16}, {}), {10, 16}, 0},
        {"zeros between", with({}, std::vector<uint8_t>(1000, 0)), {}, 0},
        {"tag between", with({}, tag), {}, 0},
        {"junk between", with({}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}), {}, 0},
        {"header's first bytes cut", with({}, {}, 4), {10}, 0},
        {"0xFF stuffing", with({}, std::vector<uint8_t>(1200, 0xFF)), {}, 0},
        {"a long stretch of junk", with({}, junk), {10}, 1},
        {"a short one beginning as a block", with({}, led), {10}, 1},
        {"the same without", with({}, std::vector<uint8_t>(junk.begin(), junk.begin() + 40)), {}, 0},
        {"seven bytes beginning as a block", with({}, std::vector<uint8_t>(led.begin() + 5, led.begin() + 12)), {}, 0},
    };
    for (const Case& c : cases) {
        for (Mode m : {Mode::Stream, Mode::Frame, Mode::Pull}) {
            SCOPED_TRACE(std::string(c.what) + " mode " + std::to_string(static_cast<int>(m)));
            // (Frame mode: the host's splitter hands junk over with the
            // frame before it, and a call gives at most four blocks.)
            Decoder d(m);
            const Decoded out = decode_in(d, c.bytes, 61);
            ASSERT_EQ(out.blocks.size(), ref.blocks.size() + c.extra);
            EXPECT_EQ(out.errors > 0, !c.concealed.empty());
            // The blocks before a loss, and from the second after it on,
            // are the clean ones (the compact arithmetic's one noise
            // generator falls out of step at a lost block); the lost ones
            // are concealed.
            for (size_t i = 0, lag = 0; i < out.blocks.size(); ++i) {
                const bool lost = std::find(c.concealed.begin(), c.concealed.end(), i) != c.concealed.end();
                const bool after = std::find(c.concealed.begin(), c.concealed.end(), i - 1) != c.concealed.end();
                if (lost) {
                    EXPECT_NE(out.blocks[i], ref.blocks[i - lag]) << "block " << i;
                    lag += c.extra;
                } else if (!after && (kExactArithmetic || c.concealed.empty() || i < c.concealed[0])) {
                    EXPECT_EQ(out.blocks[i], ref.blocks[i - lag]) << "block " << i;
                }
            }
        }
    }
    // A small frame (p40's frame 20: 36 bytes, a tenth of its average) lost
    // with its header.
    auto p40 = adts_frames(stream("tests/data/p40_head.aac"));
    ASSERT_EQ(p40[20].size(), 36u);
    const size_t clean = Decoder(Mode::Stream).stream(join(p40), 128).blocks.size();
    std::fill_n(p40[20].begin(), 7, uint8_t{0});
    for (Mode m : {Mode::Stream, Mode::Frame, Mode::Pull}) {
        Decoder d(m);
        const Decoded out = decode_in(d, join(p40), 61);
        EXPECT_EQ(out.blocks.size(), clean) << "mode " << static_cast<int>(m);
        EXPECT_GT(out.errors, 0);
    }
}

// Frame 10 of an 8 kHz stereo stream damaged, in every mode.
// - Three bit flips make its block parse on past the frame's end, through
//   frame 11's header and data: the block is failed and concealed, frame 11
//   decodes where its header stands (it used to be swallowed, shortening the
//   timeline), and from frame 12 on every block is the clean decode's.
// - Its header says two blocks; its one block fills the frame. The count is
//   damage: no phantom block after it.
// - Its header's rate, ID or syncword flipped: it stands where frame 9's
//   length says and its own length leads to frame 11's header, so it is
//   frame 10 all the same, decoded with the stream's fields.
// In the last two the whole decode is the clean one.
TEST(FrameLoop, DamageInOneFrameCostsAtMostItsBlockAndTheNext) {
    const char* name = "tests/data/p19_vo_8000_s_music.aac";
    const auto clean_frames = adts_frames(stream(name));
    const Decoded clean = Decoder(Mode::Stream).stream(stream(name), 128);
    ASSERT_EQ(clean.blocks.size(), clean_frames.size());
    ASSERT_EQ(clean_frames[10].size(), 379u);
    const struct {
        const char* what;
        std::vector<std::pair<size_t, uint8_t>> flips;  // (byte of frame 10, bits)
        bool lost;  // blocks 10 and 11 may differ from the clean ones, block 10 must
    } cases[] = {
        {"a block running past its frame", {{13, 1 << 7}, {158, 1 << 3}, {361, 1 << 5}}, true},
        // The block count's two bits (blocks - 1) made 01.
        {"two blocks in a frame of one", {{6, static_cast<uint8_t>((clean_frames[10][6] & 3) ^ 1)}}, false},
        {"the rate flipped", {{2, 0x04}}, false},
        {"the ID flipped", {{1, 0x08}}, false},
        {"the syncword flipped", {{0, 0x10}}, false},
    };
    for (const auto& c : cases) {
        auto frames = clean_frames;
        for (const auto& [byte, bits] : c.flips) frames[10][byte] ^= bits;
        for (int m = 0; m < 3; ++m) {
            SCOPED_TRACE(std::string(c.what) + " mode " + std::to_string(m));
            const Decoded out = decode_frames(m, frames);
            ASSERT_EQ(out.blocks.size(), clean.blocks.size());
            if (c.lost) EXPECT_NE(out.blocks[10], clean.blocks[10]);
            for (size_t i = 0; i < clean.blocks.size(); ++i)
                if (!c.lost || i < 10 || i >= 12) EXPECT_EQ(out.blocks[i], clean.blocks[i]) << "block " << i;
        }
    }
}

TEST(FrameLoop, DamageInRawBlocksIsSteppedOverNotMultiplied) {
    // 78 raw blocks (about 256 bytes each), cut short, and with junk put in:
    // the decoder steps over the damage without a concealed block for every
    // few bytes, ends when the input ends (pull mode once looped forever on
    // the last bytes), and the modes agree.
    const std::vector<uint8_t> raw = stream("tests/data/p08_vo_16000_m_speech_music.raw");
    const Decoded clean = Decoder(Mode::Stream, true, 1, 8).stream(raw, 128);
    ASSERT_EQ(clean.blocks.size(), 78u);

    const std::vector<uint8_t> cut(raw.begin(), raw.begin() + 7000);
    const Decoded cut_stream = Decoder(Mode::Stream, true, 1, 8).stream(cut, 128);
    const Decoded cut_pull = Decoder(Mode::Pull, true, 1, 8).pull(cut);
    EXPECT_LE(cut_stream.blocks.size(), 7000u / 256 + 2);
    EXPECT_EQ(cut_pull.blocks, cut_stream.blocks);
    expect_same_blocks(cut_stream, Decoded{{clean.blocks.begin(), clean.blocks.begin() + 25}, 0, 0});

    std::vector<uint8_t> junk(raw.begin(), raw.begin() + 5000);
    std::mt19937 rng(5);
    for (int i = 0; i < 3000; ++i) junk.push_back(static_cast<uint8_t>(rng()));
    junk.insert(junk.end(), raw.begin() + 5000, raw.end());
    const Decoded j = Decoder(Mode::Stream, true, 1, 8).stream(junk, 128);
    EXPECT_LE(j.blocks.size(), 78u + 3000 / 256 + 2);
    EXPECT_GE(j.blocks.size(), 78u);
    EXPECT_EQ(Decoder(Mode::Pull, true, 1, 8).pull(junk).blocks, j.blocks);
}

// Hand-made blocks through the block parser.
class Blocks : public ::testing::Test {
protected:
    void SetUp() override {
        obj = make_decoder(true);
        obj->state = STATE_FRAMES;
        aacdecode_setOutputBuffer(obj, pcm);
        obj->ctx->defaultConfig = 1;
    }
    int16_t decode(const BitWriter& w) {
        std::vector<uint8_t> b = w.data();
        b.resize(b.size() + 4, 0);
        aacdecode_flushFifo(obj);
        feed(obj, b);
        return aacDecode(obj);
    }
    // An SCE holding silence: tag, gain, long ics_info with max_sfb 0, no
    // pulse/TNS/gain control.
    static void put_silent_sce(BitWriter& w, int tag = 0) {
        w.put(ID_SCE, 3).put(static_cast<uint32_t>(tag), 4).put(100, 8);
        w.put(0, 1).put(0, 2).put(0, 1).put(0, 6).put(0, 1);
        w.put(0, 1).put(0, 1).put(0, 1);
    }
    // A PCE, tag 0, 44.1 kHz, of one front element (a single, tag 0, or with
    // `mono_mixdown` a pair, tag 0, and a mono mixdown), no comment.
    static void put_pce(BitWriter& w, bool mono_mixdown = false) {
        w.put(ID_PCE, 3).put(0, 4).put(1, 2).put(4, 4).put(1, 4).put(0, 4).put(0, 4).put(0, 2).put(0, 3).put(0, 4);
        if (mono_mixdown) w.put(1, 1).put(0, 4).put(0, 2).put(1, 1).put(0, 4).align().put(0, 8);
        else w.put(0, 3).put(0, 1).put(0, 4).align().put(0, 8);
    }
    MP4AACDEC_QUVA_Obj* obj = nullptr;
    int16_t pcm[2048] = {};
};

TEST_F(Blocks, EmptyBlockDecodesNothing) {
    EXPECT_EQ(decode(BitWriter().put(ID_END, 3)), 0);
    EXPECT_EQ(obj->state, STATE_FRAMES);
    BitWriter fil;
    fil.put(ID_FIL, 3).put(0, 4).put(ID_END, 3);
    EXPECT_EQ(decode(fil), 0);  // no channel element: resynchronise
    EXPECT_EQ(obj->state, STATE_SEARCH);
}

TEST_F(Blocks, MonoBlockIsDuplicatedAndCounted) {
    BitWriter w;
    put_silent_sce(w);
    w.put(ID_END, 3);
    obj->ctx->bno = 3;
    EXPECT_GT(decode(w), 0);
    EXPECT_EQ(obj->ctx->bno, 4u);
    EXPECT_EQ(obj->numSamples, 2048);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(pcm[2 * i], pcm[2 * i + 1]);
}

TEST_F(Blocks, FillAndDataElementsAreSkipped) {
    BitWriter w;
    w.put(ID_FIL, 3).put(15, 4).put(0, 8);  // count 15, escape 0: 14 bytes
    for (int i = 0; i < 14; ++i) w.put(0xEE, 8);
    w.put(ID_DSE, 3).put(0, 4).put(1, 1).put(255, 8).put(255, 8).align();  // 510 bytes, aligned
    for (int i = 0; i < 510; ++i) w.put(0x77, 8);
    put_silent_sce(w);
    w.put(ID_END, 3);
    EXPECT_GT(decode(w), 0);
    EXPECT_EQ(obj->lastError, 0u);
}

TEST_F(Blocks, ElementErrorsAndNotices) {
    BitWriter lfe;
    put_silent_sce(lfe);
    lfe.put(ID_LFE, 3).put(0, 4).put(ID_END, 3);
    EXPECT_EQ(decode(lfe), -32767);
    EXPECT_EQ(obj->state, STATE_SEARCH);

    obj->state = STATE_FRAMES;
    BitWriter pce_first;
    put_pce(pce_first);
    put_silent_sce(pce_first);
    pce_first.put(ID_END, 3);
    obj->ctx->currentProgram = 7;  // another program: parsed and ignored
    EXPECT_GT(decode(pce_first), 0);
    EXPECT_EQ(obj->lastError, 0u);

    BitWriter pce_late;
    put_silent_sce(pce_late);
    put_pce(pce_late);
    pce_late.put(ID_END, 3);
    EXPECT_GT(decode(pce_late), 0);
    EXPECT_EQ(obj->lastError, KVXD_ERR_LATE_PCE);

    // Two channels decoded, one mapped by the element order: refused.
    obj->state = STATE_FRAMES;
    BitWriter three;
    put_silent_sce(three, 1);
    put_silent_sce(three, 2);
    put_silent_sce(three, 3);
    three.put(ID_END, 3);
    EXPECT_EQ(decode(three), 0);
    EXPECT_EQ(obj->state, STATE_SEARCH);

    // A late PCE that maps a pair (in the compact arithmetic refused for
    // its mono mixdown after it mapped it), then a second SCE: two channels
    // counted and two mapped, but slot 1 would hold an earlier block's
    // data: refused (the exact arithmetic fails the block: the SCE is not
    // the program's).
    obj->state = STATE_FRAMES;
    obj->ctx->currentProgram = 0;
    BitWriter remap;
    put_silent_sce(remap);
    put_pce(remap, true);
    put_silent_sce(remap);
    remap.put(ID_END, 3);
    EXPECT_LE(decode(remap), 0);
    EXPECT_EQ(obj->state, STATE_SEARCH);
}

// A real channel stream: block 6 of a mono 32 kHz stream, its SCE's bits
// after id and tag (as long as decoding it says), and how many of its bands
// are coded (a coupling element's per-band gain list has a codeword for each).
struct ChannelStream {
    std::vector<bool> bits;
    int coded_bands = 0;
};
constexpr int kRate32000 = 5;

ChannelStream real_channel_stream(MP4AACDEC_QUVA_Obj* obj) {
    const auto frames = adts_frames(stream("tests/data/g3_32000_m_bursts.aac"));
    const std::vector<uint8_t>& frame = frames.at(6);
    const std::vector<uint8_t> block(frame.begin() + ((frame[1] & 1) ? 7 : 9), frame.end());
    std::vector<uint8_t> padded = block;
    padded.resize(padded.size() + 4, 0);
    aacdecode_flushFifo(obj);
    feed(obj, padded);
    EXPECT_EQ(aacdec_getbits(obj, 3), ID_SCE);
    DecFifo& f = obj->fifo;
    f.words_read = 0;
    const uint32_t cached = f.bits_left;
    EXPECT_EQ(kvxdec_huffdecode(obj, ID_SCE, &obj->mcInfo), 1);
    const uint32_t length = 16u * f.words_read + cached - f.bits_left;
    ChannelStream cs;
    for (uint32_t i = 3 + 4; i < 3 + length; ++i) cs.bits.push_back((block[i / 8] >> (7 - i % 8)) & 1);
    const BandInfo* band = kvxdec_winmap(obj, obj->windowSequence[0]);
    const int n = band->num_swb[0];
    int groups = 1;
    while (groups < 8 && obj->windowGroups[0][groups - 1] < band->num_windows) ++groups;
    for (int g = 0; g < groups; ++g)
        for (int b = 0; b < obj->maxSfb[0]; ++b) cs.coded_bands += obj->sectCodebook[0][g * n + b] != ZERO_HCB;
    return cs;
}

void put_bits(BitWriter& w, const std::vector<bool>& bits) {
    for (bool b : bits) w.put(b ? 1 : 0, 1);
}

// A coupling channel element carrying `ics`: coupled to a single channel
// element and both channels of a pair (three gain element lists: the first
// implied, one common gain, one per coded band, every gain 0).
void put_cce(BitWriter& w, const ChannelStream& ics) {
    w.put(ID_CCE, 3).put(0, 4).put(0, 1).put(1, 3);
    w.put(0, 1).put(0, 4);              // a single channel element, tag 0
    w.put(1, 1).put(0, 4).put(1, 1).put(1, 1);  // a pair, both channels
    w.put(0, 1).put(0, 1).put(0, 2);    // domain, sign, scale
    put_bits(w, ics.bits);
    w.put(1, 1).put(0, 1);              // list 1: a common gain, codeword 0 (delta 0)
    w.put(0, 1);                        // list 2: a gain per coded band
    for (int i = 0; i < ics.coded_bands; ++i) w.put(0, 1);
}

TEST_F(Blocks, ABlockOfMoreElementsThanAnyProgramTakesIsDamage) {
    // Stepping over damage in ADIF: a silent single channel and empty fill
    // elements. Up to the bound the block decodes, one element more and it
    // is damage (junk read as small elements, which made each byte-by-byte
    // try read to the end of the data held).
    for (const int elements : {kMaxBlockElements, kMaxBlockElements + 1}) {
        SetUp();
        obj->state = STATE_ADIF;
        obj->ctx->steppingOver = 1;
        BitWriter w;
        put_silent_sce(w);
        for (int i = 1; i < elements; ++i) w.put(ID_FIL, 3).put(0, 4);
        w.put(ID_END, 3);
        if (elements <= kMaxBlockElements) EXPECT_GT(decode(w), 0);
        else EXPECT_EQ(decode(w), 0);
    }
}

TEST_F(Blocks, AnAdifBlockOfMoreChannelsThanItsProgramFailsThere) {
    // ADIF steps over damage a byte at a time, a block tried at each: a
    // mono block that goes on with forty more channel elements fails at the
    // second, not after decoding them all. Right after a good block it is
    // read to its end (where a stream's last bytes run dry, not damage).
    BitWriter w;
    for (int i = 0; i < 41; ++i) put_silent_sce(w);
    w.put(ID_END, 3);
    for (const uint8_t stepping : {1, 0}) {
        SetUp();
        obj->state = STATE_ADIF;
        obj->ctx->steppingOver = stepping;
        EXPECT_EQ(decode(w), 0);
        if (stepping) EXPECT_LT(16u * obj->fifo.words_read, 200u);
        else EXPECT_GT(16u * obj->fifo.words_read, 1000u);  // 41 of 29 bits
    }
}

TEST_F(Blocks, CouplingElementsAreReadAndDropped) {
    // A block of a mono 32 kHz stream, and the same channel stream as a
    // pair's two: with a coupling channel element after the channel
    // element (whose own channel stream is the same), the PCM is that of the
    // block without it, the note is set, and the element ends where its
    // syntax says (END follows).
    obj->mcInfo.sampling_rate_idx = kRate32000;
    kvxdec_infoinit(obj, &samp_rate_kvxdec_info[kRate32000]);
    const ChannelStream ics = real_channel_stream(obj);
    ASSERT_GT(ics.bits.size(), 400u);
    ASSERT_GT(ics.coded_bands, 10);
    auto play = [&](const BitWriter& w, bool* spoiled) {
        SetUp();
        obj->mcInfo.sampling_rate_idx = kRate32000;
        kvxdec_infoinit(obj, &samp_rate_kvxdec_info[kRate32000]);
        std::memset(pcm, 0, sizeof pcm);
        EXPECT_GT(decode(w), 0);
        *spoiled = obj->mcInfo.kept_spoiled != 0;
        return std::vector<int16_t>(pcm, pcm + 2048);
    };
    for (const bool pair : {false, true}) {
        SCOPED_TRACE(pair ? "pair" : "single");
        BitWriter plain, coupled;
        for (BitWriter* w : {&plain, &coupled}) {
            if (pair) {
                w->put(ID_CPE, 3).put(0, 4).put(0, 1);
                put_bits(*w, ics.bits);
            } else {
                w->put(ID_SCE, 3).put(0, 4);
            }
            put_bits(*w, ics.bits);
        }
        put_cce(coupled, ics);
        plain.put(ID_END, 3);
        coupled.put(ID_END, 3);
        bool spoiled = false;
        const std::vector<int16_t> want = play(plain, &spoiled);
        EXPECT_EQ(obj->lastError, 0u);
        EXPECT_GT(*std::max_element(want.begin(), want.end()), 100);
        EXPECT_EQ(play(coupled, &spoiled), want);
        EXPECT_EQ(obj->lastError, KVXD_ERR_CCE);
        EXPECT_EQ(obj->mcInfo.cce_skipped, 1u);
        // A pair's second channel holds slot 1: the coupling element's
        // stream took the spectra kept for concealment.
        EXPECT_EQ(spoiled, pair);
    }
}

TEST_F(Blocks, DamagedCouplingElementsFailTheBlockInBounds) {
    // A coupling element cut short, and random bits after its id: the block
    // fails or decodes, reading nothing out of bounds (the sanitizer builds
    // check), and the decoder goes on.
    obj->mcInfo.sampling_rate_idx = kRate32000;
    kvxdec_infoinit(obj, &samp_rate_kvxdec_info[kRate32000]);
    const ChannelStream ics = real_channel_stream(obj);
    BitWriter whole;
    put_silent_sce(whole);
    put_cce(whole, ics);
    whole.put(ID_END, 3);
    const std::vector<uint8_t> bytes = whole.data();
    std::mt19937 rng(17);
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> b(bytes.begin(), bytes.begin() + static_cast<long>(rng() % bytes.size()));
        if (i % 2) {
            b.resize(3);  // the silent SCE, the CCE's id, then junk
            for (int k = 0; k < 200; ++k) b.push_back(static_cast<uint8_t>(rng()));
        }
        obj->state = STATE_FRAMES;
        b.resize(b.size() + 4, 0);
        aacdecode_flushFifo(obj);
        feed(obj, b);
        aacDecode(obj);
    }
    obj->state = STATE_FRAMES;
    BitWriter w;
    put_silent_sce(w);
    w.put(ID_END, 3);
    EXPECT_GT(decode(w), 0);
}

TEST_F(Blocks, RunningDryKeepsTheStateForARetry) {
    BitWriter w;
    put_silent_sce(w);
    std::vector<uint8_t> b = w.data();
    b.resize(3);
    aacdecode_flushFifo(obj);
    feed(obj, b);
    EXPECT_EQ(aacDecode(obj), -1);
    EXPECT_EQ(obj->state, STATE_FRAMES);
    EXPECT_EQ(obj->fifo.status, DECFIFO_UNDERRUN);
}

}  // namespace
