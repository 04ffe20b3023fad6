// The channel table and its registrations. A registration of the syslog
// channel, or a new key, is also the syslog transport's business: the
// table tells the transport, never the other way round.
#include "channel_table.h"

#include "bounded_text.h"
#include "errno_guard.h"
#include "log_settings.h"
#include "syslog_transport.h"

namespace xkt::log {

std::array<ChannelSlot, kChannelCount> g_channels;

namespace {

bool validChannel(int32_t index) { return index >= 0 && index < kChannelCount; }

void storeChannel(int32_t index, LogFormatter formatter, LogOutput output) {
    ChannelSlot& slot = g_channels[static_cast<size_t>(index)];
    slot.formatter.store(formatter, std::memory_order_release);
    slot.output.store(output, std::memory_order_release);
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
