// SPDX-License-Identifier: MIT
#pragma once

// Runs the game and the floor program on virtual desktops of their own and
// records what each run gives, through X and /proc and the swap tracer.

#include "record.h"

#include <chrono>
#include <string>

// How the benchmark runs, by mode: the nine pairs of the full mode, the short
// mode that only proves it works, or the long mode that watches memory.
struct Settings {
    std::string mode = "full";
    int pairs = 9;
    int width = 1920, height = 1080;
    bool sideBySide = false;                      // both programs at once, rather than in turn
    std::chrono::seconds warmUp{3};               // before the steady state is measured
    std::chrono::seconds measure{10};             // the steady state
    std::chrono::seconds judged{8};               // its end, whose memory growth counts
    std::chrono::milliseconds memoryEvery{1000};  // between readings of memory
    int presses = 60;                             // key-to-picture samples a run
    std::string describe = "unknown";             // the commit measured, as git describe says
};

// Measures every pair, the game then the floor or both side by side, into the
// record; false if some figure could not be measured.
bool measureAll(const Settings& settings, Record& record);
