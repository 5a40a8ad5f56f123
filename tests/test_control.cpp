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
    EXPECT_EQ(vals(obj->state, obj->firstBlock), vals(STATE_SEARCH, 1));
    // The bit rate is 0: no ADTS header yet.
    const KVXD_Status st = status_of(h);
    EXPECT_EQ(vals(st.size, st.bitsNeeded, st.errorCount, st.lastError, st.sampleRate, st.bitRate, st.numChannels,
                   st.profile),
              vals(40, 128, 0, 0, 44100, 0, 0, 0));
}

TEST(Control, SetParametersSelectsRateAndBitRateFollowsFrameLength) {
    IALG_Handle h;
    MP4AACDEC_QUVA_Obj* obj = make_decoder(false, &h);
    KVXD_Status in{};
    in.numChannels = 2;
    in.sampleRateIndex = 3;
    in.rawStream = 1;
    EXPECT_EQ(KVXD_control(h, KVXD_SETPARAMS, &in), 0);
    EXPECT_EQ(vals(obj->rawStream, obj->mcInfo.num_channels), vals(1, 2));
    obj->adts.aac_frame_length = 384;
    const KVXD_Status st = status_of(h);
    EXPECT_EQ(vals(st.sampleRate, st.bitRate, st.numChannels), vals(48000, 144000, 2));
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
    EXPECT_EQ(vals(obj->errorCount, obj->lastError), vals(0, 0));
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
    // Kept: the last error, the raw flag, the bits needed, the output buffer.
    EXPECT_EQ(vals(obj->lastError, obj->rawStream, obj->bitsNeeded), vals(KVXD_ERR_CCE, 1, 999));
    EXPECT_EQ(obj->outputBuffer, pcm);
    // Reset, the bands rebuilt at 44.1 kHz.
    EXPECT_EQ(vals(obj->state, obj->errorCount, obj->firstBlock, obj->coef[1][1023], obj->overlap[0][0],
                   obj->windowShapeState[1][1], obj->mcInfo.sampling_rate_idx, obj->fifo.status),
              vals(STATE_SEARCH, 0, 1, 0, 0, 0, 4, DECFIFO_OK));
    const DecoderContext& ctx = *obj->ctx;
    EXPECT_EQ(vals(ctx.bno, ctx.currentProgram, ctx.pnsSeed, ctx.rawWrite, ctx.longBands.num_swb_frame),
              vals(0, -1, 0, 0, 49));
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
    // Later appends are dropped: the write position is the saved one too.
    EXPECT_EQ(vals(obj->pceCount, obj->headerPending, obj->blockCount, obj->fifo.read_ptr - obj->fifoBuffer,
                   obj->fifo.write_ptr - obj->fifoBuffer, obj->fifo.cache, obj->fifo.bits_left, obj->fifo.status),
              vals(1, 1, 2, 5, 9, 0xA000, 3, DECFIFO_OK));

    // In frame mode neither does anything.
    obj = make_decoder(true);
    obj->blockCount = 2;
    kvxdec_context_save(obj);
    obj->blockCount = 0;
    obj->fifo.status = DECFIFO_UNDERRUN;
    kvxdec_context_restore(obj);
    EXPECT_EQ(vals(obj->blockCount, obj->fifo.status), vals(0, DECFIFO_UNDERRUN));
}

}  // namespace
