#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmarks the game against the floor program of bench/ on a virtual
# 1920 x 1080 desktop: frame pacing, CPU per frame, start-up, key-to-picture
# latency and memory, stores the raw data beside each page and draws its plot.
#
#   scripts/bench.sh              nine pairs of runs, about five minutes;
#                                 writes docs/benchmarks.md
#   scripts/bench.sh --short      one short pair, only to prove the benchmark works;
#                                 writes build/benchmarks.md
#   scripts/bench.sh --long       30 minutes of the game and the floor side by side,
#                                 for memory; writes docs/benchmarks-long.md
#   scripts/bench.sh --report DIR writes both pages in DIR (docs) again from the
#                                 data stored beside them, and their plots
set -euo pipefail
source "$(dirname "$0")/common.sh"

mode=() report=""
case "${1:-}" in
    "") output=$project_dir/docs/benchmarks.md ;;
    --short) output=$build_dir/benchmarks.md mode=(--short) ;;
    --long) output=$project_dir/docs/benchmarks-long.md mode=(--long) ;;
    --report) [ $# -eq 2 ] || { echo "usage: scripts/bench.sh [--short | --long | --report DIR]" >&2 && exit 2; }
        report=$2 ;;
    *) echo "usage: scripts/bench.sh [--short | --long | --report DIR]" >&2 && exit 2 ;;
esac

install_groups build play virtual-desktop tests plots
build_project "$build_dir" -DCMAKE_BUILD_TYPE=Release
if [ -n "$report" ]; then
    "$build_dir/bench/bench" --report "$report"
    gnuplot -e "data='$report/benchmarks'" "$project_dir/bench/short.gp"
    gnuplot -e "data='$report/benchmarks-long'" "$project_dir/bench/long.gp"
    echo "Benchmark pages written again in $report"
    exit 0
fi
"$build_dir/bench/bench" "${mode[@]}" --describe "$(git -C "$project_dir" describe --always --dirty)" --output "$output"
gnuplot -e "data='${output%.md}'" "$project_dir/bench/$([ "${mode[*]}" = --long ] && echo long || echo short).gp"
echo "Benchmark written to ${output#"$project_dir"/}"
