// Multichannel layouts as a stereo downmix: the layout of the block, the
// mapping of its elements to the two channel slots one element at a time,
// the weights, and the stereo sums' output.
#include "dec/downmix.h"

#include <cstring>

#include "dec/block.h"
#include "dec/core_scale.h"
#include "dec/downmix_sums.h"
#include "dec/instance.h"
#include "dec/tools.h"
#include "dsp/filterbank.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/words.h"
#include "sbr/sbr_decoder.h"
#include "tables/band_tables.h"
#include "tables/downmix_tables.h"

namespace {

enum Place : uint8_t { PLACE_FRONT, PLACE_SIDE, PLACE_BACK, PLACE_LFE };

// Where a single channel sits across its place: its centre, or the left or
// right one of two single channels that stand for a pair.
enum Pan : uint8_t { PAN_CENTRE, PAN_LEFT, PAN_RIGHT };

struct Element {
    uint8_t id;     // ID_SCE, ID_CPE or ID_LFE
    uint8_t tag;    // matched when the layout is a program's
    uint8_t place;  // Place
    uint8_t pan = PAN_CENTRE;  // Pan, of a single channel
};

constexpr int kMaxElements = kMixMaxChannels;
// mix_done's mark of an element not in the layout, and mix_element then.
constexpr uint16_t kStrayElement = 0x8000;
constexpr uint8_t kNoElement = 0xFF;

struct Layout {
    int count = 0;     // elements
    int channels = 0;  // 0: not a layout to mix
    bool by_tag = false;
    int32_t surround_q30 = 0;
    bool pseudo = false;
    Element el[kMaxElements];
};

// Channel configurations 3..7: the elements in their order in the block.
constexpr Element kConfig[5][5] = {
    {{ID_SCE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_FRONT}},
    {{ID_SCE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_FRONT}, {ID_SCE, 0, PLACE_BACK}},
    {{ID_SCE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_BACK}},
    {{ID_SCE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_BACK}, {ID_LFE, 0, PLACE_LFE}},
    {{ID_SCE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_FRONT}, {ID_CPE, 0, PLACE_BACK},
     {ID_LFE, 0, PLACE_LFE}},
};
constexpr int kConfigElements[5] = {2, 3, 3, 4, 5};

int channels_of(const Element& e) { return e.id == ID_CPE ? 2 : 1; }

// The selected program's elements; false when it has more than eight
// channels (the layout is then not played).
bool program_layout(const ProgConfig& pc, Layout& l) {
    const struct {
        const EleList* list;
        Place place;
    } lists[] = {{&pc.front, PLACE_FRONT}, {&pc.side, PLACE_SIDE}, {&pc.back, PLACE_BACK}, {&pc.lfe, PLACE_LFE}};
    for (const auto& s : lists) {
        const int first = l.count;
        int singles = 0, channels = 0;
        for (int i = 0; i < s.list->num_elements; ++i) {
            if (l.count == kMaxElements) return false;
            const uint8_t id = s.place == PLACE_LFE ? ID_LFE : (s.list->is_cpe[i] ? ID_CPE : ID_SCE);
            l.el[l.count++] = {id, static_cast<uint8_t>(s.list->tag_select[i]), s.place};
            channels += channels_of(l.el[l.count - 1]);
            singles += id == ID_SCE;
        }
        l.channels += channels;
        // A list runs from its centre outwards (the back one from outside
        // in): of an odd count of channels the first front single channel
        // (the last back or side one) is the centre; the other single
        // channels are pairs, left then right.
        if (s.place == PLACE_LFE) continue;
        const int centre = channels % 2 == 0 ? -1 : s.place == PLACE_FRONT ? 0 : singles - 1;
        for (int i = first, k = 0, paired = 0; i < l.count; ++i) {
            if (l.el[i].id != ID_SCE) continue;
            if (k++ == centre) continue;
            l.el[i].pan = paired++ % 2 == 0 ? PAN_LEFT : PAN_RIGHT;
        }
    }
    if (l.channels > kMixMaxChannels) return false;
    l.by_tag = true;
    if (pc.matrix_mixdown.present) {
        l.surround_q30 = matrix_mixdown_weight_q30[pc.matrix_mixdown.element_number & 3];
        l.pseudo = pc.matrix_mixdown.pseudo_surround_enable != 0;
    }
    return true;
}

// The layout the block uses: the selected program's when it is mixed, else
// an ADTS stream's channel configuration 3..7; none (channels 0) otherwise.
Layout layout_of(const MP4AACDEC_QUVA_Obj* dec) {
    Layout l;
    l.surround_q30 = matrix_mixdown_weight_q30[0];
    const MC_Info& mi = dec->mcInfo;
    if (mi.mix_program) {
        if (!program_layout(dec->progConfig, l)) l.channels = 0;
        return l;
    }
    const uint32_t config = static_cast<uint32_t>(dec->rawStream ? mi.mix_config : dec->adts.channel_configuration);
    if (dec->state != STATE_FRAMES || config < 3 || config > 7) return l;
    for (int i = 0; i < kConfigElements[config - 3]; ++i) {
        l.el[l.count++] = kConfig[config - 3][i];
        l.channels += channels_of(l.el[i]);
    }
    return l;
}

// Unscaled weights (Q30) of channel k of element e to the left and right.
void weights(const Layout& l, int e, int k, bool lfe_plays, int32_t w[2]) {
    constexpr int32_t one = 1 << 30;
    const Element& el = l.el[e];
    const int32_t a = l.surround_q30;
    w[0] = w[1] = 0;
    switch (el.place) {
    case PLACE_FRONT:
        if (el.id == ID_CPE) w[k] = one;
        else if (el.pan != PAN_CENTRE) w[el.pan == PAN_RIGHT] = one;
        else w[0] = w[1] = matrix_mixdown_weight_q30[0];
        break;
    case PLACE_SIDE:
    case PLACE_BACK:
        if (el.id != ID_CPE && el.pan == PAN_CENTRE) {
            w[0] = w[1] = a;
        } else if (l.pseudo) {
            w[0] = -a;
            w[1] = a;
        } else {
            w[el.id == ID_CPE ? k : el.pan == PAN_RIGHT] = a;
        }
        break;
    default:
        if (lfe_plays) w[0] = w[1] = one;
        break;
    }
}

// What a layout's weights are divided by: the larger of the two outputs'
// sums of weight magnitudes (0 when nothing is heard; at most 8 x 2^30), and
// whether the low-frequency channels play (a layout of nothing else).
struct Scale {
    uint64_t total = 0;
    bool lfe_plays = false;
};
Scale scale_of(const Layout& l) {
    Scale sc;
    uint64_t sum[2] = {0, 0};
    for (int pass = 0; pass < 2 && sum[0] == 0 && sum[1] == 0; ++pass) {
        sc.lfe_plays = pass == 1;
        for (int i = 0; i < l.count; ++i) {
            for (int j = 0; j < channels_of(l.el[i]); ++j) {
                int32_t w[2];
                weights(l, i, j, sc.lfe_plays, w);
                for (int s = 0; s < 2; ++s) sum[s] += fx::magnitude64(w[s]);
            }
        }
    }
    sc.total = sum[0] > sum[1] ? sum[0] : sum[1];
    return sc;
}

// Stereo gains (Q30) of channel k of element e: its weights over the
// layout's scale, rounded, halves away from zero (each weight's magnitude
// is part of its output's sum, so at most the scale; a weight of 0, half of
// a pair's, is not divided).
void gains(const Layout& l, const Scale& sc, int e, int k, int32_t g[2]) {
    int32_t w[2];
    weights(l, e, k, sc.lfe_plays, w);
    for (int s = 0; s < 2; ++s)
        g[s] = w[s] ? fx::with_sign_of(w[s], fx::udiv_round_q30_wide(fx::magnitude64(w[s]), sc.total)) : 0;
}

int first_channel(const Layout& l, int e) {
    int ch = 0;
    for (int i = 0; i < e && i < l.count; ++i) ch += channels_of(l.el[i]);
    return ch;
}

}  // namespace

namespace {

// What the persistent record of a mixed layout with SBR keeps of the last
// good block's layout for concealment, then each element's SBR state, then
// the SBR channels 2.. of the layout.
struct SbrMixLayout {
    int32_t gains[kMixMaxChannels][2];
    uint8_t first[kMaxElements];      // each element's first channel
    uint8_t channels[kMaxElements];   // and its channels
    uint8_t sbr_first[kMaxElements];  // its first SBR channel (SbrSlots)
    uint8_t sbr_element[kMaxElements];
    uint8_t count;                    // elements
};

// Where an element's SBR state and its channels' lie: the elements and
// channels that are heard are counted, those not heard (a 5.1 layout's
// low-frequency channel) take no room.
struct SbrSlots {
    int element = 0;
    int channel = 0;
};
// (A channel is heard when it has a weight: a gain is 0 for a weight of 0
// alone, the smallest weight being 2^28 and the scale at most 2^33.)
bool heard(const Layout& l, const Scale& sc, int e) {
    for (int c = 0; c < channels_of(l.el[e]); ++c) {
        int32_t w[2];
        weights(l, e, c, sc.lfe_plays, w);
        if (w[0] || w[1]) return true;
    }
    return false;
}
SbrSlots sbr_slots(const Layout& l, const Scale& sc, int e) {
    SbrSlots s;
    for (int i = 0; i < e && i < l.count; ++i) {
        if (!heard(l, sc, i)) continue;
        ++s.element;
        s.channel += channels_of(l.el[i]);
    }
    return s;
}

}  // namespace

struct SbrMixRecord {
    SbrMixScratch* scratch;
    uint32_t channels;  // the most channels of a layout
    SbrMixLayout layout;
};

namespace {

constexpr size_t align8(size_t n) { return (n + 7) / 8 * 8; }

uint8_t* sbr_mix_base(const MP4AACDEC_QUVA_Obj* dec) { return reinterpret_cast<uint8_t*>(dec->ctx->sbrMix); }
SbrMixScratch* sbr_mix_scratch(const MP4AACDEC_QUVA_Obj* dec) { return dec->ctx->sbrMix->scratch; }
int sbr_mix_channels(const MP4AACDEC_QUVA_Obj* dec) {
    return dec->ctx->sbrMix ? static_cast<int>(dec->ctx->sbrMix->channels) : 0;
}
SbrElementState* sbr_mix_element_state(const MP4AACDEC_QUVA_Obj* dec, int e) {
    return reinterpret_cast<SbrElementState*>(sbr_mix_base(dec) + align8(sizeof(SbrMixRecord))) + e;
}
// SBR channel ch of the layout: 0 and 1 the SBR record's, the others the
// mixed layout's record's.
[[maybe_unused]] SbrChannel* sbr_mix_channel(const MP4AACDEC_QUVA_Obj* dec, int ch) {
    SbrDecoder* s = dec->ctx->sbr;
    if (ch < 2) return ch ? &s->ch1 : &s->ch0;
    const size_t elements = align8(static_cast<size_t>(sbr_mix_channels(dec)) * sizeof(SbrElementState));
    return reinterpret_cast<SbrChannel*>(sbr_mix_base(dec) + align8(sizeof(SbrMixRecord)) + elements) + (ch - 2);
}

// Bytes of the buffer of the last good spectra the block's way of mixing uses.
size_t store_bytes(const MP4AACDEC_QUVA_Obj* dec, bool sbr) {
    if (dec->ctx->downmix == LAYOUT_NATIVE) return kNativeStoreBytes;
    return sbr ? downmix_sbr_store_bytes(sbr_mix_channels(dec)) : kLastSpectrumBytes;
}

// Channels whose core overlap the buffers hold when mixing with SBR.
// ([[maybe_unused]]: the compact arithmetic never mixes.)
[[maybe_unused]] int store_channels(const MP4AACDEC_QUVA_Obj* dec) { return 2 + static_cast<int>(store_bytes(dec, true) / 4096); }

}  // namespace

size_t downmix_sbr_bytes(int channels) {
    if (channels < 3 || channels > kMixMaxChannels) return 0;
    return align8(sizeof(SbrMixRecord)) + align8(static_cast<size_t>(channels) * sizeof(SbrElementState)) +
           static_cast<size_t>(channels - 2) * sizeof(SbrChannel);
}

bool downmix_sbr_attach(MP4AACDEC_QUVA_Obj* dec, void* persistent, SbrMixScratch* scratch, int channels) {
    if (!kSbrBuilt || !dec->ctx->sbr || !dec->lastSpectrum || !persistent || !scratch) return false;
    if (channels < 3 || channels > kMixMaxChannels) return false;
    if (reinterpret_cast<uintptr_t>(persistent) % 8 || reinterpret_cast<uintptr_t>(scratch) % 8) return false;
    auto* r = static_cast<SbrMixRecord*>(persistent);
    r->scratch = scratch;
    r->channels = static_cast<uint32_t>(channels);
    dec->ctx->sbrMix = r;
    downmix_sbr_reset(dec);
    return true;
}

void downmix_sbr_reset(MP4AACDEC_QUVA_Obj* dec) {
    if constexpr (!kSbrBuilt) return;  // (no SBR to mix, and no record for it)
    // A mixed layout's SBR goes with its stream (a splice, a reset): what
    // the last blocks kept (each channel's tail in the overlap buffers and
    // the store, no spectra) can no longer be played through it, so a block
    // that fails before the next good one has nothing to conceal from.
    MC_Info& mi = dec->mcInfo;
    if (kSbrBuilt && mi.mix_sbr) {
        mi.mix_sbr = 0;
        mi.mix_last = 0;
        dec->goodChannels = 0;
    }
    SbrMixRecord* const r = dec->ctx->sbrMix;
    if (!r) return;
    const int n = sbr_mix_channels(dec);
    r->layout = SbrMixLayout{};
    const size_t head = align8(sizeof(SbrMixRecord)), bytes = downmix_sbr_bytes(n);
    if (bytes <= head) return;  // (an attached record has 3 to 8 channels)
    std::memset(sbr_mix_base(dec) + head, 0, bytes - head);
    if constexpr (kSbrBuilt)
        for (int e = 0; e < n; ++e) sbr_element_reset(sbr_mix_element_state(dec, e));
}

namespace {

bool sbr_room(const MP4AACDEC_QUVA_Obj* dec, const Layout& l) {
    if (!kSbrBuilt || !dec->ctx->sbrMix || !sbr_scratch_of(dec->ctx) || !dec->ctx->sbr ||
        dec->ctx->downmix != LAYOUT_MIXED)
        return false;
    return l.channels > 0 && sbr_slots(l, scale_of(l), l.count).channel <= sbr_mix_channels(dec);
}

}  // namespace

bool downmix_sbr_room(const MP4AACDEC_QUVA_Obj* dec) { return sbr_room(dec, layout_of(dec)); }

bool downmix_sbr_undecided(const MP4AACDEC_QUVA_Obj* dec) {
    return dec->mcInfo.mix_block && downmix_sbr_room(dec) && !dec->ctx->sbr->decided;
}

void downmix_sbr_decide(MP4AACDEC_QUVA_Obj* dec) {
    if constexpr (kSbrBuilt)
        if (downmix_sbr_undecided(dec)) sbr_decide_mixed(dec->ctx->sbr, dec->mcInfo.mix_sbr_seen != 0);
}

bool downmix_block_ahead(const MP4AACDEC_QUVA_Obj* dec) {
    return kExactArithmetic && dec->ctx->downmix && dec->lastSpectrum && layout_of(dec).channels > 0;
}

bool downmix_begin_block(MP4AACDEC_QUVA_Obj* dec) {
    MC_Info& mi = dec->mcInfo;
    mi.mix_block = 0;
    mi.mix_done = 0;
    mi.mix_sbr_pending = kNoElement;
    mi.mix_sbr_seen = 0;
    if (!downmix_block_ahead(dec)) return false;
    const Layout l = layout_of(dec);
    SbrDecoder* const s = dec->ctx->sbr;
    const bool sbr = sbr_room(dec, l) && s->active;
    // The overlap buffers take the heads or the channels' tails: a mono
    // stream's parametric stereo gives channel 1's back (and the second
    // channel's SBR room).
    if constexpr (kSbrBuilt)
        if (s) sbr_take_second_channel(s);
    // From a stereo block on: the buffer of the last good spectra becomes
    // the tails' sums; the overlap buffers go on as the stereo heads. With
    // SBR they hold each channel's own tail: a change from one way to the
    // other starts from silence.
    if (!mi.mix_last || sbr != (mi.mix_sbr != 0)) std::memset(dec->lastSpectrum, 0, store_bytes(dec, sbr));
    if (mi.mix_last && sbr != (mi.mix_sbr != 0)) {
        std::memset(dec->overlap[0], 0, kOverlapBytes);
        std::memset(dec->overlap[1], 0, kOverlapBytes);
    }
    if (sbr) {
        SbrMixScratch* const m = sbr_mix_scratch(dec);
        words::zero(m->re, sizeof m->re);
        words::zero(m->im, sizeof m->im);
    }
    mi.mix_sbr = sbr ? 1 : 0;
    mi.mix_block = 1;
    core_scale_clear(dec);
    mi.mix_last = 1;
    mi.mix_channels = static_cast<uint8_t>(l.channels);
    return true;
}

bool downmix_mixes_program(const MP4AACDEC_QUVA_Obj* dec, const ProgConfig& pc) {
    Layout l;
    return kExactArithmetic && dec->ctx->downmix && dec->lastSpectrum && program_layout(pc, l);
}

int32_t downmix_map(MP4AACDEC_QUVA_Obj* dec, int32_t id, int32_t tag, int32_t common_window) {
    MC_Info& mi = dec->mcInfo;
    const Layout l = layout_of(dec);
    int e = 0;
    // (A single channel element where a channel configuration's
    // low-frequency element has yet to come takes its place, as some
    // encoders code that channel: the configurations list it last.)
    auto fits = [&](const Element& el) {
        return el.id == id ? !l.by_tag || el.tag == tag : id == ID_SCE && el.id == ID_LFE && !l.by_tag;
    };
    while (e < l.count && (!fits(l.el[e]) || (mi.mix_done >> e & 1))) ++e;
    // An element the layout does not have (or has had) is read all the
    // same, not played, and fails the block once it is read whole (as a
    // stereo block of too many elements does): a block cut short by the end
    // of the data held is waited for rather than failed.
    mi.mix_done = static_cast<uint16_t>(mi.mix_done | (e == l.count ? kStrayElement : 1u << e));
    mi.mix_element = static_cast<uint8_t>(e == l.count ? kNoElement : e);
    // The element alone in the two slots.
    mi.num_channels = mi.num_front_channels = 0;
    for (ChInfo& c : mi.channel) c = ChInfo{};
    return kvxdec_enter_chn(id == ID_CPE ? 1 : 0, tag, CHN_FRONT, common_window, &mi);
}

int downmix_channel_index(const MP4AACDEC_QUVA_Obj* dec, int c) {
    if (dec->mcInfo.mix_element == kNoElement) return c;
    return first_channel(layout_of(dec), dec->mcInfo.mix_element) + c;
}

bool downmix_complete(const MP4AACDEC_QUVA_Obj* dec) {
    const Layout l = layout_of(dec);
    // A low-frequency element may be missing: some encoders leave it out
    // of a channel configuration that has one. The others may not, nor may
    // an element the layout has not (the stray mark, above the layout's).
    uint32_t needed = 0;
    for (int e = 0; e < l.count; ++e)
        if (l.el[e].id != ID_LFE) needed |= 1u << e;
    const uint32_t done = dec->mcInfo.mix_done;
    return done && done >> l.count == 0 && (done & needed) == needed;
}

int downmix_gains(const MP4AACDEC_QUVA_Obj* dec, int32_t g[kMixMaxChannels][2]) {
    const Layout l = layout_of(dec);
    const Scale sc = scale_of(l);
    int ch = 0;
    for (int e = 0; e < l.count; ++e)
        for (int k = 0; k < channels_of(l.el[e]); ++k) gains(l, sc, e, k, g[ch++]);
    return l.channels;
}

#if AAC_ARITHMETIC_EXACT

namespace {

// Channel ch's overlap in native output.
int32_t* native_overlap(MP4AACDEC_QUVA_Obj* dec, int ch) {
    return ch < 2 ? dec->overlap[ch] : dec->lastSpectrum + 1024 * (ch - 2);
}

// Native output: channel ch of the layout through its own overlap into
// its place in frames of n channels.
void native_channel(MP4AACDEC_QUVA_Obj* dec, int c, int ch, int n) {
    MC_Info& mi = dec->mcInfo;
    const int w = mi.channel[c].window_channel;
    uint16_t shape[2] = {dec->windowShapeState[w][0], mi.mix_shape[ch]};
    int16_t drop = 0;
    PcmOut out{&drop, 0, false};
    if (dec->outputBuffer && dec->wideOutput) out = {&drop, n, false, reinterpret_cast<int32_t*>(dec->outputBuffer) + ch};
    else if (dec->outputBuffer) out = {dec->outputBuffer + ch, n, false};
    // Frames of n channels through the library's own synthesis.
    if (out.step)
        dec->libraryOutput(&dec->firstBlock, dec->windowSequence[w], shape, dec->coef[c], native_overlap(dec, ch), out);
    else
        kvxdec_aacFilterBank(dec, dec->windowSequence[w], shape, dec->coef[c], native_overlap(dec, ch), out);
    mi.mix_shape[ch] = static_cast<uint8_t>(shape[0]);
}

// Native output: channel ch of n as a silent block gives it (its tail),
// its overlap cleared.
[[gnu::cold]] void native_silence(MP4AACDEC_QUVA_Obj* dec, int ch, int n) {
    int32_t* const ov = native_overlap(dec, ch);
    int16_t* const out = dec->outputBuffer;
    if (out && dec->wideOutput) {
        for (int k = 0; k < 1024; ++k) reinterpret_cast<int32_t*>(out)[k * n + ch] = q12_to_pcm32(ov[k]);
    } else if (out) {
        for (int k = 0; k < 1024; ++k) out[k * n + ch] = q12_to_pcm16(ov[k]);
    }
    words::zero(ov, 1024 * sizeof(int32_t));
}

// Where the core time samples (Q12) of channel c of an element wait for its
// SBR: the first channel's where SBR reads them, the second's in the first
// channel's spectrum, which is spent once the first channel is synthesised
// (no channel element comes before the element's SBR has run).
int32_t* held_time(MP4AACDEC_QUVA_Obj* dec, int c) {
    return c == 0 ? sbr_time_samples(dec->ctx->sbr) : dec->coef[0];
}

// SBR of one element of a mixed layout: its n channels' core time samples
// (held_time) through their SBR, their subband samples
// added with their gains into the stereo sums; with `conceal` the element
// plays its held SBR frame.
void sbr_mix_element(MP4AACDEC_QUVA_Obj* dec, SbrSlots at, int n, const int32_t g[][2], bool conceal) {
    if (n < 1 || n > 2 || at.channel + n > sbr_mix_channels(dec) || at.element >= sbr_mix_channels(dec)) return;
    if (!g[0][0] && !g[0][1] && (n == 1 || (!g[1][0] && !g[1][1]))) return;  // not heard
    // (Reached only with SBR attached.)
    if constexpr (kSbrBuilt) {
        SbrDecoder* const s = dec->ctx->sbr;
        SbrScratch* const x = sbr_scratch_of(dec->ctx);
        SbrMixScratch* const m = sbr_mix_scratch(dec);
        SbrChannel* const ch[2] = {sbr_mix_channel(dec, at.channel), sbr_mix_channel(dec, at.channel + n - 1)};
        const int e = at.element;
        sbr_element_load(s, sbr_mix_element_state(dec, e));
        if (conceal) sbr_conceal_block(s, n);
        else sbr_begin_element(s, samp_rate_kvxdec_info[dec->mcInfo.sampling_rate_idx & 15].sampling_rate, n, ch);
        for (int c = 0; c < n; ++c) {
            if (!g[c][0] && !g[c][1]) continue;
            // (The first channel's are in place already.)
            if (c == 1) words::copy(sbr_time_samples(s), held_time(dec, 1), 1024 * sizeof(int32_t));
            sbr_channel_subbands(s, x, ch[c], c);
            // (Downsampled, the 32-band synthesis hears subbands 0..31 alone.)
            const int width = s->downsampled ? 32 : 64;
            for (int o = 0; o < 2; ++o) {
                if (!g[c][o]) continue;
                kernels.mix_rows(m->re[o][0], x->re[kSbrHfAdjSlots], kSbrQmfSlots, width, g[c][o]);
                kernels.mix_rows(m->im[o][0], x->im[kSbrHfAdjSlots], kSbrQmfSlots, width, g[c][o]);
            }
        }
        sbr_element_save(s, sbr_mix_element_state(dec, e));
    }
}

// The stereo sums of subband samples through the two synthesis banks: the
// block's PCM, 2048 frames (1024 downsampled). (The sums are scratch: each
// block clears them as it starts, downmix_begin_block, and concealment
// before it adds the held frames.)
void put_sbr_sums(MP4AACDEC_QUVA_Obj* dec) {
    SbrDecoder* const s = dec->ctx->sbr;
    SbrMixScratch* const m = sbr_mix_scratch(dec);
    if (dec->outputBuffer) {
        const bool wide = dec->wideOutput != 0;
        for (int o = 0; o < 2; ++o) {
            void* out = wide ? static_cast<void*>(reinterpret_cast<int32_t*>(dec->outputBuffer) + o)
                             : static_cast<void*>(dec->outputBuffer + o);
            if constexpr (kSbrBuilt) sbr_synthesise(s, o, m->re[o], m->im[o], out, wide, 2);
        }
    }
    dec->numSamples = static_cast<uint16_t>(s->downsampled ? kSamplesPerBlock : 2 * kSamplesPerBlock);
}

// A failed block of a mixed layout with SBR: each channel's tail (what a
// silent block gives) through its element's held SBR frame; the overlaps
// are cleared.
void conceal_sbr_mix(MP4AACDEC_QUVA_Obj* dec) {
    const SbrMixLayout& ml = dec->ctx->sbrMix->layout;
    SbrMixScratch* const m = sbr_mix_scratch(dec);
    words::zero(m->re, sizeof m->re);
    words::zero(m->im, sizeof m->im);
    for (int e = 0; e < ml.count && e < kMaxElements; ++e) {
        const int first = ml.first[e];
        const int n = ml.channels[e];
        // (Channels not heard keep no overlap.)
        if (n < 1 || n > 2 || first + n > store_channels(dec)) continue;
        for (int c = 0; c < n; ++c) {
            int32_t* const ov = native_overlap(dec, first + c);
            words::copy(held_time(dec, c), ov, 1024 * sizeof(int32_t));
            words::zero(ov, 1024 * sizeof(int32_t));
        }
        SbrSlots at;
        at.element = ml.sbr_element[e];
        at.channel = ml.sbr_first[e];
        sbr_mix_element(dec, at, n, &ml.gains[first], true);
    }
    put_sbr_sums(dec);
}

}  // namespace

void downmix_sbr_element(MP4AACDEC_QUVA_Obj* dec) {
    MC_Info& mi = dec->mcInfo;
    const int e = mi.mix_sbr_pending;
    mi.mix_sbr_pending = kNoElement;
    if (!kSbrBuilt || !mi.mix_sbr || e == kNoElement) return;
    const Layout l = layout_of(dec);
    if (e >= l.count) return;
    const Scale sc = scale_of(l);
    const int n = channels_of(l.el[e]);
    int32_t g[2][2];
    for (int c = 0; c < n; ++c) gains(l, sc, e, c, g[c]);
    sbr_mix_element(dec, sbr_slots(l, sc, e), n, g, false);
}

void downmix_channel(MP4AACDEC_QUVA_Obj* dec, int c) {
    MC_Info& mi = dec->mcInfo;
    const Layout l = layout_of(dec);
    const int e = mi.mix_element;
    if (e == kNoElement) return;
    // A channel the layout has no place for (an element other than the one
    // the layout puts there) is not heard.
    if (e >= l.count || c >= channels_of(l.el[e]) || first_channel(l, e) + c >= kMixMaxChannels) return;
    if (dec->ctx->downmix == LAYOUT_NATIVE) {
        native_channel(dec, c, first_channel(l, e) + c, l.channels);
        return;
    }
    int32_t g[2];
    gains(l, scale_of(l), e, c, g);
    if (g[0] == 0 && g[1] == 0) return;  // not heard: no transform
    const int ch = first_channel(l, e) + c;
    const int w = mi.channel[c].window_channel;
    if (kSbrBuilt && mi.mix_sbr) {
        if (ch >= store_channels(dec)) return;
        // Through the channel's own overlap to its core time samples, which
        // wait for the element's SBR.
        uint16_t shape[2] = {dec->windowShapeState[w][0], mi.mix_shape[ch]};
        int16_t drop = 0;
        const PcmOut out{&drop, 0, false, nullptr, held_time(dec, c)};
        kernels.synthesis(&dec->firstBlock, dec->windowSequence[w], shape, dec->coef[c], native_overlap(dec, ch), out);
        mi.mix_shape[ch] = static_cast<uint8_t>(shape[0]);
        mi.mix_sbr_pending = static_cast<uint8_t>(e);
        return;
    }
    // This block's shape, and the shape the channel's last block ended with.
    uint16_t shape[2] = {dec->windowShapeState[w][0], mi.mix_shape[ch]};
    const MixOut mix{{dec->overlap[0], dec->overlap[1]}, {dec->lastSpectrum, dec->lastSpectrum + 1024}, {g[0], g[1]}};
    kernels.synthesis_mix(dec->windowSequence[w], shape, dec->coef[c], mix);
    mi.mix_shape[ch] = static_cast<uint8_t>(shape[0]);
}

void downmix_end_block(MP4AACDEC_QUVA_Obj* dec) {
    MC_Info& mi = dec->mcInfo;
    // (mix_sbr is never set in a build without SBR.)
    if (kSbrBuilt && mi.mix_sbr) {
        downmix_sbr_element(dec);
        put_sbr_sums(dec);
        // What concealment needs of the layout.
        const Layout l = layout_of(dec);
        const Scale sc = scale_of(l);
        SbrMixLayout& ml = dec->ctx->sbrMix->layout;
        ml = SbrMixLayout{};
        ml.count = static_cast<uint8_t>(l.count);
        for (int e = 0; e < l.count; ++e) {
            const SbrSlots at = sbr_slots(l, sc, e);
            ml.first[e] = static_cast<uint8_t>(first_channel(l, e));
            ml.channels[e] = static_cast<uint8_t>(channels_of(l.el[e]));
            ml.sbr_first[e] = static_cast<uint8_t>(at.channel);
            ml.sbr_element[e] = static_cast<uint8_t>(at.element);
            for (int c = 0; c < ml.channels[e] && ml.first[e] + c < kMixMaxChannels; ++c)
                gains(l, sc, e, c, ml.gains[ml.first[e] + c]);
        }
    } else if (dec->ctx->downmix == LAYOUT_NATIVE) {
        // A missing element's channel (a low-frequency one: see
        // downmix_complete) gives what a silent block gives.
        const Layout l = layout_of(dec);
        for (int e = 0; e < l.count; ++e)
            if (!(mi.mix_done >> e & 1)) native_silence(dec, first_channel(l, e), mi.mix_channels);
        dec->numSamples = static_cast<uint16_t>(1024 * dec->mcInfo.mix_channels);
    } else {
        downmix_put_sums(dec);
    }
    // Played without SBR (no room for its channels, or the layout kept
    // native), the stream stays at its core rate to its end: decided here,
    // so that a block lost later is concealed at that rate, not dropped
    // for want of one.
    if constexpr (kSbrBuilt)
        if (!mi.mix_sbr && dec->ctx->sbr) sbr_decide_core(dec->ctx->sbr);
    // The block's channels are the layout's (not the last element's).
    dec->mcInfo.num_channels = dec->mcInfo.mix_channels;
    dec->goodChannels = 2;
    dec->concealRun = 0;
    dec->ctx->programDoubted = 0;
}

// (Run for a lost block alone.)
__attribute__((cold)) void downmix_conceal(MP4AACDEC_QUVA_Obj* dec) {
    // The block's channels are the layout's, whatever element it failed in.
    dec->mcInfo.num_channels = dec->mcInfo.mix_channels;
    // (Only while the layout's SBR plays: its synthesis then has the record
    // and the room of the rate it decided on.)
    if (kSbrBuilt && dec->mcInfo.mix_sbr && dec->ctx->sbrMix && dec->ctx->sbr && dec->ctx->sbr->active) {
        conceal_sbr_mix(dec);
        return;
    }
    if (dec->ctx->downmix != LAYOUT_NATIVE) {
        downmix_put_sums(dec);
        return;
    }
    // Native: each channel's tail goes out (what a silent block gives) and
    // its overlap is cleared.
    const int n = dec->mcInfo.mix_channels;
    for (int ch = 0; ch < n; ++ch) native_silence(dec, ch, n);
    dec->numSamples = static_cast<uint16_t>(1024 * n);
}

void downmix_forget_block(MP4AACDEC_QUVA_Obj* dec) {
    if (dec->mcInfo.mix_block) dec->mcInfo.num_channels = dec->mcInfo.mix_channels;
    if (!dec->mcInfo.mix_block || dec->mcInfo.mix_sbr || dec->ctx->downmix != LAYOUT_MIXED || !dec->lastSpectrum) return;
    words::zero(dec->overlap[0], 1024 * sizeof(int32_t));
    words::zero(dec->overlap[1], 1024 * sizeof(int32_t));
    words::zero(dec->lastSpectrum, 2048 * sizeof(int32_t));
    // The channels' last window shapes too, which the failed block moved
    // for those it read: as at a stream's start.
    for (uint8_t& shape : dec->mcInfo.mix_shape) shape = 0;
}

#else

// The compact arithmetic never mixes (downmix_begin_block says no).
void downmix_sbr_element(MP4AACDEC_QUVA_Obj*) {}
void downmix_channel(MP4AACDEC_QUVA_Obj*, int) {}
void downmix_end_block(MP4AACDEC_QUVA_Obj*) {}
void downmix_conceal(MP4AACDEC_QUVA_Obj*) {}
void downmix_forget_block(MP4AACDEC_QUVA_Obj*) {}

#endif
