// Raw data block parser.
#pragma once

#include <cstdint>

struct MP4AACDEC_QUVA_Obj;

// Syntactic element ids.
enum : uint16_t { ID_SCE = 0, ID_CPE = 1, ID_CCE = 2, ID_LFE = 3, ID_DSE = 4, ID_PCE = 5, ID_FIL = 6, ID_END = 7 };

// Decodes one raw data block into the output buffer. Greater than 0 on
// success (16 x the words the FIFO moved into its cache); 0 or negative on
// failure.
int16_t aacDecode(MP4AACDEC_QUVA_Obj* dec);

// Interleaves the PCM of the block's channels (staged in channel 0's
// coefficient buffer) into the output buffer; one channel is duplicated.
void write_output(MP4AACDEC_QUVA_Obj* dec, int channels);

// Reads one fill element after its id and drops it, whatever its type.
void kvxdec_getfill(MP4AACDEC_QUVA_Obj* dec);

