// SPDX-License-Identifier: MIT
#pragma once

// The real program, full screen on a desktop of its own, and the checks of
// what it shows at points the camera model computes.

#include "camera.h"
#include "desktop.h"

#include <string>
#include <vector>

// A point of table space and the colour it must show in.
struct Probe {
    std::string what;
    Vec3 table;
    Rgb colour;
};

// The scene as it must look with the far paddle centred at farPaddleX, to
// within half a step.
std::vector<Probe> sceneProbes(double farPaddleX);

// Says how a process ended, such as "exited with status 1", from its wait status.
std::string describeEnd(int status);

// A Mesa driver the game can draw with: the NAME=value pairs that make Mesa
// choose it, and how its GL_RENDERER string begins and what it then holds.
struct GlDriver {
    std::string name;
    std::vector<std::string> environment;
    std::string rendererStart, rendererHolds;

    // Whether a GL_RENDERER string is this driver's.
    bool drew(const std::string& renderer) const
    {
        return renderer.rfind(rendererStart, 0) == 0 &&
               renderer.find(rendererHolds, rendererStart.size()) != std::string::npos;
    }
};

// The driver named by TARVIK_GL_DRIVER (llvmpipe if unset): llvmpipe, softpipe
// or zink on lavapipe. An unknown name throws.
GlDriver chosenGlDriver();

// The swap tracer to preload: the build's, or the one $TARVIK_SWAP_TRACE names,
// such as one built for the architecture of the game that $TARVIK_PROGRAM names.
std::string swapTracer();

// A program a session plays, and the title of its window.
struct Playable {
    std::string path;
    std::string title;
};

// The real program: the build's, or the one $TARVIK_PROGRAM names.
Playable theGame();

// Starts the program (the game unless told) on the given desktop's display
// (none if null) with the chosen GL driver, the given arguments, the given
// library preloaded (none if empty) and NAME=value pairs added to its
// environment.
Process startGame(const VirtualScreen* screen, std::vector<std::string> arguments = {},
                  const std::string& preload = "", std::vector<std::string> environment = {},
                  const Playable& program = theGame());

// The program (the game unless told) on a virtual desktop of the given size,
// started as startGame starts it.
class GameSession {
public:
    explicit GameSession(int width, int height, std::vector<std::string> arguments = {},
                         const std::string& preload = "", std::vector<std::string> environment = {},
                         const Playable& program = theGame());

    // Captures until the screen shows every probe as expected; returns the
    // mismatches, one per line, or an empty string when all match.
    std::string waitToShow(const std::vector<Probe>& probes,
                           std::chrono::milliseconds timeout = 5s) const;

    // Presses Escape and checks that the game ends with status 0, having
    // written nothing, and that its window is gone; returns what went wrong,
    // or an empty string.
    std::string endWithEscape();

    const std::string title;
    VirtualScreen screen;
    const long long started;  // just before the program was started, on monotonicNs()'s clock
    Process game;
    Window window = None;  // None if the game ended before it made one
};
