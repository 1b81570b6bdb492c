#include "music/memsrc.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <numeric>

TEST(MemorySource, ReadsClampAtTheEnd) {
    std::vector<uint8_t> bytes(32877);
    std::iota(bytes.begin(), bytes.end(), 0);
    MemorySource* src = memsrc_open_bytes(bytes.data(), int32_t(bytes.size()));
    EXPECT_EQ(memsrc_tell(src), 0);
    uint8_t buf[200] = {};
    EXPECT_EQ(memsrc_read(buf, 17, src), 17);
    EXPECT_EQ(memsrc_tell(src), 17);
    EXPECT_EQ(buf[16], 16);

    memsrc_seek(src, 32877 - 77, STREAM_SEEK_SET);
    memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(memsrc_read(buf, 100, src), 77);
    EXPECT_EQ(memsrc_tell(src), 32877);
    EXPECT_EQ(buf[77], 0xAA) << "bytes beyond what was delivered stay untouched";
    EXPECT_EQ(memsrc_read(buf, 100, src), 0);

    memsrc_seek(src, -10, STREAM_SEEK_END);
    EXPECT_EQ(memsrc_read(buf, 10, src), 10) << "a read ending exactly at the end is whole";
    EXPECT_EQ(memsrc_read(buf, -5, src), 0) << "negative counts read nothing";
    memsrc_close(src);
}

TEST(MemorySource, SeeksClampToBothEnds) {
    std::vector<uint8_t> bytes(1000);
    MemorySource* a = memsrc_open_bytes(bytes.data(), 1000);
    MemorySource* b = memsrc_open_bytes(bytes.data(), 1000);
    memsrc_seek(a, 1000, STREAM_SEEK_END);
    EXPECT_EQ(memsrc_tell(a), 1000);
    memsrc_seek(a, -10, STREAM_SEEK_END);
    EXPECT_EQ(memsrc_tell(a), 990);
    memsrc_seek(a, 5, 3);
    EXPECT_EQ(memsrc_tell(a), 990) << "unknown origin leaves the position";
    memsrc_seek(a, 50, STREAM_SEEK_CUR);
    EXPECT_EQ(memsrc_tell(a), 1000);
    memsrc_seek(a, -5000, STREAM_SEEK_CUR);
    EXPECT_EQ(memsrc_tell(a), 0);
    memsrc_seek(a, -1, STREAM_SEEK_SET);
    EXPECT_EQ(memsrc_tell(a), 0);
    memsrc_seek(a, INT32_MAX, STREAM_SEEK_END);
    EXPECT_EQ(memsrc_tell(a), 1000) << "no overflow past the end";
    EXPECT_EQ(memsrc_tell(b), 0) << "each open has its own position";
    memsrc_close(a);
    EXPECT_EQ(memsrc_tell(b), 0);
    memsrc_close(b);
}

static StreamHandle open_null(const char*) {
    return nullptr;
}

TEST(StreamWrappers, RegistrationIsAllOrNone) {
    stream_set_callbacks(open_null, memsrc_close, memsrc_read, memsrc_seek, memsrc_tell);
    EXPECT_TRUE(stream_callbacks_complete());
    EXPECT_EQ(stream_open("x"), nullptr) << "a failed open yields no stream";
    stream_set_callbacks(open_null, memsrc_close, memsrc_read, nullptr, memsrc_tell);
    EXPECT_FALSE(stream_callbacks_complete());
    EXPECT_EQ(stream_open("x"), nullptr) << "no registered set: no stream";
    EXPECT_EQ(song_load("", nullptr), nullptr);

    Song* song = test_load_module(test_module());
    ASSERT_NE(song, nullptr);
    stream_set_callbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(player_play(song)) << "playback needs a registered set";
    EXPECT_TRUE(song_free(song));

    uint8_t b;
    EXPECT_EQ(stream_read(&b, 1, nullptr), 0);
    EXPECT_EQ(stream_tell(nullptr), 0);
    stream_seek(nullptr, 1, STREAM_SEEK_SET);
    stream_close(nullptr);
}
