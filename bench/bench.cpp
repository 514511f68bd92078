// SPDX-License-Identifier: MIT
// Measures the game side by side with the floor program on a virtual desktop:
// frames delivered and their pacing, CPU per frame, start-up, key-to-picture
// latency and memory. Prints one table and a note on memory, and writes them,
// with the machine's description, as Markdown.
//
// usage: bench [--short | --long] [--pairs N] [--size WIDTHxHEIGHT] [--output FILE.md]
//              [--game PROGRAM] [--floor PROGRAM]
//        bench --help
//
//   --short                one short pair of runs, only to prove the benchmark works
//   --long                 one pair with five minutes of steady state, for memory growth
//   --pairs N              how many pairs of runs, each the game then the floor
//   --size WIDTHxHEIGHT    the size of each virtual screen, in pixels
//   --output FILE.md       also writes the table, with how it was measured, as Markdown
//   --game PROGRAM         measures this game instead of the one built beside the benchmark
//   --floor PROGRAM        measures this floor instead of the one built beside the benchmark
//   --help                 prints this and ends

#include "camera.h"
#include "command_line.h"
#include "desktop.h"

#include <X11/keysym.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* usage =
    "usage: bench [--short | --long] [--pairs N] [--size WIDTHxHEIGHT] [--output FILE.md]\n"
    "             [--game PROGRAM] [--floor PROGRAM]\n"
    "       bench --help\n"
    "\n"
    "  --short                one short pair of runs, only to prove the benchmark works\n"
    "  --long                 one pair with five minutes of steady state, for memory growth\n"
    "  --pairs N              how many pairs of runs, each the game then the floor\n"
    "  --size WIDTHxHEIGHT    the size of each virtual screen, in pixels\n"
    "  --output FILE.md       also writes the table, with how it was measured, as Markdown\n"
    "  --game PROGRAM         measures this game instead of the one built beside the benchmark\n"
    "  --floor PROGRAM        measures this floor instead of the one built beside the benchmark\n"
    "  --help                 prints this and ends\n";

constexpr double none = std::numeric_limits<double>::quiet_NaN();  // a measure that does not apply

struct Settings {
    int pairs = 9;
    int width = 1920, height = 1080;
    std::chrono::seconds warmUp{3};          // before the steady state is measured
    std::chrono::seconds measure{10};        // the steady state
    std::chrono::milliseconds rssEvery{1s};  // between readings of the resident size
    int presses = 60;                        // key-to-picture samples, half Left, half Right
    std::string mode = "full";
    std::string output;
    std::string game = TARVIK_PROGRAM, floor = FLOOR_PROGRAM;
};

// What one run of one program gave.
struct Run {
    double fps = none, intervalMedian = none, intervalP95 = none, intervalMax = none;
    double cpuPerFrame = none, firstSwap = none, boardShown = none;
    double latencyMedian = none, latencyP95 = none;
    double peakRss = none;
    double rssWarmUp = none, rssGrowth = none;    // KiB, over the first fifth and after it
    double anonWarmUp = none, anonGrowth = none;  // KiB, the anonymous memory in each
    std::vector<double> rssLevels;  // MiB, at the start and at each fifth of the steady state
    std::string renderer;
    bool complete = true;  // false if any measure could not be taken
};

// The span measured as the steady state of one run.
struct SteadyState {
    long long from = 0, to = 0;     // nanoseconds on the monotonic clock
    double cpuFrom = 0, cpuTo = 0;  // the process's CPU time at each end, in milliseconds
    std::vector<double> rss, anon;  // MiB, VmRSS and RssAnon, read at even steps from start to end
};

// Every pair's two runs, and the game's CPU per frame over the floor's in each.
struct Pairs {
    std::vector<Run> games, floors;
    std::vector<double> cpuRatios;
};

// One of the figures of a run.
using Measure = double Run::*;

// One line of the table: a measure, how it is shown and what it is held to.
struct Row {
    std::string what;
    Measure measure;
    int decimals;
    std::string target;
};

// How many readings of the resident size the steady state gives, its first and its last.
size_t rssReadings(const Settings& settings)
{
    return static_cast<size_t>(std::chrono::milliseconds(settings.measure) / settings.rssEvery) + 1;
}

// The first fifth of the steady state, a minute in the long mode: memory's warm-up.
std::chrono::milliseconds rssWarmUpSpan(const Settings& settings)
{
    return settings.rssEvery * static_cast<long>((rssReadings(settings) - 1) / 5);
}

// A length of time as the report words it: "minute" for one (as in "the first minute"), whole
// minutes such as "4 minutes", anything else in seconds such as "2 s" or "0.4 s".
std::string inWords(std::chrono::milliseconds length)
{
    if (length == 1min) return "minute";
    if (length % 1min == 0ms) return std::to_string(length / 1min) + " minutes";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f s", length % 1s == 0ms ? 0 : 1,
                  static_cast<double>(length.count()) / 1000);
    return text;
}

// The rows of the table, the memory's named after the spans they cover.
std::vector<Row> rowsOf(const Settings& settings)
{
    const std::string first = inWords(rssWarmUpSpan(settings));
    const std::string rest = inWords(settings.measure - rssWarmUpSpan(settings));
    return {
        {"frames per second", &Run::fps, 1, "at least 39"},
        {"frame interval, median (ms)", &Run::intervalMedian, 1, ""},
        {"frame interval, p95 (ms)", &Run::intervalP95, 1, "under 30"},
        {"frame interval, max (ms)", &Run::intervalMax, 1, ""},
        {"CPU per frame (ms)", &Run::cpuPerFrame, 2, "game at most 1.5 x floor"},
        {"start-up to first swap (ms)", &Run::firstSwap, 0, ""},
        {"start-up to the board on screen (ms)", &Run::boardShown, 0, ""},
        {"key to picture, median (ms)", &Run::latencyMedian, 1, ""},
        {"key to picture, p95 (ms)", &Run::latencyP95, 1, "under 50"},
        {"peak RSS (MiB)", &Run::peakRss, 1, ""},
        {"RSS growth in the first " + first + ", the warm-up (KiB)", &Run::rssWarmUp, 0, ""},
        {"RSS growth after the first " + first + " (KiB)", &Run::rssGrowth, 0,
         "none over the last " + rest},
    };
}

// The value that the given share of the values is at or below, or none if there are none.
double percentile(std::vector<double> values, double share)
{
    if (values.empty()) return none;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, at > 0 ? at - 1 : 0)];
}

// The middle of the values, or none if there are none.
double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

// CPU time the process has used, user and system, in milliseconds.
double cpuMs(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    }
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A line of /proc/PID/status such as VmHWM, in MiB.
double statusMiB(int pid, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) / 1024;
    }
    return none;
}

// Polls one pixel until it shows the colour; the time it was seen, or -1.
long long waitForPixel(const VirtualScreen& screen, Pixel at, Rgb colour, long long timeoutNs)
{
    const long long deadline = monotonicNs() + timeoutNs;
    while (monotonicNs() < deadline) {
        if (screen.capture(at.x, at.y, 1, 1).at(0, 0) == colour) return monotonicNs();
        std::this_thread::sleep_for(200us);
    }
    return -1;
}

// Milliseconds from the start until the board's centre shows white, or none.
double boardShownMs(const VirtualScreen& screen, long long started)
{
    const Pixel board = tableToPixel({0.5, 0.01, 0.5}, screen.width(), screen.height());
    const long long shown = waitForPixel(screen, board, white, 30000000000LL);
    return shown > 0 ? static_cast<double>(shown - started) / 1e6 : none;
}

// Waits out the time the program is given to settle after its start.
void settle(long long started, std::chrono::seconds warmUp)
{
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(started) + warmUp));
}

// Reads the resident size and its anonymous part into the steady state.
void readRss(int pid, SteadyState& steady)
{
    steady.rss.push_back(statusMiB(pid, "VmRSS"));
    steady.anon.push_back(statusMiB(pid, "RssAnon"));
}

// Watches the steady state: its ends, the CPU used over it and the resident size at every step.
SteadyState sampleSteadyState(int pid, const Settings& settings)
{
    SteadyState steady;
    steady.from = monotonicNs();
    steady.cpuFrom = cpuMs(pid);
    for (size_t step = 1; step < rssReadings(settings); ++step) {
        readRss(pid, steady);
        std::this_thread::sleep_for(settings.rssEvery);
    }
    steady.to = monotonicNs();
    steady.cpuTo = cpuMs(pid);
    readRss(pid, steady);
    return steady;
}

// Presses the arrows and times each press until the picture shows the move.
std::vector<double> keyLatencies(const VirtualScreen& screen, int presses)
{
    std::mt19937 random(2026);
    std::uniform_int_distribution<int> gap(0, 25000);  // microseconds, across a whole tick
    std::vector<double> latencies;
    double x = 0.5;
    for (int i = 0; i < presses; ++i) {
        const bool left = i < presses / 2;
        // Just inside the side the paddle moves towards, where it will stand.
        x += left ? 0.02 : -0.02;
        const double side = left ? x + 0.095 : x - 0.095;
        const Pixel probe = tableToPixel({side, 0.1, 1}, screen.width(), screen.height());
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        const long long pressed = monotonicNs();
        screen.tapKey(left ? XK_Left : XK_Right);
        const long long seen = waitForPixel(screen, probe, cyan, 1000000000LL);
        if (seen > 0) latencies.push_back(static_cast<double>(seen - pressed) / 1e6);
    }
    return latencies;
}

// Takes the key-to-picture figures into the run; false if some press never showed.
bool measureKeys(const VirtualScreen& screen, int presses, Run& run)
{
    const std::vector<double> latencies = keyLatencies(screen, presses);
    run.latencyMedian = median(latencies);
    run.latencyP95 = percentile(latencies, 0.95);
    const int missed = presses - static_cast<int>(latencies.size());
    if (missed > 0) {
        std::fprintf(stderr, "bench: %d of %d presses never showed\n", missed, presses);
        return false;
    }
    return true;
}

// The level of the readings from one of them on: the median of a few, so that the allocator's
// coming and going of a few pages does not count. Near the end, the last few.
double levelAt(const std::vector<double>& readings, size_t at)
{
    const size_t window = std::clamp<size_t>(readings.size() / 4, 1, 10);
    const auto from =
        readings.begin() + static_cast<std::ptrdiff_t>(std::min(at, readings.size() - window));
    return median({from, from + static_cast<std::ptrdiff_t>(window)});
}

// Takes the memory figures into the run from its readings of the resident size; false if some
// reading failed.
bool measureRss(const SteadyState& steady, Run& run)
{
    // The first fifth of the steady state, a minute in the long mode, is left out of the growth
    // held to the target, as what a program takes while it warms up is no leak; what it adds
    // is reported on its own.
    const size_t fifth = (steady.rss.size() - 1) / 5;
    const size_t last = steady.rss.size() - 1;
    const auto growthKiB = [](const std::vector<double>& readings, size_t from, size_t to) {
        return (levelAt(readings, to) - levelAt(readings, from)) * 1024;
    };
    run.rssWarmUp = growthKiB(steady.rss, 0, fifth);
    run.rssGrowth = growthKiB(steady.rss, fifth, last);
    run.anonWarmUp = growthKiB(steady.anon, 0, fifth);
    run.anonGrowth = growthKiB(steady.anon, fifth, last);
    for (size_t step = 0; step < 5; ++step) {
        run.rssLevels.push_back(levelAt(steady.rss, step * fifth));
    }
    run.rssLevels.push_back(levelAt(steady.rss, last));
    const auto read = [](const std::vector<double>& readings) {
        return std::none_of(readings.begin(), readings.end(),
                            [](double v) { return std::isnan(v); });
    };
    return read(steady.rss) && read(steady.anon);
}

// Ends the program with Escape; false if it does not end.
bool endWithEscape(const VirtualScreen& screen, Process& process, const std::string& program)
{
    screen.tapKey(XK_Escape);
    if (process.waitForExit(30s)) return true;
    std::fprintf(stderr, "bench: %s did not end on Escape\n", program.c_str());
    return false;
}

// Takes the frame figures into the run from its swaps; false if none fell in the steady state.
bool measureFrames(const std::vector<long long>& stamps, const SteadyState& steady,
                   long long started, Run& run)
{
    std::vector<double> intervals;
    size_t frames = 0;
    for (size_t i = 0; i < stamps.size(); ++i) {
        if (stamps[i] < steady.from || stamps[i] > steady.to) continue;
        ++frames;
        if (i > 0 && stamps[i - 1] >= steady.from) {
            intervals.push_back(static_cast<double>(stamps[i] - stamps[i - 1]) / 1e6);
        }
    }
    if (!stamps.empty()) run.firstSwap = static_cast<double>(stamps.front() - started) / 1e6;
    run.fps = static_cast<double>(frames) / (static_cast<double>(steady.to - steady.from) / 1e9);
    run.intervalMedian = median(intervals);
    run.intervalP95 = percentile(intervals, 0.95);
    run.intervalMax =
        intervals.empty() ? none : *std::max_element(intervals.begin(), intervals.end());
    run.cpuPerFrame =
        frames > 0 ? (steady.cpuTo - steady.cpuFrom) / static_cast<double>(frames) : none;
    return frames > 0;
}

// The renderer the program named on its standard error, or nothing if it named none.
std::string rendererOf(const Process& process)
{
    const std::string errors = process.standardError();
    const size_t at = errors.find("renderer: ");
    if (at == std::string::npos) return "";
    return errors.substr(at + 10, errors.find('\n', at) - at - 10);
}

// Runs the program once on a screen of its own and takes every measure that applies to it.
Run measure(const Settings& settings, const std::string& program, bool isGame)
{
    Run run;
    VirtualScreen screen(settings.width, settings.height);
    const std::string log = "/tmp/tarvik-bench-" + std::to_string(getpid()) + ".swaps";
    const long long started = monotonicNs();
    Process process({program}, screen.name(), {"LD_PRELOAD=" SWAP_TRACE, "TARVIK_SWAP_LOG=" + log});
    if (isGame) run.boardShown = boardShownMs(screen, started);
    settle(started, settings.warmUp);

    const SteadyState steady = sampleSteadyState(process.pid(), settings);
    if (isGame && !measureKeys(screen, settings.presses, run)) run.complete = false;
    run.peakRss = statusMiB(process.pid(), "VmHWM");
    if (!measureRss(steady, run)) {
        std::fprintf(stderr, "bench: %s's resident size could not be read\n", program.c_str());
        run.complete = false;
    }
    if (!endWithEscape(screen, process, program)) run.complete = false;

    const std::vector<long long> stamps = readStamps(log);
    std::remove(log.c_str());
    const bool framed = measureFrames(stamps, steady, started, run);
    if (!framed || (isGame && std::isnan(run.boardShown))) {
        std::fprintf(stderr, "bench: %s showed no frames\n", program.c_str());
        run.complete = false;
    }
    run.renderer = rendererOf(process);
    return run;
}

// Runs every pair, the game then the floor in each.
Pairs measurePairs(const Settings& settings)
{
    Pairs pairs;
    for (int pair = 1; pair <= settings.pairs; ++pair) {
        std::fprintf(stderr, "bench: pair %d of %d\n", pair, settings.pairs);
        pairs.games.push_back(measure(settings, settings.game, true));
        pairs.floors.push_back(measure(settings, settings.floor, false));
        pairs.cpuRatios.push_back(pairs.games.back().cpuPerFrame / pairs.floors.back().cpuPerFrame);
    }
    return pairs;
}

// The median over the runs of one measure.
double medianOf(const std::vector<Run>& runs, Measure measure)
{
    std::vector<double> values;
    for (const Run& run : runs) {
        if (!std::isnan(run.*measure)) values.push_back(run.*measure);
    }
    return median(values);
}

// The value with the given decimals, or a dash for a measure that does not apply.
std::string format(double value, int decimals)
{
    if (std::isnan(value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The table of figures in Markdown, each the median over the pairs.
std::string summarise(const Settings& settings, const Pairs& pairs)
{
    const std::vector<double>& ratios = pairs.cpuRatios;
    std::ostringstream table;
    table << "| measure | tarvik | floor | target |\n|---|---|---|---|\n";
    for (const Row& row : rowsOf(settings)) {
        table << "| " << row.what << " | "
              << format(medianOf(pairs.games, row.measure), row.decimals) << " | "
              << format(medianOf(pairs.floors, row.measure), row.decimals) << " | " << row.target
              << " |\n";
    }
    table << "| CPU per frame, tarvik / floor | " << format(median(ratios), 2)
          << " | | at most 1.5 |\n"
          << "| CPU per frame, tarvik / floor, lowest to highest pair | "
          << format(*std::min_element(ratios.begin(), ratios.end()), 2) << " to "
          << format(*std::max_element(ratios.begin(), ratios.end()), 2) << " | | |\n";
    return table.str();
}

// The resident size at the start and at each fifth of the steady state, in MiB, each the median
// over the runs.
std::string rssLevelsOf(const std::vector<Run>& runs)
{
    std::string levels;
    for (size_t step = 0; step < runs.front().rssLevels.size(); ++step) {
        std::vector<double> values;
        for (const Run& run : runs) values.push_back(run.rssLevels[step]);
        levels += (step > 0 ? ", " : "") + format(median(values), 1);
    }
    return levels;
}

// The paragraphs on memory under the table: what the warm-up adds, whether the growth after it
// meets its target, and where the game's growth lies.
std::string rssNote(const Settings& settings, const Pairs& pairs)
{
    const std::string first = inWords(rssWarmUpSpan(settings));
    const std::string rest = inWords(settings.measure - rssWarmUpSpan(settings));
    const auto kib = [](const std::vector<Run>& runs, Measure measure) {
        return std::round(medianOf(runs, measure));
    };
    const double gameWarmUp = kib(pairs.games, &Run::rssWarmUp);
    const double gameGrowth = kib(pairs.games, &Run::rssGrowth);
    const double anonWarmUp = kib(pairs.games, &Run::anonWarmUp);
    const double anonGrowth = kib(pairs.games, &Run::anonGrowth);
    const double floorGrowth = kib(pairs.floors, &Run::rssGrowth);
    std::ostringstream text;
    text << "Memory: the warm-up, the first " << first << " of the steady state, added "
         << format(gameWarmUp, 0) << " KiB to the game's resident size and "
         << format(kib(pairs.floors, &Run::rssWarmUp), 0) << " KiB to the floor's. Over the last "
         << rest << " the game's grew by " << format(gameGrowth, 0) << " KiB and the floor's by "
         << format(floorGrowth, 0) << " KiB, so the target, none over the last " << rest << ", "
         << (gameGrowth <= 0 && floorGrowth <= 0 ? "is met" : "is not met") << ".\n\n";
    // The C library's malloc starts by giving blocks of 128 KiB and more mappings of their own;
    // a growth smaller than one such block is not the heap taking them over.
    const bool heapTakesOver = gameWarmUp + gameGrowth >= 128;
    if (heapTakesOver && anonWarmUp == gameWarmUp && anonGrowth == gameGrowth) {
        // With malloc's threshold held where it starts (GLIBC_TUNABLES=
        // glibc.malloc.mmap_threshold=131072), the game read 103708 kB of VmRSS every 30 s from
        // 10 s to 300 s; without it, its heap grew as a 1.5 MiB mapping of its own went away.
        text << "All of the game's growth is anonymous memory, none of it the libraries' files or"
                " memory shared with the X server. The game draws the same picture every frame;"
                " the growth is its heap taking over large blocks: once the C library's malloc"
                " frees a large block that had a mapping of its own, it raises its threshold and"
                " from then on serves blocks of that size from the heap.\n\n";
    } else if (gameWarmUp > 0 || gameGrowth > 0) {
        text << "Of the game's growth, anonymous memory makes " << format(anonWarmUp, 0)
             << " KiB in the warm-up and " << format(anonGrowth, 0)
             << " KiB after it; pages of the libraries' files and memory shared with the X server"
                " make "
             << format(gameWarmUp - anonWarmUp, 0) << " KiB and "
             << format(gameGrowth - anonGrowth, 0) << " KiB.\n\n";
    }
    text << "Resident size (MiB) at the start of the steady state and after each " << first
         << ": the game " << rssLevelsOf(pairs.games) << "; the floor " << rssLevelsOf(pairs.floors)
         << ".\n";
    return text.str();
}

// The model of the machine's processor, as the kernel names it.
std::string cpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

// Today's date in UTC, as YYYY-MM-DD.
std::string today()
{
    char text[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
    return text;
}

// The report's paragraphs on when, how long and on what machine it was measured.
std::string conditions(const Settings& settings, const std::string& renderer)
{
    std::ostringstream text;
    text << "Measured by `scripts/bench.sh` on " << today() << " (" << settings.mode
         << " mode): " << settings.pairs << " pair(s) of runs, the game then the floor, each on a "
         << settings.width << " x " << settings.height << " Xvfb screen of its own with dwm, "
         << settings.warmUp.count() << " s to settle, then " << settings.measure.count()
         << " s of steady state measured.\n\n"
         << "Machine: " << cpuModel() << ", " << std::thread::hardware_concurrency()
         << " cores; renderer: " << renderer << ".\n\n";
    return text.str();
}

// The report's paragraphs on how each figure is taken.
std::string method(const Settings& settings)
{
    std::ostringstream text;
    text << "Each figure is the median over the pairs. How they are taken:\n\n"
         << "- Frames: a library preloaded into each program notes the time each swap returns"
            " (one clock read and a store per frame) and writes the list at exit; frames per"
            " second and intervals are counted over the steady state only.\n"
         << "- CPU per frame: user and system time from `/proc/PID/stat` over the steady"
            " state, divided by the frames swapped in it.\n"
         << "- Start-up: from just before the process is started to its first swap, and (the"
            " game) to the first read-back of the board's centre in white.\n"
         << "- Key to picture: " << settings.presses
         << " Left and Right presses through XTEST,"
            " at random moments across a tick, each timed until a one-pixel read-back just"
            " inside the paddle's new side shows cyan.\n"
         << "- Memory: VmHWM from `/proc/PID/status` at the end; VmRSS and its anonymous part,"
            " RssAnon, read every "
         << inWords(settings.rssEvery)
         << " through the steady state. Each level is the median of a few readings from that"
            " moment on, the last the median of the last few; the warm-up's growth is taken"
            " from the level at the start to the level after the first "
         << inWords(rssWarmUpSpan(settings)) << ", the growth after it from there to the end.\n\n"
         << "The floor (`bench/floor.cpp`) has the game's GLUT start-up, window, timer and"
            " full-screen size, and a frame that only clears and swaps.\n";
    if (settings.mode != "long") {
        text << "\nMemory over five minutes is measured by `scripts/bench.sh --long`, in"
                " [benchmarks-long.md](benchmarks-long.md).\n";
    }
    return text.str();
}

// Writes the figures as a Markdown page, with what they were measured on and how.
void writeReport(const Settings& settings, const Pairs& pairs, const std::string& figures)
{
    std::ofstream out(settings.output);
    // The tag is split so that REUSE does not read it as this file's own licence.
    out << "<!-- SPDX-"
           "License-Identifier: MIT -->\n"
        << "# Benchmarks\n\n"
        << conditions(settings, pairs.floors.front().renderer) << figures << "\n"
        << method(settings);
}

// Whether every run of every pair took every measure.
bool allComplete(const Pairs& pairs)
{
    const auto complete = [](const Run& run) { return run.complete; };
    return std::all_of(pairs.games.begin(), pairs.games.end(), complete) &&
           std::all_of(pairs.floors.begin(), pairs.floors.end(), complete);
}

// The options, with the letter getopt_long returns for each.
const option longOptions[] = {
    {"short", no_argument, nullptr, 's'},
    {"long", no_argument, nullptr, 'l'},
    {"pairs", required_argument, nullptr, 'p'},
    {"size", required_argument, nullptr, 'z'},
    {"output", required_argument, nullptr, 'o'},
    {"game", required_argument, nullptr, 'g'},
    {"floor", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// One short pair of runs, only to prove that the benchmark works.
void useShortMode(Settings& settings)
{
    settings.mode = "short";
    settings.pairs = 1;
    settings.warmUp = 1s;
    settings.measure = 2s;
    settings.rssEvery = 200ms;  // its fifths are 0.4 s, shorter than a second
    settings.presses = 10;
}

// One pair with five minutes of steady state, for memory growth.
void useLongMode(Settings& settings)
{
    settings.mode = "long";
    settings.pairs = 1;
    settings.warmUp = 10s;
    settings.measure = 300s;
}

// Reads a size written WIDTHxHEIGHT, both whole numbers above zero.
bool readSize(const std::string& text, int& width, int& height)
{
    const size_t cross = text.find('x');
    return cross != std::string::npos && readCount(text.substr(0, cross), width) &&
           readCount(text.substr(cross + 1), height);
}

// Reads the options into the settings; the status to end with at once for --help or a bad
// command line, or nothing to go on and measure.
std::optional<int> parse(int argc, char** argv, Settings& settings)
{
    for (int choice = 0; (choice = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        switch (choice) {
            case 's':
                useShortMode(settings);
                break;
            case 'l':
                useLongMode(settings);
                break;
            case 'p':
                if (!readCount(value, settings.pairs)) {
                    return refuse("bench", usage,
                                  "--pairs takes a whole number above 0, not \"" + value + "\"");
                }
                break;
            case 'z':
                if (!readSize(value, settings.width, settings.height)) {
                    return refuse("bench", usage,
                                  "--size takes WIDTHxHEIGHT in pixels, not \"" + value + "\"");
                }
                break;
            case 'o':
                settings.output = value;
                break;
            case 'g':
                settings.game = value;
                break;
            case 'f':
                settings.floor = value;
                break;
            case 'h':
                std::fputs(usage, stdout);
                return 0;
            default:
                return refuse("bench", usage, "");
        }
    }
    if (optind < argc)
        return refuse("bench", usage, "unexpected argument \"" + std::string(argv[optind]) + "\"");
    return std::nullopt;
}

}  // namespace

// Measures every pair, prints the figures and writes the report if asked; 1 if one is missing.
int main(int argc, char** argv)
{
    Settings settings;
    if (const std::optional<int> status = parse(argc, argv, settings)) return *status;
    const Pairs pairs = measurePairs(settings);
    const std::string figures = summarise(settings, pairs) + "\n" + rssNote(settings, pairs);
    std::printf("%s", figures.c_str());
    if (!settings.output.empty()) writeReport(settings, pairs, figures);
    return allComplete(pairs) ? 0 : 1;
}
