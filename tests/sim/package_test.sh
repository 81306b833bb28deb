#!/usr/bin/env bash
# Builds the tools as a packager does (their own build directory, no tests,
# the default warnings), makes the Debian package with cpack, checks what it
# declares and holds, and uses the tools from a copy extracted with
# dpkg-deb -x. Everything happens in a private temporary directory; the
# package is never installed.
#   package_test.sh SOURCE_DIR CXX_COMPILER VERSION
set -euo pipefail
src=$1
cxx=$2
version=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/tarlek-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DTARLEK_TESTS=OFF \
  -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/build" -j2 >/dev/null
(cd "$work/build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" ||
  { cat "$work/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb=$work/out/tarlek_${version}_$arch.deb
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work/out")"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarlek ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = electronics ] || fail "Section: $(field Section)"
grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' <<<"$(field Maintainer)" || fail "Maintainer: $(field Maintainer)"
grep -Eq '(^|, )sdcc(,|$)' <<<"$(field Suggests)" || fail "Suggests: $(field Suggests) (no sdcc)"
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 2 ] || fail "Description without a long part: $description"
dpkg-deb -I "$deb" >/dev/null || fail "dpkg-deb -I"

# The files: under /usr only, owned by root, the expected ones among them.
dpkg-deb -c "$deb" >"$work/contents"
awk '{ print $6 }' "$work/contents" | sed 's|/$||' >"$work/paths"
grep -v -e '^\./usr/' -e '^\.$' -e '^\./usr$' "$work/paths" && fail "paths outside /usr"
awk '$2 != "root/root"' "$work/contents" | grep . && fail "files not owned by root"
for f in bin/tarlek bin/tarlek-sim share/tarlek/tarlek.bin share/tarlek/Tarlek.inc \
  share/man/man1/tarlek.1.gz share/man/man1/tarlek-sim.1.gz share/doc/tarlek/README.md \
  share/doc/tarlek/resident/README.md share/doc/tarlek/copyright share/doc/tarlek/changelog.gz \
  share/doc/tarlek/examples/demo.asm share/doc/tarlek/examples/demo_c.c \
  share/doc/tarlek/examples/demo_sdas.asm; do
  grep -qx "\./usr/$f" "$work/paths" || fail "$f is not in the package"
done

# Every shared library that a packaged program names itself (its NEEDED
# entries) comes from a package that Depends names; what those libraries load
# in turn is their own packages' dependencies.
dpkg-deb -x "$deb" "$work/root"
depends=$(field Depends)
# The package names in Depends, one a line, without versions.
depends_names=$(sed -e 's/([^)]*)//g' -e 's/[,|]/\n/g' <<<"$depends" | tr -d ' ')
while IFS= read -r -d '' program; do
  file -b "$program" | grep -q 'dynamically linked' || continue
  while read -r library; do
    owner=$(dpkg -S "$library" 2>/dev/null || dpkg -S "/usr$library" 2>/dev/null ||
      dpkg -S "${library#/usr}" 2>/dev/null) || fail "no package holds $library"
    owner=${owner%%:*}
    grep -qxF "$owner" <<<"$depends_names" ||
      fail "${program#"$work"/root} loads $library from $owner, which Depends ($depends) leaves out"
  done < <(ldd "$program" | awk -v needed="$(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }')" '
    BEGIN { n = split(needed, names, "\n"); for (i = 1; i <= n; ++i) wanted[names[i]] = 1 }
    $2 == "=>" && $3 ~ /^\// && ($1 in wanted) { print $3 }')
done < <(find "$work/root" -type f -perm -u+x -print0)

# The copyright file in Debian's machine-readable format.
head -n 1 "$work/root/usr/share/doc/tarlek/copyright" |
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "copyright is not in the machine-readable format"
# Debian's package checker finds no error in it.
if command -v lintian >/dev/null; then
  lintian --no-cfg "$deb" >"$work/lintian.log" 2>&1 || true
  grep '^E: ' "$work/lintian.log" && fail "lintian reports errors"
else
  echo "lintian not installed: the package is not checked with it (scripts/setup.sh installs it)"
fi
# tarlek-mon plot serves the chart library from its installed file.
grep -qxF libjs-chart.js <<<"$depends_names" ||
  fail "Depends ($depends) leaves out libjs-chart.js, the chart library tarlek-mon plot serves"

# Every installed path the READMEs name (the SDCC lines, the files "Try it
# without a board" copies) is one the package holds.
while IFS= read -r path; do
  [ -e "$work/root$path" ] || fail "a README names $path, which the package does not hold"
done < <(grep -ohE '/usr/share/(doc/)?tarlek[^] `)"\\,;:]*' "$src/README.md" "$src/resident/README.md" |
  sed 's/\.$//' | sort -u)
# The README's SDCC line for the package builds its C example (printf, the
# timer interrupt) against the packaged tarlek.h, and tarlek merges it.
if command -v sdcc >/dev/null && command -v packihx >/dev/null; then
  sdcc_line=$(awk '/^ *sdcc -mmcs51/ { line = ""; taking = 1 }
    taking { sub(/^ */, ""); sub(/\\$/, ""); line = line $0; if ($0 !~ / $/) taking = 0 }
    !taking && line ~ /-I\/usr\/share\/tarlek / { print line; exit }' "$src/README.md")
  [ -n "$sdcc_line" ] || fail "README has no SDCC line for the package's /usr/share/tarlek"
  mkdir "$work/c"
  cp "$work/root/usr/share/doc/tarlek/examples/demo_c.c" "$work/c/prog.c"
  cp "$work/root/usr/share/tarlek/tarlek.bin" "$work/c/"
  read -ra words <<<"${sdcc_line//-I\/usr\//-I$work/root/usr/}"
  (cd "$work/c" && "${words[@]}" >sdcc.log 2>&1 && packihx prog.ihx >prog.hex 2>/dev/null &&
    "$work/root/usr/bin/tarlek" prog.hex >tarlek.log 2>&1) ||
    fail "README's SDCC line ($sdcc_line) on the packaged demo_c.c: $(cat "$work/c/"*.log)"
else
  echo "sdcc not installed: the README's SDCC line is not tried (scripts/setup.sh installs it)"
fi

bash "$(dirname "$0")/check_installed.sh" "$work/root/usr" "$src/examples" "$version" --with-doc
echo "package $(basename "$deb") works"
