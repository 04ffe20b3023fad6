#include "log_model.h"

#include "bounded_text.h"
#include "errno_guard.h"
#include "syslog_transport.h"

namespace xkt::log {

LogConfig g_logConfig;
uint8_t g_syslogAesKey[XKT_LOG_AES_KEY_SIZE] = {};

namespace {

bool validChannel(int32_t index) { return index >= 0 && index < kChannelCount; }

void storeChannel(int32_t index, LogFormatter formatter, LogOutput output) {
    ChannelSlot& slot = g_logConfig.channels[static_cast<size_t>(index)];
    slot.formatter.store(formatter, std::memory_order_release);
    slot.output.store(output, std::memory_order_release);
}

}  // namespace

LogChannel channelAt(int32_t index) {
    if (!validChannel(index)) return LogChannel{nullptr, nullptr};
    const ChannelSlot& slot = g_logConfig.channels[static_cast<size_t>(index)];
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
    if (index == 3) closeSyslogConnection();
    // Any registration forgets the syslog key: a host re-registering a plain
    // channel must not keep encrypting with a stale key.
    memset_s(g_syslogAesKey, sizeof g_syslogAesKey, 0, sizeof g_syslogAesKey);
    return 0;
}

extern "C" XKT_API int32_t XKT_logRegSTBMonitorCallback(int32_t index, LogFormatter formatter,
                                                        LogOutput output, const uint8_t* key) {
    const ErrnoGuard keepErrno;
    constexpr int32_t kSyslogChannel = 3;
    if (key == nullptr || index != kSyslogChannel) return -1;
    const SyslogLock transport;
    closeSyslogConnection();
    storeChannel(kSyslogChannel, formatter, output);
    memcpy_s(g_syslogAesKey, sizeof g_syslogAesKey, key, sizeof g_syslogAesKey);
    return 0;
}

extern "C" XKT_API int32_t XKT_logRegAeskeyUpdateCallback(const uint8_t* key) {
    const ErrnoGuard keepErrno;
    const SyslogLock transport;
    return memcpy_s(g_syslogAesKey, sizeof g_syslogAesKey, key, sizeof g_syslogAesKey) == 0 ? 0
                                                                                             : -1;
}

extern "C" XKT_API int32_t XKT_logFilterInit(void) {
    const ErrnoGuard keepErrno;
    g_logConfig.logLevel.store(0, std::memory_order_relaxed);
    g_logConfig.logType.store(0, std::memory_order_relaxed);
    copyText(g_logConfig.modules, "ALL");
    return 0;
}

extern "C" XKT_API const char* XKT_logGetLevelStr(uint32_t level) {
    // The names are string literals, so the views are NUL-terminated.
    return levelName(level).data();
}
