// SPDX-License-Identifier: MIT
#include "camera.h"

#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr Vec3 translation = {0.5, -0.3, -1.8};
constexpr double tiltDegrees = 50.0;   // about x, applied second
constexpr double turnDegrees = 180.0;  // about y, applied first
constexpr double fovDegrees = 45.0;

double radians(double degrees) { return degrees * pi / 180.0; }

}  // namespace

Vec3 tableToEye(Vec3 p)
{
    const double turn = radians(turnDegrees);
    const Vec3 turned = {p.x * std::cos(turn) + p.z * std::sin(turn), p.y,
                         -p.x * std::sin(turn) + p.z * std::cos(turn)};
    const double tilt = radians(tiltDegrees);
    const Vec3 tilted = {turned.x, turned.y * std::cos(tilt) - turned.z * std::sin(tilt),
                         turned.y * std::sin(tilt) + turned.z * std::cos(tilt)};
    return {tilted.x + translation.x, tilted.y + translation.y, tilted.z + translation.z};
}

Pixel tableToPixel(Vec3 table, int width, int height)
{
    const Vec3 eye = tableToEye(table);
    const double focal = 1.0 / std::tan(radians(fovDegrees) / 2);
    const double aspect = static_cast<double>(width) / height;
    const double ndcX = focal / aspect * eye.x / -eye.z;
    const double ndcY = focal * eye.y / -eye.z;
    const double windowX = (ndcX + 1) / 2 * width;
    const double windowY = (1 - ndcY) / 2 * height;  // GL counts rows from the bottom
    return {static_cast<int>(std::floor(windowX)), static_cast<int>(std::floor(windowY))};
}
