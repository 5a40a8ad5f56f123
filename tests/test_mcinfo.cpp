// Channel mapping in implicit and program mode, and program config elements.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "bitstream_util.h"

#include "dec/bands.h"
#include "dec/downmix.h"
#include "dsp/fixed.h"
#include "tables/downmix_tables.h"
#include "test_util.h"

namespace {

class Mapping : public ::testing::Test {
protected:
    void SetUp() override {
        obj = make_decoder(false);
        mi = &obj->mcInfo;
        obj->ctx->defaultConfig = 1;
    }
    MP4AACDEC_QUVA_Obj* obj = nullptr;
    MC_Info* mi = nullptr;
};

enum { SCE = 0, CPE = 1 };

TEST_F(Mapping, ImplicitMonoPairAndTwoSingles) {
    reset_mc_kvxdec_info(obj, mi);
    EXPECT_EQ(kvxdec_chn_config(obj, SCE, 3, 0, mi), 0);
    EXPECT_EQ(vals(mi->num_channels, mi->num_front_sce, mi->channel[0].present, mi->channel[0].tag,
                   mi->channel[0].window_channel),
              vals(1, 1, 1, 3, 0));

    reset_mc_kvxdec_info(obj, mi);
    EXPECT_EQ(mi->num_front_sce, 0);  // cleared at a first block
    EXPECT_EQ(kvxdec_chn_config(obj, CPE, 1, 1, mi), 0);
    EXPECT_EQ(vals(obj->ctx->cpeSeen, mi->num_channels, mi->num_front_sce), vals(1, 2, 0));
    // A common window: the right channel takes the left channel's.
    const ChInfo &l = mi->channel[0], &r = mi->channel[1];
    EXPECT_EQ(vals(l.is_cpe, l.is_left, l.paired_channel, r.is_left, r.paired_channel, r.window_channel, r.tag),
              vals(1, 1, 1, 0, 0, 0, 1));

    reset_mc_kvxdec_info(obj, mi);
    EXPECT_EQ(kvxdec_chn_config(obj, CPE, 1, 0, mi), 0);
    EXPECT_EQ(mi->channel[1].window_channel, 1);

    reset_mc_kvxdec_info(obj, mi);
    EXPECT_EQ(vals(mi->channel[1].present, mi->channel[1].tag), vals(0, 1));  // the tag survives a reset
    EXPECT_EQ(kvxdec_chn_config(obj, SCE, 4, 0, mi), 0);
    EXPECT_EQ(kvxdec_chn_config(obj, SCE, 5, 0, mi), 1);
    // No single counted at the front: a pair was seen since the reset.
    EXPECT_EQ(vals(mi->num_channels, mi->channel[1].tag, mi->channel[1].window_channel, mi->num_front_sce),
              vals(2, 5, 1, 0));
}

TEST_F(Mapping, ImplicitRefusalsAndThirdElements) {
    reset_mc_kvxdec_info(obj, mi);
    EXPECT_EQ(kvxdec_chn_config(obj, SCE, 0, 0, mi), 0);
    // A pair after a single channel: refused, or (exact) slots 0 and 1, and
    // the block fails as one of three channels.
    EXPECT_EQ(kvxdec_chn_config(obj, CPE, 0, 1, mi), kExactArithmetic ? 0 : -1);
    if (kExactArithmetic) EXPECT_EQ(vals(mi->num_channels, mi->channel[0].is_cpe, mi->channel[1].present), vals(2, 1, 1));

    reset_mc_kvxdec_info(obj, mi);
    EXPECT_EQ(kvxdec_chn_config(obj, CPE, 0, 1, mi), 0);
    EXPECT_EQ(kvxdec_chn_config(obj, SCE, 1, 0, mi), 0);  // a third channel gets slot 0
    EXPECT_EQ(vals(mi->num_channels, mi->channel[0].is_cpe), vals(2, 1));  // nothing was entered

    // Single channels are counted only at the first block after a sync.
    reset_mc_kvxdec_info(obj, mi);
    reset_process_state(obj);
    obj->ctx->defaultConfig = 1;
    mi->num_front_sce = 0;
    kvxdec_chn_config(obj, SCE, 0, 0, mi);
    EXPECT_EQ(mi->num_front_sce, 1);
    obj->ctx->bno = 4;
    reset_mc_kvxdec_info(obj, mi);
    kvxdec_chn_config(obj, SCE, 0, 0, mi);
    EXPECT_EQ(mi->num_front_sce, 1);
}

TEST_F(Mapping, EnterChannelPositions) {
    // Side, back and LFE positions are refused; a look-up finds nothing mapped.
    EXPECT_EQ(vals(kvxdec_enter_chn(0, 0, CHN_SIDE, 0, mi), kvxdec_enter_chn(0, 0, CHN_BACK, 0, mi),
                   kvxdec_enter_chn(0, 0, CHN_LFE, 0, mi), kvxdec_enter_chn(1, 0, CHN_SIDE, 0, mi),
                   kvxdec_enter_chn(0, 0, CHN_LOOKUP, 0, mi), mi->num_channels),
              vals(-1, -1, -1, -1, -1, 0));
}

// A program config element of our own making.
struct Pce {
    int tag = 3;
    std::vector<std::pair<int, int>> front;  // (is_cpe, tag)
    int side = 0, back = 0, lfe = 0, assoc = 0;
    std::vector<int> coupling;
    bool mono_mixdown = false, matrix_mixdown = false;
    int matrix_index = 2, pseudo_surround = 1;
    bool back_pairs = false;  // back elements: pairs of tag 1, else singles of tag 9
    std::vector<uint8_t> comment;
    int sf_index = 4;

    std::vector<uint8_t> bytes() const {
        BitWriter w;
        w.put(static_cast<uint32_t>(tag), 4).put(1, 2).put(static_cast<uint32_t>(sf_index), 4);
        w.put(static_cast<uint32_t>(front.size()), 4).put(static_cast<uint32_t>(side), 4);
        w.put(static_cast<uint32_t>(back), 4).put(static_cast<uint32_t>(lfe), 2);
        w.put(static_cast<uint32_t>(assoc), 3).put(static_cast<uint32_t>(coupling.size()), 4);
        w.put(mono_mixdown, 1);
        if (mono_mixdown) w.put(1, 4);
        w.put(0, 1);
        w.put(matrix_mixdown, 1);
        if (matrix_mixdown) w.put(static_cast<uint32_t>(matrix_index), 2).put(static_cast<uint32_t>(pseudo_surround), 1);
        for (auto [c, t] : front) w.put(static_cast<uint32_t>(c), 1).put(static_cast<uint32_t>(t), 4);
        for (int i = 0; i < side; ++i) w.put(0, 1).put(9, 4);
        for (int i = 0; i < back; ++i) w.put(back_pairs, 1).put(back_pairs ? 1 : 9, 4);
        for (int i = 0; i < lfe + assoc; ++i) w.put(7, 4);
        for (int t : coupling) w.put(1, 1).put(static_cast<uint32_t>(t), 4);
        w.align().put(static_cast<uint32_t>(comment.size()), 8).bytes(comment);
        w.put(0xA5, 8);  // what follows the element
        return w.data();
    }
};

class Program : public Mapping {
protected:
    int32_t parse(const Pce& p) {
        std::vector<uint8_t> b = p.bytes();
        b.resize(b.size() + 4, 0);
        aacdecode_flushFifo(obj);
        feed(obj, b);
        const int32_t r = kvxdec_get_prog_config(obj);
        EXPECT_EQ(aacdec_getbits(obj, 8), 0xA5) << "element length";
        return r;
    }
};

TEST_F(Program, FirstProgramWithOnePairIsSelectedAndEntered) {
    Pce p;
    p.front = {{1, 3}};
    p.coupling = {6, 2};
    EXPECT_EQ(parse(p), 3);
    EXPECT_EQ(vals(obj->ctx->currentProgram, obj->ctx->defaultConfig, mi->num_channels, mi->num_front_sce,
                   mi->channel[0].is_left, mi->channel[0].paired_channel, mi->channel[1].paired_channel,
                   mi->channel[1].common_window, mi->num_coupling_elements, mi->coupling_tags[1], mi->profile),
              vals(3, 0, 2, 0, 1, 1, 0, 0, 2, 2, 1));

    // Program mode: the block reset keeps the map; look-ups by type and tag.
    reset_mc_kvxdec_info(obj, mi);
    EXPECT_EQ(mi->num_channels, 2);
    EXPECT_EQ(kvxdec_chn_config(obj, CPE, 3, 1, mi), 0);
    EXPECT_EQ(mi->channel[1].window_channel, 0);
    EXPECT_EQ(kvxdec_chn_config(obj, CPE, 3, 0, mi), 0);
    EXPECT_EQ(mi->channel[1].window_channel, 1);
    EXPECT_EQ(kvxdec_chn_config(obj, CPE, 4, 0, mi), -1);  // unknown tag
    EXPECT_EQ(kvxdec_chn_config(obj, SCE, 3, 0, mi), -1);  // wrong type

    // A later element of another program changes nothing: the program
    // played and its record stay (the downmix's layout is read from it).
    Pce other;
    other.tag = 9;
    other.front = {{0, 1}};
    other.comment = {'h', 'i'};
    EXPECT_EQ(parse(other), 9);
    EXPECT_EQ(vals(mi->num_channels, obj->progConfig.front.is_cpe[0], obj->progConfig.front.tag_select[0]),
              vals(2, 1, 3));
    EXPECT_STREQ(reinterpret_cast<const char*>(obj->progConfig.comments), "");
}

TEST_F(Program, TwoSinglesAndARateChange) {
    Pce p;
    p.front = {{0, 1}, {0, 2}};
    p.sf_index = 8;
    EXPECT_EQ(parse(p), 3);
    EXPECT_EQ(vals(mi->num_front_sce, mi->channel[0].tag, mi->channel[1].tag, mi->sampling_rate_idx,
                   obj->ctx->longBands.num_swb[0]),
              vals(2, 1, 2, 8, 43));
    EXPECT_EQ(kvxdec_chn_config(obj, SCE, 2, 0, mi), 1);
}

TEST_F(Program, AProgramInsideABlockKeepsTheTransportsRate) {
    // Decoding frames of an 8 kHz stream: a program config element that says
    // 48 kHz (damage read as an element) maps its channels but leaves the
    // rate and the band layouts alone, with a note.
    obj->state = STATE_FRAMES;
    mi->sampling_rate_idx = 11;
    kvxdec_infoinit(obj, &samp_rate_kvxdec_info[11]);
    Pce p;
    p.front = {{1, 3}};
    p.sf_index = 3;
    EXPECT_EQ(parse(p), 3);
    EXPECT_EQ(vals(mi->num_channels, mi->sampling_rate_idx, obj->ctx->bandsRate, obj->ctx->longBands.num_swb[0],
                   obj->lastError),
              vals(2, 11, 8000, 40, KVXD_NOTE_PCE_RATE));
    // The programs of an ADIF header set it.
    obj->state = STATE_ADIF;
    obj->blockCount = 0;
    EXPECT_EQ(parse(p), 3);
    EXPECT_EQ(vals(mi->sampling_rate_idx, obj->ctx->bandsRate), vals(3, 48000));
}

TEST_F(Program, UnsupportedLayoutsAreRefused) {
    const std::pair<const char*, Pce> cases[] = {
        {"a single, then a pair", {.front = {{0, 1}, {1, 2}}}},
        {"LFE", {.front = {{0, 1}}, .lfe = 1}},
        {"side", {.front = {{0, 1}}, .side = 1}},
        {"back", {.back = 1}},
        {"three channels", {.front = {{1, 1}, {0, 2}}}},
    };
    for (const auto& [what, p] : cases) {
        SCOPED_TRACE(what);
        SetUp();
        EXPECT_EQ(parse(p), -1);
        EXPECT_EQ(vals(obj->ctx->defaultConfig, obj->ctx->currentProgram), vals(1, 3));
    }
    // A stereo program that names a mixdown has nothing to mix down: the
    // exact arithmetic plays it (every block was concealed), the compact
    // one refuses it.
    for (const Pce& p : {Pce{.front = {{1, 1}}, .mono_mixdown = true}, Pce{.front = {{1, 1}}, .matrix_mixdown = true}}) {
        SetUp();
        EXPECT_EQ(parse(p), kExactArithmetic ? 3 : -1);
        EXPECT_EQ(vals(obj->ctx->defaultConfig, obj->mcInfo.num_channels), vals(kExactArithmetic ? 0 : 1, 2));
    }
}

// Programs of more channels, with the downmix asked for: mixed (not
// refused), and their stereo gains (Q30) as the README's table gives them:
// weights front 1, centre and default surround 1/sqrt(2), the index's
// surround weight a, pseudo-surround -a/+a, LFE 0, over the larger sum.
TEST_F(Program, MixedProgramsWeighTheirChannels) {
    if (!kExactArithmetic) GTEST_SKIP() << "the compact arithmetic does not mix";
    const double c = 1 / std::sqrt(2.0);
    struct Case {
        int index;  // -1: no matrix mixdown
        int pseudo;
        bool centre, lfe;
        double front, centre_gain, surround_left, surround_right;  // left output; the right mirrors
    } cases[] = {
        {-1, 0, true, true, 1 / (1 + 2 * c), c / (1 + 2 * c), c / (1 + 2 * c), 0},
        {1, 0, true, true, 1 / (1.5 + c), c / (1.5 + c), 0.5 / (1.5 + c), 0},
        {3, 0, true, false, 1 / (1 + c), c / (1 + c), 0, 0},
        {0, 1, true, true, 1 / (1 + 3 * c), c / (1 + 3 * c), -c / (1 + 3 * c), -c / (1 + 3 * c)},
        {-1, 0, false, false, 1 / (1 + c), 0, c / (1 + c), 0},  // quad
    };
    for (const Case& k : cases) {
        SetUp();
        obj->ctx->downmix = 1;
        Pce p{.back = 1, .lfe = k.lfe ? 1 : 0, .matrix_mixdown = k.index >= 0, .matrix_index = std::max(k.index, 0),
              .pseudo_surround = k.pseudo, .back_pairs = true};
        if (k.centre) p.front.push_back({0, 0});
        p.front.push_back({1, 0});
        EXPECT_EQ(parse(p), 3);
        EXPECT_EQ(vals(mi->mix_program, mi->more_channels), vals(1, 0));
        EXPECT_TRUE(downmix_begin_block(obj));
        int32_t g[kMixMaxChannels][2];
        const int n = downmix_gains(obj, g);
        ASSERT_EQ(n, (k.centre ? 5 : 4) + (k.lfe ? 1 : 0));
        const int f = k.centre ? 1 : 0, s = f + 2;  // first front pair and back pair channel
        auto q30 = [](double v) { return static_cast<int32_t>(std::lround(v * 1073741824.0)); };
        EXPECT_NEAR(g[f][0], q30(k.front), 1);
        EXPECT_EQ(g[f][1], 0);
        EXPECT_NEAR(g[f + 1][1], q30(k.front), 1);
        if (k.centre) EXPECT_NEAR(g[0][0], q30(k.centre_gain), 1);
        if (k.centre) EXPECT_EQ(g[0][0], g[0][1]);
        EXPECT_NEAR(g[s][0], q30(k.surround_left), 1);
        EXPECT_NEAR(g[s + 1][0], q30(k.surround_right), 1);
        EXPECT_EQ(g[s + 1][1], k.pseudo ? -g[s][0] : g[s][0]);
        if (k.lfe) EXPECT_EQ(g[n - 1][0] | g[n - 1][1], 0);
    }
    // Without the downmix the same program is refused, its channels counted.
    SetUp();
    EXPECT_EQ(parse({.front = {{0, 0}, {1, 0}}, .back = 1, .back_pairs = true}), -1);
    EXPECT_EQ(vals(mi->more_channels, obj->lastError), vals(5, KVXD_ERR_CHANNELS));
}

// The gains' division without a divider (ARM's, here on every target)
// against the plain one: every scale a layout can have (up to eight
// weights of 1, the centre's and one surround weight) with every weight
// it can divide, then random divisors up to 2^33 and their extremes.
TEST(DownmixGains, DivisionByTheScale) {
    auto plain = [](uint64_t a, uint64_t b) { return static_cast<uint32_t>(((a << 30) + b / 2) / b); };
    auto check = [&](uint64_t a, uint64_t b) {
        ASSERT_EQ(fx::udiv_round_q30_wide_recip(a, b), plain(a, b)) << a << " / " << b;
        ASSERT_EQ(fx::udiv_round_q30_wide(a, b), plain(a, b)) << a << " / " << b;
    };
    const uint64_t one = UINT64_C(1) << 30, centre = static_cast<uint64_t>(matrix_mixdown_weight_q30[0]);
    for (const int32_t surround : matrix_mixdown_weight_q30) {
        const uint64_t a = static_cast<uint64_t>(surround);
        for (int n1 = 0; n1 <= 8; ++n1)
            for (int n2 = 0; n1 + n2 <= 8; ++n2)
                for (int n3 = 0; n1 + n2 + n3 <= 8; ++n3) {
                    const uint64_t total = static_cast<uint64_t>(n1) * one + static_cast<uint64_t>(n2) * centre + static_cast<uint64_t>(n3) * a;
                    if (total == 0) continue;
                    for (const uint64_t w : {UINT64_C(0), one, centre, a})
                        if (w <= total) check(w, total);
                }
    }
    std::mt19937_64 rng(3);
    for (int i = 0; i < 300000; ++i) {
        const uint64_t b = std::max<uint64_t>(1, (rng() >> 30) >> (rng() % 34));
        const uint64_t a = rng() % (b + 1);
        for (const uint64_t n : {a, b, b - 1, UINT64_C(0), b / 2}) check(n, b);
    }
    for (const uint64_t b : {UINT64_C(0x7fffffff), UINT64_C(0x80000000), UINT64_C(0x80000001), UINT64_C(0x1ffffffff),
                             UINT64_C(0x100000000), UINT64_C(0x155555555), UINT64_C(0x180000000), UINT64_C(0x200000000)})
        for (uint64_t a = 0; a < 2000; ++a) {
            check(a, b);
            check(b - a, b);
            check(b / 2 + a - 1000, b);
        }
}

TEST_F(Program, LongestCommentIsKeptWithItsTerminator) {
    Pce p;
    p.front = {{0, 0}};
    p.comment.assign(255, 'x');
    EXPECT_EQ(parse(p), 3);
    EXPECT_EQ(vals(obj->progConfig.comments[254], obj->progConfig.comments[255]), vals('x', 0));
}

}  // namespace
