// The host's log rings: entry layout, readers, overwriting, waiting across
// processes, and recovery from dead writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_buffer.h"
#include "sandbox.h"

namespace {

using namespace xkt::host;
using namespace xkt::test;
using Messages = std::vector<std::string>;

LogBuffer& buffer(LogId id = LogId::Main) { return *LogBuffer::get(id); }

// The messages left, one entry a read, or `chunk` bytes a readSome.
Messages readMessages(LogReader& reader, size_t chunk = 0) {
    Messages messages;
    uint8_t raw[kMaxEntrySize];
    LogEntryView view;
    for (int size; (size = chunk ? reader.readSome(raw, chunk) : reader.read(raw, sizeof raw)) > 0;) {
        for (size_t at = 0; at < size_t(size); at += kEntryHeaderSize + view.header.payloadLength) {
            if (!parseLogEntry(raw + at, size_t(size) - at, view)) return messages;
            messages.emplace_back(view.message);
        }
    }
    return messages;
}

// About 100 bytes that say which entry it was.
std::string numbered(int index) {
    std::string text = "entry " + std::to_string(index) + " ";
    text.resize(100, '.');
    return text;
}

TEST(LogBufferRead, OneReadReturnsOneWholeEntryOrFailsAndKeepsIt) {
    Sandbox sandbox;
    LogReader reader(buffer());
    LogOrigin origin{42, 43, 1000, 5};
    EXPECT_EQ(3 + 3 + 5, buffer().write(origin, 4, "TAG", "hello"));
    EXPECT_EQ(int(kMaxPayload), buffer().write(origin, 3, "LONG", std::string(9000, 'x')));

    uint8_t raw[kMaxEntrySize];
    EXPECT_EQ(-EINVAL, reader.read(raw, 30));
    ASSERT_EQ(31, reader.read(raw, 31));
    const uint8_t expected[31] = {11, 0, 0, 0, 42, 0, 0, 0, 43, 0, 0, 0, 0xe8, 0x03, 0, 0,
                                  5, 0, 0, 0, 4, 'T', 'A', 'G', 0, 'h', 'e', 'l', 'l', 'o', 0};
    EXPECT_EQ(0, std::memcmp(raw, expected, sizeof expected));
    EXPECT_EQ(int(kMaxEntrySize), reader.read(raw, sizeof raw));  // cut to fit
    LogEntryView view;
    ASSERT_TRUE(parseLogEntry(raw, kMaxEntrySize, view));
    EXPECT_EQ(std::string(kMaxPayload - 3 - 4, 'x'), view.message);
    EXPECT_EQ(0, reader.read(raw, sizeof raw));
    LogReader dump(buffer());
    dump.stopAtCurrentEnd();  // a dump ends even while writers go on
    buffer().write(4, "T", "later");
    EXPECT_EQ(2u, readMessages(dump).size());
}

// Oldest first, as the one thread wrote them, and the newest of them there.
void expectInOrderEndingAt(const Messages& messages, int last) {
    auto notAfter = [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(6)) >= std::stoi(b.substr(6));  // "entry N ..."
    };
    EXPECT_EQ(messages.end(), std::adjacent_find(messages.begin(), messages.end(), notAfter));
    EXPECT_EQ(numbered(last), messages.empty() ? "" : messages.back());
}

// Readers keep positions of their own; each sees every entry from the
// oldest still present, and one that was lapped counts exactly what it
// lost. readSome takes whole entries in order across a ring's end.
TEST(LogBufferRead, EveryReaderSeesEveryEntryALappedOneCountsWhatItLost) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    ASSERT_EQ(8192u, buffer().stats().capacity);
    LogReader first(buffer()), second(buffer());
    buffer().write(4, "T", numbered(0));
    EXPECT_EQ(Messages{numbered(0)}, readMessages(first));
    EXPECT_FALSE(LogReader(buffer(LogId::System)).hasUnread());
    const int total = 3000;  // more than all lanes hold
    for (int i = 1; i < total; ++i) buffer().write(4, "T", numbered(i));
    const int present = static_cast<int>(buffer().stats().entries);
    ASSERT_LT(present, total / 2);
    LogReader fresh(buffer());

    const Messages seen = readMessages(second);
    ASSERT_EQ(static_cast<size_t>(present), seen.size());
    expectInOrderEndingAt(seen, total - 1);
    EXPECT_EQ(static_cast<uint64_t>(total - present), second.lost());
    // Every entry read or counted as lost, once.
    EXPECT_EQ(static_cast<uint64_t>(total), 1 + readMessages(first).size() + first.lost());
    EXPECT_EQ(seen, readMessages(fresh));
    EXPECT_EQ(0u, fresh.lost());
    // Each reader's own loss, and the most any one lost: never their sum.
    const LogBufferStats stats = buffer().stats();
    EXPECT_EQ(second.lost(), stats.lost);
    EXPECT_EQ(static_cast<uint64_t>(total), stats.written);
    std::multiset<uint64_t> losses;
    for (const LogReaderStats& one : stats.readers) losses.insert(one.lost);
    EXPECT_EQ((std::multiset<uint64_t>{0, first.lost(), second.lost()}), losses);

    constexpr size_t kEntry = kEntryHeaderSize + 3 + 1 + 100;  // tag "T", numbered()
    LogReader reader(buffer());
    uint8_t raw[kMaxEntrySize];
    EXPECT_EQ(-EINVAL, reader.readSome(raw, kEntry - 1));
    EXPECT_EQ(seen, readMessages(reader, 3 * kEntry + kEntry / 2));
}

// A burst larger than a lane, written while the log thread reads nothing,
// spreads over the other lanes: the log thread loses none of it, burst
// after burst, as long as one fits in the whole buffer.
TEST(LogBufferRead, ABurstLargerThanALaneIsKeptForTheLogThread) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    std::unique_ptr<LogReader> logThread;
    std::thread([&logThread] {
        pthread_setname_np(pthread_self(), "log_thread");
        logThread = std::make_unique<LogReader>(buffer());
    }).join();
    const int burst = 900;  // of about 1,050 that all lanes hold
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < burst; ++i) buffer().write(4, "T", numbered(round * burst + i));
        const Messages seen = readMessages(*logThread);
        ASSERT_EQ(size_t(burst), seen.size()) << round;
        expectInOrderEndingAt(seen, (round + 1) * burst - 1);
    }
    EXPECT_EQ(0u, logThread->lost());
}

// Threads write into lanes of their own; a reader merges the lanes by time,
// but never reorders one thread's entries, even when its clock went back.
TEST(LogBufferRead, LanesMergeByTimeAndEachThreadKeepsItsOrder) {
    Sandbox sandbox;
    using Entry = std::pair<int32_t, std::string>;  // seconds, text
    const std::vector<std::vector<Entry>> threads = {
        {{10, "first of 0"}, {15, "second of 0"}},
        {{11, "first of 1"}},
        {{12, "first of 2"}, {20, "late of 2"}, {1, "clock went back in 2"}},
        {{13, "first of 3"}},
    };
    // All stay until all have written: a live writer keeps its lane to itself.
    std::atomic<size_t> written{0};
    std::vector<std::thread> writers;
    for (const auto& entries : threads) {
        writers.emplace_back([&entries, &written, &threads] {
            for (const auto& [seconds, text] : entries) {
                buffer().write(LogOrigin{1, 2, seconds, 0}, 4, "T", text);
            }
            ++written;
            while (written < threads.size()) std::this_thread::yield();
        });
    }
    for (auto& writer : writers) writer.join();
    const Messages expected = {"first of 0", "first of 1", "first of 2", "first of 3",
                               "second of 0", "late of 2", "clock went back in 2"};
    LogReader one(buffer());
    EXPECT_EQ(expected, readMessages(one));
}

LogBuffer::WriteStage stageToDieAt;
constexpr int kFill = 1200;

class KilledWriter : public ::testing::TestWithParam<LogBuffer::WriteStage> {};

TEST_P(KilledWriter, LeavesNoTornEntryAndTheNextWriterRecovers) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    // The writer fills every lane first, so that its last write must drop.
    int entries[2];
    ASSERT_EQ(0, pipe(entries));
    stageToDieAt = GetParam();
    ASSERT_EQ(128 + SIGKILL, runInChild([&entries] {
        for (int i = 0; i < kFill; ++i) buffer().write(4, "T", numbered(i));
        const auto before = static_cast<int>(buffer().stats().entries);
        if (write(entries[1], &before, sizeof before) != sizeof before) return 1;
        LogBuffer::setWriteHookForTest([](LogBuffer::WriteStage stage) {
            if (stage == stageToDieAt) raise(SIGKILL);
        });
        buffer().write(4, "T", "torn " + std::string(500, 'z'));
        return 0;
    }));
    int before = 0;
    ASSERT_EQ(ssize_t(sizeof before), read(entries[0], &before, sizeof before));

    LogReader reader(buffer());  // takes the dead writer's lock over
    Messages messages = readMessages(reader);
    const int left = static_cast<int>(messages.size());
    EXPECT_LE(left, before);
    EXPECT_GE(left, before - 7);  // at most a slice of one lane went: the entry and 1/32
    expectInOrderEndingAt(messages, kFill - 1);
    EXPECT_GT(buffer().write(4, "T", "after"), 0);
    EXPECT_EQ(Messages{"after"}, readMessages(reader));
}

INSTANTIATE_TEST_SUITE_P(AtEveryStage, KilledWriter,
                         ::testing::Values(LogBuffer::WriteStage::OldestDropped,
                                           LogBuffer::WriteStage::HalfCopied,
                                           LogBuffer::WriteStage::Copied));

}  // namespace
