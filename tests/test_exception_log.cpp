// The exception log's capture with the real collector (the logcat and top
// stand-ins, busybox): what a snapshot holds, the collector's end, the
// pruning of the collection directory and the ANR log name buffer.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "android/log.h"
#include "log_entries.h"
#include "sandbox.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace fs = std::filesystem;
using namespace xkt::test;

namespace {

// The names of an archive's members without their folders, sorted.
std::vector<std::string> memberNames(const std::string& archive) {
    return linesOf(capture("tar -tzf '" + archive + "' | sed 's,.*/,,' | LC_ALL=C sort"));
}

std::string member(const std::string& archive, const std::string& name) {
    return capture("tar -xzOf '" + archive + "' --wildcards '*/" + name + "'");
}

// Thread rows per iteration of a top output: the lines after each header.
std::vector<int> topRows(const std::string& text) {
    std::vector<int> rows;
    for (const std::string& line : linesOf(text)) {
        if (line.find("PID") != std::string::npos && line.find("TID") != std::string::npos) {
            rows.push_back(0);
        } else if (!rows.empty() && std::regex_search(line, std::regex(R"(^\s*\d+\s+\d+\s)"))) {
            ++rows.back();
        }
    }
    return rows;
}

// The logcat collectors parent started that have not ended (zombies aside).
std::vector<pid_t> collectorsOf(pid_t parent) {
    std::vector<pid_t> found;
    std::istringstream rows(capture("ps -o pid=,stat=,comm= --ppid " + std::to_string(parent)));
    pid_t pid = 0;
    for (std::string state, name; rows >> pid >> state >> name;) {
        if (name == "logcat" && state[0] != 'Z') found.push_back(pid);
    }
    return found;
}

bool ended(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
}

class ExpLog : public SandboxTest {
protected:
    void SetUp() override {
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        ASSERT_TRUE(passEverything());  // messages pass
        g_iTimeIntervalForLogToFlash = 3600000;  // no export while a test runs
    }
    std::string dqn(const std::string& name = "") const {
        return sandbox_.path("/tmp/DQN") + (name.empty() ? "" : "/" + name);
    }
    // n entries in the collection directory, entry0 the oldest.
    void fillCollection(int n) {
        fs::remove_all(dqn());
        fs::create_directories(dqn());
        for (int i = 0; i < n; ++i) {
            placeAged(sandbox_.path("/staged"), dqn("entry" + std::to_string(i) + ".tar.gz"),
                      std::to_string(i), n - i);
        }
    }
};

}  // namespace

TEST_F(ExpLog, BothKindsOfSnapshotAndTheCollectorsEnd) {
    fs::create_directories(sandbox_.path("/data/anr"));
    std::ofstream(sandbox_.path("/data/anr/traces.txt")) << "----- pid 1234 at 2026-12-05 -----\n";
    __android_log_write(ANDROID_LOG_ERROR, "ActivityManager", "ANR in com.example.epg");
    ASSERT_EQ(0, XKT_ExpLogInit());

    ASSERT_EQ(0, XKT_expLogToTmp(0));
    std::vector<std::string> names = namesIn(dqn());
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(APK_ANR_\d{14}\.tar\.gz)"))) << names[0];
    const std::string anr = dqn(names[0]);
    EXPECT_EQ((std::vector<std::string>{"anr.txt", "meminfo.txt", "top.txt", "traces.txt"}),
              memberNames(anr));
    EXPECT_NE(std::string::npos, member(anr, "anr.txt").find("ANR in com.example.epg"));
    EXPECT_NE(std::string::npos, member(anr, "meminfo.txt").find("MemTotal:"));
    EXPECT_NE(std::string::npos, member(anr, "traces.txt").find("pid 1234"));
    EXPECT_EQ((std::vector<int>{10, 10}), topRows(member(anr, "top.txt")));
    char path[256] = {};
    ASSERT_EQ(1, XKT_anrLogNameBufGet(path, sizeof path));
    EXPECT_EQ(anr, path);

    ASSERT_EQ(0, XKT_expLogToTmp(-1));  // any kind but 0 is a reboot
    names = namesIn(dqn());
    ASSERT_EQ(2u, names.size()) << "archives only";
    const std::string reboot = dqn(names.back());
    EXPECT_TRUE(std::regex_match(names.back(), std::regex(R"(SYS_ABN_\d{14}\.tar\.gz)")));
    EXPECT_EQ((std::vector<std::string>{"abnomalreboot.txt", "meminfo.txt", "top.txt"}),
              memberNames(reboot));
    EXPECT_EQ((std::vector<int>{30, 30}), topRows(member(reboot, "top.txt")));
    EXPECT_EQ(0, XKT_anrLogNameBufGet(path, sizeof path)) << "reboots are not recorded";

    // The collectors end 4 s after they started, and the runner reaps them.
    EXPECT_TRUE(eventually([] { return collectorsOf(getpid()).empty(); }));
    EXPECT_TRUE(logged("|enter XKT_expLogOutputTimer, iArg=["));
}

// A snapshot's collector lives 4 s on its timer; a process that ends first
// (or is killed, or deinitialises) takes its collector with it.
TEST_F(ExpLog, CollectorsEndWithTheirProcess) {
    enum class End { Exit, Killed, Deinit };
    for (End end : {End::Exit, End::Killed, End::Deinit}) {
        SCOPED_TRACE(static_cast<int>(end));
        int ids[2];
        ASSERT_EQ(0, pipe2(ids, O_CLOEXEC));  // not held open by the collector
        const pid_t child = fork();
        if (child == 0) {
            close(ids[0]);
            // A whole snapshot once; the collector alone for the other ends.
            // Initialised here: the test process forks before it has threads.
            if (XKT_ExpLogInit() != 0 ||
                (end == End::Exit ? XKT_expLogToTmp(0) : XKT_startCollectLog(0)) < 0) {
                _exit(2);
            }
            std::vector<pid_t> running = collectorsOf(getpid());
            if (end == End::Deinit) {
                XKT_logDeinit();
                _exit(running.empty() || !collectorsOf(getpid()).empty() ? 1 : 0);  // no exit handlers
            }
            for (pid_t id : running) (void)!write(ids[1], &id, sizeof id);
            close(ids[1]);
            if (end == End::Killed) pause();
            std::exit(running.empty() ? 1 : 0);
        }
        close(ids[1]);
        std::vector<pid_t> running;
        for (pid_t id; read(ids[0], &id, sizeof id) == sizeof id;) running.push_back(id);
        close(ids[0]);
        if (end == End::Killed) kill(child, SIGKILL);
        EXPECT_EQ(end == End::Killed ? 128 + SIGKILL : 0, waitForExit(child));
        if (end == End::Deinit) continue;
        EXPECT_FALSE(running.empty());
        for (int i = 0; i < 100 && !std::all_of(running.begin(), running.end(), ended); ++i) usleep(10000);
        for (pid_t id : running) EXPECT_TRUE(ended(id)) << id << " within 1 s";
    }
}

TEST_F(ExpLog, PrunesOnlyTheOldestAndOnlyFromTenEntries) {
    ASSERT_EQ(0, XKT_ExpLogInit());
    const std::string list = sandbox_.path("/tmp/exploglist.txt");
    for (int n : {9, 10, 12}) {
        fillCollection(n);
        ASSERT_EQ(0, XKT_deleteEarlistTmpExpLog()) << n;
        const std::vector<std::string> left = namesIn(dqn());
        EXPECT_EQ(n == 9 ? 9u : n - 1u, left.size()) << n;
        EXPECT_EQ(n == 9, std::find(left.begin(), left.end(), "entry0.tar.gz") != left.end()) << n;
        EXPECT_EQ(n == 9, fs::exists(list)) << "the list stays when nothing was pruned";
    }
    // An oldest name with shell characters is removed like any other.
    fillCollection(10);
    const std::string odd = dqn("x;touch pwned");
    fs::rename(dqn("entry0.tar.gz"), odd);  // keeps its time
    EXPECT_EQ(0, XKT_deleteEarlistTmpExpLog());
    EXPECT_FALSE(fs::exists(odd));
    EXPECT_FALSE(fs::exists("pwned") || fs::exists(dqn("pwned")));
}

TEST_F(ExpLog, NameRingHoldsThreeAndCutsToTheCallersBuffer) {
    char path[256] = {};
    EXPECT_EQ(-1, XKT_anrLogNameBufGet(path, sizeof path)) << "before initialisation";
    EXPECT_EQ(-1, XKT_anrLogNameBufClear());
    EXPECT_EQ(-1, XKT_expLogToTmp(0));
    ASSERT_EQ(0, XKT_ExpLogInit());

    const std::string longest(255, 'p');
    XKT_mutex_lock(g_pExpLogMutex);  // as a capture holds it
    EXPECT_EQ(1, XKT_anrLogNameBufSet("/tmp/DQN/APK_ANR_20240131235959.tar.gz", 38));
    EXPECT_EQ(1, XKT_anrLogNameBufSet("second", 6));
    EXPECT_EQ(1, XKT_anrLogNameBufSet(longest.c_str(), 255));
    EXPECT_EQ(0, XKT_anrLogNameBufSet("fourth", 6));
    EXPECT_EQ(-1, XKT_anrLogNameBufSet(std::string(256, 'q').c_str(), 256));
    EXPECT_EQ(-1, XKT_anrLogNameBufSet(nullptr, 0));
    XKT_mutex_unlock(g_pExpLogMutex);
    EXPECT_TRUE(logged("| INFO|       LOG|") && logged("|Log name buffer is full."));

    char small[16];
    ASSERT_EQ(1, XKT_anrLogNameBufGet(small, sizeof small));
    EXPECT_STREQ("/tmp/DQN/APK_AN", small);
    ASSERT_EQ(1, XKT_anrLogNameBufGet(path, sizeof path));
    EXPECT_STREQ("second", path);
    ASSERT_EQ(1, XKT_anrLogNameBufGet(path, sizeof path));
    EXPECT_EQ(longest, path);
    EXPECT_EQ(0, XKT_anrLogNameBufGet(path, sizeof path));
    EXPECT_EQ(-1, XKT_anrLogNameBufGet(nullptr, 16));
}

TEST_F(ExpLog, CollectorStoppedAtOnceWhenItsTimerCannotBeAdded) {
    ASSERT_EQ(0, XKT_ExpLogInit());
    // Fill the timer table with timers that never come due.
    auto never = [](int32_t, int32_t) {};
    int added = 0;
    while (XKT_timer_add(never, 0, 3600000, 0) != -1 && added < 1000) ++added;
    ASSERT_LT(added, 1000);

    EXPECT_EQ(-1, XKT_expLogToTmp(0));
    EXPECT_TRUE(namesIn(dqn()).empty()) << "no archive, no text file";
    EXPECT_TRUE(logged("|add timer failed"));
    EXPECT_TRUE(logged("|enter XKT_stopCollectLog, iLogcatID=["));
    for (int i = 0; i < 50 && !collectorsOf(getpid()).empty(); ++i) XKT_sleep(20);
    EXPECT_TRUE(collectorsOf(getpid()).empty());
}
