// Channel configuration: the two channel slots, the program config element,
// and the mapping of syntax elements to slots.
#pragma once

#include <cstdint>

struct ChInfo {
    int32_t present;
    int32_t tag;
    int32_t is_cpe;
    int32_t common_window;
    int32_t is_left;
    int32_t paired_channel;
    int32_t window_channel;  // slot whose ICS information this channel uses
};

struct MC_Info {
    int32_t num_channels;
    int32_t num_front_sce;
    int32_t num_front_channels;
    int32_t num_side_channels;
    int32_t num_back_channels;
    int32_t num_lfe_channels;
    int32_t num_coupling_elements;
    int32_t coupling_tags[16];
    int32_t profile;
    int32_t sampling_rate_idx;
    ChInfo channel[2];
    // Stereo downmix of a layout of more channels (dec/downmix.h).
    uint8_t mix_shape[8];  // each channel's window shape of the last block
    uint16_t mix_done;     // elements of the layout decoded in this block, a bit each
    uint8_t mix_program;   // 1: the selected program has more than two front channels
    uint8_t mix_block;     // 1: the block being decoded is mixed
    uint8_t mix_element;   // the layout element being decoded
    uint8_t mix_last;      // 1: the sums hold a mixed block's tail (concealment goes on from them)
    uint8_t mix_channels;  // channels of the layout mixed
    // Channels of a layout found that is not played (more than two, and no
    // downmix; more than eight): the stream is refused. 0: none found.
    uint8_t more_channels;
    // The channel configuration (3..7) of raw blocks configured with more
    // than two channels: their layout to mix. 0: none.
    uint8_t mix_config;
    // Layouts mixed with SBR on each element (dec/downmix.h).
    uint8_t mix_sbr;          // 1: the block (or the last mixed one) plays SBR
    uint8_t mix_sbr_pending;  // the layout element whose SBR is still to run (0xFF: none)
    uint8_t mix_sbr_seen;     // 1: the block carries SBR data
    // A coupling channel element was read and dropped in the block (its
    // signal is not played), and (kept_spoiled) its channel stream took the
    // buffer of the last good spectra, which then holds nothing to conceal
    // from. The record is 180 bytes in the instance; the fields take them all.
    uint8_t cce_skipped;
    uint8_t kept_spoiled;
};

struct EleList {
    int32_t num_elements;
    int32_t is_cpe[16];
    int32_t tag_select[16];
};

struct Mixdown {
    int32_t present;
    int32_t element_number;
    int32_t pseudo_surround_enable;
};

struct ProgConfig {
    int32_t profile;
    int32_t sampling_rate_idx;
    EleList front, side, back, lfe, assoc_data, coupling;
    Mixdown mono_mixdown, stereo_mixdown, matrix_mixdown;
    uint8_t comments[257];  // comment bytes and a terminating zero
    // The record is 1100 bytes in the instance; the fields above take 1096.
    uint8_t reserved[4];
};

struct MP4AACDEC_QUVA_Obj;

// Channel positions of kvxdec_enter_chn; 0 looks up an existing channel.
enum : int8_t { CHN_LOOKUP = 0, CHN_FRONT = 'f', CHN_SIDE = 's', CHN_BACK = 'b', CHN_LFE = 'l' };

// Reads a program config element; the selected program's is taken as the
// stream's (keep false: read over and dropped).
int32_t kvxdec_get_prog_config(MP4AACDEC_QUVA_Obj* dec, bool keep = true);
int32_t kvxdec_enter_chn(int32_t is_cpe, int32_t tag, int8_t position, int32_t common_window,
                         MC_Info* mi);
// The program `tag` that comes with the stream's configuration (an
// AudioSpecificConfig's) rather than in its blocks: selected and taken as
// if read first. 1, or -1 when it is not played.
int32_t kvxdec_take_program(MP4AACDEC_QUVA_Obj* dec, const ProgConfig& pc, int32_t tag);
// The instance's context holds the selected program's tag (the first program
// config element parsed while it is negative selects its own tag) and
// whether implicit mapping has placed a channel pair.
int32_t kvxdec_chn_config(MP4AACDEC_QUVA_Obj* dec, int32_t id, int32_t tag, int32_t common_window, MC_Info* mi);
void reset_mc_kvxdec_info(MP4AACDEC_QUVA_Obj* dec, MC_Info* mi);
void kvxdec_check_mc_kvxdec_info(MC_Info* mi, int32_t flag);

static_assert(sizeof(MC_Info) == 180, "MC_Info layout");
static_assert(sizeof(ProgConfig) == 1100, "ProgConfig layout");
