// The log thread: dispatch to the channel table, device reads one entry per
// call, and the real thread in both modes from XKT_logWrite to a channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "android/log.h"
#include "log_buffer.h"
#include "log_entries.h"
#include "log_model.h"
#include "log_settings.h"
#include "log_thread.h"
#include "sandbox.h"
#include "xkt_log.h"
#include "xkt_logdev.h"

using namespace xkt::log;
using namespace xkt::host;
using namespace xkt::test;

namespace {

// What the channels saw, in order: "f<channel>" for a formatter call,
// "o<channel>:<text>" for an output call, and channel 5's items as
// "5:<type> <level> [<module>] <file>:<line> | <message>" or "5:<plain line>".
// Never destroyed: the log thread outlives the test.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;

    void add(std::string text) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(text));
        changed.notify_all();
    }
    bool waitForItem(const std::string& item) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] {
            return std::find(events.begin(), events.end(), "5:" + item) != events.end();
        });
    }
};
Seen& seen = *new Seen;

template <int Channel>
int32_t formatter(const void* item, char* buffer, int32_t kind) {
    const auto* r = static_cast<const LogRecord*>(item);
    char text[1400];
    if (Channel == 5 && kind == 1) {
        std::snprintf(text, sizeof text, "%u %u [%s] %s:%d | %s", r->type, r->level, r->module,
                      r->file, r->line, r->message);
    }
    seen.add("f" + std::to_string(Channel));
    if (Channel == 5) seen.add(std::string("5:") + (kind == 1 ? text : static_cast<const char*>(item)));
    std::snprintf(buffer, 64, "c%d:%d:%.20s", Channel, kind, kind == 1 ? "" : static_cast<const char*>(item));
    return 0;
}
template <int Channel>
int32_t output(const char* text) {
    seen.add("o" + std::to_string(Channel) + ":" + text);
    return 0;
}

std::string withPid(const char* format) {
    char text[128];
    std::snprintf(text, sizeof text, format, static_cast<int>(getpid()));
    return text;
}

// The thread reuses its buffers from item to item; every channel must still
// get a formatter buffer all zero, and an item and an output text zero
// behind their NULs. Each miss is counted.
std::atomic<int> dirtyBuffers{0};

bool zeroFrom(const char* bytes, size_t from, size_t size) {
    return std::all_of(bytes + from, bytes + size, [](char c) { return c == '\0'; });
}
int32_t clearedBufferFormatter(const void* item, char* buffer, int32_t kind) {
    const char* bytes = static_cast<const char*>(item);
    const size_t textAt = kind == 1 ? offsetof(LogRecord, message) : 0;
    const size_t end = textAt + std::strlen(bytes + textAt) + 1;
    const bool clean = zeroFrom(buffer, 0, XKT_LOG_FORMAT_BUFFER_SIZE) &&
                       zeroFrom(bytes, end, XKT_LOG_ITEM_SIZE);
    if (!clean) ++dirtyBuffers;
    return formatter<5>(item, buffer, kind);
}
int32_t zeroTailOutput(const char* text) {
    if (!zeroFrom(text, std::strlen(text), XKT_LOG_FORMAT_BUFFER_SIZE)) ++dirtyBuffers;
    return 0;
}

LogBuffer& buffer(LogId id) { return *LogBuffer::get(id); }
const std::string kRecordLine = " 9: 5: 7|0000001234|Oper| WARN|       net|4321:player.cpp:88:play|code:13|hello";

class LogThreadTest : public SandboxTest {
protected:
    void SetUp() override { setMode(0); }
    void setMode(int logcat) {
        setenv("XKT_ANDROID_VERSION", logcat ? "4" : "2", 1);
        g_iLogcatMode = logcat;
        ASSERT_TRUE(passEverything());
    }
    alignas(LogRecord) char item[XKT_LOG_ITEM_SIZE] = {};
    int32_t kind = -1;
};

}  // namespace

TEST_F(LogThreadTest, DispatchVisitsChannelsInOrderAndChannelFourInLogcatModeOnly) {
    XKT_logRegCallback(0, formatter<0>, output<0>);
    XKT_logRegCallback(1, formatter<1>, output<1>);
    XKT_logRegCallback(3, formatter<3>, output<3>);
    XKT_logRegCallback(4, formatter<4>, output<4>);
    XKT_logRegCallback(5, nullptr, output<5>);  // an output alone gets an empty text
    XKT_logRegCallback(6, formatter<6>, nullptr);
    char line[] = "plain";
    int32_t lineKind = 0;
    for (int mode : {0, 1}) {
        seen.events.clear();
        g_iLogcatMode = mode;
        EXPECT_EQ(0, XKT_processLog(line, &lineKind));
        std::vector<std::string> expected = {"f0", "o0:c0:0:plain", "f1", "o1:c1:0:plain", "f3", "o3:c3:0:plain"};
        if (mode == 1) expected.insert(expected.end(), {"f4", "o4:c4:0:plain"});
        expected.insert(expected.end(), {"o5:", "f6"});
        EXPECT_EQ(expected, seen.events) << "mode " << mode;
    }
}

TEST_F(LogThreadTest, ReadyDevicesAreReadInTableOrderOneItemPerCallAndFlushedOnFailure) {
    // Through main and system only, from empty buffers (set-up wrote to main).
    buffer(LogId::Main).clear();
    logDeviceFd[0] = xkt_logdev_open("/dev/log/main");
    logDeviceFd[1] = xkt_logdev_open("/dev/log/system");
    ASSERT_TRUE(logDeviceFd[0] > 0 && logDeviceFd[1] > 0);
    // System's entry is the oldest, yet main is read first; main's second
    // entry is refused (empty message), so system serves that same call.
    buffer(LogId::System).write(LogOrigin{77, 77, 0, 0}, 4, "ActivityManager", "from system");
    buffer(LogId::Main).write(LogOrigin{321, 321, 0, 0}, 4, "XKT", kRecordLine);
    buffer(LogId::Main).write(LogOrigin{1, 1, 0, 0}, 4, "T", "");
    ASSERT_EQ(0, XKT_logBufRead(item, &kind));
    EXPECT_EQ(1, kind);
    EXPECT_STREQ("I/XKT(  321): hello", reinterpret_cast<LogRecord*>(item)->message);
    ASSERT_EQ(0, XKT_logBufRead(item, &kind));
    EXPECT_EQ(0, kind);
    EXPECT_STREQ("I/ActivityManager(   77): from system\n", item);
    EXPECT_EQ(-1, XKT_logBufRead(item, &kind));

    // An entry whose header disagrees with what was read is skipped.
    char entry[XKT_LOG_ITEM_SIZE] = {};
    const char payload[] = "\x04T\0abc";
    std::memcpy(entry + kDeviceHeaderSize, payload, sizeof payload);
    entry[0] = sizeof payload;
    EXPECT_EQ(0, takeDeviceEntry(item, entry, kDeviceHeaderSize + sizeof payload, &kind));
    EXPECT_EQ(-1, takeDeviceEntry(item, entry, kDeviceHeaderSize + sizeof payload + 1, &kind));
    EXPECT_EQ(-1, takeDeviceEntry(item, entry, 4, &kind));

    // Too large for the reader's buffer: the read fails, and would forever.
    buffer(LogId::Main).write(4, "T", std::string(2000, 'x'));
    buffer(LogId::Main).write(4, "T", "behind it");
    EXPECT_EQ(-1, XKT_logBufRead(item, &kind));
    EXPECT_EQ(-1, XKT_logBufRead(item, &kind));  // the flush took both
    buffer(LogId::Main).write(LogOrigin{3, 3, 0, 0}, 4, "T", "after");
    ASSERT_EQ(0, XKT_logBufRead(item, &kind));
    EXPECT_STREQ("I/T(    3): after\n", item);
}

TEST_F(LogThreadTest, ThreadEndsWhenNoDeviceOpens) {
    for (auto& path : logDev) std::strcpy(path, "/dev/log/none");
    EXPECT_EQ(0, XKT_logThread());
    auto lines = readTagged("LOG");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Log:none log devices can be opened\n", lines.back().message);
    EXPECT_EQ(ANDROID_LOG_DEBUG, lines.back().priority);
}

TEST_F(LogThreadTest, ThreadDeliversInBothModes) {
    for (int i : {1, 2}) std::strcpy(logDev[i], "/dev/log/none");
    XKT_logRegCallback(5, formatter<5>, nullptr);
    ASSERT_EQ(0, XKT_thread_create(XKT_logThread, 0, 0, 1, 0));
    XKT_logWrite("/src/player.cpp", 12, "play", 0, 2, 3, "net", "hello %d", 7);
    ASSERT_TRUE(seen.waitForItem(withPid("2 3 [       net] player.cpp:12 | W/XKT(%5d): hello 7")));
    // Opened devices fill the table from its start; the rest stays 0.
    EXPECT_TRUE(logDeviceFd[0] > 0 && logDeviceFd[1] > 0);
    EXPECT_EQ(0, logDeviceFd[2]);

    // The thread moves to the logcat reader (which, unlike the devices'
    // table, outlives the process's static objects): every line of an
    // entry is an item.
    setMode(1);
    __android_log_write(ANDROID_LOG_INFO, "Test", "switched");
    ASSERT_TRUE(seen.waitForItem(withPid("I/Test   (%7d): switched\n")));
    __android_log_write(ANDROID_LOG_ERROR, "ActivityManager", "one\ntwo\nthree");
    for (const char* line : {"one", "two", "three"}) {
        EXPECT_TRUE(seen.waitForItem(withPid("E/ActivityManager(%7d): ") + line + "\n")) << line;
    }
}

TEST_F(LogThreadTest, ReusedBuffersReachEveryChannelAsIfClearedWhole) {
    setMode(1);
    XKT_logRegCallback(0, XKT_logDefFormatter, XKT_logDefOutput);  // skipped: it shows nothing
    XKT_logRegCallback(1, XKT_SyslogFormatter, zeroTailOutput);
    XKT_logRegCallback(3, XKT_logDefFormatter, zeroTailOutput);
    XKT_logRegCallback(5, clearedBufferFormatter, nullptr);
    ASSERT_EQ(0, XKT_thread_create(XKT_logThread, 0, 0, 1, 0));
    // Each item shorter than the one before, records and plain lines mixed.
    XKT_logWrite("/src/a.cpp", 1, "f", 0, 2, 3, "net", "%s", std::string(900, 'r').c_str());
    __android_log_write(ANDROID_LOG_INFO, "Long", std::string(600, 'p').c_str());
    XKT_logWrite("/src/a.cpp", 2, "f", 0, 2, 3, "net", "short");
    __android_log_write(ANDROID_LOG_INFO, "T", "end");
    ASSERT_TRUE(seen.waitForItem(withPid("I/T      (%7d): end\n")));
    EXPECT_TRUE(seen.waitForItem(withPid("2 3 [       net] a.cpp:2 | W/XKT(%5d): short")));
    EXPECT_EQ(0, dirtyBuffers.load());
}

TEST_F(LogThreadTest, ALoneRecordReachesTheFileWhileDroppedEntriesFloodTheReader) {
    setMode(1);
    const std::string dir = sandbox_.path("/tmp/log");
    ASSERT_EQ(0, std::system(("mkdir -p '" + dir + "'").c_str()));
    std::strcpy(g_macString, "00:11:22:33:44:55");
    g_logFileMutex = XKT_mutex_create();
    XKT_logRegCallback(2, XKT_SyslogFormatter, XKT_logFileOutput);
    g_logConfig.logType = XKT_LOG_TYPE_OPER;  // the conversion drops every plain line
    ASSERT_EQ(0, XKT_thread_create(XKT_logThread, 0, 0, 1, 0));
    std::atomic<bool> stop{false};
    std::thread flood([&] {  // paced: the reader never waits for the log, nor is lapped
        for (; !stop; usleep(200)) __android_log_write(ANDROID_LOG_INFO, "Flood", "dropped");
    });
    XKT_logWrite("/src/a.cpp", 1, "f", 0, XKT_LOG_TYPE_OPER, XKT_LOG_LEVEL_WARN, "net", "lone");
    EXPECT_TRUE(eventually([&] { return capture("cat '" + dir + "'/*.log").find("lone") != std::string::npos; }));
    stop = true;
    flood.join();
}
