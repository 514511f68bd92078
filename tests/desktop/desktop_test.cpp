// SPDX-License-Identifier: MIT
// Runs the real program on a virtual desktop, presses keys as a person would
// and checks the picture against where the camera puts each object.

// Before Xlib, whose macros such as None would clash with GoogleTest's names.
#include <gtest/gtest.h>

#include "game_session.h"

#include <X11/keysym.h>
#include <sys/wait.h>
#include <cmath>
#include <cstdio>

namespace {

// The camera model the probes rely on, against what the camera is known to do.
TEST(CameraModelTest, PutsTheBoardAheadBelowTheEyeAndMirrorsTableX)
{
    const Vec3 nearMiddle = tableToEye({0.5, 0, 0});
    EXPECT_NEAR(nearMiddle.x, 0, 1e-12);
    EXPECT_NEAR(nearMiddle.y, -0.3, 1e-12);
    EXPECT_NEAR(nearMiddle.z, -1.8, 1e-12);
    const Vec3 farMiddle = tableToEye({0.5, 0, 1});
    EXPECT_NEAR(farMiddle.x, 0, 1e-12);
    EXPECT_NEAR(farMiddle.y, 0.466, 1e-3);
    EXPECT_NEAR(farMiddle.z, -2.443, 1e-3);
    const Vec3 ball = tableToEye({0.2, 0.06, 0.2});
    EXPECT_NEAR(ball.x, 0.3, 1e-12);
    EXPECT_NEAR(ball.y, -0.108, 1e-3);
    EXPECT_NEAR(ball.z, -1.883, 1e-3);
    EXPECT_NEAR(tableToEye({0, 0, 0.7}).x, 0.5, 1e-12);
    EXPECT_NEAR(tableToEye({1, 0.3, 0.2}).x, -0.5, 1e-12);
}

TEST(CameraModelTest, PutsTheNearEdgeMidpointMidwayAcrossAndBelowTheMiddle)
{
    // Eye (0, -0.3, -1.8) seen through a 45 degree vertical view.
    const double below = 0.3 / 1.8 / std::tan(22.5 * 3.14159265358979323846 / 180);
    for (const auto& [width, height] : {std::pair{800, 600}, std::pair{1280, 600}}) {
        const Pixel middle = tableToPixel({0.5, 0, 0}, width, height);
        EXPECT_EQ(middle.x, width / 2);
        EXPECT_EQ(middle.y, static_cast<int>((1 + below) / 2 * height));
    }
}

struct ScreenSize {
    int width, height;
};

std::string nameOf(const ::testing::TestParamInfo<ScreenSize>& size)
{
    return std::to_string(size.param.width) + "x" + std::to_string(size.param.height);
}

class DesktopTest : public ::testing::TestWithParam<ScreenSize> {
protected:
    GameSession session{GetParam().width, GetParam().height};
    const VirtualScreen& screen = session.screen;

    void tap(KeySym key, int times)
    {
        for (int i = 0; i < times; ++i) screen.tapKey(key);
    }

    // The scene with the far paddle at x, and black where it stood before.
    static std::vector<Probe> movedProbes(double x, double before)
    {
        std::vector<Probe> probes = sceneProbes(x);
        probes.push_back({"where the far paddle stood", {before, 0.15, 1}, black});
        return probes;
    }
};

TEST_P(DesktopTest, WindowTitledTarvikGameCoversTheWholeScreen)
{
    ASSERT_NE(session.window, static_cast<Window>(None)) << "no window titled \"Tarvik Game\"";
    XRectangle area{};
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
        sleepFor(20ms);
        area = screen.geometry(session.window);
    } while ((area.x != 0 || area.y != 0 || area.width != screen.width() ||
              area.height != screen.height()) &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(area.x, 0);
    EXPECT_EQ(area.y, 0);
    EXPECT_EQ(area.width, screen.width());
    EXPECT_EQ(area.height, screen.height());
}

TEST_P(DesktopTest, ShowsBoardPaddlesAndBallWhereTheCameraPutsThem)
{
    EXPECT_EQ(session.waitToShow(sceneProbes(0.5)), "");
    const Frame frame = screen.capture();
    EXPECT_EQ(describe(frame.at(0, 0)), "black");
    EXPECT_EQ(describe(frame.at(frame.width() - 1, frame.height() - 1)), "black");
}

TEST_P(DesktopTest, OtherKeysChangeNothingAndEscapeEndsWithStatusZero)
{
    ASSERT_EQ(session.waitToShow(sceneProbes(0.5)), "");
    for (const KeySym key :
         std::initializer_list<KeySym>{XK_q, XK_Return, XK_space, XK_Up, XK_Down, XK_F1})
        screen.tapKey(key);
    sleepFor(200ms);
    EXPECT_FALSE(session.game.waitForExit(0ms)) << "only Escape ends the program";
    EXPECT_EQ(session.waitToShow(sceneProbes(0.5), 0ms), "");

    EXPECT_EQ(session.endWithEscape(), "");
}

TEST_P(DesktopTest, ArrowsMoveTheFarPaddleTowardsTheirOwnSide)
{
    ASSERT_EQ(session.waitToShow(sceneProbes(0.5)), "");
    const int w = screen.width(), h = screen.height();
    EXPECT_LT(tableToPixel({0.7, 0.1, 1}, w, h).x, tableToPixel({0.5, 0.1, 1}, w, h).x)
        << "a larger table x is further to the viewer's left";

    tap(XK_Left, 10);
    EXPECT_EQ(session.waitToShow(movedProbes(0.7, 0.5)), "");
    tap(XK_Right, 20);
    EXPECT_EQ(session.waitToShow(movedProbes(0.3, 0.7)), "");
    tap(XK_Right, 30);
    EXPECT_EQ(session.waitToShow(movedProbes(-0.3, 0.3)), "") << "nothing stops it at the edge";
}

TEST_P(DesktopTest, WhileOneArrowIsHeldTheOtherMovesNothing)
{
    screen.setKeyRepeat(false);  // so that each press below is exactly one event
    ASSERT_EQ(session.waitToShow(sceneProbes(0.5)), "");

    screen.pressKey(XK_Left);
    ASSERT_EQ(session.waitToShow(sceneProbes(0.52)), "");
    screen.pressKey(XK_Right);
    sleepFor(200ms);
    EXPECT_EQ(session.waitToShow(sceneProbes(0.52), 0ms), "") << "Right pressed with Left held";
    for (int i = 0; i < 3; ++i) {
        screen.releaseKey(XK_Left);
        screen.pressKey(XK_Left);
    }
    sleepFor(200ms);
    EXPECT_EQ(session.waitToShow(sceneProbes(0.52), 0ms), "") << "Left pressed with Right held";

    screen.releaseKey(XK_Right);
    screen.releaseKey(XK_Left);
    screen.pressKey(XK_Left);
    screen.releaseKey(XK_Left);
    EXPECT_EQ(session.waitToShow(sceneProbes(0.54)), "") << "Left moves again once Right is up";
}

TEST_P(DesktopTest, HeldArrowKeepsMovingWithKeyRepeat)
{
    ASSERT_EQ(session.waitToShow(sceneProbes(0.5)), "");
    screen.pressKey(XK_Left);
    // Only repeated press events can carry the paddle this far: eight steps or more.
    const std::string report =
        session.waitToShow({{"left of the far paddle", {0.45, 0.15, 1}, black},
                            {"far paddle gone left", {0.55, 0.15, 1}, black}},
                           5s);
    screen.releaseKey(XK_Left);
    EXPECT_EQ(report, "");
}

INSTANTIATE_TEST_SUITE_P(FullScreen, DesktopTest,
                         ::testing::Values(ScreenSize{1024, 768}, ScreenSize{1280, 600}), nameOf);

// What the swap tracer saw of one game on a desktop of its own, played for the
// given time past its first frames and ended with Escape.
struct TracedGame {
    std::string problem;  // empty if it showed a window and ended cleanly on Escape
    std::vector<long long> stamps;
    std::string renderer;
    std::string atStart, atExit;  // its threads and sockets as it began and called exit()
    long long from = 0, to = 0;   // the time played, on the tracer's clock
};

TracedGame playTraced(std::chrono::milliseconds duration)
{
    const std::string log = "/tmp/tarvik-swaps-" + std::to_string(getpid()) + ".log";
    GameSession session(1024, 768, {}, swapTracer(), {"TARVIK_SWAP_LOG=" + log});
    TracedGame traced;
    if (session.window == None) {
        traced.problem = "no window titled \"Tarvik Game\": " + session.game.standardError();
        return traced;
    }
    sleepFor(500ms);  // past the first frames that mapping and reshaping bring
    traced.from = monotonicNs();
    sleepFor(duration);
    traced.to = monotonicNs();
    traced.problem = session.endWithEscape();
    traced.stamps = readStamps(log);
    traced.renderer = readTraced(log, "renderer");
    traced.atStart = readTraced(log, "at start");
    traced.atExit = readTraced(log, "at exit");
    std::remove(log.c_str());
    return traced;
}

// One timer, re-armed 25 ms after each tick, paces the frames: about 40 a
// second and never more, however long the game runs.
TEST(RedrawPaceTest, DeliversFortyFramesASecondFromOneTimer)
{
    const TracedGame traced = playTraced(2s);
    ASSERT_EQ(traced.problem, "");
    int frames = 0;
    for (const long long stamp : traced.stamps) frames += stamp >= traced.from && stamp < traced.to;
    EXPECT_LE(frames, 81) << "more than one frame per 25 ms";
    EXPECT_GE(frames, 60) << "far fewer than one frame per 25 ms";
}

// Mesa may draw with another driver than the one asked for, as after a stray
// setting or where a driver was left out of its build; the tests must then
// fail rather than pass in the chosen driver's name.
TEST(GlDriverTest, GameDrawsWithTheDriverTarvikGlDriverNames)
{
    const GlDriver driver = chosenGlDriver();
    const TracedGame traced = playTraced(0ms);
    ASSERT_EQ(traced.problem, "");
    // desktops.sh shows this line in its table of drivers.
    std::printf("renderer: %s\n", traced.renderer.c_str());
    EXPECT_TRUE(driver.drew(traced.renderer))
        << "TARVIK_GL_DRIVER=" << driver.name << " wants a renderer that begins \""
        << driver.rendererStart << "\" and then holds \"" << driver.rendererHolds
        << "\", but the game drew with \"" << traced.renderer << "\"";
}

// Escape must leave nothing of GLUT, GL or X alive as the process ends: exit
// handlers of the GL stack that race with a renderer's threads, or with an X
// connection still open, can crash the game at its very end.
TEST(ExitTest, EscapeLeavesNoXConnectionAndNoRendererThread)
{
    const TracedGame traced = playTraced(0ms);
    ASSERT_EQ(traced.problem, "");
    ASSERT_NE(traced.atStart, "") << "the swap tracer noted nothing of the game";
    EXPECT_EQ(traced.atExit, traced.atStart)
        << "threads and sockets as exit() ran, against those the game began with";
}

TEST(NoDisplayTest, ExitsNonZeroWithGlutsMessageAndNoSignal)
{
    Process game = startGame(nullptr);
    const std::optional<int> status = game.waitForExit(10s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status)) << describeEnd(*status);
    EXPECT_NE(WEXITSTATUS(*status), 0);
    EXPECT_NE(game.standardError().find("failed to open display"), std::string::npos)
        << game.standardError();
}

}  // namespace
