// Kernel checker: for every subset of the CPU features this machine has, the
// kernel table select_kernels fills is run entry by entry against the
// reference kernels on the same random inputs, and every output word must be
// identical. Inputs are shaped to reach the kernels' branches: full-range and
// near-saturation values beside the decoder's usual magnitudes, both
// transform sizes, every window sequence and shape. Buffers are used in place
// as the decoder uses them, with guard words before and after each one that
// must come back untouched.
//
// usage: check_kernels [SEED [ROUNDS]]
//        check_kernels --bench [ITERATIONS]
// Exit status 0 when every variant matches. Each variant is named by its
// entry and the instruction set that brings it in (synthesis_avx2,
// qmf_analysis32_neon); every variant's first mismatch is reported, under
// every feature subset, and the run goes on. --bench times every entry the
// whole feature set gives a variant for against its reference on the same
// inputs (the fastest of several runs) and prints both and the ratio.
// Kernels with no variant are not in the table and are left to the unit and
// stream tests (the stream MD5s are the same for every CPU mask).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dec/fifo.h"
#include "dec/huffman_lines.h"
#include "dsp/dequant.h"
#include "dsp/filterbank.h"
#include "dsp/hf_filter.h"
#include "dsp/kernels.h"
#include "dsp/mix_rows.h"
#include "dsp/ps_kernels.h"
#include "dsp/qmf.h"
#if AAC_SBR_BUILT
#include "dsp/qmf_steps.h"
#endif
#include "dsp/sbr_adjust.h"
#include "dsp/tools.h"
#include "sbr/built.h"
#include "tables/band_tables.h"
#include "tables/ps_tables.h"
#include "tables/qmf_tables.h"

namespace {

uint32_t rng_state = 1;
uint32_t next() {  // xorshift32
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 17;
    rng_state ^= rng_state << 5;
    return rng_state;
}
int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }

// One of the value shapes: decoder-sized, full range, near the limits, or a
// run of zeros.
int32_t value(int shape) {
    switch (shape) {
    case 0: return static_cast<int32_t>(next()) >> (8 + below(16));  // spread magnitudes
    case 1: return static_cast<int32_t>(next());                      // full range
    case 2: return below(2) ? INT32_MAX - below(4) : INT32_MIN + below(4);
    default: return 0;
    }
}
void fill(int32_t* v, int n) {
    const int shape = below(4);
    for (int i = 0; i < n; ++i) v[i] = below(8) == 0 ? value(below(4)) : value(shape);
}

constexpr int kGuard = 16;
constexpr uint32_t kGuardWord = 0xdeadbeefu;

// A buffer of n 32-bit words with guard words on both sides.
struct Guarded {
    std::vector<int32_t> words;
    explicit Guarded(int n) : words(static_cast<size_t>(n + 2 * kGuard), static_cast<int32_t>(kGuardWord)) {}
    int32_t* data() { return words.data() + kGuard; }
    int size() const { return static_cast<int>(words.size()) - 2 * kGuard; }
    bool guards_intact() const {
        for (int i = 0; i < kGuard; ++i)
            if (static_cast<uint32_t>(words[static_cast<size_t>(i)]) != kGuardWord ||
                static_cast<uint32_t>(words[words.size() - 1 - static_cast<size_t>(i)]) != kGuardWord)
                return false;
        return true;
    }
};

int failures = 0;
long checks = 0;

// The table's entries by name.
struct Entry {
    const char* name;
    const void* (*of)(const Kernels&);
};
#define ENTRY(e) {#e, [](const Kernels& k) { return reinterpret_cast<const void*>(k.e); }}
const Entry kEntries[] = {ENTRY(dequantise),      ENTRY(pre_twiddle),       ENTRY(fft),
                          ENTRY(synthesis),       ENTRY(synthesis_mix),     ENTRY(qmf_analysis32),
                          ENTRY(qmf_synthesis64), ENTRY(qmf_synthesis32),   ENTRY(sbr_hf_filter),
                          ENTRY(sbr_hf_covariances), ENTRY(sbr_hf_magnitudes), ENTRY(sbr_scale),
                          ENTRY(sbr_energies),    ENTRY(sbr_log2),
                          ENTRY(sbr_exp2),        ENTRY(sbr_add_terms),     ENTRY(sbr_apply),
                          ENTRY(ps_hybrid),
                          ENTRY(ps_allpass),      ENTRY(ps_mix),            ENTRY(ps_step),
                          ENTRY(ps_transient),    ENTRY(ps_energies),       ENTRY(noise_lines),
                          ENTRY(mid_side),        ENTRY(tns_filter),        ENTRY(sbr_pcm16),
                          ENTRY(mix_rows)};
#undef ENTRY
// kEntries' indices, in its order.
enum EntryIndex {
    kDequantise, kPreTwiddle, kFft, kSynthesis, kSynthesisMix, kQmfAnalysis32, kQmfSynthesis64, kQmfSynthesis32,
    kHfFilter, kHfCovariance, kHfMagnitudes, kSbrScale, kSbrEnergies, kSbrLog2, kSbrExp2, kSbrAddTerms, kSbrApply, kPsHybrid, kPsAllpass, kPsMix,
    kPsStep, kPsTransient, kPsEnergies, kNoiseLines, kMidSide, kTnsFilter, kSbrPcm16, kMixRows, kEntryCount
};
static_assert(sizeof kEntries / sizeof kEntries[0] == kEntryCount);

// Feature bits and their names, lowest first.
const struct {
    uint32_t bit;
    const char* name;
} kIsas[] = {{CPU_X86_SSE41, "sse41"}, {CPU_X86_AVX2, "avx2"}, {CPU_ARM_V6_DSP, "v6dsp"}, {CPU_ARM_NEON, "neon"}};

// Each variant function and the instruction set that brings it in: the
// highest feature of the first (smallest) subset whose table holds it.
struct Named {
    const void* fn;
    std::string isa;
};
std::vector<Named> variant_isas;

const char* isa_of(const void* fn) {
    for (const Named& n : variant_isas)
        if (n.fn == fn) return n.isa.c_str();
    return "c";
}

// The table under test, for naming the variants in reports.
Kernels current;

// The name a report gives a kernel: entry_isa of the table under test.
std::string variant_name(const char* kernel) {
    for (const Entry& e : kEntries)
        if (std::strcmp(e.name, kernel) == 0) {
            std::string name = kernel;
            name += '_';
            name += isa_of(e.of(current));
            return name;
        }
    return kernel;
}

// Compares the reference's buffers with the variant's, guards included.
bool same(const char* kernel, const char* what, const std::vector<Guarded*>& ref, const std::vector<Guarded*>& var) {
    ++checks;
    for (size_t b = 0; b < ref.size(); ++b) {
        if (!var[b]->guards_intact() || !ref[b]->guards_intact()) {
            std::printf("FAIL %s (%s): write outside buffer %zu\n", variant_name(kernel).c_str(), what, b);
            return ++failures, false;
        }
        for (int i = 0; i < ref[b]->size(); ++i)
            if (ref[b]->data()[i] != var[b]->data()[i]) {
                std::printf("FAIL %s (%s): buffer %zu word %d: reference %08x, variant %08x\n",
                            variant_name(kernel).c_str(), what, b, i, static_cast<uint32_t>(ref[b]->data()[i]),
                            static_cast<uint32_t>(var[b]->data()[i]));
                return ++failures, false;
            }
    }
    return true;
}

// A mismatch of a kernel's own state.
void state_differs(const char* kernel, int pattern) {
    std::printf("FAIL %s: state differs (pattern %d)\n", variant_name(kernel).c_str(), pattern);
    ++failures;
}

void check_transform_steps(const Kernels& ref, const Kernels& var, int rounds) {
    struct Step {
        const char* name;
        void (*Kernels::*entry)(int32_t*, int);
        int size_long, size_short;  // argument
        int words_long, words_short;
    };
    const Step steps[] = {
        {"pre_twiddle", &Kernels::pre_twiddle, 2048, 256, 1024, 128},
        {"fft", &Kernels::fft, 512, 64, 1024, 128},
    };
    for (const Step& s : steps) {
        if (var.*s.entry == ref.*s.entry) continue;
        for (int r = 0; r < rounds; ++r)
            for (int is_long = 0; is_long < 2; ++is_long) {
                const int n = is_long ? s.size_long : s.size_short, words = is_long ? s.words_long : s.words_short;
                Guarded a(words), b(words);
                fill(a.data(), words);
                std::memcpy(b.data(), a.data(), static_cast<size_t>(words) * sizeof(int32_t));
                (ref.*s.entry)(a.data(), n);
                (var.*s.entry)(b.data(), n);
                if (!same(s.name, is_long ? "long" : "short", {&a}, {&b})) return;
            }
    }
}

// Edge patterns of words (below).
void fill_pattern(int32_t* v, int n, int pattern);

// Words about a bound b: b - 1, b, b + 1 and their negations, values just
// inside, small ones, or any (so a block may hold one word past the bound
// among words within it).
void fill_near(int32_t* v, int n, int32_t b) {
    for (int i = 0; i < n; ++i) switch (below(8)) {
        case 0: v[i] = b - 1 + below(3); break;
        case 1: v[i] = -b - 1 + below(3); break;
        case 2: v[i] = static_cast<int32_t>(next() % static_cast<uint32_t>(b)) * (below(2) ? 1 : -1); break;
        case 3: v[i] = static_cast<int32_t>(next()) >> (8 + below(16)); break;
        case 4: v[i] = static_cast<int32_t>(next()); break;
        default: v[i] = static_cast<int32_t>(next()) >> (4 + below(2));
        }
}

// A buffer a kernel takes as scratch (the synthesis's coefficients): what
// it holds afterwards is each kernel's own (the reference does its FFT's
// last stage inside its output pass, and leaves it undone there), but
// neither may write outside it.
bool scratch_guarded(const char* kernel, const char* what, const Guarded& ref, const Guarded& var) {
    ++checks;
    if (ref.guards_intact() && var.guards_intact()) return true;
    std::printf("FAIL %s (%s): write outside its scratch buffer\n", variant_name(kernel).c_str(), what);
    return ++failures, false;
}

void check_synthesis(const Kernels& ref, const Kernels& var, int rounds) {
    // The synthesis runs the transform steps through the table: it is checked
    // whenever any of them differs, each side with its own table.
    if (var.synthesis == ref.synthesis && var.pre_twiddle == ref.pre_twiddle && var.fft == ref.fft) return;
    constexpr int kOverlapWords = 4096 / 4;  // the overlap buffer is 4096 bytes in both arithmetics
    // Left slot, right slot, mono in both and, with SBR, the exact
    // arithmetic's Q12 time samples (what SBR reads).
    constexpr int layouts = kSbrBuilt && kExactArithmetic ? 4 : 3;
    static const char* const kLayoutName[] = {"left slot", "right slot", "mono", "time samples"};
    for (int r = 0; r < rounds; ++r)
        for (int seq = 0; seq < 4; ++seq)
            for (int shapes = 0; shapes < 4; ++shapes)
                for (int layout = 0; layout < layouts; ++layout) {
                    Guarded coef[2] = {Guarded(1024), Guarded(1024)}, overlap[2] = {Guarded(kOverlapWords),
                                                                                    Guarded(kOverlapWords)};
                    Guarded pcm[2] = {Guarded(1024), Guarded(1024)};  // 1024 stereo frames, or time samples
                    // Time samples: every round a pattern of edge values, or random ones.
                    // PCM: every other round an overlap of edge values, so that
                    // its sums with the new samples leave 32 bits both ways, and
                    // every fourth round coefficients of edge values.
                    if (layout == 3 || r % 4 == 3) fill_pattern(coef[0].data(), 1024, r % 7);
                    else fill(coef[0].data(), 1024);
                    if (layout == 3 || r % 2) fill_pattern(overlap[0].data(), kOverlapWords, (r + seq) % 7);
                    else fill(overlap[0].data(), kOverlapWords);
                    fill(pcm[0].data(), 1024);
                    coef[1] = coef[0], overlap[1] = overlap[0], pcm[1] = pcm[0];
                    uint16_t first[2] = {static_cast<uint16_t>(below(2)), 0};
                    first[1] = first[0];
                    uint16_t shape[2][2] = {{static_cast<uint16_t>(shapes & 1), static_cast<uint16_t>(shapes >> 1)},
                                            {static_cast<uint16_t>(shapes & 1), static_cast<uint16_t>(shapes >> 1)}};
                    for (int v = 0; v < 2; ++v) {
                        PcmOut out{shared16(pcm[v].data()) + (layout == 1), 2, layout == 2};
                        if (layout == 3) out.time = pcm[v].data();
                        kernels = v ? var : ref;
                        kernels.synthesis(&first[v], static_cast<uint8_t>(seq), shape[v], coef[v].data(),
                                       reinterpret_cast<OverlapSample*>(overlap[v].data()), out);
                    }
                    kernels = var;
                    if (first[0] != first[1] || std::memcmp(shape[0], shape[1], sizeof shape[0]) != 0)
                        return state_differs("synthesis", -1);
                    if (!scratch_guarded("synthesis", kLayoutName[layout], coef[0], coef[1]) ||
                        !same("synthesis", kLayoutName[layout], {&overlap[0], &pcm[0]}, {&overlap[1], &pcm[1]}))
                        return;
                }
}

// The reference synthesis with a variant's transform steps in its table
// (as the library's other outputs run it): its long blocks then take the
// FFT's whole output, where with the reference FFT they make its last
// stage themselves. Both ways give the same samples.
void check_synthesis_steps(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.fft == ref.fft && var.pre_twiddle == ref.pre_twiddle) return;
    Kernels steps = ref;
    steps.fft = var.fft, steps.pre_twiddle = var.pre_twiddle;
    for (int r = 0; r < rounds; ++r)
        for (int seq = 0; seq < 4; ++seq) {
            Guarded coef[2] = {Guarded(1024), Guarded(1024)}, overlap[2] = {Guarded(1024), Guarded(1024)};
            Guarded pcm[2] = {Guarded(1024), Guarded(1024)};
            if (r % 4 == 3) fill_pattern(coef[0].data(), 1024, r % 7);
            else fill(coef[0].data(), 1024);
            fill(overlap[0].data(), 1024);
            fill(pcm[0].data(), 1024);
            coef[1] = coef[0], overlap[1] = overlap[0], pcm[1] = pcm[0];
            for (int v = 0; v < 2; ++v) {
                uint16_t first = 0, shape[2] = {static_cast<uint16_t>(r & 1), static_cast<uint16_t>(r >> 1 & 1)};
                const PcmOut out{shared16(pcm[v].data()), 2, false};
                kernels = v ? steps : ref;
                ref.synthesis(&first, static_cast<uint8_t>(seq), shape, coef[v].data(),
                              reinterpret_cast<OverlapSample*>(overlap[v].data()), out);
            }
            kernels = var;
            if (!scratch_guarded("synthesis", "table's transform steps", coef[0], coef[1]) ||
                !same("synthesis", "table's transform steps", {&overlap[0], &pcm[0]}, {&overlap[1], &pcm[1]}))
                return;
        }
}

// A channel mixed into the downmix's sums: every sequence and pair of
// shapes, gains to both sides, to one, negative, and 1.0 (which variants
// leave to the reference), over sums that already hold samples.
void check_synthesis_mix(const Kernels& ref, const Kernels& var, int rounds) {
    if (!ref.synthesis_mix) return;  // the compact arithmetic does not mix
    if (var.synthesis_mix == ref.synthesis_mix && var.pre_twiddle == ref.pre_twiddle && var.fft == ref.fft) return;
    const int32_t gains[][2] = {{303700050, 303700050}, {444723750, 0}, {0, 229624614}, {-243925678, 243925678},
                                {1 << 30, 0}, {-(1 << 30), 1 << 29}};
    for (int r = 0; r < rounds; ++r)
        for (int seq = 0; seq < 4; ++seq)
            for (int shapes = 0; shapes < 4; ++shapes)
                for (const auto& g : gains) {
                    Guarded coef[2] = {Guarded(1024), Guarded(1024)}, sums[2] = {Guarded(4096), Guarded(4096)};
                    fill(coef[0].data(), 1024);
                    // Sums of a few channels' worth of Q12 samples.
                    for (int i = 0; i < 4096; ++i) sums[0].data()[i] = static_cast<int32_t>(next() >> 4) - (1 << 27);
                    coef[1] = coef[0], sums[1] = sums[0];
                    uint16_t shape[2][2] = {{static_cast<uint16_t>(shapes & 1), static_cast<uint16_t>(shapes >> 1)},
                                            {static_cast<uint16_t>(shapes & 1), static_cast<uint16_t>(shapes >> 1)}};
                    for (int v = 0; v < 2; ++v) {
                        int32_t* s = sums[v].data();
                        const MixOut mix{{s, s + 1024}, {s + 2048, s + 3072}, {g[0], g[1]}};
                        kernels = v ? var : ref;
                        kernels.synthesis_mix(static_cast<uint8_t>(seq), shape[v], coef[v].data(), mix);
                    }
                    kernels = var;
                    if (std::memcmp(shape[0], shape[1], sizeof shape[0]) != 0) return state_differs("synthesis_mix", -1);
                    if (!same("synthesis_mix", "sums", {&coef[0], &sums[0]}, {&coef[1], &sums[1]})) return;
                }
}

// Long (48 kHz bands) or eight short windows.
struct Layout {
    int16_t num_windows;
    int32_t num_swb[8];
    const int16_t* tops[8];
};
Layout layout(bool is_long) {
    Layout l{};
    l.num_windows = is_long ? 1 : 8;
    for (int w = 0; w < l.num_windows; ++w) {
        l.num_swb[w] = is_long ? 49 : 14;
        l.tops[w] = is_long ? kvxdec_sfb_48_1024 : kvxdec_sfb_48_128;
    }
    return l;
}

// Both tables' dequantisation of the values in the upper halves of a and b
// (the same): the coefficients, and the answer whether one reached the
// limit, which must be the reference's, and the reference's must be whether
// a coefficient is +-(2^31 - 1) (never in the compact arithmetic).
bool same_dequantise(const Kernels& ref, const Kernels& var, const Layout& l, Guarded& a, Guarded& b,
                     const int16_t* sf, const char* what) {
    const bool at_a = ref.dequantise(l.num_windows, l.num_swb, a.data(), shared16(a.data()) + 1024, sf, l.tops);
    const bool at_b = var.dequantise(l.num_windows, l.num_swb, b.data(), shared16(b.data()) + 1024, sf, l.tops);
    if (!same("dequantise", what, {&a}, {&b})) return false;
    bool limit = false;
    for (int i = 0; i < 1024; ++i) limit |= a.data()[i] == INT32_MAX || a.data()[i] == -INT32_MAX;
    if (at_a != (kExactArithmetic && limit) || at_b != at_a) {
        std::printf("FAIL %s (%s): limit reached %d, reference says %d, variant %d\n",
                    variant_name("dequantise").c_str(), what, limit, at_a, at_b);
        return ++failures, false;
    }
    return true;
}

// Values at the limit and just below it: for every scale factor where
// some magnitude reaches it, the largest magnitude below it and the
// smallest at it (32767 stands for -32768 too), of either sign, one or a
// few in a band of small values or in an escape band, the other bands
// random: in plain bands (magnitudes below 512, at the largest scale
// factors), in bands the value-by-value path takes, in long and short
// windows.
void check_dequantise_limit(const Kernels& ref, const Kernels& var) {
    for (int s = 100; s <= 255; ++s) {
        if (dequant_value(32767, s) < INT32_MAX) continue;
        int lo = 0, hi = 32767;  // dequant_value(lo) below the limit (0 for none), hi at it
        while (hi - lo > 1) {
            const int mid = (lo + hi) / 2;
            (dequant_value(static_cast<int16_t>(mid), s) < INT32_MAX ? lo : hi) = mid;
        }
        for (int is_long = 0; is_long < 2; ++is_long)
            for (int pick = 0; pick < 4; ++pick) {
                const Layout l = layout(is_long);
                Guarded a(1024), b(1024);
                std::memset(a.data(), 0, 1024 * sizeof(int32_t));
                int16_shared* q = shared16(a.data()) + 1024;
                const int big = below(2);  // the band's others: small, or escapes below 8192
                for (int i = 0; i < 1024; ++i) q[i] = static_cast<int16_t>(big ? below(16383) - 8191 : below(7) - 3);
                // One to three values of the pick: below (0, 1) or at the
                // limit (2, 3), of a random sign; -32768 for 32767 at times.
                const int mag = pick < 2 ? lo : hi;
                for (int k = 0, n = 1 + below(3); k < n && mag > 0; ++k) {
                    int16_t v = static_cast<int16_t>(below(2) ? mag : -mag);
                    if (v == -32767 && below(2)) v = -32768;
                    q[below(1024)] = v;
                }
                b = a;
                int16_t sf[128];
                for (int16_t& x : sf) x = static_cast<int16_t>(below(4) ? s : below(256));
                if (!same_dequantise(ref, var, l, a, b, sf, "limit")) return;
            }
    }
}

void check_dequantise(const Kernels& ref, const Kernels& var, int rounds) {
    // The limit's edges also hold the reference to its answer.
    check_dequantise_limit(ref, var);
    if (var.dequantise == ref.dequantise) return;
    for (int r = 0; r < rounds; ++r)
        for (int is_long = 0; is_long < 2; ++is_long) {
            Layout l = layout(is_long);
            // Long windows with fewer bands too (their top below 1024).
            if (is_long && below(2)) l.num_swb[0] = 1 + below(49);
            Guarded a(1024), b(1024);
            // The quantised values fill the buffer's upper half, as the
            // decoder leaves them; bands are zero, small or up to the 16-bit
            // limits (escapes and pulses).
            int16_shared* q = shared16(a.data()) + 1024;
            std::memset(a.data(), 0, 1024 * sizeof(int32_t));
            // Runs of 4 to 32 values of one kind, so that whole bands are
            // small or zero, and often nothing above a random bandwidth;
            // magnitudes up to 7 (the NEON walk's table-lookup bands) or 8.
            const int run = 4 << below(4), top = below(2) ? below(1025) : 1024;
            for (int i = 0; i < 1024; i += run) {
                const int kind = i >= top ? 0 : below(6);
                for (int j = i; j < i + run; ++j)
                    q[j] = static_cast<int16_t>(kind == 0 ? 0
                                                : kind == 1 ? (below(2) ? below(33) - 16 : below(1025) - 512)
                                                : kind == 2 ? below(16384) - 8192
                                                : kind == 3 ? static_cast<int16_t>(next())
                                                : kind == 4 ? below(15) - 7
                                                            : below(17) - 8);
            }
            b = a;
            int16_t sf[128];
            for (int16_t& s : sf) s = static_cast<int16_t>(below(8) == 0 ? below(600) - 300 : below(256));
            if (!same_dequantise(ref, var, l, a, b, sf, is_long ? "long" : "short")) return;
        }
}

// Edge inputs beside the random ones: all zero, full scale of either sign,
// alternating extremes, alternating signs of random magnitudes, random
// values of a random bit length (so that a block exponent takes every value,
// and with it every shift count a kernel rounds by).
void fill_pattern(int32_t* v, int n, int pattern) {
    const int down = below(32);
    for (int i = 0; i < n; ++i) switch (pattern) {
        case 1: v[i] = 0; break;
        case 2: v[i] = INT32_MAX; break;
        case 3: v[i] = INT32_MIN; break;
        case 4: v[i] = i & 1 ? INT32_MIN : INT32_MAX; break;
        case 5: v[i] = static_cast<int32_t>((next() >> 1) ^ (i & 1 ? ~0u : 0u)); break;
        case 6: v[i] = static_cast<int32_t>(next()) >> down; break;
        default: v[i] = 0;
        }
    if (pattern == 0) fill(v, n);
}
constexpr int kPatterns = 7;

// The largest magnitude a synthesis bank of M bands (M rows of 64 / M taps)
// leaves in the partial sum of output k at ring position p from the one
// output next, starting from a zeroed state (dsp/qmf.h): the row was
// cleared when output and has since taken the window's taps 9 down to
// p + 1, each product of a 32-bit value rounded to at most the tap's
// magnitude; the sum saturated.
// (Built without SBR, there are no banks to check and no window table.)
constexpr int kQmfRows = static_cast<int>(sizeof QmfSynthesis64State::sum / sizeof QmfSynthesis64State::sum[0]);
int32_t qmf_reach(int bands, int p, int k) {
    int64_t s = 0;
    if constexpr (AAC_SBR_BUILT)
        for (int j = p + 1; j < kQmfRows; ++j) s += std::llabs(qmf_window_q31[64 / bands * (bands * j + k)]);
    return static_cast<int32_t>(std::min<int64_t>(s, INT32_MAX));
}

// The ring's row at position p from the one output next (`current`, a
// number out of range the first).
template <typename State>
int32_t* qmf_row(State* st, int p) {
    const int now = st->current >= 0 && st->current < kQmfRows ? st->current : 0;
    return st->sum[(now + p) % kQmfRows];
}

// The variants are exact for the states the banks reach, rows 6 to 9
// within qmf_reach (the AVX2 window leaves them out of its range test):
// those rows of a random state brought inside, held at the bound (as a
// full-scale input leaves them) or reduced modulo it; rows 0 to 5 kept.
template <typename State>
void qmf_reachable(State* st) {
    const int bands = static_cast<int>(sizeof st->sum[0] / sizeof st->sum[0][0]);
    for (int p = 6; p < kQmfRows; ++p) {
        int32_t* const row = qmf_row(st, p);
        for (int k = 0; k < bands; ++k) {
            const int32_t b = qmf_reach(bands, p, k);
            if (row[k] > b || row[k] < -b) row[k] = below(2) ? (row[k] > 0 ? b : -b) : row[k] % (b + 1);
        }
    }
}

// One QMF synthesis bank, reference and variant, slot after slot from the
// same state: random partial sums and positions (out-of-range ones too;
// rows 6 to 9 from the one output next reachable), inputs of every
// pattern; outputs and states compared after each slot.
template <typename State>
void check_qmf_bank(const char* name, void (*ref)(State*, const int32_t*, const int32_t*, int32_t*),
                    void (*var)(State*, const int32_t*, const int32_t*, int32_t*), int in_words, int out_words,
                    int rounds) {
    if (ref == var) return;
    for (int r = 0; r < rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            State a, b;
            const int sums = static_cast<int>(sizeof a.sum / sizeof a.sum[0][0]);
            fill_pattern(&a.sum[0][0], sums, below(2) ? pattern : 0);
            a.current = below(8) ? below(10) : static_cast<int32_t>(next()) % 16;
            qmf_reachable(&a);
            b = a;
            for (int slot = 0; slot < 4; ++slot) {
                Guarded re(in_words), im(in_words), out_a(out_words), out_b(out_words);
                fill_pattern(re.data(), in_words, pattern);
                fill_pattern(im.data(), in_words, below(4) ? pattern : below(kPatterns));
                ref(&a, re.data(), im.data(), out_a.data());
                var(&b, re.data(), im.data(), out_b.data());
                if (!same(name, "slot", {&out_a}, {&out_b})) return;
                ++checks;
                if (std::memcmp(&a, &b, sizeof a) != 0) return state_differs(name, pattern);
            }
        }
}

// The same with partial sums near 2^30 in magnitude, the edge of the range
// where a variant may add the window's products without saturating and
// check the sums afterwards: all of them a little inside it (small inputs:
// every sum stays inside), or each inside or outside by a little, of either
// sign, some near full scale (inputs of every size: some slots cross the
// edge, some saturate); rows 6 to 9 from the one output next reachable.
template <typename State>
void check_qmf_edge(const char* name, void (*ref)(State*, const int32_t*, const int32_t*, int32_t*),
                    void (*var)(State*, const int32_t*, const int32_t*, int32_t*), int words, int rounds) {
    if (ref == var) return;
    for (int r = 0; r < 4 * rounds; ++r) {
        const bool inside = below(2) == 0;
        State a, b;
        int32_t* sum = &a.sum[0][0];
        for (size_t i = 0; i < sizeof a.sum / sizeof a.sum[0][0]; ++i) {
            const int32_t off = inside ? (1 << 20) + below(1 << 20) : below(512) - 256;
            sum[i] = below(2) ? (1 << 30) - off : -(1 << 30) + off;
            if (!inside && below(4) == 0) sum[i] = below(2) ? INT32_MAX - below(1 << 20) : INT32_MIN + below(1 << 20);
        }
        a.current = below(10);
        qmf_reachable(&a);
        b = a;
        for (int slot = 0; slot < 4; ++slot) {
            Guarded re(words), im(words), out_a(words), out_b(words);
            fill(re.data(), words);
            fill(im.data(), words);
            const int down = inside ? 14 + below(12) : below(24);
            for (int i = 0; i < words; ++i) re.data()[i] >>= down, im.data()[i] >>= down;
            ref(&a, re.data(), im.data(), out_a.data());
            var(&b, re.data(), im.data(), out_b.data());
            if (!same(name, inside ? "sums inside the edge" : "sums at the edge", {&out_a}, {&out_b})) return;
            ++checks;
            if (std::memcmp(&a, &b, sizeof a) != 0) return state_differs(name, 0);
        }
    }
}

// The rows a range test may leave out at the edge of what the banks reach:
// rows 0 to 3 from the one output next well inside the range (|sum| <
// 2^28) and small inputs (|v| below 2^29), so that no new sum of theirs
// leaves it and no saturating pass follows; the rows from 4 on at the
// largest magnitudes they reach, of random signs (row 4 saturated where
// its taps add up to more than 1). A variant that left row 4 out of its
// test would keep the sums that wrapped there.
template <typename State>
void check_qmf_reach(const char* name, void (*ref)(State*, const int32_t*, const int32_t*, int32_t*),
                     void (*var)(State*, const int32_t*, const int32_t*, int32_t*), int words, int rounds) {
    if (ref == var) return;
    for (int r = 0; r < 4 * rounds; ++r) {
        State a, b;
        a.current = below(10);
        for (int p = 0; p < kQmfRows; ++p) {
            int32_t* const row = qmf_row(&a, p);
            for (int k = 0; k < words; ++k) {
                const int32_t reach = qmf_reach(words, p, k);
                row[k] = p < 4                ? static_cast<int32_t>(next()) >> 4
                         : below(2)           ? reach
                         : reach < INT32_MAX  ? -reach
                                              : INT32_MIN;
            }
        }
        b = a;
        Guarded re(words), im(words), out_a(words), out_b(words);
        fill(re.data(), words);
        fill(im.data(), words);
        const int down = (words == 64 ? 12 : 11) + below(12);  // |v| < 2^29 (qmf::synthesis_slot)
        for (int i = 0; i < words; ++i) re.data()[i] >>= down, im.data()[i] >>= down;
        ref(&a, re.data(), im.data(), out_a.data());
        var(&b, re.data(), im.data(), out_b.data());
        if (!same(name, "sums at the reachable bounds", {&out_a}, {&out_b})) return;
        ++checks;
        if (std::memcmp(&a, &b, sizeof a) != 0) return state_differs(name, 0);
    }
}

void check_qmf(const Kernels& ref, const Kernels& var, int rounds) {
    check_qmf_bank<QmfSynthesis64State>("qmf_synthesis64", ref.qmf_synthesis64, var.qmf_synthesis64, 64, 64,
                                        rounds);
    check_qmf_bank<QmfSynthesis32State>("qmf_synthesis32", ref.qmf_synthesis32, var.qmf_synthesis32, 32, 32,
                                        rounds);
    check_qmf_edge<QmfSynthesis64State>("qmf_synthesis64", ref.qmf_synthesis64, var.qmf_synthesis64, 64, rounds);
    check_qmf_edge<QmfSynthesis32State>("qmf_synthesis32", ref.qmf_synthesis32, var.qmf_synthesis32, 32, rounds);
    check_qmf_reach<QmfSynthesis64State>("qmf_synthesis64", ref.qmf_synthesis64, var.qmf_synthesis64, 64, rounds);
    check_qmf_reach<QmfSynthesis32State>("qmf_synthesis32", ref.qmf_synthesis32, var.qmf_synthesis32, 32, rounds);
    // The analysis: 32 time samples in, 32 complex values out, from random
    // delay lines and ring positions.
    if (ref.qmf_analysis32 == var.qmf_analysis32) return;
    for (int r = 0; r < rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            QmfAnalysisState a, b;
            fill_pattern(a.x, 320, below(2) ? pattern : 0);
            a.newest = below(8) ? below(10) : static_cast<int32_t>(next()) % 16;
            b = a;
            for (int slot = 0; slot < 4; ++slot) {
                Guarded in(32), re_a(32), im_a(32), re_b(32), im_b(32);
                fill_pattern(in.data(), 32, pattern);
                ref.qmf_analysis32(&a, in.data(), re_a.data(), im_a.data());
                var.qmf_analysis32(&b, in.data(), re_b.data(), im_b.data());
                if (!same("qmf_analysis32", "slot", {&re_a, &im_a}, {&re_b, &im_b})) return;
                ++checks;
                if (std::memcmp(&a, &b, sizeof a) != 0) return state_differs("qmf_analysis32", pattern);
            }
        }
}

#if AAC_SBR_BUILT
// The QMF reference in the rounding forms the target does not build (the
// word-pair forms on a 64-bit host, the plain ones on 32-bit ARM): both give
// the same words, and the decoder's own runs only the forms of its target.
using OtherSteps = qmf::ScalarStepsOf<!qmf::kWordPairs>;
void other_analysis32(QmfAnalysisState* state, const int32_t* in, int32_t* re, int32_t* im) {
    qmf::analysis_slot<OtherSteps>(state, in, re, im);
}
void other_synthesis64(QmfSynthesis64State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<OtherSteps, 6>(&state->current, state->sum, re, im, out);
}
void other_synthesis32(QmfSynthesis32State* state, const int32_t* re, const int32_t* im, int32_t* out) {
    qmf::synthesis_slot<OtherSteps, 5>(&state->current, state->sum, re, im, out);
}

// The reference table with those forms in its QMF entries, checked like a
// variant (named qmf_..._pairs or qmf_..._plain).
void check_qmf_forms(const Kernels& ref, int rounds) {
    Kernels other = ref;
    other.qmf_analysis32 = other_analysis32;
    other.qmf_synthesis64 = other_synthesis64;
    other.qmf_synthesis32 = other_synthesis32;
    const char* forms = qmf::kWordPairs ? "plain" : "pairs";
    for (const void* fn : {reinterpret_cast<const void*>(other_analysis32),
                           reinterpret_cast<const void*>(other_synthesis64),
                           reinterpret_cast<const void*>(other_synthesis32)})
        variant_isas.push_back({fn, forms});
    current = other;
    std::printf("QMF reference in the %s forms\n", forms);
    check_qmf(ref, other, rounds);
}
#endif

// The SBR filter on 1 to 24 columns of a 40 x 64 array into columns of
// another, at every run length, each column with its own coefficients and
// shift (all shifts zero now and then), inputs within the kernel's bounds
// (every |x 2^-shift| <= 2^30, |a| < 2^30) in every pattern: random
// magnitudes, zero, full scale, alternating extremes.
void check_hf_filter(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_hf_filter == ref.sbr_hf_filter) return;
    constexpr int kRows = 40, kCols = 64;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            const int n = 1 + below(24), col = below(kCols - n + 1), out_col = below(kCols - n + 1);
            uint8_t shift[kHfCoefRow] = {};
            const bool unscaled = below(3) == 0;
            for (int c = 0; c < n; ++c) shift[c] = static_cast<uint8_t>(unscaled ? 0 : below(4) ? below(32) : below(3));
            Guarded x_re(kRows * kCols), x_im(kRows * kCols), y_a(2 * kRows * kCols), y_b(2 * kRows * kCols);
            fill_pattern(x_re.data(), kRows * kCols, pattern);
            fill_pattern(x_im.data(), kRows * kCols, below(3) ? pattern : below(kPatterns));
            // Within 2^(30 + shift): full scale needs a shift of one or more.
            for (int32_t* v : {x_re.data(), x_im.data()})
                for (int i = 0; i < kRows * kCols; ++i) {
                    const int c = i % kCols - col;
                    if ((c < 0 || c >= n || shift[c] < 1) && (v[i] > (1 << 30) || v[i] < -(1 << 30))) v[i] = v[i] >> 1;
                }
            fill(y_a.data(), 2 * kRows * kCols);
            std::memcpy(y_b.data(), y_a.data(), sizeof(int32_t) * 2 * kRows * kCols);
            int32_t coef[4 * kHfCoefRow];
            for (int32_t& c : coef) {
                const int kind = below(4);
                c = kind == 0 ? 0 : kind == 1 ? (below(2) ? (1 << 30) - 1 : -(1 << 30) + 1)
                                              : static_cast<int32_t>(next()) >> (2 + below(8));
            }
            const int first = 2 + below(4), count = below(kRows - first + 1);
            const int32_t* xr = x_re.data() + first * kCols + col;
            const int32_t* xi = x_im.data() + first * kCols + col;
            // re and im outputs in the two halves of one buffer
            const int y_re = first * kCols + out_col, y_im = (kRows + first) * kCols + out_col;
            ref.sbr_hf_filter(xr, xi, y_a.data() + y_re, y_a.data() + y_im, kCols, count, n, coef, shift);
            var.sbr_hf_filter(xr, xi, y_b.data() + y_re, y_b.data() + y_im, kCols, count, n, coef, shift);
            if (!same("sbr_hf_filter", "columns", {&y_a}, {&y_b})) return;
        }
}

// The SBR generator's covariances of 1 to 24 subbands of a 40 x 64 array,
// 2 to 40 rows from any row and column, each subband scaled by its own
// shift, down (rounded) and up (saturated), in every pattern (full range
// too: the sums are exact modulo 2^64); now and then the shifts the
// generator takes from the magnitudes: those of 32-bit ARM (quiet subbands
// scaled up, a negative shift) and those of 64-bit targets (only loud
// subbands scaled, down; all of a run's shifts 0 is the common case).
void check_hf_covariance(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_hf_covariances == ref.sbr_hf_covariances) return;
    constexpr int kRows = 40, kCols = 64;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            const int rows = below(4) ? kRows : 2 + below(kRows - 1), n = 1 + below(24);
            const int first = below(kRows - rows + 1), col = below(kCols - n + 1);
            Guarded x_re(kRows * kCols), x_im(kRows * kCols);
            fill_pattern(x_re.data(), kRows * kCols, pattern);
            fill_pattern(x_im.data(), kRows * kCols, below(3) ? pattern : below(kPatterns));
            const int32_t* re = x_re.data() + first * kCols + col;
            const int32_t* im = x_im.data() + first * kCols + col;
            int8_t shift[24];
            const int mode = below(3);  // 0: any shifts, 1: 32-bit ARM's, 2: 64-bit targets'
            for (int c = 0; c < n; ++c) {
                uint32_t any = 0;
                ref.sbr_hf_magnitudes(re + c, im + c, kCols, rows, 1, &any);
                const int bits = 6 - fx::clz32(any);
                shift[c] = static_cast<int8_t>(mode == 0 ? below(63) - 31
                                               : mode == 1 ? std::clamp(bits, -31, 31)
                                                           : std::max(bits, 0));
            }
            Guarded a(16 * n), b(16 * n);  // eight 64-bit sums a subband
            ref.sbr_hf_covariances(re, im, kCols, rows, n, shift, reinterpret_cast<int64_t (*)[8]>(a.data()));
            var.sbr_hf_covariances(re, im, kCols, rows, n, shift, reinterpret_cast<int64_t (*)[8]>(b.data()));
            if (!same("sbr_hf_covariances", "sums", {&a}, {&b})) return;
        }
}

// A 40 x 64 array of subband samples, re and im, in `pattern` (im in
// another one a third of the time).
constexpr int kSubbandRows = 40, kSubbandCols = 64;
struct PatternedSubbands {
    Guarded re, im;
};
PatternedSubbands patterned_subbands(int pattern) {
    PatternedSubbands x{Guarded(kSubbandRows * kSubbandCols), Guarded(kSubbandRows * kSubbandCols)};
    fill_pattern(x.re.data(), kSubbandRows * kSubbandCols, pattern);
    fill_pattern(x.im.data(), kSubbandRows * kSubbandCols, below(3) ? pattern : below(kPatterns));
    return x;
}

// The generator's block exponents: the magnitudes of 0 to 40 rows of 1 to
// 32 subbands of a 40 x 64 array from any column ORed into words already
// holding bits (and only those), in every pattern (the largest magnitude of
// every bit length, INT32_MIN's 2^31 too, and all zero).
void check_hf_block_exponent(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_hf_magnitudes == ref.sbr_hf_magnitudes) return;
    constexpr int kRows = kSubbandRows, kCols = kSubbandCols;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            auto [x_re, x_im] = patterned_subbands(pattern);
            const int n = below(4) ? kRows - below(3) : below(kRows + 1);
            const int first = below(kRows - n + 1), col = below(kCols);
            const int32_t* re = x_re.data() + first * kCols + col;
            const int32_t* im = x_im.data() + first * kCols + col;
            const int width = 1 + below(std::min(32, kCols - col));
            Guarded a(width), b(width);
            for (int i = 0; i < width; ++i) a.data()[i] = below(2) ? 0 : static_cast<int32_t>(1u << below(32));
            b = a;
            ref.sbr_hf_magnitudes(re, im, kCols, n, width, reinterpret_cast<uint32_t*>(a.data()));
            var.sbr_hf_magnitudes(re, im, kCols, n, width, reinterpret_cast<uint32_t*>(b.data()));
            if (!same("sbr_hf_magnitudes", "words", {&a}, {&b})) return;
        }
}

// Samples times 2^-s for every s the kernel takes (-31..31): a subband's
// column of a 40 x 64 array (the generator's), and runs of words scaled in
// place (the core's time samples between block scales), in every pattern.
void check_sbr_scale(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_scale == ref.sbr_scale) return;
    constexpr int kRows = kSubbandRows, kCols = kSubbandCols;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            auto [x_re, x_im] = patterned_subbands(pattern);
            const int s = static_cast<int>(below(63)) - 31;
            if (below(2)) {
                const int n = 1 + below(kRows), col = below(kCols);
                Guarded a_re(n), a_im(n), b_re(n), b_im(n);
                ref.sbr_scale(x_re.data() + col, x_im.data() + col, kCols, n, s, a_re.data(), a_im.data());
                var.sbr_scale(x_re.data() + col, x_im.data() + col, kCols, n, s, b_re.data(), b_im.data());
                if (!same("sbr_scale", "column", {&a_re, &a_im}, {&b_re, &b_im})) return;
            } else {
                const int n = 1 + below(below(2) ? 64 : 512), at = below(kRows * kCols - 2 * n);
                Guarded a = x_re, b = x_re;
                ref.sbr_scale(a.data() + at, a.data() + at + n, 1, n, s, a.data() + at, a.data() + at + n);
                var.sbr_scale(b.data() + at, b.data() + at + n, 1, n, s, b.data() + at, b.data() + at + n);
                if (!same("sbr_scale", "run in place", {&a}, {&b})) return;
            }
        }
}

// The adjuster's energies of blocks of 1 to 38 rows and 1 to 48 subbands of
// a 40 x 64 array, at any column, in every pattern (full scale too: the
// block's shift brings the samples to 24 bits); the shift returned too.
void check_sbr_energies(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_energies == ref.sbr_energies) return;
    constexpr int kRows = 40;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            Guarded x_re(kRows * 64), x_im(kRows * 64), a(2 * 48 + 2), b(2 * 48 + 2);
            fill_pattern(x_re.data(), kRows * 64, pattern);
            fill_pattern(x_im.data(), kRows * 64, below(3) ? pattern : below(kPatterns));
            // Quieter blocks too: the shift is then 0.
            if (below(3) == 0)
                for (int32_t* v : {x_re.data(), x_im.data()})
                    for (int i = 0; i < kRows * 64; ++i) v[i] >>= 8 + below(16);
            const int rows = 1 + below(38), count = 1 + below(48), row0 = below(kRows - rows + 1);
            const int col = below(64 - count + 1);
            const int32_t* xr = x_re.data() + 64 * row0 + col;
            const int32_t* xi = x_im.data() + 64 * row0 + col;
            uint64_t ea[48], eb[48];
            const int sa = ref.sbr_energies(xr, xi, rows, count, ea);
            const int sb = var.sbr_energies(xr, xi, rows, count, eb);
            std::memcpy(a.data(), ea, sizeof(uint64_t) * static_cast<size_t>(count));
            std::memcpy(b.data(), eb, sizeof(uint64_t) * static_cast<size_t>(count));
            a.data()[2 * 48] = sa, b.data()[2 * 48] = sb;
            if (!same("sbr_energies", "energies and shift", {&a}, {&b})) return;
        }
}

// The adjuster's logarithms of 0 to 48 values: any 64 bits, small values,
// powers of 2 and their neighbours, sums of energies near 2^56 and 2^63,
// all ones and 0; and every power of 2 with its neighbours, 0 and all ones
// in every lane of runs of every length.
void check_sbr_log2(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_log2 == ref.sbr_log2) return;
    uint64_t edges[3 * 64 + 2];
    for (int k = 0; k < 64; ++k)
        for (int d = 0; d < 3; ++d) edges[3 * k + d] = (UINT64_C(1) << k) + static_cast<uint64_t>(d) - 1;
    edges[3 * 64] = ~UINT64_C(0), edges[3 * 64 + 1] = 0;
    for (int n = 1; n <= 48; ++n)
        for (int at = 0; at + n <= 3 * 64 + 2; at += n) {
            Guarded a(48), b(48);
            ref.sbr_log2(edges + at, n, a.data());
            var.sbr_log2(edges + at, n, b.data());
            if (!same("sbr_log2", "logarithms of powers of 2", {&a}, {&b})) return;
        }
    for (int r = 0; r < 4 * rounds; ++r)
        for (int shape = 0; shape < 6; ++shape) {
            const int n = below(49);
            uint64_t v[48];
            for (int i = 0; i < n; ++i) {
                const uint64_t any = (static_cast<uint64_t>(next()) << 32) | next();
                const int kind = below(8) == 0 ? below(6) : shape;
                switch (kind) {
                case 0: v[i] = any; break;
                case 1: v[i] = 1 + (any >> (32 + below(32))); break;
                case 2: v[i] = (UINT64_C(1) << below(64)) + static_cast<uint64_t>(below(3)) - 1; break;
                case 3: v[i] = (UINT64_C(1) << 56) + (any >> below(64)); break;
                case 4: v[i] = any >> below(64); break;
                default: v[i] = below(2) ? ~UINT64_C(0) : 0; break;
                }
            }
            Guarded a(48), b(48);
            ref.sbr_log2(v, n, a.data());
            var.sbr_log2(v, n, b.data());
            if (!same("sbr_log2", "logarithms", {&a}, {&b})) return;
        }
}

// The adjuster's exponentials of 0 to 48 values: any 32 bits, the levels'
// usual range, fractions of all ones or of one bit, whole numbers, and the
// extremes.
void check_sbr_exp2(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_exp2 == ref.sbr_exp2) return;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int shape = 0; shape < 6; ++shape) {
            const int n = below(49);
            int32_t l[48];
            for (int i = 0; i < n; ++i) {
                const int32_t whole = below(160) - 80;
                const int kind = below(8) == 0 ? below(6) : shape;
                switch (kind) {
                case 0: l[i] = static_cast<int32_t>(next()); break;
                case 1: l[i] = static_cast<int32_t>(static_cast<uint32_t>(whole) << 24) + static_cast<int32_t>(next() >> 8); break;
                case 2: l[i] = static_cast<int32_t>(static_cast<uint32_t>(whole) << 24) | 0xffffff; break;
                case 3: l[i] = static_cast<int32_t>(static_cast<uint32_t>(whole) << 24) | (1 << below(24)); break;
                case 4: l[i] = static_cast<int32_t>(static_cast<uint32_t>(whole) << 24); break;
                default: l[i] = below(2) ? INT32_MAX : INT32_MIN; break;
                }
            }
            Guarded a(96), b(96);
            ref.sbr_exp2(l, n, reinterpret_cast<SbrLin*>(a.data()));
            var.sbr_exp2(l, n, reinterpret_cast<SbrLin*>(b.data()));
            if (!same("sbr_exp2", "exponentials", {&a}, {&b})) return;
        }
}

// Sums of 0 to 48 terms over up to 8 owners, in runs (as the adjuster lists
// them) or in any order, counts 1 to 127, from the reference's exponentials
// of differences anywhere in (-56, 0] (Q24), its ends and whole numbers
// often.
void check_sbr_add_terms(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_add_terms == ref.sbr_add_terms) return;
    constexpr int32_t kCut = -56 * (INT32_C(1) << 24);
    for (int r = 0; r < 8 * rounds; ++r) {
        const int n = below(49);
        const bool runs = below(2) == 0;
        int32_t d[48];
        SbrLin t[48];
        uint8_t count[48], owner[48];
        int o = 0;
        for (int i = 0; i < n; ++i) {
            const int kind = below(6);
            d[i] = kind == 0 ? kCut + 1 + below(2)
                   : kind == 1 ? -below(3)
                   : kind == 2 ? -static_cast<int32_t>(static_cast<uint32_t>(below(56)) << 24)
                               : -static_cast<int32_t>(next() % (56u << 24));
            count[i] = static_cast<uint8_t>(1 + below(127));
            if (runs) o += below(3) == 0 ? 1 : 0;
            owner[i] = static_cast<uint8_t>(runs ? o % 8 : below(8));
        }
        ref.sbr_exp2(d, n, t);
        uint64_t a[8], b[8];
        for (int k = 0; k < 8; ++k) a[k] = b[k] = static_cast<uint64_t>(next()) << below(32);
        ref.sbr_add_terms(t, count, owner, n, a);
        var.sbr_add_terms(t, count, owner, n, b);
        ++checks;
        if (std::memcmp(a, b, sizeof a) != 0) {
            std::printf("FAIL %s: sums differ (n %d)\n", variant_name("sbr_add_terms").c_str(), n);
            ++failures;
            return;
        }
    }
}

// A level for sbr_apply: a mantissa in [2^30, 2^31) (its ends too) and an
// exponent whose shift (base - e) is any from below 0 to beyond 62, the
// edges 0, 1, 30, 31, 62 and 63 often, and now and then a silenced one.
SbrLin random_level(int base) {
    const int kind = below(8);
    const int32_t m = kind == 0 ? INT32_C(1) << 30 : kind == 1 ? INT32_MAX : (INT32_C(1) << 30) | (next() >> 2);
    static const int kShifts[] = {0, 1, 30, 31, 62, 63};
    const int e = below(4) == 0 ? base - kShifts[below(6)] : below(16) == 0 ? -200 : base - (below(100) - 20);
    return SbrLin{m, e};
}

// Gains and noise on blocks of 1 to 38 rows and 1 to 48 subbands of a
// 40 x 64 array in every pattern, with noise or without, from every place
// of the noise table (its wrap too), and levels of every shift; sometimes
// one level for all subbands, or levels whose shifts all lie in 1..62.
void check_sbr_apply(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.sbr_apply == ref.sbr_apply) return;
    constexpr int kRows = 40;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            Guarded ya_re(kRows * 64), ya_im(kRows * 64);
            fill_pattern(ya_re.data(), kRows * 64, pattern);
            fill_pattern(ya_im.data(), kRows * 64, below(3) ? pattern : below(kPatterns));
            Guarded yb_re = ya_re, yb_im = ya_im;
            SbrLin gain[48], noise[48];
            const int plain = below(3);  // 0: any shifts, 1: 1..62, 2: one level
            for (int i = 0; i < 48; ++i) {
                gain[i] = random_level(30), noise[i] = random_level(61);
                if (plain == 1) {
                    gain[i].e = 30 - (1 + below(62));
                    noise[i].e = below(8) ? 61 - (1 + below(62)) : -200;
                } else if (plain == 2 && i) {
                    gain[i] = gain[0], noise[i] = noise[0];
                }
            }
            const int rows = 1 + below(38), count = 1 + below(48), row0 = below(kRows - rows + 1);
            const int col = below(64 - count + 1);
            const int noise_index = below(4) ? below(512) : 511 - below(8);
            const bool with_noise = below(4) != 0;
            const int at = 64 * row0 + col;
            ref.sbr_apply(ya_re.data() + at, ya_im.data() + at, rows, count, gain, with_noise ? noise : nullptr,
                          noise_index);
            var.sbr_apply(yb_re.data() + at, yb_im.data() + at, rows, count, gain, with_noise ? noise : nullptr,
                          noise_index);
            if (!same("sbr_apply", with_noise ? "gains and noise" : "gains", {&ya_re, &ya_im}, {&yb_re, &yb_im}))
                return;
        }
}

// The hybrid analysis: both configurations' band layouts (10 bands from
// QMF bands 0..2, 32 from 0..4), whole or from their second band (a QMF
// band's bands then of odd count), with the filters' own coefficients or
// any (INT32_MIN excepted), on windows of any values.
void check_ps_hybrid(const Kernels& ref, const Kernels& var, int rounds) {
    // (A build without SBR has no PS tables, and no PS entry.)
    if constexpr (kSbrBuilt) {
        if (var.ps_hybrid == ref.ps_hybrid) return;
        for (int r = 0; r < rounds; ++r)
            for (const PsConfigTables* cfg : {&ps_config_20, &ps_config_34}) {
                std::vector<int32_t> own(static_cast<size_t>(cfg->num_hybrid) * 26);
                fill(own.data(), static_cast<int>(own.size()));
                for (int32_t& c : own) c = c == INT32_MIN ? INT32_MAX : c;
                const bool table = below(2) == 0;
                const int32_t(*coef)[13][2] =
                    table ? cfg->hybrid_coef : reinterpret_cast<const int32_t(*)[13][2]>(own.data());
                Guarded x_re(13 * 5), x_im(13 * 5);
                fill(x_re.data(), 13 * 5);
                fill(x_im.data(), 13 * 5);
                const int32_t* rows_re[13];
                const int32_t* rows_im[13];
                for (int j = 0; j < 13; ++j) rows_re[j] = x_re.data() + 5 * j, rows_im[j] = x_im.data() + 5 * j;
                const int k0 = below(2), n = cfg->num_hybrid - k0;
                Guarded a_re(n), a_im(n), b_re(n), b_im(n);
                ref.ps_hybrid(coef + k0, cfg->hybrid_qmf + k0, n, rows_re, rows_im, a_re.data(), a_im.data());
                var.ps_hybrid(coef + k0, cfg->hybrid_qmf + k0, n, rows_re, rows_im, b_re.data(), b_im.data());
                if (!same("ps_hybrid", table ? "filters" : "any coefficients", {&a_re, &a_im}, {&b_re, &b_im})) return;
            }
    }
}

// Noise bands of every width up to the widest (mostly multiples of four, as
// the band tables have them), at energies that reach every scale (the
// saturating ones and the flushes to zero among them), into a buffer
// whose other words must stay as they were; and an all-zero draw.
void check_noise_lines(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.noise_lines == ref.noise_lines) return;
    // The seed whose next draw is 0 (the generator run one step back).
    uint32_t inverse = kNoiseMul;
    for (int i = 0; i < 5; ++i) inverse *= 2u - kNoiseMul * inverse;
    const uint32_t to_zero = (0x5a5a0000u - kNoiseAdd) * inverse;
    for (int r = 0; r < 40 * rounds; ++r) {
        const int n = below(4) ? 4 * (1 + below(kMaxNoiseLines / 4)) : 1 + below(kMaxNoiseLines);
        const int16_t energy = static_cast<int16_t>(below(4) ? below(160) - 20 : below(1200) - 600);
        const uint32_t seed = r == 0 ? to_zero : next();
        Guarded a(kMaxNoiseLines), b(kMaxNoiseLines);
        fill(a.data(), kMaxNoiseLines);
        b = a;
        const int at = below(kMaxNoiseLines - n + 1);
        ref.noise_lines(a.data() + at, r == 0 ? 1 : n, energy, seed);
        var.noise_lines(b.data() + at, r == 0 ? 1 : n, energy, seed);
        if (!same("noise_lines", r == 0 ? "zero draw" : "band", {&a}, {&b})) return;
    }
}

// Mid/side over runs of every length up to a long block's (the variants'
// last lines of a run are the reference's), in every pattern: the limits
// reach both saturations.
void check_mid_side(const Kernels& ref, const Kernels& var, int rounds) {
    if (var.mid_side == ref.mid_side) return;
    for (int r = 0; r < 4 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            const int n = below(4) ? 4 * below(257) : below(1025);
            Guarded l_a(1024), r_a(1024);
            fill_pattern(l_a.data(), 1024, pattern);
            fill_pattern(r_a.data(), 1024, below(2) ? pattern : below(kPatterns));
            Guarded l_b = l_a, r_b = r_a;
            const int at = below(1024 - n + 1);
            ref.mid_side(l_a.data() + at, r_a.data() + at, n);
            var.mid_side(l_b.data() + at, r_b.data() + at, n);
            if (!same("mid_side", "run", {&l_a, &r_a}, {&l_b, &r_b})) return;
        }
}

// TNS's all-pole filter: every order up to the longest (those past the
// variants' own taps included), runs of every length up to a long block's
// (within, at and past a block of 64), both directions, coefficients and
// lines in every shape: the limits make the 64-bit sums wrap and the
// rounded sum and the output saturate. The coefficients 2^23 alone with
// lines of 1 put each sum on a rounding half.
void check_tns_filter(const Kernels& ref, const Kernels& var, int rounds) {
    if (!var.tns_filter || var.tns_filter == ref.tns_filter) return;
    for (int r = 0; r < 8 * rounds; ++r)
        for (int order = 1; order <= kTnsMaxOrder; ++order) {
            const int n = below(4) ? below(200) : below(1025);
            int32_t a[kTnsMaxOrder + 1];
            fill(a, kTnsMaxOrder + 1);
            Guarded x_a(1024);
            fill(x_a.data(), 1024);
            if (r == 0)
                for (int j = 0; j <= kTnsMaxOrder; ++j) a[j] = INT32_C(1) << 23;
            if (r == 0)
                for (int i = 0; i < 1024; ++i) x_a.data()[i] = 1 - 2 * (i & 1);
            Guarded x_b = x_a;
            const int at = below(1024 - n + 1);
            const int inc = below(2) ? 1 : -1;
            ref.tns_filter(x_a.data() + at, n, inc, a, order);
            var.tns_filter(x_b.data() + at, n, inc, a, order);
            if (!same("tns_filter", inc > 0 ? "upward" : "downward", {&x_a}, {&x_b})) return;
        }
}

// SBR output slots to 16-bit PCM: both widths of a slot and shorter runs,
// strides of one to six samples, values in every shape (both saturations),
// some rounds with values next to each limit of the rounding and the
// saturations (the saturating addition's edge at INT32_MAX - 2048 and the
// last values that round into 16 bits); the samples between the strided
// ones stay untouched.
void check_sbr_pcm16(const Kernels& ref, const Kernels& var, int rounds) {
    if (!var.sbr_pcm16 || var.sbr_pcm16 == ref.sbr_pcm16) return;
    static constexpr int32_t kEdges[] = {INT32_MAX - 2048, 32767 * 4096 + 2047, -32768 * 4096 - 2048, 2047, -2048};
    for (int r = 0; r < 20 * rounds; ++r) {
        const int n = below(2) ? (below(2) ? 32 : 64) : 4 * (1 + below(16));
        const int step = 1 + below(6);
        Guarded v(64), a(64 * 6 / 2), b(64 * 6 / 2);
        fill(v.data(), 64);
        if (below(4) == 0)
            for (int i = 0; i < 64; ++i)
                if (below(2)) v.data()[i] = kEdges[below(5)] + below(3) - 1;
        fill(a.data(), a.size());
        b = a;
        const int at = below(2);
        ref.sbr_pcm16(reinterpret_cast<int16_t*>(a.data()) + at, step, v.data(), n);
        var.sbr_pcm16(reinterpret_cast<int16_t*>(b.data()) + at, step, v.data(), n);
        if (!same("sbr_pcm16", "slot", {&a}, {&b})) return;
    }
}

// The downmix's sums of subband samples: rows of every width up to 64 (tails
// of every length), gains at their edges (0, +-1, +-2^30 and next to them)
// and anywhere in [-2^30, 2^30], samples and sums in every pattern (both
// saturations of the sums, and of the product alone at -2^30), added row
// after row; the words beyond each row's width stay untouched.
void check_mix_rows(const Kernels& ref, const Kernels& var, int rounds) {
    if (!var.mix_rows || var.mix_rows == ref.mix_rows) return;
    constexpr int32_t kUnit = INT32_C(1) << 30;
    static constexpr int32_t kGains[] = {0, 1, -1, kUnit, -kUnit, kUnit - 1, -kUnit + 1, kUnit / 2};
    for (int r = 0; r < 2 * rounds; ++r)
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            const int rows = 1 + below(3);
            const int width = below(2) ? 64 >> below(2) : below(65);
            const int32_t gain = below(2) ? kGains[below(8)]
                                          : static_cast<int32_t>(next() % (2u * kUnit + 1u)) - kUnit;
            Guarded x(64 * rows), a(64 * rows), b(64 * rows);
            fill_pattern(x.data(), x.size(), pattern);
            fill_pattern(a.data(), a.size(), below(kPatterns));
            b = a;
            ref.mix_rows(a.data(), x.data(), rows, width, gain);
            var.mix_rows(b.data(), x.data(), rows, width, gain);
            if (!same("mix_rows", "sums", {&a}, {&b})) return;
        }
}

// The all-pass decorrelator: both configurations, runs from the first band
// and from the first QMF band to the end of the all-pass bands or to any
// band (tails of every length), the tables' coefficients or any
// (INT32_MIN excepted), delay lines and samples in every pattern, slot
// after slot; the decorrelated samples and every delay line compared.
void check_ps_allpass(const Kernels& ref, const Kernels& var, int rounds) {
    // (A build without SBR has no PS tables, and no PS entry.)
    if constexpr (kSbrBuilt) {
        if (var.ps_allpass == ref.ps_allpass) return;
        constexpr int kRows = 8, kBands = 50;  // pre, links 0..2, re and im of each
        for (int r = 0; r < 2 * rounds; ++r)
            for (const PsConfigTables* cfg : {&ps_config_20, &ps_config_34})
                for (int pattern = 0; pattern < kPatterns; ++pattern) {
                    const int nap = cfg->allpass_bands;
                    const int k0 = below(3) == 0 ? below(nap) : (below(2) ? 0 : cfg->num_hybrid);
                    const int n = below(2) ? (k0 < cfg->num_hybrid ? cfg->num_hybrid : nap) - k0 : below(nap - k0 + 1);
                    std::vector<int32_t> own(static_cast<size_t>(kPsAllpassRows * nap));
                    fill(own.data(), static_cast<int>(own.size()));
                    for (int32_t& c : own) c = c == INT32_MIN ? -INT32_MAX : c;
                    const bool table = below(2) == 0;
                    const int32_t* coef = (table ? cfg->allpass : own.data()) + k0;
                    Guarded lines_a(kRows * kBands), lines_b(kRows * kBands);
                    fill_pattern(lines_a.data(), kRows * kBands, below(2) ? pattern : 0);
                    lines_b = lines_a;
                    auto rows_of = [&](Guarded& g) {
                        int32_t* z = g.data() + k0;
                        return PsAllpassRows{{z, z + kBands},
                                             {{z + 2 * kBands, z + 3 * kBands},
                                              {z + 4 * kBands, z + 5 * kBands},
                                              {z + 6 * kBands, z + 7 * kBands}}};
                    };
                    for (int slot = 0; slot < 3; ++slot) {
                        Guarded s_re(n), s_im(n), da_re(n), da_im(n), db_re(n), db_im(n);
                        fill_pattern(s_re.data(), n, pattern);
                        fill_pattern(s_im.data(), n, below(3) ? pattern : below(kPatterns));
                        ref.ps_allpass(rows_of(lines_a), coef, nap, n, s_re.data(), s_im.data(), da_re.data(), da_im.data());
                        var.ps_allpass(rows_of(lines_b), coef, nap, n, s_re.data(), s_im.data(), db_re.data(), db_im.data());
                        if (!same("ps_allpass", table ? "bands" : "any coefficients", {&da_re, &da_im, &lines_a},
                                  {&db_re, &db_im, &lines_b}))
                            return;
                    }
                }
        // Delay lines and samples about +-2^27 .. 2^30, where the AVX2
        // variant's plain steps (for blocks whose entries are all within
        // 2^27) meet its saturating ones, chained over slots (the lines
        // grow past the bound or stay within it); the tables' coefficients
        // or ones of the largest magnitude, of any signs; or the chain's
        // worst case: every rotation (1 - j) and every link's gain -1, all
        // entries and samples of a band b - 1 or -b, so that each term of
        // each sum adds to the others' (from b = 2^28 on, the last link
        // saturates).
        for (int r = 0; r < 3 * rounds; ++r)
            for (const PsConfigTables* cfg : {&ps_config_20, &ps_config_34}) {
                const int nap = cfg->allpass_bands;
                // Powers of 2, or anywhere between 2^27 and 2^30 (a plain
                // steps' bound set too high fails first at about 3 x 2^27).
                const int32_t bound = below(2) ? INT32_C(1) << (27 + below(4)) : (INT32_C(1) << 27) + below(7 << 27);
                const int mode = r % 3;
                std::vector<int32_t> own(static_cast<size_t>(kPsAllpassRows * nap));
                for (int row = 0; row < kPsAllpassRows; ++row)
                    for (int k = 0; k < nap; ++k)
                        own[static_cast<size_t>(row * nap + k)] =
                            mode == 1 ? (below(2) ? INT32_MAX : -INT32_MAX)
                                      : (row < kPsLinkAg0 && (row - kPsPhiRe) % 2 == 0 ? INT32_MAX : -INT32_MAX);
                const int32_t* coef = mode == 0 ? cfg->allpass : own.data();
                std::vector<int32_t> sign(static_cast<size_t>(nap));
                for (int32_t& v : sign) v = below(2) ? bound - 1 : -bound;
                auto fill_lines = [&](int32_t* v, int n, int stride) {
                    if (mode < 2) return fill_near(v, n, bound);
                    for (int i = 0; i < n; ++i) v[i] = i % stride < nap ? sign[static_cast<size_t>(i % stride)] : 0;
                };
                Guarded lines_a(kRows * kBands), lines_b(kRows * kBands);
                fill_lines(lines_a.data(), kRows * kBands, kBands);
                lines_b = lines_a;
                auto rows_of = [&](Guarded& g) {
                    int32_t* z = g.data();
                    return PsAllpassRows{
                        {z, z + kBands},
                        {{z + 2 * kBands, z + 3 * kBands}, {z + 4 * kBands, z + 5 * kBands}, {z + 6 * kBands, z + 7 * kBands}}};
                };
                for (int slot = 0; slot < 8; ++slot) {
                    Guarded s_re(nap), s_im(nap), da_re(nap), da_im(nap), db_re(nap), db_im(nap);
                    fill_lines(s_re.data(), nap, nap);
                    fill_lines(s_im.data(), nap, nap);
                    ref.ps_allpass(rows_of(lines_a), coef, nap, nap, s_re.data(), s_im.data(), da_re.data(),
                                   da_im.data());
                    var.ps_allpass(rows_of(lines_b), coef, nap, nap, s_re.data(), s_im.data(), db_re.data(),
                                   db_im.data());
                    if (!same("ps_allpass", "lines about the plain steps' bound", {&da_re, &da_im, &lines_a},
                              {&db_re, &db_im, &lines_b}))
                        return;
                }
            }
    }
}

// The transient detector's energies: both configurations' band layouts,
// hybrid bands (each of its own parameter band or not) and QMF bands (runs
// of one), from any band to any, samples in every pattern (full scale: the
// squares reach 2^62), added to energies of any 64 bits (wrapping); the
// energies and the squares' OR compared.
void check_ps_energies(const Kernels& ref, const Kernels& var, int rounds) {
    if constexpr (kSbrBuilt) {
        if (var.ps_energies == ref.ps_energies) return;
        for (int r = 0; r < 2 * rounds; ++r)
            for (const PsConfigTables* cfg : {&ps_config_20, &ps_config_34})
                for (int pattern = 0; pattern < kPatterns; ++pattern) {
                    const bool hybrid = below(2) == 0;
                    const int k0 = hybrid ? 0 : cfg->num_hybrid + (below(3) ? 0 : below(8));
                    const int end = hybrid ? cfg->num_hybrid : cfg->num_bands;
                    const int n = below(2) ? end - k0 : below(end - k0 + 1);
                    Guarded s(2 * n), ea(2 * 34 + 2), eb(2 * 34 + 2);
                    fill_pattern(s.data(), 2 * n, pattern);
                    fill(ea.data(), 2 * 34);
                    eb = ea;
                    const uint8_t* par = cfg->par_band + k0;
                    uint64_t seen[2];
                    seen[0] = ref.ps_energies(s.data(), s.data() + n, par, n, reinterpret_cast<uint64_t*>(ea.data()));
                    seen[1] = var.ps_energies(s.data(), s.data() + n, par, n, reinterpret_cast<uint64_t*>(eb.data()));
                    std::memcpy(ea.data() + 2 * 34, &seen[0], 8);
                    std::memcpy(eb.data() + 2 * 34, &seen[1], 8);
                    if (!same("ps_energies", hybrid ? "hybrid bands" : "QMF bands", {&ea}, {&eb})) return;
                }
    }
}

// The gain and the mixing: both configurations' band layouts (hybrid bands
// with their negative-frequency ones, QMF bands in runs of one parameter
// band), with and without phase, in place or not, any run length;
// matrices and samples in every pattern, gains from 0 to 1.0.
void check_ps_mix(const Kernels& ref, const Kernels& var, int rounds) {
    // (A build without SBR has no PS tables, and no PS entry.)
    if constexpr (kSbrBuilt) {
        if (var.ps_mix == ref.ps_mix) return;
        for (int r = 0; r < 2 * rounds; ++r)
            for (const PsConfigTables* cfg : {&ps_config_20, &ps_config_34})
                for (int pattern = 0; pattern < kPatterns; ++pattern) {
                    const bool phase = below(2) == 0, in_place = below(2) == 0;
                    // With phase, parameter bands below the phase bands' count.
                    int k0 = 0, n = cfg->num_hybrid;
                    if (below(2)) {
                        k0 = cfg->num_hybrid;
                        n = 0;
                        if (phase)
                            while (cfg->par_band[k0 + n] < cfg->num_ipdopd) ++n;
                        else
                            n = cfg->num_bands - k0;
                        n = below(2) ? n : below(n + 1);
                        if (!phase && below(2)) k0 += below(cfg->num_bands - k0 - n + 1);
                    }
                    Guarded matrices(9 * 34), s(2 * n), d(2 * n), la(2 * n), lb(2 * n), ra(2 * n), rb(2 * n);
                    // The first round all in the pattern, gains 1.0: with
                    // INT32_MIN everywhere the sums reach 2^63 (and wrap).
                    const bool whole = r == 0;
                    fill_pattern(matrices.data(), 9 * 34, whole || below(2) ? pattern : 0);
                    int32_t* gain = matrices.data() + 8 * 34;
                    for (int b = 0; b < 34; ++b) {
                        const int kind = whole ? 1 : below(4);
                        gain[b] = kind == 0 ? 0 : kind == 1 ? 1 << 30 : static_cast<int32_t>(next() >> 2) % ((1 << 30) + 1);
                    }
                    fill_pattern(s.data(), 2 * n, pattern);
                    fill_pattern(d.data(), 2 * n, whole || below(3) ? pattern : below(kPatterns));
                    const int32_t* h = matrices.data();
                    PsMixParams m{gain, {h, h + 34, h + 68, h + 102}, {}};
                    if (phase) m.hi[0] = h + 136, m.hi[1] = h + 170, m.hi[2] = h + 204, m.hi[3] = h + 238;
                    if (in_place) la = s, lb = s;
                    const int32_t* sa = in_place ? la.data() : s.data();
                    const int32_t* sb = in_place ? lb.data() : s.data();
                    const uint8_t* par = cfg->par_band + k0;
                    const uint8_t* neg = cfg->neg_phase + k0;
                    ref.ps_mix(m, par, neg, n, sa, sa + n, d.data(), d.data() + n, la.data(), la.data() + n, ra.data(),
                               ra.data() + n);
                    var.ps_mix(m, par, neg, n, sb, sb + n, d.data(), d.data() + n, lb.data(), lb.data() + n, rb.data(),
                               rb.data() + n);
                    if (!same("ps_mix", phase ? "with phase" : "without phase", {&la, &ra}, {&lb, &rb})) return;
                }
        // Samples about +-2^27 .. 2^30 (the AVX2 variant's plain narrowing
        // for blocks within 2^27), matrices and gains of any value, or of
        // the largest magnitudes and any signs (the sums nearest the
        // limits).
        for (int r = 0; r < 4 * rounds; ++r)
            for (const PsConfigTables* cfg : {&ps_config_20, &ps_config_34}) {
                const bool phase = below(2) == 0;
                const int n = phase ? cfg->num_hybrid : cfg->num_bands;
                const int32_t bound = INT32_C(1) << (27 + below(4));
                Guarded matrices(9 * 34), s(2 * n), d(2 * n), la(2 * n), lb(2 * n), ra(2 * n), rb(2 * n);
                fill_pattern(matrices.data(), 9 * 34, below(kPatterns));
                if (below(2)) fill(matrices.data(), 9 * 34);
                if (below(2))
                    for (int i = 0; i < 9 * 34; ++i) matrices.data()[i] = below(2) ? INT32_MAX : INT32_MIN + below(2);
                fill_near(s.data(), 2 * n, bound);
                fill_near(d.data(), 2 * n, bound);
                const int32_t* h = matrices.data();
                PsMixParams m{h + 8 * 34, {h, h + 34, h + 68, h + 102}, {}};
                if (phase) m.hi[0] = h + 136, m.hi[1] = h + 170, m.hi[2] = h + 204, m.hi[3] = h + 238;
                ref.ps_mix(m, cfg->par_band, cfg->neg_phase, n, s.data(), s.data() + n, d.data(), d.data() + n,
                           la.data(), la.data() + n, ra.data(), ra.data() + n);
                var.ps_mix(m, cfg->par_band, cfg->neg_phase, n, s.data(), s.data() + n, d.data(), d.data() + n,
                           lb.data(), lb.data() + n, rb.data(), rb.data() + n);
                if (!same("ps_mix", "samples about the plain narrowing's bound", {&la, &ra}, {&lb, &rb})) return;
            }
    }
}

// The matrices' step: any length (tails of every length), values and steps
// in every pattern (wrapping at both ends).
void check_ps_step(const Kernels& ref, const Kernels& var, int rounds) {
    if constexpr (kSbrBuilt) {
        if (var.ps_step == ref.ps_step) return;
        for (int r = 0; r < 2 * rounds; ++r)
            for (int pattern = 0; pattern < kPatterns; ++pattern) {
                const int n = below(3) ? 4 * 34 - below(8) : below(4 * 34 + 1);
                Guarded ha(n), hb(n), step(n);
                fill_pattern(ha.data(), n, pattern);
                fill_pattern(step.data(), n, below(3) ? pattern : below(kPatterns));
                hb = ha;
                for (int slot = 0; slot < 3; ++slot) {
                    ref.ps_step(ha.data(), step.data(), n);
                    var.ps_step(hb.data(), step.data(), n);
                    if (!same("ps_step", "matrices", {&ha}, {&hb})) return;
                }
            }
    }
}

// The transient detector's division at its edges, both kernels' gains
// against the 64-bit division of the formula on the state they leave: the
// denominator at and just above smooth, exactly 2^31 - 1 or 2^30 after its
// shift, smooth 0, the largest smooth and difference, small denominators,
// and every shift with smooth just below the denominator or anywhere under
// it. Each band reaches its case in one slot: smooth equal to the energy
// (it stays), peak 0, and the difference that decays to its target (a few
// bands decay from the largest peak instead).
void check_ps_transient_edges(const Kernels& ref, const Kernels& var) {
    auto den_of = [](uint64_t diff) { return diff + (diff >> 1); };
    // The difference whose update toward 0 gives d: x - x / 4 takes every
    // value as x goes up.
    auto before_decay = [](uint64_t d) {
        uint64_t x = d / 3 * 4;
        while (x - (x >> 2) < d) ++x;
        return x;
    };
    // (diff, smooth) after the slot, the denominator den or just above; only
    // where the state before it stays below 2^63.
    std::vector<std::pair<uint64_t, uint64_t>> cases;
    auto around = [&](uint64_t den, uint64_t smooth_below) {
        if (den >= (UINT64_C(9) << 60)) return;
        uint64_t diff = den / 3 * 2;
        while (den_of(diff) < den) ++diff;
        const uint64_t d = den_of(diff);
        for (const uint64_t s : {d, d - 1, d - 2, smooth_below, uint64_t{0}, d / 2})
            if (s <= d) cases.push_back({diff, s});
    };
    for (const uint64_t den : {UINT64_C(1), UINT64_C(2), UINT64_C(3), UINT64_C(5), UINT64_C(0x3fffffff),
                               UINT64_C(0x40000000), UINT64_C(0x40000001), UINT64_C(0x7ffffffe), UINT64_C(0x7fffffff),
                               UINT64_C(0x80000000), UINT64_C(0x80000001), UINT64_C(0xffffffff)})
        around(den, den - 1);
    for (int sh = 1; sh <= 33; ++sh) {
        const uint64_t hi = UINT64_C(0x7fffffff) << sh, lo = UINT64_C(0x40000000) << sh;
        around(hi, hi - 1);
        around(hi + (UINT64_C(1) << sh) - 1, hi);
        around(lo, lo - 1);
        const uint64_t r = static_cast<uint64_t>(next()) << 32 | next();
        around(lo + r % lo, (r >> 7) % lo);
    }
    // The largest: a difference from just below 2^63, smooth up to 2^63 - 1.
    const uint64_t top = (UINT64_C(1) << 63) - 1, big = top - (top >> 2);
    for (const uint64_t s : {top, top - 1, den_of(big) - 1, uint64_t{0}}) cases.push_back({big, s});
    const size_t decaying = cases.size();
    for (int i = 0; i < 4; ++i) cases.push_back({top - static_cast<uint64_t>(i), top - 1});
    for (const int chunk : {34, 33}) {
        for (size_t first = 0; first < cases.size(); first += static_cast<size_t>(chunk)) {
            const int n = static_cast<int>(std::min(cases.size() - first, static_cast<size_t>(chunk)));
            Guarded state_a(6 * n), state_b(6 * n), energy(2 * n), ga(n), gb(n), expect(n);
            uint64_t* sa = reinterpret_cast<uint64_t*>(state_a.data());
            uint64_t* e = reinterpret_cast<uint64_t*>(energy.data());
            for (int b = 0; b < n; ++b) {
                const size_t c = first + static_cast<size_t>(b);
                const auto [diff, smooth] = cases[c];
                if (c < decaying) {
                    sa[b] = 0;  // peak
                    e[b] = sa[n + b] = smooth;
                    sa[2 * n + b] = before_decay(diff);
                } else {
                    sa[b] = diff;  // the largest peak, decaying
                    e[b] = 0;
                    sa[n + b] = smooth;
                    sa[2 * n + b] = diff;
                }
            }
            state_b = state_a;
            uint64_t* sb = reinterpret_cast<uint64_t*>(state_b.data());
            ref.ps_transient(sa, sa + n, sa + 2 * n, e, n, ga.data());
            var.ps_transient(sb, sb + n, sb + 2 * n, e, n, gb.data());
            if (!same("ps_transient", "edge gains and state", {&ga, &state_a}, {&gb, &state_b})) return;
            for (int b = 0; b < n; ++b) {
                const size_t c = first + static_cast<size_t>(b);
                if (c < decaying && (sa[n + b] != cases[c].second || sa[2 * n + b] != cases[c].first)) {
                    std::printf("FAIL ps_transient edge case %zu: not reached\n", c);
                    return void(++failures);
                }
                const uint64_t smooth = sa[n + b], den = den_of(sa[2 * n + b]);
                int32_t g = 1 << 30;
                if (den > smooth) {
                    int sh = 0;
                    while ((den >> sh) >= (UINT64_C(1) << 31)) ++sh;
                    const uint64_t d = den >> sh;
                    g = static_cast<int32_t>((((smooth >> sh) << 30) + d / 2) / d);
                }
                expect.data()[b] = g;
            }
            if (!same("ps_transient", "edge gains against the division", {&expect}, {&ga})) return;
        }
    }
}

// The transient detector: any band count (odd ones too), slot after slot
// from the same state; energies, peaks and smoothed values from 0 to
// 2^63 - 1 at every scale, equal in runs (peaks that stay, energies that
// match the decayed peak), so that no band, some or all need the division
// and the denominator shifts or not; the gains and every state word compared.
void check_ps_transient(const Kernels& ref, const Kernels& var, int rounds) {
    if constexpr (kSbrBuilt) {
        if (var.ps_transient == ref.ps_transient) return;
        auto value = [](int kind) -> uint64_t {
            const uint64_t v = (static_cast<uint64_t>(next()) << 32 | next()) >> 1;
            switch (kind) {
            case 0: return 0;
            case 1: return v >> (below(2) ? 30 + below(33) : below(63));
            case 2: return (UINT64_C(1) << 63) - 1 - static_cast<uint64_t>(below(4));
            default: return v;
            }
        };
        for (int r = 0; r < 4 * rounds; ++r)
            for (int pattern = 0; pattern < kPatterns; ++pattern) {
                const int n = below(2) ? (below(2) ? 20 : 34) : 1 + below(34);
                Guarded state_a(6 * n), state_b(6 * n), energy(2 * n), ga(n), gb(n);
                auto u64 = [](Guarded& g) { return reinterpret_cast<uint64_t*>(g.data()); };
                uint64_t* sa = u64(state_a);
                const int kind = pattern % 4;
                for (int i = 0; i < 3 * n; ++i) sa[i] = value(below(4) ? kind : below(4));
                state_b = state_a;
                for (int slot = 0; slot < 6; ++slot) {
                    uint64_t* e = u64(energy);
                    for (int b = 0; b < n; ++b) {
                        const int how = below(8);
                        e[b] = how == 0   ? fx::mul_u64_q31(sa[b], ps_peak_decay_q31)
                               : how == 1 ? sa[b]
                               : how < 4  ? (b ? e[b - 1] : 0)
                                          : value(below(3) ? kind : below(4));
                    }
                    uint64_t* sb = u64(state_b);
                    ref.ps_transient(sa, sa + n, sa + 2 * n, e, n, ga.data());
                    var.ps_transient(sb, sb + n, sb + 2 * n, e, n, gb.data());
                    if (!same("ps_transient", "gains and state", {&ga, &state_a}, {&gb, &state_b})) return;
                }
            }
        check_ps_transient_edges(ref, var);
    }
}

// ---- spectral Huffman decoder ----

// The words the get-bits callback gives: a run of random words, the same
// for the reference and the variant (huffman_source_at restarts it).
uint32_t huffman_source_state;
uint16_t huffman_source_words[kDecFifoRefillRequest];
uint16_t huffman_source(int request, const uint16_t** words) {
    uint32_t x = huffman_source_state;
    for (int i = 0; i < request; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        huffman_source_words[i] = static_cast<uint16_t>(x >> 8);
    }
    huffman_source_state = x;
    *words = huffman_source_words;
    return static_cast<uint16_t>(request);
}

// A stream word of one of the bit shapes: random, mostly ones (long
// codewords, escapes with long prefixes, damaged ones), mostly zeros, or a
// run of ones or zeros.
uint16_t stream_word(int shape) {
    switch (shape) {
    case 0: return static_cast<uint16_t>(next());
    case 1: return static_cast<uint16_t>(next() | next() | (below(2) ? next() : 0));
    case 2: return static_cast<uint16_t>(next() & next());
    default: return below(2) ? 0xFFFF : 0;
    }
}

// A FIFO, its buffer and the decoder's output, compared whole.
struct HuffmanRun {
    std::vector<uint16_t> words;
    DecFifo fifo{};
    Guarded quant{512};  // 1024 values
    bool ok = false;
};

// The FIFO's state beside the words: positions, cache and status.
bool same_fifo(const HuffmanRun& a, const HuffmanRun& b) {
    return a.fifo.read_ptr - a.fifo.buffer == b.fifo.read_ptr - b.fifo.buffer &&
           a.fifo.write_ptr - a.fifo.buffer == b.fifo.write_ptr - b.fifo.buffer && a.fifo.cache == b.fifo.cache &&
           a.fifo.bits_left == b.fifo.bits_left && a.fifo.words_read == b.fifo.words_read &&
           a.fifo.status == b.fifo.status && a.words == b.words;
}

// The spectral Huffman decoder's two ways of reading sign bits
// (dec/huffman_lines.h), the branchless one (with runs of codewords of
// zeros taken at once) against the one with branches, where the window has
// 64 bits (the decoder there takes the branchless one):
// random sections of every codebook (zero, noise and intensity ones
// included) over random band layouts, decoded from random and shaped bit
// streams out of a FIFO whose buffered words wrap around its end, end
// before the data does (the decoder then reads through the FIFO, and
// underruns over stale words or pulls more through the callback), and
// begin with a partly used word.
template <int WindowBits = reservoir::Reservoir::kWindowBits>
void check_huffman_reads(int rounds) {
    if constexpr (WindowBits == 64) {
        std::printf("huffman: branchless sign bits against branches\n");
        for (int r = 0; r < 400 * rounds; ++r) {
            // Bands of 4 to 32 lines (multiples of four) up to 1024 lines.
            int16_t tops[120];
            int bands = 0;
            for (int line = 0; bands < 120;) {
                const int width = 4 * (1 + below(below(4) ? 4 : 8));
                if (line + width > 1024) break;
                line += width;
                tops[bands++] = static_cast<int16_t>(line);
            }
            SectionEntry sections[kMaxSections];
            int count = 0;
            const int book_bias = below(4);  // 0: any book; else mostly one
            const int favourite = 1 + below(11);
            for (int band = 0; band < bands && count < kMaxSections;) {
                int cb = below(16);
                if (book_bias && below(4)) cb = favourite;
                band = std::min(bands, band + 1 + below(below(4) ? 3 : 12));
                sections[count++] = {static_cast<uint8_t>(cb), static_cast<uint8_t>(band)};
            }
            if (below(8) == 0 && count < kMaxSections) {  // a section of no bands
                const uint8_t end = sections[count - 1].end;
                sections[count++] = {static_cast<uint8_t>(below(12)), end};
            }

            HuffmanRun a;
            const int size = 64 + below(below(2) ? 256 : 1400);
            a.words.resize(static_cast<size_t>(size));
            const int shape = below(4);
            for (uint16_t& w : a.words) w = below(8) == 0 ? stream_word(below(4)) : stream_word(shape);
            const int held = below(4) ? size - 1 : below(size);  // words buffered (one slot stays free)
            const int at = below(4) == 0 ? size - 1 - below(8) : below(size);
            a.fifo.size = static_cast<uint16_t>(size);
            a.fifo.bits_left = static_cast<uint16_t>(below(17));
            a.fifo.cache = static_cast<uint16_t>(static_cast<uint32_t>(next()) & (0xFFFF0000u >> a.fifo.bits_left));
            a.fifo.words_read = static_cast<uint16_t>(below(100));
            a.fifo.status = DECFIFO_OK;
            a.fifo.get_bits_callback = below(2) ? huffman_source : nullptr;
            a.quant.words.assign(a.quant.words.size(), static_cast<int32_t>(kGuardWord));
            // The lines of spectral sections arrive zeroed, as in the
            // decoder (the branchless way leaves runs of codewords of zeros
            // unwritten); the guard stays on every other line, where a write
            // by either way would show.
            int16_shared* const lines = shared16(a.quant.data());
            for (int i = 0, first = 0; i < count; ++i) {
                const int last = sections[i].end ? tops[sections[i].end - 1] : 0;
                if (sections[i].codebook >= 1 && sections[i].codebook <= 11)
                    for (int k = first; k < last; ++k) lines[k] = 0;
                first = std::max(first, last);
            }
            HuffmanRun b = a;
            const uint32_t source = next() | 1u;
            for (HuffmanRun* run : {&a, &b}) {
                DecFifo& f = run->fifo;
                f.buffer = run->words.data();
                f.read_ptr = f.buffer + at;
                f.write_ptr = f.buffer + (at + held) % size;
                huffman_source_state = source;
                const auto n = static_cast<uint16_t>(count);
                int16_shared* const quant = shared16(run->quant.data());
                run->ok = run == &a ? huffman_lines::decode_sections<false>(n, tops, sections, quant, &f)
                                    : huffman_lines::decode_sections<true>(n, tops, sections, quant, &f);
            }
            if (!same("huffman_branchless", "values", {&a.quant}, {&b.quant})) return;
            if (a.ok != b.ok || !same_fifo(a, b)) {
                std::printf("FAIL huffman_branchless: %s differs (round %d: with branches %d, branchless %d)\n",
                            a.ok != b.ok ? "result" : "FIFO state", r, a.ok, b.ok);
                ++failures;
                return;
            }
        }
    }
}

// Each variant's instruction set: the subsets of the CPU's features in
// order of size, each variant named by the first that selects it.
void name_variants(uint32_t features, const Kernels& ref) {
    for (int bits = 1; bits <= 32; ++bits) {
        uint32_t sub = 0;
        do {
            sub = (sub - features) & features;
            if (__builtin_popcount(sub) != bits) continue;
            select_kernels(sub);
            for (const Entry& e : kEntries) {
                const void* fn = e.of(kernels);
                if (!fn || fn == e.of(ref) || std::strcmp(isa_of(fn), "c") != 0) continue;
                const char* isa = "c";
                for (const auto& i : kIsas)
                    if (sub & i.bit) isa = i.name;
                variant_isas.push_back({fn, isa});
            }
        } while (sub != 0);
    }
}

// ---- benchmark ----

// One call of entry (a kEntries index) on inputs of the decoder's usual sizes, with the
// table `k` (the synthesis runs the transform steps through the table).
// In-place kernels get their input afresh each call (the copy is timed for
// both sides alike).
void bench_call(int entry, const Kernels& k) {
    static std::vector<int32_t> in(4096), buf(4096), out(4096), sums(4096);
    static int16_t sf[128];
    static bool ready = false;
    static QmfAnalysisState qa;
    static QmfSynthesis64State q64;
    static QmfSynthesis32State q32;
    if (!ready) {
        fill(in.data(), 4096);
        for (int i = 0; i < 4096; ++i) sums[static_cast<size_t>(i)] = in[static_cast<size_t>(i)] >> 6;
        for (int16_t& v : sf) v = static_cast<int16_t>(below(200));
        qa = {};
        q64 = {};
        q32 = {};
        ready = true;
    }
    kernels = k;
    if (entry == kDequantise) {
        const Layout l = layout(true);
        int16_shared* q = shared16(buf.data()) + 1024;
        for (int i = 0; i < 1024; ++i) q[i] = static_cast<int16_t>(in[static_cast<size_t>(i)] >> 27);
        k.dequantise(l.num_windows, l.num_swb, buf.data(), q, sf, l.tops);
    } else if (entry == kPreTwiddle || entry == kFft) {
        std::memcpy(buf.data(), in.data(), 1024 * sizeof(int32_t));
        for (int i = 0; i < 1024; ++i) buf[static_cast<size_t>(i)] >>= 8;
        if (entry == kFft) k.fft(buf.data(), 512);
        else k.pre_twiddle(buf.data(), 2048);
    } else if (entry == kSynthesis) {
        std::memcpy(buf.data(), in.data(), 1024 * sizeof(int32_t));
        for (int i = 0; i < 1024; ++i) buf[static_cast<size_t>(i)] >>= 8;
        uint16_t first = 0, shape[2] = {0, 0};
        const PcmOut pcm{shared16(out.data()), 2, false};
        k.synthesis(&first, 0, shape, buf.data(), reinterpret_cast<OverlapSample*>(sums.data()), pcm);
    } else if (entry == kSynthesisMix) {
        std::memcpy(buf.data(), in.data(), 1024 * sizeof(int32_t));
        for (int i = 0; i < 1024; ++i) buf[static_cast<size_t>(i)] >>= 8;
        uint16_t shape[2] = {0, 0};
        int32_t* m = out.data();
        const MixOut mix{{m, m + 1024}, {m + 2048, m + 3072}, {303700050, 303700050}};
        k.synthesis_mix(0, shape, buf.data(), mix);
    } else if (entry == kQmfAnalysis32) {
        k.qmf_analysis32(&qa, in.data(), out.data(), out.data() + 64);
    } else if (entry == kQmfSynthesis64) {
        k.qmf_synthesis64(&q64, sums.data(), sums.data() + 64, out.data());
    } else if (entry == kQmfSynthesis32) {
        k.qmf_synthesis32(&q32, sums.data(), sums.data() + 64, out.data());
    } else if (entry == kHfFilter) {
        int32_t coef[4 * kHfCoefRow];
        const uint8_t shift[16] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
        for (int j = 0; j < 4; ++j)
            for (int c = 0; c < 16; ++c) coef[j * kHfCoefRow + c] = (1 << 28) >> j;
        k.sbr_hf_filter(sums.data() + 128, sums.data() + 1408, out.data(), out.data() + 2560, 64, 10, 16, coef, shift);
    } else if (entry == kHfCovariance) {
        int64_t phi[16][8];
        const int8_t shift[16] = {-3, -3, -3, -3, -3, -3, -3, -3, 2, 2, 2, 2, 2, 2, 2, 2};
        k.sbr_hf_covariances(sums.data(), sums.data() + 1280, 32, 40, 16, shift, phi);
        out[0] = static_cast<int32_t>(phi[0][0]);
    } else if (entry == kHfMagnitudes) {
        k.sbr_hf_magnitudes(sums.data(), sums.data() + 2560, 64, 40, 20, reinterpret_cast<uint32_t*>(out.data()));
    } else if (entry == kMidSide) {
        std::memcpy(buf.data(), in.data(), 1024 * sizeof(int32_t));
        k.mid_side(buf.data(), buf.data() + 512, 512);
    } else if (entry == kNoiseLines) {
        k.noise_lines(out.data(), 32, 60, 12345u);
    } else if (entry == kTnsFilter) {
        // A long window's filter of order 12 over 600 lines.
        int32_t a[kTnsMaxOrder + 1];
        for (int j = 0; j <= kTnsMaxOrder; ++j) a[j] = in[static_cast<size_t>(j)] >> 6;
        std::memcpy(buf.data(), in.data(), 600 * sizeof(int32_t));
        k.tns_filter(buf.data(), 600, 1, a, 12);
    } else if (entry == kSbrPcm16) {
        k.sbr_pcm16(reinterpret_cast<int16_t*>(out.data()), 2, in.data(), 64);
    } else if (entry == kSbrEnergies) {
        uint64_t energy[48];
        out[0] = k.sbr_energies(in.data(), in.data() + 64 * 16, 16, 32, energy);
    } else if (entry == kSbrLog2) {
        uint64_t v[32];
        for (int i = 0; i < 32; ++i) v[i] = static_cast<uint64_t>(static_cast<uint32_t>(in[static_cast<size_t>(i)])) << 24;
        k.sbr_log2(v, 32, out.data());
    } else if (entry == kSbrExp2) {
        static SbrLin lin[32];
        k.sbr_exp2(in.data(), 32, lin);
        out[0] = lin[0].m;
    } else if (entry == kSbrAddTerms) {
        // Sums of 32 terms over 8 owners, from the exponentials of -8 .. 0.
        static SbrLin lin[32];
        int32_t d[32];
        uint8_t count[32], owner[32];
        for (int i = 0; i < 32; ++i)
            d[i] = -static_cast<int32_t>(static_cast<uint32_t>(in[static_cast<size_t>(i)]) >> 5), count[i] = 1 + (i & 3),
            owner[i] = static_cast<uint8_t>(i / 4);
        k.sbr_exp2(d, 32, lin);
        uint64_t total[8] = {};
        k.sbr_add_terms(lin, count, owner, 32, total);
        out[0] = static_cast<int32_t>(total[0]);
    } else if (entry == kSbrApply) {
        static SbrLin gain[32], noise[32];
        for (int i = 0; i < 32; ++i) gain[i] = {(1 << 30) + i, 10 - i / 4}, noise[i] = {(1 << 30) + 7 * i, 20};
        std::memcpy(buf.data(), in.data(), 2048 * sizeof(int32_t));
        k.sbr_apply(buf.data(), buf.data() + 1024, 16, 32, gain, noise, 100);
    } else if (entry == kPsHybrid) {
        const int32_t* rows_re[13];
        const int32_t* rows_im[13];
        for (int j = 0; j < 13; ++j) rows_re[j] = in.data() + 5 * j, rows_im[j] = in.data() + 100 + 5 * j;
        if constexpr (kSbrBuilt)
            k.ps_hybrid(ps_config_20.hybrid_coef, ps_config_20.hybrid_qmf, ps_config_20.num_hybrid, rows_re, rows_im,
                        out.data(), out.data() + 64);
    } else if (entry == kPsAllpass) {
        // The 20 all-pass QMF bands of the 20-band configuration.
        int32_t* z = sums.data();
        const PsAllpassRows rows{{z, z + 50}, {{z + 100, z + 150}, {z + 200, z + 250}, {z + 300, z + 350}}};
        if constexpr (kSbrBuilt)
            k.ps_allpass(rows, ps_config_20.allpass + 10, 30, 20, in.data(), in.data() + 64, out.data(),
                         out.data() + 64);
    } else if (entry == kMixRows) {
        std::memcpy(buf.data(), in.data(), 32 * 64 * sizeof(int32_t));
        k.mix_rows(buf.data(), in.data() + 64, 31, 64, (1 << 30) / 3);
    } else if (entry == kPsStep) {
        std::memcpy(buf.data(), in.data(), 4 * 34 * sizeof(int32_t));
        k.ps_step(buf.data(), sums.data(), 4 * 34);
    } else if (entry == kPsTransient) {
        // The 34 bands' state after the energies of a slot.
        static uint64_t state[3 * 34];
        uint64_t e[34];
        for (int b = 0; b < 34; ++b)
            e[b] = static_cast<uint64_t>(static_cast<uint32_t>(in[static_cast<size_t>(b)])) << (b & 15);
        k.ps_transient(state, state + 34, state + 68, e, 34, out.data());
    } else if (entry == kPsEnergies) {
        if constexpr (kSbrBuilt) {
            // The 20-band configuration's hybrid bands, then 54 QMF bands.
            uint64_t e[34] = {};
            k.ps_energies(in.data(), in.data() + 64, ps_config_20.par_band, 10, e);
            k.ps_energies(in.data() + 3, in.data() + 67, ps_config_20.par_band + 10, 54, e);
            out[0] = static_cast<int32_t>(e[0]);
        }
    } else if (entry == kPsMix) {
        if constexpr (kSbrBuilt) {
            // The 61 QMF bands of the 20-band configuration, the first 3 with phase.
            const int32_t* h = in.data() + 1024;
            int32_t gain[34];
            for (int b = 0; b < 34; ++b) gain[b] = (1 << 30) - b * 1000;
            PsMixParams m{gain, {h, h + 34, h + 68, h + 102}, {h + 136, h + 170, h + 204, h + 238}};
            const uint8_t* par = ps_config_20.par_band + 10;
            const uint8_t* neg = ps_config_20.neg_phase + 10;
            k.ps_mix(m, par, neg, 3, in.data(), in.data() + 64, in.data() + 128, in.data() + 192, out.data(),
                     out.data() + 64, out.data() + 128, out.data() + 192);
            m.hi[0] = m.hi[1] = m.hi[2] = m.hi[3] = nullptr;
            k.ps_mix(m, par + 3, neg + 3, 58, in.data() + 3, in.data() + 67, in.data() + 131, in.data() + 195,
                     out.data() + 3, out.data() + 67, out.data() + 131, out.data() + 195);
        }
    }
}

// Nanoseconds a call: the fastest of seven runs of `iterations` calls.
double time_calls(const Entry& e, const Kernels& k, int iterations) {
    const int entry = static_cast<int>(&e - kEntries);
    double best = 1e300;
    for (int run = 0; run < 7; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < iterations; ++i) bench_call(entry, k);
        const std::chrono::duration<double, std::nano> dt = std::chrono::steady_clock::now() - t0;
        best = std::min(best, dt.count() / iterations);
    }
    return best;
}

int bench(int iterations) {
    const Kernels ref = reference_kernels();
    name_variants(cpu_features(), ref);
    select_kernels(~0u);
    const Kernels var = kernels;
    current = var;
    std::printf("%-26s %12s %12s %8s\n", "variant", "reference ns", "variant ns", "speedup");
    for (const Entry& e : kEntries) {
        if (!e.of(var) || e.of(var) == e.of(ref)) continue;
        const double r = time_calls(e, ref, iterations), v = time_calls(e, var, iterations);
        std::printf("%-26s %12.0f %12.0f %7.2fx\n", variant_name(e.name).c_str(), r, v, r / v);
    }
    kernels = var;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) return bench(argc > 2 ? std::atoi(argv[2]) : 2000);
    const uint32_t seed = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0)) : 12345u;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    const uint32_t features = cpu_features();
    const Kernels ref = reference_kernels();
    std::printf("seed %u, CPU features %#x\n", seed, features);
    // An explicit choice made before any decoder starts stays: the one-time
    // choice from the environment that every decoder start makes leaves it.
    select_kernels(0);
    kernels_select_once();
    if (std::any_of(std::begin(kEntries), std::end(kEntries),
                    [&](const Entry& e) { return e.of(kernels) != e.of(ref); })) {
        std::printf("FAIL kernels_select_once replaced the table select_kernels chose\n");
        return 1;
    }
    name_variants(features, ref);
    check_huffman_reads(rounds);
    // Every subset of the features, the empty one included (the reference
    // against itself checks nothing but is selected like any other).
    uint32_t subset = 0;
    do {
        rng_state = seed | 1u;
        select_kernels(subset);
        const Kernels var = kernels;
        current = var;
        const int variants = static_cast<int>(std::count_if(std::begin(kEntries), std::end(kEntries),
                                                            [&](const Entry& e) { return e.of(var) != e.of(ref); }));
        std::string names;
        for (const Entry& e : kEntries)
            if (e.of(var) != e.of(ref)) {
                names += ' ';
                names += variant_name(e.name);
            }
        std::printf("features %#x: %d variant entries%s\n", subset, variants, names.c_str());
        check_transform_steps(ref, var, rounds);
        check_synthesis(ref, var, rounds);
        check_synthesis_steps(ref, var, rounds);
        check_synthesis_mix(ref, var, rounds);
        check_dequantise(ref, var, rounds);
        check_qmf(ref, var, rounds);
        check_hf_filter(ref, var, rounds);
        check_hf_covariance(ref, var, rounds);
        check_hf_block_exponent(ref, var, rounds);
        check_sbr_scale(ref, var, rounds);
        check_sbr_energies(ref, var, rounds);
        check_sbr_log2(ref, var, rounds);
        check_sbr_exp2(ref, var, rounds);
        check_sbr_add_terms(ref, var, rounds);
        check_sbr_apply(ref, var, rounds);
        check_ps_hybrid(ref, var, rounds);
        check_ps_allpass(ref, var, rounds);
        check_ps_mix(ref, var, rounds);
        check_ps_step(ref, var, rounds);
        check_ps_transient(ref, var, rounds);
        check_ps_energies(ref, var, rounds);
        check_noise_lines(ref, var, rounds);
        check_mid_side(ref, var, rounds);
        check_tns_filter(ref, var, rounds);
        check_sbr_pcm16(ref, var, rounds);
        check_mix_rows(ref, var, rounds);
        subset = (subset - features) & features;  // next subset
    } while (subset != 0);
#if AAC_SBR_BUILT
    rng_state = seed | 1u;
    check_qmf_forms(ref, rounds);
#endif
    select_kernels(~0u);
    std::printf("%ld checks, %d failures\n", checks, failures);
    return failures ? 1 : 0;
}
