// Bit FIFO. Reads are served from a 16-bit cache with at most one word
// fetch; a refill is attempted inside a read only when the buffer is empty.
#include "dec/fifo.h"

#include "dec/instance.h"
#include "dec/reservoir.h"

#include <cstring>

namespace {

inline uint16_t words_held(const DecFifo* f) {
    int d = static_cast<int>(f->write_ptr - f->read_ptr);
    if (d < 0) d += f->size;
    return static_cast<uint16_t>(d);
}

inline bool is_empty(const DecFifo* f) { return f->write_ptr == f->read_ptr; }

// Advances a buffer pointer by `words`, wrapping at the buffer end.
inline uint16_t* advance(const DecFifo* f, uint16_t* p, uint32_t words) {
    uint32_t pos = static_cast<uint32_t>(p - f->buffer) + words;
    if (pos >= f->size) pos %= f->size;
    return f->buffer + pos;
}

bool refill(DecFifo* f) { return decfifo_refill(f) != 0; }

}  // namespace

// Without a callback, or when it has nothing to give, the read that needed
// the words goes on over stale buffer contents and the underrun is recorded.
int decfifo_refill(DecFifo* f) {
    const uint16_t* words = nullptr;
    const uint16_t n = f->get_bits_callback ? f->get_bits_callback(kDecFifoRefillRequest, &words) : 0;
    if (n == 0 || !words) {
        f->status = DECFIFO_UNDERRUN;
        return 0;
    }
    kvxdec_decfifoWriteShort(f, words, n);
    return 1;
}

namespace {

// Takes the next n bits (1..16) assuming any refill has been done.
inline uint16_t take_bits(DecFifo* f, uint16_t n) {
    uint32_t value;
    if (n <= f->bits_left) {
        value = static_cast<uint32_t>(f->cache) >> (16 - n);
        f->cache = static_cast<uint16_t>(static_cast<uint32_t>(f->cache) << n);
        f->bits_left = static_cast<uint16_t>(f->bits_left - n);
    } else {
        const uint16_t need = static_cast<uint16_t>(n - f->bits_left);
        const uint32_t w = *f->read_ptr;
        f->read_ptr = advance(f, f->read_ptr, 1);
        ++f->words_read;
        value = (static_cast<uint32_t>(f->cache) >> (16 - n)) | (w >> (16 - need));
        f->cache = static_cast<uint16_t>(w << need);
        f->bits_left = static_cast<uint16_t>(16 - need);
    }
    return static_cast<uint16_t>(value);
}

// A read that needs the next buffered word, refilling first when there is none.
[[gnu::noinline]] uint16_t read_bits_from_buffer(DecFifo* f, uint16_t n) {
    if (is_empty(f)) refill(f);
    return take_bits(f, n);
}

// The bits in the cache without a call; n = 0 reads nothing.
inline uint16_t read_bits(DecFifo* f, uint16_t n) {
    if (n <= f->bits_left) [[likely]] {
        const uint32_t cache = f->cache;
        f->cache = static_cast<uint16_t>(cache << n);
        f->bits_left = static_cast<uint16_t>(f->bits_left - n);
        return static_cast<uint16_t>(cache >> (16 - n));
    }
    return read_bits_from_buffer(f, n);
}

}  // namespace

void kvxdec_decfifoWriteShort(DecFifo* f, const uint16_t* words, uint16_t count) {
    const uint16_t free_words = static_cast<uint16_t>(f->size - words_held(f));
    if (count >= free_words) {
        // Overflow: everything unread is thrown away.
        f->write_ptr = f->read_ptr;
        f->cache = 0;
        f->bits_left = 0;
        f->status = DECFIFO_OVERFLOW;
        if (count >= f->size) return;
    }
    const uint32_t to_end = static_cast<uint32_t>(f->buffer + f->size - f->write_ptr);
    if (count < to_end) {
        std::memcpy(f->write_ptr, words, count * sizeof(uint16_t));
        f->write_ptr += count;
    } else {
        std::memcpy(f->write_ptr, words, to_end * sizeof(uint16_t));
        std::memcpy(f->buffer, words + to_end, (count - to_end) * sizeof(uint16_t));
        f->write_ptr = f->buffer + (count - to_end);
    }
}

void kvxdec_decfifoReadBits(DecFifo* f, uint16_t* value, uint16_t n) { *value = read_bits(f, n); }

void kvxdec_decfifoReadBits2(DecFifo* f, uint16_t n) { (void)read_bits(f, n); }

// (Byte reads, moves and seeks run once a header, a search step or a lost
// block, not once a bit: optimised for size, out of the way of the reads.)
[[gnu::cold]] int kvxdec_decfifoReadBytes(DecFifo* f, uint8_t* dst, uint16_t nbytes, uint16_t consume) {
    const uint16_t held = words_held(f);
    if (nbytes > held) {
        if (nbytes > 128) {
            nbytes = held;
            if (!f->get_bits_callback) f->status = DECFIFO_UNDERRUN;
        } else {
            refill(f);
        }
    }
    uint16_t* const read_ptr = f->read_ptr;
    const uint16_t cache = f->cache;
    const uint16_t bits_left = f->bits_left;
    for (uint16_t i = 0; i < nbytes; ++i) {
        if (f->bits_left <= 7 && is_empty(f)) refill(f);
        dst[i] = static_cast<uint8_t>(take_bits(f, 8));
    }
    if (!consume) {
        f->read_ptr = read_ptr;
        f->cache = cache;
        f->bits_left = bits_left;
    }
    return 1;
}

uint32_t kvxdec_decfifoGetBitCount(const DecFifo* f) {
    return 16u * words_held(f) + f->bits_left;
}

void kvxdec_decfifo_ContextSave(const DecFifo* f, DecFifo* ctx) {
    ctx->write_ptr = f->write_ptr;
    ctx->read_ptr = f->read_ptr;
    ctx->cache = f->cache;
    ctx->bits_left = f->bits_left;
    ctx->words_read = f->words_read;
}

// Words appended after the save are dropped: the write position goes back too.
void kvxdec_decfifo_ContextRestore(DecFifo* f, const DecFifo* ctx) {
    f->write_ptr = ctx->write_ptr;
    f->read_ptr = ctx->read_ptr;
    f->cache = ctx->cache;
    f->bits_left = ctx->bits_left;
    f->words_read = ctx->words_read;
    f->status = DECFIFO_OK;
}

int32_t kvxdec_decfifoDistant(const DecFifo* current, const DecFifo* earlier) {
    int32_t words = static_cast<int32_t>(current->read_ptr - earlier->read_ptr);
    if (words < 0) words += current->size;
    return 16 * words + earlier->bits_left - current->bits_left;
}

// Moves the read position forward by whole bytes without reading them; meant
// for a byte-aligned position (bits_left 0 or 8).
[[gnu::cold]] void kvxdec_decfifoAdjust(DecFifo* f, int16_t nbytes) {
    if (nbytes <= 0) return;
    if (f->bits_left > 7) {
        // At an aligned position the cache holds exactly one byte.
        f->cache = 0;
        f->bits_left = 0;
        if (--nbytes == 0) return;
    }
    f->read_ptr = advance(f, f->read_ptr, static_cast<uint32_t>(nbytes / 2));
    if (nbytes & 1) {
        f->cache = static_cast<uint16_t>(*f->read_ptr << 8);
        f->bits_left = 8;
        f->read_ptr = advance(f, f->read_ptr, 1);
    }
}

// Returns once 8 * nbytes bits are held, pulling through the callback as
// needed. With nothing to pull from it returns at once with an underrun.
[[gnu::cold]] void kvxdec_decfifoSeek(DecFifo* f, int16_t nbytes) {
    const int32_t want = 8 * nbytes;
    while (static_cast<int32_t>(kvxdec_decfifoGetBitCount(f)) < want)
        if (!refill(f)) return;
}

int decfifo_hold(DecFifo* f, uint16_t nbytes) {
    const uint32_t want = 8u * nbytes;
    while (kvxdec_decfifoGetBitCount(f) < want) {
        // A refill must not overflow the FIFO, which would drop what it holds.
        if (!f->get_bits_callback || f->size - 1 - words_held(f) < kDecFifoRefillRequest) return 0;
        if (!refill(f)) return 0;  // the source is dry: status 2
    }
    return 1;
}

uint8_t decfifo_peek_byte(const DecFifo* f, uint32_t k) {
    const uint32_t cached = f->bits_left / 8u;
    if (k < cached) return static_cast<uint8_t>(f->cache >> (8 * (1 - k)));
    k -= cached;
    const uint16_t w = *advance(f, f->read_ptr, k / 2);
    return static_cast<uint8_t>(k % 2 ? w : w >> 8);
}

void kvxdec_byte_align(DecFifo* f) {
    const uint16_t r = f->bits_left & 7;
    f->cache = static_cast<uint16_t>(static_cast<uint32_t>(f->cache) << r);
    f->bits_left = static_cast<uint16_t>(f->bits_left - r);
}

uint16_t aacdec_getbits(MP4AACDEC_QUVA_Obj* dec, uint16_t n) { return read_bits(&dec->fifo, n); }

// The same as reads of n bits in any pieces: every word is taken (refilling
// first when none is buffered, going on over stale contents after an
// underrun) and counted when the position enters it.
void aacdec_skipbits(MP4AACDEC_QUVA_Obj* dec, uint32_t n) {
    DecFifo* f = &dec->fifo;
    if (n <= f->bits_left) {
        f->cache = static_cast<uint16_t>(static_cast<uint32_t>(f->cache) << n);
        f->bits_left = static_cast<uint16_t>(f->bits_left - n);
        return;
    }
    n -= f->bits_left;
    f->cache = 0;
    f->bits_left = 0;
    for (; n >= 16; n -= 16) {
        if (is_empty(f)) refill(f);
        f->read_ptr = advance(f, f->read_ptr, 1);
        ++f->words_read;
    }
    if (n) (void)read_bits_from_buffer(f, static_cast<uint16_t>(n));
}

#if defined(__arm__)
namespace reservoir {

// (dec/reservoir.h)
void commit_fields(DecFifo* f, Window window, int bits, const uint16_t* next) {
    commit_fields_inline(f, window, bits, next);
}

}  // namespace reservoir
#endif
