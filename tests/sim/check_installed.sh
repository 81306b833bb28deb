#!/usr/bin/env bash
# Uses an installed Tarlek as a user would: the tool from bin, tarlek.bin and
# the include file from share/tarlek, the man page from man1, the README from
# share/doc/tarlek (when asked for), merging the bundled demo in a private
# directory.
#   check_installed.sh PREFIX EXAMPLES_DIR VERSION [--with-doc]
set -euo pipefail
prefix=$1
examples=$2
version=$3
files=(bin/tarlek bin/tarlek-mon share/tarlek/tarlek.bin share/tarlek/Tarlek.inc share/tarlek/tarlek.h
  share/tarlek/tarlek_sdas.inc share/man/man1/tarlek.1 share/man/man1/tarlek-mon.1)
[ "${4:-}" = --with-doc ] && files+=(share/doc/tarlek/README.md share/doc/tarlek/resident/README.md)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarlek-installed-XXXXXX")
trap 'rm -rf "$work"' EXIT

for f in "${files[@]}"; do
  [ -f "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done
[ -x "$prefix/bin/tarlek" ] || { echo "FAIL: bin/tarlek is not executable"; exit 1; }
grep -q "^\.TH TARLEK 1 .*\"tarlek $version\"" "$prefix/share/man/man1/tarlek.1" ||
  { echo "FAIL: man page title: $(head -n 1 "$prefix/share/man/man1/tarlek.1")"; exit 1; }
grep -q "^\.TH TARLEK-MON 1 .*\"tarlek $version\"" "$prefix/share/man/man1/tarlek-mon.1" ||
  { echo "FAIL: tarlek-mon man page title"; exit 1; }
"$prefix/bin/tarlek-mon" --help | grep -q '^Usage: tarlek-mon' || { echo "FAIL: tarlek-mon --help"; exit 1; }
out=$("$prefix/bin/tarlek" --version)
[ "$out" = "Tarlek $version" ] || { echo "FAIL: tarlek --version says: $out"; exit 1; }

cd "$work"
cp "$prefix/share/tarlek/tarlek.bin" "$examples/demo.hex" .
out=$("$prefix/bin/tarlek" demo.hex)
grep -q 'Tarlek is now located at 8000h' <<<"$out" || { echo "FAIL: $out"; exit 1; }
grep -q '^:10800000' demo.hex || { echo "FAIL: no resident at 8000h in demo.hex"; exit 1; }
