// Mid/side, intensity, noise substitution and TNS: the stated tables,
// examples and limits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "dsp/band_walk.h"
#include "dec/bands.h"
#include "dec/tools.h"
#include "tables/tools_tables.h"
#include "test_util.h"

namespace {

// A long layout of bands 4 lines wide, one group.
struct Layout {
    Layout() {
        MP4AACDEC_QUVA_Obj* dec = make_decoder(false);
        kvxdec_infoinit(dec, &samp_rate_kvxdec_info[4]);
        band = dec->ctx->longBands;
    }
    BandInfo band;
    uint8_t groups[8] = {1};
};

TEST(Stereo, MaskAdjustmentLooksAtTheRightCodebookOnly) {
    Layout l;
    uint8_t mask[128] = {1, 1, 1, 1, 0, 1};
    uint8_t cb[128] = {15, 14, 13, 5, 15, 11};
    kvxdec_map_mask(&l.band, l.groups, mask, cb);
    EXPECT_EQ(std::vector<uint8_t>(cb, cb + 6), (std::vector<uint8_t>{14, 15, kNoiseMsMarked, 5, 15, 11}));
    EXPECT_EQ(std::vector<uint8_t>(mask, mask + 6), (std::vector<uint8_t>{0, 0, 0, 1, 0, 1}));
}

TEST(Stereo, MaskAdjustmentCoversEveryBandAndNothingBeyond) {
    Layout l;
    const int n = l.band.num_swb[0];
    // Every codebook with either mask bit, over all bands; the bytes after
    // the last band would change if they were walked.
    uint8_t mask[128], cb[128];
    for (int b = 0; b < 128; ++b) {
        mask[b] = b < n ? static_cast<uint8_t>((b / 16) & 1) : 1;
        cb[b] = b < n ? static_cast<uint8_t>((b + 13) % 16) : 13;
    }
    uint8_t want_mask[128], want_cb[128];
    std::memcpy(want_mask, mask, sizeof mask);
    std::memcpy(want_cb, cb, sizeof cb);
    for (int b = 0; b < n; ++b) {
        if (!mask[b] || cb[b] < 13) continue;
        want_cb[b] = cb[b] == 13 ? kNoiseMsMarked : static_cast<uint8_t>(29 - cb[b]);
        want_mask[b] = 0;
    }
    kvxdec_map_mask(&l.band, l.groups, mask, cb);
    EXPECT_EQ(std::vector<uint8_t>(cb, cb + 128), std::vector<uint8_t>(want_cb, want_cb + 128));
    EXPECT_EQ(std::vector<uint8_t>(mask, mask + 128), std::vector<uint8_t>(want_mask, want_mask + 128));
}

TEST(Stereo, MidSideButterflySaturates) {
    Layout l;
    uint8_t mask[128] = {1, 0, 1};
    std::vector<int32_t> left(1024, 0), right(1024, 0);
    left[0] = 100, right[0] = 30;
    left[4] = 100, right[4] = 30;  // band 1: not masked
    left[8] = INT32_MAX, right[8] = 5;
    left[9] = INT32_MIN, right[9] = 5;
    kvxdec_synt(l.band.num_windows, l.band.num_swb, l.band.window_swb_top, l.band.window_bins, l.groups, mask,
                right.data(), left.data());
    EXPECT_EQ(vals(left[0], right[0], left[4], right[4], left[8], right[8], left[9], right[9]),
              vals(130, 70, 100, 30, INT32_MAX, INT32_MAX - 5, INT32_MIN + 5, INT32_MIN));
}

class Intensity : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&mi, 0, sizeof mi);
        mi.channel[0] = {1, 0, 1, 1, 1, 1, 0};
        mi.channel[1] = {1, 0, 1, 1, 0, 0, 0};
        left.assign(1024, 0);
        right.assign(1024, 7);
        coef[0] = left.data();
        coef[1] = right.data();
    }
    // One band (lines 0..3) of codebook cb at position is_pos; returns line 0.
    int32_t run(int32_t l, int is_pos, uint8_t cb = 15, int c = 1) {
        left[0] = l;
        uint8_t cbs[128] = {cb};
        int16_t sf[128] = {static_cast<int16_t>(is_pos)};
        kvxdec_intensity(&mi, &layout.band, c, c, layout.groups, cbs, sf, coef);
        return right[0];
    }
    MC_Info mi;
    Layout layout;
    std::vector<int32_t> left, right;
    int32_t* coef[2];
};

TEST_F(Intensity, GainsByPosition) {
    struct Case {
        int32_t l;
        int is_pos;
        uint8_t cb;
        int32_t exact, compact;
    } cases[] = {
        {1001, 0, 15, 1001, 1000},              // compact: 4 * floor(l / 4)
        {1001, 4, 15, 501, 1000 / 8 * 4},       // halved (exact rounds 500.5 up)
        {1001, -4, 15, 2002, 2000},             // doubled
        {1001, 1, 15, 842, 840},                // 2^(-1/4)
        {1001, 61, 15, 0, 0},
        {1000000, 60, 15, 31, 60},              // 2^-15: exact 30.5
        {-1001, 0, 15, -1001, -1004},
        {1001, 0, 14, -1001, -1000},            // out of phase
        {INT32_MIN, -4, 15, INT32_MIN, INT32_MIN},
        {INT32_MIN, -4, 14, INT32_MAX, INT32_MAX},
        {1000000, -32768, 15, INT32_MAX, INT32_MAX},  // gain 2^8192
        {1, -32768, 15, INT32_MAX, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(run(c.l, c.is_pos, c.cb), kExactArithmetic ? c.exact : c.compact) << c.l << " " << c.is_pos;
    EXPECT_EQ(right[4], 7);  // other bands are left alone
}

TEST_F(Intensity, OnlyRightChannelsOfPairs) {
    EXPECT_EQ(run(1001, 0, 15, 0), 7);  // channel 0 is the left one: unchanged
    EXPECT_EQ(left[0], 1001);
    mi.channel[1].is_cpe = 0;  // a single channel element
    EXPECT_EQ(run(1001, 0, 15, 1), 7);
}

TEST(Noise, GeneratorSequenceAndLevels) {
    Layout l;
    MC_Info mi{};
    std::vector<int32_t> out(1024, 99);
    int32_t* coef[2] = {out.data(), out.data()};
    uint8_t cb[128] = {13};
    // Root-sum-square 16384: compact 2 * 8192 at energy 95 (no line can leave
    // 16 bits), exact 2^(36/4) standard units = 2^14 coefficient units.
    int16_t energy[128] = {static_cast<int16_t>(kExactArithmetic ? 36 : 95)};
    uint32_t seed = 0;
    auto rss = [](const std::vector<int32_t>& v) {
        int64_t sum = 0;
        for (int i = 0; i < 4; ++i) sum += static_cast<int64_t>(v[static_cast<size_t>(i)]) * v[static_cast<size_t>(i)];
        return std::sqrt(static_cast<double>(sum));
    };
    aacdec_pns(&mi, &l.band, 0, 0, l.groups, cb, energy, &seed, coef);
    if (!kExactArithmetic) {
        // Three lines of a band of four: check the states after each draw.
        EXPECT_EQ(seed, 3519870697u * 1664525u + 1013904223u);  // four draws
        // r = -3233, 10546, -2327, ...: the signs and order come through.
        EXPECT_LT(out[0], 0);
        EXPECT_GT(out[1], 0);
        EXPECT_LT(out[2], 0);
    } else {
        EXPECT_EQ(seed, 0u);  // the block's own hash drives the draws; the channel's salt stays
    }
    EXPECT_NEAR(rss(out), 16384, kExactArithmetic ? 1 : 3);
    EXPECT_EQ(out[4], 99);  // only the noise band is written

    // Compact: energies 103 and 119 give the same level; 0 gives values in
    // -2..2. Exact: 4 steps double the level; beyond the 32-bit range the
    // values saturate.
    std::vector<int32_t> a(1024), b(1024);
    int32_t* ca[2] = {a.data(), a.data()};
    int32_t* cbp[2] = {b.data(), b.data()};
    int16_t e1[128] = {static_cast<int16_t>(kExactArithmetic ? 60 : 103)};
    int16_t e2[128] = {static_cast<int16_t>(kExactArithmetic ? 64 : 119)};
    seed = 5;
    aacdec_pns(&mi, &l.band, 0, 0, l.groups, cb, e1, &seed, ca);
    seed = 5;
    aacdec_pns(&mi, &l.band, 0, 0, l.groups, cb, e2, &seed, cbp);
    if (!kExactArithmetic)
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(b[static_cast<size_t>(i)], a[static_cast<size_t>(i)], 1);
    EXPECT_NEAR(rss(b), (kExactArithmetic ? 2.0 : 1.0) * rss(a), kExactArithmetic ? 4 : 3);
    int16_t e0[128] = {static_cast<int16_t>(kExactArithmetic ? -20 : 0)};
    uint8_t marked[128] = {kNoiseMsMarked};
    aacdec_pns(&mi, &l.band, 0, 0, l.groups, marked, e0, &seed, ca);
    for (int i = 0; i < 4; ++i) EXPECT_LE(std::abs(a[static_cast<size_t>(i)]), kExactArithmetic ? 1 : 2);
    if (kExactArithmetic) {
        int16_t huge[128] = {32767};
        aacdec_pns(&mi, &l.band, 0, 0, l.groups, cb, huge, &seed, ca);
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(a[static_cast<size_t>(i)] == INT32_MAX || a[static_cast<size_t>(i)] == INT32_MIN);
    }
}

TEST(Noise, ExactNoiseDependsOnTheBlockAndChannelAlone) {
    if (!kExactArithmetic) GTEST_SKIP() << "the compact arithmetic keeps one generator for the stream";
    Layout l;
    MC_Info mi{};
    uint8_t cb[128] = {1, 13};  // 44.1 kHz long bands: lines 0..3, then 4..7 noise
    int16_t energy[128] = {0, 40};
    auto noise = [&](uint32_t salt, int32_t line_below) {
        std::vector<int32_t> v(1024, 0);
        v[3] = line_below;  // a line of the band below: block data the noise follows
        int32_t* c[2] = {v.data(), v.data()};
        aacdec_pns(&mi, &l.band, 0, 0, l.groups, cb, energy, &salt, c);
        return std::vector<int32_t>(v.begin() + 4, v.begin() + 8);
    };
    // Whatever ran before, the same block gives the same noise...
    const auto first = noise(1, 7);
    noise(2, 123);
    noise(1, -5);
    EXPECT_EQ(noise(1, 7), first);
    // ... another channel or another block other noise.
    EXPECT_NE(noise(2, 7), first);
    EXPECT_NE(noise(1, 8), first);
}

TEST(Noise, WidestBandFitsTheWorkArea) {
    MP4AACDEC_QUVA_Obj* dec = make_decoder(false);
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[3]);  // 48 kHz: the last band has 96 lines
    BandInfo band = dec->ctx->longBands;
    uint8_t groups[8] = {1};
    uint8_t cb[128] = {};
    cb[48] = 13;
    int16_t energy[128] = {};
    energy[48] = 90;
    std::vector<int32_t> out(1024, 0);
    int32_t* coef[2] = {out.data(), out.data()};
    MC_Info mi{};
    uint32_t seed = 0;
    aacdec_pns(&mi, &band, 0, 0, groups, cb, energy, &seed, coef);
    int nonzero = 0;
    for (int i = 928; i < 1024; ++i) nonzero += out[static_cast<size_t>(i)] != 0;
    EXPECT_GT(nonzero, 80);
    for (int i = 0; i < 928; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0);
}

std::vector<int16_t> lpc_of(std::vector<int16_t> idx, int res) {
    std::vector<int16_t> lpc(idx.size() + 1);
    kvxdec_tns_decode_coef(static_cast<int>(idx.size()), res, idx.data(), lpc.data());
    return lpc;
}

TEST(Tns, ReflectionToLpc) {
    EXPECT_EQ(lpc_of({1}, 3), (std::vector<int16_t>{16384, 7109}));
    EXPECT_EQ(lpc_of({3, -2}, 4), (std::vector<int16_t>{16384, 6151, -5919}));
    EXPECT_EQ(lpc_of({7, 7, 7}, 4), (std::vector<int16_t>{8192, 24351, 24306, 8147}));
    EXPECT_EQ(lpc_of({7, 7, 7, 7}, 4), (std::vector<int16_t>{4096, 16226, 24239, 16182, 4073}));
}

TEST(Tns, AllPoleFilterBothDirections) {
    const int16_t lpc[2] = {16384, 7109};
    const std::vector<int32_t> x = {100000, -50000, 0, 70000};
    std::vector<int32_t> up = x, down = x;
    kvxdec_tns_ar_filter(up.data(), nullptr, 4, 1, lpc, 1);
    int32_t prev = 0;
    for (size_t n = 0; n < 4; ++n) {
        const int64_t p = (static_cast<int64_t>(prev) * 7109) >> 16;
        const int32_t want = x[n] - static_cast<int32_t>(4 * p);
        EXPECT_EQ(up[n], want) << n;
        prev = want;
    }
    kvxdec_tns_ar_filter(down.data(), nullptr, 4, -1, lpc, 1);
    EXPECT_EQ(down[3], x[3]);  // the first output is the top line
    EXPECT_EQ(down[2], 0 - 4 * static_cast<int32_t>((static_cast<int64_t>(x[3]) * 7109) >> 16));
}

TEST(Tns, OrderAndBandLimits) {
    MP4AACDEC_QUVA_Obj* dec = make_decoder(true);
    int16_t pcm[4096];
    aacdecode_setOutputBuffer(dec, pcm);
    kvxdec_infoinit(dec, &samp_rate_kvxdec_info[4]);
    const BandInfo& b = dec->ctx->longBands;
    TnsWindow win{};
    win.n_filt = 1;
    win.coef_res = 4;
    win.filt[0] = TnsFilter{-5, 49, 15, 0, {}};
    for (int i = 0; i < 15; ++i) win.filt[0].coef[i] = static_cast<int16_t>(i % 2 ? -3 : 4);
    std::vector<int32_t> impulse(1024, 0);
    impulse[0] = 1 << 24;

    // LC long window: order 15 is cut to 12, and the range to the 42 bands of
    // 44.1 kHz (the negative start_band begins at line 0).
    dec->mcInfo.profile = 1;
    dec->mcInfo.sampling_rate_idx = 4;
    std::vector<int32_t> got = impulse;
    kvxdec_tns_decode_subblock(got.data(), got.data(), 49, b.window_swb_top[0], 1, &win, dec);
    TnsWindow cut = win;
    cut.filt[0].order = 12;
    cut.filt[0].start_band = 0;
    cut.filt[0].stop_band = 42;
    std::vector<int32_t> want = impulse;
    kvxdec_tns_decode_subblock(want.data(), want.data(), 42, b.window_swb_top[0], 1, &cut, dec);
    const int16_t lines = b.window_swb_top[0][41];
    EXPECT_EQ(got, want);
    EXPECT_EQ(got[lines], 0);

    // Reserved rates and profiles other than Main and LC get no TNS; max_sfb
    // 0 leaves nothing to filter.
    for (auto [rate, profile, max_sfb] : {std::tuple{13, 1, 49}, {4, 3, 49}, {4, 1, 0}}) {
        dec->mcInfo.sampling_rate_idx = rate;
        dec->mcInfo.profile = profile;
        std::vector<int32_t> x = impulse;
        kvxdec_tns_decode_subblock(x.data(), x.data(), max_sfb, b.window_swb_top[0], 1, &win, dec);
        EXPECT_EQ(x, impulse) << rate << " " << profile << " " << max_sfb;
    }
}

}  // namespace
