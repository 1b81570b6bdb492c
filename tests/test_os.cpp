// Operating-system services that have a rule of their own: the progress
// line and the temporary names outputs are made under.
#include "os/outfile.h"
#include "os/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

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

TEST(TempName, HiddenBesideTheTargetWithItsExtensionLast) {
    struct Case {
        const char* path;
        const char* temp;
        size_t suffix;
    } cases[] = {
        {"out.mp4", ".out.partXXXXXX.mp4", 4},
        {"dir/song.v2.wav", "dir/.song.v2.partXXXXXX.wav", 4},
        {"dir/noext", "dir/.noext.partXXXXXX", 0},
        {"a.b/noext", "a.b/.noext.partXXXXXX", 0}, // a dot in the folder is no extension
        {"dir/.hidden", "dir/..hidden.partXXXXXX", 0},
        {"/x.", "/.x.partXXXXXX.", 1},
    };
    for (const Case& c : cases) {
        size_t suffix = 99;
        const std::string temp = outfile_temp_name(c.path, &suffix);
        EXPECT_EQ(temp, c.temp) << c.path;
        EXPECT_EQ(suffix, c.suffix) << c.path;
        EXPECT_NE(temp, c.path);
        EXPECT_EQ(temp.compare(temp.size() - suffix - 6, 6, "XXXXXX"), 0) << c.path;
    }
    // A folder's maker wants the XXXXXX last: the whole name goes first.
    EXPECT_EQ(outfile_temp_name("dir/frames.d", nullptr), "dir/.frames.d.partXXXXXX");
    EXPECT_EQ(outfile_temp_name("cap", nullptr), ".cap.partXXXXXX");
}

TEST(TempName, MadeFilesAreNewAndKeepTheExtension) {
    char dir[] = "/tmp/vlorp-os-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string target = std::string(dir) + "/video.mp4";
    std::string a, b, error;
    ASSERT_TRUE(outfile_temp_file(target, &a, &error)) << error;
    ASSERT_TRUE(outfile_temp_file(target, &b, &error)) << error;
    EXPECT_NE(a, b);
    EXPECT_NE(a, target);
    EXPECT_EQ(a.substr(a.size() - 4), ".mp4");
    EXPECT_EQ(a.find(std::string(dir) + "/.video.part"), 0u) << a;
    FILE* f = fopen(target.c_str(), "rb");
    EXPECT_EQ(f, nullptr) << "the target itself is not made";
    if (f) fclose(f);
    remove(a.c_str());
    remove(b.c_str());
    // A folder that is not there: nothing to make, the reason told.
    error.clear();
    EXPECT_FALSE(outfile_temp_file(std::string(dir) + "/none/x.mp4", &a, &error));
    EXPECT_FALSE(error.empty());
    rmdir(dir);
}
