// Channel elements and individual channel streams: side information,
// sections, scale factors and spectral data.
#pragma once

#include <cstdint>

#include "dec/bands.h"
#include "dec/mcinfo.h"

struct MP4AACDEC_QUVA_Obj;
struct TnsInfo;

// Results of kvxdec_huffdecode and kvxdec_getics (bit 15 set: failure).
constexpr int16_t kElementIsLfe = static_cast<int16_t>(0x8001);
constexpr int16_t kElementNotMapped = static_cast<int16_t>(0x8002);
constexpr int16_t kElementFailed = static_cast<int16_t>(0xFFFF);
constexpr int16_t kIcsPulseInShort = static_cast<int16_t>(0x8008);
constexpr int16_t kIcsGainControl = static_cast<int16_t>(0x8010);

enum : uint8_t { ZERO_HCB = 0, ESC_HCB = 11, RESERVED_HCB = 12, NOISE_HCB = 13, INTENSITY_HCB2 = 14, INTENSITY_HCB = 15 };

// One section: its codebook and the (group, band) index after its last band.
struct SectionEntry {
    uint8_t codebook;
    uint8_t end;
};
// Valid section data need at most the frame's band total (120) + 1 entries.
constexpr int kMaxSections = 122;

// Pulse data of the channel stream being decoded.
struct PulseInfo {
    int32_t pulse_data_present;
    int32_t number_pulse;  // pulses - 1
    int32_t pulse_start_sfb;
    int32_t pulse_offset[4];
    int32_t pulse_amp[4];
};

// Decodes a channel element into its slots; on success the mask of the slots
// decoded (bit c for slot c), else one of the failures above.
int16_t kvxdec_huffdecode(MP4AACDEC_QUVA_Obj* dec, int32_t id, MC_Info* mi);
// A coupling channel element after its id, read whole and dropped (its
// coupled signal is not played): the header, its channel stream decoded in
// slot 1 (with `slot_free`, in slot 1's own buffers; else in the buffer of
// the last good spectra, which then holds nothing to conceal from), and its
// gain element lists. False when it does not parse.
bool kvxdec_skip_cce(MP4AACDEC_QUVA_Obj* dec, bool slot_free);
void kvxdec_getgroup(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, uint8_t* windowGroups);
uint8_t kvxdec_getmask(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, const uint8_t* windowGroups,
                       uint8_t maxSfb, uint8_t* msMask);
int kvxdec_get_tns(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, TnsInfo* tns);
void aacdec_vel_lt_decode(MP4AACDEC_QUVA_Obj* dec, uint8_t windowSequence, uint8_t maxSfb, int w);

// Section data of channel c with window channel w: fills the list, its
// length and sectCodebook[c], and sets coded to the bands of a group that
// take in every band outside zero sections: max_sfb, or the band count when
// a section runs beyond it; 0 when the data are invalid.
int get_sections(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int c, int w,
                        SectionEntry* list, int* count, int* coded);
// Scale factors of channel c by the codebooks get_sections wrote, the first
// `coded` bands of each group (get_sections); 0 when the data are invalid.
int32_t kvxdec_hufffac(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, const uint8_t* windowGroups,
                       uint16_t global_gain, int16_t* scaleFactors, int c, int coded);

