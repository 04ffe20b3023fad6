// The command-line tools as a user meets them: --help, values they refuse,
// and the root they use when XKT_ROOT is unset.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>

#include "sandbox.h"

namespace {

using xkt::test::capture;

std::string bin(const char* name) { return xkt::test::binDir() + "/" + name; }
std::string libexec(const char* name) { return xkt::test::libexecDir() + "/" + name; }

const std::string kTools[] = {bin("xkt-logcat"), bin("xkt-getprop"), bin("xkt-setprop"),
                              bin("xkt-log"),    bin("xkt-syslog-decrypt"), libexec("logcat"),
                              libexec("top")};

class Tools : public xkt::test::SandboxTest {};

TEST_F(Tools, EveryToolPrintsItsUsageAndTheRootAndSucceeds) {
    for (const std::string& tool : kTools) {
        for (const char* flag : {" --help", " -h"}) {
            int status = -1;
            const std::string out = capture(tool + flag + " 2>&1", &status);
            EXPECT_EQ(0, status) << tool << flag;
            EXPECT_EQ(0u, out.find("usage: ")) << out;
            EXPECT_NE(std::string::npos, out.find("Box root: " + sandbox_.root() + " (from XKT_ROOT)")) << out;
        }
    }
}

TEST_F(Tools, BadValuesAreNamedAndFail) {
    std::ofstream(path("/plain-file")) << "not a folder";
    const std::string unusableRoot = "XKT_ROOT=" + path("/plain-file") + " ";
    const std::string zeroKey = "00" + std::string(30, '1');
    const std::tuple<std::string, int, const char*> cases[] = {
        {bin("xkt-log") + " -l bogus hello", 2, "bad value 'bogus' for -l"},
        {bin("xkt-log") + " -l 9 hello", 2, "bad value '9' for -l"},
        {bin("xkt-log") + " -n abc hello", 2, "bad value 'abc' for -n"},
        {bin("xkt-logcat") + " -d -l 7", 2, "bad value '7' for -l"},
        {bin("xkt-logcat") + " -d --color=sometimes", 2, "bad value 'sometimes' for --color"},
        {bin("xkt-logcat") + " --bogus", 2, "unknown option --bogus"},
        // A bad listening address too: a key taken by mistake must not wait.
        {bin("xkt-syslog-decrypt") + " -k " + zeroKey + " -l 256.0.0.1", 2, "first byte is 00"},
        {libexec("top") + " -n 2x", 2, "bad value '2x' for -n"},
        {bin("xkt-setprop") + " only.name", 2, "needs a NAME and a VALUE"},
        {unusableRoot + bin("xkt-getprop") + " some.name", 1, "cannot open the property store"},
        {unusableRoot + bin("xkt-setprop") + " some.name v", 1, "cannot open the property store"},
    };
    for (const auto& [command, expected, says] : cases) {
        int status = -1;
        const std::string errors = capture(command + " 2>&1 >/dev/null", &status);
        EXPECT_EQ(expected, status) << command;
        EXPECT_NE(std::string::npos, errors.find(says)) << command << ": " << errors;
    }
}

// A development machine's own /dev and /tmp stay untouched when XKT_ROOT is
// unset: the tools use a folder of the user's runtime directory. They run in
// a mount namespace with an empty /dev and /tmp, where whatever they create
// shows, and a fault lands nowhere real.
TEST(DefaultRoot, ToolsWithoutXktRootStayInThePerUserFolder) {
    if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "no mount namespace";
    const std::string tools = bin("xkt-getprop") + " --help && " + bin("xkt-setprop") + " a.b c && " +
                              bin("xkt-getprop") + " a.b && " + bin("xkt-log") + " hi; " +
                              bin("xkt-logcat") + " -g >/dev/null";
    const std::string script =
        "mount -t tmpfs xkt /tmp && touch /tmp/null && mount --bind /dev/null /tmp/null && "
        "mount -t tmpfs xkt /dev && touch /dev/null && mount --bind /tmp/null /dev/null && "
        "mkdir /tmp/run && env -u XKT_ROOT XDG_RUNTIME_DIR=/tmp/run sh -c '" + tools +
        "'; find /dev /tmp -mindepth 1 | sort";
    int status = -1;
    const std::string out = capture("unshare -m --propagation private sh -c \"" + script + "\"", &status);
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos, out.find("Box root: /tmp/run/xkt-box (the per-user default")) << out;
    const std::string files = out.substr(out.find("\nc\n") + 3);
    EXPECT_NE(std::string::npos, files.find("/tmp/run/xkt-box/dev/__properties__\n")) << out;
    for (const std::string& path : xkt::test::linesOf(files)) {
        if (path == "/dev/null" || path == "/tmp/null" || path == "/tmp/run") continue;
        EXPECT_EQ(0u, path.rfind("/tmp/run/xkt-box", 0)) << "made outside the default root: " << path;
    }
}

}  // namespace
