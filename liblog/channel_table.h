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

// One channel. The two pointers are stored one after the other without a
// lock; atomics keep a concurrent dispatch from reading a torn pointer.
struct ChannelSlot {
    std::atomic<LogFormatter> formatter{nullptr};
    std::atomic<LogOutput> output{nullptr};
};

extern std::array<ChannelSlot, kChannelCount> g_channels;

// The channel's pair as registered; an empty pair beyond the table.
LogChannel channelAt(int32_t index);
void clearChannels();

}  // namespace xkt::log
