// SPDX-License-Identifier: MIT
// Measures the game beside the floor program on virtual desktops: frames delivered and their
// pacing, CPU per frame, start-up, key-to-picture latency and memory. Prints one table and a
// note on memory, and writes them, with the machine's description and its load over the run,
// as Markdown, with the data behind its plots beside the page.
//
// usage: bench [--short | --long] [--pairs N] [--size WIDTHxHEIGHT] [--output FILE.md]
//              [--game PROGRAM] [--floor PROGRAM]
//        bench --help
//
//   --short                one short pair of runs, only to prove the benchmark works
//   --long                 30 minutes of the game, the floor and the game with malloc's
//                          threshold fixed, side by side, for memory growth
//   --pairs N              how many pairs of runs, each the game then the floor
//   --size WIDTHxHEIGHT    the size of each virtual screen, in pixels
//   --output FILE.md       also writes the table, with how it was measured, as Markdown, and
//                          the data of its plots as FILE-*.tsv
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
#include <functional>
#include <limits>
#include <memory>
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
    "  --long                 30 minutes of the game, the floor and the game with malloc's\n"
    "                         threshold fixed, side by side, for memory growth\n"
    "  --pairs N              how many pairs of runs, each the game then the floor\n"
    "  --size WIDTHxHEIGHT    the size of each virtual screen, in pixels\n"
    "  --output FILE.md       also writes the table, with how it was measured, as Markdown, and\n"
    "                         the data of its plots as FILE-*.tsv\n"
    "  --game PROGRAM         measures this game instead of the one built beside the benchmark\n"
    "  --floor PROGRAM        measures this floor instead of the one built beside the benchmark\n"
    "  --help                 prints this and ends\n";

constexpr double none = std::numeric_limits<double>::quiet_NaN();  // a measure that does not apply
constexpr double pageKiB = 4;           // the smallest growth of a resident size
constexpr const char* fixedThreshold =  // malloc's mmap threshold held where it starts
    "GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072";

// One program that the benchmark runs.
struct Subject {
    std::string label;  // its column in the table
    std::string program;
    bool isGame;                           // it has a board to show and a paddle to move
    std::vector<std::string> environment;  // added to the swap tracer's
};

struct Settings {
    int pairs = 9;
    int width = 1920, height = 1080;
    std::chrono::seconds warmUp{3};          // before the steady state is measured
    std::chrono::seconds measure{10};        // the steady state
    std::chrono::seconds judged{0};          // the end of it whose memory growth is judged
    std::chrono::milliseconds rssEvery{1s};  // between readings of the resident size
    int presses = 60;                        // key-to-picture samples, half Left, half Right
    bool sideBySide = false;                 // every subject at once, rather than in turn
    std::string mode = "full";
    std::string output;
    std::string game = TARVIK_PROGRAM, floor = FLOOR_PROGRAM;
};

// What one run of one program gave.
struct Run {
    double fps = none, intervalMedian = none, intervalP95 = none, intervalMax = none;
    double cpuPerFrame = none, firstSwap = none, boardShown = none;
    double latencyMedian = none, latencyP95 = none, latencyBound = none, latencyMargin = none;
    double peakRss = none;
    double rssWarmUp = none, rssGrowth = none;    // KiB, before and over the judged span
    double anonWarmUp = none, anonGrowth = none;  // KiB, the anonymous memory in each
    double rssSlope = none;                       // KiB an hour over the judged span
    std::vector<double> intervals, latencies;     // ms, every frame's and every press's
    std::vector<double> rss;                      // MiB, every reading of the steady state
    std::string renderer;
    bool complete = true;  // false if any measure could not be taken
};

// The span measured as the steady state of one run.
struct SteadyState {
    long long from = 0, to = 0;     // nanoseconds on the monotonic clock
    double cpuFrom = 0, cpuTo = 0;  // the process's CPU time at each end, in milliseconds
    std::vector<double> rss, anon;  // MiB, VmRSS and RssAnon, read at even steps from start to end
};

// The machine's own load over the steady state, whatever ran on it.
struct Load {
    double busyShare = none;                         // of all its processors' time
    double averageLeast = none, averageMost = none;  // the kernel's 1-minute load average
};

// Every run of every subject, in the order of the subjects, and the machine's load.
struct Results {
    std::vector<std::vector<Run>> runs;  // runs[subject][pair]
    std::vector<double> cpuRatios;       // the game's CPU per frame over the floor's, a pair each
    std::vector<Load> loads;             // one a turn of every pair
};

// One of the figures of a run, and one of its series of values.
using Measure = double Run::*;
using Series = std::vector<double> Run::*;

// What a figure is held to: a bound that the game's own code decides, or nothing for a
// figure that only describes.
struct Target {
    std::string text;
    std::function<bool(double)> holds;
};

// One line of the table: a measure, how it is shown and what it is held to.
struct Row {
    std::string what;
    Measure measure;
    int decimals;
    Target target;
};

// The programs measured in each mode: the game and the floor, and in the long mode the game
// again with malloc's threshold fixed from outside, to show how much of its growth that makes.
std::vector<Subject> subjectsOf(const Settings& settings)
{
    std::vector<Subject> subjects = {{"tarvik", settings.game, true, {}},
                                     {"floor", settings.floor, false, {}}};
    if (settings.mode == "long") {
        subjects.push_back(
            {"tarvik, malloc threshold fixed", settings.game, true, {fixedThreshold}});
    }
    return subjects;
}

// How many readings of the resident size the steady state gives, its first and its last.
size_t rssReadings(const Settings& settings)
{
    return static_cast<size_t>(std::chrono::milliseconds(settings.measure) / settings.rssEvery) + 1;
}

// The start of the memory's judged span: after the first fifth of the steady state, or what
// the mode leaves it.
std::chrono::milliseconds rssWarmUpSpan(const Settings& settings)
{
    if (settings.judged > 0s) return settings.measure - settings.judged;
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

// A target of at least or under a bound.
Target atLeast(double bound)
{
    char text[32];
    std::snprintf(text, sizeof text, "at least %g", bound);
    return {text, [bound](double value) { return value >= bound; }};
}
Target under(double bound)
{
    char text[32];
    std::snprintf(text, sizeof text, "under %g", bound);
    return {text, [bound](double value) { return value < bound; }};
}

// The rows of the table. Frames, pacing, start-up and keys are the game's own code: its timer,
// its start and its key handlers. Its CPU per frame is what llvmpipe takes to fill the fixed
// scene, so it describes. Memory is judged where it is watched long enough to tell a warm-up
// from a leak, in the long mode.
std::vector<Row> rowsOf(const Settings& settings)
{
    const std::string first = inWords(rssWarmUpSpan(settings));
    const std::string rest = inWords(settings.measure - rssWarmUpSpan(settings));
    std::vector<Row> rows = {
        {"frames per second", &Run::fps, 1, atLeast(39)},
        {"frame interval, median (ms)", &Run::intervalMedian, 1, {}},
        {"frame interval, p95 (ms)", &Run::intervalP95, 1, under(30)},
        {"frame interval, max (ms)", &Run::intervalMax, 1, {}},
        {"CPU per frame (ms)", &Run::cpuPerFrame, 2, {}},
        {"start-up to first swap (ms)", &Run::firstSwap, 0, {}},
        {"start-up to the board on screen (ms)", &Run::boardShown, 0, under(1000)},
        {"key to picture, median (ms)", &Run::latencyMedian, 1, {}},
        {"key to picture, p95 (ms)", &Run::latencyP95, 1, under(50)},
        {"key to picture, bound: frame interval p95 + CPU per frame (ms)",
         &Run::latencyBound,
         1,
         {}},
        {"key to picture, p95 under its bound by (ms)", &Run::latencyMargin, 1, {}},
        {"peak RSS (MiB)", &Run::peakRss, 1, {}},
        {"RSS growth in the first " + first + ", the warm-up (KiB)", &Run::rssWarmUp, 0, {}},
        {"RSS growth over the last " + rest + " (KiB)", &Run::rssGrowth, 0, {}},
    };
    if (settings.judged > 0s) {
        // No page added over the judged span: a slope under one page over its length.
        const double hours =
            std::chrono::duration<double, std::ratio<3600>>(settings.judged).count();
        Target flat = under(pageKiB / hours);
        flat.text += " (one page in " + rest + ")";
        rows.push_back({"RSS slope over the last " + rest + " (KiB/h)", &Run::rssSlope, 0, flat});
    }
    return rows;
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

// The machine's processor time so far, busy and in all, in ticks, from /proc/stat.
std::pair<double, double> machineTicks()
{
    std::ifstream in("/proc/stat");
    std::string cpu;
    double busy = 0, all = 0, value = 0;
    in >> cpu;
    for (int field = 0; field < 8 && in >> value; ++field) {
        all += value;
        if (field != 3 && field != 4) busy += value;  // idle and iowait are not busy
    }
    return {busy, all};
}

// The kernel's load average over the last minute.
double loadAverage()
{
    std::ifstream in("/proc/loadavg");
    double average = none;
    in >> average;
    return average;
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

// Reads the resident size and its anonymous part into the steady state.
void readRss(int pid, SteadyState& steady)
{
    steady.rss.push_back(statusMiB(pid, "VmRSS"));
    steady.anon.push_back(statusMiB(pid, "RssAnon"));
}

// Watches the steady state of every process at once: its ends, the CPU each used over it and
// the resident sizes at every step; and the machine's load meanwhile.
std::vector<SteadyState> sampleSteadyStates(const std::vector<int>& pids, const Settings& settings,
                                            Load& load)
{
    std::vector<SteadyState> steady(pids.size());
    const auto [busyFrom, allFrom] = machineTicks();
    std::vector<double> averages;
    const auto readAll = [&] {
        for (size_t i = 0; i < pids.size(); ++i) readRss(pids[i], steady[i]);
        averages.push_back(loadAverage());
    };
    for (size_t i = 0; i < pids.size(); ++i) {
        steady[i].from = monotonicNs();
        steady[i].cpuFrom = cpuMs(pids[i]);
    }
    const auto start = std::chrono::steady_clock::now();
    for (size_t step = 1; step < rssReadings(settings); ++step) {
        readAll();
        std::this_thread::sleep_until(start + settings.rssEvery * static_cast<long>(step));
    }
    for (size_t i = 0; i < pids.size(); ++i) {
        steady[i].to = monotonicNs();
        steady[i].cpuTo = cpuMs(pids[i]);
    }
    readAll();
    const auto [busyTo, allTo] = machineTicks();
    load.busyShare = (busyTo - busyFrom) / (allTo - allFrom);
    load.averageLeast = *std::min_element(averages.begin(), averages.end());
    load.averageMost = *std::max_element(averages.begin(), averages.end());
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
    run.latencies = keyLatencies(screen, presses);
    run.latencyMedian = median(run.latencies);
    run.latencyP95 = percentile(run.latencies, 0.95);
    const int missed = presses - static_cast<int>(run.latencies.size());
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

// The least-squares slope of the readings from one of them to the last, in KiB an hour.
double slopeKiBPerHour(const std::vector<double>& readings, size_t from,
                       std::chrono::milliseconds every)
{
    const double count = static_cast<double>(readings.size() - from);
    double sumX = 0, sumY = 0, sumXX = 0, sumXY = 0;
    for (size_t i = from; i < readings.size(); ++i) {
        const double x = static_cast<double>(i - from), y = readings[i] * 1024;
        sumX += x, sumY += y, sumXX += x * x, sumXY += x * y;
    }
    const double perReading = (count * sumXY - sumX * sumY) / (count * sumXX - sumX * sumX);
    return perReading * 3600000.0 / static_cast<double>(every.count());
}

// Takes the memory figures into the run from its readings of the resident size; false if some
// reading failed.
bool measureRss(const Settings& settings, const SteadyState& steady, Run& run)
{
    // What a program takes while it warms up is no leak: the growth before the judged span is
    // reported on its own.
    const size_t judgedFrom = static_cast<size_t>(rssWarmUpSpan(settings) / settings.rssEvery);
    const size_t last = steady.rss.size() - 1;
    const auto growthKiB = [](const std::vector<double>& readings, size_t from, size_t to) {
        return (levelAt(readings, to) - levelAt(readings, from)) * 1024;
    };
    run.rss = steady.rss;
    run.rssWarmUp = growthKiB(steady.rss, 0, judgedFrom);
    run.rssGrowth = growthKiB(steady.rss, judgedFrom, last);
    run.anonWarmUp = growthKiB(steady.anon, 0, judgedFrom);
    run.anonGrowth = growthKiB(steady.anon, judgedFrom, last);
    if (settings.judged > 0s)
        run.rssSlope = slopeKiBPerHour(steady.rss, judgedFrom, settings.rssEvery);
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
    size_t frames = 0;
    for (size_t i = 0; i < stamps.size(); ++i) {
        if (stamps[i] < steady.from || stamps[i] > steady.to) continue;
        ++frames;
        if (i > 0 && stamps[i - 1] >= steady.from) {
            run.intervals.push_back(static_cast<double>(stamps[i] - stamps[i - 1]) / 1e6);
        }
    }
    const std::vector<double>& intervals = run.intervals;
    if (!stamps.empty()) run.firstSwap = static_cast<double>(stamps.front() - started) / 1e6;
    run.fps = static_cast<double>(frames) / (static_cast<double>(steady.to - steady.from) / 1e9);
    run.intervalMedian = median(intervals);
    run.intervalP95 = percentile(intervals, 0.95);
    run.intervalMax =
        intervals.empty() ? none : *std::max_element(intervals.begin(), intervals.end());
    run.cpuPerFrame =
        frames > 0 ? (steady.cpuTo - steady.cpuFrom) / static_cast<double>(frames) : none;
    // A press waits for the next tick, at most one frame interval, then for that frame's draw
    // and swap, which its CPU time stands for.
    if (!run.latencies.empty()) run.latencyBound = run.intervalP95 + run.cpuPerFrame;
    run.latencyMargin = run.latencyBound - run.latencyP95;
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

// One program started on a screen of its own, with what its run gives.
struct Launch {
    const Subject* subject;
    std::unique_ptr<VirtualScreen> screen;
    std::string log;  // where the swap tracer writes its stamps
    long long started;
    std::unique_ptr<Process> process;
    Run run;
};

// Runs the programs at once, each on a screen of its own, and takes every measure that
// applies to each.
std::vector<Run> measure(const Settings& settings, const std::vector<const Subject*>& subjects,
                         Load& load)
{
    std::vector<Launch> launches;
    for (const Subject* subject : subjects) {
        Launch launch{subject,
                      std::make_unique<VirtualScreen>(settings.width, settings.height),
                      "/tmp/tarvik-bench-" + std::to_string(getpid()) + "-" +
                          std::to_string(launches.size()) + ".swaps",
                      monotonicNs(),
                      nullptr,
                      {}};
        std::vector<std::string> environment = {"LD_PRELOAD=" SWAP_TRACE,
                                                "TARVIK_SWAP_LOG=" + launch.log};
        environment.insert(environment.end(), subject->environment.begin(),
                           subject->environment.end());
        launch.process = std::make_unique<Process>(std::vector<std::string>{subject->program},
                                                   launch.screen->name(), environment);
        if (subject->isGame) launch.run.boardShown = boardShownMs(*launch.screen, launch.started);
        launches.push_back(std::move(launch));
    }
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
        std::chrono::nanoseconds(launches.back().started) + settings.warmUp));

    std::vector<int> pids;
    for (const Launch& launch : launches) pids.push_back(launch.process->pid());
    const std::vector<SteadyState> steady = sampleSteadyStates(pids, settings, load);
    std::vector<Run> runs;
    for (size_t i = 0; i < launches.size(); ++i) {
        Launch& launch = launches[i];
        Run& run = launch.run;
        const std::string& program = launch.subject->program;
        if (launch.subject->isGame && !measureKeys(*launch.screen, settings.presses, run))
            run.complete = false;
        run.peakRss = statusMiB(launch.process->pid(), "VmHWM");
        if (!measureRss(settings, steady[i], run)) {
            std::fprintf(stderr, "bench: %s's resident size could not be read\n", program.c_str());
            run.complete = false;
        }
        if (!endWithEscape(*launch.screen, *launch.process, program)) run.complete = false;

        const std::vector<long long> stamps = readStamps(launch.log);
        std::remove(launch.log.c_str());
        const bool framed = measureFrames(stamps, steady[i], launch.started, run);
        if (!framed || (launch.subject->isGame && std::isnan(run.boardShown))) {
            std::fprintf(stderr, "bench: %s showed no frames\n", program.c_str());
            run.complete = false;
        }
        run.renderer = rendererOf(*launch.process);
        runs.push_back(std::move(run));
    }
    return runs;
}

// Runs every pair: the game then the floor in each, or every subject at once side by side.
Results measureAll(const Settings& settings, const std::vector<Subject>& subjects)
{
    Results results;
    results.runs.resize(subjects.size());
    std::vector<std::vector<const Subject*>> turns;  // the subjects that run at once
    for (const Subject& subject : subjects) {
        if (settings.sideBySide && !turns.empty())
            turns.back().push_back(&subject);
        else
            turns.push_back({&subject});
    }
    for (int pair = 1; pair <= settings.pairs; ++pair) {
        std::fprintf(stderr, "bench: pair %d of %d\n", pair, settings.pairs);
        size_t next = 0;
        for (const auto& turn : turns) {
            results.loads.emplace_back();
            for (Run& run : measure(settings, turn, results.loads.back())) {
                results.runs[next++].push_back(std::move(run));
            }
        }
        results.cpuRatios.push_back(results.runs[0].back().cpuPerFrame /
                                    results.runs[1].back().cpuPerFrame);
    }
    return results;
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
    const double shown = std::pow(10.0, decimals);
    if (std::round(value * shown) == 0) value = 0;  // no "-0" for a value that rounds to zero
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The table of figures in Markdown, each the median over the pairs, and the game's against its
// target.
std::string summarise(const Settings& settings, const std::vector<Subject>& subjects,
                      const Results& results)
{
    const std::vector<double>& ratios = results.cpuRatios;
    std::ostringstream table, rule;
    table << "| measure |";
    rule << "|---|";
    for (const Subject& subject : subjects) table << " " << subject.label << " |", rule << "---|";
    table << " target | verdict |\n" << rule.str() << "---|---|\n";
    std::string blanks;  // the other subjects' empty cells
    for (size_t i = 1; i < subjects.size(); ++i) blanks += " |";
    for (const Row& row : rowsOf(settings)) {
        table << "| " << row.what << " |";
        for (const auto& runs : results.runs)
            table << " " << format(medianOf(runs, row.measure), row.decimals) << " |";
        const double game = medianOf(results.runs[0], row.measure);
        const char* verdict = !row.target.holds        ? "description"
                              : std::isnan(game)       ? "not measured"
                              : row.target.holds(game) ? "met"
                                                       : "not met";
        table << " " << row.target.text << " | " << verdict << " |\n";
    }
    table << "| CPU per frame, tarvik / floor: what the scene costs on this renderer | "
          << format(median(ratios), 2) << " |" << blanks << " | description |\n"
          << "| CPU per frame, tarvik / floor, lowest to highest pair | "
          << format(*std::min_element(ratios.begin(), ratios.end()), 2) << " to "
          << format(*std::max_element(ratios.begin(), ratios.end()), 2) << " |" << blanks
          << " | description |\n";
    return table.str();
}

// The resident size of the runs at each minute of the steady state, or at each fifth of a
// shorter one, in MiB, as a list; from the first pair.
std::string rssLevelsOf(const Settings& settings, const Run& run)
{
    const std::chrono::milliseconds step =
        settings.measure >= 10min ? std::chrono::milliseconds(1min) : rssWarmUpSpan(settings);
    const size_t every = std::max<size_t>(1, static_cast<size_t>(step / settings.rssEvery));
    std::string levels;
    for (size_t at = 0; at < run.rss.size(); at += every) {
        levels += (at > 0 ? ", " : "") + format(run.rss[at], 1);
    }
    return levels;
}

// The paragraphs on memory under the table: what the warm-up adds and what makes it, whether
// the judged growth meets its target, and the resident sizes over the run.
std::string rssNote(const Settings& settings, const std::vector<Subject>& subjects,
                    const Results& results)
{
    const std::string first = inWords(rssWarmUpSpan(settings));
    const std::string rest = inWords(settings.measure - rssWarmUpSpan(settings));
    const auto kib = [&](size_t subject, Measure measure) {
        return std::round(medianOf(results.runs[subject], measure));
    };
    std::ostringstream text;
    text << "Memory: in the first " << first << " of the steady state, the warm-up, the game's"
         << " resident size grew by " << format(kib(0, &Run::rssWarmUp), 0) << " KiB, "
         << format(kib(0, &Run::anonWarmUp), 0) << " KiB of it anonymous memory; the floor's by "
         << format(kib(1, &Run::rssWarmUp), 0) << " KiB. Over the last " << rest
         << " the game's grew by " << format(kib(0, &Run::rssGrowth), 0) << " KiB ("
         << format(kib(0, &Run::anonGrowth), 0) << " KiB anonymous) and the floor's by "
         << format(kib(1, &Run::rssGrowth), 0) << " KiB.";
    if (subjects.size() > 2) {
        // The same game with the threshold fixed from outside too: what it still changes.
        const auto whole = [&](size_t subject) {
            return kib(subject, &Run::rssWarmUp) + kib(subject, &Run::rssGrowth);
        };
        text << " The game holds malloc's mmap threshold where it starts, so that large blocks keep"
                " mappings of their own rather than come from the heap once one is freed; with the"
                " threshold also fixed from outside (`"
             << fixedThreshold << "`), its resident size grew by " << format(whole(2), 0)
             << " KiB over the whole steady state, against " << format(whole(0), 0)
             << " KiB as it is: a difference of " << format(whole(0) - whole(2), 0) << " KiB.";
    }
    text << "\n\nResident size (MiB) at the start of the steady state and after each "
         << (settings.measure >= 10min ? "minute" : first) << ", in the first pair:\n\n";
    for (size_t i = 0; i < subjects.size(); ++i) {
        text << "- " << subjects[i].label << ": " << rssLevelsOf(settings, results.runs[i][0])
             << "\n";
    }
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

// The report's paragraphs on when, how long, on what machine and beside what load it was
// measured: the load as the kernel counted it, whatever else ran.
std::string conditions(const Settings& settings, const std::vector<Subject>& subjects,
                       const Results& results, const std::string& renderer)
{
    double busy = 0, least = results.loads.front().averageLeast, most = 0;
    for (const Load& load : results.loads) {
        busy = std::max(busy, load.busyShare);
        least = std::min(least, load.averageLeast);
        most = std::max(most, load.averageMost);
    }
    std::ostringstream text;
    text << "Measured by `scripts/bench.sh` on " << today() << " (" << settings.mode
         << " mode): " << settings.pairs << " pair(s) of runs, "
         << (settings.sideBySide ? "every program side by side" : "the game then the floor")
         << ", each on a " << settings.width << " x " << settings.height
         << " Xvfb screen of its own with dwm, " << settings.warmUp.count() << " s to settle, then "
         << inWords(settings.measure) << " of steady state measured. The"
         << " programs: ";
    for (size_t i = 0; i < subjects.size(); ++i) text << (i > 0 ? ", " : "") << subjects[i].label;
    text << ".\n\n"
         << "Machine: " << cpuModel() << ", " << std::thread::hardware_concurrency()
         << " cores; renderer: " << renderer << ". Its load over the steady states, everything on"
         << " it counted, the measured programs and their X servers too: its processors were busy"
         << " " << format(busy * 100, 0) << "% of the time at the most, in the busiest "
         << (settings.sideBySide ? "run" : "turn") << ", and the 1-minute load average stood"
         << " between " << format(least, 2) << " and " << format(most, 2) << ".\n\n";
    return text.str();
}

// The report's paragraphs on how each figure is taken.
std::string method(const Settings& settings)
{
    std::ostringstream text;
    text << "Each figure is the median over the pairs; the verdict is the game's (the first"
            " column's). How they are taken:\n\n"
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
            " inside the paddle's new side shows cyan. A press waits for the next tick, at most"
            " one frame interval, then for that frame's draw and swap: its bound is the frame"
            " interval's p95 and the CPU per frame added.\n"
         << "- Memory: VmHWM from `/proc/PID/status` at the end; VmRSS and its anonymous part,"
            " RssAnon, read every "
         << inWords(settings.rssEvery)
         << " through the steady state. Each level is the median of a few readings from that"
            " moment on, the last the median of the last few; the warm-up's growth is taken"
            " from the level at the start to the level after the first "
         << inWords(rssWarmUpSpan(settings)) << ", the growth after it from there to the end";
    if (settings.judged > 0s) {
        text << ", and the slope is the least-squares line through every reading of the last "
             << inWords(settings.judged);
    }
    text << ".\n- Machine load: the busy share of all processors from `/proc/stat` and the load"
            " average from `/proc/loadavg`, read with the resident sizes.\n\n"
         << "The floor (`bench/floor.cpp`) has the game's GLUT start-up, window, timer and"
            " full-screen size, and a frame that only clears and swaps.\n";
    if (settings.mode != "long") {
        text << "\nMemory over 30 minutes is measured and judged by `scripts/bench.sh --long`, in"
                " [benchmarks-long.md](benchmarks-long.md).\n";
    }
    return text.str();
}

// The output's path with its ".md" replaced by the given ending.
std::string besideOutput(const Settings& settings, const std::string& ending)
{
    const std::string& path = settings.output;
    const size_t dot = path.rfind(".md");
    return (dot == std::string::npos ? path : path.substr(0, dot)) + ending;
}

// Writes one block of values a subject, as gnuplot reads them: a comment naming the subject,
// then one value a line, blocks apart by two blank lines.
void writeBlocks(const std::string& path, const std::vector<Subject>& subjects,
                 const Results& results, Series series)
{
    std::ofstream out(path);
    for (size_t i = 0; i < subjects.size(); ++i) {
        if ((results.runs[i][0].*series).empty()) continue;
        out << "# " << subjects[i].label << "\n";
        for (const Run& run : results.runs[i]) {
            for (double value : run.*series) out << format(value, 3) << "\n";
        }
        out << "\n\n";
    }
}

// Writes the data of the page's plots beside it: in the long mode the resident sizes, a
// column a subject, the first pair's; else the frame intervals and the key latencies.
void writeData(const Settings& settings, const std::vector<Subject>& subjects,
               const Results& results)
{
    if (settings.mode == "long") {
        std::ofstream out(besideOutput(settings, "-rss.tsv"));
        out << "# minutes";
        for (const Subject& subject : subjects) out << "\t" << subject.label << " (MiB)";
        out << "\n";
        for (size_t at = 0; at < results.runs[0][0].rss.size(); ++at) {
            out << format(std::chrono::duration<double, std::ratio<60>>(settings.rssEvery *
                                                                        static_cast<long>(at))
                              .count(),
                          3);
            for (const auto& runs : results.runs) out << "\t" << format(runs[0].rss[at], 3);
            out << "\n";
        }
        return;
    }
    writeBlocks(besideOutput(settings, "-frames.tsv"), subjects, results, &Run::intervals);
    writeBlocks(besideOutput(settings, "-keys.tsv"), subjects, results, &Run::latencies);
}

// Writes the figures as a Markdown page, with what they were measured on and how, and the
// plots that scripts/bench.sh draws beside it; false if the page could not be written.
bool writeReport(const Settings& settings, const std::vector<Subject>& subjects,
                 const Results& results, const std::string& figures)
{
    const std::string name = besideOutput(settings, "");
    const std::string base = name.substr(name.rfind('/') + 1);
    std::ofstream out(settings.output);
    // The tag is split so that REUSE does not read it as this file's own licence.
    out << "<!-- SPDX-"
           "License-Identifier: MIT -->\n"
        << "# Benchmarks\n\n"
        << conditions(settings, subjects, results, results.runs[1].front().renderer) << figures
        << "\n";
    if (settings.mode == "long") {
        out << "![The resident size of each program over the steady state](" << base
            << "-rss.png)\n\nIts data: [" << base << "-rss.tsv](" << base << "-rss.tsv).\n\n";
    } else {
        out << "![The frame intervals of the game and the floor, and the game's key-to-picture"
               " latencies, as histograms]("
            << base << "-distributions.png)\n\nIts data: [" << base << "-frames.tsv](" << base
            << "-frames.tsv), [" << base << "-keys.tsv](" << base << "-keys.tsv).\n\n";
    }
    out << method(settings);
    writeData(settings, subjects, results);
    if (out.flush()) return true;
    std::fprintf(stderr, "bench: could not write %s\n", settings.output.c_str());
    return false;
}

// Whether every run of every pair took every measure.
bool allComplete(const Results& results)
{
    for (const auto& runs : results.runs) {
        for (const Run& run : runs) {
            if (!run.complete) return false;
        }
    }
    return true;
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

// Thirty minutes of every program side by side, the last 20 judged for memory growth: the first
// ten are left to the renderer's and the allocator's warm-up.
void useLongMode(Settings& settings)
{
    settings.mode = "long";
    settings.pairs = 1;
    settings.warmUp = 10s;
    settings.measure = 1800s;
    settings.judged = 1200s;
    settings.rssEvery = 10s;
    settings.sideBySide = true;
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

// Measures every pair, prints the figures and writes the report if asked; 1 if a figure is
// missing or the report could not be written.
int main(int argc, char** argv)
{
    Settings settings;
    if (const std::optional<int> status = parse(argc, argv, settings)) return *status;
    const std::vector<Subject> subjects = subjectsOf(settings);
    const Results results = measureAll(settings, subjects);
    const std::string figures =
        summarise(settings, subjects, results) + "\n" + rssNote(settings, subjects, results);
    std::printf("%s", figures.c_str());
    const bool written =
        settings.output.empty() || writeReport(settings, subjects, results, figures);
    return allComplete(results) && written ? 0 : 1;
}
