// The TLS stream's sender thread and the bounded queue in front of it.
//
// The log thread only queues a line; this thread connects, writes, and
// backs off while the collector cannot be reached (1 s, doubling to 60 s),
// so a silent or dead collector never delays the other channels. Lines wait
// in the queue meanwhile and go out once a session stands again; a full
// queue refuses the newest line and counts it.
#include "syslog_sender.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "errno_guard.h"
#include "log_model.h"
#include "log_settings.h"
#include "mutex_guard.h"
#include "syslog_tls.h"
#include "syslog_transport.h"
#include "xkt_osal.h"

namespace xkt::log {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kFirstBackoff{1000};
constexpr std::chrono::milliseconds kLastBackoff{60000};
// A line whose write failed on two sessions in a row is not the
// collector's absence but something about the line: give it up.
constexpr int kWritesPerLine = 2;

struct Sender {
    LazyMutex mutex;
    std::condition_variable_any wake;  // waits on mutex
    std::vector<std::string> lines = std::vector<std::string>(kSyslogQueueLines);
    size_t head = 0;
    size_t count = 0;
    int failedWrites = 0;  // of the line at head
    std::chrono::milliseconds backoff{0};
    Clock::time_point retryAt{};
    bool started = false;
    bool stopping = false;
    uint64_t lostSinceReport = 0;
    SyslogSenderCounts counts{};
    std::thread thread;
};

Sender& sender() {
    // Never destroyed: the log thread may still queue while the process
    // runs its exit handlers (stopSender refuses those lines).
    static auto* const instance = new Sender;
    return *instance;
}

enum class Outcome { Sent, NotTls, Interrupted, ConnectFailed, WriteFailed };

bool tlsStillSelected() {
    SyslogLock lock;
    return selectedCarrier() == SyslogCarrier::Tls;
}

Outcome deliver(const std::string& line) {
    if (!tlsStillSelected()) return Outcome::NotTls;
    const uint32_t generation = tlsSessionGeneration();
    const int32_t written = sendSyslogMessage(line.c_str(), static_cast<uint32_t>(line.size()));
    if (written == static_cast<int32_t>(line.size())) return Outcome::Sent;
    if (tlsSessionGeneration() != generation) return Outcome::Interrupted;
    if (!tlsSessionConnected()) return Outcome::ConnectFailed;
    // The session that failed is of no further use (the box keeps writing
    // to it until the server is set again).
    dropTlsSession();
    return Outcome::WriteFailed;
}

void reportLostLines(uint64_t lost) {
    XKT_logWrite(__FILE__, __LINE__, __func__, 0, XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_ERROR, "LOG",
                 "syslog stream: %u lines lost while the collector was unreachable",
                 static_cast<uint32_t>(lost));
}

void popHead(Sender& s) {
    s.head = (s.head + 1) % kSyslogQueueLines;
    --s.count;
    s.failedWrites = 0;
}

void backOff(Sender& s) {
    s.backoff = s.backoff.count() == 0 ? kFirstBackoff : std::min(2 * s.backoff, kLastBackoff);
    s.retryAt = Clock::now() + s.backoff;
}

// Under the sender's lock: what the attempt means for the queue.
void settle(Sender& s, Outcome outcome) {
    switch (outcome) {
    case Outcome::Sent:
        ++s.counts.sent;
        s.backoff = std::chrono::milliseconds{0};
        popHead(s);
        break;
    case Outcome::NotTls:
        // Framed for a stream that is no longer chosen.
        s.counts.abandoned += s.count;
        s.lostSinceReport += s.count;
        s.count = 0;
        s.failedWrites = 0;
        break;
    case Outcome::Interrupted:
        break;  // a new server or registration: try again at once
    case Outcome::WriteFailed:
        if (++s.failedWrites >= kWritesPerLine) {
            ++s.counts.abandoned;
            ++s.lostSinceReport;
            popHead(s);
        }
        backOff(s);
        break;
    case Outcome::ConnectFailed:
        backOff(s);
        break;
    }
}

// Waits for a line that may be tried now; false when the sender stops.
bool nextLine(Sender& s, std::string& line) {
    const MutexGuard lock(s.mutex.handle());
    for (;;) {
        if (s.stopping) return false;
        if (s.count > 0 && Clock::now() >= s.retryAt) break;
        // The wait releases the mutex the guard holds and takes it back. It
        // reads the deadline after the release, so it gets a copy.
        if (s.count == 0) {
            s.wake.wait(s.mutex);
        } else {
            const Clock::time_point until = s.retryAt;
            s.wake.wait_until(s.mutex, until);
        }
    }
    line.assign(s.lines[s.head]);
    return true;
}

void run() {
    XKT_thread_setname("syslog_sender");
    Sender& s = sender();
    std::string line;
    while (nextLine(s, line)) {
        const Outcome outcome = deliver(line);
        uint64_t lost = 0;
        {
            const MutexGuard lock(s.mutex.handle());
            settle(s, outcome);
            if (outcome == Outcome::Sent) std::swap(lost, s.lostSinceReport);
        }
        if (lost != 0) reportLostLines(lost);
    }
}

void stopSender() {
    Sender& s = sender();
    {
        const MutexGuard lock(s.mutex.handle());
        if (!s.started || s.stopping) return;
        s.stopping = true;
    }
    s.wake.notify_all();
    // Ends a connect, handshake or write in progress, so the join is prompt.
    closeSyslogConnection();
    if (s.thread.joinable()) s.thread.join();
}

// A child of fork has no sender thread and must not send its parent's lines.
void forgetSenderInChild() {
    Sender& s = sender();
    s.mutex.forgetInChild();
    new (&s.wake) std::condition_variable_any;
    new (&s.thread) std::thread;
    s.started = false;
    s.count = 0;
}

// Under the sender's lock.
bool startSender(Sender& s) {
    if (s.started) return true;
    // OpenSSL's own exit handler must run after ours, which joins a thread
    // that may be inside OpenSSL: initialise it first.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    static const bool registered = std::atexit(stopSender) == 0 &&
                                   pthread_atfork(nullptr, nullptr, forgetSenderInChild) == 0;
    if (!registered) return false;
    s.thread = std::thread(run);
    s.started = true;
    return true;
}

}  // namespace

int32_t queueTlsLine(const char* line, size_t length) {
    // sendSyslogMessage's own limit, refused here where the caller sees it.
    constexpr size_t kTlsRecordLimit = 8192;
    if (length >= kTlsRecordLimit) return -1;
    Sender& s = sender();
    {
        const MutexGuard lock(s.mutex.handle());
        if (s.stopping || !startSender(s)) return -1;
        if (s.count == kSyslogQueueLines) {
            ++s.counts.overflowed;
            ++s.lostSinceReport;
            return -1;
        }
        s.lines[(s.head + s.count) % kSyslogQueueLines].assign(line, length);
        ++s.count;
        ++s.counts.queued;
    }
    s.wake.notify_one();
    return 0;
}

void wakeTlsSender() {
    Sender& s = sender();
    {
        const MutexGuard lock(s.mutex.handle());
        s.backoff = std::chrono::milliseconds{0};
        s.retryAt = Clock::time_point{};
    }
    s.wake.notify_one();
}

SyslogSenderCounts syslogSenderCounts() {
    Sender& s = sender();
    const MutexGuard lock(s.mutex.handle());
    return s.counts;
}

const SyslogTransport kTlsTransport{"tls", queueTlsLine};

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API void closeSyslogConnection(void) {
    const ErrnoGuard keepErrno;
    interruptTlsSession();
    // A new server or registration deserves a first try at once.
    wakeTlsSender();
}
