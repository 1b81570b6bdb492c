// Prints the display's current mode as WIDTHxHEIGHTxBITS: the Windows
// stage runs it before and after the show to see the desktop put back.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
    DEVMODEA mode;
    memset(&mode, 0, sizeof mode);
    mode.dmSize = sizeof mode;
    if (!EnumDisplaySettingsA(nullptr, ENUM_CURRENT_SETTINGS, &mode)) {
        fprintf(stderr, "display_mode: no current display mode\n");
        return 1;
    }
    printf("%lux%lux%lu\n", (unsigned long)mode.dmPelsWidth, (unsigned long)mode.dmPelsHeight,
           (unsigned long)mode.dmBitsPerPel);
    return 0;
}
