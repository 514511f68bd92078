# SPDX-License-Identifier: MIT
# Histograms of the frame intervals of the game and the floor, and of the game's
# key-to-picture latencies.
# gnuplot -e "data='FILE'" bench/short.gp, for FILE.md: reads FILE-frames.tsv and
# FILE-keys.tsv, writes FILE-distributions.png
set terminal pngcairo size 960,720 font "DejaVu Sans,10"
set output data . "-distributions.png"
frames = data . "-frames.tsv"
keys = data . "-keys.tsv"
set multiplot layout 2,1
set grid
set style fill transparent solid 0.5
set ylabel "share"
bin(x, width) = width * floor(x / width) + width / 2.0
set title "Frame intervals"
set boxwidth 0.5
set xlabel "ms (bins of 0.5 ms)"
stats frames index 0 nooutput
game_frames = STATS_records
stats frames index 1 nooutput
floor_frames = STATS_records
stats keys index 0 nooutput
presses = STATS_records
plot frames index 0 using (bin($1, 0.5)):(1.0 / game_frames) smooth frequency with boxes title "tarvik", \
     frames index 1 using (bin($1, 0.5)):(1.0 / floor_frames) smooth frequency with boxes title "floor"
set title "Key to picture, tarvik"
set boxwidth 1
set xlabel "ms (bins of 1 ms)"
plot keys index 0 using (bin($1, 1)):(1.0 / presses) smooth frequency with boxes title "tarvik"
