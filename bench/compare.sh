#!/usr/bin/env bash
# Whole runs side by side on the same full 64 KB program (bench/make_program.py):
# tarlek (HEX in, BIN out with /ob) against objcopy and srec_cat converting the
# same HEX file to binary. Counts instructions with callgrind (the whole
# process, start-up included; repeatable on a busy machine), times RUNS runs
# of each, checks tarlek's heap use with memcheck, and prints the ratios.
#   bench/compare.sh [BUILD_DIR] [RUNS]
# BUILD_DIR defaults to build-bench, built here in Release when missing. The
# files live on tmpfs (/dev/shm) when there is one, or in TARLEK_BENCH_DIR:
# tarlek syncs its output before putting it in place, which on a disk costs
# more than the whole run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-200}
if [ ! -x "$build/tarlek" ]; then
  bash scripts/build.sh "$build" -DTARLEK_BENCH=ON -DTARLEK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
fi
tarlek=$(realpath "$build/tarlek")
base=${TARLEK_BENCH_DIR:-/dev/shm}
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/tarlek-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
here=$PWD
cd "$work"
python3 "$here/bench/make_program.py"

declare -A command=(
  [tarlek]="$tarlek prog.hex /ob"
  [objcopy]="objcopy -I ihex -O binary prog.hex objcopy.bin"
  [srec_cat]="srec_cat prog.hex -Intel -o srec_cat.bin -Binary"
)
tools=(tarlek objcopy srec_cat)

# All three must make the same image of the program (tarlek's adds the resident).
for t in "${tools[@]}"; do ${command[$t]} >/dev/null; done
cmp -n $((0xFF00)) prog.bin objcopy.bin && cmp objcopy.bin srec_cat.bin ||
  { echo "compare: the tools disagree on the image" >&2; exit 1; }

declare -A instructions micros
for t in "${tools[@]}"; do
  valgrind --tool=callgrind --callgrind-out-file=/dev/null ${command[$t]} >/dev/null 2>callgrind.log
  instructions[$t]=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' callgrind.log)
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do ${command[$t]} >/dev/null; done
  end=$(date +%s%N)
  micros[$t]=$(((end - start) / runs / 1000))
done

valgrind --tool=memcheck $tarlek prog.hex /ob 2>memcheck.log >/dev/null
heap=$(sed -n 's/.*total heap usage: \(.*\)/\1/p' memcheck.log)

echo "full 64 KB program: prog.hex $(stat -c %s prog.hex) bytes; $runs timed runs each"
printf '%-10s %14s %10s %12s %10s\n' tool instructions ratio "wall (us)" ratio
for t in "${tools[@]}"; do
  printf '%-10s %14d %9.1fx %12d %9.1fx\n' "$t" "${instructions[$t]}" \
    "$(awk "BEGIN { print ${instructions[$t]} / ${instructions[tarlek]} }")" "${micros[$t]}" \
    "$(awk "BEGIN { print ${micros[$t]} / ${micros[tarlek]} }")"
done
echo "tarlek heap (memcheck): $heap"
