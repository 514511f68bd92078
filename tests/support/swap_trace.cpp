// SPDX-License-Identifier: MIT
// Preloaded into a program under test or benchmark: notes the moment each frame's
// swap returns, in memory, and writes the list (nanoseconds on the monotonic
// clock, one per line) to $TARVIK_SWAP_LOG when the program exits, followed by
// a line "renderer: " and the GL renderer that drew the first frame, so that a
// Mesa driver that fell back to another shows. A clock read and a store per
// frame: nothing that slows the program measurably.

#include <GL/gl.h>
#include <GL/glx.h>
#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

using Swap = void (*)(Display*, GLXDrawable);

std::array<long long, 1 << 20> stamps;  // about seven hours at 40 frames a second
size_t count = 0;
std::array<char, 256> renderer{};  // a copy: the GL's own string may be gone at exit

// Writes the stamps out when the program ends.
struct LogWriter {
    LogWriter() = default;
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;
    ~LogWriter()
    {
        const char* path = std::getenv("TARVIK_SWAP_LOG");
        std::FILE* log = path ? std::fopen(path, "w") : nullptr;
        if (!log) return;
        for (size_t i = 0; i < count; ++i) std::fprintf(log, "%lld\n", stamps[i]);
        if (count > 0) std::fprintf(log, "renderer: %s\n", renderer.data());
        std::fclose(log);
    }
} writer;

}  // namespace

extern "C" void glXSwapBuffers(Display* display, GLXDrawable drawable)
{
    static const auto swap = reinterpret_cast<Swap>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    if (count == 0) {  // the first frame's context is current
        const GLubyte* name = glGetString(GL_RENDERER);
        std::snprintf(renderer.data(), renderer.size(), "%s",
                      name ? reinterpret_cast<const char*>(name) : "(none)");
    }
    swap(display, drawable);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (count < stamps.size()) stamps[count++] = now.tv_sec * 1000000000LL + now.tv_nsec;
}
