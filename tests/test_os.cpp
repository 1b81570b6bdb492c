// Operating-system services that have a rule of their own: the progress line.
#include "os/progress.h"

#include <gtest/gtest.h>

TEST(Progress, BarAndPercentAtTheStartPartWayAndTheEnd) {
    const ProgressStyle render = {"rendering", ' ', true};
    EXPECT_EQ(progress_text(render, 0, 7, " 0.0 s"),
              "rendering   0% [                              ] 0.0 s");
    // 1/3 of 30 is 10 characters; 100/3 truncates to 33 %.
    EXPECT_EQ(progress_text(render, 1, 3, ""), "rendering  33% [##########                    ]");
    // One short of the end still shows an unfilled place and 99 %.
    EXPECT_EQ(progress_text(render, 299, 300, ""),
              "rendering  99% [############################# ]");
    EXPECT_EQ(progress_text(render, 7, 7, " 1.5 s"),
              "rendering 100% [##############################] 1.5 s");

    const ProgressStyle capture = {"vlorp: capturing", '-', false};
    EXPECT_EQ(progress_text(capture, 0, 121, " tail"),
              "vlorp: capturing [------------------------------]   0% tail");
    EXPECT_EQ(progress_text(capture, 60, 121, ""),
              "vlorp: capturing [##############----------------]  49%");
    EXPECT_EQ(progress_text(capture, 121, 121, ""),
              "vlorp: capturing [##############################] 100%");
}

TEST(Progress, EachRedrawStartsTheLineAndTheEndKeepsOrClearsIt) {
    testing::internal::CaptureStderr();
    progress_draw("a", PROGRESS_KEEP);
    progress_draw("b", PROGRESS_NEWLINE);
    progress_draw("c", PROGRESS_CLEAR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\ra\rb\n\rc\r\033[K");
}
