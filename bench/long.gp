# SPDX-License-Identifier: MIT
# The resident size of each program of the long benchmark over its steady state.
# gnuplot -e "data='FILE-rss.tsv'; picture='FILE-rss.png'" bench/long.gp
set terminal pngcairo size 960,540 font "DejaVu Sans,10"
set output picture
set datafile separator "\t"
set title "Resident size over the steady state"
set xlabel "minutes"
set ylabel "VmRSS (MiB)"
set key outside bottom center horizontal
set grid
columns = words(system("head -n 1 '" . data . "' | tr -d ' ' | tr '\\t' ' '"))
plot for [i = 2:columns] data using 1:i with lines linewidth 2 title columnhead(i)
