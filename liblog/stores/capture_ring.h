// The capture ring's bookkeeping, readable while its threads run, so that
// tests can watch the slots being filled and emptied.
#pragma once

#include <cstdint>

namespace xkt::log {

struct CaptureRingState {
    int32_t filledSlots;  // filled and not yet emptied, 0..3
    int32_t readIndex;    // the slot the line writer empties now or next
    int32_t writeIndex;   // the slot the reader fills now or next
};

CaptureRingState captureRingState();

// XKT_logDeinit's part: destroys the ring's count lock when it exists, and
// forgets the handle.
void destroyCaptureRingLock();

}  // namespace xkt::log
