// The show: timeline bookkeeping and the intensity envelope as plain
// functions, then whole frames read back, with the colours worked out from
// the blend state.
#include "gfx/font.h"
#include "gfx/gl.h"
#include "show/show.h"
#include "tests/gl_support.h"

#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <vector>

TEST(Timeline, RecordsWhenEachOrderWasLastEntered) {
    Timeline tl;
    timeline_reset(&tl);
    EXPECT_EQ(tl.last_order, -1);
    timeline_note_order(&tl, 0, 0.0);
    timeline_note_order(&tl, 2, 5.5);
    timeline_note_order(&tl, 2, 6.0); // same order: keeps its start
    EXPECT_EQ(timeline_order_start(&tl, 2), 5.5);
    timeline_note_order(&tl, 3, 8.0);
    timeline_note_order(&tl, 2, 9.0); // jumping back restarts it
    EXPECT_EQ(timeline_order_start(&tl, 2), 9.0);
    EXPECT_EQ(timeline_order_start(&tl, 3), 8.0);
    EXPECT_EQ(timeline_order_start(&tl, 10), 0.0); // skipped: measured from 0

    // Positions outside the table are not timed, but still count as a change.
    timeline_note_order(&tl, 25, 12.0);
    timeline_note_order(&tl, -1, 13.0);
    EXPECT_EQ(tl.last_order, -1);
    EXPECT_EQ(timeline_order_start(&tl, 25), 0.0);
    timeline_note_order(&tl, 3, 14.0);
    EXPECT_EQ(timeline_order_start(&tl, 3), 14.0);
}

TEST(Intensity, RisesHoldsBurstsAndFalls) {
    EXPECT_EQ(show_intensity(0.0), 0.0f);
    EXPECT_EQ(show_intensity(19.999), 0.0f);
    EXPECT_EQ(show_intensity(20.0), 0.0f);
    EXPECT_FLOAT_EQ(show_intensity(25.0), 0.5f);
    EXPECT_FLOAT_EQ(show_intensity(28.9), 0.89f);
    EXPECT_EQ(show_intensity(29.5), 0.9f);
    EXPECT_EQ(show_intensity(100.0), 0.9f);
    EXPECT_GT(show_intensity(100.001), 0.99f); // above the plateau just after 100 s
    EXPECT_FLOAT_EQ(show_intensity(105.0), 0.5f);
    EXPECT_EQ(show_intensity(110.0), 0.0f);
}

TEST(SpriteStrip, FrameByTruncatedQuotient) {
    SpriteStrip strip = {nullptr, 4, double(0.15f)};
    EXPECT_EQ(sprite_strip_frame(&strip, 0.0), 0);
    EXPECT_EQ(sprite_strip_frame(&strip, 0.7), 0); // 4.67 -> 4 -> 0
    EXPECT_EQ(sprite_strip_frame(&strip, 0.6), 3); // just below 4 with the float 0.15
    EXPECT_EQ(sprite_strip_frame(&strip, 0.31), 2);
    strip.frame_duration = 10.0; // order 0
    EXPECT_EQ(sprite_strip_frame(&strip, 9.99), 0);
    EXPECT_EQ(sprite_strip_frame(&strip, 10.0), 1);
    EXPECT_EQ(sprite_strip_frame(&strip, 45.0), 0);
}

TEST(Metaballs, StayWithinTheIntensity) {
    float balls[BALL_COUNT][3];
    metaball_positions(12.3, 0.0f, balls); // before 20 s: all at the centre
    for (auto& b : balls) EXPECT_TRUE(b[0] == 0.0f && b[1] == 0.0f && b[2] == 0.07f);
    for (double t = 0; t < 60; t += 0.37) {
        metaball_positions(t, 0.9f, balls);
        for (auto& b : balls) ASSERT_TRUE(std::abs(b[0]) <= 0.9f && std::abs(b[1]) <= 0.9f) << t;
    }
}

// ---- phases, through the look of the frames either side of each boundary ----

// The frame just before and just after order `order` starts, 20 ms apart,
// on row 0 (a fourth row, so the row rules apply too).
static void looks_around(int32_t order, ShowLook* before, ShowLook* after) {
    ShowState state;
    show_state_reset(&state);
    const double t = 10.0 * order + 5.0;
    *before = show_look(&state, t, order - 1, 60);
    *before = show_look(&state, t + 0.02, order - 1, 0);
    *after = show_look(&state, t + 0.04, order, 0);
}

TEST(ShowPhases, SpriteStripSpeedsUpAtOrderOne) {
    ShowLook before, after;
    looks_around(1, &before, &after);
    EXPECT_EQ(before.sprite_frame_duration, 10.0);
    EXPECT_EQ(after.sprite_frame_duration, double(0.15f));
}

TEST(ShowPhases, SpriteStripSpinsFromOrderTwoCountedFromItsStart) {
    ShowLook before, after;
    looks_around(2, &before, &after);
    EXPECT_FALSE(before.sprite_turns);
    EXPECT_TRUE(after.sprite_turns);
    EXPECT_EQ(after.sprite_angle, 0.0);
}

TEST(ShowPhases, CaptionWobblesFromOrderThree) {
    ShowLook before, after;
    looks_around(3, &before, &after);
    EXPECT_EQ(before.caption_x, 100);
    EXPECT_EQ(after.caption_x, 100); // sin(0): the wobble starts at rest
    ShowState state;
    show_state_reset(&state);
    show_look(&state, 30.0, 3, 0);
    EXPECT_EQ(show_look(&state, 30.05, 3, 1).caption_x, int32_t(float(100 + 20 * sin(0.5))));
}

TEST(ShowPhases, GreenFlashFromOrderSevenOnFourthRowsOnly) {
    ShowLook before, after;
    looks_around(7, &before, &after);
    EXPECT_FALSE(before.green_flash);
    EXPECT_TRUE(after.green_flash);
    ShowState state;
    show_state_reset(&state);
    EXPECT_FALSE(show_look(&state, 50.0, 7, 3).green_flash);
    EXPECT_TRUE(show_look(&state, 50.1, 7, 4).green_flash);
    EXPECT_FALSE(show_look(&state, 50.2, 7, 5).green_flash);
}

TEST(ShowPhases, FlatQuadTumblesFromOrderTenCountedFromItsStart) {
    ShowLook before, after;
    looks_around(10, &before, &after);
    EXPECT_EQ(before.screen_angle, 0.0);
    EXPECT_EQ(after.screen_angle, 0.0);
    EXPECT_FALSE(after.cube);
    ShowState state;
    show_state_reset(&state);
    show_look(&state, 70.0, 10, 0);
    EXPECT_DOUBLE_EQ(show_look(&state, 70.5, 10, 5).screen_angle, 50.0);
}

TEST(ShowPhases, CubeFromOrderThirteenAndItsFirstFourthRowEndsBlending) {
    ShowLook before, after;
    looks_around(13, &before, &after);
    EXPECT_FALSE(before.cube);
    EXPECT_TRUE(after.cube);
    EXPECT_EQ(after.cube_seconds, 0.0);
    EXPECT_TRUE(after.cube_blended);
    EXPECT_TRUE(after.blending); // switched off behind this frame, not during it

    ShowState state;
    show_state_reset(&state);
    EXPECT_TRUE(show_look(&state, 80.0, 12, 0).blending);
    EXPECT_FALSE(state.blending_off); // order 12's fourth rows leave blending on
    show_look(&state, 82.6, 13, 1);
    EXPECT_FALSE(state.blending_off); // not a fourth row
    show_look(&state, 82.7, 13, 4);
    EXPECT_TRUE(state.blending_off);
    const ShowLook later = show_look(&state, 82.8, 13, 5);
    EXPECT_FALSE(later.blending);
    EXPECT_FALSE(later.cube_blended);
    EXPECT_FALSE(show_look(&state, 115.0, 18, 0).blending); // the title card too
}

TEST(ShowPhases, TitleCardAfterOneHundredTenAndItLeavesBlendingAlone) {
    ShowState state;
    show_state_reset(&state);
    EXPECT_FALSE(show_look(&state, TITLE_CARD_TIME, 13, 1).title_card);
    const ShowLook card = show_look(&state, std::nextafter(TITLE_CARD_TIME, 200.0), 13, 4);
    EXPECT_TRUE(card.title_card);
    EXPECT_FALSE(state.blending_off); // a cube row behind the card draws no cube
    EXPECT_TRUE(show_look(&state, 111.0, 13, 8).blending);
}

TEST(ShowBlocks, TimesAndFramesMapToTheBlockBeingHeard) {
    EXPECT_EQ(show_block_at(0.0), 0);
    const double second_block = double(BLOCK_FRAMES) / MIX_RATE;
    EXPECT_EQ(show_block_start(1), second_block);
    EXPECT_EQ(show_block_at(second_block), 1);
    EXPECT_EQ(show_block_at(std::nextafter(second_block, 0.0)), 0);
    // At 60 fps frame n is heard in block n * 44100 / (884 * 60).
    EXPECT_EQ(show_block_at_frame(1, 60), 0);
    EXPECT_EQ(show_block_at_frame(2, 60), 1);                    // 88200 / 53040
    EXPECT_EQ(show_block_at_frame(3, 60), 2);                    // 132300 / 53040 = 2.49
    EXPECT_EQ(show_block_at_frame(3 * 60 * 884, 60), 3 * 44100); // whole seconds land exactly
}

TEST(ShowReplay, EarlierBlocksActAsFramesTheHeardOneOnlyStartsItsOrder) {
    // Blocks 0-9 at order 12, 10-19 at order 13 (row = block), then t in block 14.
    std::vector<TimeInfo> blocks(20);
    for (int k = 0; k < 20; k++)
        blocks[size_t(k)] = TimeInfo{uint8_t(k < 10 ? 12 : 13), uint8_t(k), 0};
    ShowState state;
    show_state_reset(&state);
    show_replay(&state, blocks.data(), show_block_start(12) + 0.001);
    EXPECT_EQ(timeline_order_start(&state.timeline, 13), show_block_start(10));
    EXPECT_EQ(timeline_order_start(&state.timeline, 12), 0.0);
    EXPECT_FALSE(state.blending_off); // rows 10 and 11 are no fourth rows; 12 is the frame itself

    show_state_reset(&state);
    show_replay(&state, blocks.data(), show_block_start(13));
    EXPECT_TRUE(state.blending_off); // block 12 (row 12) came before

    // The order heard at t starts when its block did, not at t.
    show_state_reset(&state);
    show_replay(&state, blocks.data(), show_block_start(10) + 0.01);
    EXPECT_EQ(timeline_order_start(&state.timeline, 13), show_block_start(10));
    EXPECT_EQ(state.timeline.last_order, 13);
}

// ---- frames ----

struct Colour {
    double r, g, b, a;
};
// What GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA blending leaves in the target.
static Colour blend(Colour src, Colour dst) {
    const double s = src.a;
    return {src.r * s + dst.r * (1 - s), src.g * s + dst.g * (1 - s), src.b * s + dst.b * (1 - s),
            src.a * s + dst.a * (1 - s)};
}
static Colour quantised(Colour c) { // an 8-bit render target in between
    auto q = [](double v) { return std::round(v * 255) / 255; };
    return {q(c.r), q(c.g), q(c.b), q(c.a)};
}

constexpr Colour PASS_CLEAR = {0.5, 0.6, 1.0, 1.0};
constexpr Colour GREEN_CLEAR = {0.5, 1.0, 0.6, 1.0};
constexpr Colour SCREEN_CLEAR = {1.0, 0.6, 0.5, 1.0};
constexpr Colour VEIL = {0.25, 0.125, 0.5, 0.75};

// The final colour of a spot where pass 1 shows only its background.
static Colour through_passes(Colour pass1, bool veiled) {
    Colour pass2 = blend(pass1, PASS_CLEAR);
    if (veiled) pass2 = quantised(blend(VEIL, pass2));
    return blend(pass2, SCREEN_CLEAR);
}

static void expect_colour(int x, int y, Colour want, const char* what) {
    const Rgba p = gl_test_pixel(x, y);
    EXPECT_NEAR(p.r, want.r * 255, 2.5) << what << " at " << x << "," << y;
    EXPECT_NEAR(p.g, want.g * 255, 2.5) << what << " at " << x << "," << y;
    EXPECT_NEAR(p.b, want.b * 255, 2.5) << what << " at " << x << "," << y;
}

static bool same_rgb(Rgba p, Colour c) {
    return std::abs(p.r - c.r * 255) < 2.5 && std::abs(p.g - c.g * 255) < 2.5 &&
           std::abs(p.b - c.b * 255) < 2.5;
}

// Spots (screen pixels, y down) clear of the sprite strip (a 2 x 2 square
// 3 units away: within 194 pixels of the centre) and of the caption.
constexpr int HOLE_X = 320, HOLE_Y = 455; // 215 px below the centre: inside the 228 px hole
constexpr int VEIL_X = 5, VEIL_Y = 470;   // a corner: outside any hole

class ShowFrame : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string reason;
        if (!gl_test_context(&reason)) return;
        glViewport(0, 0, 640, 480);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluPerspective(45.0, double(1.33f), 0.1, 100.0);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glClearColor(0.5f, 0.6f, 1.0f, 0.0f);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_LEQUAL);
        show_setup();
        ready = true;
    }
    void SetUp() override {
        REQUIRE_GL();
        ASSERT_TRUE(ready);
        show_state_reset(&show_state);
    }
    static bool ready;
};
bool ShowFrame::ready = false;

TEST_F(ShowFrame, BeforeTwentySecondsOneCentredHoleInTheVeil) {
    show_frame(10.0, 0, 1);
    expect_colour(HOLE_X, HOLE_Y, through_passes(PASS_CLEAR, false), "hole");
    expect_colour(VEIL_X, VEIL_Y, through_passes(PASS_CLEAR, true), "veil");
    expect_colour(635, 240, through_passes(PASS_CLEAR, true), "veil right");
    // The hole is round: as wide as it is high.
    expect_colour(320 + 215, 240, through_passes(PASS_CLEAR, false), "hole right");
    expect_colour(320 - 240, 240, through_passes(PASS_CLEAR, true), "beyond the hole");
}

TEST_F(ShowFrame, GreenFlashOnEveryFourthRowFromOrderSeven) {
    show_frame(10.0, 7, 8);
    expect_colour(HOLE_X, HOLE_Y, through_passes(GREEN_CLEAR, false), "flash");
    show_frame(10.02, 7, 9);
    expect_colour(HOLE_X, HOLE_Y, through_passes(PASS_CLEAR, false), "no flash");
    show_frame(10.04, 6, 12);
    expect_colour(HOLE_X, HOLE_Y, through_passes(PASS_CLEAR, false), "before order 7");
}

TEST_F(ShowFrame, TheCaptionSitsAtTheTop) {
    show_frame(10.0, 0, 1);
    // Caption at (100, 10): 23 glyphs span 472 pixels; nothing white elsewhere up there.
    const auto frame = gl_test_read_frame();
    int inside = 0, outside = 0;
    for (int y = 0; y < 46; y++)
        for (int x = 0; x < 640; x++) {
            const Rgba p = frame_pixel(frame, x, y);
            if (p.r < 200 || p.g < 200) continue;
            const bool in_box = x >= 100 && x < 100 + font_text_width(23) && y >= 10 && y < 42;
            (in_box ? inside : outside)++;
        }
    EXPECT_GT(inside, 0);
    EXPECT_EQ(outside, 0);
}

TEST_F(ShowFrame, AtOneHundredTenTheVeilStillShowsAfterItTheTitleCard) {
    show_frame(110.0, 5, 1);
    expect_colour(VEIL_X, VEIL_Y, through_passes(PASS_CLEAR, true), "veil at 110");
    show_frame(110.001, 5, 1);
    expect_colour(VEIL_X, VEIL_Y, PASS_CLEAR, "title card background");
}

TEST_F(ShowFrame, TitleCardTextsWhereTheyBelong) {
    show_frame(115.0, 18, 2);
    struct Box {
        int x, y, n;
    } boxes[] = {{50, 100, 9}, {100, 200, 11}, {100, 260, 13}, {-2, 360, 25}};
    const auto frame = gl_test_read_frame();
    int found[4] = {};
    int stray = 0;
    for (int y = 0; y < 480; y += 1)
        for (int x = 0; x < 640; x += 1) {
            const Rgba p = frame_pixel(frame, x, y);
            if (same_rgb(p, PASS_CLEAR)) continue;
            bool placed = false;
            for (int b = 0; b < 4; b++)
                if (x >= boxes[b].x && x < boxes[b].x + font_text_width(boxes[b].n) &&
                    y >= boxes[b].y && y < boxes[b].y + 32) {
                    found[b]++;
                    placed = true;
                }
            if (!placed) stray++;
        }
    EXPECT_EQ(stray, 0);
    for (int b = 0; b < 4; b++) EXPECT_GT(found[b], 0) << "text " << b;
}

TEST_F(ShowFrame, CubeFromOrderThirteen) {
    timeline_note_order(&show_state.timeline, 12, 40.0);
    show_frame(50.0, 13, 1); // order 13 starts now: the cube faces us, 4 units away
    expect_colour(5, 5, SCREEN_CLEAR, "around the cube");
    // The front face spans about 145 pixels either side of the centre.
    EXPECT_FALSE(same_rgb(gl_test_pixel(320, 240), SCREEN_CLEAR));
    EXPECT_FALSE(same_rgb(gl_test_pixel(320 + 130, 240 + 130), SCREEN_CLEAR));
    expect_colour(320 + 160, 240, SCREEN_CLEAR, "beside the cube");
    EXPECT_TRUE(glIsEnabled(GL_BLEND));

    // The first cube frame on a row that is a multiple of 4 leaves blending off.
    show_frame(50.02, 13, 4);
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    show_frame(50.04, 13, 5);
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
}

TEST_F(ShowFrame, FlatQuadTumblesFromOrderTen) {
    timeline_note_order(&show_state.timeline, 10, 30.0);
    show_frame(30.0, 10, 1); // angle 0: the whole screen is covered
    EXPECT_FALSE(same_rgb(gl_test_pixel(2, 2), SCREEN_CLEAR));
    show_frame(30.9, 10, 1); // 90 degrees about (1, 0.7, 0.2): edge on, the clear shows
    EXPECT_TRUE(same_rgb(gl_test_pixel(2, 2), SCREEN_CLEAR));
}
