// Graphics resources: the marked-up shader splitter, TGA decoding, and,
// with a GL context, textures, render targets and font placement read
// back from the framebuffer.
#include "gfx/font.h"
#include "gfx/gl.h"
#include "gfx/render_target.h"
#include "gfx/shader.h"
#include "gfx/tga.h"
#include "tests/gl_support.h"

#include <gtest/gtest.h>
#include <cstring>

// ---- shader source splitting ----

static void split(const std::string& source, std::string* v, std::string* f) {
    ASSERT_TRUE(shader_split_source(source.data(), int32_t(source.size()), v, f));
}

TEST(ShaderSplit, NoMarkerGivesTwoIdenticalStages) {
    std::string v, f;
    split("void main()\n{\n}", &v, &f);
    EXPECT_EQ(v, "void main()\n{\n}\n");
    EXPECT_EQ(f, v);
}

TEST(ShaderSplit, SectionsKeepOneLinePerSourceLine) {
    std::string v, f;
    split("shared\n#vertexshader\nv1\n#fragmentshader\nf1\n#vertexshader\nv2\n", &v, &f);
    EXPECT_EQ(v, "shared\n\nv1\n\n\n\nv2\n");
    EXPECT_EQ(f, "shared\n\n\n\nf1\n\n\n");
}

TEST(ShaderSplit, SeparatorsAndNearMissMarkers) {
    std::string lf_v, lf_f, crlf_v, crlf_f;
    split("#vertexshader\na\n\n\nb\n#fragmentshader\nc\n", &lf_v, &lf_f);
    split("#vertexshader\r\na\r\n\r\n\r\nb\r\n#fragmentshader\r\nc\r\n", &crlf_v, &crlf_f);
    EXPECT_EQ(lf_v, crlf_v); // CR LF and bare LF, and empty lines vanish
    EXPECT_EQ(lf_f, crlf_f);
    EXPECT_EQ(lf_v, "\na\nb\n\n\n");

    std::string v, f;
    // A marker with a trailing blank or a leading tab is code; blank-only lines stay.
    split("#vertexshader \n\t#fragmentshader\n  \n#Vertexshader", &v, &f);
    EXPECT_EQ(v, "#vertexshader \n\t#fragmentshader\n  \n#Vertexshader\n");
    EXPECT_EQ(f, v);
}

TEST(ShaderSplit, LengthBoundsTheSource) {
    std::string v, f;
    const char buffer[] = "#vertexshader\nkept\nGARBAGE";
    ASSERT_TRUE(shader_split_source(buffer, 19, &v, &f)); // stops before GARBAGE
    EXPECT_EQ(v, "\nkept\n");

    std::string longest(SHADER_SOURCE_MAX, 'x');
    EXPECT_TRUE(shader_split_source(longest.data(), int32_t(longest.size()), &v, &f));
    EXPECT_EQ(v.size(), longest.size() + 1);
    longest.push_back('x');
    EXPECT_FALSE(shader_split_source(longest.data(), int32_t(longest.size()), &v, &f));
}

// ---- TGA decoding ----

static std::vector<uint8_t> decoded(const std::vector<uint8_t>& image, int32_t mode,
                                    uint32_t* format, size_t bytes) {
    int32_t w = 0, h = 0;
    const uint8_t* pixels = tga_decode(image.data(), mode, format, &w, &h);
    if (!pixels) return {};
    return std::vector<uint8_t>(pixels, pixels + bytes);
}

TEST(Tga, UncompressedTrueColourUploadsInPlace) {
    auto image = tga_image(2, 2, 1, 32, {1, 2, 3, 4, 5, 6, 7, 8});
    image[0] = 9; // an ID length is not read: data still starts at 18
    uint32_t format = 0;
    int32_t w = 0, h = 0;
    EXPECT_EQ(tga_decode(image.data(), TGA_MODE_COLOUR, &format, &w, &h), image.data() + 18);
    EXPECT_EQ(format, uint32_t(GL_BGRA));
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 1);
    image = tga_image(2, 1, 1, 24, {1, 2, 3});
    tga_decode(image.data(), TGA_MODE_COLOUR, &format, &w, &h);
    EXPECT_EQ(format, uint32_t(GL_BGR));
}

TEST(Tga, UnsupportedDepthShowsTheMessageAndMakesNothing) {
    gl_test_messages.clear();
    auto image = tga_image(2, 2, 2, 16, std::vector<uint8_t>(8, 0));
    uint32_t format = 0;
    EXPECT_TRUE(decoded(image, TGA_MODE_COLOUR, &format, 0).empty());
    ASSERT_EQ(gl_test_messages.size(), 1u);
    EXPECT_EQ(gl_test_messages[0], "Something went wrong sir.");
}

TEST(Tga, RunLengthPackets) {
    // 1 + 128 + 128 + 15 = 272 = 16 x 17 pixels of 3 bytes.
    std::vector<uint8_t> data = {0x80, 1, 2, 3, 0xFF, 4, 5, 6, 0x7F};
    for (int i = 0; i < 128; i++) data.insert(data.end(), {uint8_t(i), 0, 7});
    data.push_back(0x8E);
    data.insert(data.end(), {9, 9, 9});
    uint32_t format = 0;
    auto px = decoded(tga_image(10, 16, 17, 24, data), TGA_MODE_COLOUR, &format, 272 * 3);
    ASSERT_EQ(px.size(), 272u * 3);
    EXPECT_EQ(format, uint32_t(GL_BGR));
    EXPECT_EQ(std::vector<uint8_t>(px.begin(), px.begin() + 3), (std::vector<uint8_t>{1, 2, 3}));
    for (int i = 1; i <= 128; i++) EXPECT_EQ(px[i * 3 + 2], 6) << i;
    for (int i = 0; i < 128; i++) EXPECT_EQ(px[(129 + i) * 3], i) << i;
    EXPECT_EQ(px[271 * 3], 9);
}

TEST(Tga, RunLengthStopsAtTheLastPixel) {
    // Two pixels; the first packet runs past them; the next must not be read.
    std::vector<uint8_t> data = {0x83, 1, 2, 3, 4};
    uint32_t format = 0;
    auto px = decoded(tga_image(10, 2, 1, 32, data), TGA_MODE_COLOUR, &format, 16);
    ASSERT_FALSE(px.empty());
    EXPECT_EQ(format, uint32_t(GL_BGRA));
    for (int i = 0; i < 4; i++) EXPECT_EQ(px[i * 4 + 3], 4);
}

TEST(Tga, RunLengthImageLargerThanTheBufferIsRefused) {
    // 1024 x 512 x 4 bytes is 2 MiB: decoding it would overrun the buffer.
    std::vector<uint8_t> data;
    for (int i = 0; i < 1024 * 512 / 128; i++) data.insert(data.end(), {0xFF, 1, 2, 3, 4});
    int32_t w = 0, h = 0;
    uint32_t format = 0;
    auto image = tga_image(10, 1024, 512, 32, data);
    EXPECT_EQ(tga_decode(image.data(), TGA_MODE_COLOUR, &format, &w, &h), nullptr);
}

TEST(Tga, ColourMappedEntriesAreCopied) {
    // Three 24-bit entries, then one index per pixel.
    std::vector<uint8_t> data = {10, 11, 12, 20, 21, 22, 30, 31, 32, 2, 0, 1, 2};
    uint32_t format = 0;
    auto px = decoded(tga_image(1, 2, 2, 8, data, 3, 24), TGA_MODE_COLOUR, &format, 12);
    EXPECT_EQ(format, uint32_t(GL_BGR));
    EXPECT_EQ(px, (std::vector<uint8_t>{30, 31, 32, 10, 11, 12, 20, 21, 22, 30, 31, 32}));

    data = {1, 2, 3, 4, 5, 6, 7, 8, 1, 0};
    px = decoded(tga_image(1, 2, 1, 8, data, 2, 32), TGA_MODE_COLOUR, &format, 8);
    EXPECT_EQ(format, uint32_t(GL_BGRA));
    EXPECT_EQ(px, (std::vector<uint8_t>{5, 6, 7, 8, 1, 2, 3, 4}));
}

TEST(Tga, AlphaModeMakesWhiteTexels) {
    uint32_t format = 0;
    auto px = decoded(tga_image(3, 3, 1, 8, {0, 128, 255}), TGA_MODE_ALPHA, &format, 12);
    EXPECT_EQ(format, uint32_t(GL_RGBA));
    EXPECT_EQ(px, (std::vector<uint8_t>{255, 255, 255, 0, 255, 255, 255, 128, 255, 255, 255, 255}));

    // Past 32 768 pixels the colour stays white too.
    std::vector<uint8_t> grey(256 * 256, 7);
    px = decoded(tga_image(3, 256, 256, 8, grey), TGA_MODE_ALPHA, &format, 256 * 256 * 4);
    ASSERT_EQ(px.size(), 256u * 256 * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
        ASSERT_EQ(px[i], 255) << i;
        ASSERT_EQ(px[i + 3], 7) << i;
    }
}

TEST(Tga, InvalidModesAndTypesMakeNothing) {
    auto image = tga_image(2, 1, 1, 32, {1, 2, 3, 4});
    uint32_t format = 0;
    EXPECT_TRUE(decoded(image, 0, &format, 4).empty());
    EXPECT_TRUE(decoded(image, 3, &format, 4).empty());
    // Greyscale in colour mode has no colour decoding.
    EXPECT_TRUE(decoded(tga_image(3, 1, 1, 8, {5}), TGA_MODE_COLOUR, &format, 1).empty());
}

// ---- with GL ----

static std::vector<uint8_t> texels(const Texture& texture) {
    std::vector<uint8_t> out(size_t(texture.width) * texture.height * 4);
    glBindTexture(GL_TEXTURE_2D, texture.name);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, out.data());
    return out;
}

TEST(TgaTexture, UploadsBgrAndBgraAsRgba) {
    REQUIRE_GL();
    Texture bgra = {};
    auto image = tga_image(2, 2, 1, 32, {1, 2, 3, 4, 5, 6, 7, 0});
    tga_make_texture(&bgra, image.data(), TGA_MODE_COLOUR);
    ASSERT_NE(bgra.name, 0u);
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(GLuint(bound), bgra.name);
    EXPECT_EQ(texels(bgra), (std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 0}));

    Texture bgr = {};
    image = tga_image(2, 3, 1, 24, {1, 2, 3, 4, 5, 6, 7, 8, 9}); // rows not 4-byte aligned
    tga_make_texture(&bgr, image.data(), TGA_MODE_COLOUR);
    EXPECT_EQ(texels(bgr), (std::vector<uint8_t>{3, 2, 1, 255, 6, 5, 4, 255, 9, 8, 7, 255}));

    Texture untouched = {0, -5, -5};
    tga_make_texture(&untouched, image.data(), 0);
    EXPECT_EQ(untouched.name, 0u);
    EXPECT_EQ(untouched.width, -5);
}

// Screen-pixel drawing state as the show sets it up.
static void screen_state() {
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glViewport(0, 0, 640, 480);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glEnable(GL_TEXTURE_2D);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_BLEND);
    glAlphaFunc(GL_GREATER, 0.0f);
    glEnable(GL_ALPHA_TEST);
    glEnable(GL_DEPTH_TEST);
    glColor4f(1, 1, 1, 1);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

class RenderTargetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_GL();
        shader_load_entry_points();
        fbo_load_entry_points();
    }
};

TEST_F(RenderTargetTest, BindsTargetAndScreenAndSamplesClamped) {
    Texture target = {};
    render_target_init(&framebuffer, &depth_renderbuffer, &target);
    EXPECT_EQ(target.width, 640);
    EXPECT_EQ(target.height, 480);
    GLint binding = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &binding);
    EXPECT_EQ(binding, 0);

    // Left half red, right half blue, drawn into the target.
    render_target_bind(&target);
    auto check_status = reinterpret_cast<PFNGLCHECKFRAMEBUFFERSTATUSEXTPROC>(
        gfx_gl_proc_address("glCheckFramebufferStatusEXT"));
    EXPECT_EQ(check_status(GL_FRAMEBUFFER_EXT), GLenum(GL_FRAMEBUFFER_COMPLETE_EXT));
    glClearColor(1, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_SCISSOR_TEST);
    glScissor(320, 0, 320, 480);
    glClearColor(0, 0, 1, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);

    glViewport(0, 0, 10, 10);
    render_target_bind(nullptr);
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 640);
    EXPECT_EQ(viewport[3], 480);
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &binding);
    EXPECT_EQ(binding, 0);

    // Sampled past its right edge the target clamps: every sample is the
    // blue edge texel filtered half and half with the black border.
    screen_state();
    glDisable(GL_BLEND);
    glMatrixMode(GL_PROJECTION);
    glOrtho(0, 640, 0, 480, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glBindTexture(GL_TEXTURE_2D, target.name);
    glBegin(GL_QUADS);
    glTexCoord2f(1.5f, 0);
    glVertex2f(0, 0);
    glTexCoord2f(2.5f, 0);
    glVertex2f(640, 0);
    glTexCoord2f(2.5f, 1);
    glVertex2f(640, 480);
    glTexCoord2f(1.5f, 1);
    glVertex2f(0, 480);
    glEnd();
    for (int x : {0, 320, 639}) {
        Rgba p = gl_test_pixel(x, 240);
        EXPECT_EQ(p.r, 0) << x;
        EXPECT_NEAR(p.b, 128, 1) << x;
    }
}

// A font image whose glyph cells are opaque squares, except 'T', which is
// opaque in its top half only, and space, which is empty.
static std::vector<uint8_t> test_font() {
    std::vector<uint8_t> pixels(256 * 128, 255);
    auto cell = [&](int code, int x, int y) -> uint8_t& {
        const int i = code - 32;
        const int row_from_top = (i / 16) * 16 + y;
        return pixels[size_t(127 - row_from_top) * 256 + (i % 16) * 16 + x]; // bottom row first
    };
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++) {
            cell(' ', x, y) = 0;
            if (y >= 8) cell('T', x, y) = 0;
        }
    return tga_image(3, 256, 128, 8, pixels);
}

static bool white(Rgba p) {
    return p.r > 250 && p.g > 250 && p.b > 250;
}

TEST(Font, GlyphsLandWhereTheTextIsPlaced) {
    REQUIRE_GL();
    static const auto image = test_font();
    font_build_image(image.data());
    screen_state();
    GLint depth_before = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth_before);

    font_draw_text(100, 50, "AB"); // spans 52 x 32 from (100, 50)
    EXPECT_TRUE(white(gl_test_pixel(100, 50)));
    EXPECT_TRUE(white(gl_test_pixel(151, 81)));
    EXPECT_FALSE(white(gl_test_pixel(99, 60)));
    EXPECT_FALSE(white(gl_test_pixel(152, 60)));
    EXPECT_FALSE(white(gl_test_pixel(120, 49)));
    EXPECT_FALSE(white(gl_test_pixel(120, 82)));

    // A code below 32 draws nothing and does not move the pen.
    font_draw_text(100, 150,
                   "A\x01"
                   "B ");
    EXPECT_TRUE(white(gl_test_pixel(151, 160)));
    EXPECT_FALSE(white(gl_test_pixel(160, 160))); // the space is empty

    // The top half of the 'T' cell is opaque: upright glyphs.
    font_draw_text(300, 300, "T");
    EXPECT_TRUE(white(gl_test_pixel(310, 305)));
    EXPECT_FALSE(white(gl_test_pixel(310, 325)));

    // Clipped at the left edge.
    font_draw_text(-2, 400, "AA");
    EXPECT_TRUE(white(gl_test_pixel(0, 410)));

    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    GLint depth_after = 0, mode = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth_after);
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(depth_after, depth_before);
    EXPECT_EQ(mode, GL_MODELVIEW);
    EXPECT_EQ(font_text_width(25), 512); // "Thanks for a great party!"
}
