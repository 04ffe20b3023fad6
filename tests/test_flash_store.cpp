// The flash log store on real files in a sandboxed root: archive names,
// index and list files, and which archives an export's deletion removes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "log_entries.h"
#include "log_settings.h"
#include "sandbox.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace fs = std::filesystem;
using xkt::test::readFile;

namespace {

std::set<int> range(int first, int last) {
    std::set<int> r;
    for (int i = first; i <= last; ++i) r.insert(i);
    return r;
}

class FlashStore : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(xkt::test::passEverything());  // messages pass
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        for (const auto& dir : {errorDir(), expDir(), path("/tmp/errorlog")}) fs::create_directories(dir);
    }
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
        const std::regex archive(R"((Err|Exp)_ABC_334455_20240302140509_(\d\d)\.log\.tar\.gz)");
        std::set<int> found;
        std::smatch m;
        for (const std::string& name : xkt::test::namesIn(dir)) {
            if (std::regex_match(name, m, archive)) found.insert(std::stoi(m[2]));
        }
        return found;
    }
};

TEST_F(FlashStore, ArchiveNamesAndTheMacField) {
    char name[256];
    EXPECT_EQ(-1, XKT_getNewLogFileName(name, sizeof name, 7, 0));
    ASSERT_EQ(0, XKT_property_set("ro.product.model", "ABC"));
    const time_t before = time(nullptr);
    ASSERT_EQ(0, XKT_getNewLogFileName(name, sizeof name, 7, 0));
    const time_t after = time(nullptr);
    char stamped[2][64];  // local time, at either end of the call
    strftime(stamped[0], 64, "Err_ABC_334455_%Y%m%d%H%M%S_07.log", localtime(&before));
    strftime(stamped[1], 64, "Err_ABC_334455_%Y%m%d%H%M%S_07.log", localtime(&after));
    EXPECT_TRUE(std::strcmp(name, stamped[0]) == 0 || std::strcmp(name, stamped[1]) == 0) << name;
    EXPECT_STREQ("00:11:22:33:44:55", xkt::log::g_macString) << "filled from the platform";

    // Filled once: later changes of model or MAC are not seen.
    ASSERT_EQ(0, XKT_property_set("ro.product.model", "XYZ"));
    std::strcpy(xkt::log::g_macString, "aa:bb:cc:dd:ee:ff");
    ASSERT_EQ(0, XKT_getNewLogFileName(name, sizeof name, 123, 1));
    const std::string exp = name;
    const std::regex expName(expDir() + R"(/Exp_ABC_334455_\d{14}_123\.log\.tar\.gz)");
    EXPECT_TRUE(std::regex_match(exp, expName)) << exp;
    char mac[16] = {};
    ASSERT_EQ(0, XKT_getMacString(mac));
    EXPECT_STREQ("aabbccddeeff", mac);

    // A short buffer gets the name cut to size - 1 characters, as any bounded format.
    std::memset(name, 'z', sizeof name);
    EXPECT_EQ(0, XKT_getNewLogFileName(name, 35, 7, 0));  // needs 37
    EXPECT_EQ(34u, std::strlen(name));
    EXPECT_EQ(0, std::strncmp(name, "Err_ABC_334455_", 15)) << name;
    EXPECT_EQ(0, XKT_getNewLogFileName(name, 0, 7, 0));
    EXPECT_EQ('E', name[0]) << "nothing written into no room";
}

TEST_F(FlashStore, IndexListAndCopiedFiles) {
    const std::string index = path("/data/errorindex.txt"), tmp = path("/tmp/errorlog");
    const std::string list = path("/tmp/errorloglist.txt");
    EXPECT_EQ(-1, XKT_readIndexFromFile(index.c_str()));
    const std::pair<std::string, int32_t> cases[] = {
        {"", -1}, {std::string("\0" "5", 2), -1}, {"7", 7}, {"49\n", 49}, {"12abc", 12},
        {"abc", 0}, {" -3", -3}, {"\n7", 0}, {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN}};
    for (const auto& [content, expected] : cases) {
        std::ofstream(index, std::ios::trunc) << content;
        EXPECT_EQ(expected, XKT_readIndexFromFile(index.c_str())) << '"' << content << '"';
    }

    const char* newestFirst[] = {"error4.log", "error1.log", "error3.log"};
    for (int i = 0; i < 3; ++i) {
        xkt::test::placeAged(path("/staged"), tmp + "/" + newestFirst[i], "x", i * 10);
    }
    std::ofstream(list) << "stale\nstale\nstale\nstale\n";
    ASSERT_EQ(0, XKT_sortLogByTime(tmp.c_str(), list.c_str()));
    EXPECT_EQ("error3.log\nerror1.log\nerror4.log\n", readFile(list));
    EXPECT_EQ(3, XKT_getTmplogNum(0));
    EXPECT_EQ(-1, XKT_getTmplogNum(1)) << "the exception store has its own list";
    // A name longer than the line buffer counts as two lines, as the export
    // reads it; an empty line and a last line without a line feed count.
    std::ofstream(list, std::ios::trunc) << std::string(40, 'n') << "\n"
                                         << std::string(30, 'm') << "\n\nlast";
    EXPECT_EQ(5, XKT_getTmplogNum(0));
    fs::remove(list);
    fs::create_directory(list);  // opens, but every read fails
    EXPECT_EQ(-1, XKT_getTmplogNum(0));

    const std::string src = path("/src.txt"), dst = path("/dst.txt");
    std::ofstream(src) << "copied";
    ASSERT_EQ(0, XKT_copyFile(src.c_str(), dst.c_str()));
    EXPECT_EQ("copied", readFile(dst));
    EXPECT_EQ(-1, XKT_copyFile(src.c_str(), nullptr));
}

TEST_F(FlashStore, DeletesExactlyTheIndexesAnExportReuses) {
    struct Case {
        int32_t isExp, names, start;
        std::set<int> left;
    };
    // Index files may hold any number: a negative start matches nothing; a huge
    // one ends at (2^31 + 1) % 50 = 49 without overflowing, so the range wraps.
    const Case cases[] = {{0, 3, 48, range(1, 47)},       {1, 5, 5, range(0, 4)},
                          {1, 6, 5, range(1, 4)},         {0, 3, -5, range(0, 49)},
                          {0, 3, INT32_MAX, std::set<int>{}}, {0, 0, 10, range(0, 49)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.names << " names from " << c.start);
        makeArchives(errorDir(), "Err", 50);
        makeArchives(expDir(), "Exp", 10);
        std::string names;
        for (int i = 0; i < c.names; ++i) names += "error" + std::to_string(i) + ".log\n";
        std::ofstream(path(c.isExp ? "/tmp/exploglist.txt" : "/tmp/errorloglist.txt")) << names;
        ASSERT_EQ(0, XKT_deleteFlashLog(c.start, c.isExp));
        EXPECT_EQ(c.left, indexesIn(c.isExp ? expDir() : errorDir()));
        EXPECT_EQ(range(0, c.isExp ? 49 : 9), indexesIn(c.isExp ? errorDir() : expDir()))
            << "the other store is untouched";
    }
    fs::remove(path("/tmp/errorloglist.txt"));
    EXPECT_EQ(-1, XKT_deleteFlashLog(10, 0));
    EXPECT_EQ(range(0, 49), indexesIn(errorDir()));
    fs::remove_all(expDir());
    EXPECT_EQ(-1, XKT_deleteFlashLog(0, 1));
}

// Every entry whose name holds ".log.tar.gz" is judged by the two characters
// before its last eleven, whatever else it holds: short names, blanks, quotes
// and ";" included. Directories and a link's target stay.
TEST_F(FlashStore, RangeDeleteJudgesEveryNameHoldingTheSuffix) {
    const std::string dir = errorDir(), outside = path("/outside");
    std::ofstream(outside) << "keep";
    fs::create_directory(dir + "/Err_ABC_334455_20240302140509_05.log.tar.gz");
    fs::create_symlink(outside, dir + "/link_05.log.tar.gz");
    struct Entry { const char* name; bool goneAfterFirst, goneAfterSecond; };
    const Entry entries[] = {
        {"notes.txt", false, false},          {"a", false, false},
        {"5.log.tar.gz", true, true},         {"7.log.tar.gz", false, false},
        {".log.tar.gz", false, true},         {"a b_05.log.tar.gz", true, true},
        {"x;touch pwned_05.log.tar.gz", true, true}, {"-rf_05.log.tar.gz", true, true},
        {"it's_06.log.tar.gz", true, true},   {"$(touch pwned)_04.log.tar.gz", true, true},
        {"Err_X_05.log.tar.gz.part", false, true}};  // "g." before the last eleven: index 0
    for (const Entry& e : entries) std::ofstream(dir + "/" + e.name) << "x";

    ASSERT_EQ(0, XKT_deleteLogByIndex(4, 6, 0));
    for (const Entry& e : entries) EXPECT_NE(e.goneAfterFirst, fs::exists(dir + "/" + e.name)) << e.name;
    ASSERT_EQ(0, XKT_deleteLogByIndex(9, 0, 0));  // wraps past the last index
    for (const Entry& e : entries) EXPECT_NE(e.goneAfterSecond, fs::exists(dir + "/" + e.name)) << e.name;
    EXPECT_TRUE(fs::is_directory(dir + "/Err_ABC_334455_20240302140509_05.log.tar.gz"));
    EXPECT_FALSE(fs::is_symlink(dir + "/link_05.log.tar.gz")) << "the link goes, its target stays";
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_FALSE(fs::exists(path("/pwned")) || fs::exists("pwned") || fs::exists(dir + "/pwned"));
}

}  // namespace
