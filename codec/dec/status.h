// Records the decoder shares with its algorithm objects: the 40-byte record
// exchanged by the control call, the creation parameters and the pull-mode
// input source.
#pragma once

#include <cstddef>
#include <cstdint>

// Control commands.
enum KVXD_Cmd : int16_t {
    KVXD_GETSTATUS = 0,     // fill the out fields
    KVXD_SETPARAMS = 1,     // numChannels, sampleRateIndex, rawStream
    KVXD_RESETERRORS = 2,   // errorCount = lastError = 0
    KVXD_SETBITSNEEDED = 3,  // bitsNeeded
    KVXD_CONCEAL_OFF = 4,    // a failed block yields nothing
    KVXD_CONCEAL_ON = 5      // a failed block yields a concealed block (the default)
};

// Codes of `lastError`.
enum KVXD_Error : uint32_t {
    KVXD_ERR_NONE = 0,
    KVXD_ERR_ADIF_HEADER = 1,   // ADIF header unreadable
    KVXD_ERR_BLOCK = 2,         // a block failed to decode
    KVXD_ERR_CCE = 3,           // a coupling channel element was read and dropped: the block plays without its signal
    KVXD_ERR_LATE_PCE = 4,      // a program config element followed another element
    KVXD_NOTE_PROFILE_MAIN = 5, // ADTS profile 0 noted, decoding goes on
    KVXD_NOTE_PROFILE_SSR = 6,  // ADTS profile 2 noted, decoding goes on
    KVXD_NOTE_PCE_RATE = 7,     // a program config element's rate differs from the transport's: ignored
    KVXD_ERR_CHANNELS = 8,      // the program has more than two front channels, and no downmix was asked for
    // An HE-AAC layout of more than two channels plays its AAC-LC core, at
    // the core rate: the instance has no SBR room for its channels (records
    // not attached, too few channels, or native output).
    KVXD_NOTE_SBR_CHANNELS = 9
};

struct KVXD_Status {
    uint16_t size;                  // out: 40
    uint32_t bitRate;               // out: bits per second of the ADTS stream
    uint32_t sampleRate;            // out: Hz
    uint16_t numChannels;           // in (1), out
    uint32_t sampleRateIndex;       // in (1)
    uint16_t profile;               // out
    uint16_t bitsNeeded;            // in (3), out
    uint32_t rawStream;             // in (1)
    uint32_t lastError;             // out
    uint16_t errorCount;            // out
    uint16_t sceCount;              // out
    uint16_t channelConfiguration;  // out
    uint16_t concealedCount;        // out: blocks concealed since the last reset
};

// Creation parameters of both levels (16 bytes). Only `size` and `frameMode`
// mean anything to the decoder.
struct IKVXD_Params {
    int32_t size;
    uint8_t reserved0;
    uint32_t reserved1;
    int8_t frameMode;    // nonzero: whole frames per process call
    uint8_t reserved2;
};
typedef IKVXD_Params IMP4AACDEC_Params;
typedef IKVXD_Params IALG_Params;

// Input source of pull mode: called with 124 and the address of a word
// pointer; stores the address of the words it supplies and returns how many.
typedef uint16_t (*KVXD_GetBitsCallback)(int request, const uint16_t** words);

static_assert(sizeof(KVXD_Status) == 40, "status record layout");
static_assert(offsetof(KVXD_Status, numChannels) == 12, "status record layout");
static_assert(offsetof(KVXD_Status, sampleRateIndex) == 16, "status record layout");
static_assert(offsetof(KVXD_Status, rawStream) == 24, "status record layout");
static_assert(offsetof(KVXD_Status, channelConfiguration) == 36, "status record layout");
static_assert(sizeof(IKVXD_Params) == 16, "creation parameters layout");
static_assert(offsetof(IKVXD_Params, frameMode) == 12, "creation parameters layout");
static_assert(offsetof(KVXD_Status, concealedCount) == 38, "status record layout");
