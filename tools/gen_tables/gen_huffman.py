#!/usr/bin/env python3
"""Writes codec/tables/huffman_tables.cpp: the lookup tables of spectral
books 1 to 11 and of the scale factor code, and the scale factor code table,
from the standard's codebooks (data/spectrum_codebooks.tsv,
data/scalefactor_codebook.tsv).

Lookup tables: 16-bit entries indexed by the next stream bits, one format
for the reservoir's lookups and the FIFO's. The first ROOT_BITS bits
(SCALE_ROOT_BITS for scale factors) pick an entry of the root; a codeword
longer than that goes through a link to a further table indexed by the bits
after the root's, as many as the longest codeword with that prefix needs
but at most SUB_BITS, and a codeword longer still through a link from that
table to one more. In the books of magnitudes a codeword whose sign bits
(one per non-zero value) still fit the level where it ends is entered once
per combination of them, as a longer codeword of signed values, which adds
no entry; the others are leaves whose sign bits are read after them.
Values: books 1 and 2 as the row of spectral_quads, books 3 and 4 as two
rows of spectral_halves, books 5-11 as two 6-bit fields. Entry fields: see
huffman_tables.h.

Scale factor code table: one 32-bit word per codeword (codeword, length,
index), sorted by length, then by codeword.

Usage: gen_huffman.py [OUTPUT]   (default: standard output)
"""
import csv
import os
from common import write

HERE = os.path.dirname(os.path.abspath(__file__))

ROOT_BITS = 8  # spectral books
SCALE_ROOT_BITS = 9
SUB_BITS = 6  # the widest further table
SIGNS_FOLLOW = 8  # added to the bit count of a leaf whose sign bits follow
ROOT_LEAF = 7  # in the width of a link: a root leaf of 8 bits whose sign bits follow
HALVES = [(a, b) for a in range(-2, 3) for b in range(-2, 3)]
QUADS = [(a, b, c, d) for a in range(-1, 2) for b in range(-1, 2) for c in range(-1, 2) for d in range(-1, 2)]


def load_books(path):
    books = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            vals = [int(v) for v in r["values"].split(",")]
            books.setdefault(int(r["book"]), []).append((r["code_bits"], vals))
    return books


def half_index(a, b):
    """Row of spectral_halves holding the two values a, b of -2..2."""
    return HALVES.index((a, b))


def leaf(book, vals, n):
    """An entry of signed values taking n bits at its level."""
    assert 1 <= n <= (SCALE_ROOT_BITS if book == 0 else 8)
    if book == 0:
        payload = vals[0]
    elif book <= 2:
        payload = QUADS.index(tuple(vals))
    elif book <= 4:
        payload = half_index(*vals[2:]) << 5 | half_index(*vals[:2])
    else:
        assert all(-32 <= v < 32 for v in vals)
        payload = (vals[0] & 63) << 6 | (vals[1] & 63)
    return n << 12 | payload


def signs_follow_leaf(book, vals, n):
    """An entry of magnitudes whose sign bits follow the codeword."""
    assert 1 <= n <= 8
    if book <= 4:
        assert all(0 <= v <= 2 for v in vals)
        payload = vals[0] << 6 | vals[1] << 4 | vals[2] << 2 | vals[3]
    else:
        assert all(0 <= v <= 16 for v in vals)
        payload = vals[0] * 17 + vals[1]
    if n == 8:  # only at the root: in the links' room
        assert payload < 1 << 9
        return ROOT_LEAF << 9 | payload
    return (SIGNS_FOLLOW + n) << 12 | payload


def build_lookup(book, codes):
    """Root and further tables of one code as a list of entries."""
    unsigned = book in (3, 4, 7, 8, 9, 10, 11)
    root_bits = SCALE_ROOT_BITS if book == 0 else ROOT_BITS
    entries = [None] * (1 << root_bits)
    # Each table: (first entry, bits before it, width).
    tables = {"": (0, 0, root_bits)}

    def link(width):
        assert 1 <= width < ROOT_LEAF
        at = len(entries)
        assert 0 <= at - (1 << root_bits) < 1 << 9, "start past 9 bits"
        entries.extend([None] * (1 << width))
        return at, (width - 1) << 9 | (at - (1 << root_bits))

    # The further tables, each from a table whose codewords go past it.
    pending = [""]
    while pending:
        prefix = pending.pop(0)
        first, before, width = tables[prefix]
        need = {}
        for bits, _ in codes:
            if len(bits) > before + width and bits.startswith(prefix):
                p = bits[:before + width]
                need[p] = max(need.get(p, 0), len(bits) - len(p))
        for p in sorted(need):
            at, e = link(min(need[p], SUB_BITS))
            entries[first + int(p[before:], 2)] = e
            tables[p] = (at, len(p), min(need[p], SUB_BITS))
            # Within the FIFO decoder's 16-bit look-ahead.
            assert book == 0 or len(p) + min(need[p], SUB_BITS) <= 16
            pending.append(p)

    def home(bits):
        """The table where a codeword ends."""
        best = ""
        for prefix in tables:
            if bits.startswith(prefix) and len(prefix) > len(best) and len(prefix) < len(bits):
                best = prefix
        return tables[best]

    def fill(table, bits, e):
        first, before, width = table
        rest = bits[before:]
        assert len(rest) <= width
        start = first + (int(rest, 2) << (width - len(rest)) if rest else 0)
        for i in range(start, start + (1 << (width - len(rest)))):
            assert entries[i] is None, "prefix conflict"
            entries[i] = e

    for bits, vals in codes:
        table = home(bits)
        first, before, width = table
        nonzero = [i for i, v in enumerate(vals) if v] if unsigned else []
        if len(bits) + len(nonzero) <= before + width:
            for signs in range(1 << len(nonzero)):
                sign_bits = format(signs, "0%db" % len(nonzero)) if nonzero else ""
                signed = list(vals)
                for i, b in zip(nonzero, sign_bits):
                    if b == "1":
                        signed[i] = -signed[i]
                fill(table, bits + sign_bits, leaf(book, signed, len(bits) + len(sign_bits) - before))
        else:
            fill(table, bits, signs_follow_leaf(book, vals, len(bits) - before))
    assert all(e is not None for e in entries), "incomplete code"
    return entries


def load_scalefactor(path):
    rows = []
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            rows.append((int(r["index"]), int(r["length"]), int(r["code_hex"], 16)))
    return sorted(rows, key=lambda t: (t[1], t[2]))


def entries_lines(name, entries):
    out = ["const uint16_t %s[%d] = {" % (name, len(entries))]
    for i in range(0, len(entries), 10):
        out.append("    " + ", ".join("0x%04X" % e for e in entries[i:i + 10]) + ",")
    out.append("};")
    return out


def generate(books, scl):
    out = ["// Generated by tools/gen_tables/gen_huffman.py from the standard's Huffman",
           "// codebooks; do not edit. Entry format: see huffman_tables.h.",
           '#include "tables/huffman_tables.h"', ""]
    for book in range(1, 12):
        entries = build_lookup(book, books[book])
        out.extend(entries_lines("spectral_book%d" % book, entries))
    out.append("alignas(8) const int16_t spectral_quads[81][4] = {")
    for i in range(0, 81, 9):
        out.append("    " + ", ".join("{%d, %d, %d, %d}" % q for q in QUADS[i:i + 9]) + ",")
    out.append("};")
    out.append("alignas(4) const int16_t spectral_halves[25][2] = {")
    out.append("    " + ", ".join("{%d, %d}" % h for h in HALVES[:13]) + ",")
    out.append("    " + ", ".join("{%d, %d}" % h for h in HALVES[13:]) + ",")
    out.append("};")
    scale = build_lookup(0, [(format(code, "0%db" % length), [idx]) for idx, length, code in scl])
    out.extend(entries_lines("scale_lookup", scale))
    out.append("")
    out.append("const ScaleCode kvxdec_bookscl[%d] = {" % len(scl))
    for idx, length, code in scl:
        out.append("    {0x%X, %d, %d}," % (code, length, idx))
    out.append("};")
    return "\n".join(out) + "\n"


def main():
    write(generate(load_books(os.path.join(HERE, "data", "spectrum_codebooks.tsv")),
                   load_scalefactor(os.path.join(HERE, "data", "scalefactor_codebook.tsv"))))


if __name__ == "__main__":
    main()
