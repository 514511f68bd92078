// SPDX-License-Identifier: MIT
// Makes the game's icons from its own scene: runs the game's drawing code
// against the recording stand-in for GL, projects what it drew through the
// camera model and writes the hicolor icons, PNGs at every usual size and an SVG.
//
//   icon DIRECTORY    writes DIRECTORY/hicolor/<size>x<size>/apps/tarvik.png
//                     and DIRECTORY/hicolor/scalable/apps/tarvik.svg
//
// The scene is cropped tight, to the board and the paddles; at small sizes the
// paddles and the ball are drawn larger, and every shape has an outline in a
// darker shade of its colour, so that the white board shows on a light panel.

#include "camera.h"
#include "gl_recorder.h"

#include <GL/gl.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

int tarvikMain(int argc, char** argv);  // the game's main, renamed for this tool

namespace {

constexpr std::array<int, 9> pngSizes = {16, 22, 24, 32, 48, 64, 128, 256, 512};  // pixels
constexpr int svgSize = 128;           // user units of the scalable icon's view box
constexpr int samplesPerSide = 16;     // a pixel's coverage is read from 16 x 16 samples
constexpr double outlineShade = 0.35;  // an outline's colour, as a part of its fill's

struct Colour {
    double r, g, b;  // 0 to 1
};

// One shape of the scene in table space, as the game drew it: a quad, or a ball.
struct Shape {
    std::vector<Vec3> corners;  // a quad's, in drawing order; empty for a ball
    Vec3 centre{};              // a ball's
    double radius = 0;          // a ball's, table units
    Colour colour{};
};

// A shape projected into the icon, in pixels (rows counted downwards).
struct Flat {
    struct Point {
        double x, y;
    };
    std::vector<Point> corners;  // convex, either way round; empty for a disc
    Point centre{};
    double radius = 0;
    Colour fill{}, outline{};
    double width = 0;  // the outline's, pixels
};

// How one size is drawn: how much larger the small things are, and the outline.
struct Style {
    double paddleWidth;   // factor on a standing quad's width
    double paddleHeight;  // factor on a standing quad's height
    double ball;          // factor on a ball's radius
    double outline;       // outline width, pixels
    double margin;        // empty border on each side, pixels
    bool snap;            // corners on pixel centres, so that straight outlines stay sharp
};

// The style of one size of PNG, or of the SVG at its nominal size.
Style styleFor(int size)
{
    // Full emphasis at 16 pixels, none from 64 up, where the scene reads as it is.
    const double emphasis = std::clamp((64.0 - size) / 48.0, 0.0, 1.0);
    return {1 + 0.3 * emphasis,         1 + 0.7 * emphasis, 1 + 1.3 * emphasis,
            std::max(1.0, size / 64.0), size / 32.0,        size <= 48};
}

// Reads the scene out of one frame's calls: every quad and ball in drawing
// order, with the translation the game applies after placing the camera.
std::vector<Shape> sceneOf(const std::vector<Call>& calls)
{
    std::vector<Shape> shapes;
    Colour colour{1, 1, 1};
    Vec3 offset{0, 0, 0};
    int cameraSteps = 0;  // the translation and two turns that tableToEye models
    bool inQuads = false;
    std::vector<Vec3> corners;
    for (const Call& call : calls) {
        const std::vector<double>& a = call.args;
        if (call.name == "glLoadIdentity") {
            offset = {0, 0, 0};
            cameraSteps = 0;
        } else if (call.name == "glRotatef" && cameraSteps > 0 && cameraSteps < 3) {
            ++cameraSteps;
        } else if (call.name == "glTranslatef" && cameraSteps != 1 && cameraSteps != 2) {
            if (cameraSteps == 0) {
                cameraSteps = 1;
            } else {
                offset = {offset.x + a[0], offset.y + a[1], offset.z + a[2]};
            }
        } else if (call.name == "glRotatef" || call.name == "glTranslatef" ||
                   call.name == "glScalef" || call.name == "glPushMatrix") {
            throw std::runtime_error(
                "the game moves its objects in a way this tool cannot follow: " + call.name);
        } else if (call.name == "glColor3f") {
            colour = {a[0], a[1], a[2]};
        } else if (call.name == "glBegin") {
            if (a[0] != GL_QUADS) throw std::runtime_error("the game draws other than quads");
            inQuads = true;
            corners.clear();
        } else if (call.name == "glVertex3f" && inQuads) {
            corners.push_back({offset.x + a[0], offset.y + a[1], offset.z + a[2]});
        } else if (call.name == "glEnd") {
            inQuads = false;
            for (size_t i = 0; i + 4 <= corners.size(); i += 4) {
                shapes.push_back({{corners.begin() + static_cast<long>(i),
                                   corners.begin() + static_cast<long>(i + 4)},
                                  {},
                                  0,
                                  colour});
            }
        } else if (call.name == "glutSolidSphere") {
            shapes.push_back({{}, offset, a[0], colour});
        }
    }
    if (shapes.empty()) throw std::runtime_error("the game drew nothing");
    return shapes;
}

// Makes the paddles and the ball larger in table space: a standing quad keeps
// its foot and middle, a ball keeps the point it rests on.
Shape emphasised(Shape shape, const Style& style)
{
    if (shape.corners.empty()) {
        const double grown = shape.radius * style.ball;
        shape.centre.y += grown - shape.radius;
        shape.radius = grown;
        return shape;
    }
    double low = shape.corners[0].y, high = low, left = shape.corners[0].x, right = left;
    for (const Vec3& c : shape.corners) {
        low = std::min(low, c.y);
        high = std::max(high, c.y);
        left = std::min(left, c.x);
        right = std::max(right, c.x);
    }
    if (high - low < 1e-9) return shape;  // lying flat: the board
    const double middle = (left + right) / 2;
    for (Vec3& c : shape.corners) {
        c.x = middle + (c.x - middle) * style.paddleWidth;
        c.y = low + (c.y - low) * style.paddleHeight;
    }
    return shape;
}

// Where the camera puts a point of table space on the picture plane at distance 1.
Flat::Point project(Vec3 table)
{
    const Vec3 eye = tableToEye(table);
    return {eye.x / -eye.z, eye.y / -eye.z};
}

// The scene as it must look in a square icon of the given size, cropped tight.
std::vector<Flat> layOut(const std::vector<Shape>& scene, int size, const Style& style)
{
    std::vector<Flat> flats;
    double left = 1e9, right = -1e9, bottom = 1e9, top = -1e9;
    for (const Shape& original : scene) {
        const Shape shape = emphasised(original, style);
        Flat flat;
        flat.fill = shape.colour;
        // A ball's outline is thinner: at small sizes a full one would leave little red.
        flat.width = shape.corners.empty() ? style.outline / 2 : style.outline;
        flat.outline = {shape.colour.r * outlineShade, shape.colour.g * outlineShade,
                        shape.colour.b * outlineShade};
        std::vector<Flat::Point> extremes;
        if (shape.corners.empty()) {
            flat.centre = project(shape.centre);
            const Vec3 eye = tableToEye(shape.centre);
            const double distance = std::sqrt(eye.x * eye.x + eye.y * eye.y + eye.z * eye.z);
            // The tangent of the angle the ball fills, seen from the eye.
            flat.radius =
                shape.radius / std::sqrt(distance * distance - shape.radius * shape.radius);
            extremes = {{flat.centre.x - flat.radius, flat.centre.y - flat.radius},
                        {flat.centre.x + flat.radius, flat.centre.y + flat.radius}};
        } else {
            for (const Vec3& c : shape.corners) flat.corners.push_back(project(c));
            extremes = flat.corners;
        }
        for (const Flat::Point& p : extremes) {
            left = std::min(left, p.x);
            right = std::max(right, p.x);
            bottom = std::min(bottom, p.y);
            top = std::max(top, p.y);
        }
        flats.push_back(flat);
    }
    const double scale =
        (size - 2 * style.margin - style.outline) / std::max(right - left, top - bottom);
    const double middleX = (left + right) / 2, middleY = (bottom + top) / 2;
    const auto place = [&](Flat::Point p) {
        return Flat::Point{size / 2.0 + (p.x - middleX) * scale,
                           size / 2.0 - (p.y - middleY) * scale};  // rows go down
    };
    // The crop puts the outermost corners exactly on a pixel's edge at some
    // sizes, where the last bit of a sum decides which pixel a corner snaps to;
    // and that bit differs between floating-point units (x87's wider registers,
    // fused multiply-adds). Rounding to a 1/1024 pixel grid first makes every
    // machine snap alike.
    const auto onPixel = [](double v) { return std::floor(std::nearbyint(v * 1024) / 1024) + 0.5; };
    const auto snapped = [&](Flat::Point p) {
        return style.snap ? Flat::Point{onPixel(p.x), onPixel(p.y)} : p;
    };
    for (Flat& flat : flats) {
        for (Flat::Point& p : flat.corners) p = snapped(place(p));
        flat.centre = place(flat.centre);
        flat.radius *= scale;
    }
    return flats;
}

// How far a point lies outside a shape, in pixels: negative inside. For a
// convex polygon, the furthest it lies beyond any side's line, so that the
// outline's band has mitred corners as an SVG stroke has.
double outside(const Flat& flat, Flat::Point p)
{
    if (flat.corners.empty())
        return std::hypot(p.x - flat.centre.x, p.y - flat.centre.y) - flat.radius;
    const size_t n = flat.corners.size();
    double area = 0;
    for (size_t i = 0; i < n; ++i) {
        const Flat::Point a = flat.corners[i], b = flat.corners[(i + 1) % n];
        area += a.x * b.y - b.x * a.y;
    }
    const double turn = area > 0 ? 1 : -1;  // which side of each edge is outside
    double furthest = -1e9;
    for (size_t i = 0; i < n; ++i) {
        const Flat::Point a = flat.corners[i], b = flat.corners[(i + 1) % n];
        const double length = std::hypot(b.x - a.x, b.y - a.y);
        const double across = ((b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x)) / length;
        furthest = std::max(furthest, -turn * across);
    }
    return furthest;
}

// Rasterises the shapes, later ones covering earlier ones, into straight-alpha RGBA.
std::vector<unsigned char> render(const std::vector<Flat>& flats, int size)
{
    std::vector<unsigned char> pixels(static_cast<size_t>(size) * static_cast<size_t>(size) * 4, 0);
    constexpr int samples = samplesPerSide * samplesPerSide;
    constexpr double halfDiagonal = 0.7072;  // pixels, a little over half of the square root of 2
    for (int row = 0; row < size; ++row) {
        for (int column = 0; column < size; ++column) {
            double r = 0, g = 0, b = 0;
            int covered = 0;
            // A shape's distance changes by no more than the distance moved, so
            // from the pixel's centre it tells when the whole pixel sees one colour.
            const Colour* whole = nullptr;
            bool mixed = false;
            for (const Flat& flat : flats) {
                const double d = outside(flat, {column + 0.5, row + 0.5});
                const double half = flat.width / 2;
                if (d < -half - halfDiagonal) {
                    whole = &flat.fill;
                } else if (d > -half + halfDiagonal && d < half - halfDiagonal) {
                    whole = &flat.outline;
                } else if (d < half + halfDiagonal) {
                    mixed = true;
                }
            }
            if (!mixed && whole != nullptr) {
                r = whole->r * samples;
                g = whole->g * samples;
                b = whole->b * samples;
                covered = samples;
            }
            for (int sy = 0; sy < samplesPerSide && mixed; ++sy) {
                for (int sx = 0; sx < samplesPerSide; ++sx) {
                    const Flat::Point p = {column + (sx + 0.5) / samplesPerSide,
                                           row + (sy + 0.5) / samplesPerSide};
                    const Colour* seen = nullptr;
                    for (const Flat& flat : flats) {
                        const double d = outside(flat, p);
                        if (d <= -flat.width / 2) {
                            seen = &flat.fill;
                        } else if (d <= flat.width / 2) {
                            seen = &flat.outline;
                        }
                    }
                    if (seen == nullptr) continue;
                    r += seen->r;
                    g += seen->g;
                    b += seen->b;
                    ++covered;
                }
            }
            if (covered == 0) continue;
            unsigned char* pixel = &pixels[(static_cast<size_t>(row) * static_cast<size_t>(size) +
                                            static_cast<size_t>(column)) *
                                           4];
            const auto byte = [](double value) {
                return static_cast<unsigned char>(std::lround(std::clamp(value, 0.0, 1.0) * 255));
            };
            pixel[0] = byte(r / covered);
            pixel[1] = byte(g / covered);
            pixel[2] = byte(b / covered);
            pixel[3] = byte(static_cast<double>(covered) / samples);
        }
    }
    return pixels;
}

// Writes square RGBA pixels as a PNG with fixed settings, so the same pixels
// always give the same bytes; false if it cannot.
bool writePng(const std::string& path, const std::vector<unsigned char>& pixels, int size)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool written = false;
    // libpng reports its errors by jumping back here; nothing here has a destructor.
    if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_set_compression_level(png, 9);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
        const auto side = static_cast<png_uint_32>(size);
        png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
        png_write_info(png, info);
        for (int row = 0; row < size; ++row) {
            png_write_row(png, &pixels[static_cast<size_t>(row) * static_cast<size_t>(size) * 4]);
        }
        png_write_end(png, nullptr);
        written = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0 && written;
}

// A colour as SVG writes it, such as #00ffff.
std::string hex(Colour colour)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x",
                  static_cast<unsigned>(std::lround(colour.r * 255)),
                  static_cast<unsigned>(std::lround(colour.g * 255)),
                  static_cast<unsigned>(std::lround(colour.b * 255)));
    return text;
}

// A number as the SVG writes it: two decimals, enough at any size it is shown.
std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// The shapes as an SVG of the given size, each with its outline as a stroke.
std::string svgOf(const std::vector<Flat>& flats, int size)
{
    const std::string side = std::to_string(size);
    std::string svg =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        // The tag is split so that REUSE does not read it as this file's own licence.
        "<!-- SPDX-"
        "License-Identifier: MIT -->\n"
        "<!-- Made by tools/icon.cpp from the game's own scene. -->\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
        side + "\" height=\"" + side + "\" viewBox=\"0 0 " + side + " " + side + "\">\n";
    for (const Flat& flat : flats) {
        const std::string paint = "fill=\"" + hex(flat.fill) + "\" stroke=\"" + hex(flat.outline) +
                                  "\" stroke-width=\"" + number(flat.width) + "\"";
        if (flat.corners.empty()) {
            svg += "  <circle cx=\"" + number(flat.centre.x) + "\" cy=\"" + number(flat.centre.y) +
                   "\" r=\"" + number(flat.radius) + "\" " + paint + "/>\n";
        } else {
            std::string points;
            for (const Flat::Point& p : flat.corners) {
                points += (points.empty() ? "" : " ") + number(p.x) + "," + number(p.y);
            }
            svg +=
                "  <polygon points=\"" + points + "\" " + paint + " stroke-linejoin=\"miter\"/>\n";
        }
    }
    return svg + "</svg>\n";
}

// Creates the directory for an icon of the theme and gives the icon's path.
std::string iconPath(const std::filesystem::path& root, const std::string& size,
                     const std::string& file)
{
    const std::filesystem::path directory = root / "hicolor" / size / "apps";
    std::filesystem::create_directories(directory);
    return (directory / file).string();
}

}  // namespace

// Draws one frame of the game against the stand-in and writes every icon from it.
int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: icon DIRECTORY\n");
        return 2;
    }
    try {
        char name[] = "tarvik";
        char* arguments[] = {name, nullptr};
        tarvikMain(1, arguments);  // the stand-in's main loop returns at once
        recorder::clear();
        recorder::callbacks().display();
        const std::vector<Shape> scene = sceneOf(recorder::calls());

        for (const int size : pngSizes) {
            const Style style = styleFor(size);
            const std::string side = std::to_string(size);
            const std::string path = iconPath(argv[1], side + "x" + side, "tarvik.png");
            if (!writePng(path, render(layOut(scene, size, style), size), size)) {
                throw std::runtime_error("cannot write " + path);
            }
        }
        const Style style = styleFor(svgSize);
        const std::string path = iconPath(argv[1], "scalable", "tarvik.svg");
        const std::string svg = svgOf(layOut(scene, svgSize, style), svgSize);
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) throw std::runtime_error("cannot write " + path);
        const bool written = std::fputs(svg.c_str(), file) >= 0;
        if (std::fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + path);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "icon: %s\n", error.what());
        return 1;
    }
    return 0;
}
