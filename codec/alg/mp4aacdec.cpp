#include "alg/mp4aacdec.h"

#include "dec/instance.h"

namespace {

MP4AACDEC_QUVA_Obj* dec(IALG_Handle h) { return reinterpret_cast<MP4AACDEC_QUVA_Obj*>(h); }

struct RecordRequest {
    uint32_t size;
    IALG_MemAttrs attrs;
};

const RecordRequest kRequests[kInnerRecords] = {
    {sizeof(MP4AACDEC_QUVA_Obj), IALG_PERSIST},
    {kSideInfoRecordBytes, IALG_SCRATCH},
    {kOverlapRecordBytes, IALG_PERSIST},
    {kBandRecordBytes, IALG_SCRATCH},
    {kCoefRecordBytes, IALG_SCRATCH},
    {kFifoRecordBytes, IALG_PERSIST},
};

}  // namespace

const IMP4AACDEC_Params IMP4AACDEC_PARAMS = {16, 0, 0, 1, 0};

void MP4AACDEC_QUVA_activate(IALG_Handle) {}
void MP4AACDEC_QUVA_deactivate(IALG_Handle) {}

int MP4AACDEC_QUVA_numAlloc(void) { return 8; }  // an upper bound; alloc fills 6

int MP4AACDEC_QUVA_alloc(const IALG_Params*, IALG_Fxns**, IALG_MemRec* memTab) {
    for (int i = 0; i < kInnerRecords; ++i) {
        memTab[i].size = kRequests[i].size;
        memTab[i].alignment = kRecordAlignment;
        memTab[i].space = IALG_EXTERNAL;
        memTab[i].attrs = kRequests[i].attrs;
    }
    return kInnerRecords;
}

int MP4AACDEC_QUVA_initObj(IALG_Handle h, const IALG_MemRec* memTab, IALG_Handle,
                           const IALG_Params* params) {
    aacdecode_init(dec(h), memTab[1].base, memTab[2].base, memTab[3].base, memTab[4].base,
                   memTab[5].base, memTab[5].size, params ? params : &IMP4AACDEC_PARAMS);
    return 0;
}

int MP4AACDEC_QUVA_free(IALG_Handle h, IALG_MemRec* memTab) {
    MP4AACDEC_QUVA_alloc(nullptr, nullptr, memTab);
    MP4AACDEC_QUVA_Obj* obj = dec(h);
    memTab[0].base = obj;
    memTab[1].base = obj->msMask[0];
    memTab[2].base = obj->overlap[0];
    memTab[3].base = obj->windowGroups[0];
    memTab[4].base = obj->coef[0];
    memTab[5].base = obj->fifoBuffer;
    return kInnerRecords;
}

int MP4AACDEC_QUVA_control(IALG_Handle h, int16_t cmd, KVXD_Status* status) {
    return aacdecode_control(dec(h), cmd, status);
}

uint16_t MP4AACDEC_QUVA_process(IALG_Handle h, const uint16_t* words, uint16_t count) {
    return aacdecode_process(dec(h), words, count);
}

int16_t* MP4AACDEC_QUVA_getSamples(IALG_Handle h, uint16_t* count) {
    return aacdecode_getSamples(dec(h), count);
}

void MP4AACDEC_QUVA_flush(IALG_Handle h) { aacdecode_flush(dec(h)); }

void MP4AACDEC_QUVA_setOutputBuffer(IALG_Handle h, int16_t* buffer) {
    aacdecode_setOutputBuffer(dec(h), buffer);
}

void MP4AACDEC_QUVA_setConstOverlayCallback(IALG_Handle, KVXD_OverlayCallback) {}
void MP4AACDEC_QUVA_setTextOverlayCallback(IALG_Handle, KVXD_OverlayCallback) {}

void MP4AACDEC_QUVA_setGetBitsCallback(IALG_Handle h, KVXD_GetBitsCallback cb) {
    dec(h)->fifo.get_bits_callback = cb;
}

void MP4AACDEC_QUVA_flushFifo(IALG_Handle h) { aacdecode_flushFifo(dec(h)); }
