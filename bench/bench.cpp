// SPDX-License-Identifier: MIT
// Measures the game side by side with the floor program on a virtual desktop:
// frames delivered and their pacing, CPU per frame, start-up, key-to-picture
// latency and memory. Prints one table and writes it, with the machine's
// description, as Markdown.
//
//   bench [--short | --long] [--pairs N] [--size WIDTHxHEIGHT] [--output FILE.md]
//         [--game PROGRAM] [--floor PROGRAM]
//
// --game and --floor compare other builds than the ones built beside it.

#include "camera.h"
#include "desktop.h"

#include <X11/keysym.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double none = std::numeric_limits<double>::quiet_NaN();  // a measure that does not apply

struct Settings {
    int pairs = 9;
    int width = 1920, height = 1080;
    std::chrono::seconds warmUp{3};    // before the steady state is measured
    std::chrono::seconds measure{10};  // the steady state
    int presses = 60;                  // key-to-picture samples, half Left, half Right
    std::string mode = "full";
    std::string output;
    std::string game = TARVIK_PROGRAM, floor = FLOOR_PROGRAM;
};

// What one run of one program gave.
struct Run {
    double fps = none, intervalMedian = none, intervalP95 = none, intervalMax = none;
    double cpuPerFrame = none, firstSwap = none, boardShown = none;
    double latencyMedian = none, latencyP95 = none;
    double peakRss = none, rssGrowth = none;
    std::string renderer;
    bool complete = true;  // false if any measure could not be taken
};

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty()) return none;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, at > 0 ? at - 1 : 0)];
}

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

std::vector<long long> readStamps(const std::string& path)
{
    std::ifstream in(path);
    std::vector<long long> stamps;
    for (long long stamp = 0; in >> stamp;) stamps.push_back(stamp);
    return stamps;
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

Run measure(const Settings& settings, const std::string& program, bool isGame)
{
    Run run;
    VirtualScreen screen(settings.width, settings.height);
    const std::string log = "/tmp/tarvik-bench-" + std::to_string(getpid()) + ".swaps";
    const long long started = monotonicNs();
    Process process({program}, screen.name(), {"LD_PRELOAD=" SWAP_TRACE, "TARVIK_SWAP_LOG=" + log});
    const int pid = process.pid();

    if (isGame) {
        const Pixel board = tableToPixel({0.5, 0.01, 0.5}, screen.width(), screen.height());
        const long long shown = waitForPixel(screen, board, white, 30000000000LL);
        if (shown > 0) run.boardShown = static_cast<double>(shown - started) / 1e6;
    }
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(started) + settings.warmUp));

    // The steady state, with the resident size read once a second.
    const long long from = monotonicNs();
    const double cpuFrom = cpuMs(pid);
    std::vector<double> rss;
    for (auto second = 0s; second < settings.measure; ++second) {
        rss.push_back(statusMiB(pid, "VmRSS"));
        std::this_thread::sleep_for(1s);
    }
    const long long to = monotonicNs();
    const double cpuTo = cpuMs(pid);
    rss.push_back(statusMiB(pid, "VmRSS"));

    if (isGame) {
        const std::vector<double> latencies = keyLatencies(screen, settings.presses);
        run.latencyMedian = median(latencies);
        run.latencyP95 = percentile(latencies, 0.95);
        if (static_cast<int>(latencies.size()) < settings.presses) {
            std::fprintf(stderr, "bench: %d of %d presses never showed\n",
                         settings.presses - static_cast<int>(latencies.size()), settings.presses);
            run.complete = false;
        }
    }
    run.peakRss = statusMiB(pid, "VmHWM");
    // Growth from the first readings to the last, each a median so that the
    // allocator's coming and going of a few pages does not count.
    const auto window = static_cast<std::ptrdiff_t>(std::clamp<size_t>(rss.size() / 4, 1, 10));
    run.rssGrowth =
        (median({rss.end() - window, rss.end()}) - median({rss.begin(), rss.begin() + window})) *
        1024;
    screen.tapKey(XK_Escape);
    if (!process.waitForExit(30s)) {
        std::fprintf(stderr, "bench: %s did not end on Escape\n", program.c_str());
        run.complete = false;
    }

    const std::vector<long long> stamps = readStamps(log);
    std::remove(log.c_str());
    std::vector<double> intervals;
    size_t frames = 0;
    for (size_t i = 0; i < stamps.size(); ++i) {
        if (stamps[i] < from || stamps[i] > to) continue;
        ++frames;
        if (i > 0 && stamps[i - 1] >= from) {
            intervals.push_back(static_cast<double>(stamps[i] - stamps[i - 1]) / 1e6);
        }
    }
    if (!stamps.empty()) run.firstSwap = static_cast<double>(stamps.front() - started) / 1e6;
    run.fps = static_cast<double>(frames) / (static_cast<double>(to - from) / 1e9);
    run.intervalMedian = median(intervals);
    run.intervalP95 = percentile(intervals, 0.95);
    run.intervalMax =
        intervals.empty() ? none : *std::max_element(intervals.begin(), intervals.end());
    run.cpuPerFrame = frames > 0 ? (cpuTo - cpuFrom) / static_cast<double>(frames) : none;
    if (frames == 0 || (isGame && std::isnan(run.boardShown))) {
        std::fprintf(stderr, "bench: %s showed no frames\n", program.c_str());
        run.complete = false;
    }

    const std::string errors = process.standardError();
    const size_t at = errors.find("renderer: ");
    if (at != std::string::npos) {
        run.renderer = errors.substr(at + 10, errors.find('\n', at) - at - 10);
    }
    return run;
}

// The median over the runs of one measure.
double medianOf(const std::vector<Run>& runs, double Run::*measure)
{
    std::vector<double> values;
    for (const Run& run : runs) {
        if (!std::isnan(run.*measure)) values.push_back(run.*measure);
    }
    return median(values);
}

std::string format(double value, int decimals)
{
    if (std::isnan(value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string cpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

std::string today()
{
    char text[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
    return text;
}

bool parse(int argc, char** argv, Settings& settings)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--short") {
            settings.mode = "short";
            settings.pairs = 1;
            settings.warmUp = 1s;
            settings.measure = 2s;
            settings.presses = 10;
        } else if (option == "--long") {
            settings.mode = "long";
            settings.pairs = 1;
            settings.warmUp = 10s;
            settings.measure = 300s;
        } else if (option == "--pairs" && hasValue) {
            settings.pairs = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--size" && hasValue) {
            if (std::sscanf(argv[++i], "%dx%d", &settings.width, &settings.height) != 2)
                return false;
        } else if (option == "--game" && hasValue) {
            settings.game = argv[++i];
        } else if (option == "--floor" && hasValue) {
            settings.floor = argv[++i];
        } else if (option == "--output" && hasValue) {
            settings.output = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    if (!parse(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: bench [--short | --long] [--pairs N] [--size WIDTHxHEIGHT] "
                     "[--output FILE.md] [--game PROGRAM] [--floor PROGRAM]\n");
        return 2;
    }

    std::vector<Run> games, floors;
    std::vector<double> cpuRatios;
    for (int pair = 1; pair <= settings.pairs; ++pair) {
        std::fprintf(stderr, "bench: pair %d of %d\n", pair, settings.pairs);
        games.push_back(measure(settings, settings.game, true));
        floors.push_back(measure(settings, settings.floor, false));
        cpuRatios.push_back(games.back().cpuPerFrame / floors.back().cpuPerFrame);
    }

    struct Row {
        const char* what;
        double Run::*measure;
        int decimals;
        const char* target;
    };
    const Row rows[] = {
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
        {"RSS growth over the steady state (KiB)", &Run::rssGrowth, 0, "none over 5 minutes"},
    };

    std::ostringstream table;
    table << "| measure | tarvik | floor | target |\n|---|---|---|---|\n";
    for (const Row& row : rows) {
        table << "| " << row.what << " | " << format(medianOf(games, row.measure), row.decimals)
              << " | " << format(medianOf(floors, row.measure), row.decimals) << " | " << row.target
              << " |\n";
    }
    table << "| CPU per frame, tarvik / floor | " << format(median(cpuRatios), 2)
          << " | | at most 1.5 |\n"
          << "| CPU per frame, tarvik / floor, lowest to highest pair | "
          << format(*std::min_element(cpuRatios.begin(), cpuRatios.end()), 2) << " to "
          << format(*std::max_element(cpuRatios.begin(), cpuRatios.end()), 2) << " | | |\n";
    std::printf("%s", table.str().c_str());

    if (!settings.output.empty()) {
        std::ofstream out(settings.output);
        out << "# Benchmarks\n\n"
            << "Measured by `scripts/bench.sh` on " << today() << " (" << settings.mode
            << " mode): " << settings.pairs
            << " pair(s) of runs, the game then the floor, each on a " << settings.width << " x "
            << settings.height << " Xvfb screen of its own with dwm, " << settings.warmUp.count()
            << " s to settle, then " << settings.measure.count()
            << " s of steady state measured.\n\n"
            << "Machine: " << cpuModel() << ", " << std::thread::hardware_concurrency()
            << " cores; renderer: " << floors.front().renderer << ".\n\n"
            << table.str() << "\n"
            << "Each figure is the median over the pairs. How they are taken:\n\n"
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
            << "- Memory: VmHWM from `/proc/PID/status` at the end; VmRSS read once a second"
               " through the steady state, its growth taken between the medians of the first"
               " and the last readings.\n\n"
            << "The floor (`bench/floor.cpp`) has the game's GLUT start-up, window, timer and"
               " full-screen size, and a frame that only clears and swaps.\n";
        if (settings.mode != "long") {
            out << "\nMemory over five minutes is measured by `scripts/bench.sh --long`, in"
                   " [benchmarks-long.md](benchmarks-long.md).\n";
        }
    }
    const auto complete = [](const Run& run) { return run.complete; };
    const bool measuredAll = std::all_of(games.begin(), games.end(), complete) &&
                             std::all_of(floors.begin(), floors.end(), complete);
    return measuredAll ? 0 : 1;
}
