#include "dsp/filterbank.h"

#include "dec/instance.h"

void kvxdec_aacFilterBankInit(MP4AACDEC_QUVA_Obj* state) { state->firstBlock = 1; }
