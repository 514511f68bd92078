// SPDX-License-Identifier: MIT
#include "game_session.h"

#include <X11/keysym.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

std::string describe(Vec3 p)
{
    char text[64];
    std::snprintf(text, sizeof text, "(%g, %g, %g)", p.x, p.y, p.z);
    return text;
}

}  // namespace

std::string describeEnd(int status)
{
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

GlDriver chosenGlDriver()
{
    const char* chosen = std::getenv("TARVIK_GL_DRIVER");
    const std::string name = chosen && *chosen ? chosen : "llvmpipe";
    // On Xvfb Mesa draws in software, with the Gallium driver GALLIUM_DRIVER
    // names. Zink draws through Vulkan, and shows its frames through Vulkan's
    // window system only when it is loaded as a driver of its own: named by
    // GALLIUM_DRIVER inside the software driver instead, it draws every frame
    // and shows none. LIBGL_ALWAYS_SOFTWARE lets it take a CPU device:
    // lavapipe, which names itself llvmpipe too.
    const std::vector<GlDriver> drivers = {
        {"llvmpipe", {"GALLIUM_DRIVER=llvmpipe"}, "llvmpipe (LLVM ", ")"},
        {"softpipe", {"GALLIUM_DRIVER=softpipe"}, "softpipe", ""},
        {"zink",
         {"LIBGL_ALWAYS_SOFTWARE=1", "MESA_LOADER_DRIVER_OVERRIDE=zink"},
         "zink",
         "(llvmpipe (LLVM "},
    };
    std::string known;
    for (const GlDriver& driver : drivers) {
        if (driver.name == name) return driver;
        known += (known.empty() ? "" : ", ") + driver.name;
    }
    throw std::runtime_error("TARVIK_GL_DRIVER names an unknown driver \"" + name +
                             "\"; known: " + known);
}

std::string swapTracer()
{
    const char* tracer = std::getenv("TARVIK_SWAP_TRACE");
    return tracer && *tracer ? tracer : SWAP_TRACE;
}

Playable theGame()
{
    // TARVIK_PROGRAM in the environment plays another build of the game, such
    // as an installed one of another architecture, against the same checks.
    const char* program = std::getenv("TARVIK_PROGRAM");
    return {program && *program ? program : TARVIK_PROGRAM, "Tarvik Game"};
}

Process startGame(const VirtualScreen* screen, std::vector<std::string> arguments,
                  const std::string& preload, std::vector<std::string> environment,
                  const Playable& program)
{
    const GlDriver driver = chosenGlDriver();
    environment.insert(environment.end(), driver.environment.begin(), driver.environment.end());
    // A desktop session has a runtime directory. Mesa's Vulkan device-select
    // layer, which zink loads, looks there for a Wayland display, and says so
    // on standard error where there is no such directory.
    if (screen) environment.push_back("XDG_RUNTIME_DIR=" + screen->runtimeDirectory());
    arguments.insert(arguments.begin(), program.path);
    std::string libraries = preload;
#ifdef TARVIK_PRELOAD
    // The sanitizers' runtime must come first; see tests/CMakeLists.txt.
    libraries = TARVIK_PRELOAD + (preload.empty() ? "" : ":" + preload);
    environment.emplace_back("LSAN_OPTIONS=" TARVIK_LSAN_OPTIONS);
#endif
    if (!libraries.empty()) environment.push_back("LD_PRELOAD=" + libraries);
    return Process(arguments, screen ? screen->name() : "", environment);
}

std::vector<Probe> sceneProbes(double farPaddleX)
{
    // Pairs of points just inside and just outside each object's edges, so
    // that a camera off by a few degrees or objects off by a little show.
    // The far paddle's sides are pinned to half a step, so one step shows.
    constexpr double in = 0.02, out = 0.02;  // table units from an edge
    constexpr double halfStep = 0.01;        // table units
    const double far = farPaddleX;
    return {
        {"board", {0.5, 0.01, 0.5}, white},
        {"board's near edge", {0.25, 0.01, in}, white},
        {"in front of the board", {0.25, 0.01, -out}, black},
        {"board's far edge", {0.9, 0.01, 1 - in}, white},
        {"beyond the board", {0.9, 0.01, 1 + out}, black},
        {"board's left edge", {1 - in, 0.01, 0.5}, white},
        {"left of the board", {1 + out, 0.01, 0.5}, black},
        {"board's right edge", {in, 0.01, 0.5}, white},
        {"right of the board", {-out, 0.01, 0.5}, black},
        {"near paddle", {0.5, 0.1, 0}, cyan},
        {"near paddle's top", {0.5, 0.2 - in, 0}, cyan},
        {"board above the near paddle", {0.5, 0.2 + out, 0}, white},
        {"near paddle's left side", {0.6 - in, 0.1, 0}, cyan},
        {"board left of the near paddle", {0.6 + out, 0.1, 0}, white},
        {"near paddle's right side", {0.4 + in, 0.1, 0}, cyan},
        {"board right of the near paddle", {0.4 - out, 0.1, 0}, white},
        {"far paddle", {far, 0.1, 1}, cyan},
        {"far paddle's top", {far, 0.2 - in, 1}, cyan},
        {"above the far paddle", {far, 0.2 + out, 1}, black},
        {"far paddle's left side", {far + 0.1 - halfStep, 0.1, 1}, cyan},
        {"left of the far paddle", {far + 0.1 + halfStep, 0.1, 1}, black},
        {"far paddle's right side", {far - 0.1 + halfStep, 0.1, 1}, cyan},
        {"right of the far paddle", {far - 0.1 - halfStep, 0.1, 1}, black},
        {"ball", {0.2, 0.06, 0.2}, red},
        {"ball's left side", {0.2 + 0.05 - in, 0.06, 0.2}, red},
        {"board left of the ball", {0.2 + 0.05 + out, 0.06, 0.2}, white},
        {"ball's right side", {0.2 - 0.05 + in, 0.06, 0.2}, red},
        {"board right of the ball", {0.2 - 0.05 - out, 0.06, 0.2}, white},
    };
}

GameSession::GameSession(int width, int height, std::vector<std::string> arguments,
                         const std::string& preload, std::vector<std::string> environment,
                         const Playable& program)
    : title(program.title),
      screen(width, height),
      started(monotonicNs()),
      game(startGame(&screen, std::move(arguments), preload, std::move(environment), program))
{
    // Waits for the window, unless the game ends without one.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    do {
        window = screen.waitForWindow(title, 50ms);
    } while (window == None && !game.waitForExit(0ms) &&
             std::chrono::steady_clock::now() < deadline);
}

std::string GameSession::waitToShow(const std::vector<Probe>& probes,
                                    std::chrono::milliseconds timeout) const
{
    std::string report;
    const auto check = [&](const Frame& frame) {
        report.clear();
        for (const Probe& probe : probes) {
            const Pixel at = tableToPixel(probe.table, frame.width(), frame.height());
            const Rgb seen = frame.at(at.x, at.y);
            if (!(seen == probe.colour)) {
                report += probe.what + " at " + describe(probe.table) + ", pixel (" +
                          std::to_string(at.x) + ", " + std::to_string(at.y) + "): expected " +
                          describe(probe.colour) + ", saw " + describe(seen) + "\n";
            }
        }
        return report.empty();
    };
    const Frame last = screen.captureUntil(check, timeout);
    if (!report.empty()) {
        // Keep the picture, so whoever reads the failure can look at it.
        const std::string path = "/tmp/tarvik-mismatch-" + std::to_string(getpid()) + ".png";
        if (last.savePng(path)) report += "picture: " + path + "\n";
    }
    return report;
}

std::string GameSession::endWithEscape()
{
    screen.tapKey(XK_Escape);
    const std::optional<int> status = game.waitForExit(5s);
    if (!status) return "still running after Escape";
    std::string report;
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) report += describeEnd(*status) + "\n";
    if (screen.hasWindow(title)) report += "its window is still there\n";
    if (!game.standardOutput().empty()) report += "wrote: " + game.standardOutput() + "\n";
    if (!game.standardError().empty()) report += "wrote: " + game.standardError() + "\n";
    return report;
}
