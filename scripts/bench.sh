#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmarks the game against the floor program of bench/ on virtual 1920 x 1080
# desktops, stores the raw data beside each page it writes and draws the page's plot.
#
#   scripts/bench.sh               nine pairs of runs, about five minutes: docs/benchmarks.md
#   scripts/bench.sh --short       one short pair, only to prove it works: build/benchmarks.md
#   scripts/bench.sh --long        30 minutes side by side, for memory: docs/benchmarks-long.md
#   scripts/bench.sh --report DIR  both pages in DIR again from their stored data, measuring nothing
set -euo pipefail
source "$(dirname "$0")/common.sh"

case "${1:-}:$#" in
    :0) pages=("$project_dir/docs/benchmarks.md") && args=(--output "${pages[0]}") ;;
    --short:1) pages=("$build_dir/benchmarks.md") && args=(--short --output "${pages[0]}") ;;
    --long:1) pages=("$project_dir/docs/benchmarks-long.md") && args=(--long --output "${pages[0]}") ;;
    --report:2) pages=("$2/benchmarks.md" "$2/benchmarks-long.md") && args=(--report "$2") ;;
    *) echo "usage: scripts/bench.sh [--short | --long | --report DIR]" >&2 && exit 2 ;;
esac
[ "${1:-}" = --report ] || args+=(--describe "$(git -C "$project_dir" describe --always --dirty)")
install_groups build play virtual-desktop tests plots
build_project "$build_dir" -DCMAKE_BUILD_TYPE=Release
"$build_dir/bench/bench" "${args[@]}"
for page in "${pages[@]}"; do
    gnuplot -e "data='${page%.md}'" "$project_dir/bench/$([[ $page == *-long.md ]] && echo long || echo short).gp"
    echo "Benchmark written to ${page#"$project_dir"/}"
done
