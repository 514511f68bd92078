// SPDX-License-Identifier: MIT
#include "game_draw.h"

#include <GL/glut.h>

namespace {

constexpr float boardHeight = 0.01f;  // table units above y = 0
constexpr float paddleWidth = 0.2f;   // table units along x
constexpr float paddleHeight = 0.2f;  // table units along y
constexpr float ballRadius = 0.05f;   // table units
constexpr int ballSlices = 20;        // subdivisions around the sphere's axis
constexpr int ballStacks = 20;        // subdivisions along the sphere's axis

struct Color {
    float r, g, b;  // 0 to 1
};
constexpr Color boardColor = {1.0f, 1.0f, 1.0f};   // white
constexpr Color paddleColor = {0.0f, 1.0f, 1.0f};  // cyan
constexpr Color ballColor = {1.0f, 0.0f, 0.0f};    // red

}  // namespace

// cppcheck-suppress functionStatic ; a member, as the scene is drawn through one object, draw
void GameDraw::drawBoard()
{
    glColor3f(boardColor.r, boardColor.g, boardColor.b);
    glBegin(GL_QUADS);
    glNormal3f(0.0f, 1.0f, 0.0f);
    glVertex3f(0.0f, boardHeight, 0.0f);
    glVertex3f(0.0f, boardHeight, 1.0f);
    glVertex3f(1.0f, boardHeight, 1.0f);
    glVertex3f(1.0f, boardHeight, 0.0f);
    glEnd();
}

// cppcheck-suppress functionStatic ; a member, as the scene is drawn through one object, draw
void GameDraw::drawPaddle(float x, float z)
{
    const float left = x - (paddleWidth / 2);
    const float right = x + (paddleWidth / 2);

    glColor3f(paddleColor.r, paddleColor.g, paddleColor.b);
    glBegin(GL_QUADS);
    glNormal3f(0.0f, 0.0f, 1.0f);
    glVertex3f(left, 0.0f, z);
    glVertex3f(left, paddleHeight, z);
    glVertex3f(right, paddleHeight, z);
    glVertex3f(right, 0.0f, z);
    glEnd();
}

// cppcheck-suppress functionStatic ; a member, as the scene is drawn through one object, draw
void GameDraw::drawBall(float x, float z)
{
    glColor3f(ballColor.r, ballColor.g, ballColor.b);
    // The ball's lowest point touches the board's surface.
    glTranslatef(x, ballRadius + boardHeight, z);
    glutSolidSphere(ballRadius, ballSlices, ballStacks);
}
