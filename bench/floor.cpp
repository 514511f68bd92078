// SPDX-License-Identifier: MIT
// The floor the game is measured against: the game's GLUT start-up, window,
// 25 ms timer and full-screen size, with a frame that only clears the buffers
// and swaps. No program that redraws this window at this pace costs less.
// Left and Right change its clear colour by the game's road for the paddle:
// the key handler changes state only, and the next tick's frame shows it.

#include <GL/glut.h>

#include <GL/freeglut_ext.h>  // glutExit; after glut.h, which it builds on

#include <cstdlib>

namespace {

constexpr int windowSize = 600;          // pixels, asked for before full screen
constexpr unsigned refreshMs = 25;       // milliseconds between redisplay requests
constexpr unsigned char escapeKey = 27;  // ASCII Escape
constexpr float leftBlue = 1.0f;         // the clear colour's blue after Left
constexpr float rightBlue = 0.0f;        // and after Right: black, as at the start

int window = 0;
float clearBlue = rightBlue;  // the clear colour's blue, set by the arrows

// Clears the frame to the arrows' colour and shows it.
void drawScene()
{
    glClearColor(0.0f, 0.0f, clearBlue, 0.0f);
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

// Turns the clear colour blue on Left and black on Right.
void handleSpecialKeypress(int key, int /*x*/, int /*y*/)
{
    if (key == GLUT_KEY_LEFT) {
        clearBlue = leftBlue;
    } else if (key == GLUT_KEY_RIGHT) {
        clearBlue = rightBlue;
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

    glutDisplayFunc(drawScene);
    glutKeyboardFunc(handleKeypress);
    glutSpecialFunc(handleSpecialKeypress);
    glutReshapeFunc(handleResize);
    glutTimerFunc(refreshMs, update, 0);
    glutMainLoop();
    return 0;
}
