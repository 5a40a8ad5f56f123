// AudioSpecificConfig parser: the header fields, the explicit SBR/PS
// signalling, GASpecificConfig with its program config element, and the
// backward-compatible SBR/PS extension behind it. A bit reader of its own
// over the caller's bytes: the decoder's FIFO reader works on its instance.
#include "dec/asc.h"

#include <cstdint>

#include "tables/band_tables.h"

namespace {

// Hz of an index: the decoder's twelve rates, then 7350 Hz at 12 (which the
// decoder does not play); 0 for the reserved 13 and 14 and anything else.
uint32_t index_rate(uint32_t i) {
    if (i < 12) return static_cast<uint32_t>(samp_rate_kvxdec_info[i].sampling_rate);
    return i == 12 ? 7350u : 0u;
}

// Channels of each channel configuration, and by position; 0 where the
// configuration is 0 (a program config element) or reserved.
struct Layout {
    uint8_t total, front, side, back, lfe;
};
constexpr Layout kLayouts[16] = {
    {0, 0, 0, 0, 0}, {1, 1, 0, 0, 0}, {2, 2, 0, 0, 0}, {3, 3, 0, 0, 0},
    {4, 3, 0, 1, 0}, {5, 3, 0, 2, 0}, {6, 3, 0, 2, 1}, {8, 5, 0, 2, 1},
    {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {7, 3, 2, 1, 1},
    {8, 3, 2, 2, 1}, {24, 0, 0, 0, 0}, {8, 0, 0, 0, 0}, {0, 0, 0, 0, 0},
};

constexpr bool reserved_channel_configuration(uint32_t c) { return (c >= 8 && c <= 10) || c == 15; }

// Object types 0 (null), 10, 11, 18 and everything above 45 are reserved.
constexpr bool reserved_object_type(uint32_t t) { return t == 0 || t == 10 || t == 11 || t == 18 || t > 45; }

constexpr bool has_ga_config(uint32_t t) {
    return (t >= 1 && t <= 4) || t == 6 || t == 7 || t == 17 || (t >= 19 && t <= 23);
}

// Error resilient types: an epConfig follows their own config.
constexpr bool error_resilient(uint32_t t) { return (t >= 17 && t <= 27 && t != 18) || t == 39; }

constexpr uint32_t kSyncSbr = 0x2b7;
constexpr uint32_t kSyncPs = 0x548;

// MSB-first bits over [data, data + size). A read past the end yields zero
// bits and sets `overrun`; the position never passes the end.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size)
        : data_(data), bits_(size > SIZE_MAX / 8 ? SIZE_MAX / 8 * 8 : size * 8) {}

    uint32_t get(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            uint32_t bit = 0;
            if (pos_ < bits_) {
                bit = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u;
                ++pos_;
            } else {
                overrun_ = true;
            }
            v = (v << 1) | bit;
        }
        return v;
    }
    void skip_bytes(uint32_t n) {
        const size_t want = static_cast<size_t>(n) * 8;
        if (want > bits_ - pos_) {
            pos_ = bits_;
            overrun_ = true;
        } else {
            pos_ += want;
        }
    }
    // To the next byte boundary counted from the first byte of the config.
    void byte_align() {
        const size_t pad = (8 - (pos_ & 7)) & 7;
        if (pad > bits_ - pos_) {
            pos_ = bits_;
            overrun_ = true;
        } else {
            pos_ += pad;
        }
    }
    size_t left() const { return bits_ - pos_; }
    size_t position() const { return pos_; }
    bool overrun() const { return overrun_; }

private:
    const uint8_t* data_;
    size_t bits_;
    size_t pos_ = 0;
    bool overrun_ = false;
};

uint32_t object_type(BitReader& br) {
    const uint32_t t = br.get(5);
    return t == 31 ? 32 + br.get(6) : t;
}

// sampling_frequency_index and, behind index 15, the 24-bit rate.
void rate(BitReader& br, int32_t* index, uint32_t* hz) {
    const uint32_t i = br.get(4);
    *index = static_cast<int32_t>(i);
    *hz = i == 15 ? br.get(24) : index_rate(i);
}

bool bad_rate(int32_t index, uint32_t hz) { return index == 13 || index == 14 || hz == 0; }

uint8_t get8(BitReader& br, int n) { return static_cast<uint8_t>(br.get(n)); }

void read_elements(BitReader& br, AscElement* list, uint8_t count, bool with_flag) {
    for (uint8_t i = 0; i < count; ++i) {
        list[i].is_cpe = with_flag ? get8(br, 1) : 0;
        list[i].tag = get8(br, 4);
    }
}

int channels_of(const AscElement* list, uint8_t count) {
    int n = 0;
    for (uint8_t i = 0; i < count; ++i) n += list[i].is_cpe ? 2 : 1;
    return n;
}

void read_pce(BitReader& br, AscPce& p) {
    p.element_instance_tag = get8(br, 4);
    p.object_type = get8(br, 2);
    p.sampling_frequency_index = get8(br, 4);
    // The field widths bound every count by its list's size.
    p.num_front = get8(br, 4);
    p.num_side = get8(br, 4);
    p.num_back = get8(br, 4);
    p.num_lfe = get8(br, 2);
    p.num_assoc_data = get8(br, 3);
    p.num_cc = get8(br, 4);
    p.mono_mixdown_present = get8(br, 1);
    if (p.mono_mixdown_present) p.mono_mixdown_element = get8(br, 4);
    p.stereo_mixdown_present = get8(br, 1);
    if (p.stereo_mixdown_present) p.stereo_mixdown_element = get8(br, 4);
    p.matrix_mixdown_idx_present = get8(br, 1);
    if (p.matrix_mixdown_idx_present) {
        p.matrix_mixdown_idx = get8(br, 2);
        p.pseudo_surround_enable = get8(br, 1);
    }
    read_elements(br, p.front, p.num_front, true);
    read_elements(br, p.side, p.num_side, true);
    read_elements(br, p.back, p.num_back, true);
    for (uint8_t i = 0; i < p.num_lfe; ++i) p.lfe_tag[i] = get8(br, 4);
    for (uint8_t i = 0; i < p.num_assoc_data; ++i) p.assoc_data_tag[i] = get8(br, 4);
    read_elements(br, p.cc, p.num_cc, true);
    br.byte_align();
    p.comment_bytes = get8(br, 8);
    br.skip_bytes(p.comment_bytes);
}

int read_ga(BitReader& br, uint32_t type, AscInfo& a) {
    const uint32_t frame_length = br.get(1);
    const uint32_t depends = br.get(1);
    const uint32_t delay = depends ? br.get(14) : 0;
    const uint32_t extension = br.get(1);
    if (br.overrun()) return ASC_ERR_TRUNCATED;
    a.ga_present = 1;
    a.frame_length_flag = static_cast<int32_t>(frame_length);
    a.depends_on_core_coder = static_cast<int32_t>(depends);
    a.core_coder_delay = static_cast<int32_t>(delay);
    a.extension_flag = static_cast<int32_t>(extension);
    if (a.channel_configuration == 0) {
        AscPce& p = a.pce;
        read_pce(br, p);
        if (br.overrun()) {
            p = AscPce{};
            return ASC_ERR_TRUNCATED;
        }
        a.pce_present = 1;
        a.front_channels = channels_of(p.front, p.num_front);
        a.side_channels = channels_of(p.side, p.num_side);
        a.back_channels = channels_of(p.back, p.num_back);
        a.lfe_channels = p.num_lfe;
        a.channels = a.front_channels + a.side_channels + a.back_channels + a.lfe_channels;
    }
    const uint32_t layer = type == 6 || type == 20 ? br.get(3) : 0;
    uint32_t extension3 = 0;
    if (extension) {
        if (type == 22) br.get(5 + 11);  // numOfSubFrame, layer_length
        if (type == 17 || type == 19 || type == 20 || type == 23) br.get(3);  // the three resilience flags
        extension3 = br.get(1);
    }
    if (br.overrun()) return ASC_ERR_TRUNCATED;
    a.layer_nr = static_cast<int32_t>(layer);
    a.extension_flag3 = static_cast<int32_t>(extension3);
    return ASC_OK;
}

// The backward-compatible extension: a sync word, the extension's object
// type, its flag and rate, and for SBR a second sync word with the PS flag.
// Anything else there is left alone.
int read_sync_extension(BitReader& br, AscInfo& a) {
    if (br.left() < 16 || br.get(11) != kSyncSbr) return ASC_OK;
    const uint32_t ext = object_type(br);
    if (br.overrun()) return ASC_ERR_TRUNCATED;
    if (ext != 5 && ext != 22) return ASC_OK;
    const uint32_t sbr = br.get(1);
    int32_t index = -1;
    uint32_t hz = 0;
    if (sbr) rate(br, &index, &hz);
    if (br.overrun()) return ASC_ERR_TRUNCATED;
    a.extension_object_type = static_cast<int32_t>(ext);
    a.sbr_present = static_cast<int32_t>(sbr);
    a.ext_sampling_frequency_index = index;
    a.ext_sampling_rate = hz;
    if (sbr && bad_rate(index, hz)) return ASC_ERR_RATE;
    if (ext == 22) {
        const uint32_t config = br.get(4);
        if (br.overrun()) return ASC_ERR_TRUNCATED;
        a.ext_channel_configuration = static_cast<int32_t>(config);
    } else if (!sbr) {
        a.ps_present = 0;  // no PS without SBR
    } else if (br.left() >= 12 && br.get(11) == kSyncPs) {
        a.ps_present = static_cast<int32_t>(br.get(1));
    }
    return ASC_OK;
}

void init(AscInfo& a) {
    a = AscInfo{};
    a.sampling_frequency_index = -1;
    a.channel_configuration = -1;
    a.ep_config = -1;
    a.sbr_present = -1;
    a.ps_present = -1;
    a.ext_sampling_frequency_index = -1;
    a.ext_channel_configuration = -1;
}

int parse(BitReader& br, AscInfo& a) {
    uint32_t type = object_type(br);
    int32_t index;
    uint32_t hz;
    rate(br, &index, &hz);
    const uint32_t config = br.get(4);
    if (br.overrun()) return ASC_ERR_TRUNCATED;
    a.audio_object_type = a.signalled_object_type = static_cast<int32_t>(type);
    a.sampling_frequency_index = index;
    a.sampling_rate = hz;
    a.channel_configuration = static_cast<int32_t>(config);
    if (bad_rate(index, hz)) return ASC_ERR_RATE;
    if (reserved_object_type(type)) return ASC_ERR_OBJECT_TYPE;
    if (reserved_channel_configuration(config)) return ASC_ERR_INVALID;
    const Layout& l = kLayouts[config];
    a.channels = l.total;
    a.front_channels = l.front;
    a.side_channels = l.side;
    a.back_channels = l.back;
    a.lfe_channels = l.lfe;

    if (type == 5 || type == 29) {
        int32_t ext_index;
        uint32_t ext_hz;
        rate(br, &ext_index, &ext_hz);
        const uint32_t core = object_type(br);
        if (br.overrun()) return ASC_ERR_TRUNCATED;
        a.extension_object_type = 5;
        a.sbr_present = 1;
        if (type == 29) a.ps_present = 1;
        a.ext_sampling_frequency_index = ext_index;
        a.ext_sampling_rate = ext_hz;
        type = core;
        a.audio_object_type = static_cast<int32_t>(type);
        if (bad_rate(ext_index, ext_hz)) return ASC_ERR_RATE;
        if (reserved_object_type(type)) return ASC_ERR_OBJECT_TYPE;
        if (type == 5 || type == 29) return ASC_ERR_INVALID;
        if (type == 22) {
            const uint32_t ext_config = br.get(4);
            if (br.overrun()) return ASC_ERR_TRUNCATED;
            a.ext_channel_configuration = static_cast<int32_t>(ext_config);
        }
    }

    if (!has_ga_config(type)) return ASC_ERR_UNSUPPORTED;
    const int rc = read_ga(br, type, a);
    if (rc != ASC_OK) return rc;
    if (error_resilient(type)) {
        a.ep_config = static_cast<int32_t>(br.get(2));
        if (br.overrun()) return ASC_ERR_TRUNCATED;
        if (a.ep_config >= 2) return ASC_ERR_UNSUPPORTED;
    }
    if (a.extension_object_type != 5) return read_sync_extension(br, a);
    return ASC_OK;
}

}  // namespace

extern "C" int asc_parse(const uint8_t* data, size_t size, AscInfo* out) {
    if (!out) return ASC_ERR_INVALID;
    init(*out);
    if (!data) {
        if (size) return ASC_ERR_INVALID;
        return ASC_ERR_TRUNCATED;
    }
    BitReader br(data, size);
    const int rc = parse(br, *out);
    out->bits = br.position();
    return rc;
}

extern "C" uint32_t asc_index_rate(int32_t index) { return index >= 0 ? index_rate(static_cast<uint32_t>(index)) : 0; }

extern "C" int asc_rate_index(uint32_t hz) {
    for (uint32_t i = 0; i < 12; ++i)
        if (index_rate(i) == hz) return static_cast<int>(i);
    return -1;
}

extern "C" const char* asc_error_text(int code) {
    switch (code) {
        case ASC_OK: return "valid";
        case ASC_ERR_TRUNCATED: return "it ends early";
        case ASC_ERR_OBJECT_TYPE: return "a reserved audio object type";
        case ASC_ERR_RATE: return "a reserved or zero sampling rate";
        case ASC_ERR_UNSUPPORTED: return "an object type whose configuration is not read";
        case ASC_ERR_INVALID: return "an invalid channel configuration or SBR signalling";
        default: return "unknown error";
    }
}
