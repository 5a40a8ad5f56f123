// Raw data block parser: every element up to END, then the spectral tools and
// the filter bank over the channels, each storing its PCM straight into the
// interleaved output.
#include "dec/block.h"

#include <cstring>

#include "dec/core_scale.h"
#include "dec/downmix.h"
#include "dec/instance.h"
#include "dec/syntax.h"
#include "dec/tools.h"

namespace {

inline uint16_t bits(MP4AACDEC_QUVA_Obj* dec, uint16_t n) { return aacdec_getbits(dec, n); }

// A data stream element after its id: read and dropped.
void skip_dse(MP4AACDEC_QUVA_Obj* dec) {
    bits(dec, 4);  // element_instance_tag
    const bool align = bits(dec, 1);
    int count = bits(dec, 8);
    if (count == 255) count += bits(dec, 8);
    if (align) kvxdec_byte_align(&dec->fifo);
    aacdec_skipbits(dec, 8u * static_cast<uint32_t>(count));
}

// Reads the block's SBR data, which decides at a stream's first block
// whether it plays SBR.
void begin_sbr_block(MP4AACDEC_QUVA_Obj* dec) {
    SbrDecoder* const s = dec->ctx->sbr;
    if constexpr (kSbrBuilt)
        if (s && sbr_scratch_of(dec->ctx))
            sbr_begin_block(s, samp_rate_kvxdec_info[dec->mcInfo.sampling_rate_idx & 15].sampling_rate,
                            dec->mcInfo.num_channels);
}

// The three tool passes and the output, once the block has parsed cleanly,
// or (mix) once the element of a mixed layout that fills the slots has: its
// channels then add into the downmix's sums. Without mix, every channel's
// tools run before the block's SBR data is read (SBR's frame data and
// working arrays borrow the side information, sections and scale factors),
// and every channel's time samples are made before any channel's SBR runs
// (its working arrays borrow channel 1's spectrum).
void synthesise(MP4AACDEC_QUVA_Obj* dec, bool mix) {
    MC_Info& mi = dec->mcInfo;
    const int channels = mi.num_channels < 2 ? mi.num_channels : 2;

    // Mid/side for every channel pair.
    for (int c = 0; c < channels; ++c) {
        const ChInfo& ch = mi.channel[c];
        const int w = ch.window_channel;
        if (!ch.present || !ch.is_cpe || !ch.is_left || !dec->msMaskPresent[w]) continue;
        const BandInfo* b = kvxdec_winmap(dec, dec->windowSequence[w]);
        const int r = ch.paired_channel;
        if (dec->msMaskPresent[w] == 1)
            kvxdec_map_mask(b, dec->windowGroups[w], dec->msMask[w], dec->sectCodebook[r]);
        kvxdec_synt(b->num_windows, b->num_swb, b->window_swb_top, b->window_bins, dec->windowGroups[w],
                    dec->msMask[w], dec->coef[r], dec->coef[c]);
    }
    // Noise substitution, then intensity, channel by channel.
    for (int c = 0; c < 2; ++c) {
        const ChInfo& ch = mi.channel[c];
        if (!ch.present) continue;
        const int w = ch.window_channel;
        const BandInfo* b = kvxdec_winmap(dec, dec->windowSequence[w]);
        // Exact: the channel's noise starts from its own block (noise_bands);
        // the seed given is the channel. Compact: one generator runs on.
        uint32_t channel_salt = static_cast<uint32_t>((mix ? downmix_channel_index(dec, c) : c) + 1);
        aacdec_pns(&mi, b, w, c, dec->windowGroups[w], dec->sectCodebook[c], dec->scaleFactors[c],
                   kExactArithmetic ? &channel_salt : &dec->ctx->pnsSeed, dec->coef,
                   mix ? 0 : core_scale_noise_offset(dec, c));
        kvxdec_intensity(&mi, b, w, c, dec->windowGroups[w], dec->sectCodebook[c], dec->scaleFactors[c],
                         dec->coef);
    }
    // Temporal noise shaping window by window.
    for (int c = 0; c < 2; ++c) {
        const ChInfo& ch = mi.channel[c];
        if (!ch.present) continue;
        const int w = ch.window_channel;
        const BandInfo* b = kvxdec_winmap(dec, dec->windowSequence[w]);
        kvxdec_tns_channel(dec, c, w, b);
        if (mix) downmix_channel(dec, c);
    }
    if (mix) return;
    begin_sbr_block(dec);
    // The filter bank.
    int16_t drop = 0;
    for (int c = 0; c < 2; ++c) {
        const ChInfo& ch = mi.channel[c];
        if (!ch.present) continue;
        const int w = ch.window_channel;
        // Exact: each channel keeps its own previous window shape (the right
        // channel of a common-window pair takes the block's shape from the left).
        const int s = kExactArithmetic ? c : w;
        dec->windowShapeState[s][0] = dec->windowShapeState[w][0];
        keep_spectrum(dec, c, dec->windowSequence[w], static_cast<uint8_t>(dec->windowShapeState[w][0]));
        core_filter_bank(dec, c, dec->windowSequence[w], dec->windowShapeState[s],
                         pcm_out(dec, c, mi.num_channels == 2, &drop), true);
    }
    for (int c = 0; c < 2; ++c)
        if (mi.channel[c].present) sbr_out(dec, c, mi.num_channels == 2);
    dec->goodChannels = static_cast<uint8_t>(channels < 1 ? 1 : channels);
    dec->concealRun = 0;
    dec->ctx->programDoubted = 0;
    mi.mix_last = 0;
}

}  // namespace

namespace {

// What decode_block gives for a first block whose program makes it a mixed
// one before SBR is decided: it is read again (aacDecode).
constexpr int16_t kDecideFirst = INT16_MIN;

// Decodes one raw data block (aacDecode); with `dry` set, a mixed block is
// parsed without synthesis and without output.
int16_t decode_block(MP4AACDEC_QUVA_Obj* dec, bool dry) {
    DecFifo& f = dec->fifo;
    // A block that runs past the end of its frame is damage: what it read
    // there belongs to the next frame. It is failed before anything of it
    // is synthesised, and the frame loop goes on at the next frame.
    const uint32_t limit = dec->ctx->blockLimitBits;
    const uint32_t cached = f.bits_left;  // bits of the block already in the cache
    // (A read that ran out of data is no overrun yet: the block is tried
    // again once more has come, as any incomplete block.)
    auto overran = [&f, limit, cached] {
        return limit && f.status != DECFIFO_UNDERRUN && 16u * f.words_read + cached - f.bits_left > limit;
    };
    f.words_read = 0;
    uint16_t channels = 0;
    int non_pce = 0;
    bool decoded = false;
    // Slots decoded in this block, and whether a program config element
    // changed the channel map after a channel element was decoded with it.
    // The element count alone can be fooled: a late PCE that maps a pair, or
    // two elements of the same tag, leave a mapped channel undecoded, and its
    // side information of an earlier block would be synthesised.
    unsigned slots = 0;
    bool remapped = false;
    if (dec->state == STATE_ADIF) kvxdec_byte_align(&f);
    reset_mc_kvxdec_info(dec, &dec->mcInfo);
    dec->mcInfo.cce_skipped = 0;
    dec->mcInfo.kept_spoiled = 0;
    downmix_begin_block(dec);

    SbrDecoder* const sbr = kSbrBuilt ? dec->ctx->sbr : nullptr;
    if (sbr) sbr->work->payload.present = sbr->work->held.dual.payload.present = 0;
    uint16_t id = bits(dec, 3);
    if (id == ID_END) return 0;  // an empty block decodes nothing
    uint16_t last_channel_element = ID_END;
    int channel_elements = 0;
    unsigned element_slots = 0;  // the slots the last channel element filled
    // Stepping over damage in ADIF (bytes passed over since the last good
    // block), a block tried at every byte: junk is failed as soon as it
    // shows, not read on to the end of the data held. (A block found right
    // after a good one is read to its end as any other: at the end of a
    // stream the bytes after the last block run dry and are dropped, not
    // concealed.)
    const bool stepping = dec->state == STATE_ADIF && dec->ctx->steppingOver;
    for (int elements = 1; id != ID_END; ++elements) {
        if (stepping && elements > kMaxBlockElements) {
            dec->state = STATE_SEARCH;
            return 0;
        }
        if (id != ID_PCE) ++non_pce;
        switch (id) {
        case ID_SCE:
        case ID_CPE:
        case ID_LFE: {
            if (dec->mcInfo.mix_block) {
                // The last element's SBR (its fill element came, or not);
                // this element's payload is its own.
                if (!dry) downmix_sbr_element(dec);
                if (sbr) sbr->work->payload.present = 0;
            }
            const int16_t r = kvxdec_huffdecode(dec, id, &dec->mcInfo);
            if (overran()) return 0;
            if (r & 0x8000) {
                // An incomplete frame is retried; a broken one resynchronises.
                if (f.status != DECFIFO_UNDERRUN) dec->state = STATE_SEARCH;
                return r;
            }
            if (f.status == DECFIFO_UNDERRUN) return -1;
            decoded = true;
            slots |= static_cast<unsigned>(r);
            element_slots = static_cast<unsigned>(r);
            if (dec->mcInfo.mix_block && !dry) synthesise(dec, true);
            break;
        }
        case ID_CCE: {
            // Read whole and dropped: the stream plays without the coupled
            // signal, and says so. Slot 1 is free unless this block decoded
            // a channel there that still waits for its synthesis; then the
            // element's channel stream takes the buffer of the last good
            // spectra, which holds nothing to conceal from after it, whether
            // the element reads whole or fails (damage read as one).
            const bool slot_free = dec->mcInfo.mix_block || !(slots & 2u);
            if (!slot_free) dec->mcInfo.kept_spoiled = 1;
            if (!kvxdec_skip_cce(dec, slot_free)) {
                if (overran()) return 0;
                if (f.status == DECFIFO_UNDERRUN) return -1;
                dec->state = STATE_SEARCH;
                return 0;
            }
            dec->lastError = KVXD_ERR_CCE;
            dec->mcInfo.cce_skipped = 1;
            break;
        }
        case ID_DSE:
            skip_dse(dec);
            break;
        case ID_PCE: {
            if (non_pce > 0) dec->lastError = KVXD_ERR_LATE_PCE;
            ChInfo map[2];
            std::memcpy(map, dec->mcInfo.channel, sizeof map);
            const uint8_t program_mixed = dec->mcInfo.mix_program;
            // ADIF gives its programs in its header; one inside a block is
            // read over. (In a damaged block, or stepping over damage, one
            // read from junk stayed the stream's after the block failed:
            // more channels, and the stream refused to its end.)
            kvxdec_get_prog_config(dec, dec->state != STATE_ADIF);
            if (decoded && std::memcmp(map, dec->mcInfo.channel, sizeof map) != 0) remapped = true;
            // A program to mix, or no longer one, from here on.
            if (!decoded) downmix_begin_block(dec);
            else if (dec->mcInfo.mix_program != program_mixed) remapped = true;
            // The stream's first block, made a mixed one by its program:
            // read again from its start, dry first, to decide SBR.
            if constexpr (kSbrBuilt)
                if (!dry && !decoded && downmix_sbr_undecided(dec)) return kDecideFirst;
            break;
        }
        case ID_FIL:
            kvxdec_getfill(dec, last_channel_element, channel_elements, element_slots == 2u ? 1 : 0);
            break;
        default:
            break;
        }
        const uint16_t element = id;
        // (In a mixed layout a fill element after a low-frequency element
        // is not another element's.)
        if (id == ID_SCE || id == ID_CPE || (id == ID_LFE && dec->mcInfo.mix_block)) {
            last_channel_element = id;
            ++channel_elements;
        }
        id = bits(dec, 3);
        if (overran()) return 0;
        if (f.status == DECFIFO_UNDERRUN) return -1;
        channels = static_cast<uint16_t>(channels + (element == ID_CPE ? 2 : (element == ID_SCE || element == ID_LFE ? 1 : 0)));
        // A block that already holds more channels than its program.
        if (stepping && !dec->mcInfo.mix_block && channels > dec->mcInfo.num_channels) {
            dec->state = STATE_SEARCH;
            return 0;
        }
    }
    if (dec->ctx->doubtedLength) {
        kvxdec_byte_align(&f);
        if (!frame_end_confirmed(dec, 16u * f.words_read + cached - f.bits_left)) {
            dec->state = STATE_SEARCH;
            return 0;
        }
    }
    if (dec->mcInfo.mix_block) {
        if (!decoded || remapped || !downmix_complete(dec)) {
            dec->state = STATE_SEARCH;
            return 0;
        }
        if (dry) return static_cast<int16_t>(16u * f.words_read);
        ++dec->ctx->bno;
        downmix_end_block(dec);
        return static_cast<int16_t>(16u * f.words_read);
    }
    const unsigned mapped = (1u << (dec->mcInfo.num_channels < 2 ? dec->mcInfo.num_channels : 2)) - 1;
    // Where no program and no channel configuration says how many channels
    // there are, a whole block of more than two is a stream of more (one
    // whose program has not come yet): the block fails and the stream is
    // refused, rather than concealed block after block.
    if (decoded && !remapped && channels > 2 && dec->ctx->defaultConfig && dec->state == STATE_FRAMES &&
        !dec->rawStream && dec->adts.channel_configuration == 0) {
        dec->mcInfo.more_channels = static_cast<uint8_t>(channels);
        dec->lastError = KVXD_ERR_CHANNELS;
    }
    if (!decoded || channels != dec->mcInfo.num_channels || slots != mapped || remapped) {
        dec->state = STATE_SEARCH;
        return 0;
    }
    kvxdec_check_mc_kvxdec_info(&dec->mcInfo, dec->ctx->bno == 0 && dec->ctx->defaultConfig != 0);
    const int16_t result = static_cast<int16_t>(16u * f.words_read);

    synthesise(dec, false);

    ++dec->ctx->bno;
    dec->numSamples = static_cast<uint16_t>(sbr_playing(dec) && !sbr_downsampled(sbr) ? 2 * kSamplesPerBlock : kSamplesPerBlock);
    return result;
}

}  // namespace

// A mixed block adds each element to the sums as soon as it is read. Where
// the block's end is not known before it is read (raw blocks and ADIF read
// as they come), a block that runs out of data would be tried again with
// part of it already in the sums: such a block is read once without
// synthesis first, and decoded only when it is whole.
// A mixed stream's first block in an instance that could play its SBR is
// read once without synthesis as well: whether it carries SBR data decides
// how its channels are synthesised.
// (The same for a first block whose program, read first in it, makes it a
// mixed one: it played its core, and the stream changed rate after it.)
int16_t aacDecode(MP4AACDEC_QUVA_Obj* dec) {
    const bool unbounded = !dec->frameMode && (dec->rawStream || dec->state == STATE_ADIF);
    const DecFifo start = dec->fifo;
    // Back to the block's start; what was fetched meanwhile stays.
    auto rewind = [dec, &start] {
        uint16_t* const write_ptr = dec->fifo.write_ptr;
        dec->fifo = start;
        dec->fifo.write_ptr = write_ptr;
    };
    const bool mixed = downmix_begin_block(dec);
    const bool decide = mixed && downmix_sbr_undecided(dec);
    if (mixed && (unbounded || decide)) {
        const int16_t r = decode_block(dec, true);
        if (r <= 0 || dec->fifo.status == DECFIFO_UNDERRUN) return r;
        if (decide) downmix_sbr_decide(dec);
        rewind();
    }
    const int16_t r = decode_block(dec, false);
    if constexpr (kSbrBuilt) {
        if (r == kDecideFirst) {
            rewind();
            return aacDecode(dec);  // mixed from its start now, and read dry first
        }
    }
    return r;
}

bool sbr_playing(const MP4AACDEC_QUVA_Obj* dec) {
    const SbrDecoder* s = dec->ctx->sbr;
    return kSbrBuilt && s && s->active && sbr_scratch_of(dec->ctx);
}

namespace {
// Where channel c's time samples for SBR lie: channel 0's in the SBR
// scratch, channel 1's in channel 0's spent spectrum, where they wait while
// channel 0's SBR runs.
int32_t* sbr_time_of(MP4AACDEC_QUVA_Obj* dec, int c) {
    return c ? dec->coef[0] : sbr_time_samples(dec->ctx->sbr);
}
}  // namespace

PcmOut pcm_out(MP4AACDEC_QUVA_Obj* dec, int c, bool stereo, int16_t* drop) {
    if (!dec->outputBuffer || (c > 0 && !stereo)) return {drop, 0, false};
    if (sbr_playing(dec)) return {drop, 0, false, nullptr, sbr_time_of(dec, c)};
    if (dec->wideOutput) return {drop, 2, !stereo, reinterpret_cast<int32_t*>(dec->outputBuffer) + c};
    return {dec->outputBuffer + c, 2, !stereo};
}

void sbr_out(MP4AACDEC_QUVA_Obj* dec, int c, bool stereo) {
    if (!sbr_playing(dec) || !dec->outputBuffer || (c > 0 && !stereo)) return;
    void* out = dec->wideOutput ? static_cast<void*>(reinterpret_cast<int32_t*>(dec->outputBuffer) + c)
                                : static_cast<void*>(dec->outputBuffer + c);
    if constexpr (kSbrBuilt)
        sbr_channel(dec->ctx->sbr, sbr_scratch_of(dec->ctx), c, sbr_time_of(dec, c), core_scale_of(dec, c), out,
                    dec->wideOutput != 0, 2,
                    !stereo);
}

// count (4 bits, 15 escapes to 14 + 8 more bits), then 8 * count bits of
// payload. With SBR attached, an SBR extension payload after a single
// channel or pair element is kept for the block's SBR; everything else is
// dropped.
void kvxdec_getfill(MP4AACDEC_QUVA_Obj* dec, uint16_t after, int element, int slot) {
    int count = bits(dec, 4);
    if (count == 15) count = 14 + bits(dec, 8);
    if (count == 0) return;
    const uint16_t type = bits(dec, 4);  // extension_type
    SbrDecoder* const sbr = kSbrBuilt ? dec->ctx->sbr : nullptr;
    const bool is_sbr = sbr && (type == kExtSbrData || type == kExtSbrDataCrc) && (after == ID_SCE || after == ID_CPE);
    MC_Info& mi = dec->mcInfo;
    SbrPayload* p = is_sbr && !sbr->work->payload.present ? &sbr->work->payload : nullptr;
    // Two single channel elements of a block of two channels, each with its
    // payload (dual mono): the second's is kept beside the first's.
    if (is_sbr && !p && !mi.mix_block && after == ID_SCE && element == 2 && sbr->work->payload.element == ID_SCE &&
        sbr->work->payload.index == 1 && !sbr->work->held.dual.payload.present)
        p = &sbr->work->held.dual.payload;
    const bool keep = p != nullptr;
    if (is_sbr && mi.mix_block) {
        mi.mix_sbr_seen = 1;
        // A layout of more channels than the instance has SBR room for plays its core.
        if (sbr->mode != SBR_MODE_OFF && !downmix_sbr_room(dec)) dec->lastError = KVXD_NOTE_SBR_CHANNELS;
    }
    if (!keep) {
        aacdec_skipbits(dec, 8u * static_cast<uint32_t>(count) - 4);
        return;
    }
    // The payload's bits after the extension type, packed from the first byte's top bit.
    uint32_t acc = bits(dec, 4);  // the last 4 bits read, not yet stored
    int n = 0;
    for (int i = 1; i < count; ++i) {
        acc = (acc << 8) | bits(dec, 8);
        p->bytes[n++] = static_cast<uint8_t>(acc >> 4);
        acc &= 15u;
    }
    p->bytes[n] = static_cast<uint8_t>(acc << 4);
    p->bits = static_cast<uint16_t>(8 * count - 4);
    p->crc = type == kExtSbrDataCrc;
    p->element = static_cast<uint8_t>(after);
    p->index = static_cast<uint8_t>(element);
    p->slot = static_cast<uint8_t>(slot);
    p->present = 1;
}
