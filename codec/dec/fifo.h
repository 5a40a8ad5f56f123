// Bit FIFO: a circular buffer of 16-bit stream words (first stream byte in
// the high half) with a one-word, left-aligned bit cache in front of it.
#pragma once

#include <cstdint>

#include "dec/status.h"

struct DecFifo {
    uint16_t* buffer;     // first word of the circular buffer
    uint16_t* write_ptr;  // where the next appended word goes
    uint16_t* read_ptr;   // next word to enter the cache
    uint16_t size;        // capacity in words; one slot always stays free
    uint16_t cache;       // unread bits, left-aligned, zero below them
    uint16_t bits_left;   // valid bits in cache, 0..16
    uint16_t words_read;  // words taken into the cache since last cleared
    uint16_t status;      // DECFIFO_OK / _OVERFLOW / _UNDERRUN
    KVXD_GetBitsCallback get_bits_callback;
};

enum : uint16_t { DECFIFO_OK = 0, DECFIFO_OVERFLOW = 1, DECFIFO_UNDERRUN = 2 };

// A FIFO of this many words (or larger) takes ADTS frames of any legal length
// (8191 bytes), with the next header and a 256-byte piece behind one; the
// 892-word record takes frames up to 1536 bytes (a block of two channels at
// 6144 bits each). Creation may grant a FIFO record up to this size.
constexpr uint16_t kLongFifoWords = 4352;
constexpr uint32_t kLongFifoBytes = 2u * kLongFifoWords;

// Words a streaming host writes at a time (the plug-in and the library).
// A frame waits for no more than a FIFO holds with room for one more such
// piece: writing into less room throws away everything unread.
constexpr uint16_t kStreamPieceWords = 128;
// The most bits a streaming frame or search waits for (a header's bytes
// aside).
inline uint32_t decfifo_wait_limit(const DecFifo& f) { return 16u * (f.size - kStreamPieceWords - 7u); }

// Words the get-bits callback is asked for on each refill.
constexpr int kDecFifoRefillRequest = 124;

void kvxdec_decfifoWriteShort(DecFifo* f, const uint16_t* words, uint16_t count);
void kvxdec_decfifoReadBits(DecFifo* f, uint16_t* value, uint16_t n);
void kvxdec_decfifoReadBits2(DecFifo* f, uint16_t n);
int kvxdec_decfifoReadBytes(DecFifo* f, uint8_t* dst, uint16_t nbytes, uint16_t consume);
uint32_t kvxdec_decfifoGetBitCount(const DecFifo* f);
void kvxdec_decfifo_ContextSave(const DecFifo* f, DecFifo* ctx);
void kvxdec_decfifo_ContextRestore(DecFifo* f, const DecFifo* ctx);
// Bits read from `earlier` to `current` (a FIFO of up to 4096 words and more).
int32_t kvxdec_decfifoDistant(const DecFifo* current, const DecFifo* earlier);
void kvxdec_decfifoAdjust(DecFifo* f, int16_t nbytes);
void kvxdec_decfifoSeek(DecFifo* f, int16_t nbytes);
void kvxdec_byte_align(DecFifo* f);

// 1 when nbytes bytes are held from the read position, fetching them through
// the get-bits callback when there is one and the FIFO has room for a refill.
// 0 otherwise; status 2 then means the callback had nothing more to give.
int decfifo_hold(DecFifo* f, uint16_t nbytes);
// Byte k after the read position, which must be byte-aligned, without
// reading it; k should lie within the bytes held (beyond them: a stale
// byte of the buffer, never one outside it).
uint8_t decfifo_peek_byte(const DecFifo* f, uint32_t k);

// Asks the get-bits callback for words and appends them; 1 when words came.
// Without a callback, or when it gives nothing, records an underrun.
int decfifo_refill(DecFifo* f);

// The next 16 stream bits, left-aligned, without consuming them: the cache
// with the next buffered word below its valid bits. When no word is buffered
// and the cache holds fewer than 16 bits, a refill is tried first.
inline uint16_t decfifo_lookahead(DecFifo* f) {
    if (f->bits_left < 16 && f->write_ptr == f->read_ptr) decfifo_refill(f);
    return static_cast<uint16_t>(f->cache | (*f->read_ptr >> f->bits_left));
}
