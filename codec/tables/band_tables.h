// Scale-factor band ends per rate group (generated, see band_tables.cpp).
#pragma once

#include <cstdint>

#include "tables/band_layout.h"

// 16 entries indexed by sampling_frequency_index; 12..15 repeat 8000 Hz.
extern const SampRateInfo samp_rate_kvxdec_info[16];
extern const int16_t kvxdec_sfb_96_1024[41], kvxdec_sfb_64_1024[47], kvxdec_sfb_48_1024[49],
    kvxdec_sfb_32_1024[51], kvxdec_sfb_24_1024[47], kvxdec_sfb_16_1024[43], kvxdec_sfb_8_1024[40];
extern const int16_t kvxdec_sfb_96_128[12], kvxdec_sfb_64_128[12], kvxdec_sfb_48_128[14],
    kvxdec_sfb_24_128[15], kvxdec_sfb_16_128[15], kvxdec_sfb_8_128[15];
