// SPDX-License-Identifier: MIT
// Measures the game beside the floor program on virtual desktops, stores the
// raw data, and writes the page that judges it; or writes the pages again from
// stored data without measuring. bench --help gives the usage.

#include "command_line.h"
#include "desktop.h"
#include "measure.h"
#include "page.h"

#include <getopt.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;

constexpr const char* usage =
    "usage: bench [--short | --long] [--pairs N] [--size WIDTHxHEIGHT] [--describe COMMIT]\n"
    "             --output FILE.md\n"
    "       bench --report DIRECTORY\n"
    "       bench --help\n"
    "\n"
    "  --short               one short pair of runs, only to prove the benchmark works\n"
    "  --long                30 minutes of the game and the floor side by side, for memory\n"
    "  --pairs N             how many pairs of runs, each the game then the floor\n"
    "  --size WIDTHxHEIGHT   the size of each virtual screen, in pixels\n"
    "  --describe COMMIT     the commit measured, as git describe --dirty gives it\n"
    "  --output FILE.md      writes the page there, its raw data as FILE-data.tsv and the\n"
    "                        data of its plots as FILE-*.tsv\n"
    "  --report DIRECTORY    writes benchmarks.md and benchmarks-long.md there again from\n"
    "                        their stored data, with the data of their plots, measuring nothing\n"
    "  --help                prints this and ends\n";

// The pages that --report writes again, each from NAME-data.tsv beside it.
constexpr const char* pages[] = {"benchmarks", "benchmarks-long"};

// Writes a file whole; throws if it cannot.
void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// Writes the page of a record as BASE.md, from its mode's template, with the
// data of its plot beside it; gives the page.
std::string writePage(const Record& record, const std::string& base)
{
    const std::string name = record["mode"] == "long" ? "benchmarks-long" : "benchmarks";
    const std::string templatePath = std::string(TEMPLATES) + "/" + name + ".md.in";
    const std::string templateText = readFile(templatePath);
    if (templateText.empty()) throw std::runtime_error("cannot read " + templatePath);
    const PageFiles page = pageOf(record, templateText);
    writeFile(base + ".md", page.markdown);
    writeFile(base + page.plotEnding, page.plotData);
    return page.markdown;
}

// One short pair of runs, only to prove that the benchmark works.
void useShortMode(Settings& settings)
{
    settings.mode = "short";
    settings.pairs = 1;
    settings.warmUp = 1s;
    settings.measure = 2s;
    settings.judged = 1s;
    settings.memoryEvery = 200ms;
    settings.presses = 10;
}

// Thirty minutes of both programs side by side, the last 20 judged for memory
// growth: the first ten are left to the renderer's and the allocator's warm-up.
void useLongMode(Settings& settings)
{
    settings.mode = "long";
    settings.pairs = 1;
    settings.warmUp = 10s;
    settings.measure = 1800s;
    settings.judged = 1200s;
    settings.memoryEvery = 10s;
    settings.sideBySide = true;
}

// Reads a size written WIDTHxHEIGHT, both whole numbers above zero.
bool readSize(const std::string& text, int& width, int& height)
{
    const size_t cross = text.find('x');
    return cross != std::string::npos && readCount(text.substr(0, cross), width) &&
           readCount(text.substr(cross + 1), height);
}

const option longOptions[] = {
    {"short", no_argument, nullptr, 's'},
    {"long", no_argument, nullptr, 'l'},
    {"pairs", required_argument, nullptr, 'p'},
    {"size", required_argument, nullptr, 'z'},
    {"describe", required_argument, nullptr, 'd'},
    {"output", required_argument, nullptr, 'o'},
    {"report", required_argument, nullptr, 'r'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// What the command line asks for: to measure with the settings into output,
// or to write the pages in report again.
struct Command {
    Settings settings;
    std::string output, report;
};

// Reads the command line; the status to end with at once for --help or a bad
// one, or nothing to go on.
std::optional<int> parse(int argc, char** argv, Command& command)
{
    Settings& settings = command.settings;
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
                if (!readCount(value, settings.pairs))
                    return refuse("bench", usage,
                                  "--pairs takes a whole number above 0, not \"" + value + "\"");
                break;
            case 'z':
                if (!readSize(value, settings.width, settings.height))
                    return refuse("bench", usage,
                                  "--size takes WIDTHxHEIGHT in pixels, not \"" + value + "\"");
                break;
            case 'd':
                settings.describe = value;
                break;
            case 'o':
                command.output = value;
                break;
            case 'r':
                command.report = value;
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
    const std::string& output = command.output;
    if (output.empty() == command.report.empty())
        return refuse("bench", usage, "give either --output or --report");
    if (command.report.empty() && (output.size() < 4 || output.substr(output.size() - 3) != ".md"))
        return refuse("bench", usage, "--output names a .md file, not \"" + output + "\"");
    return std::nullopt;
}

}  // namespace

// Measures and writes the page, or writes the pages again from their data; 1
// if a figure is missing or a page could not be written.
int main(int argc, char** argv)
{
    Command command;
    if (const std::optional<int> status = parse(argc, argv, command)) return *status;
    try {
        if (!command.report.empty()) {
            for (const char* name : pages) {
                const std::string base = command.report + "/" + name;
                writePage(readRecord(base + "-data.tsv"), base);
            }
            return 0;
        }
        Record record;
        const bool complete = measureAll(command.settings, record);
        const std::string base = command.output.substr(0, command.output.size() - 3);
        if (!writeRecord(base + "-data.tsv", record))
            throw std::runtime_error("cannot write " + base + "-data.tsv");
        std::printf("%s", writePage(record, base).c_str());
        return complete ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench: %s\n", error.what());
        return 1;
    }
}
