// The host's log rings: entry layout, readers, overwriting, waiting across
// processes, and recovery from dead writers and damaged files.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "log_buffer.h"
#include "root_path.h"
#include "sandbox.h"

namespace {

using namespace xkt::host;
using xkt::test::runInChild;
using xkt::test::Sandbox;

LogBuffer& buffer(LogId id = LogId::Main) {
    LogBuffer* mapped = LogBuffer::get(id);
    if (mapped == nullptr) std::abort();
    return *mapped;
}

std::vector<std::string> readMessages(LogReader& reader) {
    std::vector<std::string> messages;
    uint8_t raw[kMaxEntrySize];
    LogEntryView view;
    for (int size; (size = reader.read(raw, sizeof raw)) > 0;) {
        if (!parseLogEntry(raw, static_cast<size_t>(size), view)) break;
        messages.emplace_back(view.message);
    }
    return messages;
}

// About 100 bytes that say which entry it was.
std::string numbered(int index) {
    std::string text = "entry " + std::to_string(index) + " ";
    text.resize(100, '.');
    return text;
}

// Polls for up to 30 s what happens within milliseconds.
template <typename Cond>
bool eventually(Cond cond) {
    for (int i = 0; i < 30000 && !cond(); ++i) usleep(1000);
    return cond();
}

TEST(LogEntryLayout, HeaderIsLittleEndianLoggerV1) {
    const uint8_t raw[kEntryHeaderSize] = {0x23, 0x01, 0, 0, 0x04, 0x03, 0x02, 0x01, 0xfe, 0xff,
                                           0xff, 0xff, 0xf0, 0x0f, 0x5e, 0x5f, 0xff, 0xc9, 0x9a, 0x3b};
    LogEntryHeader header = decodeEntryHeader(raw);
    EXPECT_EQ(0x0123, header.payloadLength);
    EXPECT_EQ(0x01020304, header.pid);
    EXPECT_EQ(-2, header.tid);
    EXPECT_EQ(0x5f5e0ff0, header.seconds);
    EXPECT_EQ(999999999, header.nanoseconds);
    uint8_t back[kEntryHeaderSize];
    encodeEntryHeader(header, back);
    EXPECT_EQ(0, std::memcmp(raw, back, sizeof raw));
}

TEST(LogBufferRead, OneReadReturnsOneWholeEntryOrFailsAndKeepsIt) {
    Sandbox sandbox;
    LogReader reader(buffer());
    LogOrigin origin{42, 43, 1000, 5};
    EXPECT_EQ(3 + 3 + 5, buffer().write(origin, 4, "TAG", "hello"));
    EXPECT_EQ(static_cast<int>(kMaxPayload), buffer().write(origin, 3, "LONG", std::string(9000, 'x')));

    uint8_t raw[kMaxEntrySize];
    EXPECT_EQ(-EINVAL, reader.read(raw, 30));
    ASSERT_EQ(31, reader.read(raw, 31));
    const uint8_t expected[31] = {11, 0, 0, 0, 42, 0, 0, 0, 43, 0, 0, 0, 0xe8, 0x03, 0, 0,
                                  5, 0, 0, 0, 4, 'T', 'A', 'G', 0, 'h', 'e', 'l', 'l', 'o', 0};
    EXPECT_EQ(0, std::memcmp(raw, expected, sizeof expected));
    EXPECT_EQ(static_cast<int>(kMaxEntrySize), reader.read(raw, sizeof raw));  // cut to fit
    LogEntryView view;
    ASSERT_TRUE(parseLogEntry(raw, kMaxEntrySize, view));
    EXPECT_EQ(std::string(kMaxPayload - 3 - 4, 'x'), view.message);
    EXPECT_FALSE(parseLogEntry(raw, kMaxEntrySize - 1, view));  // shorter than it says
    EXPECT_EQ(0, reader.read(raw, sizeof raw));
}

TEST(LogBufferRead, EveryReaderHasItsOwnPositionFromTheOldestEntry) {
    Sandbox sandbox;
    buffer().write(4, "T", "one");
    LogReader early(buffer());
    EXPECT_EQ(std::vector<std::string>{"one"}, readMessages(early));
    buffer().write(4, "T", "two");
    LogReader late(buffer());
    buffer().write(4, "T", "three");
    EXPECT_EQ((std::vector<std::string>{"two", "three"}), readMessages(early));
    late.stopAtCurrentEnd();  // as a dump does
    buffer().write(4, "T", "four");
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), readMessages(late));
    EXPECT_FALSE(LogReader(buffer(LogId::System)).hasUnread());
}

TEST(LogBufferRead, LappedReaderContinuesAtOldestAndCountsTheLoss) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    ASSERT_EQ(8192u, buffer().stats().capacity);
    LogReader first(buffer());
    LogReader second(buffer());
    buffer().write(4, "T", numbered(0));
    EXPECT_EQ(1u, readMessages(first).size());
    const int total = 300;
    for (int i = 1; i < total; ++i) buffer().write(4, "T", numbered(i));
    const int present = static_cast<int>(buffer().stats().entries);
    ASSERT_LT(present, 100);  // the ring really was lapped
    LogReader fresh(buffer());

    std::vector<std::string> seen = readMessages(first);
    ASSERT_EQ(static_cast<size_t>(present), seen.size());
    for (int i = 0; i < present; ++i) EXPECT_EQ(numbered(total - present + i), seen[i]);
    EXPECT_EQ(static_cast<uint64_t>(total - 1 - present), first.lost());
    EXPECT_EQ(first.lost(), buffer().stats().lost);
    EXPECT_EQ(seen, readMessages(second));
    EXPECT_EQ(static_cast<uint64_t>(total - present), second.lost());
    EXPECT_EQ(seen, readMessages(fresh));
    EXPECT_EQ(0u, fresh.lost());
    EXPECT_EQ(first.lost() + second.lost(), buffer().stats().lost);
}

TEST(LogBufferRead, ClearEmptiesForAllReadersWithoutCountingLoss) {
    Sandbox sandbox;
    LogReader partly(buffer());
    LogReader unread(buffer());
    for (int i = 0; i < 5; ++i) buffer().write(4, "T", numbered(i));
    EXPECT_EQ(5u, readMessages(partly).size());
    buffer().write(4, "T", "unread");
    buffer().clear();
    EXPECT_EQ(0u, buffer().stats().entries);
    EXPECT_EQ(0u, buffer().stats().used);
    buffer().write(4, "T", "after");
    EXPECT_EQ(std::vector<std::string>{"after"}, readMessages(partly));
    EXPECT_EQ(std::vector<std::string>{"after"}, readMessages(unread));
    EXPECT_EQ(0u, partly.lost() + unread.lost() + buffer().stats().lost);
}

TEST(LogBufferConcurrency, ThreadsWriteWhileAReaderReads) {
    Sandbox sandbox;
    constexpr int kWriters = 4;
    constexpr int kEach = 2000;
    LogReader reader(buffer());
    std::vector<std::string> messages;
    std::atomic<int> done{0};
    std::thread consumer([&] {
        LogReader* readers[] = {&reader};
        for (bool finished = false; !finished;) {
            finished = done.load() == kWriters;
            for (const std::string& message : readMessages(reader)) messages.push_back(message);
            waitForLogEntries(readers, 1, 20);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) buffer().write(4, "T", std::to_string(w) + " " + std::to_string(i));
            done.fetch_add(1);
        });
    }
    for (auto& writer : writers) writer.join();
    consumer.join();
    std::map<int, int> next;  // each writer's entries whole and in its order
    for (const std::string& message : messages) {
        int writer = std::stoi(message);
        EXPECT_EQ(next[writer]++, std::stoi(message.substr(message.find(' '))));
    }
    for (int w = 0; w < kWriters; ++w) EXPECT_EQ(kEach, next[w]);
    EXPECT_EQ(0u, reader.lost());
}

TEST(LogBufferWait, WakesOnAWriteInAnotherProcessToAnyWatchedBuffer) {
    Sandbox sandbox;
    LogReader mainReader(buffer());
    LogReader systemReader(buffer(LogId::System));
    LogReader* readers[] = {&mainReader, &systemReader};
    EXPECT_FALSE(waitForLogEntries(readers, 2, 0));
    EXPECT_FALSE(waitForLogEntries(readers, 2, 30));
    pid_t child = fork();
    if (child == 0) {
        usleep(100 * 1000);
        _exit(buffer(LogId::System).write(4, "T", "from child") > 0 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(waitForLogEntries(readers, 2, 60000));  // early only when woken
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(mainReader.hasUnread());
    EXPECT_EQ(std::vector<std::string>{"from child"}, readMessages(systemReader));
    EXPECT_EQ(0u, logWakeStats().sleepers);
}

TEST(LogBufferWait, WritersWakeOnlyWhenSomeoneSleeps) {
    Sandbox sandbox;
    LogReader reader(buffer());
    const uint32_t before = logWakeStats().sequence;
    for (int i = 0; i < 10; ++i) buffer().write(4, "T", "nobody waits");
    EXPECT_EQ(before, logWakeStats().sequence);
    readMessages(reader);
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        LogReader* readers[] = {&reader};
        woke = waitForLogEntries(readers, 1, 60000);
    });
    EXPECT_TRUE(eventually([] { return logWakeStats().sleepers != 0; }));
    buffer().write(4, "T", "wake up");
    sleeper.join();
    EXPECT_TRUE(woke);
    EXPECT_NE(before, logWakeStats().sequence);
}

TEST(LogBufferWait, ShareOfAReaderKilledInItsSleepIsTakenBack) {
    Sandbox sandbox;
    LogReader reader(buffer());
    LogReader* readers[] = {&reader};
    pid_t child = fork();
    if (child == 0) {
        waitForLogEntries(readers, 1, -1);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    bool asleep = eventually([] { return logWakeStats().sleepers != 0; });
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(asleep);
    EXPECT_EQ(1u, logWakeStats().sleepers);
    EXPECT_FALSE(waitForLogEntries(readers, 1, 10));  // this process's first sleep sweeps
    EXPECT_EQ(0u, logWakeStats().sleepers);
}

LogBuffer::WriteStage stageToDieAt;

class KilledWriter : public ::testing::TestWithParam<LogBuffer::WriteStage> {};

TEST_P(KilledWriter, LeavesNoTornEntryAndTheNextWriterRecovers) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "8192", 1);
    for (int i = 0; i < 200; ++i) buffer().write(4, "T", numbered(i));  // full: a write drops
    const int before = static_cast<int>(buffer().stats().entries);
    stageToDieAt = GetParam();
    int status = runInChild([] {
        LogBuffer::setWriteHookForTest([](LogBuffer::WriteStage stage) {
            if (stage == stageToDieAt) raise(SIGKILL);
        });
        buffer().write(4, "T", "torn " + std::string(500, 'z'));
        return 0;
    });
    ASSERT_EQ(128 + SIGKILL, status);

    LogReader reader(buffer());  // takes the dead writer's lock over
    std::vector<std::string> messages = readMessages(reader);
    const int left = static_cast<int>(messages.size());
    EXPECT_LE(left, before);
    EXPECT_GE(left, before - 6);  // at most the room of the new entry went
    for (int i = 0; i < left; ++i) EXPECT_EQ(numbered(200 - left + i), messages[i]);
    EXPECT_GT(buffer().write(4, "T", "after"), 0);
    EXPECT_EQ(std::vector<std::string>{"after"}, readMessages(reader));
}

INSTANTIATE_TEST_SUITE_P(AtEveryStage, KilledWriter,
                         ::testing::Values(LogBuffer::WriteStage::OldestDropped,
                                           LogBuffer::WriteStage::HalfCopied,
                                           LogBuffer::WriteStage::Copied));

TEST(LogBufferFile, ForeignOrTruncatedFilesAreRecreated) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "65536", 1);
    ASSERT_TRUE(makeDirs(sandbox.path("/dev/log")));
    FILE* foreign = std::fopen(sandbox.path("/dev/log/main").c_str(), "w");
    ASSERT_NE(nullptr, foreign);
    std::fputs(std::string(5000, 'G').c_str(), foreign);
    std::fclose(foreign);
    ASSERT_EQ(0, runInChild([] { return buffer(LogId::System).write(4, "T", "old") > 0 ? 0 : 1; }));
    ASSERT_EQ(0, truncate(sandbox.path("/dev/log/system").c_str(), 40000));

    for (LogId id : {LogId::Main, LogId::System}) {
        EXPECT_EQ(65536u, buffer(id).stats().capacity);
        LogReader reader(buffer(id));
        EXPECT_FALSE(reader.hasUnread());
        buffer(id).write(4, "T", "works");
        EXPECT_EQ(std::vector<std::string>{"works"}, readMessages(reader));
    }
}

TEST(LogBufferFile, DamagedIndexIsEmptiedNotTrusted) {
    Sandbox sandbox;
    ASSERT_EQ(0, runInChild([] {
        for (int i = 0; i < 10; ++i) buffer().write(4, "T", "old");
        return 0;
    }));
    std::string junk(104, '\0');  // over the header past its lock word
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 37 + 11);
    int fd = open(sandbox.path("/dev/log/main").c_str(), O_WRONLY);
    ASSERT_EQ(static_cast<ssize_t>(junk.size()), pwrite(fd, junk.data(), junk.size(), 24));
    close(fd);

    LogReader reader(buffer());
    EXPECT_FALSE(reader.hasUnread());
    buffer().write(4, "T", "new");
    EXPECT_EQ(std::vector<std::string>{"new"}, readMessages(reader));
}

TEST(LogBufferFile, SizeComesFromTheEnvironmentWithinLimits) {
    Sandbox sandbox;
    setenv("XKT_LOG_BUFFER_SIZE", "100", 1);  // below one largest entry
    EXPECT_EQ(LogBuffer::kMinCapacity, buffer().stats().capacity);
    setenv("XKT_LOG_BUFFER_SIZE", "lots", 1);
    EXPECT_EQ(LogBuffer::kDefaultCapacity, buffer(LogId::System).stats().capacity);
}

}  // namespace
