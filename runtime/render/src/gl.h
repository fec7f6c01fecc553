// OpenGL 3.3 core entry points. libGL (GLVND) exports every core function and dispatches to the
// context current on the thread, whether GLX or EGL made it, so no loader is needed.
#pragma once

#ifndef GL_GLEXT_PROTOTYPES
#define GL_GLEXT_PROTOTYPES 1
#endif
#include <GL/gl.h>
#include <GL/glext.h>
