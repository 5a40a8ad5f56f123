// Plug-in front end: creation, staging of input words, output copying.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aac_plugin.h"
#include "decode_util.h"
#include "test_util.h"
#include "wraps.h"

namespace {

ZorStreamInfo stream(uint32_t rate, uint32_t flags, uint32_t channels = 2) {
    return ZorStreamInfo{ZOR_STREAM_INFO_VERSION, channels, rate, 128, flags};
}

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_wraps.reset();
        AACFinish();
    }
    void TearDown() override {
        AACFinish();
        g_wraps.reset();
    }

    void init(uint32_t flags, uint32_t rate = 44100) {
        ZorStreamInfo info = stream(rate, flags);
        ASSERT_EQ(GetZorAudioDecodePlugin()->init(&info), 0);
        st_ = plugin_state();
        ASSERT_NE(st_, nullptr);
    }

    // Makes every process call with input produce one block of `tag` samples.
    void fake_blocks() {
        g_wraps.fake_process = [this](IALG_Handle h, const uint16_t*, uint32_t count) -> uint16_t {
            if (count == 0) return 0;  // nothing more buffered
            MP4AACDEC_QUVA_Obj* obj = inner_obj(h);
            obj->numSamples = kSamplesPerBlock;
            ++blocks_;
            for (int i = 0; i < kSamplesPerBlock; ++i)
                obj->outputBuffer[i] = static_cast<int16_t>(blocks_ * 1000 + i);
            return kSamplesPerBlock;
        };
    }

    int decode(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& pcm, uint32_t capacity,
               uint32_t pass = 0x12345678, uint32_t flag = 0) {
        ZorBuffer in{}, out{};
        in.data = const_cast<uint8_t*>(bytes.data());
        in.size = static_cast<uint32_t>(bytes.size());
        in.passthrough = pass;
        in.flag = flag;
        pcm.assign(capacity, 0);
        out.data = pcm.data();
        out.size = capacity;
        int r = GetZorAudioDecodePlugin()->decode(&in, &out);
        out_ = out;
        return r;
    }

    // Frame mode, one frame a call with `room` bytes of output: every block
    // `bytes` long at `rate` Hz. Returns the PCM; `blocks` counts the blocks.
    std::vector<uint8_t> decode_frames(const std::vector<std::vector<uint8_t>>& frames, uint32_t room, int bytes,
                                       uint32_t rate, size_t& blocks) {
        std::vector<uint8_t> pcm, all;
        blocks = 0;
        for (const auto& f : frames) {
            const int got = decode(f, pcm, room);
            EXPECT_GE(got, 0);
            if (got <= 0) continue;
            ++blocks;
            EXPECT_EQ(vals(got, out_.sampleRate), vals(bytes, rate));
            all.insert(all.end(), pcm.begin(), pcm.begin() + got);
        }
        return all;
    }

    AacPluginState* st_ = nullptr;
    ZorBuffer out_{};
    int blocks_ = 0;
};

constexpr uint32_t kStreamRoom = output_room(512, false);
constexpr uint32_t kFrameRoom = output_room(0, true);

std::vector<uint8_t> ramp(size_t n, uint8_t start = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i);
    return v;
}

TEST_F(PluginTest, ChannelHintAndRawFlagReachTheDecoder) {
    ZorStreamInfo info = stream(8000, ZOR_STREAM_RAW, 1);
    ASSERT_EQ(AACInit(&info), 0);
    st_ = plugin_state();
    // Not streaming: whole frames.
    EXPECT_EQ(vals(st_->status.numChannels, st_->status.sampleRateIndex, st_->params.frameMode), vals(1, 11, 1));
    MP4AACDEC_QUVA_Obj* obj = inner_obj(st_->instance);
    EXPECT_EQ(vals(obj->rawStream, obj->mcInfo.num_channels, obj->mcInfo.sampling_rate_idx), vals(1, 1, 11));
}

TEST_F(PluginTest, UnlistedRateFailsAndLeavesNoState) {
    ZorStreamInfo info = stream(44000, ZOR_STREAM_STREAMING);
    EXPECT_EQ(AACInit(&info), -1);
    EXPECT_EQ(plugin_state(), nullptr);
    AACFinish();  // does nothing
    EXPECT_EQ(plugin_state(), nullptr);
    EXPECT_EQ(AACInit(nullptr), -1);
    EXPECT_EQ(plugin_state(), nullptr);
    // Decoding without a state is refused rather than crashing.
    std::vector<uint8_t> pcm;
    EXPECT_EQ(decode(ramp(10), pcm, 8192), -1);
}

TEST_F(PluginTest, StreamingStagesWholeChunksOfSwappedWords) {
    init(ZOR_STREAM_STREAMING);
    std::vector<uint8_t> pcm;
    std::vector<uint8_t> first = ramp(300);
    EXPECT_EQ(decode(first, pcm, kStreamRoom), 0);
    ASSERT_EQ(g_wraps.calls.size(), 1u);
    // The first stream byte in the high half.
    EXPECT_EQ(vals(g_wraps.calls[0].count, g_wraps.calls[0].words[0], g_wraps.calls[0].words[127], st_->stagedBytes,
                   out_.passthrough, out_.sampleRate),
              vals(128, 0x0001, 0xFEFF, 44, 0x12345678, 44100));

    // The 44 staged bytes (stream bytes 256..299) lead the next chunk.
    EXPECT_EQ(decode(ramp(212, 44), pcm, kStreamRoom), 0);
    ASSERT_EQ(g_wraps.calls.size(), 2u);
    // Word 22 holds the first bytes of the second call.
    EXPECT_EQ(vals(g_wraps.calls[1].words[0], g_wraps.calls[1].words[21], g_wraps.calls[1].words[22], st_->stagedBytes),
              vals(0x0001, 0x2A2B, 0x2C2D, 0));
}

TEST_F(PluginTest, FrameModeHandsTheWholeBufferAtOnce) {
    init(0);
    std::vector<uint8_t> pcm;
    // (The byte that rounds an odd-length input to words is zero, not what
    // the last call left.)
    reinterpret_cast<uint8_t*>(st_->staging)[5] = 0x99;
    EXPECT_EQ(decode(ramp(5, 1), pcm, kFrameRoom), 0);
    ASSERT_EQ(g_wraps.calls.size(), 1u);
    ASSERT_EQ(g_wraps.calls[0].count, 3u);
    EXPECT_EQ(vals(g_wraps.calls[0].words[0], g_wraps.calls[0].words[2]), vals(0x0102, 0x0500));

    // The largest input the FIFO can take goes through whole (and then the
    // decoder is asked for more blocks of it).
    EXPECT_EQ(decode(ramp(1780), pcm, kFrameRoom), 0);
    ASSERT_EQ(g_wraps.calls.size(), 2u);
    EXPECT_EQ(vals(g_wraps.calls[1].count, out_.passthrough), vals(890, 0x12345678));
}

TEST_F(PluginTest, RawStreamSkipsFlaggedBuffers) {
    init(ZOR_STREAM_RAW | ZOR_STREAM_STREAMING);
    std::vector<uint8_t> pcm;
    EXPECT_EQ(decode(ramp(512), pcm, kStreamRoom, 77, 1), 0);
    EXPECT_EQ(vals(out_.size, out_.passthrough), vals(0, 0));  // returned before the copy
    EXPECT_TRUE(g_wraps.calls.empty());

    // Without the raw-stream flag the same buffer is decoded.
    AACFinish();
    init(ZOR_STREAM_STREAMING);
    EXPECT_EQ(decode(ramp(512), pcm, kStreamRoom, 77, 1), 0);
    EXPECT_EQ(vals(g_wraps.calls.size(), out_.passthrough), vals(2, 77));
}

TEST_F(PluginTest, DecodedBlocksAreCopiedAndReported) {
    init(ZOR_STREAM_STREAMING);
    fake_blocks();
    MP4AACDEC_QUVA_Obj* obj = inner_obj(st_->instance);
    obj->adts.aac_frame_length = 384;
    KVXD_Status p{};
    p.numChannels = 2;
    p.sampleRateIndex = 3;
    KVXD_control(st_->instance, KVXD_SETPARAMS, &p);
    std::vector<uint8_t> pcm;
    EXPECT_EQ(decode(ramp(256), pcm, kStreamRoom), 4096);
    // One chunk processed, then one call without input that finds nothing.
    ASSERT_EQ(g_wraps.calls.size(), 2u);
    int16_t last;
    std::memcpy(&last, pcm.data() + 2 * 2047, 2);
    EXPECT_EQ(vals(g_wraps.calls[1].count, out_.size, out_.sampleRate, st_->desc.bitRate, st_->desc.channels, last),
              vals(0, 4096, 48000, 144, 2, 1000 + 2047));
}

// Misuse gets an error with nothing taken and nothing lost: the same input
// then decodes to exactly the blocks of a straight run. Nothing is printed.
TEST_F(PluginTest, MisuseIsRefusedWithNothingTaken) {
    const std::vector<uint8_t> clip = read_file(data_path("tests/data/p01_head.aac"));
    const size_t f0 = adts_length(&clip[0]), f1 = adts_length(&clip[f0]);
    const std::vector<uint8_t> one(clip.begin(), clip.begin() + static_cast<long>(f0));
    const std::vector<uint8_t> two(clip.begin(), clip.begin() + static_cast<long>(f0 + f1));
    const std::vector<uint8_t> piece(clip.begin(), clip.begin() + 3000);
    struct Case {
        const char* what;
        uint32_t flags;
        const std::vector<uint8_t>* input;
        bool null_data;
        uint32_t capacity;
    };
    const std::vector<uint8_t> big(1781, 0);
    const Case cases[] = {
        {"null data", ZOR_STREAM_STREAMING, &piece, true, output_room(3000, false)},
        {"stream room short by a byte", ZOR_STREAM_STREAMING, &piece, false, kBlockBytes * stream_blocks(3000) - 1},
        {"stream room below a block", ZOR_STREAM_STREAMING, &piece, false, 4000},
        {"frame room below a block", 0, &one, false, 4095},
        {"frame buffer over the FIFO", 0, &big, false, kFrameRoom},
        {"frame buffer of two frames", 0, &two, false, kFrameRoom},
        // The room for an input near 4 GiB passes 4 GiB: no 32-bit room is
        // enough (it once wrapped to 1.6 MB, and the plug-in read on past the
        // input's 3000 bytes).
        {"stream input near 4 GiB", ZOR_STREAM_STREAMING, &piece, false, 16u << 20},
    };
    testing::internal::CaptureStdout();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AACFinish();
        init(c.flags);
        std::vector<uint8_t> pcm;
        ZorBuffer in{}, out{};
        in.data = c.null_data ? nullptr : const_cast<uint8_t*>(c.input->data());
        in.size = c.capacity == (16u << 20) ? 0xFFFFFF00u : static_cast<uint32_t>(c.input->size());
        pcm.assign(c.capacity, 0);
        out.data = pcm.data();
        out.size = c.capacity;
        EXPECT_EQ(AACDecode(&in, &out), -1);
        EXPECT_TRUE(g_wraps.calls.empty());
        EXPECT_EQ(st_->stagedBytes, 0u);
        if (c.input == &big || c.capacity == (16u << 20)) continue;
        // Retried with the room it needs (frame mode: one frame per call),
        // the input gives what it gives on a fresh plug-in.
        const bool frame = c.flags == 0;
        const std::vector<uint8_t> second(two.begin() + static_cast<long>(f0), two.end());
        const std::vector<std::vector<uint8_t>> parts =
            c.input == &two ? std::vector<std::vector<uint8_t>>{one, second} : std::vector<std::vector<uint8_t>>{*c.input};
        std::vector<uint8_t> runs[2];
        for (auto& run : runs) {
            for (const auto& part : parts) {
                ASSERT_GE(decode(part, pcm, output_room(static_cast<uint32_t>(part.size()), frame)), 0);
                run.insert(run.end(), pcm.begin(), pcm.begin() + out_.size);
            }
            AACFinish();  // one decoder per process: a fresh one for the next run
            init(c.flags);
        }
        EXPECT_GE(runs[0].size(), 4096u * (c.input == &piece ? 4 : parts.size()));
        EXPECT_EQ(runs[0], runs[1]);
        AACFinish();
        g_wraps.reset();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(PluginTest, SecondDecoderIsRefusedAndFinishFreesTheSlot) {
    init(ZOR_STREAM_STREAMING);
    std::vector<uint8_t> pcm;
    decode(ramp(100), pcm, 8192);
    ZorStreamInfo info = stream(48000, 0);
    EXPECT_EQ(AACInit(&info), -1);
    EXPECT_EQ(plugin_state(), st_);  // the first decoder keeps its state
    EXPECT_EQ(st_->stagedBytes, 100u);
    AACFinish();
    init(0, 48000);
    EXPECT_EQ(vals(st_->stagedBytes, st_->status.sampleRateIndex), vals(0, 3));
}

// The exported header flag follows the plug-in's instance: 0 from creation
// until a header has been read, then 1, as the instance's own flag says.
TEST_F(PluginTest, ExportedHeaderFlagFollowsTheInstance) {
    const std::vector<uint8_t> clip = read_file(data_path("tests/data/p01_head.aac"));
    aacdec_raw_write = 1;  // left over from an earlier decoder
    init(ZOR_STREAM_STREAMING);
    MP4AACDEC_QUVA_Obj* obj = inner_obj(st_->instance);
    EXPECT_EQ(vals(aacdec_raw_write, obj->ctx->rawWrite), vals(0, 0));
    std::vector<uint8_t> pcm;
    const std::vector<uint8_t> piece(clip.begin(), clip.begin() + 3000);
    ASSERT_GT(decode(piece, pcm, output_room(3000, false)), 0);
    EXPECT_EQ(vals(aacdec_raw_write, obj->ctx->rawWrite), vals(1, 1));
    // A fresh decoder starts with the flag down again.
    AACFinish();
    init(ZOR_STREAM_STREAMING);
    EXPECT_EQ(vals(aacdec_raw_write, inner_obj(st_->instance)->ctx->rawWrite), vals(0, 0));
}


// Frame mode: two frames in a row whose headers carry the same damage (a
// flipped syncword or layer bit, a channel configuration the decoder does
// not play) are the stream's frames all the same, never another stream's:
// every block comes out as from the undamaged frames.
TEST_F(PluginTest, RepeatedDamagedHeadersStayTheStreams) {
    const auto clean = adts_frames(read_file(data_path("tests/data/p01_head.aac")));
    ASSERT_GE(clean.size(), 8u);
    size_t blocks = 0;
    init(0);
    const std::vector<uint8_t> want = decode_frames(clean, kFrameRoom, 4096, 44100, blocks);
    AACFinish();
    struct Flip {
        const char* what;
        size_t byte;
        uint8_t mask;
    };
    for (const Flip& d : {Flip{"syncword", 1, 0x10}, Flip{"layer", 1, 0x02}, Flip{"three channels", 3, 0x40},
                          Flip{"six channels", 2, 0x01}}) {
        SCOPED_TRACE(d.what);
        auto frames = clean;
        for (const size_t k : {4u, 5u}) frames[k][d.byte] ^= d.mask;
        init(0);
        EXPECT_EQ(decode_frames(frames, kFrameRoom, 4096, 44100, blocks), want);
        EXPECT_EQ(blocks, clean.size());
        AACFinish();
    }
}

// A frame whose last bytes were lost (its buffer shorter than its length)
// decodes in frame mode as in a stream, where the next header follows it:
// one that lost no more than its end element and padding decodes whole.
// (Frame mode read zeros there and concealed it.)
TEST_F(PluginTest, AFrameShortOfItsLastBytesDecodesAsInAStream) {
    const auto clean = adts_frames(read_file(data_path("tests/data/p01_head.aac")));
    for (size_t lost = 1; lost <= 2; ++lost) {
        for (size_t k = 2; k + 2 < clean.size(); ++k) {
            SCOPED_TRACE("frame " + std::to_string(k) + " less " + std::to_string(lost));
            auto frames = clean;
            frames[k].resize(frames[k].size() - lost);
            size_t blocks = 0;
            init(0);
            const std::vector<uint8_t> framed = decode_frames(frames, kFrameRoom, 4096, 44100, blocks);
            AACFinish();
            init(ZOR_STREAM_STREAMING);
            std::vector<uint8_t> streamed, pcm;
            const std::vector<uint8_t> bytes = join(frames);
            for (size_t at = 0; at < bytes.size(); at += 256) {
                const std::vector<uint8_t> piece(bytes.begin() + static_cast<long>(at),
                                                 bytes.begin() + static_cast<long>(std::min(at + 256, bytes.size())));
                const int got = decode(piece, pcm, kStreamRoom);
                ASSERT_GE(got, 0);
                streamed.insert(streamed.end(), pcm.begin(), pcm.begin() + got);
            }
            AACFinish();
            // (Streaming holds back the last frames, waiting for more.)
            ASSERT_GE(framed.size(), streamed.size());
            EXPECT_TRUE(std::equal(streamed.begin(), streamed.end(), framed.begin()));
        }
    }
}

// Concealment off, frames of four blocks, the first block of six of them
// spoiled: streaming in 256-byte pieces loses those frames alone, as frame
// mode does. (A lost block gave nothing and ended the call's decoding, and
// each of the frame's further blocks took a call of its own: the frames
// behind waited while input came, and the FIFO overflowed, 24 blocks lost.)
TEST_F(PluginTest, WithoutConcealmentStreamingLosesOnlyTheSpoiledFrames) {
    const auto single = adts_frames(read_file(data_path("tests/data/p18_ff_24000_s_lowrate.aac")));
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i + 4 <= single.size(); i += 4) {
        std::vector<uint8_t> f(single[i].begin(), single[i].begin() + 7);
        for (size_t k = i; k < i + 4; ++k) f.insert(f.end(), single[k].begin() + 7, single[k].end());
        const size_t n = frames.size();
        if (n == 2 || n == 3 || n == 4 || n == 10 || n == 11 || n == 12) std::fill_n(f.begin() + 7, 4, 0xFF);
        f[3] = static_cast<uint8_t>((f[3] & 0xFC) | f.size() >> 11);
        f[4] = static_cast<uint8_t>(f.size() >> 3);
        f[5] = static_cast<uint8_t>((f[5] & 0x1F) | (f.size() & 7) << 5);
        f[6] = static_cast<uint8_t>((f[6] & 0xFC) | 3);
        frames.push_back(f);
    }
    ASSERT_EQ(frames.size(), 23u);
    init(ZOR_STREAM_NO_CONCEALMENT, 24000);
    size_t blocks = 0;
    std::vector<uint8_t> want;
    for (const auto& f : frames) {
        std::vector<uint8_t> pcm;
        const int got = decode(f, pcm, kFrameRoom);
        ASSERT_GE(got, 0);
        want.insert(want.end(), pcm.begin(), pcm.begin() + got);
    }
    EXPECT_EQ(want.size(), 17u * 4 * kBlockBytes);
    AACFinish();

    init(ZOR_STREAM_STREAMING | ZOR_STREAM_NO_CONCEALMENT, 24000);
    std::vector<uint8_t> all, stream;
    for (const auto& f : frames) stream.insert(stream.end(), f.begin(), f.end());
    for (size_t at = 0; at < stream.size(); at += 256) {
        const std::vector<uint8_t> piece(stream.begin() + static_cast<long>(at),
                                         stream.begin() + static_cast<long>(std::min(at + 256, stream.size())));
        std::vector<uint8_t> pcm;
        const int got = decode(piece, pcm, kStreamRoom);
        ASSERT_GE(got, 0);
        all.insert(all.end(), pcm.begin(), pcm.begin() + got);
    }
    // (The last frame waits for the header after it.)
    ASSERT_LE(all.size(), want.size());
    EXPECT_GE(all.size() + 4 * kBlockBytes, want.size());
    EXPECT_TRUE(std::equal(all.begin(), all.end(), want.begin()));
}

// Streaming, one call with a stereo stream and after it a 5.1 one, which
// the plug-in without the downmix flag refuses: the call gives the stereo
// stream's blocks, the next call is refused (before, the call's blocks were
// lost with the refusal).
TEST_F(PluginTest, BlocksBeforeARefusedLayoutComeOut) {
    const std::vector<uint8_t> stereo = read_file(data_path("tests/data/p01_head.aac"));
    std::vector<uint8_t> both = stereo;
    const std::vector<uint8_t> six = read_file(data_path("tests/data/p48_5.1_38_64.aac"));
    both.insert(both.end(), six.begin(), six.end());
    const size_t blocks = adts_frames(stereo).size();
    init(ZOR_STREAM_STREAMING);
    std::vector<uint8_t> pcm;
    const int got = decode(both, pcm, output_room(static_cast<uint32_t>(both.size()), false));
    EXPECT_EQ(got, static_cast<int>(blocks * kBlockBytes));
    EXPECT_EQ(decode(ramp(600), pcm, kStreamRoom), -1);
}

// An HE-AAC stream (SBR implicit in ADTS, 22050 Hz core) in frame mode:
// without an SBR flag the core alone, 4096-byte blocks at 22050 Hz; with
// ZOR_STREAM_SBR_FULL (in a build with SBR) 8192-byte blocks at 44100 Hz,
// which need twice the room; with ZOR_STREAM_SBR_DOWNSAMPLED 4096-byte
// blocks at 22050 Hz that carry the SBR band below 11025 Hz as well.
TEST_F(PluginTest, SbrFlagsSetTheRateAndTheBlock) {
    const auto frames = adts_frames(read_file(data_path("tests/data/p40_head.aac")));
    ASSERT_GT(frames.size(), 10u);
    std::vector<uint8_t> core;
    for (const uint32_t flags : {0u, static_cast<uint32_t>(ZOR_STREAM_SBR_FULL),
                                 static_cast<uint32_t>(ZOR_STREAM_SBR_DOWNSAMPLED)}) {
        const bool full = AAC_SBR_BUILT && flags == ZOR_STREAM_SBR_FULL;
        init(flags, 22050);
        EXPECT_EQ(st_->desc.sbr, flags == ZOR_STREAM_SBR_FULL ? 1u : flags ? 2u : 0u);
        std::vector<uint8_t> pcm;
        if (full) EXPECT_EQ(decode(frames[0], pcm, kBlockBytes), -1);  // one AAC-LC block of room
        size_t blocks = 0;
        const std::vector<uint8_t> all = decode_frames(frames, static_cast<uint32_t>(output_room(0, true, full)),
                                                       full ? 8192 : 4096, full ? 44100u : 22050u, blocks);
        EXPECT_GE(blocks + 1, frames.size());
        if (!flags) core = all;
        if (flags == ZOR_STREAM_SBR_DOWNSAMPLED) EXPECT_EQ(all == core, !AAC_SBR_BUILT);
        AACFinish();
    }
}

// A 5.1 HE-AAC stream (SBR after each element) with the downmix and SBR
// asked for: the plug-in's fixed memory has no room for each channel's SBR,
// so it plays the core mixed, 4096-byte blocks at the core's 16000 Hz (as
// the sample rate says), noted in the instance's last error, never silence.
TEST_F(PluginTest, HeAacMultichannelPlaysItsCoreMixed) {
    if (!kExactArithmetic) GTEST_SKIP() << "the compact arithmetic refuses more than two channels";
    const auto frames = adts_frames(read_file(data_path("tests/data/p53_5.1_he_0_24.aac")));
    ASSERT_EQ(frames.size(), 24u);
    init(ZOR_STREAM_SBR_FULL | ZOR_STREAM_DOWNMIX, 32000);
    size_t blocks = 0;
    const std::vector<uint8_t> pcm =
        decode_frames(frames, static_cast<uint32_t>(output_room(0, true, true)), 4096, 16000, blocks);
    int peak = 0;
    for (size_t i = 0; i < pcm.size() / 2; ++i)
        peak = std::max(peak, std::abs(static_cast<int>(reinterpret_cast<const int16_t*>(pcm.data())[i])));
    EXPECT_EQ(blocks, frames.size());
    EXPECT_GT(peak, 1000);
    if (AAC_SBR_BUILT) EXPECT_EQ(inner_obj(st_->instance)->lastError, static_cast<uint32_t>(KVXD_NOTE_SBR_CHANNELS));
    AACFinish();
}

}  // namespace
