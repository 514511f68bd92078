// SPDX-License-Identifier: MIT
#include "desktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// Windows come and go while the tests look at them; a vanished window is an
// answer, not an error.
int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

// The name of a compositor's socket in the desktop's own runtime directory.
constexpr const char* waylandSocket = "tarvik";

// Makes an empty directory of the tests' own under /tmp and returns its path.
std::string makeTempDirectory()
{
    char path[] = "/tmp/tarvik-desktop-XXXXXX";
    if (!mkdtemp(path)) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    return path;
}

// A desktop the tests can run on. Those with a Wayland compositor bring their
// own X server and name its display in their log, after the announcement;
// their X server cannot read its root window back, so the compositor's own
// screenshot tool, which writes a PNG to $XDG_PICTURES_DIR, shows the screen.
struct Desktop {
    std::string name;
    std::vector<std::string> command;
    std::string announcement;             // empty for a window manager on Xvfb
    std::vector<std::string> screenshot;  // empty where the root window reads back
};

// The desktop named by TARVIK_DESKTOP, laid out for a screen of the given size.
Desktop chosenDesktop(int width, int height)
{
    const char* chosen = std::getenv("TARVIK_DESKTOP");
    const std::string name = chosen && *chosen ? chosen : "dwm";
    // GNOME's and Xfce's window managers want a session bus of their own.
    const std::vector<Desktop> desktops = {
        {"dwm", {"dwm"}, "", {}},
        {"openbox", {"openbox"}, "", {}},
        {"xfwm4", {"dbus-run-session", "--", "xfwm4"}, "", {}},
        {"mutter", {"dbus-run-session", "--", "mutter", "--x11", "--replace"}, "", {}},
        // Weston lets its screenshot tool in only with --debug, and its
        // headless output shows nothing unless a renderer draws it.
        {"weston",
         {"weston", "--backend=headless-backend.so", "--use-pixman", "--debug",
          "--width=" + std::to_string(width), "--height=" + std::to_string(height),
          std::string("--socket=") + waylandSocket, "--xwayland"},
         "xserver listening on display ",
         {"weston-screenshooter"}},
    };
    std::string known;
    for (const Desktop& desktop : desktops) {
        if (desktop.name == name) return desktop;
        known += (known.empty() ? "" : ", ") + desktop.name;
    }
    throw std::runtime_error("TARVIK_DESKTOP names an unknown desktop \"" + name +
                             "\"; known: " + known);
}

// The window with this title at or below the parent, searched depth first.
Window findTitled(Display* display, Window parent, const std::string& title)
{
    Window root = 0, grandparent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window match = None;
    if (XQueryTree(display, parent, &root, &grandparent, &children, &count)) {
        for (unsigned i = 0; i < count && match == None; ++i) {
            char* name = nullptr;
            if (XFetchName(display, children[i], &name) && name) {
                if (title == name) match = children[i];
                XFree(name);
            }
            if (match == None) match = findTitled(display, children[i], title);
        }
        XFree(children);
    }
    return match;
}

// The items of the root window's property of that name and type (atoms, windows),
// none where it is not set.
std::vector<unsigned long> rootProperty(Display* display, const char* property, Atom type)
{
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, property, False),
                       0, 1024, False, type, &actual, &format, &count, &remaining, &data);
    std::vector<unsigned long> items;
    if (data && format == 32) {
        // Xlib hands 32-bit items over as longs.
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        items.assign(values, values + count);
    }
    if (data) XFree(data);
    return items;
}

std::vector<char*> cArguments(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

}  // namespace

std::string describe(Rgb colour)
{
    if (colour == black) return "black";
    if (colour == white) return "white";
    if (colour == cyan) return "cyan";
    if (colour == red) return "red";
    return "rgb(" + std::to_string(colour.r) + ", " + std::to_string(colour.g) + ", " +
           std::to_string(colour.b) + ")";
}

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

std::vector<long long> readStamps(const std::string& path)
{
    std::ifstream in(path);
    std::vector<long long> stamps;
    for (long long stamp = 0; in >> stamp;) stamps.push_back(stamp);
    return stamps;
}

std::string readTraced(const std::string& path, const std::string& key)
{
    const std::vector<std::string> values = readAllTraced(path, key);
    return values.empty() ? "" : values.front();
}

std::vector<std::string> readAllTraced(const std::string& path, const std::string& key)
{
    const std::string prefix = key + ": ";
    std::ifstream in(path);
    std::vector<std::string> values;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            values.push_back(line.substr(prefix.size()));
    }
    return values;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string makeTempFile()
{
    char path[] = "/tmp/tarvik-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        throw std::runtime_error("cannot make a temporary file");
    }
    close(fd);
    return path;
}

void sleepFor(std::chrono::microseconds duration) { std::this_thread::sleep_for(duration); }

Frame::Frame(int width, int height, std::vector<Rgb> pixels)
    : width_(width), height_(height), pixels_(std::move(pixels))
{
}

Rgb Frame::at(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width_ || y >= height_) {
        throw std::out_of_range("pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                                ") lies outside the frame");
    }
    return pixels_[static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)];
}

Frame Frame::crop(int x, int y, int width, int height) const
{
    std::vector<Rgb> pixels;
    pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int row = y; row < y + height; ++row) {
        for (int column = x; column < x + width; ++column) {
            pixels.push_back(at(column, row));
        }
    }
    return Frame(width, height, std::move(pixels));
}

bool Frame::savePng(const std::string& path) const
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width_);
    image.height = static_cast<png_uint_32>(height_);
    image.format = PNG_FORMAT_RGB;
    static_assert(sizeof(Rgb) == 3, "pixels are packed RGB triples");
    return png_image_write_to_file(&image, path.c_str(), 0, pixels_.data(), 0, nullptr) != 0;
}

Process::Process(const std::vector<std::string>& argv, const std::string& display,
                 const std::vector<std::string>& environment, bool ownGroup)
    : ownGroup_(ownGroup), outPath_(makeTempFile()), errPath_(makeTempFile())
{
    std::vector<char*> args = cArguments(argv);
    const std::string cannotRun = "cannot run " + argv[0] + "\n";
    // Helpers that the launcher leaves behind become this process's children,
    // so that they can be waited for when the group ends.
    if (ownGroup) prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("cannot fork");
    }
    if (pid_ == 0) {
        if (ownGroup) setpgid(0, 0);
        if (display.empty()) {
            unsetenv("DISPLAY");
        } else {
            setenv("DISPLAY", display.c_str(), 1);
        }
        for (const std::string& setting : environment) {
            putenv(const_cast<char*>(setting.c_str()));
        }
        const int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errPath_.c_str(), O_WRONLY | O_TRUNC);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
            _exit(126);
        }
        execvp(args[0], args.data());
        if (write(STDERR_FILENO, cannotRun.data(), cannotRun.size()) < 0) _exit(127);
        _exit(127);
    }
}

Process::~Process()
{
    // Asked first, so that servers can clean up after themselves.
    const int target = ownGroup_ ? -pid_ : pid_;
    if (!status_ && kill(target, SIGTERM) == 0 && !waitForExit(2s)) {
        kill(target, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (ownGroup_) {
        // Helpers left in its group may take a moment more to save what they
        // keep; then whatever is left is ended.
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (waitpid(-pid_, nullptr, WNOHANG) >= 0 &&
               std::chrono::steady_clock::now() < deadline) {
            sleepFor(10ms);
        }
        kill(-pid_, SIGKILL);
        while (waitpid(-pid_, nullptr, 0) > 0) continue;
    }
    std::remove(outPath_.c_str());
    std::remove(errPath_.c_str());
}

std::optional<int> Process::waitForExit(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            break;
        } else {
            sleepFor(10ms);
        }
    }
    return status_;
}

std::string Process::standardError() const { return readFile(errPath_); }

std::string Process::standardOutput() const { return readFile(outPath_); }

VirtualScreen::VirtualScreen(int width, int height) : width_(width), height_(height)
{
    const Desktop desktop = chosenDesktop(width, height);
    runtimeDir_ = makeTempDirectory();
    // Sockets, settings and caches of its own, so that nothing of the user's
    // session is touched.
    const std::vector<std::string> environment = {"XDG_RUNTIME_DIR=" + runtimeDir_,
                                                  "XDG_CONFIG_HOME=" + runtimeDir_,
                                                  "XDG_CACHE_HOME=" + runtimeDir_};
    screenshot_ = desktop.screenshot;
    if (desktop.announcement.empty()) {
        startXvfb();
        windowManager_ = std::make_unique<Process>(desktop.command, name_, environment, true);
    } else {
        server_ = std::make_unique<Process>(desktop.command, "", environment, true);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::string log = server_->standardError();
        size_t at = log.find(desktop.announcement);
        while ((at == std::string::npos || log.find('\n', at) == std::string::npos) &&
               !server_->waitForExit(20ms) && std::chrono::steady_clock::now() < deadline) {
            log = server_->standardError();
            at = log.find(desktop.announcement);
        }
        if (at == std::string::npos) {
            throw std::runtime_error(desktop.name + " named no X display: " + log);
        }
        at += desktop.announcement.size();
        name_ = log.substr(at, log.find('\n', at) - at);
    }
    XSetErrorHandler(ignoreXErrors);
    display_ = XOpenDisplay(name_.c_str());
    if (!display_) {
        throw std::runtime_error("cannot open the virtual display " + name_);
    }
    waitForWindowManager(desktop.name);
}

// Starts Xvfb on a display number it picks itself, and names that display.
void VirtualScreen::startXvfb()
{
    int ready[2];
    if (pipe(ready) != 0) {
        throw std::runtime_error("cannot make a pipe for Xvfb");
    }
    const std::string screen = std::to_string(width_) + "x" + std::to_string(height_) + "x24";
    server_ = std::make_unique<Process>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0",
                                 screen, "-nolisten", "tcp"},
        "");
    close(ready[1]);

    // Xvfb writes its display number once it accepts connections.
    std::string number;
    pollfd wait = {ready[0], POLLIN, 0};
    char c = 0;
    while (poll(&wait, 1, 10000) > 0 && read(ready[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(ready[0]);
    if (number.empty()) {
        throw std::runtime_error("Xvfb did not start: " + server_->standardError());
    }
    name_ = ":" + number;
}

// Waits until the desktop's window manager has taken over the screen.
void VirtualScreen::waitForWindowManager(const std::string& desktop) const
{
    // A window manager that follows the desktop conventions announces itself
    // on the root window; programs look for it when they ask for full screen.
    Process& manager = windowManager_ ? *windowManager_ : *server_;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!manager.waitForExit(0ms) && std::chrono::steady_clock::now() < deadline) {
        if (!rootProperty(display_, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW).empty()) return;
        sleepFor(20ms);
    }
    throw std::runtime_error(
        "the desktop " + desktop +
        (manager.waitForExit(0ms) ? " ended at start-up: " : " did not start within 10 s: ") +
        manager.standardError());
}

VirtualScreen::~VirtualScreen()
{
    windowManager_.reset();
    if (display_) {
        XCloseDisplay(display_);
    }
    server_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
}

void VirtualScreen::killServer()
{
    // Our own connection goes first: Xlib ends any client whose server vanishes.
    XCloseDisplay(display_);
    display_ = nullptr;
    kill(server_->pid(), SIGKILL);
    server_->waitForExit(5s);
}

void VirtualScreen::askToClose(Window window) const
{
    // A window manager that takes close requests from other programs is asked,
    // and closes the window as for its own close button; to one that doesn't
    // (dwm, Weston), the message it would send goes straight to the window.
    const Atom closeRequest = XInternAtom(display_, "_NET_CLOSE_WINDOW", False);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.format = 32;
    const std::vector<unsigned long> supported = rootProperty(display_, "_NET_SUPPORTED", XA_ATOM);
    if (std::find(supported.begin(), supported.end(), closeRequest) != supported.end()) {
        event.xclient.message_type = closeRequest;
        event.xclient.data.l[0] = CurrentTime;
        event.xclient.data.l[1] = 2;  // from a pager, which the manager obeys at once
        XSendEvent(display_, DefaultRootWindow(display_), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
        event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        event.xclient.data.l[0] =
            static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, window, False, NoEventMask, &event);
    }
    XSync(display_, False);
}

// Window managers that draw frames put the program's window inside one.
Window VirtualScreen::findWindow(const std::string& title) const
{
    return findTitled(display_, DefaultRootWindow(display_), title);
}

bool VirtualScreen::hasWindow(const std::string& title) const { return findWindow(title) != None; }

Window VirtualScreen::waitForWindow(const std::string& title,
                                    std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Window window = findWindow(title);
    while (window == None && std::chrono::steady_clock::now() < deadline) {
        sleepFor(20ms);
        window = findWindow(title);
    }
    return window;
}

XRectangle VirtualScreen::geometry(Window window) const
{
    XWindowAttributes attributes{};
    int x = 0, y = 0;
    Window child = 0;
    if (!XGetWindowAttributes(display_, window, &attributes) ||
        !XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y,
                               &child)) {
        return {0, 0, 0, 0};
    }
    return {static_cast<short>(x), static_cast<short>(y),
            static_cast<unsigned short>(attributes.width),
            static_cast<unsigned short>(attributes.height)};
}

Frame VirtualScreen::capture() const { return capture(0, 0, width_, height_); }

Frame VirtualScreen::capture(int x, int y, int width, int height) const
{
    if (!screenshot_.empty()) return screenshot().crop(x, y, width, height);
    XImage* image =
        XGetImage(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (!image) {
        throw std::runtime_error("cannot read the screen back");
    }
    std::vector<Rgb> pixels;
    pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const unsigned long value = XGetPixel(image, column, row);
            pixels.push_back({static_cast<unsigned char>((value & image->red_mask) >> 16),
                              static_cast<unsigned char>((value & image->green_mask) >> 8),
                              static_cast<unsigned char>(value & image->blue_mask)});
        }
    }
    XDestroyImage(image);
    return Frame(width, height, std::move(pixels));
}

Frame VirtualScreen::screenshot() const
{
    Process tool(screenshot_, name_,
                 {"XDG_RUNTIME_DIR=" + runtimeDir_, std::string("WAYLAND_DISPLAY=") + waylandSocket,
                  "XDG_PICTURES_DIR=" + runtimeDir_});
    const std::optional<int> status = tool.waitForExit(5s);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        throw std::runtime_error("cannot take a screenshot: " + tool.standardError());
    }
    for (const auto& entry : std::filesystem::directory_iterator(runtimeDir_)) {
        if (entry.path().extension() != ".png") continue;
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        std::vector<Rgb> pixels;
        bool read = png_image_begin_read_from_file(&image, entry.path().c_str()) != 0;
        if (read) {
            image.format = PNG_FORMAT_RGB;
            pixels.resize(static_cast<size_t>(image.width) * image.height);
            read = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
        }
        std::filesystem::remove(entry.path());
        if (!read || static_cast<int>(image.width) != width_ ||
            static_cast<int>(image.height) != height_) {
            throw std::runtime_error("the screenshot is not a readable picture of the screen: " +
                                     std::to_string(image.width) + "x" +
                                     std::to_string(image.height));
        }
        return Frame(width_, height_, std::move(pixels));
    }
    throw std::runtime_error("the screenshot tool wrote no picture");
}

void VirtualScreen::sendKeys(const std::vector<std::pair<KeySym, bool>>& events) const
{
    for (const auto& [key, down] : events) {
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), down ? True : False,
                          CurrentTime);
    }
    XSync(display_, False);
}

void VirtualScreen::sendKey(KeySym key, bool down) const { sendKeys({{key, down}}); }

void VirtualScreen::pressKey(KeySym key) const { sendKey(key, true); }

void VirtualScreen::releaseKey(KeySym key) const { sendKey(key, false); }

void VirtualScreen::tapKey(KeySym key) const
{
    pressKey(key);
    releaseKey(key);
}

void VirtualScreen::setKeyRepeat(bool on) const
{
    if (on) {
        XAutoRepeatOn(display_);
    } else {
        XAutoRepeatOff(display_);
    }
    XSync(display_, False);
}
