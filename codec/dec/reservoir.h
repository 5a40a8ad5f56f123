// A register's worth of stream bits taken from the FIFO's buffered words
// without consuming them there; commit() moves the FIFO's read position to
// the bits used. It never reads past the buffered words, so it never pulls
// from the stream and never records an underrun. The codeword decoders ask
// ready() before each codeword and take the FIFO's own bit-by-bit path when
// it says no, which happens only near the end of the buffered words.
#pragma once

#include <cstdint>
#include <type_traits>

#include "dec/fifo.h"
#include "tables/huffman_tables.h"

namespace reservoir {

// The window is the native register: 64 bits on 64-bit targets, else 32.
using Window = std::conditional_t<(sizeof(void*) >= 8), uint64_t, uint32_t>;

struct Reservoir {
    static constexpr int kWindowBits = 8 * static_cast<int>(sizeof(Window));
    DecFifo* fifo;
    Window window;         // unused bits, left-aligned, zero below them
    int bits;              // valid bits in window
    const uint16_t* next;  // next buffered word
    const uint16_t* stop;  // end of the words buffered after next before the buffer wraps
};

inline Reservoir begin(DecFifo* f) {
    const uint16_t* stop = f->write_ptr >= f->read_ptr ? f->write_ptr : f->buffer + f->size;
    return {f, static_cast<Window>(static_cast<Window>(f->cache) << (Reservoir::kWindowBits - 16)), f->bits_left,
            f->read_ptr, stop};
}

// Moves next to the buffer start when the buffered words wrap there; false
// when no word is left.
inline bool wrap(Reservoir& r) {
    if (r.stop == r.fifo->write_ptr) return false;
    r.next = r.fifo->buffer;
    r.stop = r.fifo->write_ptr;
    return r.next != r.stop;
}

// Takes the next word, which must be buffered at next, below the valid bits.
inline void take_word(Reservoir& r) {
    r.window |= static_cast<Window>(*r.next++) << (Reservoir::kWindowBits - 16 - r.bits);
    r.bits += 16;
}

inline void fill(Reservoir& r) {
    while (r.bits <= Reservoir::kWindowBits - 16) {
        if (r.next == r.stop && !wrap(r)) return;
        take_word(r);
    }
}

// With a 64-bit window two words at a time while the run holds them.
inline void fill_fast(Reservoir& r) {
    if constexpr (Reservoir::kWindowBits == 64) {
        if (r.stop - r.next >= 2) {
            const uint32_t two = static_cast<uint32_t>(r.next[0]) << 16 | r.next[1];
            r.window |= static_cast<Window>(two) << (32 - r.bits);
            r.bits += 32;
            r.next += 2;
            return;
        }
    }
    fill(r);
}

// True when the next codeword, at most 32 bits with its sign bits, can be
// read without passing the buffered words: a 64-bit window holds 32 bits; a
// 32-bit one holds more than 16 and one further word is buffered, which
// lookup() takes when a codeword goes past the root's bits, and escape()
// when an escape goes past the window.
inline bool ready(Reservoir& r) {
    if constexpr (Reservoir::kWindowBits == 64) {
        if (r.bits < 32) fill_fast(r);
        return r.bits >= 32;
    } else {
        if (r.bits <= 16) {
            if (r.next == r.stop && !wrap(r)) return false;
            take_word(r);
        }
        return r.next != r.stop || wrap(r);
    }
}

// The FIFO state a bit-by-bit read of the same bits leaves: a word with
// bits still unused stays in the cache, whole unused words stay buffered.
// Given the reservoir's fields, not the reservoir, which so stays in
// registers where it is called out of line.
__attribute__((always_inline)) inline void commit_fields_inline(DecFifo* f, Window window, int bits,
                                                                const uint16_t* next) {
    int taken = static_cast<int>(next - f->read_ptr);
    if (taken < 0) taken += f->size;
    int left = bits;
    if (left <= 16 * taken) {
        const int back = left / 16;
        left %= 16;
        int pos = static_cast<int>(next - f->buffer) - back;
        if (pos < 0) pos += f->size;
        if (pos >= f->size) pos -= f->size;
        f->read_ptr = f->buffer + pos;
        f->words_read = static_cast<uint16_t>(f->words_read + taken - back);
    } else {
        left -= 16 * taken;  // only some of the old cache was used
    }
    f->bits_left = static_cast<uint16_t>(left);
    f->cache = static_cast<uint16_t>(static_cast<uint32_t>(window >> (Reservoir::kWindowBits - 16)) &
                                     (0xFFFF0000u >> left));
}

#if defined(__arm__)
// On 32-bit ARM one copy out of line (dec/fifo.cpp) rather than one at each
// decoder's end and each read through the FIFO (every codeword decoder's
// instance has its own): 2.2 kB less code for some 40 instructions a frame.
void commit_fields(DecFifo* f, Window window, int bits, const uint16_t* next);
inline void commit(const Reservoir& r) { commit_fields(r.fifo, r.window, r.bits, r.next); }
#else
inline void commit(const Reservoir& r) { commit_fields_inline(r.fifo, r.window, r.bits, r.next); }
#endif

inline uint32_t top32(const Reservoir& r) { return static_cast<uint32_t>(r.window >> (Reservoir::kWindowBits - 32)); }

inline void skip(Reservoir& r, uint32_t n) {
    r.window <<= n;
    r.bits -= static_cast<int>(n);
}

// lookup(): the leaf ending the next codeword, after ready(), from the
// root's entry or through the links to further tables (one, two for the
// longest codewords); the bits it takes are consumed, a leaf's whose sign
// bits follow without them (huffman_tables.h). Spectral codewords take at
// most 16 bits, 20 with their sign bits, scale factor codewords 19; a
// further table's level at most 7. SignsFollow: a book of magnitudes, which
// may have leaves whose sign bits follow. lookup_further() takes over when
// the root's entry is not a plain leaf.
template <int RootBits, bool SignsFollow>
inline uint32_t lookup_further(Reservoir& r, const uint16_t* table) {
    uint32_t e = table[top32(r) >> (32 - RootBits)];
    if (SignsFollow && (e >> 12) > kLookupSignsFollow) {
        skip(r, (e >> 12) - kLookupSignsFollow);
        return e;
    }
    skip(r, RootBits);
    if (SignsFollow && (e >> 9) == kLookupRootLeaf) return e;
    if constexpr (Reservoir::kWindowBits == 32)
        if (r.bits < 16) take_word(r);  // ready() saw it buffered
    const uint16_t* further = table + (1 << RootBits);
    for (;;) {
        const uint32_t n = (e >> 9) + 1;
        e = further[(e & 511) + (top32(r) >> (32 - n))];
        if (e >> 12) break;
        skip(r, n);
    }
    skip(r, (e >> 12) & 7);
    return e;
}

template <int RootBits, bool SignsFollow = false>
[[gnu::always_inline]] inline uint32_t lookup(Reservoir& r, const uint16_t* table) {
    const uint32_t e = table[top32(r) >> (32 - RootBits)];
    const uint32_t n = e >> 12;
    if (SignsFollow ? n - 1 < kLookupSignsFollow : n != 0) [[likely]] {
        skip(r, n);
        return e;
    }
    return lookup_further<RootBits, SignsFollow>(r, table);
}

// A read through the FIFO itself, where a read may have to pull from the
// stream: the bits the reservoir used are committed first, and it begins
// again after the bits read(fifo) took. Returns what read returns.
template <class Read>
inline auto through_fifo(Reservoir& r, Read read) {
    commit(r);
    const auto v = read(r.fifo);
    r = begin(r.fifo);
    return v;
}

}  // namespace reservoir
