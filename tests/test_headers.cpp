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
        kvxdec_current_program = -1;
        kvxdec_default_config = 1;
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

TEST_F(Headers, AdifIdentifierSynchronises) {
    give(with_zeros({'A', 'D', 'I', 'F', 0x80}, 300));
    EXPECT_EQ(kvxdec_Synchronize(obj), 1);
    EXPECT_EQ(obj->state, STATE_ADIF);
    EXPECT_EQ(used(), 32);
    EXPECT_EQ(aacdec_getbits(obj, 1), 1);  // the header parse starts with the next bit
}

TEST_F(Headers, AdtsSyncwordAndFixedHeader) {
    kvxdec_bno = 5;
    give(with_zeros({0x00, 0xFF, 0xF1, 0x50, 0x80}, 300));
    EXPECT_EQ(kvxdec_Synchronize(obj), 1);
    EXPECT_EQ(obj->state, STATE_FRAMES);
    EXPECT_EQ(kvxdec_bno, 0u);
    EXPECT_EQ(used(), 8 + 12);
    kvxdec_ADTS_fixed_header(obj);  // the syncword is not read again
    EXPECT_EQ(obj->adts.id, 0);
    EXPECT_EQ(obj->adts.layer, 0);
    EXPECT_EQ(obj->adts.protection_absent, 1);
    EXPECT_EQ(obj->adts.profile, 1);
    EXPECT_EQ(obj->adts.sampling_frequency_index, 4);
    EXPECT_EQ(obj->adts.channel_configuration, 2);
    // Synchronised already: only the realignment happens.
    EXPECT_EQ(kvxdec_Synchronize(obj), 1);
}

TEST_F(Headers, BrokenAdifMatchIsNotRetried) {
    give(with_zeros({'A', 'A', 'D', 'I', 'F'}, 400));
    EXPECT_EQ(kvxdec_Synchronize(obj), 0);
    EXPECT_EQ(obj->state, STATE_SEARCH);
    EXPECT_EQ(used(), 257 * 8);  // a fresh decoder examines at most 257 bytes
}

TEST_F(Headers, FalseCandidateShiftsTheSearchOffTheByteGrid) {
    // After 0xFF 0xE.. the search reads 0x0F, then 0xFF, then the nibble 0x1.
    give(with_zeros({0xFF, 0xE0, 0xFF, 0xF1}, 400));
    EXPECT_EQ(kvxdec_Synchronize(obj), 0);
    // Shifted by a nibble the same bytes synchronise at once.
    SetUp();
    fed = 0;
    give(with_zeros({0xFF, 0xF1}, 400));
    EXPECT_EQ(kvxdec_Synchronize(obj), 1);
}

TEST_F(Headers, SearchEndsWithTheDataHeld) {
    // 200 bytes without a syncword, the last one 0xFF: all but the 0xFF are
    // examined and consumed; nothing past the data is read.
    std::vector<uint8_t> junk(200, 0x11);
    junk.back() = 0xFF;
    give(junk);
    EXPECT_EQ(kvxdec_Synchronize(obj), 0);
    EXPECT_EQ(obj->fifo.status, DECFIFO_OK);
    EXPECT_EQ(kvxdec_decfifoGetBitCount(&obj->fifo), 8);
    // The syncword completed by the next bytes is found.
    give({0xF1, 0x50, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(kvxdec_Synchronize(obj), 1);
    EXPECT_EQ(obj->state, STATE_FRAMES);
}

TEST_F(Headers, SearchBudgetFollowsTheStoredFrameLength) {
    obj->adts.aac_frame_length = 1000;
    give(std::vector<uint8_t>(1700, 0));
    EXPECT_EQ(kvxdec_Synchronize(obj), 0);
    EXPECT_EQ(used(), 1001 * 8);
}

TEST_F(Headers, RealignmentInsertsZeroBitsBeforeTheCachedRest) {
    give(with_zeros({0x5F, 0xFF, 0xF1, 0x40}, 300));
    aacdec_getbits(obj, 4);  // 12 bits 0xFFF stay cached
    // The cache becomes 0x0FFF with 16 valid bits: bytes 0x0F, 0xFF, then the
    // nibble 0xF of 0xF1. Read off the byte grid instead, the syncword would
    // end one nibble earlier and the header would start with 1111.
    EXPECT_EQ(kvxdec_Synchronize(obj), 1);
    kvxdec_ADTS_fixed_header(obj);
    EXPECT_EQ(obj->adts.id, 0);
    EXPECT_EQ(obj->adts.layer, 0);
    EXPECT_EQ(obj->adts.protection_absent, 1);
    EXPECT_EQ(obj->adts.profile, 1);
}

TEST_F(Headers, RealAdtsFrameHeader) {
    std::vector<uint8_t> s = read_file(data_path("samples/tones_clicks_12k_mono.aac"));
    ASSERT_GT(s.size(), 1000u);
    const int len = ((s[3] & 3) << 11) | (s[4] << 3) | (s[5] >> 5);
    give(std::vector<uint8_t>(s.begin(), s.begin() + 1000));
    ASSERT_EQ(kvxdec_Synchronize(obj), 1);
    kvxdec_ADTS_fixed_header(obj);
    kvxdec_ADTS_variable_header(obj);
    kvxdec_ADTS_error_check(obj);
    EXPECT_EQ(used(), 56);
    const AdtsHeader& h = obj->adts;
    EXPECT_EQ(h.protection_absent, 1);
    EXPECT_EQ(h.profile, 1);
    EXPECT_EQ(h.sampling_frequency_index, 9);  // 12000 Hz
    EXPECT_EQ(h.channel_configuration, 1);
    EXPECT_EQ(h.aac_frame_length, len);
    EXPECT_EQ(h.adts_buffer_fullness, 0x7FF);
    EXPECT_EQ(h.number_of_raw_data_blocks_in_frame, 0);
    EXPECT_EQ(obj->lastError, 0u);

    // The second frame's header is read with its own syncword.
    obj->fifo.read_ptr = obj->fifoBuffer;
    obj->fifo.bits_left = 0;
    kvxdec_decfifoAdjust(&obj->fifo, static_cast<int16_t>(len));
    kvxdec_bno = 1;
    kvxdec_ADTS_fixed_header(obj);
    kvxdec_ADTS_variable_header(obj);
    EXPECT_EQ(obj->adts.sampling_frequency_index, 9);
    EXPECT_EQ(obj->adts.aac_frame_length, ((s[len + 3] & 3) << 11) | (s[len + 4] << 3) | (s[len + 5] >> 5));
}

TEST_F(Headers, CrcHeaderTakesNineBytes) {
    std::vector<uint8_t> s = read_file(data_path("tests/data/p09_crc_head.aac"));
    give(std::vector<uint8_t>(s.begin(), s.begin() + 600));
    ASSERT_EQ(kvxdec_Synchronize(obj), 1);
    kvxdec_ADTS_fixed_header(obj);
    kvxdec_ADTS_variable_header(obj);
    kvxdec_ADTS_error_check(obj);
    EXPECT_EQ(used(), 72);
    EXPECT_EQ(obj->adts.protection_absent, 0);
    EXPECT_EQ(obj->adts.sampling_frequency_index, 7);
    EXPECT_EQ(obj->adts.channel_configuration, 2);
}

std::vector<uint8_t> adts_header(int profile, int frame_length) {
    BitWriter w;
    w.put(0xFFF, 12).put(0, 1).put(0, 2).put(1, 1).put(static_cast<uint32_t>(profile), 2).put(4, 4);
    w.put(0, 1).put(2, 3).put(0, 1).put(0, 1).put(0, 1).put(0, 1);
    w.put(static_cast<uint32_t>(frame_length), 13).put(0x7FF, 11).put(0, 2);
    return w.data();
}

TEST_F(Headers, OversizeFrameLengthIsReplacedAndProfilesAreNoted) {
    struct Case {
        int profile, length, stored;
        uint32_t note;
    } cases[] = {{1, 1536, 1536, 0}, {1, 1537, 16, 0}, {0, 8191, 16, KVXD_NOTE_PROFILE_MAIN},
                 {2, 100, 100, KVXD_NOTE_PROFILE_SSR}, {3, 7, 7, 0}};
    for (const Case& c : cases) {
        SetUp();
        fed = 0;
        give(adts_header(c.profile, c.length));
        kvxdec_bno = 1;  // a later frame: the syncword is read and ignored
        kvxdec_ADTS_fixed_header(obj);
        kvxdec_ADTS_variable_header(obj);
        kvxdec_ADTS_error_check(obj);
        EXPECT_EQ(obj->adts.aac_frame_length, c.stored) << c.length;
        EXPECT_EQ(obj->lastError, c.note) << c.profile;
        EXPECT_EQ(used(), 56);
    }
}

TEST_F(Headers, RealAdifHeaderWithItsProgram) {
    std::vector<uint8_t> s = read_file(data_path("tests/data/p05_ff_8000_m_speech.vbr.adif"));
    give(std::vector<uint8_t>(s.begin(), s.begin() + 1200));
    ASSERT_EQ(kvxdec_Synchronize(obj), 1);
    ASSERT_EQ(obj->state, STATE_ADIF);
    EXPECT_EQ(aacDecodeADIFHeader(obj), 1);
    EXPECT_EQ(obj->adif.copyright_id_present, 0);
    EXPECT_EQ(obj->adif.bitstream_type, 1);
    EXPECT_EQ(obj->adif.num_program_config_elements, 1);
    EXPECT_GT(obj->adif.bitrate, 8000u);
    const ProgConfig& pc = obj->progConfig;
    EXPECT_EQ(pc.profile, 1);
    EXPECT_EQ(pc.sampling_rate_idx, 11);
    EXPECT_EQ(pc.front.num_elements, 1);
    EXPECT_EQ(pc.front.is_cpe[0], 0);
    EXPECT_EQ(pc.comments[0], 0);
    EXPECT_EQ(kvxdec_current_program, 0);
    EXPECT_EQ(kvxdec_default_config, 0u);
    EXPECT_EQ(obj->mcInfo.num_channels, 1);
    EXPECT_EQ(obj->mcInfo.sampling_rate_idx, 11);
    EXPECT_EQ(only_long_kvxdec_info.num_swb[0], 40);  // bands rebuilt for 8000 Hz
    EXPECT_EQ(used() % 8, 0);  // the program ends byte-aligned
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
    EXPECT_EQ(aacDecodeADIFHeader(obj), 0);  // the selected program was not the last
    EXPECT_EQ(obj->adif.copyright_id_present, 1);
    EXPECT_EQ(obj->adif.bitrate, 12345u);
    EXPECT_EQ(obj->adif.num_program_config_elements, 2);
    EXPECT_EQ(kvxdec_current_program, 2);
    EXPECT_EQ(obj->mcInfo.num_channels, 2);  // the first program's pair stays mapped
    EXPECT_EQ(obj->progConfig.front.tag_select[0], 5);
}

}  // namespace
