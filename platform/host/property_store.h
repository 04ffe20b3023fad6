// The host's system property store: one shared-memory table per box root,
// backed by $XKT_ROOT/dev/__properties__. The C interface is in xkt_osal.h
// and xkt_host_extras.h; this is what the host tools (xkt-getprop,
// xkt-setprop) and tests add.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "xkt_host_extras.h"

namespace xkt::host {

constexpr size_t kPropertyNameMax = 63;     // characters, without the NUL
constexpr size_t kPropertyValueMax = 1023;  // characters, without the NUL
constexpr size_t kPropertySlots = 512;      // properties the store can hold

enum class PropertyError {
    none,
    badName,       // null or empty
    nameTooLong,
    badValue,      // null
    valueTooLong,
    storeFull,
    unavailable,   // the backing file could not be opened or created
    busy,          // another process keeps the store's lock and does not run
};

// A readable reason ("value too long (at most 1023 characters)").
const char* describe(PropertyError error);

// Stores a property for every process under the root; XKT_property_set
// reports the same as -1.
PropertyError setProperty(const char* name, const char* value);

struct Property {
    std::string name;
    std::string value;
};

// Every property with its current value, sorted by name. Empty when the store
// is empty or unavailable.
std::vector<Property> listProperties();

// The store's backing file under the current root.
std::string propertyStorePath();
inline constexpr size_t kPropertyLockOffset = 24;  // its lock word, for tests that damage it

namespace testing {

// Starts writing value into an existing property and stops after `bytes`
// bytes of it, still holding the store's lock, as a writer stopped or killed
// in the middle would. Only for a test's child process, which then stops
// or exits.
bool abandonWriteMidway(const char* name, const char* value, size_t bytes);

}  // namespace testing

}  // namespace xkt::host
