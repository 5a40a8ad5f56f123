// Reading the PS data of one frame (ps_data() of ISO/IEC 14496-3, the PS
// tool) into PsParams: the header fields in force, the envelope borders and
// each envelope's IID, ICC, IPD and OPD indices at their coded resolution.
// See ps.h for the use.
#pragma once

#include <cstdint>

#include "ps/ps.h"

// bit_count bits of data from bit bit_offset. True: p holds the frame.
// False: the data is damaged or there has been no PS header yet; p's
// envelopes are not usable (and time-differential data is refused until
// frequency-differential data comes).
bool ps_read_data(PsParams* p, const uint8_t* data, uint32_t bit_offset, uint32_t bit_count);
