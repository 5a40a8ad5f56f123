// The exact arithmetic's FFT with SSE4.1, two complex points per register:
// the passes of fft_exact (the first radix-4 stage of additions in
// dsp/x86/complex_sse41.h, the later passes in dsp/fft_passes.h) over pairs
// of neighbouring points. A product is PMULDQ's 64-bit product of two 32-bit lanes, the sum
// of two such products wraps modulo 2^64 like fx::mac64, and bits 31..62 of
// the sum plus 2^30 are fx::rshr64(..., 31) reduced modulo 2^32. Only the
// functions here use SSE4.1 (target attribute): the rest of the build runs
// on any x86-64.
#define FFT_PASSES_TARGET __attribute__((target("sse4.1")))
#include "dsp/fft_passes.h"
#include "dsp/fft_variants.h"
#include "dsp/x86/complex_sse41.h"
#include "tables/exact_tables.h"

using namespace sse41;

SSE41 void fft_exact_sse41(int32_t* buf, int points) {
    radix4_first(buf, points);
    fft_passes::passes_from<fft_passes::Butterflies<Pairs>>(buf, points, 4);
}
