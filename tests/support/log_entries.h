// Reads back what reached an Android log buffer, the way the log thread
// does: through the device-mode reader, one whole entry per read.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "xkt_log.h"
#include "xkt_logdev.h"
#include "xkt_osal.h"

namespace xkt::test {

struct LogEntry {
    int priority = 0;
    int32_t pid = 0;
    int32_t tid = 0;
    std::string tag;
    std::string message;
};

inline int32_t readLe32(const unsigned char* p) {
    return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                uint32_t{p[3]} << 24);
}

// Every entry currently in the buffer, oldest first.
inline std::vector<LogEntry> readEntries(const char* device = "/dev/log/main") {
    std::vector<LogEntry> entries;
    int32_t fd = xkt_logdev_open(device);
    if (fd < 0) return entries;
    unsigned char buffer[5200];
    while (xkt_logdev_read(fd, buffer, sizeof buffer) > 20) {  // more than the header
        const unsigned char* payload = buffer + 20;
        size_t length = uint32_t{buffer[0]} | uint32_t{buffer[1]} << 8;
        LogEntry entry{payload[0], readLe32(buffer + 4), readLe32(buffer + 8),
                       reinterpret_cast<const char*>(payload + 1), ""};
        const size_t messageAt = 1 + entry.tag.size() + 1;
        const char* message = reinterpret_cast<const char*>(payload + messageAt);
        if (messageAt < length) entry.message.assign(message, strnlen(message, length - messageAt));
        entries.push_back(entry);
    }
    xkt_logdev_close(fd);
    return entries;
}

// Takeover seen and every module passing, as in any process once the
// managing process has initialised.
inline bool passEverything() {
    return XKT_property_set("xkt.log.mgmttakeover", "1") == 0 && XKT_logFilterSetModule("ALL") == 0;
}

// A property's value, "<unset>" when it has none.
inline std::string propertyOf(const char* name) {
    char value[1024] = {};
    return XKT_property_get(name, value, sizeof value) == 0 ? value : "<unset>";
}

// Only the entries with the given tag.
inline std::vector<LogEntry> readTagged(const std::string& tag) {
    std::vector<LogEntry> tagged;
    for (auto& entry : readEntries()) {
        if (entry.tag == tag) tagged.push_back(entry);
    }
    return tagged;
}

// Whether any record line holds text.
inline bool logged(const std::string& text) {
    for (const auto& entry : readTagged("XKT")) {
        if (entry.message.find(text) != std::string::npos) return true;
    }
    return false;
}

// Whether the library wrote one of its own messages: the record line's
// level field, its function and the message text at the line's end.
inline bool said(const std::string& level, const std::string& function, const std::string& text) {
    for (const auto& entry : readTagged("XKT")) {
        const std::string& m = entry.message;
        if (m.size() >= text.size() && m.compare(m.size() - text.size(), text.size(), text) == 0 &&
            m.find("|" + level + "|") != std::string::npos &&
            m.find(":" + function + "|") != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace xkt::test
