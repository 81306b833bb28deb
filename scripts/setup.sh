#!/usr/bin/env bash
# Installs what Tarlek needs, when it is missing (Debian 12; as root, or
# through sudo):
#   setup.sh        everything for building, testing, fuzzing and packaging
#   setup.sh demo   only what the demo needs: the tools' build and the 8051
#                   assembler and simulator
set -euo pipefail

# The tools' build (the compiler, CMake, the libraries tarlek-mon is built
# with, its plot page's web server and chart library), as31 and the s51
# simulator.
demo=(cmake g++ make pkg-config libcli11-dev libfmt-dev nlohmann-json3-dev libcpp-httplib-dev
  libjs-chart.js as31 sdcc-ucsim)
# The tests and their peer tools, style and static analysis, the fuzzer's and
# sanitizers' runtime, benchmarks, what cpack needs to find the package's
# dependencies (dpkg-shlibdeps, file), Debian's package checker, and the
# browser that tests the plot page (headless Chromium, driven from Python).
tests=(libgtest-dev python3 srecord binutils python3-intelhex sdcc clang-format clang-tidy clang
  libclang-rt-14-dev libbenchmark-dev valgrind dpkg-dev file lintian chromium chromium-driver
  python3-selenium)

case "${1:-all}" in
  demo) packages=("${demo[@]}") ;;
  all) packages=("${demo[@]}" "${tests[@]}") ;;
  *)
    echo "usage: setup.sh [demo]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
