// The exception log's export to flash on real files: waiting archives
// copied under the cyclic index, the tombstone archive opened with GNU tar,
// failing steps, and the wait for a running capture. The development root
// has 160 characters: a command naming two rooted paths needs its room twice.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "exception_export.h"
#include "log_entries.h"
#include "log_settings.h"
#include "sandbox.h"
#include "xkt_log.h"

namespace fs = std::filesystem;
using xkt::test::namesIn;
using xkt::test::readFile;
using xkt::test::said;

namespace {

std::string twoDigits(int i) { return (i < 10 ? "0" : "") + std::to_string(i); }

// Names of an earlier store, up to the index.
const std::string kOld = "Exp_OLD_000000_20200101000000_";

class ExpExport : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        root_ = sandbox_.root() + "/" + std::string(70, 'd') + "/" + std::string(68, 'e');
        setenv("XKT_ROOT", root_.c_str(), 1);  // read at the first platform call, just below
        ASSERT_TRUE(xkt::test::passEverything());  // messages pass
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        ASSERT_EQ(0, XKT_property_set("ro.product.model", "ABC"));
        for (const auto& dir : {waitingDir(), flash(), tombstones()}) fs::create_directories(dir);
        lock_ = XKT_mutex_create();  // as the capture's initialisation leaves it
        ASSERT_NE(0u, lock_);
        __atomic_store_n(&g_pExpLogMutex, lock_, __ATOMIC_RELEASE);
    }
    std::string path(const std::string& boxPath) const { return root_ + boxPath; }
    std::string waitingDir() const { return path("/tmp/DQN"); }
    std::string flash() const { return path("/data/tarvek-log/exp"); }
    std::string tombstones() const { return path("/data/tombstones"); }
    std::string indexFile() const { return path("/data/expindex.txt"); }
    std::string listFile() const { return path("/tmp/exploglist.txt"); }

    void waiting(const std::string& name, const std::string& content, int age) {
        xkt::test::placeAged(path("/" + name), waitingDir() + "/" + name, content, age);
    }
    // Archives of an earlier store under these indexes; and those still there.
    void oldArchives(std::initializer_list<int> indexes) const {
        for (int i : indexes) std::ofstream(flash() + "/" + kOld + twoDigits(i) + ".log.tar.gz");
    }
    std::set<int> oldLeft() const {
        std::set<int> left;
        for (const auto& name : namesIn(flash())) {
            if (name.rfind(kOld, 0) == 0) left.insert(std::stoi(name.substr(kOld.size(), 2)));
        }
        return left;
    }
    // The path of the one new archive under index; no file when there are none or two.
    std::string archive(int index) const {
        const std::string name = xkt::test::capture("cd '" + flash() + "' && ls Exp_ABC_334455_" +
                                                    std::string(14, '?') + "_" + twoDigits(index) +
                                                    ".log.tar.gz 2>/dev/null");
        return flash() + "/" + name.substr(0, name.empty() ? 0 : name.size() - 1);
    }
    std::string root_;
    uint32_t lock_ = 0;
};

TEST_F(ExpExport, IndexEightWithThreeArchivesAndTombstonesThenNothingWaiting) {
    std::ofstream(indexFile()) << 8;
    oldArchives({7, 8, 9, 0, 1, 2});
    waiting("APK_ANR_20240131235959.tar.gz", "newest", 10);
    waiting("SYS_ABN_20240131235957.tar.gz", "oldest", 30);
    waiting("APK_ANR_20240131235958.tar.gz", "middle", 20);
    for (const char* n : {"0", "1"}) std::ofstream(tombstones() + "/tombstone_0" + n) << "crash " << n;
    fs::create_directories(tombstones() + "/sub");
    std::ofstream(tombstones() + "/sub/tombstone_09") << "kept";

    ASSERT_EQ(0, XKT_explogOutputTrigger());
    EXPECT_EQ("oldest", readFile(archive(8)));
    EXPECT_EQ("middle", readFile(archive(9)));
    EXPECT_EQ("newest", readFile(archive(0)));
    std::string listed;
    for (const char* name : {"", "sub/", "sub/tombstone_09", "tombstone_00", "tombstone_01"}) {
        listed += root_.substr(1) + "/data/tombstones/" + name + "\n";
    }
    EXPECT_EQ(listed, xkt::test::capture("tar -tzf '" + archive(1) + "' | sort"));
    EXPECT_EQ((std::set<int>{2, 7}), oldLeft());
    EXPECT_EQ(std::vector<std::string>{"sub"}, namesIn(tombstones()));
    EXPECT_EQ("kept", readFile(tombstones() + "/sub/tombstone_09"));
    EXPECT_TRUE(namesIn(waitingDir()).empty());
    EXPECT_FALSE(fs::exists(listFile()));
    EXPECT_EQ("2", readFile(indexFile()));

    // Nothing waiting, and a sub-directory alone is no tombstone: nothing
    // is deleted or written, not even the old archive under the index.
    const auto flashBefore = namesIn(flash());
    ASSERT_EQ(0, XKT_explogOutputTrigger());
    EXPECT_EQ(flashBefore, namesIn(flash()));
    EXPECT_EQ("2", readFile(indexFile()));
}

TEST_F(ExpExport, NoIndexFileOddNameSwitchedOffOrNoTombstones) {
    oldArchives({2, 3});
    waiting("APK_ANR_20240131235957.tar.gz", "first", 30);
    waiting("SYS ABN;'$(touch x)'.tar.gz", "odd", 20);  // one word of the copy all the same
    waiting("APK_ANR_20240131235959.tar.gz", "third", 10);
    ASSERT_EQ(0, XKT_explogOutputTrigger());
    EXPECT_EQ("first", readFile(archive(0)));
    EXPECT_EQ("odd", readFile(archive(1)));
    EXPECT_EQ("third", readFile(archive(2)));
    EXPECT_EQ(std::set<int>{3}, oldLeft()) << "02 deleted: three names from 0 were listed";
    EXPECT_TRUE(namesIn(waitingDir()).empty());
    EXPECT_FALSE(fs::exists(waitingDir() + "/x") || fs::exists("x"));
    EXPECT_EQ("3", readFile(indexFile()));
    // Refused, never cut into a shorter name.
    const auto flashBefore = namesIn(flash());
    const std::string tooLong = flash() + "/" + std::string(300, 'x');
    EXPECT_EQ(-1, XKT_copyLogFile(indexFile().c_str(), tooLong.c_str()));
    EXPECT_EQ(flashBefore, namesIn(flash()));

    waiting("APK_ANR_20240131235957.tar.gz", "fourth", 30);
    xkt::log::writeSetting(g_iANRLogToFlashEnable, 0);
    EXPECT_EQ(-1, XKT_explogOutputTrigger());
    EXPECT_FALSE(fs::exists(listFile())) << "nothing listed";

    // Every export fails at the tombstones: the copies are made, the index
    // is never stored, so the next export reuses it.
    xkt::log::writeSetting(g_iANRLogToFlashEnable, 1);
    std::ofstream(indexFile()) << 4;
    fs::remove(tombstones());
    EXPECT_EQ(-1, XKT_explogOutputTrigger());
    EXPECT_EQ("fourth", readFile(archive(4)));
    EXPECT_TRUE(said("ERROR", "XKT_explogOutputTrigger", "output tombstones to flash failed"));
    waiting("APK_ANR_20240131235958.tar.gz", "fifth", 20);
    EXPECT_EQ(-1, XKT_explogOutputTrigger());
    EXPECT_EQ("fifth", readFile(archive(4)));
    EXPECT_TRUE(namesIn(waitingDir()).empty());
    EXPECT_FALSE(fs::exists(listFile()));
    EXPECT_EQ("4", readFile(indexFile()));
}

// A capture holds the lock while it writes into /tmp/DQN: two exports
// started meanwhile list nothing until it ends, then run one after the
// other, so each archive lands once.
TEST_F(ExpExport, WaitsForTheCaptureAndForEachOther) {
    waiting("APK_ANR_20240131235957.tar.gz", "first", 30);
    XKT_mutex_lock(lock_);
    std::atomic<int> completed{0};
    std::thread exports[2];
    for (auto& t : exports) t = std::thread([&] { completed += XKT_explogOutputTrigger() == 0; });
    usleep(300000);
    EXPECT_FALSE(fs::exists(listFile()));
    waiting("SYS_ABN_20240131235958.tar.gz", "second", 20);  // the capture's archive
    XKT_mutex_unlock(lock_);
    for (auto& t : exports) t.join();
    EXPECT_EQ(2, completed.load());
    EXPECT_EQ("first", readFile(archive(0)));
    EXPECT_EQ("second", readFile(archive(1)));
    EXPECT_EQ(2u, namesIn(flash()).size());
    EXPECT_EQ("2", readFile(indexFile()));
}

// The period's repetition is the error log's timer test: both stores share the timer.
TEST_F(ExpExport, TimerRunsTheExport) {
    xkt::log::writeSetting(g_iTimeIntervalForLogToFlash, 100);
    ASSERT_EQ(0, XKT_timer_init());
    waiting("APK_ANR_20240131235957.tar.gz", "first", 30);
    ASSERT_EQ(0, xkt::log::armExpLogExport());
    ASSERT_TRUE(xkt::test::eventually([&] { return readFile(indexFile()) == "1"; }));
    XKT_mutex_lock(lock_);  // the timer cannot be removed: later exports wait here until exit
    EXPECT_EQ("first", readFile(archive(0)));
}

}  // namespace
