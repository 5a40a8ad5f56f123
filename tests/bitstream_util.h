// Building bit streams by hand and feeding bytes to a decoder's FIFO.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dec/instance.h"

// Writes fields most significant bit first.
class BitWriter {
public:
    BitWriter& put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (nbits_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() = static_cast<uint8_t>(bytes_.back() | (0x80 >> (nbits_ % 8)));
            ++nbits_;
        }
        return *this;
    }
    BitWriter& bytes(const std::vector<uint8_t>& b) {
        for (uint8_t x : b) put(x, 8);
        return *this;
    }
    BitWriter& align() {
        while (nbits_ % 8) put(0, 1);
        return *this;
    }
    size_t bits() const { return nbits_; }
    const std::vector<uint8_t>& data() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t nbits_ = 0;
};

// The frame length field of the ADTS header at h.
inline size_t adts_length(const uint8_t* h) {
    return static_cast<size_t>(((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5));
}

// Stream bytes as FIFO words: the earlier byte in the high half; an odd
// last byte is padded with zero.
inline std::vector<uint16_t> to_words(const std::vector<uint8_t>& b) {
    std::vector<uint16_t> w((b.size() + 1) / 2);
    for (size_t i = 0; i < b.size(); ++i)
        w[i / 2] = static_cast<uint16_t>(w[i / 2] | (i % 2 ? b[i] : b[i] << 8));
    return w;
}

inline void feed(MP4AACDEC_QUVA_Obj* obj, const std::vector<uint8_t>& b) {
    std::vector<uint16_t> w = to_words(b);
    kvxdec_decfifoWriteShort(&obj->fifo, w.data(), static_cast<uint16_t>(w.size()));
}

// Bits consumed since the FIFO was filled from empty with `fed_words` words.
inline int bits_consumed(const MP4AACDEC_QUVA_Obj* obj, size_t fed_words) {
    return static_cast<int>(fed_words * 16) - kvxdec_decfifoGetBitCount(&obj->fifo);
}

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::string data_path(const std::string& name) { return std::string(AAC_SOURCE_DIR) + "/" + name; }
