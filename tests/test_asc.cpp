// AudioSpecificConfig parser: configs taken from real files (ffmpeg's
// encoder, the HE-AAC files of the corpus), hand-built ones for the rarer
// fields, every truncation, and random bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bitstream_util.h"
#include "dec/asc.h"
#include "tables/band_tables.h"
#include "test_util.h"

namespace {

// Parses a copy of the bytes in a buffer of exactly their size, so that the
// sanitizer build catches a read past the end.
int parse(const std::vector<uint8_t>& bytes, AscInfo& info, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(copy.get(), bytes.data(), size);
    return asc_parse(copy.get(), size, &info);
}

int parse(const std::vector<uint8_t>& bytes, AscInfo& info) { return parse(bytes, info, bytes.size()); }

std::vector<uint8_t> with_comment(std::vector<uint8_t> head, const std::string& comment,
                                  const std::vector<uint8_t>& tail) {
    head.insert(head.end(), comment.begin(), comment.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// ffmpeg's encoder writes its name as the comment of a program config
// element, and after the GASpecificConfig the extension that says "no SBR".
const std::string kLavc = "Lavc59.37.100";
const std::vector<uint8_t> kNoSbr = {0x56, 0xe5, 0x00};

// ffmpeg -ac 6 -aac_pce 1 (.m4a, 48 kHz).
const std::vector<uint8_t> kPce51 =
    with_comment({0x11, 0x80, 0x04, 0xc8, 0x44, 0x00, 0x20, 0x00, 0xc4, 0x0d}, kLavc, kNoSbr);
// ffmpeg, layout 3.0 with -aac_pce 1.
const std::vector<uint8_t> kPce30 = with_comment({0x11, 0x80, 0x04, 0xc8, 0x00, 0x00, 0x20, 0x00, 0x0d}, kLavc, kNoSbr);
// ffmpeg, layout quad (a PCE of its own accord).
const std::vector<uint8_t> kPceQuad = with_comment({0x11, 0x80, 0x04, 0xc4, 0x04, 0x00, 0x21, 0x10, 0x0d}, kLavc, kNoSbr);
// ffmpeg, layout 2.1.
const std::vector<uint8_t> kPce21 = with_comment({0x11, 0x80, 0x04, 0xc4, 0x01, 0x00, 0x20, 0x00, 0x0d}, kLavc, kNoSbr);
// ffmpeg, layout 7.1 with -aac_pce 1.
const std::vector<uint8_t> kPce71 =
    with_comment({0x11, 0x80, 0x04, 0xc8, 0x48, 0x00, 0x20, 0x00, 0xc6, 0x40, 0x0d}, kLavc, kNoSbr);

// Corpus p44: SBR signalled explicitly (object type 5), core 16 kHz, 32 kHz out.
const std::vector<uint8_t> kExplicitSbr = {0x2c, 0x12, 0x88, 0x00};
// Corpus p46: object type 5 at one rate (downsampled SBR), 24 kHz.
const std::vector<uint8_t> kDownsampledSbr = {0x2b, 0x13, 0x08, 0x00};
// Corpus p45: LC mono at 22.05 kHz, then the extension with SBR to 44.1 kHz and PS.
const std::vector<uint8_t> kBackcompatPs = {0x13, 0x88, 0x56, 0xe5, 0xa5, 0x48, 0x80};
// The same stream signalled with object type 29: with this config in place
// of p45's, ffmpeg decodes the file to the same PCM (HE-AAC v2, stereo at
// 44.1 kHz).
const std::vector<uint8_t> kExplicitPs = {0xeb, 0x8a, 0x08, 0x00, 0x00, 0x00, 0x00};

TEST(Asc, LcStereoAndFfmpegConfigurations) {
    AscInfo a;
    ASSERT_EQ(parse({0x12, 0x10}, a), ASC_OK);
    EXPECT_EQ(vals(a.audio_object_type, a.signalled_object_type, a.sampling_frequency_index, a.sampling_rate,
                   a.channel_configuration, a.channels, a.front_channels,
                   a.side_channels + a.back_channels + a.lfe_channels, a.ga_present, a.frame_length_flag,
                   a.depends_on_core_coder, a.extension_flag, a.pce_present, a.ep_config, a.sbr_present,
                   a.ps_present, a.extension_object_type, a.ext_sampling_rate, a.bits),
              vals(2, 2, 4, 44100, 2, 2, 2, 0, 1, 0, 0, 0, 0, -1, -1, -1, 0, 0, 16));
    // ffmpeg at 48 kHz: stereo, 5.1 as configuration 6, 7.1 as configuration
    // 7, each with the extension that says "no SBR".
    const struct {
        std::vector<uint8_t> bytes;
        int channels, front, back, lfe;
    } cases[] = {{{0x11, 0x90, 0x56, 0xe5, 0x00}, 2, 2, 0, 0},
                 {{0x11, 0xb0, 0x56, 0xe5, 0x00}, 6, 3, 2, 1},
                 {{0x11, 0xb8, 0x56, 0xe5, 0x00}, 8, 5, 2, 1}};
    for (const auto& c : cases) {
        ASSERT_EQ(parse(c.bytes, a), ASC_OK) << c.channels;
        EXPECT_EQ(vals(a.sampling_rate, a.channels, a.front_channels, a.back_channels, a.lfe_channels,
                       a.extension_object_type, a.sbr_present, a.ps_present, a.ext_sampling_frequency_index),
                  vals(48000, c.channels, c.front, c.back, c.lfe, 5, 0, 0, -1));
    }
}

TEST(Asc, SbrAndPsSignalling) {
    // Backward-compatible (an LC config, then the extension), explicit
    // (object type 5 or 29 first) and downsampled (object type 5 at one rate).
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        int32_t signalled, channels, ext_index, sbr, ps;
        uint32_t rate, ext_rate;
        size_t bits;
    } cases[] = {
        // -1 for PS: too few bits left for its sync word.
        {"back-compatible SBR", {0x13, 0x10, 0x56, 0xe5, 0x98}, 2, 2, 3, 1, -1, 24000, 48000, 37},
        {"back-compatible PS (p45)", kBackcompatPs, 2, 1, 4, 1, 1, 22050, 44100, 49},
        {"explicit SBR (p44)", kExplicitSbr, 5, 2, 5, 1, -1, 16000, 32000, 25},
        {"downsampled SBR (p46)", kDownsampledSbr, 5, 2, 6, 1, -1, 24000, 24000, 25},
        // With explicit signalling the trailing bits are not an extension.
        {"explicit PS", kExplicitPs, 29, 1, 4, 1, 1, 22050, 44100, 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AscInfo a;
        ASSERT_EQ(parse(c.bytes, a), ASC_OK);
        // The core is AAC-LC.
        EXPECT_EQ(vals(a.audio_object_type, a.signalled_object_type, a.sampling_rate, a.channels,
                       a.extension_object_type, a.sbr_present, a.ps_present, a.ext_sampling_frequency_index,
                       a.ext_sampling_rate, a.ga_present, a.bits),
                  vals(2, c.signalled, c.rate, c.channels, 5, c.sbr, c.ps, c.ext_index, c.ext_rate, 1, c.bits));
    }
}

TEST(Asc, ProgramConfigLayouts) {
    AscInfo a;
    ASSERT_EQ(parse(kPce51, a), ASC_OK);
    const AscPce& p = a.pce;
    EXPECT_EQ(vals(a.audio_object_type, a.sampling_rate, a.channel_configuration, a.pce_present,
                   p.element_instance_tag, p.object_type, p.sampling_frequency_index, p.num_front, p.num_side,
                   p.num_back, p.num_lfe, p.num_assoc_data, p.num_cc,
                   p.mono_mixdown_present + p.stereo_mixdown_present + p.matrix_mixdown_idx_present, p.comment_bytes),
              vals(2, 48000, 0, 1, 0, 1, 3, 2, 1, 1, 0, 0, 0, 0, kLavc.size()));
    EXPECT_EQ(vals(p.front[0].is_cpe, p.front[0].tag, p.front[1].is_cpe, p.front[1].tag, p.side[0].is_cpe,
                   p.side[0].tag, p.back[0].is_cpe, p.back[0].tag),
              vals(1, 0, 0, 0, 0, 1, 1, 1));
    EXPECT_EQ(a.bits, kPce51.size() * 8 - 7);  // the extension's last 7 bits are padding
    // ffmpeg's program config elements: channels counted by position, a pair
    // as two (ffprobe reports 6 channels for the 5.1 file); the extension
    // behind the PCE is found.
    const struct {
        const char* what;
        const std::vector<uint8_t>& bytes;
        int32_t channels, front, side, back, lfe;
    } cases[] = {
        {"5.1", kPce51, 6, 3, 1, 2, 0}, {"3.0", kPce30, 3, 3, 0, 0, 0}, {"quad", kPceQuad, 4, 2, 0, 2, 0},
        {"2.1", kPce21, 3, 2, 0, 0, 1}, {"7.1", kPce71, 8, 3, 1, 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(parse(c.bytes, a), ASC_OK);
        EXPECT_EQ(vals(a.pce_present, a.channels, a.front_channels, a.side_channels, a.back_channels,
                       a.lfe_channels, a.sbr_present),
                  vals(1, c.channels, c.front, c.side, c.back, c.lfe, 0));
    }
}

// Builds LC configs field by field.
struct Builder {
    BitWriter w;
    Builder& header(uint32_t type, uint32_t index, uint32_t config, uint32_t explicit_rate = 0) {
        if (type >= 32) w.put(31, 5).put(type - 32, 6);
        else w.put(type, 5);
        w.put(index, 4);
        if (index == 15) w.put(explicit_rate, 24);
        w.put(config, 4);
        return *this;
    }
    Builder& ga(uint32_t frame_length = 0, int delay = -1, uint32_t extension = 0) {
        w.put(frame_length, 1).put(delay >= 0, 1);
        if (delay >= 0) w.put(static_cast<uint32_t>(delay), 14);
        w.put(extension, 1);
        return *this;
    }
};

// A config of the given header and a GASpecificConfig of no options.
std::vector<uint8_t> plain_config(uint32_t type, uint32_t index, uint32_t config, uint32_t explicit_rate = 0) {
    return Builder().header(type, index, config, explicit_rate).ga().w.data();
}

TEST(Asc, ProgramConfigAllFields) {
    // Explicit rate first, so that the PCE's byte alignment counts from the
    // start of the config and not from a byte of the PCE.
    Builder b;
    b.header(2, 15, 0, 32000).ga();
    BitWriter& w = b.w;
    w.put(5, 4).put(1, 2).put(5, 4);                 // tag, object type, rate index
    w.put(2, 4).put(1, 4).put(1, 4).put(1, 2);       // front, side, back, lfe
    w.put(2, 3).put(1, 4);                           // assoc data, coupling
    w.put(1, 1).put(3, 4);                           // mono mixdown element 3
    w.put(1, 1).put(4, 4);                           // stereo mixdown element 4
    w.put(1, 1).put(1, 2).put(1, 1);                 // matrix mixdown idx 1, pseudo surround
    w.put(0, 1).put(0, 4).put(1, 1).put(0, 4);       // front: SCE 0, CPE 0
    w.put(1, 1).put(2, 4);                           // side: CPE 2
    w.put(1, 1).put(1, 4);                           // back: CPE 1
    w.put(7, 4);                                     // lfe: 7
    w.put(9, 4).put(10, 4);                          // assoc data: 9, 10
    w.put(1, 1).put(11, 4);                          // coupling: independently switched, 11
    w.align();
    w.put(3, 8).bytes({'a', 'b', 'c'});
    w.put(0x2b7, 11).put(5, 5).put(1, 1).put(8, 4).put(0x548, 11).put(0, 1);
    AscInfo a;
    ASSERT_EQ(parse(w.data(), a), ASC_OK);
    const AscPce& p = a.pce;
    EXPECT_EQ(vals(a.sampling_frequency_index, a.sampling_rate, p.element_instance_tag, p.object_type,
                   p.sampling_frequency_index, p.num_front, p.num_side, p.num_back, p.num_lfe, p.num_assoc_data,
                   p.num_cc, p.mono_mixdown_present, p.mono_mixdown_element, p.stereo_mixdown_present,
                   p.stereo_mixdown_element, p.matrix_mixdown_idx_present, p.matrix_mixdown_idx,
                   p.pseudo_surround_enable, p.comment_bytes),
              vals(15, 32000, 5, 1, 5, 2, 1, 1, 1, 2, 1, 1, 3, 1, 4, 1, 1, 1, 3));
    EXPECT_EQ(vals(p.front[0].is_cpe, p.front[0].tag, p.front[1].is_cpe, p.front[1].tag, p.side[0].is_cpe,
                   p.side[0].tag, p.back[0].is_cpe, p.back[0].tag, p.lfe_tag[0], p.assoc_data_tag[0],
                   p.assoc_data_tag[1], p.cc[0].is_cpe, p.cc[0].tag),
              vals(0, 0, 1, 0, 1, 2, 1, 1, 7, 9, 10, 1, 11));
    EXPECT_EQ(vals(a.channels, a.front_channels, a.side_channels, a.back_channels, a.lfe_channels, a.sbr_present,
                   a.ext_sampling_rate, a.ps_present, a.bits),
              vals(8, 3, 2, 2, 1, 1, 16000, 0, w.bits()));
}

TEST(Asc, GaFields) {
    Builder b;
    b.header(2, 3, 1).ga(1, 0x2abc, 1);
    b.w.put(1, 1);  // extensionFlag3
    AscInfo a;
    ASSERT_EQ(parse(b.w.data(), a), ASC_OK);
    EXPECT_EQ(vals(a.frame_length_flag, a.depends_on_core_coder, a.core_coder_delay, a.extension_flag,
                   a.extension_flag3, a.bits),
              vals(1, 1, 0x2abc, 1, 1, b.w.bits()));

    // Scalable: layerNr.
    Builder s;
    s.header(6, 3, 2).ga();
    s.w.put(5, 3);
    ASSERT_EQ(parse(s.w.data(), a), ASC_OK);
    EXPECT_EQ(a.layer_nr, 5);

    // Error resilient LC: the resilience flags and extensionFlag3, then epConfig.
    Builder e;
    e.header(17, 4, 2).ga(0, -1, 1);
    e.w.put(7, 3).put(0, 1).put(1, 2);
    ASSERT_EQ(parse(e.w.data(), a), ASC_OK);
    EXPECT_EQ(vals(a.audio_object_type, a.ep_config, a.bits), vals(17, 1, e.w.bits()));
    Builder e2;
    e2.header(17, 4, 2).ga().w.put(2, 2);
    EXPECT_EQ(parse(e2.w.data(), a), ASC_ERR_UNSUPPORTED);
    EXPECT_EQ(a.ep_config, 2);
}

TEST(Asc, ObjectTypes) {
    AscInfo a;
    Builder als;
    als.header(36, 3, 2);  // escaped: 31, then 36 - 32
    als.w.put(0, 16);
    EXPECT_EQ(parse(als.w.data(), a), ASC_ERR_UNSUPPORTED);
    EXPECT_EQ(vals(a.audio_object_type, a.sampling_rate, a.channel_configuration), vals(36, 48000, 2));
    for (uint32_t t : {0u, 10u, 11u, 18u, 46u, 95u}) {
        EXPECT_EQ(parse(plain_config(t, 4, 2), a), ASC_ERR_OBJECT_TYPE) << t;
        EXPECT_EQ(vals(a.audio_object_type, a.channel_configuration), vals(t, 2));  // the header is read all the same
    }
    for (uint32_t t : {1u, 3u, 4u}) EXPECT_EQ(parse(plain_config(t, 4, 2), a), ASC_OK) << t;
    // SBR signalled over SBR.
    Builder n;
    n.header(5, 6, 2).w.put(3, 4).put(29, 5);
    n.ga();
    EXPECT_EQ(parse(n.w.data(), a), ASC_ERR_INVALID);
}

TEST(Asc, RatesAndConfigurations) {
    // The decoder's twelve rates both ways, 7350 Hz at index 12 (no way
    // back), nothing for the reserved indexes and other rates.
    AscInfo a;
    for (uint32_t i = 0; i < 13; ++i) {
        ASSERT_EQ(parse(plain_config(2, i, 2), a), ASC_OK) << i;
        EXPECT_EQ(a.sampling_rate, i < 12 ? static_cast<uint32_t>(samp_rate_kvxdec_info[i].sampling_rate) : 7350u);
        EXPECT_EQ(asc_rate_index(a.sampling_rate), i < 12 ? static_cast<int32_t>(i) : -1) << i;
    }
    for (int i : {-1, 13, 14, 15, 16}) EXPECT_EQ(asc_index_rate(i), 0u) << i;
    EXPECT_EQ(asc_rate_index(0), -1);
    for (uint32_t i : {13u, 14u}) EXPECT_EQ(parse(plain_config(2, i, 2), a), ASC_ERR_RATE) << i;
    EXPECT_EQ(parse(plain_config(2, 15, 2, 0), a), ASC_ERR_RATE);
    ASSERT_EQ(parse(plain_config(2, 15, 2, 44000), a), ASC_OK);
    EXPECT_EQ(a.sampling_rate, 44000u);
    EXPECT_EQ(asc_rate_index(a.sampling_rate), -1);

    const int32_t totals[16] = {0, 1, 2, 3, 4, 5, 6, 8, 0, 0, 0, 7, 8, 24, 8, 0};
    for (uint32_t c = 1; c < 16; ++c) {
        const int rc = parse(plain_config(2, 3, c), a);
        ASSERT_EQ(rc, totals[c] ? ASC_OK : ASC_ERR_INVALID) << c;
        if (totals[c] == 0) continue;
        EXPECT_EQ(a.channels, totals[c]) << c;
        if (c <= 12)
            EXPECT_EQ(a.front_channels + a.side_channels + a.back_channels + a.lfe_channels, totals[c]) << c;
    }
}

TEST(Asc, NullAndEmpty) {
    AscInfo a;
    EXPECT_EQ(asc_parse(nullptr, 0, &a), ASC_ERR_TRUNCATED);
    EXPECT_EQ(a.channel_configuration, -1);
    EXPECT_EQ(asc_parse(nullptr, 4, &a), ASC_ERR_INVALID);
    const uint8_t b[2] = {0x12, 0x10};
    EXPECT_EQ(asc_parse(b, 2, nullptr), ASC_ERR_INVALID);
    for (int code : std::initializer_list<int>{ASC_OK, ASC_ERR_TRUNCATED, ASC_ERR_OBJECT_TYPE, ASC_ERR_RATE,
                                               ASC_ERR_UNSUPPORTED, ASC_ERR_INVALID, 7})
        EXPECT_NE(asc_error_text(code), nullptr);
}

// Every prefix of a real config: no read outside it (the sanitizer build
// checks that), an error for every prefix that ends before the config's
// own part (the GASpecificConfig and its PCE), and never a success that
// claims more bits than were given. A prefix that drops a trailing
// extension whole is a valid config on its own.
TEST(Asc, EveryTruncation) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t own_bytes;  // bytes up to the end of the part before any extension
    };
    const std::vector<Case> cases = {
        {"lc", {0x12, 0x10}, 2},
        {"backcompat sbr", {0x13, 0x10, 0x56, 0xe5, 0x98}, 2},
        {"backcompat ps", kBackcompatPs, 2},
        {"explicit sbr", kExplicitSbr, 4},
        {"explicit ps", kExplicitPs, 4},
        {"pce 5.1", kPce51, kPce51.size() - kNoSbr.size()},
        {"pce 3.0", kPce30, kPce30.size() - kNoSbr.size()},
        {"pce 7.1", kPce71, kPce71.size() - kNoSbr.size()},
    };
    for (const Case& c : cases) {
        AscInfo full;
        ASSERT_EQ(parse(c.bytes, full), ASC_OK) << c.name;
        for (size_t n = 0; n < c.bytes.size(); ++n) {
            SCOPED_TRACE(testing::Message() << c.name << " at " << n);
            AscInfo a;
            const int rc = parse(c.bytes, a, n);
            EXPECT_TRUE(rc == ASC_ERR_TRUNCATED || (rc == ASC_OK && n >= c.own_bytes)) << rc;
            EXPECT_LE(a.bits, n * 8);
            if (rc == ASC_OK) EXPECT_EQ(vals(a.channels, a.sampling_rate), vals(full.channels, full.sampling_rate));
            // The header fields survive a cut behind them (no case escapes
            // its object type or rate, so the header is 13 bits).
            if (n >= 2)
                EXPECT_EQ(vals(a.channel_configuration, a.signalled_object_type),
                          vals(full.channel_configuration, full.signalled_object_type));
        }
    }
    // Cut just behind the sync word of the extension: an error, not a guess.
    AscInfo a;
    EXPECT_EQ(parse({0x13, 0x10, 0x56, 0xe5}, a), ASC_ERR_TRUNCATED);
    EXPECT_EQ(a.sampling_rate, 24000u);
}

// Random bytes, and random bytes behind headers that lead into the deeper
// parts (a PCE, explicit SBR, the extension): no crash, no read outside,
// consistent results.
TEST(Asc, RandomBytes) {
    std::mt19937 rng(20240611);
    const std::vector<std::vector<uint8_t>> heads = {
        {}, {0x11, 0x80}, {0x12, 0x00}, {0x2b, 0x10}, {0xe9, 0x90}, {0x13, 0x10, 0x56, 0xe5}, {0x17, 0x80}, {0x8f},
    };
    int ok = 0;
    for (int i = 0; i < 6000; ++i) {
        std::vector<uint8_t> b = heads[static_cast<size_t>(i) % heads.size()];
        const size_t extra = rng() % 48;
        for (size_t k = 0; k < extra; ++k) b.push_back(static_cast<uint8_t>(rng()));
        AscInfo a;
        const int rc = parse(b, a);
        ASSERT_LE(rc, 0);
        ASSERT_GE(rc, ASC_ERR_INVALID);
        EXPECT_LE(a.bits, b.size() * 8);
        EXPECT_TRUE(a.channels >= 0 && a.channels <= 2 * 15 * 3 + 3) << a.channels;
        EXPECT_LE(a.pce.num_lfe, ASC_MAX_LFE_ELEMENTS);
        EXPECT_LE(a.pce.num_assoc_data, ASC_MAX_ASSOC_ELEMENTS);
        EXPECT_TRUE(a.sbr_present >= -1 && a.sbr_present <= 1 && a.ps_present >= -1 && a.ps_present <= 1);
        if (rc == ASC_OK) {
            ++ok;
            EXPECT_TRUE(a.sampling_rate > 0 && a.channel_configuration >= 0 && a.ga_present == 1);
        }
    }
    EXPECT_GT(ok, 100);  // the headers lead far enough
}

}  // namespace
