// A scratch box root for a benchmark process, with log management taken
// over and every module passing, as in a process after initialisation.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
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

// CPU time in nanoseconds of this process's thread of that name (the log
// thread's, say), from the scheduler's own count; 0 when there is none.
inline uint64_t threadCpuNs(const char* name) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    uint64_t ns = 0;
    while (dirent* e = readdir(tasks)) {
        const std::string dir = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(dir + "/comm");
        std::string thread;
        std::getline(comm, thread);
        if (thread == name) std::ifstream(dir + "/schedstat") >> ns;
    }
    closedir(tasks);
    return ns;
}

// The end-to-end benchmarks' record: about 200 characters with a few
// formatted arguments, the same wherever the tree was built.
inline void writeBenchRecord(int writer, long i) {
    XKT_logWrite("bench_end_to_end.cpp", 118, "writeOne", 0, XKT_LOG_TYPE_RUN, XKT_LOG_LEVEL_INFO, "bench",
                 "session %d sequence %ld bitrate %u kbps state %s host %s "
                 "0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz0123456789",
                 writer, i, 8000u + static_cast<unsigned>(i % 100), "PLAYING", "stb.example");
}

}  // namespace xkt::bench
