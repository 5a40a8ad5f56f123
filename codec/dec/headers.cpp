// Synchronisation and the ADTS and ADIF transport headers.
#include "dec/headers.h"

#include <cstddef>
#include <cstring>

#include "dec/instance.h"
#include "sbr/built.h"

namespace {

constexpr uint8_t kAdif[4] = {'A', 'D', 'I', 'F'};

int16_t get(MP4AACDEC_QUVA_Obj* dec, uint16_t n) { return static_cast<int16_t>(aacdec_getbits(dec, n)); }

}  // namespace

void adts_fields(const uint8_t* b, AdtsFields* h) {
    h->syncword = static_cast<uint16_t>((b[0] << 4) | (b[1] >> 4));
    h->id = static_cast<uint8_t>((b[1] >> 3) & 1);
    h->layer = static_cast<uint8_t>((b[1] >> 1) & 3);
    h->protection_absent = static_cast<uint8_t>(b[1] & 1);
    h->profile = static_cast<uint8_t>(b[2] >> 6);
    h->sampling_frequency_index = static_cast<uint8_t>((b[2] >> 2) & 15);
    h->channel_configuration = static_cast<uint8_t>(((b[2] & 1) << 2) | (b[3] >> 6));
    h->aac_frame_length = static_cast<uint16_t>(((b[3] & 3) << 11) | (b[4] << 3) | (b[5] >> 5));
    h->number_of_raw_data_blocks_in_frame = static_cast<uint8_t>(b[6] & 3);
}

uint32_t adts_header_bytes(const AdtsFields* h) {
    if (h->protection_absent) return kAdtsFixedBytes;
    return kAdtsFixedBytes + 2u * h->number_of_raw_data_blocks_in_frame + 2u;
}

// The shortest frame the header allows: every raw data block takes at least
// four bytes (an element id, a channel element's side information and END),
// plus its crc_check in a protected frame of several blocks.
static uint32_t adts_min_length(const AdtsFields* h) {
    const uint32_t blocks = h->number_of_raw_data_blocks_in_frame + 1u;
    const uint32_t crc = !h->protection_absent && blocks > 1 ? 2u : 0u;
    return adts_header_bytes(h) + blocks * (kMinBlockBytes + crc);
}

int adts_fixed_valid(const AdtsFields* h) {
    return h->syncword == 0xFFF && h->layer == 0 && h->sampling_frequency_index < 12;
}

int adts_valid(const AdtsFields* h) {
    return adts_fixed_valid(h) && h->aac_frame_length >= adts_min_length(h) &&
           h->aac_frame_length <= kAdtsLengthLimit;
}

uint32_t adts_frame_limit(uint16_t fifo_words) {
    return fifo_words >= kLongFifoWords ? kAdtsLengthLimit : kShortFifoFrameBytes;
}

void adts_end_header(uint8_t* b, uint32_t limit) {
    const uint32_t length = limit;
    b[3] = static_cast<uint8_t>((b[3] & 0xFCu) | (length >> 11));
    b[4] = static_cast<uint8_t>(length >> 3);
    b[5] = static_cast<uint8_t>((b[5] & 0x1Fu) | (length & 7u) << 5);
}

int adts_same_stream(const AdtsFields* a, const AdtsFields* b) {
    return a->id == b->id && a->layer == b->layer && a->profile == b->profile &&
           a->sampling_frequency_index == b->sampling_frequency_index &&
           a->channel_configuration == b->channel_configuration;
}

bool adts_near(const AdtsFields* a, const AdtsFields* b) {
    // The fixed fields fill the first eight bytes, each right-aligned in its own.
    static_assert(offsetof(AdtsFields, aac_frame_length) == 8, "fixed fields first");
    uint64_t x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    x ^= y;
    x &= x - 1;  // (each step clears the lowest bit set)
    return (x & (x - 1)) == 0;
}

AdtsFields adts_kept_fields(const AdtsHeader& a) {
    AdtsFields k{};
    k.syncword = 0xFFF;
    k.id = static_cast<uint8_t>(a.id);
    k.layer = static_cast<uint8_t>(a.layer);
    k.protection_absent = static_cast<uint8_t>(a.protection_absent);
    k.profile = static_cast<uint8_t>(a.profile);
    k.sampling_frequency_index = static_cast<uint8_t>(a.sampling_frequency_index);
    k.channel_configuration = static_cast<uint8_t>(a.channel_configuration);
    return k;
}

namespace {

enum class Candidate { Bad, Good, Unconfirmed, Wait };

void peek_fields(const DecFifo& f, uint32_t at, AdtsFields* h) {
    uint8_t b[kAdtsFixedBytes];
    for (uint32_t k = 0; k < kAdtsFixedBytes; ++k) b[k] = decfifo_peek_byte(&f, at + k);
    adts_fields(b, h);
}

// Not enough held to judge a candidate: frame mode has all its input, pull
// mode waits only when its source ran dry, streaming mode waits for `bytes`.
Candidate short_of(MP4AACDEC_QUVA_Obj* dec, uint32_t bytes) {
    DecFifo& f = dec->fifo;
    if (dec->frameMode) return Candidate::Bad;
    // (Not beyond what the FIFO holds with room for one more piece: in
    // streaming mode the piece would overflow it, and the wait begin again,
    // for ever; in pull mode no refill has room, the status stays as an
    // earlier dry source left it, and the wait never ended.)
    if (8u * bytes > decfifo_wait_limit(f)) return Candidate::Bad;
    if (f.get_bits_callback) return f.status == DECFIFO_UNDERRUN ? Candidate::Wait : Candidate::Bad;
    dec->bitsNeeded = 8 * bytes;
    return Candidate::Wait;
}

// A syncword at the read position: a valid header whose frame is followed by
// another header of the same stream, or in frame mode by the input's end.
Candidate judge(MP4AACDEC_QUVA_Obj* dec) {
    DecFifo& f = dec->fifo;
    if (!decfifo_hold(&f, kAdtsFixedBytes)) return short_of(dec, kAdtsFixedBytes);
    AdtsFields h;
    peek_fields(f, 0, &h);
    if (!adts_valid(&h)) return Candidate::Bad;
    const uint32_t length = h.aac_frame_length;
    if (dec->frameMode) {
        // The input ends at the frame's end: the appended zero word follows,
        // after one stale byte when the frame has an odd length.
        const uint32_t held = kvxdec_decfifoGetBitCount(&f) / 8u;
        if (held == length + 2 || held == length + 3) return Candidate::Good;
    }
    // At a stream's start, a header of the stream a bit or two away where
    // the length leads, whose own length leads to a header of the stream:
    // the second frame's header is damaged, and the first frame counts (it
    // was lost with it). Both frames are held within what the FIFO holds
    // (short_of).
    for (uint32_t at = length, hop = 0;; ++hop) {
        if (!decfifo_hold(&f, static_cast<uint16_t>(at + kAdtsFixedBytes))) return short_of(dec, at + kAdtsFixedBytes);
        AdtsFields next;
        peek_fields(f, at, &next);
        if (adts_fixed_valid(&next) && adts_same_stream(&h, &next)) return Candidate::Good;
        at += next.aac_frame_length;
        if (hop || dec->goodChannels || dec->frameMode || !adts_near(&h, &next) ||
            next.aac_frame_length < kAdtsFixedBytes + kMinBlockBytes)
            break;
    }
    // Within a stream already decoded, a frame of that stream followed by
    // junk (a gap) is tried: it counts only if its block parses cleanly.
    const AdtsFields cur = adts_kept_fields(dec->adts);
    if (dec->goodChannels && !dec->frameMode && adts_same_stream(&h, &cur)) return Candidate::Unconfirmed;
    return Candidate::Bad;
}

void store_fixed(AdtsHeader& a, const AdtsFields& h) {
    a.id = h.id;
    a.layer = h.layer;
    a.profile = h.profile;
    a.sampling_frequency_index = h.sampling_frequency_index;
    a.channel_configuration = h.channel_configuration;
}

}  // namespace

bool tag_at(const DecFifo& f) {
    if (kvxdec_decfifoGetBitCount(&f) < 24) return false;
    const uint8_t b0 = decfifo_peek_byte(&f, 0), b1 = decfifo_peek_byte(&f, 1), b2 = decfifo_peek_byte(&f, 2);
    return (b0 == 'I' && b1 == 'D' && b2 == '3') || (b0 == 'T' && b1 == 'A' && b2 == 'G') ||
           (b0 == 'A' && b1 == 'P' && b2 == 'E');
}

// The search looks at whole bytes only: ADTS frames and the ADIF identifier
// start on byte boundaries, and a false candidate costs one byte, not the
// byte grid.
int kvxdec_Synchronize(MP4AACDEC_QUVA_Obj* dec) {
    DecFifo& f = dec->fifo;
    kvxdec_byte_align(&f);
    if (dec->state != STATE_SEARCH) return 1;
    const int16_t len = dec->adts.aac_frame_length;
    // Frame mode searches all it was given.
    const int budget = dec->frameMode ? f.size * 2 : (len >= 256 ? len : 256);

    for (int i = 0; i <= budget; ++i) {
        if (!decfifo_hold(&f, 2)) return 0;
        const uint8_t b0 = decfifo_peek_byte(&f, 0);
        const uint8_t b1 = decfifo_peek_byte(&f, 1);
        if (b0 == 0xFF && (b1 & 0xF0) == 0xF0) {
            const Candidate c = judge(dec);
            if (c == Candidate::Wait) return 0;
            if (c == Candidate::Good || c == Candidate::Unconfirmed) {
                dec->unconfirmed = c == Candidate::Unconfirmed;
                AdtsFields h;
                peek_fields(f, 0, &h);
                // Another stream spliced on (another rate, channel
                // configuration or profile): whether it plays SBR and
                // parametric stereo is its own, decided at its first block,
                // and the last stream's SBR header and state do not carry
                // over into it; nor does the program a config element of
                // the last stream selected (every block of the new one was
                // mapped onto it and failed): its channels are its header's
                // until a program of its own comes.
                const AdtsFields kept = adts_kept_fields(dec->adts);
                if (dec->adts.aac_frame_length && !adts_same_stream(&h, &kept)) {
                    dec->ctx->frameBlocks = 0;
                    dec->ctx->steppingOver = 0;  // the old stream's end is not the new one's loss
                    if constexpr (kSbrBuilt) reset_sbr(dec);
                    dec->mcInfo.mix_program = 0;
                    dec->ctx->currentProgram = -1;
                    dec->ctx->defaultConfig = 1;
                }
                store_fixed(dec->adts, h);
                dec->ctx->bno = 0;
                dec->state = STATE_FRAMES;
                return 1;
            }
        } else if (b0 == kAdif[0] && b1 == kAdif[1]) {
            if (!decfifo_hold(&f, 4)) return 0;
            if (decfifo_peek_byte(&f, 2) == kAdif[2] && decfifo_peek_byte(&f, 3) == kAdif[3]) {
                kvxdec_decfifoAdjust(&f, 4);
                dec->ctx->steppingOver = 0;
                dec->state = STATE_ADIF;
                return 1;
            }
        }
        // Bytes the search steps over where the stream's frame was lost
        // (process.cpp, search_lost), and what they tell (stepped_over); a
        // tag where the next frame should have stood is one between two
        // files put end to end, not a loss.
        DecoderContext& ctx = *dec->ctx;
        if (ctx.steppingOver) {
            if (ctx.skippedBytes == 0 && tag_at(f)) {
                ctx.steppingOver = 0;
            } else {
                ctx.steppingOver |= stepped_over(b0, ctx.skippedBytes, ctx.blockLead);
                if (ctx.skippedBytes < 0xFFFFFFFFu) ++ctx.skippedBytes;
            }
        }
        kvxdec_decfifoAdjust(&f, 1);
    }
    return 0;
}

int kvxdec_ADTS_fixed_header(MP4AACDEC_QUVA_Obj* dec) {
    AdtsHeader& h = dec->adts;
    aacdec_getbits(dec, 12);  // the syncword, checked before the header is read
    h.id = get(dec, 1);
    h.layer = get(dec, 2);
    h.protection_absent = get(dec, 1);
    h.profile = get(dec, 2);
    h.sampling_frequency_index = get(dec, 4);
    if (h.profile == 0) dec->lastError = KVXD_NOTE_PROFILE_MAIN;
    if (h.profile == 2) dec->lastError = KVXD_NOTE_PROFILE_SSR;
    aacdec_getbits(dec, 1);  // private_bit
    h.channel_configuration = get(dec, 3);
    h.original_copy = get(dec, 1);
    h.home = get(dec, 1);
    return 1;
}

int kvxdec_ADTS_variable_header(MP4AACDEC_QUVA_Obj* dec) {
    AdtsHeader& h = dec->adts;
    h.copyright_identification_bit = get(dec, 1);
    h.copyright_identification_start = get(dec, 1);
    h.aac_frame_length = get(dec, 13);
    h.adts_buffer_fullness = get(dec, 11);
    h.number_of_raw_data_blocks_in_frame = get(dec, 2);
    // A length shorter than the header allows is not trusted: it becomes
    // that shortest, so the frame loop waits for no more and looks for the
    // next header where the block ends. (One longer than the FIFO takes
    // stands: the frame loop waits for no more than the FIFO holds, and the
    // block may read as far as it goes. Made the shortest, a high length
    // bit flipped cut the block off.)
    // A block count the length has no room for is the damaged field (a
    // short frame, a silent one, whose count was flipped): the frame holds
    // the blocks its length has room for, and nothing is concealed for
    // blocks it never had.
    AdtsFields f{};
    f.protection_absent = static_cast<uint8_t>(h.protection_absent);
    f.number_of_raw_data_blocks_in_frame = static_cast<uint8_t>(h.number_of_raw_data_blocks_in_frame);
    const uint32_t length = static_cast<uint16_t>(h.aac_frame_length);
    while (f.number_of_raw_data_blocks_in_frame > 0 && length < adts_min_length(&f)) --f.number_of_raw_data_blocks_in_frame;
    h.number_of_raw_data_blocks_in_frame = f.number_of_raw_data_blocks_in_frame;
    const uint32_t shortest = adts_min_length(&f);
    if (length < shortest) h.aac_frame_length = static_cast<int16_t>(shortest);
    return 1;
}

// The CRC words are skipped, never verified.
int kvxdec_ADTS_error_check(MP4AACDEC_QUVA_Obj* dec, bool stream_unprotected, int stream_blocks) {
    AdtsHeader& h = dec->adts;
    // A frame whose flag says otherwise than the stream's last header, of
    // one block, or of several without check words in a stream that has
    // them: the flag may be the damaged field, and a block read from the
    // wrong place failed, the frame lost. The header keeps the stream's
    // flag (a header read again, once more input has come, is in doubt
    // again), and nothing more is read: its first block is read as if the
    // frame had no check words, and once more after them if that fails (2:
    // the frame loop's part). (Several blocks with check words in a stream
    // without: their positions are judged below.)
    if (dec->ctx->bno > 0 && (h.protection_absent != 0) != stream_unprotected &&
        (h.number_of_raw_data_blocks_in_frame == 0 || !stream_unprotected)) {
        h.protection_absent = stream_unprotected;
        return 2;
    }
    if (h.protection_absent != 0) return 1;
    // A frame of several blocks gives where each block after the first
    // starts, rising and inside the frame. Where the stream's last frame
    // had no check word, or one block, words that do not are blocks: the
    // frame's flag was damaged, or its count (they are then the check word
    // and the block of a frame of one). Read as positions they moved its
    // blocks (lost, with as many blocks concealed as the count said). In a
    // stream of protected frames of several blocks they are skipped
    // unjudged, as a damaged one there costs nothing.
    DecFifo& f = dec->fifo;
    const DecFifo start = f;
    uint32_t last = 0;
    const int judged = stream_unprotected || stream_blocks == 0 ? h.number_of_raw_data_blocks_in_frame : 0;
    for (int i = 0; i < judged; ++i) {
        const uint32_t at = aacdec_getbits(dec, 16);  // raw_data_block_position
        if (at <= last || at >= static_cast<uint16_t>(h.aac_frame_length)) {
            uint16_t* const write_ptr = f.write_ptr;
            f = start;
            f.write_ptr = write_ptr;
            if (stream_unprotected) {
                h.protection_absent = 1;
                return 1;
            }
            h.number_of_raw_data_blocks_in_frame = 0;
            break;
        }
        last = at;
    }
    for (int i = judged; i < h.number_of_raw_data_blocks_in_frame; ++i) aacdec_getbits(dec, 16);
    aacdec_getbits(dec, 16);  // crc_check
    return 1;
}

int aacDecodeADIFHeader(MP4AACDEC_QUVA_Obj* dec) {
    AdifHeader& h = dec->adif;
    h.copyright_id_present = get(dec, 1);
    if (h.copyright_id_present) aacdec_skipbits(dec, 72);  // copyright_id
    h.original_copy = get(dec, 1);
    h.home = get(dec, 1);
    h.bitstream_type = get(dec, 1);
    const uint32_t high = aacdec_getbits(dec, 7);
    h.bitrate = (high << 16) | aacdec_getbits(dec, 16);
    h.num_program_config_elements = static_cast<int16_t>(get(dec, 4) + 1);

    bool matched = false;
    for (int i = 0; i < h.num_program_config_elements; ++i) {
        if (h.bitstream_type == 0) {  // adif_buffer_fullness, 20 bits
            aacdec_getbits(dec, 4);
            aacdec_getbits(dec, 16);
        }
        const int32_t tag = kvxdec_get_prog_config(dec);
        if (dec->ctx->currentProgram < 0) dec->ctx->currentProgram = static_cast<int8_t>(tag);
        // The exact arithmetic plays a header whose program is any of its
        // elements (the compact one only where it is the last: a header of
        // two programs whose first was chosen played nothing).
        matched = (kExactArithmetic && matched) || tag == dec->ctx->currentProgram;
    }
    return matched ? 1 : 0;
}
