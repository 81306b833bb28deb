#!/usr/bin/env bash
# Sets up, builds, and merges the resident into the bundled example program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
python3 examples/make_example.py "$demo"
cd "$demo"
../tarlek prog.bin
echo "merged prog.bin ($(stat -c %s prog.bin) bytes); the resident at 8000h:"
od -A x -t x1 -j 0x8000 prog.bin
