// SPDX-License-Identifier: MIT
#include "desktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// Windows come and go while the tests look at them; a vanished window is an
// answer, not an error.
int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

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

void sleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

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
                 const std::vector<std::string>& environment)
    : outPath_(makeTempFile()), errPath_(makeTempFile())
{
    std::vector<char*> args = cArguments(argv);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("cannot fork");
    }
    if (pid_ == 0) {
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
        _exit(127);
    }
}

Process::~Process()
{
    // Asked first, so that servers can clean up after themselves.
    if (!status_ && kill(pid_, SIGTERM) == 0 && !waitForExit(2s)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
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
    int ready[2];
    if (pipe(ready) != 0) {
        throw std::runtime_error("cannot make a pipe for Xvfb");
    }
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
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
    XSetErrorHandler(ignoreXErrors);
    display_ = XOpenDisplay(name_.c_str());
    if (!display_) {
        throw std::runtime_error("cannot open the virtual display " + name_);
    }
    startWindowManager();
}

void VirtualScreen::startWindowManager()
{
    windowManager_ = std::make_unique<Process>(std::vector<std::string>{"dwm"}, name_);
    // A window manager that follows the desktop conventions announces itself
    // on the root window; programs look for it when they ask for full screen.
    const Atom check = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(display_, DefaultRootWindow(display_), check, 0, 1, False, XA_WINDOW,
                           &type, &format, &count, &remaining, &data);
        if (data) XFree(data);
        if (count > 0) return;
        sleepFor(20ms);
    }
    throw std::runtime_error("the window manager did not start: " +
                             windowManager_->standardError());
}

VirtualScreen::~VirtualScreen()
{
    windowManager_.reset();
    if (display_) {
        XCloseDisplay(display_);
    }
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
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XSync(display_, False);
}

Window VirtualScreen::findWindow(const std::string& title) const
{
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window match = None;
    if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && match == None; ++i) {
            char* name = nullptr;
            if (XFetchName(display_, children[i], &name) && name) {
                if (title == name) match = children[i];
                XFree(name);
            }
        }
        XFree(children);
    }
    return match;
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
