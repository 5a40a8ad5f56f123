#include "dec/fifo.h"

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
