#!/usr/bin/env bash
# Installs the build into a private prefix and uses it as a user would (see
# check_installed.sh).
#   install_test.sh BUILD_DIR EXAMPLES_DIR VERSION
set -euo pipefail
build=$1
examples=$2
version=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/tarlek-install-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Every install rule lives in packaging/; its script, unlike the top-level
# one, writes no install manifest into the build directory.
cmake -DCMAKE_INSTALL_PREFIX="$work/prefix" -P "$build/packaging/cmake_install.cmake" >/dev/null
bash "$(dirname "$0")/check_installed.sh" "$work/prefix" "$examples" "$version" --with-doc
echo "installed layout works"
