# What the benchmark scripts share; sourced, not run.

now() { date +%s%N; }

# The median of the numbers on standard input (separated by spaces or lines).
median() {
  tr ' ' '\n' | grep -v '^$' | sort -n |
    awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2))}'
}

# Runs a command, output discarded, and appends its wall time in ms to
# times[name] (an associative array the script declares).
timed() {  # name command...
  local name=$1; shift
  local start; start=$(now)
  "$@" >/dev/null 2>&1 || { echo "bench: '$*' failed" >&2; exit 1; }
  times[$name]+="$(( ($(now) - start) / 1000000 )) "
}

# Milliseconds, summed, of the units of one mode (and crate, when given) in a
# timing report of `cargo build --timings`. Cargo names the mode of compile
# units "todo" and that of build-script runs "run-custom-build".
cargo_timing_ms() {  # report.html mode [crate]
  python3 -c '
import json, re, sys
page = open(sys.argv[1]).read()
units = json.loads(re.search(r"const UNIT_DATA = (\[.*?\]);\n", page, re.S).group(1))
mode, name = sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None
print(sum(round(1000 * u["duration"]) for u in units
          if u["mode"] == mode and (name is None or u["name"] == name)))
' "$@"
}
