// The bounded string functions: exact limits, -1 on every cut, nothing
// written out of bounds (buffers are exact heap blocks, so the ASan build
// catches a single byte too many), and scanf formats that could overflow
// refused before anything is stored.
#include <gtest/gtest.h>

#include <cstdarg>
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

int callVsnprintf(char* dest, size_t destMax, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vsnprintf_s(dest, destMax, count, format, args);
    va_end(args);
    return result;
}

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

TEST(MemFunctions, NullAndZeroSizeWriteNothing) {
    auto dest = block(4);
    EXPECT_EQ(memset_s(nullptr, 4, 0, 4), -1);
    EXPECT_EQ(memset_s(dest.get(), 0, 0, 4), -1);
    EXPECT_EQ(memcpy_s(nullptr, 4, "abc", 3), -1);
    EXPECT_EQ(memcpy_s(dest.get(), 0, "abc", 3), -1);
    EXPECT_EQ(memcpy_s(dest.get(), 4, nullptr, 3), -1);
    EXPECT_EQ(strncpy_s(nullptr, 4, "abc", 3), -1);
    EXPECT_EQ(strncpy_s(dest.get(), 0, "abc", 3), -1);
    EXPECT_EQ(strncpy_s(dest.get(), 4, nullptr, 3), -1);
    EXPECT_EQ(snprintf_s(nullptr, 4, 3, "x"), -1);
    EXPECT_EQ(snprintf_s(dest.get(), 0, 3, "x"), -1);
    EXPECT_EQ(std::string(dest.get(), 4), "####");
}

TEST(StrncpyS, CountLimitsQuietlyDestMaxCutsLoudly) {
    auto dest = block(6);
    EXPECT_EQ(strncpy_s(dest.get(), 6, "hello", 5), 0);  // exactly destMax - 1
    EXPECT_STREQ(dest.get(), "hello");
    EXPECT_EQ(strncpy_s(dest.get(), 6, "hi", 100), 0);
    EXPECT_STREQ(dest.get(), "hi");
    EXPECT_EQ(strncpy_s(dest.get(), 6, "abcdefgh", 3), 0);
    EXPECT_STREQ(dest.get(), "abc");
    // count equal to destMax - 1 on a longer source: count cut it, not destMax.
    EXPECT_EQ(strncpy_s(dest.get(), 6, "abcdefgh", 5), 0);
    EXPECT_STREQ(dest.get(), "abcde");
    EXPECT_EQ(strncpy_s(dest.get(), 6, "hello!", 6), -1);  // one too many
    EXPECT_STREQ(dest.get(), "hello");
}

TEST(StrncpyS, TextFarLongerThanEveryBufferIsCut) {
    for (size_t size : {1u, 2u, 7u, 8u, 64u, 1024u}) {
        auto dest = block(size);
        EXPECT_EQ(strncpy_s(dest.get(), size, kHuge.c_str(), kHuge.size()), -1) << size;
        EXPECT_EQ(std::string(dest.get()), std::string(size - 1, 'h')) << size;
    }
}

TEST(SnprintfS, ReturnsTheLengthOrMinusOneOnAnyCut) {
    auto dest = block(12);
    EXPECT_EQ(snprintf_s(dest.get(), 12, 11, "%s-%04d", "ab", 7), 7);
    EXPECT_STREQ(dest.get(), "ab-0007");
    EXPECT_EQ(snprintf_s(dest.get(), 12, 11, "%011d", 5), 11);  // exactly the limit
    EXPECT_EQ(snprintf_s(dest.get(), 8, 100, "%s", "abcdefghij"), -1);
    EXPECT_STREQ(dest.get(), "abcdefg");
    EXPECT_EQ(snprintf_s(dest.get(), 12, 3, "%s", "abcdefghij"), -1);
    EXPECT_STREQ(dest.get(), "abc");
    EXPECT_EQ(callVsnprintf(dest.get(), 6, 5, "%d", 1234), 4);
    EXPECT_EQ(callVsnprintf(dest.get(), 6, 5, "%d", 123456), -1);
    EXPECT_STREQ(dest.get(), "12345");
    for (size_t size : {1u, 2u, 64u, 4096u}) {
        auto d = block(size);
        EXPECT_EQ(snprintf_s(d.get(), size, size - 1, "[%s]", kHuge.c_str()), -1) << size;
        EXPECT_EQ(std::strlen(d.get()), size - 1) << size;
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
    char word[8] = {}, letters[4] = {}, set[8] = {}, rest[8] = {};
    int number = 0;
    EXPECT_EQ(sscanf_s("42 abcdefghijkl", "%d %7s", &number, word), 2);
    EXPECT_EQ(number, 42);
    EXPECT_STREQ(word, "abcdefg");
    EXPECT_EQ(sscanf_s("skip xyz", "%*s %3c", letters), 1);
    EXPECT_STREQ(letters, "xyz");
    // A ']' first in a set belongs to it: here "%s" is part of the set.
    EXPECT_EQ(sscanf_s("]%s]]x", "%5[]%s]", set), 1);
    EXPECT_STREQ(set, "]%s]]");
    EXPECT_EQ(sscanf_s("ab]cd", "%7[^]]]%7s", set, rest), 2);
    EXPECT_STREQ(set, "ab");
    EXPECT_STREQ(rest, "cd");
    EXPECT_EQ(sscanf_s("%s 9", "%%s %d", &number), 1);  // "%%" is no conversion
    EXPECT_EQ(number, 9);
}

TEST(FscanfS, ReadsBoundedFieldsFromAStream) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fputs("eth0 1500 a-very-long-interface-description\n", file);
    std::rewind(file);
    char name[5] = {}, description[6] = {};
    int mtu = 0;
    EXPECT_EQ(fscanf_s(file, "%s %d", name, &mtu), -1);
    EXPECT_EQ(std::ftell(file), 0) << "a refused format must not consume input";
    EXPECT_EQ(fscanf_s(file, "%4s %d %5s", name, &mtu, description), 3);
    EXPECT_STREQ(name, "eth0");
    EXPECT_EQ(mtu, 1500);
    EXPECT_STREQ(description, "a-ver");
    EXPECT_EQ(fscanf_s(nullptr, "%d", &mtu), -1);
    std::fclose(file);
}

}  // namespace
