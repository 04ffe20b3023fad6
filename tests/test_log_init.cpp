// Initialisation across the states of a process (managing, other process,
// half initialised, de-initialised), the parameter block, the run-time
// export switches, and the xktlogd daemon as a real process.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log_entries.h"
#include "log_filter.h"
#include "log_init.h"
#include "log_model.h"
#include "sandbox.h"
#include "xkt_log.h"

using namespace xkt::log;

namespace {

constexpr const char* kMac = "00:11:22:aa:bb:cc";
constexpr const char* kAlready = "Log:android XKT_logInit already inited...\n";

std::vector<std::string> startupLines() {
    std::vector<std::string> lines;
    for (const auto& entry : xkt::test::readTagged("LOG")) lines.push_back(entry.message);
    return lines;
}

std::string property(const char* name) {
    char value[XKT_PROP_VALUE_MAX] = {};
    return XKT_property_get(name, value, sizeof value) == 0 ? value : "<unset>";
}

bool channelIs(int32_t index, LogFormatter formatter, LogOutput output) {
    LogChannel channel = channelAt(index);
    return channel.formatter == formatter && channel.output == output;
}

bool noChannels() {
    for (int32_t i = 0; i < kChannelCount; ++i) if (!channelIs(i, nullptr, nullptr)) return false;
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 1000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
}

struct Params {
    int32_t https, seconds, errorLog, anr;
    LogParam block() { return LogParam{&https, &seconds, &errorLog, &anr}; }
};

int32_t init(const LogParam* param = nullptr) {
    return XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", param);
}

class LogInit : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        setenv("XKT_MAC", kMac, 1);
        unsetenv("DIRECTOUTPUTLOG");
        mkdir(sandbox_.path("/tmp").c_str(), 0755);  // every box has /tmp
    }
};

TEST_F(LogInit, ManagingProcessRunsTheWholeSequenceOnce) {
    std::string logDir = sandbox_.path("/tmp/log");
    std::filesystem::create_directories(logDir + "/stale");
    Params params{1, 3600, 1, 0};
    LogParam block = params.block();
    ASSERT_EQ(0, XKT_logInit(7, XKT_LOG_LEVEL_INFO, XKT_LOG_TYPE_RUN, "LOG|player", &block));
    EXPECT_TRUE(std::filesystem::is_directory(logDir));
    EXPECT_FALSE(std::filesystem::exists(logDir + "/stale"));
    EXPECT_STREQ(kMac, g_macString);
    EXPECT_EQ("1", property("xkt.log.mgmttakeover"));
    EXPECT_EQ("LOG|player", property("xkt.log.modules"));
    EXPECT_TRUE(g_logConfig.inited == 1 && g_iLogcatMode == 1 && g_iDirectOutputLog == 0);
    EXPECT_TRUE(mgmtTakeover());
    EXPECT_TRUE(channelIs(0, XKT_logDefFormatter, XKT_logDefOutput));
    EXPECT_TRUE(channelIs(2, XKT_SyslogFormatter, XKT_logFileOutput));
    for (int32_t i : {1, 3, 4, 5, 6}) EXPECT_TRUE(channelIs(i, nullptr, nullptr)) << i;
    EXPECT_EQ(startupLines(), (std::vector<std::string>{
                                  "XKT_logParamInit: g_iUseHttpsSyslog=[1]",
                                  "XKT_logParamInit: g_iTimeIntervalForLogToFlash=[3600000]",
                                  "XKT_logParamInit: g_iErrorLogToFlashEnable=[1]",
                                  "XKT_logParamInit: g_iANRLogToFlashEnable=[0]",
                                  "LOG:Enter XKT_logInitImp\n",
                                  "Log:XKT_logFilterSetType enLogLevel = [2]\n",
                                  "Log:XKT_logFilterSetType enLogType = [1]\n",
                                  "Log:XKT_logFilterSetModule LogModule = [LOG|player]\n",
                                  "Log:first XKT_logInit, set android property mgmttakeover to 1\n"}));
    // The log thread runs: a message reaches the local file.
    XKT_LOG(XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_WARN, "player", "reaches the file");
    EXPECT_TRUE(eventually([&] {
        for (const auto& file : std::filesystem::directory_iterator(logDir)) {
            if (readFile(file.path()).find("reaches the file") != std::string::npos) return true;
        }
        return false;
    }));

    // Again: the new parameters are taken, then the guard stops.
    Params later{0, 86400, 0, 1};
    block = later.block();
    EXPECT_EQ(0, XKT_logInit(0, XKT_LOG_LEVEL_ERROR, XKT_LOG_TYPE_USER, "ALL", &block));
    EXPECT_TRUE(g_iTimeIntervalForLogToFlash == 86400000 && g_iUseHttpsSyslog == 0);
    EXPECT_EQ(XKT_LOG_LEVEL_INFO, g_logConfig.logLevel.load());
    EXPECT_EQ(kAlready, startupLines().back());
}

TEST_F(LogInit, OtherProcessOnlyTakesTheParameters) {
    int go[2];
    ASSERT_EQ(0, pipe(go));
    pid_t child = fork();
    if (child == 0) {  // started before the parent manages, asks after
        char byte;
        Params params{0, 0, 1, 1};
        LogParam block = params.block();
        bool ok = read(go[0], &byte, 1) == 1 &&
                  XKT_logInit(0, XKT_LOG_LEVEL_ERROR, XKT_LOG_TYPE_OPER, "x", &block) == 0 &&
                  noChannels() && g_logConfig.inited == 0 && g_logConfig.logLevel == 0 &&
                  g_iTimeIntervalForLogToFlash == 7200000 && g_iErrorLogToFlashEnable == 1 &&
                  startupLines().back() == kAlready;
        _exit(ok ? 0 : 1);
    }
    ASSERT_EQ(0, init());
    ASSERT_EQ(1, write(go[1], "g", 1));
    EXPECT_EQ(0, xkt::test::waitForExit(child));
    EXPECT_EQ("ALL", property("xkt.log.modules")) << "the child's filter is not published";
    int rc = -1;
    xkt::test::capture(xkt::test::binDir() + "/xkt-log -m player hello", &rc);
    EXPECT_EQ(0, rc) << "any program's messages now get through";
}

TEST_F(LogInit, HalfInitialisedProcessRunsTheWholeSequenceAgain) {
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "10"));  // only "1" stops it
    setenv("DIRECTOUTPUTLOG", "", 1);  // set, even empty, counts
    setenv("XKT_MAC", "not-a-mac", 1);
    EXPECT_EQ(-1, init());
    EXPECT_EQ("10", property("xkt.log.mgmttakeover"));
    EXPECT_TRUE(g_logConfig.inited == 0 && g_iDirectOutputLog == 0);
    setenv("XKT_MAC", kMac, 1);
    EXPECT_EQ(0, init());
    EXPECT_EQ("1", property("xkt.log.mgmttakeover"));
    EXPECT_EQ(1, g_iDirectOutputLog.load());
}

TEST_F(LogInit, CleanUpOfAFailedInitReleasesTheInitLock) {
    std::vector<uint32_t> held;
    for (uint32_t m; (m = XKT_mutex_create()) != 0;) held.push_back(m);
    ASSERT_FALSE(held.empty());
    XKT_mutex_destroy(held.back());  // room for the init lock: the file lock fails
    held.back() = 0;
    EXPECT_EQ(-1, init());
    held.back() = XKT_mutex_create();
    EXPECT_NE(0u, held.back()) << "the init lock was destroyed once released";
    EXPECT_EQ(0u, XKT_mutex_create());
    for (uint32_t m : held) XKT_mutex_destroy(m);
    EXPECT_EQ(0, XKT_logDeinit());
    EXPECT_EQ(0, init());
}

TEST_F(LogInit, DeinitialisedProcessDoesNotManageAgain) {
    ASSERT_EQ(0, init());
    EXPECT_EQ(0, XKT_logDeinit());
    EXPECT_TRUE(noChannels() && !mgmtTakeover());
    EXPECT_EQ(0, XKT_logDeinit());
    EXPECT_EQ(0, init());
    EXPECT_TRUE(noChannels());
    EXPECT_EQ(kAlready, startupLines().back());
}

TEST_F(LogInit, IntervalRulesAndNullBlocks) {
    // 4298568 s: x1000 wraps past 2^32 into the range; 2147484 s: wraps negative.
    const std::pair<int32_t, int32_t> cases[] = {
        {3599, 7200000}, {3600, 3600000}, {86400, 86400000}, {86401, 7200000},
        {0, 7200000},    {-3600, 7200000}, {4298568, 3600704}, {2147484, 7200000}};
    for (auto [seconds, expected] : cases) {
        Params params{0, seconds, 0, 1};
        LogParam block = params.block();
        XKT_logParamInit(&block);
        EXPECT_EQ(expected, g_iTimeIntervalForLogToFlash) << seconds;
    }
    Params changed{1, 3600, 1, 0};
    LogParam noFirst = changed.block();
    noFirst.pUseHttpsSyslog = nullptr;
    XKT_logParamInit(&noFirst);
    EXPECT_EQ(0, init(nullptr));
    EXPECT_TRUE(g_iUseHttpsSyslog == 0 && g_iTimeIntervalForLogToFlash == 7200000 &&
                g_iErrorLogToFlashEnable == 0 && g_iANRLogToFlashEnable == 1);
}

TEST_F(LogInit, SetLogToFlashEnableTakesExactlyZeroOrOne) {
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "1"));
    XKT_logFilterSetModule("ALL");
    XKT_setLogToFlashEnable("ErrorLogToFlashEnable", "1");
    XKT_setLogToFlashEnable("ANRLogToFlashEnable", "0");
    XKT_setLogToFlashEnable("ErrorLogToFlashEnable", "01");
    XKT_setLogToFlashEnable("ANRLogToFlashEnable", " 1");
    XKT_setLogToFlashEnable("ANRLogToFlashEnable", "10");
    XKT_setLogToFlashEnable("SomethingElse", "0");
    XKT_setLogToFlashEnable(nullptr, "1");
    EXPECT_TRUE(g_iErrorLogToFlashEnable == 1 && g_iANRLogToFlashEnable == 0);
    std::vector<std::string> said;
    for (const auto& entry : xkt::test::readTagged("XKT")) {
        const std::string& line = entry.message;
        size_t code = line.find("|code:");
        said.push_back(line.substr(line.find("|       LOG|") - 5, 5) + " " +
                       line.substr(line.find('|', code + 1) + 1));
    }
    EXPECT_EQ(said, (std::vector<std::string>{"DEBUG set ErrorLogToFlashEnable:[1]",
                                              "DEBUG set ANRLogToFlashEnable:[0]",
                                              "ERROR invaild params[not 0 or 1].",
                                              "ERROR invaild params[not 0 or 1].",
                                              "ERROR invaild params[not 0 or 1].",
                                              "DEBUG set SomethingElse:[0]",
                                              "ERROR XKT_setLogToFlashEnable input is null"}));
}

pid_t startDaemon(const std::string& errFile, const char* option = nullptr) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        std::string program = xkt::test::binDir() + "/xktlogd";
        execl(program.c_str(), "xktlogd", "-l", "info", "--interval", "3600", option, nullptr);
        _exit(127);
    }
    return pid;
}

TEST_F(LogInit, DaemonManagesUntilStoppedAndSaysWhatItCannotDo) {
    std::string failed = sandbox_.path("/failed.err"), err = sandbox_.path("/xktlogd.err");
    std::string second = sandbox_.path("/second.err");
    setenv("XKT_MAC", "bad", 1);
    EXPECT_EQ(1, xkt::test::waitForExit(startDaemon(failed)));
    EXPECT_NE(std::string::npos, readFile(failed).find("initialisation failed"));
    setenv("XKT_MAC", kMac, 1);

    pid_t daemon = startDaemon(err);
    // The commands it runs may write to the same stream.
    std::string line = "xktlogd: root " + sandbox_.root() + ", pid " + std::to_string(daemon) +
                       ", mode logcat (Android generation 4), managing the log\n";
    ASSERT_TRUE(eventually([&] { return readFile(err).find(line) != std::string::npos; }))
        << readFile(err);
    EXPECT_EQ(3, xkt::test::waitForExit(startDaemon(second, "--require-manager")));
    pid_t bystander = startDaemon(second);
    EXPECT_TRUE(eventually([&] { return readFile(second).find("not managing") != std::string::npos; }));
    kill(daemon, SIGTERM);
    kill(bystander, SIGINT);
    EXPECT_EQ(0, xkt::test::waitForExit(daemon));
    EXPECT_EQ(0, xkt::test::waitForExit(bystander));
}

}  // namespace
