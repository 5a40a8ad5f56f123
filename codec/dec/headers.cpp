// Synchronisation and the ADTS and ADIF transport headers.
#include "dec/headers.h"

#include "dec/instance.h"

namespace {

constexpr uint8_t kAdif[4] = {'A', 'D', 'I', 'F'};

int16_t get(MP4AACDEC_QUVA_Obj* dec, uint16_t n) { return static_cast<int16_t>(aacdec_getbits(dec, n)); }

}  // namespace

int kvxdec_Synchronize(MP4AACDEC_QUVA_Obj* dec) {
    const int16_t len = dec->adts.aac_frame_length;
    const int budget = len >= 256 && len <= 2000 ? len : 256;

    // Realign: the remaining cache bits become the low bits of a full cache
    // word, so byte reads fall on the word's byte boundaries again.
    DecFifo& f = dec->fifo;
    if (f.bits_left != 0) {
        f.cache = static_cast<uint16_t>(f.cache >> (16 - f.bits_left));
        f.bits_left = 16;
    }
    if (dec->state != STATE_SEARCH) return 1;

    int matched = 0;  // bytes of "ADIF" matched so far
    for (int i = 0; i <= budget; ++i) {
        // Without a source to pull from, the search ends with the data held:
        // reading on would scan stale buffer contents (an old frame's
        // syncword among them) and leave the read position past the write
        // position. A byte is examined only with the 4 bits after it held,
        // so a syncword split by the end of the data is found next time.
        if (!f.get_bits_callback && kvxdec_decfifoGetBitCount(&f) < 12) break;
        uint8_t b;
        kvxdec_decfifoReadBytes(&f, &b, 1, 1);
        if (matched == 0) {
            if (b == kAdif[0]) {
                matched = 1;
            } else if (b == 0xFF) {
                // A false candidate costs four bits: the search goes on off
                // the byte grid until the next 0xFF.
                if (aacdec_getbits(dec, 4) == 0xF) {
                    kvxdec_bno = 0;
                    dec->state = STATE_FRAMES;
                    return 1;
                }
            }
        } else if (b == kAdif[matched]) {
            if (++matched == 4) {
                dec->state = STATE_ADIF;
                return 1;
            }
        } else {
            matched = 0;  // the breaking byte is not tried as a new start
        }
    }
    return 0;
}

int kvxdec_ADTS_fixed_header(MP4AACDEC_QUVA_Obj* dec) {
    AdtsHeader& h = dec->adts;
    if (kvxdec_bno != 0) aacdec_getbits(dec, 12);  // this frame's syncword, not compared
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
    if (h.aac_frame_length > kMaxAdtsFrameLength) h.aac_frame_length = kOversizeFrameLength;
    h.adts_buffer_fullness = get(dec, 11);
    h.number_of_raw_data_blocks_in_frame = get(dec, 2);
    return 1;
}

// The CRC word is skipped, never verified.
int kvxdec_ADTS_error_check(MP4AACDEC_QUVA_Obj* dec) {
    if (dec->adts.protection_absent == 0) aacdec_getbits(dec, 16);
    return 1;
}

int aacDecodeADIFHeader(MP4AACDEC_QUVA_Obj* dec) {
    AdifHeader& h = dec->adif;
    h.copyright_id_present = get(dec, 1);
    if (h.copyright_id_present) {
        uint8_t copyright_id[9];
        kvxdec_decfifoReadBytes(&dec->fifo, copyright_id, sizeof copyright_id, 1);
    }
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
        if (kvxdec_current_program < 0) kvxdec_current_program = tag;
        matched = tag == kvxdec_current_program;
    }
    return matched ? 1 : 0;
}
