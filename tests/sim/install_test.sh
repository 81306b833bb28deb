#!/usr/bin/env bash
# Installs the build into a private prefix and uses it as a user would: the
# tool from bin, tarlek.bin and the include file from share/tarlek, the man
# page from man1, on the bundled demo.
#   install_test.sh BUILD_DIR EXAMPLES_DIR
set -euo pipefail
build=$1
examples=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tarlek-install-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The install rules live in the resident directory; its script, unlike the
# top-level one, writes no install manifest into the build directory.
cmake -DCMAKE_INSTALL_PREFIX="$work/prefix" -P "$build/resident/cmake_install.cmake" >/dev/null
for f in bin/tarlek bin/tarlek-mon share/tarlek/tarlek.bin share/tarlek/Tarlek.inc \
  share/tarlek/tarlek.h share/tarlek/tarlek_sdas.inc share/man/man1/tarlek.1 \
  share/man/man1/tarlek-mon.1; do
  [ -f "$work/prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done
[ -x "$work/prefix/bin/tarlek" ] || { echo "FAIL: bin/tarlek is not executable"; exit 1; }
"$work/prefix/bin/tarlek-mon" --help | grep -q '^Usage: tarlek-mon' || { echo "FAIL: tarlek-mon --help"; exit 1; }
grep -q '^\.TH TARLEK-MON 1' "$work/prefix/share/man/man1/tarlek-mon.1" || { echo "FAIL: tarlek-mon man page"; exit 1; }
grep -q '^\.TH TARLEK 1' "$work/prefix/share/man/man1/tarlek.1" || { echo "FAIL: man page"; exit 1; }

mkdir "$work/user"
cd "$work/user"
cp "$work/prefix/share/tarlek/tarlek.bin" "$examples/demo.hex" .
out=$("$work/prefix/bin/tarlek" demo.hex)
grep -q 'Tarlek is now located at 8000h' <<<"$out" || { echo "FAIL: $out"; exit 1; }
grep -q '^:10800000' demo.hex || { echo "FAIL: no resident at 8000h in demo.hex"; exit 1; }
echo "installed layout works"
