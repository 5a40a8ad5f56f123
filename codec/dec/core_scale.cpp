// The core's time samples at a block scale while SBR plays (dec/core_scale.h).
//
// A block's scale is chosen before its values are dequantised, from an
// estimate of how loud its time samples get: a coefficient of magnitude a
// in a band of scale factor sf is a^(4/3) 2^((sf - 80) / 4), a noise band's
// values have energy 2^((sf + 20) / 2), so over the spectrum
//   sum |X| <= 2^((sf_max - 80) / 4) max(a)^(1/3) sum a
//              + noise bands x sqrt(their width) 2^((noise sf_max + 20) / 4),
// and a time sample of a long block is at most sum |X| / 8 in Q12, of short
// blocks twice sum |X| (two windows overlap); a pair's channels may add
// (mid/side). That bound is far above what real blocks reach (their lines
// do not all add in phase), so the scale is taken kSlack bits beyond it
// (noise shaping filters left out of it), and checked once the samples
// are made: a block whose samples or overlap tail pass 2^30 (8 times the
// 16-bit range in Q12) is made again at its value, from the kept spectrum
// and the overlap buffer as it was. The last block's samples (SBR's
// analysis state, and its rows of X_low kept for the next frame) and its
// overlap tail, measured, bound the scale as well: within 2^28 once scaled.
// The scaled coefficients stay below 2^30, each band's largest known from
// its largest |q|; a channel whose noise shaping filters take one beyond
// the 32-bit range is filtered again at its value.
//
// The more bits, the better: the high band SBR rebuilds from core subbands
// far below the block's loudest (100 dB and more at a sweep's onset) is as
// exact as the time samples' last bits, and the transform's rounding is a
// fixed fraction of its largest value.
#include "dec/core_scale.h"

#include <cstring>

#include "dec/block.h"
#include "dsp/band_walk.h"
#include "dsp/fixed.h"
#include "dsp/kernels.h"
#include "dsp/words.h"

namespace {

constexpr int kTarget = 28;    // bits the scaled samples are meant to take, Q12
constexpr int kSlack = 8;       // bits the estimate is taken beyond its bound
constexpr int kChecked = 30;   // bits the samples a scale made may take
constexpr int kUnknown = 31;   // the last block's largest value, not measured
constexpr int kNoBound = -100;
// Scaled coefficients stay below 2^kCoefLimit: a pair's mid/side sums then
// fit, and the dequantisation never reaches its limit (which marks a
// damaged block).
constexpr int kCoefLimit = 30;

int bit_length(uint32_t v) { return 32 - fx::clz32(v); }
// ceil(v / 4) of a value that may be negative.
int ceil4(int v) { return fx::asr(v + 3, 2); }

// The bit length of the largest magnitude of a channel's time samples and
// its overlap buffer (the generator's kernel, the two as 16 rows of 64).
int peak_bits(const int32_t* time, const int32_t* overlap) {
    uint32_t any[64] = {};
    kernels.sbr_hf_magnitudes(time, overlap, 64, 16, 64, any);
    uint32_t all = 0;
    for (uint32_t a : any) all |= a;
    return bit_length(all);
}

// The scale that keeps a band's coefficients below 2^kCoefLimit: l16 at
// least 16 log2 of its largest |q|, v its scale factor. A coefficient is
// |q|^(4/3) 2^((v - 80) / 4) at scale 0 (32 to the standard's unit).
int coef_room(int l16, int v) {
    const int bits = l16 + 3 * (v - 80);  // at least 12 log2 of the largest coefficient
    return kCoefLimit - (bits > 0 ? (bits + 11) / 12 : 0);
}

// A noise band's room: its lines are at most their root sum of squares,
// 2^((v + 20) / 4) at scale 0.
int noise_room(int v) { return kCoefLimit - ceil4(v + 20); }

// The rooms from each band's largest |q| itself, for when the bound of
// estimate() would lower the scale.
int exact_room(const MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int c, int w, const int16_shared* quant) {
    const uint8_t* const books = dec->sectCodebook[c];
    const int16_t* const sf = dec->scaleFactors[c];
    int room = kSbrMaxCoreScale;
    for_each_band(band, dec->windowGroups[w], [&](int set, int sf_row, int b, int first, int end) {
        if (set + b >= 128 || sf_row + b >= 128 || end <= first || end > 1024) return;
        const int cb = books[set + b];
        if (cb == 13) {
            const int r = noise_room(sf[sf_row + b]);
            if (r < room) room = r;
        }
        if (cb < 1 || cb > 11) return;
        int32_t largest = 0;
        for (int i = first; i < end; ++i) {
            const int32_t a = quant[i] < 0 ? -quant[i] : quant[i];
            if (a > largest) largest = a;
        }
        if (!largest) return;
        const uint64_t sq = static_cast<uint64_t>(largest) * static_cast<uint64_t>(largest);
        const int r = coef_room(4 * (64 - fx::clz64(sq * sq)), sf[sf_row + b]);  // (bit length of q^4)
        if (r < room) room = r;
    });
    return room;
}

// log2 of the estimate above (kNoBound for a silent block), band by band:
// a band's magnitudes summed and ORed; *room lowered to each band's room
// (coef_room; a noise band's from its root sum of squares).
int estimate(const MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int c, int w, const int16_shared* quant,
             bool* intensity, int* room) {
    const MC_Info& mi = dec->mcInfo;
    const uint8_t* const books = dec->sectCodebook[c];
    const int16_t* const sf = dec->scaleFactors[c];
    // The sum of the bands' terms, 2^(t - top + 24) for a term of t bits,
    // the largest term `top` so far.
    uint64_t sum = 0;
    int top = kNoBound;
    const auto add = [&](int t) {
        if (t > top) {
            sum = top == kNoBound || t - top > 40 ? 0 : sum >> (t - top);
            top = t;
        }
        if (top - t < 24) sum += UINT64_C(1) << (t - top + 24);
    };
    for_each_band(band, dec->windowGroups[w], [&](int set, int sf_row, int b, int first, int end) {
        if (set + b >= 128 || sf_row + b >= 128 || end <= first || end > 1024) return;
        const int cb = books[set + b];
        const int v = sf[sf_row + b];
        if (cb >= 1 && cb <= 11) {
            // The band's magnitudes summed and ORed. On 64-bit targets a
            // plain loop, which the compiler vectorizes; on 32-bit ones four
            // values a step in a 64-bit word (band widths are multiples of
            // four): each 16-bit value's magnitude (its sign spread over it,
            // XORed in, and 1 added where it was negative; 32768 at most, no
            // carry), then the four summed as two 32-bit lanes.
            uint64_t total = 0;
            uint32_t largest = 0;
            if constexpr (sizeof(void*) == 8) {
                uint32_t band_sum = 0;
                for (int i = first; i < end; ++i) {
                    const uint32_t a = static_cast<uint32_t>(quant[i] < 0 ? -quant[i] : quant[i]);
                    largest |= a;
                    band_sum += a;
                }
                total = band_sum;
            } else {
                constexpr uint64_t kLow = UINT64_C(0x0001000100010001), kHalves = UINT64_C(0x0000FFFF0000FFFF);
                uint64_t any = 0;
                for (int i = first; i + 4 <= end; i += 4) {
                    uint64_t q;
                    std::memcpy(&q, quant + i, sizeof q);
                    const uint64_t negative = (q >> 15) & kLow;
                    const uint64_t a = (q ^ negative * 0xFFFF) + negative;
                    any |= a;
                    const uint64_t pairs = (a & kHalves) + ((a >> 16) & kHalves);
                    total += (pairs & 0xFFFFFFFF) + (pairs >> 32);
                }
                largest = static_cast<uint32_t>((any | any >> 16 | any >> 32 | any >> 48) & 0xFFFF);
            }
            if (total) {
                add(bit_length(static_cast<uint32_t>(total)) + (bit_length(largest) + 2) / 3 + ceil4(v - 80));
                // (Every |q| is below 2^bit_length(largest).)
                const int r = coef_room(16 * bit_length(largest), v);
                if (r < *room) *room = r;
            }
        } else if (cb == 13) {
            // A noise band's values: at most sqrt(width) times their root
            // sum of squares (width at most 96), each at most that sum.
            add(ceil4(v + 20) + 4);
            const int r = noise_room(v);
            if (r < *room) *room = r;
        } else if (cb == 14 || cb == 15) {
            *intensity = true;
        }
    });
    if (top == kNoBound) return kNoBound;
    int bound = top - 24 + (64 - fx::clz64(sum));
    bound += band->is_long ? -3 : 1;
    if (mi.channel[c].is_cpe) bound += 1;
    return bound;
}

}  // namespace

int core_scale_choose_sbr(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int c, int w, const int16_shared* quant) {
    SbrCoreScale& k = dec->ctx->sbr->core;
    const MC_Info& mi = dec->mcInfo;
    if (c < 0 || c > 1) return 0;
    // A coupling channel, read into the buffer of the last good spectra
    // while a pair holds slot 1 (dec/ics.cpp), is dropped: it takes no
    // scale, and leaves the pair's alone.
    if (dec->coef[c] == dec->lastSpectrum) return 0;
    k.block[c] = 0;
    if (mi.mix_block || mi.num_channels > 2 || !dec->lastSpectrum || !sbr_playing(dec)) return 0;

    bool intensity = false;
    int room = kSbrMaxCoreScale;
    w &= 1;
    const int bound = estimate(dec, band, c, w, quant, &intensity, &room);
    int s = kTarget + kSlack - bound;
    if (s > kTarget - k.peak[c]) s = kTarget - k.peak[c];
    // The coefficients' room: the bound from the ORed magnitudes may be 4/3
    // bit above it, so where it would lower the scale, the bands' largest
    // values are looked up. (Temporal noise shaping may take them further:
    // core_scale_tns_redo.)
    if (s > room) room = exact_room(dec, band, c, w, quant);
    if (s > room) s = room;
    if (s > kSbrMaxCoreScale) s = kSbrMaxCoreScale;
    if (s < 0) s = 0;
    // A pair's channels share the scale: mid/side and intensity mix them.
    // (Intensity takes a band of the first channel up by as much as its
    // position says: such pairs play at their value.)
    const ChInfo& ch = mi.channel[c];
    if (ch.is_cpe && !ch.is_left) {
        const int first = ch.paired_channel & 1;
        if (intensity) s = 0;
        if (s > k.block[first]) s = k.block[first];
        if (s < k.block[first]) {
            sbr_rescale(dec->coef[first], 1024, s - k.block[first]);
            k.block[first] = static_cast<int8_t>(s);
        }
    }
    k.block[c] = static_cast<int8_t>(s);
    if (s) {
        const uint8_t* const books = dec->sectCodebook[c];
        int16_t* const sf = dec->scaleFactors[c];
        for_each_band(band, dec->windowGroups[w], [&](int set, int sf_row, int b, int, int) {
            if (set + b < 128 && sf_row + b < 128 && books[set + b] >= 1 && books[set + b] <= 11)
                sf[sf_row + b] = static_cast<int16_t>(sf[sf_row + b] + 4 * s);
        });
    }
    return s;
}

void core_filter_bank_sbr(MP4AACDEC_QUVA_Obj* dec, int c, uint8_t sequence, uint16_t* shape, PcmOut out,
                          bool chosen) {
    c &= 1;  // (the pair's slots alone come here)
    int32_t* const coef = dec->coef[c];
    OverlapSample* const overlap = dec->overlap[c];
    SbrCoreScale& k = dec->ctx->sbr->core;
    int s = 0;
    if (chosen) {
        s = k.block[c];
        k.kept[c] = static_cast<int8_t>(s);
        k.block[c] = 0;
    }
    if (s && !out.time) {
        // (Not reached: a block is scaled only while SBR plays.)
        sbr_rescale(coef, 1024, -s);
        s = 0;
    }
    const int old = k.scale[c];
    if (!s) {
        if (old) sbr_rescale(overlap, 1024, -old);
        k.scale[c] = 0;
        kvxdec_aacFilterBank(dec, sequence, shape, coef, overlap, out);
        k.peak[c] = static_cast<int8_t>(out.time ? peak_bits(out.time, overlap) : kUnknown);
        return;
    }
    // What a second pass would need: the overlap buffer as it is, the
    // window shapes and the first-block flag (the kept spectrum is the
    // block's own).
    int32_t* const save = dec->ctx->sbr->work->held.core[0];
    static_assert(sizeof dec->ctx->sbr->work->held.core >= kOverlapBytes, "room for an overlap buffer");
    words::copy(save, overlap, kOverlapBytes);
    const uint16_t shape1 = shape[1], first = dec->firstBlock;
    if (old != s) sbr_rescale(overlap, 1024, s - old);
    kvxdec_aacFilterBank(dec, sequence, shape, coef, overlap, out);
    const int bits = peak_bits(out.time, overlap);
    if (bits <= kChecked) {
        k.scale[c] = static_cast<int8_t>(s);
        k.peak[c] = static_cast<int8_t>(bits - s);
        return;
    }
    // Louder than the scale leaves room for: again at its value.
    words::copy(overlap, save, kOverlapBytes);
    if (old) sbr_rescale(overlap, 1024, -old);
    shape[1] = shape1;
    dec->firstBlock = first;
    words::copy(coef, dec->lastSpectrum + 1024 * c, kCoefBytes);
    sbr_rescale(coef, 1024, -s);
    k.scale[c] = 0;
    kvxdec_aacFilterBank(dec, sequence, shape, coef, overlap, out);
    k.peak[c] = static_cast<int8_t>(peak_bits(out.time, overlap));
}

bool core_scale_tns_begin_sbr(MP4AACDEC_QUVA_Obj* dec, int c) {
    static_assert(sizeof dec->ctx->sbr->work->held.core >= kCoefBytes, "room for a spectrum");
    if (c < 0 || c > 1 || dec->ctx->sbr->core.block[c] <= 0) return false;
    words::copy(dec->ctx->sbr->work->held.core[0], dec->coef[c], kCoefBytes);
    return true;
}

bool core_scale_tns_redo_sbr(MP4AACDEC_QUVA_Obj* dec, int c) {
    int32_t* const coef = dec->coef[c];
    // (The filters saturate: a value at either end of the range is one that
    // went beyond it. v ^ (v >> 31) is 2^31 - 1 for both ends alone, and
    // adding 1 then sets the top bit: a loop without branches, which the
    // compiler vectorizes.)
    uint32_t ends = 0;
    for (int i = 0; i < 1024; ++i) {
        const uint32_t v = static_cast<uint32_t>(coef[i]);
        ends |= (v ^ (0u - (v >> 31))) + 1u;
    }
    if (!(ends >> 31)) return false;
    SbrCoreScale& k = dec->ctx->sbr->core;
    words::copy(coef, dec->ctx->sbr->work->held.core[0], kCoefBytes);
    sbr_rescale(coef, 1024, -k.block[c]);
    k.block[c] = 0;
    return true;
}

void core_scale_clear_sbr(MP4AACDEC_QUVA_Obj* dec) {
    SbrCoreScale& k = dec->ctx->sbr->core;
    for (int c = 0; c < 2; ++c) {
        if (k.scale[c]) sbr_rescale(dec->overlap[c], 1024, -k.scale[c]);
        k.scale[c] = 0;
        k.block[c] = 0;
        k.peak[c] = kUnknown;
    }
}
