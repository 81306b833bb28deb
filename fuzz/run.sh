#!/usr/bin/env bash
# Builds the fuzz targets with clang and fuzzes each for its share of a
# bounded time:
#   fuzz/run.sh SECONDS [more libFuzzer options, e.g. -runs=10000000]
# The targets (fuzz_TARGET.cpp, seeds in fuzz/corpus/TARGET): the merge
# tool's whole run; the frame decoders of both protocol versions; the .cdb
# reader; the linker's map; the strict Intel HEX reading. Each gets an equal
# share of SECONDS. New inputs go to a scratch copy of the seed corpus, not
# into the repository; a crashing input is kept as build-fuzz/TARGET-crash-*
# (or -leak-, -timeout-, -oom-), every target still runs, and the script
# fails when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
CXX=clang++ bash scripts/build.sh build-fuzz -DTARLEK_FUZZ=ON -DTARLEK_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARLEK_WARNINGS_AS_ERRORS=ON
# Each run of the whole tool writes its files and syncs the output: on tmpfs
# that costs nothing.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# TARGET and the longest input it is given: a run's program and resident, a
# stretch of the line, a .cdb with its listing, a map, a HEX file.
targets=(run:2048 frames:1024 cdb:12000 map:12000 hex:4096)
share=$((seconds / ${#targets[@]}))
if [ "$share" -lt 1 ]; then share=1; fi
failed=()
for entry in "${targets[@]}"; do
  target=${entry%%:*}
  max_len=${entry#*:}
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  echo "== fuzz_$target: $share s"
  if ! ./build-fuzz/tarlek_fuzz_"$target" -max_total_time="$share" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$PWD/build-fuzz/$target-" "$@" \
    "$work/$target"; then
    failed+=("$target")
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz/run.sh: findings in: ${failed[*]} (inputs in build-fuzz/)" >&2
  exit 1
fi
