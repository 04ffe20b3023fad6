// The OS layer: mutex handles, threads and their names and ids, clocks,
// timers, the MAC address and the Android generation. The UDP socket calls
// are exercised by the syslog transport's datagram tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sandbox.h"
#include "xkt_osal.h"
#include "xkt_utility.h"

namespace {

using namespace xkt::test;

class Osal : public SandboxTest {};

// A destroyed handle stays refused even once its slot serves a new mutex.
TEST_F(Osal, MutexExcludesThreadsAndRefusesDestroyedHandles) {
    uint32_t first = XKT_mutex_create();
    ASSERT_NE(first, 0u);
    long counter = 0;  // plain on purpose: only the mutex protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                XKT_mutex_lock(first);
                counter = counter + 1;
                XKT_mutex_unlock(first);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(XKT_mutex_destroy(first), 0);
    uint32_t second = XKT_mutex_create();
    EXPECT_NE(second, first);
    for (uint32_t dead : {first, 0u, 0xffffffffu}) {
        EXPECT_EQ(XKT_mutex_lock(dead), -1) << dead;
        EXPECT_EQ(XKT_mutex_unlock(dead), -1) << dead;
        EXPECT_EQ(XKT_mutex_destroy(dead), -1) << dead;
    }
    EXPECT_EQ(XKT_mutex_lock(second), 0);
    EXPECT_EQ(XKT_mutex_unlock(second), 0);
}

std::atomic<uint32_t> startedTid{0};
std::atomic<bool> mayFinish{false};

int32_t namedWorker() {
    XKT_thread_setname("xkt_worker_with_a_long_name");
    startedTid = XKT_thread_gettid();
    while (!mayFinish) XKT_sleep(1);
    return 0;
}

TEST_F(Osal, ThreadsGetTheirOwnIdsAndNames) {
    uint32_t threadId = 0;
    ASSERT_EQ(XKT_thread_create(namedWorker, 0, 0, 1, &threadId), 0);
    ASSERT_TRUE(eventually([] { return startedTid.load() != 0; }));
    EXPECT_EQ(threadId, startedTid.load());
    const std::string comm = "/proc/self/task/" + std::to_string(threadId) + "/comm";
    EXPECT_EQ(readFile(comm), "xkt_worker_with\n");  // 15 characters kept
    mayFinish = true;
    EXPECT_EQ(XKT_thread_create(nullptr, 0, 0, 1, nullptr), -1);

    uint32_t parent = XKT_thread_gettid();
    EXPECT_EQ(parent, static_cast<uint32_t>(syscall(SYS_gettid)));
    EXPECT_NE(parent, threadId);
    EXPECT_EQ(runInChild([parent] {
        uint32_t child = XKT_thread_gettid();
        return child != parent && child == static_cast<uint32_t>(syscall(SYS_gettid)) ? 0 : 1;
    }), 0);
}

// The calendar time is checked through the syslog stamps, under a zone
// other than UTC.
TEST_F(Osal, TicksAreMonotonicMilliseconds) {
    uint32_t before = XKT_get_ticks();
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    uint32_t after = XKT_get_ticks();
    auto reference = static_cast<uint32_t>(mono.tv_sec * 1000ull + mono.tv_nsec / 1000000);
    EXPECT_LE(static_cast<int32_t>(before - reference), 0);
    EXPECT_GE(static_cast<int32_t>(after - reference), 0);
    XKT_sleep(30);
    EXPECT_GE(XKT_get_ticks() - after, 30u);
}

struct Fired { int32_t id, arg; uint32_t tid; };
std::mutex firedLock;
std::vector<Fired> fired;

void record(int32_t id, int32_t arg) {
    std::lock_guard<std::mutex> lock(firedLock);
    fired.push_back({id, arg, XKT_thread_gettid()});
}

size_t firedCount(int32_t arg) {
    std::lock_guard<std::mutex> lock(firedLock);
    return std::count_if(fired.begin(), fired.end(), [arg](const Fired& f) { return f.arg == arg; });
}

std::atomic<int> selfRemovals{0};
void removeSelf(int32_t id, int32_t) {
    if (XKT_timer_remove(id) == 0) ++selfRemovals;
    record(id, 11);
}

// Single-run timers run once in due order (equal delays keep the order of
// adding), one removed before it is due never; a repeating one runs until
// removed, even by its own callback. One service thread runs them all.
TEST_F(Osal, TimersRunInDueOrderAndRepeatUntilRemoved) {
    ASSERT_EQ(XKT_timer_init(), 0);
    int32_t a = XKT_timer_add(record, 1, 300, 0);
    int32_t b = XKT_timer_add(record, 2, 100, 0);
    int32_t c = XKT_timer_add(record, 3, 200, 0);
    int32_t removed = XKT_timer_add(record, 5, 50, 0);
    int32_t d = XKT_timer_add(record, 4, 100, 0);
    int32_t repeating = XKT_timer_add(record, 7, 0, 5);
    for (int32_t id : {a, b, c, d, removed, repeating}) ASSERT_GT(id, 0);
    ASSERT_GT(XKT_timer_add(removeSelf, 0, 0, 1), 0);
    EXPECT_EQ(XKT_timer_remove(removed), 0);
    ASSERT_TRUE(eventually([] { return firedCount(1) == 1 && firedCount(7) >= 3; }));
    EXPECT_EQ(XKT_timer_remove(repeating), 0);
    size_t afterRemove = firedCount(7);
    XKT_sleep(50);
    EXPECT_EQ(firedCount(7), afterRemove) << "a removed timer ran again";
    EXPECT_EQ(firedCount(11), 1u);
    EXPECT_EQ(selfRemovals.load(), 1);
    EXPECT_EQ(XKT_timer_remove(a), -1) << "a timer that ran is gone";

    std::lock_guard<std::mutex> lock(firedLock);
    std::vector<int32_t> ids;
    for (const Fired& f : fired) {
        if (f.arg <= 5) ids.push_back(f.id);
        EXPECT_EQ(f.tid, fired[0].tid) << "one service thread runs them all";
    }
    EXPECT_EQ(ids, (std::vector<int32_t>{b, d, c, a}));
    EXPECT_NE(fired[0].tid, XKT_thread_gettid());
}

TEST_F(Osal, MacInLowerCaseMalformedValuesFail) {
    setenv("XKT_MAC", "AA:bb:0C:dd:EE:f9", 1);
    char mac[32];
    ASSERT_EQ(XKT_sock_getMac(mac), 0);
    EXPECT_STREQ(mac, "aa:bb:0c:dd:ee:f9");
    for (const char* bad : {"", "aa:bb:cc:dd:ee", "aa-bb-cc-dd-ee-ff", "aa:bb:cc:dd:ee:fg",
                            "aa:bb:cc:dd:ee:ff0", "aab:b:cc:dd:ee:ff"}) {
        setenv("XKT_MAC", bad, 1);
        EXPECT_NE(XKT_sock_getMac(mac), 0) << '"' << bad << '"';
    }
}

// The generation is read once per process: each case runs in a fresh child.
TEST_F(Osal, AndroidVersionFromEnvironmentReadOnce) {
    auto versionWith = [](const char* text) {
        return runInChild([text] {
            if (text != nullptr) setenv("XKT_ANDROID_VERSION", text, 1);
            else unsetenv("XKT_ANDROID_VERSION");
            int32_t first = getAndroidVersion();
            setenv("XKT_ANDROID_VERSION", "9", 1);
            return getAndroidVersion() == first ? first : 100;
        });
    };
    EXPECT_EQ(versionWith(nullptr), 4);
    for (const char* text : {"2", "5"}) EXPECT_EQ(versionWith(text), std::atoi(text));
    EXPECT_EQ(versionWith("not a number"), 4);
}

}  // namespace
