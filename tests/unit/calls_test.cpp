// SPDX-License-Identifier: MIT
// Runs the program's own code against the recording stand-in and checks every
// call it makes, with exact arguments and in order.

#include "game_draw.h"
#include "gl_recorder.h"

#include <GL/glut.h>

#include <GL/freeglut_ext.h>  // after glut.h, which it builds on
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <set>

int tarvikMain(int argc, char** argv);  // the program's main, renamed for this test

extern float p1_x;
extern float p2_x;
extern bool isLeftKeyPressed;
extern bool isRightKeyPressed;

namespace {

// The game state as it stands before start-up, read before any test runs.
const float initialP1 = p1_x;
const float initialP2 = p2_x;
const bool initialLeft = isLeftKeyPressed;
const bool initialRight = isRightKeyPressed;

using Calls = std::vector<Call>;
using Vec = std::vector<double>;

Call call(const char* name, Vec args = {}) { return {name, std::move(args), {}}; }

// Float arguments as the program passes them. Each is held in a float first:
// where floats are computed on the x87 unit, a float literal written straight
// into a double keeps the literal's full precision (0.2, not 0.2f).
Vec floats(std::initializer_list<float> values) { return {values.begin(), values.end()}; }

// The calls one GameDraw operation makes on its own.
template <class Operation>
Calls callsOf(Operation operation)
{
    recorder::clear();
    GameDraw draw;
    operation(draw);
    Calls calls = recorder::calls();
    recorder::clear();
    return calls;
}

// Starts the program once per process, as GLUT would see it, and gives the
// start-up's calls, the command line it was given and whether it left SIGPIPE
// ignored (it starts at the default, which ends the process).
struct StartUp {
    char name[7] = "tarvik";
    char option[10] = "-iconic";
    char* argv[3] = {name, option, nullptr};
    int status = 0;
    Calls calls;
    bool sigpipeIgnored = false;

    StartUp()
    {
        std::signal(SIGPIPE, SIG_DFL);
        recorder::clear();
        status = tarvikMain(2, argv);
        calls = recorder::calls();
        sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) == SIG_IGN;
    }
};

const StartUp& startUp()
{
    static const StartUp started;
    return started;
}

// Every test works on a started program with the game state as it began.
class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        startUp();
        p1_x = initialP1;
        p2_x = initialP2;
        isLeftKeyPressed = initialLeft;
        isRightKeyPressed = initialRight;
        recorder::clear();
    }

    static const GlutCallbacks& glut() { return recorder::callbacks(); }
    static void pressSpecial(int key) { glut().special(key, 3, 4); }
    static void releaseSpecial(int key) { glut().specialUp(key, 3, 4); }
    static void pressLeft(int times = 1)
    {
        for (int i = 0; i < times; ++i) pressSpecial(GLUT_KEY_LEFT);
    }
    static void pressRight(int times = 1)
    {
        for (int i = 0; i < times; ++i) pressSpecial(GLUT_KEY_RIGHT);
    }

    static Calls frame()
    {
        recorder::clear();
        glut().display();
        return recorder::calls();
    }
};

// The calls that draw one flat-coloured quad.
Calls quadCalls(Vec rgb, Vec normal, std::initializer_list<std::array<float, 3>> corners)
{
    Calls calls = {call("glColor3f", rgb), call("glBegin", {GL_QUADS}), call("glNormal3f", normal)};
    for (const auto& corner : corners) {
        calls.push_back(call("glVertex3f", {corner.begin(), corner.end()}));
    }
    calls.push_back(call("glEnd"));
    return calls;
}

const Calls boardCalls =
    quadCalls({1, 1, 1}, {0, 1, 0}, {{0, 0.01f, 0}, {0, 0.01f, 1}, {1, 0.01f, 1}, {1, 0.01f, 0}});

Calls paddleCalls(float left, float right, float z)
{
    return quadCalls({0, 1, 1}, {0, 0, 1},
                     {{left, 0, z}, {left, 0.2f, z}, {right, 0.2f, z}, {right, 0, z}});
}

// The ball rests on the board: its centre is one float step above 0.06f.
const float ballHeight = std::nextafter(0.06f, 1.0f);

const Calls ballCalls = {
    call("glColor3f", {1, 0, 0}),
    call("glTranslatef", floats({0.2f, ballHeight, 0.2f})),
    call("glutSolidSphere", {0.05000000074505806, 20, 20}),
};

Calls concat(std::initializer_list<Calls> parts)
{
    Calls all;
    for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The eight calls that draw the near (0) or far (1) paddle within one frame,
// which come after the six of the camera and the eight of the board.
Calls paddleOf(const Calls& frame, int which)
{
    const auto start = frame.begin() + 6 + 8 * (1 + which);
    return Calls(start, start + 8);
}

TEST(StartUpTest, RegistersEveryHandlerInOrderThenEntersTheLoop)
{
    const StartUp& started = startUp();
    const Call window{"glutCreateWindow", {}, "Tarvik Game"};
    EXPECT_EQ(started.calls, (Calls{
                                 call("glutInit", {2}),
                                 call("glutInitDisplayMode", {18}),
                                 call("glutInitWindowSize", {600, 600}),
                                 window,
                                 call("glutFullScreen"),
                                 call("glutDisplayFunc"),
                                 call("glutKeyboardFunc"),
                                 call("glutSpecialFunc"),
                                 call("glutSpecialUpFunc"),
                                 call("glutReshapeFunc"),
                                 call("glutTimerFunc", {25, 0}),
                                 call("glutMainLoop"),
                             }));
    EXPECT_EQ(started.status, 0);
    EXPECT_EQ(recorder::initArgVector(), started.argv) << "the command line goes to GLUT whole";
    EXPECT_EQ(GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH, 18);
}

// A write to an X server that has gone must fail, for Xlib to report it and
// exit with status 1, rather than end the game silently by the signal.
TEST(StartUpTest, IgnoresSigpipeSoALostServerIsReportedNotFatal)
{
    EXPECT_TRUE(startUp().sigpipeIgnored);
}

TEST(StartUpTest, GameStateBeginsCentredWithNoKeyHeld)
{
    EXPECT_EQ(initialP1, 0.5f);
    EXPECT_EQ(initialP2, 0.5f);
    EXPECT_FALSE(initialLeft);
    EXPECT_FALSE(initialRight);
}

// Every road through the program, from start-up to a key press, calls only
// what it is built on: no capability, no saved matrix, no other callback.
TEST_F(Program, CallsNothingBeyondTheFunctionsItIsBuiltOn)
{
    const std::set<std::string> builtOn = {"glClear",
                                           "glMatrixMode",
                                           "glLoadIdentity",
                                           "glTranslatef",
                                           "glRotatef",
                                           "glViewport",
                                           "glColor3f",
                                           "glBegin",
                                           "glEnd",
                                           "glNormal3f",
                                           "glVertex3f",
                                           "gluPerspective",
                                           "glutInit",
                                           "glutInitDisplayMode",
                                           "glutInitWindowSize",
                                           "glutCreateWindow",
                                           "glutFullScreen",
                                           "glutDisplayFunc",
                                           "glutKeyboardFunc",
                                           "glutSpecialFunc",
                                           "glutSpecialUpFunc",
                                           "glutReshapeFunc",
                                           "glutTimerFunc",
                                           "glutMainLoop",
                                           "glutPostRedisplay",
                                           "glutSwapBuffers",
                                           "glutSolidSphere"};
    glut().reshape(800, 600);
    glut().display();
    glut().timer(0);
    glut().keyboard('q', 0, 0);
    pressLeft();
    releaseSpecial(GLUT_KEY_LEFT);
    Calls all = startUp().calls;
    all.insert(all.end(), recorder::calls().begin(), recorder::calls().end());
    for (const Call& made : all) {
        EXPECT_EQ(builtOn.count(made.name), 1u) << "stray call: " << ::testing::PrintToString(made);
    }
}

using SceneTest = Program;

TEST_F(SceneTest, FrameClearsPlacesCameraDrawsBoardPaddlesBallThenSwaps)
{
    const Calls camera = {
        call("glClear", {GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT}),
        call("glMatrixMode", {GL_MODELVIEW}),
        call("glLoadIdentity"),
        call("glTranslatef", floats({0.5f, -0.3f, -1.8f})),
        call("glRotatef", {50, 1, 0, 0}),
        call("glRotatef", {180, 0, 1, 0}),
    };
    EXPECT_EQ(frame(), concat({camera,
                               boardCalls,
                               paddleCalls(0.4f, 0.6f, 0),
                               paddleCalls(0.4f, 0.6f, 1),
                               ballCalls,
                               {call("glutSwapBuffers")}}));
    EXPECT_EQ(frame(), frame()) << "every frame is drawn alike while nothing changes";
}

TEST_F(SceneTest, BallHeightIsRadiusPlusBoardHeightInSinglePrecision)
{
    EXPECT_EQ(ballHeight, 0.060000002f);
    EXPECT_EQ(callsOf([](GameDraw& d) { d.drawBall(0.2f, 0.2f); }), ballCalls);
}

TEST_F(SceneTest, PaddleSpansPointOneEitherSideAndIsNotClamped)
{
    EXPECT_EQ(callsOf([](GameDraw& d) { d.drawPaddle(0.5f, 1.0f); }), paddleCalls(0.4f, 0.6f, 1));
    EXPECT_EQ(callsOf([](GameDraw& d) { d.drawPaddle(0.0f, 0.0f); }), paddleCalls(-0.1f, 0.1f, 0));
    EXPECT_EQ(callsOf([](GameDraw& d) { d.drawPaddle(2.0f, 0.0f); }), paddleCalls(1.9f, 2.1f, 0));
}

TEST_F(SceneTest, EachObjectSetsItsOwnColourWhateverCameBefore)
{
    EXPECT_EQ(callsOf([](GameDraw& d) {
                  d.drawBall(0, 0);
                  d.drawBoard();
              }),
              concat({callsOf([](GameDraw& d) { d.drawBall(0, 0); }), boardCalls}));
}

using ResizeTest = Program;

TEST_F(ResizeTest, ViewportAndPerspectiveFollowTheWindow)
{
    glut().reshape(800, 600);
    EXPECT_EQ(recorder::calls(), (Calls{
                                     call("glViewport", {0, 0, 800, 600}),
                                     call("glMatrixMode", {GL_PROJECTION}),
                                     call("glLoadIdentity"),
                                     call("gluPerspective", {45.0, 800.0 / 600.0, 0.02, 5.0}),
                                 }));
    recorder::clear();
    glut().reshape(600, 600);
    EXPECT_EQ(recorder::calls().at(3), call("gluPerspective", {45.0, 1.0, 0.02, 5.0}));
    recorder::clear();
    glut().reshape(1366, 768);
    EXPECT_EQ(recorder::calls().at(3).args.at(1), 1366.0 / 768.0) << "divided in double";
}

TEST_F(ResizeTest, ZeroHeightGivesAFiniteProjectionAsIfOnePixelHigh)
{
    glut().reshape(800, 0);
    ASSERT_EQ(recorder::calls().size(), 4u);
    EXPECT_EQ(recorder::calls()[0], call("glViewport", {0, 0, 800, 0}));
    EXPECT_EQ(recorder::calls()[3], call("gluPerspective", {45.0, 800.0, 0.02, 5.0}));
    recorder::clear();
    glut().reshape(0, 0);
    EXPECT_EQ(recorder::calls().at(3), call("gluPerspective", {45.0, 0.0, 0.02, 5.0}));
}

using TimerTest = Program;

TEST_F(TimerTest, PostsARedisplayThenRearmsWithTheSameHandlerWhateverItGot)
{
    const auto handler = glut().timer;
    for (int value : {0, 1, -5, 123456}) {
        recorder::clear();
        handler(value);
        EXPECT_EQ(recorder::calls(),
                  (Calls{call("glutPostRedisplay"), call("glutTimerFunc", {25, 0})}))
            << "value " << value;
        EXPECT_EQ(glut().timer, handler);
    }
}

using KeyboardTest = Program;

TEST_F(KeyboardTest, EscapeDestroysTheWindowReleasesGlutThenExitsWithZero)
{
    EXPECT_EXIT(
        {
            recorder::printCallsAtExit();
            glut().keyboard(27, 0, 0);
        },
        ::testing::ExitedWithCode(0), "calls at exit: glutDestroyWindow\\(7\\), glutExit\\(\\)\n");
}

TEST_F(KeyboardTest, OtherOrdinaryKeysDoNothing)
{
    for (const int key :
         {0x71, 0x0d, 0x20, 0x61, 0x1a, 0x1c, 0x7f, 0xff}) {  // q, Enter, space, a and odd codes
        glut().keyboard(static_cast<unsigned char>(key), 10, 20);
    }
    EXPECT_TRUE(recorder::calls().empty());
    EXPECT_EQ(p2_x, 0.5f);
}

using PaddleTest = Program;

TEST_F(PaddleTest, EachArrowPressStepsTheFarPaddleInSinglePrecision)
{
    pressLeft();
    EXPECT_EQ(p2_x, 0.51999998f);
    EXPECT_TRUE(isLeftKeyPressed);
    releaseSpecial(GLUT_KEY_LEFT);
    p2_x = 0.5f;
    pressRight();
    EXPECT_EQ(p2_x, 0.47999999f);
    EXPECT_TRUE(isRightKeyPressed);
}

TEST_F(PaddleTest, StepsAccumulateFloatRounding)
{
    pressLeft(25);
    EXPECT_EQ(p2_x, 0.99999952f);
    p2_x = 0.5f;
    isLeftKeyPressed = false;
    pressRight(25);
    EXPECT_EQ(p2_x, -8.9406967e-08f);
    EXPECT_NE(p2_x, static_cast<float>(0.5 - 25 * 0.02)) << "stepped in float, not double";
}

TEST_F(PaddleTest, HoldingOneArrowLocksTheOtherUntilOneComesUp)
{
    pressLeft();
    pressRight();
    EXPECT_TRUE(isRightKeyPressed);
    EXPECT_EQ(p2_x, 0.51999998f);
    pressLeft(3);
    pressRight(3);
    EXPECT_EQ(p2_x, 0.51999998f);

    releaseSpecial(GLUT_KEY_RIGHT);
    EXPECT_FALSE(isRightKeyPressed);
    EXPECT_EQ(p2_x, 0.51999998f) << "a release never moves";
    pressLeft();
    EXPECT_EQ(p2_x, 0.51999998f + 0.02f);
}

TEST_F(PaddleTest, ReleasingTheFirstArrowLeavesTheOtherHeldAndFreeToMove)
{
    pressLeft();
    pressRight();
    releaseSpecial(GLUT_KEY_LEFT);
    EXPECT_FALSE(isLeftKeyPressed);
    EXPECT_TRUE(isRightKeyPressed);
    EXPECT_EQ(p2_x, 0.51999998f) << "a release never moves";
    pressRight();  // the held arrow repeats
    EXPECT_EQ(p2_x, 0.51999998f - 0.02f);
    pressLeft();
    EXPECT_EQ(p2_x, 0.51999998f - 0.02f) << "Left pressed with Right still held";
}

TEST_F(PaddleTest, ReleasesAndOtherSpecialKeysLeaveThePaddle)
{
    pressLeft();
    const float before = p2_x;
    for (int key : {GLUT_KEY_UP, GLUT_KEY_DOWN, GLUT_KEY_F1, GLUT_KEY_F12, GLUT_KEY_HOME,
                    GLUT_KEY_PAGE_UP, GLUT_KEY_SHIFT_L, GLUT_KEY_CTRL_R, 0, -1, 1000}) {
        pressSpecial(key);
        releaseSpecial(key);
    }
    EXPECT_EQ(p2_x, before);
    EXPECT_TRUE(isLeftKeyPressed) << "other keys leave the flags alone";
    EXPECT_FALSE(isRightKeyPressed);
    releaseSpecial(GLUT_KEY_LEFT);
    releaseSpecial(GLUT_KEY_RIGHT);
    EXPECT_EQ(p2_x, before);
    EXPECT_FALSE(isLeftKeyPressed);
}

TEST_F(PaddleTest, RepeatedPressesWithoutReleaseKeepMovingPastTheEdge)
{
    pressLeft(30);
    EXPECT_GT(p2_x, 1.09f) << "nothing stops the paddle at the board's edge";
    EXPECT_LT(p2_x, 1.11f);
    EXPECT_EQ(p1_x, 0.5f) << "the near paddle has no control";
}

TEST_F(PaddleTest, HandlersOnlyChangeStateAndTheNextFrameShowsIt)
{
    pressLeft();
    releaseSpecial(GLUT_KEY_LEFT);
    pressRight(2);
    EXPECT_TRUE(recorder::calls().empty()) << "no drawing and no redisplay request";

    const Calls drawn = frame();
    const float now = p2_x;
    EXPECT_EQ(paddleOf(drawn, 1), callsOf([now](GameDraw& d) { d.drawPaddle(now, 1.0f); }));
    EXPECT_EQ(paddleOf(drawn, 0), paddleCalls(0.4f, 0.6f, 0)) << "the near paddle stays centred";
}

}  // namespace
