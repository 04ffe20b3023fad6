// The shared files under hostile processes: writers stopped inside their
// lane, lock words left by dead, reused or made-up owners, and files
// scribbled over. Nobody may hang, and every other writer's entries arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "log_buffer.h"
#include "property_store.h"
#include "sandbox.h"
#include "xkt_osal.h"

namespace {

using namespace xkt::host;
using namespace xkt::test;

constexpr int kBoundSeconds = 20;  // only keeps a broken build from hanging

// Whether a child stopped itself within the bound; one that did not is killed.
bool stopped(pid_t pid) {
    int status = 0;
    for (int i = 0; i < kBoundSeconds * 100; ++i, usleep(10000)) {
        if (waitpid(pid, &status, WNOHANG | WUNTRACED) == pid) return WIFSTOPPED(status);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

// A victim writes until its hook stops it in the middle of a write, its
// lane's lock held, after a random number of writes.
std::atomic<int> writesBeforeStop{0};
LogBuffer::WriteStage stopAt;

pid_t spawnVictim(unsigned seed) {
    return spawn([seed] {
        std::mt19937 random(seed);
        writesBeforeStop = static_cast<int>(random() % 40);
        // Stages every write passes (dropping the oldest happens only when full).
        stopAt = random() % 2 != 0 ? LogBuffer::WriteStage::HalfCopied : LogBuffer::WriteStage::Copied;
        LogBuffer::setWriteHookForTest([](LogBuffer::WriteStage reached) {
            if (reached == stopAt && writesBeforeStop-- == 0) raise(SIGSTOP);
        });
        for (int i = 0;; ++i) LogBuffer::get(LogId::Main)->write(4, "V", "victim " + std::to_string(i));
        return 0;
    });
}

// 4 threads of numbered entries; fails when a write was refused.
int liveWriter(int process, int each) {
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) {
                const std::string text = "live " + std::to_string(process * 4 + t) + " " + std::to_string(i);
                refused += LogBuffer::get(LogId::Main)->write(4, "L", text) <= 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    return refused == 0 ? 0 : 1;
}

// Writers stopped at random points inside their lanes, while two live
// writer processes write and this process reads: the live writers finish,
// and every one of their entries arrives, each thread's in order. Killed
// afterwards, the stopped ones leave locks that the next round recovers.
TEST(StoppedWriters, OthersFinishAndTheReaderGetsTheirEntries) {
    Sandbox sandbox;
    // Eight lanes stay free for the eight live threads: a live writer that a
    // busy machine preempts in its lane may then hold up none of the others.
    constexpr int kVictims = 8, kLiveProcesses = 2, kEach = 400;
    LogReader reader(*LogBuffer::get(LogId::Main));
    for (unsigned round = 0; round < 3; ++round) {
        std::vector<pid_t> victims, live;
        for (int v = 0; v < kVictims; ++v) victims.push_back(spawnVictim(round * 100 + v));
        for (int p = 0; p < kLiveProcesses; ++p) live.push_back(spawn([p] { return liveWriter(p, kEach); }));
        std::map<int, int> next;  // live thread -> next number expected
        int received = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kBoundSeconds);
        uint8_t raw[kMaxEntrySize];
        while (received < kLiveProcesses * 4 * kEach && std::chrono::steady_clock::now() < deadline) {
            LogReader* readers[] = {&reader};
            waitForLogEntries(readers, 1, 50);
            for (int size; (size = reader.read(raw, sizeof raw)) > 0;) {
                LogEntryView view;
                ASSERT_TRUE(parseLogEntry(raw, static_cast<size_t>(size), view));
                int thread = 0, number = 0;
                if (std::sscanf(std::string(view.message).c_str(), "live %d %d", &thread, &number) != 2) continue;
                EXPECT_EQ(next[thread]++, number) << "round " << round << " thread " << thread;
                ++received;
            }
        }
        for (pid_t pid : live) EXPECT_EQ(0, waitForExit(pid)) << "round " << round;
        EXPECT_EQ(kLiveProcesses * 4 * kEach, received) << "round " << round;
        for (pid_t pid : victims) {
            stopped(pid);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        EXPECT_EQ(0u, reader.lost());
    }
    EXPECT_EQ(0u, LogBuffer::get(LogId::Main)->stats().dropped);
}

// What one process does with every shared file: write and read an entry,
// set and get a property, and wait for entries (which uses the wake area's
// lock). 0 when all of it worked.
int useEverySharedFile() {
    LogBuffer* main = LogBuffer::get(LogId::Main);
    if (main == nullptr) return 2;
    LogReader reader(*main);
    if (main->write(4, "T", "after damage") <= 0) return 3;
    LogReader* readers[] = {&reader};
    if (!waitForLogEntries(readers, 1, 1000)) return 4;
    uint8_t raw[kMaxEntrySize];
    LogEntryView view;
    std::string last;
    for (int size; (size = reader.read(raw, sizeof raw)) > 0;) {
        if (parseLogEntry(raw, static_cast<size_t>(size), view)) last = view.message;
    }
    if (last != "after damage") return 5;
    if (XKT_property_set("after.damage", "ok") != 0) return 6;
    char value[16];
    const bool read = XKT_property_get("after.damage", value, sizeof value) == 0;
    return read && std::strcmp(value, "ok") == 0 ? 0 : 7;
}

// Creates every shared file of the root, as a first user would. The tests
// that loop over roots never use the platform themselves: it reads the root
// once per process, and each child reads it afresh.
void createSharedFiles() {
    ASSERT_EQ(0, runInChild([] {
        XKT_property_set("before", "x");
        LogReader reader(*LogBuffer::get(LogId::Main));
        LogReader* readers[] = {&reader};
        waitForLogEntries(readers, 1, 1);  // maps the wake area
        return LogBuffer::get(LogId::Main)->write(4, "T", "before") > 0 ? 0 : 1;
    }));
}

void overwrite(const std::string& path, size_t offset, const void* bytes, size_t size) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(size), pwrite(fd, bytes, size, static_cast<off_t>(offset)));
    close(fd);
}

// A lock word left by a dead writer whose pid now runs something else, by
// nobody (all ones, a pid that cannot be), or by init: in the lanes, the
// wake area and the property store alike, the next user takes it over.
TEST(SharedLockWords, AnyValueIsRecovered) {
    const pid_t unrelated = spawn([] { return pause(); });
    const auto live = static_cast<uint64_t>(unrelated);
    const uint64_t reused = uint64_t{12345} << 32 | live;  // that pid, another start time
    const uint64_t values[] = {0xFFFFFFFFu, 1u, live, reused, ~uint64_t{0}};
    for (uint64_t value : values) {
        Sandbox sandbox;
        createSharedFiles();
        for (size_t lane = 0; lane < kLogLanes; ++lane) {
            overwrite(sandbox.path("/dev/log/main"), laneHeaderOffset(lane), &value, sizeof value);
        }
        overwrite(sandbox.path("/dev/log/.wake"), kWakeLockOffset, &value, sizeof value);
        overwrite(sandbox.path("/dev/__properties__"), kPropertyLockOffset, &value, sizeof value);
        EXPECT_EQ(0, runInChild(useEverySharedFile)) << std::hex << value;
    }
    kill(unrelated, SIGKILL);
    waitpid(unrelated, nullptr, 0);
}

// Each shared file scribbled over at its start, cut to half its size, or
// (a log buffer) with its lanes' indexes damaged: the next user re-creates
// or repairs it and works.
TEST(SharedFileDamage, IsRecoveredNeverTrusted) {
    enum class Damage { FirstPage, Cut, LaneIndexes };
    struct Case { const char* file; Damage damage; };
    const Case cases[] = {
        {"/dev/log/main", Damage::FirstPage}, {"/dev/log/.wake", Damage::FirstPage},
        {"/dev/__properties__", Damage::FirstPage}, {"/dev/log/main", Damage::Cut},
        {"/dev/log/.wake", Damage::Cut}, {"/dev/__properties__", Damage::Cut},
        {"/dev/log/main", Damage::LaneIndexes},
    };
    std::string junk(4096, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 37 + 11);
    for (const Case& c : cases) {
        Sandbox sandbox;
        setenv("XKT_LOG_BUFFER_SIZE", "65536", 1);
        createSharedFiles();
        const std::string path = sandbox.path(c.file);
        if (c.damage == Damage::FirstPage) {
            const size_t size = std::min<size_t>(junk.size(), readFile(path).size());
            overwrite(path, 0, junk.data(), size);
        } else if (c.damage == Damage::Cut) {
            ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(readFile(path).size() / 2)));
        } else {
            for (size_t lane = 0; lane < kLogLanes; ++lane) {
                overwrite(path, laneHeaderOffset(lane) + kLaneIndexOffset, junk.data(), 96);
            }
        }
        EXPECT_EQ(0, runInChild(useEverySharedFile)) << c.file << " " << int(c.damage);
    }
}

// A property writer stopped half way through a value, its lock held:
// readers still get the whole old value at once, a setter gives up within
// its bound; once the writer is killed the next setter takes over.
TEST(SharedLockWords, StoppedPropertyWriterHoldsNobodyUp) {
    Sandbox sandbox;
    const std::string oldValue(1000, 'o');
    ASSERT_EQ(0, XKT_property_set("victim", oldValue.c_str()));
    pid_t writer = spawn([] {
        if (!xkt::host::testing::abandonWriteMidway("victim", std::string(1000, 'n').c_str(), 500)) return 1;
        raise(SIGSTOP);
        return 0;
    });
    ASSERT_TRUE(stopped(writer));
    char value[XKT_PROP_VALUE_MAX];
    EXPECT_EQ(0, XKT_property_get("victim", value, sizeof value));
    EXPECT_EQ(oldValue, value);
    EXPECT_EQ(PropertyError::busy, setProperty("victim", "refused"));
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(0, XKT_property_set("victim", "next"));
    EXPECT_EQ(0, XKT_property_get("victim", value, sizeof value));
    EXPECT_STREQ("next", value);
}

}  // namespace
