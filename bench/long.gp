# SPDX-License-Identifier: MIT
# The resident size of the game's two runs in the long benchmark, as it is and with
# malloc's threshold fixed, over the steady state.
# gnuplot -e "data='FILE'" bench/long.gp, for FILE.md: reads FILE-rss.tsv, writes FILE-rss.png
set terminal pngcairo size 960,540 font "DejaVu Sans,10"
set output data . "-rss.png"
file = data . "-rss.tsv"
set datafile separator "\t"
set title "Resident size over the steady state"
set xlabel "minutes"
set ylabel "VmRSS (MiB)"
set key outside bottom center horizontal
set grid
# The header is the first line, behind a "#"; the columns plotted are the game's runs.
set datafile commentschars ""
games = system("head -n 1 '" . file . "' | awk -F'\t' '{ for (i = 2; i <= NF; i++) if ($i ~ /^tarvik/) printf \"%d \", i }'")
plot for [j = 1:words(games)] file using 1:int(word(games, j)) with lines linewidth 2 title columnhead(int(word(games, j)))
