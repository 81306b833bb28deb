#!/usr/bin/env bash
# Configures and builds into a build directory: build.sh [DIR] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G "Unix Makefiles" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
