// The OS layer: mutex handles, threads and their names and ids, clocks,
// timers, heap and environment, UDP sockets, the MAC address and the Android
// generation.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sandbox.h"
#include "xkt_osal.h"
#include "xkt_utility.h"

namespace {

using xkt::test::runInChild;

// Waits for a condition that some other thread makes true; the limit only
// keeps a broken build from hanging.
template <typename Condition>
bool eventually(Condition condition) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- Mutexes ------------------------------------------------------------------

class Mutex : public xkt::test::SandboxTest {};

// A destroyed handle stays refused even once its slot serves a new mutex.
TEST_F(Mutex, DestroyedAndUnknownHandlesAreRefused) {
    uint32_t first = XKT_mutex_create();
    ASSERT_NE(first, 0u);
    EXPECT_EQ(XKT_mutex_lock(first), 0);
    EXPECT_EQ(XKT_mutex_unlock(first), 0);
    EXPECT_EQ(XKT_mutex_destroy(first), 0);
    uint32_t second = XKT_mutex_create();
    EXPECT_NE(second, first);
    for (uint32_t dead : {first, 0u, 0xffffffffu, 0x12345u}) {
        EXPECT_EQ(XKT_mutex_lock(dead), -1) << dead;
        EXPECT_EQ(XKT_mutex_unlock(dead), -1) << dead;
        EXPECT_EQ(XKT_mutex_destroy(dead), -1) << dead;
    }
    EXPECT_EQ(XKT_mutex_lock(second), 0);
    EXPECT_EQ(XKT_mutex_unlock(second), 0);
}

TEST_F(Mutex, FullTableFailsWithZeroUntilAHandleIsFreed) {
    std::vector<uint32_t> handles;
    for (uint32_t h; handles.size() < 100000 && (h = XKT_mutex_create()) != 0;) {
        handles.push_back(h);
    }
    ASSERT_LT(handles.size(), 100000u) << "creation never fails";
    EXPECT_EQ(XKT_mutex_destroy(handles[10]), 0);
    EXPECT_NE(XKT_mutex_create(), 0u);
}

TEST_F(Mutex, ExcludesOtherThreads) {
    uint32_t mutex = XKT_mutex_create();
    ASSERT_NE(mutex, 0u);
    long counter = 0;  // plain on purpose: only the mutex protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                XKT_mutex_lock(mutex);
                counter = counter + 1;
                XKT_mutex_unlock(mutex);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(XKT_mutex_destroy(mutex), 0);
}

// ---- Threads -------------------------------------------------------------------

std::atomic<uint32_t> startedTid{0};
std::atomic<bool> nameSet{false};
std::atomic<bool> mayFinish{false};

int32_t namedWorker() {
    XKT_thread_setname("xkt_worker_with_a_long_name");
    startedTid = XKT_thread_gettid();
    nameSet = true;
    while (!mayFinish) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

std::string commOf(uint32_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

class Thread : public xkt::test::SandboxTest {};

TEST_F(Thread, CreateRunsEntryOnANamedThreadOfItsOwn) {
    uint32_t threadId = 0;
    ASSERT_EQ(XKT_thread_create(namedWorker, 0, 0, 1, &threadId), 0);
    ASSERT_TRUE(eventually([] { return nameSet.load(); }));
    EXPECT_EQ(threadId, startedTid.load());
    EXPECT_NE(startedTid.load(), XKT_thread_gettid());
    EXPECT_EQ(commOf(startedTid), "xkt_worker_with");  // 15 characters kept
    mayFinish = true;

    EXPECT_EQ(XKT_thread_create(nullptr, 0, 0, 1, nullptr), -1);
    EXPECT_EQ(XKT_thread_setname(nullptr), -1);
}

TEST_F(Thread, GettidIsTheKernelsAndNeverTheParentsAfterFork) {
    uint32_t parent = XKT_thread_gettid();
    EXPECT_EQ(parent, static_cast<uint32_t>(syscall(SYS_gettid)));
    int status = runInChild([parent] {
        uint32_t child = XKT_thread_gettid();
        return child != parent && child == static_cast<uint32_t>(syscall(SYS_gettid)) ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// ---- Clocks ------------------------------------------------------------------------

class Clock : public xkt::test::SandboxTest {};

TEST_F(Clock, TicksAreMonotonicMillisecondsAndSleepCountsThem) {
    uint32_t last = XKT_get_ticks();
    for (int i = 0; i < 10000; ++i) {
        uint32_t now = XKT_get_ticks();
        ASSERT_GE(static_cast<int32_t>(now - last), 0);
        last = now;
    }
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

TEST_F(Clock, GetTimeIsUtcAndLeavesReservedWords) {
    XKT_CalTime cal{};
    for (int32_t& word : cal.reserved) word = 0x5a5a;
    time_t before = time(nullptr);
    ASSERT_EQ(XKT_get_time(&cal), 0);
    time_t after = time(nullptr);

    struct tm fields {};
    fields.tm_sec = cal.second;
    fields.tm_min = cal.minute;
    fields.tm_hour = cal.hour;
    fields.tm_mday = cal.day;
    fields.tm_mon = cal.month - 1;
    fields.tm_year = cal.year - 1900;
    time_t read = timegm(&fields);
    EXPECT_GE(read, before);
    EXPECT_LE(read, after);
    EXPECT_GE(cal.year, 2024);
    for (int32_t word : cal.reserved) EXPECT_EQ(word, 0x5a5a);
    EXPECT_EQ(XKT_get_time(nullptr), -1);
}

// ---- Timers ------------------------------------------------------------------------------

struct Fired {
    int32_t id;
    int32_t arg;
    uint32_t tid;
};
std::mutex firedLock;
std::vector<Fired> fired;

void record(int32_t id, int32_t arg) {
    std::lock_guard<std::mutex> lock(firedLock);
    fired.push_back({id, arg, XKT_thread_gettid()});
}

size_t firedCount(int32_t arg) {
    std::lock_guard<std::mutex> lock(firedLock);
    size_t n = 0;
    for (const Fired& f : fired) n += f.arg == arg;
    return n;
}

class Timer : public xkt::test::SandboxTest {};

TEST_F(Timer, CallbacksRunInDueOrderOnTheServiceThread) {
    ASSERT_EQ(XKT_timer_init(), 0);
    EXPECT_EQ(XKT_timer_init(), 0);
    // Due order differs from the order of adding; equal delays keep it.
    int32_t a = XKT_timer_add(record, 1, 300, 0);
    int32_t b = XKT_timer_add(record, 2, 100, 0);
    int32_t c = XKT_timer_add(record, 3, 200, 0);
    int32_t d = XKT_timer_add(record, 4, 100, 0);
    for (int32_t id : {a, b, c, d}) ASSERT_GT(id, 0);
    ASSERT_TRUE(eventually([] { return firedCount(1) == 1; }));

    std::lock_guard<std::mutex> lock(firedLock);
    ASSERT_EQ(fired.size(), 4u);
    std::vector<int32_t> args, ids;
    for (const Fired& f : fired) {
        args.push_back(f.arg);
        ids.push_back(f.id);
        EXPECT_EQ(f.tid, fired[0].tid) << "one service thread runs them all";
    }
    EXPECT_EQ(args, (std::vector<int32_t>{2, 4, 3, 1}));
    EXPECT_EQ(ids, (std::vector<int32_t>{b, d, c, a}));
    EXPECT_NE(fired[0].tid, XKT_thread_gettid());
}

TEST_F(Timer, RepeatingTimerRunsUntilRemoved) {
    int32_t id = XKT_timer_add(record, 7, 0, 5);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(eventually([] { return firedCount(7) >= 3; }));
    EXPECT_EQ(XKT_timer_remove(id), 0);
    size_t afterRemove = firedCount(7);
    XKT_sleep(50);
    EXPECT_EQ(firedCount(7), afterRemove) << "a removed timer ran again";
    EXPECT_EQ(XKT_timer_remove(id), -1);
    EXPECT_EQ(XKT_timer_remove(123456), -1);
}

TEST_F(Timer, SingleRunTimerRunsOnceUnlessRemovedBeforeDue) {
    int32_t once = XKT_timer_add(record, 8, 5, 0);
    int32_t removed = XKT_timer_add(record, 9, 50, 0);
    ASSERT_GT(once, 0);
    ASSERT_EQ(XKT_timer_remove(removed), 0);
    ASSERT_GT(XKT_timer_add(record, 10, 100, 0), 0);
    ASSERT_TRUE(eventually([] { return firedCount(10) == 1; }));
    EXPECT_EQ(firedCount(8), 1u);
    EXPECT_EQ(firedCount(9), 0u);
    EXPECT_EQ(XKT_timer_remove(once), -1) << "a timer that ran is gone";
    EXPECT_EQ(XKT_timer_add(nullptr, 0, 0, 0), -1);
}

std::atomic<int> selfRemovals{0};
void removeSelf(int32_t id, int32_t) {
    if (XKT_timer_remove(id) == 0) ++selfRemovals;
    record(id, 11);
}

TEST_F(Timer, CallbackMayRemoveItsOwnTimer) {
    ASSERT_GT(XKT_timer_add(removeSelf, 0, 0, 1), 0);
    ASSERT_TRUE(eventually([] { return firedCount(11) == 1; }));
    XKT_sleep(30);
    EXPECT_EQ(firedCount(11), 1u);
    EXPECT_EQ(selfRemovals.load(), 1);
}

TEST_F(Timer, ForkedChildGetsAServiceOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a threaded process";
#endif
    // The parent's service has run a callback, so its thread is up (and the
    // child does not fork in the middle of its start); it is not in the child.
    ASSERT_GT(XKT_timer_add(record, 13, 0, 0), 0);
    ASSERT_TRUE(eventually([] { return firedCount(13) == 1; }));
    int status = runInChild([] {
        if (XKT_timer_add(record, 12, 1, 0) <= 0) return 1;
        return eventually([] { return firedCount(12) == 1; }) ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
}

// ---- Heap and environment -------------------------------------------------------------

class Environment : public xkt::test::SandboxTest {};

TEST_F(Environment, GetEnvStrReturnsAnOwnedCopy) {
    setenv("XKT_TEST_VALUE", "some value", 1);
    char* copy = XKT_GetEnvStr("XKT_TEST_VALUE");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "some value");
    copy[0] = 'S';
    EXPECT_STREQ(std::getenv("XKT_TEST_VALUE"), "some value");
    XKT_free(copy);

    setenv("XKT_TEST_VALUE", "", 1);
    copy = XKT_GetEnvStr("XKT_TEST_VALUE");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "");
    XKT_free(copy);

    unsetenv("XKT_TEST_VALUE");
    EXPECT_EQ(XKT_GetEnvStr("XKT_TEST_VALUE"), nullptr);
    EXPECT_EQ(XKT_GetEnvStr(nullptr), nullptr);
}

// The generation is read once per process: each case runs in a fresh child.
TEST_F(Environment, AndroidVersionFromEnvironmentReadOnce) {
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
    EXPECT_EQ(versionWith("2"), 2);
    EXPECT_EQ(versionWith("5"), 5);
    EXPECT_EQ(versionWith("not a number"), 4);
}

// ---- MAC address --------------------------------------------------------------------------

class Mac : public xkt::test::SandboxTest {};

TEST_F(Mac, FromEnvironmentInLowerCaseAndMalformedValuesFail) {
    setenv("XKT_MAC", "AA:bb:0C:dd:EE:f9", 1);
    char mac[32];
    ASSERT_EQ(XKT_sock_getMac(mac), 0);
    EXPECT_STREQ(mac, "aa:bb:0c:dd:ee:f9");
    EXPECT_NE(XKT_sock_getMac(nullptr), 0);
    for (const char* bad : {"", "aa:bb:cc:dd:ee", "aa-bb-cc-dd-ee-ff", "aa:bb:cc:dd:ee:fg",
                            "aa:bb:cc:dd:ee:ff0", "aab:b:cc:dd:ee:ff", " a:bb:cc:dd:ee:ff"}) {
        setenv("XKT_MAC", bad, 1);
        EXPECT_NE(XKT_sock_getMac(mac), 0) << '"' << bad << '"';
    }
}

TEST_F(Mac, FromTheFirstNonLoopbackInterface) {
    unsetenv("XKT_MAC");
    char mac[32];
    if (XKT_sock_getMac(mac) != 0) GTEST_SKIP() << "this machine has no network interface";
    unsigned octets[6];
    char end = 0;
    EXPECT_EQ(std::sscanf(mac, "%2x:%2x:%2x:%2x:%2x:%2x%c", &octets[0], &octets[1], &octets[2],
                          &octets[3], &octets[4], &octets[5], &end), 6) << mac;
    EXPECT_EQ(std::strlen(mac), 17u) << mac;
    EXPECT_EQ(std::string(mac).find_first_of("ABCDEF"), std::string::npos) << mac;
    EXPECT_STRNE(mac, "00:00:00:00:00:00");
}

// ---- UDP sockets -----------------------------------------------------------------------

class Socket : public xkt::test::SandboxTest {};

TEST_F(Socket, InetAddrIsInNetworkOrderAndUnknownKindsAreRefused) {
    uint32_t address = XKT_sock_inetaddr("1.2.3.4");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(XKT_sock_inetaddr("1.2.3"), INADDR_NONE);
    EXPECT_EQ(XKT_sock_inetaddr(nullptr), INADDR_NONE);
    EXPECT_LT(XKT_sock_socket(1, XKT_SOCK_DGRAM, 0), 0);
    EXPECT_LT(XKT_sock_socket(XKT_SOCK_AF_INET, 1, 0), 0);
}

TEST_F(Socket, SendsADatagramToLoopback) {
    int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(receiver, reinterpret_cast<sockaddr*>(&bound), &length), 0);

    int32_t fd = XKT_sock_socket(XKT_SOCK_AF_INET, XKT_SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    int one = 1;
    EXPECT_EQ(XKT_sock_setsockopt(fd, 1, 2, &one, 4), 0);  // the box's SOL_SOCKET, SO_REUSEADDR
    int reuse = 0;
    socklen_t size = sizeof reuse;
    getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &size);
    EXPECT_EQ(reuse, 1);

    sockaddr_in target{};
    target.sin_family = 2;
    target.sin_port = bound.sin_port;
    target.sin_addr.s_addr = XKT_sock_inetaddr("127.0.0.1");
    const char message[] = "<11>hello collector";
    EXPECT_EQ(XKT_sock_sendto(fd, message, sizeof message - 1, 0, &target, 16),
              static_cast<int32_t>(sizeof message - 1));
    char received[64] = {};
    ASSERT_EQ(recv(receiver, received, sizeof received, 0),
              static_cast<ssize_t>(sizeof message - 1));
    EXPECT_STREQ(received, message);

    EXPECT_LT(XKT_sock_sendto(fd, message, 4, 0, &target, 8), 0);
    EXPECT_EQ(XKT_sock_close(fd), 0);
    EXPECT_EQ(XKT_sock_close(fd), -1);
    close(receiver);
}

}  // namespace
