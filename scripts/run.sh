#!/usr/bin/env bash
# Installs what the project needs, builds it and starts the game; arguments go
# to the game (and so to GLUT). Where no X display can be opened, it runs the
# game on a virtual desktop for a few seconds instead, saves a picture of it to
# build/screenshot.png and ends it with Escape.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_missing_packages
build_project "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=ON

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    exec "$build_dir/tarvik" "$@"
fi
"$build_dir/tests/screenshot" --icon "$build_dir/icon.png" "$build_dir/screenshot.png" "$build_dir/tarvik"
echo "No X display here, so Tarvik Game ran on a virtual one: see build/screenshot.png"
