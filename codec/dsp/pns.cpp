// Perceptual noise substitution.
#include "dsp/tools.h"

void aacdec_pns(MC_Info*, const BandInfo*, int, int, const uint8_t*, const uint8_t*, const int16_t*,
                const int32_t*, int32_t* const*) {}
