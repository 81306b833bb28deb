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
files=(bin/tarlek bin/tarlek-mon bin/tarlek-sim share/tarlek/tarlek.bin share/tarlek/Tarlek.inc
  share/tarlek/tarlek.h share/tarlek/tarlek_sdas.inc share/man/man1/tarlek.1.gz
  share/man/man1/tarlek-mon.1.gz share/man/man1/tarlek-sim.1.gz)
[ "${4:-}" = --with-doc ] && files+=(share/doc/tarlek/README.md share/doc/tarlek/resident/README.md)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarlek-installed-XXXXXX")
trap 'rm -rf "$work"' EXIT

for f in "${files[@]}"; do
  [ -f "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done
[ -x "$prefix/bin/tarlek" ] || { echo "FAIL: bin/tarlek is not executable"; exit 1; }
# The man pages, compressed, each with its title and the version.
for page in tarlek tarlek-mon tarlek-sim; do
  title=$(gzip -dc "$prefix/share/man/man1/$page.1.gz" | head -n 1)
  grep -q "^\.TH ${page^^} 1 .*\"tarlek $version\"" <<<"$title" ||
    { echo "FAIL: $page.1.gz: $title"; exit 1; }
done
"$prefix/bin/tarlek-sim" --help | grep -q '^Usage: tarlek-sim' || { echo "FAIL: tarlek-sim --help"; exit 1; }
"$prefix/bin/tarlek-mon" --help | grep -q '^Usage: tarlek-mon' || { echo "FAIL: tarlek-mon --help"; exit 1; }
out=$("$prefix/bin/tarlek" --version)
[ "$out" = "Tarlek $version" ] || { echo "FAIL: tarlek --version says: $out"; exit 1; }

cd "$work"
cp "$prefix/share/tarlek/tarlek.bin" "$examples/demo.hex" .
out=$("$prefix/bin/tarlek" demo.hex)
grep -q 'Tarlek is now located at 8000h' <<<"$out" || { echo "FAIL: $out"; exit 1; }
grep -q '^:10800000' demo.hex || { echo "FAIL: no resident at 8000h in demo.hex"; exit 1; }
