// Transport headers: the stored fields of the last ADTS header and of the
// ADIF header.
#pragma once

#include <cstdint>

struct AdtsHeader {
    int16_t id;
    int16_t layer;
    int16_t protection_absent;
    int16_t profile;
    int16_t sampling_frequency_index;
    int16_t channel_configuration;
    int16_t original_copy;
    int16_t home;
    int16_t copyright_identification_bit;
    int16_t copyright_identification_start;
    int16_t aac_frame_length;  // bytes; one shorter than a frame can be is replaced (see read)
    int16_t adts_buffer_fullness;
    int16_t number_of_raw_data_blocks_in_frame;
};

struct AdifHeader {
    int16_t copyright_id_present;
    int16_t original_copy;
    int16_t home;
    int16_t bitstream_type;
    uint32_t bitrate;
    int16_t num_program_config_elements;  // coded value + 1
};

struct MP4AACDEC_QUVA_Obj;

// The fields of an ADTS header as its first seven bytes carry them.
struct AdtsFields {
    uint16_t syncword;
    uint8_t id, layer, protection_absent, profile, sampling_frequency_index, channel_configuration;
    uint16_t aac_frame_length;
    uint8_t number_of_raw_data_blocks_in_frame;
};

// Reads the fields of the seven header bytes at b.
void adts_fields(const uint8_t* b, AdtsFields* h);
// Bytes in front of the first raw data block: the header, and with a CRC
// the raw_data_block_position words and the header's crc_check.
uint32_t adts_header_bytes(const AdtsFields* h);
// Syncword, layer 0, a listed sampling rate; the frame length is not judged.
int adts_fixed_valid(const AdtsFields* h);
// As adts_fixed_valid, and a frame length between the shortest the
// header allows and the 13-bit field's largest (8191).
int adts_valid(const AdtsFields* h);
// The end of an ADTS stream's input is pushed through with a copy of the
// stream's first header and zeros, adts_end_padding(limit) bytes in all,
// where `limit` is the longest frame the decoder takes (adts_frame_limit).
// The header confirms the last frame as one of the stream; its length field
// says `limit`, so the zeros behind it never complete a frame of its own
// (which would be a phantom block), while they do complete the wait of a
// last frame cut short, which then gives its whole blocks and conceals the
// rest, as a frame damaged anywhere else does. (A frame waits for its rest
// and 9 bytes more: a last frame cut anywhere behind its header waits for
// at most limit + 2 bytes of padding, the header's own frame for limit + 9.)
// adts_end_header turns the copy at b into that header.
void adts_end_header(uint8_t* b, uint32_t limit);
constexpr uint32_t adts_end_padding(uint32_t limit) { return limit + 4; }
// That of an ADIF stream or of raw blocks with zeros, enough to complete
// the wait of its last block (every host of the decoder pads with as many,
// so that a last block that fails is stepped over and concealed alike).
constexpr uint32_t kUnframedEndPaddingBytes = 768;
// The fields a stream keeps from frame to frame are equal: ID, layer,
// profile, sampling index and channel configuration.
int adts_same_stream(const AdtsFields* a, const AdtsFields* b);
// The fixed fields of b are those of a with at most two bits flipped.
bool adts_near(const AdtsFields* a, const AdtsFields* b);
// The fields the stream keeps from frame to frame, as its last header had them.
AdtsFields adts_kept_fields(const AdtsHeader& a);

// Looks for an ADTS frame or the ADIF identifier, byte by byte from the next
// byte boundary. An ADTS header counts only when it is valid and the next
// frame's header, a syncword with the same fixed fields, stands where its
// frame length says, or (frame mode) the input ends exactly there; junk
// cannot fool it with a lone 0xFFF. 1: found, the reader at the syncword or
// behind "ADIF"; 0: not found within the budget, or a candidate waits for
// more input (the reader stays at it and `bitsNeeded` says how much).
int kvxdec_Synchronize(MP4AACDEC_QUVA_Obj* dec);
// A tag at the reader, among the bytes held ("ID3": ID3 version 2, at a
// file's head; "TAG": version 1, at its end; "APE": an APE tag): files put
// end to end.
bool tag_at(const struct DecFifo& f);
// Where a frame's block begins in the bytes of a frame whose header was
// destroyed, at most: a header of 7 bytes, its check word and two words
// of block positions (two blocks), or what is left of it.
constexpr uint32_t kLeadWithin = 12;
// The fewest bytes that stand for a lost frame when they begin as a block
// does: a header's and its block's first (the smallest frames, of silence,
// are 11 bytes).
constexpr uint32_t kLeadMinBytes = 8;
// What a byte the search steps over after a lost frame tells (the bits of
// the context's steppingOver; process.cpp, lost_blocks): 2, it is other
// than fill (0x00 or 0xFF); 4 as well, it is the at-th, within
// kLeadWithin, and begins as the stream's blocks do (lead: their first
// byte, its last bit set). Fill never does: a mono stream's blocks begin
// with a zero byte as often as not, and so does every gap.
inline uint8_t stepped_over(uint8_t b, uint32_t at, uint8_t lead) {
    if (b == 0 || b == 0xFF) return 0;
    return at < kLeadWithin && (b | 1u) == lead ? 6 : 2;
}
// The three parts of an ADTS header, read from its syncword on.
int kvxdec_ADTS_fixed_header(MP4AACDEC_QUVA_Obj* dec);
int kvxdec_ADTS_variable_header(MP4AACDEC_QUVA_Obj* dec);
// Skips the CRC words of the header, and in a frame of several blocks the
// raw_data_block_position words; nothing is verified, but that those rise
// inside the frame (stream_unprotected, stream_blocks: the stream's last
// header had no check word, its block count; see the definition). 2: a
// frame of one block whose flag is in doubt, read up to its check word (if
// it has one); the header keeps the stream's flag.
int kvxdec_ADTS_error_check(MP4AACDEC_QUVA_Obj* dec, bool stream_unprotected, int stream_blocks);
// Reads the ADIF header behind its identifier; 1 when the selected program
// was the last program config element.
int aacDecodeADIFHeader(MP4AACDEC_QUVA_Obj* dec);

constexpr uint32_t kAdtsLengthLimit = 8191;
// The longest frame a FIFO of `words` takes whole (see kLongFifoWords).
constexpr uint32_t kShortFifoFrameBytes = 1536;
uint32_t adts_frame_limit(uint16_t fifo_words);
constexpr uint32_t kAdtsFixedBytes = 7;
constexpr uint32_t kMinBlockBytes = 4;

