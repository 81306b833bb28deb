#!/usr/bin/env bash
# Builds the fuzz target with clang and fuzzes the whole run for a bounded time:
#   fuzz/run.sh SECONDS [more libFuzzer options, e.g. -runs=10000000]
# New inputs go to a scratch copy of the seed corpus, not into the repository;
# a crashing input is kept as build-fuzz/crash-* and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
CXX=clang++ bash scripts/build.sh build-fuzz -DTARLEK_FUZZ=ON -DTARLEK_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARLEK_WARNINGS_AS_ERRORS=ON
# Each run writes its files and syncs the output: on tmpfs that costs nothing.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp fuzz/corpus/* "$work/"
./build-fuzz/tarlek_fuzz -max_total_time="$seconds" -max_len=2048 -timeout=10 -rss_limit_mb=1024 \
  -print_final_stats=1 -artifact_prefix="$PWD/build-fuzz/" "$@" "$work"
