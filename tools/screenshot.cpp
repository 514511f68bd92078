// SPDX-License-Identifier: MIT
// Runs the game on a virtual desktop for a few seconds, saves a picture of the
// screen as a PNG, then ends the game with Escape and expects status 0.
//
// usage: screenshot [--timeout SECONDS] OUTPUT.png COMMAND [ARGUMENT...]
//        screenshot --help
//
//   --timeout SECONDS    how long to wait for the first picture, and for the end after Escape
//   --help               prints this and ends

#include "command_line.h"
#include "desktop.h"

#include <X11/keysym.h>
#include <getopt.h>
#include <sys/wait.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* usage =
    "usage: screenshot [--timeout SECONDS] OUTPUT.png COMMAND [ARGUMENT...]\n"
    "       screenshot --help\n"
    "\n"
    "  --timeout SECONDS    how long to wait for the first picture, and for the end after Escape\n"
    "  --help               prints this and ends\n";

// The options, with the letter getopt_long returns for each.
const option longOptions[] = {
    {"timeout", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// What the command line asks for.
struct Options {
    std::chrono::seconds timeout = 10s;  // for the first frame, and for the end after Escape
    std::string outputPath;
    std::vector<std::string> command;  // the program to run, then its arguments
};

constexpr int screenWidth = 1280, screenHeight = 720;  // pixels
constexpr auto runTime = 2s;                           // shown before the picture

// Says why the run failed; the status to end with.
int fail(const std::string& message)
{
    std::fprintf(stderr, "screenshot: %s\n", message.c_str());
    return 1;
}

// Whether the game has drawn: the board covers the middle of the screen. A
// window manager's bar or frame, seen before the window covers the screen,
// does not count.
bool showsSomething(const Frame& frame)
{
    return !(frame.at(frame.width() / 2, frame.height() / 2) == black);
}

// Reads the command line into the options; the status to end with at once for --help or a bad
// command line, or nothing to go on and run the command.
std::optional<int> parse(int argc, char** argv, Options& options)
{
    // "+" stops at the first operand, so that the command's own options stay its own.
    for (int choice = 0; (choice = getopt_long(argc, argv, "+", longOptions, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        int seconds = 0;
        switch (choice) {
            case 't':
                if (!readCount(value, seconds)) {
                    return refuse(
                        "screenshot", usage,
                        "--timeout takes a whole number of seconds above 0, not \"" + value + "\"");
                }
                options.timeout = std::chrono::seconds(seconds);
                break;
            case 'h':
                std::fputs(usage, stdout);
                return 0;
            default:
                return refuse("screenshot", usage, "");
        }
    }
    if (argc - optind < 2)
        return refuse("screenshot", usage, "needs OUTPUT.png and a COMMAND to run");
    options.outputPath = argv[optind];
    options.command.assign(argv + optind + 1, argv + argc);
    return std::nullopt;
}

}  // namespace

// Runs the command and saves its picture; 1 if that fails, 2 for a bad command line.
int main(int argc, char** argv)
{
    Options options;
    if (const std::optional<int> status = parse(argc, argv, options)) return *status;

    try {
        VirtualScreen screen(screenWidth, screenHeight);
        Process game(options.command, screen.name());
        if (screen.waitForWindow("Tarvik Game", options.timeout) == None) {
            return fail("no window titled \"Tarvik Game\" appeared: " + game.standardError());
        }
        if (!showsSomething(screen.captureUntil(showsSomething, options.timeout))) {
            return fail("the game drew nothing in the middle of the screen");
        }
        sleepFor(runTime);
        const Frame picture = screen.capture();
        if (!picture.savePng(options.outputPath)) {
            return fail("cannot write " + options.outputPath);
        }
        screen.tapKey(XK_Escape);
        const std::optional<int> status = game.waitForExit(options.timeout);
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            return fail("the game did not end with status 0 on Escape: " + game.standardError());
        }
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    return 0;
}
