// A scratch box root for a benchmark process, with log management taken
// over and every module passing, as in a process after initialisation.
#pragma once

#include <cstdlib>
#include <string>

#include "xkt_log.h"
#include "xkt_osal.h"

namespace xkt::bench {

inline std::string makeBenchRoot() {
    char pattern[] = "/tmp/xkt-bench-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) std::abort();
    setenv("XKT_ROOT", dir, 1);
    if (XKT_property_set("xkt.log.mgmttakeover", "1") != 0) std::abort();
    XKT_logFilterSetModule("ALL");
    return dir;
}

inline void removeBenchRoot(const std::string& root) {
    std::string command = "rm -rf '" + root + "'";
    if (std::system(command.c_str()) != 0) {
        // A leftover scratch folder does not spoil the numbers.
    }
}

}  // namespace xkt::bench
