// The shared property store: limits, serials and stable slots, sharing
// between processes, whole values under concurrent writers (threads and
// processes), recovery from broken files and dead writers, and the two tools.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "property_store.h"
#include "root_path.h"
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
std::string pattern(int writer, int turn, size_t length = 1023) {
    return std::string(length, static_cast<char>('A' + (writer * 7 + turn) % 26));
}

bool isWholePattern(const char* value) {
    size_t length = std::strlen(value);
    if (length != 1023) return false;
    for (size_t i = 1; i < length; ++i) {
        if (value[i] != value[0]) return false;
    }
    return true;
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class PropertyStore : public xkt::test::SandboxTest {};

TEST_F(PropertyStore, SetGetMissingAndCut) {
    EXPECT_EQ(XKT_property_set("xkt.log.modules", "LOG,NET"), 0);
    EXPECT_EQ(get("xkt.log.modules"), "LOG,NET");
    EXPECT_EQ(XKT_property_set("xkt.log.modules", ""), 0);
    EXPECT_EQ(get("xkt.log.modules"), "");

    char value[8] = "junk";
    EXPECT_NE(XKT_property_get("no.such.name", value, sizeof value), 0);
    EXPECT_STREQ(value, "");
    EXPECT_NE(XKT_property_get("xkt.log.modules", value, 0), 0);
    EXPECT_NE(XKT_property_get(nullptr, value, sizeof value), 0);
    EXPECT_EQ(XKT_property_find("no.such.name"), nullptr);

    // A short buffer gets the value cut and terminated.
    ASSERT_EQ(XKT_property_set("ro.product.model", "STB-1234-XYZ"), 0);
    for (uint32_t size : {1u, 2u, 9u, 13u}) {
        std::vector<char> cut(size, '#');
        ASSERT_EQ(XKT_property_get("ro.product.model", cut.data(), size), 0);
        EXPECT_EQ(std::string(cut.data()), std::string("STB-1234-XYZ").substr(0, size - 1));
    }
}

TEST_F(PropertyStore, NameAndValueLimits) {
    std::string name63(63, 'n'), name64(64, 'n');
    std::string value1023(1023, 'v'), value1024(1024, 'v');
    EXPECT_EQ(XKT_property_set(name63.c_str(), value1023.c_str()), 0);
    EXPECT_EQ(get(name63.c_str()), value1023);
    EXPECT_EQ(XKT_property_set(name64.c_str(), "x"), -1);
    EXPECT_EQ(get(name64.c_str()), "<missing>");
    EXPECT_EQ(XKT_property_set(name63.c_str(), value1024.c_str()), -1);
    EXPECT_EQ(get(name63.c_str()), value1023) << "a refused write keeps the old value";
    EXPECT_EQ(XKT_property_set("", "x"), -1);
    EXPECT_EQ(XKT_property_set(nullptr, "x"), -1);
    EXPECT_EQ(XKT_property_set("a", nullptr), -1);
}

TEST_F(PropertyStore, FoundSlotIsStableAndSerialTracksWrites) {
    EXPECT_EQ(XKT_property_find("xkt.log.mgmttakeover"), nullptr);
    ASSERT_EQ(XKT_property_set("xkt.log.mgmttakeover", "0"), 0);
    const XKT_PropInfo* info = XKT_property_find("xkt.log.mgmttakeover");
    ASSERT_NE(info, nullptr);

    uint32_t serial = XKT_property_serial(info);
    EXPECT_EQ(get("xkt.log.mgmttakeover"), "0");
    EXPECT_EQ(XKT_property_serial(info), serial) << "a read must not change the serial";
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(XKT_property_set(("other." + std::to_string(i)).c_str(), "x"), 0);
    }
    EXPECT_EQ(XKT_property_serial(info), serial) << "other properties must not change it";
    EXPECT_EQ(XKT_property_find("xkt.log.mgmttakeover"), info);

    ASSERT_EQ(XKT_property_set("xkt.log.mgmttakeover", "0"), 0);  // same value again
    uint32_t rewritten = XKT_property_serial(info);
    EXPECT_NE(rewritten, serial);
    ASSERT_EQ(XKT_property_set("xkt.log.mgmttakeover", "1"), 0);
    EXPECT_NE(XKT_property_serial(info), rewritten);

    char value[4];
    EXPECT_EQ(XKT_property_read(info, value, sizeof value), 0);
    EXPECT_STREQ(value, "1");
    int bogus = 0;
    EXPECT_NE(XKT_property_read(reinterpret_cast<const XKT_PropInfo*>(&bogus), value, 4), 0);
}

TEST_F(PropertyStore, SharedBetweenProcesses) {
    // The child creates the store; the parent maps it afterwards.
    ASSERT_EQ(runInChild([] { return XKT_property_set("shared.a", "from child"); }), 0);
    EXPECT_EQ(get("shared.a"), "from child");
    ASSERT_EQ(XKT_property_set("shared.b", "from parent"), 0);
    EXPECT_EQ(runInChild([] { return get("shared.b") == "from parent" ? 0 : 1; }), 0);

    // A slot found before another process changes the value sees the change.
    const XKT_PropInfo* info = XKT_property_find("shared.a");
    uint32_t serial = XKT_property_serial(info);
    ASSERT_EQ(runInChild([] { return XKT_property_set("shared.a", "changed"); }), 0);
    EXPECT_NE(XKT_property_serial(info), serial);
    EXPECT_EQ(get("shared.a"), "changed");
}

TEST_F(PropertyStore, FullStoreRefusesNewNamesOnly) {
    const size_t capacity = xkt::host::kPropertySlots;
    for (size_t i = 0; i < capacity; ++i) {
        std::string number = std::to_string(i);
        ASSERT_EQ(XKT_property_set(("p." + number).c_str(), number.c_str()), 0) << i;
    }
    EXPECT_EQ(XKT_property_set("one.too.many", "x"), -1);
    EXPECT_EQ(xkt::host::setProperty("one.too.many", "x"), xkt::host::PropertyError::storeFull);
    EXPECT_EQ(XKT_property_set("p.7", "updated"), 0);
    EXPECT_EQ(get("p.7"), "updated");
    for (size_t i = 0; i < capacity; i += 37) {
        EXPECT_EQ(get(("p." + std::to_string(i)).c_str()), std::to_string(i));
    }
    EXPECT_EQ(get("one.too.many"), "<missing>");
    EXPECT_EQ(xkt::host::listProperties().size(), capacity);
}

TEST_F(PropertyStore, ForeignFileIsReplaced) {
    std::string path = xkt::host::propertyStorePath();
    ASSERT_TRUE(xkt::host::makeDirs(sandbox_.path("/dev")));
    std::ofstream(path) << std::string(100000, 'x');
    EXPECT_EQ(XKT_property_set("after.foreign", "ok"), 0);
    EXPECT_EQ(get("after.foreign"), "ok");
    EXPECT_NE(fileSize(path), 100000);
}

TEST_F(PropertyStore, TruncatedFileIsReplaced) {
    std::string path = xkt::host::propertyStorePath();
    ASSERT_EQ(runInChild([] { return XKT_property_set("before", "1"); }), 0);
    off_t full = fileSize(path);
    ASSERT_GT(full, 0);
    ASSERT_EQ(truncate(path.c_str(), full / 2), 0);
    EXPECT_EQ(XKT_property_set("after.truncate", "ok"), 0);
    EXPECT_EQ(get("after.truncate"), "ok");
    EXPECT_EQ(fileSize(path), full);
}

// Every read during the run must be one writer's whole value.
void readWholeValues(std::atomic<bool>& stop, std::atomic<int>& torn, std::atomic<long>& reads) {
    const XKT_PropInfo* info = XKT_property_find("race");
    char value[XKT_PROP_VALUE_MAX];
    while (!stop.load()) {
        if (XKT_property_get("race", value, sizeof value) != 0 || !isWholePattern(value)) ++torn;
        if (XKT_property_read(info, value, sizeof value) != 0 || !isWholePattern(value)) ++torn;
        reads += 2;
    }
}

TEST_F(PropertyStore, ConcurrentThreadWritersNeverTearAValue) {
    ASSERT_EQ(XKT_property_set("race", pattern(0, 0).c_str()), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) readers.emplace_back([&] { readWholeValues(stop, torn, reads); });
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([w] {
            for (int turn = 0; turn < 2000; ++turn) {
                XKT_property_set("race", pattern(w, turn).c_str());
            }
        });
    }
    for (auto& t : writers) t.join();
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST_F(PropertyStore, ConcurrentProcessWritersNeverTearAValue) {
    ASSERT_EQ(XKT_property_set("race", pattern(0, 0).c_str()), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < 3; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            char value[XKT_PROP_VALUE_MAX];
            int bad = 0;
            for (int turn = 0; turn < 3000; ++turn) {
                if (XKT_property_set("race", pattern(w, turn).c_str()) != 0) bad = 1;
                if (XKT_property_get("race", value, sizeof value) != 0 || !isWholePattern(value)) {
                    bad = 2;
                }
            }
            _exit(bad);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::thread reader([&] { readWholeValues(stop, torn, reads); });
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_TRUE(isWholePattern(get("race").c_str()));
}

// A writer killed with the lock held and a value half written: the next
// reader must not spin for ever, and the value must be whole.
class AbandonedWrite : public PropertyStore {
protected:
    void SetUp() override {
        ASSERT_EQ(XKT_property_set("victim", pattern(0, 0).c_str()), 0);
        info_ = XKT_property_find("victim");
        ASSERT_NE(info_, nullptr);
        serialBefore_ = XKT_property_serial(info_);
        child_ = fork();
        if (child_ == 0) {
            bool started =
                xkt::host::testing::abandonWriteMidway("victim", pattern(1, 0).c_str(), 500);
            _exit(started ? 0 : 1);
        }
        ASSERT_GT(child_, 0);
        // Waits for its end but leaves it a zombie, as when the dead writer's
        // parent is the next to use the store.
        siginfo_t info{};
        ASSERT_EQ(waitid(P_PID, child_, &info, WEXITED | WNOWAIT), 0);
        ASSERT_EQ(info.si_status, 0);
        ASSERT_EQ(XKT_property_serial(info_) & 1u, 1u) << "the child left the write open";
    }
    void TearDown() override { reap(); }
    void reap() {
        if (child_ > 0) waitpid(child_, nullptr, 0);
        child_ = -1;
    }

    pid_t child_ = -1;
    const XKT_PropInfo* info_ = nullptr;
    uint32_t serialBefore_ = 0;
};

TEST_F(AbandonedWrite, ReaderRepairsItWhileTheWriterIsAZombie) {
    EXPECT_EQ(get("victim"), pattern(1, 0)) << "the journal completes the dead write";
    EXPECT_EQ(XKT_property_serial(info_) & 1u, 0u);
    EXPECT_NE(XKT_property_serial(info_), serialBefore_);
    EXPECT_EQ(XKT_property_set("victim", "next"), 0);
    EXPECT_EQ(get("victim"), "next");
}

TEST_F(AbandonedWrite, NextWriterRepairsItOnceTheWriterIsReaped) {
    reap();
    EXPECT_EQ(XKT_property_set("bystander", "x"), 0);
    EXPECT_EQ(XKT_property_serial(info_) & 1u, 0u);
    EXPECT_EQ(get("victim"), pattern(1, 0));
}

// ---- The tools --------------------------------------------------------------

std::string tool(const std::string& arguments, int* status) {
    return xkt::test::capture(xkt::test::binDir() + "/" + arguments + " 2>&1", status);
}

TEST_F(PropertyStore, ToolsSetGetListAndReportFailure) {
    int status = -1;
    EXPECT_EQ(tool("xkt-setprop ro.software V1.0.3", &status), "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tool("xkt-setprop xkt.log.modules 'LOG NET'", &status), "");
    EXPECT_EQ(get("ro.software"), "V1.0.3");

    EXPECT_EQ(tool("xkt-getprop xkt.log.modules", &status), "LOG NET\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tool("xkt-getprop no.such fallback", &status), "fallback\n");
    EXPECT_EQ(tool("xkt-getprop no.such", &status), "\n");
    EXPECT_EQ(tool("xkt-getprop", &status),
              "[ro.software]: [V1.0.3]\n"
              "[xkt.log.modules]: [LOG NET]\n");

    std::string out = tool("xkt-setprop some.name " + std::string(1024, 'v'), &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("value too long"), std::string::npos) << out;
    tool("xkt-setprop only-a-name", &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(get("some.name"), "<missing>");
}

}  // namespace
