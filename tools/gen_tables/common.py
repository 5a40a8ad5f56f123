"""Helpers shared by the table generators."""
import math
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
