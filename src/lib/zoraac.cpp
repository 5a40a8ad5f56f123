// The library interface: decoders in memory their host gives, each a
// decoder instance (the eight blocks KVXD_alloc describes) plus a record of
// its own for the input it has taken but not yet handed on, and a small
// scratch record kept so that every transport has the same records. An
// access unit becomes 16-bit words in the instance's spectrum record, which
// the decoder writes only after it has copied them into its FIFO. The
// instance writes its PCM straight into the host's output buffer.
//
// A byte stream (ADTS or ADIF) goes to a streaming-mode instance in the
// plug-in's pieces of 256 bytes, so the library and the plug-in decode a
// stream to the same PCM; raw access units go to a frame-mode instance one
// per call.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "alg/kvxd.h"
#include "dec/asc.h"
#include "dec/bands.h"
#include "dec/downmix.h"
#include "dec/headers.h"
#include "dec/instance.h"
#include "dec/tools.h"
#include "dsp/arithmetic.h"
#include "sbr/built.h"
#include "zoraac.h"

namespace {

constexpr uint32_t kMagic = 0x7A6F7261;  // "zora"
constexpr uint32_t kPieceBytes = 256;    // streaming input goes on in pieces of this size
constexpr uint32_t kPieceWords = kPieceBytes / 2;
static_assert(kPieceWords == kStreamPieceWords, "the piece the decoder's waits leave room for");
// The end of a byte stream is pushed through: an ADTS stream with a copy of
// its first header and zeros (adts_end_header), up to the longest frame the
// instance takes; an ADIF stream with zeros (kUnframedEndPaddingBytes).
constexpr uint32_t kBlockSamples = 1024;
constexpr size_t kAlignment = 16;

// Record order: the host's block i is record i.
enum : int {
    kRecState = 0,                             // this file's Decoder (persistent)
    kRecFirstInstance = 1,                     // KVXD_alloc's eight records
    kRecScratch = kRecFirstInstance + kStaticBlocks,  // unused: 16 bytes
    kRecords,                                  // without SBR
    kRecSbr = kRecords,                        // SbrDecoder (persistent)
    kRecSbrScratch,                            // SbrScratch
    kRecordsSbr,
    kRecSbrMix = kRecordsSbr,                  // HE-AAC layouts of more channels (persistent)
    kRecSbrMixScratch,                         // and their scratch
    kRecordsSbrMix
};
static_assert(kRecordsSbrMix <= ZORAAC_MAX_MEMRECS);
static_assert(kRecordsSbr <= ZORAAC_MAX_MEMRECS);

// The record of earlier versions' access-unit words, kept (small) so that
// the records' numbers stay as they were.
constexpr size_t kSpareScratchBytes = 16;
// An access unit's words are staged in the core's spectrum record (scratch,
// channel 0's spectrum first): a call that brings input copies them into
// the FIFO before anything is decoded. The FIFO takes a call's words and
// one more, with a slot free: the usual one units of up to 1,780 bytes (two
// channels take at most 1,536), the long one, which units of more channels
// get, units of up to the record's 8,192 bytes (eight channels take at most
// 6,144).
constexpr uint32_t kMaxUnitBytes = static_cast<uint32_t>(kCoefRecordBytes);
static_assert(kMaxUnitBytes <= 2u * (kLongFifoWords - 2u) && 2u * (kFifoWords - 2u) >= 2u * 768u,
              "units of every legal length fit the FIFO they get");

}  // namespace

struct zoraac_decoder {
    uint32_t magic;
    IALG_Handle instance;
    MP4AACDEC_QUVA_Obj* obj;
    zoraac_params params;       // as given (asc pointer cleared)
    uint32_t transport;         // as found (info)
    uint32_t objectType;        // configured (units) or as found
    uint32_t rateIndex;         // configured (units)
    uint32_t channels;          // configured (units)
    uint32_t channelConfig;
    uint32_t outRate, outChannels;  // of the last block given out; 0 before the first
    uint32_t streamChannels;    // channels of the last block decoded (1 or 2)
    uint32_t staged;            // bytes of an unfinished piece
    uint32_t endPadding;        // end padding bytes handed on so far
    uint32_t pending;           // the last call gave a block: more may be ready
    uint32_t tooManyChannels;   // 1: a program maps more channels than the decoder plays
    uint32_t seen;              // input bytes looked at for the first ADTS header (to 7)
    uint32_t headerFound;       // 1: firstHeader holds it
    uint8_t firstHeader[kAdtsFixedBytes];  // the first ADTS header of the input; before it, the last bytes seen
    uint8_t couplingSkipped;    // 1 once a block was given out without its coupling elements' signal
    uint64_t decoded, concealed, consumed;
    uint16_t piece[kPieceWords];  // a piece's bytes, made its words in place when handed on
};

namespace {
uint8_t* piece_bytes(zoraac_decoder* d) { return reinterpret_cast<uint8_t*>(d->piece); }
}  // namespace

namespace {

bool units(const zoraac_params* p) {
    return p->transport == ZORAAC_TRANSPORT_ASC || p->transport == ZORAAC_TRANSPORT_RAW;
}

uint32_t bytes_per_sample(const zoraac_params* p) { return p->format == ZORAAC_S32 ? 4 : 2; }

// SBR may play: asked for, in a build with SBR (sbr/built.h).
bool sbr_enabled(const zoraac_params* p) { return kSbrBuilt && p->sbr != ZORAAC_SBR_OFF; }
// It plays downsampled whatever the stream (a stream configured for
// downsampled SBR plays so in either mode).
bool sbr_down(const zoraac_params* p) { return p->sbr == ZORAAC_SBR_DOWNSAMPLED; }

// Layouts of more than two front channels play: as a stereo downmix, or
// (native output without the downmix) channel by channel.
bool native_layouts(const zoraac_params* p) {
    return kExactArithmetic && p->output == ZORAAC_OUT_NATIVE && p->downmix == ZORAAC_NO_DOWNMIX;
}
bool mixes(const zoraac_params* p) { return kExactArithmetic && (p->downmix == ZORAAC_DOWNMIX || native_layouts(p)); }

// Output room of a call: one block of interleaved stereo, which the instance
// writes whatever the layout asked for (twice the samples where SBR may play
// at twice the core rate), or, native, of up to eight channels, which play
// their core (SBR plays native in one or two channels only).
size_t block_room(const zoraac_params* p) {
    const uint32_t stereo = 2u * (sbr_enabled(p) && !sbr_down(p) ? 2u : 1u);
    const uint32_t channels = native_layouts(p) && kMixMaxChannels > stereo ? kMixMaxChannels : stereo;
    return kBlockSamples * channels * bytes_per_sample(p);
}

// A native mono block from the doubled one the instance writes: the left
// slots, moved down in place.
template <typename Sample>
void keep_left(void* out, uint32_t samples) {
    Sample* pcm = static_cast<Sample*>(out);
    for (uint32_t i = 1; i < samples; ++i) pcm[i] = pcm[2 * i];
}

// Stream bytes as 16-bit words, the earlier byte in the high half; an odd
// last byte is followed by a zero byte.
void to_words(const uint8_t* in, size_t n, uint16_t* words) {
    for (size_t i = 0; i + 1 < n; i += 2) words[i / 2] = static_cast<uint16_t>(in[i] << 8 | in[i + 1]);
    if (n % 2) words[n / 2] = static_cast<uint16_t>(in[n - 1] << 8);
}

// What the params configure, checked: the transport's rate, channels and
// object type (units), or nothing yet (a byte stream says it itself).
struct Config {
    uint32_t objectType = 0, rateIndex = 4, channels = 0, channelConfig = 0, sbrSignalled = 0;
    bool sbrRuledOut = false;  // the config says the stream has no SBR
    int32_t programTag = -1;  // >= 0: pc holds the config's program config element
    ProgConfig pc;
};

// An AudioSpecificConfig's program config element as the decoder keeps one.
void program_of(const AscPce& a, int32_t rate_index, ProgConfig* pc) {
    *pc = ProgConfig{};
    pc->profile = a.object_type;
    pc->sampling_rate_idx = rate_index;
    auto list = [](EleList& to, const AscElement* from, int n) {
        to.num_elements = n;
        for (int i = 0; i < n; ++i) to.is_cpe[i] = from[i].is_cpe, to.tag_select[i] = from[i].tag;
    };
    list(pc->front, a.front, a.num_front);
    list(pc->side, a.side, a.num_side);
    list(pc->back, a.back, a.num_back);
    list(pc->coupling, a.cc, a.num_cc);
    pc->lfe.num_elements = a.num_lfe;
    for (int i = 0; i < a.num_lfe; ++i) pc->lfe.tag_select[i] = a.lfe_tag[i];
    pc->assoc_data.num_elements = a.num_assoc_data;
    for (int i = 0; i < a.num_assoc_data; ++i) pc->assoc_data.tag_select[i] = a.assoc_data_tag[i];
    pc->mono_mixdown = {a.mono_mixdown_present, a.mono_mixdown_element, 0};
    pc->stereo_mixdown = {a.stereo_mixdown_present, a.stereo_mixdown_element, 0};
    pc->matrix_mixdown = {a.matrix_mixdown_idx_present, a.matrix_mixdown_idx, a.pseudo_surround_enable};
}

int configure(const zoraac_params* p, Config* c) {
    if (!p || p->size < sizeof(zoraac_params)) return ZORAAC_ERR_ARGUMENT;
    if (p->output > ZORAAC_OUT_NATIVE || p->conceal > 1) return ZORAAC_ERR_ARGUMENT;
    if (p->format != ZORAAC_S16 && p->format != ZORAAC_S32) return ZORAAC_ERR_ARGUMENT;
    if (p->sbr > ZORAAC_SBR_DOWNSAMPLED || p->downmix > ZORAAC_DOWNMIX) return ZORAAC_ERR_ARGUMENT;
    if (p->sbr_channels > 8 || p->sbr_channels == 1 || p->sbr_channels == 2) return ZORAAC_ERR_ARGUMENT;
    if (p->sbr_memory > ZORAAC_SBR_SMALL) return ZORAAC_ERR_ARGUMENT;
    for (uint32_t r : p->reserved)
        if (r) return ZORAAC_ERR_ARGUMENT;
    // The compact arithmetic's time path has nothing below the 16-bit LSB.
    if (p->format == ZORAAC_S32 && !kExactArithmetic) return ZORAAC_ERR_UNSUPPORTED;
    switch (p->transport) {
    case ZORAAC_TRANSPORT_AUTO:
    case ZORAAC_TRANSPORT_ADTS:
    case ZORAAC_TRANSPORT_ADIF:
        return 0;
    case ZORAAC_TRANSPORT_RAW: {
        const int index = asc_rate_index(p->sample_rate);
        // (7350 Hz is a rate of the format this decoder does not play, as
        // through a config.)
        if (p->sample_rate == 7350 && p->channels >= 1 && p->channels <= 8) return ZORAAC_ERR_UNSUPPORTED;
        if (index < 0 || p->channels < 1 || p->channels > 8 || p->channels == 7) return ZORAAC_ERR_CONFIG;
        if (p->channels > 2 && !mixes(p)) return ZORAAC_ERR_UNSUPPORTED;
        c->objectType = 2;
        c->rateIndex = static_cast<uint32_t>(index);
        c->channels = p->channels;
        c->channelConfig = p->channels == 8 ? 7 : p->channels;  // the configuration of that many
        return 0;
    }
    case ZORAAC_TRANSPORT_ASC: {
        if (!p->asc) return ZORAAC_ERR_ARGUMENT;
        AscInfo a;
        if (asc_parse(p->asc, p->asc_size, &a) != 0) return ZORAAC_ERR_CONFIG;
        // The core of an HE-AAC stream is AAC-LC; it plays at the core rate.
        if (a.audio_object_type != 2 || a.frame_length_flag) return ZORAAC_ERR_UNSUPPORTED;
        if (a.sampling_frequency_index < 0 || a.sampling_frequency_index > 11) return ZORAAC_ERR_UNSUPPORTED;
        // More channels by a channel configuration (3..7) or a program
        // config element play mixed; the configurations beyond are refused
        // here as they are when decoding.
        if (a.channels < 1 || a.channel_configuration > 7 ||
            (a.channels > 2 && !(mixes(p) && (a.channel_configuration >= 3 || a.pce_present == 1))))
            return ZORAAC_ERR_UNSUPPORTED;
        c->objectType = static_cast<uint32_t>(a.audio_object_type);
        c->rateIndex = static_cast<uint32_t>(a.sampling_frequency_index);
        c->channels = static_cast<uint32_t>(a.channels);
        c->channelConfig = static_cast<uint32_t>(a.channel_configuration);
        // Downsampled SBR: the configured SBR output rate is the core rate.
        c->sbrSignalled = a.sbr_present != 1 ? 0u : (a.ext_sampling_rate == a.sampling_rate ? 2u : 1u);
        if (c->sbrSignalled && a.ps_present == 1) c->sbrSignalled |= 4u;
        c->sbrRuledOut = a.sbr_present == 0;
        if (a.channel_configuration == 0 && a.pce_present == 1) {
            c->programTag = a.pce.element_instance_tag;
            program_of(a.pce, a.sampling_frequency_index, &c->pc);
        }
        return 0;
    }
    default:
        return ZORAAC_ERR_ARGUMENT;
    }
}

// HE-AAC layouts of more than two channels play mixed with SBR on each
// element up to this many channels (0: none; they play their core): as the
// host asks, and as many as a configuration of access units that may carry
// SBR has.
uint32_t sbr_mix_channels(const zoraac_params* p, const Config& c) {
    if (!sbr_enabled(p) || !mixes(p) || native_layouts(p)) return 0;
    uint32_t n = p->sbr_channels > 2 ? p->sbr_channels : 0;
    // Access units of more channels: SBR signalled, or maybe implicit (raw
    // units, a config that does not say); the low-frequency channel of
    // configurations 6 and 7 has none. A program of more channels than a
    // mix takes does not play mixed: it asks for nothing.
    const bool may_carry = !c.sbrRuledOut && c.channels <= static_cast<uint32_t>(kMixMaxChannels);
    const uint32_t with_sbr = c.channelConfig == 6 || c.channelConfig == 7 ? c.channels - 1 : c.channels;
    if (units(p) && may_carry && c.channels > 2 && with_sbr > n) n = with_sbr;
    return n;
}

// The small SBR scratch record: asked for, where no layout of more than
// two channels mixes its elements' SBR (their subband samples are mixed
// from the whole matrix).
bool sbr_small(const zoraac_params* p, const Config& c) {
    return p->sbr_memory == ZORAAC_SBR_SMALL && sbr_mix_channels(p, c) < 3;
}

IKVXD_Params instance_params(const zoraac_params* p) {
    IKVXD_Params ip = IKVXD_PARAMS;
    ip.frameMode = units(p) ? 1 : 0;
    return ip;
}

// Rate, channels and transport flag, and concealment: what a flush forgets.
void set_stream(zoraac_decoder* d) {
    KVXD_Status st{};
    st.numChannels = static_cast<uint16_t>(d->channels);
    st.sampleRateIndex = d->rateIndex;
    st.rawStream = units(&d->params) ? 1 : 0;
    KVXD_control(d->instance, KVXD_SETPARAMS, &st);
    KVXD_control(d->instance, d->params.conceal ? KVXD_CONCEAL_ON : KVXD_CONCEAL_OFF, &st);
    // A reset keeps the threshold of buffered bits, which the end of the
    // last stream may have left at a long frame's: back to the start's.
    st.bitsNeeded = static_cast<uint16_t>(d->obj->defaultBitsNeeded);
    KVXD_control(d->instance, KVXD_SETBITSNEEDED, &st);
    KVXD_setOutputBuffer(d->instance, nullptr);
    kvxdec_set_library_output(d->obj, d->params.format == ZORAAC_S32);
    // (The compact arithmetic cannot mix: it refuses such streams.)
    KVXD_setDownmix(d->instance, native_layouts(&d->params) ? LAYOUT_NATIVE
                                 : mixes(&d->params)         ? LAYOUT_MIXED
                                                             : LAYOUT_REFUSED);
}

uint32_t rate_of(uint32_t index) { return static_cast<uint32_t>(samp_rate_kvxdec_info[index & 15].sampling_rate); }

// Layouts of more than two front channels play, as a stereo downmix.
bool mixable(const zoraac_decoder* d) { return d->obj->ctx->downmix != 0; }

// The stream as the instance has found it so far.
void observe(zoraac_decoder* d) {
    const MP4AACDEC_QUVA_Obj* o = d->obj;
    if (units(&d->params)) return;
    if (o->ctx->rawWrite || o->adts.aac_frame_length) {
        d->transport = ZORAAC_TRANSPORT_ADTS;
        d->objectType = static_cast<uint32_t>(o->adts.profile) + 1u;
        d->channelConfig = static_cast<uint32_t>(o->adts.channel_configuration);
    } else if (o->state == STATE_ADIF || o->adif.num_program_config_elements) {
        d->transport = ZORAAC_TRANSPORT_ADIF;
        d->objectType = static_cast<uint32_t>(o->progConfig.profile) + 1u;
    }
    d->rateIndex = static_cast<uint32_t>(o->mcInfo.sampling_rate_idx) & 15u;
    // Channels as a program config element maps them; the channels reported
    // are those of the last block decoded (emit). A channel configuration
    // of more than two channels plays when it is mixed.
    const bool mixed_config =
        mixable(d) && (o->mcInfo.mix_last || o->mcInfo.num_channels == static_cast<int32_t>(d->channelConfig));
    if (o->mcInfo.num_channels > 2 && !mixed_config) d->tooManyChannels = 1;
    if (o->mcInfo.more_channels) {
        d->tooManyChannels = 1;
        d->channels = o->mcInfo.more_channels;
    }
}

// A mono core that plays parametric stereo. Before the first block, what
// the configuration signals.
bool plays_ps(const zoraac_decoder* d) {
    const SbrDecoder* s = d->obj->ctx->sbr;
    if (!s || s->mode == SBR_MODE_OFF) return false;
    return s->decided ? s->active && s->stereo_ps : (s->signalled & SBR_SIGNALLED_PS) != 0;
}

// More channels than the decoder plays: refused rather than played wrong.
bool unsupported(const zoraac_decoder* d) {
    return (d->channelConfig > 2 && !(mixable(d) && d->channelConfig <= 7)) || (d->objectType != 0 && d->objectType != 2) || d->tooManyChannels;
}

// The block the instance just wrote into the host's buffer (interleaved
// stereo, a mono stream doubled), in the layout asked for.
int emit(zoraac_decoder* d, uint64_t concealedBefore, void* out, zoraac_frame* frame) {
    const MP4AACDEC_QUVA_Obj* o = d->obj;
    const bool concealed = o->concealedCount != static_cast<uint16_t>(concealedBefore);
    const bool native = o->ctx->downmix == LAYOUT_NATIVE && o->mcInfo.mix_last;
    if (!concealed && o->mcInfo.mix_last) {
        // A mixed layout: its channels, as stereo or (native) each.
        d->channels = o->mcInfo.mix_channels;
        d->streamChannels = native ? d->channels : 2;
    } else if (!concealed && o->mcInfo.num_channels >= 1) {
        d->streamChannels = o->mcInfo.num_channels >= 2 || sbr_stereo_from_mono(o->ctx->sbr) ? 2 : 1;
        d->channels = d->streamChannels;
    }
    const uint32_t channels = d->params.output == ZORAAC_OUT_NATIVE ? d->streamChannels : 2;
    // Sample frames: 1024 a block, 2048 with SBR.
    const uint32_t samples = o->numSamples / (native ? o->mcInfo.mix_channels : 2u);
    // (A mixed layout of one channel, native, is written as one already.)
    if (channels == 1 && !native) {
        if (d->obj->wideOutput) keep_left<int32_t>(out, samples);
        else keep_left<int16_t>(out, samples);
    }
    const uint32_t rate = rate_of(d->rateIndex) * (samples > kBlockSamples ? 2u : 1u);
    const bool changed = d->outRate != 0 && (d->outRate != rate || d->outChannels != channels);
    d->outRate = rate;
    d->outChannels = channels;
    ++d->decoded;
    if (concealed) ++d->concealed;
    else if (o->mcInfo.cce_skipped) d->couplingSkipped = 1;
    frame->bytes = samples * channels * bytes_per_sample(&d->params);
    frame->samples = samples;
    frame->channels = channels;
    frame->sample_rate = rate;
    frame->concealed = concealed ? 1 : 0;
    if (changed) return ZORAAC_FORMAT_CHANGED;
    return concealed ? ZORAAC_CONCEALED : ZORAAC_OK;
}

// One process call on a piece of input (or none); a block when it gives one.
uint16_t process(zoraac_decoder* d, const uint16_t* words, uint32_t count) {
    const uint16_t r = KVXD_process(d->instance, words, count);
    observe(d);
    return r;
}

// Watches the input for its first valid ADTS header, byte by byte until
// it is found: the header the end padding copies.
void watch_header(zoraac_decoder* d, const uint8_t* in, size_t n) {
    uint8_t* h = d->firstHeader;
    for (size_t i = 0; i < n && !d->headerFound; ++i) {
        if (d->seen < kAdtsFixedBytes) {
            h[d->seen++] = in[i];
        } else {
            std::memmove(h, h + 1, kAdtsFixedBytes - 1);
            h[kAdtsFixedBytes - 1] = in[i];
        }
        if (d->seen < kAdtsFixedBytes || h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) continue;
        AdtsFields f;
        adts_fields(h, &f);
        d->headerFound = adts_valid(&f) ? 1 : 0;
        if (d->headerFound) adts_end_header(h, kAdtsLengthLimit);
    }
}

// The end padding's byte at position k.
uint8_t end_padding_byte(const zoraac_decoder* d, uint32_t k) {
    return d->headerFound && k < kAdtsFixedBytes ? d->firstHeader[k] : 0;
}

// Hands the staged piece (a whole one, but for the end padding's last) to
// the instance.
// (In place: each word takes the two bytes it is made of, which no later
// word reads; a copy on the stack took the library's call 256 bytes deeper.)
uint16_t push_piece(zoraac_decoder* d) {
    to_words(piece_bytes(d), d->staged, d->piece);
    const uint32_t count = (d->staged + 1) / 2;
    d->staged = 0;
    return process(d, d->piece, static_cast<uint16_t>(count));
}

// The end padding a byte stream's end takes: a header of the longest
// frame after ADTS, zeros after ADIF.
uint32_t end_padding_bytes(const zoraac_decoder* d) {
    return d->headerFound ? adts_end_padding(kAdtsLengthLimit) : kUnframedEndPaddingBytes;
}

// Some end padding was handed on, and all the decoder holds is padding.
bool holds_only_padding(const zoraac_decoder* d) {
    return d->endPadding && kvxdec_decfifoGetBitCount(&d->obj->fifo) / 8u <= d->endPadding;
}

int decode_stream(zoraac_decoder* d, const uint8_t* in, size_t in_size, size_t* consumed, void* out,
                  zoraac_frame* frame) {
    const uint64_t concealedBefore = d->obj->concealedCount;
    // Blocks already buffered come first, one per call. The next frame may
    // be the first of a stream that needs what the decoder does not play
    // (another stream spliced on): its block is not given out, and the call
    // is refused, taking nothing, as every later one is.
    if (d->pending) {
        d->pending = process(d, nullptr, 0) != 0;
        if (unsupported(d)) return ZORAAC_ERR_UNSUPPORTED;
        if (d->pending) return emit(d, concealedBefore, out, frame);
    }
    if (in_size == 0) {
        // The end: the unfinished piece, then the end padding.
        const uint32_t padding = end_padding_bytes(d);
        while (d->endPadding < padding) {
            // Once all the decoder holds is padding, no byte of the stream
            // is left to push through: the rest of the padding would only
            // be searched.
            if (holds_only_padding(d)) break;
            while (d->staged < kPieceBytes && d->endPadding < padding)
                piece_bytes(d)[d->staged++] = end_padding_byte(d, d->endPadding++);
            d->pending = push_piece(d) != 0;
            if (unsupported(d)) return ZORAAC_ERR_UNSUPPORTED;
            if (d->pending) return emit(d, concealedBefore, out, frame);
        }
        return ZORAAC_NEED_MORE_INPUT;
    }
    // More of the stream after its end was pushed through: what the decoder
    // holds is padding (a header of the longest frame), which would take
    // the first bytes that come as that frame's and fail.
    if (d->endPadding && d->headerFound) aacdecode_search_again(d->obj);
    d->endPadding = 0;
    size_t taken = 0;
    while (taken < in_size) {
        const size_t n = in_size - taken < kPieceBytes - d->staged ? in_size - taken : kPieceBytes - d->staged;
        std::memcpy(piece_bytes(d) + d->staged, in + taken, n);
        if (!d->headerFound) watch_header(d, in + taken, n);
        d->staged += static_cast<uint32_t>(n);
        taken += n;
        *consumed = taken;
        d->consumed += n;
        if (d->staged < kPieceBytes) break;
        d->pending = push_piece(d) != 0;
        // A stream found to need more than this decoder plays: what was
        // taken stays taken, no PCM comes of it, and every later call is
        // refused (taking nothing). (Refused here, with bytes taken, a
        // host that gives an error's input again would decode them twice.)
        if (unsupported(d)) return ZORAAC_NEED_MORE_INPUT;
        if (d->pending) return emit(d, concealedBefore, out, frame);
    }
    return ZORAAC_NEED_MORE_INPUT;
}

int decode_unit(zoraac_decoder* d, const uint8_t* in, size_t in_size, size_t* consumed, void* out,
                zoraac_frame* frame) {
    const uint64_t concealedBefore = d->obj->concealedCount;
    if (in_size == 0) return ZORAAC_NEED_MORE_INPUT;
    *consumed = in_size;
    d->consumed += in_size;
    // (What the FIFO takes whole: the FIFO record's size, by channels.)
    const uint32_t limit = 2u * (d->obj->fifo.size - 2u) < kMaxUnitBytes ? 2u * (d->obj->fifo.size - 2u) : kMaxUnitBytes;
    if (in_size > limit) {
        // Larger than any access unit the decoder holds: taken and lost, as
        // a unit that fails is (nothing before a good block: a block in the
        // wrong layout after a flush said six channels and wrote two).
        if (!conceal_lost_block(d->obj)) return ZORAAC_DROPPED;
        return emit(d, concealedBefore, out, frame);
    }
    uint16_t* words = reinterpret_cast<uint16_t*>(d->obj->coef[0]);  // the record's start
    const uint32_t count = static_cast<uint32_t>((in_size + 1) / 2);
    to_words(in, in_size, words);
    if (process(d, words, count)) return emit(d, concealedBefore, out, frame);
    return ZORAAC_DROPPED;
}

// The instance's records: a byte stream's FIFO takes ADTS frames of every
// legal length (up to 8191 bytes); access units come whole, one per call,
// and need no more than the usual FIFO up to two channels, the long one
// beyond (768 bytes a channel).
IKVXD_Params instance_records(const zoraac_params* p, const Config& c, IALG_MemRec inst[kStaticBlocks]) {
    const IKVXD_Params ip = instance_params(p);
    KVXD_alloc(&ip, inst);
    if (!units(p) || c.channels > 2) inst[kFifoRecord].size = kLongFifoBytes;
    return ip;
}

// What a call that may give a block checks of the decoder and the output
// (0, or the status to return), and the output set as the block's.
int begin_block_call(zoraac_decoder* d, void* out, size_t out_room) {
    if (!d || d->magic != kMagic || !out || reinterpret_cast<uintptr_t>(out) % 4 != 0) return ZORAAC_ERR_ARGUMENT;
    // (From the params kept, which no longer hold the config's bytes: not
    // through zoraac_frame_bytes, which checks them again.)
    if (out_room < block_room(&d->params)) return ZORAAC_ERR_OUTPUT_ROOM;
    if (unsupported(d)) return ZORAAC_ERR_UNSUPPORTED;
    // The instance writes a block's PCM straight into this call's buffer.
    KVXD_setOutputBuffer(d->instance, static_cast<int16_t*>(out));
    return 0;
}

}  // namespace

extern "C" {

void zoraac_params_init(zoraac_params* p) {
    if (!p) return;
    std::memset(p, 0, sizeof *p);
    p->size = sizeof *p;
    p->transport = ZORAAC_TRANSPORT_AUTO;
    p->conceal = 1;
    p->output = ZORAAC_OUT_STEREO;
    p->format = ZORAAC_S16;
    p->downmix = ZORAAC_DOWNMIX;
}

int zoraac_query_memory(const zoraac_params* p, zoraac_memrec rec[ZORAAC_MAX_MEMRECS]) {
    Config c;
    const int r = configure(p, &c);
    if (r != 0) return r;
    if (!rec) return ZORAAC_ERR_ARGUMENT;
    std::memset(rec, 0, ZORAAC_MAX_MEMRECS * sizeof *rec);
    IALG_MemRec inst[kStaticBlocks];
    instance_records(p, c, inst);
    rec[kRecState] = {sizeof(zoraac_decoder), kAlignment, ZORAAC_MEM_PERSISTENT};
    for (int i = 0; i < kStaticBlocks; ++i) {
        rec[kRecFirstInstance + i].size = inst[i].size;
        rec[kRecFirstInstance + i].alignment = kAlignment;
        rec[kRecFirstInstance + i].kind = inst[i].attrs == IALG_SCRATCH ? ZORAAC_MEM_SCRATCH : ZORAAC_MEM_PERSISTENT;
    }
    rec[kRecScratch] = {kSpareScratchBytes, kAlignment, ZORAAC_MEM_SCRATCH};
    // Native layouts: channels 2..7 keep their overlap in the concealment store.
    if (native_layouts(p)) rec[kRecFirstInstance + kOuterRecords].size = kNativeStoreBytes;
    if (!sbr_enabled(p)) return kRecords;
    rec[kRecSbr] = {KVXD_sbrBytes(0, sbr_down(p)), kAlignment, ZORAAC_MEM_PERSISTENT};
    const int mix = static_cast<int>(sbr_mix_channels(p, c));
    rec[kRecSbrScratch] = {KVXD_sbrBytes(sbr_small(p, c) ? 2 : 1, sbr_down(p)), kAlignment, ZORAAC_MEM_SCRATCH};
    if (mix < 3) return kRecordsSbr;
    // Each channel's core overlap: channels 2.. in the concealment store.
    zoraac_memrec& store = rec[kRecFirstInstance + kOuterRecords];
    if (store.size < KVXD_sbrMixStoreBytes(mix)) store.size = KVXD_sbrMixStoreBytes(mix);
    rec[kRecSbrMix] = {KVXD_sbrMixBytes(0, mix), kAlignment, ZORAAC_MEM_PERSISTENT};
    rec[kRecSbrMixScratch] = {KVXD_sbrMixBytes(1, mix), kAlignment, ZORAAC_MEM_SCRATCH};
    return kRecordsSbrMix;
}

zoraac_decoder* zoraac_open(const zoraac_params* p, void* const block[]) {
    zoraac_memrec rec[ZORAAC_MAX_MEMRECS];
    const int n = zoraac_query_memory(p, rec);
    if (n <= 0 || !block) return nullptr;
    for (int i = 0; i < n; ++i)
        if (!block[i] || reinterpret_cast<uintptr_t>(block[i]) % rec[i].alignment != 0) return nullptr;
    Config c;
    configure(p, &c);

    IALG_MemRec inst[kStaticBlocks];
    const IKVXD_Params ip = instance_records(p, c, inst);
    for (int i = 0; i < kStaticBlocks; ++i) inst[i].base = block[kRecFirstInstance + i];
    inst[kOuterRecords].size = static_cast<uint32_t>(rec[kRecFirstInstance + kOuterRecords].size);
    IALG_Handle h = KVXD_create(&ip, inst, nullptr);
    if (!h) return nullptr;

    auto* d = new (block[kRecState]) zoraac_decoder{};
    d->magic = kMagic;
    d->instance = h;
    d->obj = reinterpret_cast<MP4AACDEC_QUVA_Obj*>(reinterpret_cast<KVXD_KELVARIS_Obj*>(h)->inner);
    d->params = *p;
    d->params.asc = nullptr;
    d->params.asc_size = 0;
    d->transport = units(p) ? p->transport : static_cast<uint32_t>(ZORAAC_TRANSPORT_AUTO);
    d->objectType = c.objectType;
    d->rateIndex = c.rateIndex;
    d->channels = c.channels;
    d->channelConfig = c.channelConfig;
    if (sbr_enabled(p))
        KVXD_attachSbr(h, block[kRecSbr], block[kRecSbrScratch], static_cast<int>(c.sbrSignalled), sbr_down(p));
    if (sbr_enabled(p) && p->output != ZORAAC_OUT_NATIVE) KVXD_setSbrStereoHost(h, 1);
    if (sbr_enabled(p) && sbr_small(p, c)) KVXD_setSbrSmallScratch(h, 1);
    if (n == kRecordsSbrMix)
        KVXD_attachSbrMix(h, block[kRecSbrMix], block[kRecSbrMixScratch], static_cast<int>(sbr_mix_channels(p, c)));
    d->streamChannels = c.channels == 1 && !sbr_stereo_from_mono(d->obj->ctx->sbr) ? 1 : 2;
    set_stream(d);
    // A layout its config's program gives: the units are mapped by it.
    if (c.programTag >= 0) kvxdec_take_program(d->obj, c.pc, c.programTag);
    return d;
}

size_t zoraac_frame_bytes(const zoraac_params* p) {
    Config c;
    if (configure(p, &c) != 0) return 0;
    return block_room(p);
}

int zoraac_decode(zoraac_decoder* d, const uint8_t* in, size_t in_size, size_t* consumed, void* out,
                  size_t out_room, zoraac_frame* frame) {
    zoraac_frame ignored;
    if (!frame) frame = &ignored;
    std::memset(frame, 0, sizeof *frame);
    if (consumed) *consumed = 0;
    if (!consumed || (!in && in_size)) return ZORAAC_ERR_ARGUMENT;
    if (const int s = begin_block_call(d, out, out_room)) return s;
    return units(&d->params) ? decode_unit(d, in, in_size, consumed, out, frame)
                             : decode_stream(d, in, in_size, consumed, out, frame);
}

namespace {

// A byte stream whose end was given and pushed through (calls without
// input until ZORAAC_NEED_MORE_INPUT): every frame it held is out, and a
// block concealed now stands after them, before whatever input comes next.
bool drained(const zoraac_decoder* d) {
    return d->endPadding && !d->pending && (d->endPadding >= end_padding_bytes(d) || holds_only_padding(d));
}

}  // namespace

int zoraac_conceal(zoraac_decoder* d, void* out, size_t out_room, zoraac_frame* frame) {
    zoraac_frame ignored;
    if (!frame) frame = &ignored;
    std::memset(frame, 0, sizeof *frame);
    if (d && d->magic == kMagic && !units(&d->params) && !drained(d)) return ZORAAC_ERR_ARGUMENT;
    if (const int s = begin_block_call(d, out, out_room)) return s;
    const uint64_t concealedBefore = d->obj->concealedCount;
    // (Before the first good block, or after a flush, nothing: a block in a
    // layout or at a rate the stream then changes would split the host's
    // output.)
    if (!conceal_lost_block(d->obj)) return ZORAAC_DROPPED;
    return emit(d, concealedBefore, out, frame);
}

int zoraac_get_info(const zoraac_decoder* d, zoraac_info* info) {
    if (!d || d->magic != kMagic || !info || info->size < sizeof(zoraac_info)) return ZORAAC_ERR_ARGUMENT;
    std::memset(info, 0, sizeof *info);
    info->size = sizeof *info;
    info->transport = d->transport;
    info->object_type = d->objectType;
    const bool known = d->transport != ZORAAC_TRANSPORT_AUTO;
    info->sample_rate = known ? rate_of(d->rateIndex) : 0;
    info->output_rate = d->outRate ? d->outRate : info->sample_rate;
    info->channel_configuration = d->channelConfig;
    info->channels = known ? d->channels : 0;
    info->output_channels = d->outChannels ? d->outChannels
                                           : (d->params.output == ZORAAC_OUT_NATIVE ? d->streamChannels : 2);
    // Bits per second over the input taken: 1024 samples a block.
    if (d->decoded && info->sample_rate)
        info->bit_rate = static_cast<uint32_t>(d->consumed * 8u * info->sample_rate / (d->decoded * kBlockSamples));
    info->frames_decoded = d->decoded;
    info->frames_concealed = d->concealed;
    info->bytes_consumed = d->consumed;
    info->last_error = static_cast<int32_t>(d->obj->lastError);
    const SbrDecoder* sbr = d->obj->ctx->sbr;
    info->sbr = sbr && sbr->active ? 1u : 0u;
    info->delay = sbr_delay(sbr);
    info->ps = plays_ps(d) ? 1u : 0u;
    info->coupling_skipped = d->couplingSkipped;
    return 0;
}

void zoraac_flush(zoraac_decoder* d) {
    if (!d || d->magic != kMagic) return;
    // Access units mapped by a program (their config's, or one of theirs)
    // go on mapped by it.
    const DecoderContext& ctx = *d->obj->ctx;
    const bool program = units(&d->params) && d->channelConfig == 0 && ctx.currentProgram >= 0;
    ProgConfig kept;
    if (program) kept = d->obj->progConfig;
    const int32_t tag = ctx.currentProgram;
    KVXD_KELVARIS_flush(d->instance);
    // A byte stream is found out again: what comes next may be another
    // stream, which the refusal of this one's channels or object type does
    // not hold back.
    if (!units(&d->params)) {
        d->tooManyChannels = 0;
        d->objectType = 0;
        d->channelConfig = 0;
        d->channels = 0;
    }
    d->staged = 0;
    d->endPadding = 0;
    d->pending = 0;
    d->obj->lastError = 0;  // the last stream's
    // What comes next may be another stream: its own first header pads its end.
    d->seen = 0;
    d->headerFound = 0;
    set_stream(d);
    if (program) kvxdec_take_program(d->obj, kept, tag);
}

void zoraac_close(zoraac_decoder* d) {
    if (!d || d->magic != kMagic) return;
    d->magic = 0;
}

const char* zoraac_status_string(int status) {
    switch (status) {
    case ZORAAC_OK: return "ok";
    case ZORAAC_NEED_MORE_INPUT: return "all input taken, more is needed for the next block";
    case ZORAAC_CONCEALED: return "a block failed to decode and was concealed";
    case ZORAAC_FORMAT_CHANGED: return "the sampling rate or channel count changed";
    case ZORAAC_DROPPED: return "an access unit failed to decode and was dropped";
    case ZORAAC_ERR_ARGUMENT: return "invalid argument";
    case ZORAAC_ERR_OUTPUT_ROOM: return "output room below one block";
    case ZORAAC_ERR_UNSUPPORTED: return "the stream needs what this decoder does not play";
    case ZORAAC_ERR_CONFIG: return "invalid stream configuration";
    default: return "unknown status";
    }
}

}  // extern "C"
