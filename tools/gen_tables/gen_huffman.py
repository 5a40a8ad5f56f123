#!/usr/bin/env python3
"""Writes codec/tables/huffman_tables.cpp: the spectral code trees of books
1 to 11 and the scale factor code table, from the standard's codebooks
(data/spectrum_codebooks.tsv, data/scalefactor_codebook.tsv).

Code trees: 16-bit nodes in pairs, the pair for a 0/1 decision; the root's
pair is nodes 0 and 1. An inner node holds the positive distance from itself
to its children's pair; a leaf has bit 15 set and holds the values in two's
complement fields: books 1-4 bits 14..12, 11..8, 7..4, 3..0; books 5-11 bits
14..8 and 7..0. Pairs are laid out depth first: an inner node's child pair
is placed at the next free position and completed before the node after it.

Scale factor table: (index, length, codeword) sorted by length, then by
codeword.

Lookup tables, spectral_lookup (books 1-11) and scale_lookup:
32-bit entries indexed by the next stream bits. The first ROOT_BITS bits pick
an entry of the root; a codeword longer than that goes through a link to a
subtable indexed by the bits after the root's, as many as the longest
codeword with that prefix needs but at most SUB_BITS; a codeword longer
still goes through a second link, from that subtable to one indexed by the
bits after its own (a third level for the few longest codewords, which
keeps a subtable from holding one entry per combination of bits past
them: 28.5 KB for the spectral table instead of 37.4). In the books of magnitudes each codeword is
entered once per combination of its sign bits, as a longer codeword of
signed values; in book 11 a leaf with an escape value is marked. A leaf
gives the row of its values in spectral_quads (books 1-4) or spectral_pairs
(books 5-11), whose rows hold every combination of signed values, so that a
codeword's values are copied out whole. Entry fields: see huffman_tables.h.

Usage: gen_huffman.py [OUTPUT]   (default: standard output)
"""
import csv
import os
from common import write

HERE = os.path.dirname(os.path.abspath(__file__))


def load_books(path):
    books = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            vals = [int(v) for v in r["values"].split(",")]
            books.setdefault(int(r["book"]), []).append((r["code_bits"], vals))
    return books


def pack(book, vals):
    if book <= 4:
        w, x, y, z = vals
        return 0x8000 | (w & 0x7) << 12 | (x & 0xF) << 8 | (y & 0xF) << 4 | (z & 0xF)
    y, z = vals
    return 0x8000 | (y & 0x7F) << 8 | (z & 0xFF)


def build_tree(book, codes):
    root = {}
    for bits, vals in codes:
        node = root
        for b in bits[:-1]:
            node = node.setdefault(b, {})
            assert isinstance(node, dict), "prefix conflict"
        assert bits[-1] not in node
        node[bits[-1]] = pack(book, vals)
    nodes = [None, None]

    def lay_out(pair_pos, tree):
        for i, b in enumerate("01"):
            child = tree[b]  # a complete code: every inner node has both children
            p = pair_pos + i
            if isinstance(child, dict):
                q = len(nodes)
                nodes.extend([None, None])
                nodes[p] = q - p
                lay_out(q, child)
            else:
                nodes[p] = child

    lay_out(0, root)
    assert len(nodes) == 2 * (len(codes) - 1) and all(n is not None for n in nodes)
    return nodes


SPECTRAL_ROOT_BITS = 8
SCALE_ROOT_BITS = 9
SUB_BITS = 5  # the widest second-level table
LINK = 1 << 5
ESCAPE = 1 << 6


def lookup_value(book, vals):
    """The value field (bits 31..16) of a leaf."""
    if book == 0:  # scale factors: the index
        return vals[0]
    if book <= 4:
        return quad_index(vals)
    return pair_index(vals)


def quad_index(vals):
    """Row of spectral_quads holding four values of -2..2."""
    index = 0
    for v in vals:
        index = index * 5 + v + 2
    return index


def pair_index(vals):
    """Row of spectral_pairs holding two values of -16..16."""
    return (vals[0] + 16) * 33 + vals[1] + 16


def value_rows(name, count, digits, base, per_line):
    """The rows of a value table: row i holds the digits of i in the base,
    each minus half the base, first digit first."""
    rows = []
    for i in range(count):
        vals = []
        for _ in range(digits):
            vals.insert(0, i % base - base // 2)
            i //= base
        rows.append("{%s}" % ", ".join("%d" % v for v in vals))
    out = ["alignas(%d) const int16_t %s[%d][%d] = {" % (2 * digits, name, count, digits)]
    for i in range(0, count, per_line):
        out.append("    " + ", ".join(rows[i:i + per_line]) + ",")
    out.append("};")
    return out


def with_signs(book, codes):
    """Books of magnitudes: every codeword followed by each combination of
    its sign bits (one per non-zero value, 1 meaning negative)."""
    if book in (0, 1, 2, 5, 6):
        return codes
    out = []
    for bits, vals in codes:
        nonzero = [i for i, v in enumerate(vals) if v]
        for signs in range(1 << len(nonzero)):
            signed = list(vals)
            sign_bits = format(signs, "0%db" % len(nonzero)) if nonzero else ""
            for i, b in zip(nonzero, sign_bits):
                if b == "1":
                    signed[i] = -signed[i]
            out.append((bits + sign_bits, signed))
    return out


def build_lookup(book, codes, root_bits):
    """Root and subtables of one code as a list of entries."""
    codes = with_signs(book, codes)
    entries = [None] * (1 << root_bits)

    def widths(prefix_bits):
        """The bits each prefix of prefix_bits bits needs after it."""
        need = {}
        for bits, _ in codes:
            if len(bits) > prefix_bits:
                p = bits[:prefix_bits]
                need[p] = max(need.get(p, 0), len(bits) - prefix_bits)
        return need

    def link(width, before):
        """A link to a new table of `width` bits at the end, indexed by the
        bits after the first `before` bits of the codeword."""
        assert width <= 11 and len(entries) < 0x8000
        e = len(entries) << 17 | ((1 << width) - 1) << 6 | LINK | (32 - before - width)
        entries.extend([None] * (1 << width))
        return e

    # Second level: from the root, at most SUB_BITS wide.
    second = {}
    for p, need in sorted(widths(root_bits).items()):
        second[p] = min(need, SUB_BITS)
        entries[int(p, 2)] = link(second[p], root_bits)
    # Third level: from a second-level entry whose codewords go past it.
    third = {}
    for bits, _ in codes:
        p = bits[:root_bits]
        if len(bits) > root_bits + second.get(p, 0) and p in second:
            q = bits[:root_bits + second[p]]
            third[q] = max(third.get(q, 0), len(bits) - len(q))
    for q in sorted(third):
        p = q[:root_bits]
        at = (entries[int(p, 2)] >> 17) + int(q[root_bits:], 2)
        assert entries[at] is None
        entries[at] = link(third[q], root_bits + second[p])

    def fill(table_link, rest, leaf):
        width = ((table_link >> 6) & 0x7FF).bit_length()
        first = (table_link >> 17) + (int(rest, 2) << (width - len(rest)))
        for i in range(first, first + (1 << (width - len(rest)))):
            assert entries[i] is None, "prefix conflict"
            entries[i] = leaf

    for bits, vals in codes:
        leaf = lookup_value(book, vals) << 16 | len(bits)
        if book == 11 and 16 in (abs(v) for v in vals):
            leaf |= ESCAPE
        if len(bits) <= root_bits:
            first = int(bits, 2) << (root_bits - len(bits))
            for i in range(first, first + (1 << (root_bits - len(bits)))):
                assert entries[i] is None, "prefix conflict"
                entries[i] = leaf
            continue
        p = bits[:root_bits]
        if len(bits) <= root_bits + second[p]:
            fill(entries[int(p, 2)], bits[root_bits:], leaf)
        else:
            q = bits[:root_bits + second[p]]
            fill(entries[(entries[int(p, 2)] >> 17) + int(q[root_bits:], 2)], bits[len(q):], leaf)
    assert all(e is not None for e in entries), "incomplete code"
    return entries


def load_scalefactor(path):
    rows = []
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            rows.append((int(r["index"]), int(r["length"]), int(r["code_hex"], 16)))
    return sorted(rows, key=lambda t: (t[1], t[2]))


def generate(books, scl):
    out = ["// Generated by tools/gen_tables/gen_huffman.py from the standard's Huffman",
           "// codebooks; do not edit. Node format: see huffman_tables.h.",
           '#include "tables/huffman_tables.h"', ""]
    for book in range(1, 12):
        nodes = build_tree(book, books[book])
        out.append("const uint16_t kvxdec_new_book%d[%d] = {" % (book, len(nodes)))
        for i in range(0, len(nodes), 10):
            out.append("    " + ", ".join("0x%04X" % n for n in nodes[i:i + 10]) + ",")
        out.append("};")
    offsets = []
    spectral = []
    for book in range(1, 12):
        offsets.append(len(spectral))
        spectral.extend(build_lookup(book, books[book], SPECTRAL_ROOT_BITS))
    out.append("")
    out.append("const uint32_t spectral_lookup[%d] = {" % len(spectral))
    for i in range(0, len(spectral), 8):
        out.append("    " + ", ".join("0x%08X" % e for e in spectral[i:i + 8]) + ",")
    out.append("};")
    out.append("const uint16_t spectral_lookup_start[12] = {0, %s};"
               % ", ".join("%d" % o for o in offsets))
    out.extend(value_rows("spectral_quads", 5 ** 4, 4, 5, 6))
    out.extend(value_rows("spectral_pairs", 33 * 33, 2, 33, 8))
    scale = build_lookup(0, [(format(code, "0%db" % length), [idx]) for idx, length, code in scl],
                         SCALE_ROOT_BITS)
    out.append("const uint32_t scale_lookup[%d] = {" % len(scale))
    for i in range(0, len(scale), 8):
        out.append("    " + ", ".join("0x%08X" % e for e in scale[i:i + 8]) + ",")
    out.append("};")
    out.append("")
    out.append("const ScaleCode kvxdec_bookscl[%d] = {" % len(scl))
    for idx, length, code in scl:
        out.append("    {%d, %d, 0x%X}," % (idx, length, code))
    out.append("};")
    return "\n".join(out) + "\n"


def main():
    write(generate(load_books(os.path.join(HERE, "data", "spectrum_codebooks.tsv")),
                    load_scalefactor(os.path.join(HERE, "data", "scalefactor_codebook.tsv"))))


if __name__ == "__main__":
    main()
