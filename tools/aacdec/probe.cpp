#include "probe.h"

#include <cstring>

#include "dec/bands.h"

namespace {

// Rate of a listed sampling_frequency_index (0..11).
uint32_t rate_of(uint32_t index) { return static_cast<uint32_t>(samp_rate_kvxdec_info[index].sampling_rate); }

struct Bits {
    const std::vector<uint8_t>& d;
    size_t pos;  // bit position
    uint32_t get(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos) {
            const size_t byte = pos / 8;
            const uint32_t bit = byte < d.size() ? (d[byte] >> (7 - pos % 8)) & 1u : 0u;
            v = (v << 1) | bit;
        }
        return v;
    }
};

// A plausible ADTS header at `at`: syncword, layer 0, a listed rate, a frame
// length of at least a header.
bool adts_at(const std::vector<uint8_t>& d, size_t at, size_t* length) {
    if (at + 7 > d.size() || d[at] != 0xFF || (d[at + 1] & 0xF6) != 0xF0) return false;
    if (((d[at + 2] >> 2) & 0xF) > 11) return false;
    const size_t len = static_cast<size_t>(((d[at + 3] & 3) << 11) | (d[at + 4] << 3) | (d[at + 5] >> 5));
    if (len < 7) return false;
    *length = len;
    return true;
}

}  // namespace

int rate_index(uint32_t hz) {
    for (uint32_t i = 0; i < 12; ++i)
        if (rate_of(i) == hz) return static_cast<int>(i);
    return -1;
}

std::vector<uint16_t> to_words(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> w((bytes.size() + 1) / 2, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
        w[i / 2] = static_cast<uint16_t>(w[i / 2] | (i % 2 ? bytes[i] : bytes[i] << 8));
    return w;
}

Probe probe(const std::vector<uint8_t>& in) {
    Probe p;
    if (in.size() >= 4 && std::memcmp(in.data(), "ADIF", 4) == 0) {
        Bits b{in, 32};
        if (b.get(1)) b.get(32), b.get(32), b.get(8);  // copyright_id
        b.get(2);                                      // original_copy, home
        const uint32_t bitstream_type = b.get(1);
        b.get(23);
        b.get(4);  // programs - 1: the first one describes the stream
        if (bitstream_type == 0) b.get(20);
        b.get(4);
        p.profile = b.get(2);
        const uint32_t sf = b.get(4);
        const uint32_t front = b.get(4);
        b.get(4 + 4 + 2 + 3 + 4);
        if (b.get(1)) b.get(4);
        if (b.get(1)) b.get(4);
        if (b.get(1)) b.get(3);
        for (uint32_t i = 0; i < front; ++i) p.channels += b.get(1) ? 2 : 1, b.get(4);
        p.kind = Probe::Adif;
        p.rate = sf < 12 ? rate_of(sf) : 0;
        return p;
    }
    for (size_t at = 0; at + 7 <= in.size(); ++at) {
        size_t len;
        if (!adts_at(in, at, &len)) continue;
        p.kind = Probe::Adts;
        p.first_header = at;
        p.profile = in[at + 2] >> 6;
        p.rate = rate_of((in[at + 2] >> 2) & 0xF);
        p.channels = ((in[at + 2] & 1u) << 2) | (in[at + 3] >> 6);
        return p;
    }
    return p;
}

std::vector<Span> split_adts(const std::vector<uint8_t>& in) {
    std::vector<Span> frames;
    size_t at = 0, len = 0;
    while (at + 7 <= in.size()) {
        if (!adts_at(in, at, &len)) {
            ++at;
            continue;
        }
        const size_t size = at + len <= in.size() ? len : in.size() - at;
        frames.push_back({at, size});
        at += size;
    }
    return frames;
}

std::vector<uint8_t> end_padding(const Probe& p, const std::vector<uint8_t>& in) {
    std::vector<uint8_t> pad(512 + 7, 0);
    size_t at = 0;
    if (p.kind == Probe::Adts && p.first_header + 7 <= in.size())
        for (; at < 7; ++at) pad[at] = in[p.first_header + at];
    pad.resize(at + 512);
    return pad;
}
