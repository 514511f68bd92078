#!/usr/bin/env bash
# Installs what the project needs, builds it with its tests and runs them all:
# the call-by-call unit tests and the end-to-end tests on a virtual desktop.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_missing_packages
build_project -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=ON
cd "$build_dir"
ctest --output-on-failure --parallel "$(nproc)"
