// Decoder instance: reset, control commands, status record, read context.
#include <gtest/gtest.h>

#include <cstring>

#include "dec/bands.h"
#include "test_util.h"

namespace {

KVXD_Status status_of(IALG_Handle h) {
    KVXD_Status st;
    std::memset(&st, 0xEE, sizeof st);
    EXPECT_EQ(KVXD_control(h, KVXD_GETSTATUS, &st), 0);
    return st;
}

TEST(Control, StatusAfterInitInStreamingMode) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    EXPECT_EQ(obj->state, STATE_SEARCH);
    EXPECT_EQ(obj->firstBlock, 1);
    KVXD_Status st = status_of(h);
    EXPECT_EQ(st.size, 40);
    EXPECT_EQ(st.bitsNeeded, 128);
    EXPECT_EQ(st.errorCount, 0);
    EXPECT_EQ(st.lastError, 0u);
    EXPECT_EQ(st.sampleRate, 44100u);
    EXPECT_EQ(st.bitRate, 0u);  // no ADTS header yet
    EXPECT_EQ(st.numChannels, 0);
    EXPECT_EQ(st.profile, 0);
}

TEST(Control, SetParametersSelectsRateAndBitRateFollowsFrameLength) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    KVXD_Status in{};
    in.numChannels = 2;
    in.sampleRateIndex = 3;
    in.rawStream = 1;
    EXPECT_EQ(KVXD_control(h, KVXD_SETPARAMS, &in), 0);
    EXPECT_EQ(obj->rawStream, 1u);
    EXPECT_EQ(obj->mcInfo.num_channels, 2);
    obj->adts.aac_frame_length = 384;
    KVXD_Status st = status_of(h);
    EXPECT_EQ(st.sampleRate, 48000u);
    EXPECT_EQ(st.bitRate, 144000u);
    EXPECT_EQ(st.numChannels, 2);
    // The band layout follows: 48 kHz has 49 long bands.
    EXPECT_EQ(obj->ctx->longBands.num_swb[0], 49);

    in.sampleRateIndex = 11;
    KVXD_control(h, KVXD_SETPARAMS, &in);
    EXPECT_EQ(status_of(h).sampleRate, 8000u);
    EXPECT_EQ(obj->ctx->longBands.num_swb[0], 40);
}

TEST(Control, ResetErrorsAndBitsNeeded) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    obj->errorCount = 7;
    obj->lastError = KVXD_ERR_BLOCK;
    KVXD_Status st{};
    EXPECT_EQ(KVXD_control(h, KVXD_RESETERRORS, &st), 0);
    EXPECT_EQ(obj->errorCount, 0);
    EXPECT_EQ(obj->lastError, 0u);
    st.bitsNeeded = 0xFFFF;
    EXPECT_EQ(KVXD_control(h, KVXD_SETBITSNEEDED, &st), 0);
    EXPECT_EQ(obj->bitsNeeded, 65535u);  // zero-extended
}

TEST(Control, ProfileComesFromTheProgramInTheAdifState) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    obj->adts.profile = 1;
    obj->progConfig.profile = 3;
    EXPECT_EQ(status_of(h).profile, 1);
    obj->state = STATE_ADIF;
    EXPECT_EQ(status_of(h).profile, 3);
}

TEST(Control, FlushResetsStreamStateButKeepsSettings) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    int16_t pcm[16];
    aacdecode_setOutputBuffer(obj, pcm);
    obj->rawStream = 1;
    obj->bitsNeeded = 999;
    obj->lastError = KVXD_ERR_CCE;
    obj->errorCount = 3;
    obj->state = STATE_FRAMES;
    obj->firstBlock = 0;
    obj->coef[1][1023] = 5;
    obj->overlap[0][0] = 5;
    obj->windowShapeState[1][1] = 1;
    obj->mcInfo.sampling_rate_idx = 9;
    obj->fifo.status = DECFIFO_UNDERRUN;
    obj->ctx->bno = 12;
    obj->ctx->currentProgram = 5;
    obj->ctx->pnsSeed = 99;
    obj->ctx->rawWrite = 1;
    aacdecode_flush(obj);
    EXPECT_EQ(obj->state, STATE_SEARCH);
    EXPECT_EQ(obj->errorCount, 0);
    EXPECT_EQ(obj->lastError, KVXD_ERR_CCE);
    EXPECT_EQ(obj->rawStream, 1u);
    EXPECT_EQ(obj->bitsNeeded, 999u);
    EXPECT_EQ(obj->outputBuffer, pcm);
    EXPECT_EQ(obj->firstBlock, 1);
    EXPECT_EQ(obj->coef[1][1023], 0);
    EXPECT_EQ(obj->overlap[0][0], 0);
    EXPECT_EQ(obj->windowShapeState[1][1], 0);
    EXPECT_EQ(obj->mcInfo.sampling_rate_idx, 4);
    EXPECT_EQ(obj->fifo.status, DECFIFO_OK);
    EXPECT_EQ(obj->ctx->bno, 0u);
    EXPECT_EQ(obj->ctx->currentProgram, -1);
    EXPECT_EQ(obj->ctx->pnsSeed, 0u);
    EXPECT_EQ(obj->ctx->rawWrite, 0u);
    EXPECT_EQ(obj->ctx->longBands.num_swb_frame, 49);  // rebuilt at 44.1 kHz
}

TEST(Control, ContextSaveAndRestore) {
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false);
    obj->pceCount = 1;
    obj->headerPending = 1;
    obj->blockCount = 2;
    obj->fifo.read_ptr = obj->fifoBuffer + 5;
    obj->fifo.write_ptr = obj->fifoBuffer + 9;
    obj->fifo.cache = 0xA000;
    obj->fifo.bits_left = 3;
    kvxdec_context_save(obj);
    obj->pceCount = 4;
    obj->headerPending = 0;
    obj->blockCount = 0;
    obj->fifo.read_ptr = obj->fifoBuffer + 7;
    obj->fifo.write_ptr = obj->fifoBuffer + 20;
    obj->fifo.bits_left = 0;
    obj->fifo.status = DECFIFO_UNDERRUN;
    kvxdec_context_restore(obj);
    EXPECT_EQ(obj->pceCount, 1);
    EXPECT_EQ(obj->headerPending, 1);
    EXPECT_EQ(obj->blockCount, 2);
    EXPECT_EQ(obj->fifo.read_ptr, obj->fifoBuffer + 5);
    EXPECT_EQ(obj->fifo.write_ptr, obj->fifoBuffer + 9);  // later appends are dropped
    EXPECT_EQ(obj->fifo.cache, 0xA000);
    EXPECT_EQ(obj->fifo.bits_left, 3);
    EXPECT_EQ(obj->fifo.status, DECFIFO_OK);

    // In frame mode neither does anything.
    obj = make_decoder(true);
    obj->blockCount = 2;
    kvxdec_context_save(obj);
    obj->blockCount = 0;
    obj->fifo.status = DECFIFO_UNDERRUN;
    kvxdec_context_restore(obj);
    EXPECT_EQ(obj->blockCount, 0);
    EXPECT_EQ(obj->fifo.status, DECFIFO_UNDERRUN);
}

TEST(Control, SamplesAreHandedOutFromTheOutputBuffer) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    int16_t pcm[2048];
    KVXD_setOutputBuffer(h, pcm);
    obj->numSamples = 2048;
    uint16_t n = 0;
    EXPECT_EQ(KVXD_getSamples(h, &n), pcm);
    EXPECT_EQ(n, 2048);
}

}  // namespace
