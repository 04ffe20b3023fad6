// The capture ring of the older generations: under load every entry of main
// and system reaches channel 4 once, in order, with the slots taken in turn;
// it drains with nothing registered and goes on without its count lock; refused
// entries go nowhere; a device that does not open ends the process.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture_ring.h"
#include "log_buffer.h"
#include "log_entries.h"
#include "sandbox.h"
#include "xkt_log.h"

using namespace xkt::log;
using namespace std::chrono_literals;
using namespace xkt::host;

namespace {

constexpr int32_t kMainPid = 321;
constexpr int32_t kSystemPid = 654;
constexpr int kRoundsPerPass = 101;

// What reached channel 4, with the slot the line writer was emptying. The
// line writer can be held in its first formatter call. Never destroyed: the
// ring's threads outlive the test.
struct Channel4 {
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false, holding = false;
    std::vector<std::pair<int32_t, std::string>> items;  // slot, text
    std::vector<std::string> lines;                      // what the output got
};
Channel4& seen = *new Channel4;

int32_t recordingFormatter(const void* item, char* line, int32_t kind) {
    const int32_t slot = captureRingState().readIndex;
    const auto* record = static_cast<const LogRecord*>(item);
    const std::string text = kind == 1 ? "record:" + std::string(record->message)
                                       : static_cast<const char*>(item);
    std::unique_lock<std::mutex> lock(seen.mutex);
    seen.holding = seen.hold;
    seen.changed.notify_all();
    seen.changed.wait(lock, [] { return !seen.hold; });
    seen.holding = false;
    seen.items.emplace_back(slot, text);
    std::snprintf(line, XKT_LOG_FORMAT_BUFFER_SIZE, "line %zu", seen.items.size());
    return 0;
}
int32_t recordingOutput(const char* text) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.lines.emplace_back(text);
    return 0;
}

void writeTo(LogId id, int32_t pid, const char* tag, const std::string& message) {
    LogBuffer::get(id)->write(LogOrigin{pid, pid, 0, 0}, 4 /* info */, tag, message);
}
std::string plainLine(const char* tag, int32_t pid, const std::string& message) {
    char text[256];
    std::snprintf(text, sizeof text, "I/%s(%5d): %s\n", tag, pid, message.c_str());
    return text;
}

// The texts that reached channel 4, filler left out.
std::vector<std::string> deliveredTexts() {
    std::lock_guard<std::mutex> lock(seen.mutex);
    std::vector<std::string> texts;
    for (const auto& item : seen.items) {
        if (item.second.rfind("I/Fill(", 0) != 0) texts.push_back(item.second);
    }
    return texts;
}

// A pass ends only after 101 rounds: filler entries complete the last one
// until done() holds. False after 60 s.
template <typename Done>
bool feedUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        for (int i = 0; i < 20; ++i) writeTo(LogId::Main, 1, "Fill", "f");
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool ringIs(int32_t filledSlots, int32_t readIndex, int32_t writeIndex) {
    const CaptureRingState now = captureRingState();
    return now.filledSlots == filledSlots && now.readIndex == readIndex &&
           now.writeIndex == writeIndex;
}

class CaptureRingTest : public xkt::test::SandboxTest {
protected:
    // Before the first platform call: the generation is read once.
    void SetUp() override { setenv("XKT_ANDROID_VERSION", "2", 1); }
};

}  // namespace

TEST_F(CaptureRingTest, UnderLoadEveryEntryArrivesOnceWithTheSlotsTakenInTurn) {
    seen.hold = true;
    XKT_logRegCallback(4, recordingFormatter, recordingOutput);
    ASSERT_EQ(0, XKT_OldVersionErrorLogInit());
    // A second pair, or new slots, would deliver entries twice or lose them.
    EXPECT_EQ(0, XKT_OldVersionErrorLogInit());

    // The writer outruns the held line writer: slot 0 in its hands, 1 and 2
    // filled behind it, and the reader waits for slot 0 to be emptied.
    int pairs = 0;
    auto writePairs = [&pairs](int count) {
        for (int i = 0; i < count; ++i, ++pairs) {
            writeTo(LogId::Main, kMainPid, "Ring", "m" + std::to_string(pairs));
            writeTo(LogId::System, kSystemPid, "Ring", "s" + std::to_string(pairs));
        }
    };
    xkt::test::eventually([&] {
        writePairs(10);
        return captureRingState().filledSlots >= 3;
    });
    writePairs(4 * kRoundsPerPass);  // these wait in the devices
    {
        std::unique_lock<std::mutex> lock(seen.mutex);
        ASSERT_TRUE(seen.changed.wait_for(lock, 20s, [] { return seen.holding; }));
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(ringIs(3, 0, 0));
        EXPECT_TRUE(seen.items.empty());
        seen.hold = false;
        seen.changed.notify_all();
    }

    ASSERT_TRUE(feedUntil([&] { return deliveredTexts().size() >= size_t(2 * pairs); }));
    // Each device's entries in order, none lost, none twice.
    std::array<std::vector<std::string>, 2> expected, got;  // main, system
    for (int i = 0; i < pairs; ++i) {
        expected[0].push_back(plainLine("Ring", kMainPid, "m" + std::to_string(i)));
        expected[1].push_back(plainLine("Ring", kSystemPid, "s" + std::to_string(i)));
    }
    for (const std::string& text : deliveredTexts()) {
        got[text.find("(  321)") == std::string::npos].push_back(text);
    }
    EXPECT_EQ(expected, got);

    std::lock_guard<std::mutex> lock(seen.mutex);
    // Slots emptied 0, 1, 2, 0, ...; every pass holds at least 101 items.
    std::vector<int32_t> runs;
    for (const auto& item : seen.items) {
        if (runs.empty() || runs.back() != item.first) runs.push_back(item.first);
    }
    EXPECT_GE(runs.size(), 4u);
    for (size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(static_cast<int32_t>(i % 3), runs[i]) << i;
    // The output follows each formatter call with the formatter's line.
    EXPECT_EQ("line " + std::to_string(seen.lines.size()), seen.lines.back());
}

TEST_F(CaptureRingTest, DrainsWithNothingRegisteredAndGoesOnWithoutItsCountLock) {
    ASSERT_EQ(0, XKT_OldVersionErrorLogInit());
    // Five passes of main alone (one entry a round) with channel 4 empty:
    // the reader gets past the third only if the line writer empties slots
    // that nobody listens to. It then rests at slot 2 with nothing filled.
    for (int i = 0; i < 5 * kRoundsPerPass; ++i) {
        writeTo(LogId::Main, kMainPid, "Quiet", "q" + std::to_string(i));
    }
    int stable = 0;  // polls in a row at rest: 300 ms, not just passing through
    ASSERT_TRUE(xkt::test::eventually([&] {
        stable = ringIs(0, 2, 2) ? stable + 1 : 0;
        return stable >= 30;
    })) << captureRingState().filledSlots;

    // As XKT_logDeinit does under the running threads; a repeat finds
    // nothing. What follows runs without the count lock.
    destroyCaptureRingLock();
    destroyCaptureRingLock();

    // Refused entries (empty message, a middleware line off the layout) are
    // dropped; the rest arrive in order, a record line as a record. Nothing
    // of the quiet phase comes back.
    XKT_logRegCallback(4, recordingFormatter, nullptr);
    std::vector<std::string> expected;
    for (int i = 0; i < 150; ++i) {
        const std::string message = "g" + std::to_string(i);
        writeTo(LogId::Main, kMainPid, "Ring", message);
        expected.push_back(plainLine("Ring", kMainPid, message));
        writeTo(LogId::Main, kMainPid, "Ring", "");
        writeTo(LogId::Main, kMainPid, "XKT", "%s%n%x");
        if (i == 0) {
            writeTo(LogId::Main, kMainPid, "XKT",
                    " 9: 5: 7|0000001234|Oper| WARN|       net|4321:player.cpp:88:play|code:13|hello");
            expected.push_back("record:I/XKT(  321): hello");
        }
    }
    ASSERT_TRUE(feedUntil([&] { return deliveredTexts().size() >= expected.size(); }));
    EXPECT_EQ(expected, deliveredTexts());
}

TEST_F(CaptureRingTest, ADeviceThatDoesNotOpenEndsTheProcess) {
    ASSERT_TRUE(xkt::test::passEverything());
    // A directory where the system buffer's file belongs: main opens, system cannot.
    std::filesystem::create_directories(sandbox_.path("/dev/log/system"));
    EXPECT_EXIT(XKT_errorLogThread(), testing::ExitedWithCode(1), "");
    EXPECT_TRUE(xkt::test::said("ERROR", "XKT_errorLogThread", "Unable to open log device"));
}
