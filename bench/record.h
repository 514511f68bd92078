// SPDX-License-Identifier: MIT
#pragma once

// The benchmark's raw data as it is stored beside its page, run by run, so
// that the page can be made again from it without measuring.

#include <string>
#include <utility>
#include <vector>

using Values = std::vector<long long>;

// What one run of one program gave, in whole numbers as they were read. Times
// are microseconds from just before the program was started.
struct RunRecord {
    int pair = 0;
    std::string subject;        // "tarvik" or "floor"
    std::string renderer;       // the GL renderer that drew its first frame
    Values board;               // when the game's board first showed
    Values steady;              // the start and end of the steady state
    Values cpu;                 // the program's CPU time at each end, in milliseconds
    Values load;                // the machine's busy and all ticks over it, and its 1-minute
                                // load average's least and most, in hundredths
    Values peakRss;             // KiB, VmHWM at the end
    Values swaps;               // when each frame's swap returned
    Values keys;                // each press's time to picture
    Values memoryAt, rss, pss;  // when the resident size was read, and its Rss and Pss in KiB
    Values inUseAt, inUse;      // when the allocator's bytes in use were read, and those bytes
};

// The run's fields by the names the data file gives them.
using RunField = std::pair<const char*, Values RunRecord::*>;
inline const std::vector<RunField> runFields = {
    {"board", &RunRecord::board},       {"steady", &RunRecord::steady},
    {"cpu", &RunRecord::cpu},           {"load", &RunRecord::load},
    {"peak-rss", &RunRecord::peakRss},  {"swaps", &RunRecord::swaps},
    {"keys", &RunRecord::keys},         {"memory-at", &RunRecord::memoryAt},
    {"rss", &RunRecord::rss},           {"pss", &RunRecord::pss},
    {"in-use-at", &RunRecord::inUseAt}, {"in-use", &RunRecord::inUse},
};

// Every run of a benchmark, with how and on what it was measured: the mode,
// the commit and build, the machine, the date and the settings, by name.
struct Record {
    std::vector<std::pair<std::string, std::string>> about;
    std::vector<RunRecord> runs;

    // The value of one of the about fields; throws if there is none.
    const std::string& operator[](const std::string& key) const;
    // The runs of one subject, pair by pair.
    std::vector<const RunRecord*> runsOf(const std::string& subject) const;
};

// Writes the record as tab-separated lines; false if it could not be written.
bool writeRecord(const std::string& path, const Record& record);

// Reads a record that writeRecord wrote; throws, naming the line, if it can't.
Record readRecord(const std::string& path);
