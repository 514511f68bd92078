// SPDX-License-Identifier: MIT
// Preloaded into a program under test or benchmark: notes the moment each frame's
// swap returns and writes the list (nanoseconds on the monotonic clock, one per
// line) to $TARVIK_SWAP_LOG, a page of stamps at a time and the rest when the
// program exits, followed by
// a line "renderer: " and the GL renderer that drew the first frame, so that a
// Mesa driver that fell back to another shows. A clock read and a store per
// frame: nothing that slows the program measurably. It also counts the
// program's threads and open sockets as it starts and as it calls exit(), in
// lines "at start: " and "at exit: ", so that a program that ends with its X
// connection or a renderer's threads still alive shows. Where
// $TARVIK_MALLOC_EVERY_MS is set, it also reads at a swap that often the bytes
// that glibc's allocator has handed out and not had back (on its heaps and in
// mappings of their own), and writes them as lines "in use: " with the swap's
// stamp: what a leak would grow.

#include <GL/gl.h>
#include <GL/glx.h>
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using Swap = void (*)(Display*, GLXDrawable);
using Exit = void (*)(int);

// One page of stamps, written out as it fills, and the log's buffer: both static, so that the
// tracer's memory stays the same however long the program runs.
std::array<long long, 512> stamps;
size_t count = 0;   // in the page
size_t frames = 0;  // in all
std::array<char, 8192> buffer;
std::FILE* logFile = nullptr;
std::array<char, 256> renderer{};  // a copy: the GL's own string may be gone at exit

// The allocator's bytes in use, read every so often at a swap: static too, and
// no more kept once it fills.
struct InUse {
    long long stamp;
    size_t bytes;
};
std::array<InUse, 4096> inUse;
size_t inUseCount = 0;
long long inUseEvery = 0;  // nanoseconds between readings; none if 0

// Reads the allocator's bytes in use at the swap just stamped, if one is due.
void readInUse(long long stamp)
{
    if (inUseEvery <= 0 || inUseCount == inUse.size()) return;
    if (inUseCount > 0 && stamp - inUse[inUseCount - 1].stamp < inUseEvery) return;
    const struct mallinfo2 info = mallinfo2();
    inUse[inUseCount++] = {stamp, info.uordblks + info.hblkhd};
}

// Writes the page of stamps to the log, and empties it.
void writeStamps()
{
    for (size_t i = 0; i < count; ++i) std::fprintf(logFile, "%lld\n", stamps[i]);
    count = 0;
}

// The number of entries of a /proc/self directory whose link, if linkStart is
// given, begins with that text.
int countEntries(const char* directory, const char* linkStart)
{
    DIR* listing = opendir(directory);
    if (!listing) return -1;
    int found = 0;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        if (linkStart) {
            std::array<char, 512> path{}, target{};
            std::snprintf(path.data(), path.size(), "%s/%s", directory, entry->d_name);
            const ssize_t length = readlink(path.data(), target.data(), target.size() - 1);
            if (length < 0 || std::strncmp(target.data(), linkStart, std::strlen(linkStart)) != 0)
                continue;
        }
        ++found;
    }
    closedir(listing);
    return found;
}

// The process's threads and open sockets.
struct Census {
    int threads = 0, sockets = 0;

    static Census now()
    {
        return {countEntries("/proc/self/task", nullptr), countEntries("/proc/self/fd", "socket:")};
    }
};

Census atStart;
Census atExit = {-1, -1};

// Notes the process and opens the log as it starts, and writes the rest out when it ends.
struct LogWriter {
    LogWriter()
    {
        atStart = Census::now();
        const char* path = std::getenv("TARVIK_SWAP_LOG");
        logFile = path ? std::fopen(path, "w") : nullptr;
        if (logFile) std::setvbuf(logFile, buffer.data(), _IOFBF, buffer.size());
        const char* every = std::getenv("TARVIK_MALLOC_EVERY_MS");
        if (every) inUseEvery = std::atoll(every) * 1000000LL;
    }
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;
    ~LogWriter()
    {
        if (!logFile) return;
        writeStamps();
        if (frames > 0) std::fprintf(logFile, "renderer: %s\n", renderer.data());
        for (size_t i = 0; i < inUseCount; ++i)
            std::fprintf(logFile, "in use: %lld %zu\n", inUse[i].stamp, inUse[i].bytes);
        const auto note = [](const char* when, const Census& census) {
            std::fprintf(logFile, "%s: %d threads, %d sockets\n", when, census.threads,
                         census.sockets);
        };
        note("at start", atStart);
        if (atExit.threads >= 0) note("at exit", atExit);
        std::fclose(logFile);
    }
} writer;

}  // namespace

extern "C" void glXSwapBuffers(Display* display, GLXDrawable drawable)
{
    static const auto swap = reinterpret_cast<Swap>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    if (frames == 0) {  // the first frame's context is current
        const GLubyte* name = glGetString(GL_RENDERER);
        std::snprintf(renderer.data(), renderer.size(), "%s",
                      name ? reinterpret_cast<const char*>(name) : "(none)");
    }
    swap(display, drawable);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    stamps[count] = now.tv_sec * 1000000000LL + now.tv_nsec;
    readInUse(stamps[count++]);
    ++frames;
    if (logFile && count == stamps.size()) writeStamps();
    count %= stamps.size();  // with no log, the stamps go nowhere
}

// The program's exit(), seen before any exit handler runs.
extern "C" void exit(int status) noexcept
{
    static const auto end = reinterpret_cast<Exit>(dlsym(RTLD_NEXT, "exit"));
    // A thread just joined may linger in /proc for a moment, longer under
    // qemu-user; a live renderer's thread waits for work and never leaves.
    atExit = Census::now();
    for (int wait = 0; wait < 50 && atExit.threads > atStart.threads; ++wait) {
        const timespec pause{0, 10000000};  // 10 ms
        nanosleep(&pause, nullptr);
        atExit = Census::now();
    }
    end(status);
    std::abort();  // the real exit never returns
}
