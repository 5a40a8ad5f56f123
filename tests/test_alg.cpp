// Algorithm objects: static creation, memory records, function tables and
// forwarding between the two levels.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dec/core_scale.h"
#include "dec/tools.h"
#include "dsp/dequant.h"
#include "decode_util.h"
#include "sbr/built.h"
#include "sbr/sbr_decoder.h"
#include "test_util.h"
#include "wraps.h"

namespace {

uint8_t* block(int k) { return static_blocks[k]; }

class AlgTest : public ::testing::Test {
protected:
    void SetUp() override { g_wraps.reset(); }
    void TearDown() override { g_wraps.reset(); }
};

TEST_F(AlgTest, CreateWithoutParamsOrStatusUsesFrameModeDefaults) {
    // Poison every block: creation must wipe them all.
    for (int k = 0; k < kStaticBlocks; ++k) std::memset(block(k), 0xFF, static_block_bytes[k]);
    IALG_Handle h = KVXD_createStatic(nullptr, nullptr);
    ASSERT_EQ(reinterpret_cast<uint8_t*>(h), block(0));
    MP4AACDEC_QUVA_Obj* obj = inner_obj(h);
    EXPECT_EQ(vals(obj->frameMode, obj->defaultBitsNeeded, obj->bitsNeeded), vals(1, 72, 72));
    for (uint32_t i = 0; i < static_block_bytes[7]; ++i) ASSERT_EQ(block(7)[i], 0) << i;
    // Block 3 keeps the decoder context after the two overlap buffers; every
    // other byte of blocks 2..6 is zero.
    const size_t ctx_first = 2 * kOverlapBytes;
    const size_t ctx_end = ctx_first + sizeof(DecoderContext);
    ASSERT_EQ(reinterpret_cast<uint8_t*>(obj->ctx), block(3) + ctx_first);
    for (int k = 2; k <= 6; ++k)
        for (uint32_t i = 0; i < static_block_bytes[k]; ++i)
            if (k != 3 || i < ctx_first || i >= ctx_end) ASSERT_EQ(block(k)[i], 0) << "block " << k << " byte " << i;
    // The context is the reset one, nothing of the poison left: the same
    // bytes a creation over zeroed blocks leaves.
    const DecoderContext& ctx = *obj->ctx;  // bands of 44.1 kHz
    EXPECT_EQ(vals(ctx.bno, ctx.defaultConfig, ctx.currentProgram, ctx.cpeSeen, ctx.pnsSeed, ctx.rawWrite,
                   ctx.pulse.pulse_data_present, ctx.longBands.num_swb_frame, ctx.shortBands.num_swb_frame),
              vals(0, 0, -1, 0, 0, 0, 0, 49, 112));
    const std::vector<uint8_t> after_poison(block(3) + ctx_first, block(3) + ctx_first + kContextBytes);
    for (int k = 0; k < kStaticBlocks; ++k) std::memset(block(k), 0, static_block_bytes[k]);
    KVXD_createStatic(nullptr, nullptr);
    const std::vector<uint8_t> after_zero(block(3) + ctx_first, block(3) + ctx_first + kContextBytes);
    EXPECT_EQ(after_poison, after_zero);
}

TEST_F(AlgTest, CreateWithStatusLinksTheTwoLevels) {
    KVXD_CreateStatus st;
    std::memset(&st, 0xAB, sizeof st);
    IKVXD_Params p = IKVXD_PARAMS;
    p.frameMode = 0;
    IALG_Handle h = KVXD_createStatic(&p, &st);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(vals(st.code, st.index), vals(KVXD_CREATE_OK, 0));
    auto* outer = reinterpret_cast<KVXD_KELVARIS_Obj*>(h);
    EXPECT_EQ(outer->fxns, &KVXD_KELVARIS_IKVXD);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(outer->inner), block(1));
    EXPECT_EQ(alg_fxns(outer->inner), &MP4AACDEC_QUVA_IMP4AACDEC);
    for (int k = 0; k < kOuterRecords; ++k) EXPECT_EQ(outer->memTab[k].base, block(k));
    EXPECT_EQ(vals(inner_obj(h)->frameMode, inner_obj(h)->bitsNeeded), vals(0, 128));
}

TEST_F(AlgTest, SizeMismatchIsReportedWithIndexAndBothSizes) {
    g_wraps.extra_record1_bytes = 1;  // inner record 1 = outer record 2
    KVXD_CreateStatus st{};
    EXPECT_EQ(KVXD_createStatic(nullptr, &st), nullptr);
    EXPECT_EQ(vals(st.code, st.index, st.value1, st.value2), vals(KVXD_CREATE_SIZE_MISMATCH, 2, 4473, 4472));
    // Without a status record nothing is verified and creation succeeds.
    EXPECT_NE(KVXD_createStatic(nullptr, nullptr), nullptr);
}

TEST_F(AlgTest, RecordsAreCarvedEndToEndPerChannel) {
    MP4AACDEC_QUVA_Obj* o = make_decoder(false);
    const uint8_t* ctx_end = reinterpret_cast<uint8_t*>(o->ctx) + kContextBytes;
    const struct {
        const void* p;
        int k;
        size_t off;
    } records[] = {
        {o, 1, 0},
        {o->msMask[0], 2, 0}, {o->msMask[1], 2, 128}, {o->chanAux[0], 2, 256}, {o->chanAux[1], 2, 280},
        {o->tnsData[0], 2, 304}, {o->tnsData[1], 2, 304 + 2084}, {o->tnsData[1] + 1, 2, 4472},
        {o->overlap[0], 3, 0}, {o->overlap[1], 3, 4096}, {o->ctx, 3, 8192}, {ctx_end, 3, 9216},
        {o->windowGroups[0], 4, 0}, {o->windowGroups[1], 4, 8}, {o->sectCodebook[0], 4, 16},
        {o->sectCodebook[1], 4, 144}, {o->scaleFactors[0], 4, 272}, {o->scaleFactors[1] + 128, 4, 784},
        {o->coef[0], 5, 0}, {o->coef[1] + 1024, 5, 8192}, {o->fifoBuffer, 6, 0},
    };
    for (const auto& r : records)
        EXPECT_EQ(r.p, static_cast<const void*>(block(r.k) + r.off)) << "block " << r.k << " at " << r.off;
    EXPECT_EQ(vals(o->fifoWords, o->fifo.size), vals(892, 892));
    EXPECT_EQ(o->fifo.buffer, o->fifoBuffer);
}

TEST_F(AlgTest, AllocAndFreeAgreeAtBothLevels) {
    IALG_Handle h = KVXD_createStatic(nullptr, nullptr);
    EXPECT_EQ(vals(KVXD_KELVARIS_numAlloc(), MP4AACDEC_QUVA_numAlloc()), vals(7, 8));

    IALG_MemRec req[8] = {}, freed[8] = {};
    ASSERT_EQ(KVXD_KELVARIS_alloc(nullptr, nullptr, req), 7);
    ASSERT_EQ(KVXD_KELVARIS_free(h, freed), 7);
    const IALG_MemAttrs attrs[7] = {IALG_PERSIST, IALG_PERSIST, IALG_SCRATCH, IALG_PERSIST,
                                    IALG_SCRATCH, IALG_SCRATCH, IALG_PERSIST};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(vals(req[i].size, req[i].alignment, req[i].space, req[i].attrs),
                  vals(expected_record_bytes[i], kRecordAlignment, IALG_EXTERNAL, attrs[i])) << i;
        EXPECT_EQ(freed[i].base, block(i)) << i;
    }

    // The inner free gives back exactly the alloc table with the bases of init.
    IALG_MemRec inner_req[6] = {}, inner_freed[6] = {};
    ASSERT_EQ(MP4AACDEC_QUVA_alloc(nullptr, nullptr, inner_req), 6);
    IALG_Handle in = reinterpret_cast<KVXD_KELVARIS_Obj*>(h)->inner;
    ASSERT_EQ(MP4AACDEC_QUVA_free(in, inner_freed), 6);
    for (int i = 0; i < 6; ++i) {
        const IALG_MemRec& f = inner_freed[i];
        const IALG_MemRec& r = inner_req[i];
        EXPECT_EQ(vals(f.size, f.alignment, f.attrs), vals(r.size, r.alignment, r.attrs)) << i;
        EXPECT_EQ(f.base, block(i + 1)) << i;
    }
}

TEST_F(AlgTest, UnknownControlCommandsFailThroughBothLevels) {
    IALG_Handle h = KVXD_createStatic(nullptr, nullptr);
    KVXD_Status st{};
    for (int cmd : {6, -1, 0x7FFF}) {
        EXPECT_EQ(KVXD_control(h, cmd, &st), -1) << cmd;
        EXPECT_EQ(MP4AACDEC_QUVA_control(reinterpret_cast<KVXD_KELVARIS_Obj*>(h)->inner,
                                         static_cast<int16_t>(cmd), &st),
                  -1);
    }
    EXPECT_EQ(KVXD_control(h, 0, &st), 0);
}

TEST_F(AlgTest, ModuleInfoIsFilled) {
    KVXD_ModuleInfo info;
    std::memset(&info, 0xFF, sizeof info);
    KVXD_init(&info);
    EXPECT_EQ(vals(info.word[0], info.word[1], info.word[2], info.word[3], info.word[4]), vals(2, 3, 3, 2602, 0));
}

uint16_t dummy_source(int, const uint16_t**) { return 0; }

TEST_F(AlgTest, GetBitsCallbackLifetime) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    IALG_Handle in = reinterpret_cast<KVXD_KELVARIS_Obj*>(h)->inner;
    KVXD_KELVARIS_setGetBitsCallback(h, dummy_source);
    EXPECT_EQ(obj->fifo.get_bits_callback, &dummy_source);
    KVXD_KELVARIS_flush(h);  // a flush keeps it
    EXPECT_EQ(obj->fifo.get_bits_callback, &dummy_source);
    uint16_t n;
    KVXD_getSamples(h, &n);  // streaming mode: a fetch keeps it
    EXPECT_EQ(obj->fifo.get_bits_callback, &dummy_source);
    MP4AACDEC_QUVA_flushFifo(in);  // flushFifo removes it
    EXPECT_EQ(obj->fifo.get_bits_callback, nullptr);
    KVXD_KELVARIS_setGetBitsCallback(h, dummy_source);
    KVXD_KELVARIS_setGetBitsCallback(h, nullptr);  // installing null removes it
    EXPECT_EQ(obj->fifo.get_bits_callback, nullptr);

    obj = make_decoder(true, &h);
    KVXD_KELVARIS_setGetBitsCallback(h, dummy_source);
    KVXD_getSamples(h, &n);  // frame mode: every fetch empties the FIFO and drops it
    EXPECT_EQ(obj->fifo.get_bits_callback, nullptr);
    EXPECT_EQ(obj->fifo.read_ptr, obj->fifoBuffer);
}

// An instance in memory of its own, built as KVXD_alloc asks (the records
// of the `shifted` mask 4 bytes past a 16-byte boundary).
struct OwnInstance {
    explicit OwnInstance(const IKVXD_Params* p, unsigned shifted = 0,
                         KVXD_CreateCode expected = KVXD_CREATE_OK) {
        IALG_MemRec tab[kStaticBlocks];
        EXPECT_EQ(KVXD_alloc(p, tab), kStaticBlocks);
        for (int i = 0; i < kStaticBlocks; ++i) {
            // operator new aligns to at least 16 bytes; poisoned, as memory comes.
            const size_t offset = (shifted >> i) & 1 ? 4 : 0;
            mem[i].assign(tab[i].size + offset, 0xA5);
            tab[i].base = mem[i].data() + offset;
        }
        KVXD_CreateStatus st{};
        h = KVXD_create(p, tab, &st);
        EXPECT_EQ(st.code, expected);
        if (h) KVXD_setOutputBuffer(h, pcm);
    }
    // One ADTS frame; the blocks it yields are appended to `out`.
    void frame(const std::vector<uint8_t>& f, std::vector<std::vector<int16_t>>& out) {
        const std::vector<uint16_t> w = to_words(f);
        drain_blocks(h, KVXD_process(h, w.data(), static_cast<uint16_t>(w.size())), out);
    }
    std::vector<uint8_t> mem[kStaticBlocks];
    IALG_Handle h = nullptr;
    int16_t pcm[4096] = {};
};

// Two instances in caller memory, fed frame by frame in turn, streams of
// different rates (one with noise bands, one with short windows): each gives
// the PCM the static instance gives on the stream alone, and neither touches
// the static blocks' context.
TEST_F(AlgTest, InstancesInCallerMemoryDecodeInTurnAsAlone) {
    const auto a = adts_frames(read_file(data_path("tests/data/p01_head.aac")));
    const auto b = adts_frames(read_file(data_path("tests/data/p19_vo_8000_s_music.aac")));
    const Decoded alone_a = Decoder(Mode::Frame).frames(a);
    const Decoded alone_b = Decoder(Mode::Frame).frames(b);
    ASSERT_TRUE(alone_a.blocks.size() > 10 && alone_b.blocks.size() > 10);

    MP4AACDEC_QUVA_Obj* fixed = make_decoder(true);
    const std::vector<uint8_t> static_ctx(reinterpret_cast<uint8_t*>(fixed->ctx),
                                          reinterpret_cast<uint8_t*>(fixed->ctx) + kContextBytes);
    IKVXD_Params p = IKVXD_PARAMS;
    p.frameMode = 1;
    OwnInstance da(&p), db(&p);
    ASSERT_TRUE(da.h && db.h);
    MP4AACDEC_QUVA_Obj* oa = inner_obj(da.h);
    MP4AACDEC_QUVA_Obj* ob = inner_obj(db.h);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(oa->ctx), da.mem[3].data() + 2 * kOverlapBytes);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(ob->ctx), db.mem[3].data() + 2 * kOverlapBytes);
    EXPECT_EQ(oa->ctx->currentProgram, -1);  // reset over the poison
    std::vector<std::vector<int16_t>> got_a, got_b;
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i < a.size()) da.frame(a[i], got_a);
        if (i < b.size()) db.frame(b[i], got_b);
    }
    EXPECT_EQ(got_a, alone_a.blocks);
    EXPECT_EQ(got_b, alone_b.blocks);
    // Bands of 44.1 and 8 kHz.
    EXPECT_EQ(vals(oa->errorCount, ob->errorCount, oa->ctx->longBands.num_swb_frame, ob->ctx->longBands.num_swb_frame),
              vals(alone_a.errors, alone_b.errors, 49, 40));
    const std::vector<uint8_t> static_after(reinterpret_cast<uint8_t*>(fixed->ctx),
                                            reinterpret_cast<uint8_t*>(fixed->ctx) + kContextBytes);
    EXPECT_EQ(static_after, static_ctx);
}

// Caller memory that does not hold what KVXD_alloc asked for: a record
// short by a word, or missing, is refused with its index and both sizes
// (the concealment store alone may be missing: a failed block is then
// concealed with silence).
TEST_F(AlgTest, CallerMemoryShortOrMissingIsRefusedWithIndexAndSizes) {
    IKVXD_Params p = IKVXD_PARAMS;
    IALG_MemRec tab[kStaticBlocks];
    ASSERT_EQ(KVXD_alloc(&p, tab), kStaticBlocks);
    std::vector<uint64_t> mem[kStaticBlocks];
    for (int i = 0; i < kStaticBlocks; ++i) {
        mem[i].assign(tab[i].size / 8 + 1, 0);
        tab[i].base = mem[i].data();
    }
    const uint32_t asked = tab[3].size;
    KVXD_CreateStatus st{};
    tab[3].size -= 4;
    EXPECT_EQ(KVXD_create(&p, tab, &st), nullptr);
    EXPECT_EQ(vals(st.code, st.index, st.value1, st.value2), vals(KVXD_CREATE_SIZE_MISMATCH, 3, asked & 0xFFFF, (asked - 4) & 0xFFFF));
    tab[3].size = asked;
    tab[3].base = nullptr;
    EXPECT_EQ(KVXD_create(&p, tab, &st), nullptr);
    EXPECT_EQ(vals(st.code, st.index, st.value2), vals(KVXD_CREATE_SIZE_MISMATCH, 3, 0));
    tab[3].base = mem[3].data();
    tab[kOuterRecords].base = nullptr;
    EXPECT_NE(KVXD_create(&p, tab, &st), nullptr);
    EXPECT_EQ(st.code, KVXD_CREATE_OK);
}

}  // namespace

// An instance in memory of its own with SBR attached, at 44.1 kHz (dec:
// its inner object, null where it could not be made).
struct SbrInstance {
    SbrInstance() {
        if (own.h && KVXD_attachSbr(own.h, persistent.data(), scratch.data(), 0, 0) == 0) {
            dec = inner_obj(own.h);
            kvxdec_infoinit(dec, &samp_rate_kvxdec_info[4]);
        }
    }
    IKVXD_Params params = IKVXD_PARAMS;
    OwnInstance own{&params};
    std::vector<uint64_t> persistent = std::vector<uint64_t>(KVXD_sbrBytes(0, 0) / 8 + 1);
    std::vector<uint64_t> scratch = std::vector<uint64_t>(KVXD_sbrBytes(1, 0) / 8 + 1);
    MP4AACDEC_QUVA_Obj* dec = nullptr;
};

// A channel the core scaled for SBR whose noise shaping filter would take
// its spectrum beyond the 32-bit range is filtered at its value instead:
// the values the filter gives the unscaled spectrum, and scale 0 from
// there on. One whose filtered values fit keeps its scale.
TEST_F(AlgTest, ScaledChannelWhoseFilterLeavesTheRangeIsFilteredAtItsValue) {
    if (!kCoreScaled) GTEST_SKIP() << "no block scale in this build";
    SbrInstance own;
    MP4AACDEC_QUVA_Obj* dec = own.dec;
    ASSERT_TRUE(dec);
    dec->mcInfo.profile = 1;
    dec->mcInfo.sampling_rate_idx = 4;
    dec->maxSfb[0] = 49;
    // One first-order filter over the whole window, its pole at -0.995: a
    // run of lines of alternating sign comes out some 200 times larger.
    TnsInfo* tns = dec->tnsData[0];
    tns->n_windows = 1;
    tns->win[0] = TnsWindow{};
    tns->win[0].n_filt = 1;
    tns->win[0].coef_res = 4;
    tns->win[0].filt[0] = TnsFilter{0, 49, 1, 0, {7}};
    const BandInfo* band = &dec->ctx->longBands;
    constexpr int kScale = 8;
    for (int32_t line : {1 << 20, 1 << 14}) {
        std::vector<int32_t> value(1024, 0);
        for (int i = 0; i < 400; ++i) value[i] = i % 2 ? -line : line;
        std::vector<int32_t> want = value;
        kvxdec_tns_decode_subblock(want.data(), want.data(), 49, band->window_swb_top[0], 1, &tns->win[0], dec);
        for (int i = 0; i < 1024; ++i) dec->coef[0][i] = value[i] * (1 << kScale);
        dec->ctx->sbr->core.block[0] = kScale;
        kvxdec_tns_channel(dec, 0, 0, band);
        const bool fits = line < (1 << 15);  // 2^14 x 200 x 2^8 < 2^31
        std::vector<int32_t> got(dec->coef[0], dec->coef[0] + 1024);
        if (!fits) {
            EXPECT_EQ(got, want);
            EXPECT_EQ(dec->ctx->sbr->core.block[0], 0);
        } else {
            // (Within the filter's rounding at its value, times 2^kScale.)
            int32_t largest = 0;
            for (int i = 0; i < 1024; ++i) {
                EXPECT_NEAR(got[i], want[i] * double(1 << kScale), 256 << kScale) << i;
                largest = std::max(largest, std::abs(got[i]));
            }
            EXPECT_GT(largest, 1 << 29);
            EXPECT_EQ(dec->ctx->sbr->core.block[0], kScale);
        }
    }
}

// The block scale keeps every coefficient of a mono block below 2^30,
// whatever the last block left room for: a band whose only value is -1
// (the quick bound took negative values one lower and let such a band
// through uncounted: s 16, its coefficient at the dequantisation's limit,
// the block taken for damaged), and a noise band (its lines at scale s
// 2^s times its root sum of squares, which nothing bounded: 2^34).
TEST_F(AlgTest, BlockScaleKeepsEveryCoefficientBelow2To30) {
    if (!kCoreScaled) GTEST_SKIP() << "no block scale in this build";
    for (const auto [book, value, sf] : {std::tuple{1, -1, 140}, {1, 1, 140}, {1, -2, 140}, {13, 0, 56}}) {
        SCOPED_TRACE(testing::Message() << "book " << book << " value " << value << " sf " << sf);
        SbrInstance own;
        MP4AACDEC_QUVA_Obj* dec = own.dec;
        ASSERT_TRUE(dec);
        dec->mcInfo.num_channels = 1;
        dec->ctx->sbr->active = 1;
        dec->ctx->sbr->core.peak[0] = 12;  // a quiet last block: up to 16 bits of scale
        const BandInfo* band = &dec->ctx->longBands;
        dec->windowGroups[0][0] = 1;
        for (int b = 0; b < 128; ++b) dec->sectCodebook[0][b] = 0, dec->scaleFactors[0][b] = 100;
        dec->sectCodebook[0][0] = static_cast<uint8_t>(book);
        dec->scaleFactors[0][0] = static_cast<int16_t>(sf);
        std::vector<int16_t> quant(1024, 0);
        quant[0] = static_cast<int16_t>(value);
        const int s = core_scale_choose_sbr(dec, band, 0, 0, quant.data());
        if (book == 13) {
            EXPECT_LE((sf + 20) / 4.0 + s, 30.0) << s;  // log2 of the lines' root sum of squares
            continue;
        }
        std::vector<int32_t> coef(1024);
        const int16_t* tops[8] = {band->window_swb_top[0]};
        EXPECT_FALSE(kvxdec_DequantizeGains(1, band->num_swb, coef.data(), quant.data(), dec->scaleFactors[0], tops));
        EXPECT_LT(std::abs(coef[0]), 1 << 30) << s;
        EXPECT_GE(s, 13);  // no lower than the room needs: 2^(15 + 4/3 log2 |value| + s) < 2^30
    }
}

// SBR works in the instance's spent side information, band and spectra
// records besides its own, with 64-bit sums: over records aligned to the 4
// bytes they ask for but not to 8 it is refused, not left to fault in the
// first HE-AAC block.
TEST_F(AlgTest, SbrIsRefusedOverRecordsAlignedToFourOnly) {
    if (!kSbrBuilt) GTEST_SKIP() << "built without SBR";
    IKVXD_Params p = IKVXD_PARAMS;
    std::vector<uint64_t> persistent(KVXD_sbrBytes(0, 0) / 8 + 1), scratch(KVXD_sbrBytes(1, 0) / 8 + 1);
    // The side information (2), band (4) and spectra (5) records; the
    // objects' own records hold pointers, 8-byte aligned on 64-bit hosts.
    const unsigned shifted = (1u << 2) | (1u << 4) | (1u << 5);
    OwnInstance aligned(&p);
    ASSERT_TRUE(aligned.h);
    EXPECT_EQ(KVXD_attachSbr(aligned.h, persistent.data(), scratch.data(), 0, 0), 0);
    if (kRecordAlignment >= 8) {
        // Hosts with 8-byte pointers are asked for 8 already: such records
        // never make an instance.
        OwnInstance four(&p, shifted, KVXD_CREATE_MISALIGNED);
        EXPECT_EQ(four.h, nullptr);
    } else {
        OwnInstance four(&p, shifted);
        ASSERT_TRUE(four.h);
        EXPECT_EQ(KVXD_attachSbr(four.h, persistent.data(), scratch.data(), 0, 0), -1);
    }
}
