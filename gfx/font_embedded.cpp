#include "assets/assets.h"
#include "gfx/font.h"

void font_build() {
    font_build_image(embedded_font);
}
