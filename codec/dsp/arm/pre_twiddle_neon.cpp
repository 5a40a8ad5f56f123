// The exact arithmetic's pre-twiddle with NEON, straight to the
// bit-reversed slots (for_bit_reversed_units, its units listed once at
// compile time), each unit one block of assembly over fixed registers.
//
// The unit at k holds the slots k, k+1, h+k, h+k+1 (quad C) and their
// partners P-2-k, P-1-k, h-2-k, h-1-k (quad D; P = points, h = P/2). Loaded
// as the 2-slot runs at k, h+k and at P-2-k, h-2-k, one VUZP of each pair
// gives one quad's a words in order and the other quad's b words in
// swapped pairs (VREV64 puts them right); the twiddles load the same way.
// Long blocks' words take the rounded shift (VRSHL by -3 is fx::rshr(x, 3),
// the rounding term added without overflow as VRSHR #3 adds it; short
// blocks' shift by 0 keeps them: one copy of the code serves both sizes). The rotation is VMULL +
// VMLAL on each half (64-bit products, the sum wrapping modulo 2^64 like
// fx::mac64) and VRSHRN #31, bits 31..62 of the sum plus 2^30:
// fx::rshr64(..., 31) modulo 2^32; then VNEG. Its imaginary half adds
// (-a) s with a's negation wrapping (a may be INT32_MIN in short blocks).
// One block of code per size serves both cases of the traversal (a unit
// alone, or a pair of units computed before either is stored).
// VTRN pairs a quad's lanes 0, 2 and 1, 3 as interleaved words, the two
// slots of each store.
#include <arm_neon.h>

#include <iterator>

#include "dsp/fft_variants.h"
#include "tables/exact_tables.h"

namespace {

// The unit at K8 (8 k as a register shifted: the byte offset) into q8 q9
// (C re, im) and q10 q11 (D) or q12 q13 and q14 q15 (PT_UNIT_12); S a
// scratch address register.
#define PT_LOADS(K8, S)                      \
    "add " S ", %[buf], " K8 "\n\t"          \
    "vld1.32 {d0-d1}, [" S "], %[h8]\n\t"    \
    "vld1.32 {d2-d3}, [" S "]\n\t"           \
    "sub " S ", %[bufh], " K8 "\n\t"         \
    "vld1.32 {d6-d7}, [" S "], %[h8]\n\t"    \
    "vld1.32 {d4-d5}, [" S "]\n\t"           \
    "vuzp.32 q0, q1\n\t"                     \
    "vuzp.32 q2, q3\n\t"                     \
    "vrev64.32 q3, q3\n\t"                   \
    "vrev64.32 q1, q1\n\t"                   \
    "vdup.32 q6, %[shift]\n\t"               \
    "vrshl.s32 q0, q0, q6\n\t"               \
    "vrshl.s32 q1, q1, q6\n\t"               \
    "vrshl.s32 q2, q2, q6\n\t"               \
    "vrshl.s32 q3, q3, q6\n\t"               \
    "add " S ", %[tw], " K8 "\n\t"           \
    "vld1.32 {d8-d9}, [" S "], %[h8]\n\t"    \
    "vld1.32 {d10-d11}, [" S "]\n\t"         \
    "vuzp.32 q4, q5\n\t"
#define PT_D_TWIDDLES(K8, S)                \
    "sub " S ", %[twh], " K8 "\n\t"         \
    "vld1.32 {d10-d11}, [" S "], %[h8]\n\t" \
    "vld1.32 {d8-d9}, [" S "]\n\t"          \
    "vuzp.32 q4, q5\n\t"
// -(a + i b)(c - i s), a in AL AH (quad A), b in BL BH, c in d8 d9, s in
// d10 d11, into T0 (re) and T2 (im), with T1 and T3 for the upper halves'
// sums; -a in q6.
#define PT_ROT(A, AL, AH, BL, BH, T0, T0L, T0H, T1, T2, T2L, T2H, T3) \
    "vneg.s32 q6, " A "\n\t"                                          \
    "vmull.s32 " T0 ", " AL ", d8\n\t"                                \
    "vmull.s32 " T1 ", " AH ", d9\n\t"                                \
    "vmull.s32 " T2 ", " BL ", d8\n\t"                                \
    "vmull.s32 " T3 ", " BH ", d9\n\t"                                \
    "vmlal.s32 " T0 ", " BL ", d10\n\t"                               \
    "vmlal.s32 " T1 ", " BH ", d11\n\t"                               \
    "vmlal.s32 " T2 ", d12, d10\n\t"                                  \
    "vmlal.s32 " T3 ", d13, d11\n\t"                                  \
    "vrshrn.i64 " T0L ", " T0 ", #31\n\t"                             \
    "vrshrn.i64 " T0H ", " T1 ", #31\n\t"                             \
    "vrshrn.i64 " T2L ", " T2 ", #31\n\t"                             \
    "vrshrn.i64 " T2H ", " T3 ", #31\n\t"                             \
    "vneg.s32 " T0 ", " T0 "\n\t"                                     \
    "vneg.s32 " T2 ", " T2 "\n\t"
// C (a q0, b q3) and D (a q2, b q1); D's T3 is q0, free by then.
#define PT_UNIT_8(K8, S)                                                                          \
    PT_LOADS(K8, S)                                                                               \
    PT_ROT("q0", "d0", "d1", "d6", "d7", "q8", "d16", "d17", "q7", "q9", "d18", "d19", "q10")     \
    PT_D_TWIDDLES(K8, S)                                                                          \
    PT_ROT("q2", "d4", "d5", "d2", "d3", "q10", "d20", "d21", "q7", "q11", "d22", "d23", "q0")
#define PT_UNIT_12(K8, S)                                                                         \
    PT_LOADS(K8, S)                                                                               \
    PT_ROT("q0", "d0", "d1", "d6", "d7", "q12", "d24", "d25", "q7", "q13", "d26", "d27", "q14")   \
    PT_D_TWIDDLES(K8, S)                                                                          \
    PT_ROT("q2", "d4", "d5", "d2", "d3", "q14", "d28", "d29", "q7", "q15", "d30", "d31", "q0")
// A unit's values (C in CR CI, D in DR DI, with their halves) to the slots
// of the unit at R8 = 8 r: C's lanes 0, 2 (points k, h+k) to r, r+1 and
// lanes 1, 3 to r+h, r+h+1; D's lanes 2, 0 (h-2-k, P-2-k) to h-2-r, h-1-r
// and lanes 3, 1 to P-2-r, P-1-r.
#define PT_STORE(R8, S, CR, CI, CRL, CRH, CIL, CIH, DR, DI, DRL, DRH, DIL, DIH) \
    "vtrn.32 " CR ", " CI "\n\t"                                                \
    "vtrn.32 " DR ", " DI "\n\t"                                                \
    "add " S ", %[buf], " R8 "\n\t"                                             \
    "vst1.32 {" CRL "-" CRH "}, [" S "], %[h8]\n\t"                             \
    "vst1.32 {" CIL "-" CIH "}, [" S "]\n\t"                                    \
    "sub " S ", %[bufh], " R8 "\n\t"                                            \
    "vst1.32 {" DRH "}, [" S "]!\n\t"                                           \
    "vst1.32 {" DRL "}, [" S "], %[h8]\n\t"                                     \
    "vst1.32 {" DIL "}, [" S "]\n\t"                                            \
    "sub " S ", " S ", #8\n\t"                                                  \
    "vst1.32 {" DIH "}, [" S "]\n\t"
#define PT_STORE_8(R8, S) \
    PT_STORE(R8, S, "q8", "q9", "d16", "d17", "d18", "d19", "q10", "q11", "d20", "d21", "d22", "d23")
#define PT_STORE_12(R8, S) \
    PT_STORE(R8, S, "q12", "q13", "d24", "d25", "d26", "d27", "q14", "q15", "d28", "d29", "d30", "d31")
#define PT_CLOBBERS                                                                                              \
    "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12", "d13", "d14", "d15", "d16", \
        "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30", "d31", \
        "memory"

// The units for_bit_reversed_units calls for `points` slots (512 or 64),
// each as k, r, c and the unit c's values go to (r when c = r, else h-2-r
// and its own slot k, or h-2-k), all halved: shifted left by 4 they are
// the byte offsets 8 k .. of the assembly.
struct Unit {
    uint8_t k, r, c, to;
};
constexpr int bit_reversal(int x, int bits) {
    int r = 0;
    for (int i = 0; i < bits; ++i) r |= ((x >> i) & 1) << (bits - 1 - i);
    return r;
}
template <int Points>
constexpr int unit_count() {
    int n = 0, bits = 0;
    while ((1 << bits) < Points) ++bits;
    const int h = Points / 2;
    for (int k = 0; k < h / 2; k += 2) {
        const int r = bit_reversal(k, bits), c = r < h / 2 ? r : h - 2 - r;
        n += c >= k;
    }
    return n;
}
template <int Points>
struct Units {
    Unit u[unit_count<Points>()];
    constexpr Units() : u{} {
        int n = 0, bits = 0;
        while ((1 << bits) < Points) ++bits;
        const int h = Points / 2;
        for (int k = 0; k < h / 2; k += 2) {
            const int r = bit_reversal(k, bits), c = r < h / 2 ? r : h - 2 - r;
            if (c < k) continue;
            const int to = c == r ? k : h - 2 - k;
            u[n++] = {static_cast<uint8_t>(k / 2), static_cast<uint8_t>(r / 2), static_cast<uint8_t>(c / 2),
                      static_cast<uint8_t>(to / 2)};
        }
    }
};
constexpr Units<512> kUnits512{};
constexpr Units<64> kUnits64{};

// points = N/4: 512 (long blocks) or 64, over its units: a unit alone
// (c = k) or with the unit at c, which goes to k's (rev(c) is k, or h-2-k
// when c = h-2-r). shift: -3 for long blocks, 0 for short ones.
void pre_twiddle_units(int32_t* buf, const int32_t* tw, const Unit* begin, const Unit* end, int points, int shift) {
    const int h = points / 2, h8 = 8 * h;
    // The addresses of slot h-2 of the buffer and of the table.
    int32_t* const bufh = buf + 2 * (h - 2);
    const int32_t* const twh = tw + 2 * (h - 2);
    for (const Unit* u = begin; u != end; ++u) {
        const int k = u->k, r = u->r, c = u->c, to = u->to;
        int32_t* s;
        __asm__ volatile(PT_UNIT_8("%[k], lsl #4", "%[s]")                                   //
                         "cmp %[c], %[k]\n\t"                                                //
                         "beq 1f\n\t"                                                        //
                         PT_UNIT_12("%[c], lsl #4", "%[s]") PT_STORE_12("%[to], lsl #4", "%[s]")  //
                         "1:\n\t" PT_STORE_8("%[r], lsl #4", "%[s]")
                         : [s] "=&r"(s)
                         : [buf] "r"(buf), [bufh] "r"(bufh), [tw] "r"(tw), [twh] "r"(twh), [h8] "r"(h8),
                           [k] "r"(k), [r] "r"(r), [c] "r"(c), [to] "r"(to), [shift] "r"(shift)
                         : "cc", PT_CLOBBERS);
    }
}

}  // namespace

void pre_twiddle_exact_neon(int32_t* buf, int n) {
    if (n == 2048) pre_twiddle_units(buf, imdct_twiddle2048_q31, std::begin(kUnits512.u), std::end(kUnits512.u), 512, -3);
    else pre_twiddle_units(buf, imdct_twiddle256_q31, std::begin(kUnits64.u), std::end(kUnits64.u), 64, 0);
}
