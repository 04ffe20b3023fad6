// The shared property store: limits, serials, sharing between processes,
// whole values under concurrent writers (threads and processes), and the
// two tools. Damaged files and stuck writers: test_shared_files.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "property_store.h"
#include "sandbox.h"
#include "xkt_osal.h"

namespace {

using xkt::test::runInChild;

std::string get(const char* name) {
    char value[XKT_PROP_VALUE_MAX];
    return XKT_property_get(name, value, sizeof value) == 0 ? value : "<missing>";
}

// A value of one writer's turn: every character the same, so a read that
// mixes two writes shows two letters.
std::string pattern(int writer, int turn) {
    return std::string(1023, static_cast<char>('A' + (writer * 7 + turn) % 26));
}

bool isWholePattern(const char* value) {
    size_t length = std::strlen(value);
    return length == 1023 && std::strspn(value, std::string(1, value[0]).c_str()) == length;
}


class PropertyStore : public xkt::test::SandboxTest {};

TEST_F(PropertyStore, SetGetLimitsAndAFullStoreRefusesNewNamesOnly) {
    std::string name63(63, 'n'), value1023(1023, 'v');
    EXPECT_EQ(XKT_property_set(name63.c_str(), value1023.c_str()), 0);
    EXPECT_EQ(get(name63.c_str()), value1023);
    EXPECT_EQ(XKT_property_set(std::string(64, 'n').c_str(), "x"), -1);
    EXPECT_EQ(get(std::string(64, 'n').c_str()), "<missing>");
    EXPECT_EQ(XKT_property_set(name63.c_str(), std::string(1024, 'v').c_str()), -1);
    EXPECT_EQ(get(name63.c_str()), value1023) << "a refused write keeps the old value";
    EXPECT_EQ(XKT_property_set("", "x"), -1);
    EXPECT_EQ(XKT_property_set(nullptr, "x"), -1);
    EXPECT_EQ(XKT_property_set("a", nullptr), -1);

    char value[8] = "junk";
    EXPECT_NE(XKT_property_get("no.such.name", value, sizeof value), 0);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(XKT_property_find("no.such.name"), nullptr);
    // A short buffer gets the value cut and terminated.
    ASSERT_EQ(XKT_property_set("ro.product.model", "STB-1234-XYZ"), 0);
    EXPECT_EQ(XKT_property_get("ro.product.model", value, sizeof value), 0);
    EXPECT_STREQ(value, "STB-123");

    // Two slots are taken: fill the rest.
    const std::string last = std::to_string(xkt::host::kPropertySlots - 1);
    for (size_t i = 2; i < xkt::host::kPropertySlots; ++i) {
        ASSERT_EQ(XKT_property_set(("p." + std::to_string(i)).c_str(), std::to_string(i).c_str()), 0) << i;
    }
    EXPECT_EQ(XKT_property_set("one.too.many", "x"), -1);
    EXPECT_EQ(get("one.too.many"), "<missing>");
    EXPECT_EQ(XKT_property_set("p.7", "updated"), 0);
    EXPECT_EQ(get("p.7"), "updated");
    EXPECT_EQ(get(("p." + last).c_str()), last);
}

// The child creates the store; the parent maps it afterwards. A found slot
// sees every write, from any process, and nothing else.
TEST_F(PropertyStore, SharedBetweenProcessesAndSerialChangesOnWritesOnly) {
    ASSERT_EQ(runInChild([] { return XKT_property_set("shared", "from child"); }), 0);
    const XKT_PropInfo* info = XKT_property_find("shared");
    ASSERT_NE(info, nullptr);
    uint32_t serial = XKT_property_serial(info);
    EXPECT_EQ(get("shared"), "from child");
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(XKT_property_set(("o." + std::to_string(i)).c_str(), "x"), 0);
    }
    EXPECT_EQ(XKT_property_serial(info), serial) << "reads and other properties must not change it";
    EXPECT_EQ(XKT_property_find("shared"), info);

    ASSERT_EQ(runInChild([] { return XKT_property_set("shared", "from child"); }), 0);
    uint32_t rewritten = XKT_property_serial(info);
    EXPECT_NE(rewritten, serial) << "the same value written again";
    ASSERT_EQ(XKT_property_set("shared", "from parent"), 0);
    EXPECT_NE(XKT_property_serial(info), rewritten);
    EXPECT_EQ(runInChild([] { return get("shared") == "from parent" ? 0 : 1; }), 0);
    char value[16];
    EXPECT_EQ(XKT_property_read(info, value, sizeof value), 0);
    EXPECT_STREQ(value, "from parent");
}

// Two writer processes and two writer threads on one property; every read,
// in any of them, must be one writer's whole value.
TEST_F(PropertyStore, ConcurrentWritersNeverTearAValue) {
    ASSERT_EQ(XKT_property_set("race", pattern(0, 0).c_str()), 0);
    auto writeAndCheck = [](int writer) {
        char value[XKT_PROP_VALUE_MAX];
        int torn = 0;
        for (int turn = 0; turn < 2000; ++turn) {
            torn += XKT_property_set("race", pattern(writer, turn).c_str()) != 0;
            torn += XKT_property_get("race", value, sizeof value) != 0 || !isWholePattern(value);
        }
        return torn;
    };
    std::vector<pid_t> children;
    for (int w = 0; w < 2; ++w) children.push_back(xkt::test::spawn([&] { return writeAndCheck(w) == 0 ? 0 : 1; }));
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int w = 2; w < 4; ++w) threads.emplace_back([&, w] { torn += writeAndCheck(w); });
    threads.emplace_back([&] {
        const XKT_PropInfo* info = XKT_property_find("race");
        char value[XKT_PROP_VALUE_MAX];
        for (int i = 0; i < 4000; ++i) {
            torn += XKT_property_read(info, value, sizeof value) != 0 || !isWholePattern(value);
        }
    });
    for (auto& thread : threads) thread.join();
    for (pid_t pid : children) EXPECT_EQ(xkt::test::waitForExit(pid), 0);
    EXPECT_EQ(torn.load(), 0);
}

// "STATUS:OUTPUT" of a tool run.
std::string tool(const std::string& arguments) {
    int status = -1;
    const std::string out = xkt::test::capture(xkt::test::binDir() + "/" + arguments + " 2>&1", &status);
    return std::to_string(status) + ":" + out;
}

TEST_F(PropertyStore, ToolsSetGetListAndReportFailure) {
    EXPECT_EQ(tool("xkt-setprop ro.software V1.0.3"), "0:");
    EXPECT_EQ(get("ro.software"), "V1.0.3");
    ASSERT_EQ(XKT_property_set("xkt.log.modules", "LOG NET"), 0);
    EXPECT_EQ(tool("xkt-getprop xkt.log.modules"), "0:LOG NET\n");
    EXPECT_EQ(tool("xkt-getprop no.such fallback"), "0:fallback\n");
    EXPECT_EQ(tool("xkt-getprop"), "0:[ro.software]: [V1.0.3]\n[xkt.log.modules]: [LOG NET]\n");
    EXPECT_NE(tool("xkt-setprop some.name " + std::string(1024, 'v')).rfind("0:", 0), 0u);
    EXPECT_EQ(get("some.name"), "<missing>");
}

}  // namespace
