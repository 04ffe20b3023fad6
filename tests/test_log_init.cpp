// Initialisation across the states of a process (managing, other process,
// half initialised, de-initialised), the parameter block, the run-time
// export switches, errno handed back, and the xktlogd daemon as a real
// process: unusable roots, a stale takeover, its options, its loss counts.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <sys/prctl.h>
#include <sys/stat.h>

#include "channel_table.h"
#include "collector.h"
#include "log_entries.h"
#include "log_filter.h"
#include "log_model.h"
#include "log_settings.h"
#include "sandbox.h"
#include "xkt_log.h"

using namespace xkt::log;
using namespace xkt::test;

namespace {

constexpr const char* kMac = "00:11:22:aa:bb:cc";
constexpr const char* kAlready = "Log:android XKT_logInit already inited...\n";

std::string lastSaid(const char* tag = "LOG") {
    std::string last;
    for (const auto& entry : readTagged(tag)) {
        if (entry.pid == getpid()) last = entry.message;  // not a daemon's
    }
    return last;
}

std::string channels() {
    std::string used;
    for (int32_t i = 0; i < kChannelCount; ++i) used += channelAt(i).formatter || channelAt(i).output ? std::to_string(i) : "";
    return used;
}

// The host's values and the block pointing at them; not to be copied.
struct Params {
    int32_t https, seconds, errorLog, anr;
    LogParam block{&https, &seconds, &errorLog, &anr};
};

int32_t init() { return XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", nullptr); }

class LogInit : public SandboxTest {
protected:
    void SetUp() override {
        setenv("XKT_MAC", kMac, 1);
        unsetenv("DIRECTOUTPUTLOG");
        mkdir(sandbox_.path("/tmp").c_str(), 0755);  // every box has /tmp
    }
};

TEST_F(LogInit, ManagingProcessRunsTheSequenceOnceThenDeinitialisedNeverAgain) {
    std::filesystem::create_directories(path("/tmp/log/stale"));
    Params params{1, 3600, 1, 0};
    ASSERT_EQ(0, XKT_logInit(7, XKT_LOG_LEVEL_INFO, XKT_LOG_TYPE_RUN, "LOG|player", &params.block));
    EXPECT_FALSE(exists(path("/tmp/log/stale")));
    EXPECT_STREQ(kMac, g_macString);
    EXPECT_EQ("1 LOG|player", propertyOf("xkt.log.mgmttakeover") + " " + propertyOf("xkt.log.modules"));
    EXPECT_TRUE(g_logConfig.inited == 1 && g_iLogcatMode == 1 && g_iDirectOutputLog == 0 && mgmtTakeover());
    EXPECT_EQ("02", channels());
    EXPECT_EQ("Log:first XKT_logInit, set android property mgmttakeover to 1\n", lastSaid());

    // Again: the new parameters are taken, then the guard stops.
    Params later{0, 86400, 0, 1};
    EXPECT_EQ(0, XKT_logInit(0, XKT_LOG_LEVEL_ERROR, XKT_LOG_TYPE_USER, "ALL", &later.block));
    EXPECT_TRUE(g_iTimeIntervalForLogToFlash == 86400000 && g_iUseHttpsSyslog == 0);
    EXPECT_EQ(XKT_LOG_LEVEL_INFO, g_logConfig.logLevel.load());
    EXPECT_EQ(kAlready, lastSaid());

    // De-initialised: the property stays "1", so nothing is registered again.
    EXPECT_EQ(0, XKT_logDeinit());
    EXPECT_TRUE(channels().empty() && !mgmtTakeover());
    EXPECT_EQ(0, XKT_logDeinit());
    EXPECT_EQ(0, init());
    EXPECT_EQ("", channels());
}

TEST_F(LogInit, HalfInitialisedProcessRunsTheWholeSequenceAgain) {
    ASSERT_EQ(0, XKT_property_set("xkt.log.mgmttakeover", "10"));  // only "1" stops it
    setenv("DIRECTOUTPUTLOG", "", 1);  // set, even empty, counts
    setenv("XKT_MAC", "not-a-mac", 1);
    EXPECT_EQ(-1, init());
    EXPECT_TRUE(g_logConfig.inited == 0 && g_iDirectOutputLog == 0);
    setenv("XKT_MAC", kMac, 1);
    // No room for the file lock: the clean-up destroys the init lock its caller still holds.
    std::vector<uint32_t> held;
    for (uint32_t m; (m = XKT_mutex_create()) != 0;) held.push_back(m);
    EXPECT_EQ(-1, init());
    for (uint32_t m : held) XKT_mutex_destroy(m);
    EXPECT_EQ("10", propertyOf("xkt.log.mgmttakeover"));
    EXPECT_EQ(0, init());
    EXPECT_EQ("1", propertyOf("xkt.log.mgmttakeover"));
    EXPECT_EQ(1, g_iDirectOutputLog.load());
}

TEST_F(LogInit, SettingsFromTheParameterBlockAndAtRunTime) {
    ASSERT_TRUE(passEverything());  // messages pass
    // 4298568 s: x1000 wraps past 2^32 into the range; 2147484 s: wraps negative.
    const std::pair<int32_t, int32_t> intervals[] = {{3599, 7200000},  {3600, 3600000},    {86400, 86400000}, {86401, 7200000},
                                                     {-3600, 7200000}, {4298568, 3600704}, {2147484, 7200000}};
    for (auto [seconds, expected] : intervals) {
        Params params{0, seconds, 0, 1};
        XKT_logParamInit(&params.block);
        EXPECT_EQ(expected, g_iTimeIntervalForLogToFlash) << seconds;
    }
    Params changed{1, 3600, 1, 0};
    changed.block.pUseHttpsSyslog = nullptr;
    XKT_logParamInit(&changed.block);
    EXPECT_EQ(0, init());  // no block at all
    EXPECT_TRUE(g_iUseHttpsSyslog == 0 && g_iTimeIntervalForLogToFlash == 7200000 &&
                g_iErrorLogToFlashEnable == 0 && g_iANRLogToFlashEnable == 1);

    const char* const invalid = "ERROR invaild params[not 0 or 1].";
    const std::tuple<const char*, const char*, const char*> calls[] = {
        {"ErrorLogToFlashEnable", "1", "DEBUG set ErrorLogToFlashEnable:[1]"},
        {"ANRLogToFlashEnable", "0", "DEBUG set ANRLogToFlashEnable:[0]"},
        {"ErrorLogToFlashEnable", "01", invalid}, {"ANRLogToFlashEnable", " 1", invalid},
        {"ANRLogToFlashEnable", "10", invalid}, {"SomethingElse", "1", "DEBUG set SomethingElse:[1]"},
        {nullptr, "1", "ERROR XKT_setLogToFlashEnable input is null"}};
    for (const auto& [name, value, told] : calls) {
        XKT_setLogToFlashEnable(name, value);
        const std::string line = lastSaid("XKT");  // "...|LEVEL|       LOG|...|code:0|text"
        EXPECT_EQ(told, line.substr(line.find("|       LOG|") - 5, 5) + " " + line.substr(line.rfind('|') + 1)) << line;
    }
    EXPECT_TRUE(g_iErrorLogToFlashEnable == 1 && g_iANRLogToFlashEnable == 0);
}

TEST_F(LogInit, EveryExportedCallHandsErrnoBack) {
    // The library's own mkdir and open leave nothing in the first record.
    errno = 0;
    ASSERT_EQ(0, init());
    XKT_logWrite("a.c", 1, "f", 0, 1, 4, "LOG", "first");
    EXPECT_NE(std::string::npos, lastSaid("XKT").find("|code:0|first")) << lastSaid("XKT");

    LogTime time;
    Params params{0, 3600, 0, 1};
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"XKT_logWrite", [] { XKT_logWrite("a.c", 1, "f", 0, 1, 4, "m", "x"); }},
        {"XKT_logFormatWrite", [] { XKT_logFormatWrite("a.c", 1, "f", 0, 1, 4, "m", "x"); }},
        {"android_log_write", [] { android_log_write("a.c", 1, "f", 0, 1, 4, "m", "x"); }},
        {"XKT_logPrintBuf", [] { XKT_logPrintBuf("ab", 2); }},
        {"XKT_get_Localtime", [&] { XKT_get_Localtime(&time); }},
        {"XKT_logFilterSetModule", [] { XKT_logFilterSetModule("m|n"); }},
        {"XKT_readLogModules", [] { XKT_readLogModules(); }},
        {"XKT_logRegCallback", [] { XKT_logRegCallback(3, nullptr, nullptr); }},
        {"XKT_getK47FeaturesValue", [] { XKT_getK47FeaturesValue(); }},  // no file: ENOENT inside
        {"XKT_setLogToFlashEnable", [] { XKT_setLogToFlashEnable("ANRLogToFlashEnable", "2"); }},
        {"XKT_logInitFile", [] { XKT_logInitFile(); }},  // EEXIST inside
        {"XKT_initSyslogConnecttion", [] { XKT_initSyslogConnecttion("127.0.0.1", 0); }},  // refused
        {"XKT_logBufRead", [] { char item[8192]; int32_t kind = 0; XKT_logBufRead(item, &kind); }},  // nothing to read
        {"XKT_logInit", [&] { XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", &params.block); }},
        {"XKT_logDeinit", [] { XKT_logDeinit(); }},
    };
    for (const auto& [name, call] : calls) {
        errno = 4711;
        call();
        EXPECT_EQ(4711, errno) << name;
    }
}

// xktlogd under root with args, behind prefix; its exit status and what it
// printed. The daemon runs until timeout ends it (status 124), never longer.
std::string xktlogd(const std::string& root, const std::string& args, int& status,
                    const char* timeout = "5", const std::string& prefix = "") {
    return capture(prefix + "env XKT_ROOT='" + root + "' XKT_MAC=" + kMac + " timeout -k 1 " + timeout + " '" +
                   binDir() + "/xktlogd' " + args + " 2>&1", &status);
}

TEST_F(LogInit, XktlogdManagesBesideOtherProcessesAndAfterAManagerThatIsGone) {
    uint16_t port = 0;
    const int collector = loopbackSocket(SOCK_DGRAM, port);
    const timeval wait{5, 0};
    setsockopt(collector, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const std::string err = sandbox_.path("/xktlogd.err");
    const std::string syslog = "localhost:" + std::to_string(port);  // a name: sent to its IPv4 address
    const pid_t first = spawn([&] {  // as the box starts it
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a failed assertion must not leave it running
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        return execl((binDir() + "/xktlogd").c_str(), "xktlogd", "--syslog", syslog.c_str(), nullptr);
    });
    const std::string line = "xktlogd: root " + sandbox_.root() + ", pid " + std::to_string(first) +
                             ", mode logcat (Android generation 4), managing the log\n";
    ASSERT_TRUE(eventually([&] { return readFile(err).find(line) != std::string::npos; })) << readFile(err);
    // Beside the daemon this process only takes the parameters.
    Params params{0, 0, 1, 1};
    EXPECT_EQ(0, XKT_logInit(0, XKT_LOG_LEVEL_ERROR, XKT_LOG_TYPE_OPER, "x", &params.block));
    EXPECT_TRUE(channels().empty() && g_logConfig.inited == 0 && g_logConfig.logLevel == 0 && !mgmtTakeover());
    EXPECT_TRUE(g_iTimeIntervalForLogToFlash == 7200000 && g_iErrorLogToFlashEnable == 1);
    EXPECT_EQ(kAlready, lastSaid());
    EXPECT_EQ("ALL", propertyOf("xkt.log.modules")) << "this process's filter is not published";
    XKT_logWrite("a.c", 1, "f", 0, 1, 4, "m", "to the collector");
    char datagram[2048] = {};
    while (recv(collector, datagram, sizeof datagram - 1, 0) > 0 && !std::strstr(datagram, "to the collector")) {
        std::memset(datagram, 0, sizeof datagram);
    }
    close(collector);
    EXPECT_NE(nullptr, std::strstr(datagram, "to the collector"));
    int status = -1;
    EXPECT_NE(std::string::npos, xktlogd(sandbox_.root(), "--require-manager", status).find("already taken over"));
    EXPECT_EQ(3, status);

    // SIGHUP prints the loss counts and leaves the daemon running.
    kill(first, SIGHUP);
    EXPECT_TRUE(eventually([&] { return readFile(err).find("xktlogd: stats: file lines lost 0, ") != std::string::npos; }));
    kill(first, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waitForExit(first));
    const std::string out = xktlogd(sandbox_.root(), "", status, "2");
    EXPECT_NE(std::string::npos, out.find("xktlogd: the managing process " + std::to_string(first) + " is gone: taking over\n")) << out;
    EXPECT_NE(std::string::npos, out.find("managing the log")) << out;
    // Stopped by timeout's SIGTERM: a normal run loses nothing.
    EXPECT_NE(std::string::npos, out.find("xktlogd: stats: file lines lost 0, syslog queued/overflowed/sent 0/0/0 "
                                          "(abandoned 0), buffer main: lost by the log thread 0, dropped by writers 0, ")) << out;
}

TEST_F(LogInit, XktlogdRefusesBadValuesAndUnusableRootsAtOnce) {
    const std::string file = sandbox_.path("/plain-file"), readOnly = sandbox_.path("/read-only"), fifoRoot = sandbox_.path("/fifo");
    std::fclose(std::fopen(file.c_str(), "w"));
    mkdir(readOnly.c_str(), 0755);
    // A FIFO for the parameter file is not waited on.
    std::filesystem::create_directories(fifoRoot + "/system/iptv/setting");
    ASSERT_EQ(0, mkfifo((fifoRoot + "/system/iptv/setting/softparam.ini").c_str(), 0644));
    // A full property store: the filter cannot be published.
    for (int i = 0; XKT_property_set(("fill." + std::to_string(i)).c_str(), "x") == 0; ++i) {}
    const std::string root = sandbox_.root(), noLog = "Log:write android log failed";
    const struct { std::string root, args; int status; std::string said; } cases[] = {
        {root, "--help", 0, "Box root in use (XKT_ROOT): " + root + "\n"},
        {root, "--syslog 127.0.0.1:99999", 2, "port '99999' is not a number from 1 to 65535"},
        {root, "--syslog 127.0.0.1:0", 2, "port '0'"}, {root, "--syslog 127.0.0.1:", 2, "port ''"},
        {root, "--syslog 127.0.0.1:51x", 2, "port '51x'"},
        {root, "--syslog ::1", 2, "IPv6"}, {root, "--syslog [::1]:514", 2, "IPv6"},
        {root, "--syslog no-such-host.invalid:514", 2, "'no-such-host.invalid' does not resolve"},
        {root, "-l bogus", 2, "unknown level 'bogus'"}, {root, "-l 9", 2, "unknown level '9'"},
        {root, "--interval abc", 2, "'abc' is not a number"}, {root, "extra", 2, "unexpected argument 'extra'"},
        {file, "", 1, noLog}, {root + "/" + std::string(4090, 'r'), "", 1, noLog},
        {root, "", 1, "Log:set android property xkt.log.modules failed"},
        // A private mount namespace: nothing outside this test sees the mount.
        {readOnly, "", 1, noLog},
        {fifoRoot, "", 124, "managing the log"},  // runs until the time-out
    };
    for (const auto& c : cases) {
        const std::string prefix = c.root != readOnly ? "" : "unshare -m sh -c 'mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"' '" + readOnly + "' ";
        int status = -1;
        const std::string out = xktlogd(c.root, c.args, status, "3", prefix);
        EXPECT_EQ(c.status, status) << c.args << out;
        EXPECT_NE(std::string::npos, out.find(c.said)) << out;
    }
}

}  // namespace
