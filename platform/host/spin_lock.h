// A lock word in memory shared by many processes. It holds its owner's
// token (pid and start time, see process_ids.h), so an owner that died, one
// whose pid has since been reused, and a word scribbled over by another
// program are all recognised and taken over.
//
// Nobody waits on another process without bound: a waiter spins briefly,
// then yields, and gives up at its deadline. A live owner keeps its lock
// even when it does not run (stopped by a signal or a debugger): taken from
// it, it would resume in the middle of its work and tear what the new owner
// wrote. Callers therefore have a plan for a lock they cannot get.
#pragma once

#include <atomic>
#include <cstdint>

namespace xkt::host {

using SharedLockWord = std::atomic<uint64_t>;
static_assert(SharedLockWord::is_always_lock_free, "shared lock must be address-free");

enum class LockResult {
    Taken,
    Recovered,  // taken over from a dead or bogus owner: repair what it left
    TimedOut,   // a live owner kept it past the deadline
};

LockResult lockShared(SharedLockWord& word, int64_t timeoutUs);
// One attempt, no waiting and no look at the owner.
bool tryLockShared(SharedLockWord& word);
void unlockShared(SharedLockWord& word);

class SharedLockGuard {
public:
    SharedLockGuard(SharedLockWord& word, int64_t timeoutUs)
        : word_(word), result_(lockShared(word, timeoutUs)) {}
    ~SharedLockGuard() {
        if (locked()) unlockShared(word_);
    }
    SharedLockGuard(const SharedLockGuard&) = delete;
    SharedLockGuard& operator=(const SharedLockGuard&) = delete;

    bool locked() const { return result_ != LockResult::TimedOut; }
    bool recovered() const { return result_ == LockResult::Recovered; }

private:
    SharedLockWord& word_;
    LockResult result_;
};

}  // namespace xkt::host
