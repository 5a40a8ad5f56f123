// Channel elements of real streams decoded straight from the FIFO: every
// frame must parse to its END element, and END must leave only the
// alignment bits of the frame. (The ADIF stream's blocks, pulled through
// the get-bits callback, are checked by its stream test in pull mode.)
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bitstream_util.h"
#include "dec/bands.h"
#include "dec/block.h"
#include "dec/headers.h"
#include "dec/syntax.h"
#include "test_util.h"

namespace {

struct BlockResult {
    int16_t error = 0;  // first element error, 0 if none
    int channels = 0;   // channels of the decoded elements
    int elements = 0;
    bool underrun = false;
};

// The element loop of a raw data block, as far as the channel streams go.
BlockResult parse_block(MP4AACDEC_QUVA_Obj* obj) {
    BlockResult r;
    obj->ctx->defaultConfig = 1;
    reset_mc_kvxdec_info(obj, &obj->mcInfo);
    for (uint16_t id = aacdec_getbits(obj, 3); id != ID_END; id = aacdec_getbits(obj, 3)) {
        ++r.elements;
        if (id == ID_SCE || id == ID_CPE || id == ID_LFE) {
            const int16_t e = kvxdec_huffdecode(obj, id, &obj->mcInfo);
            if (e & 0x8000) {
                r.error = e;
                break;
            }
            r.channels += id == ID_CPE ? 2 : 1;
        } else if (id == ID_FIL) {
            kvxdec_getfill(obj, ID_END);
        } else if (id == ID_DSE) {
            aacdec_getbits(obj, 4);
            const bool align = aacdec_getbits(obj, 1);
            int count = aacdec_getbits(obj, 8);
            if (count == 255) count += aacdec_getbits(obj, 8);
            if (align) kvxdec_byte_align(&obj->fifo);
            for (int i = 0; i < count; ++i) aacdec_getbits(obj, 8);
        } else {
            r.error = -100 - id;  // not expected in these streams
            break;
        }
        if (obj->fifo.status == DECFIFO_UNDERRUN) break;
    }
    r.underrun = obj->fifo.status == DECFIFO_UNDERRUN;
    return r;
}

struct StreamCase {
    const char* file;
    int frames;
    int rate_index;
    int channels;
};
// The stream's file name for a test name (not the struct's bytes).
void PrintTo(const StreamCase& sc, std::ostream* os) { *os << sc.file; }

class AdtsStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(AdtsStreams, FramesParseToTheirAlignmentBits) {
    const StreamCase& sc = GetParam();
    const std::vector<uint8_t> s = read_file(data_path(sc.file));
    ASSERT_FALSE(s.empty()) << sc.file;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(true);
    size_t pos = 0;
    int frame = 0;
    int nonzero_frames = 0;
    while (pos + 7 <= s.size()) {
        const int len = static_cast<int>(adts_length(&s[pos]));
        ASSERT_GE(len, 7);
        ASSERT_LE(pos + static_cast<size_t>(len), s.size());
        std::vector<uint8_t> bytes(s.begin() + static_cast<long>(pos), s.begin() + static_cast<long>(pos) + len);
        bytes.resize(bytes.size() + 2, 0);  // the zero word a frame-mode call appends
        aacdecode_flushFifo(obj);
        feed(obj, bytes);
        const size_t words = (bytes.size() + 1) / 2;

        obj->ctx->bno = frame;
        kvxdec_ADTS_fixed_header(obj);
        kvxdec_ADTS_variable_header(obj);
        kvxdec_ADTS_error_check(obj, false, 0);
        ASSERT_EQ(obj->adts.sampling_frequency_index, sc.rate_index);
        if (frame == 0) kvxdec_infoinit(obj, &samp_rate_kvxdec_info[sc.rate_index]);

        const BlockResult r = parse_block(obj);
        // No error, no underrun, all channels, then only the alignment bits.
        const int slack = len * 8 - bits_consumed(obj, words);
        ASSERT_TRUE(r.error == 0 && !r.underrun && r.channels == sc.channels && slack >= 0 && slack <= 7)
            << sc.file << " frame " << frame << ": error " << r.error << " underrun " << r.underrun << " channels "
            << r.channels << " slack " << slack;

        nonzero_frames += std::any_of(obj->coef[0], obj->coef[0] + 1024, [](int32_t v) { return v != 0; });
        pos += static_cast<size_t>(len);
        ++frame;
    }
    EXPECT_EQ(pos, s.size());
    EXPECT_EQ(frame, sc.frames);
    EXPECT_GT(nonzero_frames, frame / 20) << "spectra decoded";
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, AdtsStreams,
    ::testing::Values(
        StreamCase{"samples/tones_clicks_12k_mono.aac", 60, 9, 1}, StreamCase{"tests/data/p01_head.aac", 24, 4, 2},
        StreamCase{"tests/data/p04_head.aac", 24, 3, 1}, StreamCase{"tests/data/p06_vo_11025_s_music.aac", 53, 10, 2},
        StreamCase{"tests/data/p09_crc_head.aac", 8, 7, 2}, StreamCase{"tests/data/p14_head.aac", 24, 0, 2},
        StreamCase{"tests/data/p15_ff_96000_m_clicks_sweep.aac", 283, 0, 1},
        StreamCase{"tests/data/p18_ff_24000_s_lowrate.aac", 95, 6, 2},
        StreamCase{"tests/data/p19_vo_8000_s_music.aac", 31, 11, 2},
        StreamCase{"tests/data/p20_ff_64000_m_clicks.aac", 189, 2, 1}),
    [](const ::testing::TestParamInfo<StreamCase>& info) {
        const std::string n = info.param.file;
        return n.substr(n.rfind('/') + 1, n.find('.') - n.rfind('/') - 1);
    });

// Damaged and random frames: whatever the bits say, every access stays in
// bounds (the sanitizer build checks) and parsing ends.
TEST(DamagedStreams, ParsingNeverLeavesItsBuffers) {
    const std::vector<uint8_t> s = read_file(data_path("tests/data/p01_head.aac"));
    std::mt19937 rng(1234);
    MP4AACDEC_QUVA_Obj* obj = make_decoder(true);
    kvxdec_infoinit(obj, &samp_rate_kvxdec_info[4]);
    int failed = 0;
    for (int iter = 0; iter < 3000; ++iter) {
        std::vector<uint8_t> bytes(600);
        if (iter % 3 == 0) {
            for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        } else {
            const size_t start = 7 + rng() % (s.size() - 700);
            std::copy(s.begin() + static_cast<long>(start), s.begin() + static_cast<long>(start) + 600, bytes.begin());
            for (int f = 0; f < 1 + iter % 5; ++f) bytes[rng() % 600] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        aacdecode_flushFifo(obj);
        feed(obj, bytes);
        const BlockResult r = parse_block(obj);
        failed += r.error != 0 || r.underrun;
    }
    EXPECT_GT(failed, 1000);
}

}  // namespace
