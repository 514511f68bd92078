#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and playing need, builds the game and starts it;
# arguments go to the game (and so to GLUT). Where no X display can be opened,
# it runs the game on a virtual desktop for a few seconds instead, saves a
# picture of it to build/screenshot.png and ends it with Escape.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_groups build play
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    build_project "$build_dir"
    exec "$build_dir/tarvik" "$@"
fi

# No display: the virtual desktop and the screenshot tool's libraries first,
# so that the build includes the tool.
install_groups virtual-desktop
build_project "$build_dir"
"$build_dir/tools/screenshot" "$build_dir/screenshot.png" "$build_dir/tarvik"
echo "No X display here, so Tarvik Game ran on a virtual one: see build/screenshot.png"
