// The caller's process and thread ids without a system call once known. A
// child after fork never sees its parent's: fork bumps a generation that
// every cached id is checked against.
#pragma once

#include <cstdint>

namespace xkt::host {

int32_t currentPid();
int32_t currentTid();

}  // namespace xkt::host
