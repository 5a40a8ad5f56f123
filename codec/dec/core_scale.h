// The scale of the core's time samples while a stream of one or two
// channels plays SBR (SbrCoreScale in sbr/sbr_decoder.h): chosen for each
// channel as its spectral data is read, before dequantisation (the
// spectral bands' scale factors 4 s higher, the noise bands' energies
// likewise), applied around the channel's filter bank, and handed to SBR
// with the time samples. Streams without SBR, the compact arithmetic,
// layouts of more channels and concealed blocks keep scale 0: their
// samples at their value, as without this.
#pragma once

#include "dec/instance.h"
#include "dec/tools.h"
#include "dsp/arithmetic.h"
#include "sbr/built.h"

int core_scale_choose_sbr(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int c, int w, const int16_shared* quant);
void core_filter_bank_sbr(MP4AACDEC_QUVA_Obj* dec, int c, uint8_t sequence, uint16_t* shape, PcmOut out,
                          bool chosen);
void core_scale_clear_sbr(MP4AACDEC_QUVA_Obj* dec);

inline constexpr bool kCoreScaled = kSbrBuilt && kExactArithmetic;

// Channel c's scale for the block being read, from its quantized values
// (not yet dequantised), scale factors and codebooks, its window groups
// those of slot w; raises the spectral
// bands' scale factors by 4 s. The second channel of a pair may lower the
// first's (whose spectrum is then brought down to it). Returns s.
inline int core_scale_choose(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int c, int w,
                             const int16_shared* quant) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr) return core_scale_choose_sbr(dec, band, c, w, quant);
    return 0;
}

// The offset of channel c's noise band energies in the block being read (4 s).
inline int core_scale_noise_offset(const MP4AACDEC_QUVA_Obj* dec, int c) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr && c < 2) return 4 * dec->ctx->sbr->core.block[c];
    return 0;
}

// Channel c's filter bank (kvxdec_aacFilterBank on its spectrum and overlap
// buffer): at the scale chosen for the block (`chosen`), or at its value (a
// concealed block). A block whose samples turn out too loud for its scale
// is made again at its value.
inline void core_filter_bank(MP4AACDEC_QUVA_Obj* dec, int c, uint8_t sequence, uint16_t* shape, PcmOut out,
                             bool chosen) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr) return core_filter_bank_sbr(dec, c, sequence, shape, out, chosen);
    kvxdec_aacFilterBank(dec, sequence, shape, dec->coef[c], dec->overlap[c], out);
}

// The scale of channel c's last time samples.
inline int core_scale_of(const MP4AACDEC_QUVA_Obj* dec, int c) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr && c < 2) return dec->ctx->sbr->core.scale[c];
    return 0;
}

// The scale of channel c's kept spectrum (the last good block's).
inline int core_scale_kept(const MP4AACDEC_QUVA_Obj* dec, int c) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr && c < 2) return dec->ctx->sbr->core.kept[c];
    return 0;
}

// Around channel c's temporal noise shaping filters (at least one): before
// them, whether its block is scaled (its spectrum is then saved aside);
// after them, whether a filtered value went beyond the 32-bit range: the
// spectrum is then back as it was before them, at its value (scale 0), to
// be filtered again.
bool core_scale_tns_begin_sbr(MP4AACDEC_QUVA_Obj* dec, int c);
bool core_scale_tns_redo_sbr(MP4AACDEC_QUVA_Obj* dec, int c);
inline bool core_scale_tns_begin(MP4AACDEC_QUVA_Obj* dec, int c) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr) return core_scale_tns_begin_sbr(dec, c);
    return false;
}
inline bool core_scale_tns_redo(MP4AACDEC_QUVA_Obj* dec, int c) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr) return core_scale_tns_redo_sbr(dec, c);
    return false;
}

// Both overlap buffers to scale 0 (a mixed layout's block uses them).
inline void core_scale_clear(MP4AACDEC_QUVA_Obj* dec) {
    if constexpr (kCoreScaled)
        if (dec->ctx->sbr) core_scale_clear_sbr(dec);
}
