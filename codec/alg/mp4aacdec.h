// Inner algorithm MP4AACDEC (implementation QUVA): the AAC decoder proper
// behind the IALG protocol.
#pragma once

#include "alg/ialg.h"

extern const IMP4AACDEC_Fxns MP4AACDEC_QUVA_IMP4AACDEC;
extern const IALG_Fxns MP4AACDEC_QUVA_IALG;
extern const IMP4AACDEC_Params IMP4AACDEC_PARAMS;

constexpr int kInnerRecords = 6;

void MP4AACDEC_QUVA_activate(IALG_Handle h);
void MP4AACDEC_QUVA_deactivate(IALG_Handle h);
int MP4AACDEC_QUVA_alloc(const IALG_Params* params, IALG_Fxns** parentFxns, IALG_MemRec* memTab);
int MP4AACDEC_QUVA_free(IALG_Handle h, IALG_MemRec* memTab);
int MP4AACDEC_QUVA_initObj(IALG_Handle h, const IALG_MemRec* memTab, IALG_Handle parent,
                           const IALG_Params* params);
int MP4AACDEC_QUVA_numAlloc(void);
int MP4AACDEC_QUVA_control(IALG_Handle h, int16_t cmd, KVXD_Status* status);
uint16_t MP4AACDEC_QUVA_process(IALG_Handle h, const uint16_t* words, uint16_t count);
int16_t* MP4AACDEC_QUVA_getSamples(IALG_Handle h, uint16_t* count);
void MP4AACDEC_QUVA_flush(IALG_Handle h);
void MP4AACDEC_QUVA_setOutputBuffer(IALG_Handle h, int16_t* buffer);
void MP4AACDEC_QUVA_setConstOverlayCallback(IALG_Handle h, KVXD_OverlayCallback cb);
void MP4AACDEC_QUVA_setTextOverlayCallback(IALG_Handle h, KVXD_OverlayCallback cb);
void MP4AACDEC_QUVA_setGetBitsCallback(IALG_Handle h, KVXD_GetBitsCallback cb);
void MP4AACDEC_QUVA_flushFifo(IALG_Handle h);

