// Reading the bits of an SBR extension payload (its SBR data and the
// parametric stereo data inside it), first bit the top one of the first
// byte, and walking the payload's Huffman trees.
#pragma once

#include <cstdint>

// MSB-first reader over bits [pos, end) of `data`. pos never passes end; a
// read beyond it gives zero bits and sets overrun.
struct PayloadBits {
    const uint8_t* data;
    uint32_t end;
    uint32_t pos;
    bool overrun;

    uint32_t bit() {
        if (pos >= end) {
            overrun = true;
            return 0;
        }
        const uint32_t b = (static_cast<uint32_t>(data[pos >> 3]) >> (7u - (pos & 7u))) & 1u;
        ++pos;
        return b;
    }
    uint32_t read(int n) {  // n <= 16
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    uint8_t read8(int n) { return static_cast<uint8_t>(read(n)); }
    void skip(uint32_t n) {
        if (n > end - pos) {
            overrun = true;
            pos = end;
        } else {
            pos += n;
        }
    }
};

// One codeword of a tree stored as node pairs (an entry below 0 is a leaf:
// its value plus leaf_bias), into *value; false when the walk does not end
// in a leaf within the longest code (cannot happen with complete trees;
// checked all the same).
template <typename Table>
bool huff_walk(PayloadBits& br, const Table& t, int leaf_bias, int* value) {
    int node = static_cast<int>(br.bit());
    for (int len = 0; len < t.max_len; ++len) {
        if (node < 0 || node >= t.nodes) return false;
        const int v = t.tree[node];
        if (v < 0) {
            *value = v + leaf_bias;
            return true;
        }
        node = v + static_cast<int>(br.bit());
    }
    return false;
}
