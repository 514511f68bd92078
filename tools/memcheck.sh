#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the game under valgrind's memcheck on a virtual desktop for a few
# seconds, ends it with Escape, and fails if memcheck saw an invalid read or
# write, or a definitely lost block, in the game's own code. What memcheck
# finds inside the libraries (GLUT, Mesa, Xlib) is counted and shown, not
# failed on. The whole report is kept in the log.
#
#   memcheck.sh SCREENSHOT_TOOL GAME LOG
set -euo pipefail
if [ $# -ne 3 ]; then
    echo "usage: memcheck.sh SCREENSHOT_TOOL GAME LOG" >&2
    exit 2
fi
screenshot=$1 game=$2 log=$3

"$screenshot" --timeout 120 "${log%.log}.png" \
    valgrind --log-file="$log" --leak-check=full --show-leak-kinds=definite --num-callers=30 "$game"

# A record is the game's when the frame nearest the fault (for an invalid
# access) or nearest the allocator (for a leak) lies in the game's binary.
own_frame='\(in [^)]*/tarvik\)|\((main|game_draw)\.cpp:[0-9]+\)'
awk -v own="$own_frame" '
    /Invalid (read|write) of size/ { invalid++; record = "invalid"; next }
    /definitely lost in loss record/ { leaks++; record = "leak"; next }
    record == "invalid" && / at 0x/ { if ($0 ~ own) ownInvalid++; record = ""; next }
    record == "leak" && / by 0x/ { if ($0 ~ own) ownLeaks++; record = ""; next }
    END {
        printf "memcheck: %d invalid reads or writes (%d in the game), ", invalid, ownInvalid
        printf "%d definitely lost blocks (%d allocated by the game)\n", leaks, ownLeaks
        exit (ownInvalid + ownLeaks > 0)
    }' "$log" || { echo "memcheck found faults in the game's code: see $log" >&2; exit 1; }
