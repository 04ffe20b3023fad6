#include "process_ids.h"

#include <atomic>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace xkt::host {

namespace {

std::atomic<uint32_t> forkGeneration{1};
std::atomic<int32_t> cachedPid{0};

void afterForkInChild() {
    cachedPid.store(0, std::memory_order_relaxed);
    forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

struct ForkHook {
    ForkHook() { pthread_atfork(nullptr, nullptr, afterForkInChild); }
};
const ForkHook forkHook;

struct TidCache {
    uint32_t generation = 0;
    int32_t tid = 0;
};
// Initial-exec: read on every log write; the platform library is linked, not loaded late.
__attribute__((tls_model("initial-exec"))) thread_local TidCache tidCache;

}  // namespace

int32_t currentPid() {
    int32_t pid = cachedPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<int32_t>(getpid());
        cachedPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

int32_t currentTid() {
    uint32_t generation = forkGeneration.load(std::memory_order_relaxed);
    if (tidCache.generation != generation) {
        tidCache.tid = static_cast<int32_t>(syscall(SYS_gettid));
        tidCache.generation = generation;
    }
    return tidCache.tid;
}

}  // namespace xkt::host
