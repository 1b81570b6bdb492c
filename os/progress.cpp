#include "os/progress.h"

#include <cstdio>

std::string progress_text(const ProgressStyle& style, int64_t done, int64_t total,
                          const std::string& tail) {
    const int32_t filled = int32_t(PROGRESS_BAR_WIDTH * done / total);
    std::string bar(size_t(PROGRESS_BAR_WIDTH), style.empty);
    bar.replace(0, size_t(filled), size_t(filled), '#');
    char percent[16];
    snprintf(percent, sizeof percent, "%3d%%", int32_t(100 * done / total));
    std::string text = style.label;
    if (style.percent_first)
        text += std::string(" ") + percent + " [" + bar + "]";
    else
        text += " [" + bar + "] " + percent;
    return text + tail;
}

void progress_draw(const std::string& text, ProgressEnd end) {
    fprintf(stderr, "\r%s", text.c_str());
    if (end == PROGRESS_NEWLINE) fputc('\n', stderr);
    if (end == PROGRESS_CLEAR) fprintf(stderr, "\r\033[K");
    fflush(stderr);
}
