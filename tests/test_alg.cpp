// Algorithm objects: static creation, memory records, function tables and
// forwarding between the two levels.
#include <gtest/gtest.h>

#include <cstring>

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
    EXPECT_EQ(obj->frameMode, 1);
    EXPECT_EQ(obj->defaultBitsNeeded, 72u);
    EXPECT_EQ(obj->bitsNeeded, 72u);
    for (uint32_t i = 0; i < static_block_bytes[7]; ++i) ASSERT_EQ(block(7)[i], 0) << i;
    for (int k = 2; k <= 6; ++k)
        for (uint32_t i = 0; i < static_block_bytes[k]; ++i)
            ASSERT_EQ(block(k)[i], 0) << "block " << k << " byte " << i;
}

TEST_F(AlgTest, CreateWithStatusLinksTheTwoLevels) {
    KVXD_CreateStatus st;
    std::memset(&st, 0xAB, sizeof st);
    IKVXD_Params p = IKVXD_PARAMS;
    p.frameMode = 0;
    IALG_Handle h = KVXD_createStatic(&p, &st);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(st.code, KVXD_CREATE_OK);
    EXPECT_EQ(st.index, 0);
    auto* outer = reinterpret_cast<KVXD_KELVARIS_Obj*>(h);
    EXPECT_EQ(outer->fxns, &KVXD_KELVARIS_IKVXD);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(outer->inner), block(1));
    EXPECT_EQ(alg_fxns(outer->inner), &MP4AACDEC_QUVA_IMP4AACDEC);
    for (int k = 0; k < kOuterRecords; ++k) EXPECT_EQ(outer->memTab[k].base, block(k));
    EXPECT_EQ(inner_obj(h)->frameMode, 0);
    EXPECT_EQ(inner_obj(h)->bitsNeeded, 128u);
}

TEST_F(AlgTest, SizeMismatchIsReportedWithIndexAndBothSizes) {
    g_wraps.extra_record1_bytes = 1;  // inner record 1 = outer record 2
    KVXD_CreateStatus st{};
    EXPECT_EQ(KVXD_createStatic(nullptr, &st), nullptr);
    EXPECT_EQ(st.code, KVXD_CREATE_SIZE_MISMATCH);
    EXPECT_EQ(st.index, 2);
    EXPECT_EQ(st.value1, 4473);
    EXPECT_EQ(st.value2, 4472);
    // Without a status record nothing is verified and creation succeeds.
    EXPECT_NE(KVXD_createStatic(nullptr, nullptr), nullptr);
}

TEST_F(AlgTest, RecordsAreCarvedEndToEndPerChannel) {
    MP4AACDEC_QUVA_Obj* o = make_decoder(false);
    auto at = [](int k, size_t off) { return static_cast<void*>(block(k) + off); };
    EXPECT_EQ(static_cast<void*>(o), at(1, 0));
    EXPECT_EQ(static_cast<void*>(o->msMask[0]), at(2, 0));
    EXPECT_EQ(static_cast<void*>(o->msMask[1]), at(2, 128));
    EXPECT_EQ(static_cast<void*>(o->chanAux[0]), at(2, 256));
    EXPECT_EQ(static_cast<void*>(o->chanAux[1]), at(2, 280));
    EXPECT_EQ(static_cast<void*>(o->tnsData[0]), at(2, 304));
    EXPECT_EQ(static_cast<void*>(o->tnsData[1]), at(2, 304 + 2084));
    EXPECT_EQ(static_cast<void*>(o->tnsData[1] + 1), at(2, 4472));
    EXPECT_EQ(static_cast<void*>(o->overlap[0]), at(3, 0));
    EXPECT_EQ(static_cast<void*>(o->overlap[1]), at(3, 4096));
    EXPECT_EQ(static_cast<void*>(o->predUsed[0]), at(3, 8192));
    EXPECT_EQ(static_cast<void*>(o->predUsed[1] + 128), at(3, 9216));
    EXPECT_EQ(static_cast<void*>(o->windowGroups[0]), at(4, 0));
    EXPECT_EQ(static_cast<void*>(o->windowGroups[1]), at(4, 8));
    EXPECT_EQ(static_cast<void*>(o->sectCodebook[0]), at(4, 16));
    EXPECT_EQ(static_cast<void*>(o->sectCodebook[1]), at(4, 144));
    EXPECT_EQ(static_cast<void*>(o->scaleFactors[0]), at(4, 272));
    EXPECT_EQ(static_cast<void*>(o->scaleFactors[1] + 128), at(4, 784));
    EXPECT_EQ(static_cast<void*>(o->coef[0]), at(5, 0));
    EXPECT_EQ(static_cast<void*>(o->coef[1] + 1024), at(5, 8192));
    EXPECT_EQ(static_cast<void*>(o->fifoBuffer), at(6, 0));
    EXPECT_EQ(o->fifoWords, 892);
    EXPECT_EQ(o->fifo.size, 892);
    EXPECT_EQ(o->fifo.buffer, o->fifoBuffer);
}

TEST_F(AlgTest, AllocAndFreeAgreeAtBothLevels) {
    IALG_Handle h = KVXD_createStatic(nullptr, nullptr);
    EXPECT_EQ(KVXD_KELVARIS_numAlloc(), 7);
    EXPECT_EQ(MP4AACDEC_QUVA_numAlloc(), 8);

    IALG_MemRec req[8] = {}, freed[8] = {};
    ASSERT_EQ(KVXD_KELVARIS_alloc(nullptr, nullptr, req), 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(req[i].size, expected_record_bytes[i]) << i;
        EXPECT_EQ(req[i].alignment, 4);
        EXPECT_EQ(req[i].space, IALG_EXTERNAL);
    }
    const IALG_MemAttrs attrs[7] = {IALG_PERSIST, IALG_PERSIST, IALG_SCRATCH, IALG_PERSIST,
                                    IALG_SCRATCH, IALG_SCRATCH, IALG_PERSIST};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(req[i].attrs, attrs[i]) << i;

    ASSERT_EQ(KVXD_KELVARIS_free(h, freed), 7);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(freed[i].base, block(i)) << i;

    // The inner free gives back exactly the alloc table with the bases of init.
    IALG_MemRec inner_req[6] = {}, inner_freed[6] = {};
    ASSERT_EQ(MP4AACDEC_QUVA_alloc(nullptr, nullptr, inner_req), 6);
    IALG_Handle in = reinterpret_cast<KVXD_KELVARIS_Obj*>(h)->inner;
    ASSERT_EQ(MP4AACDEC_QUVA_free(in, inner_freed), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(inner_freed[i].size, inner_req[i].size);
        EXPECT_EQ(inner_freed[i].alignment, inner_req[i].alignment);
        EXPECT_EQ(inner_freed[i].attrs, inner_req[i].attrs);
        EXPECT_EQ(inner_freed[i].base, block(i + 1)) << i;
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
    const uint32_t want[5] = {2, 3, 3, 2602, 0};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(info.word[k], want[k]);
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

}  // namespace
