#include "gfx/shader.h"
#include "gfx/gl.h"

#include <cstring>

#define GFX_DEFINE_ENTRY_POINT(type, name) type gfx_##name;
GFX_SHADER_ENTRY_POINTS(GFX_DEFINE_ENTRY_POINT)
#undef GFX_DEFINE_ENTRY_POINT

void shader_load_entry_points() {
#define GFX_FETCH_ENTRY_POINT(type, name)                                                          \
    gfx_##name = reinterpret_cast<type>(gfx_gl_proc_address(#name));
    GFX_SHADER_ENTRY_POINTS(GFX_FETCH_ENTRY_POINT)
#undef GFX_FETCH_ENTRY_POINT
}

static bool line_is(const char* line, size_t length, const char* marker) {
    return length == strlen(marker) && memcmp(line, marker, length) == 0;
}

bool shader_split_source(const char* source, int32_t length, std::string* vertex,
                         std::string* fragment) {
    vertex->clear();
    fragment->clear();
    if (length < 0 || length > SHADER_SOURCE_MAX) return false;
    // The source need not be zero-terminated, but the split stops at a zero
    // byte, as it would in a terminated working copy.
    const char* end = source + length;
    const char* nul = static_cast<const char*>(memchr(source, 0, size_t(length)));
    if (nul) end = nul;

    constexpr int32_t BOTH = 0, VERTEX = 1, FRAGMENT = 2;
    int32_t section = BOTH;
    const char* p = source;
    while (p < end) {
        while (p < end && (*p == '\r' || *p == '\n')) p++;
        if (p == end) break;
        const char* line = p;
        while (p < end && *p != '\r' && *p != '\n') p++;
        const size_t n = size_t(p - line);
        if (line_is(line, n, "#fragmentshader")) {
            section = FRAGMENT;
        } else if (line_is(line, n, "#vertexshader")) {
            section = VERTEX;
        } else {
            if (section != FRAGMENT) vertex->append(line, n);
            if (section != VERTEX) fragment->append(line, n);
        }
        vertex->push_back('\n');
        fragment->push_back('\n');
    }
    return true;
}

uint32_t shader_build_program(const char* source, int32_t length) {
    std::string vertex_text, fragment_text;
    if (!shader_split_source(source, length, &vertex_text, &fragment_text)) return 0;

    const GLcharARB* text = vertex_text.c_str();
    GLhandleARB vertex = glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB);
    glShaderSourceARB(vertex, 1, &text, nullptr);
    glCompileShaderARB(vertex);

    text = fragment_text.c_str();
    GLhandleARB fragment = glCreateShaderObjectARB(GL_FRAGMENT_SHADER_ARB);
    glShaderSourceARB(fragment, 1, &text, nullptr);
    glCompileShaderARB(fragment);

    GLhandleARB program = glCreateProgramObjectARB();
    glAttachObjectARB(program, vertex);
    glAttachObjectARB(program, fragment);
    glLinkProgramARB(program);
    return program;
}
