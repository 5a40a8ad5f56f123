// Frame processing loop: buffers the input words, finds and reads transport
// headers, waits until a whole frame is held, decodes at most one raw data
// block per call, and keeps the read position consistent across calls so an
// incomplete frame is retried from its start when more input has come.
#include "dec/bands.h"
#include "dec/block.h"
#include "dec/headers.h"
#include "dec/instance.h"

namespace {

constexpr uint16_t kMinSearchBits = 128;
constexpr uint32_t kAdifHeaderBits = 1024;  // more than 1023 bits before the header is read
constexpr uint32_t kAdifFrameModeBits = 8192;
constexpr uint32_t kBitsNeededCap = 0x7000;
// In frame mode the call's words and one appended zero word must fit the
// 891 words the FIFO can hold.
constexpr uint16_t kMaxFrameWords = kFifoWords - 2;

struct Call {
    MP4AACDEC_QUVA_Obj* obj;
    bool frame;      // frame mode: whole frames per call, FIFO reset per call
    bool pull;       // streaming with a get-bits callback: the FIFO pulls its input
    uint32_t count;  // measured bit count
};

// In frame mode every call starts from a frame's first byte. The first frame
// after a search is parsed without its syncword, which the search consumed;
// if that frame is lost, the next call must search again rather than take
// the next frame's syncword for header bits (and so every frame after it).
void resync_if_first_frame_lost(MP4AACDEC_QUVA_Obj* obj) {
    if (obj->frameMode && kvxdec_bno == 0) obj->state = STATE_SEARCH;
}

uint16_t fail_block(MP4AACDEC_QUVA_Obj* obj) {
    resync_if_first_frame_lost(obj);
    if (obj->fifo.status == DECFIFO_UNDERRUN) kvxdec_context_restore(obj);
    ++obj->errorCount;
    obj->lastError = KVXD_ERR_BLOCK;
    return 0;
}

// After a block of an ADTS frame in streaming mode: if the block ended
// before the frame's end, go to the next frame's syncword when it is where
// the frame length says, otherwise carry on where the block ended.
//
// The next frame's start is reached from where the block ended, by the bytes
// the frame has left. That is the frame start advanced by the frame length
// for every frame; for the first frame after a search, whose start snapshot
// lies behind its syncword and off the byte grid, it is the only way that
// lands on a byte boundary (advancing the snapshot would miss the syncword
// and lose the frame after it).
void check_frame_end(MP4AACDEC_QUVA_Obj* obj, const DecFifo& frame_start) {
    DecFifo& f = obj->fifo;
    const int16_t length = obj->adts.aac_frame_length;
    kvxdec_byte_align(&f);
    uint16_t d = static_cast<uint16_t>(kvxdec_decfifoDistant(&f, &frame_start));
    // The first frame after a search had its syncword read before the copy.
    if (kvxdec_bno == 1) d = static_cast<uint16_t>(d + 12);
    const int16_t consumed = static_cast<int16_t>(static_cast<int16_t>(d) >> 3);
    if (consumed >= length) return;

    const int16_t rest = static_cast<int16_t>(length - consumed);
    DecFifo resume = f;
    kvxdec_decfifoSeek(&f, rest);  // in pull mode this fetches the rest of the frame
    // Words the seek pulled in stay in the FIFO whichever way it goes on.
    resume.write_ptr = f.write_ptr;
    DecFifo next = f;
    kvxdec_decfifoAdjust(&next, rest);
    f = next;
    const bool sync = aacdec_getbits(obj, 12) == 0xFFF;
    f = sync ? next : resume;
}

uint16_t frames(Call& call);

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
    kvxdec_default_config = 1;
    if (aacDecode(obj) > 0) return obj->numSamples;
    return fail_block(obj);
}

uint16_t search(Call& call) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    kvxdec_default_config = 1;
    obj->headerPending = 1;
    aacdec_raw_write = 0;
    obj->blockCount = 0;
    call.count = call.pull ? kMinSearchBits : kvxdec_decfifoGetBitCount(&obj->fifo);
    if (obj->rawStream) {
        // Raw streams are never searched.
        obj->adts.number_of_raw_data_blocks_in_frame = 1;
        obj->state = STATE_FRAMES;
        return frames(call);
    }
    if (call.count < kMinSearchBits) return 0;
    if (!kvxdec_Synchronize(obj)) return 0;
    if (!call.pull && !call.frame) return 0;  // the header is read on the next call
    if (obj->state == STATE_FRAMES) return frames(call);
    if (obj->state == STATE_ADIF) return adif(call);
    return 0;
}

uint16_t frames(Call& call) {
    MP4AACDEC_QUVA_Obj* obj = call.obj;
    DecFifo& f = obj->fifo;
    DecFifo frame_start = f;
    for (;;) {
        if (!obj->rawStream && obj->headerPending == 1) {
            aacdec_raw_write = 0;
            if (kvxdec_bno != 0) kvxdec_byte_align(&f);  // the header parser reads the syncword
            frame_start = f;
            kvxdec_ADTS_fixed_header(obj);
            kvxdec_ADTS_variable_header(obj);
            kvxdec_ADTS_error_check(obj);
            const AdtsHeader& h = obj->adts;
            obj->mcInfo.num_channels = h.channel_configuration;
            obj->mcInfo.profile = h.profile;
            obj->mcInfo.sampling_rate_idx = h.sampling_frequency_index;
            if (kvxdec_bno == 0) kvxdec_infoinit(&samp_rate_kvxdec_info[h.sampling_frequency_index & 15]);
            obj->blockCount = 0;
            aacdec_raw_write = 1;
            call.count = kvxdec_decfifoGetBitCount(&f);
            const uint32_t bytes = static_cast<uint16_t>(h.aac_frame_length);
            uint32_t required;
            if (call.frame) {
                required = bytes * 8 - (h.protection_absent == 0 ? 72u : 56u);
                if (call.count < required) {
                    obj->bitsNeeded = obj->defaultBitsNeeded;  // incomplete: dropped
                    resync_if_first_frame_lost(obj);
                    return 0;
                }
            } else {
                required = bytes * 8 + 16;
            }
            obj->bitsNeeded = required / 16 > 1792 ? kBitsNeededCap : required;
        }
        // Only the first raw data block of a frame is decoded; nothing clears
        // headerPending, so blockCount is 0 here in an ADTS stream.
        if (obj->blockCount > obj->adts.number_of_raw_data_blocks_in_frame) {
            obj->headerPending = 1;
            continue;
        }
        break;
    }
    if (!call.frame && !call.pull && !obj->rawStream && call.count < obj->bitsNeeded) {
        kvxdec_context_restore(obj);  // back before the header: wait for the whole frame
        return 0;
    }
    kvxdec_default_config = 1;
    if (aacDecode(obj) <= 0) return fail_block(obj);

    if (obj->rawStream) {
        if (!call.frame) {
            kvxdec_byte_align(&f);
            if (obj->mcInfo.num_channels == 2) {
                // A single zero byte between blocks of a pair stream is skipped.
                uint8_t next;
                kvxdec_decfifoReadBytes(&f, &next, 1, 0);
                if (next == 0) kvxdec_decfifoReadBytes(&f, &next, 1, 1);
            }
        }
    } else {
        ++obj->blockCount;
        if (!call.frame) check_frame_end(obj, frame_start);
    }
    if (f.status == DECFIFO_UNDERRUN) {
        kvxdec_context_restore(obj);
        return 0;
    }
    obj->bitsNeeded = obj->defaultBitsNeeded;
    return obj->numSamples;
}

}  // namespace

uint16_t aacdecode_process(MP4AACDEC_QUVA_Obj* obj, const uint16_t* words, uint16_t count) {
    Call call{obj, obj->frameMode != 0, false, 0};
    if (call.frame) {
        kvxdec_fifo_reset(obj);
        obj->errorCount = 0;
        if (count > kMaxFrameWords) {
            // More than the FIFO can hold: refused whole rather than letting
            // the overflow rule drop part of it. Counted as a failed block.
            ++obj->errorCount;
            obj->lastError = KVXD_ERR_BLOCK;
            return 0;
        }
        static const uint16_t kZero = 0;
        if (count) kvxdec_decfifoWriteShort(&obj->fifo, words, count);
        kvxdec_decfifoWriteShort(&obj->fifo, &kZero, 1);
    } else if (!obj->fifo.get_bits_callback) {
        if (count) kvxdec_decfifoWriteShort(&obj->fifo, words, count);
        kvxdec_context_save(obj);
        call.count = kvxdec_decfifoGetBitCount(&obj->fifo);
        if (call.count < obj->bitsNeeded) return 0;
    } else {
        // Pull mode writes nothing, but a block that finds the source dry
        // is retried from here, as in streaming mode.
        call.pull = true;
        kvxdec_context_save(obj);
    }

    switch (obj->state) {
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
