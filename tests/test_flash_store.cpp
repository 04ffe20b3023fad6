// The flash log store on real files in a sandboxed root: archive names,
// index and list files, and which archives an export's deletion removes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sys/time.h>

#include "log_entries.h"
#include "log_init.h"
#include "sandbox.h"
#include "xkt_log.h"

namespace fs = std::filesystem;

namespace {

// The library's own message: level, function and exact text.
using xkt::test::said;

std::set<int> range(int first, int last) {
    std::set<int> r;
    for (int i = first; i <= last; ++i) r.insert(i);
    return r;
}

class FlashStore : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "1"));  // messages pass
        XKT_logFilterSetModule("ALL");
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        for (const char* dir : {"/data/tarvek-log/Error", "/data/tarvek-log/exp", "/tmp/errorlog"}) fs::create_directories(path(dir));
    }
    std::string path(const std::string& boxPath) const { return sandbox_.path(boxPath); }
    std::string errorDir() const { return path("/data/tarvek-log/Error"); }
    std::string expDir() const { return path("/data/tarvek-log/exp"); }

    // Archives as the exports name them, indexes 0 .. count - 1; and the indexes left.
    static void makeArchives(const std::string& dir, const char* prefix, int count) {
        char name[64];
        for (int i = 0; i < count; ++i) {
            snprintf(name, sizeof name, "/%s_ABC_334455_20240302140509_%02d.log.tar.gz", prefix, i);
            std::ofstream(dir + name) << "archive";
        }
    }
    static std::set<int> indexesIn(const std::string& dir) {
        const std::regex archive("(Err|Exp)_ABC_334455_20240302140509_(\\d\\d)\\.log\\.tar\\.gz");
        std::set<int> found;
        std::smatch m;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && std::regex_match(name, m, archive)) found.insert(std::stoi(m[2]));
        }
        return found;
    }
    void writeList(const char* boxPath, int names) {
        std::ofstream list(path(boxPath));
        for (int i = 0; i < names; ++i) list << "error" << i << ".log\n";
    }
};

TEST_F(FlashStore, ArchiveNamesAndTheMacField) {
    char name[256];
    EXPECT_EQ(-1, XKT_getNewLogFileName(name, sizeof name, 7, 0));
    EXPECT_TRUE(said(" INFO", "XKT_getNewLogFileName", "get stb model failed")) << "and tried again next time:";
    ASSERT_EQ(0, XKT_property_set("ro.product.model", "ABC"));
    const time_t before = time(nullptr);
    ASSERT_EQ(0, XKT_getNewLogFileName(name, sizeof name, 7, 0));
    const time_t after = time(nullptr);
    std::cmatch m;
    ASSERT_TRUE(std::regex_match(name, m, std::regex("Err_ABC_334455_(\\d{14})_07\\.log"))) << name;
    char stamps[2][16];
    for (int i = 0; i < 2; ++i) strftime(stamps[i], 16, "%Y%m%d%H%M%S", localtime(i == 0 ? &before : &after));
    EXPECT_TRUE(m[1] == stamps[0] || m[1] == stamps[1]) << m[1] << ": local time";
    EXPECT_STREQ("00:11:22:33:44:55", xkt::log::g_macString) << "filled from the platform";

    // Filled once: later changes of model or MAC are not seen.
    ASSERT_EQ(0, XKT_property_set("ro.product.model", "XYZ"));
    std::strcpy(xkt::log::g_macString, "aa:bb:cc:dd:ee:ff");
    ASSERT_EQ(0, XKT_getNewLogFileName(name, sizeof name, 123, 1));
    const std::string exp = name, prefix = expDir() + "/Exp_ABC_334455_";
    EXPECT_EQ(prefix, exp.substr(0, prefix.size())) << "the exception store names a full path";
    EXPECT_TRUE(std::regex_match(exp.substr(prefix.size()), std::regex("\\d{14}_123\\.log\\.tar\\.gz"))) << exp;
    char mac[16] = {};
    ASSERT_EQ(0, XKT_getMacString(mac));
    EXPECT_STREQ("aabbccddeeff", mac);

    // Refused, never cut: a cut name would be another archive's.
    EXPECT_EQ(-1, XKT_getNewLogFileName(name, 35, 7, 0));  // needs 37
    EXPECT_STREQ("", name);
    EXPECT_EQ(-1, XKT_getNewLogFileName(name, static_cast<uint32_t>(exp.size()), 123, 1));
    EXPECT_EQ(-1, XKT_getNewLogFileName(name, 0, 7, 0));
}

TEST_F(FlashStore, IndexAndListFiles) {
    const std::string index = path("/data/errorindex.txt"), tmp = path("/tmp/errorlog"), list = path("/tmp/errorloglist.txt");
    EXPECT_EQ(-1, XKT_readIndexFromFile(index.c_str()));
    const std::pair<std::string, int32_t> cases[] = {
        {"", -1}, {std::string("\0" "5", 2), -1}, {"7", 7}, {"49\n", 49}, {"12abc", 12}, {"abc", 0},
        {" -3", -3}, {"\n7", 0}, {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}};
    for (const auto& [content, expected] : cases) {
        std::ofstream(index, std::ios::trunc) << content;
        EXPECT_EQ(expected, XKT_readIndexFromFile(index.c_str())) << '"' << content << '"';
    }
    EXPECT_TRUE(said("ERROR", "XKT_readIndexFromFile", "Read index from file failed, the file is empty"));

    const char* newestFirst[] = {"error4.log", "error1.log", "error3.log"};
    for (int i = 0; i < 3; ++i) {
        std::ofstream(tmp + "/" + newestFirst[i]) << "x";
        const timeval times[2] = {{1700000000 - i * 10, 0}, {1700000000 - i * 10, 0}};
        ASSERT_EQ(0, utimes((tmp + "/" + newestFirst[i]).c_str(), times));
    }
    std::ofstream(list) << "stale\nstale\nstale\nstale\n";
    ASSERT_EQ(0, XKT_sortLogByTime(tmp.c_str(), list.c_str()));
    EXPECT_EQ("error3.log\nerror1.log\nerror4.log\n", xkt::test::capture("cat " + list));
    EXPECT_EQ(3, XKT_getTmplogNum(0));
    EXPECT_EQ(-1, XKT_getTmplogNum(1)) << "the exception store has its own list";
    // A name longer than the line buffer counts as two lines, as the export
    // reads it; an empty line and a last line without a line feed count.
    std::ofstream(list, std::ios::trunc) << std::string(40, 'n') << "\n" << std::string(30, 'm') << "\n\nlast";
    EXPECT_EQ(5, XKT_getTmplogNum(0));
    fs::remove(list);
    fs::create_directory(list);  // opens, but every read fails
    EXPECT_EQ(-1, XKT_getTmplogNum(0));
    EXPECT_TRUE(said("ERROR", "XKT_getTmplogNum", "fgets failed"));
}

TEST_F(FlashStore, DeletesExactlyTheIndexesAnExportReuses) {
    makeArchives(errorDir(), "Err", 50);
    writeList("/tmp/errorloglist.txt", 3);
    ASSERT_EQ(0, XKT_deleteFlashLog(48, 0));
    EXPECT_EQ(range(1, 47), indexesIn(errorDir())) << "48, 49 and 0";
    EXPECT_TRUE(said("DEBUG", "XKT_deleteFlashLog", "iStartIndex = [48], iEndIndex = [0]"));
    for (int names : {5, 6}) {
        makeArchives(expDir(), "Exp", 10);
        writeList("/tmp/exploglist.txt", names);
        ASSERT_EQ(0, XKT_deleteFlashLog(5, 1));
        EXPECT_EQ(names == 5 ? range(0, 4) : range(1, 4), indexesIn(expDir())) << names << " names";
    }
    EXPECT_EQ(range(1, 47), indexesIn(errorDir())) << "the other store is untouched";
    makeArchives(expDir(), "Exp", 10);
    ASSERT_EQ(0, XKT_deleteLogByIndex(3, 3, 1));
    const std::set<int> left = indexesIn(expDir());
    EXPECT_TRUE(left.size() == 9 && left.count(3) == 0);

    // Index files that held numbers out of range: a negative start matches
    // nothing; a huge one ends at (2^31 + 1) % 50 = 49 without overflowing,
    // so the range wraps over the whole store.
    makeArchives(errorDir(), "Err", 50);
    ASSERT_EQ(0, XKT_deleteFlashLog(-5, 0));
    EXPECT_EQ(range(0, 49), indexesIn(errorDir()));
    ASSERT_EQ(0, XKT_deleteFlashLog(INT32_MAX, 0));
    EXPECT_EQ(std::set<int>{}, indexesIn(errorDir()));

    makeArchives(errorDir(), "Err", 50);
    writeList("/tmp/errorloglist.txt", 0);
    EXPECT_EQ(0, XKT_deleteFlashLog(10, 0));
    fs::remove(path("/tmp/errorloglist.txt"));
    EXPECT_EQ(-1, XKT_deleteFlashLog(10, 0));
    EXPECT_EQ(range(0, 49), indexesIn(errorDir()));
    fs::remove_all(expDir());
    EXPECT_EQ(-1, XKT_deleteFlashLog(0, 1));
    EXPECT_TRUE(said("ERROR", "XKT_deleteLogByIndex", "opendir failed"));
}

TEST_F(FlashStore, ForeignEntriesAreNeverTakenForArchives) {
    const std::string dir = errorDir(), outside = path("/outside"), part = dir + "/Err_X_05.log.tar.gz.part";
    std::ofstream(outside) << "keep";
    fs::create_directory(dir + "/Err_ABC_334455_20240302140509_05.log.tar.gz");
    // Too short for an index, not one shell word, or read as an option.
    const char* kept[] = {"notes.txt", "7.log.tar.gz", ".log.tar.gz", "a", "a b_05.log.tar.gz",
                          "x;touch pwned_05.log.tar.gz", "-rf_05.log.tar.gz"};
    for (const char* name : kept) std::ofstream(dir + "/" + name) << "x";
    std::ofstream(part) << "x";  // "g." before its last eleven characters: index 0
    fs::create_symlink(outside, dir + "/link_05.log.tar.gz");
    makeArchives(dir, "Err", 10);

    ASSERT_EQ(0, XKT_deleteLogByIndex(4, 6, 0));
    EXPECT_EQ((std::set<int>{0, 1, 2, 3, 7, 8, 9}), indexesIn(dir));
    EXPECT_TRUE(fs::is_directory(dir + "/Err_ABC_334455_20240302140509_05.log.tar.gz"));
    EXPECT_FALSE(fs::is_symlink(dir + "/link_05.log.tar.gz")) << "the link goes, its target stays";
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(said("ERROR", "XKT_deleteLogByIndex", "rm file a b_05.log.tar.gz failed"));
    EXPECT_TRUE(fs::exists(part));
    ASSERT_EQ(0, XKT_deleteLogByIndex(9, 0, 0));
    EXPECT_FALSE(fs::exists(part)) << "merely containing the suffix, judged like any name";
    EXPECT_EQ((std::set<int>{1, 2, 3, 7, 8}), indexesIn(dir));
    for (const char* name : kept) EXPECT_TRUE(fs::exists(dir + "/" + name)) << name;
    EXPECT_FALSE(fs::exists(path("/pwned_05.log.tar.gz")) || fs::exists("pwned_05.log.tar.gz"));
}

TEST_F(FlashStore, CopyFile) {
    const std::string src = path("/src.txt"), dst = path("/dst.txt");
    std::ofstream(src) << "copied";
    ASSERT_EQ(0, XKT_copyFile(src.c_str(), dst.c_str()));
    EXPECT_EQ("copied", xkt::test::capture("cat " + dst));
    EXPECT_EQ(-1, XKT_copyFile(src.c_str(), nullptr));
}

}  // namespace
