// The error-log channel: which items it takes, the line it writes, the
// rotating temporary files, its initialisation, and error lines of real
// processes reaching the files through the log thread.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "android/log.h"
#include "channel_table.h"
#include "error_log.h"
#include "log_settings.h"
#include "sample_record.h"
#include "sandbox.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace fs = std::filesystem;
using namespace xkt::log;
using xkt::test::exists;
using xkt::test::readFile;

namespace {

constexpr size_t kRotation = 2097152;

size_t sizeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

LogRecord errorRecord(uint32_t type, uint32_t level = XKT_LOG_LEVEL_ERROR,
                      const char* file = "player.cpp") {
    LogRecord record = xkt::test::sampleRecord();
    record.type = type;
    record.level = level;
    std::strcpy(record.file, file);
    return record;
}

// The formatter's line, its time stamp checked for shape and shown as TIME;
// "refused" when the formatter refuses.
std::string format(const void* item, int32_t kind) {
    static const std::regex stamp(R"([A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d)");
    char out[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    if (XKT_errorlogFormatter(item, out, kind) != 0) return out[0] == '\0' ? "refused" : "dirty";
    return std::regex_replace(std::string(out), stamp, "TIME",
                              std::regex_constants::format_first_only);
}

class ErrorLogTest : public xkt::test::SandboxTest {
protected:
    void SetUp() override {
        std::strcpy(g_macString, "00:11:22:33:44:55");
        g_iTimeIntervalForLogToFlash = 3600000;  // no export while a test runs
    }
    std::string file(int number) const {
        return sandbox_.path("/tmp/errorlog/error" + std::to_string(number) + ".log");
    }
};

}  // namespace

// Error records of types 0 to 4 and other programs' E lines only; the short
// layout without line or file; one line feed at the end, within the buffer.
TEST_F(ErrorLogTest, FormatterTakesErrorRecordsAndErrorLinesOnly) {
    const std::pair<uint32_t, const char*> accepted[] = {
        {XKT_LOG_TYPE_ALL, "<3>"}, {XKT_LOG_TYPE_RUN, "<139>"}, {XKT_LOG_TYPE_OPER, "<131>"},
        {XKT_LOG_TYPE_SECURITY, "<155>"}, {XKT_LOG_TYPE_USER, "<163>"}};
    for (const auto& [type, pri] : accepted) {
        LogRecord record = errorRecord(type);
        EXPECT_EQ(std::string(pri) + "TIME 00:11:22:33:44:55  player.cpp:88 code:13 hello world\n",
                  format(&record, 1));
    }
    std::vector<LogRecord> refused{errorRecord(XKT_LOG_TYPE_NONE), errorRecord(0xFFFFFFFFu), LogRecord{}};
    for (uint32_t level = XKT_LOG_LEVEL_ALL; level <= XKT_LOG_LEVEL_NONE + 3; ++level) {
        if (level != XKT_LOG_LEVEL_ERROR) refused.push_back(errorRecord(XKT_LOG_TYPE_RUN, level));
    }
    for (const LogRecord& r : refused) EXPECT_EQ("refused", format(&r, 1)) << r.type << " " << r.level;

    // Without a file the short layout; a line feed of the message's own is not doubled.
    LogRecord noFile = errorRecord(XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_ERROR, "");
    std::strcpy(noFile.message, "ends in a feed\n");
    EXPECT_EQ("<139>TIME 00:11:22:33:44:55  ends in a feed\n", format(&noFile, 1));

    // Plain lines of other programs: only the priority letter E counts.
    const char* error = "E/mediaserver(  120): decoder died\n";
    EXPECT_EQ("<143>TIME 00:11:22:33:44:55  E/mediaserver(  120): decoder died\n",
              format(error, 0));
    EXPECT_EQ("<143>TIME 00:11:22:33:44:55  E/x(1): no feed\n", format("E/x(1): no feed", 0));
    for (const char* refused : {"W/mediaserver(  120): slow", "F/init(    1): fatal",
                                "E mediaserver without a slash", "/E at the start", "",
                                "Ex/ two letters"}) {
        EXPECT_EQ("refused", format(refused, 0)) << refused;
    }
    const std::string line = format(("E/big(1): " + std::string(5000, 'z')).c_str(), 0);
    EXPECT_EQ(XKT_LOG_FORMAT_BUFFER_SIZE - 1, line.size() - std::strlen("TIME") +
                                                  std::strlen("Jan 01 00:00:00"));
    EXPECT_EQ('\n', line.back());

    char out[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    EXPECT_EQ(-1, XKT_errorlogFormatter(nullptr, out, 0));
    EXPECT_EQ(-1, XKT_errorlogFormatter(error, nullptr, 0));
    EXPECT_EQ(-1, XKT_handleLogMsg(error, out, 143, nullptr, 0));
}

TEST_F(ErrorLogTest, InitPreparesDirectoriesAndSizesTheRotation) {
    std::ofstream(sandbox_.path("/tmp")) << "a file where the folder should be";
    EXPECT_EQ(-1, XTK_ErrorLogInit());
    EXPECT_EQ(nullptr, channelAt(kErrorLogChannel).output);
    ASSERT_EQ(0, unlink(sandbox_.path("/tmp").c_str()));
    ASSERT_EQ(0, mkdir(sandbox_.path("/tmp").c_str(), 0755));
    ASSERT_EQ(0, mkdir(sandbox_.path("/tmp/errorlog").c_str(), 0755));
    std::ofstream(file(3)) << "left from the last boot\n";

    ASSERT_EQ(0, XTK_ErrorLogInit());
    EXPECT_FALSE(exists(file(3)));
    EXPECT_EQ(fs::perms(0700), fs::status(sandbox_.path("/tmp/errorlog")).permissions());
    EXPECT_TRUE(exists(sandbox_.path("/data/tarvek-log/Error")));
    EXPECT_EQ(5, g_iTmpErrorlogNum);  // no ro.total.memsize
    EXPECT_NE(-1, g_LogOutputTimerID);
    const LogChannel channel = channelAt(kErrorLogChannel);
    EXPECT_EQ(&XKT_errorlogFormatter, channel.formatter);
    EXPECT_EQ(&XKT_errorlogFileOutput, channel.output);

    const std::pair<const char*, int32_t> sizes[] = {
        {"1048576", 5}, {"1048577", 10}, {"", 5}, {"lots", 5}};
    for (const auto& [memsize, files] : sizes) {
        ASSERT_EQ(0, XKT_property_set("ro.total.memsize", memsize));
        ASSERT_EQ(0, XTK_ErrorLogInit());
        EXPECT_EQ(files, g_iTmpErrorlogNum) << memsize;
    }
}

TEST_F(ErrorLogTest, FilesRotateAtTwoMebibytesWrapAfterTheLastAndRestartAfterAnExport) {
    EXPECT_EQ(-1, XKT_errorlogFileOutput("before init\n"));
    ASSERT_EQ(0, XTK_ErrorLogInit());
    ASSERT_EQ(5, g_iTmpErrorlogNum);
    const std::string line = std::string(4095, 'x') + "\n";  // 512 of them fill a file
    for (size_t i = 0; i < kRotation / line.size(); ++i) {
        ASSERT_EQ(0, XKT_errorlogFileOutput(line.c_str()));
    }
    EXPECT_EQ(kRotation, sizeOf(file(0)));
    EXPECT_FALSE(exists(file(1)));
    EXPECT_EQ(fs::perms(0600), fs::status(file(0)).permissions());

    EXPECT_EQ(-1, XKT_errorlogFileOutput(""));
    EXPECT_EQ(-1, XKT_errorlogFileOutput(nullptr));
    EXPECT_FALSE(exists(file(1)));

    ASSERT_EQ(0, XKT_errorlogFileOutput("first of file 1\n"));
    EXPECT_EQ("first of file 1\n", readFile(file(1)));
    for (int number = 1; number <= 4; ++number) {
        while (sizeOf(file(number)) < kRotation) ASSERT_EQ(0, XKT_errorlogFileOutput(line.c_str()));
    }
    ASSERT_EQ(0, XKT_errorlogFileOutput("back at file 0\n"));
    EXPECT_EQ("back at file 0\n", readFile(file(0)));
    // A line that overshoots the limit ends the file too.
    EXPECT_EQ(kRotation + std::strlen("first of file 1\n"), sizeOf(file(1)));
    EXPECT_EQ(kRotation, sizeOf(file(4)));

    // What the export does under the lock before it deletes the files: the
    // next line restarts file 0 (its directory made again) and its count.
    XKT_mutex_lock(g_pErrorLogMutex);
    closeErrorLogFile();
    XKT_mutex_unlock(g_pErrorLogMutex);
    ASSERT_LT(0u, fs::remove_all(sandbox_.path("/tmp/errorlog")));
    ASSERT_EQ(0, XKT_errorlogFileOutput("two\n"));
    EXPECT_EQ("two\n", readFile(file(0)));
    EXPECT_EQ(fs::perms(0700), fs::status(sandbox_.path("/tmp/errorlog")).permissions());
    const std::string shorter = std::string(1023, 'y') + "\n";
    while (sizeOf(file(0)) + shorter.size() < kRotation) {
        ASSERT_EQ(0, XKT_errorlogFileOutput(shorter.c_str()));
    }
    // 8 bytes short of the limit, fewer than the old file's count held.
    const std::string padding(kRotation - 8 - sizeOf(file(0)) - 1, 'z');
    ASSERT_EQ(0, XKT_errorlogFileOutput((padding + "\n").c_str()));
    ASSERT_EQ(0, XKT_errorlogFileOutput("last\n"));
    EXPECT_FALSE(exists(file(1)));
}

// Error lines of middleware processes and of other programs reach the
// temporary file through the managing process's log thread, in either
// Android generation (the older one through the capture ring).
class ErrorLogEndToEnd : public ErrorLogTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ErrorLogEndToEnd, ErrorLinesOfAllProcessesReachTheTemporaryFile) {
    setenv("XKT_ANDROID_VERSION", GetParam(), 1);
    setenv("XKT_MAC", "00:11:22:33:44:55", 1);
    ASSERT_EQ(0, XKT_logInit(0, XKT_LOG_LEVEL_ALL, XKT_LOG_TYPE_ALL, "ALL", nullptr));
    ASSERT_EQ(0, XTK_ErrorLogInit());

    ASSERT_EQ(0, xkt::test::runInChild([] {
        XKT_logWrite("decoder.c", 12, "decode", 0, XKT_LOG_TYPE_OPER, XKT_LOG_LEVEL_ERROR, "media",
                     "stream %d lost", 3);
        XKT_logWrite("decoder.c", 13, "decode", 0, XKT_LOG_TYPE_OPER, XKT_LOG_LEVEL_WARN, "media",
                     "only a warning");
        __android_log_write(ANDROID_LOG_ERROR, "surface", "no buffer");
        __android_log_write(ANDROID_LOG_WARN, "surface", "slow buffer");
        // The capture ring hands a slot on only after a hundred and one
        // reads: a busy box's pace, which this filler stands in for.
        for (int i = 0; i < 300; ++i) __android_log_write(ANDROID_LOG_INFO, "filler", "tick");
        return 0;
    }));

    xkt::test::eventually([&] { return readFile(file(0)).find("no buffer") != std::string::npos; });
    const std::string text = readFile(file(0));
    // The message carries the reader's "E/XKT(pid): " and code the writer's errno.
    for (const char* line : {R"(<131>.* decoder\.c:12 code:\d+ E/XKT\( *\d+\): stream 3 lost\n)",
                             R"(<143>.*  E/surface\( *\d+\): no buffer\n)"}) {
        EXPECT_TRUE(std::regex_search(text, std::regex(line))) << line << " in " << text;
    }
    for (const char* absent : {"only a warning", "slow buffer"}) EXPECT_EQ(std::string::npos, text.find(absent)) << text;
}

INSTANTIATE_TEST_SUITE_P(Generations, ErrorLogEndToEnd, ::testing::Values("2", "4"),
                         [](const auto& info) { return std::string("Android") + info.param; });
