// Conversion of Android log entries: record lines into records, foreign
// entries into plain lines, filters, and hostile entries dropped. Entries sit
// in heap buffers of exactly their size, so AddressSanitizer sees any read
// past them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log_model.h"
#include "entry_conversion.h"
#include "sandbox.h"
#include "xkt_log.h"
#include "xkt_utility.h"

using namespace xkt::log;

namespace {

constexpr size_t kItem = XKT_LOG_ITEM_SIZE;
const std::string kHead = " 9: 5: 7|0000001234|Oper| WARN|       net|";
const std::string kLine = kHead + "4321:player.cpp:88:play|code:13|hello world";
const std::string kLogcatLine = "I/XKT    (    123): " + kLine;

struct Entry {
    std::unique_ptr<char[]> bytes{new char[kItem]()};
    LogDeviceHeader header{};
};

Entry deviceEntry(int priority, const std::string& tag, const std::string& message, int32_t pid = 321) {
    Entry entry;
    const std::string payload = std::string(1, static_cast<char>(priority)) + tag + '\0' + message + '\0';
    std::memcpy(entry.bytes.get() + 20, payload.data(), std::min(payload.size(), kItem - 21));
    entry.header.length = static_cast<uint16_t>(payload.size());
    entry.header.pid = pid;
    return entry;
}

// The item starts filled with a marker, which must survive right behind the
// text's NUL: only the text is copied. A record reads as one line, "EXTRA"
// marking fields the conversion must leave 0.
struct Converted {
    int32_t rc = 0, kind = -1;
    std::string text;
    bool tailKept = false;
};

Converted convert(const char* entry, const LogDeviceHeader* header, const XKT_LogcatEntry* descriptor) {
    alignas(LogRecord) char item[kItem];
    std::memset(item, 0x5a, kItem);
    Converted out;
    out.rc = convertLogEntry(item, entry, header, &out.kind, descriptor);
    const char* text = item;
    if (out.rc == 0 && out.kind == 1) {
        LogRecord r;
        std::memcpy(&r, item, sizeof r);
        char line[1400];
        const bool extra = r.length || r.sequence || r.time.day || r.time.month || r.time.year || r.function[0];
        std::snprintf(line, sizeof line, "%s%u %u %d:%d:%d [%s] %s:%d %x %d | %s", extra ? "EXTRA " : "",
                      r.type, r.level, r.time.hour, r.time.minute, r.time.second, r.module, r.file, r.line,
                      r.threadId, r.code, r.message);
        out.text = line;
        text = reinterpret_cast<const LogRecord*>(item)->message;
    } else if (out.rc == 0) {
        out.text = std::string(item, strnlen(item, kItem));
    }
    const size_t end = static_cast<size_t>(text - item) + strnlen(text, kItem - (text - item)) + 1;
    out.tailKept = end >= kItem || item[end] == '\x5a';
    return out;
}
Converted convert(const Entry& entry) { return convert(entry.bytes.get(), &entry.header, nullptr); }

XKT_LogcatEntry descriptor(const char* tag, int32_t priority = 4, int32_t pid = 123) {
    return {0, 0, priority, pid, 0, tag, 0, 0};
}

Converted convertLine(const std::string& line, const char* tag) {
    const XKT_LogcatEntry entry = descriptor(tag);
    std::vector<char> text(line.c_str(), line.c_str() + line.size() + 1);
    return convert(text.data(), nullptr, &entry);
}

template <int Generation>
class ConversionTest : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        setenv("XKT_ANDROID_VERSION", std::to_string(Generation).c_str(), 1);
        ASSERT_EQ(Generation, getAndroidVersion()) << "each test needs a process of its own";
    }
};
using DeviceConversion = ConversionTest<2>;
using LogcatConversion = ConversionTest<4>;

}  // namespace

TEST_F(DeviceConversion, RecordLinesBecomeRecordsForeignEntriesPlainLines) {
    struct Case { int priority; std::string tag, line, text; int32_t pid = 321; };
    const Case cases[] = {
        // Full layout; the decimal thread id is read as hex.
        {4, "XKT", kLine, "2 3 9:5:7 [       net] player.cpp:88 4321 13 | I/XKT(  321): hello world"},
        {5, "XKT", kHead + "4321:player.cpp:88|code:-5|hi", "2 3 9:5:7 [       net] player.cpp:88 4321 -5 | W/XKT(  321): hi"},
        {6, "CPE", kHead + "0x000010e1:player.cpp:88|hello", "2 3 9:5:7 [       net] player.cpp:88 10e1 0 | E/CPE(  321): hello"},
        // As sscanf reads: signs, blanks before numbers, "0X", junk behind the line number.
        {4, "XKT", "+1:-2: 3|  42|Run|DEBUG|m|\t0XfF:a.c:-7 junk|msg", "1 1 1:-2:3 [m] a.c:-7 ff 0 | I/XKT(  321): msg"},
        // Numbers too large saturate.
        {4, "XKT", "1: 2: 3|99999999999|All|  ALL|m|123456789abcdef:a.c:99999999999|code:-99999999999|x",
         "0 0 1:2:3 [m] a.c:2147483647 ffffffff -2147483648 | I/XKT(  321): x"},
        {4, "XKT", "1: 2: 3|0|User|TRACE|m|-1:a.c:0|code:x|rest", "4 5 1:2:3 [m] a.c:0 ffffffff 0 | I/XKT(  321): code:x|rest"},
        // The message follows the file name's first occurrence.
        {4, "XKT", "1: 2: 3|0|Run| NONE|a.c|1:a.c:5|code:1|msg", "1 6 1:2:3 [a.c] a.c:5 1 0 | I/XKT(  321): 1:a.c:5|code:1|msg"},
        // Foreign entries are plain lines; only the whole tag counts on a device.
        {4, "ActivityManager", "Start proc \xff\xfe%s", "I/ActivityManager(  321): Start proc \xff\xfe%s\n"},
        {2, "XKTX", kLine, "V/XKTX(   -1): " + kLine + "\n", -1},
        {1, "xkt", "x", "?/xkt(1234567): x\n", 1234567},
        {8, std::string(200, 't'), "x", "S/" + std::string(128, 't') + "(  321): x\n"},
    };
    for (const Case& c : cases) {
        const Converted out = convert(deviceEntry(c.priority, c.tag, c.line, c.pid));
        EXPECT_EQ(c.text, out.text) << c.line;
        EXPECT_TRUE(out.tailKept) << c.line;
    }
    // A logcat line on an old generation stays plain, whatever its tag.
    EXPECT_EQ(kLogcatLine + "\n", convertLine(kLogcatLine, "XKT").text);
}

TEST_F(DeviceConversion, LinesOffTheLayoutAndMalformedEntriesAreDropped) {
    const std::string head = " 9: 5: 7|1234|", tail = "|       net|4321:a.c:88|code:0|m";
    const std::string dropped[] = {
        head + "Bogus| WARN" + tail, head + "Oper|WARN" + tail, head + "Oper| warn" + tail,
        head + "Oper | WARN" + tail, head + "oper| WARN" + tail, head + "Invalid Type| WARN" + tail,
        head + "Oper|Invalid Level" + tail, "123: 5: 7|1234|Oper| WARN" + tail,
        head + "Oper| WARN||4321:a.c:88|m", head + "Oper| WARN|" + std::string(64, 'm') + "|1:a.c:8|m",
        head + "Oper| WARN|m|1:" + std::string(64, 'f') + ":8|m", head + std::string(17, 'O') + "| WARN" + tail,
        head + "Oper| WARN|m|g1:a.c:88|m", head + "Oper| WARN|m|1:a.c:|m", head + "Oper| WARN|m|1:a.c",
        head + "Oper| WARN|m|1:a.c:5", head + "Oper| WARN|m|1:a.c:5|code:5", head, "%s%n%x", "",
        "2024-01-01 00:00:00.000|Run|DEBUG|mod|5|f.c:1:fn|code:0|msg",  // the agent's layout
    };
    for (const std::string& line : dropped) EXPECT_EQ(-1, convert(deviceEntry(4, "XKT", line)).rc) << line;

    Entry entry = deviceEntry(4, "XKT", kLine);
    // Too short, or cut before the tag's or the message's NUL.
    for (size_t length : {size_t{0}, size_t{1}, size_t{2}, size_t{4}, 1 + 3 + 1 + kLine.size()}) {
        entry.header.length = static_cast<uint16_t>(length);
        EXPECT_EQ(-1, convert(entry).rc) << length;
    }
    EXPECT_EQ(-1, convert(deviceEntry(4, "", "")).rc);
    // A header that claims more than the buffer holds, over bytes with no NUL.
    Entry noNul;
    std::memset(noNul.bytes.get() + 20, 'A', kItem - 20);
    noNul.header.length = 65535;
    EXPECT_EQ(-1, convert(noNul).rc);
    EXPECT_EQ(-1, convert(noNul.bytes.get(), nullptr, nullptr).rc);
}

TEST_F(DeviceConversion, TypeAndLevelFilters) {
    const Entry entries[] = {deviceEntry(4, "XKT", " 1: 2: 3|0|Run|DEBUG|m|1:a.c:1|x"),
                             deviceEntry(4, "XKT", kLine), deviceEntry(4, "Other", "x")};
    // Which of a Run record, an Oper record and a plain line pass each type filter.
    const char* passing[] = {"111", "101", "010", "000", "000", "000"};
    for (uint32_t filter = 0; filter <= 5; ++filter) {
        g_logConfig.logType = filter;
        std::string passed;
        for (const Entry& entry : entries) passed += convert(entry).rc == 0 ? '1' : '0';
        EXPECT_EQ(passing[filter], passed) << filter;
    }
    g_logConfig.logType = 0;
    // The level filter works on the device priority, foreign entries too.
    struct Level { uint32_t filter; int priority; int rc; };
    for (const Level& c : {Level{3, 4, -1}, Level{3, 5, 0}, Level{6, 7, -1}, Level{6, 8, 0}, Level{0xFFFFFFFF, 255, -1}}) {
        g_logConfig.logLevel = c.filter;
        EXPECT_EQ(c.rc, convert(deviceEntry(c.priority, "XKT", kLine)).rc) << c.filter << " " << c.priority;
        EXPECT_EQ(c.rc, convert(deviceEntry(c.priority, "Other", "x")).rc) << c.filter << " " << c.priority;
    }
}

TEST_F(LogcatConversion, TagsFirstThreeCharactersDecide) {
    for (const char* tag : {"XKT", "CPE", "XKTPlayer"}) {
        EXPECT_EQ("2 3 9:5:7 [       net] player.cpp:88 4321 13 | I/" + std::string(tag) + "(  123): hello world",
                  convertLine(kLogcatLine, tag).text);
    }
    EXPECT_EQ(kLogcatLine + "\n", convertLine(kLogcatLine, "XK").text);
    EXPECT_EQ(kLogcatLine + "\n", convertLine(kLogcatLine, nullptr).text);
    // The record line must start at the 21st character.
    EXPECT_EQ(-1, convertLine("I/XKT (1): " + kLine, "XKT").rc);
    EXPECT_EQ(-1, convertLine("I/XKT(1):", "XKT").rc);
    // A line that fills the buffer leaves no room for the line feed.
    EXPECT_EQ(std::string(kItem - 1, 'x'), convertLine(std::string(kItem - 1, 'x'), "T").text);
    // Devices are not read on this generation.
    EXPECT_EQ(-1, convert(deviceEntry(4, "Other", "x")).rc);
}

TEST_F(LogcatConversion, TheLogThreadsCopyMatchesTheConversionAndWritesNothingBehind) {
    // The log thread's records reuse the prefix of the record before; each
    // must still carry what a conversion without that memory writes.
    char tag[200] = "XKT";
    const std::string longTag = "XKT" + std::string(125, 'a');  // 128 characters
    struct Step { int32_t priority; int32_t pid; std::string tag; };
    const Step steps[] = {
        {4, 123, "XKT"}, {4, 123, "XKT"}, {5, 123, "XKT"}, {5, -7, "XKT"},
        {5, -7, "CPE"}, {5, -7, "XKTPlayer"}, {5, -7, "XKTP"}, {5, -7, "XKT"},
        // Tags alike in their first 128 characters print alike.
        {3, 1234567, longTag}, {3, 1234567, longTag + "b"}, {3, 1234567, longTag.substr(0, 127)},
        {4, 123, "XKT"},
    };
    for (const Step& step : steps) {
        // The same buffer each time: the reader's tag pointer may stay while its text changes.
        std::snprintf(tag, sizeof tag, "%s", step.tag.c_str());
        const XKT_LogcatEntry entry = descriptor(tag, step.priority, step.pid);
        alignas(LogRecord) char expected[kItem] = {};
        int32_t kind = -1, itemKind = -1;
        ASSERT_EQ(0, convertLogEntry(expected, kLogcatLine.c_str(), nullptr, &kind, &entry));
        LogRecord item;
        std::memset(&item, 0x5a, sizeof item);
        const size_t written = convertLogcatLine(item, kLogcatLine, entry, itemKind);
        EXPECT_EQ(kind, itemKind);
        const char* message = reinterpret_cast<const LogRecord*>(expected)->message;
        ASSERT_EQ(offsetof(LogRecord, message) + std::strlen(message) + 1, written) << step.tag;
        EXPECT_EQ(0, std::memcmp(expected, &item, written)) << step.priority << " " << step.pid << " " << step.tag;
        EXPECT_EQ('\x5a', reinterpret_cast<const char*>(&item)[written]);
    }
    // A plain line, and a record line off its place (dropped, 0 written).
    LogRecord item;
    int32_t kind = -1;
    EXPECT_EQ(sizeof "plain\n", convertLogcatLine(item, "plain", descriptor("Other"), kind));
    EXPECT_STREQ("plain\n", reinterpret_cast<const char*>(&item));
    EXPECT_EQ(0u, convertLogcatLine(item, "I/XKT (1): " + kLine, descriptor("XKT"), kind));
}
