#include "sbr/sbr_decoder.h"

#include <cstring>
#include <new>

#include "sbr/dequant.h"
#include "dsp/filterbank.h"

namespace {

// Blocks in a row played from the held frame before the high band is
// dropped: 60 dB down by then.
constexpr uint32_t kConcealBlocks = 60 / kSbrConcealDecayDb;

// The held frame as one envelope and one noise floor from where the last
// frame's grid ended (its borders reach up to 3 SBR time slots into this
// frame) to the frame's end: the last envelope's values, the last noise
// floor's, no transient; each level decays kSbrConcealDecayDb (the balance
// values of a coupled pair's second channel stay).
void hold_frame(SbrFrameData* f) {
    const int channels = f->num_channels < 2 ? f->num_channels : 2;
    const bool coupled = channels == 2 && f->coupling;
    for (int c = 0; c < channels; ++c) {
        SbrChannelFrame& ch = f->ch[c];
        SbrGrid& g = ch.grid;
        const int last = g.num_env >= 1 && g.num_env <= kSbrMaxEnvelopes ? g.num_env - 1 : 0;
        const int last_noise = g.num_noise >= 1 && g.num_noise <= kSbrMaxNoiseEnvelopes ? g.num_noise - 1 : 0;
        const int end = g.t_env[last + 1];
        const uint8_t start = static_cast<uint8_t>(end > kSbrTimeSlots ? end - kSbrTimeSlots : 0);
        if (last != 0) std::memcpy(ch.env[0], ch.env[last], sizeof ch.env[0]);
        if (last_noise != 0) std::memcpy(ch.noise[0], ch.noise[last_noise], sizeof ch.noise[0]);
        g.freq_res[0] = g.freq_res[last];
        g.frame_class = SBR_FIXFIX;
        g.num_env = 1;
        g.num_noise = 1;
        g.t_env[0] = g.t_noise[0] = start;
        g.t_env[1] = g.t_noise[1] = kSbrTimeSlots;
        g.l_a = -1;
        if (coupled && c == 1) continue;
        // Quantized steps of 1.5 dB (amp_res 0) or 3 dB.
        const int step = kSbrConcealDecayDb * 2 / (ch.amp_res ? 6 : 3);
        for (int8_t& e : ch.env[0]) e = static_cast<int8_t>(e > step ? e - step : 0);
    }
    f->reset = 0;
    f->header_present = 0;
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
    hold_frame(&s->held);
    std::memcpy(&s->frame, &s->held, sizeof s->frame);
    s->frameOk = 1;
}

}  // namespace

SbrDecoder* sbr_init(void* memory, uint32_t mode, uint32_t signalled) {
    SbrDecoder* s = new (memory) SbrDecoder;
    std::memset(memory, 0, sbr_record_bytes(mode == SBR_MODE_DOWNSAMPLED));
    s->mode = mode;
    s->signalled = signalled;
    sbr_reset(s);
    return s;
}

void sbr_reset(SbrDecoder* s) {
    std::memset(&s->ch0, 0, sizeof s->ch0);
    std::memset(&s->ch1, 0, sizeof s->ch1 > sizeof s->ps ? sizeof s->ch1 : sizeof s->ps);
    s->stereo_ps = 0;
    if (s->mode == SBR_MODE_DOWNSAMPLED) std::memset(s->synthesis.down, 0, sizeof s->synthesis.down);
    else std::memset(s->synthesis.full, 0, sizeof s->synthesis.full);
    sbr_parse_init(&s->parse);
    s->payload.present = 0;
    s->frameOk = 0;
    s->heldOk = 0;
    s->concealRun = 0;
    s->decided = 0;
    s->active = 0;
    s->downsampled = 0;
}

int sbr_begin_block(SbrDecoder* s, int32_t core_rate, int channels) {
    const bool first = !s->decided;
    if (first) {
        s->decided = 1;
        s->active = s->mode != SBR_MODE_OFF && (s->signalled != SBR_SIGNALLED_NONE || s->payload.present);
        s->downsampled = s->mode == SBR_MODE_DOWNSAMPLED || (s->signalled & 3) == SBR_SIGNALLED_DOWNSAMPLED;
        s->stereo_ps = s->active && channels == 1 && (s->signalled & SBR_SIGNALLED_PS) ? 1 : 0;
        if (s->stereo_ps) ps_reset(&s->ps);
    }
    if (!s->active) return 0;
    s->frameOk = 0;
    if (s->payload.present) {
        const int n = s->payload.element == kSbrPairElement ? 2 : 1;
        s->frameOk = n == channels && sbr_parse_frame(&s->parse, s->payload.bytes, s->payload.bits,
                                                      s->payload.crc != 0, n, 2 * core_rate, &s->frame) == SBR_PARSE_OK;
        if (s->frameOk && s->frame.reset) {
            for (int c = 0; c < n; ++c) {
                SbrChannel& ch = c ? s->ch1 : s->ch0;
                sbr_adjust_reset(&ch.adjust);
                std::memset(ch.high_re, 0, sizeof ch.high_re);
                std::memset(ch.high_im, 0, sizeof ch.high_im);
            }
        }
    }
    // Parametric stereo comes with a mono stream's first block (or its
    // configuration); the PS data of later blocks is read only then.
    if (first && !s->stereo_ps && channels == 1 && s->frameOk && s->frame.ps.present) {
        s->stereo_ps = 1;
        ps_reset(&s->ps);
    }
    if (s->stereo_ps) {
        const bool ps = s->frameOk && s->frame.ps.present && s->payload.present;
        const SbrFreqTables& t = s->parse.tables;
        ps_begin_frame(&s->ps, ps ? s->payload.bytes : nullptr, s->frame.ps.bit_offset, s->frame.ps.bit_count,
                       s->frameOk ? t.kx + t.m : 64);
    }
    if (s->frameOk) {
        std::memcpy(&s->held, &s->frame, sizeof s->held);
        s->heldOk = 1;
        s->concealRun = 0;
    } else {
        conceal_frame(s, channels);
    }
    return 1;
}

void sbr_conceal_block(SbrDecoder* s, int channels) {
    if (!s->active) return;
    conceal_frame(s, channels);
    // The stereo image holds.
    if (s->stereo_ps) ps_begin_frame(&s->ps, nullptr, 0, 0, s->parse.tables.kx + s->parse.tables.m);
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

// The high band of channel c's frame in scratch->re/im rows 2 .. 39 (Y),
// from X_low in scratch->low_re/im: rows before the frame's grid come from
// the previous frame. False when the block has no usable SBR data.
// (Unused in the compact arithmetic, which never attaches SBR.)
[[maybe_unused]] bool high_band(SbrDecoder* s, SbrScratch* x, int c) {
    SbrChannel& ch = c ? s->ch1 : s->ch0;
    std::memset(x->re, 0, sizeof x->re);
    std::memset(x->im, 0, sizeof x->im);
    for (int r = 0; r < kSbrHfGenSlots - kSbrHfAdjSlots; ++r) {
        std::memcpy(x->re[kSbrHfAdjSlots + r], ch.high_re[r], sizeof ch.high_re[r]);
        std::memcpy(x->im[kSbrHfAdjSlots + r], ch.high_im[r], sizeof ch.high_im[r]);
    }
    if (!s->frameOk) return false;
    const SbrFrameData& f = s->frame;
    const SbrFreqTables& t = s->parse.tables;
    const SbrChannelFrame& frame = f.ch[c];
    const bool coupled = f.num_channels == 2 && f.coupling;
    sbr_dequantize(coupled ? f.ch[0] : frame, coupled ? &f.ch[1] : nullptr, coupled ? c : 0, t, &x->levels);
    sbr_hf_chirp(&ch.hfgen, frame.invf, t.n_q);
    const SbrGrid& g = frame.grid;
    const int first = kSbrHfAdjSlots + kSbrRate * g.t_env[0];
    const int end = kSbrHfAdjSlots + kSbrRate * g.t_env[g.num_env];
    sbr_hf_generate(ch.hfgen, t, first, end, x->low_re, x->low_im, x->re, x->im);
    return sbr_adjust(&ch.adjust, s->parse.header, t, frame, x->levels, x->re, x->im, f.reset != 0);
}

// Output slot l of channel c from its row of subband samples.
[[maybe_unused]] void synthesise_slot(SbrDecoder* s, int c, const int32_t* re, const int32_t* im, void* out,
                                      bool wide, int step, bool pair, int l) {
    const bool down = s->downsampled != 0;
    const int width = down ? 32 : 64;
    int32_t slot[64];
    if (down) qmf_synthesis32(&s->synthesis.down[c], re, im, slot);
    else qmf_synthesis64(&s->synthesis.full[c], re, im, slot);
    if (wide) put_slot(static_cast<int32_t*>(out) + width * l * step, slot, width, step, pair, q12_to_pcm32);
    else put_slot(static_cast<int16_t*>(out) + width * l * step, slot, width, step, pair, q12_to_pcm16);
}

}  // namespace

void sbr_channel(SbrDecoder* s, SbrScratch* x, int c, void* out, bool wide, int step, bool pair) {
#if !AAC_ARITHMETIC_EXACT
    // (Never attached in the compact arithmetic.)
    (void)s, (void)x, (void)c, (void)out, (void)wide, (void)step, (void)pair;
#else
    SbrChannel& ch = c ? s->ch1 : s->ch0;
    // X_low: the previous frame's last slots, then this frame's analysis.
    std::memcpy(x->low_re, ch.low_re, sizeof ch.low_re);
    std::memcpy(x->low_im, ch.low_im, sizeof ch.low_im);
    for (int l = 0; l < kSbrQmfSlots; ++l)
        qmf_analysis32(&ch.analysis, x->time + 32 * l, x->low_re[kSbrHfGenSlots + l], x->low_im[kSbrHfGenSlots + l]);
    std::memcpy(ch.low_re, x->low_re[kSbrQmfSlots], sizeof ch.low_re);
    std::memcpy(ch.low_im, x->low_im[kSbrQmfSlots], sizeof ch.low_im);

    const bool built = high_band(s, x, c);
    const int kx = built ? s->parse.tables.kx : kSbrMaxKx;
    // The rows past this frame's 32 output slots start the next frame.
    for (int r = 0; r < kSbrHfGenSlots - kSbrHfAdjSlots; ++r) {
        std::memcpy(ch.high_re[r], x->re[kSbrQmfSlots + kSbrHfAdjSlots + r], sizeof ch.high_re[r]);
        std::memcpy(ch.high_im[r], x->im[kSbrQmfSlots + kSbrHfAdjSlots + r], sizeof ch.high_im[r]);
    }

    // Output slot l: row l + t_HFAdj, the low band from X_low below kx;
    // downsampled, its subbands 0..31 alone.
    // A mono stream with parametric stereo gives left and right (pair is
    // then set: two output channels).
    const bool stereo = s->stereo_ps && c == 0 && pair;
    for (int l = 0; l < kSbrQmfSlots; ++l) {
        const int r = l + kSbrHfAdjSlots;
        int32_t* re = x->re[r];
        int32_t* im = x->im[r];
        std::memcpy(re, x->low_re[r], static_cast<size_t>(kx) * sizeof(int32_t));
        std::memcpy(im, x->low_im[r], static_cast<size_t>(kx) * sizeof(int32_t));
        if (stereo) {
            // Left in place of the mono row, right in row 0 (free: the
            // output slots take rows 2..33).
            ps_slot(&s->ps, l, x->low_re, x->low_im, re, im, x->re[0], x->im[0]);
            synthesise_slot(s, 1, x->re[0], x->im[0], static_cast<char*>(out) + (wide ? 4 : 2), wide, step, false, l);
        }
        synthesise_slot(s, c, re, im, out, wide, step, pair && !stereo, l);
    }
#endif
}
