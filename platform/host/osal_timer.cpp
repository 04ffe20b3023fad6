// Timers of the OS layer: one service thread per process runs every callback,
// in due order (ties in the order the timers were added), away from the
// threads that add them.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <sys/prctl.h>
#include <tuple>
#include <atomic>

#include "xkt_osal.h"

namespace {

using Clock = std::chrono::steady_clock;

// The box's OS layer keeps its timers in a fixed table; so does this one,
// so that a full table is a failure callers meet here too.
constexpr size_t kTimerSlots = 64;
using Key = std::tuple<Clock::time_point, uint64_t, int32_t>;  // due, order, id

struct Timer {
    XKT_TimerCallback callback;
    int32_t arg;
    std::chrono::milliseconds period;
    Key key;
};

struct Service {
    std::mutex lock;
    std::condition_variable wake;      // the queue changed
    std::condition_variable finished;  // a callback returned
    std::map<int32_t, Timer> timers;
    std::set<Key> queue;
    int32_t lastId = 0;
    uint64_t nextOrder = 0;
    bool started = false;
    int32_t running = 0;  // id of the callback running now
    pthread_t thread{};
    Service* retired = nullptr;  // the parent's, after a fork
};

// Never destroyed: the service thread may still wait on it while the process
// exits. A forked child starts over with a new one, since the parent's thread
// does not exist there; the old one stays reachable from the new one.
//
// No function-local static here: a child forked while another thread of the
// parent was initialising one would wait for that thread for ever.
std::atomic<Service*> g_service{nullptr};

Service* service() {
    Service* current = g_service.load(std::memory_order_acquire);
    if (current != nullptr) return current;
    auto* fresh = new Service;
    if (g_service.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return fresh;
    delete fresh;
    return current;
}

void afterForkInChild() {
    Service* parents = g_service.load(std::memory_order_relaxed);
    if (parents == nullptr) return;
    auto* fresh = new Service;
    fresh->retired = parents;
    g_service.store(fresh, std::memory_order_release);
}

struct ForkHook {
    ForkHook() { pthread_atfork(nullptr, nullptr, afterForkInChild); }
};
const ForkHook forkHook;

void schedule(Service& s, int32_t id, Timer& timer, Clock::time_point due) {
    timer.key = Key{due, s.nextOrder++, id};
    s.queue.insert(timer.key);
}

// Keeps a repeating timer in step with its first due time; after a stall it
// resumes one period from now instead of running the missed turns in a burst.
void reschedule(Service& s, int32_t id, Clock::time_point lastDue) {
    auto it = s.timers.find(id);
    if (it == s.timers.end()) return;  // removed while running
    auto next = lastDue + it->second.period;
    auto now = Clock::now();
    if (next <= now) next = now + it->second.period;
    schedule(s, id, it->second, next);
}

void runDue(Service& s, std::unique_lock<std::mutex>& held) {
    auto [due, order, id] = *s.queue.begin();
    s.queue.erase(s.queue.begin());
    auto it = s.timers.find(id);
    if (it == s.timers.end()) return;
    Timer timer = it->second;
    bool repeating = timer.period.count() != 0;
    if (!repeating) s.timers.erase(it);
    s.running = id;
    held.unlock();
    timer.callback(id, timer.arg);
    held.lock();
    s.running = 0;
    s.finished.notify_all();
    if (repeating) reschedule(s, id, due);
}

void* serviceMain(void* raw) {
    auto& s = *static_cast<Service*>(raw);
    prctl(PR_SET_NAME, "xkt_timer", 0, 0, 0);
    std::unique_lock<std::mutex> held(s.lock);
    for (;;) {
        if (s.queue.empty()) {
            s.wake.wait(held);
        } else if (auto due = std::get<0>(*s.queue.begin()); Clock::now() < due) {
            // `due` is a copy: a remove may erase the entry while this waits.
            s.wake.wait_until(held, due);
        } else {
            runDue(s, held);
        }
    }
    return nullptr;
}

bool ensureStarted(Service& s) {
    if (s.started) return true;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    s.started = pthread_create(&s.thread, &attr, serviceMain, &s) == 0;
    pthread_attr_destroy(&attr);
    return s.started;
}

int32_t newId(Service& s) {
    do {
        s.lastId = s.lastId == INT32_MAX ? 1 : s.lastId + 1;
    } while (s.timers.count(s.lastId) != 0 || s.lastId == s.running);
    return s.lastId;
}

}  // namespace

extern "C" {

int32_t XKT_timer_init(void) {
    Service& s = *service();
    std::lock_guard<std::mutex> held(s.lock);
    return ensureStarted(s) ? 0 : -1;
}

int32_t XKT_timer_add(XKT_TimerCallback callback, int32_t arg, uint32_t delayMs,
                      uint32_t periodMs) {
    if (callback == nullptr) return -1;
    Service& s = *service();
    std::lock_guard<std::mutex> held(s.lock);
    if (s.timers.size() >= kTimerSlots || !ensureStarted(s)) return -1;
    int32_t id = newId(s);
    Timer& timer = s.timers[id];
    timer.callback = callback;
    timer.arg = arg;
    timer.period = std::chrono::milliseconds(periodMs);
    schedule(s, id, timer, Clock::now() + std::chrono::milliseconds(delayMs));
    s.wake.notify_one();
    return id;
}

int32_t XKT_timer_remove(int32_t timerId) {
    Service& s = *service();
    std::unique_lock<std::mutex> held(s.lock);
    auto it = s.timers.find(timerId);
    if (it == s.timers.end()) return -1;
    s.queue.erase(it->second.key);
    s.timers.erase(it);
    // After the call no callback of the timer runs any more, unless the
    // callback removes its own timer (it cannot wait for itself).
    if (s.started && !pthread_equal(pthread_self(), s.thread)) {
        s.finished.wait(held, [&] { return s.running != timerId; });
    }
    s.wake.notify_one();
    return 0;
}

}  // extern "C"
