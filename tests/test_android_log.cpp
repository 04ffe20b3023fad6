// The Android side of the host log: the two writer calls, the log devices
// read in device mode, and the text reader of newer generations.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/syscall.h>
#include <tuple>
#include <vector>

#include "android/log.h"
#include "log_buffer.h"
#include "logcat_reader.h"
#include "sandbox.h"
#include "xkt_logdev.h"
#include "xkt_utility.h"

namespace {

using namespace xkt::host;
using namespace xkt::test;

struct Entry { LogEntryHeader header; int priority; std::string tag, message; };

std::vector<Entry> readMain() {
    std::vector<Entry> entries;
    LogReader reader(*LogBuffer::get(LogId::Main));
    uint8_t raw[kMaxEntrySize];
    LogEntryView view;
    for (int size; (size = reader.read(raw, sizeof raw)) > 0 && parseLogEntry(raw, size, view);) {
        entries.push_back({view.header, view.priority, std::string(view.tag), std::string(view.message)});
    }
    return entries;
}

int writeTo(LogId id, int32_t pid, int32_t seconds, int priority, const char* tag, const char* text) {
    return LogBuffer::get(id)->write(LogOrigin{pid, pid + 1, seconds, 0}, priority, tag, text);
}

TEST(AndroidLogWrite, WritesIntoMainWithCallerIdsTimeAndCutText) {
    Sandbox sandbox;
    timespec before{}, after{};
    clock_gettime(CLOCK_REALTIME, &before);
    EXPECT_EQ(3 + 3 + 5, __android_log_write(ANDROID_LOG_INFO, "XKT", "hello"));
    clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_EQ(3 + 3 + 8, __android_log_print(ANDROID_LOG_ERROR, "XKT", "%d-%s", 4200, "abc"));
    std::string longText(6000, 'y');
    EXPECT_EQ(int(kMaxPayload), __android_log_write(ANDROID_LOG_WARN, "T", longText.c_str()));
    EXPECT_EQ(3 + 2, __android_log_write(ANDROID_LOG_WARN, nullptr, "ok"));
    EXPECT_EQ(-EINVAL, __android_log_write(ANDROID_LOG_WARN, "T", nullptr));

    auto entries = readMain();
    ASSERT_EQ(4u, entries.size());
    const Entry& e = entries[0];
    EXPECT_EQ(std::make_tuple(ANDROID_LOG_INFO, "XKT", "hello", getpid(), int32_t(syscall(SYS_gettid))),
              std::make_tuple(e.priority, e.tag, e.message, e.header.pid, e.header.tid));
    auto ns = [](int64_t s, int64_t n) { return s * 1000000000 + n; };
    int64_t stamp = ns(e.header.seconds, e.header.nanoseconds);
    EXPECT_GE(stamp, ns(before.tv_sec, before.tv_nsec));
    EXPECT_LE(stamp, ns(after.tv_sec, after.tv_nsec));
    EXPECT_EQ("4200-abc", entries[1].message);
    EXPECT_EQ(std::string(kMaxPayload - 4, 'y'), entries[2].message);
    EXPECT_EQ("", entries[3].tag);
}

// A call's result, or minus the errno it set when it failed.
int failure(int result) { return result == -1 ? -errno : result; }

fd_set setOf(std::initializer_list<int> fds) {
    fd_set set;
    FD_ZERO(&set);
    for (int fd : fds) FD_SET(fd, &set);
    return set;
}

// Only the four box paths open. The entry comes from another process while
// select() waits; the flush empties the buffer for every reader.
TEST(LogDevice, OpenSelectReadAndFlush) {
    Sandbox sandbox;
    for (const char* path : {"/dev/log/kernel", "/dev/log/", "main", "/dev/log/main/"}) {
        errno = 0;
        EXPECT_EQ(-ENOENT, failure(xkt_logdev_open(path))) << path;
    }
    for (const char* name : {"radio", "events"}) {
        int fd = xkt_logdev_open((std::string("/dev/log/") + name).c_str());
        EXPECT_GT(fd, 0) << name;
        EXPECT_EQ(0, xkt_logdev_close(fd)) << name;
        EXPECT_EQ(-1, xkt_logdev_close(fd)) << name;
    }
    const int fd = xkt_logdev_open("/dev/log/main"), other = xkt_logdev_open("/dev/log/main");
    const int system = xkt_logdev_open("/dev/log/system");
    ASSERT_GT(fd, 0);
    fd_set set = setOf({fd, system});
    timeval timeout{0, 50000};
    EXPECT_EQ(0, xkt_logdev_select(FD_SETSIZE, &set, &timeout));
    EXPECT_FALSE(FD_ISSET(fd, &set));
    uint8_t entry[kMaxEntrySize];
    EXPECT_EQ(-EAGAIN, failure(xkt_logdev_read(fd, entry, sizeof entry)));

    const pid_t child = spawn([] {
        usleep(100 * 1000);
        return writeTo(LogId::Main, 77, 1234, ANDROID_LOG_WARN, "TAG", "first") > 0 ? 0 : 1;
    });
    set = setOf({fd, system});
    timeout = {60, 0};  // ends early only when woken
    EXPECT_EQ(1, xkt_logdev_select(FD_SETSIZE, &set, &timeout));
    EXPECT_EQ(0, waitForExit(child));
    EXPECT_TRUE(FD_ISSET(fd, &set));
    EXPECT_FALSE(FD_ISSET(system, &set));
    EXPECT_EQ(-EINVAL, failure(xkt_logdev_read(fd, entry, 30)));
    ASSERT_EQ(31, xkt_logdev_read(fd, entry, sizeof entry));
    EXPECT_EQ(0, std::memcmp(entry + kEntryHeaderSize, "\x05TAG\0first", 11));

    EXPECT_EQ(0, xkt_logdev_ioctl(fd, XKT_LOGGER_FLUSH_LOG));
    EXPECT_EQ(-EAGAIN, failure(xkt_logdev_read(other, entry, sizeof entry)));
    EXPECT_EQ(-EINVAL, failure(xkt_logdev_ioctl(fd, 0xAE01)));
}

struct Read { int32_t result; std::string text; XKT_LogcatEntry entry; };

Read readLogcat(int32_t size = 1288) {
    Read read{};
    std::vector<char> text(static_cast<size_t>(size), 'Z');
    read.result = xkt_read_logcat(text.data(), size, &read.entry);
    read.text = text.data();
    return read;
}

TEST(LogcatReader, RecordLineStartsAtTheTwentyFirstCharacterOneLinePerMessageLine) {
    Sandbox sandbox;
    writeTo(LogId::Main, 1234567, 100, ANDROID_LOG_INFO, "XKT", "2024 record");
    writeTo(LogId::Main, 42, 101, ANDROID_LOG_ERROR, "CPE", "2024 record");
    writeTo(LogId::Main, 1234, 102, ANDROID_LOG_WARN, "ActivityManager", "plain");
    writeTo(LogId::Main, -1, 103, 99, "T", "odd");
    Read first = readLogcat();
    EXPECT_EQ(0, first.result);
    EXPECT_EQ("I/XKT    (1234567): 2024 record", first.text);
    const XKT_LogcatEntry& e = first.entry;  // length, priority, pid, tid, tag, seconds
    EXPECT_EQ(std::to_string(first.text.size()) + " 4 1234567 1234568 XKT 100",
              std::to_string(e.length) + " " + std::to_string(e.priority) + " " + std::to_string(e.pid) + " " +
                  std::to_string(e.tid) + " " + e.tag + " " + std::to_string(e.seconds));
    EXPECT_EQ("E/CPE    (     42): 2024 record", readLogcat().text);
    EXPECT_EQ("W/ActivityManager(   1234): plain", readLogcat().text);
    EXPECT_EQ("?/T      (     -1): odd", readLogcat().text);

    // Cut whole lines first.
    writeTo(LogId::Main, 5, 1, ANDROID_LOG_DEBUG, "XKT", "first\n\nthird\n\n");
    for (int i = 0; i < 3; ++i) writeTo(LogId::Main, 9, 2, 4, "XKT", "aaaa\nbbbb\ncccc");
    EXPECT_EQ("D/XKT    (      5): first\nD/XKT    (      5): \nD/XKT    (      5): third", readLogcat().text);
    // A line is 24 characters: two take 49.
    EXPECT_EQ("I/XKT    (      9): aaaa\nI/XKT    (      9): bbbb", readLogcat(50).text);
    EXPECT_EQ("I/XKT    (      9): aaaa", readLogcat(49).text);
    Read cut = readLogcat(23);
    EXPECT_EQ("I/XKT    (      9): aa", cut.text);
    EXPECT_EQ(22, cut.entry.length);
}

TEST(LogcatReader, MergesMainAndSystemByTimeAndCountsLoss) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    writeTo(LogId::Main, 1, 200, ANDROID_LOG_INFO, "M", "main late");
    writeTo(LogId::System, 1, 100, ANDROID_LOG_INFO, "S", "system early");
    writeTo(LogId::Radio, 1, 50, ANDROID_LOG_INFO, "R", "radio");
    EXPECT_EQ("I/S      (      1): system early", readLogcat().text);
    EXPECT_EQ("I/M      (      1): main late", readLogcat().text);
    EXPECT_NE(0, readLogcat().result);

    // More than all lanes hold. The thread fills them in turn, then keeps
    // to its last one: "main late", read already, and the first of these stay.
    constexpr int kWritten = 6000;
    for (int i = 0; i < kWritten; ++i) writeTo(LogId::Main, 1, 300, 4, "T", std::to_string(i).c_str());
    const int present = static_cast<int>(LogBuffer::get(LogId::Main)->stats().entries);
    Read lapped = readLogcat();
    EXPECT_EQ(kWritten - (present - 1), lapped.entry.lost);
    EXPECT_EQ("I/T      (      1): 0", lapped.text);
    EXPECT_EQ(0, readLogcat().entry.lost);
}

TEST(ReaderText, CachedPrefixGivesTheBytesOfAFreshOneWhateverChanges) {
    // xkt_read_logcat keeps the prefix of the entry before; each text must
    // be the one formatReaderText makes for its entry alone.
    struct Step { int priority; int32_t pid; std::string tag; std::string message; };
    const Step steps[] = {
        {4, 123, "XKT", "one"}, {4, 123, "XKT", "two\nlines"}, {5, 123, "XKT", "x"},
        {5, -45, "XKT", "x"}, {5, -45, "XKTPlayer", "x"}, {5, -45, "XK", "x"},
        {5, -45, "XKT", "x"}, {9, 1234567, std::string(300, 't'), "long tag"}, {4, 123, "XKT", "one"},
    };
    ReaderPrefixCache cache;
    for (const Step& step : steps) {
        // One buffer for every tag: a view over the same bytes may change.
        static char tagBytes[400];
        std::memcpy(tagBytes, step.tag.data(), step.tag.size());
        LogEntryView view;
        view.priority = step.priority;
        view.header.pid = step.pid;
        view.tag = std::string_view(tagBytes, step.tag.size());
        view.message = step.message;
        char fresh[512], cached[512];
        const size_t freshLength = formatReaderText(view, fresh, sizeof fresh);
        const size_t cachedLength = formatReaderLines(cache.prefix(view), view.message, cached, sizeof cached);
        EXPECT_EQ(std::string(fresh, freshLength + 1), std::string(cached, cachedLength + 1)) << step.tag;
        EXPECT_EQ(step.tag, cache.tag());
    }
}

}  // namespace
