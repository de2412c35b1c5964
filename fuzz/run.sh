#!/bin/sh
# Usage: fuzz/run.sh TARGET MINUTES
# Builds fuzz_TARGET with clang, AddressSanitizer and UndefinedBehaviorSanitizer (the `fuzz`
# preset of CMakePresets.json), then fuzzes it for MINUTES, starting from fuzz/corpus/TARGET and
# fuzz/regressions/TARGET.
# New inputs collect in fuzz/out/corpus_TARGET; crashes, hangs (over 30 s per input, wall clock:
# a loaded machine slows a niced, sanitized run; time suspicious inputs with the replay build) and
# inputs exceeding 2 GiB of memory are written to fuzz/out/ as crash-*, timeout-* or oom-*. Copy
# small interesting inputs into corpus/TARGET and every failing one into regressions/TARGET, where
# the replay test runs them under any compiler. The real dumps of ../shared/corpus/ (beside the
# project; TARN_SEEDS names another folder) seed the targets named after a format, if present.
set -eu
[ $# -eq 2 ] || { echo "usage: $0 TARGET MINUTES" >&2; exit 2; }
target=$1
minutes=$2
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/fuzz/out"
(cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz --target "fuzz_$target")
mkdir -p "$out/corpus_$target"
cd "$out"
seeds=${TARN_SEEDS:-$root/../shared/corpus}
extra=""
case $target in
  eval | vcd_pieces) format=vcd ;;
  *) format=$target ;;
esac
if [ -d "$seeds/$format" ]; then extra="$seeds/$format"; fi
mkdir -p "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"
exec nice -n 19 "$out/build/fuzz/fuzz_$target" -max_total_time=$((minutes * 60)) -timeout=30 \
    -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
    "$out/corpus_$target" "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target" $extra
