// SPDX-License-Identifier: MIT
#pragma once

// The program's fixed camera, worked out independently in double precision,
// so the tests can say where a point of table space must appear on screen.

struct Vec3 {
    double x, y, z;
};

struct Pixel {
    int x, y;  // window pixels, origin at the top-left corner
};

// Where the model-view transform puts a point of table space, in eye space.
Vec3 tableToEye(Vec3 table);

// Which pixel of a width x height window shows a point of table space.
Pixel tableToPixel(Vec3 table, int width, int height);
