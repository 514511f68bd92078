# SPDX-License-Identifier: MIT
# The tails of the frame intervals and of the key-to-picture latencies of the
# game and the floor: the share of frames or presses that took at least so long,
# on a log scale, with each p95 marked.
# gnuplot -e "data='FILE'" bench/short.gp, for FILE.md: reads FILE-tails.tsv, writes FILE-tails.png
set terminal pngcairo size 960,720 font "DejaVu Sans,10" noenhanced
set output data . "-tails.png"
file = data . "-tails.tsv"
set multiplot layout 2,1
set grid
set logscale y
set yrange [1e-4:1]
set ylabel "share at least this long"
set key bottom left
set title "Frame intervals"
set xlabel "ms"
plot file index 0 with steps linewidth 2 linecolor rgb "#008b8b" title "tarvik", \
     file index 1 with steps linewidth 2 linecolor rgb "#606060" title "floor", \
     file index 4 with lines dashtype 2 linecolor rgb "#008b8b" title "tarvik p95", \
     file index 5 with lines dashtype 2 linecolor rgb "#606060" title "floor p95"
set title "Key to picture"
plot file index 2 with steps linewidth 2 linecolor rgb "#008b8b" title "tarvik", \
     file index 3 with steps linewidth 2 linecolor rgb "#606060" title "floor", \
     file index 6 with lines dashtype 2 linecolor rgb "#008b8b" title "tarvik p95", \
     file index 7 with lines dashtype 2 linecolor rgb "#606060" title "floor p95"
