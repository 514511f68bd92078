// Runs a program on a virtual screen for a few seconds, saves a picture of the
// screen as a PNG, then ends the program with Escape.
//
//   screenshot PROGRAM OUTPUT.png [WIDTHxHEIGHT]

#include "desktop.h"

#include <X11/keysym.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace {

constexpr auto startTimeout = 10s;  // for the window and its first frame
constexpr auto runTime = 2s;        // shown before the picture is taken
constexpr auto exitTimeout = 5s;    // for the program to end after Escape

int fail(const char* message)
{
    std::fprintf(stderr, "screenshot: %s\n", message);
    return 1;
}

bool showsSomething(const Frame& frame)
{
    for (int y = 0; y < frame.height(); y += 4) {
        for (int x = 0; x < frame.width(); x += 4) {
            if (!(frame.at(x, y) == black)) return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    int width = 1280, height = 720;
    if (argc < 3 || argc > 4 ||
        (argc == 4 &&
         (std::sscanf(argv[3], "%dx%d", &width, &height) != 2 || width < 1 || height < 1))) {
        std::fprintf(stderr, "usage: screenshot PROGRAM OUTPUT.png [WIDTHxHEIGHT]\n");
        return 2;
    }
    try {
        VirtualScreen screen(width, height);
        Process program({argv[1]}, screen.name());
        if (screen.waitForWindow("Tarvik Game", startTimeout) == None) {
            return fail("no window titled \"Tarvik Game\" appeared");
        }
        if (!showsSomething(screen.captureUntil(showsSomething, startTimeout))) {
            return fail("the window stayed black");
        }
        pause(runTime);
        if (!screen.capture().savePng(argv[2])) {
            return fail("cannot write the picture");
        }
        screen.tapKey(XK_Escape);
        const std::optional<int> status = program.waitForExit(exitTimeout);
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            return fail("the program did not end with status 0 on Escape");
        }
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    return 0;
}
