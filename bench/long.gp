# SPDX-License-Identifier: MIT
# The allocator's bytes in use and the resident size of the game and the floor
# over the long benchmark's steady state, from zero, with the judged span shaded.
# gnuplot -e "data='FILE'" bench/long.gp, for FILE.md: reads FILE-memory.tsv, writes FILE-memory.png
set terminal pngcairo size 960,720 font "DejaVu Sans,10" noenhanced
set output data . "-memory.png"
file = data . "-memory.tsv"
stats file index 4 using 1 nooutput
set object 1 rectangle from STATS_min, graph 0 to STATS_max, graph 1 behind fillcolor rgb "#eeeeee" fillstyle solid noborder
set multiplot layout 2,1
set grid
set xlabel "minutes"
set yrange [0:*]
set key bottom right
set title "Allocator's bytes in use (mallinfo2), the judged span shaded"
set ylabel "MiB"
plot file index 0 with lines linewidth 2 linecolor rgb "#008b8b" title "tarvik", \
     file index 1 with lines linewidth 2 linecolor rgb "#606060" title "floor"
set title "Resident size (Rss, smaps_rollup), the judged span shaded"
plot file index 2 with lines linewidth 2 linecolor rgb "#008b8b" title "tarvik", \
     file index 3 with lines linewidth 2 linecolor rgb "#606060" title "floor"
