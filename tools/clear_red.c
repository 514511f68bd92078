/* SPDX-License-Identifier: MIT */
/* Clears a GLUT window to red, reads the pixel back from the X server and
 * prints it as the server holds it (RRGGBB), then ends: status 0 if it is red.
 * Nothing of the game: it shows what Mesa and X do with a plain frame, for
 * instance a program of a big-endian machine on a little-endian X server:
 *
 *   DISPLAY=:N clear_red
 */

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>

static void display(void)
{
    glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glutSwapBuffers();
    glFinish();

    Display* x = glXGetCurrentDisplay();
    XSync(x, False);
    XImage* image = XGetImage(x, glXGetCurrentDrawable(), 8, 8, 1, 1, AllPlanes, ZPixmap);
    if (!image) {
        fprintf(stderr, "clear_red: cannot read the window back\n");
        exit(2);
    }
    const unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
    XDestroyImage(image);
    printf("%06lx\n", pixel);
    glutExit();
    exit(pixel == 0xff0000 ? 0 : 1);
}

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE);
    glutInitWindowSize(64, 64);
    glutCreateWindow("clear_red");
    glutDisplayFunc(display);
    glutMainLoop();
    return 0;
}
