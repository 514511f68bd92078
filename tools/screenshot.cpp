// SPDX-License-Identifier: MIT
// Runs the game on a virtual desktop for a few seconds, saves a picture of the
// screen as a PNG, then ends the game with Escape and expects status 0.
//
//   screenshot [--icon ICON.png] [--timeout SECONDS] OUTPUT.png COMMAND [ARGUMENT...]
//
// --icon also saves a 512 x 512 square around the scene; --timeout gives slow
// runs (under valgrind, say) longer to start and to end.

#include "camera.h"
#include "desktop.h"

#include <X11/keysym.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

constexpr int screenWidth = 1280, screenHeight = 720;  // pixels
constexpr int iconSize = 512;                          // pixels, square
constexpr auto runTime = 2s;                           // shown before the picture

int fail(const std::string& message)
{
    std::fprintf(stderr, "screenshot: %s\n", message.c_str());
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

// The icon: a square centred on the board and both paddles.
Frame iconOf(const Frame& screen)
{
    int left = screen.width(), right = 0, top = screen.height(), bottom = 0;
    for (const Vec3 corner : {Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0, 0.2, 1}, Vec3{1, 0.2, 1}}) {
        const Pixel at = tableToPixel(corner, screen.width(), screen.height());
        left = std::min(left, at.x);
        right = std::max(right, at.x);
        top = std::min(top, at.y);
        bottom = std::max(bottom, at.y);
    }
    const int x = std::clamp((left + right - iconSize) / 2, 0, screen.width() - iconSize);
    const int y = std::clamp((top + bottom - iconSize) / 2, 0, screen.height() - iconSize);
    return screen.crop(x, y, iconSize, iconSize);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string iconPath;
    std::chrono::seconds timeout = 10s;  // for the first frame, and for the end after Escape
    int next = 1;
    for (; next + 1 < argc && argv[next][0] == '-'; next += 2) {
        const std::string option = argv[next];
        if (option == "--icon") {
            iconPath = argv[next + 1];
        } else if (option == "--timeout" && std::atoi(argv[next + 1]) > 0) {
            timeout = std::chrono::seconds(std::atoi(argv[next + 1]));
        } else {
            next = argc;
        }
    }
    if (argc - next < 2) {
        std::fprintf(stderr,
                     "usage: screenshot [--icon ICON.png] [--timeout SECONDS] OUTPUT.png "
                     "COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const std::string outputPath = argv[next];
    const std::vector<std::string> command(argv + next + 1, argv + argc);

    try {
        VirtualScreen screen(screenWidth, screenHeight);
        Process game(command, screen.name());
        if (screen.waitForWindow("Tarvik Game", timeout) == None) {
            return fail("no window titled \"Tarvik Game\" appeared: " + game.standardError());
        }
        if (!showsSomething(screen.captureUntil(showsSomething, timeout))) {
            return fail("the window stayed black");
        }
        sleepFor(runTime);
        const Frame picture = screen.capture();
        if (!picture.savePng(outputPath)) {
            return fail("cannot write " + outputPath);
        }
        if (!iconPath.empty() && !iconOf(picture).savePng(iconPath)) {
            return fail("cannot write " + iconPath);
        }
        screen.tapKey(XK_Escape);
        const std::optional<int> status = game.waitForExit(timeout);
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            return fail("the game did not end with status 0 on Escape: " + game.standardError());
        }
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    return 0;
}
