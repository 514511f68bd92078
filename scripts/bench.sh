#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmarks the game against the floor program of bench/ on a virtual
# 1920 x 1080 desktop: frame pacing, CPU per frame, start-up, key-to-picture
# latency and memory, with a plot of each page's data beside it.
#
#   scripts/bench.sh           nine pairs of runs, about four and a half minutes;
#                              writes docs/benchmarks.md
#   scripts/bench.sh --short   one short pair, only to prove the benchmark works;
#                              writes build/benchmarks.md
#   scripts/bench.sh --long    30 minutes of the game, the floor and the game with
#                              malloc's threshold fixed, side by side, for memory
#                              growth; writes docs/benchmarks-long.md
set -euo pipefail
source "$(dirname "$0")/common.sh"

case "${1:-}" in
    "") output="$project_dir/docs/benchmarks.md" ;;
    --short) output="$build_dir/benchmarks.md" ;;
    --long) output="$project_dir/docs/benchmarks-long.md" ;;
    *) echo "usage: scripts/bench.sh [--short | --long]" >&2 && exit 2 ;;
esac

install_groups build play virtual-desktop plots
build_project "$build_dir" -DCMAKE_BUILD_TYPE=Release
"$build_dir/bench/bench" "$@" --output "$output"
gnuplot -e "data='${output%.md}'" "$project_dir/bench/$([ "${1:-}" = --long ] && echo long || echo short).gp"
echo "Benchmark written to ${output#"$project_dir"/}"
