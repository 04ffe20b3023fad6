// The channel table and its registrations. A registration of the syslog
// channel, or a new key, is also the syslog transport's business: the
// table tells the transport, never the other way round.
#include "channel_table.h"

#include "bounded_text.h"
#include "errno_guard.h"
#include "log_channels.h"
#include "log_settings.h"
#include "syslog_format.h"
#include "syslog_sender.h"
#include "syslog_transport.h"

namespace xkt::log {

std::array<ChannelSlot, kChannelCount> g_channels;

namespace {

bool validChannel(int32_t index) { return index >= 0 && index < kChannelCount; }

constexpr FormatterOps kLibraryFormatters[] = {
    {XKT_logDefFormatter, nullptr, true},
    {XKT_SyslogFormatter, formatSyslogLine, true},
};
constexpr OutputOps kLibraryOutputs[] = {
    {XKT_logDefOutput, nullptr, true},
    {XKT_logFileOutput, writeLogFileLine, false},
};

template <typename Ops, size_t N, typename Function>
const Ops* libraryOps(const Ops (&table)[N], Function function) {
    for (const Ops& ops : table) {
        if (function != nullptr && ops.function == function) return &ops;
    }
    return nullptr;
}

// The ops are dropped first and set last: in between, a dispatch calls the
// plain pointer, which is right for the old function and the new alike.
void storeChannel(int32_t index, LogFormatter formatter, LogOutput output) {
    ChannelSlot& slot = g_channels[static_cast<size_t>(index)];
    slot.formatterOps.store(nullptr, std::memory_order_release);
    slot.outputOps.store(nullptr, std::memory_order_release);
    slot.formatter.store(formatter, std::memory_order_release);
    slot.output.store(output, std::memory_order_release);
    slot.formatterOps.store(libraryOps(kLibraryFormatters, formatter), std::memory_order_release);
    slot.outputOps.store(libraryOps(kLibraryOutputs, output), std::memory_order_release);
}

}  // namespace

LogChannel channelAt(int32_t index) {
    if (!validChannel(index)) return LogChannel{nullptr, nullptr};
    const ChannelSlot& slot = g_channels[static_cast<size_t>(index)];
    return LogChannel{slot.formatter.load(std::memory_order_acquire),
                      slot.output.load(std::memory_order_acquire)};
}

void clearChannels() {
    for (int32_t index = 0; index < kChannelCount; ++index) storeChannel(index, nullptr, nullptr);
}

FormatterOps formatterOpsAt(int32_t index) {
    const ChannelSlot& slot = g_channels[static_cast<size_t>(index)];
    if (const FormatterOps* ops = slot.formatterOps.load(std::memory_order_acquire)) return *ops;
    return {slot.formatter.load(std::memory_order_acquire), nullptr, false};
}

OutputOps outputOpsAt(int32_t index) {
    const ChannelSlot& slot = g_channels[static_cast<size_t>(index)];
    if (const OutputOps* ops = slot.outputOps.load(std::memory_order_acquire)) return *ops;
    return {slot.output.load(std::memory_order_acquire), nullptr, false};
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logRegCallback(int32_t index, LogFormatter formatter,
                                              LogOutput output) {
    const ErrnoGuard keepErrno;
    // Out of range is a caller error; refusing it keeps the table intact.
    if (!validChannel(index)) return -1;
    storeChannel(index, formatter, output);
    const SyslogLock transport;
    if (index == kSyslogChannel) closeSyslogConnection();
    // Any registration forgets the syslog key: a host re-registering a plain
    // channel must not keep encrypting with a stale key.
    forgetSyslogKey();
    return 0;
}

extern "C" XKT_API int32_t XKT_logRegSTBMonitorCallback(int32_t index, LogFormatter formatter,
                                                        LogOutput output, const uint8_t* key) {
    const ErrnoGuard keepErrno;
    if (key == nullptr || index != kSyslogChannel) return -1;
    const SyslogLock transport;
    closeSyslogConnection();
    storeChannel(kSyslogChannel, formatter, output);
    return setSyslogKey(key);
}

extern "C" XKT_API int32_t XKT_logRegAeskeyUpdateCallback(const uint8_t* key) {
    const ErrnoGuard keepErrno;
    const SyslogLock transport;
    return setSyslogKey(key);
}
