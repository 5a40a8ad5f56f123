// Frame processing loop.
#include "dec/instance.h"

uint16_t aacdecode_process(MP4AACDEC_QUVA_Obj* obj, const uint16_t* words, uint16_t count) {
    (void)obj;
    (void)words;
    (void)count;
    return 0;
}
