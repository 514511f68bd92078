// SPDX-License-Identifier: MIT
#pragma once

// Draws the objects on the table, in table space: the board is the unit
// square x 0..1, z 0..1 at height 0.01, y points up, z = 0 is the near edge.
// Holds no state; the camera is placed by the caller.
class GameDraw {
public:
    // Draws the white board as one quad at the board's height.
    void drawBoard();

    // Draws a cyan paddle centred on x, standing on y = 0 in the plane z.
    void drawPaddle(float x, float z);

    // Draws the red ball resting on the board at (x, z). Leaves the
    // model-view matrix translated to the ball's centre.
    void drawBall(float x, float z);
};
