#include "probe.h"

#include <cstdio>
#include <cstring>

#include "dec/bands.h"
#include "dec/headers.h"

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

// The ADTS header fields at `at`, when seven bytes are there.
bool fields_at(const std::vector<uint8_t>& d, size_t at, AdtsFields* h) {
    if (at + kAdtsFixedBytes > d.size()) return false;
    adts_fields(d.data() + at, h);
    return true;
}

// The decoder's rule for a header found by search: valid, and followed where
// its length says by a header of the same stream or by the end of the input.
bool adts_at(const std::vector<uint8_t>& d, size_t at, size_t* length) {
    AdtsFields h, next;
    if (at + 1 >= d.size() || d[at] != 0xFF || (d[at + 1] & 0xF0) != 0xF0) return false;
    if (!fields_at(d, at, &h) || !adts_valid(&h)) return false;
    const size_t end = at + h.aac_frame_length;
    if (end != d.size() &&
        !(fields_at(d, end, &next) && adts_fixed_valid(&next) && adts_same_stream(&h, &next)))
        return false;
    *length = h.aac_frame_length;
    return true;
}

// A header of the stream that began with `first` at `at` (its length not judged).
bool continues_at(const std::vector<uint8_t>& d, size_t at, const AdtsFields& first) {
    AdtsFields h;
    return fields_at(d, at, &h) && adts_fixed_valid(&h) && adts_same_stream(&first, &h);
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

// From a header found by search, frame follows frame. Where a frame's length
// does not lead to the next header, the frame runs to the next header of the
// stream: the decoder judges the block, not the length field.
std::vector<Span> split_adts(const std::vector<uint8_t>& in) {
    std::vector<Span> frames;
    size_t len;
    size_t at = 0;
    while (at + kAdtsFixedBytes <= in.size() && !adts_at(in, at, &len)) ++at;
    AdtsFields first;
    if (!fields_at(in, at, &first)) return frames;
    auto search = [&](size_t from) {
        AdtsFields h;
        for (size_t i = from; i + kAdtsFixedBytes <= in.size(); ++i)
            if (continues_at(in, i, first) && fields_at(in, i, &h) && adts_valid(&h)) return i;
        return in.size();
    };
    while (at + kAdtsFixedBytes <= in.size()) {
        AdtsFields h;
        adts_fields(in.data() + at, &h);
        size_t end = at + h.aac_frame_length;
        if (end > in.size()) end = in.size();  // a last frame cut short, as it is
        if (end != in.size() && (h.aac_frame_length < kAdtsFixedBytes || !continues_at(in, end, first)))
            end = search(at + 1);
        frames.push_back({at, end - at});
        at = end;
        if (at < in.size() && !continues_at(in, at, first)) at = search(at);
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

std::vector<uint8_t> read_all_bytes(const char* path) {
    std::vector<uint8_t> d;
    FILE* f = std::fopen(path, "rb");
    if (!f) return d;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
    std::fclose(f);
    return d;
}
