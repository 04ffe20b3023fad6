// The error-log channel as the log thread drives it (formatter into a
// cleared buffer, then the output), for an accepted record, a refused
// record and a refused plain line, beside the anchor measured in the same
// run: one write(2) of the same line to a file. And the export's wall time
// for ten full 2 MiB temporary files.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "bench_common.h"
#include "log_settings.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace {

std::string g_root;

LogRecord benchRecord(uint32_t level) {
    LogRecord record{};
    record.type = XKT_LOG_TYPE_RUN;
    record.level = level;
    record.line = 1234;
    record.code = 0;
    std::strcpy(record.module, "player");
    std::strcpy(record.file, "player.c");
    std::strcpy(record.function, "play");
    std::strcpy(record.message, "stream 7 buffering took 312 ms, bit rate 8000 kbit/s");
    return record;
}

// The dispatcher's pass over channel 4 for one item.
void driveChannel(const void* item, int32_t kind, char (&line)[XKT_LOG_FORMAT_BUFFER_SIZE]) {
    std::memset(line, 0, std::strlen(line) + 1);  // the dispatcher clears what was written
    XKT_errorlogFormatter(item, line, kind);
    XKT_errorlogFileOutput(line);
}

void BM_ErrorLogAcceptedRecord(benchmark::State& state) {
    const LogRecord record = benchRecord(XKT_LOG_LEVEL_ERROR);
    char line[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    for (auto _ : state) driveChannel(&record, 1, line);
}
BENCHMARK(BM_ErrorLogAcceptedRecord);

void BM_ErrorLogRefusedRecord(benchmark::State& state) {
    const LogRecord record = benchRecord(XKT_LOG_LEVEL_WARN);
    char line[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    for (auto _ : state) driveChannel(&record, 1, line);
}
BENCHMARK(BM_ErrorLogRefusedRecord);

void BM_ErrorLogRefusedPlainLine(benchmark::State& state) {
    const char* item = "W/mediaserver( 1234): stream 7 buffering took 312 ms\n";
    char line[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    for (auto _ : state) driveChannel(item, 0, line);
}
BENCHMARK(BM_ErrorLogRefusedPlainLine);

// The least any flushed line costs: one write(2) of a line of the same size.
void BM_WriteSyscallAnchor(benchmark::State& state) {
    const LogRecord record = benchRecord(XKT_LOG_LEVEL_ERROR);
    char line[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    XKT_errorlogFormatter(&record, line, 1);
    const size_t length = std::strlen(line);
    const std::string path = g_root + "/anchor.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    size_t written = 0;
    for (auto _ : state) {
        if (write(fd, line, length) != static_cast<ssize_t>(length)) state.SkipWithError("write");
        written += length;
        if (written >= 2097152) {  // keep the file as small as the channel's
            state.PauseTiming();
            if (ftruncate(fd, 0) != 0) state.SkipWithError("ftruncate");
            written = 0;
            state.ResumeTiming();
        }
    }
    close(fd);
}
BENCHMARK(BM_WriteSyscallAnchor);

// Ten temporary files of 2 MiB each, written through the channel.
void fillTemporaryFiles() {
    const std::string chunk = std::string(4095, 'e') + "\n";
    for (int file = 0; file < 10; ++file) {
        for (size_t size = 0; size < 2097152; size += chunk.size()) {
            XKT_errorlogFileOutput(chunk.c_str());
        }
    }
}

void BM_ExportTenFullFiles(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        fillTemporaryFiles();
        state.ResumeTiming();
        if (XKT_errorlogOutputTrigger() != 0) state.SkipWithError("export failed");
    }
}
BENCHMARK(BM_ExportTenFullFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    g_root = xkt::bench::makeBenchRoot();
    setenv("XKT_MAC", "00:11:22:33:44:55", 1);
    std::strcpy(xkt::log::g_macString, "00:11:22:33:44:55");
    XKT_property_set("ro.total.memsize", "2097152");  // ten temporary files
    XKT_property_set("ro.product.model", "BENCH");
    g_iErrorLogToFlashEnable = 1;
    g_iTimeIntervalForLogToFlash = 86400000;  // exports only when the benchmark says
    if (XTK_ErrorLogInit() != 0) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    xkt::bench::removeBenchRoot(g_root);
    return 0;
}
