// Synthesis filter bank: inverse MDCT, windowing and overlap-add.
#pragma once

struct MP4AACDEC_QUVA_Obj;

extern "C" {

// Sets the first-block flag; the last step of every decoder reset.
void kvxdec_aacFilterBankInit(MP4AACDEC_QUVA_Obj* state);

}  // extern "C"
