// The caller's process and thread ids without a system call once known. A
// child after fork never sees its parent's: fork bumps a generation that
// every cached id is checked against.
#pragma once

#include <cstdint>

namespace xkt::host {

int32_t currentPid();
int32_t currentTid();

// Who owns a lock word in shared memory: the pid in the low half, the
// process's start time (in clock ticks since boot, plus one, so that no
// real owner has a zero half) in the high half. A pid that is reused after
// its process died comes with another start time, so a stale owner is never
// taken for alive.
uint64_t currentOwnerToken();

// A process's start time in clock ticks since boot (0 for this process):
// with the pid it names one process, whatever reuses the pid later. False
// when there is no such process or /proc does not show it.
bool processStartTime(uint32_t pid, uint64_t& startTime);

// False for a token whose process is gone, a zombie, or was never a
// process at all (a scribbled word); looks at /proc, for slow paths only.
bool ownerIsAlive(uint64_t token);

}  // namespace xkt::host
