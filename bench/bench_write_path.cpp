// The write path against spdlog, in one binary and one run, so the ratios
// hold whatever the machine is doing.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "android/log.h"
#include "bench_common.h"
#include "xkt_log.h"
#include "xkt_osal.h"

namespace {

const std::string kMessage(100, 'm');

std::shared_ptr<spdlog::logger> disabledLogger() {
    static auto logger = [] {
        auto made = std::make_shared<spdlog::logger>("disabled",
                                                     std::make_shared<spdlog::sinks::null_sink_mt>());
        made->set_level(spdlog::level::warn);
        return made;
    }();
    return logger;
}

std::shared_ptr<spdlog::logger> asyncLogger() {
    static auto logger = [] {
        spdlog::init_thread_pool(8192, 1);
        return spdlog::create_async_nb<spdlog::sinks::null_sink_mt>("async");
    }();
    return logger;
}

// --- anchor: spdlog ---------------------------------------------------------

void BM_SpdlogDisabledCall(benchmark::State& state) {
    auto logger = disabledLogger();
    for (auto _ : state) logger->debug("{}", kMessage);
}
BENCHMARK(BM_SpdlogDisabledCall);

void BM_SpdlogAsyncCall(benchmark::State& state) {
    auto logger = asyncLogger();
    for (auto _ : state) logger->info("{}", kMessage);
}
BENCHMARK(BM_SpdlogAsyncCall)->Threads(1)->Threads(2)->UseRealTime();

// --- the write path -----------------------------------------------------------

void BM_XktRejectedByLevel(benchmark::State& state) {
    if (state.thread_index() == 0) XKT_logFilterSetLevel(XKT_LOG_LEVEL_WARN);
    for (auto _ : state) {
        benchmark::DoNotOptimize(XKT_logWrite(__FILE__, __LINE__, __func__, 0, 1,
                                              XKT_LOG_LEVEL_DEBUG, "bench", "%s", kMessage.c_str()));
    }
    if (state.thread_index() == 0) XKT_logFilterSetLevel(XKT_LOG_LEVEL_ALL);
}
BENCHMARK(BM_XktRejectedByLevel);

void BM_XktAcceptedWrite(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(XKT_logWrite(__FILE__, __LINE__, __func__, 0, 1,
                                              XKT_LOG_LEVEL_INFO, "bench", "%s", kMessage.c_str()));
    }
}
BENCHMARK(BM_XktAcceptedWrite)->Threads(1)->Threads(2)->UseRealTime();

// --- the platform underneath ------------------------------------------------------

void BM_PropertyReadUnchanged1023(benchmark::State& state) {
    const std::string value(1023, 'v');
    XKT_property_set("bench.long", value.c_str());
    char out[1024];
    for (auto _ : state) benchmark::DoNotOptimize(XKT_property_get("bench.long", out, sizeof out));
}
BENCHMARK(BM_PropertyReadUnchanged1023);

void BM_LogBufferWriteEntry(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(__android_log_write(ANDROID_LOG_INFO, "XKT", kMessage.c_str()));
    }
}
BENCHMARK(BM_LogBufferWriteEntry)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::string root = xkt::bench::makeBenchRoot();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    spdlog::shutdown();
    xkt::bench::removeBenchRoot(root);
    return 0;
}
