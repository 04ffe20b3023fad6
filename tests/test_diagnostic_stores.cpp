// The parameter file's switch and the start of both diagnostic stores by
// the managing process's initialisation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "channel_table.h"
#include "log_entries.h"
#include "sandbox.h"
#include "xkt_log.h"

namespace fs = std::filesystem;
using xkt::log::channelAt;

namespace {

class DiagnosticStores : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        setenv("XKT_MAC", "00:11:22:33:44:55", 1);
        fs::create_directories(sandbox_.path("/system/iptv/setting"));
    }
    void writeParameters(const std::string& text) {
        std::ofstream(sandbox_.path("/system/iptv/setting/softparam.ini")) << text;
    }
    int32_t initialise() {
        int32_t hours = 1, off = 0, on = 1;
        LogParam param{&off, &hours, &on, &on};
        return XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", &param);
    }
};

}  // namespace

TEST_F(DiagnosticStores, TheSwitchIsTheFirstValueOfItsKey) {
    EXPECT_EQ(-1, XKT_getK47FeaturesValue()) << "no file";
    const std::pair<const char*, int32_t> cases[] = {
        {"SoftParam.UniLogOptimization.Enable 1\n", 1},
        {"Other.Key 7\n  SoftParam.UniLogOptimization.Enable\t0\n", 0},
        {"SoftParam.UniLogOptimization.Enable 2", 2},
        {"SoftParam.UniLogOptimization.Enable 1\nSoftParam.UniLogOptimization.Enable 0\n", 1},
        {"SoftParam.UniLogOptimization.Enabled 1\n", -1},
        {"SoftParam.UniLogOptimization.Enable", -1},
        {"", -1},
        // Words pair up in order: here the key is a value, not a key.
        {"Lonely SoftParam.UniLogOptimization.Enable 1\n", -1},
        {"SoftParam.UniLogOptimization.Enable yes\n", 0},
    };
    for (const auto& [text, expected] : cases) {
        writeParameters(text);
        EXPECT_EQ(expected, XKT_getK47FeaturesValue()) << text;
    }
}

// Each value in a process of its own: initialisation runs once per process.
// Only 1 switches the stores on.
class StoreSwitch : public DiagnosticStores, public ::testing::WithParamInterface<int> {};

TEST_P(StoreSwitch, TheManagerStartsBothStoresOrNeither) {
    const bool on = GetParam() == 1;
    writeParameters("SoftParam.UniLogOptimization.Enable " + std::to_string(GetParam()) + "\n");
    ASSERT_EQ(0, initialise());
    for (int32_t channel : {0, 2}) EXPECT_NE(nullptr, channelAt(channel).output) << channel;
    EXPECT_EQ(on, channelAt(4).output != nullptr);
    EXPECT_EQ(on, g_pExpLogMutex != 0);
    for (const char* dir : {"/tmp/errorlog", "/tmp/DQN", "/data/tarvek-log/exp"}) {
        EXPECT_EQ(on, fs::is_directory(sandbox_.path(dir))) << dir;
    }
}

INSTANTIATE_TEST_SUITE_P(Values, StoreSwitch, ::testing::Values(0, 1, 2));

TEST_F(DiagnosticStores, AFailingErrorLogStopsTheStartUp) {
    writeParameters("SoftParam.UniLogOptimization.Enable 1\n");
    std::ofstream(sandbox_.path("/tmp")) << "a file where the folder should be";
    EXPECT_EQ(-1, initialise());
    EXPECT_NE("1", xkt::test::propertyOf("xkt.log.mgmttakeover"));
    EXPECT_EQ(0u, g_pExpLogMutex) << "the exception log is not started";
    for (int32_t channel : {0, 2, 4}) EXPECT_EQ(nullptr, channelAt(channel).output) << channel;
}
