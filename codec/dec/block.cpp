// Raw data block parser.
#include "dec/block.h"

#include "dec/instance.h"

// count (4 bits, 15 escapes to 14 + 8 more bits), then 8 * count bits of
// payload, all dropped: the extension type and its data take the same path.
void kvxdec_getfill(MP4AACDEC_QUVA_Obj* dec) {
    int count = aacdec_getbits(dec, 4);
    if (count == 15) count = 14 + aacdec_getbits(dec, 8);
    if (count == 0) return;
    aacdec_getbits(dec, 4);  // extension_type
    aacdec_getbits(dec, 4);
    for (int i = 1; i < count; ++i) aacdec_getbits(dec, 8);
}
