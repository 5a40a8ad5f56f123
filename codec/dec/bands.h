// Sampling-rate table and the band layouts of the two window-sequence kinds.
#pragma once

#include <cstdint>

#include "tables/band_layout.h"
#include "tables/band_tables.h"

extern BandInfo only_long_kvxdec_info;
extern BandInfo kvxdec_eight_short_kvxdec_info;
extern BandInfo* win_seq_kvxdec_info[4];
extern BandInfo* kvxdec_winmap[4];
extern int16_t kvxdec_sfbwidth128[16];

// Rebuilds both band layouts for the given rate.
void kvxdec_infoinit(const SampRateInfo* sri);

// Fills the grouping fields of a working copy of the eight-short layout from
// the group ends of one frame (each an exclusive window index, the last 8):
// group lengths, and band ends in the order a grouped short frame is
// transmitted, group after group, band j of a group being group length x
// short band width j lines wide.
void group_layout(BandInfo* copy, const uint8_t* windowGroups);

