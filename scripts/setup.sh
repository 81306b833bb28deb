#!/usr/bin/env bash
# Installs what building and testing Tarlek needs, when it is missing
# (Debian 12; as root, or through sudo).
set -euo pipefail

packages=(cmake g++ make libgtest-dev clang-format python3 as31 sdcc-ucsim
  srecord binutils python3-intelhex sdcc clang libclang-rt-14-dev libbenchmark-dev valgrind
  libcli11-dev libfmt-dev nlohmann-json3-dev)
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
