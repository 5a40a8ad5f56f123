#include "sbr/sbr_decoder.h"

#include <cstring>

#include "sbr/dequant.h"
#include "dsp/fixed.h"

void sbr_reset(SbrDecoder* s) {
    std::memset(s->ch, 0, sizeof s->ch);
    sbr_parse_init(&s->parse);
    s->payload.present = 0;
    s->frameOk = 0;
    s->decided = 0;
    s->active = 0;
}

int sbr_begin_block(SbrDecoder* s, int32_t core_rate, int channels) {
    if (!s->decided) {
        s->decided = 1;
        s->active = s->mode != SBR_MODE_OFF && (s->signalled || s->payload.present);
    }
    if (!s->active) {
        if (s->payload.present) ++s->ignored;
        return 0;
    }
    s->coreRate = core_rate;
    s->frameOk = 0;
    if (s->payload.present) {
        const int n = s->payload.element == kSbrPairElement ? 2 : 1;
        s->frameOk = n == channels && sbr_parse_frame(&s->parse, s->payload.bytes, s->payload.bits,
                                                      s->payload.crc != 0, n, 2 * core_rate, &s->frame) == SBR_PARSE_OK;
        if (s->frameOk && s->frame.reset) {
            for (SbrChannel& ch : s->ch) {
                sbr_adjust_reset(&ch.adjust);
                std::memset(ch.high_re, 0, sizeof ch.high_re);
                std::memset(ch.high_im, 0, sizeof ch.high_im);
            }
        }
    }
    return 1;
}

namespace {

// The high band of channel c's frame in scratch->re/im rows 2 .. 39 (Y),
// from X_low in scratch->low_re/im: rows before the frame's grid come from
// the previous frame. False when the block has no usable SBR data.
bool high_band(SbrDecoder* s, SbrScratch* x, int c) {
    SbrChannel& ch = s->ch[c];
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

}  // namespace

void sbr_channel(SbrDecoder* s, SbrScratch* x, int c, void* out, bool wide, int step, bool pair) {
#if !AAC_ARITHMETIC_EXACT
    // (Never attached in the compact arithmetic.)
    (void)s, (void)x, (void)c, (void)out, (void)wide, (void)step, (void)pair;
#else
    SbrChannel& ch = s->ch[c];
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

    // Output slot l: row l + t_HFAdj, the low band from X_low below kx.
    int32_t slot[64];
    for (int l = 0; l < kSbrQmfSlots; ++l) {
        const int r = l + kSbrHfAdjSlots;
        int32_t* re = x->re[r];
        int32_t* im = x->im[r];
        std::memcpy(re, x->low_re[r], static_cast<size_t>(kx) * sizeof(int32_t));
        std::memcpy(im, x->low_im[r], static_cast<size_t>(kx) * sizeof(int32_t));
        qmf_synthesis64(&ch.synthesis, re, im, slot);
        for (int n = 0; n < 64; ++n) {
            const int k = (64 * l + n) * step;
            if (wide) {
                constexpr int32_t lo = -32768 * 4096, hi = 32767 * 4096 + 2047;
                const int32_t v = fx::shl_sat(slot[n] < lo ? lo : (slot[n] > hi ? hi : slot[n]), 4);
                int32_t* p = static_cast<int32_t*>(out) + k;
                p[0] = v;
                if (pair) p[1] = v;
            } else {
                const int16_t v = fx::sat16(fx::asr(fx::add_sat(slot[n], 2048), 12));
                int16_t* p = static_cast<int16_t*>(out) + k;
                p[0] = v;
                if (pair) p[1] = v;
            }
        }
    }
#endif
}
