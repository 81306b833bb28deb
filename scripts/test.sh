#!/usr/bin/env bash
# Sets up, builds and runs every test: a normal build, then one with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# One style for all C++ sources.
find src tests resident fuzz bench -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run --Werror
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$(nproc)")
bash scripts/build.sh build-sanitize -DTARLEK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-sanitize && ctest --output-on-failure -j"$(nproc)")
