// SPDX-License-Identifier: MIT
#pragma once

// A stand-in for the GL, GLU and GLUT entry points the program calls, linked
// in place of the real libraries: each call is recorded, in order, with its
// arguments, and the callbacks given to GLUT are kept so tests can run them.

#include <ostream>
#include <string>
#include <vector>

struct Call {
    std::string name;
    std::vector<double> args;  // float and int arguments, widened exactly
    std::string text;          // a string argument, where the call takes one

    bool operator==(const Call& other) const
    {
        return name == other.name && args == other.args && text == other.text;
    }
};

// Shows a call as name(arg, ...) with every digit, for test failure messages.
void PrintTo(const Call& call, std::ostream* out);

struct GlutCallbacks {
    void (*display)() = nullptr;
    void (*keyboard)(unsigned char, int, int) = nullptr;
    void (*special)(int, int, int) = nullptr;
    void (*specialUp)(int, int, int) = nullptr;
    void (*reshape)(int, int) = nullptr;
    void (*timer)(int) = nullptr;
};

namespace recorder {

// The identifier the stand-in's glutCreateWindow hands out.
inline constexpr int windowId = 7;

// Everything called since the last clear().
const std::vector<Call>& calls();
void clear();

// The latest callback of each kind that the program gave to GLUT.
const GlutCallbacks& callbacks();

// What glutInit received.
const int* initArgCount();
char** initArgVector();

// Writes "calls at exit: name(args), ..." to stderr when the process exits.
void printCallsAtExit();

}  // namespace recorder
