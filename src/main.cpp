// SPDX-License-Identifier: MIT
#include "game_draw.h"

#include <GL/glut.h>

#include <GL/freeglut_ext.h>  // glutExit; after glut.h, which it builds on

#include <csignal>
#include <cstdlib>

namespace {

constexpr int windowSize = 600;          // pixels, asked for before full screen
constexpr unsigned refreshMs = 25;       // milliseconds between redisplay requests
constexpr unsigned char escapeKey = 27;  // ASCII Escape

// Camera: table space is turned about y, tilted about x, then moved away.
constexpr float cameraX = 0.5f;       // table units, centres the board
constexpr float cameraY = -0.3f;      // table units, puts the board below the eye
constexpr float cameraZ = -1.8f;      // table units in front of the eye
constexpr float cameraTilt = 50.0f;   // degrees about x
constexpr float cameraTurn = 180.0f;  // degrees about y

constexpr double fieldOfView = 45.0;  // degrees, vertical
constexpr double nearPlane = 0.02;    // table units from the eye
constexpr double farPlane = 5.0;      // table units from the eye

constexpr float nearPaddleZ = 0.0f;  // the near edge of the board
constexpr float farPaddleZ = 1.0f;   // the far edge of the board
constexpr float ballX = 0.2f;        // table units, where the ball rests
constexpr float ballZ = 0.2f;
constexpr float paddleStep = 0.02f;  // table units per arrow-key press

}  // namespace

// Game state, touched only from GLUT callbacks once the loop runs.
float p1_x = 0.5f;               // x of the near paddle's centre, table units
float p2_x = 0.5f;               // x of the far paddle's centre, moved by the arrows
bool isLeftKeyPressed = false;   // the Left arrow is held
bool isRightKeyPressed = false;  // the Right arrow is held
int window = 0;                  // GLUT's identifier of the game window
GameDraw* draw = nullptr;        // the one drawing object, kept for the whole run

// Draws one frame: the board, both paddles and the ball from the fixed camera.
void drawScene()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(cameraX, cameraY, cameraZ);
    glRotatef(cameraTilt, 1.0f, 0.0f, 0.0f);
    glRotatef(cameraTurn, 0.0f, 1.0f, 0.0f);

    // No depth test: later objects cover earlier ones, so the board goes first.
    draw->drawBoard();
    draw->drawPaddle(p1_x, nearPaddleZ);
    draw->drawPaddle(p2_x, farPaddleZ);
    draw->drawBall(ballX, ballZ);
    glutSwapBuffers();
}

// Keeps the viewport and the perspective projection in step with the window.
void handleResize(int width, int height)
{
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    // A window of no height has no aspect ratio; treat it as one pixel high
    // rather than divide by zero.
    const double aspect = static_cast<double>(width) / (height > 0 ? height : 1);
    gluPerspective(fieldOfView, aspect, nearPlane, farPlane);
}

// Asks for the next frame and re-arms itself.
void update(int /*value*/)
{
    glutPostRedisplay();
    glutTimerFunc(refreshMs, update, 0);
}

// Ends the program on Escape; other ordinary keys mean nothing.
void handleKeypress(unsigned char key, int /*x*/, int /*y*/)
{
    if (key == escapeKey) {
        glutDestroyWindow(window);
        // GLUT only destroys the window on its loop's next pass: release it
        // now, closing the GL context and the X connection and ending the
        // renderer's threads, so that no exit handler of the GL stack races
        // with them as the process ends.
        glutExit();
        std::exit(0);
    }
}

// Moves the far paddle one step per arrow press, unless the other arrow is held.
void handleSpecialKeypress(int key, int /*x*/, int /*y*/)
{
    if (key == GLUT_KEY_LEFT) {
        isLeftKeyPressed = true;
        if (!isRightKeyPressed) {
            p2_x += paddleStep;  // larger x is further to the viewer's left
        }
    } else if (key == GLUT_KEY_RIGHT) {
        isRightKeyPressed = true;
        if (!isLeftKeyPressed) {
            p2_x -= paddleStep;
        }
    }
}

// Notes that an arrow key came up; a release never moves the paddle.
void handleSpecialKeyReleased(int key, int /*x*/, int /*y*/)
{
    if (key == GLUT_KEY_LEFT) {
        isLeftKeyPressed = false;
    } else if (key == GLUT_KEY_RIGHT) {
        isRightKeyPressed = false;
    }
}

// Opens the full-screen window, wires every handler to GLUT and hands over to its loop.
int main(int argc, char** argv)
{
    // A write to an X server that has gone would raise SIGPIPE and end the game
    // silently. Ignored, the write fails instead, and Xlib reports the lost
    // connection and exits with status 1, as when a read finds it first.
    std::signal(SIGPIPE, SIG_IGN);
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH);
    glutInitWindowSize(windowSize, windowSize);
    window = glutCreateWindow("Tarvik Game");
    glutFullScreen();
    draw = new GameDraw;

    glutDisplayFunc(drawScene);
    glutKeyboardFunc(handleKeypress);
    glutSpecialFunc(handleSpecialKeypress);
    glutSpecialUpFunc(handleSpecialKeyReleased);
    glutReshapeFunc(handleResize);
    glutTimerFunc(refreshMs, update, 0);

    glutMainLoop();
    return 0;
}
