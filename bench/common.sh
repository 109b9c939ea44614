# What the benchmark scripts share; sourced, not run.

now() { date +%s%N; }

# The median of the numbers on standard input (separated by spaces or lines).
median() {
  tr ' ' '\n' | grep -v '^$' | sort -n |
    awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2))}'
}

# On a virtual machine that hands freed memory back to its host (free page
# reporting), the first write to a page costs a fault in the host, and a build
# that follows the deletion of a target directory pays it again for every page
# it writes: 3 s per GiB on the machines here, against 0.5 s once backed.
# KELV_BENCH_PRETOUCH_MB=N touches N MiB of fresh memory just before each
# timed command, so that the command starts with host-backed free pages as on
# a machine of its own; plain and wrapped builds get the same.
pretouch() {  # MiB
  python3 -c '
import mmap, sys
m = mmap.mmap(-1, int(sys.argv[1]) << 20)
for off in range(0, len(m), 4096):
    m[off] = 1
' "$1"
}

# Runs a command, output discarded, and appends its wall time in ms to
# times[name] (an associative array the script declares).
timed() {  # name command...
  local name=$1; shift
  [[ -z ${KELV_BENCH_PRETOUCH_MB:-} ]] || pretouch "$KELV_BENCH_PRETOUCH_MB"
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
