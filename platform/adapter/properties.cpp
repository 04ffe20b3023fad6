// System properties beside Android's own log library on a Linux machine.
// Debian's libcutils leaves the property calls out (there is no property
// service off Android), so the adapter keeps the process's properties in a
// table of its own: what one process needs to start the library and write.
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "xkt_osal.h"

namespace {

struct PropertyTable {
    std::mutex lock;
    std::map<std::string, std::string> values;
};

// Never destroyed: threads the library never stops may still read it while
// the process runs its exit handlers.
PropertyTable& table() {
    static auto* properties = new PropertyTable;
    return *properties;
}

}  // namespace

extern "C" {

int32_t XKT_property_get(const char* name, char* value, uint32_t size) {
    if (value == nullptr || size == 0) return -1;
    value[0] = '\0';
    if (name == nullptr) return -1;
    PropertyTable& properties = table();
    const std::lock_guard<std::mutex> guard(properties.lock);
    const auto found = properties.values.find(name);
    if (found == properties.values.end()) return -1;
    const size_t length = std::min<size_t>(found->second.size(), size - 1);
    std::memcpy(value, found->second.data(), length);
    value[length] = '\0';
    return 0;
}

int32_t XKT_property_set(const char* name, const char* value) {
    if (name == nullptr || *name == '\0' || value == nullptr) return -1;
    if (std::strlen(name) >= XKT_PROP_NAME_MAX || std::strlen(value) >= XKT_PROP_VALUE_MAX) {
        return -1;
    }
    PropertyTable& properties = table();
    const std::lock_guard<std::mutex> guard(properties.lock);
    properties.values[name] = value;
    return 0;
}

}  // extern "C"
