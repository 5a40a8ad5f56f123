#include "sbr/sbr_decoder.h"

#include <cstring>
#include <new>
#include <utility>

#include "sbr/dequant.h"
#include "dsp/filterbank.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/words.h"

namespace {

// Blocks in a row played from the held frame before the high band is
// dropped: 60 dB down by then.
constexpr uint32_t kConcealBlocks = 60 / kSbrConcealDecayDb;

// What concealment keeps of a good frame: per channel its last envelope's
// values and resolution, its last noise floor, its inverse filtering modes
// and where its grid ended (its borders reach up to 3 SBR time slots into
// the next frame).
void hold_frame(const SbrFrameData& f, SbrHeld* held) {
    held->num_channels = f.num_channels;
    held->coupling = f.coupling;
    const int channels = f.num_channels < 2 ? f.num_channels : 2;
    for (int c = 0; c < channels; ++c) {
        const SbrChannelFrame& ch = f.ch[c];
        const SbrGrid& g = ch.grid;
        SbrHeldChannel& h = held->ch[c];
        const int last = g.num_env >= 1 && g.num_env <= kSbrMaxEnvelopes ? g.num_env - 1 : 0;
        const int last_noise = g.num_noise >= 1 && g.num_noise <= kSbrMaxNoiseEnvelopes ? g.num_noise - 1 : 0;
        const int end = g.t_env[last + 1];
        std::memcpy(h.env, ch.env[last], sizeof h.env);
        std::memcpy(h.noise, ch.noise[last_noise], sizeof h.noise);
        std::memcpy(h.invf, ch.invf, sizeof h.invf);
        h.amp_res = ch.amp_res;
        h.freq_res = g.freq_res[last];
        h.start = static_cast<uint8_t>(end > kSbrTimeSlots ? end - kSbrTimeSlots : 0);
    }
}

// A concealed block's frame from the held one: one envelope and one noise
// floor from where the last grid ended to the frame's end, no transient,
// no sinusoids, each level kSbrConcealDecayDb lower than the block before
// (the balance values of a coupled pair's second channel stay).
void conceal_channel(SbrHeldChannel& h, bool decay, SbrChannelFrame& ch) {
    if (decay) {
        // Quantized steps of 1.5 dB (amp_res 0) or 3 dB.
        const int step = kSbrConcealDecayDb * 2 / (h.amp_res ? 6 : 3);
        for (int8_t& e : h.env) e = static_cast<int8_t>(e > step ? e - step : 0);
    }
    ch = SbrChannelFrame{};
    SbrGrid& g = ch.grid;
    g.frame_class = SBR_FIXFIX;
    g.num_env = 1;
    g.num_noise = 1;
    g.t_env[0] = g.t_noise[0] = h.start;
    g.t_env[1] = g.t_noise[1] = kSbrTimeSlots;
    g.freq_res[0] = h.freq_res;
    g.l_a = -1;
    ch.amp_res = h.amp_res;
    std::memcpy(ch.invf, h.invf, sizeof ch.invf);
    std::memcpy(ch.env[0], h.env, sizeof h.env);
    std::memcpy(ch.noise[0], h.noise, sizeof h.noise);
    h.start = 0;  // a further concealed block covers its whole frame
}

void conceal_from_held(SbrHeld* held, SbrFrameData* f) {
    *f = SbrFrameData{};
    f->num_channels = held->num_channels;
    f->coupling = held->coupling;
    const int channels = held->num_channels < 2 ? held->num_channels : 2;
    const bool coupled = channels == 2 && held->coupling;
    for (int c = 0; c < channels; ++c) conceal_channel(held->ch[c], !(coupled && c == 1), f->ch[c]);
}

// No usable SBR data in this block: the held frame, one step further down,
// while there is one for these channels and the frequency tables it was
// read with still hold.
void conceal_frame(SbrDecoder* s, int channels) {
    s->frameOk = 0;
    if (!s->heldOk || s->held.num_channels != channels || s->parse.reset_pending || s->concealRun >= kConcealBlocks) {
        s->heldOk = 0;
        return;
    }
    ++s->concealRun;
    conceal_from_held(&s->held, &s->lent.frame->frame);
    s->frameOk = 1;
}

// Dual mono: the two single channel elements' payloads as one frame of an
// uncoupled pair, each channel in its element's slot. Each element keeps
// its own history (the first's in the reader's first slot, the second's in
// its second); the header is one for both, as two elements of one encoder
// repeat it. Elements of two headers are not played: a second payload
// whose header differs from the first's fails the frame and leaves no
// header in force, so that neither channel plays with the other's (their
// high bands fade out; the core plays on). Where one element's data is
// missing or fails to parse, that channel is concealed from the held
// frame and the other plays its own, while there is a held frame of both
// and the tables hold; else both are concealed and both histories
// forgotten.
bool parse_dual(SbrDecoder* s, int32_t fs_sbr) {
    SbrParseState& st = s->parse;
    SbrFrameData& f = s->lent.frame->frame;
    SbrDual& other = s->work->held.dual;
    const auto fail = [&st] {
        sbr_parse_forget_history(&st);
        return false;
    };
    // The payloads by element, each read into its own frame.
    const SbrPayload* p[2] = {nullptr, nullptr};
    const SbrPayload& first = s->work->payload;
    if (first.index == 1 || first.index == 2) p[first.index - 1] = &first;
    if (other.payload.present && other.payload.index == 2 && !p[1]) p[1] = &other.payload;
    if (!p[0] && !p[1]) return fail();
    int slot[2];
    for (int e = 0; e < 2; ++e) slot[e] = p[e] ? p[e]->slot : 1 - p[1 - e]->slot;
    if (slot[0] == slot[1]) return fail();
    SbrFrameData* const out[2] = {&f, &other.frame};
    SbrChannelHistory hist[2] = {st.hist[0], st.hist[1]};
    bool ok[2] = {false, false};
    bool reset = false;
    SbrHeader header{};
    for (int e = 0; e < 2; ++e) {
        if (!p[e]) {
            hist[e].valid = 0;
            continue;
        }
        st.hist[0] = hist[e];
        ok[e] = sbr_parse_frame(&st, p[e]->bytes, p[e]->bits, p[e]->crc != 0, 1, fs_sbr, out[e]) == SBR_PARSE_OK;
        hist[e] = st.hist[0];
        if (!ok[e]) continue;
        if (out[e]->reset) {
            // New tables: the first element's history no longer holds, and
            // the second's may not make them under the first's data.
            if (e == 1 && ok[0]) {
                st.have_header = 0;
                return fail();
            }
            reset = true;
            hist[1 - e].valid = 0;
        }
        if (e == 1 && ok[0] && std::memcmp(&header, &st.header, sizeof header) != 0) {
            st.have_header = 0;
            return fail();
        }
        header = st.header;
    }
    st.hist[0] = hist[0];
    st.hist[1] = hist[1];
    if (!ok[0] || !ok[1]) {
        const bool held = s->heldOk && s->held.num_channels == 2 && !s->held.coupling && !st.reset_pending &&
                          !reset && s->concealRun < kConcealBlocks;
        if (!held || (!ok[0] && !ok[1])) return fail();
    }
    // In the elements' order, then each in its slot.
    if (!ok[0]) f = SbrFrameData{};
    if (ok[1]) f.ch[1] = other.frame.ch[0];
    else conceal_channel(s->held.ch[slot[1]], true, f.ch[1]);
    if (!ok[0]) conceal_channel(s->held.ch[slot[0]], true, f.ch[0]);
    if (slot[0] == 1) std::swap(f.ch[0], f.ch[1]);
    f.num_channels = 2;
    f.coupling = 0;
    f.reset = reset ? 1 : 0;
    return true;
}

// The most energy an envelope may give a subband, log2 in the decoder's
// units (64 times 2^(E/a), times 2^8 for the analysis' scale: dequant.h):
// 2^52, 9 dB above what a full-scale sine gives its subband (2^49;
// full-scale white noise gives each 2^43.4; the loudest envelope of the
// encoders' streams here is 2^40). A frame above it is damage that read as
// data (a flipped bit in a delta): played, its high band would be noise at
// full scale for as long as later frames' deltas build on it.
constexpr int kEnvelopeLog2Max = 52;

// A channel's envelopes within that (`extra`: 1 for a coupled pair's level
// channel, whose energy each channel takes part of).
bool envelopes_plausible(const SbrChannelFrame& c, int extra) {
    // E / a at most the limit: E at most twice it in steps of 1.5 dB (a = 2).
    const int limit = (kEnvelopeLog2Max - kSbrEnvLog2Base - extra) << (c.amp_res ? 0 : 1);
    const int n = c.grid.num_env < kSbrMaxEnvelopes ? c.grid.num_env : kSbrMaxEnvelopes;
    for (int l = 0; l < n; ++l)
        for (int k = 0; k < kSbrMaxMasterBands; ++k)
            if (c.env[l][k] > limit) return false;
    return true;
}

bool frame_plausible(const SbrFrameData& f) {
    if (f.num_channels == 2 && f.coupling) return envelopes_plausible(f.ch[0], 1);  // ch[1]: the balance
    return envelopes_plausible(f.ch[0], 0) && (f.num_channels < 2 || envelopes_plausible(f.ch[1], 0));
}

// The block's payload parsed for `channels` channels (s->frameOk); a frame
// that resets (new frequency tables) starts those channels' adjuster state
// afresh. What does not depend on the tables goes on: whether the last
// frame's l_A was its last envelope (this frame's envelope 0 then is
// transient), and the high band of the slots the last frame carried past
// its end, which the new frame's first slots play.
void parse_payload(SbrDecoder* s, int32_t core_rate, int channels, SbrChannel* const ch[2]) {
    const SbrPayload& payload = s->work->payload;
    s->frameOk = 0;
    if (!payload.present) return;
    const int n = payload.element == kSbrPairElement ? 2 : 1;
    if (n == 1 && channels == 2) {
        s->frameOk = parse_dual(s, 2 * core_rate);
    } else if (n != channels) {
        sbr_parse_forget_history(&s->parse);
    } else {
        s->frameOk = sbr_parse_frame(&s->parse, payload.bytes, payload.bits, payload.crc != 0, n, 2 * core_rate,
                                     &s->lent.frame->frame) == SBR_PARSE_OK;
    }
    // A frame whose envelopes no signal could have is taken for a failed
    // one: concealed, and the frames after it that are coded as deltas in
    // time against it are too, until one coded in frequency (or a header).
    if (s->frameOk && !frame_plausible(s->lent.frame->frame)) {
        s->frameOk = 0;
        if (s->lent.frame->frame.reset) s->parse.reset_pending = 1;
        sbr_parse_forget_history(&s->parse);
    }
    if (!s->frameOk || !s->lent.frame->frame.reset) return;
    for (int c = 0; c < channels; ++c) {
        const uint8_t transient_next = ch[c]->adjust.l_a_prev_zero;
        sbr_adjust_reset(&ch[c]->adjust);
        ch[c]->adjust.l_a_prev_zero = transient_next;
    }
}

// After the parse: a good frame is held for concealment, a failed one
// concealed from what is held.
void hold_or_conceal(SbrDecoder* s, int channels) {
    if (s->frameOk) {
        hold_frame(s->lent.frame->frame, &s->held);
        s->heldOk = 1;
        s->concealRun = 0;
    } else {
        conceal_frame(s, channels);
    }
}

}  // namespace

// The second channel's state and the core's channel 1 overlap buffer were
// parametric stereo's: both start from zero, and the stream plays on
// without PS.
void sbr_take_second_channel(SbrDecoder* s) {
    if (!s->stereo_ps) return;
    s->stereo_ps = 0;
    std::memset(&s->ch1, 0, sizeof s->ch1);
    std::memset(s->lent.overlap, 0, sizeof *s->lent.overlap);
    // (Silence at any scale.)
    s->core.scale[1] = 0;
}

SbrDecoder* sbr_init(void* memory, SbrScratch* scratch, const SbrLent& lent, uint32_t mode, uint32_t signalled) {
    SbrDecoder* s = new (memory) SbrDecoder;
    std::memset(memory, 0, sbr_record_bytes(mode == SBR_MODE_DOWNSAMPLED));
    s->work = scratch;
    s->lent = lent;
    s->mode = static_cast<uint8_t>(mode);
    s->signalled = static_cast<uint8_t>(signalled);
    sbr_reset(s);
    return s;
}

// (The kernel, the values as two runs.)
void sbr_rescale(int32_t* v, int n, int d) {
    if (d) kernels.sbr_scale(v, v + n / 2, 1, n / 2, -d, v, v + n / 2);
}

void sbr_reset(SbrDecoder* s) {
    sbr_take_second_channel(s);
    std::memset(&s->ch0, 0, sizeof s->ch0);
    std::memset(&s->ch1, 0, sizeof s->ch1 > sizeof s->ps ? sizeof s->ch1 : sizeof s->ps);
    s->stereo_ps = 0;
    s->ps_open = 0;
    s->stereo_out = 0;
    if (s->mode == SBR_MODE_DOWNSAMPLED) std::memset(s->synthesis.down, 0, sizeof s->synthesis.down);
    else std::memset(s->synthesis.full, 0, sizeof s->synthesis.full);
    sbr_parse_init(&s->parse);
    s->work->payload.present = 0;
    s->frameOk = 0;
    s->heldOk = 0;
    s->concealRun = 0;
    s->decided = 0;
    s->active = 0;
    s->downsampled = 0;
}

int sbr_begin_block(SbrDecoder* s, int32_t core_rate, int channels) {
    const SbrPayload& payload = s->work->payload;
    const SbrFrameData& frame = s->lent.frame->frame;
    const bool first = !s->decided;
    if (first) {
        sbr_decide_mixed(s, payload.present != 0);
        s->stereo_ps = s->active && channels == 1 && (s->signalled & SBR_SIGNALLED_PS) ? 1 : 0;
        if (s->stereo_ps) ps_reset(&s->ps, &s->lent.overlap->ps);
        s->ps_open = s->active && !s->stereo_ps ? SBR_PS_FIRST : SBR_PS_CLOSED;
    }
    if (!s->active) return 0;
    if (channels != 1) {
        sbr_take_second_channel(s);
        s->ps_open = SBR_PS_CLOSED;
        s->stereo_out = 0;
    }
    SbrChannel* const ch[2] = {&s->ch0, &s->ch1};
    parse_payload(s, core_rate, channels, ch);
    // Parametric stereo comes with a mono stream's configuration or with
    // the first of its blocks whose SBR data parses: its first block, or,
    // in a stream entered between two SBR headers, the first block after
    // one; where the channel count allows, later (SbrPsOpen). The PS data
    // of later blocks is read only then.
    if (s->ps_open && s->frameOk && payload.present) {
        const bool ps = frame.ps.present != 0;
        if (ps && s->ps_open != SBR_PS_LATE) {
            s->ps_open = SBR_PS_CLOSED;
            s->stereo_ps = 1;
            ps_reset(&s->ps, &s->lent.overlap->ps);
        } else if (s->ps_open == SBR_PS_FIRST && !s->stereo_host && !s->stereo_out) {
            s->ps_open = SBR_PS_CLOSED;
        } else {
            s->ps_open = ps ? SBR_PS_LATE_SEEN : SBR_PS_LATE;
        }
    }
    // (Still FIRST after the first block: its frame did not parse.)
    if (s->stereo_ps || (first && s->ps_open == SBR_PS_FIRST)) s->stereo_out = 1;
    if (s->stereo_ps) {
        const bool ps = s->frameOk && frame.ps.present && payload.present;
        const SbrFreqTables& t = s->parse.tables;
        const bool heard = s->ps.heard != 0;
        ps_begin_frame(&s->ps, ps ? payload.bytes : nullptr, frame.ps.bit_offset, frame.ps.bit_count,
                       s->frameOk ? t.kx + t.m : 64);
        // Until its first PS data has been read (signalled by the
        // configuration and entered between two PS headers, or none sent;
        // or found with data that did not read) a stream plays its mono
        // signal in both channels through the left bank. With that data
        // the right bank goes on from the left one's state (from silence
        // it faded in over its delay line, about 430 samples).
        if (!heard && s->ps.heard) {
            if (s->downsampled) s->synthesis.down[1] = s->synthesis.down[0];
            else s->synthesis.full[1] = s->synthesis.full[0];
        }
    }
    hold_or_conceal(s, channels);
    return 1;
}

void sbr_conceal_block(SbrDecoder* s, int channels) {
    if (!s->active) return;
    conceal_frame(s, channels);
    // The stereo image holds.
    // (Without a frame to conceal from, the tables may not exist: the
    // bands are left as they come, as for a block whose SBR data fails.)
    if (s->stereo_ps)
        ps_begin_frame(&s->ps, nullptr, 0, 0, s->frameOk ? s->parse.tables.kx + s->parse.tables.m : 64);
}

namespace {

// A slot's Q12 output samples as PCM, every `step`-th sample of `out`
// (with `pair` the one after it too).
template <typename Sample, typename Convert>
void put_slot(Sample* out, const int32_t* slot, int n, int step, bool pair, Convert convert) {
    for (int i = 0; i < n; ++i) {
        Sample* p = out + i * step;
        p[0] = convert(slot[i]);
        if (pair) p[1] = p[0];
    }
}

// The high band of channel c's frame in rows 2 .. 39 of the matrix, from
// its X_low (subbands below kx): the HF generator, then the envelope
// adjuster. False when the frame does not fit the adjuster's bounds.
bool high_band(SbrDecoder* s, SbrScratch* x, SbrChannel& ch, int c, int scale) {
    const SbrFrameData& f = s->lent.frame->frame;
    SbrLentLevels* const work = s->lent.levels;
    const SbrFreqTables& t = s->parse.tables;
    const SbrChannelFrame& frame = f.ch[c];
    const bool coupled = f.num_channels == 2 && f.coupling;
    sbr_dequantize(coupled ? f.ch[0] : frame, coupled ? &f.ch[1] : nullptr, coupled ? c : 0, t, &work->levels);
    sbr_hf_chirp(&ch.hfgen, frame.invf, t.n_q);
    const SbrGrid& g = frame.grid;
    const int first = kSbrHfAdjSlots + kSbrRate * g.t_env[0];
    const int end = kSbrHfAdjSlots + kSbrRate * g.t_env[g.num_env];
    sbr_hf_generate(ch.hfgen, t, first, end, x->re, x->im, x->re, x->im, &work->hfgen);
    return sbr_adjust(&ch.adjust, s->parse.header, t, frame, work->levels, x->re, x->im, f.reset != 0, &work->adjust,
                      &s->lent.low->history, scale);
}

// Subbands 0 .. kx - 1 of the 32 rows from re, im on (64 words apart),
// 2^s times their value, at their value (rounded).
void low_at_value(int32_t* re, int32_t* im, int kx, int s) {
    for (int r = 0; r < kSbrQmfSlots; ++r, re += 64, im += 64) kernels.sbr_scale(re, im, 1, kx, s, re, im);
}

// Subbands kx .. 63 of every row of the matrix to zero.
void clear_high(SbrScratch* x, int kx) {
    for (int r = 0; r < kSbrXLowSlots; ++r) {
        words::zero_words(x->re[r] + kx, 64 - kx);
        words::zero_words(x->im[r] + kx, 64 - kx);
    }
}

// Output slot l of channel c from its row of subband samples.
[[gnu::always_inline]] inline void synthesise_slot(SbrDecoder* s, int c, const int32_t* re, const int32_t* im,
                                                   void* out, bool wide, int step, bool pair, int l) {
    const bool down = s->downsampled != 0;
    const int width = down ? 32 : 64;
    int32_t slot[64];
    if (down) qmf_synthesis32(&s->synthesis.down[c], re, im, slot);
    else qmf_synthesis64(&s->synthesis.full[c], re, im, slot);
    if (wide) put_slot(static_cast<int32_t*>(out) + width * l * step, slot, width, step, pair, q12_to_pcm32);
    else if (!pair) kernels.sbr_pcm16(static_cast<int16_t*>(out) + width * l * step, step, slot, width);
    else put_slot(static_cast<int16_t*>(out) + width * l * step, slot, width, step, pair, q12_to_pcm16);
}

}  // namespace

namespace {

// Channel c's subband samples of the frame in the matrix: X_low from the
// core's time samples at `time` (2^scale times their value), then the high
// band (with `stereo`, parametric stereo's copy of the lowest subbands
// first). Output slot l is row l + kSbrHfAdjSlots, at its value.
// X_low of channel state ch into subbands 0..31 of rows 0..39 of re, im
// (rows of 64 words): the previous frame's last slots, then this frame's
// analysis of the core's time samples at `time` (2^scale times their
// value), whose last slots are kept for the next frame.
void low_band(SbrChannel& ch, int32_t (*re)[64], int32_t (*im)[64], const int32_t* time, int scale) {
    // The analysis state and the kept rows to this block's scale.
    if (scale != ch.scale) {
        const int d = scale - ch.scale;
        sbr_rescale(ch.analysis.x, 320, d);
        sbr_rescale(&ch.low_re[0][0], kSbrHfGenSlots * kSbrMaxKx, d);
        sbr_rescale(&ch.low_im[0][0], kSbrHfGenSlots * kSbrMaxKx, d);
        ch.scale = static_cast<int16_t>(scale);
    }
    for (int r = 0; r < kSbrHfGenSlots; ++r) {
        words::copy(re[r], ch.low_re[r], sizeof ch.low_re[r]);
        words::copy(im[r], ch.low_im[r], sizeof ch.low_im[r]);
    }
    for (int l = 0; l < kSbrQmfSlots; ++l)
        qmf_analysis32(&ch.analysis, time + 32 * l, re[kSbrHfGenSlots + l], im[kSbrHfGenSlots + l]);
    for (int r = 0; r < kSbrHfGenSlots; ++r) {
        words::copy(ch.low_re[r], re[kSbrQmfSlots + r], sizeof ch.low_re[r]);
        words::copy(ch.low_im[r], im[kSbrQmfSlots + r], sizeof ch.low_im[r]);
    }
}

// Row i of those the last frame carried over (this frame's rows 2..7)
// into subbands max(kx, lo) .. hi - 1 of a row re, im: what it kept from
// its carry_kx on.
[[gnu::always_inline]] inline void put_carried(const SbrChannel& ch, int i, int kx, int lo, int hi, int32_t* re,
                                               int32_t* im) {
    // Subband carry_kx + m for m in [from, to).
    int from = kx > ch.carry_kx ? kx - ch.carry_kx : 0;
    int to = 64 - ch.carry_kx < kSbrMaxSubbands ? 64 - ch.carry_kx : kSbrMaxSubbands;
    if (from < lo - ch.carry_kx) from = lo - ch.carry_kx;
    if (to > hi - ch.carry_kx) to = hi - ch.carry_kx;
    // Nothing kept in range: from may then lie past the kept row's end.
    if (to <= from) return;
    words::copy_words(re + ch.carry_kx + from, ch.high_re[i] + from, to - from);
    words::copy_words(im + ch.carry_kx + from, ch.high_im[i] + from, to - from);
}

// Row i of those the next frame takes (this frame's rows 34..39): subbands
// kx on of a row re, im.
[[gnu::always_inline]] inline void keep_carried(SbrChannel& ch, int i, int kx, const int32_t* re,
                                                const int32_t* im) {
    const int kept = 64 - kx < kSbrMaxSubbands ? 64 - kx : kSbrMaxSubbands;
    words::copy_words(ch.high_re[i], re + kx, kept);
    words::copy_words(ch.high_im[i], im + kx, kept);
    words::zero_words(ch.high_re[i] + kept, kSbrMaxSubbands - kept);
    words::zero_words(ch.high_im[i] + kept, kSbrMaxSubbands - kept);
}

// Parametric stereo's copy of the lowest subbands of rows re, im (at its
// value: they are 2^x_scale times it).
void ps_low_copy(SbrLentLow* low, const int32_t (*re)[64], const int32_t (*im)[64], int x_scale) {
    for (int r = 0; r < kSbrXLowSlots; ++r) {
        std::memcpy(low->ps_low_re[r], re[r], sizeof low->ps_low_re[r]);
        std::memcpy(low->ps_low_im[r], im[r], sizeof low->ps_low_im[r]);
    }
    sbr_rescale(&low->ps_low_re[0][0], kSbrXLowSlots * kPsMaxHybridQmf, -x_scale);
    sbr_rescale(&low->ps_low_im[0][0], kSbrXLowSlots * kPsMaxHybridQmf, -x_scale);
}

[[gnu::noinline]] void subbands(SbrDecoder* s, SbrScratch* x, SbrChannel& ch, int c, const int32_t* time, int scale,
                               bool stereo) {
    // X_low, the analysis' output, is 2^x_scale times its value.
    const int x_scale = scale + kQmfAnalysisGain;
    low_band(ch, x->re, x->im, time, scale);

    // The high band: empty but for the rows the previous frame carried
    // over (its rows 34..39, here rows 2..7), then this frame's.
    int kx = s->frameOk ? s->parse.tables.kx : kSbrMaxKx;
    clear_high(x, kx);
    for (int r = 0; r < kSbrCarryRows; ++r)
        put_carried(ch, r, kx, 0, 64, x->re[kSbrHfAdjSlots + r], x->im[kSbrHfAdjSlots + r]);
    // Parametric stereo reads the mono X_low of the lowest subbands around
    // each slot after the slot's row has become the left channel's: a copy.
    if (stereo) ps_low_copy(s->lent.low, x->re, x->im, x_scale);
    if (s->frameOk && !high_band(s, x, ch, c, x_scale)) {
        kx = kSbrMaxKx;
        clear_high(x, kx);
    }
    // The output slots' low band at its value.
    low_at_value(x->re[kSbrHfAdjSlots], x->im[kSbrHfAdjSlots], kx, x_scale);
    // The rows past this frame's 32 output slots start the next frame.
    ch.carry_kx = static_cast<int16_t>(kx);
    for (int r = 0; r < kSbrCarryRows; ++r)
        keep_carried(ch, r, kx, x->re[kSbrQmfSlots + kSbrHfAdjSlots + r], x->im[kSbrQmfSlots + kSbrHfAdjSlots + r]);
}

}  // namespace

namespace {

// A channel's frame with the small scratch record (sbr_decoder.h): X_low
// alone as a matrix, the output rows composed a few at a time in rows of
// their own (the low band at its value, then X_high or Y, or the rows the
// last frame carried over) and synthesised at once. The rows and their
// values are those of subbands() and the synthesis loop of sbr_channel.
constexpr int kSmallBatch = 4;  // rows made at a time
struct SmallFrame {
    SbrDecoder* s;
    SbrChannel* ch;
    int c;
    int32_t (*low_re)[64];  // X_low: subbands 0..31 of each row
    int32_t (*low_im)[64];
    int32_t* re;  // kSmallBatch rows of 64 subbands being made
    int32_t* im;
    int32_t* right_re;  // parametric stereo's right channel of a slot
    int32_t* right_im;
    const SbrHfKept* kept;
    int kx;        // the high band's first subband (32: none this frame)
    int made_end;  // the end of the subbands the generator fills
    int high_end;  // and of those it or the adjuster fills
    int x_scale;
    bool stereo;
    void* out;
    bool wide;
    int step;
    bool pair;
};

// Subbands lo .. hi - 1 of row r (at re, im) as the large record holds them
// before the high band is made: what the last frame carried over (rows
// 2..7, subbands from kx on), else silence.
void carried(const SmallFrame& f, int r, int32_t* re, int32_t* im, int lo, int hi) {
    if (hi <= lo) return;
    words::zero_words(re + lo, hi - lo);
    words::zero_words(im + lo, hi - lo);
    const int i = r - kSbrHfAdjSlots;
    if (i >= 0 && i < kSbrCarryRows) put_carried(*f.ch, i, f.kx, lo, hi, re, im);
}

// (One slot's output out of line: its room once on the stack, below the
// adjuster's frame.)
[[gnu::noinline]] void synthesise_row(SbrDecoder* s, int c, const int32_t* re, const int32_t* im, void* out, bool wide,
                                      int step, bool pair, int l) {
    synthesise_slot(s, c, re, im, out, wide, step, pair, l);
}

// Row r at re, im, its high band in place: an output slot, or a row the
// next frame takes (kept from kx on).
void row_out(const SmallFrame& f, int r, int32_t* re, int32_t* im) {
    const int l = r - kSbrHfAdjSlots;
    if (l >= kSbrQmfSlots) {
        keep_carried(*f.ch, l - kSbrQmfSlots, f.kx, re, im);
        return;
    }
    kernels.sbr_scale(f.low_re[r], f.low_im[r], 1, f.kx, f.x_scale, re, im);
    if (f.stereo) {
        SbrLentLow* const low = f.s->lent.low;
        ps_slot(&f.s->ps, l, low->ps_low_re, low->ps_low_im, re, im, f.right_re, f.right_im, low->ps_d_re,
                low->ps_d_im);
        synthesise_row(f.s, 1, f.right_re, f.right_im, static_cast<char*>(f.out) + (f.wide ? 4 : 2), f.wide, f.step,
                       false, l);
    }
    synthesise_row(f.s, f.c, re, im, f.out, f.wide, f.step, f.pair && !f.stereo, l);
}

void make_rows(void* ctx, int r, int n) {
    const SmallFrame& f = *static_cast<SmallFrame*>(ctx);
#if defined(__arm__)
    // (The NEON filter takes four rows a step and the rest one by one in
    // plain code: a whole batch where X_low has its rows is cheaper.)
    n = kSbrXLowSlots - r < kSmallBatch ? kSbrXLowSlots - r : kSmallBatch;
#endif
    for (int k = 0; k < n; ++k) carried(f, r + k, f.re + 64 * k, f.im + 64 * k, f.made_end, f.high_end);
    sbr_hf_rows(*f.kept, f.s->parse.tables, r, n, f.low_re, f.low_im, f.re, f.im);
}

void done_rows(void* ctx, int r, int n) {
    const SmallFrame& f = *static_cast<SmallFrame*>(ctx);
    for (int k = 0; k < n; ++k) {
        int32_t *const re = f.re + 64 * k, *const im = f.im + 64 * k;
        // (Also where parametric stereo left the last slot's left channel.)
        carried(f, r + k, re, im, f.high_end, 64);
        row_out(f, r + k, re, im);
    }
}

[[gnu::noinline]] void small_frame(SbrDecoder* s, SbrScratch* x, int c, const int32_t* time, int scale, void* out,
                                   bool wide, int step, bool pair, bool stereo) {
    SbrChannel& ch = c ? s->ch1 : s->ch0;
    SmallFrame f{};
    f.s = s, f.ch = &ch, f.c = c;
    f.low_re = x->re;
    f.low_im = reinterpret_cast<int32_t(*)[64]>(x->re[0] + kSbrMaxKx);
    // The rows being made: in parametric stereo's room in the second
    // channel's spectrum (its copy of the low subbands and its decorrelated
    // slot) where it does not play this frame, else in the mono core's
    // spectrum after a slot's right channel.
    SbrLentLow* const low = s->lent.low;
    static_assert(offsetof(SbrLentLow, ps_low_im) == offsetof(SbrLentLow, ps_low_re) + sizeof low->ps_low_re &&
                      offsetof(SbrLentLow, ps_d_re) == offsetof(SbrLentLow, ps_low_im) + sizeof low->ps_low_im &&
                      offsetof(SbrLentLow, ps_d_im) == offsetof(SbrLentLow, ps_d_re) + sizeof low->ps_d_re &&
                      sizeof low->ps_low_re + sizeof low->ps_low_im + sizeof low->ps_d_re + sizeof low->ps_d_im >=
                          2 * kSmallBatch * 64 * sizeof(int32_t),
                  "the rows in parametric stereo's room in the second channel's spectrum");
    static_assert((2 + 2 * kSmallBatch) * 64 <= 1024, "a slot's right channel and the rows in a spectrum");
    int32_t* const mono = sbr_lent_mono(s->lent);
    int32_t* const ps_room = reinterpret_cast<int32_t*>(reinterpret_cast<char*>(low) + offsetof(SbrLentLow, ps_low_re));
    int32_t* const rows = stereo ? mono + 128 : ps_room;
    f.re = rows, f.im = rows + 64 * kSmallBatch;
    f.right_re = mono, f.right_im = mono + 64;
    f.kept = sbr_small_kept(x);
    f.x_scale = scale + kQmfAnalysisGain;
    f.stereo = stereo, f.out = out, f.wide = wide, f.step = step, f.pair = pair;
    static_assert(kSbrMaxKx == 32, "the two halves of a row of X_low");
    low_band(ch, f.low_re, f.low_im, time, scale);

    const SbrFreqTables& t = s->parse.tables;
    f.kx = s->frameOk ? t.kx : kSbrMaxKx;
    if (stereo) {
        ps_low_copy(low, f.low_re, f.low_im, f.x_scale);
        // (As the large record's copy sees them: from kx on what the last
        // frame carried over, or silence.)
        if (f.kx < kPsMaxHybridQmf)
            for (int r = 0; r < kSbrXLowSlots; ++r) {
                carried(f, r, f.re, f.im, f.kx, kPsMaxHybridQmf);
                for (int k = f.kx; k < kPsMaxHybridQmf; ++k) {
                    low->ps_low_re[r][k] = fx::rshr(f.re[k], f.x_scale);
                    low->ps_low_im[r][k] = fx::rshr(f.im[k], f.x_scale);
                }
            }
    }
    const SbrFrameData& fd = s->lent.frame->frame;
    const SbrChannelFrame& frame = fd.ch[c];
    bool high = false;
    int first = kSbrXLowSlots, end = kSbrXLowSlots;
    if (s->frameOk) {
        SbrLentLevels* const work = s->lent.levels;
        const bool coupled = fd.num_channels == 2 && fd.coupling;
        sbr_dequantize(coupled ? fd.ch[0] : frame, coupled ? &fd.ch[1] : nullptr, coupled ? c : 0, t, &work->levels);
        sbr_hf_chirp(&ch.hfgen, frame.invf, t.n_q);
        high = sbr_adjust_valid(t, frame.grid);
        if (high) {
            const SbrGrid& g = frame.grid;
            first = kSbrHfAdjSlots + kSbrRate * g.t_env[0];
            end = kSbrHfAdjSlots + kSbrRate * g.t_env[g.num_env];
            sbr_hf_keep(ch.hfgen, t, first, end, f.low_re, f.low_im, &work->hfgen, sbr_small_kept(x));
            f.made_end = f.kx + f.kept->filled;
            f.high_end = f.made_end > t.kx + t.m ? f.made_end : t.kx + t.m;
        } else {
            // The large record clears the rows carried over with the rest.
            f.kx = kSbrMaxKx;
            words::zero(ch.high_re, sizeof ch.high_re);
            words::zero(ch.high_im, sizeof ch.high_im);
        }
    }
    // The rows no envelope covers, a batch at a time.
    const auto plain = [&](int from, int to) {
        for (int r = from; r < to; r += kSmallBatch) {
            const int n = to - r < kSmallBatch ? to - r : kSmallBatch;
            for (int k = 0; k < n; ++k) carried(f, r + k, f.re + 64 * k, f.im + 64 * k, f.kx, 64);
            for (int k = 0; k < n; ++k) row_out(f, r + k, f.re + 64 * k, f.im + 64 * k);
        }
    };
    plain(kSbrHfAdjSlots, first);
    if (high) {
        const SbrAdjustRows made{make_rows, done_rows, &f, f.re, f.im, kSmallBatch};
        sbr_adjust_rows(&ch.adjust, s->parse.header, t, frame, s->lent.levels->levels, made, fd.reset != 0,
                        &s->lent.levels->adjust, &low->history, f.x_scale);
    }
    plain(end, kSbrXLowSlots);
    ch.carry_kx = static_cast<int16_t>(f.kx);
}

}  // namespace

void sbr_channel(SbrDecoder* s, SbrScratch* x, int c, const int32_t* time, int scale, void* out, bool wide,
                 int step, bool pair) {
    if (c == 1) sbr_take_second_channel(s);
    const bool stereo = s->stereo_ps && s->ps.heard && c == 0 && pair;
    if (s->small) {
        small_frame(s, x, c, time, scale, out, wide, step, pair, stereo);
        return;
    }
    subbands(s, x, c ? s->ch1 : s->ch0, c, time, scale, stereo);

    // Output slot l: row l + t_HFAdj; downsampled, its subbands 0..31 alone.
    // A mono stream with parametric stereo gives left and right (pair is
    // then set: two output channels).
    for (int l = 0; l < kSbrQmfSlots; ++l) {
        const int r = l + kSbrHfAdjSlots;
        int32_t* re = x->re[r];
        int32_t* im = x->im[r];
        if (stereo) {
            // Left in place of the mono row, right in row 0 (free: the
            // output slots take rows 2..33).
            ps_slot(&s->ps, l, s->lent.low->ps_low_re, s->lent.low->ps_low_im, re, im, x->re[0], x->im[0],
                    s->lent.low->ps_d_re, s->lent.low->ps_d_im);
            synthesise_slot(s, 1, x->re[0], x->im[0], static_cast<char*>(out) + (wide ? 4 : 2), wide, step, false, l);
        }
        synthesise_slot(s, c, re, im, out, wide, step, pair && !stereo, l);
    }
}

void sbr_element_load(SbrDecoder* s, const SbrElementState* e) {
    s->parse = e->parse;
    s->held = e->held;
    s->frameOk = e->frameOk;
    s->heldOk = e->heldOk ? 1 : 0;
    s->concealRun = e->concealRun;
}

void sbr_element_save(const SbrDecoder* s, SbrElementState* e) {
    e->parse = s->parse;
    e->held = s->held;
    e->frameOk = s->frameOk;
    e->heldOk = s->heldOk;
    e->concealRun = s->concealRun;
}

void sbr_element_reset(SbrElementState* e) {
    std::memset(e, 0, sizeof *e);
    sbr_parse_init(&e->parse);
}

int sbr_decide_mixed(SbrDecoder* s, bool payload) {
    if (!s->decided) {
        s->decided = 1;
        s->active = s->mode != SBR_MODE_OFF && (s->signalled != SBR_SIGNALLED_NONE || payload);
        s->downsampled = s->mode == SBR_MODE_DOWNSAMPLED || (s->signalled & 3) == SBR_SIGNALLED_DOWNSAMPLED;
    }
    return s->active ? 1 : 0;
}

void sbr_begin_element(SbrDecoder* s, int32_t core_rate, int channels, SbrChannel* const ch[2]) {
    parse_payload(s, core_rate, channels, ch);
    hold_or_conceal(s, channels);
}

void sbr_channel_subbands(SbrDecoder* s, SbrScratch* x, SbrChannel* ch, int c) {
    subbands(s, x, *ch, c, sbr_time_samples(s), 0, false);
}

void sbr_synthesise(SbrDecoder* s, int c, const int32_t (*re)[64], const int32_t (*im)[64], void* out, bool wide,
                    int step) {
    for (int l = 0; l < kSbrQmfSlots; ++l) synthesise_slot(s, c, re[l], im[l], out, wide, step, false, l);
}
