// Sampling-rate table and the band layouts of the two window-sequence kinds.
#pragma once

#include <cstdint>

#include "tables/band_layout.h"
#include "tables/band_tables.h"

struct MP4AACDEC_QUVA_Obj;

// Rebuilds both band layouts of the instance for the given rate.
void kvxdec_infoinit(MP4AACDEC_QUVA_Obj* dec, const SampRateInfo* sri);

// Fills the grouping fields of a working copy of the eight-short layout from
// the group ends of one frame (each an exclusive window index, the last 8):
// group lengths, and band ends in the order a grouped short frame is
// transmitted, group after group, band j of a group being group length x
// short band width j lines wide.
void group_layout(BandInfo* copy, const uint8_t* windowGroups);

