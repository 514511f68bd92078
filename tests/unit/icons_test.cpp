// SPDX-License-Identifier: MIT
// Checks the icons that the build renders: every size of the theme, each what
// librsvg renders from its own SVG, and the smallest still showing the scene.

#include <gtest/gtest.h>
#include <png.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Each size of the hicolor theme and the drawing it is rendered from: the
// small one, drawn on a 16-pixel grid, up to 32 pixels.
struct Icon {
    int size;
    const char* svg;
};
constexpr std::array<Icon, 9> icons{{{16, "tarvik-small.svg"},
                                     {22, "tarvik-small.svg"},
                                     {24, "tarvik-small.svg"},
                                     {32, "tarvik-small.svg"},
                                     {48, "tarvik.svg"},
                                     {64, "tarvik.svg"},
                                     {128, "tarvik.svg"},
                                     {256, "tarvik.svg"},
                                     {512, "tarvik.svg"}}};

std::string pngOf(int size)
{
    const std::string side = std::to_string(size);
    return std::string(ICON_DIR) + "/hicolor/" + side + "x" + side + "/apps/tarvik.png";
}

std::string bytesOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A PNG's size and format as stored, and its pixels as 8-bit RGBA.
struct Picture {
    bool read = false;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    png_uint_32 format = 0;
    std::vector<std::uint8_t> rgba;

    std::uint32_t pixel(png_uint_32 x, png_uint_32 y) const
    {
        const std::uint8_t* p = &rgba[4 * (y * width + x)];
        return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
               p[3];
    }
};

Picture readPng(const std::string& path)
{
    Picture picture;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.format = image.format;
    image.format = PNG_FORMAT_RGBA;
    picture.rgba.resize(PNG_IMAGE_SIZE(image));
    picture.read = png_image_finish_read(&image, nullptr, picture.rgba.data(), 0, nullptr) != 0;
    return picture;
}

// Renders an SVG of the sources with rsvg-convert; false if it did not succeed.
bool render(const std::string& svg, int size, const std::string& output)
{
    const std::string side = std::to_string(size);
    std::vector<std::string> words{
        RSVG_CONVERT, "--width",  side,   "--height",
        side,         "--output", output, std::string(ICON_SOURCES) + "/" + svg};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Icons, EverySizeIsThereAtItsSizeInRgba)
{
    for (const Icon& icon : icons) {
        const Picture picture = readPng(pngOf(icon.size));
        ASSERT_TRUE(picture.read) << pngOf(icon.size);
        EXPECT_EQ(picture.width, static_cast<png_uint_32>(icon.size)) << icon.size;
        EXPECT_EQ(picture.height, static_cast<png_uint_32>(icon.size)) << icon.size;
        EXPECT_EQ(picture.format, static_cast<png_uint_32>(PNG_FORMAT_RGBA)) << icon.size;
    }
}

TEST(Icons, EachIsWhatItsOwnSvgRendersTo)
{
    for (const Icon& icon : icons) {
        const std::string rendered = "icon-" + std::to_string(icon.size) + ".png";
        ASSERT_TRUE(render(icon.svg, icon.size, rendered)) << icon.svg;
        const std::string expected = bytesOf(rendered);
        unlink(rendered.c_str());
        EXPECT_FALSE(expected.empty()) << icon.svg;
        EXPECT_TRUE(bytesOf(pngOf(icon.size)) == expected)
            << pngOf(icon.size) << " is not " << icon.svg << " at " << icon.size << " px";
    }
}

// At 16 pixels the ball and each paddle keep at least one pixel of their own
// colour, opaque: the far paddle above the board's middle row, the near one
// below it.
TEST(Icons, TheSmallestShowsTheBallAndBothPaddlesInTheirColours)
{
    constexpr std::uint32_t red = 0xff0000ff;   // the ball, RGBA
    constexpr std::uint32_t cyan = 0x00ffffff;  // the paddles, RGBA
    const Picture picture = readPng(pngOf(16));
    ASSERT_TRUE(picture.read);
    int ballPixels = 0, farPaddlePixels = 0, nearPaddlePixels = 0;
    for (png_uint_32 y = 0; y < picture.height; ++y) {
        for (png_uint_32 x = 0; x < picture.width; ++x) {
            const std::uint32_t pixel = picture.pixel(x, y);
            ballPixels += pixel == red;
            farPaddlePixels += pixel == cyan && y < picture.height / 2;
            nearPaddlePixels += pixel == cyan && y >= picture.height / 2;
        }
    }
    EXPECT_GT(ballPixels, 0);
    EXPECT_GT(farPaddlePixels, 0);
    EXPECT_GT(nearPaddlePixels, 0);
}

}  // namespace
