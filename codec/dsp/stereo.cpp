// Mid/side and intensity stereo.
#include "dsp/tools.h"

void kvxdec_map_mask(const BandInfo*, const uint8_t*, uint8_t*, uint8_t*) {}

void kvxdec_synt(int16_t, const int32_t*, const int16_t* const*, const int16_t*, const uint8_t*,
                 const uint8_t*, int32_t*, int32_t*) {}

void kvxdec_intensity(MC_Info*, const BandInfo*, int, int, const uint8_t*, const uint8_t*, const int16_t*,
                      const int32_t*, int32_t* const*) {}
