// The bounded string functions: exact limits, -1 on every cut, nothing
// written out of bounds (buffers are exact heap blocks, so the ASan build
// catches a single byte too many), and scanf formats that could overflow
// refused before anything is stored.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "xkt_securec.h"

namespace {

// A heap block of exactly `size` bytes, filled with a marker.
std::unique_ptr<char[]> block(size_t size) {
    std::unique_ptr<char[]> p(new char[size]);
    std::memset(p.get(), '#', size);
    return p;
}

const std::string kHuge(70000, 'h');

TEST(MemFunctions, FillAndCopyUpToDestMaxAndReportMore) {
    auto dest = block(8);
    EXPECT_EQ(memset_s(dest.get(), 8, 'a', 8), 0);
    EXPECT_EQ(memset_s(dest.get(), 8, 'b', 3), 0);
    EXPECT_EQ(std::string(dest.get(), 8), "bbbaaaaa");
    EXPECT_EQ(memset_s(dest.get(), 8, 'z', 9), -1);
    EXPECT_EQ(std::string(dest.get(), 8), "zzzzzzzz");
    EXPECT_EQ(memcpy_s(dest.get(), 8, "01234567", 8), 0);
    EXPECT_EQ(std::string(dest.get(), 8), "01234567");
    EXPECT_EQ(memcpy_s(dest.get(), 8, kHuge.data(), kHuge.size()), -1);
    EXPECT_EQ(std::string(dest.get(), 8), "hhhhhhhh");
}

TEST(BoundedFunctions, NullAndZeroSizeWriteNothing) {
    auto dest = block(4);
    char* d = dest.get();
    for (int rc : {memset_s(nullptr, 4, 0, 4), memset_s(d, 0, 0, 4), memcpy_s(nullptr, 4, "abc", 3),
                   memcpy_s(d, 0, "abc", 3), memcpy_s(d, 4, nullptr, 3),
                   strncpy_s(nullptr, 4, "abc", 3), strncpy_s(d, 0, "abc", 3),
                   strncpy_s(d, 4, nullptr, 3), snprintf_s(nullptr, 4, 3, "x"),
                   snprintf_s(d, 0, 3, "x")}) {
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(std::string(d, 4), "####");
}

// On a 6-byte buffer: count cuts quietly, destMax cuts loudly.
TEST(StrncpyS, CutsAtTheExactLimits) {
    struct Case { const char* src; size_t count; int rc; const char* copied; };
    for (const Case& c : {Case{"hello", 5, 0, "hello"}, Case{"hello", 100, 0, "hello"},
                          Case{"hi", 100, 0, "hi"},
                          Case{"abcdefgh", 3, 0, "abc"}, Case{"abcdefgh", 5, 0, "abcde"},
                          Case{"hello!", 6, -1, "hello"}}) {
        auto dest = block(6);
        EXPECT_EQ(strncpy_s(dest.get(), 6, c.src, c.count), c.rc) << c.src << " " << c.count;
        EXPECT_STREQ(dest.get(), c.copied) << c.src << " " << c.count;
    }
}

TEST(SnprintfS, ReturnsTheLengthOrMinusOneOnAnyCut) {
    auto dest = block(12);
    EXPECT_EQ(snprintf_s(dest.get(), 12, 11, "%s-%07d", "ab", 7), 10);
    EXPECT_EQ(snprintf_s(dest.get(), 12, 11, "%011d", 5), 11);  // exactly the limit
    EXPECT_STREQ(dest.get(), "00000000005");
    EXPECT_EQ(snprintf_s(dest.get(), 12, 3, "%s", "abcdefghij"), -1);
    EXPECT_STREQ(dest.get(), "abc");
}

TEST(BoundedFunctions, TextFarLongerThanEveryBufferIsCut) {
    for (size_t size : {1u, 2u, 7u, 64u, 4096u}) {
        auto dest = block(size);
        EXPECT_EQ(strncpy_s(dest.get(), size, kHuge.c_str(), kHuge.size()), -1) << size;
        EXPECT_EQ(std::string(dest.get()), std::string(size - 1, 'h')) << size;
        EXPECT_EQ(snprintf_s(dest.get(), size, size - 1, "[%s]", kHuge.c_str()), -1) << size;
        EXPECT_EQ(std::strlen(dest.get()), size - 1) << size;
    }
}

// Each refused format is tried on a buffer preset to a marker, which must
// survive: the call stores nothing.
TEST(SscanfS, RefusesConversionsWithoutWidth) {
    for (const char* format : {"%s", "%c", "%[a-z]", "%d %s", "%ls", "%1$s", "%0s", "%[]abc]",
                               "%[^]]", "%5[]%]%s", "%ms", "%5[abc", "%", "%5"}) {
        char text[16] = "unchanged";
        int number = -7;
        EXPECT_EQ(sscanf_s("12 abc", format, text, &number), -1) << format;
        EXPECT_STREQ(text, "unchanged") << format;
    }
}

TEST(SscanfS, AcceptsBoundedAndSuppressedConversions) {
    char word[8] = {}, letters[4] = {}, set[8] = {};
    int number = 0;
    EXPECT_EQ(sscanf_s("42 abcdefghijkl", "%d %7s", &number, word), 2);
    EXPECT_EQ(number, 42);
    EXPECT_STREQ(word, "abcdefg");
    EXPECT_EQ(sscanf_s("skip xyz", "%*s %3c", letters), 1);
    EXPECT_STREQ(letters, "xyz");
    // A ']' first in a set belongs to it: here "%s" is part of the set.
    EXPECT_EQ(sscanf_s("]%s]]x", "%5[]%s]", set), 1);
    EXPECT_STREQ(set, "]%s]]");
    EXPECT_EQ(sscanf_s("%s 9", "%%s %d", &number), 1);  // "%%" is no conversion
    EXPECT_EQ(number, 9);
}

TEST(FscanfS, RefusesUnboundedFormatsWithoutConsumingInput) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fputs("eth0 1500 a-very-long-interface-description\n", file);
    std::rewind(file);
    char name[5] = {}, description[6] = {};
    int mtu = 0;
    EXPECT_EQ(fscanf_s(file, "%s %d", name, &mtu), -1);
    EXPECT_EQ(std::ftell(file), 0);
    EXPECT_EQ(fscanf_s(file, "%4s %d %5s", name, &mtu, description), 3);
    EXPECT_STREQ(description, "a-ver");
    std::fclose(file);
}

}  // namespace
