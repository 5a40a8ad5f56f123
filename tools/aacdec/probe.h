// What the host learns of a stream before decoding it: transport, rate,
// channels; ADTS frame boundaries for frame mode; the padding that pushes
// the end of a stream through the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct Probe {
    enum Kind { None, Adts, Adif, Raw } kind = None;
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint32_t profile = 0;
    size_t first_header = 0;  // offset of the first ADTS header
    const char* name() const {
        return kind == Adts ? "ADTS" : kind == Adif ? "ADIF" : kind == Raw ? "raw data blocks" : "unknown";
    }
};

struct Span {
    size_t offset, size;
};

Probe probe(const std::vector<uint8_t>& in);
// ADTS frames in order; junk between frames is skipped; a last frame cut
// short is included as it is.
std::vector<Span> split_adts(const std::vector<uint8_t>& in);
// What follows the input so the decoder delivers its last frame: the decoder
// takes an ADTS frame only once the next header and 16 more bits are
// buffered, so a copy of the stream's first header and zero bytes follow;
// the decoder then waits for a frame that never comes. Other streams get
// zero bytes.
std::vector<uint8_t> end_padding(const Probe& p, const std::vector<uint8_t>& in);
// sampling_frequency_index of a rate, -1 if none.
int rate_index(uint32_t hz);
// Stream bytes as 16-bit words, the earlier byte in the high half.
std::vector<uint16_t> to_words(const std::vector<uint8_t>& bytes);
// A whole file's bytes; empty when it cannot be read.
std::vector<uint8_t> read_all_bytes(const char* path);
