// SPDX-License-Identifier: GPL-3.0-or-later
#define GL_GLEXT_PROTOTYPES
#include "offscreen.h"

#include "picture/paint.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <algorithm>
#include <cstring>

static bool has_extension(const char *name) {
    GLint n = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &n);
    for (GLint k = 0; k < n; ++k)
        if (!std::strcmp(reinterpret_cast<const char *>(glGetStringi(GL_EXTENSIONS, k)), name))
            return true;
    return false;
}

static EGLDisplay display = EGL_NO_DISPLAY;
static EGLContext context = EGL_NO_CONTEXT;
static GLuint framebuffer, colour, pack[2]; // colour: a texture
static int width, height, reads;
static bool mapped[2];
static std::string description;

// An OpenGL compatibility context on this display, made current without a surface: the painter
// is fixed-function OpenGL, the same code as the window's.
static bool context_on(EGLDisplay d, std::string &why) {
    EGLint major, minor;
    if (!eglInitialize(d, &major, &minor)) {
        why = "EGL does not start";
        return false;
    }
    const char *extensions = eglQueryString(d, EGL_EXTENSIONS);
    if (!extensions || !std::strstr(extensions, "EGL_KHR_surfaceless_context")) {
        why = "EGL cannot draw without a window here";
        eglTerminate(d);
        return false;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        why = "EGL offers no OpenGL here";
        eglTerminate(d);
        return false;
    }
    const EGLint want[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, 0, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configs = 0;
    eglChooseConfig(d, want, &config, 1, &configs);
    const EGLint attributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                 EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
    EGLContext c =
        eglCreateContext(d, configs ? config : EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
    if (c == EGL_NO_CONTEXT || !eglMakeCurrent(d, EGL_NO_SURFACE, EGL_NO_SURFACE, c)) {
        why = "no OpenGL compatibility context";
        if (c != EGL_NO_CONTEXT)
            eglDestroyContext(d, c);
        eglTerminate(d);
        return false;
    }
    display = d;
    context = c;
    return true;
}

// A GPU's own EGL device first (Mesa lists its software renderer as a device too: that one is
// left for the surfaceless platform), then Mesa's surfaceless platform.
static bool open_context(bool gpu_only, std::string &why) {
    auto get_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    auto query_devices =
        reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    auto device_string = reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(
        eglGetProcAddress("eglQueryDeviceStringEXT"));
    if (!get_display) {
        why = "EGL has no platforms here";
        return false;
    }
    EGLDeviceEXT devices[16];
    EGLint count = 0;
    if (query_devices && device_string && query_devices(16, devices, &count)) {
        for (EGLint k = 0; k < count; ++k) {
            const char *ext = device_string(devices[k], EGL_EXTENSIONS);
            if (ext && std::strstr(ext, "EGL_MESA_device_software"))
                continue;
            EGLDisplay d = get_display(EGL_PLATFORM_DEVICE_EXT, devices[k], nullptr);
            std::string ignored;
            if (d != EGL_NO_DISPLAY && context_on(d, ignored)) {
                description = "an EGL device";
                return true;
            }
        }
    }
    if (gpu_only) {
        why = "no GPU offers EGL here";
        return false;
    }
    EGLDisplay d = get_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (d == EGL_NO_DISPLAY) {
        why = "neither a GPU nor Mesa's surfaceless EGL is there";
        return false;
    }
    if (!context_on(d, why))
        return false;
    description = "Mesa's surfaceless EGL";
    return true;
}

bool offscreen_open(int w, int h, bool gpu_only, std::string &error) {
    std::string why;
    if (!open_context(gpu_only, why)) {
        error = "no usable OpenGL: " + why;
        return false;
    }
    const char *renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    description =
        std::string(renderer ? renderer : "an unnamed renderer") + ", through " + description;
    GLint most = 0, viewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &most);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    most = std::min({most, viewport[0], viewport[1]});
    if (w > most || h > most) {
        error = "--size " + std::to_string(w) + "x" + std::to_string(h) +
                " is larger than this OpenGL draws: " + std::to_string(most) + " pixels a side";
        return false;
    }
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    // The picture is kept as a window's is, so that it is drawn as a window's is. llvmpipe draws
    // into 8-bit BGRA buffers, an X window's, with a rasteriser of its own that rounds colours
    // differently: an unsized GL_RGBA texture given BGRA data is stored that way (a GL_RGBA8
    // renderbuffer would be RGBA). And a window's rows are stored top-down, which changes where
    // interpolation starts: Mesa's flip_y gives a framebuffer object that orientation. Either
    // alone leaves a few hundred bytes of a frame of noise a step off the window's.
    glGenTextures(1, &colour);
    glBindTexture(GL_TEXTURE_2D, colour);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, nullptr);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, colour, 0);
    if (has_extension("GL_MESA_framebuffer_flip_y"))
        glFramebufferParameteri(GL_FRAMEBUFFER, GL_FRAMEBUFFER_FLIP_Y_MESA, GL_TRUE);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        error = "no usable OpenGL: it cannot draw a " + std::to_string(w) + "x" +
                std::to_string(h) + " picture";
        return false;
    }
    width = w;
    height = h;
    const GLsizeiptr bytes = static_cast<GLsizeiptr>(w) * h * 4;
    glGenBuffers(2, pack);
    for (GLuint b : pack) {
        glBindBuffer(GL_PIXEL_PACK_BUFFER, b);
        glBufferData(GL_PIXEL_PACK_BUFFER, bytes, nullptr, GL_STREAM_READ);
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    if (glGetError() != GL_NO_ERROR) {
        error = "no usable OpenGL: it has no room for a " + std::to_string(w) + "x" +
                std::to_string(h) + " picture";
        return false;
    }
    // a window starts black; so does this picture
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    paint_viewport(w, h);
    return true;
}

const std::string &offscreen_description() { return description; }

static const unsigned char *map(int k) {
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pack[k]);
    mapped[k] = true;
    return static_cast<const unsigned char *>(glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY));
}

static void unmap(int k) {
    if (mapped[k]) {
        glBindBuffer(GL_PIXEL_PACK_BUFFER, pack[k]);
        glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
        mapped[k] = false;
    }
}

const unsigned char *offscreen_read() {
    const int now = reads % 2, before = 1 - now;
    unmap(now);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pack[now]);
    glReadPixels(0, 0, width, height, GL_BGRA, GL_UNSIGNED_BYTE, nullptr); // into the buffer
    ++reads;
    if (reads == 1) {
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        return nullptr;
    }
    unmap(before);
    const unsigned char *pixels = map(before);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    return pixels;
}

const unsigned char *offscreen_last() {
    if (reads == 0)
        return nullptr;
    const int last = (reads - 1) % 2;
    unmap(last);
    const unsigned char *pixels = map(last);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    return pixels;
}

void offscreen_close() {
    if (display == EGL_NO_DISPLAY)
        return;
    if (context != EGL_NO_CONTEXT) {
        unmap(0);
        unmap(1);
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglDestroyContext(display, context);
    }
    eglTerminate(display);
    display = EGL_NO_DISPLAY;
    context = EGL_NO_CONTEXT;
    eglReleaseThread();
}
