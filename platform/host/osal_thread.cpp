// Mutexes and threads of the OS layer. Handles are 32-bit on every machine,
// so a mutex handle is a table index plus a generation: a handle that was
// destroyed (or never made) is refused instead of reaching another mutex.
#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <vector>

#include "process_ids.h"
#include "xkt_osal.h"

namespace {

// ---- Mutexes ---------------------------------------------------------------

constexpr uint32_t kMutexSlots = 1024;
constexpr uint32_t kIndexBits = 11;  // holds index + 1, up to 1024
static_assert((1u << kIndexBits) > kMutexSlots);

struct MutexSlot {
    std::atomic<uint32_t> handle{0};  // 0 while free
    uint32_t generation = 0;
    pthread_mutex_t mutex;
};

// Never destroyed: a thread may still lock a mutex while the process exits.
struct MutexTable {
    std::array<MutexSlot, kMutexSlots> slots;
    std::mutex guard;  // create and destroy only
    std::vector<uint32_t> freeSlots;
    uint32_t nextUnused = 0;
};

MutexTable& mutexTable() {
    static MutexTable* table = new MutexTable;
    return *table;
}

bool takeSlot(MutexTable& table, uint32_t& index) {
    std::lock_guard<std::mutex> lock(table.guard);
    if (!table.freeSlots.empty()) {
        index = table.freeSlots.back();
        table.freeSlots.pop_back();
        return true;
    }
    if (table.nextUnused == kMutexSlots) return false;
    index = table.nextUnused++;
    return true;
}

void giveSlot(MutexTable& table, uint32_t index) {
    std::lock_guard<std::mutex> lock(table.guard);
    table.freeSlots.push_back(index);
}

// The slot of a live handle, or null.
MutexSlot* findMutex(uint32_t handle) {
    uint32_t index = (handle & ((1u << kIndexBits) - 1)) - 1;
    if (handle == 0 || index >= kMutexSlots) return nullptr;
    MutexSlot& slot = mutexTable().slots[index];
    return slot.handle.load(std::memory_order_acquire) == handle ? &slot : nullptr;
}

// ---- Threads ---------------------------------------------------------------

struct ThreadStart {
    XKT_ThreadEntry entry;
    // Set when the creator waits to learn the new thread's id.
    std::atomic<uint32_t> tid{0};
};

void* runThread(void* raw) {
    auto* start = static_cast<ThreadStart*>(raw);
    XKT_ThreadEntry entry = start->entry;
    start->tid.store(static_cast<uint32_t>(xkt::host::currentTid()), std::memory_order_release);
    // The creator owns `start` from here on.
    entry();
    return nullptr;
}

bool configure(pthread_attr_t& attr, uint32_t stackSize, int32_t detached) {
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setdetachstate(&attr, detached != 0 ? PTHREAD_CREATE_DETACHED
                                                               : PTHREAD_CREATE_JOINABLE) == 0;
    if (ok && stackSize != 0) {
        size_t size = std::max<size_t>(stackSize, PTHREAD_STACK_MIN);
        ok = pthread_attr_setstacksize(&attr, size) == 0;
    }
    if (!ok) pthread_attr_destroy(&attr);
    return ok;
}

}  // namespace

extern "C" {

uint32_t XKT_mutex_create(void) {
    MutexTable& table = mutexTable();
    uint32_t index = 0;
    if (!takeSlot(table, index)) return 0;
    MutexSlot& slot = table.slots[index];
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // A relock by the owner or an unlock by another thread fails instead of
    // hanging or corrupting the mutex.
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    int rc = pthread_mutex_init(&slot.mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        giveSlot(table, index);
        return 0;
    }
    slot.generation = (slot.generation + 1) & ((1u << (32 - kIndexBits)) - 1);
    uint32_t handle = (slot.generation << kIndexBits) | (index + 1);
    slot.handle.store(handle, std::memory_order_release);
    return handle;
}

int32_t XKT_mutex_lock(uint32_t mutex) {
    MutexSlot* slot = findMutex(mutex);
    return slot != nullptr && pthread_mutex_lock(&slot->mutex) == 0 ? 0 : -1;
}

int32_t XKT_mutex_unlock(uint32_t mutex) {
    MutexSlot* slot = findMutex(mutex);
    return slot != nullptr && pthread_mutex_unlock(&slot->mutex) == 0 ? 0 : -1;
}

int32_t XKT_mutex_destroy(uint32_t mutex) {
    MutexSlot* slot = findMutex(mutex);
    if (slot == nullptr) return -1;
    // Only one of two racing destroys gets past this exchange.
    uint32_t expected = mutex;
    if (!slot->handle.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return -1;
    pthread_mutex_destroy(&slot->mutex);
    giveSlot(mutexTable(), static_cast<uint32_t>(slot - mutexTable().slots.data()));
    return 0;
}

int32_t XKT_thread_create(XKT_ThreadEntry entry, uint32_t stackSize, uint32_t priority,
                          int32_t detached, uint32_t* threadId) {
    // The box's priorities map to real-time classes this host does not grant
    // to an ordinary user; every thread runs at the default priority.
    (void)priority;
    if (entry == nullptr) return -1;
    pthread_attr_t attr;
    if (!configure(attr, stackSize, detached)) return -1;
    auto* start = new (std::nothrow) ThreadStart{entry};
    if (start == nullptr) {
        pthread_attr_destroy(&attr);
        return -1;
    }
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, runThread, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        return -1;
    }
    // Waiting for the id is brief: the new thread publishes it first thing.
    uint32_t tid = 0;
    while ((tid = start->tid.load(std::memory_order_acquire)) == 0) sched_yield();
    delete start;
    if (threadId != nullptr) *threadId = tid;
    return 0;
}

int32_t XKT_thread_setname(const char* name) {
    if (name == nullptr) return -1;
    char shortName[16];
    size_t length = strnlen(name, sizeof shortName - 1);
    std::memcpy(shortName, name, length);
    shortName[length] = '\0';
    return prctl(PR_SET_NAME, shortName, 0, 0, 0) == 0 ? 0 : -1;
}

uint32_t XKT_thread_gettid(void) { return static_cast<uint32_t>(xkt::host::currentTid()); }

}  // extern "C"
