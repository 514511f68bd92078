// SPDX-License-Identifier: MIT
#include "gl_recorder.h"

#include <GL/glu.h>
#include <GL/glut.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::vector<Call> recorded;
GlutCallbacks registered;
int* argCount = nullptr;
char** argVector = nullptr;

void record(const char* name, std::vector<double> args = {}, std::string text = {})
{
    recorded.push_back({name, std::move(args), std::move(text)});
}

std::string show(const Call& call)
{
    std::ostringstream out;
    out.precision(17);
    out << call.name << '(';
    if (!call.text.empty()) out << '"' << call.text << '"';
    for (size_t i = 0; i < call.args.size(); ++i) {
        out << (i > 0 || !call.text.empty() ? ", " : "") << call.args[i];
    }
    out << ')';
    return out.str();
}

void printCalls()
{
    std::string line = "calls at exit: ";
    for (size_t i = 0; i < recorded.size(); ++i) {
        line += (i > 0 ? ", " : "") + show(recorded[i]);
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

void PrintTo(const Call& call, std::ostream* out) { *out << show(call); }

namespace recorder {

const std::vector<Call>& calls() { return recorded; }
void clear() { recorded.clear(); }
const GlutCallbacks& callbacks() { return registered; }
const int* initArgCount() { return argCount; }
char** initArgVector() { return argVector; }
void printCallsAtExit() { std::atexit(printCalls); }

}  // namespace recorder

// GL

void glClear(GLbitfield mask) { record("glClear", {double(mask)}); }
void glMatrixMode(GLenum mode) { record("glMatrixMode", {double(mode)}); }
void glLoadIdentity() { record("glLoadIdentity"); }
void glTranslatef(GLfloat x, GLfloat y, GLfloat z) { record("glTranslatef", {x, y, z}); }
void glRotatef(GLfloat angle, GLfloat x, GLfloat y, GLfloat z)
{
    record("glRotatef", {angle, x, y, z});
}
void glViewport(GLint x, GLint y, GLsizei width, GLsizei height)
{
    record("glViewport", {double(x), double(y), double(width), double(height)});
}
void glColor3f(GLfloat r, GLfloat g, GLfloat b) { record("glColor3f", {r, g, b}); }
void glBegin(GLenum mode) { record("glBegin", {double(mode)}); }
void glEnd() { record("glEnd"); }
void glNormal3f(GLfloat x, GLfloat y, GLfloat z) { record("glNormal3f", {x, y, z}); }
void glVertex3f(GLfloat x, GLfloat y, GLfloat z) { record("glVertex3f", {x, y, z}); }

// GLU

void gluPerspective(GLdouble fovy, GLdouble aspect, GLdouble zNear, GLdouble zFar)
{
    record("gluPerspective", {fovy, aspect, zNear, zFar});
}

// GLUT

void glutInit(int* argc, char** argv)
{
    argCount = argc;
    argVector = argv;
    record("glutInit", {double(*argc)});
}
void glutInitDisplayMode(unsigned int mode) { record("glutInitDisplayMode", {double(mode)}); }
void glutInitWindowSize(int width, int height)
{
    record("glutInitWindowSize", {double(width), double(height)});
}
int glutCreateWindow(const char* title)
{
    record("glutCreateWindow", {}, title);
    return recorder::windowId;
}
void glutFullScreen() { record("glutFullScreen"); }
void glutDestroyWindow(int window) { record("glutDestroyWindow", {double(window)}); }
void glutDisplayFunc(void (*callback)())
{
    registered.display = callback;
    record("glutDisplayFunc");
}
void glutKeyboardFunc(void (*callback)(unsigned char, int, int))
{
    registered.keyboard = callback;
    record("glutKeyboardFunc");
}
void glutSpecialFunc(void (*callback)(int, int, int))
{
    registered.special = callback;
    record("glutSpecialFunc");
}
void glutSpecialUpFunc(void (*callback)(int, int, int))
{
    registered.specialUp = callback;
    record("glutSpecialUpFunc");
}
void glutReshapeFunc(void (*callback)(int, int))
{
    registered.reshape = callback;
    record("glutReshapeFunc");
}
void glutTimerFunc(unsigned int time, void (*callback)(int), int value)
{
    registered.timer = callback;
    record("glutTimerFunc", {double(time), double(value)});
}
// The real loop never returns; this one returns at once so start-up can be checked.
void glutMainLoop() { record("glutMainLoop"); }
void glutPostRedisplay() { record("glutPostRedisplay"); }
void glutSwapBuffers() { record("glutSwapBuffers"); }
void glutSolidSphere(double radius, GLint slices, GLint stacks)
{
    record("glutSolidSphere", {radius, double(slices), double(stacks)});
}
