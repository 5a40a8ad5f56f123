// Function tables of the inner algorithm. Kept apart from the entries so that
// every table slot is a reference to another object file's symbol.
#include "alg/mp4aacdec.h"

const IMP4AACDEC_Fxns MP4AACDEC_QUVA_IMP4AACDEC = {
    {
        &MP4AACDEC_QUVA_IALG,
        MP4AACDEC_QUVA_activate,
        MP4AACDEC_QUVA_alloc,
        MP4AACDEC_QUVA_control,
        MP4AACDEC_QUVA_deactivate,
        MP4AACDEC_QUVA_free,
        MP4AACDEC_QUVA_initObj,
        nullptr,
        MP4AACDEC_QUVA_numAlloc,
    },
    MP4AACDEC_QUVA_process,
    MP4AACDEC_QUVA_getSamples,
    MP4AACDEC_QUVA_flush,
    MP4AACDEC_QUVA_setOutputBuffer,
    MP4AACDEC_QUVA_setConstOverlayCallback,
    MP4AACDEC_QUVA_setTextOverlayCallback,
    MP4AACDEC_QUVA_setGetBitsCallback,
    MP4AACDEC_QUVA_flushFifo,
};

// The plain IALG view: the first nine slots, identified by its own address.
const IALG_Fxns MP4AACDEC_QUVA_IALG = {
    &MP4AACDEC_QUVA_IALG,
    MP4AACDEC_QUVA_activate,
    MP4AACDEC_QUVA_alloc,
    MP4AACDEC_QUVA_control,
    MP4AACDEC_QUVA_deactivate,
    MP4AACDEC_QUVA_free,
    MP4AACDEC_QUVA_initObj,
    nullptr,
    MP4AACDEC_QUVA_numAlloc,
};
