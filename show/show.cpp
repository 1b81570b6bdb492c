// Setup and the three passes of every frame: pass 1 draws the sprite strip
// and caption into the first target, pass 2 lays the metaball veil over
// that image in the second target, pass 3 shows the second image on the
// screen, flat, tumbling or as a cube.
#include "show/show.h"
#include "assets/assets.h"
#include "gfx/font.h"
#include "gfx/gl.h"
#include "gfx/render_target.h"
#include "gfx/shader.h"

#include <cmath>

static Texture first_target;
static Texture second_target;
static Texture sprite_texture;
static SpriteStrip sprite_strip;
static uint32_t metaball_program;
static int32_t balls_location;
static float balls[BALL_COUNT][3];

void show_setup() {
    glEnable(GL_TEXTURE_2D);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_BLEND);
    glAlphaFunc(GL_GREATER, 0.0f);
    glEnable(GL_ALPHA_TEST);
    glColor4f(1, 1, 1, 1);

    font_build();
    shader_load_entry_points();
    fbo_load_entry_points();
    render_target_init(&framebuffer, &depth_renderbuffer, &first_target);
    texture_create_blank(&second_target, SCREEN_WIDTH, SCREEN_HEIGHT);
    tga_make_texture(&sprite_texture, embedded_sprite, TGA_MODE_COLOUR);
    sprite_strip = SpriteStrip{&sprite_texture, 4, 0.15f};
    metaball_program = shader_build_program(reinterpret_cast<const char*>(embedded_metaball_shader),
                                            int32_t(embedded_metaball_shader_size));
    balls_location = glGetUniformLocationARB(metaball_program, "balls");
    for (auto& ball : balls) ball[2] = BALL_STRENGTH;
}

// The texture bound to GL_TEXTURE_2D over the whole screen, rotated by
// `angle` degrees about `axis` through the screen centre.
static void fullscreen_quad_draw(double depth, double angle, double ax, double ay, double az) {
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0, SCREEN_WIDTH, 0, SCREEN_HEIGHT, -depth, depth);
    glTranslated(SCREEN_WIDTH / 2, SCREEN_HEIGHT / 2, 0);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    if (angle != 0.0) glRotated(angle, ax, ay, az);
    glTranslated(-SCREEN_WIDTH / 2, -SCREEN_HEIGHT / 2, 0);
    glBegin(GL_QUADS);
    glTexCoord2f(1, 0);
    glVertex2f(SCREEN_WIDTH, 0);
    glTexCoord2f(1, 1);
    glVertex2f(SCREEN_WIDTH, SCREEN_HEIGHT);
    glTexCoord2f(0, 1);
    glVertex2f(0, SCREEN_HEIGHT);
    glTexCoord2f(0, 0);
    glVertex2f(0, 0);
    glEnd();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

static void pass_sprite_and_caption(double t, const ShowLook& look) {
    render_target_bind(&first_target);
    if (look.green_flash)
        glClearColor(0.5f, 1.0f, 0.6f, 1.0f);
    else
        glClearColor(0.5f, 0.6f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glPushMatrix();

    font_draw_text(look.caption_x, 10, SHOW_CAPTION);

    glTranslated(0, 0, -3);
    glPushMatrix();
    if (look.sprite_turns) glRotated(look.sprite_angle, 0, 0, 1);
    sprite_strip.frame_duration = look.sprite_frame_duration;
    sprite_strip_draw(&sprite_strip, t);
    glPopMatrix();
    glPopMatrix();
}

static void pass_metaballs(double t, float intensity) {
    render_target_bind(&second_target);
    glClearColor(0.5f, 0.6f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glBindTexture(GL_TEXTURE_2D, first_target.name);
    fullscreen_quad_draw(1, 0, 0, 0, 0);

    glDisable(GL_DEPTH_TEST);
    glUseProgramObjectARB(metaball_program);
    glPushMatrix();
    glTranslated(0, 0, -3);
    metaball_positions(t, intensity, balls);
    glUniform3fvARB(balls_location, BALL_COUNT, &balls[0][0]);
    glDisable(GL_TEXTURE_2D);
    glBegin(GL_QUADS);
    glVertex3f(-3, -3, 0);
    glVertex3f(3, -3, 0);
    glVertex3f(3, 3, 0);
    glVertex3f(-3, 3, 0);
    glEnd();
    glEnable(GL_TEXTURE_2D);
    glPopMatrix();
    glUseProgramObjectARB(0);
    glEnable(GL_DEPTH_TEST);
}

static void pass_screen(const ShowLook& look) {
    render_target_bind(nullptr);
    glClearColor(1.0f, 0.6f, 0.5f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glBindTexture(GL_TEXTURE_2D, second_target.name);
    if (!look.cube) {
        fullscreen_quad_draw(480, look.screen_angle, 1, 0.7, 0.2);
        return;
    }
    if (look.cube_blended) glEnable(GL_BLEND);
    glPushMatrix();
    const double s = look.cube_seconds;
    glTranslated(0, 0, sin(s) - 5);
    glRotated(150 * s, 1, 0.7, 0.3);
    cube_draw();
    glPopMatrix();
    if (look.cube_blended) glDisable(GL_BLEND);
}

void show_frame(double t, int32_t order, int32_t row) {
    const ShowLook look = show_look(&show_state, t, order, row);
    if (look.blending)
        glEnable(GL_BLEND);
    else
        glDisable(GL_BLEND);
    if (look.title_card) {
        show_title_card();
        return;
    }
    pass_sprite_and_caption(t, look);
    pass_metaballs(t, look.intensity);
    pass_screen(look);
}
