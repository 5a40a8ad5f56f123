// Frame processing loop: buffers the input words, finds and reads transport
// headers, waits until a whole frame is held, decodes at most one raw data
// block per call, and keeps the read position consistent across calls so an
// incomplete frame is retried from its start when more input has come.
//
// Every raw data block of an ADTS frame is decoded, one per call: the next
// call goes on with the next block of the same frame. A block that fails
// still yields a block (concealment, unless switched off), and so does every
// block of its frame that is never reached, so the timeline keeps its length.
#include <bit>

#include "dec/bands.h"
#include "dec/block.h"
#include "dec/downmix.h"
#include "dec/headers.h"
#include "dec/instance.h"

namespace {

constexpr uint16_t kMinSearchBits = 128;
constexpr uint32_t kAdifHeaderBits = 1024;  // more than 1023 bits before the header is read
constexpr uint32_t kAdifFrameModeBits = 8192;

struct Call {
    MP4AACDEC_QUVA_Obj* obj;
    bool frame;      // frame mode: whole frames per call, FIFO reset per new input
    bool pull;       // streaming with a get-bits callback: the FIFO pulls its input
    uint32_t count;  // measured bit count
};

uint32_t bytes_since(const DecFifo& f, const DecFifo& start) {
    return static_cast<uint32_t>(kvxdec_decfifoDistant(&f, &start)) / 8u;
}

// Puts the reader back at an earlier position of this call, keeping what
// has been written (pulled) since.
void rewind_to(DecFifo& f, const DecFifo& start) {
    uint16_t* const write_ptr = f.write_ptr;
    f = start;
    f.write_ptr = write_ptr;
    f.status = DECFIFO_OK;
}


// A channel configuration the decoder plays: up to two channels, and up to
// 7.1 when the host asked for the downmix.
bool configuration_played(const MP4AACDEC_QUVA_Obj* obj, uint32_t config) {
    return config <= 2 || (obj->ctx->downmix && config <= 7);
}

// Whether `bytes` are held from the reader (pull mode fetches them), the
// FIFO's status left as it was: a look ahead, whose dry source is not the
// block's underrun.
bool held_ahead(DecFifo& f, uint32_t bytes) {
    const uint16_t status = f.status;
    const bool held = decfifo_hold(&f, static_cast<uint16_t>(bytes));
    f.status = status;
    return held;
}

// 1 when an ADTS header of the current stream (syncword, layer, listed rate,
// same fixed fields) stands `at` bytes after the byte-aligned reader.
bool header_of_stream_at(MP4AACDEC_QUVA_Obj* obj, uint32_t at) {
    DecFifo& f = obj->fifo;
    if (!held_ahead(f, at + kAdtsFixedBytes)) return false;
    uint8_t b[kAdtsFixedBytes];
    for (uint32_t k = 0; k < kAdtsFixedBytes; ++k) b[k] = decfifo_peek_byte(&f, at + k);
    AdtsFields h;
    adts_fields(b, &h);
    const AdtsFields cur = adts_kept_fields(obj->adts);
    return adts_fixed_valid(&h) && adts_same_stream(&h, &cur);
}

// The reader may go back to the block's start only while what it read is
// still held.
bool block_start_held(const DecFifo& f) { return f.words_read + kvxdec_decfifoGetBitCount(&f) / 16u + 1u < f.size; }

// The zero byte a pair stream's raw blocks may have between them, skipped
// when it stands next and is held.
void skip_zero_gap(DecFifo& f) {
    if (held_ahead(f, 1) && decfifo_peek_byte(&f, 0) == 0) kvxdec_decfifoAdjust(&f, 1);
}

// Before a stream's first block decides whether it plays SBR at twice its
// core rate, the rate of a block standing in for a lost one is not known
// unless the configuration says: it would play at the core rate and the
// stream change rate under the host after it (a host writing one rate to
// a file stopped there).
bool rate_unknown(const MP4AACDEC_QUVA_Obj* obj) {
    if constexpr (kSbrBuilt) {
        const SbrDecoder* s = obj->ctx->sbr;
        return s && s->mode == SBR_MODE_FULL && !s->decided && (s->signalled & 3) == SBR_SIGNALLED_NONE;
    }
    return false;
}

// One concealed block (or, with concealment off or no rate to play it at,
// nothing).
uint16_t conceal(MP4AACDEC_QUVA_Obj* obj) {
    // The stream's channels are those of its last good block, not what the
    // failed one mapped before it failed (the status reports them).
    if (obj->goodChannels && !obj->mcInfo.mix_last && obj->ctx->defaultConfig)
        obj->mcInfo.num_channels = obj->goodChannels;
    if (obj->concealOff || rate_unknown(obj)) {
        downmix_forget_block(obj);
        // (Counted as lost in a row all the same: see programDoubted.)
        if (obj->concealRun < 0xFFFF) ++obj->concealRun;
        obj->ctx->blockDropped = 1;
        return 0;
    }
    conceal_block(obj);
    return obj->numSamples;
}

// Bytes a concealed block stands for in a stream without frame lengths
// before any block has decoded there.
constexpr uint32_t kDefaultBlockBytes = 16 * kMinBlockBytes;

// A good block of a stream without frame lengths: its size joins the
// average, and the count of bytes stepped over starts again.
void count_good_block(MP4AACDEC_QUVA_Obj* obj, uint32_t bytes) {
    DecoderContext& ctx = *obj->ctx;
    // (A good block takes at least one byte: the average never falls to 0.)
    ctx.blockBytes = ctx.blockBytes ? (7 * ctx.blockBytes + bytes + 4) / 8 : bytes;
    ctx.skippedBytes = 0;
    ctx.steppingOver = 0;
}

// Damage in a stream without frame lengths: `stepped` bytes were passed
// over. A block is concealed only for every average block's worth of
// them, so the output never grows beyond what the damaged bytes carried.
uint16_t step_over(MP4AACDEC_QUVA_Obj* obj, uint32_t stepped) {
    DecoderContext& ctx = *obj->ctx;
    const uint32_t per_block = ctx.blockBytes ? ctx.blockBytes : kDefaultBlockBytes;
    ctx.skippedBytes += stepped;
    ctx.steppingOver = 1;
    if (ctx.skippedBytes < per_block) return 0;
    ctx.skippedBytes -= per_block;
    return conceal(obj);
}

// ADTS: after a good frame, the stream's next header is not where its
// length says (destroyed, its frame lost with it), or in frame mode not at
// the call's input. The search that follows counts what it steps over, and
// the frame those bytes held is concealed where the stream turns up again
// (lost_frames; in frame mode, also where the call's input ends), so the
// timeline keeps its length. Only after a good frame of the stream: what
// comes before a stream's first frame, after a seek or a reset, or after a
// failed frame (whose length may be what was damaged, and whose own bytes
// the search steps over again) stands for nothing. (steppingOver: bit 0
// while stepping, bit 1 once a byte was other than fill, bit 2 once one of
// the first kLeadWithin began as the stream's blocks do.)
void search_lost(MP4AACDEC_QUVA_Obj* obj) {
    DecoderContext& ctx = *obj->ctx;
    if (!ctx.blockBytes) return;
    ctx.steppingOver = 1;
    ctx.skippedBytes = 0;
}

// A good ADTS frame of `bytes`: they join the average of the stream's
// frames (in blockBytes), and a search's count starts again.
void count_good_frame(MP4AACDEC_QUVA_Obj* obj, uint32_t bytes) {
    DecoderContext& ctx = *obj->ctx;
    ctx.blockBytes = ctx.blockBytes ? (7 * ctx.blockBytes + bytes + 4) / 8 : bytes;
    ctx.skippedBytes = 0;
    ctx.steppingOver = 0;
}

// The blocks of the frame lost after search_lost, from the bytes the
// search stepped over: the search stops at the first header left, so they
// are one frame, which stands for as many blocks as the stream's last
// whole frame had. They count as a frame when some are other than fill
// (0x00 or 0xFF: a gap, stuffing) and either they hold a third of the
// stream's average frame (most frames hold from half of it to twice it),
// or, fewer (a frame of silence, or one where a quiet passage begins, may
// hold a tenth of it or less), one of their first kLeadWithin bytes (a
// header, its check words, or what is left of it) begins as the stream's
// blocks begin: the first element's id and tag (stepped_over). Other
// stretches add nothing. Junk put between frames reads as a lost frame
// when it holds a third of the average, and when shorter in fewer than one
// case of ten (a byte near its start that begins as a block does). A
// stretch never makes more than a frame's blocks. A loss is counted as an
// error.
uint32_t lost_blocks(MP4AACDEC_QUVA_Obj* obj) {
    DecoderContext& ctx = *obj->ctx;
    const uint32_t bytes = ctx.skippedBytes;
    const uint32_t average = ctx.blockBytes;
    const uint8_t seen = ctx.steppingOver;
    ctx.steppingOver = 0;
    ctx.skippedBytes = 0;
    const bool held = (seen & 2) && (3u * uint64_t{bytes} >= average || ((seen & 4) && bytes >= kLeadMinBytes));
    if (!average || !held) return 0;
    ++obj->errorCount;
    obj->lastError = KVXD_ERR_BLOCK;
    return ctx.frameBlocks ? ctx.frameBlocks : 1u;
}

// The search found the stream again after search_lost (or, in frame mode,
// the call's input ran out): the lost blocks concealed, the first now, the
// rest one per call as a failed frame's are. 0: none.
uint16_t lost_frames(MP4AACDEC_QUVA_Obj* obj) {
    const uint32_t blocks = lost_blocks(obj);
    if (!blocks || obj->concealOff) return 0;  // (counted all the same)
    obj->concealPending = static_cast<uint16_t>(blocks - 1);
    return conceal(obj);
}

// Frame mode: the bytes of the call's input after its frame, taken as the
// search would have stepped over them (a frame that lost its header to
// damage, handed over with the one before it, or junk); false when there
// are none or they begin with a tag.
bool step_after_frame(const DecFifo& f, DecoderContext& ctx) {
    const uint32_t held = kvxdec_decfifoGetBitCount(&f) / 8u;
    // (The zero word and a byte that rounds the input to words, every call.)
    if (held <= 3 || tag_at(f)) return false;
    uint8_t seen = 1;
    for (uint32_t k = 0; k < held; ++k) seen |= stepped_over(decfifo_peek_byte(&f, k), k, ctx.blockLead);
    ctx.steppingOver = seen;
    ctx.skippedBytes = held - 3;  // (not the call's own bytes)
    return true;
}

// Outcome of a failed block of a stream without frame lengths in streaming
// or pull mode.
struct Stepped {
    uint16_t samples;  // a concealed block, or 0
    bool moved;        // the reader moved on: another try may follow in this call
};

// A failed ADIF or raw block (streaming and pull mode): the next try starts
// one byte after where the block began (blocks start on byte boundaries),
// or where the block's reading ended when its start is no longer held.
// With no byte held past the start, nothing moves: the block is tried again
// when more input has come, and nothing is concealed for it.
Stepped lose_unframed_block(Call& call, const DecFifo& block_start, bool start_held) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    DecFifo& f = obj->fifo;
    obj->state = obj->rawStream ? STATE_FRAMES : STATE_ADIF;
    if (!start_held) return {step_over(obj, bytes_since(f, block_start)), true};
    rewind_to(f, block_start);
    if (!decfifo_hold(&f, 1)) {
        f.status = DECFIFO_OK;
        return {0, false};
    }
    kvxdec_decfifoAdjust(&f, 1);
    return {step_over(obj, 1), true};
}

// A block that failed to decode: counted; the reader goes where the stream
// can go on; the block, and in an ADTS frame every block of the frame not
// yet decoded, is concealed.
//
// ADTS: when the header of the next frame stands where this frame's length
// says, the loop goes on there and only this frame is lost; otherwise it
// searches from where the block began. Either way the frame's blocks keep
// their place in the timeline. A failed ADIF or raw block keeps its
// state (there is no header to search for): see lose_unframed_block. In
// frame mode the call's input was the block: it is concealed.
uint16_t lose_block(Call& call, const DecFifo& block_start, bool adts, bool* moved = nullptr) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    DecFifo& f = obj->fifo;
    ++obj->errorCount;
    obj->lastError = KVXD_ERR_BLOCK;
    if (moved) *moved = false;
    const bool start_held = block_start_held(f);
    if (!adts) {
        if (call.frame) {
            obj->state = obj->rawStream ? STATE_FRAMES : STATE_ADIF;
            fifo_reset(obj);
            return conceal(obj);
        }
        const Stepped s = lose_unframed_block(call, block_start, start_held);
        if (moved) *moved = s.moved;
        return s.samples;
    }

    if (obj->unconfirmed) {
        // Not a frame after all: the search goes on behind its syncword,
        // and nothing is concealed for it. It goes on in this call, as
        // after a block dropped: the wait for such a frame may have filled
        // the FIFO, and a call that gives nothing brings the host's next
        // piece, which would overflow it (junk holding copies of the
        // stream's header lost the good frames held behind them).
        obj->unconfirmed = 0;
        obj->headerPending = 1;
        obj->blockCount = 0;
        if (start_held) rewind_to(f, block_start);
        obj->state = STATE_SEARCH;
        obj->bitsNeeded = obj->defaultBitsNeeded;
        obj->ctx->blockDropped = 1;
        return 0;
    }
    const AdtsHeader& h = obj->adts;
    // The blocks of the frame not yet decoded: as many as its header claims,
    // but no more than the stream's last whole frame had (damage read as a
    // header, or a flipped block count, claimed up to four in a stream of
    // one-block frames, and the timeline grew by the blocks it invented).
    uint32_t blocks = static_cast<uint32_t>(h.number_of_raw_data_blocks_in_frame) + 1u;
    if (obj->ctx->frameBlocks && blocks > obj->ctx->frameBlocks) blocks = obj->ctx->frameBlocks;
    const uint32_t left = blocks > obj->blockCount ? blocks - obj->blockCount : 1u;
    const uint32_t length = static_cast<uint16_t>(h.aac_frame_length);
    obj->headerPending = 1;
    obj->blockCount = 0;
    // A block the header did not count was not one after all: the frame
    // ends here, and nothing is concealed for it. Otherwise every block of
    // the frame not yet decoded is concealed, wherever the next frame turns up.
    const bool uncounted = obj->ctx->uncountedBlock != 0;
    obj->ctx->uncountedBlock = 0;
    if (!uncounted) obj->concealPending = static_cast<uint16_t>(left - 1);
    if (call.frame) {
        // The frame was all this call's input: it is done, the rest with it.
        fifo_reset(obj);
    } else {
        obj->state = STATE_SEARCH;
        if (start_held) {
            rewind_to(f, block_start);
            const uint32_t rest = length > obj->blockOffset ? length - obj->blockOffset : 0;
            if (header_of_stream_at(obj, rest)) {
                kvxdec_decfifoAdjust(&f, static_cast<int16_t>(rest));
                obj->state = STATE_FRAMES;
            }
        }
    }
    return uncounted ? 0 : conceal(obj);
}

// Where a header of the stream stands behind the reader, after the start of
// the block just read: its offset from the block's start, the nearest to
// the reader, or 0 (none, or the block's start no longer held). The reader
// stays where it is.
uint32_t header_behind(MP4AACDEC_QUVA_Obj* obj, const DecFifo& block_start) {
    DecFifo& f = obj->fifo;
    if (!block_start_held(f)) return 0;
    const DecFifo end = f;
    uint32_t at = bytes_since(f, block_start);
    rewind_to(f, block_start);
    while (at > 1 && !header_of_stream_at(obj, at - 1)) --at;
    rewind_to(f, end);
    return at > 1 ? at - 1 : 0;
}

// After the last block of a frame in streaming mode: if the block ended
// before the frame's end, go to the next frame's header when it is where the
// frame length says, otherwise carry on where the block ended. A block that
// read into the next frame, bytes of its own frame being lost (the end of a
// fill element takes the next frame's first bytes as its own, or the
// syncword's first bits as the block's end), with no header where it ended
// or where the length says: that header stands behind, after the block's
// start, and the next frame is read from there, rather than searched for
// past its syncword and lost.
void check_frame_end(MP4AACDEC_QUVA_Obj* obj, const DecFifo& block_start) {
    DecFifo& f = obj->fifo;
    const uint32_t length = static_cast<uint16_t>(obj->adts.aac_frame_length);
    if (header_of_stream_at(obj, 0)) return;
    if (obj->blockOffset < length) {
        // A header of the stream where the block ended, the frame's length
        // saying more: the length was damaged, and the frame of that header
        // is the next one (a length that landed on a later header skipped
        // it, unconcealed).
        const uint32_t rest = length - obj->blockOffset;
        if (header_of_stream_at(obj, rest)) {
            kvxdec_decfifoAdjust(&f, static_cast<int16_t>(rest));
            return;
        }
    }
    const uint32_t at = header_behind(obj, block_start);
    if (!at) return;
    rewind_to(f, block_start);
    kvxdec_decfifoAdjust(&f, static_cast<int16_t>(at));
}

uint16_t frames(Call& call);

// The syncword's 12 bits where the frame's length leads (held: the frame
// waited for its length and nine bytes more).
bool syncword_at(MP4AACDEC_QUVA_Obj* obj, uint32_t length) {
    const uint32_t at = length - obj->blockOffset;
    return decfifo_peek_byte(&obj->fifo, at) == 0xFF && (decfifo_peek_byte(&obj->fifo, at + 1) & 0xF0) == 0xF0;
}

// Zeros where a frame of `length` ends, as many as streaming holds after a
// frame before it reads it (the next header's nine bytes): the padding
// after a stream's last frame, not a frame's data.
bool end_padding_at(MP4AACDEC_QUVA_Obj* obj, uint32_t length) {
    DecFifo& f = obj->fifo;
    const uint32_t at = length - obj->blockOffset;
    if (!held_ahead(f, at + 9u)) return false;
    uint32_t any = 0;
    for (uint32_t k = 0; k < 9u; ++k) any |= decfifo_peek_byte(&f, at + k);
    return any == 0;
}

// 1 when `longer` is `length` with one bit more set.
bool one_bit_longer(uint32_t longer, uint32_t length) {
    const uint32_t away = longer ^ length;
    return longer > length && !(away & (away - 1u));
}

// A frame of one block whose length leads to no header of the stream
// (streaming and pull mode), or to short of the end of the call's input,
// the frame (frame mode), where a length one bit longer does: a flipped bit
// made the length shorter, failing the block where it passed that end, and
// the frame was lost. Gives that longer length, up to which the block may
// read on (frame_end_confirmed says whether it counts), or 0 (the length
// stands). Streaming looks no further than what it holds.
uint32_t longer_length(Call& call, uint32_t length) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    if (call.frame) {
        // (The input rounded to whole words, and the zero word appended:
        // the input ends 2 or 3 bytes before what is held. The later end is
        // tried first: a length 2 short of an even input's end is one bit
        // short of both, and the earlier cut the block off. Where the
        // block ends decides whether it counts.)
        const uint32_t held = kvxdec_decfifoGetBitCount(&obj->fifo) / 8u + obj->blockOffset;
        for (uint32_t end = held - 2u; end >= held - 3u; --end)
            if (one_bit_longer(end, length)) return end;
        return 0;
    }
    // (A header stands there, or a damaged one: the length stands. A full
    // FIFO may not hold it: stale bytes are read, and a longer length is
    // then taken only where a header of the stream is held.)
    if (syncword_at(obj, length)) return 0;
    // (A bit the length has already leads where no header stands.)
    for (uint32_t bit = 1; bit <= kAdtsLengthLimit; bit <<= 1)
        if (header_of_stream_at(obj, (length | bit) - obj->blockOffset)) return length | bit;
    return 0;
}

// Streaming: the failed first block of a frame whose length leads to no
// syncword, where no length one bit longer was found, waits, as pull mode
// fetches, until what those lengths lead to is held, and is tried again:
// longer_length then finds them whatever pieces the input came in. The
// lengths a frame of one block can have (6144 bits a channel; a layout by
// program, up to eight), as far as the FIFO can wait. Not where the length
// leads to the zeros that pad a stream's end: a last frame cut short, which
// more input would not mend (and the end's padding would not push through).
// A mixed layout's block, whose elements go into the sums as they are read,
// cannot be tried twice: it waits `before` its first try instead, where no
// longer length is held yet. True: wait (bitsNeeded set, counted from the
// block's start).
bool wait_for_longer(Call& call, const DecFifo& block_start, bool before) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    const uint32_t length = static_cast<uint16_t>(obj->adts.aac_frame_length);
    if (call.frame || call.pull || obj->rawStream || obj->blockCount != 0 ||
        obj->adts.number_of_raw_data_blocks_in_frame != 0 || length <= obj->blockOffset ||
        !block_start_held(obj->fifo) || (!before && (obj->mcInfo.mix_block || obj->ctx->doubtedLength)))
        return false;
    const DecFifo end = obj->fifo;
    rewind_to(obj->fifo, block_start);
    bool stands = syncword_at(obj, length) || end_padding_at(obj, length);
    if (before && !stands) stands = longer_length(call, length) != 0;
    obj->fifo = end;
    if (stands) return false;
    const uint32_t config = static_cast<uint32_t>(obj->adts.channel_configuration);
    const uint32_t most = obj->blockOffset + 768u * (config == 0 || config == 7 ? 8u : config);
    uint32_t longest = length;
    for (uint32_t bit = 1; bit <= kAdtsLengthLimit; bit <<= 1)
        if (!(length & bit) && (length | bit) <= most) longest = length | bit;
    const uint32_t limit = decfifo_wait_limit(obj->fifo);
    const uint32_t want = 8u * (longest - obj->blockOffset + kAdtsFixedBytes);
    const uint32_t bits = want < limit ? want : limit;
    if (call.count >= bits) return false;
    obj->bitsNeeded = bits;
    return true;
}

uint16_t adif(Call& call) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    if (call.frame) obj->bitsNeeded = kAdifFrameModeBits;
    // Frame mode measures the FIFO here; pull mode fetches on demand and is
    // never held back by the threshold.
    if (call.frame) call.count = kvxdec_decfifoGetBitCount(&obj->fifo);
    if (call.pull) call.count = obj->bitsNeeded;
    if (call.count < obj->bitsNeeded) return 0;
    if (obj->blockCount == 0) {
        if (!call.pull && kvxdec_decfifoGetBitCount(&obj->fifo) < kAdifHeaderBits) return 0;
        if (!aacDecodeADIFHeader(obj)) {
            // A header that ran past the data held is read again from the
            // start of the call once more has come.
            if (obj->fifo.status == DECFIFO_UNDERRUN) kvxdec_context_restore(obj);
            ++obj->errorCount;
            obj->lastError = KVXD_ERR_ADIF_HEADER;
            return 0;
        }
        obj->blockCount = 1;
    }
    obj->ctx->defaultConfig = 1;
    obj->ctx->blockLimitBits = 0;
    obj->ctx->doubtedLength = 0;
    kvxdec_byte_align(&obj->fifo);
    // Damage is stepped over byte by byte within the call, until a block
    // decodes, a concealed block is due or the input held runs out.
    for (;;) {
        const DecFifo block_start = obj->fifo;
        if (aacDecode(obj) > 0) {
            count_good_block(obj, bytes_since(obj->fifo, block_start));
            return obj->numSamples;
        }
        if (obj->fifo.status == DECFIFO_UNDERRUN && !call.frame) {
            // Incomplete: tried again from the start of the call (or from
            // the last byte stepped to).
            kvxdec_context_restore(obj);
            obj->state = STATE_ADIF;
            ++obj->errorCount;
            obj->lastError = KVXD_ERR_BLOCK;
            return 0;
        }
        bool moved = false;
        const uint16_t r = lose_block(call, block_start, false, &moved);
        if (r || !moved || obj->state != STATE_ADIF) return r;
        kvxdec_context_save(obj);
    }
}

uint16_t search(Call& call) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    obj->ctx->defaultConfig = 1;
    obj->headerPending = 1;
    obj->ctx->rawWrite = 0;
    obj->blockCount = 0;
    call.count = call.pull ? kMinSearchBits : kvxdec_decfifoGetBitCount(&obj->fifo);
    if (obj->rawStream) {
        // Raw streams are never searched.
        obj->adts.number_of_raw_data_blocks_in_frame = 0;
        obj->state = STATE_FRAMES;
        return frames(call);
    }
    // Frame mode holds all its input: a frame of any length is searched.
    if (!call.frame && call.count < kMinSearchBits) return 0;
    if (!kvxdec_Synchronize(obj)) {
        // (Frame mode: the call's input held no frame of the stream.)
        return call.frame && obj->ctx->steppingOver ? lost_frames(obj) : 0;
    }
    // Streaming: a frame that is not yet complete is retried from here.
    kvxdec_context_save(obj);
    if (obj->state == STATE_FRAMES) {
        // (A frame the search could not confirm, followed by junk, tells
        // nothing yet: the count goes on if it fails.)
        if (obj->ctx->steppingOver && !obj->unconfirmed) {
            const uint16_t r = lost_frames(obj);
            if (r) return r;
        }
        return frames(call);
    }
    if (obj->state == STATE_ADIF) return adif(call);
    return 0;
}

// A header that is not quite one of the stream where the last frame's length
// says the next header stands: a flipped bit in a field the stream keeps
// (syncword, ID, layer, profile, rate, channels). It is the stream's next
// frame all the same when its own length leads to a header of the stream
// (in frame mode: to the end of the input). 1: take it, 0: wait for the
// bytes that tell, -1: not a frame.
int damaged_header_of_stream(Call& call) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    DecFifo& f = obj->fifo;
    if (obj->ctx->bno == 0) return -1;  // no stream yet to be a frame of
    uint8_t b[kAdtsFixedBytes];
    for (uint32_t k = 0; k < kAdtsFixedBytes; ++k) b[k] = decfifo_peek_byte(&f, k);
    AdtsFields h;
    adts_fields(b, &h);
    // A flipped bit or two, not another stream's header (another rate or
    // channel count differs in more): the fields the stream keeps, bit by bit.
    AdtsFields stream = adts_kept_fields(obj->adts);
    if (!adts_near(&h, &stream)) return -1;
    stream.number_of_raw_data_blocks_in_frame = h.number_of_raw_data_blocks_in_frame;
    const uint32_t length = h.aac_frame_length;
    if (length < adts_header_bytes(&stream) + kMinBlockBytes || length > adts_frame_limit(f.size))
        return -1;
    const uint32_t held = kvxdec_decfifoGetBitCount(&f) / 8u;
    if (call.frame) {
        // The call's input (and the zero word the loop appends) ends the frame.
        if (length + 2 > held || length + 3 < held) return -1;
        // Nothing follows to tell a damaged header from the first frame of
        // another stream a bit or two away (44.1 and 22.05 kHz, one channel
        // and two): a second frame in a row with the same header is the new
        // stream's, which the search then takes up. Only a header the search
        // takes, of the stream's profile and of channels the decoder plays
        // (one or two; up to 7.1 with the downmix), can be another stream's:
        // a flipped syncword, layer or profile, or a channel configuration
        // the decoder refuses, stays a damaged header of the stream however
        // often it comes.
        const bool played = h.channel_configuration != 0 && configuration_played(obj, h.channel_configuration);
        if (!adts_fixed_valid(&h) || h.profile != stream.profile || !played) return 1;
        const uint16_t near = static_cast<uint16_t>(
            0x8000u | unsigned{h.id} << 12 | unsigned{h.layer} << 10 | unsigned{h.protection_absent} << 9 |
            unsigned{h.profile} << 7 | unsigned{h.sampling_frequency_index} << 3 | unsigned{h.channel_configuration});
        if (obj->nearHeader == near) {
            obj->nearHeader = 0;
            return -1;
        }
        obj->nearHeader = near;
        return 1;
    }
    const uint16_t status = f.status;
    if (!decfifo_hold(&f, static_cast<uint16_t>(length + kAdtsFixedBytes))) {
        const bool dry = call.pull && f.status == DECFIFO_UNDERRUN;
        f.status = status;
        return dry ? -1 : 0;
    }
    return header_of_stream_at(obj, length) ? 1 : -1;
}

// Reads the ADTS header at the reader. 1: read; 2: read, and its check-word
// flag in doubt (kvxdec_ADTS_error_check); 0: wait for more input
// (streaming) or nothing left (frame mode); -1: no header of this stream
// here, search.
int read_header(Call& call) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    DecFifo& f = obj->fifo;
    obj->ctx->rawWrite = 0;
    kvxdec_byte_align(&f);
    const uint16_t status = f.status;
    if (!decfifo_hold(&f, kAdtsFixedBytes)) {
        if (call.pull && f.status != DECFIFO_UNDERRUN) return -1;
        f.status = status;
        return 0;
    }
    // A header of the stream that begins inside this one: this one is cut
    // short, the first bytes of a frame where the stream was cut, the end's
    // padding (a header) after them, and no frame (its fields taken from
    // the padding's made up to four blocks, concealed): the header inside
    // is read. (A byte 0xFF is looked at further only. One or two bytes
    // before another header make no header of the stream.)
    for (uint32_t k = 3; k < kAdtsFixedBytes; ++k) {
        if (decfifo_peek_byte(&f, k) == 0xFF && header_of_stream_at(obj, k)) {
            kvxdec_decfifoAdjust(&f, static_cast<int16_t>(k));
            break;
        }
    }
    // Headers after the first are checked as the first was: syncword and
    // the fields a stream keeps. The frame length is not judged here: a
    // length that disagrees with the data is dealt with by the block.
    bool damaged = false;
    // (The last header's.)
    const bool unprotected = obj->adts.protection_absent != 0;
    const int blocks = obj->adts.number_of_raw_data_blocks_in_frame;
    if (!header_of_stream_at(obj, 0)) {
        const int r = damaged_header_of_stream(call);
        if (r <= 0) return r;
        damaged = true;
    } else {
        obj->nearHeader = 0;
    }
    if (damaged) {
        // The stream's own fields stand: the damaged header's 28 fixed bits
        // are passed over, and it gives only its length and block count.
        aacdec_getbits(obj, 12);
        aacdec_getbits(obj, 16);
    } else {
        kvxdec_ADTS_fixed_header(obj);
    }
    kvxdec_ADTS_variable_header(obj);
    const int checked = kvxdec_ADTS_error_check(obj, unprotected, blocks);
    const AdtsHeader& h = obj->adts;
    obj->mcInfo.num_channels = h.channel_configuration;
    // More than two channels play only as a downmix (up to configuration 7).
    if (!configuration_played(obj, static_cast<uint32_t>(h.channel_configuration))) {
        obj->lastError = KVXD_ERR_CHANNELS;
        obj->mcInfo.more_channels = static_cast<uint8_t>(h.channel_configuration == 7 ? 8 : h.channel_configuration);
    }
    obj->mcInfo.profile = h.profile;
    obj->mcInfo.sampling_rate_idx = h.sampling_frequency_index;
    // The band layouts follow every header read: they are rebuilt after a
    // search and whenever they were built for another rate.
    const SampRateInfo* sri = &samp_rate_kvxdec_info[h.sampling_frequency_index & 15];
    if (obj->ctx->bno == 0 || obj->ctx->bandsRate != sri->sampling_rate) kvxdec_infoinit(obj, sri);
    obj->blockCount = 0;
    obj->headerPending = 0;
    AdtsFields fields{};
    // (A flag in doubt: the block is read first where no check word stands.)
    fields.protection_absent = static_cast<uint8_t>(checked == 2 ? 1 : h.protection_absent);
    fields.number_of_raw_data_blocks_in_frame = static_cast<uint8_t>(h.number_of_raw_data_blocks_in_frame);
    obj->blockOffset = static_cast<uint16_t>(adts_header_bytes(&fields));
    obj->ctx->rawWrite = 1;
    call.count = kvxdec_decfifoGetBitCount(&f);
    // Streaming waits until the rest of the frame and nine bytes more (the
    // next header with its CRC word) are held: for a seven-byte header the
    // frame length plus 16 bits after it. Frame mode decodes what it was
    // given: a frame cut short fails in its block.
    if (!call.frame) {
        const uint32_t length = static_cast<uint16_t>(h.aac_frame_length);
        const uint32_t rest = length > obj->blockOffset ? length - obj->blockOffset : 0;
        obj->bitsNeeded = (rest + 9u) * 8u;
        if (call.pull) {
            // Pull mode fetches the same; a source that runs dry before
            // leaves the frame waiting, as streaming mode does. (A FIFO
            // without room for it decodes what it can hold: no refill is
            // tried then, and a status an earlier dry source left is not
            // this one's.)
            const uint16_t before = f.status;
            f.status = DECFIFO_OK;
            const bool dry = !decfifo_hold(&f, static_cast<uint16_t>(rest + 9u)) && f.status == DECFIFO_UNDERRUN;
            f.status = before;
            call.count = dry ? 0 : obj->bitsNeeded;
        } else if (obj->bitsNeeded > decfifo_wait_limit(f)) {
            // More than the FIFO holds with room for one more piece of
            // input: waiting for it, the FIFO overflowed, and the wait
            // began again, for ever (a length flipped longer). The frame
            // is read from what it holds then (a block that runs dry is
            // not tried again: more input would overflow the FIFO). One
            // whose block starts with a zero byte is the end's padding (a
            // header and zeros, read so) or no frame: nothing is concealed
            // for it if it fails. (A frame this long starts with a pair,
            // or with a single channel's gain.)
            obj->bitsNeeded = decfifo_wait_limit(f);
            obj->unconfirmed = decfifo_peek_byte(&f, 0) == 0;
        }
    }
    return checked == 2 ? 2 : 1;
}

uint16_t frames(Call& call) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    DecFifo& f = obj->fifo;
    bool flag_doubted = false;
    if (!obj->rawStream && obj->headerPending) {
        const int r = read_header(call);
        if (r == 0) return 0;
        flag_doubted = r == 2;
        if (r < 0) {
            search_lost(obj);
            obj->state = STATE_SEARCH;
            return search(call);
        }
        if (!call.frame && call.count < obj->bitsNeeded) {
            kvxdec_context_restore(obj);  // back before the header: wait for the whole frame
            return 0;
        }
    }
    obj->ctx->defaultConfig = 1;
    DecFifo block_start = f;
    // (The frame's first byte, for lost_blocks, when it is the one the
    // FIFO's cache holds, as decfifo_peek_byte finds it: about every second
    // frame, which is enough for a byte that stays the stream's.)
    const uint8_t lead =
        !obj->rawStream && obj->blockCount == 0 && f.bits_left >= 8 ? static_cast<uint8_t>((f.cache >> 8) | 1u) : 0u;
    // An ADTS block may take at most the rest of its frame (or, the frame's
    // length in doubt, of the frame one bit longer).
    const uint32_t length = static_cast<uint16_t>(obj->adts.aac_frame_length);
    bool first_try = obj->blockCount == 0 && obj->adts.number_of_raw_data_blocks_in_frame == 0;
    if (first_try && downmix_block_ahead(obj) && wait_for_longer(call, block_start, true)) return 0;
    for (;;) {
        obj->ctx->blockLimitBits =
            static_cast<uint16_t>(!obj->rawStream && length > obj->blockOffset ? 8u * (length - obj->blockOffset) : 0);
        obj->ctx->doubtedLength = 0;
        const uint32_t longer = first_try && obj->ctx->blockLimitBits ? longer_length(call, length) : 0;
        if (longer) {
            obj->ctx->doubtedLength = static_cast<uint16_t>(length);
            obj->ctx->blockLimitBits = static_cast<uint16_t>(8u * (longer - obj->blockOffset));
        }
        first_try = false;
        if (aacDecode(obj) > 0) break;
        // The first block of a frame whose check-word flag is in doubt,
        // read as if the frame had no check words, is tried once more after
        // them (the blocks' positions and the check word; not a mixed
        // layout's block, whose elements are in the sums). (The frame is
        // held whole: one that ran out of data read past it.)
        if (flag_doubted && !obj->mcInfo.mix_block && block_start_held(f)) {
            flag_doubted = false;
            const uint32_t words = 2u + 2u * static_cast<uint32_t>(obj->adts.number_of_raw_data_blocks_in_frame);
            rewind_to(f, block_start);
            kvxdec_decfifoAdjust(&f, static_cast<int16_t>(words));
            block_start = f;
            obj->adts.protection_absent = 0;
            obj->blockOffset = static_cast<uint16_t>(obj->blockOffset + words);
            obj->state = STATE_FRAMES;
            continue;
        }
        // A mixed layout's block adds each element to the sums as it is
        // read (dec/block.cpp): one of an ADTS frame, held whole, that runs
        // out of data has read past the frame's end, and is lost here
        // rather than tried again with its first elements in the sums twice.
        if (f.status == DECFIFO_UNDERRUN && !call.frame) {
            if ((!obj->mcInfo.mix_block || !obj->ctx->blockLimitBits || call.pull) && !obj->unconfirmed &&
                obj->bitsNeeded < decfifo_wait_limit(f)) {
                // Incomplete: tried again from the start of the call once
                // more has come. aacDecode left the state alone. (Not a
                // frame unconfirmed, which was held to its end and nine
                // bytes more: its block was no frame; nor one read from all
                // the FIFO holds.)
                kvxdec_context_restore(obj);
                ++obj->errorCount;
                obj->lastError = KVXD_ERR_BLOCK;
                return 0;
            }
            // (The frame is still held from the block's start: read from there.)
            rewind_to(f, block_start);
        }
        if (wait_for_longer(call, block_start, false)) {
            // The header stays read: the block is tried again from its
            // start, as the frame's first, once that much is held.
            rewind_to(f, block_start);
            obj->pceCount = obj->savedPceCount;
            obj->state = STATE_FRAMES;
            return 0;
        }
        // In frame mode running dry means the frame was cut short. Raw
        // blocks step over damage byte by byte within the call.
        bool moved = false;
        const uint16_t r = lose_block(call, block_start, !obj->rawStream, &moved);
        if (r || !moved || !obj->rawStream || obj->state != STATE_FRAMES) return r;
        kvxdec_context_save(obj);
        block_start = f;
    }

    // (Read with no check word: so the frame was.)
    if (flag_doubted) obj->adts.protection_absent = 1;
    obj->unconfirmed = 0;
    if (obj->rawStream) {
        if (!call.frame) count_good_block(obj, bytes_since(f, block_start));
        if (call.frame) {
            fifo_reset(obj);  // one block per call
        } else {
            kvxdec_byte_align(&f);
            // A single zero byte between blocks of a pair stream is skipped
            // where it is held. (A read here would find the FIFO dry, and
            // the block, synthesised already, would be taken back and
            // decoded again over its own overlap. One not held yet starts
            // the next try, which fails at once, a pair stream's block never
            // starting so, and the next starts a byte on.)
            if (obj->mcInfo.num_channels == 2) skip_zero_gap(f);
        }
    } else {
        // Blocks end on a byte boundary; in a protected frame of several
        // blocks each is followed by its crc_check.
        kvxdec_byte_align(&f);
        const AdtsHeader& h = obj->adts;
        if (!h.protection_absent && h.number_of_raw_data_blocks_in_frame > 0) aacdec_getbits(obj, 16);
        obj->blockOffset = static_cast<uint16_t>(obj->blockOffset + bytes_since(f, block_start));
        if (lead) obj->ctx->blockLead = lead;
        ++obj->blockCount;
        // Blocks the header still promises where the frame has no room for
        // one more are damage (a flipped block count), not blocks.
        if (obj->blockCount <= h.number_of_raw_data_blocks_in_frame && obj->blockOffset + kMinBlockBytes > length)
            obj->blockCount = static_cast<uint16_t>(h.number_of_raw_data_blocks_in_frame + 1);
        // Room for a block after the blocks counted, and no header of the
        // stream where the last one ended, or behind it (the block read
        // into the next frame): the count was damaged, and what follows is
        // tried as one more block (up to the four a frame can carry). One
        // that fails gives nothing.
        obj->ctx->uncountedBlock = 0;
        if (obj->blockCount > h.number_of_raw_data_blocks_in_frame && obj->blockCount < 4 &&
            obj->blockOffset + kMinBlockBytes <= length && !header_of_stream_at(obj, 0) &&
            !header_behind(obj, block_start)) {
            obj->ctx->uncountedBlock = 1;
            ++obj->adts.number_of_raw_data_blocks_in_frame;
        }
        if (obj->blockCount > h.number_of_raw_data_blocks_in_frame) {
            obj->ctx->frameBlocks = static_cast<uint8_t>(obj->blockCount < 4 ? obj->blockCount : 4);
            count_good_frame(obj, length);
            obj->headerPending = 1;
            if (call.frame) {
                // One frame per call: the rest is dropped, and what it may
                // have held concealed after this frame's block.
                // (No more blocks from one call than a frame can carry: a
                // host gives the room for that many.)
                if (step_after_frame(f, *obj->ctx)) {
                    const uint32_t lost = lost_blocks(obj);
                    const uint32_t room = obj->blockCount < 4 ? 4u - obj->blockCount : 0u;
                    obj->concealPending = static_cast<uint16_t>(lost < room ? lost : room);
                }
                fifo_reset(obj);
            } else {
                check_frame_end(obj, block_start);
            }
        }
    }
    if (f.status == DECFIFO_UNDERRUN) {
        kvxdec_context_restore(obj);
        return 0;
    }
    // The next block of a frame is already held.
    obj->bitsNeeded = obj->headerPending ? obj->defaultBitsNeeded : 0;
    return obj->numSamples;
}

}  // namespace

uint16_t conceal_lost_block(MP4AACDEC_QUVA_Obj* obj) {
    if (!obj->goodChannels) return 0;
    return conceal(obj);
}

namespace {

// Lost blocks one call may pass over with concealment off.
constexpr int kMaxLostPerCall = 64;

uint16_t next_block(Call& call) {
    switch (call.obj->state) {
    case STATE_FRAMES:
        return frames(call);
    case STATE_ADIF:
        return adif(call);
    case STATE_SEARCH:
        return search(call);
    default:
        return 0;
    }
}

}  // namespace

bool frame_end_confirmed(MP4AACDEC_QUVA_Obj* obj, uint32_t block_bits) {
    const uint32_t length = obj->ctx->doubtedLength;
    const uint32_t end = obj->blockOffset + block_bits / 8u;
    if (end <= length) return true;  // within its length, as any block
    if (!one_bit_longer(end, length)) return false;
    // (Frame mode: the zero word appended, and the byte that rounds the
    // input to whole words, are all that is left.)
    if (obj->frameMode) return kvxdec_decfifoGetBitCount(&obj->fifo) <= 24u;
    return header_of_stream_at(obj, 0);
}

uint16_t aacdecode_process(MP4AACDEC_QUVA_Obj* obj, const uint16_t* words, uint16_t count) {
    Call call{obj, obj->frameMode != 0, false, 0};
    if (call.frame) {
        // New input starts afresh; a call without input goes on with the
        // blocks of the frame it holds.
        if (count) {
            fifo_reset(obj);
            obj->errorCount = 0;
            obj->concealPending = 0;
            // The call's words and one appended zero word must fit the
            // FIFO, one slot of which always stays free.
            if (count + 2u > obj->fifo.size) {
                // More than the FIFO can hold: refused whole rather than
                // letting the overflow rule drop part of it.
                ++obj->errorCount;
                obj->lastError = KVXD_ERR_BLOCK;
                return 0;
            }
            static const uint16_t kZero = 0;
            kvxdec_decfifoWriteShort(&obj->fifo, words, count);
            kvxdec_decfifoWriteShort(&obj->fifo, &kZero, 1);
        } else if (!obj->concealPending && kvxdec_decfifoGetBitCount(&obj->fifo) == 0) {
            return 0;  // the call's frame (or raw block) is done
        }
    } else if (!obj->fifo.get_bits_callback) {
        if (count && words) kvxdec_decfifoWriteShort(&obj->fifo, words, count);
        kvxdec_context_save(obj);
        call.count = kvxdec_decfifoGetBitCount(&obj->fifo);
        if (!obj->concealPending && call.count < obj->bitsNeeded) return 0;
    } else {
        // Pull mode writes nothing, but a block that finds the source dry
        // is retried from here, as in streaming mode.
        call.pull = true;
        kvxdec_context_save(obj);
    }

    // The blocks of a failed frame after the first come one per call
    // (concealment off: none).
    if (obj->concealPending && obj->concealOff) obj->concealPending = 0;
    if (obj->concealPending) {
        --obj->concealPending;
        return conceal(obj);
    }

    // With concealment off a lost block gives nothing, and the call goes on
    // with what is buffered, as a call of its own would: a call that gives
    // nothing tells the host that nothing more is ready, and a stream fed
    // piece by piece would fall behind and overflow the FIFO. (Each lost
    // block moved the reader on; the bound is a guard.)
    for (int lost = 0;; ++lost) {
        obj->ctx->blockDropped = 0;
        const uint16_t r = next_block(call);
        if (r || !obj->ctx->blockDropped || call.frame || lost == kMaxLostPerCall) return r;
        kvxdec_context_save(obj);
        if (!call.pull) {
            call.count = kvxdec_decfifoGetBitCount(&obj->fifo);
            if (call.count < obj->bitsNeeded) return 0;
        }
    }
}
