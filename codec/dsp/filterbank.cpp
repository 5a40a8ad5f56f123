#include "dsp/filterbank.h"

#include "dec/instance.h"

void kvxdec_aacFilterBankInit(MP4AACDEC_QUVA_Obj* state) { state->firstBlock = 1; }

void kvxdec_aacFilterBank(MP4AACDEC_QUVA_Obj*, uint8_t, uint16_t*, int32_t*, int16_t*, int16_t*) {}
