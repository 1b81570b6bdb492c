// OpenGL for the show: the 1.1 API from the system headers plus the
// extension entry points fetched at run time, named as GL names them.
//
// The extension families are listed once in X-macro tables; each module
// that needs one family fetches it with its own *_load_entry_points call.
#pragma once
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glu.h>

#include "gfx/platform.h"

// GL_ARB_shader_objects, plus the uniform upload the show needs.
#define GFX_SHADER_ENTRY_POINTS(X)                                                                 \
    X(PFNGLCOMPILESHADERARBPROC, glCompileShaderARB)                                               \
    X(PFNGLSHADERSOURCEARBPROC, glShaderSourceARB)                                                 \
    X(PFNGLCREATESHADEROBJECTARBPROC, glCreateShaderObjectARB)                                     \
    X(PFNGLATTACHOBJECTARBPROC, glAttachObjectARB)                                                 \
    X(PFNGLCREATEPROGRAMOBJECTARBPROC, glCreateProgramObjectARB)                                   \
    X(PFNGLLINKPROGRAMARBPROC, glLinkProgramARB)                                                   \
    X(PFNGLUSEPROGRAMOBJECTARBPROC, glUseProgramObjectARB)                                         \
    X(PFNGLGETUNIFORMLOCATIONARBPROC, glGetUniformLocationARB)                                     \
    X(PFNGLUNIFORM3FVARBPROC, glUniform3fvARB)

// GL_EXT_framebuffer_object.
#define GFX_FBO_ENTRY_POINTS(X)                                                                    \
    X(PFNGLBINDFRAMEBUFFEREXTPROC, glBindFramebufferEXT)                                           \
    X(PFNGLFRAMEBUFFERTEXTURE2DEXTPROC, glFramebufferTexture2DEXT)                                 \
    X(PFNGLGENFRAMEBUFFERSEXTPROC, glGenFramebuffersEXT)                                           \
    X(PFNGLGENRENDERBUFFERSEXTPROC, glGenRenderbuffersEXT)                                         \
    X(PFNGLFRAMEBUFFERRENDERBUFFEREXTPROC, glFramebufferRenderbufferEXT)                           \
    X(PFNGLRENDERBUFFERSTORAGEEXTPROC, glRenderbufferStorageEXT)                                   \
    X(PFNGLBINDRENDERBUFFEREXTPROC, glBindRenderbufferEXT)

// The pointers are called gfx_<name>; the macros let code use GL's names.
#define GFX_DECLARE_ENTRY_POINT(type, name) extern type gfx_##name;
GFX_SHADER_ENTRY_POINTS(GFX_DECLARE_ENTRY_POINT)
GFX_FBO_ENTRY_POINTS(GFX_DECLARE_ENTRY_POINT)
#undef GFX_DECLARE_ENTRY_POINT

#define glCompileShaderARB gfx_glCompileShaderARB
#define glShaderSourceARB gfx_glShaderSourceARB
#define glCreateShaderObjectARB gfx_glCreateShaderObjectARB
#define glAttachObjectARB gfx_glAttachObjectARB
#define glCreateProgramObjectARB gfx_glCreateProgramObjectARB
#define glLinkProgramARB gfx_glLinkProgramARB
#define glUseProgramObjectARB gfx_glUseProgramObjectARB
#define glGetUniformLocationARB gfx_glGetUniformLocationARB
#define glUniform3fvARB gfx_glUniform3fvARB
#define glBindFramebufferEXT gfx_glBindFramebufferEXT
#define glFramebufferTexture2DEXT gfx_glFramebufferTexture2DEXT
#define glGenFramebuffersEXT gfx_glGenFramebuffersEXT
#define glGenRenderbuffersEXT gfx_glGenRenderbuffersEXT
#define glFramebufferRenderbufferEXT gfx_glFramebufferRenderbufferEXT
#define glRenderbufferStorageEXT gfx_glRenderbufferStorageEXT
#define glBindRenderbufferEXT gfx_glBindRenderbufferEXT
