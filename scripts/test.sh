#!/usr/bin/env bash
# Sets up, builds and runs every test, with warnings as errors: a GCC build, a
# clang Release build (whose compilation database clang-tidy reads), and a
# GCC build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# One style for all C++ sources.
find src tests resident fuzz bench -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run --Werror
bash scripts/build.sh build -DTARLEK_WARNINGS_AS_ERRORS=ON
(cd build && ctest --output-on-failure -j"$(nproc)")
CXX=clang++ bash scripts/build.sh build-clang -DCMAKE_BUILD_TYPE=Release -DTARLEK_WARNINGS_AS_ERRORS=ON
(cd build-clang && ctest --output-on-failure -j"$(nproc)")
# Static analysis with the checks chosen in .clang-tidy (less its count of
# the warnings it left out, in system headers).
{ find src -name '*.cpp' && ls resident/*.cpp; } |
  xargs -P"$(nproc)" -n4 clang-tidy -p build-clang --quiet 2> >(grep -v ' warnings generated\.$' >&2)
bash scripts/build.sh build-sanitize -DTARLEK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
  -DTARLEK_WARNINGS_AS_ERRORS=ON
(cd build-sanitize && ctest --output-on-failure -j"$(nproc)")
