// Temporal noise shaping.
#include "dsp/tools.h"

void kvxdec_tns_decode_subblock(int32_t*, int32_t*, int, const int16_t*, int32_t, const TnsWindow*,
                                MP4AACDEC_QUVA_Obj*) {}
