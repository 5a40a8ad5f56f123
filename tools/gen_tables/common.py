"""Helpers shared by the table generators."""
import csv
import math
import os
import sys


def rnd(x):
    """Rounds half away from zero."""
    return int(math.floor(x + 0.5)) if x >= 0 else -int(math.floor(-x + 0.5))


def table(ctype, name, vals, fmt="%d", per_line=12):
    """A C array definition, as lines."""
    out = ["const %s %s[%d] = {" % (ctype, name, len(vals))]
    for i in range(0, len(vals), per_line):
        out.append("    " + ", ".join(fmt % v for v in vals[i:i + per_line]) + ",")
    out.append("};")
    return out


def write(text):
    """Writes to the file named on the command line, or to standard output."""
    if len(sys.argv) > 1:
        with open(sys.argv[1], "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


def load_tsv(folder, name):
    """The rows of a tab-separated data file, as dictionaries."""
    with open(os.path.join(folder, name), newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def q(x, bits):
    """x as a fixed-point integer with `bits` fraction bits, within 32 bits."""
    v = rnd(x * (1 << bits))
    assert -(1 << 31) <= v < (1 << 31), x
    return v


def build_tree(codes, leaf_bias, largest):
    """A complete prefix code's decoding tree: codes are (bits, value)
    pairs; nodes in pairs, depth first, an inner node's entry the index of
    its children's pair, a leaf's its value less leaf_bias (|value| <=
    largest)."""
    root = {}
    for bits, value in codes:
        node = root
        for b in bits[:-1]:
            node = node.setdefault(b, {})
            assert isinstance(node, dict), "prefix conflict"
        assert bits[-1] not in node, "prefix conflict"
        node[bits[-1]] = value
    nodes = [None, None]

    def lay_out(pair_pos, tree):
        for i, b in enumerate("01"):
            child = tree[b]  # complete code: both children exist
            if isinstance(child, dict):
                p = len(nodes)
                nodes.extend([None, None])
                nodes[pair_pos + i] = p
                lay_out(p, child)
            else:
                assert -largest <= child <= largest
                nodes[pair_pos + i] = child - leaf_bias

    lay_out(0, root)
    assert len(nodes) == 2 * (len(codes) - 1) and all(n is not None for n in nodes)
    return nodes
