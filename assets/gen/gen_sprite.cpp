// Draws the sprite strip: four 64 x 128 frames of the vlorp, a cartoon
// monster eating a brain, as a 32-bit BGRA TGA (256 x 128). The frames loop
// every 0.6 s: chew open, bite, chew closed (bob down), chew again (blink).
//
// The show stretches each frame onto a square, so the figure is designed on a
// square 128 x 128 canvas and sampled at every other column: on screen it has
// its designed proportions. Pixel-art look: flat shades from a top-left light,
// a dark outline around the figure and between overlapping parts.
#include "assets/gen/gen_common.h"

#include <cmath>
#include <cstdio>

constexpr int STRIP_WIDTH = 256;
constexpr int STRIP_HEIGHT = 128;
constexpr int FRAME_COUNT = 4;
constexpr int FRAME_WIDTH = STRIP_WIDTH / FRAME_COUNT;
// The figure is drawn this much higher than designed, so that it sits on the
// frame centre, which is what the show spins it about.
constexpr double FIGURE_DROP = 10.0;

struct Rgb {
    uint8_t r, g, b;
};

// Materials, in drawing order: a later material covers an earlier one, and
// draws the outline where it meets one drawn before it.
constexpr int M_NONE = 0;
constexpr int M_FOOT = 1;
constexpr int M_HORN = 2;
constexpr int M_BODY = 3;
constexpr int M_BELLY = 4;
constexpr int M_ARM = 5;
constexpr int M_EYE = 6;
constexpr int M_PUPIL = 7;
constexpr int M_LID = 8;
constexpr int M_MOUTH = 9;
constexpr int M_TONGUE = 10;
constexpr int M_TOOTH = 11;
constexpr int M_BRAIN = 12;
constexpr int M_FOLD = 13;
constexpr int M_HAND = 14;
constexpr int M_CRUMB = 15;
constexpr int M_LINE = 16;
constexpr int MATERIAL_COUNT = 17;

// Three shades per material: shadow, base, highlight.
static const Rgb PALETTE[MATERIAL_COUNT][3] = {
    {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
    {{46, 110, 52}, {70, 150, 64}, {104, 186, 86}},      // foot
    {{178, 150, 92}, {226, 204, 140}, {250, 238, 196}},  // horn
    {{46, 120, 56}, {78, 168, 70}, {134, 212, 100}},     // body
    {{120, 170, 70}, {170, 210, 104}, {206, 232, 146}},  // belly
    {{46, 120, 56}, {78, 168, 70}, {134, 212, 100}},     // arm
    {{196, 196, 210}, {244, 244, 236}, {255, 255, 255}}, // eye
    {{20, 16, 30}, {28, 22, 40}, {240, 240, 250}},       // pupil (highlight = glint)
    {{46, 120, 56}, {78, 168, 70}, {134, 212, 100}},     // closed lid
    {{50, 10, 26}, {70, 14, 34}, {90, 22, 44}},          // mouth inside
    {{150, 30, 50}, {180, 44, 62}, {206, 70, 86}},       // tongue
    {{206, 206, 190}, {250, 250, 236}, {255, 255, 255}}, // tooth
    {{214, 120, 160}, {246, 168, 196}, {255, 214, 228}}, // brain
    {{128, 30, 70}, {146, 40, 82}, {170, 60, 100}},      // brain fold
    {{46, 120, 56}, {78, 168, 70}, {134, 212, 100}},     // hand
    {{196, 84, 118}, {236, 138, 160}, {255, 190, 204}},  // crumb
    {{28, 18, 36}, {28, 18, 36}, {28, 18, 36}},          // drawn line
};
static const Rgb OUTLINE = {28, 18, 36};

struct Pose {
    double bob;     // body drop in canvas units
    double jaw;     // mouth opening, 0 closed .. 1 wide
    double brain_y; // brain centre height
    bool blink;     // eyes shut
    int crumbs;     // flying brain bits
    double squash;  // body widening when chewing
};

static const Pose POSES[FRAME_COUNT] = {
    {0.0, 1.0, 92.0, false, 0, 0.0},
    {2.0, 0.45, 90.0, false, 2, 1.0},
    {4.0, 0.0, 101.0, false, 3, 2.5},
    {2.0, 0.5, 99.0, true, 1, 1.0},
};

struct Hit {
    int material;
    int shade; // 0 shadow, 1 base, 2 highlight
};

static double sq(double v) {
    return v * v;
}

// Inside the ellipse? Also gives the shade from the normalised position.
static bool ellipse(double x, double y, double cx, double cy, double rx, double ry, int* shade) {
    double nx = (x - cx) / rx, ny = (y - cy) / ry;
    double d = nx * nx + ny * ny;
    if (d > 1.0) return false;
    double light = -0.55 * nx - 0.75 * ny;
    *shade = light > 0.5 ? 2 : (light < -0.3 || (d > 0.85 && light < 0.0) ? 0 : 1);
    return true;
}

// A point of the figure: where the parts lie, from the pose.
struct Spot {
    double x, y;
    double by;       // body centre height
    double brx, bry; // body radii
    double bcx, bcy; // brain centre
};

// Each part paints over what the parts drawn before it left at the spot.
static void paint(Hit* hit, int material, int shade) {
    *hit = {material, shade};
}

// Feet stay on the ground while the body bobs; horns are curved cones above
// the head; the body has a lighter belly.
static void draw_feet_horns_body(const Spot& at, Hit* hit) {
    const double x = at.x, y = at.y, by = at.by, brx = at.brx, bry = at.bry;
    int s = 1;
    if (ellipse(x, y, 44, 117, 13, 7, &s) || ellipse(x, y, 84, 117, 13, 7, &s))
        paint(hit, M_FOOT, s);
    for (int side = -1; side <= 1; side += 2) {
        double hx = 64 + side * 24, top = by - bry - 14;
        double t = (y - top) / 18.0; // 0 at the tip, 1 at the base
        if (t >= 0 && t <= 1) {
            double centre = hx + side * 6 * (1 - t) * (1 - t);
            double half = 1.0 + 6.0 * t;
            if (std::fabs(x - centre) <= half)
                paint(hit, M_HORN, x - centre < -half / 3 ? 2 : (x - centre > half / 3 ? 0 : 1));
        }
    }
    if (ellipse(x, y, 64, by, brx, bry, &s)) {
        paint(hit, M_BODY, s);
        if (ellipse(x, y, 64, by + 16, brx * 0.62, bry * 0.55, &s))
            paint(hit, M_BELLY, s == 2 ? 1 : s);
    }
}

// Arms reach from the sides to the brain: a thick segment from shoulder to hand.
static void draw_arms(const Spot& at, Hit* hit) {
    const double x = at.x, y = at.y;
    for (int side = -1; side <= 1; side += 2) {
        double ax = 64 + side * 34, ay = at.by + 6;
        double hx = at.bcx + side * 19, hy = at.bcy + 5;
        double vx = hx - ax, vy = hy - ay;
        double t = ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy);
        if (t >= 0 && t <= 1) {
            double d = std::sqrt(sq(x - (ax + t * vx)) + sq(y - (ay + t * vy)));
            if (d <= 5.5) paint(hit, M_ARM, d < 2 ? 2 : (y > ay + t * vy + 2.5 ? 0 : 1));
        }
    }
}

// Eyes on top of the head; the pupils look down at the brain.
static void draw_eyes(const Pose& p, const Spot& at, Hit* hit) {
    const double x = at.x, y = at.y;
    int s = 1;
    for (int side = -1; side <= 1; side += 2) {
        double ex = 64 + side * 15, ey = at.by - 20;
        if (!ellipse(x, y, ex, ey, 11, 12, &s)) continue;
        if (p.blink) {
            paint(hit, M_LID, s);
            if (std::fabs(y - (ey + 1 + 0.04 * sq(x - ex))) < 1.0) paint(hit, M_LINE, 1);
        } else {
            paint(hit, M_EYE, s);
            if (ellipse(x, y, ex - side * 2, ey + 4, 5, 6, &s)) paint(hit, M_PUPIL, 1);
            if (ellipse(x, y, ex - side * 2 - 2, ey + 2, 1.6, 1.6, &s)) paint(hit, M_PUPIL, 2);
        }
    }
}

// Mouth: a wide grin that opens with the jaw; closed, a chewing line with
// two fangs poking down.
static void draw_mouth(const Pose& p, const Spot& at, Hit* hit) {
    const double x = at.x, y = at.y;
    int s = 1;
    double mcx = 64, mcy = at.by + 4, mrx = 28, mry = 2 + 13 * p.jaw;
    if (p.jaw > 0.05) {
        if (ellipse(x, y, mcx, mcy, mrx, mry, &s)) {
            double top = mcy - mry * std::sqrt(std::max(0.0, 1 - sq((x - mcx) / mrx)));
            double bottom = 2 * mcy - top;
            paint(hit, y > mcy + mry * 0.35 ? M_TONGUE : M_MOUTH, y > mcy + mry * 0.35 ? s : 1);
            double u = (x - mcx + mrx) / 9.0;
            double saw = 1 - std::fabs(2 * (u - std::floor(u)) - 1);
            if (y - top < 6 * saw) paint(hit, M_TOOTH, saw > 0.6 ? 1 : 0);
            double u2 = (x - mcx + mrx + 4.5) / 9.0;
            double saw2 = 1 - std::fabs(2 * (u2 - std::floor(u2)) - 1);
            if (bottom - y < 4 * saw2 && std::fabs(x - mcx) < mrx - 6) paint(hit, M_TOOTH, 0);
        }
        return;
    }
    double line = mcy + 2 * std::sin((x - mcx) * 0.35);
    if (std::fabs(x - mcx) < mrx && std::fabs(y - line) < 1.0) paint(hit, M_LINE, 1);
    for (int side = -1; side <= 1; side += 2) {
        double fx = mcx + side * 14;
        double t = (y - (mcy + 2 * std::sin((fx - mcx) * 0.35) + 1)) / 6.0;
        if (t >= 0 && t <= 1 && std::fabs(x - fx) <= 3.0 * (1 - t)) paint(hit, M_TOOTH, 1);
    }
}

// The brain, held in both hands, with a bite taken out of its top right:
// a cluster of rounded lobes, each outlined where it lies on another, so
// it reads as coils; a cleft down the middle splits the hemispheres.
static void draw_brain_hands(const Spot& at, Hit* hit) {
    const double x = at.x, y = at.y, bcx = at.bcx, bcy = at.bcy;
    int s = 1;
    static const double LOBES[9][3] = {{-12, -5, 8}, {-4, -8, 8}, {-13, 5, 7},
                                       {-5, 3, 8},   {5, 3, 8},   {13, 5, 7},
                                       {12, -5, 8},  {-5, 10, 6}, {5, 10, 6}};
    bool bitten =
        sq(x - (bcx + 13)) + sq(y - (bcy - 13)) < 30 || sq(x - (bcx + 5)) + sq(y - (bcy - 15)) < 22;
    if (ellipse(x, y, bcx, bcy, 21, 15, &s) && !bitten) {
        int lobe_hits = 0;
        bool rim = false;
        for (const auto& l : LOBES) {
            double d = std::sqrt(sq((x - bcx - l[0]) / 1.25) + sq(y - bcy - l[1]));
            if (d <= l[2]) {
                lobe_hits++;
                if (d > l[2] - 1.3) rim = true;
            }
        }
        paint(hit, M_BRAIN, s);
        if (rim && lobe_hits > 1) paint(hit, M_FOLD, 1);
        if (std::fabs(x - bcx) < 1.5 && y < bcy + 7) paint(hit, M_FOLD, 1);
    }
    for (int side = -1; side <= 1; side += 2)
        if (ellipse(x, y, bcx + side * 19, bcy + 5, 5.5, 5.5, &s)) paint(hit, M_HAND, s);
}

// Brain crumbs flying off the bite.
static void draw_crumbs(const Pose& p, const Spot& at, Hit* hit) {
    const double x = at.x, y = at.y;
    static const double CRUMBS[3][2] = {{92, 66}, {100, 58}, {88, 54}};
    for (int i = 0; i < p.crumbs; i++) {
        double cx = CRUMBS[i][0] + p.bob, cy = CRUMBS[i][1] + p.bob * 0.5 + 3.0 * i * (p.jaw < 0.1);
        if (std::fabs(x - cx) < 3.2 && std::fabs(y - cy) < 2.2) paint(hit, M_CRUMB, 1);
    }
}

// What the figure in pose p shows at (x, y): parts drawn later lie on top.
static Hit sample(const Pose& p, double x, double y) {
    Hit hit = {M_NONE, 1};
    const double by = 80.0 + p.bob;
    const Spot at = {x, y, by, 40.0 + p.squash, 36.0 - p.squash * 0.5, 64, p.brain_y};
    draw_feet_horns_body(at, &hit);
    draw_arms(at, &hit);
    draw_eyes(p, at, &hit);
    draw_mouth(p, at, &hit);
    draw_brain_hands(at, &hit);
    draw_crumbs(p, at, &hit);
    return hit;
}

int main(int argc, char** argv) {
    const char* program = "vlorp-gen-sprite";
    GenArgs args = gen_parse_args(argc, argv, program, "sprite.tga",
                                  "Draws the four-frame sprite strip of the vlorp eating a brain\n"
                                  "as a 256 x 128 BGRA TGA with a cut-out alpha channel.");
    if (!args.output) return args.exit_status;

    // Material map of the strip, rows top first.
    std::vector<Hit> map(size_t(STRIP_WIDTH) * STRIP_HEIGHT);
    for (int f = 0; f < FRAME_COUNT; f++)
        for (int ty = 0; ty < STRIP_HEIGHT; ty++)
            for (int tx = 0; tx < FRAME_WIDTH; tx++)
                map[size_t(ty) * STRIP_WIDTH + size_t(f * FRAME_WIDTH + tx)] =
                    sample(POSES[f], tx * 2.0 + 1.0, ty + 0.5 + FIGURE_DROP);

    auto at = [&](int f, int tx, int ty) {
        if (tx < 0 || tx >= FRAME_WIDTH || ty < 0 || ty >= STRIP_HEIGHT) return Hit{M_NONE, 1};
        return map[size_t(ty) * STRIP_WIDTH + size_t(f * FRAME_WIDTH + tx)];
    };
    std::vector<uint8_t> pixels(size_t(STRIP_WIDTH) * STRIP_HEIGHT * 4, 0);
    int opaque = 0;
    for (int f = 0; f < FRAME_COUNT; f++)
        for (int ty = 0; ty < STRIP_HEIGHT; ty++)
            for (int tx = 0; tx < FRAME_WIDTH; tx++) {
                Hit h = at(f, tx, ty);
                if (h.material == M_NONE) continue;
                bool edge = false;
                const int dx[4] = {1, -1, 0, 0}, dy[4] = {0, 0, 1, -1};
                for (int k = 0; k < 4; k++) {
                    int m = at(f, tx + dx[k], ty + dy[k]).material;
                    // Outline against the background, and on the upper part's
                    // side where two parts overlap (not inside the face details).
                    if (m == M_NONE)
                        edge = true;
                    else if (m < h.material && h.material != M_FOLD && h.material != M_PUPIL &&
                             h.material != M_LINE && h.material != M_BELLY &&
                             !(h.material == M_TONGUE && m == M_MOUTH) &&
                             !(h.material == M_TOOTH && (m == M_MOUTH || m == M_TONGUE)) &&
                             !(h.material == M_HAND && m == M_ARM) &&
                             !(h.material == M_LID && m == M_BODY) &&
                             !(h.material == M_ARM && m == M_BELLY))
                        edge = true;
                }
                Rgb c = edge ? OUTLINE : PALETTE[h.material][h.shade];
                // Rows bottom first, as the TGA's bottom-left origin wants.
                size_t i =
                    (size_t(STRIP_HEIGHT - 1 - ty) * STRIP_WIDTH + size_t(f * FRAME_WIDTH + tx)) *
                    4;
                pixels[i + 0] = c.b;
                pixels[i + 1] = c.g;
                pixels[i + 2] = c.r;
                pixels[i + 3] = 255;
                opaque++;
            }
    std::vector<uint8_t> tga = gen_tga(TGA_TRUE_COLOUR, STRIP_WIDTH, STRIP_HEIGHT, 32, pixels);
    if (args.verbose)
        fprintf(stderr, "sprite.tga: %zu bytes, %d opaque texels\n", tga.size(), opaque);
    return gen_write_file(program, args.output, tga) ? 0 : 1;
}
