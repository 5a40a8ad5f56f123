# Instructions per frame from two counts, of one pass and of two passes over
# a stream, each a file of "total N" and "N name" lines: per name (two - one)
# / frames, the total first, then the `top` largest.
# usage: awk -v frames=F -v top=T -v stream=S -v isa=NAME -f per-frame.awk ONE TWO
FNR == 1 { file++ }
$1 == "total" { n = $2; name = "total" }
$1 != "total" { n = $1; $1 = ""; sub(/^ /, ""); name = $0 }
{ if (file == 1) one[name] += n; else two[name] += n }
END {
  printf "%s: %d frames, %.1f k %s instructions per frame\n", stream, frames,
    (two["total"] - one["total"]) / frames / 1000, isa
  for (name in two) if (name != "total") {
    d = (two[name] - one[name]) / frames
    if (d > 0) printf "%12.0f  %s\n", d, name | "sort -rn | head -n " top
  }
}
