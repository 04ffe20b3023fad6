// The capture ring of the older Android generations (up to 2). There the log
// thread leaves the error-log channel alone and a pair of threads feeds it:
// "ErrorLog" moves raw entries of /dev/log/main and /dev/log/system into
// three slots, one slot per pass; "WriteLogLines" empties the slots in the
// same order, converts each entry and hands it to channel 4. The reader only
// copies bytes, so a slow channel never holds up the devices: it only lets
// the slots fill, and the entries wait in the devices meanwhile.
#include "capture_ring.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <sys/select.h>
#include <utility>

#include "channel_table.h"
#include "errno_guard.h"
#include "error_log.h"
#include "log_model.h"
#include "log_settings.h"
#include "log_thread.h"
#include "mutex_guard.h"
#include "self_log.h"
#include "xkt_log.h"
#include "platform_seam.h"
#include "xkt_osal.h"

extern "C" {
XKT_API LogBuffBlock* g_logbuff[XKT_LOGBUFF_SLOTS] = {};
XKT_API uint32_t g_logbuffMutex[XKT_LOGBUFF_SLOTS] = {};
}

namespace xkt::log {

namespace {

constexpr int32_t kSlots = XKT_LOGBUFF_SLOTS;
constexpr int32_t kLastWaitRound = 100;  // a pass runs rounds 0 to 100
constexpr uint32_t kPollPauseMs = 10;
constexpr int kFatalStatus = 1;

// The count changes only under its lock, yet is atomic: both threads poll it
// without the lock, and XKT_logDeinit may destroy the lock while they run.
std::atomic<uint32_t> g_pLogbuffCountMutex{0};
std::atomic<int32_t> g_iLogbuffCount{0};
// Each is moved by one thread only; atomic so that others may watch.
std::atomic<int32_t> g_iLogbuffWriteIndex{0};
std::atomic<int32_t> g_iLogbuffReadIndex{0};
// Set once the pair is starting: the ring then lives as long as the process.
std::atomic<bool> g_ringStarted{false};

void changeCount(int32_t delta) {
    const MutexGuard guard(g_pLogbuffCountMutex.load(std::memory_order_acquire));
    g_iLogbuffCount.fetch_add(delta, std::memory_order_acq_rel);
}

// ---- Start --------------------------------------------------------------

// A concurrent start may have made one too: only one handle is kept.
bool ensureCountLock() {
    if (g_pLogbuffCountMutex.load(std::memory_order_acquire) != 0) return true;
    const uint32_t made = XKT_mutex_create();
    if (made == 0) return false;
    uint32_t none = 0;
    if (!g_pLogbuffCountMutex.compare_exchange_strong(none, made, std::memory_order_acq_rel)) {
        XKT_mutex_destroy(made);
    }
    return true;
}

void releaseSlots() {
    for (int32_t slot = 0; slot < kSlots; ++slot) {
        if (g_logbuffMutex[slot] != 0) XKT_mutex_destroy(g_logbuffMutex[slot]);
        XKT_free(g_logbuff[slot]);
        g_logbuffMutex[slot] = 0;
        g_logbuff[slot] = nullptr;
    }
}

// The three empty slots, each a head block and a lock. A missing head or
// lock would crash or race the threads later, so it fails the start.
bool createSlots() {
    for (int32_t slot = 0; slot < kSlots; ++slot) {
        auto* head = static_cast<LogBuffBlock*>(XKT_malloc(sizeof(LogBuffBlock)));
        if (head == nullptr) return false;
        head->next = nullptr;
        g_logbuff[slot] = head;
        g_logbuffMutex[slot] = XKT_mutex_create();
        if (g_logbuffMutex[slot] == 0) return false;
    }
    return true;
}

// A start that fails leaves nothing behind, before any thread runs, so a
// later call can try again.
void abandonStart() {
    releaseSlots();
    destroyCaptureRingLock();
    g_ringStarted.store(false, std::memory_order_release);
}

// ---- The "ErrorLog" thread ------------------------------------------------

struct RingDevice {
    char* path;  // heap copy
    int32_t fd;
    char label;
    RingDevice* next;
};

constexpr std::array<std::pair<std::string_view, char>, 2> kRingDevices{{
    {"/dev/log/main", 'm'},
    {"/dev/log/system", 's'},
}};

// The thread's device list. Released only when the thread gives up before
// reading; after that the thread, and the list, last as long as the process.
class DeviceList {
public:
    DeviceList() = default;
    ~DeviceList() {
        while (head_ != nullptr) {
            RingDevice* const next = head_->next;
            XKT_free(head_->path);
            XKT_free(head_);
            head_ = next;
        }
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // False when an entry or its path cannot be allocated.
    bool build() {
        RingDevice** link = &head_;
        for (const auto& [path, label] : kRingDevices) {
            void* raw = XKT_malloc(sizeof(RingDevice));
            if (raw == nullptr) return false;
            *link = new (raw) RingDevice{nullptr, -1, label, nullptr};
            auto* copy = static_cast<char*>(XKT_malloc(static_cast<uint32_t>(path.size() + 1)));
            if (copy == nullptr) return false;
            std::memcpy(copy, path.data(), path.size());
            copy[path.size()] = '\0';
            (*link)->path = copy;
            link = &(*link)->next;
        }
        return true;
    }
    RingDevice* head() const { return head_; }

private:
    RingDevice* head_ = nullptr;
};

// Without every device the error log would miss entries unnoticed, so a
// device that does not open ends the process.
void openDevices(RingDevice* list) {
    for (RingDevice* device = list; device != nullptr; device = device->next) {
        device->fd = openLogDevice(device->path);
        // fd_set holds descriptors below FD_SETSIZE only.
        if (device->fd < 0 || device->fd >= FD_SETSIZE) {
            XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, "XKT_errorLogThread", "Unable to open log device");
            std::exit(kFatalStatus);
        }
    }
}

// Blocks until a device is readable. An interrupted wait does not count;
// after any other failure the round reads what that wait left marked.
void waitForDevices(const RingDevice* list, int32_t nfds, fd_set& ready) {
    for (;;) {
        FD_ZERO(&ready);
        for (const RingDevice* device = list; device != nullptr; device = device->next) {
            FD_SET(device->fd, &ready);
        }
        if (waitForLogDevices(nfds, &ready, nullptr) >= 0 || errno != EINTR) return;
    }
}

// The device's next entry in a block of its own; null when it had none
// after all (EINTR, EAGAIN). Every other outcome ends the process.
LogBuffBlock* readEntry(const RingDevice& device) {
    auto* block = static_cast<LogBuffBlock*>(XKT_malloc(sizeof(LogBuffBlock)));
    if (block == nullptr) std::exit(kFatalStatus);
    const int32_t bytesRead = readLogDevice(device.fd, block->entry, sizeof block->entry);
    if (bytesRead > 0) {
        // The conversion trusts the header: a short entry must not lead it
        // into stale heap bytes.
        const auto used = std::min(static_cast<size_t>(bytesRead), sizeof block->entry);
        std::memset(block->entry + used, 0, sizeof block->entry - used);
        block->next = nullptr;
        return block;
    }
    if (bytesRead == 0) {
        std::fputs("read: Unexpected EOF!\n", stderr);
        std::exit(kFatalStatus);
    }
    const int error = errno;
    XKT_free(block);
    if (error == EINTR || error == EAGAIN) return nullptr;
    errno = error;
    std::perror("logcat read");
    std::exit(kFatalStatus);
}

// One round: one entry of every marked device, in list order, linked behind
// tail. A device that had nothing ends the round early.
void readRound(const RingDevice* list, const fd_set& ready, LogBuffBlock*& tail) {
    for (const RingDevice* device = list; device != nullptr; device = device->next) {
        if (!FD_ISSET(device->fd, &ready)) continue;
        LogBuffBlock* const block = readEntry(*device);
        if (block == nullptr) return;
        tail->next = block;
        tail = block;
    }
}

int32_t highestFd(const RingDevice* list) {
    int32_t highest = 0;
    for (const RingDevice* device = list; device != nullptr; device = device->next) {
        highest = std::max(highest, device->fd);
    }
    return highest;
}

// One pass: fills the write slot. Its lock is held across the blocking
// waits, so the line writer never sees a slot half filled; the count goes
// up only once the slot is released.
void fillSlot(const RingDevice* list) {
    const int32_t nfds = highestFd(list) + 1;
    const int32_t slot = g_iLogbuffWriteIndex.load(std::memory_order_relaxed) % kSlots;
    {
        const MutexGuard guard(g_logbuffMutex[slot]);
        LogBuffBlock* tail = g_logbuff[slot];
        while (tail->next != nullptr) tail = tail->next;
        for (int32_t round = 0; round <= kLastWaitRound; ++round) {
            fd_set ready;
            waitForDevices(list, nfds, ready);
            readRound(list, ready, tail);
        }
    }
    changeCount(1);
    g_iLogbuffWriteIndex.store((slot + 1) % kSlots, std::memory_order_release);
}

// ---- The "WriteLogLines" thread ---------------------------------------------

// Converts one raw entry and hands it to whatever channel 4 holds now.
void deliver(const char* entry) {
    const LogDeviceHeader header = decodeDeviceHeader(entry);
    alignas(LogRecord) char item[XKT_LOGBUFF_ENTRY_SIZE] = {};
    int32_t recordKind = 0;
    if (convertLogEntry(item, entry, &header, &recordKind, nullptr) == -1) return;
    const LogChannel channel = channelAt(kErrorLogChannel);
    // An empty channel never sees the line: no buffer to clear for it.
    if (channel.formatter == nullptr && channel.output == nullptr) return;
    char line[XKT_LOG_FORMAT_BUFFER_SIZE] = {};
    if (channel.formatter != nullptr) channel.formatter(item, line, recordKind);
    if (channel.output != nullptr) channel.output(line);
}

// Takes the slot's blocks in chain order, each unlinked before it is
// delivered and released; the slot is empty again afterwards.
void drainSlot(int32_t slot) {
    const MutexGuard guard(g_logbuffMutex[slot]);
    LogBuffBlock* const head = g_logbuff[slot];
    while (LogBuffBlock* const block = head->next) {
        head->next = block->next;
        deliver(block->entry);
        XKT_free(block);
    }
}

}  // namespace

CaptureRingState captureRingState() {
    return CaptureRingState{g_iLogbuffCount.load(std::memory_order_acquire),
                            g_iLogbuffReadIndex.load(std::memory_order_acquire),
                            g_iLogbuffWriteIndex.load(std::memory_order_acquire)};
}

void destroyCaptureRingLock() {
    // The threads go on without it: the count stays consistent as an atomic.
    if (const uint32_t lock = g_pLogbuffCountMutex.exchange(0, std::memory_order_acq_rel)) {
        destroyWhenFree(lock);
    }
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_OldVersionErrorLogInit(void) {
    const ErrnoGuard keepErrno;
    constexpr const char* kFunction = "XKT_OldVersionErrorLogInit";
    if (!ensureCountLock()) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "create mutex failed");
        return -1;
    }
    // A later initialisation (after XKT_logDeinit) finds the pair running:
    // a second pair would replace the slots under the first and deliver
    // every entry twice. Only the count lock is made again.
    bool started = false;
    if (!g_ringStarted.compare_exchange_strong(started, true, std::memory_order_acq_rel)) {
        return 0;
    }
    if (!createSlots()) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "create log buffer failed");
        abandonStart();
        return -1;
    }
    if (XKT_thread_create(XKT_errorLogThread, 0, 0, 1, nullptr) != 0) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "create errorlog thread failed");
        abandonStart();
        return -1;
    }
    return 0;
}

extern "C" XKT_API int32_t XKT_errorLogThread(void) {
    constexpr const char* kFunction = "XKT_errorLogThread";
    XKT_SELF_LOG(XKT_LOG_LEVEL_INFO, kFunction, "Enter XKT_errorLogThread");
    XKT_thread_setname("ErrorLog");
    DeviceList devices;
    if (!devices.build()) {
        XKT_SELF_LOG(XKT_LOG_LEVEL_ERROR, kFunction, "The malloc failed");
        return 0;
    }
    openDevices(devices.head());
    // Not checked: without the line writer the slots fill and the reader
    // waits, holding nothing the rest of the library needs.
    XKT_thread_create(writeLogLines, 0, 0, 1, nullptr);
    for (;;) {
        // All three slots filled: the one to fill next is still being emptied.
        while (g_iLogbuffCount.load(std::memory_order_acquire) > kSlots - 1) {
            XKT_sleep(kPollPauseMs);
        }
        fillSlot(devices.head());
    }
}

extern "C" XKT_API int32_t writeLogLines(void) {
    XKT_thread_setname("WriteLogLines");
    for (;;) {
        while (g_iLogbuffCount.load(std::memory_order_acquire) > 0) {
            const int32_t slot = g_iLogbuffReadIndex.load(std::memory_order_relaxed);
            drainSlot(slot);
            changeCount(-1);
            g_iLogbuffReadIndex.store((slot + 1) % kSlots, std::memory_order_release);
        }
        XKT_sleep(kPollPauseMs);
    }
}
