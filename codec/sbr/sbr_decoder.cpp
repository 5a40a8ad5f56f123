#include "sbr/sbr_decoder.h"

#include <cstring>

#include "dsp/fixed.h"

void sbr_reset(SbrDecoder* s) {
    std::memset(s->ch, 0, sizeof s->ch);
    s->payload.present = 0;
    s->decided = 0;
    s->active = 0;
}

int sbr_begin_block(SbrDecoder* s) {
    if (!s->decided) {
        s->decided = 1;
        s->active = s->mode != SBR_MODE_OFF && (s->signalled || s->payload.present);
    }
    if (!s->active && s->payload.present) ++s->ignored;
    return static_cast<int>(s->active);
}

void sbr_channel(SbrDecoder* s, SbrScratch* scratch, int c, void* out, bool wide, int step, bool pair) {
#if !AAC_ARITHMETIC_EXACT
    // (Never attached in the compact arithmetic.)
    (void)s, (void)scratch, (void)c, (void)out, (void)wide, (void)step, (void)pair;
#else
    SbrChannel& ch = s->ch[c];
    for (int l = 0; l < kSbrQmfSlots; ++l) {
        int32_t* re = scratch->re[l];
        int32_t* im = scratch->im[l];
        qmf_analysis32(&ch.analysis, scratch->time + 32 * l, re, im);
        std::memset(re + 32, 0, 32 * sizeof(int32_t));
        std::memset(im + 32, 0, 32 * sizeof(int32_t));
    }
    int32_t slot[64];
    for (int l = 0; l < kSbrQmfSlots; ++l) {
        qmf_synthesis64(&ch.synthesis, scratch->re[l], scratch->im[l], slot);
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
