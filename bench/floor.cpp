// SPDX-License-Identifier: MIT
// The floor the game is measured against: the game's GLUT start-up, window,
// 25 ms timer and full-screen size, with a frame that only clears the buffers
// and swaps. No program that redraws this window at this pace costs less.
// It names its renderer on stderr once, so the benchmark can report it.

#include <GL/glut.h>

#include <GL/freeglut_ext.h>  // glutExit; after glut.h, which it builds on

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int windowSize = 600;          // pixels, asked for before full screen
constexpr unsigned refreshMs = 25;       // milliseconds between redisplay requests
constexpr unsigned char escapeKey = 27;  // ASCII Escape

int window = 0;

// Clears the frame and shows it.
void drawScene()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glutSwapBuffers();
}

// Follows the window's size.
void handleResize(int width, int height) { glViewport(0, 0, width, height); }

// Asks for the next frame and re-arms itself.
void update(int /*value*/)
{
    glutPostRedisplay();
    glutTimerFunc(refreshMs, update, 0);
}

// Ends the program on Escape, as the game does.
void handleKeypress(unsigned char key, int /*x*/, int /*y*/)
{
    if (key == escapeKey) {
        glutDestroyWindow(window);
        glutExit();
        std::exit(0);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH);
    glutInitWindowSize(windowSize, windowSize);
    window = glutCreateWindow("Tarvik Floor");
    glutFullScreen();
    std::fprintf(stderr, "renderer: %s\n", glGetString(GL_RENDERER));

    glutDisplayFunc(drawScene);
    glutKeyboardFunc(handleKeypress);
    glutReshapeFunc(handleResize);
    glutTimerFunc(refreshMs, update, 0);
    glutMainLoop();
    return 0;
}
