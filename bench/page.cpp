// SPDX-License-Identifier: MIT
#include "page.h"

#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

// The pace asked of the game, which the floor must hold for a timing verdict
// to be the game's: its 25 ms timer gives 40 frames a second.
constexpr double paceFps = 39;    // frames per second, at least
constexpr double paceP95Ms = 30;  // ms, the frame interval's p95 at most

// The game against the floor of the same turn.
constexpr double fpsShare = 0.98;  // of the floor's frames per second, at least
constexpr double slackMs = 2;      // ms over the floor's p95s, at most

constexpr double boardBoundMs = 1000;  // ms from start to the board on screen, under
// KiB the allocator's bytes in use may grow over the long mode's judged span:
// less than a leak of glibc's smallest block (32 bytes) a second for 20 minutes.
constexpr double growthBoundKiB = 32;

// The figures of one run, in ms, MiB, KiB and KiB an hour.
struct RunFigures {
    double fps = none, intervalMedian = none, intervalP95 = none, intervalMax = none;
    double cpuPerFrame = none, firstSwap = none, boardShown = none, keyMedian = none, keyP95 = none;
    double inUseStart = none, inUseWarmUp = none, inUseGrowth = none, inUseSlope = none;
    double rssStart = none, rssGrowth = none, rssSlope = none, pssStart = none, peakRss = none;
    std::vector<double> intervals, keys;  // every frame's and every press's
};

double ms(long long us) { return static_cast<double>(us) / 1000; }

// A series of memory readings over the steady state: its level where the
// judged span starts, its growth before it and over it, and its slope there.
struct Growth {
    double start = none, warmUp = none, growth = none, slope = none;
};

Growth growthOf(const Values& at, const Values& values, const Values& steady, long long judgedUs,
                double toKiB)
{
    const long long judgedFrom = steady.at(1) - judgedUs;
    std::vector<double> warm, hours, judged;
    for (size_t i = 0; i < at.size() && i < values.size(); ++i) {
        if (at[i] < steady.at(0) || at[i] > steady.at(1)) continue;
        const double kib = static_cast<double>(values[i]) * toKiB;
        if (at[i] < judgedFrom) {
            warm.push_back(kib);
        } else {
            hours.push_back(static_cast<double>(at[i]) / 3.6e9);
            judged.push_back(kib);
        }
    }
    Growth growth;
    growth.start = levelAtStart(judged);
    growth.warmUp = growth.start - levelAtStart(warm.empty() ? judged : warm);
    growth.growth = levelAtEnd(judged) - growth.start;
    growth.slope = theilSenSlope(hours, judged);
    return growth;
}

RunFigures figuresOf(const RunRecord& run, long long judgedUs)
{
    RunFigures f;
    const long long from = run.steady.at(0), to = run.steady.at(1);
    size_t frames = 0;
    long long previous = -1;
    for (const long long swap : run.swaps) {
        if (swap >= from && swap <= to) {
            ++frames;
            if (previous >= from) f.intervals.push_back(ms(swap - previous));
        }
        previous = swap;
    }
    f.fps = static_cast<double>(frames) / (static_cast<double>(to - from) / 1e6);
    f.intervalMedian = median(f.intervals);
    f.intervalP95 = percentile(f.intervals, 0.95);
    if (frames > 0)
        f.cpuPerFrame =
            static_cast<double>(run.cpu.at(1) - run.cpu.at(0)) / static_cast<double>(frames);
    if (!run.swaps.empty()) f.firstSwap = ms(run.swaps.front());
    if (!run.board.empty()) f.boardShown = ms(run.board.front());
    f.intervalMax = largest(f.intervals);
    for (const long long key : run.keys) f.keys.push_back(ms(key));
    f.keyMedian = median(f.keys);
    f.keyP95 = percentile(f.keys, 0.95);
    const Growth inUse = growthOf(run.inUseAt, run.inUse, run.steady, judgedUs, 1.0 / 1024);
    const Growth rss = growthOf(run.memoryAt, run.rss, run.steady, judgedUs, 1);
    const Growth pss = growthOf(run.memoryAt, run.pss, run.steady, judgedUs, 1);
    f.inUseStart = inUse.start / 1024;
    f.inUseWarmUp = inUse.warmUp;
    f.inUseGrowth = inUse.growth;
    f.inUseSlope = inUse.slope;
    f.rssStart = rss.start / 1024;
    f.rssGrowth = rss.growth;
    f.rssSlope = rss.slope;
    f.pssStart = pss.start / 1024;
    if (!run.peakRss.empty()) f.peakRss = static_cast<double>(run.peakRss.front()) / 1024;
    return f;
}

// One of the figures of a run.
using Measure = double RunFigures::*;

// Every run of one program, and what its frames and presses give pooled.
struct Column {
    std::vector<RunFigures> runs;
    std::vector<double> intervals, keys;

    std::vector<double> perPair(Measure measure) const
    {
        std::vector<double> values;
        for (const RunFigures& run : runs) values.push_back(run.*measure);
        return values;
    }
};

Column columnOf(const Record& record, const std::string& subject, long long judgedUs)
{
    Column column;
    for (const RunRecord* run : record.runsOf(subject)) {
        column.runs.push_back(figuresOf(*run, judgedUs));
        const RunFigures& f = column.runs.back();
        column.intervals.insert(column.intervals.end(), f.intervals.begin(), f.intervals.end());
        column.keys.insert(column.keys.end(), f.keys.begin(), f.keys.end());
    }
    return column;
}

// The value with the given decimals, or a dash for one that does not apply.
std::string format(double value, int decimals)
{
    if (std::isnan(value)) return "-";
    if (std::round(value * std::pow(10.0, decimals)) == 0) value = 0;  // no "-0"
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A figure of one program: the one shown, and its pairs' own spread.
struct Cell {
    double value = none;
    Spread pairs;
};

std::string describe(const Cell& cell, int decimals)
{
    if (std::isnan(cell.value)) return "-";
    return format(cell.value, decimals) + " (" + format(cell.pairs.lowest, decimals) + " to " +
           format(cell.pairs.highest, decimals) + ")";
}

// What a row is held to and how it fared, for the game.
struct Judged {
    std::string target, verdict = "description";
};

// One line of the table: a figure of each run, shown as the median of the
// pairs, or, where pooled is given, over all frames or presses of all pairs.
struct Row {
    std::string what;
    int decimals;
    Measure measure;
    std::function<double(const Column&)> pooled;
    std::function<Judged(const Cell& game, const Cell& floor)> judge;
};

Cell cellOf(const Row& row, const Column& column)
{
    Cell cell;
    cell.pairs = spreadOf(column.perPair(row.measure));
    cell.value = row.pooled ? row.pooled(column) : cell.pairs.middle;
    return cell;
}

// A length of time in words: whole minutes as "20 minutes", else seconds.
std::string inWords(long long seconds)
{
    if (seconds >= 120 && seconds % 60 == 0) return std::to_string(seconds / 60) + " minutes";
    return std::to_string(seconds) + " s";
}

// Blocks of rows as gnuplot reads them: each block named in a comment line,
// blocks apart by two blank lines.
using Block = std::pair<std::string, std::vector<std::pair<double, double>>>;
std::string blocksText(const std::vector<Block>& blocks)
{
    std::ostringstream out;
    for (const auto& [name, rows] : blocks) {
        out << "# " << name << "\n";
        for (const auto& [x, y] : rows) out << format(x, 3) << "\t" << format(y, 6) << "\n";
        out << "\n\n";
    }
    return out.str();
}

// The share of the values at least as large as each, from the smallest: the
// tail of a distribution, to be read on a log scale.
std::vector<std::pair<double, double>> tailOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::vector<std::pair<double, double>> rows;
    const double count = static_cast<double>(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        rows.emplace_back(values[i], (count - static_cast<double>(i)) / count);
    return rows;
}

// A vertical mark at x across the tail plot's shares.
std::vector<std::pair<double, double>> markAt(double x) { return {{x, 1e-4}, {x, 1}}; }

// Minutes from the steady state's start, and the readings in MiB, of one series.
std::vector<std::pair<double, double>> overTime(const RunRecord& run, const Values& at,
                                                const Values& values, double toMiB)
{
    std::vector<std::pair<double, double>> rows;
    for (size_t i = 0; i < at.size() && i < values.size(); ++i) {
        if (at[i] < run.steady.at(0) || at[i] > run.steady.at(1)) continue;
        rows.emplace_back(static_cast<double>(at[i] - run.steady.at(0)) / 6e7,
                          static_cast<double>(values[i]) * toMiB);
    }
    return rows;
}

// The page's figures, judged, and every fact its template may name.
class Page {
public:
    explicit Page(const Record& record)
        : record_(record),
          judgedUs_(std::stoll(record["judged-s"]) * 1000000),
          game_(columnOf(record, "tarvik", judgedUs_)),
          floor_(columnOf(record, "floor", judgedUs_))
    {
        if (game_.runs.empty() || game_.runs.size() != floor_.runs.size())
            throw std::runtime_error("the data holds no pairs of runs of the game and the floor");
        const double floorFps = spreadOf(floor_.perPair(&RunFigures::fps)).middle;
        const double floorP95 = percentile(floor_.intervals, 0.95);
        paceHeld_ = floorFps >= paceFps && floorP95 <= paceP95Ms;
        facts_ = {{"pace", paceHeld_ ? "held" : "did not hold"},
                  {"pace-fps", format(paceFps, 0)},
                  {"pace-p95", format(paceP95Ms, 0)},
                  {"floor-fps", format(floorFps, 1)},
                  {"floor-p95", format(floorP95, 1)},
                  {"fps-share", format(fpsShare, 2)},
                  {"slack", format(slackMs, 0)},
                  {"growth-bound", format(growthBoundKiB, 0)},
                  {"judged", inWords(std::stoll(record["judged-s"]))},
                  {"table", table()}};
        for (const auto& [key, value] : record.about) facts_.emplace(key, value);
        renderers();
        load();
    }

    // The template with every @name@ filled in.
    std::string fill(const std::string& text) const
    {
        std::string page;
        size_t at = 0;
        for (size_t open; (open = text.find('@', at)) != std::string::npos;) {
            const size_t close = text.find('@', open + 1);
            if (close == std::string::npos) throw std::runtime_error("an @ without its pair");
            const std::string name = text.substr(open + 1, close - open - 1);
            const auto fact = facts_.find(name);
            if (fact == facts_.end()) throw std::runtime_error("the page knows no @" + name + "@");
            page += text.substr(at, open - at) + fact->second;
            at = close + 1;
        }
        return page + text.substr(at);
    }

    // The data of the page's plot: in the long mode, both programs' memory
    // over the first pair's steady state and the judged span; else the tails
    // of every frame interval and key latency, with each p95.
    std::pair<std::string, std::string> plot() const
    {
        if (isLong()) {
            const RunRecord& game = *record_.runsOf("tarvik").at(0);
            const RunRecord& floor = *record_.runsOf("floor").at(0);
            const long long span = game.steady.at(1) - game.steady.at(0);
            const double judgedFrom = static_cast<double>(span - judgedUs_) / 6e7;
            const double end = static_cast<double>(span) / 6e7;
            return {
                "-memory.tsv",
                blocksText(
                    {{"tarvik, in use", overTime(game, game.inUseAt, game.inUse, 1.0 / 1048576)},
                     {"floor, in use", overTime(floor, floor.inUseAt, floor.inUse, 1.0 / 1048576)},
                     {"tarvik, Rss", overTime(game, game.memoryAt, game.rss, 1.0 / 1024)},
                     {"floor, Rss", overTime(floor, floor.memoryAt, floor.rss, 1.0 / 1024)},
                     {"the judged span", {{judgedFrom, 0}, {end, 0}}}})};
        }
        return {"-tails.tsv",
                blocksText({{"tarvik, frame intervals", tailOf(game_.intervals)},
                            {"floor, frame intervals", tailOf(floor_.intervals)},
                            {"tarvik, key to picture", tailOf(game_.keys)},
                            {"floor, key to picture", tailOf(floor_.keys)},
                            {"tarvik, frame p95", markAt(percentile(game_.intervals, 0.95))},
                            {"floor, frame p95", markAt(percentile(floor_.intervals, 0.95))},
                            {"tarvik, key p95", markAt(percentile(game_.keys, 0.95))},
                            {"floor, key p95", markAt(percentile(floor_.keys, 0.95))}})};
    }

private:
    bool isLong() const { return record_["mode"] == "long"; }

    // A timing target against the floor: the long mode's programs share the
    // processors, so there it only describes; where the floor could not hold
    // the pace, a target the game misses is the machine's, not the game's.
    Judged relative(const std::string& text, double bound, bool met) const
    {
        if (isLong()) return {};
        return {text + ": " + format(bound, 1),
                met         ? "met"
                : paceHeld_ ? "not met"
                            : "inconclusive: the floor did not hold the pace"};
    }

    // A memory target, judged in the long mode alone, where the steady state
    // is long enough to tell a warm-up from a leak.
    Judged memory(double bound, const std::string& unit, double value) const
    {
        if (!isLong()) return {};
        return {"under " + format(bound, 0) + " " + unit, value < bound ? "met" : "not met"};
    }

    std::vector<Row> rows() const
    {
        const double hours = static_cast<double>(judgedUs_) / 3.6e9;
        const auto p95 = [](const std::vector<double>& values) { return percentile(values, 0.95); };
        const auto cpu = spreadOf(game_.perPair(&RunFigures::cpuPerFrame)).middle -
                         spreadOf(floor_.perPair(&RunFigures::cpuPerFrame)).middle;
        return {
            {"frames per second",
             1,
             &RunFigures::fps,
             {},
             [this](const Cell& game, const Cell& floor) {
                 const double bound = fpsShare * floor.value;
                 return relative("at least " + format(fpsShare, 2) + " of the floor's", bound,
                                 game.value >= bound);
             }},
            {"frame interval, median (ms)", 1, &RunFigures::intervalMedian, {}, {}},
            {"frame interval, p95 of all frames (ms)", 1, &RunFigures::intervalP95,
             [p95](const Column& c) { return p95(c.intervals); },
             [this](const Cell& game, const Cell& floor) {
                 const double bound = floor.value + slackMs;
                 return relative("at most the floor's + " + format(slackMs, 0) + " ms", bound,
                                 game.value <= bound);
             }},
            {"frame interval, worst of all frames (ms)",
             1,
             &RunFigures::intervalMax,
             [](const Column& c) { return largest(c.intervals); },
             {}},
            {"CPU per frame (ms)", 2, &RunFigures::cpuPerFrame, {}, {}},
            {"start-up to first swap (ms)", 0, &RunFigures::firstSwap, {}, {}},
            {"start-up to the board on screen (ms)",
             0,
             &RunFigures::boardShown,
             {},
             [this](const Cell& game, const Cell&) {
                 if (isLong()) return Judged{};
                 return Judged{"under " + format(boardBoundMs, 0),
                               game.value < boardBoundMs ? "met" : "not met"};
             }},
            {"key to picture, median of all presses (ms)",
             1,
             &RunFigures::keyMedian,
             [](const Column& c) { return median(c.keys); },
             {}},
            {"key to picture, p95 of all presses (ms)", 1, &RunFigures::keyP95,
             [p95](const Column& c) { return p95(c.keys); },
             [this, cpu](const Cell& game, const Cell& floor) {
                 const double bound = floor.value + cpu + slackMs;
                 return relative("at most the floor's + the difference in CPU per frame + " +
                                     format(slackMs, 0) + " ms",
                                 bound, game.value <= bound);
             }},
            {"allocator's bytes in use at the judged span's start (MiB)",
             2,
             &RunFigures::inUseStart,
             {},
             {}},
            {"allocator's bytes in use, growth over the warm-up (KiB)",
             0,
             &RunFigures::inUseWarmUp,
             {},
             {}},
            {"allocator's bytes in use, growth over the judged span (KiB)",
             1,
             &RunFigures::inUseGrowth,
             {},
             [this](const Cell& game, const Cell&) {
                 return memory(growthBoundKiB, "KiB", game.value);
             }},
            {"allocator's bytes in use, Theil-Sen slope over the judged span (KiB/h)",
             1,
             &RunFigures::inUseSlope,
             {},
             [this, hours](const Cell& game, const Cell&) {
                 return memory(growthBoundKiB / hours, "KiB/h", game.value);
             }},
            {"Rss at the judged span's start (MiB)", 1, &RunFigures::rssStart, {}, {}},
            {"Rss, growth over the judged span (KiB)", 0, &RunFigures::rssGrowth, {}, {}},
            {"Rss, Theil-Sen slope over the judged span (KiB/h)", 0, &RunFigures::rssSlope, {}, {}},
            {"Pss at the judged span's start (MiB)", 1, &RunFigures::pssStart, {}, {}},
            {"peak RSS, VmHWM (MiB)", 1, &RunFigures::peakRss, {}, {}},
        };
    }

    std::string table() const
    {
        std::ostringstream out;
        out << "| measure | tarvik | floor | target | verdict |\n|---|---|---|---|---|\n";
        for (const Row& row : rows()) {
            const Cell game = cellOf(row, game_), floor = cellOf(row, floor_);
            const Judged judged = row.judge ? row.judge(game, floor) : Judged{};
            out << "| " << row.what << " | " << describe(game, row.decimals) << " | "
                << describe(floor, row.decimals) << " | " << judged.target << " | "
                << judged.verdict << " |\n";
        }
        std::vector<double> ratios;
        for (size_t i = 0; i < game_.runs.size(); ++i)
            ratios.push_back(game_.runs[i].cpuPerFrame / floor_.runs[i].cpuPerFrame);
        const Spread ratio = spreadOf(ratios);
        out << "| CPU per frame, tarvik / floor: what the scene costs on this renderer | "
            << describe({ratio.middle, ratio}, 2) << " | - |  | description |\n";
        return out.str();
    }

    // Each program's renderers, as its first frames named them.
    void renderers()
    {
        for (const std::string subject : {"tarvik", "floor"}) {
            std::set<std::string> names;
            for (const RunRecord* run : record_.runsOf(subject)) names.insert(run->renderer);
            std::string text;
            for (const std::string& name : names) text += (text.empty() ? "" : " / ") + name;
            facts_["renderer-" + subject] = text;
        }
    }

    // The machine's load at its busiest.
    void load()
    {
        double busy = 0;
        long long least = -1, most = 0;
        for (const RunRecord& run : record_.runs) {
            busy = std::max(
                busy, static_cast<double>(run.load.at(0)) / static_cast<double>(run.load.at(1)));
            least = least < 0 ? run.load.at(2) : std::min(least, run.load.at(2));
            most = std::max(most, run.load.at(3));
        }
        facts_["busy"] = format(busy * 100, 0);
        facts_["least"] = format(static_cast<double>(least) / 100, 2);
        facts_["most"] = format(static_cast<double>(most) / 100, 2);
    }

    const Record& record_;
    long long judgedUs_;
    Column game_, floor_;
    bool paceHeld_ = false;
    std::map<std::string, std::string> facts_;
};

}  // namespace

PageFiles pageOf(const Record& record, const std::string& templateText)
{
    const Page page(record);
    auto [plotEnding, plotData] = page.plot();
    return {page.fill(templateText), std::move(plotEnding), std::move(plotData)};
}
