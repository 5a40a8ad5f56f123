// Records of the host media framework that cross into an audio decode
// plug-in, and the host library's description converter. The records are
// those of the public C header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zoraac.h"

extern "C" {

// Converts the host's stream description into the plug-in's; 0 on success,
// -1 when the description is missing or of an unknown version.
int audio_desc_zor_2_dm320(const void* hostDesc, ZorHostDesc* desc);

}  // extern "C"
