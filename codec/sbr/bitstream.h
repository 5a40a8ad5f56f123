// Reading one SBR payload, sbr_extension_data() of ISO/IEC 14496-3 (MPEG-4
// SBR), for a single channel element (one channel) or a channel pair
// element (two channels): the optional CRC bits (skipped, not checked), the
// optional sbr_header() and the frame data, into SbrChannelFrame with the
// grid borders resolved and the delta coding of envelopes and noise floors
// undone (absolute quantized values, balance values for the second channel
// of a coupled pair).
//
// The payload is the bytes of an EXT_SBR_DATA or EXT_SBR_DATA_CRC extension
// payload of a fill element, starting right after its 4-bit extension type
// (bit 0 is the most significant bit of data[0]), with its length in bits.
// Bits after the frame data (the byte alignment) are not looked at.
//
// Across frames the caller keeps one SbrParseState per element: the header
// in force with its frequency tables, and per channel what time-direction
// delta coding refers to (the last envelope of the previous frame and its
// frequency resolution, the last noise floor).
//
// Every loop is bounded by the grid and table sizes, and every index stays
// inside the arrays of frame.h and freq.h whatever the payload holds; reads
// past the payload's end give zeros and end in SBR_PARSE_ERR_OVERRUN.
#pragma once

#include <cstdint>

#include "sbr/frame.h"
#include "sbr/freq.h"

// Where a parametric stereo extension (bs_extension_id 2) lies in the
// payload: ps_data() starts at bit_offset and may take up to bit_count bits
// (what remained of bs_extension_size's bytes after the id). Only the first
// one of a frame is recorded; the rest of that extended data is skipped.
struct SbrPsLocation {
    uint8_t present;
    uint32_t bit_offset;
    uint32_t bit_count;
};

// Per channel, what the next frame's time-direction delta coding refers to.
struct SbrChannelHistory {
    int8_t env[kSbrMaxMasterBands];   // last envelope of the frame, per band of env_freq_res
    int8_t noise[kSbrMaxNoiseBands];  // last noise floor of the frame
    uint8_t env_freq_res;             // 0 f_low, 1 f_high
    uint8_t valid;                    // 0: no usable previous values (start, reset, error)
};

// Everything the reader keeps between frames of one element (about 340
// bytes: sizeof is checked in the tests).
struct SbrParseState {
    SbrHeader header;        // the header in force (valid when have_header)
    SbrFreqTables tables;    // its frequency tables
    int32_t fs_sbr;          // the SBR output rate the tables were made for
    uint8_t have_header;     // a header with valid tables has been read
    uint8_t reset_pending;   // a reset not yet reported by an SBR_PARSE_OK frame
    SbrChannelHistory hist[2];
};

// One frame's result.
struct SbrFrameData {
    uint8_t num_channels;   // 1 or 2
    uint8_t coupling;       // bs_coupling (pair only)
    uint8_t header_present; // bs_header_flag was set
    uint8_t reset;          // the header changed the frequency tables (or was the first):
                            // the SBR tool restarts (ISO/IEC 14496-3 SBR reset). Reported
                            // with the first SBR_PARSE_OK frame since the change, so a
                            // reset in a frame that failed is not lost.
    SbrPsLocation ps;
    SbrChannelFrame ch[2];
};

enum SbrParseStatus {
    SBR_PARSE_OK = 0,
    SBR_PARSE_NO_HEADER = 1,        // no header yet: the frame cannot be decoded (nothing read
                                    // beyond bs_header_flag); not an error of the stream
    SBR_PARSE_ERR_RANGE = -1,       // a field or a decoded value outside its allowed range
    SBR_PARSE_ERR_NO_PREV = -2,     // time-direction delta coding with no valid previous values
    SBR_PARSE_ERR_OVERRUN = -3,     // the syntax needs more bits than the payload has
    SBR_PARSE_ERR_TABLES = -4,      // the header gives no valid frequency tables for the rate
    SBR_PARSE_ERR_ARGS = -5         // bad call (null pointers, channels not 1 or 2)
};

// Forget everything: no header, no history.
void sbr_parse_init(SbrParseState* st);
// Forget both channels' history: the next frame decodes only if it needs no
// previous values.
void sbr_parse_forget_history(SbrParseState* st);

// Reads one payload of num_bits bits for an element of num_channels (1: SCE,
// 2: CPE) channels; crc: the payload is EXT_SBR_DATA_CRC. fs_sbr is the SBR
// output rate (twice the core rate); a change of it makes new tables from
// the header in force (a reset).
//
// On SBR_PARSE_OK *out holds the frame and st the history for the next one.
// On an error *out is not usable; the header in force stays (unless the
// header itself was bad: then none is), the history is invalidated, so the
// next frame decodes only if it needs no previous values.
SbrParseStatus sbr_parse_frame(SbrParseState* st, const uint8_t* data, uint32_t num_bits, bool crc,
                               int num_channels, int32_t fs_sbr, SbrFrameData* out);
