// Transport headers: the stored fields of the last ADTS header and of the
// ADIF header.
#pragma once

#include <cstdint>

extern "C" {

struct AdtsHeader {
    int16_t id;
    int16_t layer;
    int16_t protection_absent;
    int16_t profile;
    int16_t sampling_frequency_index;
    int16_t channel_configuration;
    int16_t original_copy;
    int16_t home;
    int16_t copyright_identification_bit;
    int16_t copyright_identification_start;
    int16_t aac_frame_length;  // bytes; above 1536 replaced by 16
    int16_t adts_buffer_fullness;
    int16_t number_of_raw_data_blocks_in_frame;
};

struct AdifHeader {
    int16_t copyright_id_present;
    int16_t original_copy;
    int16_t home;
    int16_t bitstream_type;
    uint32_t bitrate;
    int16_t num_program_config_elements;  // coded value + 1
};

struct MP4AACDEC_QUVA_Obj;

// Scans for an ADTS syncword or the ADIF identifier; 1 when synchronised.
int kvxdec_Synchronize(MP4AACDEC_QUVA_Obj* dec);
int kvxdec_ADTS_fixed_header(MP4AACDEC_QUVA_Obj* dec);
int kvxdec_ADTS_variable_header(MP4AACDEC_QUVA_Obj* dec);
int kvxdec_ADTS_error_check(MP4AACDEC_QUVA_Obj* dec);
// Reads the ADIF header behind its identifier; 1 when the selected program
// was the last program config element.
int aacDecodeADIFHeader(MP4AACDEC_QUVA_Obj* dec);

constexpr int16_t kMaxAdtsFrameLength = 1536;
constexpr int16_t kOversizeFrameLength = 16;

}  // extern "C"
