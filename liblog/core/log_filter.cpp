// Filtering by takeover, type, level and module.
//
// The module filter is shared by all processes through the property
// "xkt.log.modules" and checked on every write, so its refresh must be
// cheap: the platform's watch on the property tells when the text may have
// changed, and only then is it read again. The parsed filter has one master
// copy per process, changed under a lock; every thread matches against a
// private copy that it renews when the master's version moves, so matching
// never races a refresh on another thread.
#include "log_filter.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "bounded_text.h"
#include "errno_guard.h"
#include "log_model.h"
#include "log_settings.h"
#include "mutex_guard.h"
#include "platform_seam.h"
#include "self_log.h"
#include "xkt_osal.h"

namespace xkt::log {

namespace {

constexpr const char* kModulesProperty = "xkt.log.modules";
constexpr std::string_view kAll = "ALL";

struct ModuleFilter {
    char active[kModuleTextSize] = "";  // text in force: "ALL" or names
    ModuleList list;
};

struct SharedFilter {
    ModuleFilter filter;                      // guarded by lock()
    std::atomic<uint32_t> version{1};         // moves whenever filter changes
    PropertyWatch property{kModulesProperty};
    // The property's stamp when it was last read; 0 for none.
    std::atomic<uint64_t> seenStamp{0};
};

SharedFilter& shared() {
    static SharedFilter state;
    return state;
}

uint32_t lock() {
    static const uint32_t handle = XKT_mutex_create();
    return handle;
}

// What a thread matches against: "ALL" or the names, without the 1 KB
// text. Plain static TLS with a constant initialiser: a thread's first write
// allocates nothing and registers no destructor.
struct LocalFilter {
    uint32_t version = 0;
    bool all = false;
    ModuleList list;
};
__attribute__((tls_model("initial-exec"))) thread_local LocalFilter t_local;

std::atomic<int32_t> g_mgmtTakeover{0};

// Caller holds lock().
void adoptText(ModuleFilter& filter, const char* text) {
    copyText(filter.active, text);
    filter.list = parseModuleList(text);
}

void refreshModules() {
    SharedFilter& state = shared();
    // Taken before the read: a write in between leaves the older stamp, and
    // the next call reads again.
    const uint64_t stamp = state.property.stamp();
    if (stamp == 0) return;  // no property yet: the previous state stays
    if (state.seenStamp.load(std::memory_order_acquire) == stamp) return;

    char text[kModuleTextSize] = {};
    MutexGuard guard(lock());
    if (state.property.read(text, sizeof text) != 0) return;
    state.seenStamp.store(stamp, std::memory_order_release);
    if (std::strcmp(text, state.filter.active) == 0) return;
    adoptText(state.filter, text);
    state.version.fetch_add(1, std::memory_order_release);
}

const LocalFilter& localFilter() {
    SharedFilter& state = shared();
    LocalFilter& local = t_local;
    const uint32_t version = state.version.load(std::memory_order_acquire);
    if (local.version != version) {
        MutexGuard guard(lock());
        local.all = kAll == state.filter.active;
        local.list = state.filter.list;
        local.version = state.version.load(std::memory_order_relaxed);
    }
    return local;
}

bool moduleListed(const ModuleList& list, const char* module) {
    if (module == nullptr) return false;
    for (int32_t i = 0; i < list.count; ++i) {
        if (std::strcmp(list.names[static_cast<size_t>(i)].data(), module) == 0) return true;
    }
    return false;
}

bool takeoverSeen() {
    if (g_mgmtTakeover.load(std::memory_order_acquire) != 0) return true;
    char value[8] = {};
    if (XKT_property_get(kTakeoverProperty, value, sizeof value) != 0 || value[0] != '1') {
        return false;
    }
    g_mgmtTakeover.store(1, std::memory_order_release);
    return true;
}

}  // namespace

ModuleList parseModuleList(std::string_view text) {
    ModuleList list;
    auto keep = [&list](std::string_view piece) {
        auto& name = list.names[static_cast<size_t>(list.count++)];
        size_t n = std::min(piece.size(), kModuleNameSize - 1);
        std::memcpy(name.data(), piece.data(), n);
        name[n] = '\0';
    };
    std::string_view rest = text;
    while (!rest.empty() && list.count < kMaxModules) {
        size_t bar = rest.find('|');
        std::string_view piece = rest.substr(0, bar);
        if (!piece.empty()) keep(piece);
        if (bar == std::string_view::npos) break;
        rest.remove_prefix(bar + 1);
    }
    if (list.count == 0) keep(text);
    return list;
}

bool mgmtTakeover() { return g_mgmtTakeover.load(std::memory_order_acquire) != 0; }

void setMgmtTakeover(bool taken) {
    g_mgmtTakeover.store(taken ? 1 : 0, std::memory_order_release);
}

int32_t setModuleFilter(const char* modules) {
    static constexpr char kMessage[] = "Log:XKT_logFilterSetModule LogModule = [%s]\n";
    SharedFilter& state = shared();
    // Publishing under the lock keeps a concurrent refresh from re-reading
    // the old property text over the new filter.
    MutexGuard guard(lock());
    {
        ModuleFilter& filter = state.filter;
        if (modules == nullptr) {
            XKT_STARTUP_LOG(kMessage, "null");
            copyText(filter.active, "ALL");
        } else {
            XKT_STARTUP_LOG(kMessage, modules);
            if (std::string_view(modules).substr(0, kAll.size()) == kAll) {
                copyText(filter.active, "ALL");
            } else {
                adoptText(filter, modules);
            }
        }
        state.version.fetch_add(1, std::memory_order_release);
        // Until the property has been read again, a refresh must not trust
        // the stamp it saw before (the write below may fail).
        state.seenStamp.store(0, std::memory_order_release);
    }
    return XKT_property_set(kModulesProperty, state.filter.active) == 0 ? 0 : -1;
}

}  // namespace xkt::log

using namespace xkt::log;

extern "C" XKT_API int32_t XKT_logFilterSetType(LogType type) {
    const ErrnoGuard keepErrno;
    XKT_STARTUP_LOG("Log:XKT_logFilterSetType enLogType = [%d]\n", static_cast<int>(type));
    g_logConfig.logType.store(type, std::memory_order_relaxed);
    return 0;
}

extern "C" XKT_API int32_t XKT_logFilterSetLevel(LogLevel level) {
    const ErrnoGuard keepErrno;
    XKT_STARTUP_LOG("Log:XKT_logFilterSetType enLogLevel = [%d]\n", static_cast<int>(level));
    g_logConfig.logLevel.store(level, std::memory_order_relaxed);
    return 0;
}

extern "C" XKT_API int32_t XKT_logFilterSetModule(const char* modules) {
    const ErrnoGuard keepErrno;
    setModuleFilter(modules);
    return 0;
}

extern "C" XKT_API int32_t XKT_logFilterGet(LogType* type, LogLevel* level, char* modules) {
    const ErrnoGuard keepErrno;
    if (type == nullptr || level == nullptr || modules == nullptr) return -1;
    *type = g_logConfig.logType.load(std::memory_order_relaxed);
    *level = g_logConfig.logLevel.load(std::memory_order_relaxed);
    strncpy_s(modules, XKT_LOG_TEXT_SIZE, g_logConfig.modules, XKT_LOG_TEXT_SIZE - 1);
    return 0;
}

extern "C" XKT_API void XKT_readLogModules(void) {
    const ErrnoGuard keepErrno;
    refreshModules();
}

extern "C" XKT_API int32_t XKT_logFilter(LogType type, LogLevel level, const char* module) {
    const ErrnoGuard keepErrno;
    // Level and type first: a record they refuse costs no look at the
    // module property, whose change the next record that passes them sees.
    if (g_logConfig.logLevel.load(std::memory_order_relaxed) > level) return -1;
    const uint32_t typeFilter = g_logConfig.logType.load(std::memory_order_relaxed);
    if (typeFilter != XKT_LOG_TYPE_ALL && (type != typeFilter || typeFilter == XKT_LOG_TYPE_NONE)) {
        return -1;
    }
    refreshModules();
    const LocalFilter& filter = localFilter();
    if (filter.all) return 0;
    return moduleListed(filter.list, module) ? 0 : -1;
}

extern "C" XKT_API int32_t XKT_canLogOutput(LogType type, LogLevel level, const char* module) {
    const ErrnoGuard keepErrno;
    if (!takeoverSeen()) return -1;
    return XKT_logFilter(type, level, module) == 0 ? 0 : -1;
}
