// Frame processing loop and raw data block parser on real and hand-made
// streams, in frame, streaming and pull mode.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "dec/block.h"
#include "decode_util.h"

namespace {

std::vector<uint8_t> stream(const char* name) { return read_file(data_path(name)); }

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
    const size_t len0 = first.size(), len1 = frames[1].size();
    first.insert(first.end(), frames[1].begin(), frames[1].end());
    first.insert(first.end(), frames[2].begin(), frames[2].begin() + 9);  // 72 bits past frame 1
    const std::vector<uint16_t> w = to_words(first);
    // The call that finds the syncword returns 0.
    EXPECT_EQ(KVXD_process(d.h, w.data(), 64), 0);
    EXPECT_EQ(d.obj->state, STATE_FRAMES);
    // Frame 0 is then held back until, after its header, its length plus 16
    // bits are buffered: the next header and 16 bits beyond the frame.
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
    (void)len1;
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

TEST(FrameLoop, FrameLengthBeyondTheBlockIsSkippedToTheNextSyncword) {
    // Each frame but the last claims 12 more bytes than its block uses (12,
    // because at 10 bytes into one of these frames the data happen to read
    // 0xFFF, which the syncword test cannot tell apart). With the bytes
    // present the loop jumps to the syncword behind them; without them the
    // syncword test fails and it carries on where the block ended.
    const auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    std::vector<uint8_t> padded, unpadded;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        std::vector<uint8_t> f = frames[i];
        const size_t len = f.size() + 12;
        f[3] = static_cast<uint8_t>((f[3] & 0xFC) | (len >> 11));
        f[4] = static_cast<uint8_t>(len >> 3);
        f[5] = static_cast<uint8_t>((f[5] & 0x1F) | ((len & 7) << 5));
        unpadded.insert(unpadded.end(), f.begin(), f.end());
        f.insert(f.end(), 12, 0xA5);
        padded.insert(padded.end(), f.begin(), f.end());
    }
    padded.insert(padded.end(), frames.back().begin(), frames.back().end());
    unpadded.insert(unpadded.end(), frames.back().begin(), frames.back().end());
    const Decoded& ref = reference("tests/data/p01_head.aac");
    for (const auto* s : {&padded, &unpadded}) {
        const Decoded d = Decoder(Mode::Stream).stream(*s, 128);
        EXPECT_EQ(d.errors, 0);
        ASSERT_EQ(d.blocks.size(), ref.blocks.size());
        expect_same_blocks(d, ref);
    }
}

TEST(FrameLoop, TwoBlockFramesDecodeTheirFirstBlock) {
    // Join the payloads of frames 2k and 2k+1 into one frame of two blocks.
    const auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    std::vector<uint8_t> joined;
    for (size_t i = 0; i + 1 < frames.size(); i += 2) {
        std::vector<uint8_t> f(frames[i].begin(), frames[i].begin() + 7);
        f.insert(f.end(), frames[i].begin() + 7, frames[i].end());
        f.insert(f.end(), frames[i + 1].begin() + 7, frames[i + 1].end());
        const size_t len = f.size();
        f[3] = static_cast<uint8_t>((f[3] & 0xFC) | (len >> 11));
        f[4] = static_cast<uint8_t>(len >> 3);
        f[5] = static_cast<uint8_t>((f[5] & 0x1F) | ((len & 7) << 5));
        f[6] = static_cast<uint8_t>((f[6] & 0xFC) | 1);  // number_of_raw_data_blocks_in_frame = 1
        joined.insert(joined.end(), f.begin(), f.end());
    }
    const size_t joined_frames = frames.size() / 2;
    ASSERT_EQ(adts_frames(joined).size(), joined_frames);
    const Decoded d = Decoder(Mode::Stream).stream(joined, 128);
    EXPECT_EQ(d.errors, 0);
    ASSERT_EQ(d.blocks.size(), joined_frames);
    EXPECT_EQ(d.blocks[0], reference("tests/data/p01_head.aac").blocks[0]);
    const Decoded pulled = Decoder(Mode::Pull).pull(joined);
    EXPECT_EQ(pulled.blocks.size(), joined_frames);
    const Decoded f = Decoder(Mode::Frame).frames(adts_frames(joined));
    EXPECT_EQ(f.errors, 0);
    EXPECT_EQ(f.blocks.size(), joined_frames);
}

TEST(FrameLoop, JunkBeforeAndBetweenFramesIsSkipped) {
    const auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    const Decoded& ref = reference("tests/data/p01_head.aac");
    std::vector<uint8_t> junk(700);
    uint32_t x = 12345;
    for (auto& b : junk) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>((x >> 16) & 0xFF);
        if (b == 0xFF) b = 0xFE;  // no false syncword candidates in it
    }
    // Junk in front: every frame is found.
    std::vector<uint8_t> s = junk;
    const std::vector<uint8_t> clean = join(frames);
    s.insert(s.end(), clean.begin(), clean.end());
    const Decoded front = Decoder(Mode::Stream).stream(s, 128, frames[0].data());
    EXPECT_EQ(front.blocks.size(), frames.size());
    expect_same_blocks(front, ref);

    // 100 junk bytes after frame 9: a header is read from the junk, the
    // block fails, the search resumes and finds frame 10: only junk is lost.
    std::vector<uint8_t> mid;
    for (size_t i = 0; i < frames.size(); ++i) {
        mid.insert(mid.end(), frames[i].begin(), frames[i].end());
        if (i == 9) mid.insert(mid.end(), junk.begin(), junk.begin() + 100);
    }
    const Decoded between = Decoder(Mode::Stream).stream(mid, 128);
    EXPECT_GE(between.errors, 1);
    EXPECT_EQ(between.lastError, KVXD_ERR_BLOCK);
    ASSERT_EQ(between.blocks.size(), frames.size());
    expect_same_blocks(between, ref);
}

TEST(FrameLoop, TruncatedFrameInFrameModeIsDropped) {
    auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    Decoder d(Mode::Frame);
    frames[0].resize(frames[0].size() / 2);
    const std::vector<uint16_t> w = to_words(frames[0]);
    EXPECT_EQ(KVXD_process(d.h, w.data(), static_cast<uint16_t>(w.size())), 0);
    EXPECT_EQ(d.obj->bitsNeeded, 72u);
    EXPECT_EQ(d.obj->errorCount, 0);
    // It was the first frame after the search: the next call searches again,
    // and the next whole frame decodes.
    EXPECT_EQ(d.obj->state, STATE_SEARCH);
    for (size_t i = 1; i < 4; ++i) {
        const std::vector<uint16_t> wi = to_words(frames[i]);
        EXPECT_EQ(KVXD_process(d.h, wi.data(), static_cast<uint16_t>(wi.size())), 2048) << i;
        uint16_t n;
        KVXD_getSamples(d.h, &n);
    }
    // A later truncated frame is dropped alike, without losing the next.
    std::vector<uint8_t> cut = frames[4];
    cut.resize(cut.size() - 1);
    const std::vector<uint16_t> wc = to_words(cut);
    EXPECT_EQ(KVXD_process(d.h, wc.data(), static_cast<uint16_t>(wc.size())), 0);
    EXPECT_EQ(d.obj->state, STATE_FRAMES);
    const std::vector<uint16_t> w5 = to_words(frames[5]);
    EXPECT_EQ(KVXD_process(d.h, w5.data(), static_cast<uint16_t>(w5.size())), 2048);
    // More words than the FIFO holds are refused whole.
    std::vector<uint16_t> big(891, 0);
    EXPECT_EQ(KVXD_process(d.h, big.data(), 891), 0);
    EXPECT_EQ(d.obj->errorCount, 1);
    EXPECT_EQ(d.obj->lastError, KVXD_ERR_BLOCK);
    EXPECT_EQ(KVXD_process(d.h, big.data(), 890), 0);
    EXPECT_EQ(d.obj->fifo.status, DECFIFO_OK);
}

TEST(FrameLoop, AdifStreamWaitsFor1024BitsThenDecodesEveryBlock) {
    const std::vector<uint8_t> s = stream("tests/data/p05_ff_8000_m_speech.vbr.adif");
    kvxdec_current_program = -1;
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

    kvxdec_current_program = -1;
    const Decoded all = Decoder(Mode::Stream).stream(s, 128);
    EXPECT_EQ(all.blocks.size(), 41u);
    // Without a frame length, blocks are tried as soon as 128 bits are held;
    // each try that runs dry counts an error and is retried.
    EXPECT_GT(all.errors, 0);
    kvxdec_current_program = -1;
    const Decoded pulled = Decoder(Mode::Pull).pull(s);
    ASSERT_EQ(pulled.blocks.size(), 41u);
    expect_same_blocks(pulled, all);
}

TEST(FrameLoop, RawStreamsAreNeverSearched) {
    const auto frames = adts_frames(stream("tests/data/p01_head.aac"));
    std::vector<uint8_t> raw;
    for (const auto& f : frames) raw.insert(raw.end(), f.begin() + 7, f.end());
    const Decoded d = Decoder(Mode::Stream, true, 2, 4).stream(raw, 128);
    const Decoded& ref = reference("tests/data/p01_head.aac");
    ASSERT_GE(d.blocks.size(), ref.blocks.size());
    expect_same_blocks(d, ref);
    // The same blocks with a zero byte after each are read alike.
    std::vector<uint8_t> spaced;
    for (const auto& f : frames) {
        spaced.insert(spaced.end(), f.begin() + 7, f.end());
        spaced.push_back(0);
    }
    const Decoded z = Decoder(Mode::Stream, true, 2, 4).stream(spaced, 128);
    ASSERT_GE(z.blocks.size(), ref.blocks.size());
    expect_same_blocks(z, ref);
    // Frame mode: one block per call, no waiting and no errors.
    std::vector<std::vector<uint8_t>> blocks;
    for (const auto& f : frames) blocks.emplace_back(f.begin() + 7, f.end());
    const Decoded fm = Decoder(Mode::Frame, true, 2, 4).frames(blocks);
    EXPECT_EQ(fm.errors, 0);
    ASSERT_EQ(fm.blocks.size(), ref.blocks.size());
    expect_same_blocks(fm, ref);
}

// Hand-made blocks through the block parser.
class Blocks : public ::testing::Test {
protected:
    void SetUp() override {
        obj = make_decoder(true);
        obj->state = STATE_FRAMES;
        aacdecode_setOutputBuffer(obj, pcm);
        kvxdec_default_config = 1;
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
    kvxdec_bno = 3;
    EXPECT_GT(decode(w), 0);
    EXPECT_EQ(kvxdec_bno, 4u);
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
    pce_first.put(ID_PCE, 3).put(0, 4).put(1, 2).put(4, 4).put(1, 4).put(0, 4).put(0, 4).put(0, 2).put(0, 3).put(0, 4);
    pce_first.put(0, 3).put(0, 1).put(0, 4).align().put(0, 8);
    put_silent_sce(pce_first);
    pce_first.put(ID_END, 3);
    kvxdec_current_program = 7;  // another program: parsed and ignored
    EXPECT_GT(decode(pce_first), 0);
    EXPECT_EQ(obj->lastError, 0u);

    BitWriter pce_late;
    put_silent_sce(pce_late);
    pce_late.put(ID_PCE, 3).put(0, 4).put(1, 2).put(4, 4).put(1, 4).put(0, 4).put(0, 4).put(0, 2).put(0, 3).put(0, 4);
    pce_late.put(0, 3).put(0, 1).put(0, 4).align().put(0, 8);
    pce_late.put(ID_END, 3);
    EXPECT_GT(decode(pce_late), 0);
    EXPECT_EQ(obj->lastError, KVXD_ERR_LATE_PCE);

    // A coupling element is not parsed: its bits are read as element ids
    // (here END at once, so no channel element: the block fails).
    BitWriter cce;
    cce.put(ID_CCE, 3).put(ID_END, 3);
    EXPECT_EQ(decode(cce), 0);
    EXPECT_EQ(obj->lastError, KVXD_ERR_CCE);

    // Two channels decoded, one mapped by the element order: refused.
    obj->state = STATE_FRAMES;
    BitWriter three;
    put_silent_sce(three, 1);
    put_silent_sce(three, 2);
    put_silent_sce(three, 3);
    three.put(ID_END, 3);
    EXPECT_EQ(decode(three), 0);
    EXPECT_EQ(obj->state, STATE_SEARCH);
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
