// The error log's export to flash: archives made by busybox tar and opened
// with GNU tar, the cyclic index across exports, failing steps, one export
// at a time, and the timer.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "error_export.h"
#include "log_entries.h"
#include "log_settings.h"
#include "sandbox.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace fs = std::filesystem;
using xkt::test::capture;
using xkt::test::eventually;
using xkt::test::readFile;

namespace {

int32_t exportState() { return __atomic_load_n(&g_iErrorLogStatus, __ATOMIC_ACQUIRE); }

class ErrorExport : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(xkt::test::passEverything());  // messages pass
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        ASSERT_EQ(0, XKT_property_set("ro.product.model", "ABC"));
        xkt::log::writeSetting(g_iErrorLogToFlashEnable, 1);
        for (const auto& dir : {temporary(), flash()}) fs::create_directories(dir);
        lock_ = XKT_mutex_create();  // capture's lock, as its initialisation leaves it
        ASSERT_NE(0u, lock_);
        __atomic_store_n(&g_pErrorLogMutex, lock_, __ATOMIC_RELEASE);
    }
    std::string temporary() const { return path("/tmp/errorlog"); }
    std::string flash() const { return path("/data/tarvek-log/Error"); }
    std::string indexFile() const { return path("/data/errorindex.txt"); }
    std::string listFile() const { return path("/tmp/errorloglist.txt"); }
    std::string storedIndex() const { return readFile(indexFile()); }
    size_t temporaryCount() const { return std::distance(fs::directory_iterator(temporary()), {}); }

    void temporaryFile(const std::string& name, const std::string& content, int age = 0) {
        xkt::test::placeAged(path("/" + name), temporary() + "/" + name, content, age);
    }
    // The one archive under index; "" when there are none or two.
    std::string archive(int index) const {
        char name[64];
        snprintf(name, sizeof name, "Err_ABC_334455_%s_%02d.log.tar.gz", std::string(14, '?').c_str(), index);
        const auto found = xkt::test::linesOf(capture("cd '" + flash() + "' && ls " + name + " 2>/dev/null"));
        return found.size() == 1 ? flash() + "/" + found[0] : "";
    }
    // What GNU tar finds in that archive: its members' names, then their contents.
    std::string packed(int index) const {
        const std::string file = "'" + archive(index) + "'";
        return capture("tar -tzf " + file + " 2>/dev/null && tar -xzOf " + file);
    }
    uint32_t lock_ = 0;
};

TEST_F(ErrorExport, PacksOldestFirstUnderTheCyclicIndex) {
    std::ofstream(indexFile()) << 48;
    const std::string old = flash() + "/Err_OLD_000000_20200101000000_";
    for (const char* index : {"47", "48", "49"}) std::ofstream(old + index + ".log.tar.gz");
    temporaryFile("error3.log", "newer line\n", 0);
    temporaryFile("error2.log", "older line\n", 60);
    // As capture holds it.
    g_pErrorLogFileHandle = std::fopen((temporary() + "/error3.log").c_str(), "a");
    ASSERT_NE(nullptr, g_pErrorLogFileHandle);

    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ(0, exportState());
    EXPECT_EQ(nullptr, g_pErrorLogFileHandle) << "closed before the files are deleted";
    EXPECT_EQ("error2.log\nolder line\n", packed(48));
    EXPECT_EQ("error3.log\nnewer line\n", packed(49));
    EXPECT_FALSE(fs::exists(old + "48.log.tar.gz"));
    EXPECT_TRUE(fs::exists(old + "47.log.tar.gz"));
    EXPECT_EQ("0", storedIndex());
    EXPECT_FALSE(fs::exists(listFile()));
    EXPECT_EQ(0u, temporaryCount());

    // Capture's next line creates its file again; the next export goes on
    // from the stored index, here moved to 49 by hand.
    ASSERT_EQ(0, XKT_errorlogFileOutput("after the export\n"));
    temporaryFile("error1.log", "second\n", 60);
    std::ofstream(indexFile(), std::ios::trunc) << 49;
    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ("error1.log\nsecond\n", packed(49));
    EXPECT_EQ("error0.log\nafter the export\n", packed(0));
    EXPECT_EQ("1", storedIndex());
}

TEST_F(ErrorExport, SwitchedOffFailingEmptyOrListingNoFiles) {
    temporaryFile("error0.log", "line\n");
    xkt::log::writeSetting(g_iErrorLogToFlashEnable, 0);
    XKT_errorlogOutputTrigger();
    EXPECT_FALSE(fs::exists(listFile())) << "nothing listed";
    EXPECT_EQ(1u, temporaryCount());

    xkt::log::writeSetting(g_iErrorLogToFlashEnable, 1);
    std::ofstream(indexFile()) << 5;
    fs::remove_all(flash());
    XKT_errorlogOutputTrigger();
    EXPECT_EQ("5", storedIndex());
    // The index cannot be stored: the archive is written, the files stay.
    fs::create_directories(flash());
    fs::remove(indexFile());
    fs::create_directory(indexFile());
    XKT_errorlogOutputTrigger();
    EXPECT_EQ("error0.log\nline\n", packed(0));
    EXPECT_EQ(0, exportState());
    EXPECT_EQ(1u, temporaryCount()) << "every failure keeps them";

    fs::remove(indexFile());  // next period, with the fault gone, they go out again
    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ(0u, temporaryCount());
    std::ofstream(indexFile(), std::ios::trunc) << "7\n";
    ASSERT_EQ(0, XKT_errorlogOutputTrigger());
    EXPECT_EQ("7", storedIndex()) << "rewritten unchanged, without the line feed";
    EXPECT_EQ("", archive(7));

    // Listed, then gone, a name with shell characters, and one longer than
    // the line buffer.
    temporaryFile("error1.log", "packed\n");
    temporaryFile("a;touch pwned", "odd\n");
    std::ofstream(listFile()) << "error1.log\nvanished.log\na;touch pwned\n"
                              << std::string(40, 'x') << "\n";
    int32_t index = 10;
    ASSERT_EQ(0, XKT_OutputErrLogToFlash(&index));
    EXPECT_EQ(15, index) << "every listed line uses its index, packed or not";
    EXPECT_EQ("error1.log\npacked\n", packed(10));
    EXPECT_EQ("", packed(11)) << "nothing of the vanished file";
    EXPECT_EQ("a;touch pwned\nodd\n", packed(12)) << "one word of the command";
    EXPECT_FALSE(fs::exists(temporary() + "/pwned") || fs::exists("pwned"));
    fs::remove(listFile());
    EXPECT_EQ(-1, XKT_OutputErrLogToFlash(&index));
}

// Capture's lock, held here, stops the winner at its last step, so the
// state can be watched at 1 for as long as the test needs.
TEST_F(ErrorExport, OneExportAtATime) {
    for (int round = 0; round < 5; ++round) {
        const std::string line = "round " + std::to_string(round) + "\n";
        temporaryFile("error0.log", line);
        XKT_mutex_lock(lock_);
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
        XKT_mutex_unlock(lock_);
        for (auto& t : triggers) t.join();
        ASSERT_TRUE(oneRefused);
        EXPECT_EQ(0, exportState());
        EXPECT_EQ("error0.log\n" + line, packed(round));
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
    ASSERT_TRUE(eventually([&] {
        return storedIndex() == "1" && !fs::exists(listFile()) && exportState() == 0;
    }));
    temporaryFile("error0.log", "second\n");
    ASSERT_TRUE(eventually([&] { return storedIndex() == "2"; }));
    XKT_timer_remove(timer);
    EXPECT_EQ("error0.log\nfirst\n", packed(0));
    EXPECT_EQ("error0.log\nsecond\n", packed(1));
}

}  // namespace
