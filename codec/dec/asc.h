/* AudioSpecificConfig: the stream description an MP4 file, a GStreamer
 * codec_data buffer or a LATM header carries in front of raw data blocks.
 * One parser for every host. The interface is plain C (the header compiles
 * as C and as C++), so a C host calls it directly; it reads nothing outside
 * the bytes it is given and allocates nothing.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of asc_parse. */
enum {
    ASC_OK = 0,
    ASC_ERR_TRUNCATED = -1,   /* the bytes end before the config does */
    ASC_ERR_OBJECT_TYPE = -2, /* a reserved audio object type */
    ASC_ERR_RATE = -3,        /* a reserved sampling_frequency_index (13, 14) or an explicit rate of 0 */
    ASC_ERR_UNSUPPORTED = -4, /* an object type whose own config is not read here (not one of the AAC family),
                                 or an error protection config */
    ASC_ERR_INVALID = -5      /* a reserved channel configuration, SBR/PS signalled over SBR/PS, or a null pointer */
};

#define ASC_MAX_CHANNEL_ELEMENTS 15 /* front, side, back and coupling lists: 4-bit counts */
#define ASC_MAX_LFE_ELEMENTS 3      /* 2-bit count */
#define ASC_MAX_ASSOC_ELEMENTS 7    /* 3-bit count */

typedef struct AscElement {
    uint8_t is_cpe; /* 1: a channel pair (two channels); in the coupling list: cc_element_is_ind_sw */
    uint8_t tag;    /* element_instance_tag the element carries */
} AscElement;

/* A program config element as the config carries it (channel
 * configuration 0). The comment bytes are skipped; only their count is kept. */
typedef struct AscPce {
    uint8_t element_instance_tag;
    uint8_t object_type;              /* 2 bits: 1 is LC */
    uint8_t sampling_frequency_index; /* the PCE's own, as coded */
    uint8_t num_front, num_side, num_back, num_lfe, num_assoc_data, num_cc;
    AscElement front[ASC_MAX_CHANNEL_ELEMENTS];
    AscElement side[ASC_MAX_CHANNEL_ELEMENTS];
    AscElement back[ASC_MAX_CHANNEL_ELEMENTS];
    uint8_t lfe_tag[ASC_MAX_LFE_ELEMENTS];
    uint8_t assoc_data_tag[ASC_MAX_ASSOC_ELEMENTS];
    AscElement cc[ASC_MAX_CHANNEL_ELEMENTS];
    uint8_t mono_mixdown_present, mono_mixdown_element;
    uint8_t stereo_mixdown_present, stereo_mixdown_element;
    uint8_t matrix_mixdown_idx_present, matrix_mixdown_idx, pseudo_surround_enable;
    uint8_t comment_bytes;
} AscPce;

typedef struct AscInfo {
    /* Object types. With explicit SBR/PS signalling (first type 5 or 29)
     * audio_object_type is the type of the core that follows (2 for HE-AAC
     * over AAC-LC) and signalled_object_type the 5 or 29; otherwise both are
     * the one coded type. Types above 30 are 32 + the 6-bit escape. */
    int32_t audio_object_type;
    int32_t signalled_object_type;

    int32_t sampling_frequency_index; /* 0..15, -1 until read; 15: the rate is coded in 24 bits */
    uint32_t sampling_rate;           /* Hz, of the core (7350 for index 12) */
    int32_t channel_configuration;    /* 0..15, -1 until read; 0: a program config element follows */

    /* Channels: the total, and by position. From the program config element
     * for configuration 0 (a channel pair counts two); from the standard
     * layouts for configurations 1..7, 11 and 12; configurations 13 and 14
     * (with height channels) give the total alone. */
    int32_t channels;
    int32_t front_channels, side_channels, back_channels, lfe_channels;

    /* GASpecificConfig (object types 1, 2, 3, 4, 6, 7, 17, 19..23). */
    int32_t ga_present;
    int32_t frame_length_flag; /* 1: 960 (or 480) lines per frame instead of 1024 (512) */
    int32_t depends_on_core_coder;
    int32_t core_coder_delay; /* 14 bits, when depends_on_core_coder */
    int32_t extension_flag;
    int32_t layer_nr;         /* object types 6 and 20 */
    int32_t extension_flag3;
    int32_t ep_config;        /* error resilient types, -1 otherwise */
    int32_t pce_present;
    AscPce pce;

    /* SBR and PS. sbr_present and ps_present: -1 unknown (not signalled:
     * SBR or PS may still come implicitly in the raw data blocks), 0 absent,
     * 1 present. Set by the explicit hierarchical signalling (object type 5
     * or 29 first) or by the backward-compatible extension after the
     * GASpecificConfig. */
    int32_t sbr_present;
    int32_t ps_present;
    int32_t extension_object_type;        /* 5 when SBR is signalled (also for 29), 22 for BSAC's extension, else 0 */
    int32_t ext_sampling_frequency_index; /* -1 when none was coded */
    uint32_t ext_sampling_rate;           /* Hz of the SBR output, 0 when none was coded */
    int32_t ext_channel_configuration;    /* BSAC only, -1 otherwise */

    size_t bits; /* bits of the config read */
} AscInfo;

/* Parses the AudioSpecificConfig in data[0..size). 0 (ASC_OK) when it is
 * complete and valid, else a negative ASC_ERR_ code. On an error the fields
 * read before it keep their values and the others their initial ones (0;
 * -1 for the indexes, configurations, ep_config and the SBR/PS flags): a
 * host that finds channel_configuration >= 0 has the object type, the rate
 * and the channel configuration even from a config cut short after them.
 * Trailing bytes after the config are ignored unless they carry the
 * backward-compatible SBR/PS extension. */
int asc_parse(const uint8_t* data, size_t size, AscInfo* out);

/* Hz of a sampling_frequency_index: the twelve rates, 7350 for 12, 0 for
 * 13..15 and anything else. */
uint32_t asc_index_rate(int32_t index);

/* The index 0..11 of one of the twelve rates, exactly; -1 otherwise. */
int asc_rate_index(uint32_t hz);

/* A short English description of an asc_parse result. */
const char* asc_error_text(int code);

#ifdef __cplusplus
}
#endif
