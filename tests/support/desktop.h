// SPDX-License-Identifier: MIT
#pragma once

// Runs real programs on a private virtual X screen and drives them as a person
// would: finds their windows, presses keys through XTEST and reads back what
// the screen shows. The desktop on it is named by TARVIK_DESKTOP (dwm if
// unset): dwm, openbox, xfwm4 or mutter on Xvfb, or weston with Xwayland. The
// Mesa driver the game draws with there is named by TARVIK_GL_DRIVER
// (llvmpipe if unset): llvmpipe, softpipe or zink on lavapipe; see
// game_session.h.

#include <X11/Xlib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

struct Rgb {
    unsigned char r, g, b;
    bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
};

// Names the colour for test messages, such as "cyan" or "rgb(12, 0, 255)".
std::string describe(Rgb colour);

inline constexpr Rgb black = {0, 0, 0};
inline constexpr Rgb white = {255, 255, 255};
inline constexpr Rgb cyan = {0, 255, 255};
inline constexpr Rgb red = {255, 0, 0};

// A picture of the whole screen at one moment.
class Frame {
public:
    Frame(int width, int height, std::vector<Rgb> pixels);
    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const;
    // Writes the picture as an RGB PNG; false if the file can't be written.
    bool savePng(const std::string& path) const;
    // A copy of the rectangle at (x, y) of the given size.
    Frame crop(int x, int y, int width, int height) const;

private:
    int width_, height_;
    std::vector<Rgb> pixels_;
};

// A program started as a child process, with its output kept in files.
class Process {
public:
    // Starts argv[0] with the given X display (an empty one unsets DISPLAY)
    // and the given NAME=value pairs added to its environment. With ownGroup
    // it gets a process group of its own, which is ended with it, for
    // launchers whose helpers would otherwise outlive them.
    Process(const std::vector<std::string>& argv, const std::string& display,
            const std::vector<std::string>& environment = {}, bool ownGroup = false);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return pid_; }
    // The raw wait status once the process has ended, or nothing on timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    std::string standardError() const;
    std::string standardOutput() const;

private:
    int pid_ = -1;
    bool ownGroup_ = false;
    std::optional<int> status_;
    std::string outPath_, errPath_;
};

// A desktop of its own, on a display number it picks itself: an Xvfb server
// with a window manager that can make windows full screen, or a Wayland
// compositor with its own X server.
class VirtualScreen {
public:
    VirtualScreen(int width, int height);
    ~VirtualScreen();
    VirtualScreen(const VirtualScreen&) = delete;
    VirtualScreen& operator=(const VirtualScreen&) = delete;

    const std::string& name() const { return name_; }
    int width() const { return width_; }
    int height() const { return height_; }
    Display* display() const { return display_; }
    // The desktop's own runtime directory, as a session's XDG_RUNTIME_DIR.
    const std::string& runtimeDirectory() const { return runtimeDir_; }

    // The top-level window with this title, or None after the timeout.
    Window waitForWindow(const std::string& title, std::chrono::milliseconds timeout) const;
    bool hasWindow(const std::string& title) const;
    // The window's rectangle in screen coordinates.
    XRectangle geometry(Window window) const;

    Frame capture() const;
    // A picture of one rectangle of the screen.
    Frame capture(int x, int y, int width, int height) const;
    // Captures until the predicate holds, and returns the last frame seen:
    // the whole screen, or the given rectangle polled at the given pace.
    template <class Predicate>
    Frame captureUntil(Predicate holds, std::chrono::milliseconds timeout) const;
    template <class Predicate>
    Frame captureUntil(Predicate holds, std::chrono::milliseconds timeout, XRectangle area,
                       std::chrono::microseconds poll) const;

    // Sends key events as one burst: each pair is a key and whether it goes down.
    void sendKeys(const std::vector<std::pair<KeySym, bool>>& events) const;
    void pressKey(KeySym key) const;
    void releaseKey(KeySym key) const;
    void tapKey(KeySym key) const;
    // Switches the server's key repeat, as a person may in their desktop settings.
    void setKeyRepeat(bool on) const;

    // Asks the window to close, through the window manager where it takes such
    // requests, as its close button would.
    void askToClose(Window window) const;
    // Ends the X server (or the compositor that owns it) at once, as a crash
    // would; the screen is unusable after.
    void killServer();

private:
    Window findWindow(const std::string& title) const;
    void sendKey(KeySym key, bool down) const;

    // The screen as the compositor shows it, where its X server can't say.
    Frame screenshot() const;
    void startXvfb();
    void waitForWindowManager(const std::string& desktop) const;

    int width_, height_;
    std::string runtimeDir_;
    std::vector<std::string> screenshot_;
    std::unique_ptr<Process> server_;
    std::string name_;
    Display* display_ = nullptr;
    std::unique_ptr<Process> windowManager_;  // none where the server brings its own
};

// Now on the monotonic clock, in nanoseconds: the clock the swap tracer
// stamps each frame with.
long long monotonicNs();

// The swap times, one a frame, that the swap tracer wrote to its log as the
// program ended.
std::vector<long long> readStamps(const std::string& path);
// What the swap tracer wrote after "KEY: " in its log, such as the GL
// renderer that drew the first frame; empty if it wrote no such line.
std::string readTraced(const std::string& path, const std::string& key);

// Every line that the swap tracer wrote after "KEY: ", in order.
std::vector<std::string> readAllTraced(const std::string& path, const std::string& key);

// The whole text of a file; empty if it cannot be read.
std::string readFile(const std::string& path);

// A new empty file of the tests' own under /tmp; its path.
std::string makeTempFile();

// Sleeps for the given time: between two polls, or while the program runs on.
void sleepFor(std::chrono::microseconds duration);

template <class Predicate>
Frame VirtualScreen::captureUntil(Predicate holds, std::chrono::milliseconds timeout) const
{
    const XRectangle whole = {0, 0, static_cast<unsigned short>(width_),
                              static_cast<unsigned short>(height_)};
    return captureUntil(holds, timeout, whole, 20ms);
}

template <class Predicate>
Frame VirtualScreen::captureUntil(Predicate holds, std::chrono::milliseconds timeout,
                                  XRectangle area, std::chrono::microseconds poll) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto shot = [&] { return capture(area.x, area.y, area.width, area.height); };
    Frame frame = shot();
    while (!holds(frame) && std::chrono::steady_clock::now() < deadline) {
        sleepFor(poll);
        frame = shot();
    }
    return frame;
}
