// SPDX-License-Identifier: MIT
#pragma once

// What the tools share in reading their command lines.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

// Reads a whole number above zero that is all of the text.
inline bool readCount(const std::string& text, int& count)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < 1 || value > std::numeric_limits<int>::max()) {
        return false;
    }
    count = static_cast<int>(value);
    return true;
}

// Says what is wrong with the tool's command line, if anything more than
// getopt said, and how to use it; the status to end with.
inline int refuse(const char* tool, const char* usage, const std::string& problem)
{
    if (!problem.empty()) std::fprintf(stderr, "%s: %s\n", tool, problem.c_str());
    std::fputs(usage, stderr);
    return 2;
}
