// The channel table: what each of the seven channels was registered with,
// and how the dispatcher calls it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "xkt_log.h"

namespace xkt::log {

inline constexpr int32_t kChannelCount = XKT_LOG_CHANNEL_COUNT;

// What the dispatcher knows of one of the library's own channel functions:
// a form that takes the text's length instead of measuring it, how much of
// the line buffer a formatter may have written, and whether an output throws
// its text away. A host's functions get none of it, and the plain calls.
using LengthFormatter = int32_t (*)(const void* item, char* out, int32_t recordKind,
                                    size_t textLength, size_t& lineLength);
using LengthOutput = int32_t (*)(const char* text, size_t length, bool mayWait);

struct FormatterOps {
    LogFormatter function;
    LengthFormatter withLength;  // writes nothing behind the line's NUL
    bool writesUpToNul;          // leaves every byte behind its text's NUL alone
};
struct OutputOps {
    LogOutput function;
    LengthOutput withLength;
    bool discards;
};

// One channel. The pointers are stored one after the other without a lock;
// atomics keep a concurrent dispatch from reading a torn pointer. The ops
// are found once, at registration: the library's own entry for a function
// of its own, null for a host's (then the plain pointer is called). An
// entry carries its own function, so a dispatch racing a registration sees
// the old or the new function with its matching ops, never a mix.
struct ChannelSlot {
    std::atomic<LogFormatter> formatter{nullptr};
    std::atomic<LogOutput> output{nullptr};
    std::atomic<const FormatterOps*> formatterOps{nullptr};
    std::atomic<const OutputOps*> outputOps{nullptr};
};

extern std::array<ChannelSlot, kChannelCount> g_channels;

// The channel's pair as registered; an empty pair beyond the table.
LogChannel channelAt(int32_t index);
void clearChannels();

// How the dispatcher calls channel index (within the table).
FormatterOps formatterOpsAt(int32_t index);
OutputOps outputOpsAt(int32_t index);

}  // namespace xkt::log
