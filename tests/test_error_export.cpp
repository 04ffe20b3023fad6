// The error log's export to flash: archives made by busybox tar and opened
// with GNU tar, the cyclic index across exports, failing steps, one export
// at a time, the timer, and a flash that runs full.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/time.h>
#include <thread>
#include <vector>

#include "error_log.h"
#include "log_entries.h"
#include "log_init.h"
#include "sandbox.h"
#include "xkt_log.h"

namespace fs = std::filesystem;
using xkt::test::capture;

namespace {

template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 1000 && !pred(); ++i) usleep(10000);
    return pred();
}

int32_t exportState() { return __atomic_load_n(&g_iErrorLogStatus, __ATOMIC_ACQUIRE); }

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// How often the library said text (the end of its record line).
int countSaid(const std::string& text) {
    int n = 0;
    for (const auto& entry : xkt::test::readTagged("XKT")) {
        const std::string& m = entry.message;
        n += m.size() >= text.size() && m.compare(m.size() - text.size(), text.size(), text) == 0;
    }
    return n;
}

class ErrorExport : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "1"));  // messages pass
        XKT_logFilterSetModule("ALL");
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        ASSERT_EQ(0, XKT_property_set("ro.product.model", "ABC"));
        xkt::log::writeSetting(g_iErrorLogToFlashEnable, 1);
        fs::create_directories(temporary());
        fs::create_directories(flash());
        const uint32_t lock = XKT_mutex_create();  // capture's lock, as its initialisation leaves it
        ASSERT_NE(0u, lock);
        __atomic_store_n(&g_pErrorLogMutex, lock, __ATOMIC_RELEASE);
    }
    std::string path(const std::string& boxPath) const { return sandbox_.path(boxPath); }
    std::string temporary() const { return path("/tmp/errorlog"); }
    std::string flash() const { return path("/data/tarvek-log/Error"); }
    std::string indexFile() const { return path("/data/errorindex.txt"); }
    std::string listFile() const { return path("/tmp/errorloglist.txt"); }
    size_t temporaryCount() const { return std::distance(fs::directory_iterator(temporary()), {}); }

    // A temporary file of the given age in seconds, complete when it
    // appears: a running export may list it at any moment.
    void temporaryFile(const std::string& name, const std::string& content, int age = 0) {
        const std::string staged = path("/" + name);
        std::ofstream(staged) << content;
        const timeval times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
        ASSERT_EQ(0, utimes(staged.c_str(), times));
        fs::rename(staged, temporary() + "/" + name);
    }
    // The one archive under index, or "".
    std::string archive(int index) const {
        char pattern[64];
        snprintf(pattern, sizeof pattern, "Err_ABC_334455_\\d{14}_%02d\\.log\\.tar\\.gz", index);
        std::string found;
        for (const auto& entry : fs::directory_iterator(flash())) {
            if (!std::regex_match(entry.path().filename().string(), std::regex(pattern))) continue;
            if (!found.empty()) ADD_FAILURE() << "two archives under index " << index;
            found = entry.path();
        }
        return found;
    }
    static std::string members(const std::string& archive) { return capture("tar -tzf '" + archive + "' 2>/dev/null"); }
    static std::string member(const std::string& archive, const std::string& name) {
        return capture("tar -xzOf '" + archive + "' " + name);
    }
};

TEST_F(ErrorExport, PacksOldestFirstUnderTheCyclicIndex) {
    std::ofstream(indexFile()) << 48;
    for (const char* old : {"47", "48", "49"}) std::ofstream(flash() + "/Err_OLD_000000_20200101000000_" + old + ".log.tar.gz");
    temporaryFile("error3.log", "newer line\n", 0);
    temporaryFile("error2.log", "older line\n", 60);
    g_pErrorLogFileHandle = std::fopen((temporary() + "/error3.log").c_str(), "a");  // as capture holds it
    ASSERT_NE(nullptr, g_pErrorLogFileHandle);

    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ(0, exportState());
    EXPECT_EQ(nullptr, g_pErrorLogFileHandle) << "closed before the files are deleted";
    EXPECT_EQ("error2.log\n", members(archive(48)));
    EXPECT_EQ("older line\n", member(archive(48), "error2.log"));
    EXPECT_EQ("error3.log\n", members(archive(49)));
    EXPECT_EQ("newer line\n", member(archive(49), "error3.log"));
    EXPECT_FALSE(fs::exists(flash() + "/Err_OLD_000000_20200101000000_48.log.tar.gz"));
    EXPECT_TRUE(fs::exists(flash() + "/Err_OLD_000000_20200101000000_47.log.tar.gz"));
    EXPECT_EQ("0", readFile(indexFile()));
    EXPECT_FALSE(fs::exists(listFile()));
    EXPECT_EQ(0u, temporaryCount());

    // Capture's next line creates its file again; the next export goes on
    // from the stored index, here moved to 49 by hand.
    ASSERT_EQ(0, XKT_errorlogFileOutput("after the export\n"));
    temporaryFile("error1.log", "second\n", 60);
    std::ofstream(indexFile(), std::ios::trunc) << 49;
    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ("second\n", member(archive(49), "error1.log"));
    EXPECT_EQ("after the export\n", member(archive(0), "error0.log"));
    EXPECT_EQ("1", readFile(indexFile()));
    EXPECT_EQ(0u, temporaryCount());
}

TEST_F(ErrorExport, SwitchedOffFailedOrEmpty) {
    temporaryFile("error0.log", "line\n");
    xkt::log::writeSetting(g_iErrorLogToFlashEnable, 0);
    XKT_errorlogOutputTrigger();
    EXPECT_EQ(1, countSaid("g_iErrorLogToFlashEnable is off, can not output error log to flash"));
    EXPECT_FALSE(fs::exists(listFile()));

    xkt::log::writeSetting(g_iErrorLogToFlashEnable, 1);
    std::ofstream(indexFile()) << 5;
    fs::remove_all(flash());
    XKT_errorlogOutputTrigger();
    EXPECT_EQ(1, countSaid("delete exists log failed"));
    EXPECT_EQ("5", readFile(indexFile()));
    // The index cannot be stored: the archive is written, the files stay.
    fs::create_directories(flash());
    fs::remove(indexFile());
    fs::create_directory(indexFile());
    XKT_errorlogOutputTrigger();
    EXPECT_EQ(1, countSaid("open index file error"));
    EXPECT_EQ("error0.log\n", members(archive(0)));
    EXPECT_EQ(0, exportState());
    EXPECT_EQ(1u, temporaryCount()) << "every failure keeps them";

    fs::remove(indexFile());  // next period, with the fault gone, they go out again
    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ("line\n", member(archive(0), "error0.log"));
    EXPECT_EQ(0u, temporaryCount());
    std::ofstream(indexFile(), std::ios::trunc) << "7\n";
    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ(1, countSaid("tmp log is empty,no need to output"));
    EXPECT_EQ("7", readFile(indexFile())) << "rewritten unchanged, without the line feed";
    EXPECT_EQ("", archive(7));
}

TEST_F(ErrorExport, ListedNamesThatAreNoFiles) {
    temporaryFile("error1.log", "packed\n");
    // Gone since the listing, hostile, empty, and longer than the line buffer.
    std::ofstream(listFile()) << "error1.log\nvanished.log\na;touch pwned\n\n" << std::string(40, 'x') << "\n";
    ASSERT_EQ(6, XKT_getTmplogNum(0));
    int32_t index = 10;
    ASSERT_EQ(0, XKT_OutputErrLogToFlash(&index));
    EXPECT_EQ(16, index) << "every listed line uses its index, packed or not";
    EXPECT_EQ("packed\n", member(archive(10), "error1.log"));
    EXPECT_EQ("", members(archive(11))) << "nothing of the vanished file";
    EXPECT_EQ("", archive(12));
    EXPECT_FALSE(fs::exists(temporary() + "/pwned") || fs::exists("pwned"));
    EXPECT_EQ(2, countSaid("compress error log failed"));
    fs::remove(listFile());
    EXPECT_EQ(-1, XKT_OutputErrLogToFlash(&index));
    EXPECT_EQ(1, countSaid("fopen failed"));
}

// Capture's lock, held here, stops the winner at its last step, so the
// state can be watched at 1 for as long as the test needs.
TEST_F(ErrorExport, OneExportAtATime) {
    const uint32_t lock = __atomic_load_n(&g_pErrorLogMutex, __ATOMIC_ACQUIRE);
    for (int round = 0; round < 5; ++round) {
        temporaryFile("error0.log", "round " + std::to_string(round) + "\n");
        XKT_mutex_lock(lock);
        std::atomic<bool> go{false};
        std::atomic<int> returned{0};
        std::vector<std::thread> triggers;
        for (int i = 0; i < 2; ++i) {
            triggers.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                XKT_errorlogOutputTrigger();
                returned.fetch_add(1);
            });
        }
        go.store(true);
        const bool oneRefused = eventually([&] { return returned.load() == 1; });
        EXPECT_EQ(1, exportState());
        XKT_errorlogOutputTrigger();  // refused as well; the running export goes on
        EXPECT_EQ(1, returned.load()) << "the winner waits for the lock";
        XKT_mutex_unlock(lock);
        for (auto& t : triggers) t.join();
        ASSERT_TRUE(oneRefused);
        EXPECT_EQ(0, exportState());
        EXPECT_EQ(2 * (round + 1), countSaid("Now is output error log, can not output again"));
        EXPECT_EQ("round " + std::to_string(round) + "\n", member(archive(round), "error0.log"));
    }
}

TEST_F(ErrorExport, TimerRunsTheExportEveryPeriod) {
    xkt::log::writeSetting(g_iTimeIntervalForLogToFlash, 100);
    ASSERT_EQ(0, XKT_timer_init());
    temporaryFile("error0.log", "first\n");
    ASSERT_EQ(0, xkt::log::armErrorLogExport());
    const int32_t timer = __atomic_load_n(&g_LogOutputTimerID, __ATOMIC_ACQUIRE);
    EXPECT_NE(-1, timer);
    // Between two periods: after one export's clean-up, before the next lists.
    ASSERT_TRUE(eventually([&] { return readFile(indexFile()) == "1" && !fs::exists(listFile()) && exportState() == 0; }));
    temporaryFile("error0.log", "second\n");
    ASSERT_TRUE(eventually([&] { return readFile(indexFile()) == "2"; }));
    XKT_timer_remove(timer);
    EXPECT_EQ("first\n", member(archive(0), "error0.log"));
    EXPECT_EQ("second\n", member(archive(1), "error0.log"));
}

// The exception export builds its names on another timer at the same time:
// the first names of a process fill the model and MAC caches from both.
TEST_F(ErrorExport, NamesBuiltFromTwoThreadsAtOnce) {
    std::atomic<bool> go{false};
    char names[2][600] = {};
    std::vector<std::thread> builders;
    for (int isExp = 0; isExp < 2; ++isExp) {
        builders.emplace_back([&, isExp] {
            while (!go.load()) std::this_thread::yield();
            XKT_getNewLogFileName(names[isExp], sizeof names[isExp], 3, isExp);
        });
    }
    go.store(true);
    for (auto& t : builders) t.join();
    EXPECT_TRUE(std::regex_match(names[0], std::regex("Err_ABC_334455_\\d{14}_03\\.log"))) << names[0];
    EXPECT_TRUE(std::regex_match(names[1], std::regex(".*/Exp_ABC_334455_\\d{14}_03\\.log\\.tar\\.gz"))) << names[1];
}

// A 64 KiB flash: a tmpfs in a child's own mount namespace, gone with it.
// Random content does not compress, so the archives need their room.
TEST_F(ErrorExport, FullFlash) {
    constexpr int kSkip = 77;
    auto randomFile = [](const std::string& file, int kib) {
        return std::system(("head -c " + std::to_string(kib) + "K /dev/urandom > '" + file + "'").c_str()) == 0;
    };
    const std::string keep = path("/keep");
    fs::create_directories(keep);
    const int status = xkt::test::runInChild([&]() -> int {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", flash().c_str(), "tmpfs", 0, "size=64k") != 0) {
            return kSkip;
        }
        // Two old archives fill the flash: the export must delete the
        // indexes it reuses before packing, or its archives are cut.
        for (const char* old : {"/Err_OLD_000000_20200101000000_00.log.tar.gz", "/Err_OLD_000000_20200101000000_01.log.tar.gz"}) {
            if (!randomFile(flash() + old, 28)) return 1;
        }
        for (int i = 0; i < 2; ++i) {
            const std::string name = "error" + std::to_string(i) + ".log";
            if (!randomFile(keep + "/" + name, 24)) return 2;
            temporaryFile(name, readFile(keep + "/" + name), 60 - i);
        }
        if (XKT_errorlogOutputTrigger() != 0 || exportState() != 0) return 3;
        for (int i = 0; i < 2; ++i) {
            const std::string name = "error" + std::to_string(i) + ".log";
            if (member(archive(i), name) != readFile(keep + "/" + name)) return 4;
        }
        // Truly full now, with a foreign file: the export still ends, the
        // index moves on, and only the reused indexes are touched.
        const int filled = std::system(("cat /dev/urandom > '" + flash() + "/filler' 2>/dev/null").c_str());
        (void)filled;  // ends in "no space left", as meant
        const auto fillerSize = fs::file_size(flash() + "/filler");
        for (const char* name : {"error2.log", "error3.log"}) {
            if (!randomFile(temporary() + "/" + name, 24)) return 5;
        }
        if (XKT_errorlogOutputTrigger() != 0 || exportState() != 0 || readFile(indexFile()) != "4") return 6;
        if (fs::file_size(flash() + "/filler") != fillerSize) return 7;
        return member(archive(0), "error0.log") == readFile(keep + "/error0.log") ? 0 : 8;
    });
    if (status == kSkip) GTEST_SKIP() << "cannot mount a tmpfs in a mount namespace here";
    EXPECT_EQ(0, status) << "the child's failed check";
}

}  // namespace
