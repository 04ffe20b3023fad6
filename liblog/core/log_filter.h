// The filter's process-wide state beyond the configuration block.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace xkt::log {

inline constexpr int32_t kMaxModules = 10;
inline constexpr size_t kModuleNameSize = 64;

// A module filter text split into its names: the list the module test
// matches against.
struct ModuleList {
    std::array<std::array<char, kModuleNameSize>, kMaxModules> names{};
    int32_t count = 0;
};

// Splits text at "|", skipping empty pieces, keeping the first ten names cut
// to 63 characters; a text without any piece becomes one entry holding the
// whole text.
ModuleList parseModuleList(std::string_view text);

// XKT_logFilterSetModule with the publishing's result: -1 when the property
// "xkt.log.modules" could not be written (the filter is in force here anyway).
int32_t setModuleFilter(const char* modules);

// Whether this process has seen log management taken over.
bool mgmtTakeover();
void setMgmtTakeover(bool taken);

}  // namespace xkt::log
