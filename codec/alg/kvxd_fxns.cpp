// Function table of the outer algorithm. Kept apart from the entries so that
// every table slot is a reference to another object file's symbol.
#include "alg/kvxd.h"

// Identity of the outer implementation; nothing reads its contents.
const uint8_t KVXD_KELVARIS_IALG[36] = {};

const IKVXD_Fxns KVXD_KELVARIS_IKVXD = {
    {
        KVXD_KELVARIS_IALG,
        KVXD_KELVARIS_activate,
        KVXD_KELVARIS_alloc,
        KVXD_KELVARIS_control,
        KVXD_KELVARIS_deactivate,
        KVXD_KELVARIS_free,
        KVXD_KELVARIS_initObj,
        nullptr,
        KVXD_KELVARIS_numAlloc,
    },
    KVXD_KELVARIS_process,
    KVXD_KELVARIS_getSamples,
    KVXD_KELVARIS_flush,
    KVXD_KELVARIS_setOutputBuffer,
    KVXD_KELVARIS_setConstOverlayCallback,
    KVXD_KELVARIS_setTextOverlayCallback,
    KVXD_KELVARIS_setGetBitsCallback,
    nullptr,
};
