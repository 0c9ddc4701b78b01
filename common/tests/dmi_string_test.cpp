#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dmi_string.h"

TEST(DmiString, PutWritesLengthCharactersAndTerminatorThenAligns)
{
    std::vector<unsigned char> buf(32, 0xCC);
    uint32_t next = DmiStringPut(buf.data(), 32, 4, "abc", 3);
    EXPECT_EQ(next, 12u); /* 4 + 4 + 3 + 1 */
    uint32_t len;
    std::memcpy(&len, &buf[4], 4);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(std::memcmp(&buf[8], "abc", 4), 0);
    EXPECT_EQ(buf[3], 0xCC) << "nothing written before the offset";
}

TEST(DmiString, PutRefusesWhatDoesNotFitAndWritesNothing)
{
    struct Case { uint32_t size, offset, length; } cases[] = {
        {8, 0, 4},           /* terminator would fall outside */
        {16, 20, 0},         /* offset past the end */
        {16, 12, 0},         /* room for the length but not the zero */
        {64, 0, 0xFFFFFFFFu} /* length that would wrap */
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> buf(64, 0xCC);
        EXPECT_EQ(DmiStringPut(buf.data(), c.size, c.offset, "xxxxxxxx", c.length), 0u)
            << c.size << "/" << c.offset << "/" << c.length;
        EXPECT_EQ(buf, std::vector<unsigned char>(64, 0xCC));
    }
    unsigned char exact[9];
    EXPECT_EQ(DmiStringPut(exact, 9, 0, "abcd", 4), 9u) << "fits exactly, no room to align";
}

TEST(DmiString, GetChecksTheWholeStringLiesInside)
{
    unsigned char buf[16] = {};
    uint32_t len = 5;
    std::memcpy(buf + 4, &len, 4);
    std::memcpy(buf + 8, "hello", 5);
    const char *text;
    uint32_t n;
    ASSERT_TRUE(DmiStringGet(buf, 16, 4, &text, &n));
    EXPECT_EQ(std::string(text, n), "hello");
    EXPECT_FALSE(DmiStringGet(buf, 12, 4, &text, &n)) << "characters outside";
    EXPECT_FALSE(DmiStringGet(buf, 16, 14, &text, &n)) << "length word outside";
    len = 0xFFFFFFF0u;
    std::memcpy(buf + 4, &len, 4);
    EXPECT_FALSE(DmiStringGet(buf, 16, 4, &text, &n)) << "huge length";
}
