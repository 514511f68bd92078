// SPDX-License-Identifier: MIT
// Loses a block of its own with the GL stack loaded, as the game would, so
// that a test can prove the leak suppressions still let such a leak through.

#include <GL/glut.h>

#include <cstdio>

namespace {

// Allocates a block and forgets it.
__attribute__((noinline)) void loseABlock()
{
    volatile int* block = new int[64];
    block[0] = 1;
    block = nullptr;
}

}  // namespace

int main()
{
    loseABlock();
    // Touches GLUT so that the GL stack is linked and loaded, as in the game.
    std::printf("GLUT elapsed time before start-up: %d\n", glutGet(GLUT_ELAPSED_TIME));
    return 0;
}
