// Section data and scale factors of an individual channel stream.
#include <cstring>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "dsp/band_walk.h"
#include "dsp/words.h"
#include "dec/huffman.h"
#include "dec/instance.h"
#include "dec/reservoir.h"
#include "dec/syntax.h"
#include "tables/huffman_tables.h"

using namespace reservoir;

namespace {

// Window groups of window channel w: one plus the leading group ends that
// lie before the last window.
int group_count(const uint8_t* windowGroups, int num_windows) {
    int g = 1;
    while (g < 8 && windowGroups[g - 1] < num_windows) ++g;
    return g;
}

// Section data and scale factor codewords read from one bit reservoir, a
// scale factor codeword with one table read (two for the long ones); near
// the end of the buffered words the FIFO's own reads take over.
class SideReader {
public:
    explicit SideReader(MP4AACDEC_QUVA_Obj* dec) : dec_(dec), r_(begin(&dec->fifo)) {}
    ~SideReader() { commit(r_); }
    // The next n bits, 1..16.
    [[gnu::always_inline]] uint16_t bits(int n) {
        if (ready(r_)) [[likely]] {
            const uint16_t v = static_cast<uint16_t>(top32(r_) >> (32 - n));
            skip(r_, static_cast<uint32_t>(n));
            return v;
        }
        return through_fifo(r_, [&](DecFifo*) { return aacdec_getbits(dec_, static_cast<uint16_t>(n)); });
    }
    // The next scale factor codeword's value, -60..60.
    [[gnu::always_inline]] int delta() {
        if (ready(r_)) [[likely]]
            return static_cast<int>(lookup<kScaleRootBits>(r_, scale_lookup) & 0xFFF) - 60;
        return through_fifo(r_, [&](DecFifo*) { return scale_by_search(dec_, kvxdec_book[12].tree) - 60; });
    }

private:
    MP4AACDEC_QUVA_Obj* dec_;
    Reservoir r_;
};

}  // namespace

int get_sections(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, int c, int w,
                        SectionEntry* list, int* count, int* coded) {
    uint8_t* codebooks = dec->sectCodebook[c];
    const int max_sfb = dec->maxSfb[w];
    *count = 0;
    *coded = 0;
    if (max_sfb == 0) {
        std::memset(codebooks, ZERO_HCB, kSectCodebookBytes);
        return 1;
    }
    const int n = band->num_swb[0];
    // A max_sfb beyond the window's bands is invalid section data.
    if (max_sfb > n) return 0;
    const int total = group_count(dec->windowGroups[w], band->num_windows) * n;
    const uint16_t width = static_cast<uint16_t>(band->sect_bits[0]);
    const int esc = (1 << width) - 1;

    // k stays below total + 2 * esc + n < 256, so every end fits its byte.
    SideReader read(dec);
    int k = 0;
    int m = 0;
    int group = 0;  // first index of k's group, without a division
    // Whether a section reaches the end of its group (or runs on into the
    // next one, which only damaged data do): then the scale factors' walk
    // covers whole groups. Every frame whose max_sfb is the band count sets
    // it, harmlessly, as the walk is then the band count long either way;
    // otherwise only sections past max_sfb in a group set it. Such a section
    // must be followed by sections reaching the group's end (or the data
    // stop first and the sections fail), so the group ends alone decide it.
    bool wide = false;
    while (k < total && m < total) {
        const uint8_t cb = static_cast<uint8_t>(read.bits(4));
        int v = read.bits(width);
        while (v == esc && k < total) {
            v = read.bits(width);
            k += esc;
        }
        k += v;
        list[m++] = {cb, static_cast<uint8_t>(k)};
        while (k - group >= n) {
            group += n;
            wide = true;
        }
        const int at = k - group;
        if (at == max_sfb) {
            // The rest of the group, from max_sfb on, is not transmitted.
            k += n - max_sfb;
            group += n;
            list[m++] = {ZERO_HCB, static_cast<uint8_t>(k)};
        }
    }
    if (k != total || m > total) return 0;

    // Each section's codebook eight bytes a store from its first band on
    // (most sections take one store, so that the loop's end is foreseen): a
    // store past a section's end lies in the next one, which overwrites it;
    // the (at most seven) bytes past the last band keep their values. The
    // last band is at most 120 (eight windows of 15 bands), so the stores
    // stay within the 128 bytes.
    static_assert(kSectCodebookBytes >= 8 * 15 + 8);
    uint64_t after;
    std::memcpy(&after, codebooks + total, sizeof after);
    int start = 0;
    for (int i = 0; i < m; ++i) {
        const uint64_t fill = list[i].codebook * 0x0101010101010101u;
        for (int j = start; j < list[i].end; j += 8) std::memcpy(codebooks + j, &fill, sizeof fill);
        start = list[i].end;
    }
    std::memcpy(codebooks + total, &after, sizeof after);
    *count = m;
    *coded = wide ? n : max_sfb;
    return 1;
}

// Band by band, each band's codebook from the codebook bytes get_sections
// wrote: a walk by sections ends a loop at each section's end, and those
// ends (and the switch on each section's codebook) are mispredicted where
// sections are short. The bands of a group from `coded` on are zero ones.
int32_t kvxdec_hufffac(MP4AACDEC_QUVA_Obj* dec, const BandInfo* band, const uint8_t* windowGroups,
                       uint16_t global_gain, int16_t* scaleFactors, int c, int coded) {
#if defined(__x86_64__)
    // Sixteen 16-byte stores: a fill of this size through memset or a string
    // instruction spends tens of cycles starting up. (The compiler does not
    // see the zero, or it would turn the loop back into such a fill.)
    static_assert(kScaleFactorsBytes % 16 == 0);
    __m128i zero = _mm_setzero_si128();
    __asm__("" : "+x"(zero));
    for (size_t i = 0; i < kScaleFactorsBytes; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(reinterpret_cast<uint8_t*>(scaleFactors) + i), zero);
#else
    words::zero(scaleFactors, kScaleFactorsBytes);
#endif
    const uint8_t* const codebooks = dec->sectCodebook[c];
    SideReader read(dec);
    uint16_t sf = global_gain;
    uint16_t position = 0;
    uint16_t noise = static_cast<uint16_t>(global_gain - 90);
    bool first_noise = true;
    bool valid = true;
    for_each_group(band, windowGroups, [&](int s, int e, int n, int set) {
        if (!valid) return;
        int16_t* out = scaleFactors + s * n;
        const uint8_t* books = codebooks + set;
        for (int j = 0; j < coded; ++j) {
            const uint32_t cb = books[j];
            if (cb - 1 < ESC_HCB) [[likely]] {  // a spectral book
                sf = static_cast<uint16_t>(sf + read.delta());
                if (sf > 255) {  // also catches results below 0
                    valid = false;
                    return;
                }
                out[j] = static_cast<int16_t>(sf);
            } else if (cb == ZERO_HCB) {
                continue;
            } else if (cb == NOISE_HCB) {
                if (first_noise) {
                    noise = static_cast<uint16_t>(noise + read.bits(9) - 256);
                    first_noise = false;
                } else {
                    noise = static_cast<uint16_t>(noise + read.delta());
                }
                out[j] = static_cast<int16_t>(noise);
            } else if (cb != RESERVED_HCB) {  // the intensity books
                position = static_cast<uint16_t>(position + read.delta());
                out[j] = static_cast<int16_t>(position);
            } else {
                valid = false;
                return;
            }
        }
        // Every further window of the group carries the same values.
        for (int win = s + 1; win < e && win < 8; ++win)
            std::memcpy(scaleFactors + win * n, out, static_cast<size_t>(n) * sizeof(int16_t));
    });
    return valid ? 1 : 0;
}
