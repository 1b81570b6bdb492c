// Writes the metaball veil's GLSL source in the show's marked-up format: a
// vertex section and a fragment section, no shared prologue. The source is
// kept here as text so that every embedded asset comes from a generator.
#include "assets/gen/gen_common.h"

#include <cstdio>

static const char SOURCE[] =
    "#vertexshader\n"
    "// the quad position, on z = 0\n"
    "varying vec3 point;\n"
    "void main()\n"
    "{\n"
    "    point = vec3(gl_Vertex.x, gl_Vertex.y, 0.0);\n"
    "    gl_Position = ftransform();\n"
    "}\n"
    "#fragmentshader\n"
    "// balls: centre in x, y; strength in z\n"
    "varying vec3 point;\n"
    "const int numballs = 6;\n"
    "uniform vec3 balls[numballs];\n"
    "float distancepow2(vec3 ball, vec3 p)\n"
    "{\n"
    "    float dx = ball.x - p.x;\n"
    "    float dy = ball.y - p.y;\n"
    "    return dx * dx + dy * dy;\n"
    "}\n"
    "void main()\n"
    "{\n"
    "    float value = 0.0;\n"
    "    for (int i = 0; i < numballs; i++)\n"
    "        value += (1.0 / distancepow2(balls[i], point)) * balls[i].z;\n"
    "    // weak field: veil; near a ball: a hole.\n"
    "    if (value < 0.3)\n"
    "        gl_FragColor = vec4(0.25, 0.125, 0.5, 0.75);\n"
    "    else\n"
    "        discard;\n"
    "}\n";

int main(int argc, char** argv) {
    GenArgs args =
        gen_parse_args(argc, argv, "vlorp-gen-shader", "metaball.glsl",
                       "Writes the metaball veil's GLSL source in the marked-up format.");
    if (!args.output) return args.exit_status;
    std::vector<uint8_t> bytes(SOURCE, SOURCE + sizeof SOURCE - 1);
    if (args.verbose) fprintf(stderr, "metaball.glsl: %zu bytes\n", bytes.size());
    return gen_write_file("vlorp-gen-shader", args.output, bytes) ? 0 : 1;
}
