// SPDX-License-Identifier: MIT
#include "gl_recorder.h"

#include <GL/glu.h>
#include <GL/glut.h>

#include <GL/freeglut_ext.h>  // after glut.h, which it builds on

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
void glutExit() { record("glutExit"); }
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

// Calls the program must never make, such as a capability switched on or a
// matrix saved around a draw: recorded, so that a stray one fails a test that
// names it instead of a link.

void glEnable(GLenum capability) { record("glEnable", {double(capability)}); }
void glDisable(GLenum capability) { record("glDisable", {double(capability)}); }
void glPushMatrix() { record("glPushMatrix"); }
void glPopMatrix() { record("glPopMatrix"); }
void glPushAttrib(GLbitfield mask) { record("glPushAttrib", {double(mask)}); }
void glPopAttrib() { record("glPopAttrib"); }
void glClearColor(GLclampf r, GLclampf g, GLclampf b, GLclampf a)
{
    record("glClearColor", {r, g, b, a});
}
void glClearDepth(GLclampd depth) { record("glClearDepth", {depth}); }
void glDepthFunc(GLenum function) { record("glDepthFunc", {double(function)}); }
void glShadeModel(GLenum mode) { record("glShadeModel", {double(mode)}); }
void glBlendFunc(GLenum source, GLenum target)
{
    record("glBlendFunc", {double(source), double(target)});
}
void glLightfv(GLenum light, GLenum name, const GLfloat*)
{
    record("glLightfv", {double(light), double(name)});
}
void glMaterialfv(GLenum face, GLenum name, const GLfloat*)
{
    record("glMaterialfv", {double(face), double(name)});
}
void glColor4f(GLfloat r, GLfloat g, GLfloat b, GLfloat a) { record("glColor4f", {r, g, b, a}); }
void glVertex3d(GLdouble x, GLdouble y, GLdouble z) { record("glVertex3d", {x, y, z}); }
void glTranslated(GLdouble x, GLdouble y, GLdouble z) { record("glTranslated", {x, y, z}); }
void glRotated(GLdouble angle, GLdouble x, GLdouble y, GLdouble z)
{
    record("glRotated", {angle, x, y, z});
}
void glScalef(GLfloat x, GLfloat y, GLfloat z) { record("glScalef", {x, y, z}); }
void glLoadMatrixf(const GLfloat*) { record("glLoadMatrixf"); }
void glMultMatrixf(const GLfloat*) { record("glMultMatrixf"); }
void glOrtho(GLdouble left, GLdouble right, GLdouble bottom, GLdouble top, GLdouble zNear,
             GLdouble zFar)
{
    record("glOrtho", {left, right, bottom, top, zNear, zFar});
}
void glFlush() { record("glFlush"); }
void glFinish() { record("glFinish"); }
void gluLookAt(GLdouble eyeX, GLdouble eyeY, GLdouble eyeZ, GLdouble centreX, GLdouble centreY,
               GLdouble centreZ, GLdouble upX, GLdouble upY, GLdouble upZ)
{
    record("gluLookAt", {eyeX, eyeY, eyeZ, centreX, centreY, centreZ, upX, upY, upZ});
}
void glutInitWindowPosition(int x, int y)
{
    record("glutInitWindowPosition", {double(x), double(y)});
}
void glutIdleFunc(void (*)()) { record("glutIdleFunc"); }
void glutVisibilityFunc(void (*)(int)) { record("glutVisibilityFunc"); }
void glutMouseFunc(void (*)(int, int, int, int)) { record("glutMouseFunc"); }
void glutCloseFunc(void (*)()) { record("glutCloseFunc"); }
void glutIgnoreKeyRepeat(int ignore) { record("glutIgnoreKeyRepeat", {double(ignore)}); }
void glutSetKeyRepeat(int mode) { record("glutSetKeyRepeat", {double(mode)}); }
void glutSetOption(GLenum option, int value)
{
    record("glutSetOption", {double(option), double(value)});
}
void glutSetCursor(int cursor) { record("glutSetCursor", {double(cursor)}); }
void glutLeaveMainLoop() { record("glutLeaveMainLoop"); }
void glutSolidCube(double size) { record("glutSolidCube", {size}); }
void glutWireSphere(double radius, GLint slices, GLint stacks)
{
    record("glutWireSphere", {radius, double(slices), double(stacks)});
}
