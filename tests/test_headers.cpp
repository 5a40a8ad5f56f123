// Synchronisation and the ADTS and ADIF headers, on real and hand-made bytes.
#include <gtest/gtest.h>

#include "bitstream_util.h"
#include "dec/bands.h"
#include "dec/headers.h"
#include "test_util.h"

namespace {

class Headers : public ::testing::Test {
protected:
    void SetUp() override {
        obj = make_decoder(false);
        fed = 0;
        obj->ctx->currentProgram = -1;
        obj->ctx->defaultConfig = 1;
    }
    void give(const std::vector<uint8_t>& b) {
        feed(obj, b);
        fed += (b.size() + 1) / 2;
    }
    int used() const { return bits_consumed(obj, fed); }
    MP4AACDEC_QUVA_Obj* obj = nullptr;
    size_t fed = 0;
};

std::vector<uint8_t> with_zeros(std::vector<uint8_t> b, size_t total) {
    b.resize(total, 0);
    return b;
}

std::vector<uint8_t> adts_header(int profile, int frame_length, int layer = 0, int rate_index = 4) {
    BitWriter w;
    w.put(0xFFF, 12).put(0, 1).put(static_cast<uint32_t>(layer), 2).put(1, 1).put(static_cast<uint32_t>(profile), 2);
    w.put(static_cast<uint32_t>(rate_index), 4);
    w.put(0, 1).put(2, 3).put(0, 1).put(0, 1).put(0, 1).put(0, 1);
    w.put(static_cast<uint32_t>(frame_length), 13).put(0x7FF, 11).put(0, 2);
    return w.data();
}

// A frame of `length` bytes: header, then 0x11 bytes.
std::vector<uint8_t> frame_of(int length, int layer = 0) {
    std::vector<uint8_t> f = adts_header(1, length, layer);
    f.resize(static_cast<size_t>(length), 0x11);
    return f;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The search takes an ADTS header only with the next frame's header where
// its length says (or, in frame mode, the input's end there); it looks at
// whole bytes, so junk costs bytes, never the byte grid.
TEST_F(Headers, SynchronisationTakesOnlyCheckedHeaders) {
    // A valid header whose length leads into junk.
    const std::vector<uint8_t> lone = cat({{0x00}, adts_header(1, 20)});
    struct Case {
        const char* what;
        bool frame_mode;
        std::vector<uint8_t> bytes;
        int found;
        uint32_t state;
        int used_bits;
    } cases[] = {
        {"ADIF identifier", false, with_zeros({'A', 'D', 'I', 'F', 0x80}, 300), 1, STATE_ADIF, 32},
        {"ADIF after a broken match", false, with_zeros({'A', 'A', 'D', 'I', 'F'}, 300), 1, STATE_ADIF, 40},
        {"frame behind junk with a lone syncword", false,
         cat({lone, {0xFF, 0xE0, 0xFF}, frame_of(100), frame_of(100), with_zeros({}, 40)}), 1, STATE_FRAMES, 11 * 8},
        {"header not followed by a header", false, with_zeros(frame_of(100), 300), 0, STATE_SEARCH, -1},
        {"layer other than 0", false, cat({frame_of(100, 1), frame_of(100, 1), with_zeros({}, 200)}), 0,
         STATE_SEARCH, -1},
        {"next header not yet held", false, frame_of(200), 0, STATE_SEARCH, 0},
        {"frame mode: the input ends with the frame", true, frame_of(11), 1, STATE_FRAMES, 0},
        {"frame mode: junk after the frame", true, with_zeros(frame_of(11), 20), 0, STATE_SEARCH, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        obj = make_decoder(c.frame_mode);
        fed = 0;
        std::vector<uint8_t> b = c.bytes;
        if (c.frame_mode) b.resize(b.size() + (b.size() % 2) + 2, 0);  // the appended zero word
        give(b);
        EXPECT_EQ(kvxdec_Synchronize(obj), c.found);
        EXPECT_EQ(obj->state, c.state);
        if (c.used_bits >= 0) EXPECT_EQ(used(), c.used_bits);
    }
    // Waiting for the next header: the reader stays at the candidate and the
    // loop is told how much it needs.
    EXPECT_EQ(obj->bitsNeeded, 72u);
    obj = make_decoder(false);
    fed = 0;
    give(frame_of(200));
    kvxdec_Synchronize(obj);
    EXPECT_EQ(obj->bitsNeeded, (200u + 7u) * 8u);
    give(with_zeros(adts_header(1, 200), 20));
    EXPECT_EQ(kvxdec_Synchronize(obj), 1);
    EXPECT_EQ(used(), 0);
}

TEST_F(Headers, SearchBudgetFollowsTheStoredFrameLength) {
    obj->adts.aac_frame_length = 1000;
    give(std::vector<uint8_t>(1700, 0));
    EXPECT_EQ(kvxdec_Synchronize(obj), 0);
    EXPECT_EQ(used(), 1001 * 8);
}

// Real ADTS headers: without CRC seven bytes, with it nine; every frame's
// fields as its bytes give them, the second frame's too.
TEST_F(Headers, RealAdtsFrameHeaders) {
    const struct {
        const char* file;
        int used, protection_absent, rate_index, channels;
    } cases[] = {{"samples/tones_clicks_12k_mono.aac", 56, 1, 9, 1}, {"tests/data/p09_crc_head.aac", 72, 0, 7, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        SetUp();
        const std::vector<uint8_t> s = read_file(data_path(c.file));
        ASSERT_GT(s.size(), 1000u);
        const int len = static_cast<int>(adts_length(&s[0]));
        give(std::vector<uint8_t>(s.begin(), s.begin() + 1000));
        ASSERT_EQ(kvxdec_Synchronize(obj), 1);
        kvxdec_ADTS_fixed_header(obj);
        kvxdec_ADTS_variable_header(obj);
        kvxdec_ADTS_error_check(obj, false, 0);
        const AdtsHeader& h = obj->adts;
        EXPECT_EQ(vals(used(), h.protection_absent, h.profile, h.sampling_frequency_index, h.channel_configuration,
                       h.aac_frame_length, h.adts_buffer_fullness, h.number_of_raw_data_blocks_in_frame,
                       obj->lastError),
                  vals(c.used, c.protection_absent, 1, c.rate_index, c.channels, len, 0x7FF, 0, 0));
        // The second frame's header.
        obj->fifo.read_ptr = obj->fifoBuffer;
        obj->fifo.bits_left = 0;
        kvxdec_decfifoAdjust(&obj->fifo, static_cast<int16_t>(len));
        kvxdec_ADTS_fixed_header(obj);
        kvxdec_ADTS_variable_header(obj);
        EXPECT_EQ(vals(h.sampling_frequency_index, h.aac_frame_length), vals(c.rate_index, adts_length(&s[size_t(len)])));
    }
}

// A length the frame cannot have becomes the shortest its header allows.
TEST_F(Headers, ImpossibleFrameLengthIsReplacedAndProfilesAreNoted) {
    // (A length longer than the FIFO takes stands: the frame loop waits for
    // no more than the FIFO holds.)
    struct Case {
        int profile, length, stored;
        uint32_t note;
    } cases[] = {{1, 1536, 1536, 0}, {1, 1537, 1537, 0}, {0, 8191, 8191, KVXD_NOTE_PROFILE_MAIN},
                 {2, 100, 100, KVXD_NOTE_PROFILE_SSR}, {3, 7, 11, 0}};
    for (const Case& c : cases) {
        SetUp();
        give(adts_header(c.profile, c.length));
        kvxdec_ADTS_fixed_header(obj);
        kvxdec_ADTS_variable_header(obj);
        kvxdec_ADTS_error_check(obj, false, 0);
        EXPECT_EQ(vals(obj->adts.aac_frame_length, obj->lastError, used()), vals(c.stored, c.note, 56))
            << c.profile << " " << c.length;
    }
}

TEST_F(Headers, RealAdifHeaderWithItsProgram) {
    std::vector<uint8_t> s = read_file(data_path("tests/data/p05_ff_8000_m_speech.vbr.adif"));
    give(std::vector<uint8_t>(s.begin(), s.begin() + 1200));
    ASSERT_EQ(kvxdec_Synchronize(obj), 1);
    ASSERT_EQ(obj->state, STATE_ADIF);
    EXPECT_EQ(aacDecodeADIFHeader(obj), 1);
    EXPECT_GT(obj->adif.bitrate, 8000u);
    const ProgConfig& pc = obj->progConfig;
    // Bands rebuilt for 8000 Hz; the program ends byte-aligned.
    EXPECT_EQ(vals(obj->adif.copyright_id_present, obj->adif.bitstream_type, obj->adif.num_program_config_elements,
                   pc.profile, pc.sampling_rate_idx, pc.front.num_elements, pc.front.is_cpe[0], pc.comments[0],
                   obj->ctx->currentProgram, obj->ctx->defaultConfig, obj->mcInfo.num_channels,
                   obj->mcInfo.sampling_rate_idx, obj->ctx->longBands.num_swb[0], used() % 8),
              vals(0, 1, 1, 1, 11, 1, 0, 0, 0, 0, 1, 11, 40, 0));
}

// A program config element with one front element.
void put_pce(BitWriter& w, int tag, int is_cpe) {
    w.put(static_cast<uint32_t>(tag), 4).put(1, 2).put(4, 4);
    w.put(1, 4).put(0, 4).put(0, 4).put(0, 2).put(0, 3).put(0, 4);
    w.put(0, 1).put(0, 1).put(0, 1);
    w.put(static_cast<uint32_t>(is_cpe), 1).put(static_cast<uint32_t>(tag), 4);
    w.align().put(0, 8);
}

TEST_F(Headers, AdifWithCopyrightAndTwoPrograms) {
    BitWriter w;
    w.put(1, 1).bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}).put(0, 1).put(0, 1).put(0, 1).put(12345, 23).put(1, 4);
    w.put(3072, 20);
    put_pce(w, 2, 1);
    w.put(3072, 20);
    put_pce(w, 5, 0);
    give(with_zeros(w.data(), w.data().size() + 8));
    // The selected program is the first: the exact arithmetic plays it, the
    // compact one only a header whose last program it is.
    EXPECT_EQ(aacDecodeADIFHeader(obj), kExactArithmetic ? 1 : 0);
    // The first program's pair stays mapped, and its record stays.
    EXPECT_EQ(vals(obj->adif.copyright_id_present, obj->adif.bitrate, obj->adif.num_program_config_elements,
                   obj->ctx->currentProgram, obj->mcInfo.num_channels, obj->progConfig.front.tag_select[0]),
              vals(1, 12345, 2, 2, 2, 2));
}

}  // namespace
