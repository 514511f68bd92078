// SPDX-License-Identifier: MIT
#include "measure.h"

#include "camera.h"
#include "game_session.h"

#include <X11/keysym.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

namespace {

// The programs measured: the game and the floor, which has the game's window
// and timer and draws nothing.
const Playable floorProgram = {FLOOR_PROGRAM, "Tarvik Floor"};

constexpr Rgb floorAfterLeft = {0, 0, 255};  // the floor's clear colour after Left
constexpr Rgb floorAfterRight = black;       // and after Right

// Microseconds from a start to a moment, both on monotonicNs()'s clock.
long long since(long long startNs, long long ns) { return (ns - startNs) / 1000; }

// The CPU time the process has used, user and system, in milliseconds.
long long cpuMs(int pid)
{
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stoll(field);  // utime, stime
    }
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

// A "KEY: N kB" line of a /proc file, in KiB, or -1.
long long kibOf(const std::string& path, const std::string& key)
{
    std::istringstream lines(readFile(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
    }
    return -1;
}

// The machine's processor ticks so far, busy and in all, from /proc/stat.
std::pair<long long, long long> machineTicks()
{
    std::istringstream in(readFile("/proc/stat"));
    std::string cpu;
    long long busy = 0, all = 0, value = 0;
    in >> cpu;
    for (int field = 0; field < 8 && in >> value; ++field) {
        all += value;
        if (field != 3 && field != 4) busy += value;  // idle and iowait are not busy
    }
    return {busy, all};
}

// The kernel's 1-minute load average, in hundredths.
long long loadAverage()
{
    std::istringstream in(readFile("/proc/loadavg"));
    long long whole = 0, hundredths = 0;
    char point = 0;
    in >> whole >> point >> hundredths;
    return whole * 100 + hundredths;
}

// Polls one pixel of the screen until it shows the colour; when it did, on
// monotonicNs()'s clock, or -1 after the timeout.
long long whenPixelShows(const VirtualScreen& screen, Pixel at, Rgb colour,
                         std::chrono::milliseconds timeout)
{
    long long seen = -1;
    screen.captureUntil(
        [&](const Frame& frame) {
            if (!(frame.at(0, 0) == colour)) return false;
            seen = monotonicNs();
            return true;
        },
        timeout, {static_cast<short>(at.x), static_cast<short>(at.y), 1, 1}, 200us);
    return seen;
}

// One program on a desktop of its own, with its swap log and its run's record.
struct Launch {
    bool isGame;
    std::string log;
    std::unique_ptr<GameSession> session;
    RunRecord run;
};

// Starts one program with the swap tracer, and for the game waits for its board.
Launch launch(const Settings& settings, bool isGame, int pair)
{
    Launch started{isGame, makeTempFile(), nullptr, {}};
    started.run.pair = pair;
    started.run.subject = isGame ? "tarvik" : "floor";
    const std::string every = std::to_string(settings.memoryEvery.count());
    started.session = std::make_unique<GameSession>(
        settings.width, settings.height, std::vector<std::string>{}, swapTracer(),
        std::vector<std::string>{"TARVIK_SWAP_LOG=" + started.log,
                                 "TARVIK_MALLOC_EVERY_MS=" + every},
        isGame ? theGame() : floorProgram);
    const GameSession& session = *started.session;
    if (isGame) {
        const Pixel board = tableToPixel({0.5, 0.01, 0.5}, settings.width, settings.height);
        const long long shown = whenPixelShows(session.screen, board, white, 30s);
        if (shown > 0) started.run.board = {since(session.started, shown)};
    }
    return started;
}

// Watches the steady state of every program at once: its ends, the CPU each
// used over it, their resident sizes every so often, and the machine's load.
void watchSteadyState(const Settings& settings, std::vector<Launch>& launches)
{
    const auto [busyFrom, allFrom] = machineTicks();
    long long leastAverage = loadAverage(), mostAverage = leastAverage;
    const auto readMemory = [&] {
        for (Launch& launch : launches) {
            const std::string rollup =
                "/proc/" + std::to_string(launch.session->game.pid()) + "/smaps_rollup";
            launch.run.memoryAt.push_back(since(launch.session->started, monotonicNs()));
            launch.run.rss.push_back(kibOf(rollup, "Rss"));
            launch.run.pss.push_back(kibOf(rollup, "Pss"));
        }
        const long long average = loadAverage();
        leastAverage = std::min(leastAverage, average);
        mostAverage = std::max(mostAverage, average);
    };
    const auto markEnds = [&] {
        for (Launch& launch : launches) {
            launch.run.steady.push_back(since(launch.session->started, monotonicNs()));
            launch.run.cpu.push_back(cpuMs(launch.session->game.pid()));
        }
    };
    markEnds();
    const auto start = std::chrono::steady_clock::now();
    const long readings = static_cast<long>(settings.measure / settings.memoryEvery);
    for (long step = 0; step < readings; ++step) {
        readMemory();
        std::this_thread::sleep_until(start + settings.memoryEvery * (step + 1));
    }
    markEnds();
    readMemory();
    const auto [busyTo, allTo] = machineTicks();
    for (Launch& launch : launches)
        launch.run.load = {busyTo - busyFrom, allTo - allFrom, leastAverage, mostAverage};
}

// Presses Left and Right through XTEST at random moments across a tick, and
// times each press until a one-pixel read-back shows what it changed: for the
// game, just inside the side the paddle moves towards, where it will stand;
// for the floor, the middle of its new clear colour.
Values keyLatencies(const Settings& settings, const Launch& launch)
{
    const VirtualScreen& screen = launch.session->screen;
    std::mt19937 random(2026);
    std::uniform_int_distribution<int> gap(0, 25000);  // microseconds, across a whole tick
    Values latencies;
    double x = 0.5;  // the far paddle's centre
    for (int i = 0; i < settings.presses; ++i) {
        // The game's paddle goes left for half the presses, then back; the
        // floor alternates, so that each press changes its colour.
        const bool left = launch.isGame ? i < settings.presses / 2 : i % 2 == 0;
        Pixel probe = {screen.width() / 2, screen.height() / 2};
        Rgb colour = left ? floorAfterLeft : floorAfterRight;
        if (launch.isGame) {
            x += left ? 0.02 : -0.02;
            probe = tableToPixel({left ? x + 0.095 : x - 0.095, 0.1, 1}, screen.width(),
                                 screen.height());
            colour = cyan;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        const long long pressed = monotonicNs();
        screen.tapKey(left ? XK_Left : XK_Right);
        const long long seen = whenPixelShows(screen, probe, colour, 1s);
        if (seen > 0) latencies.push_back(since(pressed, seen));
    }
    return latencies;
}

// Takes the rest of a run's record as its program ends: its keys, its peak,
// and from the swap log its frames, renderer and allocator readings. False if
// some part of it is missing.
bool finish(const Settings& settings, Launch& launch)
{
    RunRecord& run = launch.run;
    GameSession& session = *launch.session;
    bool complete = true;
    const auto fault = [&](const std::string& what) {
        std::fprintf(stderr, "bench: %s, pair %d: %s\n", run.subject.c_str(), run.pair,
                     what.c_str());
        complete = false;
    };
    run.keys = keyLatencies(settings, launch);
    if (run.keys.size() != static_cast<size_t>(settings.presses))
        fault(std::to_string(settings.presses - static_cast<int>(run.keys.size())) +
              " presses never showed");
    run.peakRss = {kibOf("/proc/" + std::to_string(session.game.pid()) + "/status", "VmHWM")};
    const std::string ended = session.endWithEscape();
    if (!ended.empty()) fault(ended);
    for (const long long stamp : readStamps(launch.log))
        run.swaps.push_back(since(session.started, stamp));
    run.renderer = readTraced(launch.log, "renderer");
    for (const std::string& line : readAllTraced(launch.log, "in use")) {
        std::istringstream reading(line);
        long long stamp = 0, bytes = 0;
        reading >> stamp >> bytes;
        run.inUseAt.push_back(since(session.started, stamp));
        run.inUse.push_back(bytes);
    }
    std::remove(launch.log.c_str());
    if (run.swaps.empty()) fault("no frames");
    if (launch.isGame && run.board.empty()) fault("its board never showed");
    if (run.inUse.empty()) fault("no reading of its allocator");
    for (const Values* series : {&run.rss, &run.pss, &run.peakRss}) {
        if (std::find(series->begin(), series->end(), -1) != series->end())
            fault("a reading of its memory failed");
    }
    return complete;
}

// The processor's model as the kernel names it, and the number of cores.
std::string machine()
{
    std::istringstream lines(readFile("/proc/cpuinfo"));
    std::string model = "unknown CPU";
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores";
}

// Today's date in UTC, as YYYY-MM-DD.
std::string today()
{
    char text[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
    return text;
}

// The value of an environment variable, or the given default where it is unset.
std::string environmentOr(const char* name, const char* otherwise)
{
    const char* value = std::getenv(name);
    return value && *value ? value : otherwise;
}

}  // namespace

bool measureAll(const Settings& settings, Record& record)
{
    record.about = {
        {"mode", settings.mode},
        {"date", today()},
        {"commit", settings.describe},
        {"build", BUILD_TYPE},
        {"machine", machine()},
        {"desktop", environmentOr("TARVIK_DESKTOP", "dwm")},
        {"gl-driver", environmentOr("TARVIK_GL_DRIVER", "llvmpipe")},
        {"screen", std::to_string(settings.width) + "x" + std::to_string(settings.height)},
        {"pairs", std::to_string(settings.pairs)},
        {"side-by-side", settings.sideBySide ? "yes" : "no"},
        {"warm-up-s", std::to_string(settings.warmUp.count())},
        {"measure-s", std::to_string(settings.measure.count())},
        {"judged-s", std::to_string(settings.judged.count())},
        {"memory-every-ms", std::to_string(settings.memoryEvery.count())},
        {"presses", std::to_string(settings.presses)},
    };
    bool complete = true;
    std::vector<std::vector<bool>> turns = {{true}, {false}};  // which programs run at once
    if (settings.sideBySide) turns = {{true, false}};
    for (int pair = 1; pair <= settings.pairs; ++pair) {
        std::fprintf(stderr, "bench: pair %d of %d\n", pair, settings.pairs);
        for (const std::vector<bool>& turn : turns) {
            std::vector<Launch> launches;
            for (const bool isGame : turn) launches.push_back(launch(settings, isGame, pair));
            std::this_thread::sleep_for(settings.warmUp);
            watchSteadyState(settings, launches);
            for (Launch& launch : launches) {
                complete = finish(settings, launch) && complete;
                record.runs.push_back(std::move(launch.run));
            }
        }
    }
    return complete;
}
