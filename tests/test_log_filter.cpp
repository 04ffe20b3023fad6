// The filter: takeover, type and level tests, the shared module filter.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "log_entries.h"
#include "log_filter.h"
#include "sandbox.h"
#include "xkt_log.h"
#include "xkt_osal.h"

using namespace xkt::log;
using xkt::test::runInChild;

namespace {

using BareSandboxTest = xkt::test::SandboxTest;  // nothing set up: no takeover, no module filter

class FilterTest : public xkt::test::SandboxTest {
protected:
    void SetUp() override { ASSERT_TRUE(xkt::test::passEverything()); }
};

}  // namespace

// Takeover seen, a process still drops at the module test until some
// process publishes the module filter.
TEST_F(BareSandboxTest, NothingPassesBeforeTakeoverOrWithoutThePublishedModules) {
    EXPECT_EQ(-1, XKT_canLogOutput(1, 4, "mod"));
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "1"));
    EXPECT_EQ(-1, XKT_canLogOutput(1, 1, "mod"));
    EXPECT_EQ(-1, XKT_canLogOutput(1, 1, ""));
    ASSERT_EQ(0, runInChild([] { return XKT_logFilterSetModule(nullptr); }));  // publishes "ALL"
    EXPECT_EQ(0, XKT_canLogOutput(1, 1, "mod"));

    setMgmtTakeover(false);
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "0"));
    EXPECT_EQ(-1, XKT_canLogOutput(1, 4, "mod"));
    EXPECT_EQ(-1, XKT_logWrite("f.c", 1, "fn", 0, 1, 4, "mod", "dropped"));
    EXPECT_EQ(-1, XKT_logFormatWrite("f.c", 1, "fn", 7, 1, 4, "mod", "dropped"));
    EXPECT_EQ(-1, android_log_write("f.c", 1, "fn", 0, 1, 4, "mod", "dropped"));
    EXPECT_TRUE(xkt::test::readTagged("XKT").empty());

    // Any text starting with "1" counts; once seen it is not asked again.
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "10"));
    EXPECT_EQ(0, XKT_canLogOutput(1, 4, "mod"));
    EXPECT_TRUE(mgmtTakeover());
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "0"));
    EXPECT_EQ(0, XKT_canLogOutput(1, 4, "mod"));
    setMgmtTakeover(false);
    EXPECT_EQ(-1, XKT_canLogOutput(1, 4, "mod"));
}

TEST_F(FilterTest, LevelFilterComparesNumbersTypeFilterOneTypeOrAll) {
    // Which of these levels (of type 1), or these types (at level 1), pass.
    auto passing = [](bool types) {
        std::string passed;
        for (uint32_t v : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 1000u}) {
            passed += XKT_logFilter(types ? v : 1, types ? 1 : v, "m") == 0 ? '1' : '0';
        }
        return passed;
    };
    XKT_logFilterSetLevel(2);
    EXPECT_EQ("001111111", passing(false));
    XKT_logFilterSetLevel(6);
    EXPECT_EQ("000000111", passing(false));
    XKT_logFilterSetLevel(0);
    EXPECT_EQ("111111111", passing(true));
    XKT_logFilterSetType(3);
    EXPECT_EQ("000100000", passing(true));
    XKT_logFilterSetType(5);
    EXPECT_EQ("000000000", passing(true));
}

TEST_F(FilterTest, ModuleFilterMatchesWholeNamesAllPrefixAndNullSelectEverything) {
    EXPECT_EQ(0, XKT_logFilter(1, 1, nullptr));  // "ALL" passes even no module
    const std::string longName(70, 'q'), cut = longName.substr(0, 63), eleven = "m0|m1|m2|m3|m4|m5|m6|m7|m8|m9|m10";
    // Set after "a|b"; the published text; which modules pass (nullptr: no module).
    const struct { const char* set; const char* published; std::vector<const char*> modules; const char* passing; } cases[] = {
        {"||player|||net|", "||player|||net|", {"player", "net", "Player", "play", "", nullptr}, "110000"},
        {eleven.c_str(), eleven.c_str(), {"m9", "m10"}, "10"},
        {longName.c_str(), longName.c_str(), {longName.c_str(), cut.c_str()}, "01"},
        {"|", "|", {"|", ""}, "10"},
        {"ALLbutnot|c", "ALL", {"anything"}, "1"},
        {nullptr, "ALL", {"zzz"}, "1"},
    };
    for (const auto& c : cases) {
        XKT_logFilterSetModule("a|b");
        XKT_logFilterSetModule(c.set);
        EXPECT_EQ(c.published, xkt::test::propertyOf("xkt.log.modules"));
        std::string passed;
        for (const char* module : c.modules) passed += XKT_logFilter(1, 1, module) == 0 ? '1' : '0';
        EXPECT_EQ(c.passing, passed) << c.published;
    }
}

// Another process changes the filter through the property: this process
// adopts each one on its next call, and never a list half rebuilt.
TEST_F(FilterTest, ThreadsMatchWhileAnotherProcessFlipsTheFilter) {
    XKT_logFilterSetModule("a");
    const pid_t flipper = xkt::test::spawn([] {
        for (int i = 0; i < 2000; ++i) XKT_property_set("xkt.log.modules", i % 2 ? "a|b" : "c");
        return XKT_property_set("xkt.log.modules", "b");
    });
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 20000; ++i) {
                // No filter ever in force lets "d" through; a list read
                // while it was being rebuilt could.
                XKT_logFilter(1, 1, "a");
                wrong += XKT_logFilter(1, 1, "d") == 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(0, xkt::test::waitForExit(flipper));
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(0, XKT_logFilter(1, 1, "b")) << "the last filter published";
    EXPECT_EQ(-1, XKT_logFilter(1, 1, "a"));
}
