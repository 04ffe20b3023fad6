// The command-line tools as a user meets them: --help, values they refuse,
// and the root they use when XKT_ROOT is unset.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

namespace {

using xkt::test::capture;
using xkt::test::Sandbox;

std::string bin(const char* name) { return xkt::test::binDir() + "/" + name; }
std::string libexec(const char* name) { return xkt::test::libexecDir() + "/" + name; }

const std::string kTools[] = {bin("xkt-logcat"),         bin("xkt-getprop"), bin("xkt-setprop"),
                              bin("xkt-log"),            bin("xkt-syslog-decrypt"),
                              libexec("logcat"),         libexec("top")};

TEST(ToolHelp, EveryToolPrintsItsUsageAndTheRootAndSucceeds) {
    Sandbox sandbox;
    for (const std::string& tool : kTools) {
        for (const char* flag : {" --help", " -h"}) {
            SCOPED_TRACE(tool + flag);
            int status = -1;
            const std::string out = capture(tool + flag + " 2>&1", &status);
            EXPECT_EQ(0, status);
            EXPECT_EQ(0u, out.find("usage: ")) << out;
            EXPECT_NE(std::string::npos, out.find("Box root: " + sandbox.root() + " (from XKT_ROOT)"))
                << out;
        }
    }
}

TEST(ToolErrors, BadValuesAreNamedAndFail) {
    Sandbox sandbox;
    std::ofstream(sandbox.path("/plain-file")) << "not a folder";
    const std::string unusableRoot = "XKT_ROOT=" + sandbox.path("/plain-file") + " ";
    const std::string zeroKey = "00" + std::string(30, '1');
    const struct {
        std::string command;
        int status;
        std::string says;
    } cases[] = {
        {bin("xkt-log") + " -l bogus hello", 2, "bad value 'bogus' for -l"},
        {bin("xkt-log") + " -l 9 hello", 2, "bad value '9' for -l"},
        {bin("xkt-log") + " -n abc hello", 2, "bad value 'abc' for -n"},
        {bin("xkt-log") + " -t run", 2, "no MESSAGE"},
        {bin("xkt-logcat") + " -d -l 7", 2, "bad value '7' for -l"},
        {bin("xkt-logcat") + " -d -t run,nope", 2, "bad value 'run,nope' for -t"},
        {bin("xkt-logcat") + " -d --color=sometimes", 2, "bad value 'sometimes' for --color"},
        {bin("xkt-logcat") + " --bogus", 2, "unknown option --bogus"},
        {bin("xkt-logcat") + " -b", 2, "option -b needs a value"},
        // A bad listening address too: a key taken by mistake must not wait.
        {bin("xkt-syslog-decrypt") + " -k " + zeroKey + " -l 256.0.0.1", 2, "first byte is 00"},
        {bin("xkt-syslog-decrypt") + " -k 0011 -l 256.0.0.1", 2, "32 hexadecimal digits"},
        {bin("xkt-syslog-decrypt") + " -k 1" + std::string(31, '1') + " -p 70000", 2,
         "bad value '70000' for -p"},
        {libexec("top") + " -n 2x", 2, "bad value '2x' for -n"},
        {bin("xkt-setprop") + " only.name", 2, "needs a NAME and a VALUE"},
        {unusableRoot + bin("xkt-getprop") + " some.name", 1, "cannot open the property store"},
        {unusableRoot + bin("xkt-getprop"), 1, "cannot open the property store"},
        {unusableRoot + bin("xkt-setprop") + " some.name v", 1, "cannot open the property store"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        int status = -1;
        const std::string errors = capture(c.command + " 2>&1 >/dev/null", &status);
        EXPECT_EQ(c.status, status);
        EXPECT_NE(std::string::npos, errors.find(c.says)) << errors;
    }
}

// The paths that a traced run created, renamed or removed, from the lines
// of "strace -ff": "name(\"path\", ...) = result". Failed calls (a folder
// that already exists) changed nothing.
std::vector<std::string> changedPaths(const std::string& trace) {
    const std::regex call(R"re(^(\w+)\((?:AT_FDCWD, )?"([^"]*)"(.*)= (-?\d+))re");
    const std::regex changing(R"((mkdir|mknod|link|symlink|rename|unlink)(at2?)?|creat|truncate)");
    std::vector<std::string> paths;
    std::istringstream lines(trace);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_search(line, m, call) || std::stol(m[4]) < 0 || m[2] == "/dev/null") continue;
        const std::string name = m[1];
        const bool opensNew = (name == "open" || name == "openat") &&
                              m[3].str().find("O_CREAT") != std::string::npos;
        if (!opensNew && !std::regex_match(name, changing)) continue;
        paths.push_back(m[2]);
    }
    return paths;
}

// A development machine's own /dev and /data stay untouched when XKT_ROOT
// is unset: the tools use a folder of the user's runtime directory. They run
// traced, in a mount namespace with an empty /dev, so that a fault lands
// nowhere real.
TEST(DefaultRoot, ToolsWithoutXktRootStayInThePerUserFolder) {
    if (std::system("strace -V >/dev/null 2>&1 && unshare -m true 2>/dev/null") != 0) {
        GTEST_SKIP() << "needs strace and permission for a mount namespace";
    }
    Sandbox sandbox;
    const std::string runtime = sandbox.path("/run user");
    const std::string root = runtime + "/xkt-box";
    const std::string tools = bin("xkt-getprop") + " --help && " + bin("xkt-setprop") +
                              " a.b c && " + bin("xkt-getprop") + " a.b && " + bin("xkt-log") +
                              " hello; " + bin("xkt-logcat") + " -g";
    std::ofstream(sandbox.path("/run.sh"))
        << "set -e\n"
        << "touch \"$1/null\" && mount --bind /dev/null \"$1/null\"\n"
        << "mount -t tmpfs xkt /dev && touch /dev/null && mount --bind \"$1/null\" /dev/null\n"
        << "mkdir -p \"$1/run user\"\n"
        << "unset XKT_ROOT\n"
        << "XDG_RUNTIME_DIR=\"$1/run user\" timeout 30 strace -ff -qq -e trace=%file -o \"$1/trace\" "
        << "sh -c '" << tools << "' || true\n"
        << "echo \"/dev holds: $(ls -A /dev)\"\n";
    int status = -1;
    const std::string out = capture("unshare -m --propagation private sh '" +
                                    sandbox.path("/run.sh") + "' '" + sandbox.root() + "'", &status);
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("Box root: " + root + " (the per-user default")) << out;
    EXPECT_NE(std::string::npos, out.find("\nc\n")) << out;
    EXPECT_NE(std::string::npos, out.find("/dev holds: null\n")) << out;
    const std::vector<std::string> changed = changedPaths(capture("cat '" + sandbox.path("/trace") + "'.*"));
    EXPECT_FALSE(changed.empty());
    for (const std::string& path : changed) {
        EXPECT_EQ(0u, path.rfind(root, 0)) << "changed outside the default root: " << path;
    }
}

}  // namespace
